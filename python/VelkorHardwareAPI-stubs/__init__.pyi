"""
Python Implementation of the Velkor Hardware API
"""
from __future__ import annotations
import numpy
import numpy.typing
import os
import typing
import typing_extensions
import uuid
class SerialStream:
    @staticmethod
    def open(port: str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]) -> SerialStream:
        """
        Open the port and return its stream, or raise PortOpenError naming the port and why it could not be opened (no such port, not a serial port, in use, permission denied). port is a str, bytes or os.PathLike. Unlike the constructor, which prints error lines and returns a stream that is not open.
        """
    def __enter__(self) -> SerialStream:
        """
        Return the stream itself.
        """
    def __exit__(self, exc_type: typing.Any, exc_value: typing.Any, traceback: typing.Any) -> None:
        """
        Close the port.
        """
    def __init__(self, arg0: str) -> None:
        """
        Initialize the serial stream
        """
    def close(self) -> None:
        """
        Close the port. Devices built on the stream fail with 'port_gone' until reopen().
        """
    def reopen(self) -> bool:
        """
        Close the port if it is open and open the same name again, as after the device was unplugged and plugged back in. True when the port opened; devices built on the stream go on using it.
        """
    @property
    def is_open(self) -> bool:
        """
        True while the port is open.
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
    def device_wakeup_dict(self) -> ArmInfo:
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
    @property
    def failures(self) -> int:
        """
        The number of calls that failed since construction.
        """
    @property
    def last_error(self) -> str | None:
        """
        None when the last call succeeded, otherwise why it failed: 'timeout', 'bad_reply', 'port_gone' or 'write_failed' ('interrupted' when a signal handler raised during the call).
        """
    @property
    def max_force(self) -> float | None:
        """
        None (the default) or the largest force in newtons that end_effector_force and SendForce send: a longer request is scaled down to this length, keeping its direction. Joint torques, positions and angles are not limited by it; a ServoLoop on the arm clamps its force to the lower of its own max_force and this.
        """
    @max_force.setter
    def max_force(self, arg1: float | None) -> None:
        ...
    @property
    def refuse_out_of_reach(self) -> bool:
        """
        False (the default): a position or joint-angle request far outside what the arm's kinematic model can reach (farther from the base than the model's reach, about 0.59 m; a joint angle beyond 180 degrees either way) is sent as given, with a UserWarning the first time a line of the program sends one. True: such a request raises ValueError before anything is sent.
        """
    @refuse_out_of_reach.setter
    def refuse_out_of_reach(self, arg1: bool) -> None:
        ...
    @property
    def stray_replies(self) -> int:
        """
        Whole replies that answered no request of the call that found them (a duplicate, a reply that came after its call gave up, or an older one queued ahead of the right one): discarded, and counted here since construction.
        """
    @property
    def strict(self) -> bool:
        """
        When true, a call that fails raises a DeviceError instead of returning zeros: DeviceTimeoutError (no reply in time, also a TimeoutError), BadReplyError (a wrong reply), PortGoneError (port closed or gone, also a ConnectionError) or WriteFailedError (request not written). The exception carries the call's error lines (error_lines), which are then not printed. False by default.
        """
    @strict.setter
    def strict(self, arg1: bool) -> None:
        ...
    @property
    def zero_force_on_close(self) -> bool:
        """
        True (the default): when this arm's last request carried a non-zero force or joint torque (end_effector_force, joint_torques, SendForce, SendJointTorques), one zero-force exchange goes out before its stream is closed or reopened, before the arm is collected, at interpreter exit and on SIGTERM or SIGHUP left at their default action (see set_termination_handling); once the exit or such a signal has begun sending these, a non-zero force or torque request raises RuntimeError unsent, so the zero stays last. False leaves the last force on the device, as a plain request always did.
        """
    @zero_force_on_close.setter
    def zero_force_on_close(self, arg1: bool) -> None:
        ...
class Handle:
    """
    The strixel handle class
    """
    def GetStrixelStatus(self) -> StrixelStatus:
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
    def set_read_timeout(self, t: float) -> None:
        """
        Set the handle's read timeout (seconds): how long Receive() waits for each part of a message. GetStrixelStatus() keeps its own one-to-two-second wait.
        """
    @property
    def failures(self) -> int:
        """
        The number of calls that failed since construction.
        """
    @property
    def last_error(self) -> str | None:
        """
        None when the last call succeeded, otherwise why it failed: 'timeout', 'bad_reply', 'port_gone' or 'write_failed' ('interrupted' when a signal handler raised during the call).
        """
    @property
    def read_timeout(self) -> float:
        """
        The read timeout in seconds: 5.0 until set_read_timeout() changes it.
        """
    @property
    def status_frames_skipped(self) -> int:
        """
        Status frames of a handle that streams its status, which Receive read whole and skipped because they answer no request (GetStrixelStatus reads them), counted since construction.
        """
    @property
    def strict(self) -> bool:
        """
        When true, a call that fails raises a DeviceError instead of returning zeros: DeviceTimeoutError (no reply in time, also a TimeoutError), BadReplyError (a wrong reply), PortGoneError (port closed or gone, also a ConnectionError) or WriteFailedError (request not written). The exception carries the call's error lines (error_lines), which are then not printed. False by default.
        """
    @strict.setter
    def strict(self, arg1: bool) -> None:
        ...
class Vector(tuple[float, ...]):
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
class Effect:
    """
    A force effect for ServoLoop. Parameters may be changed while a loop runs: each change applies whole from the next cycle.
    """
class Spring(Effect):
    """
    Pulls towards an anchor: -stiffness (p - anchor) - damping v.
    """
    def __init__(self, anchor: typing.Sequence[float], stiffness: float, damping: float = 0.0) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def force_at(self: Effect, position: typing.Sequence[float], velocity: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> list[float]:
        """
        The force (N) this effect asks for at a position (m) and velocity (m/s).
        """
    def update(self, **kwargs: typing.Any) -> None:
        """
        Change several parameters at once (keyword arguments): checked together and applied in one cycle.
        """
    @property
    def anchor(self) -> Vector:
        """
        Where the spring pulls to (m).
        """
    @anchor.setter
    def anchor(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def damping(self) -> float:
        """
        N s/m.
        """
    @damping.setter
    def damping(self, arg1: float) -> None:
        ...
    @property
    def enabled(self) -> bool:
        """
        False: the effect asks for no force. A running loop fades it out and in over its ramp_s.
        """
    @enabled.setter
    def enabled(self, arg1: bool) -> None:
        ...
    @property
    def gain(self) -> float:
        """
        The effect's force is scaled by this (finite, not negative; default 1.0). A running loop moves to the new force no faster than max_force per ramp_s.
        """
    @gain.setter
    def gain(self, arg1: float) -> None:
        ...
    @property
    def stiffness(self) -> float:
        """
        N/m.
        """
    @stiffness.setter
    def stiffness(self, arg1: float) -> None:
        ...
class Damper(Effect):
    """
    Resists motion: -damping v.
    """
    def __init__(self, damping: float) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def force_at(self: Effect, position: typing.Sequence[float], velocity: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> list[float]:
        """
        The force (N) this effect asks for at a position (m) and velocity (m/s).
        """
    def update(self, **kwargs: typing.Any) -> None:
        """
        Change several parameters at once (keyword arguments): checked together and applied in one cycle.
        """
    @property
    def damping(self) -> float:
        """
        N s/m.
        """
    @damping.setter
    def damping(self, arg1: float) -> None:
        ...
    @property
    def enabled(self) -> bool:
        """
        False: the effect asks for no force. A running loop fades it out and in over its ramp_s.
        """
    @enabled.setter
    def enabled(self, arg1: bool) -> None:
        ...
    @property
    def gain(self) -> float:
        """
        The effect's force is scaled by this (finite, not negative; default 1.0). A running loop moves to the new force no faster than max_force per ramp_s.
        """
    @gain.setter
    def gain(self, arg1: float) -> None:
        ...
class Plane(Effect):
    """
    A one-sided wall through `point`. The free side is where `normal` points; inside the wall the tool is pushed out along the normal with stiffness times depth, less damping times the velocity along the normal. It never pulls.
    """
    def __init__(self, point: typing.Sequence[float], normal: typing.Sequence[float], stiffness: float, damping: float = 0.0) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def force_at(self: Effect, position: typing.Sequence[float], velocity: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> list[float]:
        """
        The force (N) this effect asks for at a position (m) and velocity (m/s).
        """
    def update(self, **kwargs: typing.Any) -> None:
        """
        Change several parameters at once (keyword arguments): checked together and applied in one cycle.
        """
    @property
    def damping(self) -> float:
        """
        N s/m.
        """
    @damping.setter
    def damping(self, arg1: float) -> None:
        ...
    @property
    def enabled(self) -> bool:
        """
        False: the effect asks for no force. A running loop fades it out and in over its ramp_s.
        """
    @enabled.setter
    def enabled(self, arg1: bool) -> None:
        ...
    @property
    def gain(self) -> float:
        """
        The effect's force is scaled by this (finite, not negative; default 1.0). A running loop moves to the new force no faster than max_force per ramp_s.
        """
    @gain.setter
    def gain(self, arg1: float) -> None:
        ...
    @property
    def normal(self) -> Vector:
        """
        Towards the free side; kept at unit length.
        """
    @normal.setter
    def normal(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def point(self) -> Vector:
        """
        A point of the wall's surface (m).
        """
    @point.setter
    def point(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def stiffness(self) -> float:
        """
        N/m.
        """
    @stiffness.setter
    def stiffness(self, arg1: float) -> None:
        ...
class Sphere(Effect):
    """
    A solid ball that pushes the tool out (stiffness times depth, less damping times the velocity along the push), or with inside=True a shell that keeps it in. It never pulls.
    """
    def __init__(self, center: typing.Sequence[float], radius: float, stiffness: float, inside: bool = False, damping: float = 0.0) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def force_at(self: Effect, position: typing.Sequence[float], velocity: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> list[float]:
        """
        The force (N) this effect asks for at a position (m) and velocity (m/s).
        """
    def update(self, **kwargs: typing.Any) -> None:
        """
        Change several parameters at once (keyword arguments): checked together and applied in one cycle.
        """
    @property
    def center(self) -> Vector:
        """
        m.
        """
    @center.setter
    def center(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def damping(self) -> float:
        """
        N s/m, against the velocity along the push while the tool is in contact; never pulls.
        """
    @damping.setter
    def damping(self, arg1: float) -> None:
        ...
    @property
    def enabled(self) -> bool:
        """
        False: the effect asks for no force. A running loop fades it out and in over its ramp_s.
        """
    @enabled.setter
    def enabled(self, arg1: bool) -> None:
        ...
    @property
    def gain(self) -> float:
        """
        The effect's force is scaled by this (finite, not negative; default 1.0). A running loop moves to the new force no faster than max_force per ramp_s.
        """
    @gain.setter
    def gain(self, arg1: float) -> None:
        ...
    @property
    def inside(self) -> bool:
        """
        True: the tool is kept inside the sphere.
        """
    @inside.setter
    def inside(self, arg1: bool) -> None:
        ...
    @property
    def radius(self) -> float:
        """
        m.
        """
    @radius.setter
    def radius(self, arg1: float) -> None:
        ...
    @property
    def stiffness(self) -> float:
        """
        N/m.
        """
    @stiffness.setter
    def stiffness(self, arg1: float) -> None:
        ...
class Box(Effect):
    """
    Walls on the faces of an axis-aligned box that keep the tool inside it.
    """
    def __init__(self, min_corner: typing.Sequence[float], max_corner: typing.Sequence[float], stiffness: float, damping: float = 0.0) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def force_at(self: Effect, position: typing.Sequence[float], velocity: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> list[float]:
        """
        The force (N) this effect asks for at a position (m) and velocity (m/s).
        """
    def update(self, **kwargs: typing.Any) -> None:
        """
        Change several parameters at once (keyword arguments): checked together and applied in one cycle.
        """
    @property
    def damping(self) -> float:
        """
        N s/m, against the velocity on each axis whose wall the tool is in; never pulls.
        """
    @damping.setter
    def damping(self, arg1: float) -> None:
        ...
    @property
    def enabled(self) -> bool:
        """
        False: the effect asks for no force. A running loop fades it out and in over its ramp_s.
        """
    @enabled.setter
    def enabled(self, arg1: bool) -> None:
        ...
    @property
    def gain(self) -> float:
        """
        The effect's force is scaled by this (finite, not negative; default 1.0). A running loop moves to the new force no faster than max_force per ramp_s.
        """
    @gain.setter
    def gain(self, arg1: float) -> None:
        ...
    @property
    def max_corner(self) -> Vector:
        """
        m.
        """
    @max_corner.setter
    def max_corner(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def min_corner(self) -> Vector:
        """
        m.
        """
    @min_corner.setter
    def min_corner(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def stiffness(self) -> float:
        """
        N/m.
        """
    @stiffness.setter
    def stiffness(self, arg1: float) -> None:
        ...
class ConstantForce(Effect):
    """
    The same force (N) every cycle.
    """
    def __init__(self, force: typing.Sequence[float]) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def force_at(self: Effect, position: typing.Sequence[float], velocity: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> list[float]:
        """
        The force (N) this effect asks for at a position (m) and velocity (m/s).
        """
    def update(self, **kwargs: typing.Any) -> None:
        """
        Change several parameters at once (keyword arguments): checked together and applied in one cycle.
        """
    @property
    def enabled(self) -> bool:
        """
        False: the effect asks for no force. A running loop fades it out and in over its ramp_s.
        """
    @enabled.setter
    def enabled(self, arg1: bool) -> None:
        ...
    @property
    def force(self) -> Vector:
        """
        N.
        """
    @force.setter
    def force(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def gain(self) -> float:
        """
        The effect's force is scaled by this (finite, not negative; default 1.0). A running loop moves to the new force no faster than max_force per ramp_s.
        """
    @gain.setter
    def gain(self, arg1: float) -> None:
        ...
class Mesh(Effect):
    """
    A triangle mesh the tool touches through a proxy (god-object): a point that follows the tool but never passes through a front face, sliding along up to three faces at once (edges, corners). The force is stiffness times (proxy - tool), less damping times the tool's velocity along that direction (never pulling), through the loop's clamp like every effect. friction is mu of a friction cone: a resting contact holds while the tangential pull is at most mu times the push (dynamic_friction, default friction, while sliding). A triangle's front is the side its winding turns counter-clockwise on; open meshes are one-sided, and the faces of each closed part are turned to agree and face outwards at build. The force follows interpolated vertex normals (force shading) across edges flatter than smoothing_angle. Thin parts cannot be pushed through. Each loop keeps its own proxy, which survives changes of the parameters and transform; a mesh added while the tool is behind its surface is felt only once the tool has come out.
    """
    @staticmethod
    def load(path: str, scale: float = 1.0, *, stiffness: float = 800.0, damping: float = 0.0, friction: float = 0.0, dynamic_friction: typing.Any = None, smoothing_angle: float = 30.0, gap: float = 0.0001, orient: bool = True) -> Mesh:
        """
        Read a mesh file (STL binary or ASCII, OBJ, PLY, and what else trimesh reads), its coordinates times scale (e.g. 0.001 for a file in millimetres). Needs the optional dependency: pip install 'VelkorHardwareAPI[mesh]'.
        """
    def __init__(self, vertices: typing.Any, triangles: typing.Any, stiffness: float, damping: float = 0.0, friction: float = 0.0, dynamic_friction: typing.Any = None, *, normals: typing.Any = None, smoothing_angle: float = 30.0, gap: float = 0.0001, orient: bool = True) -> None:
        """
        vertices: (N, 3) positions (m); triangles: (M, 3) vertex indices, counter-clockwise seen from the front. NumPy arrays, other buffers or nested sequences. The bounding-volume hierarchy is built here, without the interpreter lock. Triangles without area are left out.
        
        normals: (N, 3) vertex normals for force shading, used as given; otherwise they are computed, smoothing across edges where neighbouring faces differ by at most smoothing_angle degrees (0: no shading). gap (m): faces are widened by this across their open edges so that the proxy cannot slip through cracks up to twice as wide whose sides differ in height by up to gap; vertices closer than a tenth of it are welded. Faces of a closed part wound against the rest are turned round, with a warning; orient=False keeps every face as given (a cavity's or a container's inner surface, facing inwards).
        """
    def __repr__(self) -> str:
        ...
    def closest_point(self, point: typing.Sequence[float]) -> tuple[list[float], float, int]:
        """
        (point, distance, triangle index): the point of the mesh (device frame, as transformed) nearest to `point`.
        """
    def closest_points(self, points: typing.Any) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.uint32]]:
        """
        closest_point for many points at once: points (N, 3) -> (points (N, 3), distances (N,), triangle indices (N,)) as NumPy arrays, computed without the interpreter lock.
        """
    def force_at(self, position: typing.Sequence[float], velocity: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> list[float]:
        """
        The force (N) at a position (m) and velocity (m/s), from this object's own proxy, which follows the positions of successive calls as a loop's follows the tool (the first call places it). Loops keep proxies of their own.
        """
    def set_geometry(self, vertices: typing.Any, triangles: typing.Any, *, normals: typing.Any = None, smoothing_angle: float = 30.0, gap: float = 0.0001, orient: bool = True) -> None:
        """
        Replace the mesh's geometry (as the constructor takes it), keeping its parameters, transform and every loop's proxy: a tool touching the mesh stays on its surface as long as the surface moves less between replacements than the tool is pressed in (a deforming object), instead of starting afresh inside it.
        """
    def update(self, **kwargs: typing.Any) -> None:
        """
        Change several parameters at once (keyword arguments): checked together and applied in one cycle.
        """
    @property
    def bounds(self) -> tuple[Vector, Vector]:
        """
        (min corner, max corner) of the mesh in its own coordinates (m).
        """
    @property
    def damping(self) -> float:
        """
        N s/m, along the direction of the force.
        """
    @damping.setter
    def damping(self, arg1: float) -> None:
        ...
    @property
    def dynamic_friction(self) -> float:
        """
        Friction coefficient while sliding; at most friction.
        """
    @dynamic_friction.setter
    def dynamic_friction(self, arg1: float) -> None:
        ...
    @property
    def enabled(self) -> bool:
        """
        False: the effect asks for no force. A running loop fades it out and in over its ramp_s.
        """
    @enabled.setter
    def enabled(self, arg1: bool) -> None:
        ...
    @property
    def flipped_faces(self) -> int:
        """
        Faces turned round at build so that each closed part is wound outwards consistently.
        """
    @property
    def friction(self) -> float:
        """
        Static friction coefficient mu.
        """
    @friction.setter
    def friction(self, arg1: float) -> None:
        ...
    @property
    def gain(self) -> float:
        """
        The effect's force is scaled by this (finite, not negative; default 1.0). A running loop moves to the new force no faster than max_force per ramp_s.
        """
    @gain.setter
    def gain(self, arg1: float) -> None:
        ...
    @property
    def glide(self) -> bool:
        """
        True (default): a new transform is reached over as many cycles as passed since the one before (at most 100), and damping acts on the tool's velocity relative to the moving surface. False: each transform applies whole from the next cycle (a jump, as for putting a mesh somewhere else).
        """
    @glide.setter
    def glide(self, arg1: bool) -> None:
        ...
    @property
    def memory_bytes(self) -> int:
        """
        Bytes held for rendering: triangles and hierarchy, shared by every loop the mesh is in.
        """
    @property
    def open_edges(self) -> int:
        """
        Edges with a face on one side only (after welding): 0 for a closed mesh. Where a mesh is open the tool can get behind its surface.
        """
    @property
    def proxy(self) -> typing.Any:
        """
        Where a running loop's proxy of this mesh is, as of the last cycle that rendered it (None until a loop has): a dict of position (m, device frame), normal (the unit surface normal the force follows, [0, 0, 0] out of contact), triangle (the face it rests on, or None), contacts (faces it rests on, 0-3), force (N, before the loop's clamp), gain (as applied, slewed) and renders (cycles the loop has rendered the mesh). For graphics: read it at any rate, it never holds up the loop. With the mesh in two loops at once, either loop's.
        """
    @property
    def shaded(self) -> bool:
        """
        Whether the force follows interpolated vertex normals (force shading).
        """
    @property
    def stiffness(self) -> float:
        """
        N/m.
        """
    @stiffness.setter
    def stiffness(self, arg1: float) -> None:
        ...
    @property
    def transform(self) -> tuple[Vector, Vector, Vector, Vector]:
        """
        Where the mesh is: a 4 x 4 row-major rigid motion from the mesh's coordinates to the device's (rotation and translation only; scale, shear and mirroring are refused). Published whole; a loop moves the mesh there over as many cycles as passed since the transform before (at most 100), so updates at a steady rate glide instead of stepping (see glide). closest_point answers for this transform.
        """
    @transform.setter
    def transform(self, arg1: typing.Any) -> None:
        ...
    @property
    def triangle_count(self) -> int:
        """
        Triangles rendered (those with area).
        """
    @property
    def vertex_count(self) -> int:
        """
        As given.
        """
    @property
    def welded_vertices(self) -> int:
        """
        Vertices merged at build into another within a tenth of gap.
        """
class ServoLoop:
    """
    A fixed-rate thread that drives one Vorlan3: every period it sends the summed force of its effects (clamped to max_force) in one end_effector_force exchange and keeps the state that comes back. It runs without the interpreter lock. While it runs it holds the lease of the arm's stream: every other call on the arm, on another device on the same stream, or from another loop raises RuntimeError naming this loop. Closing or reopening the stream stops the loop first. stop() always ends with a zero-force exchange; so does leaving a `with` block, collecting the object, closing the stream, or interpreter exit.
    
    Safety: from the first unanswered request at most failure_limit requests carry force; then it sends zero force, counts it and keeps trying, and ramps back in over ramp_s once replies come again. A cycle that starts more than late_limit seconds late sends the force the device already has again. `error` says why it is holding, or that the device cannot keep the rate.
    """
    telemetry_dtype: typing.ClassVar[numpy.dtype[numpy.void]]
    def __enter__(self) -> ServoLoop:
        ...
    def __exit__(self, arg0: typing.Any, arg1: typing.Any, arg2: typing.Any) -> typing.Literal[False]:
        ...
    def __init__(self, arm: Vorlan3, rate_hz: float = 1000.0, realtime: bool = False, *, exchange_timeout: float = 0.05, failure_limit: int = 3, late_limit: float = 0.005, spin: float = 5e-05, ramp_s: float = 0.05, reconnect: bool = False, reconnect_ports: typing.Sequence[str | os.PathLike[str]] | None = None, stiff_contact: bool = True) -> None:
        """
        rate_hz: 1 to 10000. realtime: ask for SCHED_FIFO and locked memory where the process may have them (stats() says what it got; never fails for lack of privilege). exchange_timeout: seconds each exchange may take. failure_limit, late_limit: when to hold zero force. spin: seconds before each deadline spent spinning instead of sleeping. ramp_s: seconds over which force ramps in at start and after a hold, and the slew limit when effects are added or removed (0: none). reconnect: when the port goes away, hold zero force, find the arm again by its identifier (on reconnect_ports, or every serial port when None), reopen the stream there and ramp back in. stiff_contact: render springs, walls, balls, boxes and meshes stiffer than the measured period keeps stable damped along their push, and at most as stiff as it allows (False: as given, however they buzz).
        """
    def add(self, effect: Effect, lease: float | None = None) -> int:
        """
        Add an effect from the next cycle on; returns its handle for remove(). lease: seconds; unless the effect is changed or renew(handle) is called within that long, its force ramps out over ramp_s, and back in at the next change or renewal (stats(): lease_expiries, leases_out).
        """
    def clear(self) -> None:
        """
        Remove every effect.
        """
    def drain(self) -> tuple[numpy.typing.NDArray[numpy.void], int]:
        """
        Every cycle since the last drain, oldest first, as (records, lost): records is a NumPy structured array of dtype ServoLoop.telemetry_dtype (time, cycle, position, velocity, force, period_us, exchange_us, compute_us, lateness_us, flags); lost counts cycles the ring (8192 records) had no room for because nothing drained it in time.
        """
    def on_state(self, fn: typing.Callable[[ServoState], object] | None, rate_hz: float = 100.0) -> None:
        """
        Call fn(state) on a Python thread about rate_hz times a second while the loop runs (None: no callback). An exception ends the callback, is reported by threading.excepthook and is raised again by stop().
        """
    def record(self, path: str | os.PathLike[str]) -> None:
        """
        Record every cycle to an MCAP file at path (velkor_telemetry.Recording, on a Python thread that drains the telemetry) until stop_recording() or stop(). RuntimeError if a recording runs already.
        """
    def remove(self, handle: int) -> None:
        """
        Remove the effect that add() returned this handle for.
        """
    def renew(self, handle: int) -> None:
        """
        Renew the lease of the effect add() returned this handle for, without changing it.
        """
    def start(self, record: str | os.PathLike[str] | None = None) -> None:
        """
        Start the thread. RuntimeError if it runs already or another loop drives the arm. record: a path; every cycle is recorded to an MCAP file there, as record(path) does, until stop_recording() or stop().
        """
    def state(self) -> ServoState:
        """
        One cycle's values: position, velocity (of the reply), force (sent), cycle, time (s since start), holding, valid (position and velocity are a reply of this run: False until the arm first answered, and again after a reconnect until it answers).
        """
    def stats(self) -> ServoStats:
        """
        Counters since start and timing percentiles over the last 65536 cycles (microseconds).
        """
    def stop(self) -> None:
        """
        Stop the thread; its last exchange sends zero force. Re-raises an exception that the on_state callback raised.
        """
    def stop_recording(self) -> RecordingSummary | None:
        """
        End the recording: the cycles so far are written and the file closed. Returns its summary (path, messages, lost) or None when nothing was recording.
        """
    @property
    def effects(self) -> dict[int, Effect]:
        """
        The effects by handle (a copy of the mapping; the effects themselves are live).
        """
    @property
    def error(self) -> str | None:
        """
        None, or why the running loop is holding zero force.
        """
    @property
    def max_force(self) -> float:
        """
        Largest magnitude (N) of the force sent; the sum of the effects is scaled down to it (or to the arm's max_force when that is lower). Default 5.0. A lower limit applies from the next cycle; a higher one is reached no faster than max_force per ramp_s.
        """
    @max_force.setter
    def max_force(self, arg1: float) -> None:
        ...
    @property
    def rate_hz(self) -> float:
        """
        The rate asked for (Hz).
        """
    @property
    def recording(self) -> str | None:
        """
        The path being recorded to, or None.
        """
    @property
    def running(self) -> bool:
        """
        Whether the thread runs.
        """
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
        The driver class: 'usb_cdc' (arms), 'serial' (USB-to-UART bridges and on-board ports, wired handles), 'bluetooth' (wireless handles) or 'unknown' (a driver the detect functions do not know, which they never probe).
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
class DeviceError(OSError):
    """
    Base of the module's errors: a device call or an open that failed. An OSError; call, port, outcome and error_lines say which call, on which port, why, and what it logged.
    """
    call: str
    port: str
    outcome: str | None
    error_lines: tuple[str, ...]
class DeviceTimeoutError(DeviceError, TimeoutError):
    """
    The device did not reply (in full) in time. Also a TimeoutError.
    """
class BadReplyError(DeviceError):
    """
    A reply came but does not answer the request (wrong code or malformed). Not a TimeoutError.
    """
class PortGoneError(DeviceError, ConnectionError):
    """
    The port is closed, was never opened, or its device went away. Also a ConnectionError.
    """
class WriteFailedError(PortGoneError, RuntimeError):
    """
    The request could not be written to the port. A PortGoneError, and a RuntimeError as send_raw's failure always was.
    """
class PortOpenError(DeviceError):
    """
    SerialStream.open() could not open the port; the message says why, errno is the system's error number.
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
def discover(device: str, *, limit: float | None = None, timeout: float | None = None, progress: typing.Callable[[str, str, float], None] | None = None, sys_root: str = '/sys', dev_root: str = '/dev') -> list[str]:
    """
    What the detect function of the device kind returns, with every candidate probed at once.
    
    device is 'vorlan3', 'handle', 'wired_handle' or 'wireless_handle'. The candidates, their
    narrowing by USB vendor and the order of the result are the detect function's; a reply counts
    within limit seconds (None: 3 s for 'vorlan3', 5 s for the handles), so silent ports cost one
    limit in all instead of one each. The interpreter lock is released while the probes run: other
    Python threads go on, and Ctrl-C stops every probe and raises KeyboardInterrupt at once.
    timeout (seconds, None: no limit) stops probes still running and returns what was found.
    progress, if given, is called on this thread as progress(port, outcome, seconds) for each
    candidate as its outcome becomes known: 'found', 'no answer', 'not probed' (reported without
    opening it) or 'cancelled' (the timeout came first). Every probed port is closed on return.
    """
def get_cpp_version() -> str:
    """
    Get the version of the CPP library
    """
def list_ports(sys_root: str = '/sys', dev_root: str = '/dev') -> list[PortInfo]:
    """
    List the serial ports that the detect functions consider, sorted by name, without opening any.
    
    Ports of the platform's map whose driver the detect functions do not know are listed too,
    with kind 'unknown'.
    
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
def set_error_handler(handler: typing.Callable[[str], object] | None) -> None:
    """
    Pass each error line to handler(line) as a str without its newline, instead of writing it to standard error. Lines are delivered on the calling thread when a call of this module returns (lines of discovery workers with the detect call that started them). None restores standard error.
    """
def set_termination_handling(enabled: bool) -> bool:
    """
    While a ServoLoop runs or an arm's last plain request carried a force, SIGTERM and SIGHUP whose action is still the default stop every loop (zero force last), send the zero-force exchange to every arm that needs one (see Vorlan3.zero_force_on_close) and then end the process by that signal as the default would. A handler the program installs is never replaced, and SIG_IGN is kept; SIG_DFL put back meanwhile is stood in for again within about 5 ms. False turns this off (and puts back the default action where the module's handler stands in); True turns it on again from the next loop's start or force request. Returns the previous setting.
    """
__version__: str = 'dev'

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
