"""The line's far end for the end-to-end tests and the bench: pseudo-terminals whose master the
test reads and stamps, links repointed as an adapter is unplugged and plugged in, and what the test
can see of the device from there (bytes waiting, locks, opens)."""

import ctypes
import errno
import fcntl
import os
import select
import struct
import subprocess
import sys
import termios
import threading
import time

TIOCEXCL = 0x540C

TIOCGEXCL = 0x80045440

def wait_until(condition, timeout, step=0.02):
    """Polls `condition` until it returns something true or `timeout` seconds pass; returns its
    last result."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(step)

class Pty:
    """A pseudo-terminal; the program writes to the slave, the test reads the master."""

    def __init__(self):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)

    def read_all(self, quiet=0.2):
        """Reads what waits at the master until nothing more comes for `quiet` seconds."""
        os.set_blocking(self.master, False)
        data = b""
        while select.select([self.master], [], [], quiet)[0]:
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                break
            if not chunk:
                break
            data += chunk
        return data

    def hang_up(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None

    def close(self):
        self.hang_up()

def group_bursts(pieces, gap):
    """(time, bytes) pieces grouped where more than `gap` seconds separate them: one burst per
    send, as (time of its first byte, its bytes)."""
    groups = []
    for when, data in pieces:
        if groups and when - groups[-1][2] <= gap:
            groups[-1][1].append(data)
            groups[-1][2] = when
        else:
            groups.append([when, [data], when])
    return [(first, b"".join(parts)) for first, parts, _ in groups]

class Arrivals:
    """Timestamps every byte that reaches the master, on a thread of its own.

    `chunk` and `pause` make a slow reader; `stop_after` closes the master (a hang-up) once that
    many bytes have arrived.
    """

    def __init__(self, pty, chunk=65536, pause=0.0, stop_after=None):
        self.pty = pty
        self.chunk = chunk
        self.pause = pause
        self.stop_after = stop_after
        self.lock = threading.Lock()
        self.pieces = []  # (monotonic time, bytes)
        self.total = 0
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        master = self.pty.master
        # Non-blocking: while nobody holds the slave the master reports a hang-up (readable, and
        # read fails with EIO); once the slave is opened a blocking read would wait for data, and
        # the time taken before it would be wrong. The time is taken after each read.
        os.set_blocking(master, False)
        while self.running and self.pty.master is not None:
            try:
                ready, _, _ = select.select([master], [], [], 0.05)
            except (OSError, ValueError):
                return  # the master was closed under us: an unplug
            if not ready:
                continue
            try:
                data = os.read(master, self.chunk)
            except BlockingIOError:
                continue
            except OSError as error:
                if error.errno not in (errno.EIO, errno.EBADF):
                    raise
                time.sleep(0.005)  # nobody holds the slave yet, or any more
                continue
            now = time.monotonic()
            with self.lock:
                self.pieces.append((now, data))
                self.total += len(data)
                if self.stop_after is not None and self.total >= self.stop_after:
                    self.pty.hang_up()
                    return
            if self.pause:
                time.sleep(self.pause)

    def stop(self):
        self.running = False
        self.thread.join(timeout=2)

    def data(self):
        with self.lock:
            return b"".join(piece for _, piece in self.pieces)

    def bursts(self, gap=1.0):
        """Groups arrivals separated by more than `gap` seconds: one burst per send."""
        with self.lock:
            return group_bursts(list(self.pieces), gap)

    def wait_for_bursts(self, count, timeout, gap=1.0):
        """Waits until `count` bursts have arrived and the last one is over."""
        wait_until(lambda: len(self.bursts(gap)) >= count
                   and time.monotonic() - self._last() > gap, timeout)
        return self.bursts(gap)

    def wait_for_bytes(self, count, timeout):
        wait_until(lambda: self.total >= count, timeout, step=0.01)
        return self.total

    def _last(self):
        with self.lock:
            return self.pieces[-1][0] if self.pieces else 0.0

    def quiet_for(self):
        """Seconds since the last byte arrived."""
        return time.monotonic() - self._last()


class Device:
    """The far end of the line as a device that answers: it reads what arrives at the master,
    `chunk` bytes at a time with `pause` seconds between reads (a slow reader makes a long
    send), and when a file is over (nothing more for `gap` seconds), or at once for a file whose
    answer `early` says is given while it still arrives, it writes the pieces `answer(data)`
    returns, `spacing` seconds apart. What it received is in `received`, what it wrote in
    `sent`."""

    def __init__(self, pty, answer, chunk=65536, pause=0.0, gap=0.05, spacing=0.02,
                 early=lambda data: False):
        self.pty, self.answer, self.chunk, self.pause = pty, answer, chunk, pause
        self.gap, self.spacing, self.early = gap, spacing, early
        self.received = bytearray()
        self.sent = bytearray()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _answer(self, data):
        for index, piece in enumerate(self.answer(bytes(data))):
            if index:
                time.sleep(self.spacing)
            view = memoryview(piece)
            while view and self.running:  # all of it, as the program reads it
                try:
                    view = view[os.write(self.pty.master, view):]
                except (BlockingIOError, TypeError):
                    self._read()
            self.sent += piece

    def _read(self):
        master = self.pty.master
        if master is None:
            self.running = False  # the line was hung up
            return b""
        if select.select([master], [], [], 0.01)[0]:
            try:
                data = os.read(master, self.chunk)
            except OSError:
                return b""
            self.received += data
            return data
        return b""

    def _run(self):
        os.set_blocking(self.pty.master, False)
        file, last, answered = bytearray(), time.monotonic(), False
        while self.running and self.pty.master is not None:
            data = self._read()
            if data:
                file += data
                last = time.monotonic()
                if not answered and self.early(bytes(file)):
                    answered = True
                    self._answer(file)
                if self.pause:
                    time.sleep(self.pause)
            elif file and time.monotonic() - last > self.gap:
                if not answered:
                    self._answer(file)
                file, answered = bytearray(), False

    def stop(self):
        self.running = False
        self.thread.join(timeout=5)


class Responder:
    """A device that knows the files it is fed and answers each when it has read it whole: after
    the delay and in the pieces `answer(data)` returns, as (delay in seconds, [pieces], spacing
    between them), or None for no answer. Its reader waits on the master without a pause and
    stamps each read, so the delay it keeps is known: `answered` holds, for each answer, the file,
    when its last byte was read and when the answer's first byte was written."""

    def __init__(self, pty, answer):
        self.pty, self.answer = pty, answer
        self.answered = []
        self.received = bytearray()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _write(self, data):
        view = memoryview(data)
        while view and self.running:
            try:
                view = view[os.write(self.pty.master, view):]
            except BlockingIOError:
                time.sleep(0.001)

    def _run(self):
        master = self.pty.master
        os.set_blocking(master, False)
        file = bytearray()
        while self.running and self.pty.master is not None:
            if not select.select([master], [], [], 0.05)[0]:
                continue
            try:
                data = os.read(master, 65536)
            except (BlockingIOError, OSError):
                time.sleep(0.001)
                continue
            read = time.monotonic()
            self.received += data
            file += data
            reply = self.answer(bytes(file))
            if reply is None:
                continue  # not a whole file yet, or one it does not answer
            delay, pieces, spacing = reply
            done = bytes(file)
            file = bytearray()
            if not pieces:
                continue
            wait = read + delay - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            written = time.monotonic()
            for index, piece in enumerate(pieces):
                if index:
                    time.sleep(spacing)
                self._write(piece)
            self.answered.append((done, read, written))

    def stop(self):
        self.running = False
        self.thread.join(timeout=5)


class Talker:
    """A device that talks without a pause at about 9600 baud's full speed: 10 bytes every 10 ms
    to the pty's master, from now until stop(), which returns what it said. It is a process of its
    own, so that the threads that stamp what arrives never wait for it."""

    SCRIPT = """
import os, signal, sys, time
fd, count, running = int(sys.argv[1]), 0, True
def stop(*_):
    global running
    running = False
signal.signal(signal.SIGTERM, stop)
while running:
    try:
        count += os.write(fd, bytes((count + i) % 256 for i in range(10)))
    except (BlockingIOError, InterruptedError):
        pass
    time.sleep(0.01)
print(count, flush=True)
"""

    def __init__(self, pty):
        os.set_blocking(pty.master, False)
        self.process = subprocess.Popen([sys.executable, "-c", self.SCRIPT, str(pty.master)],
                                        pass_fds=[pty.master], stdout=subprocess.PIPE)

    def stop(self):
        self.process.terminate()
        count = int(self.process.communicate(timeout=10)[0])
        return bytes(i % 256 for i in range(count))


# A line of the program's record of every tick (--verbose): its local time, then what happened.

class Link:
    """A symlink to a pty, repointed as /dev/serial/by-id/... is when a USB adapter is unplugged
    and plugged in again (maybe as another device). Under Wine a COM name is such a link."""

    def __init__(self, folder, pty, name="usb-serial-adapter-if00"):
        self.path = os.path.join(folder, name)
        if os.path.lexists(self.path):
            os.unlink(self.path)
        os.symlink(pty.path, self.path)

    def unplug(self, pty):
        os.unlink(self.path)
        pty.hang_up()

    def plug(self, pty):
        os.symlink(pty.path, self.path)

def unread(pty):
    """How many bytes wait at the pty's master, written and not yet read."""
    return struct.unpack("i", fcntl.ioctl(pty.master, termios.FIONREAD, b"\0" * 4))[0]

def port_is_free(path):
    """True when nothing holds the device: no TIOCEXCL and no flock."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        exclusive = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4))[0]
        if exclusive:
            return False
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        return True
    finally:
        os.close(fd)

class OpenCounter:
    """Records when a file is opened, with inotify (IN_OPEN), on a thread of its own."""

    IN_OPEN = 0x20
    IN_NONBLOCK = 0o4000

    def __init__(self, path):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(self.IN_NONBLOCK)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, path.encode(), self.IN_OPEN) < 0:
            raise OSError(ctypes.get_errno(), "inotify")
        self.times = []
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            if not select.select([self.fd], [], [], 0.05)[0]:
                continue
            now = time.monotonic()
            data = os.read(self.fd, 65536)
            offset = 0
            while offset < len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, offset)
                if mask & self.IN_OPEN:
                    self.times.append(now)
                offset += 16 + length

    def count(self):
        time.sleep(0.1)  # let the thread see the last events
        return len(self.times)

    def first(self, timeout):
        """When the file was first opened, waiting up to `timeout` seconds for it; None if not."""
        return wait_until(lambda: self.times and self.times[0], timeout)

    def close(self):
        self.running = False
        self.thread.join(timeout=1)
        os.close(self.fd)
