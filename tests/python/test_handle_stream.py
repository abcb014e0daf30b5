"""A handle that streams its status between its answers, with faults drawn from
fixed seeds: every status a callback receives is whole and self-consistent, and
the handle finds the frame boundaries again after each fault."""

import math
import subprocess
import sys
import time

import pytest

import VelkorHardwareAPI as api
import velkor_sim

SIM_DEVICE_ID = 0x0521  # what the simulated handle's status messages carry


class Recorder(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.statuses = []
        self.infos = []

    def OnReceiveHandleInfo(self, *info):
        self.infos.append(info)

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall, length, user_data):
        self.statuses.append((device_id, list(quaternion), error_flag, hall, length, list(user_data)))


def check_whole(status, sent_user_data):
    device_id, quaternion, error_flag, hall, length, user_data = status
    assert device_id == SIM_DEVICE_ID
    assert all(math.isfinite(c) for c in quaternion)
    assert math.sqrt(sum(c * c for c in quaternion)) == pytest.approx(1.0, abs=1e-3)
    assert error_flag == 0 and 0 <= hall <= 31
    assert length == len(user_data) and (length == 0 or user_data[0] in sent_user_data)


def test_a_streaming_handle_answers_status_requests_with_whole_statuses():
    with velkor_sim.simulator("handle", stream_status=50) as port:
        stream = api.SerialStream(port)
        handle = Recorder(stream)
        handle.SendDeviceWakeup()
        assert handle.Receive() == 6 and len(handle.infos) == 1
        for i in range(40):
            if i % 8 == 0:
                time.sleep(0.1)  # status frames pile up meanwhile
            handle.SendHandleState(0, 1, i)
            handle.RequestStatus()
            assert handle.Receive() == 22, handle.last_error
            assert handle.last_error is None
            check_whole(handle.statuses[-1], {i})
        assert handle.status_frames_skipped > 0
        status = handle.GetStrixelStatus()
        assert status["error_flag"] == 0
        assert math.sqrt(sum(c * c for c in status["quaternion"])) == pytest.approx(1.0, abs=1e-3)
        stream.close()


# A silent answer costs the handle's fixed 5 s read time-out: scripted once below, not drawn here.
@pytest.mark.parametrize("seed", [1, 3, 42])
def test_faults_from_fixed_seeds_never_deliver_a_broken_status_and_the_handle_recovers(seed):
    with velkor_sim.Simulator("handle", stream_status=50, fault_rate=0.3, fault_seed=seed,
                              fault_kinds=["late:delay=0.05", "split", "duplicate", "truncated",
                                           "garbage", "burst"]) as sim:
        stream = api.SerialStream(sim.path)
        handle = Recorder(stream)
        sent = set()
        good = 0
        for i in range(60):
            handle.SendHandleState(0, 1, i % 256)
            sent.add(i % 256)
            handle.RequestStatus()
            before = len(handle.statuses)
            count = handle.Receive()
            if handle.last_error is None and count >= 21:
                assert len(handle.statuses) == before + 1
                good += 1
            else:
                # A failed read hands nothing to the callback; nor does another message (garbage can
                # look like an error response: the protocol has no checksum to tell).
                assert len(handle.statuses) == before
        for status in handle.statuses:
            check_whole(status, sent)
        assert good >= 25, f"seed {seed}: only {good} of 60 reads came back"
        stream.close()


def velkor(*args):
    return subprocess.run([sys.executable, "-m", "velkor_cli", *args], capture_output=True, text=True, timeout=120)


def test_cli_on_a_streaming_handle_reads_it_as_a_handle():
    with velkor_sim.simulator("handle", stream_status=50) as port:
        out = velkor("info", port, "--device", "handle")
        assert out.returncode == 0, out.stderr
        assert "vorlan3" not in out.stderr
        out = velkor("monitor", port, "--device", "handle", "--count", "20", "--rate", "20", "--json")
        assert out.returncode == 0, out.stderr
        assert len(out.stdout.splitlines()) == 20


def test_cli_monitor_exits_1_when_reads_failed():
    with velkor_sim.Simulator("handle", stream_status=50, faults=["3:silent", "5:garbage"]) as sim:
        out = velkor("monitor", sim.path, "--device", "handle", "--count", "10", "--rate", "20",
                     "--timeout", "0.3")
        assert out.returncode == 1
        assert "failed" in out.stderr and "--device vorlan3" not in out.stderr
