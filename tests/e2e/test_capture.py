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

    def test_what_the_device_says_during_the_pause_is_stamped_as_it_comes(self):
        for n in range(1, 7):
            self.write_check(n, f"check {n}\r\n".encode())
        # check6.txt is answered in fifteen pieces, a fifth of a second apart, through the pause.
        pieces = [f"p{i:02d}".encode() for i in range(15)]
        device = harness.Device(self.pty, lambda data: pieces if data.startswith(b"check 6") else [],
                                spacing=0.2)
        self.addCleanup(device.stop)
        path = self.capture_path()
        program = self.start("--no-window", "--capture", path, "--period", "300", "--pause",
                             "4000")
        self.assertTrue(harness.wait_until(lambda: len(device.sent) == 45,
                                           10 + self.target.startup))
        time.sleep(0.3)
        self.stop(program)
        self.assert_ends_cleanly(program)
        device.stop()
        with open(path, encoding="latin-1") as capture:
            lines = capture.read().splitlines()
        after = lines[[i for i, line in enumerate(lines) if "> check6.txt" in line][0] + 1:]
        stamps = [harness.records([line])[0][0] for line in after if HEARD.match(line)]
        self.assertEqual(b"".join(unescape(HEARD.match(line).group(1)) for line in after
                                  if HEARD.match(line)), b"".join(pieces))
        # Each piece on its own, stamped as it came: the stamps span the three seconds.
        self.assertGreaterEqual(len(stamps), 10, after)
        self.assertGreater(stamps[-1] - stamps[0], 2.0, after)

    def test_a_full_disk_loses_whole_entries_says_so_and_marks_the_gap_once_there_is_room(self):
        self.linux_only("a small disk in a mount namespace of the test's own")
        for n in range(1, 7):
            self.write_check(n, f"check {n}\r\n".encode())
        # Each file answered with a kilobyte; the capture's disk has 24 KiB free.
        device = harness.Device(self.pty, lambda data: [bytes(range(32, 127)) * 11])
        self.addCleanup(device.stop)
        disk = os.path.join(self.workdir, "disk")
        os.mkdir(disk)
        path = os.path.join(disk, "capture.log")
        log = self.capture_path("run.log")
        program = self.start("--no-window", "--capture", path, "--log", log, "--period", "200",
                             "--pause", "0",
                             setup=f"mount -t tmpfs -o size=64k checkfeed {disk} && "
                                   f"head -c 40960 /dev/zero > {disk}/filler && ")
        full = f'checkfeed: Cannot write to the capture "{path}": No space left on device; what ' \
               "the device sends is lost until it can be written again"
        self.assertTrue(program.stderr.wait_for(lambda line: line == full, 15),
                        program.stderr.texts())
        time.sleep(1)  # the feed goes on, and what comes meanwhile is lost
        sent = len(device.received)
        # The program's small disk is seen through its own root: entering its mount namespace
        # would also leave a chroot the tests may run in.
        inside = f"/proc/{program.pid}/root"
        os.remove(f"{inside}{disk}/filler")
        back = re.compile(rf'checkfeed: The capture "{re.escape(path)}" is written again: '
                          r"(\d+) bytes the device sent were lost, marked in it$")
        self.assertTrue(program.stderr.wait_for(back.match, 5), program.stderr.texts())
        self.assertTrue(harness.wait_until(lambda: len(device.received) > sent, 2))  # it went on
        with open(f"{inside}{path}", encoding="latin-1", newline="") as capture:
            kept = capture.read()
        self.stop(program)
        self.assert_ends_cleanly(program)
        with open(log, encoding="utf-8") as record:
            logged = record.read()
        self.assertIn(full[len("checkfeed: "):], logged)
        lost = int([back.match(line) for line in program.stderr.texts() if back.match(line)][0]
                   .group(1))
        self.assertGreater(lost, 0)
        # Every line whole; the gap marked with what it lost.
        lines = kept.split("\n")
        self.assertEqual(lines[-1], "")
        # A disk with room for a short line but not for an answer may lose more than once before
        # it has room: each gap is marked, and what the recovery says is all of them.
        mark = re.compile(r"^\S+ ! (\d+) bytes the device sent (and \d+ lines? of the "
                          r"capture's own )?were not kept: it could not be written from \S+ \(No "
                          r"space left on device\)$")
        marks = [int(mark.match(line).group(1)) for line in lines if mark.match(line)]
        self.assertEqual(sum(marks), lost, kept[-2000:])
        self.assertEqual(len([line for line in program.stderr.texts() if back.match(line)]), 1)
        for line in lines[:-1]:
            self.assertTrue(SENT.match(line) or HEARD.match(line) or mark.match(line), line)
            if HEARD.match(line):
                self.assertEqual(len(unescape(HEARD.match(line).group(1))), 1045, line)

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
