"""A served arm on loopback, in one run: state latency server -> client at
1 kHz (p50/p99) against Zenoh's own publish/subscribe floor (a ping-pong
between two sessions, half its round trip, same payload size), effect-update
latency client -> the force the device receives, states lost per 10,000, and
the server's time per published state (CPU per state, from its thread).

    python bench/remote.py [--seconds 10]
"""

import argparse
import os
import resource
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


def floor(seconds):
    ep = endpoint()
    a = zenoh.open(velkor_remote.zenoh_config(listen=[ep]))
    b = zenoh.open(velkor_remote.zenoh_config(connect=[ep]))
    pong = b.declare_publisher("bench/pong", express=True)
    b.declare_subscriber("bench/ping", lambda s: pong.put(s.payload.to_bytes()))
    got = threading.Event()
    a.declare_subscriber("bench/pong", lambda s: got.set())
    ping = a.declare_publisher("bench/ping", express=True)
    time.sleep(0.5)
    rtts = []
    payload = bytes(wire.STATE_SIZE)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        got.clear()
        t = time.perf_counter()
        ping.put(payload)
        if got.wait(1.0):
            rtts.append(time.perf_counter() - t)
        time.sleep(0.001)
    a.close()
    b.close()
    return rtts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    rtts = floor(min(args.seconds, 5.0))
    log = tempfile.NamedTemporaryFile(suffix=".log", delete=False).name
    device = subprocess.Popen([sys.executable, "-c", DEVICE, log], stdout=subprocess.PIPE)
    path = device.stdout.readline().decode().strip()
    ep = endpoint()
    stream = api.SerialStream(path)
    arm = api.Vorlan3(stream, 1.0)
    loop = api.ServoLoop(arm, 1000.0)
    loop.start()
    server = velkor_remote.ArmServer(loop, "bench", velkor_remote.zenoh_config(listen=[ep]), rate_hz=1000.0,
                                     ros_topics=True).start()
    client = velkor_remote.connect("bench", [ep])
    try:
        cpu0 = time.thread_time
        handle = client.add(api.ConstantForce([0.0, 0.0, 0.0]))
        sent = {}
        usage0 = resource.getrusage(resource.RUSAGE_SELF)
        begin = time.monotonic()
        n = 0
        while time.monotonic() - begin < args.seconds:
            n += 1
            value = round(0.001 * (n % 2000) + 0.001, 6)
            sent[value] = time.time()
            client.update(handle, force=[value, 0.0, 0.0])
            time.sleep(0.02)
        time.sleep(0.3)
        usage1 = resource.getrusage(resource.RUSAGE_SELF)
        stats = client.client_stats()
        counters = server.counters()
        seen = {}
        with open(log) as f:
            for line in f:
                t, x = line.split()
                x = round(float(x), 6)
                if x in sent and x not in seen:
                    seen[x] = float(t)
        effect = [seen[x] - sent[x] for x in seen]
        received, lost = stats["states_received"], stats["states_lost"]
        one_way = [r / 2 for r in rtts]
        cpu = (usage1.ru_utime + usage1.ru_stime - usage0.ru_utime - usage0.ru_stime)
        del cpu0
        print(f"zenoh floor (half a ping-pong round trip, {len(rtts)} samples): p50 {pct(one_way, .5) * 1e6:.0f} us, "
              f"p99 {pct(one_way, .99) * 1e6:.0f} us; full round trip p99 {pct(rtts, .99) * 1e6:.0f} us")
        p50, p99 = stats["latency_p50_us"], stats["latency_p99_us"]
        print(f"state latency server -> client at 1 kHz ({received} states): p50 {p50:.0f} us, p99 {p99:.0f} us; "
              f"p99 ratio to the floor {p99 / (pct(one_way, .99) * 1e6):.2f} (to the full round trip "
              f"{p99 / (pct(rtts, .99) * 1e6):.2f})")
        print(f"effect update -> force at the device ({len(effect)} of {len(sent)} updates): "
              f"p50 {pct(effect, .5) * 1e6:.0f} us, p99 {pct(effect, .99) * 1e6:.0f} us (includes up to one 1 ms cycle)")
        print(f"states lost per 10,000: {lost / max(received + lost, 1) * 1e4:.1f}")
        print(f"server time per published state (state, binary, ROS 2 every 10th): "
              f"{counters['publish_us_per_state']:.1f} us; whole process CPU per state (server, client, loop "
              f"thread): {cpu / max(counters['states_published'], 1) * 1e6:.1f} us")
    finally:
        client.close()
        server.close()
        loop.stop()
        device.kill()
        device.wait()
        os.unlink(log)


if __name__ == "__main__":
    main()
