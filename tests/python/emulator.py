"""A device played on the master side of a real pseudo-terminal.

The host opens ``path``; the emulator records everything the host writes and
answers from a script: after the host has written ``request_size`` more bytes,
wait ``delay`` seconds, then write ``reply`` (or hang up).
"""

import collections
import fcntl
import os
import select
import struct
import termios
import threading
import time
import tty


class PtyDevice:
    def __init__(self):
        self._master, slave = os.openpty()
        self.path = os.ttyname(slave)
        tty.setraw(slave)
        # Held open so the line stays raw between host opens; closed on hang-up.
        self._slave = slave
        self._lock = threading.Condition()
        self._script = collections.deque()
        self._written = bytearray()
        self._consumed = 0
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def expect(self, request_size, reply, delay=0.0):
        with self._lock:
            self._script.append((request_size, bytes(reply), delay, False))
            self._lock.notify_all()

    def expect_then_hang_up(self, request_size, delay=0.0):
        with self._lock:
            self._script.append((request_size, b"", delay, True))
            self._lock.notify_all()

    def send(self, data):
        with self._lock:
            self._write(bytes(data))

    def send_after(self, delay, data):
        self.expect(0, data, delay)

    def forget_written(self):
        """Scripted steps count only what the host writes from now on."""
        with self._lock:
            self._consumed = len(self._written)

    def written(self):
        with self._lock:
            return bytes(self._written)

    def wait_written(self, n, timeout=5.0):
        with self._lock:
            return self._lock.wait_for(lambda: len(self._written) >= n, timeout)

    def host_queued(self):
        """Bytes waiting in the host's input queue (the slave side's)."""
        with self._lock:
            if self._slave is None:
                return 0
            count = fcntl.ioctl(self._slave, termios.FIONREAD, struct.pack("i", 0))
            return struct.unpack("i", count)[0]

    def wait_host_queued(self, n, timeout=10.0):
        """Waits until the host could read n bytes: the kernel moves written bytes over asynchronously."""
        give_up = time.monotonic() + timeout
        while self.host_queued() < n:
            if time.monotonic() > give_up:
                return False
            time.sleep(0.002)
        return True

    def wait_script_done(self, timeout=10.0):
        with self._lock:
            return self._lock.wait_for(lambda: not self._script, timeout)

    def hang_up(self):
        with self._lock:
            self._hang_up()

    def close(self):
        with self._lock:
            self._stop = True
            self._lock.notify_all()
        self._thread.join(timeout=5)
        with self._lock:
            self._hang_up()

    def _hang_up(self):
        if self._master is not None:
            os.close(self._master)
            self._master = None
        if self._slave is None:
            return
        # The kernel hangs the slave up asynchronously after the master goes:
        # return only once the keep-alive reports POLLHUP and refuses writes, as
        # the host's descriptor then does too.
        poller = select.poll()
        poller.register(self._slave, select.POLLIN)
        give_up = time.monotonic() + 10.0
        while time.monotonic() < give_up:
            hung_up = any(ev & select.POLLHUP for _, ev in poller.poll(50))
            if hung_up:
                try:
                    os.write(self._slave, b"\0")
                except OSError:
                    break
                time.sleep(0.001)
        os.close(self._slave)
        self._slave = None

    def _write(self, data):
        view = memoryview(data)
        while self._master is not None and view:
            sent = os.write(self._master, view)
            view = view[sent:]

    def _run(self):
        while True:
            with self._lock:
                if self._stop:
                    return
                step = None
                if self._script and len(self._written) - self._consumed >= self._script[0][0]:
                    step = self._script[0]
                    self._consumed += step[0]
                fd = self._master
            if step is not None:
                request_size, reply, delay, hang_up = step
                if delay:
                    time.sleep(delay)
                with self._lock:
                    if hang_up:
                        self._hang_up()
                    else:
                        self._write(reply)
                    self._script.popleft()
                    self._lock.notify_all()
                continue
            if fd is None:
                time.sleep(0.005)
                continue
            try:
                ready, _, _ = select.select([fd], [], [], 0.005)
                data = os.read(fd, 4096) if ready else b""
            except OSError:
                data = b""
                time.sleep(0.005)
            if data:
                with self._lock:
                    self._written += data
                    self._lock.notify_all()
