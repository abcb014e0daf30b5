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
    ("Vorlan3", "device_wakeup_dict"): ANY_DICT,
    ("Vorlan3", "ReceiveDeviceInfo"): "tuple[int, int, int, int, UUID]",
    ("Vorlan3", "ReceiveState"): PAIR,
    ("Vorlan3", "ReceiveJointState"): PAIR,
    ("Vorlan3", "get_end_effector_position"): PAIR,
    ("Vorlan3", "get_device_id"): "uuid.UUID",
    ("Vorlan3", "get_firmware_version"): "uuid.UUID",
    ("Vorlan3", "last_error"): "str | None",
    ("Handle", "GetStrixelStatus"): ANY_DICT,
    ("Handle", "last_error"): "str | None",
    ("ServoLoop", "__enter__"): "ServoLoop",
    ("ServoLoop", "state"): ANY_DICT,
    ("ServoLoop", "stats"): ANY_DICT,
    ("ServoLoop", "effects"): "dict[int, Effect]",
    ("ServoLoop", "error"): "str | None",
    ("Mesh", "closest_point"): "tuple[list[float], float, int]",
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
    ("def add(self, effect: typing.Any) -> int:", "def add(self, effect: Effect) -> int:"),
    ("def on_state(self, fn: typing.Any, rate_hz: float = 100.0) -> None:",
     "def on_state(self, fn: typing.Callable[[dict[str, typing.Any]], object] | None, "
     "rate_hz: float = 100.0) -> None:"),
    ("def set_error_handler(handler: typing.Any) -> None:",
     "def set_error_handler(handler: typing.Callable[[str], object] | None) -> None:"),
]


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
    text = sub_once(r"^import typing\n", "import typing\nimport uuid\n", text, "typing import")
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

    leftovers = re.findall(r"^.*(?:\*args, \*\*kwargs\)|-> tuple:|-> dict:|-> list:|typing_ext).*$", text, flags=re.M)
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
