"""A served arm on loopback, measured the way it is used: `velkor serve` in its
own process (a pty device behind it), the client in this one.

Same run, interleaved in rounds so that both sides see the same load:
state latency server -> client at 1 kHz (p50/p99) against the floor, a bare
Zenoh publisher process sending the same 76-byte payload at 1 kHz with the
same publisher options and pacing, received by the same callback here (the
ratio of the p99s is the figure); Zenoh's ping-pong between two processes
(half its round trip) for reference; effect update -> the force the device
receives; states lost per 10,000, counted from sequence numbers; the server
process's CPU per published state.

    python bench/remote.py [--seconds 5] [--rounds 4]
"""

import argparse
import os
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import zenoh

import VelkorHardwareAPI as api
import velkor_remote
from velkor_remote import wire


def endpoint():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{s.getsockname()[1]}"


def pct(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))] if values else float("nan")


DEVICE = textwrap.dedent(r"""
    import os, struct, sys, time, tty
    master, slave = os.openpty(); tty.setraw(slave)
    log = open(sys.argv[1], "w", buffering=1)
    print(os.ttyname(slave), flush=True)
    pending, last = b"", None
    while True:
        try: chunk = os.read(master, 4096)
        except OSError: break
        if not chunk: break
        pending += chunk
        while pending:
            if pending[0] == 0x0A:
                pending = pending[1:]
                os.write(master, b"\x0b" + struct.pack("<HBBB", 0x1234, 4, 2, 5) + bytes(16)); continue
            if pending[0] != 0x2A: pending = pending[1:]; continue
            if len(pending) < 13: break
            f = struct.unpack("<3f", pending[1:13]); pending = pending[13:]
            if f != last: log.write("%r %r\n" % (time.time(), f[0])); last = f
            os.write(master, b"\x2b" + struct.pack("<6f", 0, 0, 0.15, 0, 0, 0))
""")

# The floor: what the server's publishing thread does, without the arm.
FLOOR = textwrap.dedent(r"""
    import sys, threading, time, zenoh, velkor_remote
    from velkor_remote import wire
    session = zenoh.open(velkor_remote.zenoh_config(listen=[sys.argv[1]]))
    pub = session.declare_publisher("bench/floor", congestion_control=zenoh.CongestionControl.DROP,
                                    priority=zenoh.Priority.REAL_TIME, express=True)
    session.declare_subscriber("bench/ping", lambda s: pong.put(s.payload.to_bytes()))
    pong = session.declare_publisher("bench/pong", priority=zenoh.Priority.REAL_TIME, express=True)
    print("up", flush=True)
    stop, period, sequence = threading.Event(), 0.001, 0
    next_publish = time.monotonic()
    end = next_publish + float(sys.argv[2])
    while time.monotonic() < end and not stop.is_set():
        now = time.monotonic()
        if now >= next_publish:
            next_publish += period
            if now - next_publish > period:
                next_publish = now + period
            sequence += 1
            pub.put(wire.pack_state(0, 0, sequence, sequence, 0.0, time.time(), (0, 0, 0), (0, 0, 0), (0, 0, 0)))
        left = next_publish - time.monotonic()
        if left > 0:
            stop.wait(left)
    session.close()
""")


class Recorder:
    """The same callback for the served states and the floor's: latency from
    the publisher's stamp, and the sequence numbers to count losses from."""

    def __init__(self):
        self.latency, self.sequences = [], []
        self.on = False

    def __call__(self, sample):
        now = time.time()
        if self.on:
            state = wire.unpack_state(sample.payload.to_bytes())
            self.latency.append(now - state.stamp)
            self.sequences.append(state.sequence)

    def phase(self, seconds):
        sequences_before = len(self.sequences)
        self.on = True
        time.sleep(seconds)
        self.on = False
        return self.sequences[sequences_before:]


def lost(sequences):
    if not sequences:
        return 0, 0
    return max(sequences) - min(sequences) + 1 - len(set(sequences)), max(sequences) - min(sequences) + 1


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def ping_pong(session, seconds):
    got = threading.Event()
    sub = session.declare_subscriber("bench/pong", lambda s: got.set())
    ping = session.declare_publisher("bench/ping", priority=zenoh.Priority.REAL_TIME, express=True)
    payload, rtts = bytes(wire.STATE_SIZE), []
    time.sleep(0.3)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        got.clear()
        t = time.perf_counter()
        ping.put(payload)
        if got.wait(1.0):
            rtts.append(time.perf_counter() - t)
        time.sleep(0.001)
    sub.undeclare()
    ping.undeclare()
    return rtts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="each phase (default: %(default)s)")
    parser.add_argument("--rounds", type=int, default=4, help="served and floor phases each (default: %(default)s)")
    args = parser.parse_args()
    total = 2 * args.rounds * args.seconds + args.seconds + 15.0
    log = tempfile.NamedTemporaryFile(suffix=".log", delete=False).name
    device = subprocess.Popen([sys.executable, "-c", DEVICE, log], stdout=subprocess.PIPE)
    path = device.stdout.readline().decode().strip()
    server_ep, floor_ep = endpoint(), endpoint()
    server = subprocess.Popen([sys.executable, "-m", "velkor_cli", "serve", path, "--name", "bench", "--rate", "1000",
                               "--listen", server_ep, "-q"], stdout=subprocess.PIPE)
    floor = subprocess.Popen([sys.executable, "-c", FLOOR, floor_ep, str(total)], stdout=subprocess.PIPE)
    floor.stdout.readline()
    session = client = None
    try:
        if not server.stdout.readline():
            raise SystemExit("velkor serve did not start")
        client = velkor_remote.connect("bench", [server_ep])
        session = zenoh.open(velkor_remote.zenoh_config(connect=[server_ep, floor_ep]))
        served, floored = Recorder(), Recorder()
        session.declare_subscriber("velkor/bench/state", served)
        session.declare_subscriber("bench/floor", floored)
        time.sleep(0.5)
        handle = client.add(api.ConstantForce([0.0, 0.0, 0.0]))
        sent, stop = {}, threading.Event()

        def updates():  # 50 a second, all run long, as an application would send them
            n = 0
            while not stop.wait(0.02) and n < 3999:
                n += 1
                value = round(0.001 * (n % 4000) + 0.001, 6)  # unique over a run of up to 80 s
                sent[value] = time.time()
                client.update(handle, force=[value, 0.0, 0.0])

        sender = threading.Thread(target=updates)
        sender.start()
        cpu0, published0 = cpu_seconds(server.pid), client.info()["server"]["states_published"]
        served_lost = floor_lost = served_span = floor_span = 0
        for _ in range(args.rounds):
            for recorder in (served, floored):
                missing, span = lost(recorder.phase(args.seconds))
                if recorder is served:
                    served_lost, served_span = served_lost + missing, served_span + span
                else:
                    floor_lost, floor_span = floor_lost + missing, floor_span + span
        cpu1, info = cpu_seconds(server.pid), client.info()
        rtts = ping_pong(session, args.seconds)
        stop.set()
        sender.join()
        time.sleep(0.3)
        stats = client.client_stats()
        seen = {}
        with open(log) as f:
            for line in f:
                t, x = line.split()
                x = round(float(x), 6)
                if x in sent and x not in seen:
                    seen[x] = float(t)
        effect = [seen[x] - sent[x] for x in seen]
        us = 1e6
        s50, s99 = pct(served.latency, .5) * us, pct(served.latency, .99) * us
        f50, f99 = pct(floored.latency, .5) * us, pct(floored.latency, .99) * us
        half = [r / 2 for r in rtts]
        published = info["server"]["states_published"] - published0
        print(f"{args.rounds} rounds of {args.seconds:g} s each, served and floor interleaved; server and floor "
              f"publisher in their own processes")
        print(f"state latency server -> client at 1 kHz ({len(served.latency)} states): p50 {s50:.0f} us, "
              f"p99 {s99:.0f} us")
        print(f"floor, bare zenoh publisher at 1 kHz ({len(floored.latency)} samples): p50 {f50:.0f} us, "
              f"p99 {f99:.0f} us")
        print(f"ratio served/floor: p50 {s50 / f50:.2f}, p99 {s99 / f99:.2f}")
        print(f"zenoh ping-pong between two processes ({len(rtts)} round trips): half round trip p50 "
              f"{pct(half, .5) * us:.0f} us, p99 {pct(half, .99) * us:.0f} us; served p99 / that "
              f"{s99 / (pct(half, .99) * us):.2f}")
        print(f"states lost per 10,000: served {served_lost / max(served_span, 1) * 1e4:.1f} ({served_lost} of "
              f"{served_span}), floor {floor_lost / max(floor_span, 1) * 1e4:.1f} ({floor_lost} of {floor_span}); "
              f"the client's own count over the whole run: {stats['states_lost']} of "
              f"{stats['states_received'] + stats['states_lost']}")
        print(f"effect update -> force at the device ({len(effect)} of {len(sent)} updates): "
              f"p50 {pct(effect, .5) * us:.0f} us, p99 {pct(effect, .99) * us:.0f} us (includes up to one 1 ms cycle)")
        print(f"server: {info['server']['publish_us_per_state']:.1f} us CPU in its publishing thread per state (state, "
              f"ROS 2 copies every 10th); whole server process CPU (servo loop included) per published state: "
              f"{(cpu1 - cpu0) / max(published, 1) * us:.1f} us")
    finally:
        if client is not None:
            client.close()
        if session is not None:
            session.close()
        for process in (server, floor):
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        device.kill()
        device.wait()
        os.unlink(log)


if __name__ == "__main__":
    main()
