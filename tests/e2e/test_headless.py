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
        sent = {n: self.write_check(n, f"check {n}\r\n".encode() + bytes(range(256)) * n)
                for n in (1, 2, 4, 5, 6)}
        arrivals = harness.Arrivals(self.pty)
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
        self.stop_and_assert_it_ends_cleanly(program)
        arrivals.stop()

        expected = [1, 2, 4, 5, 6, 1]
        self.assertEqual([data for _, data in bursts], [sent[n] for n in expected])
        times = [when - program.started for when, _ in bursts]
        self.assertTrue(4.5 < times[0] < 6.0 + self.target.startup,
                        f"first send at {times[0]:.3f} s")
        # check3 is missing: its slot stays empty, the next file keeps its own slot.
        for index, slot in enumerate([1, 2, 4, 5, 6, 9]):
            self.assertAlmostEqual(times[index] - times[0], (slot - 1) * 5.0, delta=0.3,
                                   msg=f"send {index + 1} off its slot")

        failures = [(when - program.started, text) for when, text in program.stderr.timed()]
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
        program = self.start("--period", "300", "--pause", "700")
        bursts = arrivals.wait_for_bursts(8, timeout=8, gap=0.1)
        self.stop(program)
        self.assert_ends_cleanly(program)
        self.assertEqual([data for _, data in bursts[:8]], [sent[n] for n in (1, 2, 3, 4, 5, 6, 1, 2)])
        first = bursts[0][0]
        # Every 300 ms; from the sixth file back to the first, the period and the pause; then the
        # grid again.
        for (when, _), slot in zip(bursts, (0, 300, 600, 900, 1200, 1500, 2500, 2700)):
            self.assertAlmostEqual((when - first) * 1000, slot, delta=50)

    def test_a_paced_send_longer_than_the_period_keeps_its_gaps_and_stops_at_once(self):
        long = self.write_check(1, bytes(range(200)))
        short = self.write_check(2, b"two")
        arrivals = harness.Arrivals(self.pty, chunk=1)
        program = self.start("--period", "500", "--char-delay", "5")
        self.assertEqual(arrivals.wait_for_bytes(len(long) + len(short), timeout=5),
                         len(long) + len(short))
        # check2.txt comes once, right after check1.txt, not once for every tick it outlasted.
        self.assertEqual(arrivals.data(), long + short)
        times = [when for when, _ in arrivals.pieces]
        gaps = [(later - earlier) * 1000 for earlier, later in zip(times, times[1:])]
        # Stamped when the reader woke, so one late stamp shortens the next gap: the median gap,
        # and the whole file, are held to the delay.
        self.assertGreaterEqual(sorted(gaps)[len(gaps) // 2], 5.0, "gaps shorter than --char-delay")
        self.assertGreaterEqual(times[len(long) - 1] - times[0], 0.005 * (len(long) - 1) - 0.01)

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
