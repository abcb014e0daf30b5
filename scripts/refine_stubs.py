#!/usr/bin/env python3
"""Turns pybind11-stubgen's stub of the module into the one we ship.

The generator sees only what pybind11 renders: bare ``tuple``/``dict`` results,
``object`` for uuid.UUID results, ``list[float]`` for every float sequence, and
``*args`` for methods whose parameter names hold spaces. This fills in what the
module's docs promise, by name, and stops with an error when a rule no longer
matches, so that a change of the module shows up here instead of in a silently
looser stub.

    refine_stubs.py GENERATED.pyi OUTPUT.pyi
"""

import re
import sys

PAIR = "tuple[list[float], list[float]]"
ANY_DICT = "dict[str, typing.Any]"
PORT_NAME = "str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]"

# The keys of the dicts the module returns, so that a misspelt key is a type error.
# They exist for type checkers only (stubtest is told so); the module returns plain dicts.
TYPED_DICTS = '''
class ArmInfo(typing.TypedDict):
    """What Vorlan3.device_wakeup_dict() returns."""
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    device_id_ext: uuid.UUID

class StrixelStatus(typing.TypedDict):
    """What Handle.GetStrixelStatus() returns."""
    device_id: int
    quaternion: list[float]
    error_flag: int
    hall_effect_sensor_level: int
    buttons: int
    battery_level: float

class ServoState(typing.TypedDict):
    """What ServoLoop.state() returns and on_state callbacks receive."""
    position: list[float]
    velocity: list[float]
    force: list[float]
    cycle: int
    time: float
    holding: bool
    valid: bool

class ServoStats(typing.TypedDict):
    """What ServoLoop.stats() returns. The NotRequired keys come with newer loops."""
    cycles: int
    rate_hz: float
    period_p50_us: float
    period_p99_us: float
    period_max_us: float
    late_cycles: int
    exchange_p50_us: float
    exchange_p99_us: float
    failures: int
    realtime: bool
    target_rate_hz: float
    period_error_p99_us: float
    exchange_max_us: float
    held_cycles: int
    holds: int
    memory_locked: bool
    realtime_note: str
    window: int
    missed_deadlines: typing_extensions.NotRequired[int]
    stray_replies: typing_extensions.NotRequired[int]
    reconnects: typing_extensions.NotRequired[int]
    compute_p50_us: typing_extensions.NotRequired[float]
    compute_p99_us: typing_extensions.NotRequired[float]
    lease_expiries: typing_extensions.NotRequired[int]
    leases_out: typing_extensions.NotRequired[int]
    telemetry_dropped: typing_extensions.NotRequired[int]
    recent_rate_hz: typing_extensions.NotRequired[float]
    timer: typing_extensions.NotRequired[str]
    timer_lateness_us: typing_extensions.NotRequired[float]
    spin_us: typing_extensions.NotRequired[float]
    valid: typing_extensions.NotRequired[bool]

class RecordingSummary(typing.TypedDict):
    """What ServoLoop.stop_recording() returns."""
    path: str
    messages: int
    lost: int
'''

# What every DeviceError carries besides its message.
DEVICE_ERROR_FIELDS = '''    call: str
    port: str
    outcome: str | None
    error_lines: tuple[str, ...]
'''

# Methods whose one parameter name holds spaces: positional only.
VECTOR_METHODS = {
    "end_effector_force": "force request vector",
    "end_effector_position": "position request vector",
    "joint_angles": "joint angle request vector",
    "joint_torques": "joint torque request vector",
}

# (class, method) -> result type, for results the generator renders bare.
RESULTS = {
    ("SerialStream", "__enter__"): "SerialStream",
    ("Vorlan3", "device_wakeup"): "tuple[int, int, int, int, list[int]]",
    ("Vorlan3", "device_wakeup_dict"): "ArmInfo",
    ("Vorlan3", "ReceiveDeviceInfo"): "tuple[int, int, int, int, UUID]",
    ("Vorlan3", "ReceiveState"): PAIR,
    ("Vorlan3", "ReceiveJointState"): PAIR,
    ("Vorlan3", "get_end_effector_position"): PAIR,
    ("Vorlan3", "get_device_id"): "uuid.UUID",
    ("Vorlan3", "get_firmware_version"): "uuid.UUID",
    ("Vorlan3", "last_error"): "str | None",
    ("Handle", "GetStrixelStatus"): "StrixelStatus",
    ("Handle", "last_error"): "str | None",
    ("ServoLoop", "__enter__"): "ServoLoop",
    ("ServoLoop", "state"): "ServoState",
    ("ServoLoop", "stats"): "ServoStats",
    ("ServoLoop", "effects"): "dict[int, Effect]",
    ("ServoLoop", "error"): "str | None",
    ("Mesh", "closest_point"): "tuple[list[float], float, int]",
    ("Mesh", "closest_points"): "tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], "
                                "numpy.typing.NDArray[numpy.uint32]]",
    ("ServoLoop", "drain"): "tuple[numpy.typing.NDArray[numpy.void], int]",
    ("ServoLoop", "stop_recording"): "RecordingSummary | None",
    ("ServoLoop", "recording"): "str | None",
}

# Exact text -> replacement, each expected exactly once.
EXACT = [
    # None is the default; an int is the one byte of user data.
    ("user_data: int = None", "user_data: int | None = None"),
    # Called from the device with the quaternion's four floats and the user data
    # bytes as lists; called directly it takes one float and one int. Subclasses
    # override it with the former, so both must type-check.
    ("quaternion: float, error_flag: int, hall_effect_sensor_level: int, user_data_length: int, user_data: int",
     "quaternion: typing.Any, error_flag: int, hall_effect_sensor_level: int, user_data_length: int, "
     "user_data: typing.Any"),
    ("def add(self, effect: typing.Any, lease: float | None = None) -> int:",
     "def add(self, effect: Effect, lease: float | None = None) -> int:"),
    ("def start(self, record: typing.Any = None) -> None:",
     "def start(self, record: str | os.PathLike[str] | None = None) -> None:"),
    ("def record(self, path: typing.Any) -> None:", "def record(self, path: str | os.PathLike[str]) -> None:"),
    ("telemetry_dtype: typing.ClassVar[numpy.dtypes.VoidDType]", "telemetry_dtype: typing.ClassVar[numpy.dtype[numpy.void]]"),
    ("import numpy.dtypes\n", "import numpy\nimport numpy.typing\n"),
    ("def on_state(self, fn: typing.Any, rate_hz: float = 100.0) -> None:",
     "def on_state(self, fn: typing.Callable[[ServoState], object] | None, "
     "rate_hz: float = 100.0) -> None:"),
    ("def open(port: typing.Any) -> SerialStream:", f"def open(port: {PORT_NAME}) -> SerialStream:"),
    # Port names: str or os.PathLike, in any sequence.
    ("reconnect_ports: list[typing.Any] | None = None",
     "reconnect_ports: typing.Sequence[str | os.PathLike[str]] | None = None"),
    ("def set_error_handler(handler: typing.Any) -> None:",
     "def set_error_handler(handler: typing.Callable[[str], object] | None) -> None:"),
]


VECTOR_CLASS = '''class Vector(tuple[float, ...]):
    """
    A read-only vector of an effect's parameters (a tuple). It equals a list with the same items.
    Assign a whole new value to change the parameter: effect.force = [0.0, 0.0, 1.0].
    """
    def __eq__(self, other: object) -> bool:
        ...
    def __ne__(self, other: object) -> bool:
        ...
    def __hash__(self) -> int:
        ...
'''


class RuleMissed(Exception):
    pass


def sub_once(pattern, replacement, text, what):
    new, count = re.subn(pattern, replacement, text, flags=re.M)
    if count != 1:
        raise RuleMissed(f"{what}: expected one match, found {count}")
    return new


def class_body(text, name):
    match = re.search(rf"^class {name}\b.*?(?=^class |^def |\Z)", text, flags=re.M | re.S)
    if not match:
        raise RuleMissed(f"class {name} not found")
    return match.start(), match.end()


def refine(text):
    text = sub_once(r"^import pybind11_stubgen\.typing_ext\n", "", text, "typing_ext import")
    # The module has no __all__; every public name is its API.
    text = sub_once(r"^__all__: list\[str\] = .*\n", "", text, "__all__")
    text = re.sub(r"typing\.Annotated\[list\[float\], pybind11_stubgen\.typing_ext\.FixedSize\(\d+\)\]",
                  "list[float]", text)
    text = sub_once(r"^import typing\n", "import os\nimport typing\nimport typing_extensions\nimport uuid\n", text,
                    "typing import")
    # A context manager whose __exit__ says bool may swallow exceptions, so mypy would call
    # "with loop: return x" a function that can fall off its end. The loop's never does.
    text = re.sub(r"^(    def __exit__\(self, [^\n]*\) -> )bool:", r"\1typing.Literal[False]:", text, flags=re.M)
    for name in ("DeviceError",):
        text = sub_once(rf"^(class {name}\(OSError\):\n    \"\"\"\n(?:    [^\n]*\n)*?    \"\"\"\n)",
                        rf"\g<1>{DEVICE_ERROR_FIELDS}", text, name)

    # The effects' read-only vectors: a tuple of floats that also equals a list. Its own __eq__
    # tells mypy that comparing one with a list is meant.
    text = sub_once(r"^class Vector\(tuple\):\n(?:    [^\n]*\n|        [^\n]*\n)*?(?=^class )", VECTOR_CLASS, text,
                    "class Vector")

    # Effects compute a force: three floats.
    text, count = re.subn(r"^(    def force_at\(self: Effect, [^\n]*\) -> )list:", r"\1list[float]:", text, flags=re.M)
    if count == 0:
        raise RuleMissed("force_at: no match")
    text = text.replace("**kwargs) -> None:", "**kwargs: typing.Any) -> None:")
    # Any sequence of numbers converts; only results are really lists.
    text = re.sub(r"(\w+): list\[float\]", r"\1: typing.Sequence[float]", text)

    for method, parameter in VECTOR_METHODS.items():
        name = parameter.replace(" ", "_")
        text = sub_once(rf"^    @staticmethod\n    def {method}\(\*args, \*\*kwargs\) -> tuple:",
                        f"    def {method}(self, {name}: typing.Sequence[float] = [0.0, 0.0, 0.0], /) -> {PAIR}:",
                        text, method)

    for (cls, method), result in RESULTS.items():
        start, end = class_body(text, cls)
        body = sub_once(rf"^(    def {method}\(self[^\n]*\) -> )(?:tuple|dict|typing\.Any):",
                        rf"\g<1>{result}:", text[start:end], f"{cls}.{method}")
        text = text[:start] + body + text[end:]

    for old, new in EXACT:
        if text.count(old) != 1:
            raise RuleMissed(f"{old!r}: expected once, found {text.count(old)}")
        text = text.replace(old, new)

    text = text.rstrip("\n") + "\n" + TYPED_DICTS
    leftovers = re.findall(r"^.*(?:\*args, \*\*kwargs\)|-> tuple:|-> dict:|-> list:|typing_ext(?!ensions)).*$", text, flags=re.M)
    leftovers = [line for line in leftovers if "@typing.overload" not in line]
    if leftovers:
        raise RuleMissed("untyped results left:\n" + "\n".join(leftovers))
    return text


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1]) as f:
        text = f.read()
    try:
        text = refine(text)
    except RuleMissed as e:
        sys.exit(f"refine_stubs: {e}")
    with open(sys.argv[2], "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
