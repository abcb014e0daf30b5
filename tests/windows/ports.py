"""Serial lines for the Windows tests, played on Linux pseudo-terminals.

    python3 ports.py DIR ROLE...

For each ROLE (``silent``, ``hangup`` or ``deaf``) a pty is made and DIR/ROLE
becomes a symbolic link to its slave, which Wine maps to a COM port. A
``silent`` line takes what the host writes and never answers. A ``hangup`` line
hangs up as soon as the host writes anything, then offers a fresh line under
the same link for the next test. A ``deaf`` line never reads, so the host's
writes stall once the pty's buffer is full. Prints "ready" once every link
exists; runs until SIGTERM.
"""

import os
import select
import signal
import sys
import tty


class Line:
    def __init__(self, link, role):
        self.link = link
        self.role = role
        self.master = None
        self.slave = None
        self.open()

    def open(self):
        self.master, self.slave = os.openpty()
        # Raw before the host arrives, so nothing it writes is echoed back to it;
        # the slave is held so the line stays raw between host opens.
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        tmp = self.link + ".new"
        if os.path.lexists(tmp):
            os.unlink(tmp)
        os.symlink(os.ttyname(self.slave), tmp)
        os.replace(tmp, self.link)

    def hang_up(self):
        os.close(self.master)
        os.close(self.slave)
        self.master = self.slave = None

    def on_input(self):
        try:
            data = os.read(self.master, 4096)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if self.role == "hangup" and data:
            self.hang_up()
            # The host still holds the old slave; the next open finds a new line.
            self.open()


def main():
    directory, roles = sys.argv[1], sys.argv[2:]
    os.makedirs(directory, exist_ok=True)
    lines = [Line(os.path.join(directory, role), role) for role in roles]
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    signal.signal(signal.SIGINT, lambda *_: stop.append(True))
    print("ready", flush=True)
    while not stop:
        by_fd = {line.master: line for line in lines if line.master is not None and line.role != "deaf"}
        try:
            ready, _, _ = select.select(list(by_fd), [], [], 0.2)
        except InterruptedError:
            continue
        for fd in ready:
            by_fd[fd].on_input()
    for line in lines:
        if line.master is not None:
            line.hang_up()
        if os.path.lexists(line.link):
            os.unlink(line.link)


if __name__ == "__main__":
    main()
