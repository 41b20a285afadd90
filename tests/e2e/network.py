"""Ports on the network for the end-to-end tests: Debian's ser2net in front of a test's pty, and a
small RFC 2217 server of the harness's own for what ser2net does not do (never acknowledging,
refusing or changing a setting, stopping its reads, sending what is not telnet). Both listen on
127.0.0.1 only, each on a free port, and stop with their test: ser2net before the pty behind it,
which it would otherwise spin on."""

import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from line import wait_until

IAC, SB, SE, WILL, WONT, DO, DONT = 255, 250, 240, 251, 252, 253, 254
COM_PORT = 44


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    """Whether something listens on 127.0.0.1's `port` (state 0A in /proc/net/tcp)."""
    with open("/proc/net/tcp") as table:
        return any(fields[1] == f"0100007F:{port:04X}" and fields[3] == "0A"
                   for fields in (line.split() for line in table.readlines()[1:]))


class Ser2net:
    """ser2net serving `device` on a free port: RFC 2217 (telnet) or, with `raw`, the bytes as
    they are. Run without its default configuration, and stopped (also by its test's cleanup)
    before the device behind it goes."""

    def __init__(self, device, raw=False):
        if shutil.which("ser2net") is None:
            raise unittest.SkipTest("ser2net is not installed (scripts/deps.sh linux)")
        self.port = free_port()
        self.raw = raw
        self.folder = tempfile.mkdtemp(prefix="checkfeed-ser2net-")
        self.config = os.path.join(self.folder, "ser2net.yaml")
        accepter = "tcp" if raw else "telnet(rfc2217),tcp"
        with open(self.config, "w") as config:
            config.write(f"connection: &feed\n"
                         f"  accepter: {accepter},127.0.0.1,{self.port}\n"
                         f"  connector: serialdev,{device},9600n81,local\n")
        self.process = None
        self.start()

    def url(self):
        return f"{'socket' if self.raw else 'rfc2217'}://127.0.0.1:{self.port}"

    def start(self):
        # -n: in the foreground; -u: no UUCP lock files; -c: this configuration alone.
        self.process = subprocess.Popen(["ser2net", "-n", "-d", "-u", "-c", self.config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        start_new_session=True)
        if not wait_until(lambda: listening(self.port), 5):
            self.stop()
            raise AssertionError("ser2net did not listen")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=5)

    def close(self):
        self.stop()
        shutil.rmtree(self.folder, True)


class Server:
    """A server of the test's own on 127.0.0.1 (or `host`), a free port unless `port` is given,
    one client at a time, each served by _talk(client) on a thread of its own until close()."""

    def __init__(self, host="127.0.0.1", port=0, receive_buffer=None):
        self.received = bytearray()
        self.listener = socket.socket()
        if receive_buffer:
            self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.listener.bind((host, port))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.listener.settimeout(0.2)
        while self.running:
            try:
                client, _ = self.listener.accept()
            except (socket.timeout, OSError):
                continue
            with client:
                client.settimeout(0.2)
                self._talk(client)

    def pieces(self, client, size=4096):
        """What the client sends, piece by piece, until it closes, fails, or the server closes."""
        while self.running:
            try:
                chunk = client.recv(size)
            except socket.timeout:
                continue
            except OSError:
                return
            if not chunk:
                return
            yield chunk

    def close(self):
        self.running = False
        self.thread.join(timeout=2)
        self.listener.close()


class Rfc2217Server(Server):
    """A server of the test's own, one client at a time, on a free port of 127.0.0.1:

    answer   agrees to every option and acknowledges every command with its value
    silent   says nothing at all
    refuse   refuses COM-PORT-OPTION
    change   acknowledges the speed as 115200, whatever was asked
    stall    answers the opening, then reads no more (its receive buffer small)
    garbage  answers the opening, then sends `garbage` and goes on answering

    `talk`: the device's bytes it says once, 50 ms after it answered the opening, whatever else it
    does. What the client sent as data (unescaped) is in `received`."""

    def __init__(self, behaviour="answer", garbage=b"", talk=b""):
        self.behaviour = behaviour
        self.garbage = garbage
        self.talk = talk
        super().__init__(receive_buffer=4096 if behaviour == "stall" else None)

    def url(self):
        return f"rfc2217://127.0.0.1:{self.port}"

    def _talk(self, client):
        if self.behaviour == "refuse":
            client.sendall(bytes([IAC, DONT, COM_PORT]))
        elif self.behaviour != "silent":
            client.sendall(bytes([IAC, DO, COM_PORT, IAC, WILL, 0, IAC, DO, 0]))
        state, sub, opened = "data", bytearray(), False
        for chunk in self.pieces(client, 65536):
            for byte in chunk:
                if state == "data":
                    if byte == IAC:
                        state = "iac"
                    else:
                        self.received.append(byte)
                elif state == "iac":
                    state = {IAC: "data", SB: "sb"}.get(byte, "option" if byte >= WILL else "data")
                    if byte == IAC:
                        self.received.append(IAC)
                    sub = bytearray()
                elif state == "option":
                    state = "data"
                elif state == "sb":
                    state = "sb-iac" if byte == IAC else "sb"
                    if byte != IAC:
                        sub.append(byte)
                elif state == "sb-iac":
                    if byte == SE:
                        state = "data"
                        opened = self._answer(client, sub) or opened
                    else:
                        sub.append(byte)
                        state = "sb"
            if self.behaviour == "stall" and opened:
                while self.running:  # reads no more
                    time.sleep(0.05)
                return

    def _answer(self, client, sub):
        """Acknowledges a command; true for the purge, the opening's last."""
        if self.behaviour in ("silent", "refuse") or len(sub) < 2 or sub[0] != COM_PORT:
            return False
        command, value = sub[1], bytes(sub[2:])
        if self.behaviour == "change" and command == 1:
            value = (115200).to_bytes(4, "big")
        escaped = value.replace(bytes([IAC]), bytes([IAC, IAC]))
        client.sendall(bytes([IAC, SB, COM_PORT, command + 100]) + escaped + bytes([IAC, SE]))
        if self.behaviour == "garbage" and command == 12:
            client.sendall(self.garbage)
        if self.talk and command == 12:
            threading.Thread(target=self._talk_on, args=(client,), daemon=True).start()
        return command == 12

    def _talk_on(self, client):
        time.sleep(0.05)
        try:
            client.sendall(self.talk.replace(bytes([IAC]), bytes([IAC, IAC])))
        except OSError:
            pass



class RawServer(Server):
    """A socket:// server that records what it receives in `received`. With `reset_after`, it
    reads that many bytes, then stops reading for a moment (the client's bytes pile up) and resets
    the connection."""

    def __init__(self, reset_after=None, host="127.0.0.1", port=0):
        self.reset_after = reset_after
        super().__init__(host, port)

    def url(self):
        return f"socket://127.0.0.1:{self.port}"

    def _talk(self, client):
        for chunk in self.pieces(client):
            self.received += chunk
            if self.reset_after is not None and len(self.received) >= self.reset_after:
                time.sleep(0.5)
                client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return  # closed with unread bytes and no linger: a reset


# Servers for a network namespace of a test's own, started by the program's namespace setup
# (python3 network.py KIND ...), and ended with the program's process group:
#   sink PORT FILE   a socket:// server on 127.0.0.1:PORT, every client's bytes appended to FILE
#   silent-dns FILE  a DNS server on 127.0.0.1:53 that reads every question and answers none
# Each makes FILE once it listens.
def serve(kind, *args):
    if kind == "sink":
        port, path = int(args[0]), args[1]
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", port))
        listener.listen(4)
        open(path, "ab").close()  # listening: the file says so
        def take(client):
            with client, open(path, "ab", buffering=0) as out:
                for chunk in iter(lambda: client.recv(4096), b""):
                    out.write(chunk)
        while True:  # each client on a thread of its own: one that vanished holds no other up
            threading.Thread(target=take, args=(listener.accept()[0],), daemon=True).start()
    elif kind == "silent-dns":
        dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        dns.bind(("127.0.0.1", 53))
        open(args[0], "w").close()  # listening: the file says so
        while True:
            dns.recv(4096)


if __name__ == "__main__":
    serve(*sys.argv[1:])
