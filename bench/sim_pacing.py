#!/usr/bin/env python3
"""How closely velkor-sim's --baud pacing follows a UART, and what it costs.

For each rate: the simulator answers echo requests (one at a time) while it
streams notification frames; printed are the byte rate the host received against
the line's capacity, the time from a request to the end of its 25-byte reply
against the wire time, the gaps between arrivals inside replies, and the CPU
time the simulator used per second.

  python bench/sim_pacing.py [--seconds 3] [--rates 9600,115200,1000000]
"""

import argparse
import os
import select
import statistics
import struct
import time
import tty

import velkor_sim

REPLY = 25


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(baud: float, seconds: float, notify: float) -> None:
    with velkor_sim.Simulator("arm", echo=True, baud=baud, notify=notify) as sim:
        fd = os.open(sim.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(fd)
        try:
            cpu0, t0 = cpu_seconds(sim.process.pid), time.monotonic()
            total, exchanges, gaps, spans = 0, 0, [], []
            end = t0 + seconds
            while time.monotonic() < end:
                sent = time.monotonic()
                os.write(fd, b"\x2a" + struct.pack("<3f", 0, 0, 0))
                buffer, last, in_reply = b"", None, False
                deadline = sent + 2.0
                while time.monotonic() < deadline:
                    if not select.select([fd], [], [], 0.5)[0]:
                        continue
                    chunk = os.read(fd, 4096)
                    now = time.monotonic()
                    total += len(chunk)
                    buffer += chunk
                    start = buffer.find(b"\x2b")
                    if start >= 0:
                        if in_reply and last is not None:
                            gaps.append(now - last)
                        in_reply, last = True, now
                        if len(buffer) - start >= REPLY:
                            spans.append(now - sent)
                            exchanges += 1
                            break
            elapsed = time.monotonic() - t0
            cpu = cpu_seconds(sim.process.pid) - cpu0
        finally:
            os.close(fd)
    capacity = baud / 10
    wire = REPLY * 10 / baud
    spans.sort()
    print(f"{baud:>9.0f} baud  received {total / elapsed:8.0f} B/s of {capacity:8.0f} "
          f"({100 * total / elapsed / capacity:5.1f} %)  exchanges {exchanges:5d}  "
          f"request->reply median {1e3 * statistics.median(spans):7.3f} ms (wire {1e3 * wire:6.3f} ms, "
          f"min {1e3 * spans[0]:6.3f})  gap in reply median {1e6 * statistics.median(gaps or [0]):6.0f} us  "
          f"simulator CPU {100 * cpu / elapsed:4.1f} %")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=3.0, help="per rate (default 3)")
    parser.add_argument("--rates", default="9600,115200,1000000", help="baud rates, comma-separated")
    parser.add_argument("--notify", type=float, default=1000.0, help="notification frames per second (default 1000)")
    args = parser.parse_args()
    for rate in args.rates.split(","):
        measure(float(rate), args.seconds, args.notify)


if __name__ == "__main__":
    main()
