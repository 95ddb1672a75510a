"""A small FTP client for the measurements: one control connection, passive data connections.

Only 127.0.0.1 is ever contacted: the address a server announces in its PASV reply is checked
but the data connection always goes to the loopback address. Every socket call is bounded by
the session's timeout.
"""

import re
import socket
import struct
import time

HOST = "127.0.0.1"
_PASV = re.compile(rb"(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)")


class FtpError(Exception):
    pass


class GreetingRefused(FtpError):
    """The server answered the connection with something other than 220."""


class Session:
    def __init__(self, port, timeout=60.0, greeting_timeout=None):
        """Connect and read the greeting, within GREETING_TIMEOUT if given (else TIMEOUT)."""
        self.port = port
        self.timeout = timeout
        self.buf = bytearray()
        self.binary = False
        first = timeout if greeting_timeout is None else greeting_timeout
        self.sock = socket.create_connection((HOST, port), timeout=first)
        try:
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            code, text = self.reply()
            if code != 220:
                raise GreetingRefused(f"greeting: {text}")
            self.sock.settimeout(timeout)
        except BaseException:
            # Abort (RST) rather than close (FIN): a server that has not yet accepted the
            # connection then drops it, instead of later serving a session nobody reads.
            self.abort()
            raise

    # -- control connection -------------------------------------------------------------------
    def _line(self):
        while True:
            i = self.buf.find(b"\n")
            if i >= 0:
                line = bytes(self.buf[:i + 1])
                del self.buf[:i + 1]
                return line
            chunk = self.sock.recv(65536)
            if not chunk:
                raise FtpError("control connection closed by the server")
            self.buf += chunk

    def reply(self):
        """One whole reply (multi-line replies read to their last line): (code, first line)."""
        line = self._line()
        if len(line) < 4 or not line[:3].isdigit():
            raise FtpError(f"bad reply line {line!r}")
        if line[3:4] == b"-":
            while True:
                more = self._line()
                if more[:3] == line[:3] and more[3:4] == b" ":
                    break
        return int(line[:3]), line.decode("latin-1").rstrip("\r\n")

    def cmd(self, text, expect=None):
        """Send one command; with EXPECT (a string of allowed first digits) refuse other replies."""
        self.sock.sendall(text.encode("utf-8") + b"\r\n")
        try:
            code, msg = self.reply()
        except socket.timeout:
            raise FtpError(f"{text.split(' ', 1)[0]}: no reply within {self.timeout:.0f} s")
        if expect is not None and str(code)[0] not in expect:
            word = text.split(" ", 1)[0]
            raise FtpError(f"{word}: {msg}")
        return code, msg

    def login(self, user, password):
        code, msg = self.cmd(f"USER {user}")
        if code == 331:
            code, msg = self.cmd(f"PASS {password}")
        if code != 230:
            raise FtpError(f"login: {msg}")

    def noop_round_trip_ns(self):
        t0 = time.perf_counter_ns()
        self.sock.sendall(b"NOOP\r\n")
        code, msg = self.reply()
        t1 = time.perf_counter_ns()
        if code != 200:
            raise FtpError(f"NOOP: {msg}")
        return t1 - t0

    def quit(self):
        try:
            self.sock.settimeout(min(self.timeout, 5.0))
            self.cmd("QUIT")
            # Wait for the server to close its side, so its session slot is free again.
            while self.sock.recv(4096):
                pass
        except (OSError, FtpError):
            pass
        finally:
            self.close()

    def abort(self):
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        self.close()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    # -- data connections ---------------------------------------------------------------------
    def _open_passive(self):
        code, msg = self.cmd("PASV", "2")
        m = _PASV.search(msg.encode("latin-1"))
        if m is None:
            raise FtpError(f"PASV: {msg}")
        announced = ".".join(x.decode() for x in m.groups()[:4])
        if announced != HOST:
            raise FtpError(f"PASV announced {announced}, not {HOST}")
        port = int(m.group(5)) * 256 + int(m.group(6))
        try:
            return socket.create_connection((HOST, port), timeout=self.timeout)
        except OSError as e:
            raise FtpError(f"data connection to the PASV port {port}: {e}")

    def _final_reply(self, command):
        try:
            return self.reply()
        except socket.timeout:
            raise FtpError(f"{command.split()[0]}: no final reply within {self.timeout:.0f} s")

    def _type_i(self):
        if not self.binary:
            self.cmd("TYPE I", "2")
            self.binary = True

    def _receive_all(self, command, bufsize, keep):
        data = self._open_passive()
        try:
            self.cmd(command, "1")
            buf = bytearray(bufsize)
            view = memoryview(buf)
            total = 0
            kept = bytearray() if keep else None
            while True:
                try:
                    n = data.recv_into(view)
                except socket.timeout:
                    raise FtpError(f"{command.split()[0]}: no data for {self.timeout:.0f} s, "
                                   f"{total} bytes so far")
                if n == 0:
                    break
                total += n
                if keep:
                    kept += view[:n]
        finally:
            data.close()
        code, msg = self._final_reply(command)
        if code // 100 != 2:
            raise FtpError(f"{command.split()[0]} end: {msg}")
        return total, kept

    def retr(self, path, bufsize=1 << 20):
        """Download PATH, discarding the bytes; returns the byte count."""
        self._type_i()
        total, _ = self._receive_all(f"RETR {path}", bufsize, keep=False)
        return total

    def stor(self, path, payload):
        """Upload PAYLOAD (bytes-like) to PATH."""
        self._type_i()
        data = self._open_passive()
        try:
            self.cmd(f"STOR {path}", "1")
            try:
                data.sendall(payload)
            except socket.timeout:
                raise FtpError(f"STOR: data not taken for {self.timeout:.0f} s")
        finally:
            data.close()
        code, msg = self._final_reply("STOR")
        if code // 100 != 2:
            raise FtpError(f"STOR end: {msg}")

    def listing(self, command):
        """Run LIST or NLST in the current directory; returns the listing bytes."""
        _, kept = self._receive_all(command, 1 << 16, keep=True)
        return bytes(kept)
