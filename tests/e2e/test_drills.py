"""Fault drills on the real binary: signal storms, hang-ups, stopping mid-write and mid-pause,
and contention for the port. (Files that change between ticks: CheckCycleTest.)"""

import fcntl
import os
import signal
import struct
import subprocess
import termios
import time

import harness

MIB = 1 << 20


def pattern(size):
    return bytes((i * 2654435761 >> 13) & 0xFF for i in range(size))


def cannot_send(number, reason):
    return f'checkfeed: Cannot send file "check{number}.txt" to port "/dev/ttyS0": {reason} ('


class Faults(harness.Scene):
    def test_every_byte_arrives_once_and_in_order_through_a_signal_storm(self):
        big = self.write_check(1, pattern(MIB))
        arrivals = harness.Arrivals(self.pty, chunk=1024, pause=0.001)  # about 1 MB/s
        program = self.start()
        arrivals.wait_for_bytes(1, timeout=8)
        sent = 0
        while arrivals.total < len(big) and program.process.poll() is None and sent < 200000:
            program.signal(signal.SIGWINCH if sent % 2 else signal.SIGUSR1)
            sent += 1
        arrivals.wait_for_bytes(len(big), timeout=10)
        self.assertGreater(sent, 2000, "the storm was too short to mean anything")
        self.assertIsNone(program.process.poll(), "the program died in the storm")
        self.assertEqual(arrivals.data(), big)
        self.assertEqual(program.stderr.texts(), [])
        program.signal(signal.SIGTERM)
        self.assert_ends_cleanly(program)

    def test_a_hang_up_mid_write_is_reported_and_the_ticks_go_on(self):
        self.write_check(1, pattern(MIB))
        self.write_check(2, b"two\r\n")
        harness.Arrivals(self.pty, chunk=4096, stop_after=100000)  # then closes the master
        program = self.start("--verbose")
        self.assertTrue(program.stderr.wait_for(
            lambda line: line.startswith(cannot_send(1, "Input/output error")), timeout=10),
            program.stderr.texts())
        # The next tick runs on time and meets the same dead line: counted, not repeated.
        self.assertTrue(program.stdout.wait_for(
            lambda line: line.endswith("check2.txt not sent: failed"), timeout=7),
            program.stdout.texts())
        self.assertEqual(len(program.stderr.texts()), 1, program.stderr.texts())
        self.assertIsNone(program.process.poll())
        program.signal(signal.SIGTERM)
        code, took = program.wait(timeout=10)
        self.assertEqual(code, 0)
        self.assertLess(took, 2.0)
        self.assertFalse(os.path.exists(self.lock_file()))


class Stopping(harness.Scene):
    def test_a_held_send_is_said_and_every_stop_ends_it_at_once(self):
        for how in self.stops():
            with self.subTest(stop=str(how)):
                if how == "taskkill":  # the console program, on a desktop, without its window
                    program = self.start_held_send("--no-window", env=self.desktop(bare=True).env)
                else:
                    program = self.start_held_send()
                self.stop(program, how)
                self.assert_ends_cleanly(program, within=1.0)
                # What the driver still held was thrown away, not sent after the stop: what waits
                # is what the far end's own buffer had taken (4 KiB), not the line's 12 KiB more.
                self.assertLess(len(self.pty.read_all()), 8192, "the driver's bytes went out")
                program.close()
                self.pty = harness.Pty()  # a fresh, empty line for the next stop
                self.addCleanup(self.pty.close)

    def test_sigint_during_the_pause_ends_the_program_at_once(self):
        for number in range(1, 7):
            self.write_check(number, f"{number}".encode())
        arrivals = harness.Arrivals(self.pty)
        program = self.start()
        bursts = arrivals.wait_for_bursts(6, timeout=40)
        self.assertEqual(len(bursts), 6)
        # check6.txt went at 30 s; the pause runs from 35 s to 45 s.
        time.sleep(bursts[5][0] + 7.0 - time.monotonic())
        program.signal(signal.SIGINT)
        self.assert_ends_cleanly(program, within=1.5)

    def test_closing_the_window_during_the_pause_is_handled_after_it(self):
        display = harness.Xvfb(window_manager=False)
        self.addCleanup(display.close)
        for number in range(1, 7):
            self.write_check(number, f"{number}".encode())
        opens = self.watch_opens()
        program = self.start(env=display.env)
        form = display.wait_for("Form1", timeout=5)
        self.assertEqual(len(form), 1)
        # The ticks count from the show, when the port was opened: the pause runs from 35 s to
        # 45 s after it.
        shown = opens.first(timeout=5)
        time.sleep(shown + 37.0 - time.monotonic())
        display.close_window(form[0])
        code, _ = program.wait(timeout=15)
        ended = time.monotonic() - shown
        self.assertEqual(code, 0)
        self.assertGreater(ended, 44.5, "closed before the pause was over")
        self.assertLess(ended, 47.0)
        self.assertFalse(os.path.exists(self.lock_file()))
        self.assertTrue(harness.port_is_free(self.pty.path))


class Contention(harness.Scene):
    def test_a_second_checkfeed_gets_no_port_and_never_sends(self):
        if self.target.windows:
            self.skipTest("Wine does not enforce share mode 0: a second opener of a COM port is "
                          "not refused there, as Windows refuses it (ERROR_ACCESS_DENIED)")
        self.write_check(1, b"one")
        arrivals = harness.Arrivals(self.pty)
        first = self.start()
        self.assertTrue(self.wait_for_lock_file())
        second = self.start()
        self.assertTrue(second.stderr.wait_for(
            lambda line: line == 'checkfeed: Cannot open port "/dev/ttyS0": in use by process '
                                 f'{first.pid} (lock file /var/lock/LCK..ttyS0)', timeout=3),
            second.stderr.texts())
        arrivals.wait_for_bursts(1, timeout=8)
        time.sleep(1.0)  # both have ticked: only one may have sent
        self.assertEqual(arrivals.data(), b"one")
        second.signal(signal.SIGTERM)
        self.assertEqual(second.wait(timeout=5)[0], 0)
        with open(self.lock_file()) as lock:
            self.assertEqual(lock.read(), f"{first.pid:10d}\n", "the second took the first's lock")
        first.signal(signal.SIGTERM)
        self.assert_ends_cleanly(first)

    def test_dtr_and_rts_stay_off_while_the_port_is_open(self):
        self.write_check(1, b"one")
        arrivals = harness.Arrivals(self.pty)
        program = self.start("--no-window")
        self.assertEqual(len(arrivals.wait_for_bursts(1, timeout=8 + self.target.startup)), 1)
        line = os.open(self.pty.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            status = struct.unpack("i", fcntl.ioctl(line, termios.TIOCMGET, b"\0" * 4))[0]
        except OSError as error:
            wine = "; under Wine DTR and RTS are refused with error 50, ERROR_NOT_SUPPORTED"
            self.skipTest(f"a pseudo-terminal has no modem lines ({error.strerror}"
                          f"{wine if self.target.windows else ''})")
        finally:
            os.close(line)
        self.assertEqual(status & (termios.TIOCM_DTR | termios.TIOCM_RTS), 0)
        self.stop(program)
        self.assert_ends_cleanly(program)

    def test_a_flock_or_a_live_lock_file_keeps_the_port_from_checkfeed(self):
        self.linux_only("lock files and flock: Windows keeps a port to one opener itself")
        self.write_check(1, b"one")
        holder = os.open(self.pty.path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, holder)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        self.assert_refused('checkfeed: Cannot open port "/dev/ttyS0": in use by another program')
        fcntl.flock(holder, fcntl.LOCK_UN)

        with open(self.lock_file(), "w") as lock:
            lock.write(f"{os.getpid():10d}\n")
        self.assert_refused('checkfeed: Cannot open port "/dev/ttyS0": in use by process '
                            f'{os.getpid()} (lock file /var/lock/LCK..ttyS0)')
        with open(self.lock_file()) as lock:
            self.assertEqual(lock.read(), f"{os.getpid():10d}\n")

    def test_a_stale_lock_file_is_taken_over(self):
        self.linux_only("lock files")
        dead = subprocess.Popen(["true"])
        dead.wait()
        with open(self.lock_file(), "w") as lock:
            lock.write(f"{dead.pid:10d}\n")
        self.write_check(1, b"one")
        arrivals = harness.Arrivals(self.pty)
        program = self.start()
        self.assertEqual([data for _, data in arrivals.wait_for_bursts(1, timeout=8)], [b"one"])
        with open(self.lock_file()) as lock:
            self.assertEqual(lock.read(), f"{program.pid:10d}\n")
        program.signal(signal.SIGTERM)
        self.assert_ends_cleanly(program)

    def assert_refused(self, message):
        arrivals = harness.Arrivals(self.pty)
        program = self.start()
        self.assertTrue(program.stderr.wait_for(lambda line: line == message, timeout=3),
                        program.stderr.texts())
        time.sleep(program.started + 6.0 - time.monotonic())  # past the first tick
        self.assertEqual(arrivals.data(), b"")
        arrivals.stop()
        program.signal(signal.SIGTERM)
        self.assertEqual(program.wait(timeout=5)[0], 0)


if __name__ == "__main__":
    harness.main()
