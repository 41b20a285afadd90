"""Runs the real checkfeed against pseudo-terminals, for the end-to-end tests and the bench.

The program is a parameter: checkfeed itself, or checkfeed.exe, run under Wine (see Target). With
no arguments the program opens COM1. On Linux that is /dev/ttyS0, and the program is started in a
private mount namespace where a pty is bound over /dev/ttyS0 and a directory of the test's own
over /run/lock, so it never touches this machine's real port or lock files. Under Wine, COM1 is a
link the test points at its pty, in a Wine prefix where this machine's serial ports do not exist
(tests/tools/wine). Every process started here is bounded in time and killed when its test ends.

Timing is taken where the program controls it: a send's first byte at the far end of the line, the
program's own record (--verbose), or the moment it opened its port (OpenCounter), never the moment
a test started a process, which under Wine is seconds before the program begins.
"""

import ctypes
import datetime
import errno
import fcntl
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

TIOCEXCL = 0x540C
TIOCGEXCL = 0x80045440
SKIP = 77


def wait_until(condition, timeout, step=0.02):
    """Polls `condition` until it returns something true or `timeout` seconds pass; returns its
    last result."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(step)


def require_namespaces(bind_ttys0=True):
    if os.geteuid() != 0:
        raise unittest.SkipTest("needs root for a private mount namespace")
    if bind_ttys0 and not os.path.exists("/dev/ttyS0"):
        raise unittest.SkipTest("no /dev/ttyS0 to bind a pty over")
    for tool in ("unshare", "mount"):
        if shutil.which(tool) is None:
            raise unittest.SkipTest(f"{tool} is not installed")


class Pty:
    """A pseudo-terminal; the program writes to the slave, the test reads the master."""

    def __init__(self):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)

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


# A line of the program's record of every tick (--verbose): its local time, then what happened.
RECORD = re.compile(r"^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d) (.*)$")
SENT = re.compile(r"^(\S+) (\d+) bytes? sent in ([0-9.]+) ms$")


def records(lines):
    """The record's lines among `lines`, as (seconds since the epoch, text)."""
    found = []
    for line in lines:
        match = RECORD.match(line)
        if match:
            found.append((datetime.datetime.fromisoformat(match.group(1)).timestamp(),
                          match.group(2)))
    return found


def send_took(stdout, name, timeout):
    """How long the program's record says the send of check file `name` took, in milliseconds,
    waiting up to `timeout` seconds for that line; None if it does not come."""
    def took():
        for _, text in records(stdout.texts()):
            match = SENT.match(text)
            if match and match.group(1) == name:
                return float(match.group(3))
        return None
    return wait_until(took, timeout)


# What Wine itself may write to a program's stderr: its own diagnostics, and the dump of its
# server's objects when the server ends.
WINE_NOISE = re.compile(r"^([0-9a-f]{4}:(err|fixme|warn|trace):|0x[0-9a-f]+:|wine: |it looks like "
                        r"wine32|multiarch needs|execute \"dpkg|apt-get install wine32)")


class Lines:
    """Collects a stream's lines with the time each arrived. `noise` matches lines to leave out."""

    def __init__(self, stream, noise=None):
        self.noise = noise
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self.thread.start()

    def _run(self, stream):
        if stream is None:
            return
        for line in iter(stream.readline, b""):
            text = line.decode(errors="replace").rstrip("\r\n")  # Windows ends lines with CR LF
            if self.noise and self.noise.match(text):
                continue
            with self.lock:
                self.lines.append((time.monotonic(), text))

    def texts(self):
        with self.lock:
            return [text for _, text in self.lines]

    def timed(self):
        with self.lock:
            return list(self.lines)

    def wait_for(self, predicate, timeout):
        return wait_until(lambda: any(predicate(text) for text in self.texts()), timeout)


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


def windows_path(path):
    """A Linux path as a Windows program under Wine names it (Wine's Z: is /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Target:
    """The program under test, and what differs between its two builds: checkfeed on Linux, or
    checkfeed.exe under Wine (through tests/tools/wine/wine.sh, in the prefix tests/tools/wine/prefix.sh
    made; CHECKFEED_WINE and CHECKFEED_WINE_DIR name them).

    Under Wine the program runs from tests/tools/wine/run.cmd, which writes the exit status Windows gives
    it to a file: Wine's server ends a process with SIGKILL when its Unix side lingers for about
    half a second after its last thread has ended (seen with the exit delayed by 0.8 s: -9; by
    0.1 s: 0), so on a busy machine the status the Unix side shows is not always the program's."""

    def __init__(self, program):
        self.program = os.path.abspath(program)
        self.windows = program.endswith(".exe")
        if self.windows:
            self.wine = os.environ["CHECKFEED_WINE"]
            self.ports = os.path.join(os.environ["CHECKFEED_WINE_DIR"], "ports")
        self.default_port = "COM1" if self.windows else "/dev/ttyS0"
        # Ctrl+C under Wine: SIGTERM ends a Windows program there without its close path. The
        # windowed program has no console, so no Ctrl+C: it is asked to close, as taskkill does.
        self.windowed = self.windows and os.path.basename(program) == "checkfeed.exe"
        self.stop = signal.SIGINT if self.windows else signal.SIGTERM
        # The system's words for a missing file and for a device that went away.
        self.missing = "File not found" if self.windows else "No such file or directory"
        self.no_folder = "Path not found" if self.windows else "No such file or directory"
        self.gone = "Not ready" if self.windows else "Input/output error"
        self.noise = WINE_NOISE if self.windows else None
        # How much later than it was started the program may begin: Wine takes a moment (a 32-bit
        # program a little longer where its loader runs under emulation, see scripts/deps.sh).
        self.startup = 4.0 if self.windows else 0.0

    def command(self, args=()):
        """The program itself, with `args`: under Wine through wine.sh."""
        return [self.wine, self.program, *args] if self.windows else [self.program, *args]

    def test_command(self, args=()):
        """The same, where a test needs its exit status: under Wine from run.cmd (see above)."""
        if not self.windows:
            return self.command(args)
        runner = os.path.join(os.path.dirname(self.wine), "run.cmd")
        return [self.wine, "cmd", "/c", windows_path(runner), windows_path(self.program), *args]

    def new_session(self):
        """Under Wine, ends the prefix's server and every program in it, so the next program
        starts a session of its own: one whose desktop is on the display it is given."""
        if self.windows:
            subprocess.run(["sh", os.path.join(os.path.dirname(self.wine), "prefix.sh"), "stop",
                            os.path.dirname(self.ports)], check=False, timeout=30)

    def wine_tool(self, *args, env=None):
        """Runs a Windows program or one of Wine's tools in the tests' prefix; returns its output.
        The output goes through a file, not a pipe: the Wine processes the first program of a
        session starts (its desktop, services) would hold a pipe open as long as Wine runs."""
        with tempfile.TemporaryFile() as output:
            subprocess.run([self.wine, *args], env=env, stdin=subprocess.DEVNULL, stdout=output,
                           stderr=subprocess.DEVNULL, timeout=60, check=False)
            output.seek(0)
            return output.read().decode(errors="replace").replace("\r\n", "\n")

    def map_only(self, names):
        """Maps only the COM names `names` in the prefix, as a computer that has those ports and no
        others (COM1 among the others): until restore_ports(). Takes effect in a new session."""
        key = "HKLM\\Software\\Wine\\Ports"
        self.wine_tool("reg", "delete", key, "/f")
        for name in names:
            self.wine_tool("reg", "add", key, "/v", name, "/t", "REG_SZ", "/d",
                           os.path.join(self.ports, name.lower()), "/f")
        self.new_session()

    def restore_ports(self):
        """Every COM name mapped into the ports folder again, as tests/tools/wine/prefix.sh made it."""
        self.wine_tool("reg", "import",
                       windows_path(os.path.join(os.path.dirname(self.ports), "ports.reg")))
        self.new_session()

    def port(self, folder, pty, number):
        """A port the program is given by name, as a link to `pty` that a test can repoint:
        (its --port value, its name in messages, the Link). On Linux a link such as
        /dev/serial/by-id/... in `folder`; under Wine the COM name `number`."""
        if self.windows:
            return f"COM{number}", f"COM{number}", Link(self.ports, pty, f"com{number}")
        link = Link(folder, pty)
        return link.path, link.path, link


class Checkfeed:
    """The real program with `pty` as COM1, `workdir` as its current directory. On Linux it runs
    in a private mount namespace with `pty` over /dev/ttyS0 and `lock_dir` over /run/lock (where
    /var/lock points); under Wine COM1 is linked to `pty`. With `output="gone"` its stdout and
    stderr are pipes whose reader has already gone away. `setup` is more shell to run in the
    namespace first, ending in "&& ". `com1=False` leaves COM1 unmapped under Wine. `program` is
    a Target, or the path of a Linux binary."""

    def __init__(self, program, workdir, pty, lock_dir, args=(), env=None, timeout=120,
                 wrapper=(), output="pipe", setup="", com1=True):
        target = program if isinstance(program, Target) else Target(program)
        require_namespaces(bind_ttys0=not target.windows)
        self.com1 = None
        if target.windows:
            if com1:
                self.com1 = Link(target.ports, pty, "com1")
            command = [*wrapper, *target.test_command(args)]
        else:
            script = (
                'mount --bind "$1" /dev/ttyS0 && mount --bind "$2" /run/lock && '
                f'{setup}shift 2 && exec "$@"'
            )
            command = ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                       pty.path, lock_dir, *wrapper, *target.test_command(args)]
        environment = dict(os.environ if env is None else env)
        self.target = target
        self.status_file = None
        self.own_pid = None
        if target.windows:
            self.status_dir = tempfile.mkdtemp(prefix="checkfeed-status-")
            self.status_file = os.path.join(self.status_dir, "exit-status")
            environment["CHECKFEED_EXIT_FILE"] = windows_path(self.status_file)
        self.runtime_dir = None
        if "XDG_RUNTIME_DIR" not in environment:
            # Qt wants one, private to its user; without it Qt writes a warning on stderr.
            environment["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="checkfeed-runtime-")
            self.runtime_dir = environment["XDG_RUNTIME_DIR"]
        self.started = time.monotonic()
        streams = subprocess.PIPE
        if output == "gone":
            read_end, streams = os.pipe()
            os.close(read_end)
        self.env = environment
        self.process = subprocess.Popen(command, cwd=workdir, env=environment,
                                        stdin=subprocess.DEVNULL, stdout=streams,
                                        stderr=streams, start_new_session=True)
        if output == "gone":
            os.close(streams)
        self.stdout = Lines(self.process.stdout, target.noise)
        self.stderr = Lines(self.process.stderr, target.noise)
        # Whatever happens to the test, the program does not outlive this bound.
        self.watchdog = threading.Timer(timeout + target.startup, self.kill)
        self.watchdog.daemon = True
        self.watchdog.start()

    @property
    def pid(self):
        """The program's own process. Under Wine that is the Windows program run.cmd started, in
        the session of the process started here."""
        if not self.target.windows:
            return self.process.pid
        if self.own_pid is None:
            name = os.path.basename(self.target.program).lower()
            self.own_pid = wait_until(lambda: session_process(self.process.pid, name),
                                      10 + self.target.startup)
        return self.own_pid

    def signal(self, number):
        """Sends a signal to the program itself; under Wine a SIGINT is its Ctrl+C."""
        if self.process.poll() is None:
            try:
                os.kill(self.pid, number)
            except (ProcessLookupError, TypeError):
                pass  # ended already

    def wait(self, timeout):
        """Waits for the program to end; returns (exit code, seconds it took) or (None, timeout).
        Under Wine the exit code is the one Windows gave the program."""
        began = time.monotonic()
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None, timeout
        took = time.monotonic() - began
        if self.status_file and os.path.exists(self.status_file):
            with open(self.status_file) as status:
                code = int(status.read().split()[0])
        # Under Wine, the desktop process the program started may hold its output a moment
        # longer: what the program wrote is read, but its end is not timed by it.
        self.stdout.thread.join(timeout=2)
        self.stderr.thread.join(timeout=2)
        return code, took

    def kill(self):
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait(timeout=5)

    def close(self):
        self.watchdog.cancel()
        self.kill()
        for lines, stream in ((self.stdout, self.process.stdout),
                              (self.stderr, self.process.stderr)):
            lines.thread.join(timeout=1)
            # A stream is closed once its reader has seen its end. Under Wine the desktop process
            # may hold it open a minute longer, and closing it under the reader would wait as long.
            if stream is not None and not lines.thread.is_alive():
                stream.close()
        if self.com1 and os.path.islink(self.com1.path):
            os.unlink(self.com1.path)
        if self.runtime_dir:
            shutil.rmtree(self.runtime_dir, True)
        if self.status_file:
            shutil.rmtree(self.status_dir, True)


class Xvfb:
    """A private X server for a window test, with openbox as window manager if asked."""

    def __init__(self, window_manager=False):
        for tool in ("Xvfb",) + (("openbox",) if window_manager else ()):
            if shutil.which(tool) is None:
                raise unittest.SkipTest(f"{tool} is not installed")
        self.xwindow = os.environ.get("CHECKFEED_XWINDOW")  # for the scenes that look at windows
        self.processes = []
        read_end, write_end = os.pipe()
        # -noreset: Xvfb otherwise resets when its last client leaves, and refuses connections
        # meanwhile; the program's display check and our own probes come and go.
        server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp",
                                   "-noreset", "-screen", "0", "1280x1024x24"],
                                  pass_fds=(write_end,),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  start_new_session=True)
        self.processes.append(server)
        os.close(write_end)
        number = b""
        while select.select([read_end], [], [], 10)[0]:
            piece = os.read(read_end, 16)
            number += piece
            if not piece or number.endswith(b"\n"):
                break
        os.close(read_end)
        if not number.strip():
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("QT_QPA_PLATFORM", None)
        if window_manager:
            self.processes.append(subprocess.Popen(
                ["openbox"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True))
            if not wait_until(lambda: self.x("wm", check=False).returncode == 0, 10):
                self.close()
                raise RuntimeError("openbox did not start")

    def x(self, *args, check=True):
        return subprocess.run([self.xwindow, *args], env=self.env, capture_output=True,
                              text=True, timeout=10, check=check)

    def find(self, title):
        return self.x("find", title).stdout.split()

    def wait_for(self, title, timeout):
        return wait_until(lambda: self.find(title), timeout, step=0.05)

    def frame(self, window):
        return tuple(int(value) for value in self.x("frame", window).stdout.split())

    def wait_for_frame(self, window, expected, timeout=5):
        """The window's frame once it is `expected`, or as it is after `timeout`: a window
        manager frames a new window, and the program fits itself to the frame, a moment after
        the window first shows."""
        return wait_until(lambda: self.frame(window) == expected, timeout) and expected \
            or self.frame(window)

    def close_window(self, window):
        self.x("close", window)

    def box_text(self, target, title):
        """The text of the box titled `title`, as its user reads it: under Wine, read by a
        Windows tool in the same session. None on Linux, where Qt draws the text itself."""
        if not target.windows:
            return None
        return target.wine_tool(os.environ["CHECKFEED_BOXTEXT"], title, env=self.env)

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait(timeout=5)


def session_process(session, name):
    """The process in `session` whose program is `name` (a Windows program's file name, any case),
    or None."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                # The program first, or after QEMU and Wine's loader where 32-bit programs are
                # emulated.
                words = cmdline.read().decode(errors="replace").split("\0")[:3]
        except OSError:
            continue
        if int(fields[3]) == session and any(
                word.replace("\\", "/").lower().endswith("/" + name) for word in words):
            return int(entry)
    return None


def mapped_libraries(pid):
    """The files a process has mapped, by name."""
    with open(f"/proc/{pid}/maps") as maps:
        return {os.path.basename(line.split()[-1]) for line in maps if "/" in line}


def toolkit_libraries(pid):
    """The libraries of the window a process has mapped: Qt, X, the window module."""
    return sorted(name for name in mapped_libraries(pid)
                  if name.startswith(("libQt", "libxcb", "libX11", "checkfeed-window")))


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


class Scene(unittest.TestCase):
    """A test with a scratch directory, a pty and a lock directory, all cleaned up after, against
    the program main() was given (`target`)."""

    target = None

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="checkfeed-e2e-")
        self.lock_dir = os.path.join(self.workdir, "lock")
        os.mkdir(self.lock_dir)
        self.files = os.path.join(self.workdir, "files")
        os.mkdir(self.files)
        self.pty = Pty()
        self.addCleanup(shutil.rmtree, self.workdir, True)
        self.addCleanup(self.pty.close)

    def write_check(self, number, content):
        with open(os.path.join(self.files, f"check{number}.txt"), "wb") as out:
            out.write(content)
        return content

    @property
    def binary(self):
        return self.target.program

    def linux_only(self, why):
        if self.target.windows:
            self.skipTest(f"Linux only: {why}")

    def start(self, *args, **options):
        program = Checkfeed(self.target, self.files, self.pty, self.lock_dir, args, **options)
        self.addCleanup(program.close)
        return program

    def stop(self, program, how=None):
        """Asks the program to stop, as a user would: SIGTERM; on Windows Ctrl+C, or taskkill
        (WM_CLOSE to its windows) for the windowed program. `how` is another signal, or
        "taskkill"."""
        if how == "taskkill" or (how is None and self.target.windowed):
            subprocess.run([self.target.wine, "taskkill", "/im",
                            os.path.basename(self.target.program)],
                           capture_output=True, timeout=30, env=program.env)
        else:
            program.signal(how or self.target.stop)

    def stops(self):
        """Every way a user stops this program: signals on Linux; Ctrl+C and taskkill for the
        Windows console program; taskkill for the windowed one."""
        if not self.target.windows:
            return [signal.SIGTERM, signal.SIGINT, signal.SIGHUP]
        return ["taskkill"] if self.target.windowed else [signal.SIGINT, "taskkill"]

    def desktop(self, window_manager=False, bare=False):
        """A private display, and under Wine a session of its own on it: Wine can make no window
        at all without one, not even the hidden one that hears taskkill, logoff and shutdown (a
        Windows program always has a desktop). Ended with the test. Wine draws its windows'
        frames itself, and a window manager leaves them as they are; without one, Wine waits 2 s
        for one to see a window go before it closes it. `bare`: no window manager at all, for a
        program that shows no window."""
        display = Xvfb(not bare and (window_manager or self.target.windows))
        self.addCleanup(display.close)
        self.target.new_session()
        self.addCleanup(self.target.new_session)
        return display

    def start_held_send(self, *args, env=None):
        """Starts the program with a 1 MiB check1.txt on the test's pty, which nobody reads: the
        send stops moving once the pty is full. Checks that the program says so within 3 s, with
        the bytes sent, on stderr and in its --log; returns the program, still in the send."""
        self.write_check(1, bytes(range(256)) * 4096)
        log = tempfile.mktemp(prefix="held-", suffix=".log", dir=self.workdir)
        program = self.start("--log", log, *args, env=env)
        self.assertTrue(wait_until(lambda: unread(self.pty) > 0, 10 + self.target.startup),
                        "the send never began")
        held = re.compile(r'checkfeed: Port "(.+)" has taken no bytes for 2 s: check1\.txt, '
                          r"(\d+) of 1048576 bytes sent\. Check the device and its cable\.$")
        full = time.monotonic()
        notice = wait_until(lambda: [(when, line) for when, line in program.stderr.timed()
                                     if held.match(line)], 6, step=0.01)
        self.assertTrue(notice, f"no word of the held line: {program.stderr.texts()}")
        when, line = notice[0]
        # Said 2 s after the last byte the pty took, which it takes at once when full.
        self.assertGreaterEqual(when - full, 1.9, "the held line was said before 2 s passed")
        self.assertLess(when - full, 3.0, "the held line was said late")
        self.assertGreater(int(held.match(line).group(2)), 0)
        self.assertIsNone(program.process.poll())
        # The log gets the line right after stderr does.
        def logged():
            with open(log, encoding="utf-8") as record:
                return line[len("checkfeed: "):] in record.read()
        self.assertTrue(wait_until(logged, 2), "the held line is not in the log")
        return program

    def watch_opens(self, pty=None):
        """Counts the opens of the test's pty (or `pty`). The program opens its port at the show,
        right after it starts its beat: the first open is the time its ticks count from."""
        opens = OpenCounter((pty or self.pty).path)
        self.addCleanup(opens.close)
        return opens

    def lock_file(self):
        return os.path.join(self.lock_dir, "LCK..ttyS0")

    def wait_for_lock_file(self, timeout=3):
        return wait_until(lambda: os.path.exists(self.lock_file()), timeout)

    def stop_and_assert_it_ends_cleanly(self, program, within=2.0):
        self.stop(program)
        self.assert_ends_cleanly(program, within)

    def assert_ends_cleanly(self, program, within=2.0):
        code, took = program.wait(timeout=10)
        self.assertEqual(code, 0, f"exit code; stderr: {program.stderr.texts()}")
        self.assertLess(took, within, "time to end after the stop request")
        self.assertEqual(os.listdir(self.lock_dir), [], "lock file left behind")
        self.assertTrue(port_is_free(self.pty.path), "port still held")


def main():
    """Runs the tests of the calling script against the program given as its first argument
    (checkfeed, or checkfeed.exe to run under Wine). Exits with 1 on failure, 77 (skipped, for
    CTest) when every test was skipped."""
    Scene.target = Target(sys.argv.pop(1))
    program = unittest.main(exit=False, verbosity=2)
    result = program.result
    if not result.wasSuccessful():
        sys.exit(1)
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(SKIP)
    sys.exit(0)
