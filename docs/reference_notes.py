"""What the API reference adds under each member's own docstring: parameters with
their units, the result, what it raises and a line of use.

Many docstrings are kept word for word as programs written for the module have
always seen them (``help()`` shows them unchanged), so the fuller text lives here
and ``conf.py`` appends it to the reference page. ``tests/python/test_reference.py``
checks that every public member of the module has an entry.
"""

ARM_CALL = ("TypeError when an argument does not convert (before any I/O); RuntimeError while a running "
            "ServoLoop drives the arm; with ``strict = True`` a DeviceError subclass when the exchange failed "
            "(otherwise the zeros below, with ``last_error`` set)")
REQUEST = ("a sequence of numbers; elements 0, 1 and 2 are used and any further ones ignored, a shorter one "
           "raises ValueError; NaN or infinity raises ValueError")
STATE = ("``(position, velocity)``: two lists of three floats, m and m/s in the base frame (:doc:`frames`); "
         "zeros when no reply came")
JOINT_STATE = ("``(angles, velocities)``: two lists of three floats, joint angles in degrees and their "
               "velocities as the device reports them; zeros when no reply came")
DEPRECATED = "DeprecationWarning on every call (an error under ``-W error``, before anything is sent)"
HANDLE_CALL = ("TypeError when an argument does not convert; with ``strict = True`` a DeviceError subclass when "
               "the line failed (otherwise nothing: the failure shows in ``last_error``)")
REACH = ("a position farther from the base than the arm's reach (about 0.59 m) warns once per line of the "
         "program (UserWarning), or raises ValueError when ``refuse_out_of_reach`` is set")
ANGLE_REACH = ("an angle beyond 180 degrees either way warns once per line of the program (UserWarning), or "
               "raises ValueError when ``refuse_out_of_reach`` is set")
VECTOR3 = ("exactly three numbers (a list, tuple or array); another count raises ValueError. Reading it gives a "
           "read-only tuple: assign a whole new value to change it")
EFFECT_PARAM = "Assigning checks the value (ValueError, the old value stays) and applies it whole from the next cycle."


def entry(params=None, returns=None, raises=None, use=None):
    """A reST field list; every field is optional."""
    fields = []
    if params:
        fields.append(":Parameters: " + params)
    if returns:
        fields.append(":Returns: " + returns)
    if raises:
        fields.append(":Raises: " + raises)
    if use:
        fields.append(":Use: ``" + use + "``")
    return "\n".join(fields)


NOTES = {
    # SerialStream, UUID, Device
    "SerialStream.__init__": entry(
        "the port name (positional only): a str or bytes such as ``'/dev/ttyACM0'`` or ``'ttyACM0'`` (under "
        "``/dev``)",
        "None; the stream is open when ``is_open`` is true",
        "TypeError for another type or a keyword; nothing for a port that cannot be opened: one ``[err]`` line "
        "per failed check on standard error and a stream that is not open (use :meth:`SerialStream.open` to get "
        "an exception instead)",
        "stream = api.SerialStream('/dev/ttyACM0')"),
    "SerialStream.open": entry(
        "``port``: str, bytes or os.PathLike, a path (``/dev/ttyACM0``) or a name under ``/dev``",
        "an open SerialStream (115200 8N1, exclusive)",
        "PortOpenError (an OSError with ``errno``) naming the port and why: no such port, not a serial port, "
        "in use by another program, already open in this program, permission denied; ValueError for an empty "
        "name or one holding a NUL byte; TypeError for None",
        "with api.SerialStream.open(port) as stream: ..."),
    "SerialStream.is_open": entry(returns="bool: True while the port is open"),
    "SerialStream.close": entry(
        returns="None; devices on the stream then fail with ``last_error == 'port_gone'`` until ``reopen()``",
        raises="RuntimeError while a device call on the stream is in progress",
        use="stream.close()"),
    "SerialStream.reopen": entry(
        returns="bool: True when the same port name opened again",
        raises="RuntimeError while a device call on the stream is in progress",
        use="while not stream.reopen(): time.sleep(0.5)"),
    "SerialStream.__enter__": entry(returns="the stream itself", use="with api.SerialStream.open(port) as stream:"),
    "SerialStream.__exit__": entry(returns="None (exceptions pass on); the port is closed"),
    "Device.__init__": entry(raises="TypeError ``VelkorHardwareAPI.Device: No constructor defined!``: the class "
                                    "only names the device base; no operation takes or returns one"),
    "UUID.__init__": entry(returns="an identifier of 16 zero bytes", use="api.UUID().bytes()"),
    "UUID.bytes": entry(returns="a new list of 16 ints (0 to 255) in wire order",
                        use="bytes(arm.ReceiveDeviceInfo()[4].bytes())"),
    # Vorlan3
    "Vorlan3.__init__": entry(
        "``stream``: a SerialStream (kept alive by the arm); ``timeout``: seconds each wait for the device may "
        "take, 5.0 by default (0, a negative number or infinity: no limit)",
        "None; nothing is sent. Every construction resets the shared kinematic model's lengths, gear ratios and "
        "orientation",
        "TypeError for None or another type; ValueError for a NaN time-out",
        "arm = api.Vorlan3(stream, 0.5)"),
    "Vorlan3.send_raw": entry(
        "``payload``: bytes, sent as they are (no framing)", "None",
        "RuntimeError ``send_raw: underlying stream write failed`` (a WriteFailedError or PortGoneError) when "
        "the write failed; TypeError for a bytearray",
        "arm.send_raw(bytes([0x0A]))"),
    "Vorlan3.read_raw": entry(
        "``n``: the most bytes to read; ``timeout``: seconds to wait, 1.0 by default",
        "bytes: what arrived, shorter than n on time-out",
        "TypeError for a negative n; with ``strict = True`` PortGoneError only (a short read is a result)",
        "reply = arm.read_raw(25, 0.1)"),
    "Vorlan3.set_read_timeout": entry(
        "``t``: seconds each wait for the device may take (0, a negative number or infinity: no limit)", "None",
        "ValueError for NaN; RuntimeError while a ServoLoop drives the arm", "arm.set_read_timeout(0.2)"),
    "Vorlan3.flush_input": entry(returns="None; bytes already waiting are discarded", raises=ARM_CALL,
                                 use="arm.flush_input()"),
    "Vorlan3.device_wakeup": entry(
        returns="``(device_id, device_model_number, hardware_version, firmware_version, device_id_ext)``: four "
                "ints and a uuid.UUID; zeros and the nil UUID when no reply came",
        raises=ARM_CALL, use="device_id, model, hw, fw, uid = arm.device_wakeup()"),
    "Vorlan3.device_wakeup_dict": entry(
        returns="a dict with the keys of ``device_wakeup`` (``ArmInfo`` in the stubs)", raises=ARM_CALL,
        use="print(arm.device_wakeup_dict()['device_id_ext'])"),
    "Vorlan3.get_firmware_version": entry(
        returns="uuid.UUID: the firmware's identifier (the nil UUID when no reply came)", raises=ARM_CALL,
        use="version = arm.get_firmware_version()"),
    "Vorlan3.get_device_id": entry(
        returns="uuid.UUID: the device's identifier (the nil UUID when no reply came)", raises=ARM_CALL,
        use="uid = arm.get_device_id()"),
    "Vorlan3.get_motor_currents": entry(returns="a list of three floats, A, one per motor", raises=ARM_CALL,
                                        use="currents = arm.get_motor_currents()"),
    "Vorlan3.get_device_orientation": entry(
        returns="a list of four floats: the base's orientation quaternion (x, y, z, w) as the device reports it",
        raises=ARM_CALL, use="x, y, z, w = arm.get_device_orientation()"),
    "Vorlan3.get_power_status": entry(returns="bool: True when the device reports power", raises=ARM_CALL,
                                      use="powered = arm.get_power_status()"),
    "Vorlan3.get_temperature": entry(returns="float: the device's temperature as it reports it (°C)",
                                     raises=ARM_CALL, use="celsius = arm.get_temperature()"),
    "Vorlan3.end_effector_force": entry(
        "the force in N (positional, the registered name has spaces): " + REQUEST + "; with ``max_force`` set a "
        "longer force is scaled down to that length",
        STATE, ARM_CALL, "position, velocity = arm.end_effector_force([0.0, 0.0, 1.5])"),
    "Vorlan3.get_end_effector_position": entry(
        "``onboard``: True (default) asks the device for its position; False computes it on the host from the "
        "reported joint angles with the shared kinematic model",
        STATE + " (the velocity is zero when host-computed)", ARM_CALL,
        "position, _ = arm.get_end_effector_position(False)"),
    "Vorlan3.adjust_angles": entry(
        "the angles in degrees that the pose held now should count as (" + REQUEST + ")",
        "None; one zero-torque exchange reads the pose, the offsets are stored in the shared model", ARM_CALL,
        "arm.adjust_angles([0.0, 0.0, 0.0])"),
    "Vorlan3.adjust_lengths": entry(
        "the four link lengths and the lateral extension, m (defaults 0.14, 0.14, 0.165, 0.165, 0.0765)",
        "None; nothing is sent", "ValueError for NaN or infinity",
        "arm.adjust_lengths(0.14, 0.14, 0.165, 0.165, 0.0765)"),
    "Vorlan3.adjust_gear_ratios": entry(
        "three coefficients without unit scaling the reported joint angles (default 1.0)", "None; nothing is sent",
        "ValueError for 0, NaN or infinity", "arm.adjust_gear_ratios(1.0, 1.02, 0.98)"),
    "Vorlan3.deactivate_orientation_sensor": entry(
        returns="None; sends nothing: sets the model's base orientation back to its default (see :doc:`frames`)",
        use="arm.deactivate_orientation_sensor()"),
    "Vorlan3.joint_torques": entry("the torques in N·m (positional): " + REQUEST, JOINT_STATE, ARM_CALL,
                                   "angles, velocities = arm.joint_torques([0.0, 0.0, 0.0])"),
    "Vorlan3.end_effector_position": entry(
        "the target position in m (positional): " + REQUEST + "; " + REACH, STATE, ARM_CALL,
        "position, velocity = arm.end_effector_position([0.0, 0.0245, 0.22])"),
    "Vorlan3.joint_angles": entry("the joint angles in degrees (positional): " + REQUEST + "; " + ANGLE_REACH,
                                  JOINT_STATE, ARM_CALL, "angles, velocities = arm.joint_angles([0.0, -20.0, 20.0])"),
    "Vorlan3.SendDeviceWakeup": entry(returns="None; read the reply with ``ReceiveDeviceInfo``",
                                      raises=DEPRECATED + "; " + ARM_CALL, use="arm.device_wakeup()  # instead"),
    "Vorlan3.ReceiveDeviceInfo": entry(
        returns="the tuple of ``device_wakeup`` with a module :class:`UUID` last", raises=ARM_CALL,
        use="arm.SendDeviceWakeup(); info = arm.ReceiveDeviceInfo()"),
    "Vorlan3.SendForce": entry(
        "a force in N as one sequence (" + REQUEST + ") or as three numbers", "None; read the state with "
        "``ReceiveState``", DEPRECATED + "; " + ARM_CALL, "arm.end_effector_force([0.0, 0.0, 1.0])  # instead"),
    "Vorlan3.ReceiveState": entry(
        "two lists to fill (each needs at least three elements)",
        "the two lists as passed, elements 0 to 2 replaced by position (m) and velocity (m/s) when a reply came",
        DEPRECATED + "; " + ARM_CALL, "position, velocity = arm.ReceiveState()"),
    "Vorlan3.ReceiveJointState": entry(
        "two lists to fill", "the two lists, elements 0 to 2 replaced by joint angles (degrees) and velocities",
        DEPRECATED + "; " + ARM_CALL, "angles, velocities = arm.ReceiveJointState()"),
    "Vorlan3.SendJointTorques": entry("torques in N·m: " + REQUEST, "None", DEPRECATED + "; " + ARM_CALL,
                                      "arm.joint_torques([0.0, 0.0, 0.0])  # instead"),
    "Vorlan3.SendAngle": entry("joint angles in degrees: " + REQUEST + "; " + ANGLE_REACH,
                               "None; read the joint state with ``ReceiveJointState``", ARM_CALL,
                               "arm.SendAngle([0.0, -20.0, 20.0])"),
    "Vorlan3.RequestCurrent": entry(returns="None; read the reply with ``ReceiveCurrent``", raises=ARM_CALL,
                                    use="arm.RequestCurrent(); currents = arm.ReceiveCurrent()"),
    "Vorlan3.ReceiveCurrent": entry("a list to fill", "the list, elements 0 to 2 replaced by the motor currents "
                                    "(A) when a reply came", ARM_CALL, "currents = arm.ReceiveCurrent()"),
    "Vorlan3.SendPosition": entry("a position in m: " + REQUEST + "; " + REACH, "None",
                                  DEPRECATED + "; " + ARM_CALL,
                                  "arm.end_effector_position([0.0, 0.0245, 0.22])  # instead"),
    "Vorlan3.last_error": entry(
        returns="None after a call that succeeded, else ``'timeout'``, ``'bad_reply'``, ``'port_gone'``, "
                "``'write_failed'`` or ``'interrupted'``",
        use="if arm.last_error: ..."),
    "Vorlan3.failures": entry(returns="int: failed calls since construction"),
    "Vorlan3.strict": entry("bool, False by default; True makes a failed call raise a DeviceError subclass",
                            use="arm.strict = True"),
    "Vorlan3.max_force": entry("None (default) or N, finite and not negative",
                               raises="ValueError for a negative or non-finite value", use="arm.max_force = 5.0"),
    "Vorlan3.stray_replies": entry(returns="int: replies discarded since construction because no request of the "
                                           "call was theirs"),
    "Vorlan3.zero_force_on_close": entry(
        "bool, True by default: after a non-zero force or torque, one zero-force exchange goes out before the "
        "stream closes or reopens, before the arm is collected and at interpreter exit",
        use="arm.zero_force_on_close = False"),
    "Vorlan3.refuse_out_of_reach": entry(
        "bool, False by default", raises="with True, position and angle requests far outside the reach raise "
        "ValueError before anything is sent", use="arm.refuse_out_of_reach = True"),
    # Handle
    "Handle.__init__": entry(
        "a SerialStream (positional only), kept alive by the handle; the read time-out is 5.0 s, changed by "
        "``set_read_timeout``",
        "None; nothing is sent", "TypeError for None or another type",
        "handle = MyHandle(stream); handle.set_read_timeout(0.5)"),
    "Handle.SendDeviceWakeup": entry(returns="None; the handle answers with an info message (``Receive``)",
                                     raises=HANDLE_CALL, use="handle.SendDeviceWakeup(); handle.Receive()"),
    "Handle.SendHandleState": entry(
        "``device_id``: 0 to 65535; ``data_length``: 0 or 1; ``user_data``: one byte 0 to 255 (required, though "
        "its default reads None)", "None",
        "TypeError for a value out of range or a missing user_data; ValueError for data_length above 1; "
        + HANDLE_CALL, "handle.SendHandleState(0x521, 1, 7)"),
    "Handle.RequestStatus": entry(returns="None; the handle answers with a status message (``Receive``)",
                                  raises=HANDLE_CALL, use="handle.RequestStatus(); handle.Receive()"),
    "Handle.OnReceiveHandleInfo": entry(
        "tool_data_remaining, device_id (16 bits: its high byte is the model number), device_model_number, "
        "hardware_version, firmware_version, all int",
        "ignored; override it in a subclass to receive info messages (the base method does nothing)",
        use="def OnReceiveHandleInfo(self, remaining, device_id, model, hw, fw): ..."),
    "Handle.OnReceiveHandleStatusMessage": entry(
        "device_id (int), quaternion (four floats), error_flag, hall_effect_sensor_level, user_data_length "
        "(int), user_data (a list of ints)",
        "ignored; a subclass must define it",
        "NotImplementedError (a RuntimeError) with the message \"Tried to call pure virtual function "
        "...OnReceiveHandleStatusMessage\" from ``Receive`` when a status message arrives and the subclass "
        "does not define it",
        "def OnReceiveHandleStatusMessage(self, device_id, q, error, hall, n, data): ..."),
    "Handle.OnReceiveHandleErrorResponse": entry(
        "device_id, error_code (int)", "ignored; override it to receive error responses",
        use="def OnReceiveHandleErrorResponse(self, device_id, error_code): ..."),
    "Handle.Receive": entry(
        "none (an int argument is accepted and ignored, with a DeprecationWarning)",
        "int: the payload bytes read (6, 3, or 21 plus the user data), less after a short read, or -1 when no "
        "message code came within the read time-out",
        "whatever a callback raises; NotImplementedError as under ``OnReceiveHandleStatusMessage``; "
        "RuntimeError when called from a callback of the same handle; " + HANDLE_CALL,
        "while handle.Receive() > 0: pass"),
    "Handle.GetStrixelStatus": entry(
        returns="a dict: device_id (int, the low byte of the info message's 16-bit id), quaternion (four "
                "floats), error_flag (99, 2 or 3 for a failed read, every other value zero), "
                "hall_effect_sensor_level, buttons (int), battery_level (float, V); within about 3 s",
        raises="RuntimeError when called from a callback of the same handle; " + HANDLE_CALL,
        use="status = handle.GetStrixelStatus()"),
    "Handle.last_error": entry(returns="None after a call that succeeded, else the failure's name as for the arm"),
    "Handle.failures": entry(returns="int: failed calls since construction"),
    "Handle.strict": entry("bool, False by default; True makes a failed call raise a DeviceError subclass",
                           use="handle.strict = True"),
    "Handle.status_frames_skipped": entry(
        returns="int: streamed status frames ``Receive`` read whole and skipped (``GetStrixelStatus`` reads "
                "them), since construction"),
    "Handle.set_read_timeout": entry(
        "``t``: seconds each wait of ``Receive`` may take (0, negative or infinity: no limit)", "None",
        "ValueError for NaN; RuntimeError from a callback of the same handle", "handle.set_read_timeout(0.2)"),
    "Handle.read_timeout": entry(returns="float: seconds", use="print(handle.read_timeout)"),
    # Module functions
    "get_cpp_version": entry(returns="str: the device library's version", use="api.get_cpp_version()"),
    "print_cpp_version": entry(returns="None; prints the version line on standard output",
                               use="api.print_cpp_version()"),
    "detect_vorlan3s": entry(returns="a list of port names where an arm answered (``[]`` when none)",
                             raises="KeyboardInterrupt on Ctrl-C", use="ports = api.detect_vorlan3s()"),
    "detect_handles": entry(returns="a list of port names where a handle answered",
                            raises="KeyboardInterrupt on Ctrl-C", use="ports = api.detect_handles()"),
    "detect_wired_handles": entry(returns="a list of USB port names where a handle answered",
                                  raises="KeyboardInterrupt on Ctrl-C", use="ports = api.detect_wired_handles()"),
    "detect_wireless_handles": entry(returns="a list of Bluetooth port names where a handle answered",
                                     raises="KeyboardInterrupt on Ctrl-C",
                                     use="ports = api.detect_wireless_handles()"),
    "list_ports": entry("``sys_root``, ``dev_root``: the device tree and node folder (for tests)",
                        "a list of PortInfo, sorted by name", "OSError when the tree cannot be read",
                        "for p in api.list_ports(): print(p.name, p.kind)"),
    "detect_candidates": entry(returns="the ports each device kind would be probed on",
                               use="api.detect_candidates()"),
    "probe_port": entry(returns="whether the device kind answers on the port, within its time limit",
                        raises="KeyboardInterrupt on Ctrl-C; TypeError for an unknown kind",
                        use="api.probe_port('/dev/ttyACM0', 'vorlan3')"),
    "discover": entry(returns="a dict: device kind -> ports, every candidate probed at once",
                      raises="KeyboardInterrupt on Ctrl-C", use="found = api.discover()"),
    "set_termination_handling": entry("``enabled``: bool", "bool: the previous setting",
                                      use="api.set_termination_handling(False)"),
    "set_error_handler": entry("``handler``: a callable taking one str, or None to print again", "None",
                               "TypeError for something not callable", "api.set_error_handler(log.warning)"),
    "PortInfo.__init__": entry(raises="TypeError: PortInfo records are made by ``list_ports()`` only",
                               use="api.list_ports()[0].name"),
    "PortInfo.name": entry(returns="str: the port's path, such as /dev/ttyACM0"),
    "PortInfo.kind": entry(returns="str: 'usb_cdc', 'serial' or 'bluetooth'"),
    "PortInfo.vendor": entry(returns="str: the USB vendor id in upper-case hex, or '' when not USB"),
    # ServoLoop
    "ServoLoop.__init__": entry(
        "``arm``: a Vorlan3 (not None); ``rate_hz``: 1 to 10000 Hz (1000 by default); the other keywords as "
        "listed above (seconds, counts)", "None; nothing is sent until ``start()``",
        "TypeError for None; ValueError for an option out of its range", "loop = api.ServoLoop(arm, 1000.0)"),
    "ServoLoop.start": entry("``record``: None or a path for an MCAP recording from the first cycle", "None",
                             "RuntimeError when it runs already or another loop drives the arm",
                             "loop.start()"),
    "ServoLoop.stop": entry(returns="None; the last exchange sends zero force",
                            raises="what the on_state callback raised", use="loop.stop()"),
    "ServoLoop.__enter__": entry(returns="the loop, started", use="with api.ServoLoop(arm) as loop: ..."),
    "ServoLoop.__exit__": entry(returns="False; the loop is stopped"),
    "ServoLoop.add": entry(
        "``effect``: a Spring, Damper, Plane, Sphere, Box, ConstantForce or Mesh; ``lease``: None or 0 to "
        "3600 s", "int: the handle for ``remove()``",
        "TypeError for another object; ValueError for a bad lease; RuntimeError past the lease slots; a "
        "UserWarning when the effect's geometry lies far outside the workspace (probably millimetres)",
        "handle = loop.add(api.Plane([0, 0, 0.22], [0, 0, -1], 800.0))"),
    "ServoLoop.remove": entry("``handle``: what add() returned", "None", "KeyError for an unknown handle",
                              "loop.remove(handle)"),
    "ServoLoop.clear": entry(returns="None", use="loop.clear()"),
    "ServoLoop.renew": entry("``handle``", "None", "KeyError, or ValueError for an effect without a lease",
                             "loop.renew(handle)"),
    "ServoLoop.effects": entry(returns="a dict handle -> effect (a copy; the effects are live)"),
    "ServoLoop.max_force": entry("N, finite, not negative (5.0 by default)", raises="ValueError",
                                 use="loop.max_force = 3.0"),
    "ServoLoop.running": entry(returns="bool"),
    "ServoLoop.rate_hz": entry(returns="float: the rate asked for, Hz"),
    "ServoLoop.error": entry(returns="None, or a str saying why the running loop holds zero force"),
    "ServoLoop.state": entry(
        returns="a dict: position (m), velocity (m/s), force (N), cycle, time (s), holding; zeros before "
                "the first cycle", use="print(loop.state()['position'])"),
    "ServoLoop.stats": entry(
        returns="a dict of counters and percentiles (µs); ``valid`` is False until the loop has run a cycle, "
                "when every figure is a zero that measured nothing", use="loop.stats()['period_p99_us']"),
    "ServoLoop.on_state": entry("``fn``: a callable taking the state dict, or None; ``rate_hz``: above 0, at "
                                "most 1000", "None", "TypeError, ValueError", "loop.on_state(print, 10)"),
    "ServoLoop.drain": entry(
        returns="``(records, lost)``: a NumPy structured array (``telemetry_dtype``) and an int; before "
                "``start()`` no record and 0 lost: rows are only ever real cycles",
        raises="RuntimeError while a recording drains the loop", use="records, lost = loop.drain()"),
    "ServoLoop.telemetry_dtype": entry(returns="numpy.dtype of drain()'s records"),
    "ServoLoop.record": entry("``path``: str or os.PathLike", "None",
                              "RuntimeError before ``start()`` (use ``start(record=path)``) or while "
                              "recording already", "loop.record('run.mcap')"),
    "ServoLoop.stop_recording": entry(returns="the summary dict (path, messages, lost), or None",
                                      use="summary = loop.stop_recording()"),
    "ServoLoop.recording": entry(returns="the path being recorded to, or None"),
    # Effects and Mesh (shared members are filled in below)
    "Effect.__init__": entry(raises="TypeError: Effect is the base of the effects; build a Spring, Damper, Plane, "
                                    "Sphere, Box, ConstantForce or Mesh"),
    "Spring.__init__": entry("``anchor``: m, " + VECTOR3 + "; ``stiffness``: N/m; ``damping``: N·s/m",
                             raises="ValueError for a negative or non-finite value or a wrong count",
                             use="api.Spring([0.0, 0.0245, 0.22], 200.0)"),
    "Spring.anchor": entry("m, " + VECTOR3, raises=EFFECT_PARAM, use="spring.anchor = [0.0, 0.0245, 0.23]"),
    "Damper.__init__": entry("``damping``: N·s/m, not negative", raises="ValueError", use="api.Damper(2.0)"),
    "Plane.__init__": entry("``point``: m, " + VECTOR3 + "; ``normal``: towards the free side, not zero; "
                            "``stiffness``: N/m; ``damping``: N·s/m", raises="ValueError",
                            use="api.Plane([0, 0, 0.22], [0, 0, -1], 800.0)"),
    "Plane.point": entry("m, " + VECTOR3, raises=EFFECT_PARAM, use="plane.point = [0, 0, 0.23]"),
    "Plane.normal": entry(VECTOR3 + "; kept at unit length", raises=EFFECT_PARAM, use="plane.normal = [0, 0, 1]"),
    "Sphere.__init__": entry("``center``: m, " + VECTOR3 + "; ``radius``: m; ``stiffness``: N/m; ``inside``: "
                             "bool; ``damping``: N·s/m", raises="ValueError",
                             use="api.Sphere([0, 0.0245, 0.24], 0.02, 500.0)"),
    "Sphere.center": entry("m, " + VECTOR3, raises=EFFECT_PARAM, use="sphere.center = [0, 0.03, 0.24]"),
    "Sphere.radius": entry("m, above 0", raises=EFFECT_PARAM, use="sphere.radius = 0.03"),
    "Sphere.inside": entry("bool", use="sphere.inside = True"),
    "Box.__init__": entry("``min_corner``, ``max_corner``: m, " + VECTOR3 + "; ``stiffness``: N/m; ``damping``: "
                          "N·s/m", raises="ValueError",
                          use="api.Box([-0.05, -0.03, 0.2], [0.05, 0.08, 0.25], 500.0)"),
    "Box.min_corner": entry("m, " + VECTOR3, raises=EFFECT_PARAM, use="box.min_corner = [-0.05, -0.03, 0.2]"),
    "Box.max_corner": entry("m, " + VECTOR3, raises=EFFECT_PARAM, use="box.max_corner = [0.05, 0.08, 0.25]"),
    "ConstantForce.__init__": entry("``force``: N, " + VECTOR3, raises="ValueError",
                                    use="api.ConstantForce([0.0, 0.0, -1.0])"),
    "ConstantForce.force": entry("N, " + VECTOR3, raises=EFFECT_PARAM, use="push.force = [0.0, 0.0, -2.0]"),
    "Mesh.__init__": entry("``vertices``: N x 3, m; ``triangles``: M x 3 vertex indices (arrays, buffers or "
                           "sequences); ``stiffness``: N/m; ``damping``: N·s/m; ``friction``, "
                           "``dynamic_friction``: coefficients", "None",
                           "ValueError for bad geometry or values, TypeError for non-numbers",
                           use="api.Mesh(vertices, triangles, 800.0)"),
    "Mesh.load": entry("``path``: a mesh file; ``scale``: its unit in m (0.001 for millimetres)",
                       "a Mesh", "ValueError for a missing or empty file; ImportError without trimesh",
                       use="api.Mesh.load('part.stl', 0.001)"),
    "Mesh.friction": entry("mu, not negative", raises=EFFECT_PARAM),
    "Mesh.dynamic_friction": entry("mu while sliding, at most friction", raises=EFFECT_PARAM),
    "Mesh.transform": entry("a 4 x 4 rigid motion (rows of numbers or an array); reading gives read-only "
                            "tuples", raises=EFFECT_PARAM, use="mesh.transform = numpy.eye(4)"),
    "Mesh.set_geometry": entry("``vertices``, ``triangles`` as the constructor takes them; keywords "
                               "``normals``, ``smoothing_angle`` (degrees), ``gap`` (m)",
                               "None; parameters, transform and loops stay, the proxy is brought down on the new "
                               "surface", "ValueError, TypeError as the constructor",
                               "mesh.set_geometry(vertices, triangles)"),
    "Mesh.glide": entry("bool, True by default: a new transform is reached over the time since the one before",
                        use="mesh.glide = False"),
    "Mesh.open_edges": entry(returns="int: edges with a face on one side only (0 for a closed mesh)"),
    "Mesh.flipped_faces": entry(returns="int: faces turned round at build"),
    "Mesh.welded_vertices": entry(returns="int: vertices merged at build"),
    "Mesh.shaded": entry(returns="bool: whether the force follows interpolated vertex normals"),
    "Mesh.closest_points": entry("``points``: an (N, 3) array, m, finite",
                                 "(points (N, 3), distances (N,), triangle indices (N,)) as NumPy arrays",
                                 "TypeError for another shape, ValueError for non-finite points",
                                 "points, distances, faces = mesh.closest_points(grid)"),
    "Mesh.proxy": entry(returns="None until a loop has rendered the mesh, then a dict: position (m), normal, "
                                "triangle, contacts, force (N), gain, renders",
                        use="print(mesh.proxy)"),
    "Mesh.vertex_count": entry(returns="int"),
    "Mesh.triangle_count": entry(returns="int"),
    "Mesh.memory_bytes": entry(returns="int: bytes"),
    "Mesh.bounds": entry(returns="(min corner, max corner): two read-only tuples, m, in the mesh's coordinates"),
    "Mesh.closest_point": entry("``point``: m, three numbers", "(point, distance in m, triangle index)",
                                use="p, d, i = mesh.closest_point([0, 0, 0.22])"),
}

EFFECTS = ("Spring", "Damper", "Plane", "Sphere", "Box", "ConstantForce", "Mesh")
for _name in EFFECTS:
    NOTES.setdefault(_name + ".update", entry(
        "keyword arguments naming parameters", "None", "ValueError (nothing changes), AttributeError for an "
        "unknown name", "effect.update(stiffness=400.0, damping=1.0)"))
    NOTES.setdefault(_name + ".force_at", entry(
        "``position``: m; ``velocity``: m/s (three numbers each)", "a list of three floats, N",
        "ValueError for another count", "effect.force_at([0.0, 0.0245, 0.22])"))
    NOTES.setdefault(_name + ".enabled", entry("bool; switching fades the force over the loop's ramp_s",
                                               use="effect.enabled = False"))
    NOTES.setdefault(_name + ".gain", entry("finite, not negative (1.0)", raises=EFFECT_PARAM,
                                            use="effect.gain = 0.5"))
    if _name != "ConstantForce":
        NOTES.setdefault(_name + ".damping", entry("N·s/m, not negative", raises=EFFECT_PARAM,
                                                   use="effect.damping = 1.0"))
    if _name not in ("ConstantForce", "Damper"):
        NOTES.setdefault(_name + ".stiffness", entry("N/m, not negative", raises=EFFECT_PARAM,
                                                     use="effect.stiffness = 400.0"))
