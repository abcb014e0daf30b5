"""Force exchanges per second against the simulated arm on PORT, through the module.

    python exchange_rate.py PORT [SECONDS]

Run by scripts/test-windows.sh with Linux's and Windows' interpreters in turn,
on the same simulator, to set the two rates side by side. Prints the rate.
"""

import sys
import time

import VelkorHardwareAPI as api


def main():
    port = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 2.0
    stream = api.SerialStream(port)
    arm = api.Vorlan3(stream, 2.0)
    arm.device_wakeup()
    for _ in range(200):
        arm.end_effector_force([0.0, 0.0, 0.0])
    count = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        arm.end_effector_force([0.0, 0.0, 0.0])
        count += 1
    elapsed = time.perf_counter() - start
    print(f"{count / elapsed:.0f}")


if __name__ == "__main__":
    main()
