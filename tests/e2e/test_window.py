"""The program with a window: placed and sized as designed, failures in one message box while
the sends keep their beat, and a clean end when the window is closed. Under Wine the window is
checkfeed.exe's own, on a bare Xvfb where Wine draws the frames."""

import os
import shutil
import signal
import subprocess
import tempfile

import harness
import network


class WindowRun(harness.Scene):
    def test_under_a_window_manager_failures_share_one_box_and_sends_keep_time(self):
        display = self.desktop(window_manager=True)
        check3 = self.write_check(3, b"three\r\n")
        check4 = self.write_check(4, b"four\r\n")
        arrivals = harness.Arrivals(self.pty)
        opens = self.watch_opens()
        program = self.start(env=display.env)

        form = display.wait_for("Form1", timeout=10 + self.target.startup)
        self.assertEqual(len(form), 1)
        # openbox frames the window, and the program fits itself to the frame, just after it
        # first shows: wait for that, not for a time.
        self.assertEqual(display.wait_for_frame(form[0], (601, 271, 353, 147)),
                         (601, 271, 353, 147))

        # check1.txt and check2.txt are missing: the second failure joins the first one's box.
        self.assertEqual(len(display.wait_for("checkfeed: 1 failure", timeout=7)), 1)
        box = display.wait_for("checkfeed: 2 failures", timeout=7)
        self.assertEqual(len(box), 1)
        self.assertEqual(display.find("checkfeed: 1 failure"), [])

        # With the box still open, the later files arrive on their slots: the third and fourth
        # ticks after the port was opened, at the show.
        bursts = arrivals.wait_for_bursts(2, timeout=15)
        self.assertEqual([data for _, data in bursts], [check3, check4])
        self.assertTrue(14.5 < bursts[0][0] - opens.first(timeout=0) < 15.5,
                        f"check3.txt {bursts[0][0] - opens.first(timeout=0):.3f} s after the show")
        self.assertAlmostEqual(bursts[1][0] - bursts[0][0], 5.0, delta=0.3)
        self.assertEqual(program.stderr.texts().count(
            f'checkfeed: Cannot open file "check1.txt": {self.target.missing}'), 1)

        # Dismiss the box: the next failure (check5.txt is missing too) opens a box of its own,
        # which tells it alone.
        display.close_window(box[0])
        self.assertTrue(harness.wait_until(lambda: not display.find("checkfeed: 2 failures"), 5))
        box = display.wait_for("checkfeed: 1 failure", timeout=7)
        self.assertEqual(len(box), 1, display.find("checkfeed: 3 failures"))
        # Then close the window as its close button would, once the box is answered.
        display.close_window(box[0])
        self.assertTrue(harness.wait_until(lambda: not display.find("checkfeed: 1 failure"), 5))
        display.close_window(form[0])
        self.assert_ends_cleanly(program)

    def test_without_a_window_manager_the_window_is_the_whole_frame(self):
        display = self.desktop(window_manager=False)
        program = self.start(env=display.env)
        form = display.wait_for("Form1", timeout=10 + self.target.startup)
        self.assertEqual(len(form), 1)
        self.assertEqual(display.wait_for_frame(form[0], (601, 271, 353, 147)),
                         (601, 271, 353, 147))
        if not self.target.windows:
            # The window is the module's: loaded now that a window is shown.
            self.assertIn("checkfeed-window.so", harness.toolkit_libraries(program.pid))
        display.close_window(form[0])
        self.assert_ends_cleanly(program)

    def test_a_stop_signal_closes_the_window_even_with_a_box_open(self):
        display = self.desktop(window_manager=False)
        program = self.start(env=display.env)
        self.assertEqual(len(display.wait_for("Form1", timeout=10 + self.target.startup)), 1)
        # The first tick, one period after the window was made.
        self.assertEqual(len(display.wait_for("checkfeed: 1 failure", timeout=7)), 1)
        self.stop(program)
        self.assert_ends_cleanly(program)

    def test_a_stop_ends_a_held_send_while_the_window_is_busy_in_it(self):
        display = self.desktop(window_manager=False)
        program = self.start_held_send(env=display.env)
        self.assertEqual(len(display.find("Form1")), 1)
        self.stop(program)  # SIGTERM; taskkill for checkfeed.exe, which Form1 cannot answer now
        self.assert_ends_cleanly(program, within=1.0)

    def test_no_usable_display_runs_without_a_window_and_maps_no_toolkit(self):
        self.linux_only("the toolkit and the module are Linux's")
        # An X display that does not answer, and an explicit --no-window.
        display = self.desktop(window_manager=False)
        unreachable = dict(display.env, DISPLAY=":9999")
        for env, args in ((unreachable, ()), (display.env, ("--no-window",))):
            with self.subTest(args=args):
                program = self.start(*args, env=env)
                self.assertTrue(program.stderr.wait_for(
                    lambda line: line == 'checkfeed: Cannot open file "check1.txt": '
                                         'No such file or directory', timeout=8))
                self.assertEqual(display.find("Form1"), [])
                self.assertEqual(harness.toolkit_libraries(program.pid), [])
                self.assertEqual(len(program.stderr.texts()), 1, program.stderr.texts())
                program.signal(signal.SIGHUP)
                self.assert_ends_cleanly(program)

    def test_a_missing_or_broken_window_module_runs_headless_and_says_so_once(self):
        self.linux_only("on Windows the window is linked into the program")
        display = self.desktop(window_manager=False)
        folder = tempfile.mkdtemp(prefix="checkfeed-nomodule-")
        self.addCleanup(shutil.rmtree, folder, True)
        binary = os.path.join(folder, "checkfeed")
        shutil.copy(self.binary, binary)
        for broken in (False, True):
            with self.subTest(broken=broken):
                if broken:
                    with open(os.path.join(folder, "checkfeed-window.so"), "wb") as module:
                        module.write(b"not a shared object\n" * 200)
                program = harness.Checkfeed(binary, self.files, self.pty, self.lock_dir,
                                            env=display.env)
                self.addCleanup(program.close)
                self.assertTrue(program.stderr.wait_for(
                    lambda line: line.startswith('checkfeed: Cannot open file "check1.txt"'), 8))
                said = program.stderr.texts()
                self.assertEqual(len(said), 2, said)
                self.assertTrue(said[0].startswith("checkfeed: no window: "), said)
                self.assertTrue(said[0].endswith("; running headless"), said)
                self.assertIn("invalid ELF header" if broken else
                              "the window module checkfeed-window.so is not installed", said[0])
                self.assertEqual(display.find("Form1"), [])
                program.signal(signal.SIGTERM)
                self.assert_ends_cleanly(program)


    def test_a_port_that_is_not_there_is_told_in_the_box_with_the_ports_that_are(self):
        display = self.desktop(window_manager=False)
        if self.target.windows:
            # A computer with COM3 and COM7, and no COM1: the default port is not there. Then one
            # whose COM1 is listed but is /dev/null, which opens but answers no serial request: it
            # is refused, and the box suggests another port.
            cases = [(["COM3", "COM7"], None, self.target.missing, "Serial ports"),
                     (["COM1", "COM3", "COM7"], "/dev/null", "not a serial port (", "Other serial ports")]
            args, port, options = (), "COM1", {"com1": False}
        else:
            cases = [(None, None, "No such file or directory", None)]
            args, port, options = ("--port", "/dev/checkfeed-absent"), "/dev/checkfeed-absent", {}
        for mapped, com1, reason, listed in cases:
            with self.subTest(mapped=mapped):
                if mapped:
                    self.target.map_only(mapped)
                    self.addCleanup(self.target.restore_ports)
                if com1:
                    link = os.path.join(self.target.ports, "com1")
                    os.symlink(com1, link)
                    self.addCleanup(os.unlink, link)
                program = self.start(*args, env=display.env, **options)
                self.assertEqual(len(display.wait_for("Form1", timeout=10 + self.target.startup)),
                                 1)
                # At the show, well within the first tick.
                box = display.wait_for("checkfeed: 1 failure", timeout=5)
                self.assertEqual(len(box), 1)
                # Windows' own words for why, after "not a serial port (" where it opened.
                cannot = f'Cannot open port "{port}": {reason}'
                said = program.stderr.texts()[:1]
                self.assertTrue(said and said[0].startswith(f"checkfeed: {cannot}"), said)
                cannot = said[0][len("checkfeed: "):]
                text = display.box_text(self.target, "checkfeed: 1 failure")
                if text is not None:
                    self.assertEqual(text, f"{cannot}. {listed} on this computer: COM3, COM7. "
                                           "Start checkfeed with --port COM3 (see README.txt).\n")
                # Answered, then the window closed: the box is modal to it.
                display.close_window(box[0])
                self.assertTrue(harness.wait_until(
                    lambda: not display.find("checkfeed: 1 failure"), 5))
                display.close_window(display.find("Form1")[0])
                self.assert_ends_cleanly(program)
        # A port on the network that refuses the connection: told at the show, with what to check.
        number = network.free_port()
        port = f"rfc2217://127.0.0.1:{number}"
        program = self.start("--port", port, env=display.env, **options)
        self.assertEqual(len(display.wait_for("Form1", timeout=10 + self.target.startup)), 1)
        box = display.wait_for("checkfeed: 1 failure", timeout=5)
        self.assertEqual(len(box), 1)
        said = program.stderr.texts()[:1]
        self.assertTrue(said and said[0].startswith(
            f'checkfeed: Cannot open port "{port}": cannot connect to 127.0.0.1 port {number}: '),
            said)
        text = display.box_text(self.target, "checkfeed: 1 failure")
        if text is not None:
            self.assertEqual(text, said[0][len("checkfeed: "):] + ". Check that the device server "
                             "or ser2net runs and serves that port, and that this computer can "
                             "reach it; with --reconnect checkfeed tries again at each tick (see "
                             "README.txt).\n")
        display.close_window(box[0])
        self.assertTrue(harness.wait_until(lambda: not display.find("checkfeed: 1 failure"), 5))
        display.close_window(display.find("Form1")[0])
        self.assert_ends_cleanly(program)

    def test_with_reconnect_a_port_that_comes_back_is_shown_as_back(self):
        display = self.desktop(window_manager=False)
        self.write_check(1, b"one")
        port, name, link = self.target.port(self.workdir, self.pty, 12)
        os.unlink(link.path)  # not plugged in at start
        program = self.start("--reconnect", "--port", port, env=display.env)
        self.assertEqual(len(display.wait_for("Form1", timeout=10 + self.target.startup)), 1)
        self.assertEqual(len(display.wait_for("checkfeed: 1 failure", timeout=5)), 1)
        arrivals = harness.Arrivals(self.pty)
        link.plug(self.pty)
        # At the next tick it opens and sends: the box says so, and its failure is gone.
        self.assertEqual(len(display.wait_for("checkfeed: working again", timeout=7)), 1)
        self.assertEqual(display.find("checkfeed: 1 failure"), [])
        self.assertEqual(arrivals.wait_for_bytes(3, timeout=5), 3)
        text = display.box_text(self.target, "checkfeed: working again")
        if text is not None:
            self.assertEqual(text, f'Port "{name}" is open\n')
        self.stop(program)
        self.assert_ends_cleanly(program)

    def test_the_windowed_program_answers_its_command_line_in_a_box(self):
        if not self.target.windowed:
            self.skipTest("Windows only: checkfeed.exe has no console to write to")
        display = self.desktop(window_manager=False)
        for args, title, says, code in (
                (("--baud", "49"), "checkfeed: bad command line",
                 'checkfeed: --baud "49": give bits per second, from 50 to 12000000', 2),
                (("--help",), "checkfeed --help", "Usage: checkfeed [--port DEVICE]", 0),
                (("--version",), "checkfeed --version", "checkfeed 1.0.0", 0)):
            with self.subTest(args=args):
                program = self.start(*args, env=display.env)
                box = display.wait_for(title, timeout=10 + self.target.startup)
                self.assertEqual(len(box), 1)
                self.assertIn(says, display.box_text(self.target, title))
                self.assertIsNone(program.process.poll(), "ended before the box was answered")
                display.close_window(box[0])
                self.assertEqual(program.wait(timeout=10)[0], code)

    def test_the_end_of_the_session_closes_the_port_and_ends_the_program(self):
        if not self.target.windows:
            self.skipTest("Windows only: a logoff or a shutdown")
        display = self.desktop(window_manager=False)
        # In a held send, which Form1 is busy in: the program hears the session end all the same.
        program = self.start_held_send(env=display.env)
        self.assertEqual(len(display.find("Form1")), 1)
        # What Windows does at a logoff: WM_QUERYENDSESSION, then WM_ENDSESSION, to every window.
        subprocess.run([self.target.wine, "wineboot", "--end-session"], env=display.env,
                       capture_output=True, timeout=30)
        self.assert_ends_cleanly(program, within=1.0)


if __name__ == "__main__":
    harness.main()
