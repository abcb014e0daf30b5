"""``velkor serve``: open an arm (or start the simulator), run its servo loop
and serve it until SIGINT or SIGTERM."""

import argparse
import contextlib
import ipaddress
import json
import logging
import signal
import sys
import threading
from typing import Any, Dict, Iterator, List, Optional, Tuple

import zenoh

import VelkorHardwareAPI as api

from .config import DEFAULT_ENDPOINT, MODES, listen_endpoints, zenoh_config
from .server import DEFAULT_LEASE, DEFAULT_RAMP, DEFAULT_RATE_HZ, ArmServer, ServerError

UNSECURED = ("serving on {where} without TLS and without authentication or access control: anyone who reaches "
             "it can read the arm and claim control of it (see 'Securing a served arm' in the remote guide)")


def _loopback(endpoint: str) -> bool:
    """Whether an endpoint (tcp/HOST:PORT and the like) is reachable from this host only."""
    if endpoint.startswith("unixsock-stream/"):
        return True
    address = endpoint.split("/", 1)[-1].split("#", 1)[0]
    host = address.rsplit(":", 1)[0].strip("[]") if ":" in address else address
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def unsecured_endpoints(config: "zenoh.Config") -> List[str]:
    """The endpoints a session of this config listens on that other hosts can
    reach without TLS, when it has neither user/password authentication nor
    access control."""
    def setting(key: str) -> Any:
        try:
            return json.loads(config.get_json(key))
        except Exception:
            return None
    if setting("transport/auth/usrpwd/user") or setting("access_control/enabled"):
        return []
    return [e for e in listen_endpoints(config) if not e.startswith(("tls/", "quic/")) and not _loopback(e)]

__all__ = ["run"]


@contextlib.contextmanager
def _device(port: Optional[str]) -> Iterator[Tuple[str, Optional[Any]]]:
    if port:
        yield port, None
        return
    import velkor_sim

    with velkor_sim.simulator("arm") as path:
        yield path, True


def _identity(arm: "api.Vorlan3", port: str) -> Dict[str, Any]:
    info = arm.device_wakeup_dict()
    if arm.last_error is not None or info["device_model_number"] == 0:
        raise RuntimeError(f"no arm answered on {port}" + (f" ({arm.last_error})" if arm.last_error else ""))
    return {"port": port, "device_id": info["device_id"], "device_model_number": info["device_model_number"],
            "hardware_version": info["hardware_version"], "firmware_version": info["firmware_version"],
            "device_id_ext": str(info["device_id_ext"])}


def run(args: argparse.Namespace) -> int:
    """Serves until SIGINT or SIGTERM; every way out stops the loop with zero force."""
    logging.basicConfig(level=logging.WARNING if args.quiet else logging.INFO, stream=sys.stderr,
                        format="velkor serve: %(message)s")
    log = logging.getLogger("velkor_remote.server")
    listen = list(args.listen or [])
    if not listen and not args.connect and not args.config:
        listen = [DEFAULT_ENDPOINT]
    mode = args.mode
    config = zenoh_config(mode, listen, args.connect or [], args.config, args.scout, listen_default=())
    where = ", ".join(listen_endpoints(config)) or "no endpoint of its own (connected to " + \
        (", ".join(args.connect or []) or "the configured endpoints") + ")"
    unsecured = unsecured_endpoints(config)
    if unsecured:
        log.warning(UNSECURED.format(where=", ".join(unsecured)))
    stop = threading.Event()
    previous = signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        with _device(args.port) as (port, simulated):
            stream = api.SerialStream(port)
            if not stream.is_open:
                raise RuntimeError(f"cannot open {port}")
            arm = api.Vorlan3(stream, args.timeout)
            identity = _identity(arm, port)
            identity["simulated"] = bool(simulated)
            # The loop fades effects in and out over --ramp: at start, after a hold, and when a
            # controller's effects go.
            loop = api.ServoLoop(arm, rate_hz=args.loop_rate, ramp_s=args.ramp)
            loop.max_force = args.max_force
            try:
                server = ArmServer(loop, args.name, config, rate_hz=args.rate, lease=args.lease, ramp=args.ramp,
                                   ros_topics=not args.no_ros, accept_wrench=args.ros_force_command,
                                   identity=identity, logger=log)
            except zenoh.ZError as e:
                raise RuntimeError(f"cannot serve on {where}: {e}; is another process listening there? Choose "
                                   "another endpoint with --listen") from None
            try:
                with loop:
                    try:
                        server.start()
                    except ServerError as e:
                        raise RuntimeError(str(e)) from None
                    print(f"serving {args.name} ({'simulator' if simulated else port}) on {where}", flush=True)
                    try:
                        while not stop.wait(0.2):
                            pass
                    except KeyboardInterrupt:
                        pass
                    server.close()  # ramps out while the loop still runs
            finally:
                server.close()
            del loop, arm, stream
    finally:
        signal.signal(signal.SIGTERM, previous)
    return 0


def add_arguments(p: argparse.ArgumentParser) -> None:
    """The options of ``velkor serve``."""
    p.add_argument("port", nargs="?", metavar="PORT", help="the arm's port (default: start the simulator)")
    p.add_argument("--name", required=True, help="the arm's name in the key space: velkor/NAME/...")
    p.add_argument("--rate", type=_rate, default=DEFAULT_RATE_HZ, metavar="HZ",
                   help="states published per second (default: %(default)s, at most 1000)")
    p.add_argument("--listen", action="append", metavar="ENDPOINT",
                   help=f"where clients reach it, repeatable (default without --connect/--config: {DEFAULT_ENDPOINT})")
    p.add_argument("--connect", action="append", metavar="ENDPOINT", help="a router or peer to join, repeatable")
    group = p.add_mutually_exclusive_group()
    for mode in MODES:
        group.add_argument(f"--{mode}", dest="mode", action="store_const", const=mode, help=f"zenoh {mode} mode")
    p.add_argument("--config", metavar="FILE", help="a zenoh config file (the options above override it)")
    p.add_argument("--scout", action="store_true",
                   help="allow multicast scouting and gossip (off by default, with a config file too)")
    p.add_argument("--lease", type=float, default=DEFAULT_LEASE, metavar="SECONDS",
                   help="how long the controller may stay silent before its effects ramp out (default: %(default)s)")
    p.add_argument("--ramp", type=float, default=DEFAULT_RAMP, metavar="SECONDS",
                   help="how long effects take to fade out (default: %(default)s)")
    p.add_argument("--max-force", type=float, default=5.0, metavar="N", help="force limit (default: %(default)s)")
    p.add_argument("--loop-rate", type=float, default=1000.0, metavar="HZ",
                   help="the servo loop's rate (default: %(default)s)")
    p.add_argument("--timeout", type=float, default=0.5, metavar="SECONDS",
                   help="how long to wait for the arm's replies (default: %(default)s)")
    p.add_argument("--no-ros", action="store_true", help="do not publish the ROS 2 JointState and PoseStamped")
    p.add_argument("--ros-force-command", action="store_true",
                   help="accept geometry_msgs/msg/WrenchStamped on velkor/NAME/force_command as a force while no "
                        "client has control (frame NAME_base or empty)")
    p.add_argument("-q", "--quiet", action="store_true", help="log only warnings")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="also show the device library's [err] lines on standard error")


def _rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid rate: {text!r}") from None
    if not 1.0 <= value <= 1000.0:
        raise argparse.ArgumentTypeError(f"rate must be from 1 to 1000 Hz, not {text}")
    return value
