"""Runs the real checkfeed against pseudo-terminals, for the end-to-end tests and the bench: the
scenes' common ground (Scene) and their entry point (main). What it stands on is in line.py (the
pseudo-terminal), program.py (the program, native or under Wine) and display.py (the X display),
all of which it offers under its own name.

Timing is taken where the program controls it: a send's first byte at the far end of the line, the
program's own record (--verbose), or the moment it opened its port (OpenCounter), never the moment
a test started a process, which under Wine is seconds before the program begins.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from display import Xvfb  # noqa: F401
from line import (Arrivals, Device, Link, OpenCounter, Pty, Responder, Talker,  # noqa: F401
                  group_bursts, port_is_free, unread, wait_until)
from program import (RECORD, SENT, SKIP, WINE_NOISE, Checkfeed, Lines, Target,  # noqa: F401
                     cpu_seconds, mapped_libraries, records, require_namespaces, send_took,
                     session_process, toolkit_libraries, windows_path)

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

    def assert_arrived(self, bursts, expected):
        """Each burst's bytes are the file expected, said by where they first differ: a diff of
        100 KiB would take unittest minutes to write."""
        got = [data for _, data in bursts]
        self.assertEqual(len(got), len(expected), [len(data) for data in got])
        for index, (data, want) in enumerate(zip(got, expected)):
            if data != want:
                at = next((i for i, (a, b) in enumerate(zip(data, want)) if a != b),
                          min(len(data), len(want)))
                self.fail(f"send {index + 1}: {len(data)} bytes where {len(want)} were sent, "
                          f"first different at byte {at}")

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
