"""Unattended runs: a USB adapter unplugged and plugged in again, a port busy at start, output
whose reader goes away, and the service unit run as systemd would run it."""

import fcntl
import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
import termios
import time

import harness

def lock_name(pty):
    return "LCK.." + pty.path[len("/dev/"):].replace("/", "_")


class Unplug(harness.Scene):
    """check1.txt goes out at 5 s; the adapter is unplugged at 6 s, so the tick at 10 s meets a
    dead line; it is plugged in again at 11 s, as another device, with other settings. Under
    Wine the adapter is COM12: from COM10 on a port opens only by its \\.\ name."""

    def locks(self, *ptys):
        return [] if self.target.windows else [lock_name(pty) for pty in ptys]

    def unplug_and_replug(self, *args):
        sent = {n: self.write_check(n, f"check {n}\r\n".encode() + bytes(range(40 * n)))
                for n in range(1, 7)}
        port, self.port_name, link = self.target.port(self.workdir, self.pty, 12)
        self.addCleanup(lambda: os.path.lexists(link.path) and os.unlink(link.path))
        arrivals = harness.Arrivals(self.pty)
        program = self.start("--no-window", "--port", port, *args)
        first = arrivals.wait_for_bursts(1, timeout=8 + self.target.startup)
        self.assertEqual([data for _, data in first], [sent[1]])
        self.first_send = first[0][0]
        self.assertEqual(os.listdir(self.lock_dir), self.locks(self.pty))
        arrivals.stop()
        link.unplug(self.pty)
        self.assertTrue(program.stderr.wait_for(lambda line: "check2.txt" in line or "lost" in line,
                                                timeout=6), program.stderr.texts())

        replugged = harness.Pty()
        self.addCleanup(replugged.close)
        attributes = termios.tcgetattr(replugged.master)
        attributes[1] |= termios.OPOST | termios.ONLCR
        attributes[2] |= termios.CRTSCTS
        attributes[4] = attributes[5] = termios.B115200
        termios.tcsetattr(replugged.master, termios.TCSANOW, attributes)
        opens = harness.OpenCounter(replugged.path)
        self.addCleanup(opens.close)
        link.plug(replugged)
        back = harness.Arrivals(replugged)
        return program, link, replugged, back, opens, sent

    def test_with_reconnect_an_unplugged_adapter_is_let_go_and_taken_back(self):
        # A line of its own, which the replugged adapter must get again, and a gap after each
        # line feed.
        program, link, replugged, back, _, sent = self.unplug_and_replug(
            "--reconnect", "--verbose", "--baud", "19200", "--framing", "8N2", "--line-delay", "30")
        # Let go at once, every lock with it.
        self.assertEqual(os.listdir(self.lock_dir), [])
        bursts = back.wait_for_bursts(2, timeout=12)
        self.assertEqual([data for _, data in bursts], [sent[3], sent[4]])
        self.assertAlmostEqual(bursts[0][0] - self.first_send, 10.0, delta=0.5,
                               msg="not the first tick after the return")
        # check3.txt holds two line feeds: its send lasted their two gaps, as the program timed it.
        self.assertGreaterEqual(harness.send_took(program.stdout, "check3.txt", timeout=2), 2 * 30.0,
                                "no gaps after the replug")

        attributes = termios.tcgetattr(replugged.master)
        self.assertEqual(attributes[4:6], [termios.B19200, termios.B19200])
        self.assertEqual(attributes[2] & termios.CSTOPB, termios.CSTOPB)
        self.assertEqual(attributes[1] & termios.OPOST, 0)
        self.assertEqual(attributes[2] & termios.CRTSCTS, 0)
        self.assertEqual(os.listdir(self.lock_dir), self.locks(replugged))

        port = f'checkfeed: Port "{self.port_name}"'
        self.assertEqual(program.stderr.texts(),
                         [f"{port} lost: {self.target.gone}; reopening when it comes back",
                          f"{port} is back"])
        records = harness.records(program.stdout.texts())
        self.assertEqual(len(records), len(program.stdout.texts()), program.stdout.texts())
        said = [re.sub(r"in [0-9.]+ ms", "in T ms", text) for _, text in records]
        self.assertEqual(said, [f"check1.txt {len(sent[1])} bytes sent in T ms",
                                "check2.txt not sent: failed",
                                f'Port "{self.port_name}" is back',
                                f"check3.txt {len(sent[3])} bytes sent in T ms",
                                f"check4.txt {len(sent[4])} bytes sent in T ms"])
        self.stop(program)
        self.assertEqual(program.wait(timeout=5)[0], 0)
        self.assertEqual(os.listdir(self.lock_dir), [])
        self.assertTrue(harness.port_is_free(replugged.path))

    def test_without_reconnect_the_port_is_never_reopened(self):
        program, link, _, back, opens, sent = self.unplug_and_replug()
        time.sleep(self.first_send + 11.5 - time.monotonic())  # past the tick at 15 s
        self.assertEqual(back.data(), b"")
        self.assertEqual(opens.count(), 0)
        # The dead port is reported once, with what --reconnect would do; its repeats are counted.
        self.assertEqual(program.stderr.texts(), [
            f'checkfeed: Cannot send file "check2.txt" to port "{self.port_name}": '
            f"{self.target.gone} (0 of {len(sent[2])} bytes sent); the device went away: "
            "--reconnect would reopen it when it comes back"])
        self.stop(program)
        self.assertEqual(program.wait(timeout=5)[0], 0)
        self.assertEqual(len(program.stderr.texts()), 2)
        self.assertTrue(program.stderr.texts()[1].startswith(
            f'checkfeed: Cannot send to port "{self.port_name}": {self.target.gone} '
            "(again 1 time in the last "), program.stderr.texts())


class BusyAtStart(harness.Scene):
    def test_a_port_freed_after_start_is_taken_only_with_reconnect(self):
        self.write_check(1, b"one")
        self.write_check(2, b"two")
        other = harness.Pty()
        self.addCleanup(other.close)
        held = []
        for pty in (self.pty, other):
            holder = os.open(pty.path, os.O_RDWR | os.O_NOCTTY)
            self.addCleanup(os.close, holder)
            fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
            held.append(holder)
        arrivals = [harness.Arrivals(self.pty), harness.Arrivals(other)]
        with_it = self.start("--no-window", "--reconnect", "--port", self.pty.path)
        without = self.start("--no-window", "--port", other.path)
        busy = 'checkfeed: Cannot open port "{}": in use by another program'
        self.assertTrue(with_it.stderr.wait_for(
            lambda line: line == busy.format(self.pty.path) + "; trying again at each tick", 3))
        self.assertTrue(without.stderr.wait_for(lambda line: line == busy.format(other.path), 3))
        for holder in held:
            fcntl.flock(holder, fcntl.LOCK_UN)

        self.assertEqual([data for _, data in arrivals[0].wait_for_bursts(2, timeout=12)],
                         [b"one", b"two"])
        self.assertEqual(with_it.stderr.texts()[1:], [f'checkfeed: Port "{self.pty.path}" is open'])
        self.assertEqual(arrivals[1].data(), b"")
        for program in (with_it, without):
            program.signal(signal.SIGTERM)
            self.assertEqual(program.wait(timeout=5)[0], 0)
        self.assertEqual(os.listdir(self.lock_dir), [])


class Output(harness.Scene):
    def test_a_reader_that_goes_away_does_not_end_the_feed(self):
        # As with "checkfeed --verbose | head -1", or a journal that restarts: the record (stdout)
        # and the failure (stderr) both meet a pipe with no reader.
        one = self.write_check(1, b"one")
        three = self.write_check(3, b"three")
        arrivals = harness.Arrivals(self.pty)
        program = self.start("--verbose", output="gone")
        self.assertEqual([data for _, data in arrivals.wait_for_bursts(2, timeout=18)],
                         [one, three])
        self.assertIsNone(program.process.poll(), "the program ended")
        program.signal(signal.SIGTERM)
        self.assert_ends_cleanly(program)


class Log(harness.Scene):
    def test_the_log_gets_the_record_and_every_failure_as_they_happen(self):
        # As Task Scheduler runs it: no console to see, a log to read later or to follow.
        one = self.write_check(1, b"one")
        log = os.path.join(self.workdir, "run.log")
        with open(log, "w") as earlier:
            earlier.write("an earlier run\n")
        program = self.start("--no-window", "--log", log)
        # Read while the program holds it open, as tail -f or Get-Content -Wait would.
        read = lambda: open(log, encoding="utf-8").read().splitlines()
        self.assertTrue(harness.wait_until(lambda: len(read()) >= 4, 12 + self.target.startup),
                        read())
        lines = read()
        self.assertEqual(lines[0], "an earlier run")
        said = [text for _, text in harness.records(lines[1:4])]
        self.assertEqual(len(said), 3, lines)
        self.assertTrue(harness.SENT.match(said[0]) and said[0].startswith(f"check1.txt {len(one)}"),
                        said)
        self.assertEqual(said[1:], [
            f'checkfeed: Cannot open file "check2.txt": {self.target.missing}',
            "check2.txt not sent: failed"])
        # Nothing on stdout without --verbose; stderr as ever.
        self.assertEqual(program.stdout.texts(), [])
        self.assertEqual(program.stderr.texts(),
                         [f'checkfeed: Cannot open file "check2.txt": {self.target.missing}'])
        self.stop(program)
        self.assert_ends_cleanly(program)


class Service(harness.Scene):
    """The installed unit, checked by systemd's own tool, and its ExecStart run as systemd would
    run it for checkfeed@ttyS0: from /, with the files in /var/lib/checkfeed/ttyS0."""

    def test_the_unit_verifies_and_its_command_feeds_the_port(self):
        build = os.environ.get("CHECKFEED_BUILD_DIR")
        if not build or shutil.which("systemd-analyze") is None:
            self.skipTest("needs the build directory and systemd-analyze")
        prefix = tempfile.mkdtemp(prefix="checkfeed-install-")
        self.addCleanup(shutil.rmtree, prefix, True)
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                       capture_output=True, timeout=60)
        units = os.path.join(prefix, "lib", "systemd", "system")
        verify = subprocess.run(
            ["systemd-analyze", "verify", os.path.join(units, "checkfeed@ttyS0.service")],
            env=dict(os.environ, MANPATH=os.path.join(prefix, "share", "man")),
            capture_output=True, text=True, timeout=60)
        self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, ""))

        with open(os.path.join(units, "checkfeed@.service")) as unit:
            exec_start = next(line for line in unit.read().splitlines()
                              if line.startswith("ExecStart="))
        command = shlex.split(exec_start[len("ExecStart="):].replace("%I", "ttyS0")
                              .replace("%i", "ttyS0"))
        self.assertEqual(command[0], os.path.join(prefix, "bin", "checkfeed"))
        sent = self.write_check(1, b"from the service\r\n")
        arrivals = harness.Arrivals(self.pty)
        state = ('mount -t tmpfs tmpfs /var/lib && mkdir -p /var/lib/checkfeed/ttyS0 && '
                 f'mount --bind {shlex.quote(self.files)} /var/lib/checkfeed/ttyS0 && ')
        program = harness.Checkfeed(command[0], "/", self.pty, self.lock_dir, command[1:],
                                    setup=state)
        self.addCleanup(program.close)
        self.assertEqual([data for _, data in arrivals.wait_for_bursts(1, timeout=8)], [sent])
        self.assertTrue(program.stdout.wait_for(
            lambda line: line.endswith(f"check1.txt {len(sent)} bytes sent in " + line.split()[-2]
                                       + " ms"), timeout=2), program.stdout.texts())
        program.signal(signal.SIGTERM)
        self.assert_ends_cleanly(program)


if __name__ == "__main__":
    harness.main()
