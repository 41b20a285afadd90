"""Judging what the device answers (--expect): against a device of the test's own on the line,
which answers each file right, wrong at one byte, in pieces, too late or not at all, and a
changing value a pattern judges. The run ends by itself (--rotations) with its status, its summary
and a JUnit report that a JUnit parser from Debian reads."""

import os
import random
import re
import statistics

import harness
import network

SUMMARY = re.compile(r"^(\d+) answers judged: (\d+) as expected, (\d+) differed, (\d+) missing; "
                     r"latency min/median/p95/max ([0-9.]+)/([0-9.]+)/([0-9.]+)/([0-9.]+) ms$")


def parse_report(path):
    """The report as a JUnit parser reads it: [(name, classname, time, [(kind, message)])]."""
    try:
        import junitparser
    except ImportError as missing:
        raise AssertionError("python3-junitparser is not installed (scripts/deps.sh)") from missing
    cases = []
    for suite in junitparser.JUnitXml.fromfile(path):
        for case in suite:
            cases.append((case.name, case.classname, case.time,
                          [(type(result).__name__, result.message) for result in case.result]))
    return cases


class Answers(harness.Scene):
    def setUp(self):
        super().setUp()
        self.delay = 0.02  # the device's own, from the last byte of a file to its answer
        for n in range(1, 7):
            self.write_check(n, f"check {n}\r\n".encode())

    def answer(self, wrong):
        """Each file answered as the test wants it, once it has come whole: (delay, pieces,
        spacing). `wrong`: check2.txt answered wrong at one byte, check5.txt too late, check6.txt
        not at all."""
        def reply(data):
            if not data.endswith(b"\r\n") or not data.startswith(b"check "):
                return None
            n = int(data[6:7])
            if n == 3:  # a weight, which changes
                return self.delay, [f"W={random.randint(1, 999)}.{random.randint(0, 9)} g\r\n"
                                    .encode()], 0
            if n == 4:  # in pieces, 50 ms apart
                return self.delay, [b"SPLIT ", b"ANSWER\r\n"], 0.05
            if wrong and n == 2:
                return self.delay, [b"O#\r\n"], 0
            if wrong and n == 5:
                return 0.4, [b"LATE\r\n"], 0  # after the 300 ms window, before the next tick
            if wrong and n == 6:
                return 0, [], 0
            return self.delay, [b"OK\r\n"], 0
        return reply

    def run_judged(self, wrong, port=None):
        for n, expected in ((1, b"OK\r\n"), (2, b"OK\r\n"), (4, b"SPLIT ANSWER\r\n"),
                            (5, b"OK\r\n"), (6, b"OK\r\n")):
            with open(os.path.join(self.files, f"check{n}.expect"), "wb") as out:
                out.write(expected)
        with open(os.path.join(self.files, "check3.match"), "w") as out:
            out.write("W=\\d+\\.\\d g\\r\\n\n")
        device = harness.Responder(self.pty, self.answer(wrong))
        self.addCleanup(device.stop)
        report = os.path.join(self.workdir, "report.xml")
        self.capture = os.path.join(self.workdir, "capture.log")
        program = self.start("--no-window", "--expect", "--rotations", "2", "--period", "500",
                             "--pause", "500", "--answer-within", "300", "--junit", report,
                             "--capture", self.capture, *(["--port", port] if port else []))
        code, _ = program.wait(timeout=30 + self.target.startup)
        device.stop()
        return code, program, parse_report(report), device

    def test_a_run_judges_every_answer_and_ends_by_itself_with_its_status_and_report(self):
        code, program, cases, device = self.run_judged(wrong=True)
        self.assertEqual(code, 3, program.stderr.texts())
        names = [f"check{n}.txt #{rotation}" for rotation in (1, 2) for n in range(1, 7)]
        self.assertEqual([name for name, _, _, _ in cases], names)
        self.assertEqual({classname for _, classname, _, _ in cases}, {"checkfeed"})
        failures = {name: results for name, _, _, results in cases if results}
        for rotation in (1, 2):
            self.assertEqual(failures[f"check2.txt #{rotation}"],
                             [("Failure", 'check2.txt: the answer differs at byte 1: expected "K" '
                                          '(0x4b), came "#" (0x23)')])
            # check5.txt's late answer is credited to neither check5.txt nor check6.txt.
            for n in (5, 6):
                self.assertEqual(failures[f"check{n}.txt #{rotation}"],
                                 [("Failure", f"check{n}.txt: no answer within 300 ms")])
        self.assertEqual(len(failures), 6)
        late = [line for line in program.stderr.texts() if "late" in line]
        self.assertTrue(late and late[0].startswith("checkfeed: check5.txt #1: 6 bytes came "),
                        program.stderr.texts())
        summary = [SUMMARY.match(line) for line in program.stdout.texts() if SUMMARY.match(line)]
        self.assertEqual(len(summary), 1, program.stdout.texts())
        self.assertEqual(summary[0].groups()[:4], ("12", "6", "2", "4"))
        self.assert_latencies(cases, device)
        # In the capture, each verdict stands after the answer it judges.
        with open(self.capture, encoding="latin-1") as capture:
            lines = [line.split(" ", 1)[1] for line in capture.read().splitlines()]
        at = lines.index("> check2.txt, 9 bytes")
        self.assertEqual(lines[at + 1], "< O#\\r\\n")
        self.assertRegex(lines[at + 2], r'^= check2\.txt #1: the answer differs at byte 1: expected '
                                        r'"K" \(0x4b\), came "#" \(0x23\) \(latency \d+\.\d ms\)$')

    def test_a_run_whose_every_answer_is_right_ends_with_0(self):
        code, program, cases, device = self.run_judged(wrong=False)
        self.assertEqual(code, 0, program.stderr.texts())
        self.assertEqual(len(cases), 12)
        self.assertEqual([name for name, _, _, results in cases if results], [])
        summary = [SUMMARY.match(line) for line in program.stdout.texts() if SUMMARY.match(line)]
        self.assertEqual(summary[0].groups()[:4], ("12", "12", "0", "0"), program.stdout.texts())
        self.assert_latencies(cases, device)

        # Stopped before its end, a run gives its summary and its report all the same.
        device = harness.Responder(self.pty, self.answer(wrong=False))
        self.addCleanup(device.stop)
        report = os.path.join(self.workdir, "stopped.xml")
        program = self.start("--no-window", "--expect", "--period", "300", "--junit", report)
        self.assertTrue(harness.wait_until(lambda: len(device.answered) >= 2,
                                           5 + self.target.startup))
        self.stop(program)
        self.assertEqual(program.wait(timeout=10)[0], 0, program.stderr.texts())
        self.assertGreaterEqual(len(parse_report(report)), 1)
        self.assertTrue(any(SUMMARY.match(line) for line in program.stdout.texts()),
                        program.stdout.texts())

    def test_through_ser2net_either_way_the_answers_are_judged_alike(self):
        for raw in (False, True):
            with self.subTest(raw=raw):
                self.pty = harness.Pty()
                self.addCleanup(self.pty.close)
                server = network.Ser2net(self.pty.path, raw=raw)
                self.addCleanup(server.close)  # before the pty goes
                code, program, cases, _ = self.run_judged(wrong=True, port=server.url())
                server.stop()
                self.assertEqual(code, 3, program.stderr.texts())
                self.assertEqual(sorted(name for name, _, _, results in cases if results),
                                 sorted(f"check{n}.txt #{rotation}" for n in (2, 5, 6)
                                        for rotation in (1, 2)))

    def assert_latencies(self, cases, device):
        """The latency the program measures, from the send's last byte leaving the port to the
        answer's first byte, is the device's own delay and what the line and the readers add:
        never less than the delay, and not much more."""
        measured = [time for _, _, time, results in cases if not results]
        kept = [written - read for _, read, written in device.answered
                if written - read < 0.2]  # not the late ones
        self.assertTrue(measured and kept)
        for latency in measured:
            self.assertGreaterEqual(latency, self.delay - 0.001)
            self.assertLess(latency, self.delay + 0.05)
        self.assertLess(abs(statistics.median(measured) - statistics.median(kept)), 0.01)


if __name__ == "__main__":
    harness.main()
