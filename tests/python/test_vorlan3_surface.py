"""The Vorlan3 class as Python sees it: every method's rendered signature and docstring."""

import re

import pytest

import VelkorHardwareAPI as api

ZEROS = "[0.0, 0.0, 0.0]"

RECEIVE_DEVICE_INFO_DOC = "\n".join([
    "",
    " " * 12 + "Receive device info and return a tuple with the following fields: ",
    "",
    " " * 12 + "device_id (uint16_t)",
    " " * 12,
    " " * 12 + "device_model_num (uint8_t)",
    " " * 12,
    " " * 12 + "hardware_version (uint8_t)",
    " " * 12,
    " " * 12 + "firmware_version (uint8_t)",
    " " * 12,
    " " * 12 + "device_id_ext (UUID)",
    " " * 12,
])

# (method, [(argument name or None, default or None)], signature template, docstring or None), in registration order.
TABLE = [
    ("__init__", [(None, None)], "({%}, {%}) -> None", None),
    ("__init__", [("stream", None), ("timeout", "5.0")], "({%}, {%}, {float}) -> None",
     "Construct an Vorlan3 with a custom serial timeout (seconds)."),
    ("send_raw", [("payload", None)], "({%}, {bytes}) -> None",
     "Send raw bytes directly to the serial stream (no framing)."),
    ("read_raw", [("n", None), ("timeout", "1.0")], "({%}, {int}, {float}) -> bytes",
     "Read up to n bytes with a per-call timeout (seconds). Returns whatever was received "
     "(may be shorter than n on timeout)."),
    ("set_read_timeout", [("t", None)], "({%}, {float}) -> None", "Set the device-level read timeout (seconds)."),
    ("flush_input", [], "({%}) -> None", "Drain any currently buffered input bytes from the serial stream."),
    ("device_wakeup", [], "({%}) -> tuple", "Wakeup the device and return the device info as a tuple."),
    ("device_wakeup_dict", [], "({%}) -> dict", "Wakeup the device and return the device info as a dict."),
    ("get_firmware_version", [], "({%}) -> object", "Receive the firmware version of the device."),
    ("get_device_id", [], "({%}) -> object", "Receive the UUID of the device."),
    ("get_motor_currents", [], "({%}) -> Annotated[list[float], FixedSize(3)]",
     "Receive the motor currents of the device."),
    ("get_device_orientation", [], "({%}) -> Annotated[list[float], FixedSize(4)]",
     "Receive the orientation of the base of the device."),
    ("get_power_status", [], "({%}) -> bool", "Receive the power status of the device."),
    ("get_temperature", [], "({%}) -> float", "Receive the temperature of the device."),
    ("end_effector_force", [("force request vector", ZEROS)], "({%}, {list[float]}) -> tuple",
     "Send forces to the device and receive device states"),
    ("get_end_effector_position", [("onboard", "True")], "({%}, {bool}) -> tuple",
     "Get the end-effector position and velocity"),
    ("adjust_angles", [("angles", ZEROS)], "({%}, {list[float]}) -> None", "Adjust the angles of the device"),
    ("adjust_lengths",
     [("inner_arm_1", "0.14"), ("outer_arm_1", "0.14"), ("inner_arm_2", "0.165"), ("outer_arm_2", "0.165"),
      ("extension", "0.0765")],
     "({%}, {float}, {float}, {float}, {float}, {float}) -> None", "Adjust the lengths of the linkages"),
    ("adjust_gear_ratios",
     [("head_gear_ratio_coeff", "1.0"), ("inner_arm_gear_ratio_coeff", "1.0"), ("outer_arm_gear_ratio_coeff", "1.0")],
     "({%}, {float}, {float}, {float}) -> None", "Adjust the gear ratios"),
    ("deactivate_orientation_sensor", [], "({%}) -> None", "Receive the power status of the device."),
    ("joint_torques", [("joint torque request vector", ZEROS)], "({%}, {list[float]}) -> tuple",
     "Send joint torques to the device and receive the joint states"),
    ("end_effector_position", [("position request vector", ZEROS)], "({%}, {list[float]}) -> tuple",
     "Send end-effector position and receive device states"),
    ("joint_angles", [("joint angle request vector", ZEROS)], "({%}, {list[float]}) -> tuple",
     "Send joint angles to the device and receive the joint states"),
    ("SendDeviceWakeup", [], "({%}) -> None", "[DEPRECATED] Send a device wakeup command"),
    ("ReceiveDeviceInfo", [], "({%}) -> tuple", RECEIVE_DEVICE_INFO_DOC),
    ("SendForce", [("force", ZEROS)], "({%}, {list[float]}) -> None", "[Deprecated] Send force to the device"),
    ("SendForce", [("ForceX", "0"), ("ForceY", "0"), ("ForceZ", "0")], "({%}, {float}, {float}, {float}) -> None",
     "[Deprecated] Send force to the device"),
    ("ReceiveState", [("position", ZEROS), ("velocity", ZEROS)], "({%}, {list[float]}, {list[float]}) -> tuple",
     "[Deprecated] receive state and return position and velocity"),
    ("ReceiveJointState", [("joint_position", ZEROS), ("joint_velocity", ZEROS)],
     "({%}, {list[float]}, {list[float]}) -> tuple",
     "[Deprecated] receive joint state and return position and velocity in the joint reference frame"),
    ("SendJointTorques", [("joint_torque", ZEROS)], "({%}, {list[float]}) -> None", "[Deprecated] send joint torque"),
    ("SendAngle", [("angle", ZEROS)], "({%}, {list[float]}) -> None", "Send angles to the device"),
    ("RequestCurrent", [], "({%}) -> None", "request current"),
    ("ReceiveCurrent", [("current", ZEROS)], "({%}, {list[float]}) -> list[float]",
     "receive current and return current"),
    ("SendPosition", [("position", ZEROS)], "({%}, {list[float]}) -> None",
     "[Deprecated] Send Position to the device"),
]


def render(template, arguments):
    tokens = iter(re.findall(r"\{([^}]*)\}", template))
    assert next(tokens) == "%"
    parts = ["self: VelkorHardwareAPI.Vorlan3"]
    for index, ((name, default), token) in enumerate(zip(arguments, tokens)):
        kind = "VelkorHardwareAPI.SerialStream" if token == "%" else token
        parts.append(f"{name if name is not None else f'arg{index}'}: {kind}" + (f" = {default}" if default else ""))
    return "(" + ", ".join(parts) + ")" + template.split(")", 1)[1]


def expected_docs():
    grouped = {}
    for name, arguments, template, doc in TABLE:
        entry = name + render(template, arguments) + "\n"
        if doc is not None:
            entry += "\n" + doc + "\n"
        grouped.setdefault(name, []).append(entry)
    docs = {}
    for name, entries in grouped.items():
        if len(entries) == 1:
            docs[name] = entries[0]
        else:
            numbered = [f"{i}. {entry}" for i, entry in enumerate(entries, 1)]
            docs[name] = f"{name}(*args, **kwargs)\nOverloaded function.\n\n" + "\n".join(numbered)
    return docs


EXPECTED = expected_docs()


@pytest.mark.parametrize("name", list(EXPECTED))
def test_method_doc_is_signature_and_docstring(name):
    assert getattr(api.Vorlan3, name).__doc__ == EXPECTED[name]


def test_methods_are_registered_in_table_order_with_additions_last():
    registered = [n for n in vars(api.Vorlan3) if n == "__init__" or not n.startswith("_")]
    assert registered == list(EXPECTED) + ["last_error", "failures", "strict", "max_force",
                                            "stray_replies", "zero_force_on_close", "refuse_out_of_reach"]


def test_class_docstring_bases_and_no_instance_dict(stream):
    assert api.Vorlan3.__doc__ == "Vorlan3 Device Class"
    assert api.Vorlan3.__mro__[1:] == api.SerialStream.__mro__[1:]
    arm = api.Vorlan3(stream)
    assert not isinstance(arm, api.Device)
    with pytest.raises(AttributeError):
        arm.anything = 1
