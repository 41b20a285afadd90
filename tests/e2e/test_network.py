"""Ports on the network: the program feeds a pty behind Debian's ser2net (RFC 2217 and raw TCP),
comes back when ser2net does, and holds its own against servers that misbehave."""

import os
import re
import shutil
import socket
import subprocess
import sys
import termios
import time

import harness
import network

NETWORK_PY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "network.py")


def vanish(pid, port, gone=True):
    """Makes the server on `port` vanish (every packet to and from it dropped, as when a device
    server loses power: no reset, no close), or come back, in the network namespace of process
    `pid`, which the test made. On loopback both ways pass the input hook; dropped there, the
    client's own TCP still sees its segments go out, and retransmits them, as on a wire."""
    nft = ["nsenter", f"--net=/proc/{pid}/ns/net", "nft"]
    if gone:
        rules = ("table inet vanish {\n"
                 f"  chain input {{ type filter hook input priority 0; tcp dport {port} drop; "
                 f"tcp sport {port} drop; }}\n"
                 "}\n")
        subprocess.run(nft + ["-f", "-"], input=rules.encode(), check=True, timeout=10)
    else:
        subprocess.run(nft + ["delete", "table", "inet", "vanish"], check=True, timeout=10)


def in_namespace(*commands):
    """Shell for the program's namespace setup: loopback up, then `commands`, each started in the
    background once the file it names exists (what network.py's servers make once they listen)."""
    script = "ip link set lo up && "
    for command, ready in commands:
        script += (f"{{ {sys.executable} {NETWORK_PY} {command} & }} && "
                   f"for i in $(seq 100); do [ -e {ready} ] && break; sleep 0.05; done && ")
    return script


def rotation():
    """Six check files that a telnet link could spoil: 0xFF (IAC), CR NUL and CR LF, every byte."""
    return {1: b"IAC \xff\xff and CR NUL \r\0 and CR LF \r\n",
            2: bytes(range(256)),
            3: b"\r\0\r\n\xff",
            4: bytes(range(255, -1, -1)) * 4,
            5: b"five\r\n",
            6: b"\xff" * 300}


class NetworkPort(harness.Scene):
    def serve(self, raw=False):
        server = network.Ser2net(self.pty.path, raw=raw)
        self.addCleanup(server.close)  # before the pty goes: added after it
        return server

    def test_through_ser2net_every_file_arrives_exact_on_the_beat_and_the_line_is_set(self):
        server = self.serve()
        sent = {n: self.write_check(n, data) for n, data in rotation().items()}
        arrivals = harness.Arrivals(self.pty)
        program = self.start("--no-window", "--port", server.url(), "--baud", "19200",
                             "--framing", "8N2", "--verbose")
        bursts = arrivals.wait_for_bursts(6, timeout=40 + self.target.startup)
        # The line RFC 2217 asked for, as ser2net gave it to the pty behind it.
        attributes = termios.tcgetattr(self.pty.master)
        self.stop(program)
        self.assert_ends_cleanly(program)
        self.assert_arrived(bursts, [sent[n] for n in range(1, 7)])
        for index, (when, _) in enumerate(bursts):
            self.assertAlmostEqual(when - bursts[0][0], index * 5.0, delta=0.3)
        self.assertEqual(attributes[4:6], [termios.B19200] * 2)
        self.assertEqual(attributes[2] & termios.CSTOPB, termios.CSTOPB)
        self.assertEqual(program.stderr.texts(), [])

    def test_a_raw_port_carries_the_bytes_as_they_are_and_no_line_options(self):
        server = self.serve(raw=True)
        sent = {n: self.write_check(n, rotation()[n]) for n in (1, 2)}
        arrivals = harness.Arrivals(self.pty)
        program = self.start("--no-window", "--port", server.url(), "--period", "1000")
        bursts = arrivals.wait_for_bursts(2, timeout=8 + self.target.startup, gap=0.5)
        self.stop(program)
        self.assert_ends_cleanly(program)
        self.assertEqual([data for _, data in bursts[:2]], [sent[1], sent[2]])
        refused = self.start("--port", server.url(), "--baud", "19200")
        self.assertEqual(refused.wait(timeout=10 + self.target.startup)[0], 2)
        self.assertIn("checkfeed: --baud needs rfc2217://; socket:// carries bytes only",
                      refused.stderr.texts())

    def test_with_reconnect_it_comes_back_when_ser2net_does(self):
        server = self.serve()
        sent = {n: self.write_check(n, f"check {n}\r\n".encode()) for n in range(1, 7)}
        arrivals = harness.Arrivals(self.pty)
        program = self.start("--no-window", "--port", server.url(), "--reconnect", "--period",
                             "1000")
        self.assertEqual([data for _, data in arrivals.wait_for_bursts(1, 5 + self.target.startup,
                                                                       gap=0.5)], [sent[1]])
        server.stop()
        lost = f'checkfeed: Port "{server.url()}" lost: the server closed the connection; ' \
               "reopening when it comes back"
        # Said at once, between two ticks: the program hears the connection end.
        self.assertTrue(program.stderr.wait_for(lambda line: line == lost, 3),
                        program.stderr.texts())
        time.sleep(1.5)  # ticks while it is away: quiet
        server.start()
        self.assertTrue(program.stderr.wait_for(
            lambda line: line == f'checkfeed: Port "{server.url()}" is back', 4),
            program.stderr.texts())
        later = arrivals.wait_for_bursts(2, timeout=4, gap=0.2)
        self.stop(program)
        self.assert_ends_cleanly(program)
        self.assertIn(later[-1][1], sent.values())
        self.assertEqual(len(program.stderr.texts()), 2, program.stderr.texts())

    def test_a_refused_connection_an_unknown_host_and_a_closed_one_are_said_at_once(self):
        port = network.free_port()
        # A server whose queue of connections is full: the next is never answered.
        full = socket.socket()
        self.addCleanup(full.close)
        full.bind(("127.0.0.1", 0))
        full.listen(0)
        waiting = socket.create_connection(full.getsockname())
        self.addCleanup(waiting.close)
        silent = full.getsockname()[1]
        for name, reason, within in (
                (f"rfc2217://127.0.0.1:{port}", "cannot connect to 127.0.0.1 port", 3),
                ("socket://checkfeed-no-such-host.invalid:4001",
                 "cannot connect to checkfeed-no-such-host.invalid port 4001: ", 3),
                (f"socket://127.0.0.1:{silent}",
                 f"cannot connect to 127.0.0.1 port {silent}: no answer within 3 s", 5)):
            with self.subTest(port=name):
                program = self.start("--no-window", "--port", name)
                said = program.stderr.wait_for(
                    lambda line, name=name, reason=reason: line.startswith(
                        f'checkfeed: Cannot open port "{name}": {reason}'),
                    within + self.target.startup)
                self.assertTrue(said, program.stderr.texts())
                self.stop(program)
                self.assertEqual(program.wait(timeout=10)[0], 0)
        # Closed by the server, without --reconnect: said once, and what --reconnect would do.
        server = self.serve()
        self.write_check(1, b"one")
        program = self.start("--no-window", "--port", server.url(), "--period", "1000", "-v")
        self.assertTrue(program.stdout.wait_for(lambda line: "check1.txt 3 bytes sent" in line,
                                                5 + self.target.startup))
        # ser2net serves one client: a second program is refused, in ser2net's words.
        second = self.start("--no-window", "--port", server.url())
        self.assertTrue(second.stderr.wait_for(
            lambda line: line == f'checkfeed: Cannot open port "{server.url()}": the server closed '
                                 'the connection: "Port already in use"', 3 + self.target.startup),
            second.stderr.texts())
        self.stop(second)
        self.assertEqual(second.wait(timeout=10)[0], 0)
        server.stop()  # between two ticks
        self.assertTrue(program.stderr.wait_for(
            lambda line: line == f'checkfeed: Port "{server.url()}" lost: the server closed the '
                                 "connection; --reconnect would reopen it when it comes back", 3),
            program.stderr.texts())
        self.stop(program)
        self.assertEqual(program.wait(timeout=10)[0], 0)


class MisbehavingServer(harness.Scene):
    def serve(self, behaviour, garbage=b"", talk=b""):
        server = network.Rfc2217Server(behaviour, garbage, talk)
        self.addCleanup(server.close)
        return server

    def test_a_server_that_never_acknowledges_or_refuses_is_a_clear_error(self):
        for behaviour, reason in (
                ("silent", "the server did not acknowledge the line settings within 3 s (speed, "
                           "data size, parity, stop size and flow control)"),
                ("refuse", "the server refused: it does not take RFC 2217 (COM-PORT-OPTION "
                           "refused)")):
            with self.subTest(behaviour=behaviour):
                server = self.serve(behaviour)
                program = self.start("--no-window", "--port", server.url())
                said = program.stderr.wait_for(lambda line, url=server.url(), reason=reason:
                                               line.startswith(f'checkfeed: Cannot open port '
                                                               f'"{url}": {reason}'),
                                               4 + self.target.startup)
                self.assertTrue(said, program.stderr.texts())
                self.stop(program)
                self.assertEqual(program.wait(timeout=10)[0], 0)

    def test_a_changed_setting_is_named_and_a_server_that_stops_reading_holds_the_line(self):
        server = self.serve("change")
        program = self.start("--no-window", "--port", server.url())
        self.assertTrue(program.stderr.wait_for(
            lambda line: line == f'checkfeed: Port "{server.url()}" did not take every setting: '
                                 "speed 115200 (wanted 9600)", 4 + self.target.startup),
            program.stderr.texts())
        self.stop(program)
        self.assertEqual(program.wait(timeout=10)[0], 0)

        stalled = self.serve("stall")
        self.write_check(1, bytes(range(256)) * 1024)
        program = self.start("--no-window", "--port", stalled.url())
        held = re.compile(rf'checkfeed: Port "{re.escape(stalled.url())}" has taken no bytes for '
                          r"2 s: check1\.txt, \d+ of 262144 bytes sent\. Check the device and its "
                          r"cable\.$")
        self.assertTrue(program.stderr.wait_for(held.match, 10 + self.target.startup),
                        program.stderr.texts())
        self.stop(program)
        self.assert_ends_cleanly(program, within=1.0)

        # The same with a capture, and the device says something right after the opening: at 300
        # baud its burst is over 667 ms later, so the capture's quiet time, asked for before the
        # first send, comes during the held send. The wait goes on without a core; a stop ends it
        # at once.
        talking = self.serve("stall", talk=b"hello")
        program = self.start("--no-window", "--port", talking.url(), "--capture",
                             os.path.join(self.workdir, "capture.log"), "--baud", "300",
                             "--period", "500")
        held = re.compile(rf'checkfeed: Port "{re.escape(talking.url())}" has taken no bytes for '
                          r"2 s: check1\.txt, \d+ of 262144 bytes sent\. Check the device and its "
                          r"cable\.$")
        self.assertTrue(program.stderr.wait_for(held.match, 10 + self.target.startup),
                        program.stderr.texts())
        pid = program.pid
        before, began = harness.cpu_seconds(pid), time.monotonic()
        time.sleep(2)
        used = (harness.cpu_seconds(pid) - before) / (time.monotonic() - began)
        self.assertLess(used, 0.05, "a core kept busy by the held send")
        self.stop(program)
        self.assert_ends_cleanly(program, within=1.0)

    def test_a_server_that_resets_mid_send_leaves_it_idle_and_its_loss_said_once(self):
        server = network.RawServer(reset_after=50_000)
        self.addCleanup(server.close)
        self.write_check(1, bytes(range(256)) * 1600)  # 400 KB, which the server never takes
        for n in range(2, 7):
            self.write_check(n, b"small")
        program = self.start("--no-window", "--port", server.url(), "--period", "1000")
        self.assertTrue(program.stderr.wait_for(lambda line: "check1.txt" in line,
                                                10 + self.target.startup), program.stderr.texts())
        time.sleep(1.5)  # the ticks that follow fail too
        pid = program.pid
        before, began = harness.cpu_seconds(pid), time.monotonic()
        time.sleep(3)
        used = (harness.cpu_seconds(pid) - before) / (time.monotonic() - began)
        self.assertLess(used, 0.05, "a core kept busy after the connection ended")
        self.assertIsNone(program.process.poll())
        said = [line for line in program.stderr.texts() if server.url() in line]
        self.assertEqual(len(said), 1, program.stderr.texts())
        self.assertIn("(", said[0])  # how much of check1.txt went
        self.stop(program)
        self.assertEqual(program.wait(timeout=10)[0], 0)

    def test_what_is_not_telnet_leaves_it_running_said_once_in_bounded_memory(self):
        self.linux_only("the program's memory, read from /proc")
        for name, garbage in (("a subnegotiation without its end",
                               bytes([255, 250, 44, 107]) + b"x" * (1 << 20)),
                              ("1 MiB of IAC IAC", bytes([255]) * (1 << 20)),
                              ("a request cut off", bytes([255, 251]))):
            with self.subTest(garbage=name):
                server = self.serve("garbage", garbage)
                self.write_check(1, b"one")
                program = self.start("--no-window", "--port", server.url(), "--period", "1000")
                self.assertTrue(harness.wait_until(lambda: b"one" in server.received, 6),
                                program.stderr.texts())
                time.sleep(0.5)
                self.assertIsNone(program.process.poll())
                with open(f"/proc/{program.pid}/status") as status:
                    peak = int(re.search(r"VmHWM:\s+(\d+) kB", status.read()).group(1))
                self.assertLess(peak, 8 * 1024, "memory grew with what the server sent")
                notices = [line for line in program.stderr.texts() if "not telnet" in line]
                self.assertLessEqual(len(notices), 1, program.stderr.texts())
                self.stop(program)
                self.assertEqual(program.wait(timeout=10)[0], 0)


class FailingNetwork(harness.Scene):
    """What the network does wrong, made on this machine only: a server that vanishes, a name whose
    first address never answers, DNS that never answers; in namespaces of the test's own."""

    def setUp(self):
        super().setUp()
        self.linux_only("namespaces of the test's own")
        for tool in ("nsenter", "nft", "ip"):
            if shutil.which(tool) is None:
                self.skipTest(f"{tool} is not installed (scripts/deps.sh linux)")

    def test_a_server_that_vanishes_is_lost_within_30_s_busy_or_idle_and_comes_back(self):
        port = 4001  # the namespace's own
        url = f"socket://127.0.0.1:{port}"
        sink = os.path.join(self.workdir, "sink")
        for n in range(1, 7):
            self.write_check(n, f"check {n}\r\n".encode())
        lost = re.compile(rf'checkfeed: Port "{re.escape(url)}" lost: (.+); reopening when it '
                          r"comes back$")
        # Busy: a file a second, each waiting for the server's acknowledgement. Idle: connected,
        # and the first tick 25 s away.
        for period, reason in (("1000", "the server has acknowledged nothing for 20 s"),
                               ("25000", "Connection timed out")):
            with self.subTest(period=period):
                if os.path.exists(sink):
                    os.unlink(sink)
                program = self.start("--no-window", "--port", url, "--reconnect", "--period",
                                     period, setup=in_namespace((f"sink {port} {sink}", sink)),
                                     network=True)
                if period == "1000":
                    self.assertTrue(harness.wait_until(
                        lambda: os.path.exists(sink) and os.path.getsize(sink) > 0, 5))
                else:
                    time.sleep(1)  # connected, and nothing sent
                vanish(program.pid, port)
                dropped = time.monotonic()
                said = harness.wait_until(lambda: [(when, line) for when, line in
                                                   program.stderr.timed() if lost.match(line)], 32)
                self.assertTrue(said, program.stderr.texts())
                when, line = said[0]
                self.assertLess(when - dropped, 30)
                self.assertEqual(lost.match(line).group(1), reason)
                size = os.path.getsize(sink)
                vanish(program.pid, port, gone=False)
                self.assertTrue(program.stderr.wait_for(
                    lambda text: text == f'checkfeed: Port "{url}" is back', 30),
                    program.stderr.texts())
                self.assertTrue(harness.wait_until(lambda: os.path.getsize(sink) > size, 3))
                self.stop(program)
                self.assertEqual(program.wait(timeout=10)[0], 0)

    def test_a_name_whose_first_address_never_answers_is_reached_through_the_next(self):
        hosts = os.path.join(self.workdir, "hosts")
        with open(hosts, "w") as out:
            out.write("127.0.0.3 checkfeed-two.test\n127.0.0.2 checkfeed-two.test\n")
        order = subprocess.run(["unshare", "-m", "sh", "-c",
                                f"mount --bind {hosts} /etc/hosts && getent ahostsv4 "
                                "checkfeed-two.test"], capture_output=True, text=True, timeout=10)
        self.assertTrue(order.stdout.startswith("127.0.0.3"), order.stdout)
        # 127.0.0.3 never answers (its queue of connections is full), 127.0.0.2 serves.
        full = socket.socket()
        self.addCleanup(full.close)
        full.bind(("127.0.0.3", 0))
        full.listen(0)
        waiting = socket.create_connection(full.getsockname())
        self.addCleanup(waiting.close)
        server = network.RawServer(host="127.0.0.2", port=full.getsockname()[1])
        self.addCleanup(server.close)
        self.write_check(1, b"one")
        program = self.start("--no-window", "--port",
                             f"socket://checkfeed-two.test:{server.port}", "--period", "1000",
                             setup=f"mount --bind {hosts} /etc/hosts && ")
        self.assertTrue(harness.wait_until(lambda: b"one" in server.received, 6),
                        program.stderr.texts())
        self.assertEqual(program.stderr.texts(), [])
        self.stop(program)
        self.assertEqual(program.wait(timeout=10)[0], 0)

    def test_dns_that_never_answers_is_said_within_6_s_and_never_holds_a_stop(self):
        resolv = os.path.join(self.workdir, "resolv.conf")
        with open(resolv, "w") as out:
            out.write("nameserver 127.0.0.1\n")
        listening = os.path.join(self.workdir, "dns")
        setup = (f"mount --bind {resolv} /etc/resolv.conf && "
                 + in_namespace((f"silent-dns {listening}", listening)))
        url = "socket://checkfeed-no-answer.test:4001"
        program = self.start("--no-window", "--port", url, setup=setup, network=True)
        said = harness.wait_until(lambda: [when for when, line in program.stderr.timed()
                                           if line == f'checkfeed: Cannot open port "{url}": cannot '
                                           "connect to checkfeed-no-answer.test port 4001: the "
                                           "name was not resolved within 5 s"], 8)
        self.assertTrue(said, program.stderr.texts())
        self.assertLess(said[0] - program.started, 6.0)
        self.stop(program)
        self.assertEqual(program.wait(timeout=10)[0], 0)
        # A stop while the name is being looked up ends the program at once.
        program = self.start("--no-window", "--port", url, "--reconnect", setup=setup,
                             network=True)
        time.sleep(1.5)
        self.stop(program)
        code, took = program.wait(timeout=10)
        self.assertEqual(code, 0, program.stderr.texts())
        self.assertLess(took, 1.0)


if __name__ == "__main__":
    harness.main()
