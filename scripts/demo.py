"""checkfeed at work with no serial hardware.

Makes a virtual serial port (a pseudo-terminal), writes six sample check files into a scratch
folder, runs checkfeed there on that port, and shows each file as it lands at the far end of the
line: the time since start, its name, its size, and whether every byte matches.
"""

import argparse
import os
import select
import signal
import subprocess
import sys
import tempfile
import time

SAMPLES = {
    1: b"CHECK 1\r\nHello from checkfeed.\r\n",
    2: b"CHECK 2\r\n0123456789ABCDEF\r\n" * 4,
    3: b"CHECK 3\r\nThe quick brown fox jumps over the lazy dog.\r\n",
    4: b"CHECK 4\r\n" + bytes(range(256)),
    5: b"CHECK 5\r\n" + b"-" * 200 + b"\r\n",
    6: b"CHECK 6\r\nEnd of rotation.\r\n",
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=float, default=47.0,
                        help="how long to watch (default 47: a rotation, the pause, and back)")
    options = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="checkfeed-demo-")
    for number, content in SAMPLES.items():
        with open(os.path.join(folder, f"check{number}.txt"), "wb") as out:
            out.write(content)
    master, slave = os.openpty()
    port = os.ttyname(slave)
    os.close(slave)

    print(f"Check files: {folder}")
    print(f"Virtual serial port: {port}")
    print(f"Running: checkfeed --no-window --port {port}   (for {options.seconds:.0f} s)\n")
    print("    time  file          size  bytes")
    started = time.monotonic()
    program = subprocess.Popen([os.path.abspath(options.binary), "--no-window", "--port", port],
                               cwd=folder, stderr=subprocess.PIPE, text=True)
    os.set_blocking(program.stderr.fileno(), False)

    burst, burst_start, last = b"", 0.0, 0.0
    landed = 0
    try:
        while time.monotonic() - started < options.seconds:
            ready, _, _ = select.select([master, program.stderr], [], [], 0.1)
            now = time.monotonic()
            if program.stderr in ready:
                for line in program.stderr.read().splitlines():
                    print(f"{now - started:8.3f}  {line}")
            if master in ready:
                try:
                    data = os.read(master, 65536)
                except OSError:
                    data = b""
                if data and not burst:
                    burst_start = now
                burst += data
                last = now
            if burst and now - last > 0.5:
                landed += 1
                report(burst_start - started, burst)
                burst = b""
            if program.poll() is not None:
                break
    finally:
        program.send_signal(signal.SIGTERM)
        code = program.wait(timeout=10)
        os.close(master)
    if burst:
        report(burst_start - started, burst)
    print(f"\nStopped with SIGTERM: checkfeed exited with code {code}; {landed} files landed.")
    print(f"(The sample files stay in {folder}.)")
    return 0 if code == 0 else 1


def report(at, data):
    name = next((f"check{n}.txt" for n, content in SAMPLES.items() if content == data), "?")
    exact = "exact" if name != "?" else "does not match any file"
    print(f"{at:8.3f}  {name:11} {len(data):6}  {exact}")


if __name__ == "__main__":
    sys.exit(main())
