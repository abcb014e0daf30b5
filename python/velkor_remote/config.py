"""Zenoh session settings from a few options, or from a Zenoh config file.

Scouting (UDP multicast and gossip) stays off unless asked for, with a config
file too: a served arm is reached through the endpoints given, and nothing
announces it on a network nobody chose.
"""

import json
from typing import List, Optional, Sequence

import zenoh

__all__ = ["DEFAULT_ENDPOINT", "MODES", "STATE_QUEUE_BATCHES", "zenoh_config", "listen_endpoints"]

DEFAULT_ENDPOINT = "tcp/127.0.0.1:7447"
MODES = ("peer", "client", "router")
# States go out on Zenoh's real-time priority, each in its own batch. Zenoh
# queues 2 batches per priority by default and drops a message that finds the
# queue full for 1 ms: a sending thread kept off a busy CPU for 3 ms loses
# states at 1 kHz even on loopback. 16 batches (Zenoh's largest queue) ride
# out 16 ms; a subscriber that stays behind longer still cannot stall the server.
STATE_QUEUE_BATCHES = 16


def zenoh_config(mode: Optional[str] = None, listen: Sequence[str] = (), connect: Sequence[str] = (),
                 config_file: Optional[str] = None, scout: bool = False,
                 listen_default: Optional[Sequence[str]] = None) -> "zenoh.Config":
    """A zenoh.Config: the file's (if any), then ``mode``, ``listen`` and
    ``connect`` over it where given; multicast scouting and gossip off unless
    ``scout``; the real-time send queue at least ``STATE_QUEUE_BATCHES`` deep.
    ``listen_default``: the endpoints to listen on when neither ``listen`` nor
    the file names any (``()``: none; None: Zenoh's default, every interface)."""
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
    elif listen_default is not None and not (config_file and _file_listens(config_file)):
        config.insert_json5("listen/endpoints", json.dumps(list(listen_default)))
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


def _file_listens(config_file: str) -> bool:
    """Whether a config file names listen endpoints of its own."""
    default = json.loads(zenoh.Config().get_json("listen/endpoints"))
    return bool(json.loads(zenoh.Config.from_file(config_file).get_json("listen/endpoints")) != default)


def listen_endpoints(config: "zenoh.Config") -> List[str]:
    """The endpoints a session of this config listens on, for the mode it is in."""
    endpoints = json.loads(config.get_json("listen/endpoints"))
    if isinstance(endpoints, dict):
        mode = json.loads(config.get_json("mode")) or "peer"
        endpoints = endpoints.get(mode, [])
    return [str(e) for e in endpoints]
