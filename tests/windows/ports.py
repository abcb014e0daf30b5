"""Serial lines for the Windows tests, played on Linux pseudo-terminals.

    python3 ports.py DIR ROLE...

For each ROLE (``silent``, ``hangup``, ``deaf`` or ``echo``) a pty is made and DIR/ROLE
becomes a symbolic link to its slave, which Wine maps to a COM port. A
``silent`` line takes what the host writes and never answers. A ``hangup`` line
hangs up as soon as the host writes anything, then offers a fresh line under
the same link for the next test. A ``deaf`` line never reads, so the host's
writes stall once the pty's buffer is full. An ``echo`` line takes requests of
the form [N, HEAD, PAUSE, N bytes] and sends the N bytes back in two writes:
the first HEAD bytes at once, the rest PAUSE x 10 ms later, as a USB-serial
bridge delivers a reply in packets; a PAUSE of 255 hangs up 300 ms after the
first HEAD bytes instead, and offers a fresh line under the link; a PAUSE of
254 answers instead with the line's settings as the host left them, 16 bytes of
text such as ``115200 8N1``. Prints "ready" once every link exists;
runs until SIGTERM.
"""

import os
import select
import signal
import sys
import termios
import time
import tty


HANG_UP = 255
SETTINGS = 254
SPEEDS = {getattr(termios, name): int(name[1:]) for name in dir(termios) if name[:1] == "B" and name[1:].isdigit()}
SIZES = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}


def settings_text(fd):
    """The speed and byte format of a terminal as 16 bytes, such as ``115200 8N1``."""
    cflag, ospeed = termios.tcgetattr(fd)[2], termios.tcgetattr(fd)[5]
    parity = "N" if not cflag & termios.PARENB else ("O" if cflag & termios.PARODD else "E")
    stop = 2 if cflag & termios.CSTOPB else 1
    text = f"{SPEEDS.get(ospeed, 0)} {SIZES[cflag & termios.CSIZE]}{parity}{stop}"
    return text.encode().ljust(16)


class Line:
    def __init__(self, link, role):
        self.link = link
        self.role = role
        self.master = None
        self.slave = None
        self.pending = bytearray()
        self.later = []  # (due, bytes) of an echo line
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
        if self.role == "echo":
            self.pending += data
            while len(self.pending) >= 3 and len(self.pending) >= 3 + self.pending[0]:
                n, head, pause = self.pending[0], self.pending[1], self.pending[2]
                reply = bytes(self.pending[3:3 + n])
                del self.pending[:3 + n]
                if pause == SETTINGS:
                    os.write(self.master, settings_text(self.slave))
                    continue
                os.write(self.master, reply[:head])
                if pause == HANG_UP:
                    self.later.append((time.monotonic() + 0.3, None))
                else:
                    self.later.append((time.monotonic() + pause / 100.0, reply[head:]))

    def send_due(self):
        now = time.monotonic()
        for item in [item for item in self.later if item[0] <= now]:
            self.later.remove(item)
            if item[1] is None:
                # The host still holds the old slave; the next open finds a new line.
                self.hang_up()
                self.open()
                self.pending.clear()
                self.later.clear()
                return
            os.write(self.master, item[1])


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
            ready, _, _ = select.select(list(by_fd), [], [], 0.005 if any(line.later for line in lines) else 0.2)
        except InterruptedError:
            continue
        for fd in ready:
            by_fd[fd].on_input()
        for line in lines:
            if line.later:
                line.send_due()
    for line in lines:
        if line.master is not None:
            line.hang_up()
        if os.path.lexists(line.link):
            os.unlink(line.link)


if __name__ == "__main__":
    main()
