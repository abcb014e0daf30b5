#!/usr/bin/env python3
"""Try a program's fault handling without hardware: the simulator on a line paced
as a 115200-baud UART, faults on demand, a hand pushing the arm, and the arm
unplugged and plugged back in at the same path.

Each step prints what the program sees: the reading, and `last_error` (None when
the call succeeded).
"""

import os
import tempfile

import VelkorHardwareAPI as api
import velkor_sim


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        link = os.path.join(folder, "arm")  # a stable path, as /dev/ttyACM0 would be
        with velkor_sim.Simulator("arm", link=link, baud=115200, hand=[0.0, 0.0, 1.0]) as sim:
            stream = api.SerialStream(link)
            arm = api.Vorlan3(stream, 0.1)
            identity = arm.device_wakeup_dict()["device_id_ext"]
            print("arm", identity)

            start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
            sim.inject("silent")  # the next request goes unanswered
            arm.end_effector_force([0.0, 0.0, 0.0])
            print("unanswered request:", arm.last_error)
            sim.inject("late", delay=0.3)  # answered three read time-outs late
            arm.end_effector_force([0.0, 0.0, 0.0])
            print("late reply:", arm.last_error)
            for _ in range(3):
                arm.end_effector_force([0.0, 0.0, 0.0])
            print("three requests later:", arm.last_error)

            # The hand has pushed the tool forward (+z) although the program sent no force.
            position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
            for _ in range(5):
                if arm.last_error is None:
                    break
                position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
            print(f"moved by the hand: {1e3 * (position[2] - start[2]):+.1f} mm in z")
            sim.set_hand_force([0.0, 0.0, 0.0])  # the hand lets go

            sim.replug(0.2)  # unplugged now, back 0.2 s later at the same path
            arm.end_effector_force([0.0, 0.0, 0.0])
            print("after the unplug:", arm.last_error)
            print("reopened:", stream.reopen())
            again = arm.device_wakeup_dict()["device_id_ext"]
            print("same arm:", again == identity)
            print("simulator:", sim.stats())


if __name__ == "__main__":
    main()
