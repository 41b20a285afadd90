"""The program by itself, headless, with no arguments: the beat, the bytes, the pause, a missing
file, and a clean end on SIGTERM."""

import os
import re
import signal
import subprocess
import sys
import tempfile

import harness


class HeadlessRun(harness.Scene):
    def test_a_run_through_a_rotation_the_pause_and_back(self):
        sent = {n: self.write_check(n, f"check {n}\r\n".encode() + bytes(range(256)) * n)
                for n in (1, 2, 4, 5, 6)}
        arrivals = harness.Arrivals(self.pty)
        program = self.start()

        # The lock file names the program while it holds the port.
        self.assertTrue(self.wait_for_lock_file())
        with open(self.lock_file()) as lock:
            self.assertEqual(lock.read(), f"{program.pid:10d}\n")

        bursts = arrivals.wait_for_bursts(6, timeout=50)
        program.signal(signal.SIGTERM)
        self.assert_ends_cleanly(program)
        arrivals.stop()

        expected = [1, 2, 4, 5, 6, 1]
        self.assertEqual([data for _, data in bursts], [sent[n] for n in expected])
        times = [when - program.started for when, _ in bursts]
        self.assertTrue(4.5 < times[0] < 6.0, f"first send at {times[0]:.3f} s")
        # check3 is missing: its slot stays empty, the next file keeps its own slot.
        for index, slot in enumerate([1, 2, 4, 5, 6, 9]):
            self.assertAlmostEqual(times[index] - times[0], (slot - 1) * 5.0, delta=0.3,
                                   msg=f"send {index + 1} off its slot")

        failures = [(when - program.started, text) for when, text in program.stderr.timed()]
        self.assertEqual([text for _, text in failures],
                         ['checkfeed: Cannot open file "check3.txt": No such file or directory'])
        self.assertAlmostEqual(failures[0][0], 15.0, delta=0.5)

    def test_a_fatal_failure_is_shown_and_ends_the_program_with_1(self):
        # With four descriptors (stdin, stdout, stderr and the stop signals) the timer cannot be
        # made: a failure outside any tick.
        program = self.start(wrapper=("prlimit", "--nofile=4:4", "--"))
        code, _ = program.wait(timeout=10)
        self.assertEqual(code, 1)
        self.assertEqual(program.stderr.texts(),
                         ["checkfeed: Cannot create a timer: Too many open files"])
        self.assertFalse(os.path.exists(self.lock_file()))


class Demo(harness.Scene):
    def test_the_demo_shows_check1_when_it_lands_at_5_s(self):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                              "demo.py")
        folder = tempfile.mkdtemp(prefix="checkfeed-demo-test-")
        self.addCleanup(harness.shutil.rmtree, folder, True)
        demo = subprocess.run([sys.executable, script, self.binary, "--files", "1"],
                              env=dict(os.environ, TMPDIR=folder), capture_output=True,
                              text=True, timeout=30)
        self.assertEqual(demo.returncode, 0, demo.stdout + demo.stderr)
        landed = re.search(r"^ +([0-9.]+)  check1\.txt +32  exact$", demo.stdout, re.MULTILINE)
        self.assertIsNotNone(landed, demo.stdout)
        self.assertTrue(4.9 < float(landed.group(1)) < 5.5, demo.stdout)


if __name__ == "__main__":
    harness.main()
