"""checkfeed against a shell loop, side by side in one run.

Both feed six check files to a pseudo-terminal of their own on the same schedule: a file every
5 s, and 15 s from the sixth back to the first. A reader timestamps every byte at each pty's
master and inotify counts the opens of each pty. Prints a table; this is a benchmark, not a test.
"""

import argparse
import os
import platform
import select
import signal
import statistics
import subprocess
import sys
import shutil
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402

SHELL_LOOP = r"""
stty -F "$PORT" 9600 cs8 -parenb -cstopb -crtscts -ixon -ixoff clocal raw -echo
while :; do
  for n in 1 2 3 4 5 6; do sleep 5; cat "check$n.txt" > "$PORT"; done
  sleep 10
done
"""

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class Contender:
    def __init__(self, name, command, files, env=None, watch=True):
        self.name = name
        self.pty = harness.Pty()
        self.folder = tempfile.mkdtemp(prefix="checkfeed-bench-")
        for number, content in files.items():
            with open(os.path.join(self.folder, f"check{number}.txt"), "wb") as out:
                out.write(content)
        self.files = files
        self.opens = harness.OpenCounter(self.pty.path) if watch else None
        self.arrivals = harness.Arrivals(self.pty) if watch else None
        self.command = [part.replace("{PORT}", self.pty.path) for part in command]
        self.env = dict(os.environ if env is None else env, PORT=self.pty.path)

    def start(self):
        self.started = time.monotonic()
        self.process = subprocess.Popen(self.command, cwd=self.folder, env=self.env,
                                        stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        start_new_session=True)

    def cpu_seconds(self):
        # The process's own time to the nanosecond (schedstat), and its waited-for children's
        # (cat, sleep) in clock ticks.
        with open(f"/proc/{self.process.pid}/schedstat") as schedstat:
            own = int(schedstat.read().split()[0]) / 1e9
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return own + sum(int(value) for value in fields[13:15]) / CLOCK_TICKS

    def peak_rss_kib(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        os.killpg(self.process.pid, signal.SIGTERM)
        self.process.wait(timeout=10)
        if self.arrivals:
            self.arrivals.stop()
            self.opens.close()
        self.pty.close()
        shutil.rmtree(self.folder, True)


class ManyArrivals:
    """Timestamps the bytes reaching many ptys' masters on one thread, so that a crowd of readers
    does not queue for the interpreter and stamp late."""

    def __init__(self, ptys):
        self.pieces = {pty.master: [] for pty in ptys}
        for pty in ptys:
            os.set_blocking(pty.master, False)
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        masters = list(self.pieces)
        while self.running:
            ready, _, _ = select.select(masters, [], [], 0.05)
            for master in ready:
                try:
                    data = os.read(master, 65536)
                except (BlockingIOError, OSError):
                    continue
                self.pieces[master].append((time.monotonic(), data))

    def stop(self):
        self.running = False
        self.thread.join(timeout=2)

    def bursts(self, master, gap=1.0):
        return harness.group_bursts(self.pieces[master], gap)


def schedule_figures(contender, bursts=None):
    bursts = contender.arrivals.bursts(gap=1.0) if bursts is None else bursts
    order = [1, 2, 3, 4, 5, 6]
    exact = sum(1 for index, (_, data) in enumerate(bursts)
                if data == contender.files[order[index % 6]])
    first = bursts[0][0]
    errors, times = [], []
    for index, (when, _) in enumerate(bursts):
        rotation, position = divmod(index, 6)
        ideal = first + (rotation * 8 + position) * 5.0
        errors.append((when - ideal) * 1000.0)
        times.append((when - first) / 60.0)
    slope = statistics.linear_regression(times, errors).slope if len(bursts) > 2 else 0.0
    absolute = sorted(abs(error) for error in errors)
    p99 = absolute[min(len(absolute) - 1, int(round(0.99 * (len(absolute) - 1))))]
    return {"sends": len(bursts), "exact": exact, "max": absolute[-1], "p99": p99, "drift": slope,
            "errors": errors}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("tick_bench")
    parser.add_argument("--rotations", type=int, default=3)
    parser.add_argument("--verbose", action="store_true", help="also print every send's error")
    parser.add_argument("--instances", type=int, default=32,
                        help="how many of each run at once in the scale run (default 32)")
    parser.add_argument("--xwindow", help="the tests' xwindow tool: also time the window's start")
    parser.add_argument("--exe", help="checkfeed.exe, beside checkfeedc.exe: also measure them "
                        "under Wine")
    parser.add_argument("--wine-dir", help="the Windows build's Wine folder (tests/tools/wine/prefix.sh)")
    parser.add_argument("--only-windows", action="store_true", help="measure only checkfeed.exe")
    parser.add_argument("--only-held", action="store_true",
                        help="measure only a held send, on Linux and (with --exe) under Wine")
    parser.add_argument("--only-answers", action="store_true",
                        help="measure only the beat with a device that talks, and through ser2net")
    parser.add_argument("--responder", help="bench/responder: also measure judged answers")
    parser.add_argument("--only-judging", action="store_true",
                        help="measure only the latency --expect reports and the beat with it on")
    options = parser.parse_args()
    env = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
    files = {n: (f"CHECK {n}\r\n".encode() + bytes(range(256)) * n) for n in range(1, 7)}
    if options.only_answers:
        answers(options, files, env)
        return 0
    if options.only_judging:
        judging(options, env)
        return 0
    if options.only_held:
        held_line("checkfeed", lambda pty: [os.path.abspath(options.binary), "--no-window",
                                            "--period", "1000", "--port", pty.path])
        if options.exe:
            target = wine_target(options)
            held_line("checkfeedc.exe", lambda pty: target.command(
                ["--no-window", "--period", "1000", "--port", "COM21"]),
                      link=lambda pty: target.port(tempfile.gettempdir(), pty, 21),
                      stop=signal.SIGINT)
        return 0
    if options.only_windows:
        return windows(options)

    contenders = [
        Contender("checkfeed", [os.path.abspath(options.binary), "--no-window", "--port", "{PORT}"],
                  files, env),
        Contender("shell loop", ["sh", "-c", SHELL_LOOP], files, env),
    ]
    # checkfeed with --reconnect while its port is away (an unplugged adapter): it must be as
    # idle as with a port, trying again only on its ticks.
    away = Contender("port away", [os.path.abspath(options.binary), "--no-window", "--reconnect",
                                   "--port", "/dev/serial/by-id/checkfeed-bench-unplugged"],
                     files, env, watch=False)
    last_send = 5.0 + ((options.rotations - 1) * 8 + 5) * 5.0
    print(f"Running both for {last_send + 3:.0f} s ({options.rotations} rotations)...", flush=True)
    for contender in contenders + [away]:
        contender.start()
    time.sleep(2.0)
    cpu_start = {c.name: c.cpu_seconds() for c in contenders + [away]}
    idle_from = time.monotonic()
    time.sleep(last_send + 3.0 - 2.0)
    minutes = (time.monotonic() - idle_from) / 60.0
    rows = {}
    for contender in contenders:
        figures = schedule_figures(contender)
        figures["cpu"] = (contender.cpu_seconds() - cpu_start[contender.name]) / minutes * 1000.0
        figures["rss"] = contender.peak_rss_kib() / 1024.0
        opens = contender.opens.times
        figures["opens"] = len(opens)
        figures["open_ms"] = (opens[0] - contender.started) * 1000.0 if opens else float("nan")
        rows[contender.name] = figures
    away_cpu = (away.cpu_seconds() - cpu_start[away.name]) / minutes * 1000.0
    for contender in contenders + [away]:
        contender.stop()

    names = [c.name for c in contenders]
    lines = [
        ("sends", lambda f: f"{f['sends']}"),
        ("bytes exact (sends)", lambda f: f"{f['exact']}/{f['sends']}"),
        ("schedule error, max", lambda f: f"{f['max']:.2f} ms"),
        ("schedule error, p99", lambda f: f"{f['p99']:.2f} ms"),
        ("drift", lambda f: f"{f['drift']:+.3f} ms/min"),
        ("device opens", lambda f: f"{f['opens']}"),
        ("CPU per minute", lambda f: f"{f['cpu']:.2f} ms ({f['cpu'] / 600.0:.4f} %)"),
        ("peak RSS", lambda f: f"{f['rss']:.1f} MB"),
        ("start to port open", lambda f: f"{f['open_ms']:.1f} ms"),
    ]
    print(f"\nMachine: {machine()}")
    print(f"{'':24}" + "".join(f"{name:>24}" for name in names))
    for label, shown in lines:
        print(f"{label:24}" + "".join(f"{shown(rows[name]):>24}" for name in names))
    print(f"{'CPU per minute, port away (--reconnect)':48}{away_cpu:.2f} ms "
          f"({away_cpu / 600.0:.4f} %)")
    if options.verbose:
        for name in names:
            errors = " ".join(f"{error:+.2f}" for error in rows[name]["errors"])
            print(f"{name} errors (ms): {errors}")
    print(flush=True)

    scale(options, files, env)
    line_options(options, env)
    if options.xwindow:
        window_start(options)
    subprocess.run([options.tick_bench, "20"], check=True)
    answers(options, files, env)
    if options.responder:
        judging(options, env)
    held_line("checkfeed", lambda pty: [os.path.abspath(options.binary), "--no-window", "--period",
                                        "1000", "--port", pty.path])
    if options.exe:
        windows(options)
    return 0


def answers(options, files, env):
    """The beat while the device talks: checkfeed --capture on a pty whose far end sends without a
    pause at about the line's speed (10 bytes every 10 ms) for a rotation and back, every byte of
    which must be in the capture; then a rotation through ser2net (RFC 2217) to a pty behind it."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                    "e2e"))
    import network  # noqa: E402 (the tests' ser2net)
    sends = 7  # a rotation and back: 35 s
    for talks in (False, True):
        folder = tempfile.mkdtemp(prefix="checkfeed-bench-")
        capture = os.path.join(folder, "capture.raw")
        talker = Contender("talking", [os.path.abspath(options.binary), "--no-window", "--port",
                                       "{PORT}", "--capture", capture, "--capture-format", "raw"],
                           files, env)
        talker.start()
        harness.wait_until(lambda: talker.opens.times, 5)
        time.sleep(0.5)
        device = harness.Talker(talker.pty) if talks else None
        harness.wait_until(lambda: len(talker.arrivals.bursts(gap=1.0)) >= sends, 60)
        said = device.stop() if device else b""
        time.sleep(0.5)
        figures = schedule_figures(talker, talker.arrivals.bursts(gap=1.0)[:sends])
        with open(capture, "rb") as kept:
            whole = kept.read() == said
        talker.stop()
        shutil.rmtree(folder, True)
        print(f"checkfeed --capture, the device {'talking throughout' if talks else 'silent'} "
              f"({len(said)} bytes in): schedule error max {figures['max']:.2f} ms over "
              f"{figures['sends']} sends, bytes exact {figures['exact']}/{figures['sends']}, "
              f"capture {'whole' if whole else 'NOT whole'}", flush=True)

    behind = Contender("ser2net", [], files, env)
    server = network.Ser2net(behind.pty.path)
    behind.command = [os.path.abspath(options.binary), "--no-window", "--port", server.url()]
    behind.start()
    harness.wait_until(lambda: len(behind.arrivals.bursts(gap=1.0)) >= sends, 60)
    time.sleep(1.5)
    figures = schedule_figures(behind, behind.arrivals.bursts(gap=1.0)[:sends])
    server_stop = server.close  # ser2net goes before the pty behind it
    os.killpg(behind.process.pid, signal.SIGTERM)
    behind.process.wait(timeout=10)
    server_stop()
    behind.arrivals.stop()
    behind.opens.close()
    behind.pty.close()
    shutil.rmtree(behind.folder, True)
    print(f"checkfeed through ser2net (rfc2217://): schedule error max {figures['max']:.2f} ms "
          f"over {figures['sends']} sends, bytes exact {figures['exact']}/{figures['sends']}",
          flush=True)


def judging(options, env, delay_us=20000, rotations=4):
    """--expect against a device that answers every file after a delay it keeps to the
    microsecond (bench/responder): the latency checkfeed reports for each send (from the send's
    last byte leaving the port to the answer's first byte), against the delay the device itself
    measured from its read of the file's last byte to its write; and the grid of the sends, where
    the device read them, with --expect and without it (the device answering all the same)."""
    import xml.etree.ElementTree as ElementTree
    files = {n: f"check {n}\r\n".encode() for n in range(1, 7)}
    for expect in (True, False):
        pty = harness.Pty()
        folder = tempfile.mkdtemp(prefix="checkfeed-bench-")
        for number, content in files.items():
            with open(os.path.join(folder, f"check{number}.txt"), "wb") as out:
                out.write(content)
            with open(os.path.join(folder, f"check{number}.expect"), "wb") as out:
                out.write(b"OK\r\n")
        report = os.path.join(folder, "report.xml")
        device = subprocess.Popen([options.responder, str(pty.master), str(delay_us), "OK"],
                                  pass_fds=[pty.master], stdout=subprocess.PIPE, text=True)
        command = [os.path.abspath(options.binary), "--no-window", "--port", pty.path,
                   "--period", "1000", "--pause", "1000", "--rotations", str(rotations)]
        if expect:
            command += ["--expect", "--answer-within", "300", "--junit", report]
        subprocess.run(command, cwd=folder, env=env, stdout=subprocess.DEVNULL, timeout=120)
        device.send_signal(signal.SIGTERM)
        stamps = [[int(value) / 1e9 for value in line.split()]
                  for line in device.communicate(timeout=10)[0].splitlines()]
        sends = len(stamps)
        first = stamps[0][0]
        grid = [abs(stamp[0] - (first + (index // 6 * 7 + index % 6) * 1.0)) * 1000.0
                for index, stamp in enumerate(stamps)]
        line = (f"checkfeed {'--expect' if expect else 'without --expect'}, the device answering "
                f"every file: schedule error max {max(grid):.2f} ms over {sends} sends")
        if expect:
            reported = [float(case.get("time")) * 1000.0
                        for case in ElementTree.parse(report).iter("testcase")]
            kept = [(written - read) * 1000.0 for _, read, written in stamps]
            differences = sorted(r - k for r, k in zip(reported, kept))
            line += (f"; latency reported median {statistics.median(reported):.3f} ms for a "
                     f"device delay of {delay_us / 1000:.1f} ms (kept: median "
                     f"{statistics.median(kept):.3f} ms); reported minus kept, per send: median "
                     f"{statistics.median(differences):+.3f} ms, min {differences[0]:+.3f}, max "
                     f"{differences[-1]:+.3f} ms, {len(reported)} verdicts")
        print(line, flush=True)
        pty.close()
        shutil.rmtree(folder, True)


def scale(options, files, env):
    """Many instances on one machine, one per pty, headless, against as many shell loops, all at
    once: a rotation and back to the first file."""
    count = options.instances
    print(f"{count} instances of each at once, for 48 s...", flush=True)
    groups = {
        "checkfeed": [Contender("checkfeed", [os.path.abspath(options.binary), "--no-window",
                                              "--port", "{PORT}"], files, env, watch=False)
                      for _ in range(count)],
        "shell loop": [Contender("shell loop", ["sh", "-c", SHELL_LOOP], files, env, watch=False)
                       for _ in range(count)],
    }
    everyone = [c for group in groups.values() for c in group]
    reader = ManyArrivals([c.pty for c in everyone])
    for contender in everyone:
        contender.start()
    time.sleep(2.0)
    cpu_start = {id(c): c.cpu_seconds() for c in everyone}
    began = time.monotonic()
    time.sleep(46.0)
    minutes = (time.monotonic() - began) / 60.0
    print(f"{'':24}" + "".join(f"{name:>24}" for name in groups))
    rows = {}
    for name, group in groups.items():
        worst, exact, sends = 0.0, 0, 0
        for contender in group:
            figures = schedule_figures(contender, reader.bursts(contender.pty.master))
            worst, exact, sends = max(worst, figures["max"]), exact + figures["exact"], \
                sends + figures["sends"]
        cpu = sum(c.cpu_seconds() - cpu_start[id(c)] for c in group) / minutes * 1000.0
        rss = sum(c.peak_rss_kib() for c in group) / 1024.0
        rows[name] = [f"{exact}/{sends}", f"{worst:.2f} ms", f"{cpu:.1f} ms ({cpu / 600:.3f} %)",
                      f"{cpu / count:.2f} ms", f"{rss:.1f} MB", f"{rss / count:.2f} MB"]
    reader.stop()
    for contender in everyone:
        contender.stop()
    for index, label in enumerate(["bytes exact (sends)", "schedule error, max",
                                   "CPU per minute, all", "CPU per minute, each",
                                   "peak RSS, all", "peak RSS, each"]):
        print(f"{label:24}" + "".join(f"{rows[name][index]:>24}" for name in groups))
    print(flush=True)


def line_options(options, env):
    """Pacing and a short period on a pty: the gaps --char-delay 5 and --line-delay 50 leave in
    a 1 KiB file, and the beat of --period 1000 over a minute."""
    print("Line options on a pty, for 62 s...", flush=True)
    kib = bytes((i * 37 + 11) & 0xFF for i in range(1024))
    lines = b"".join(f"line {n:02d} ".encode() + b"." * 55 + b"\r\n" for n in range(16))
    binary = os.path.abspath(options.binary)
    runs = {
        "char": Contender("char", [binary, "--no-window", "--port", "{PORT}", "--char-delay",
                                   "5", "--period", "8000"], {1: kib}, env, watch=False),
        "line": Contender("line", [binary, "--no-window", "--port", "{PORT}", "--line-delay",
                                   "50", "--period", "8000"], {1: lines}, env, watch=False),
        "beat": Contender("beat", [binary, "--no-window", "--port", "{PORT}", "--period", "1000",
                                   "--pause", "0"], {n: b"%d" % n for n in range(1, 7)}, env,
                          watch=False),
    }
    reader = ManyArrivals([c.pty for c in runs.values()])
    for contender in runs.values():
        contender.start()
    time.sleep(62.0)
    reader.stop()
    masters = {name: contender.pty.master for name, contender in runs.items()}
    for contender in runs.values():
        contender.stop()

    def report_gaps(label, pieces, delay_ms, sent):
        """The gaps between pieces against the delay, from the first send (its first 6 s)."""
        pieces = [piece for piece in pieces if piece[0] - pieces[0][0] < 6.0]
        times = [when for when, _ in pieces]
        errors = sorted((later - earlier) * 1000.0 - delay_ms
                        for earlier, later in zip(times, times[1:]))
        exact = b"".join(data for _, data in pieces) == sent
        print(f"{label}: {len(errors)} gaps, error min {errors[0]:+.2f} ms, median "
              f"{statistics.median(errors):+.2f} ms, max {errors[-1]:+.2f} ms; bytes "
              f"{'exact' if exact else 'NOT exact'}")

    report_gaps("--char-delay 5, 1 KiB", reader.pieces[masters["char"]], 5.0, kib)
    report_gaps("--line-delay 50, 1 KiB in 16 lines", reader.bursts(masters["line"], gap=0.02),
                50.0, lines)
    beat = reader.bursts(masters["beat"], gap=0.2)
    first = beat[0][0]
    errors = [abs((when - first) - round(when - first)) * 1000.0 for when, _ in beat]
    print(f"--period 1000 --pause 0, {len(beat)} sends over {beat[-1][0] - first:.0f} s: "
          f"schedule error max {max(errors):.2f} ms, median {statistics.median(errors):.2f} ms")
    print(flush=True)


def window_start(options):
    """Start to window shown: from exec until Form1 is on the screen of a private Xvfb."""
    os.environ["CHECKFEED_XWINDOW"] = options.xwindow
    display = harness.Xvfb(window_manager=False)
    times = []
    try:
        for _ in range(15):
            pty = harness.Pty()
            runtime = tempfile.mkdtemp(prefix="checkfeed-bench-runtime-")
            started = time.monotonic()
            program = subprocess.Popen([os.path.abspath(options.binary), "--port", pty.path],
                                       env=dict(display.env, XDG_RUNTIME_DIR=runtime),
                                       stderr=subprocess.DEVNULL, cwd=runtime)
            harness.wait_until(lambda: display.find("Form1"), 10, step=0.001)
            times.append((time.monotonic() - started) * 1000.0)
            program.send_signal(signal.SIGTERM)
            program.wait(timeout=10)
            pty.close()
            shutil.rmtree(runtime, True)
    finally:
        display.close()
    print(f"Window: start to window shown, median of {len(times)}: "
          f"{statistics.median(times):.1f} ms (best {min(times):.1f}); found by polling the X "
          f"server, so a few ms late", flush=True)
    print()


HELD = "has taken no bytes for"


def held_line(name, command, link=None, stop=signal.SIGTERM, runs=5):
    """A send the device holds: a pty nobody reads and a 1 MiB check1.txt. Times the notice from
    the last byte the pty took (on Linux from the program's own write count, /proc/PID/io; under
    Wine, whose server traffic counts there too, from the first byte at the pty), and the program's
    end from the stop request. Worst of `runs`."""
    notices, ends = [], []
    for _ in range(runs):
        pty = harness.Pty()
        folder = tempfile.mkdtemp(prefix="checkfeed-bench-")
        with open(os.path.join(folder, "check1.txt"), "wb") as out:
            out.write(bytes(range(256)) * 4096)
        if link:
            link(pty)
        process = subprocess.Popen(command(pty), cwd=folder, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                   start_new_session=True)
        said = harness.Lines(process.stderr, harness.WINE_NOISE)
        pid = process.pid if link is None else harness.wait_until(
            lambda: harness.session_process(process.pid, "checkfeedc.exe"), 10)
        written = []  # (time, bytes written so far) while the program runs
        harness.wait_until(lambda: harness.unread(pty) > 0, 15, step=0.005)
        first = time.monotonic()
        while not any(HELD in line for line in said.texts()) and time.monotonic() - first < 10:
            with open(f"/proc/{pid}/io") as io:
                wchar = next(line for line in io if line.startswith("wchar:"))
                written.append((time.monotonic(), int(wchar.split()[1])))
            time.sleep(0.002)
        when, line = next(((when, line) for when, line in said.timed() if HELD in line),
                          (None, None))
        if line is not None:
            sent = int(line.split(", ")[1].split()[0])
            # The last byte taken: the first moment the count reached what the notice says was
            # sent, beyond what was written before the send (the lock file's PID line).
            base = written[0][1] - sent if link is None else None
            last = first if link is not None else next(
                (at for at, count in written if count - base >= sent), first)
            notices.append((when - last) * 1000.0)
        os.kill(pid, stop)  # under Wine, SIGINT to the program itself is its Ctrl+C
        stopped = time.monotonic()
        process.wait(timeout=10)
        ends.append((time.monotonic() - stopped) * 1000.0)
        pty.close()
        shutil.rmtree(folder, True)
    basis = "the first byte at the pty" if link else "the last byte the pty took"
    print(f"{name}, a held send ({runs} runs, worst): notice {max(notices):.0f} ms after {basis} "
          f"(2000 ms wanted); stop to end {max(ends):.0f} ms", flush=True)


def wine_target(options):
    """checkfeedc.exe, beside checkfeed.exe, in the Wine prefix the tests use (made if need be).
    Ctrl+C stops it."""
    wine_dir = os.path.abspath(options.wine_dir)
    tests = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tools", "wine")
    subprocess.run(["sh", os.path.join(tests, "prefix.sh"), "setup", wine_dir], check=True,
                   stdout=subprocess.DEVNULL)
    os.environ.update(CHECKFEED_WINE=os.path.join(tests, "wine.sh"), CHECKFEED_WINE_DIR=wine_dir)
    return harness.Target(os.path.join(os.path.dirname(options.exe), "checkfeedc.exe"))


def windows(options):
    """checkfeedc.exe under Wine on a pty mapped to COM20: the beat over the rotations, its CPU
    while idle, a replugged port's next file; then checkfeed.exe's window; and the programs' size
    and DLLs."""
    target = wine_target(options)
    files = {n: (f"CHECK {n}\r\n".encode() + bytes(range(256)) * n) for n in range(1, 7)}

    # The beat, and CPU while idle: the program's own, and Wine's server's.
    feed = Contender("checkfeed.exe", [], files, watch=False)
    _, _, link = target.port(feed.folder, feed.pty, 20)
    feed.command = target.command(["--no-window", "--port", "COM20"])
    feed.arrivals = harness.Arrivals(feed.pty)
    last_send = 5.0 + ((options.rotations - 1) * 8 + 5) * 5.0
    print(f"checkfeedc.exe under Wine for {last_send + 5:.0f} s ({options.rotations} rotations)...",
          flush=True)
    feed.start()
    time.sleep(4.0)
    server = int(subprocess.run(["pgrep", "-o", "wineserver"], capture_output=True,
                                text=True).stdout.split()[0])
    cpu_start, server_start = feed.cpu_seconds(), process_cpu(server)
    began = time.monotonic()
    time.sleep(last_send + 1.0)
    minutes = (time.monotonic() - began) / 60.0
    figures = schedule_figures(feed)
    cpu = (feed.cpu_seconds() - cpu_start) / minutes * 1000.0
    server_cpu = (process_cpu(server) - server_start) / minutes * 1000.0
    rss = feed.peak_rss_kib() / 1024.0
    feed.process.send_signal(signal.SIGINT)  # Ctrl+C
    code = feed.process.wait(timeout=10)
    feed.arrivals.stop()
    os.unlink(link.path)
    feed.pty.close()
    shutil.rmtree(feed.folder, True)
    print(f"beat: {figures['exact']}/{figures['sends']} sends exact, schedule error max "
          f"{figures['max']:.2f} ms, p99 {figures['p99']:.2f} ms, drift {figures['drift']:+.3f} "
          f"ms/min")
    if options.verbose:
        print("errors (ms): " + " ".join(f"{error:+.2f}" for error in figures["errors"]))
    print(f"CPU per minute: checkfeed.exe {cpu:.2f} ms ({cpu / 600.0:.4f} %), Wine's server "
          f"{server_cpu:.2f} ms; peak RSS {rss:.1f} MB; Ctrl+C: exit "
          f"code {code}")

    # A replugged port: unplugged after the first file, plugged in again at three moments; the
    # next file goes out at the first tick after each.
    feed = Contender("checkfeed.exe", [], {n: b"%d" % n for n in range(1, 7)}, watch=False)
    _, _, link = target.port(feed.folder, feed.pty, 20)
    feed.command = target.command(["--no-window", "--reconnect", "--port", "COM20"])
    arrivals = harness.Arrivals(feed.pty)
    feed.start()
    arrivals.wait_for_bytes(1, timeout=10)
    first = arrivals.pieces[0][0]  # check1.txt, at 5 s of the program's own time
    pty = feed.pty
    # Seconds after check1.txt: the ports comes back 0.2, 2.5 and 4.9 s into a period, the last
    # just before the pause ends (check1.txt follows check6.txt by 15 s).
    for plug_at in (5.2, 17.5, 39.9):
        arrivals.stop()
        link.unplug(pty)
        pty = harness.Pty()
        time.sleep(first + plug_at - time.monotonic())
        link.plug(pty)
        plugged = time.monotonic()
        arrivals = harness.Arrivals(pty)
        arrivals.wait_for_bytes(1, timeout=12)
        arrived = arrivals.pieces[0][0] if arrivals.pieces else float("nan")
        print(f"replug at {plug_at + 5:.1f} s: next file {arrived - plugged:.2f} s later, at "
              f"{arrived - first + 5:.2f} s")
    arrivals.stop()
    feed.process.send_signal(signal.SIGINT)
    feed.process.wait(timeout=10)
    pty.close()
    os.unlink(link.path)

    shutil.rmtree(feed.folder, True)

    held_line("checkfeedc.exe", lambda pty: target.command(["--no-window", "--period", "1000",
                                                            "--port", "COM21"]),
              link=lambda pty: target.port(tempfile.gettempdir(), pty, 21), stop=signal.SIGINT)

    # As it is shipped: without its debugging information.
    stripped = os.path.join(tempfile.mkdtemp(prefix="checkfeed-bench-"), "checkfeed.exe")
    subprocess.run(["x86_64-w64-mingw32-strip", "-o", stripped, options.exe], check=True)
    dlls = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", stripped], capture_output=True,
                          text=True).stdout
    names = sorted({line.split(":")[1].strip() for line in dlls.splitlines() if "DLL Name" in line})
    windows_window(options, target)
    print(f"{os.path.basename(options.exe)}: {os.path.getsize(stripped) / 1024:.0f} KiB stripped "
          f"({os.path.getsize(options.exe) / 1024:.0f} KiB with debugging information); imports "
          f"{', '.join(names)}")
    shutil.rmtree(os.path.dirname(stripped), True)
    print(flush=True)
    return 0


def windows_window(options, console_target):
    """checkfeed.exe's window under Wine on a private Xvfb: start to window shown, and the beat
    with the window open, and with a failure box open all along (check1.txt missing)."""
    target = harness.Target(os.path.join(os.path.dirname(options.exe), "checkfeed.exe"))
    os.environ["CHECKFEED_XWINDOW"] = options.xwindow or os.path.join(
        os.path.dirname(options.exe), "..", "tests", "xwindow")
    console_target.new_session()
    display = harness.Xvfb(window_manager=True)
    try:
        starts = []
        for _ in range(5):
            pty = harness.Pty()
            _, _, link = target.port(tempfile.gettempdir(), pty, 21)
            began = time.monotonic()
            program = subprocess.Popen(target.command(["--port", "COM21"]), env=display.env,
                                       cwd=tempfile.gettempdir(), stderr=subprocess.DEVNULL)
            harness.wait_until(lambda: display.find("Form1"), 30, step=0.005)
            starts.append((time.monotonic() - began) * 1000.0)
            subprocess.run([target.wine, "taskkill", "/im", "checkfeed.exe"], env=display.env,
                           capture_output=True, timeout=30)
            program.wait(timeout=30)
            pty.close()
            os.unlink(link.path)
        print(f"window: start to window shown, median of {len(starts)}: "
              f"{statistics.median(starts):.0f} ms (best {min(starts):.0f}), found by polling X")

        runs = {}
        files = {n: (f"CHECK {n}\r\n".encode() + bytes(range(256)) * n) for n in range(1, 7)}
        for name, number, present in (("window open", 22, files),
                                      ("box open", 23, {n: files[n] for n in range(2, 7)})):
            feed = Contender(name, [], present, watch=False)
            _, _, link = target.port(feed.folder, feed.pty, number)
            feed.command = target.command(["--port", f"COM{number}"])
            feed.env = display.env
            feed.arrivals = harness.Arrivals(feed.pty)
            feed.start()
            runs[name] = (feed, link)
        time.sleep(52.0)
        for name, (feed, link) in runs.items():
            bursts = feed.arrivals.bursts(gap=1.0)
            first = bursts[0][0]
            # Slots after the first send: 5 s apart, 15 s across the pause.
            slots = [0, 5, 10, 15, 20, 25, 40] if name == "window open" else [0, 5, 10, 15, 20, 40]
            errors = [abs((when - first) - slot) * 1000.0 for (when, _), slot in zip(bursts, slots)]
            print(f"beat, {name}: {len(bursts)} sends, worst error {max(errors):.2f} ms against a "
                  f"grid anchored at the first send")
            if options.verbose:
                print("errors (ms): " + " ".join(f"{error:.2f}" for error in errors))
            feed.arrivals.stop()
            feed.process.kill()
            feed.process.wait(timeout=10)
            os.unlink(link.path)
            feed.pty.close()
            shutil.rmtree(feed.folder, True)
    finally:
        console_target.new_session()
        display.close()


def process_cpu(pid):
    with open(f"/proc/{pid}/schedstat") as schedstat:
        return int(schedstat.read().split()[0]) / 1e9


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} CPUs, Linux {platform.release()}"


if __name__ == "__main__":
    sys.exit(main())
