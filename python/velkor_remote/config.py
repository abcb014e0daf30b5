"""Zenoh session settings from a few options, or from a Zenoh config file.

Scouting (UDP multicast and gossip) stays off unless asked for, with a config
file too: a served arm is reached through the endpoints given, and nothing
announces it on a network nobody chose.
"""

import json
from typing import Optional, Sequence

import zenoh

__all__ = ["DEFAULT_ENDPOINT", "MODES", "STATE_QUEUE_BATCHES", "zenoh_config"]

DEFAULT_ENDPOINT = "tcp/127.0.0.1:7447"
MODES = ("peer", "client", "router")
# States go out on Zenoh's real-time priority, each in its own batch. Zenoh
# queues 2 batches per priority by default and drops a message that finds the
# queue full for 1 ms: a sending thread kept off a busy CPU for 3 ms loses
# states at 1 kHz even on loopback. 16 batches (Zenoh's largest queue) ride
# out 16 ms; a subscriber that stays behind longer still cannot stall the server.
STATE_QUEUE_BATCHES = 16


def zenoh_config(mode: Optional[str] = None, listen: Sequence[str] = (), connect: Sequence[str] = (),
                 config_file: Optional[str] = None, scout: bool = False) -> "zenoh.Config":
    """A zenoh.Config: the file's (if any), then ``mode``, ``listen`` and
    ``connect`` over it where given; multicast scouting and gossip off unless
    ``scout``; the real-time send queue at least ``STATE_QUEUE_BATCHES`` deep."""
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
    key = "transport/link/tx/queue/size/real_time"
    if int(json.loads(config.get_json(key))) < STATE_QUEUE_BATCHES:
        config.insert_json5(key, str(STATE_QUEUE_BATCHES))
    if not scout:
        config.insert_json5("scouting/multicast/enabled", "false")
        config.insert_json5("scouting/gossip/enabled", "false")
    return config
