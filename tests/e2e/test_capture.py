"""What the device answers (--capture): kept whole and in order, each answer after the send it
answers, in every format, while the beat keeps its grid; a capture file rotated away is made
anew; and the service tells systemd how it is (NOTIFY_SOCKET)."""

import os
import re
import socket
import time

import harness

SENT = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d > (check\d\.txt), (\d+) bytes?$")
HEARD = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d < ?(.*)$")
ROW = re.compile(r"^([0-9a-f]{8})  ((?:[0-9a-f]{2} +)+) *\|")

BURST = bytes(range(256)) * 256  # 64 KiB, while check4.txt is still on its way


def answers(data):
    """What the device answers to each file; nothing to the rest of one that came in pieces."""
    if not data.startswith(b"check "):
        return []
    if data.startswith(b"check 1"):
        return [b"OK\r\n"]
    if data.startswith(b"check 2"):
        return [b"\x00\xff\x1b[0m\\ binary"]
    if data.startswith(b"check 3"):
        return [b"a reply split ", b"across two writes\r\n"]  # one burst: 20 ms apart
    if data.startswith(b"check 4"):
        return [BURST]
    return [b"ACK" + data[6:7] + b"\r\n"]


def unescape(text):
    return re.sub(rb"\\(x[0-9a-f]{2}|[rnt\\])",
                  lambda m: {b"r": b"\r", b"n": b"\n", b"t": b"\t", b"\\": b"\\"}.get(
                      m.group(1), bytes([int(m.group(1)[1:], 16)]) if m.group(1)[:1] == b"x"
                      else m.group(1)), text.encode("latin-1"))


def parse(capture, kind):
    """What a capture holds: [(file sent, the bytes that came after it)], and what came before."""
    if kind == "raw":
        return [(None, capture)]
    entries = [(None, b"")]
    for line in capture.decode("latin-1").split("\n"):
        if SENT.match(line):
            entries.append((SENT.match(line).group(1), b""))
        elif kind == "text" and HEARD.match(line):
            entries[-1] = (entries[-1][0], entries[-1][1] + unescape(HEARD.match(line).group(1)))
        elif kind == "hex" and ROW.match(line):
            row = bytes.fromhex(ROW.match(line).group(2))
            entries[-1] = (entries[-1][0], entries[-1][1] + row)
    return entries


class Capture(harness.Scene):
    def capture_path(self, name="capture.log"):
        return os.path.join(self.workdir, name)

    def test_every_answer_is_kept_in_order_after_the_send_it_answers_in_every_format(self):
        files = {n: self.write_check(n, f"check {n}\r\n".encode()
                                     + (bytes(range(256)) * 128 if n == 4 else b""))
                 for n in range(1, 7)}
        for kind in ("text", "hex", "raw"):
            with self.subTest(format=kind):
                self.pty = harness.Pty()
                self.addCleanup(self.pty.close)
                path = self.capture_path(f"capture.{kind}")
                # A slow reader: check4.txt takes a while, and the 64 KiB come while it does.
                device = harness.Device(self.pty, answers, chunk=512, pause=0.002,
                                        early=lambda data: data.startswith(b"check 4"))
                self.addCleanup(device.stop)
                program = self.start("--no-window", "--capture", path, "--capture-format", kind,
                                     "--period", "600", "--pause", "0", "--verbose")
                expected = b"".join(b"".join(answers(files[n])) for n in range(1, 7))
                self.assertTrue(harness.wait_until(lambda: len(device.sent) >= len(expected),
                                                   15 + self.target.startup))
                time.sleep(0.5)  # the last answer's silence
                self.stop(program)
                self.assert_ends_cleanly(program)
                device.stop()
                with open(path, "rb") as capture:
                    kept = parse(capture.read(), kind)
                self.assertEqual(bytes(device.sent), expected)
                self.assertEqual(b"".join(data for _, data in kept), expected)
                if kind != "raw":
                    # Each answer after its send, the burst during a send included.
                    said = [(file, data) for file, data in kept if file]
                    self.assertEqual([file for file, _ in said[:6]],
                                     [f"check{n}.txt" for n in range(1, 7)])
                    for n, (_, data) in enumerate(said[:6], start=1):
                        self.assertEqual(data, b"".join(answers(files[n])), f"check{n}.txt")
                if kind == "text":
                    lines = [text for _, text in harness.records(program.stdout.texts())]
                    self.assertTrue(any(re.fullmatch(r"check1\.txt sent: \d+ bytes; 4 bytes back "
                                                     r"within \d+ ms", line) for line in lines),
                                    lines)

    def test_the_beat_keeps_its_grid_while_the_device_never_stops_talking(self):
        self.linux_only("times to a tenth of a second; the Windows program's are the bench's")
        for n in range(1, 7):
            self.write_check(n, f"check {n}\r\n".encode())
        arrivals = harness.Arrivals(self.pty)
        program = self.start("--no-window", "--capture", self.capture_path(), "--capture-format",
                             "raw", "--period", "1000")
        # Once the first file has come the port is open: what the device says from then on is kept.
        self.assertEqual(arrivals.wait_for_bytes(1, timeout=3), 9)
        talker = harness.Talker(self.pty)
        bursts = arrivals.wait_for_bursts(6, timeout=10, gap=0.3)
        said = talker.stop()
        time.sleep(0.3)
        self.stop(program)
        self.assert_ends_cleanly(program)
        for index, (when, _) in enumerate(bursts[:6]):
            self.assertAlmostEqual(when - bursts[0][0], index * 1.0, delta=0.1)
        with open(self.capture_path(), "rb") as capture:
            self.assertEqual(capture.read(), said)

    def test_a_capture_rotated_away_is_made_anew_and_nothing_is_lost(self):
        for n in range(1, 7):
            self.write_check(n, f"check {n}\r\n".encode())
        device = harness.Device(self.pty, lambda data: [b"ACK" + data[6:7] + b"\r\n"])
        self.addCleanup(device.stop)
        path = self.capture_path()
        program = self.start("--no-window", "--capture", path, "--capture-format", "raw",
                             "--period", "500", "--pause", "0")
        self.assertTrue(harness.wait_until(lambda: len(device.sent) >= 12,
                                           8 + self.target.startup))
        os.rename(path, path + ".1")  # as logrotate does without copytruncate
        self.assertTrue(harness.wait_until(lambda: len(device.sent) >= 36, 8))
        time.sleep(0.4)
        self.stop(program)
        self.assert_ends_cleanly(program)
        device.stop()
        with open(path + ".1", "rb") as old, open(path, "rb") as new:
            before, after = old.read(), new.read()
        self.assertTrue(before and after, (before, after))
        self.assertEqual(before + after, bytes(device.sent))

    def test_a_service_tells_systemd_it_is_ready_how_it_is_and_that_it_lives(self):
        self.linux_only("systemd")
        self.write_check(1, b"one")
        address = os.path.join(self.workdir, "notify")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(listener.close)
        listener.bind(address)
        listener.settimeout(0.1)
        program = self.start("--no-window", "--period", "1000",
                             env=dict(os.environ, NOTIFY_SOCKET=address, WATCHDOG_USEC="1000000"))
        heard, started = [], time.monotonic()
        while time.monotonic() - started < 3.5:
            try:
                heard.append((time.monotonic(), listener.recv(4096).decode()))
            except socket.timeout:
                pass
        self.stop(program)
        self.assert_ends_cleanly(program)
        said = [text for _, text in heard]
        self.assertEqual(said[0], "READY=1", said)
        self.assertTrue(any(re.fullmatch(r"STATUS=check1\.txt sent \d\d:\d\d:\d\d; next check2\.txt",
                                         text) for text in said), said)
        # The beat, and the waits between: at least every half of the watchdog's second.
        beats = [when for when, text in heard if text == "WATCHDOG=1"]
        self.assertGreaterEqual(len(beats), 5, said)
        self.assertLess(max(b - a for a, b in zip(beats, beats[1:])), 0.75, said)


if __name__ == "__main__":
    harness.main()
