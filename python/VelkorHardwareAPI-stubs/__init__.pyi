"""
Python Implementation of the Velkor Hardware API
"""
from __future__ import annotations
import typing
import uuid
class SerialStream:
    def __init__(self, arg0: str) -> None:
        """
        Initialize the serial stream
        """
class UUID:
    def __init__(self) -> None:
        ...
    def bytes(self) -> list[int]:
        ...
class Device:
    pass
class Vorlan3:
    """
    Vorlan3 Device Class
    """
    def end_effector_force(self, force_request_vector: typing.Sequence[float] = [0.0, 0.0, 0.0], /) -> tuple[list[float], list[float]]:
        """
        Send forces to the device and receive device states
        """
    def end_effector_position(self, position_request_vector: typing.Sequence[float] = [0.0, 0.0, 0.0], /) -> tuple[list[float], list[float]]:
        """
        Send end-effector position and receive device states
        """
    def joint_angles(self, joint_angle_request_vector: typing.Sequence[float] = [0.0, 0.0, 0.0], /) -> tuple[list[float], list[float]]:
        """
        Send joint angles to the device and receive the joint states
        """
    def joint_torques(self, joint_torque_request_vector: typing.Sequence[float] = [0.0, 0.0, 0.0], /) -> tuple[list[float], list[float]]:
        """
        Send joint torques to the device and receive the joint states
        """
    def ReceiveCurrent(self, current: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> list[float]:
        """
        receive current and return current
        """
    def ReceiveDeviceInfo(self) -> tuple[int, int, int, int, UUID]:
        """
                    Receive device info and return a tuple with the following fields: 
        
                    device_id (uint16_t)
                    
                    device_model_num (uint8_t)
                    
                    hardware_version (uint8_t)
                    
                    firmware_version (uint8_t)
                    
                    device_id_ext (UUID)
        """
    def ReceiveJointState(self, joint_position: typing.Sequence[float] = [0.0, 0.0, 0.0], joint_velocity: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> tuple[list[float], list[float]]:
        """
        [Deprecated] receive joint state and return position and velocity in the joint reference frame
        """
    def ReceiveState(self, position: typing.Sequence[float] = [0.0, 0.0, 0.0], velocity: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> tuple[list[float], list[float]]:
        """
        [Deprecated] receive state and return position and velocity
        """
    def RequestCurrent(self) -> None:
        """
        request current
        """
    def SendAngle(self, angle: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """
        Send angles to the device
        """
    def SendDeviceWakeup(self) -> None:
        """
        [DEPRECATED] Send a device wakeup command
        """
    @typing.overload
    def SendForce(self, force: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """
        [Deprecated] Send force to the device
        """
    @typing.overload
    def SendForce(self, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None:
        """
        [Deprecated] Send force to the device
        """
    def SendJointTorques(self, joint_torque: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """
        [Deprecated] send joint torque
        """
    def SendPosition(self, position: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """
        [Deprecated] Send Position to the device
        """
    @typing.overload
    def __init__(self, arg0: SerialStream) -> None:
        ...
    @typing.overload
    def __init__(self, stream: SerialStream, timeout: float = 5.0) -> None:
        """
        Construct an Vorlan3 with a custom serial timeout (seconds).
        """
    def adjust_angles(self, angles: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """
        Adjust the angles of the device
        """
    def adjust_gear_ratios(self, head_gear_ratio_coeff: float = 1.0, inner_arm_gear_ratio_coeff: float = 1.0, outer_arm_gear_ratio_coeff: float = 1.0) -> None:
        """
        Adjust the gear ratios
        """
    def adjust_lengths(self, inner_arm_1: float = 0.14, outer_arm_1: float = 0.14, inner_arm_2: float = 0.165, outer_arm_2: float = 0.165, extension: float = 0.0765) -> None:
        """
        Adjust the lengths of the linkages
        """
    def deactivate_orientation_sensor(self) -> None:
        """
        Receive the power status of the device.
        """
    def device_wakeup(self) -> tuple[int, int, int, int, list[int]]:
        """
        Wakeup the device and return the device info as a tuple.
        """
    def device_wakeup_dict(self) -> dict[str, typing.Any]:
        """
        Wakeup the device and return the device info as a dict.
        """
    def flush_input(self) -> None:
        """
        Drain any currently buffered input bytes from the serial stream.
        """
    def get_device_id(self) -> uuid.UUID:
        """
        Receive the UUID of the device.
        """
    def get_device_orientation(self) -> list[float]:
        """
        Receive the orientation of the base of the device.
        """
    def get_end_effector_position(self, onboard: bool = True) -> tuple[list[float], list[float]]:
        """
        Get the end-effector position and velocity
        """
    def get_firmware_version(self) -> uuid.UUID:
        """
        Receive the firmware version of the device.
        """
    def get_motor_currents(self) -> list[float]:
        """
        Receive the motor currents of the device.
        """
    def get_power_status(self) -> bool:
        """
        Receive the power status of the device.
        """
    def get_temperature(self) -> float:
        """
        Receive the temperature of the device.
        """
    def read_raw(self, n: int, timeout: float = 1.0) -> bytes:
        """
        Read up to n bytes with a per-call timeout (seconds). Returns whatever was received (may be shorter than n on timeout).
        """
    def send_raw(self, payload: bytes) -> None:
        """
        Send raw bytes directly to the serial stream (no framing).
        """
    def set_read_timeout(self, t: float) -> None:
        """
        Set the device-level read timeout (seconds).
        """
class Handle:
    """
    The strixel handle class
    """
    def GetStrixelStatus(self) -> dict[str, typing.Any]:
        """
        Get the most recent Strixel informations
        """
    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        ...
    def OnReceiveHandleInfo(self, tool_data_remaining: int, device_id: int, device_model_number: int, hardware_version: int, firmware_version: int) -> None:
        ...
    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: typing.Any, error_flag: int, hall_effect_sensor_level: int, user_data_length: int, user_data: typing.Any) -> None:
        ...
    @typing.overload
    def Receive(self) -> int:
        """
        Receive data from the handle
        """
    @typing.overload
    def Receive(self, obsolete: int) -> int:
        """
        [DEPRECATED] Receive current and return current
        """
    def RequestStatus(self) -> None:
        """
        request handle status
        """
    def SendDeviceWakeup(self) -> None:
        ...
    def SendHandleState(self, device_id: int = 0, data_length: int = 0, user_data: int | None = None) -> None:
        """
        send handle state
        """
    def __init__(self, arg0: SerialStream) -> None:
        ...
class PortInfo:
    """
    A serial port of this machine, as list_ports() lists it.
    """
    def __eq__(self, other: typing.Any) -> typing.Any:
        ...
    def __hash__(self) -> int:
        ...
    def __repr__(self) -> str:
        ...
    @property
    def kind(self) -> str:
        """
        The driver class: 'usb_cdc' (arms), 'serial' (USB-to-UART bridges and on-board ports, wired handles) or 'bluetooth' (wireless handles).
        """
    @property
    def name(self) -> str:
        """
        The name to open the port by, such as /dev/ttyACM0.
        """
    @property
    def vendor(self) -> str | None:
        """
        The USB vendor identifier as four upper-case hexadecimal digits, or None off USB.
        """
def detect_candidates(device: str, sys_root: str = '/sys', dev_root: str = '/dev') -> list[tuple[str, bool]]:
    """
    The ports that a detect function looks at, in its order, as (port, probe) pairs.
    
    device is 'vorlan3', 'handle', 'wired_handle' or 'wireless_handle', for detect_vorlan3s,
    detect_handles, detect_wired_handles and detect_wireless_handles. A port with probe False is
    reported without being opened; one with probe True is reported when probe_port(device, port)
    is True. Together this gives what the detect function returns, one port at a time.
    """
def detect_handles() -> list[str]:
    """
    detect available handles
    """
def detect_vorlan3s() -> list[str]:
    """
    detect available vorlan3 devices
    """
def detect_wired_handles() -> list[str]:
    """
    detect available wired handles
    """
def detect_wireless_handles() -> list[str]:
    """
    detect available wireless handles
    """
def get_cpp_version() -> str:
    """
    Get the version of the CPP library
    """
def list_ports(sys_root: str = '/sys', dev_root: str = '/dev') -> list[PortInfo]:
    """
    List the serial ports that the detect functions consider, sorted by name, without opening any.
    
    sys_root and dev_root name the kernel's device tree and device folder; tests point them at a
    tree of their own. Raises OSError when the device tree cannot be read.
    """
def print_cpp_version() -> None:
    """
    Print the version of the CPP library
    """
def probe_port(device: str, port: str, limit: float | None = None) -> bool:
    """
    Run the detect function's probe of one port: open it, send the wake-up, read the first reply.
    
    True when a device of the kind answered within limit seconds (None: 3 s for 'vorlan3', 5 s
    for the handles). A silent port still takes the probe's full read time-out before it returns.
    Unlike the detect functions, other Python threads run while the probe waits.
    """
__version__: str = 'dev'
