"""Runs the real drovn (DROVN_BINARY, set by CTest) on a temporary store and a free port on
127.0.0.1, and talks to it with a bare client that sends any bytes and reads replies as bytes."""

import contextlib, json, os, re, signal, socket, struct, subprocess, tempfile, threading, time

TIMEOUT = 30.0  # every wait is bounded; sanitizer builds are slow, so generously
READY = "服务地址: ftp://127.0.0.1"
PASV = re.compile(rb"^227 \(127,0,0,1,(\d+),(\d+)\) Entering passive mode\.\.\.\r\n$")
STARTING = b"125 Connection transfer starting...\r\n"
DONE = b"226 Transfer completed.\r\n"
ABORTED = b"426 Connection transfer aborted.\r\n"

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

def wait_until(check, what, timeout=TIMEOUT, step=0.05):
    """Polls check() until it gives a true value, which it returns; fails after timeout."""
    deadline = time.monotonic() + timeout
    while not (got := check()):
        assert time.monotonic() < deadline, \
            f"timed out waiting for {what() if callable(what) else what}"
        time.sleep(step)
    return got

def read(path):
    with open(path, "rb") as f:
        return f.read()

def write(path, data, size=0):
    """Writes data to end the file at size at least: what comes before it is a hole."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.seek(max(size - len(data), 0))
        f.write(data)
        f.truncate(max(size, len(data)))

def temp_dir(test):
    tmp = tempfile.TemporaryDirectory(prefix="drovn-it-")
    test.addCleanup(tmp.cleanup)
    return tmp.name

def assert_clean(stderr):
    """Fails when a sanitizer reported anything on the server's standard error."""
    assert "runtime error" not in stderr and "Sanitizer" not in stderr, stderr

def settled_fds(pid, at_most=1 << 30):
    """The descriptor count once it is at most at_most and has stayed so for half a second."""
    seen = []
    wait_until(lambda: seen.append(len(os.listdir(f"/proc/{pid}/fd"))) or len(seen) > 5 and
               len(set(seen[-6:])) == 1 and seen[-1] <= at_most, "descriptors to settle", step=0.1)
    return seen[-1]

def write_report(name, content):
    if folder := os.environ.get("DROVN_REPORT_DIR"):
        write(os.path.join(folder, name), json.dumps(content).encode())

class Server:
    """One headless drovn: start() waits until it listens, close() stops it by PID and checks
    its standard error; a thread collects its log lines."""
    def __init__(self, extra=(), store=None):
        self._tmp = tempfile.TemporaryDirectory(prefix="drovn-it-")
        self.store = store or os.path.join(self._tmp.name, "store")
        os.makedirs(self.store, exist_ok=True)
        self.registry, self.stderr_path = (os.path.join(self._tmp.name, n) for n in "re")
        self.extra, self.proc = extra, None
    def start(self):
        # A port free when picked may be taken before the server binds it: then pick again.
        for _ in range(3):
            self.port, self.lines = free_port(), []
            args = [os.environ["DROVN_BINARY"], "--headless", "--store", self.store,
                    "--registry", self.registry, "--port", str(self.port),
                    "--set", "bind_manualip=127.0.0.1", *self.extra]
            # Standard error goes to a file: a long sanitizer report must not block the server.
            with open(self.stderr_path, "ab") as err:
                self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stderr=err,
                                             stdout=subprocess.PIPE)
            threading.Thread(target=self._read, args=(self.proc,), daemon=True).start()
            wait_until(lambda: READY in self.lines or [l for l in self.lines if "端口已被占用" in l],
                       lambda: f"the server to listen; lines: {self.lines!r}")
            if READY in self.lines:
                return self
            self.stop()
        raise AssertionError(f"no free port; lines: {self.lines!r}")
    __enter__ = start
    def _read(self, proc):
        for raw in proc.stdout:
            self.lines.append(raw.decode("utf-8", errors="replace").rstrip("\n"))
    def stop(self):
        """SIGTERM by PID and a wait; SIGKILL only as a last resort."""
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        self.proc.wait(TIMEOUT)
    def close(self):
        try:
            if self.proc and not self.proc.stdout.closed:
                self.stop()
                self.proc.stdout.close()
                assert_clean(read(self.stderr_path).decode("utf-8", errors="replace"))
        finally:
            self._tmp.cleanup()
    def __exit__(self, *exc):
        self.close()

def reset(sock):
    """Closes sock with an RST: a plain close would keep its session until the idle limit."""
    with contextlib.suppress(OSError):  # already closed
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()

class RawClient:
    def __init__(self, port, timeout=TIMEOUT):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buffer, self.timeout, self.moved = b"", timeout, 0
    def reply(self):
        """One reply line; None when the server closed the connection."""
        while b"\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)  # the socket's timeout bounds the wait
            if not chunk:
                assert not self.buffer, f"closed inside a reply: {self.buffer!r}"
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line + b"\r\n"
    def command(self, line):
        """Sends line (bytes or str) with CR LF; gives the reply."""
        self.sock.sendall((line.encode() if isinstance(line, str) else line) + b"\r\n")
        return self.reply()
    def login(self):
        assert self.reply() == b"220 Server ready...\r\n"
        assert self.command("USER anonymous").startswith(b"331 ")
        assert self.command("PASS guest") == b"230 Password ok.\r\n"
        return self
    def passive(self):
        assert (m := PASV.match(got := self.command("PASV"))), got
        return socket.create_connection(("127.0.0.1", int(m[1]) * 256 + int(m[2])), self.timeout)
    def transfer(self, command, send=None):
        """One passive data command; gives (first reply, final reply or None, bytes received)."""
        data, first, got = self.passive(), self.command(command), b""
        with data:
            if opened := first == STARTING:
                if send is not None:
                    data.sendall(send)
                while send is None and (chunk := data.recv(262144)):
                    got += chunk
        self.moved += len(got) + len(send or b"") * opened
        return first, self.reply() if opened else None, got
    def quit(self):
        """QUIT has no reply: the server closes the connection."""
        self.sock.sendall(b"QUIT\r\n")
        assert self.reply() is None
        self.sock.close()
