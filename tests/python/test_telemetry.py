"""Every cycle of a ServoLoop: the telemetry ring drained as NumPy records, MCAP recordings read
back with the mcap reader, velkor record and velkor plot, and effects with a lease, judged by the
forces the simulator in echo mode reports having received."""

import json
import math
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import VelkorHardwareAPI as api
import velkor_sim
import velkor_telemetry as vt

WAIT = 10.0  # generous bound for anything the loop or the kernel must do


@pytest.fixture
def echo_arm():
    # Echo mode: each reply's position is the force the simulator received in that request.
    with velkor_sim.Simulator("arm", echo=True) as sim:
        stream = api.SerialStream(sim.path)
        yield api.Vorlan3(stream)
        stream.close()


@pytest.fixture
def arm():
    with velkor_sim.Simulator("arm") as sim:
        stream = api.SerialStream(sim.path)
        yield api.Vorlan3(stream)
        stream.close()


def test_drains_every_100_ms_for_10_s_lose_no_cycle(arm):
    loop = api.ServoLoop(arm, 1000.0)
    loop.add(api.Spring([0.0, 0.0, 0.2], 100.0))
    chunks, lost = [], 0
    with loop:
        deadline = time.monotonic() + 10.0
        for _ in range(400):  # bounded: ~100 drains expected
            if time.monotonic() >= deadline:
                break
            time.sleep(0.1)
            records, n = loop.drain()
            chunks.append(records)
            lost += n
    records = np.concatenate(chunks + [loop.drain()[0]])
    assert lost == 0
    assert records.dtype == api.ServoLoop.telemetry_dtype
    assert len(records) > 3000, "the loop ran for 10 s; even a loaded machine makes 3000 cycles"
    # Contiguous from the first cycle: nothing skipped, nothing repeated.
    assert records["cycle"][0] == 0
    assert np.array_equal(records["cycle"], np.arange(len(records), dtype=np.uint64))
    assert np.all(np.diff(records["time"]) > 0)
    assert np.all(records["exchange_us"] > 0)
    assert np.all(records["period_us"][1:] > 0)
    assert loop.stats()["telemetry_dropped"] == 0
    assert loop.stats()["cycles"] == len(records)


def test_a_ring_nobody_drains_counts_what_it_drops(arm):
    loop = api.ServoLoop(arm, 2000.0)
    with loop:
        deadline = time.monotonic() + 60.0
        while loop.stats()["telemetry_dropped"] == 0 and time.monotonic() < deadline:
            time.sleep(0.5)
    records, lost = loop.drain()
    assert len(records) == 8192, "the ring's capacity"
    assert lost == loop.stats()["telemetry_dropped"] > 0
    # The oldest are kept whole and in order; the newest were dropped.
    assert np.array_equal(records["cycle"], np.arange(8192, dtype=np.uint64))
    assert loop.drain()[1] == 0, "lost counts since the last drain"


def test_recording_read_back_has_one_message_per_cycle_and_the_documented_schema(arm, tmp_path):
    from mcap.reader import make_reader

    path = tmp_path / "run.mcap"
    loop = api.ServoLoop(arm, 1000.0)
    loop.add(api.Damper(1.0))
    loop.start(record=path)
    assert loop.recording == str(path)
    with pytest.raises(RuntimeError, match="recording"):
        loop.drain()
    with pytest.raises(RuntimeError, match="already recording"):
        loop.record(tmp_path / "other.mcap")
    time.sleep(2.0)
    summary = loop.stop_recording()
    assert loop.recording is None and loop.stop_recording() is None
    loop.stop()
    assert summary["lost"] == 0 and summary["messages"] > 500

    with open(path, "rb") as f:
        reader = make_reader(f)
        schemas = reader.get_summary().schemas
        messages = list(reader.iter_messages())
    assert len(schemas) == 1
    schema = next(iter(schemas.values()))
    assert (schema.name, schema.encoding) == ("velkor.ServoCycle", "jsonschema")
    assert json.loads(schema.data) == vt.SCHEMA
    assert len(messages) == summary["messages"]
    cycles = []
    for schema, channel, message in messages:
        assert (channel.topic, channel.message_encoding) == ("/velkor/servo", "json")
        body = json.loads(message.data)
        assert set(body) == set(vt.SCHEMA["properties"])
        assert all(len(body[k]) == 3 and all(math.isfinite(x) for x in body[k])
                   for k in ("position", "velocity", "force"))
        cycles.append(body["cycle"])
    assert cycles == list(range(len(cycles)))
    assert all(a[2].log_time < b[2].log_time for a, b in zip(messages, messages[1:]))
    assert vt.read_summary(path)["messages"] == str(len(messages))
    back = vt.read(path)
    assert np.array_equal(back["cycle"], np.arange(len(messages), dtype=np.uint64))


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def test_velkor_record_then_plot_writes_a_png_of_the_stated_size(tmp_path):
    pytest.importorskip("matplotlib")
    run = tmp_path / "run.mcap"
    png = tmp_path / "run.png"
    velkor = [sys.executable, "-m", "velkor_cli"]
    done = subprocess.run(velkor + ["record", "--seconds", "1", "-o", str(run), "--scene", "wall", "-q"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "0 lost" in done.stdout
    done = subprocess.run(velkor + ["plot", str(run), "-o", str(png), "--size", "800x500"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert png_size(png) == (800, 500)
    for bad in (["plot", str(tmp_path / "none.mcap"), "-o", str(png)],
                ["plot", str(png), "-o", str(tmp_path / "x.png")],
                ["record", "-o", str(run), "--scene", "cube"]):
        done = subprocess.run(velkor + bad, capture_output=True, text=True, timeout=120)
        assert done.returncode == 1 and "velkor:" in done.stderr, (bad, done.stderr)
    done = subprocess.run(velkor + ["plot", str(run), "-o", str(png), "--size", "8x5"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 2


def test_lease_arguments_are_checked_before_anything_changes(arm):
    loop = api.ServoLoop(arm)
    force = api.ConstantForce([0.0, 0.0, 1.0])
    for lease in (0.0, -1.0, math.nan, math.inf, 4000.0):
        with pytest.raises(ValueError, match="lease"):
            loop.add(force, lease=lease)
    assert loop.effects == {}
    plain = loop.add(force)
    with pytest.raises(ValueError, match="without a lease"):
        loop.renew(plain)
    with pytest.raises(KeyError):
        loop.renew(plain + 100)


def wait_for(loop, seen, predicate, what):
    """Drains until a record satisfies predicate; returns the records up to it."""
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        records, _ = loop.drain()
        seen.append(records)
        hit = np.nonzero(predicate(records))[0]
        if len(hit):
            return np.concatenate(seen)
        time.sleep(0.01)
    pytest.fail(f"no cycle where {what} within {WAIT} s")


def test_an_expired_lease_ramps_the_effect_out_and_an_update_brings_it_back(echo_arm):
    loop = api.ServoLoop(echo_arm, 1000.0, ramp_s=0.05)
    leased = api.ConstantForce([0.0, 0.0, 1.0])
    steady = api.ConstantForce([0.5, 0.0, 0.0])
    # Long enough that the update's renewal still holds when a slow machine looks at the stats.
    handle = loop.add(leased, lease=0.5)
    loop.add(steady)
    received = lambda r: r["position"]  # what the device was sent, as it echoes it  # noqa: E731
    with loop:
        # Renewed in time: full force.
        seen = []
        keep = threading.Event()

        def renew():
            while not keep.wait(0.01):
                loop.renew(handle)

        renewer = threading.Thread(target=renew)
        renewer.start()
        try:
            wait_for(loop, seen, lambda r: np.isclose(received(r)[:, 2], 1.0), "the leased force is on")
            assert loop.stats()["leases_out"] == 0
        finally:
            keep.set()
            renewer.join()
        # Not renewed: out, by a ramp, not a step; the effect without a lease stays on.
        seen = []
        records = wait_for(loop, seen, lambda r: received(r)[:, 2] == 0.0, "the leased force is out")
        z = received(records)[:, 2]
        first_out = int(np.nonzero(z == 0.0)[0][0])
        falling = z[np.argmax(z < 1.0):first_out]
        assert len(falling) >= 1 and np.all((falling > 0.0) & (falling < 1.0)), "ramped out"
        assert np.all(np.diff(falling) <= 1e-6)
        assert np.all(records["flags"][first_out:] & vt.FLAGS["lease_out"])
        assert np.allclose(received(records)[-1], [0.5, 0.0, 0.0])
        stats = loop.stats()
        assert stats["lease_expiries"] == 1 and stats["leases_out"] == 1
        # An update renews it: back in, by a ramp.
        leased.force = [0.0, 0.0, 2.0]
        seen = []
        records = wait_for(loop, seen, lambda r: np.isclose(received(r)[:, 2], 2.0), "the force is back")
        z = received(records)[:, 2]
        rising = z[np.argmax(z > 0.0):np.argmax(np.isclose(z, 2.0))]
        assert len(rising) >= 1 and np.all((rising > 0.0) & (rising < 2.0)), "ramped back in"
        assert loop.stats()["leases_out"] == 0


def test_a_field_that_raises_is_ramped_out_and_its_error_raised_on_detach(echo_arm):
    loop = api.ServoLoop(echo_arm, 1000.0, ramp_s=0.02)
    calls = []

    def law(state):
        calls.append(state["cycle"])
        if len(calls) > 20:
            raise ZeroDivisionError("the simulation blew up")
        return [0.0, 0.0, 1.0]

    field = vt.Field(law, rate_hz=200, lease=0.05)
    with loop:
        field.attach(loop)
        seen = []
        wait_for(loop, seen, lambda r: np.isclose(r["position"][:, 2], 1.0), "the field's force is on")
        seen = []
        wait_for(loop, seen, lambda r: (r["position"][:, 2] == 0.0) & (r["cycle"] > 0), "the field is out")
        with pytest.raises(ZeroDivisionError):
            field.detach()
    assert loop.effects == {}
    for bad in ({"rate_hz": 0}, {"lease": -1}, {"rate_hz": math.nan}):
        with pytest.raises(ValueError):
            vt.Field(law, **bad)
