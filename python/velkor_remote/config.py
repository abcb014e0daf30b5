"""Zenoh session settings from a few options, or from a Zenoh config file.

Scouting (UDP multicast and gossip) stays off unless asked for, with a config
file too: a served arm is reached through the endpoints given, and nothing
announces it on a network nobody chose.
"""

import json
from typing import Optional, Sequence

import zenoh

__all__ = ["DEFAULT_ENDPOINT", "MODES", "zenoh_config"]

DEFAULT_ENDPOINT = "tcp/127.0.0.1:7447"
MODES = ("peer", "client", "router")


def zenoh_config(mode: Optional[str] = None, listen: Sequence[str] = (), connect: Sequence[str] = (),
                 config_file: Optional[str] = None, scout: bool = False) -> "zenoh.Config":
    """A zenoh.Config: the file's (if any), then ``mode``, ``listen`` and
    ``connect`` over it where given; multicast scouting and gossip off unless
    ``scout``."""
    if mode is not None and mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(MODES)}, not {mode!r}")
    for endpoint in (*listen, *connect):
        if not isinstance(endpoint, str) or "/" not in endpoint:
            raise ValueError(f"an endpoint reads like tcp/127.0.0.1:7447, not {endpoint!r}")
    config = zenoh.Config.from_file(config_file) if config_file else zenoh.Config()
    if mode is not None or not config_file:
        config.insert_json5("mode", json.dumps(mode or "peer"))
    if listen:
        config.insert_json5("listen/endpoints", json.dumps(list(listen)))
    if connect:
        config.insert_json5("connect/endpoints", json.dumps(list(connect)))
        # Keep trying a server that is not up yet or went away, instead of failing at open.
        config.insert_json5("connect/exit_on_failure", "false")
    if not scout:
        config.insert_json5("scouting/multicast/enabled", "false")
        config.insert_json5("scouting/gossip/enabled", "false")
    return config
