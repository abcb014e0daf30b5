"""The Handle class against a handle played on a pseudo-terminal."""

import gc
import struct
import sys
import threading
import time
import warnings

import pytest

import VelkorHardwareAPI as api

INFO = bytes([0xD0, 0x05, 0x00, 0x34, 0x12, 0x07, 0x09])
ERROR = bytes([0xDF, 0x02, 0x01, 0x04])
QUATERNION = [0.5, -1.5, 2.25, -0.125]
PURE_VIRTUAL = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'


def status_message(device_id=0xBEEF, quaternion=QUATERNION, error_flag=3, hall=21, user_data=b""):
    return (bytes([0xDA]) + struct.pack("<HBB4fB", device_id, error_flag, hall, *quaternion, len(user_data))
            + bytes(user_data))


def slip(data):
    return data.replace(b"\xdb", b"\xdb\xdd").replace(b"\xc0", b"\xdb\xdc") + b"\xc0"


def status_frame(error_flag=4, sensor=0b010_10001, device_id=0x21, components=(0x4000, 0xE000, 0x1000, 0x8000),
                 battery=180, checksum_offset=0):
    body = bytes([0x11, 0x22, error_flag, sensor, device_id, 0, 0, 0]) + struct.pack("<4H", *components)
    body += bytes([battery])
    return b"\xda" + slip(body + bytes([(0xDA + sum(body) + checksum_offset) % 256]))


# What status_frame() decodes to with its defaults.
STATUS = {"device_id": 0x21, "quaternion": [0.5, 0.25, -0.125, -1.0], "error_flag": 4,
          "hall_effect_sensor_level": 17, "buttons": 2, "battery_level": pytest.approx(3.9)}
FAILED = {"device_id": 0, "quaternion": [0.0, 0.0, 0.0, 0.0], "hall_effect_sensor_level": 0, "buttons": 0,
          "battery_level": 0.0}


class Recorder(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *args):
        self.calls.append(("info", args))

    def OnReceiveHandleStatusMessage(self, *args):
        self.calls.append(("status", args))

    def OnReceiveHandleErrorResponse(self, *args):
        self.calls.append(("error", args))


def test_commands_write_their_bytes(stream, pty_device):
    handle = api.Handle(stream)
    handle.SendDeviceWakeup()
    handle.RequestStatus()
    handle.SendHandleState(0x1234, 1, 0xC0)
    handle.SendHandleState(5, 0, 9)
    handle.SendHandleState(user_data=1)
    expected = bytes([0x0A, 0xDA, 0xDB, 0x34, 0x12, 0x01, 0xC0, 0xDB, 0x05, 0x00, 0x00, 0xDB, 0x00, 0x00, 0x00])
    assert pty_device.wait_written(len(expected))
    time.sleep(0.05)
    assert pty_device.written() == expected


@pytest.mark.parametrize("args, error", [
    ((1, 1, 300), TypeError),
    ((1, 1), TypeError),
    ((), TypeError),
    ((1, 1, -1), TypeError),
    ((65536, 0, 0), TypeError),
    ((1, 256, 0), TypeError),
    ((1, 1, 2.0), TypeError),
    ((1, 2, 5), ValueError),
    ((1, 255, 5), ValueError),
])
def test_send_handle_state_refusals_send_nothing(stream, pty_device, args, error):
    handle = api.Handle(stream)
    with pytest.raises(error):
        handle.SendHandleState(*args)
    time.sleep(0.05)
    assert pty_device.written() == b""


@pytest.mark.parametrize("wire, count, call", [
    (INFO, 6, ("info", (5, 0x1234, 0x12, 7, 9))),
    (status_message(), 21, ("status", (0xBEEF, QUATERNION, 3, 21, 0, []))),
    (status_message(user_data=bytes(range(255, 0, -1))), 276,
     ("status", (0xBEEF, QUATERNION, 3, 21, 255, list(range(255, 0, -1))))),
    (ERROR, 3, ("error", (0x0102, 4))),
    (bytes([0xBA, 0x00, 0x02, 0xD0, 0xDA]) + ERROR, 3, ("error", (0x0102, 4))),
])
def test_messages_reach_the_python_overrides(stream, pty_device, wire, count, call):
    handle = Recorder(stream)
    pty_device.send(wire)
    assert handle.Receive() == count
    assert handle.calls == [call]
    kind, args = handle.calls[0]
    if kind == "status":
        assert all(type(v) is float for v in args[1]) and all(type(v) is int for v in args[5])


def test_an_exception_in_a_callback_reaches_the_caller_of_receive(stream, pty_device):
    class Failing(api.Handle):
        def OnReceiveHandleInfo(self, *args):
            raise KeyError("from the callback")

        def OnReceiveHandleStatusMessage(self, *args):
            raise ValueError("status callback")

    handle = Failing(stream)
    pty_device.send(INFO)
    with pytest.raises(KeyError, match="from the callback"):
        handle.Receive()
    pty_device.send(status_message(user_data=b"\x01\x02"))
    with pytest.raises(ValueError, match="status callback"):
        handle.Receive()
    pty_device.send(ERROR)
    assert handle.Receive() == 3, "the handle stays usable"


def test_a_plain_handle_decodes_without_calling_python(stream, pty_device):
    handle = api.Handle(stream)
    pty_device.send(INFO + status_message(user_data=b"abc") + ERROR)
    python_calls = []

    def profile(frame, event, arg):
        if event == "call":
            python_calls.append(frame.f_code.co_name)

    counts = []
    sys.setprofile(profile)
    try:
        for _ in range(3):
            counts.append(handle.Receive())
    finally:
        sys.setprofile(None)
    assert counts == [6, 24, 3]
    assert python_calls == []


def test_unknown_code_returns_minus_one_and_leaves_the_rest_queued(stream, pty_device):
    handle = Recorder(stream)
    pty_device.send(b"\xd5" + INFO)
    assert handle.Receive() == -1
    assert handle.calls == []
    assert handle.Receive() == 6
    assert handle.calls == [("info", (5, 0x1234, 0x12, 7, 9))]


def test_missing_status_override_raises_the_pure_virtual_error(stream, pty_device):
    class InfoOnly(api.Handle):
        def __init__(self, stream):
            super().__init__(stream)
            self.infos = []

        def OnReceiveHandleInfo(self, *args):
            self.infos.append(args)

    handle = InfoOnly(stream)
    pty_device.send(status_message())
    with pytest.raises(RuntimeError) as caught:
        handle.Receive()
    assert str(caught.value) == PURE_VIRTUAL
    pty_device.send(ERROR + INFO)
    assert handle.Receive() == 3
    assert handle.Receive() == 6
    assert handle.infos == [(5, 0x1234, 0x12, 7, 9)]


def test_receive_with_one_argument_warns_once_and_does_the_same(stream, pty_device):
    handle = Recorder(stream)
    pty_device.send(INFO + INFO)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert handle.Receive(7) == handle.Receive() == 6
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (DeprecationWarning, "Receive with one argument is deprecated", __file__)]
    assert len(handle.calls) == 2
    with pytest.raises(TypeError):
        handle.Receive(256)


def test_callable_base_methods_pass_single_values_and_pad_the_rest(stream):
    plain = api.Handle(stream)
    assert plain.OnReceiveHandleInfo(1, 2, 3, 4, 5) is None
    assert plain.OnReceiveHandleStatusMessage(1, 0.5, 2, 3, 4, 5) is None
    assert plain.OnReceiveHandleErrorResponse(device_id=1, error_code=2) is None
    with pytest.raises(TypeError):
        plain.OnReceiveHandleStatusMessage(1, [0.5, 0.5, 0.5, 0.5], 2, 3, 4, 5)

    recorder = Recorder(stream)
    api.Handle.OnReceiveHandleStatusMessage(recorder, 1, 0.5, 2, 3, 255, 5)
    api.Handle.OnReceiveHandleInfo(recorder, 1, 2, 3, 4, 5)
    assert recorder.calls == [("status", (1, [0.5, 0.0, 0.0, 0.0], 2, 3, 255, [5] + [0] * 254)),
                              ("info", (1, 2, 3, 4, 5))]


@pytest.mark.parametrize("wire", [
    pytest.param(status_frame(), id="plain frame"),
    pytest.param(b"\x01\x7f\xc0\xdb" + status_frame(), id="leading garbage"),
    pytest.param(status_frame(checksum_offset=1) + status_frame(), id="bad checksum then a good frame"),
])
def test_strixel_status_dict(stream, pty_device, wire):
    pty_device.send(wire)
    status = api.Handle(stream).GetStrixelStatus()
    assert list(status) == ["device_id", "quaternion", "error_flag", "hall_effect_sensor_level", "buttons",
                            "battery_level"]
    assert status == STATUS
    assert [type(v) for v in status.values()] == [int, list, int, int, int, float]


def test_strixel_status_with_escaped_bytes(stream, pty_device):
    wire = status_frame(error_flag=0xDB, sensor=0xC0, device_id=0xC0, components=(0xC0DB, 0, 0xDBC0, 0x7FFF),
                        battery=0xC0)
    assert len(wire) > 20
    pty_device.send(wire)
    status = api.Handle(stream).GetStrixelStatus()
    assert status == {"device_id": 0xC0, "quaternion": [0xC0DB / 32768 - 2, -0.0, -(0xDBC0 / 32768 - 2),
                                                        32767 / 32768],
                      "error_flag": 0xDB, "hall_effect_sensor_level": 0, "buttons": 6,
                      "battery_level": pytest.approx(3.96)}


@pytest.mark.parametrize("wire, flag", [
    pytest.param(b"", 99, id="silence"),
    pytest.param(status_frame(checksum_offset=1), 3, id="bad checksum and nothing after"),
])
def test_strixel_status_failures(stream, pty_device, wire, flag):
    pty_device.send(wire)
    start = time.monotonic()
    status = api.Handle(stream).GetStrixelStatus()
    took = time.monotonic() - start
    assert status == dict(FAILED, error_flag=flag)
    if flag == 99:
        assert 0.99 <= took < 10.0


def test_the_lock_is_released_while_receive_waits(stream, pty_device):
    handle = Recorder(stream)
    # Only another Python thread can answer: a Receive holding the lock would time out first.
    replier = threading.Thread(target=lambda: (time.sleep(0.3), pty_device.send(INFO)))
    replier.start()
    try:
        assert handle.Receive() == 6
    finally:
        replier.join()
    assert handle.calls == [("info", (5, 0x1234, 0x12, 7, 9))]


def test_the_lock_is_released_while_the_status_is_read(stream, pty_device):
    handle = api.Handle(stream)
    replier = threading.Thread(target=lambda: (time.sleep(0.3), pty_device.send(status_frame())))
    replier.start()
    try:
        assert handle.GetStrixelStatus() == STATUS
    finally:
        replier.join()


def test_constructor_refuses_what_is_not_a_stream_and_keeps_the_stream_alive(pty_device):
    for args, kwargs in [((None,), {}), ((), {}), (("port",), {})]:
        with pytest.raises(TypeError):
            api.Handle(*args, **kwargs)
    stream = api.SerialStream(pty_device.path)
    with pytest.raises(TypeError):
        api.Handle(arg0=stream)
    handle = api.Handle(stream)
    del stream
    gc.collect()
    handle.SendDeviceWakeup()
    assert pty_device.wait_written(1)
    assert pty_device.written() == b"\x0a"
    assert not isinstance(handle, api.Device)
    with pytest.raises(AttributeError):
        handle.anything = 1


SELF = "self: VelkorHardwareAPI.Handle"

DOCS = {
    "__init__": f"__init__({SELF}, arg0: VelkorHardwareAPI.SerialStream) -> None\n",
    "SendDeviceWakeup": f"SendDeviceWakeup({SELF}) -> None\n",
    "SendHandleState": f"SendHandleState({SELF}, device_id: int = 0, data_length: int = 0, user_data: int = None)"
                       " -> None\n\nsend handle state\n",
    "RequestStatus": f"RequestStatus({SELF}) -> None\n\nrequest handle status\n",
    "OnReceiveHandleInfo": f"OnReceiveHandleInfo({SELF}, tool_data_remaining: int, device_id: int, "
                           "device_model_number: int, hardware_version: int, firmware_version: int) -> None\n",
    "OnReceiveHandleStatusMessage": f"OnReceiveHandleStatusMessage({SELF}, device_id: int, quaternion: float, "
                                    "error_flag: int, hall_effect_sensor_level: int, user_data_length: int, "
                                    "user_data: int) -> None\n",
    "OnReceiveHandleErrorResponse": f"OnReceiveHandleErrorResponse({SELF}, device_id: int, error_code: int) -> None\n",
    "Receive": "Receive(*args, **kwargs)\nOverloaded function.\n\n"
               f"1. Receive({SELF}) -> int\n\nReceive data from the handle\n\n"
               f"2. Receive({SELF}, obsolete: int) -> int\n\n[DEPRECATED] Receive current and return current\n",
    "GetStrixelStatus": f"GetStrixelStatus({SELF}) -> dict\n\nGet the most recent Strixel informations\n",
}


def test_members_signatures_and_docstrings():
    assert api.Handle.__doc__ == "The strixel handle class"
    members = [name for name in vars(api.Handle) if name in DOCS]
    assert members == list(DOCS)
    for name, doc in DOCS.items():
        assert getattr(api.Handle, name).__doc__ == doc, name


def test_a_missing_status_override_is_a_not_implemented_error_that_says_what_to_define(stream, pty_device):
    class InfoOnly(api.Handle):
        def OnReceiveHandleInfo(self, *args):
            pass

    pty_device.send(status_message())
    with pytest.raises(NotImplementedError) as caught:
        InfoOnly(stream).Receive()
    assert isinstance(caught.value, RuntimeError) and str(caught.value) == PURE_VIRTUAL
    assert caught.value.__notes__ == [
        "A Handle subclass receives status messages in a method it defines: def OnReceiveHandleStatusMessage(self, "
        "device_id, quaternion, error_flag, hall_effect_sensor_level, user_data_length, user_data). Define it (it "
        "may do nothing), or use Handle itself, whose callbacks do nothing."]


def test_a_read_timeout_set_on_the_handle_bounds_receive_on_a_silent_line(stream):
    class Quiet(api.Handle):
        def __init__(self, stream):
            super().__init__(stream)
            self.set_read_timeout(0.1)

        def OnReceiveHandleStatusMessage(self, *args):
            pass

    for handle in (Quiet(stream), api.Handle(stream)):
        if type(handle) is api.Handle:
            assert handle.read_timeout == 5.0
            handle.set_read_timeout(0.1)
        assert handle.read_timeout == pytest.approx(0.1)
        started = time.monotonic()
        assert handle.Receive() == -1
        assert time.monotonic() - started < 2.5, "the default five seconds were waited"
        assert handle.last_error == "timeout"


def test_set_read_timeout_refuses_nan_and_takes_no_limit(stream):
    handle = api.Handle(stream)
    with pytest.raises(ValueError, match=r"set_read_timeout\(\): the time-out must be a number of seconds, not NaN"):
        handle.set_read_timeout(float("nan"))
    assert handle.read_timeout == 5.0
    handle.set_read_timeout(0.0)
    assert handle.read_timeout == 0.0


def test_the_status_frames_device_id_is_the_low_byte_of_the_info_messages():
    import velkor_sim

    class Info(api.Handle):
        def OnReceiveHandleInfo(self, remaining, device_id, model, hardware, firmware):
            self.info = (device_id, model)

        def OnReceiveHandleStatusMessage(self, *message):
            pass

    with velkor_sim.simulator("handle") as port:
        handle = Info(api.SerialStream.open(port))
        handle.set_read_timeout(2.0)
        handle.SendDeviceWakeup()
        assert handle.Receive() == 6
    with velkor_sim.simulator("handle", stream_status=50) as port:
        status = api.Handle(api.SerialStream.open(port)).GetStrixelStatus()
    device_id, model = handle.info
    assert (device_id, model, status["error_flag"]) == (0x521, 5, 0)
    assert status["device_id"] == device_id & 0xFF == 33
    assert device_id >> 8 == model
