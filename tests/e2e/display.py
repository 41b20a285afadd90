"""A private X display for the window's tests."""

import os
import select
import shutil
import signal
import subprocess
import unittest

from line import wait_until

class Xvfb:
    """A private X server for a window test, with openbox as window manager if asked."""

    def __init__(self, window_manager=False):
        for tool in ("Xvfb",) + (("openbox",) if window_manager else ()):
            if shutil.which(tool) is None:
                raise unittest.SkipTest(f"{tool} is not installed")
        self.xwindow = os.environ.get("CHECKFEED_XWINDOW")  # for the scenes that look at windows
        self.processes = []
        read_end, write_end = os.pipe()
        # -noreset: Xvfb otherwise resets when its last client leaves, and refuses connections
        # meanwhile; the program's display check and our own probes come and go.
        server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp",
                                   "-noreset", "-screen", "0", "1280x1024x24"],
                                  pass_fds=(write_end,),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  start_new_session=True)
        self.processes.append(server)
        os.close(write_end)
        number = b""
        while select.select([read_end], [], [], 10)[0]:
            piece = os.read(read_end, 16)
            number += piece
            if not piece or number.endswith(b"\n"):
                break
        os.close(read_end)
        if not number.strip():
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("QT_QPA_PLATFORM", None)
        if window_manager:
            self.processes.append(subprocess.Popen(
                ["openbox"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True))
            try:
                started = wait_until(lambda: self.x("wm", check=False).returncode == 0, 10)
            except BaseException:
                self.close()  # nothing started here outlives a failure to start the rest
                raise
            if not started:
                self.close()
                raise RuntimeError("openbox did not start")

    def x(self, *args, check=True):
        return subprocess.run([self.xwindow, *args], env=self.env, capture_output=True,
                              text=True, timeout=10, check=check)

    def find(self, title):
        return self.x("find", title).stdout.split()

    def wait_for(self, title, timeout):
        return wait_until(lambda: self.find(title), timeout, step=0.05)

    def frame(self, window):
        return tuple(int(value) for value in self.x("frame", window).stdout.split())

    def wait_for_frame(self, window, expected, timeout=5):
        """The window's frame once it is `expected`, or as it is after `timeout`: a window
        manager frames a new window, and the program fits itself to the frame, a moment after
        the window first shows."""
        return wait_until(lambda: self.frame(window) == expected, timeout) and expected \
            or self.frame(window)

    def close_window(self, window):
        self.x("close", window)

    def box_text(self, target, title):
        """The text of the box titled `title`, as its user reads it: under Wine, read by a
        Windows tool in the same session. None on Linux, where Qt draws the text itself."""
        if not target.windows:
            return None
        return target.wine_tool(os.environ["CHECKFEED_BOXTEXT"], title, env=self.env)

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait(timeout=5)
