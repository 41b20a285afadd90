"""checkfeed against a shell loop, side by side in one run.

Both feed six check files to a pseudo-terminal of their own on the same schedule: a file every
5 s, and 15 s from the sixth back to the first. A reader timestamps every byte at each pty's
master and inotify counts the opens of each pty. Prints a table; this is a benchmark, not a test.
"""

import argparse
import os
import platform
import signal
import statistics
import subprocess
import sys
import tempfile
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
    def __init__(self, name, command, files, env=None):
        self.name = name
        self.pty = harness.Pty()
        self.folder = tempfile.mkdtemp(prefix="checkfeed-bench-")
        for number, content in files.items():
            with open(os.path.join(self.folder, f"check{number}.txt"), "wb") as out:
                out.write(content)
        self.files = files
        self.opens = harness.OpenCounter(self.pty.path)
        self.arrivals = harness.Arrivals(self.pty)
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
        self.arrivals.stop()
        self.opens.close()
        self.pty.close()


def schedule_figures(contender):
    bursts = contender.arrivals.bursts(gap=1.0)
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
    options = parser.parse_args()

    files = {n: (f"CHECK {n}\r\n".encode() + bytes(range(256)) * n) for n in range(1, 7)}
    env = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
    contenders = [
        Contender("checkfeed", [os.path.abspath(options.binary), "--no-window", "--port", "{PORT}"],
                  files, env),
        Contender("shell loop", ["sh", "-c", SHELL_LOOP], files, env),
    ]
    # checkfeed with --reconnect while its port is away (an unplugged adapter): it must be as
    # idle as with a port, trying again only on its ticks.
    away = Contender("port away", [os.path.abspath(options.binary), "--no-window", "--reconnect",
                                   "--port", "/dev/serial/by-id/checkfeed-bench-unplugged"],
                     files, env)
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
    print()
    sys.stdout.flush()
    subprocess.run([options.tick_bench, "20"], check=True)
    return 0


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
