"""checkfeed at work with no serial hardware.

Makes a virtual serial port (a pseudo-terminal), writes six sample check files into a scratch
folder, runs checkfeed there on that port, and shows each file as it lands at the far end of the
line: the time since start, its name, its size, and whether every byte matches.
"""

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402  (the tests' reader: it times each file by its first byte's arrival)

SAMPLES = {
    1: b"CHECK 1\r\nHello from checkfeed.\r\n",
    2: b"CHECK 2\r\n0123456789ABCDEF\r\n" * 4,
    3: b"CHECK 3\r\nThe quick brown fox jumps over the lazy dog.\r\n",
    4: b"CHECK 4\r\n" + bytes(range(256)),
    5: b"CHECK 5\r\n" + b"-" * 200 + b"\r\n",
    6: b"CHECK 6\r\nEnd of rotation.\r\n",
}
GAP = 0.5  # a file is over when nothing more has come for this long


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=float, default=47.0,
                        help="how long to watch (default 47: a rotation, the pause, and back)")
    parser.add_argument("--files", type=int, default=7,
                        help="stop once this many files have landed (default 7: the rotation and "
                        "check1.txt again; 0: no limit)")
    options = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="checkfeed-demo-")
    for number, content in SAMPLES.items():
        with open(os.path.join(folder, f"check{number}.txt"), "wb") as out:
            out.write(content)
    pty = harness.Pty()

    print(f"Check files: {folder}")
    print(f"Virtual serial port: {pty.path}")
    print(f"Running: checkfeed --no-window --port {pty.path}   (for {options.seconds:.0f} s)\n")
    print("    time  file          size  bytes", flush=True)
    arrivals = harness.Arrivals(pty)
    started = time.monotonic()
    program = subprocess.Popen([os.path.abspath(options.binary), "--no-window", "--port", pty.path],
                               cwd=folder, stderr=subprocess.PIPE)
    errors = harness.Lines(program.stderr)

    shown_files, shown_errors = 0, 0
    try:
        while time.monotonic() - started < options.seconds and program.poll() is None:
            time.sleep(0.05)
            for when, line in errors.timed()[shown_errors:]:
                print(f"{when - started:8.3f}  {line}", flush=True)
                shown_errors += 1
            # A file has landed once nothing more has come for a moment.
            landed = arrivals.bursts(GAP)
            if landed and arrivals.quiet_for() <= GAP:
                landed.pop()
            for when, data in landed[shown_files:]:
                report(when - started, data)
                shown_files += 1
            if options.files and shown_files >= options.files:
                break
    finally:
        program.send_signal(signal.SIGTERM)
        code = program.wait(timeout=10)
        arrivals.stop()
        pty.close()
    print(f"\nStopped with SIGTERM: checkfeed exited with code {code}; {shown_files} files landed.")
    print(f"(The sample files stay in {folder}.)")
    return 0 if code == 0 else 1


def report(at, data):
    name = next((f"check{n}.txt" for n, content in SAMPLES.items() if content == data), "?")
    exact = "exact" if name != "?" else "does not match any file"
    print(f"{at:8.3f}  {name:11} {len(data):6}  {exact}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
