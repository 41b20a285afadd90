"""The program under test, checkfeed on Linux or checkfeed.exe under Wine, started the way the
tests need it and stopped whatever happens to them, and what it writes.

With no arguments the program opens COM1. On Linux that is /dev/ttyS0, and the program is started
in a private mount namespace where a pty is bound over /dev/ttyS0 and a directory of the test's own
over /run/lock, so it never touches this machine's real port or lock files. Under Wine, COM1 is a
link the test points at its pty, in a Wine prefix where this machine's serial ports do not exist
(tests/tools/wine). Every process started here is bounded in time and killed when its test ends.
"""

import datetime
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from line import Link, wait_until

SKIP = 77

def require_namespaces(bind_ttys0=True):
    if os.geteuid() != 0:
        raise unittest.SkipTest("needs root for a private mount namespace")
    if bind_ttys0 and not os.path.exists("/dev/ttyS0"):
        raise unittest.SkipTest("no /dev/ttyS0 to bind a pty over")
    for tool in ("unshare", "mount"):
        if shutil.which(tool) is None:
            raise unittest.SkipTest(f"{tool} is not installed")

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
    a Target, or the path of a Linux binary. `network=True` (Linux) gives it a network namespace
    of its own, where only what `setup` starts can be reached."""

    def __init__(self, program, workdir, pty, lock_dir, args=(), env=None, timeout=120,
                 wrapper=(), output="pipe", setup="", com1=True, network=False):
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
            # `network`: a network namespace of its own too, whose loopback `setup` brings up.
            command = ["unshare", "-m", *(["-n"] if network else []), "--propagation", "private",
                       "sh", "-c", script, "sh", pty.path, lock_dir, *wrapper,
                       *target.test_command(args)]
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
        running = self.process.poll() is None
        # Its process group: the program, and on Linux what its namespace `setup` started (a test's
        # own servers), which would outlive a program that has ended.
        if running or not self.target.windows:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if running:
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

def cpu_seconds(pid):
    """The processor time a process has used so far, user and system, in seconds."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

def mapped_libraries(pid):
    """The files a process has mapped, by name."""
    with open(f"/proc/{pid}/maps") as maps:
        return {os.path.basename(line.split()[-1]) for line in maps if "/" in line}

def toolkit_libraries(pid):
    """The libraries of the window a process has mapped: Qt, X, the window module."""
    return sorted(name for name in mapped_libraries(pid)
                  if name.startswith(("libQt", "libxcb", "libX11", "checkfeed-window")))
