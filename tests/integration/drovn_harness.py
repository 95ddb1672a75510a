"""Runs the real drovn binary for end-to-end tests.

The binary is DROVN_BINARY (CTest sets it). Each DrovnProcess gets its own temporary store and
registry file, listens on a free port and announces 127.0.0.1; its log lines (standard output)
are collected by a thread so a test can wait for them.
"""

import os
import signal
import socket
import subprocess
import tempfile
import threading
import time

# Every wait of a test is bounded; sanitizer builds are slow, so the bounds are generous.
DEFAULT_TIMEOUT = 30.0


def binary():
    path = os.environ.get("DROVN_BINARY")
    if not path:
        raise RuntimeError("DROVN_BINARY is not set (run the tests through ctest)")
    return path


def free_port():
    """A port that was free a moment ago on 127.0.0.1."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_once(args, timeout=DEFAULT_TIMEOUT):
    """Runs drovn with args to its end; gives the CompletedProcess (text output)."""
    return subprocess.run([binary()] + list(args), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout, encoding="utf-8",
                          errors="replace")


class DrovnProcess:
    """One running server. Use as a context manager; stop() ends it by PID."""

    def __init__(self, extra_args=(), store=None, registry=None, port=None):
        self._tmp = tempfile.TemporaryDirectory(prefix="drovn-it-")
        self.store = store or os.path.join(self._tmp.name, "store")
        os.makedirs(self.store, exist_ok=True)
        self.registry = registry or os.path.join(self._tmp.name, "registry.reg")
        self._own_port = port is None
        self.port = port if port is not None else free_port()
        self.args = [binary(), "--headless", "--store", self.store, "--registry", self.registry,
                     "--port", str(self.port), "--set", "bind_manualip=127.0.0.1"]
        self.args += list(extra_args)
        self.lines = []
        self.times = []  # time.monotonic() at which each line arrived
        self.stderr_path = os.path.join(self._tmp.name, "stderr.txt")
        self._stderr = None
        self._cond = threading.Condition()
        self._eof = False
        self.proc = None
        self._reader = None

    def start(self):
        # Standard error goes to a file: a long sanitizer report must not block the server.
        self._stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(self.args, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=self._stderr)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        return self

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", errors="replace").rstrip("\n")
            with self._cond:
                self.lines.append(line)
                self.times.append(time.monotonic())
                self._cond.notify_all()
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    def wait_for_line(self, text, timeout=DEFAULT_TIMEOUT, start=0, prefix=False):
        """Waits for a line equal to text (or starting with it) at index >= start.

        Gives the line's index; raises AssertionError with the lines so far on time-out or when
        the output ends first.
        """
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i in range(start, len(self.lines)):
                    line = self.lines[i]
                    if line == text or (prefix and line.startswith(text)):
                        return i
                left = deadline - time.monotonic()
                if self._eof or left <= 0:
                    why = "output ended" if self._eof else "timed out"
                    raise AssertionError(f"{why} waiting for {text!r}; lines: {self.lines!r}")
                self._cond.wait(left)

    def wait_until_listening(self, timeout=DEFAULT_TIMEOUT):
        # A port that was free when it was picked may be taken by another test's connection by
        # the time the server binds it; a port of our own choosing is then picked again.
        for _ in range(3):
            if not (self._own_port and self._bind_refused(timeout)):
                break
            self.stop()
            self.proc.stdout.close()
            self._stderr.close()
            self._reader.join(DEFAULT_TIMEOUT)
            old = str(self.port)
            self.port = free_port()
            self.args = [str(self.port) if a == old else a for a in self.args]
            with self._cond:
                self.lines.clear()
                self.times.clear()
                self._eof = False
            self.start()
        return self.wait_for_line("服务地址: ftp://127.0.0.1", timeout)

    def _bind_refused(self, timeout):
        """Waits until the server listens, or says its port is taken (then True)."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                if any("端口已被占用" in line for line in self.lines):
                    return True
                if "服务地址: ftp://127.0.0.1" in self.lines or self._eof:
                    return False
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._cond.wait(left)

    def connect(self, timeout=DEFAULT_TIMEOUT):
        """A client socket on the control port (127.0.0.1 only)."""
        s = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        s.settimeout(timeout)
        return s

    def signal(self, sig):
        if self.proc and self.proc.poll() is None:
            os.kill(self.proc.pid, sig)

    def wait(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the end of the process and of its output; gives the exit status."""
        code = self.proc.wait(timeout=timeout)
        if self._reader:
            self._reader.join(timeout)
        return code

    def stop(self, timeout=DEFAULT_TIMEOUT):
        """SIGTERM by PID and wait; SIGKILL by PID only as a last resort. Gives the status."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.signal(signal.SIGTERM)
            try:
                return self.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        return self.wait(timeout)

    def stderr_text(self):
        if not os.path.exists(self.stderr_path):
            return ""
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", errors="replace")

    def close(self):
        try:
            self.stop()
        finally:
            if self.proc:
                self.proc.stdout.close()
            if self._stderr:
                self._stderr.close()
            self._tmp.cleanup()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()


def recv_reply(sock, timeout=DEFAULT_TIMEOUT):
    """Reads from sock until a CR LF ends the data; gives the bytes."""
    sock.settimeout(timeout)
    data = b""
    deadline = time.monotonic() + timeout
    while not data.endswith(b"\r\n"):
        if time.monotonic() > deadline:
            raise AssertionError(f"no complete reply, got {data!r}")
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def assert_clean_stderr(server):
    """Fails when a sanitizer or UBSan reported anything on the server's standard error."""
    text = server.stderr_text()
    if "runtime error" in text or "Sanitizer" in text:
        raise AssertionError(f"the server reported errors:\n{text}")
