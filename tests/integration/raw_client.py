"""A bare control-connection client for the fault and bad-input tests: it sends any bytes, reads
replies byte for byte, and can reset a connection (SO_LINGER 0) instead of closing it."""

import ftplib
import hashlib
import io
import json
import os
import random
import re
import socket
import struct
import time

from drovn_harness import DEFAULT_TIMEOUT

PASSIVE_REPLY = re.compile(rb"^227 \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\) Entering passive mode\.\.\.\r\n$")


def reset(sock):
    """Closes sock with an RST instead of a FIN."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


class RawClient:
    def __init__(self, port, timeout=DEFAULT_TIMEOUT):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.settimeout(timeout)
        self.buffer = b""
        self.timeout = timeout

    def reply(self, timeout=None):
        """One reply (every line of a multi-line one), as bytes."""
        deadline = time.monotonic() + (timeout or self.timeout)
        text = b""
        while True:
            while b"\r\n" not in self.buffer:
                if time.monotonic() > deadline:
                    raise AssertionError(f"no complete reply, got {text + self.buffer!r}")
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise EOFError(f"connection closed, got {text + self.buffer!r}")
                self.buffer += chunk
            line, self.buffer = self.buffer.split(b"\r\n", 1)
            text += line + b"\r\n"
            # A multi-line reply ends with its code and a space.
            if len(text) >= 4 and text[3:4] == b"-":
                if line[:3] == text[:3] and line[3:4] == b" ":
                    return text
                continue
            return text

    def send(self, data):
        self.sock.sendall(data)

    def command(self, line):
        """Sends line (bytes or str) with CR LF; gives the reply."""
        if isinstance(line, str):
            line = line.encode("utf-8")
        self.send(line + b"\r\n")
        return self.reply()

    def login(self):
        assert self.reply() == b"220 Server ready...\r\n"
        assert self.command("USER anonymous").startswith(b"331 ")
        got = self.command("PASS guest@example.com")
        assert got == b"230 Password ok.\r\n", got
        return self

    def passive(self):
        """PASV and a connected data socket."""
        got = self.command("PASV")
        m = PASSIVE_REPLY.match(got)
        assert m, got
        host = ".".join(x.decode() for x in m.groups()[:4])
        assert host == "127.0.0.1", got
        port = int(m.group(5)) * 256 + int(m.group(6))
        data = socket.create_connection(("127.0.0.1", port), timeout=self.timeout)
        data.settimeout(self.timeout)
        return data

    def quit(self):
        """QUIT, which has no reply: the server closes the connection."""
        self.send(b"QUIT\r\n")
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            try:
                if not self.sock.recv(65536):
                    break
            except OSError:
                break
        self.sock.close()

    def close(self):
        self.sock.close()

    def reset(self):
        reset(self.sock)


def fresh_client_works(test, port, size=300_000, seed=None):
    """Asserts that a new client logs in, uploads a payload and reads it back unchanged."""
    payload = random.Random(seed if seed is not None else time.monotonic_ns()).randbytes(size)
    name = f"fresh-{os.getpid()}-{time.monotonic_ns()}.bin"
    ftp = ftplib.FTP(timeout=DEFAULT_TIMEOUT)
    try:
        test.assertEqual(ftp.connect("127.0.0.1", port), "220 Server ready...")
        test.assertEqual(ftp.login("anonymous", "guest@example.com"), "230 Password ok.")
        test.assertEqual(ftp.storbinary("STOR " + name, io.BytesIO(payload)),
                         "226 Transfer completed.")
        chunks = []
        test.assertEqual(ftp.retrbinary("RETR " + name, chunks.append),
                         "226 Transfer completed.")
        test.assertEqual(hashlib.sha256(b"".join(chunks)).hexdigest(),
                         hashlib.sha256(payload).hexdigest())
        test.assertEqual(ftp.delete(name), "250 DELE command ok.")
        # A client that only closes keeps its session until the idle limit; QUIT ends it.
        ftp.putcmd("QUIT")
        with test.assertRaises(EOFError):
            ftp.getline()
    finally:
        ftp.close()


def open_fds(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except FileNotFoundError:
        return -1


def wait_fds(pid, target, timeout=DEFAULT_TIMEOUT):
    """Waits until the process has at most target descriptors open; gives the last count."""
    deadline = time.monotonic() + timeout
    count = open_fds(pid)
    while count > target and time.monotonic() < deadline:
        time.sleep(0.05)
        count = open_fds(pid)
    return count


def write_report(name, content):
    folder = os.environ.get("DROVN_REPORT_DIR")
    if not folder:
        return
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
        json.dump(content, f)
        f.write("\n")
