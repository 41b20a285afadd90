"""The command line: options that work, and bad ones that end the program before it opens
anything."""

import os
import signal

import harness

USAGE = "Usage: checkfeed [--port DEVICE] "


class CommandLine(harness.Scene):
    def run_to_end(self, *args):
        program = self.start(*args)
        code, _ = program.wait(timeout=10)
        return code, program

    def test_a_bad_command_line_exits_2_and_opens_nothing(self):
        opens = harness.OpenCounter(self.pty.path)
        self.addCleanup(opens.close)
        for args in (("--colour",), ("extra",), ("--port",), ("--port", "COM0"),
                     ("--port", "ttyS0"), ("--no-window", "--bogus"), ("--baud", "fast"),
                     ("--framing", "8N3"), ("--flow", "cts"), ("--dtr", "yes"),
                     ("--char-delay", "-1"), ("--period", "0")):
            with self.subTest(args=args):
                code, program = self.run_to_end(*args)
                self.assertEqual(code, 2)
                errors = program.stderr.texts()
                self.assertTrue(errors[0].startswith("checkfeed: "), errors)
                self.assertTrue(any(line.startswith(USAGE) for line in errors), errors)
                self.assertEqual(program.stdout.texts(), [])
        # A --dir or a --log that cannot serve: said in one line.
        for option, path, reason in (("--dir", "/nonexistent", self.target.missing),
                                     ("--dir", "/etc/hostname", "not a directory"),
                                     ("--log", "/nonexistent/run.log", self.target.no_folder)):
            with self.subTest(option=option, path=path):
                code, program = self.run_to_end(option, path)
                self.assertEqual((code, program.stderr.texts()),
                                 (2, [f'checkfeed: {option} "{path}": {reason}']))
        self.assertEqual(opens.count(), 0)
        self.assertEqual(os.listdir(self.lock_dir), [])

    def test_help_and_version(self):
        code, program = self.run_to_end("--help")
        self.assertEqual(code, 0)
        text = program.stdout.texts()
        self.assertTrue(text[0].startswith(USAGE), text[0])
        self.assertTrue(any("Exit status: 0 stopped normally, 1 fatal failure, 2 bad command line."
                            in line for line in text))
        code, program = self.run_to_end("--version")
        self.assertEqual((code, program.stdout.texts()), (0, ["checkfeed 1.0.0"]))

    def test_list_ports_names_the_ports_without_opening_them(self):
        opens = self.watch_opens()
        if self.target.windows:
            # The prefix maps every COM name, and Windows lists the ports present by their names.
            code, program = self.run_to_end("--list-ports")
            self.assertEqual((code, program.stdout.texts()),
                             (0, [f"COM{n}" for n in range(1, 256)]))
        else:
            # A machine as udev and the kernel show it, in the program's own mount namespace: an
            # adapter by its stable name, its node a pty, and two ttyS nodes of which one has a
            # UART behind it.
            node = os.path.join(self.workdir, "usb-node")
            setup = (f"touch {node} && mount --bind {self.pty.path} {node} && "
                     f"mount -t tmpfs dev /dev && touch /dev/ttyUSB3 && "
                     f"mount --bind {node} /dev/ttyUSB3 && mkdir -p /dev/serial/by-id && "
                     "ln -s ../../ttyUSB3 /dev/serial/by-id/usb-Test_Adapter_42-if00 && "
                     "mount -t tmpfs sys /sys/class/tty && mkdir -p /sys/class/tty/ttyUSB3 "
                     "/sys/class/tty/ttyS0/device /sys/class/tty/ttyS1/device && "
                     "echo 4 >/sys/class/tty/ttyS0/type && echo 0 >/sys/class/tty/ttyS1/type && ")
            program = self.start("--list-ports", setup=setup)
            code, _ = program.wait(timeout=10)
            self.assertEqual((code, program.stdout.texts()),
                             (0, ["/dev/serial/by-id/usb-Test_Adapter_42-if00  /dev/ttyUSB3",
                                  "/dev/ttyS0  COM1"]))
        self.assertEqual(program.stderr.texts(), [])
        self.assertEqual(opens.count(), 0)

    def test_port_by_com_name_or_by_path(self):
        self.write_check(1, b"one")
        if self.target.windows:
            lock_names = {("--port", "COM1"): None, ("--port", r"\\.\com1"): None}
        else:
            lock_names = {("--port", "COM1"): "LCK..ttyS0",
                          ("--port", self.pty.path): "LCK.." + self.pty.path[5:].replace("/", "_")}
        for args, lock_name in lock_names.items():
            with self.subTest(args=args):
                arrivals = harness.Arrivals(self.pty)
                program = self.start("--no-window", *args)
                self.assertEqual(len(arrivals.wait_for_bursts(1, timeout=8 + self.target.startup)),
                                 1)
                self.assertEqual(arrivals.data(), b"one")
                arrivals.stop()
                self.assertEqual(os.listdir(self.lock_dir), [lock_name] if lock_name else [])
                program.signal(signal.SIGINT)
                code, _ = program.wait(timeout=5)
                self.assertEqual(code, 0)
                self.assertEqual(os.listdir(self.lock_dir), [])


if __name__ == "__main__":
    harness.main()
