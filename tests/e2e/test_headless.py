"""The program by itself, headless, with no arguments: the beat, the bytes, the pause, a missing
file, and a clean end on SIGTERM."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

import harness


class HeadlessRun(harness.Scene):
    def test_a_run_through_a_rotation_the_pause_and_back(self):
        # check5.txt is 100 KiB, every byte value: many writes of a driver's queue each, every
        # one from where the last ended.
        sent = {n: self.write_check(n, f"check {n}\r\n".encode()
                                    + bytes(range(256)) * (400 if n == 5 else n))
                for n in (1, 2, 4, 5, 6)}
        arrivals = harness.Arrivals(self.pty)
        opens = self.watch_opens()
        program = self.start()

        if not self.target.windows:
            # The lock file names the program while it holds the port.
            self.assertTrue(self.wait_for_lock_file())
            # Without a display no part of the window is ever mapped: not Qt, not X, not the
            # module.
            self.assertEqual(harness.toolkit_libraries(program.pid), [])
            with open(self.lock_file()) as lock:
                self.assertEqual(lock.read(), f"{program.pid:10d}\n")

        bursts = arrivals.wait_for_bursts(6, timeout=50 + self.target.startup)
        self.assertEqual(opens.count(), 1, "the port was opened more than once")
        self.stop_and_assert_it_ends_cleanly(program)
        arrivals.stop()

        expected = [1, 2, 4, 5, 6, 1]
        self.assert_arrived(bursts, [sent[n] for n in expected])
        started = opens.first(timeout=0)
        times = [when - started for when, _ in bursts]
        self.assertTrue(4.5 < times[0] < 5.5, f"first send {times[0]:.3f} s after the port opened")
        # check3 is missing: its slot stays empty, the next file keeps its own slot.
        for index, slot in enumerate([1, 2, 4, 5, 6, 9]):
            self.assertAlmostEqual(times[index] - times[0], (slot - 1) * 5.0, delta=0.3,
                                   msg=f"send {index + 1} off its slot")

        failures = [(when - started, text) for when, text in program.stderr.timed()]
        self.assertEqual([text for _, text in failures],
                         [f'checkfeed: Cannot open file "check3.txt": {self.target.missing}'])
        self.assertAlmostEqual(failures[0][0] - times[0], 10.0, delta=0.5)

    def test_a_fatal_failure_is_shown_and_ends_the_program_with_1(self):
        self.linux_only("prlimit")
        # With four descriptors (stdin, stdout, stderr and the stop signals) the timer cannot be
        # made: a failure outside any tick.
        program = self.start(wrapper=("prlimit", "--nofile=4:4", "--"))
        code, _ = program.wait(timeout=10)
        self.assertEqual(code, 1)
        self.assertEqual(program.stderr.texts(),
                         ["checkfeed: Cannot create a timer: Too many open files"])
        self.assertFalse(os.path.exists(self.lock_file()))


class LineOptions(harness.Scene):
    def test_period_and_pause_set_the_beat(self):
        sent = {n: self.write_check(n, f"{n}".encode()) for n in range(1, 7)}
        arrivals = harness.Arrivals(self.pty)
        program = self.start("--period", "300", "--pause", "700", "--verbose")
        bursts = arrivals.wait_for_bursts(8, timeout=8 + self.target.startup, gap=0.1)
        self.stop(program)
        self.assert_ends_cleanly(program)
        self.assertEqual([data for _, data in bursts[:8]], [sent[n] for n in (1, 2, 3, 4, 5, 6, 1, 2)])
        # When each send began, from the program's own record: every 300 ms; from the sixth file
        # back to the first, the period and the pause; then the grid again.
        sends = [when for when, text in harness.records(program.stdout.texts()) if " sent in " in text]
        for when, slot in zip(sends, (0, 300, 600, 900, 1200, 1500, 2500, 2700)):
            self.assertAlmostEqual((when - sends[0]) * 1000, slot, delta=50)

    def test_a_paced_send_longer_than_the_period_keeps_its_gaps_and_stops_at_once(self):
        long = self.write_check(1, bytes(range(200)))
        short = self.write_check(2, b"two")
        arrivals = harness.Arrivals(self.pty)
        program = self.start("--period", "500", "--char-delay", "5", "--verbose")
        self.assertEqual(arrivals.wait_for_bytes(len(long) + len(short),
                                                 timeout=5 + self.target.startup),
                         len(long) + len(short))
        # check2.txt comes once, right after check1.txt, not once for every tick it outlasted.
        self.assertEqual(arrivals.data(), long + short)
        # The send lasted its 200 gaps, as the program timed it: from its first byte until the
        # last one's gap was over. (Each gap is timed in the unit tests, where it is kept.)
        took = harness.send_took(program.stdout, "check1.txt", timeout=2)
        self.assertGreaterEqual(took, 200 * 5.0, "the send was shorter than its gaps")

        # Stopped in the middle of the next paced send of check1.txt.
        arrivals.wait_for_bytes(len(long) + len(short) + 20, timeout=5)
        self.stop(program)
        self.assert_ends_cleanly(program, within=0.5)


class Demo(harness.Scene):
    def test_the_demo_shows_check1_when_it_lands_at_5_s(self):
        self.linux_only("the demo feeds a pty from Linux")
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                              "demo.py")
        folder = tempfile.mkdtemp(prefix="checkfeed-demo-test-")
        self.addCleanup(shutil.rmtree, folder, True)
        demo = subprocess.run([sys.executable, script, self.binary, "--files", "1"],
                              env=dict(os.environ, TMPDIR=folder), capture_output=True,
                              text=True, timeout=30)
        self.assertEqual(demo.returncode, 0, demo.stdout + demo.stderr)
        landed = re.search(r"^ +([0-9.]+)  check1\.txt +32  exact$", demo.stdout, re.MULTILINE)
        self.assertIsNotNone(landed, demo.stdout)
        self.assertTrue(4.9 < float(landed.group(1)) < 5.5, demo.stdout)


if __name__ == "__main__":
    harness.main()
