import math
import re
import time

import pytest

import VelkorHardwareAPI as api
from surface import surface

READ_TIMEOUT = 2.0


def test_the_module_is_the_windows_build():
    assert api.__file__.lower().endswith(".pyd")


def test_signatures_and_docstrings_match_the_linux_build(linux_surface):
    windows = surface(api)
    assert sorted(windows) == sorted(linux_surface)
    differing = [name for name in windows if windows[name] != linux_surface[name]]
    assert differing == []


def test_a_missing_port_prints_its_two_lines_with_the_system_text(capfd):
    api.SerialStream("COM199")
    err = capfd.readouterr().err
    line = r"\[err\] Library/src/SerialStream:{}> unable to open {} 'COM199': \[2\] (.+)\r\n\n"
    match = re.fullmatch(line.format(39, "port") + line.format(18, "stream"), err)
    assert match, repr(err)
    assert match.group(1) == match.group(2) != "unknown"


def test_arm_wakes_up_and_exchanges_states(arm_port):
    stream = api.SerialStream(arm_port)
    arm = api.Vorlan3(stream, READ_TIMEOUT)
    info = arm.device_wakeup_dict()
    assert info["device_model_number"] == 4
    assert arm.get_device_id() == info["device_id_ext"]
    for _ in range(100):
        position, velocity = arm.end_effector_force([0.0, 0.0, 0.5])
        assert len(position) == 3 and len(velocity) == 3
        assert any(p != 0.0 for p in position)
    angles, _ = arm.joint_torques([0.0, 0.0, 0.0])
    assert all(math.isfinite(a) for a in angles)


class RecordingHandle(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.infos = []
        self.statuses = []

    def OnReceiveHandleInfo(self, *args):
        self.infos.append(args)

    def OnReceiveHandleStatusMessage(self, *args):
        self.statuses.append(args)


def test_handle_callbacks_run_in_python(handle_port):
    handle = RecordingHandle(api.SerialStream(handle_port))
    handle.SendDeviceWakeup()
    assert handle.Receive() == 6
    device_id = handle.infos[0][1]
    handle.SendHandleState(device_id, 1, 42)
    handle.RequestStatus()
    assert handle.Receive() == 22
    _, quaternion, _, _, length, user_data = handle.statuses[0]
    assert (length, user_data) == (1, [42])
    assert math.sqrt(sum(q * q for q in quaternion)) == pytest.approx(1.0, abs=1e-5)


def test_detect_vorlan3s_finds_the_simulated_arm(usb_cdc_arm_port):
    assert api.detect_vorlan3s() == [usb_cdc_arm_port]


def test_servo_loop_runs_on_the_windows_timer(arm_port):
    arm = api.Vorlan3(api.SerialStream(arm_port), READ_TIMEOUT)
    arm.device_wakeup()
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    loop = api.ServoLoop(arm, rate_hz=1000.0, realtime=True)
    loop.add(api.Spring([start[0], start[1], start[2] + 0.01], 100.0, 1.0))
    with loop:
        give_up = time.monotonic() + 10.0
        while loop.state()["cycle"] < 300 and time.monotonic() < give_up:
            time.sleep(0.01)
        state = loop.state()
    stats = loop.stats()
    assert loop.error is None
    assert state["cycle"] >= 300 and stats["failures"] == 0
    assert any(state["force"])
    assert stats["realtime"] and "THREAD_PRIORITY" in stats["realtime_note"]
    assert math.isfinite(stats["rate_hz"]) and stats["rate_hz"] > 0


def test_list_ports_reads_the_serial_port_map(usb_cdc_arm_port):
    kinds = {port.name: port.kind for port in api.list_ports()}
    assert kinds.get(usb_cdc_arm_port) == "usb_cdc"


def test_list_ports_shows_ports_of_every_driver_and_detect_probes_only_known_kinds():
    import winreg

    path = r"HARDWARE\DEVICEMAP\SERIALCOMM"
    others = {r"\Device\VCP0": "COM41", r"\Device\ProlificSerial0": "COM42", r"\Device\com0com10": "COM43"}
    known = {r"\Device\Silabser7": ("COM44", "serial"), r"\Device\BthModem7": ("COM45", "bluetooth")}
    try:
        key = winreg.CreateKeyEx(winreg.HKEY_LOCAL_MACHINE, path, 0, winreg.KEY_SET_VALUE)
    except PermissionError:
        pytest.skip("the serial-port map is not writable here")
    values = {**others, **{name: port for name, (port, _) in known.items()}}
    with key:
        for name, port in values.items():
            winreg.SetValueEx(key, name, 0, winreg.REG_SZ, port)
    try:
        kinds = {port.name: port.kind for port in api.list_ports()}
        for port in others.values():
            assert kinds.get(port) == "unknown", kinds
        for port, kind in known.values():
            assert kinds.get(port) == kind, kinds
        names = [port.name for port in api.list_ports()]
        assert names == sorted(names, key=lambda n: (len(n), n))
        # Nothing the detect functions would open: no probe of a driver they do not know.
        for device in ("vorlan3", "handle", "wired_handle", "wireless_handle"):
            assert not set(others.values()) & {port for port, _ in api.detect_candidates(device)}
    finally:
        with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, path, 0, winreg.KEY_SET_VALUE) as key:
            for name in values:
                winreg.DeleteValue(key, name)


def test_a_machine_without_the_serial_port_map_has_no_ports(capfd):
    import winreg

    path = r"HARDWARE\DEVICEMAP\SERIALCOMM"
    saved = []
    with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, path) as key:
        for index in range(winreg.QueryInfoKey(key)[1]):
            saved.append(winreg.EnumValue(key, index))
    try:
        winreg.DeleteKey(winreg.HKEY_LOCAL_MACHINE, path)
    except PermissionError:
        pytest.skip("the serial-port map cannot be removed here")
    try:
        capfd.readouterr()
        assert api.list_ports() == []
        assert capfd.readouterr().err == ""
        # The detect functions find nothing and say why, as they always have.
        assert api.detect_vorlan3s() == []
        err = capfd.readouterr().err
        assert err.startswith("[err] Library/src/SerialDeviceProvider:115> unable to access registry key: "
                              "HARDWARE\\DEVICEMAP\\SERIALCOMM: [2] "), repr(err)
    finally:
        # The map lives under a volatile key, so it must be made volatile again.
        import ctypes
        from ctypes import wintypes

        handle = wintypes.HKEY()
        ctypes.windll.advapi32.RegCreateKeyExW(
            wintypes.HKEY(winreg.HKEY_LOCAL_MACHINE), path, 0, None, 1, winreg.KEY_SET_VALUE, None,
            ctypes.byref(handle), None)
        ctypes.windll.advapi32.RegCloseKey(handle)
        with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, path, 0, winreg.KEY_SET_VALUE) as key:
            for name, data, kind in saved:
                winreg.SetValueEx(key, name, 0, kind, data)
