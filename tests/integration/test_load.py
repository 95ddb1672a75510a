"""Load with checksums: 50 concurrent sessions against the real program, each doing a few hundred
random operations (STOR, RETR, APPE, REST with RETR and STOR, LIST, NLST, RNFR/RNTO, DELE,
MKD/RMD) in its own folder, passive and active mode mixed. A model knows what every file must
hold; at the end every file's SHA-256 matches it, every reply was the expected one, the server's
descriptors are back to their idle count and its resident memory back near its idle size. A 51st
client connecting meanwhile waits unanswered and is served once a slot frees.

DROVN_LOAD_SCALE scales the operation count (a sanitizer build is detected and scaled down on
its own); DROVN_LOAD_SEED fixes the seed; DROVN_REPORT_DIR receives load.json.
"""

import hashlib
import json
import os
import random
import socket
import struct
import sys
import threading
import time
import unittest

from drovn_harness import DrovnProcess, binary

SESSIONS = 50
BASE_OPERATIONS = 300
KIB = 1 << 10
MIB = 1 << 20
# Connecting: a connection that got no greeting in this time was lost to the short accept queue.
GREETING_WAIT = 3.0
CONNECT_ATTEMPTS = 100
# Resident memory may stay this much above the idle size once the load is over: the allocator
# keeps freed transfer buffers and the C library keeps thread stacks for reuse. A leak of one
# transfer buffer per operation would be far past it.
RSS_TOLERANCE_KIB = 32 * KIB
SANITIZER_RSS_TOLERANCE_KIB = 512 * KIB  # ASan's quarantine and shadow memory hold on to more
SETTLE_TIME = 30.0

EXPECT_PASV_OPENED = "125 Connection transfer starting..."
EXPECT_ACTIVE_OPENING = "150 Opening data connection..."
EXPECT_DONE = "226 Transfer completed."
EXPECT_DENIED = "550 Access denied!"


def sanitizer_build():
    """True when the binary carries a sanitizer runtime (they run many times slower)."""
    with open(binary(), "rb") as f:
        data = f.read()
    return b"__asan_init" in data or b"__tsan_init" in data


def scale():
    text = os.environ.get("DROVN_LOAD_SCALE")
    if text:
        return max(0.01, float(text))
    return 0.5 if sanitizer_build() else 1.0


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


class Mismatch(Exception):
    pass


class Client:
    """A minimal FTP client that checks every reply against the one expected."""

    def __init__(self, port, timeout):
        self.port = port
        self.timeout = timeout
        self.sock = None
        self.buffer = b""
        self.wrong = []  # (command, expected, got)
        self.replies = 0
        self.moved = 0

    # ---- control connection ----

    def connect(self):
        """Dials until a greeting arrives; a dial that got none is reset and tried again."""
        for _ in range(CONNECT_ATTEMPTS):
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            try:
                sock.settimeout(GREETING_WAIT)
                sock.connect(("127.0.0.1", self.port))
                self.sock = sock
                self.buffer = b""
                greeting = self.read_reply()
                sock.settimeout(self.timeout)
                self.check("greeting", "220 Server ready...", greeting)
                return
            except (socket.timeout, ConnectionError):
                self.sock = None
                self.abort(sock)
        raise AssertionError(f"no greeting after {CONNECT_ATTEMPTS} dials")

    @staticmethod
    def abort(sock):
        # A reset, not a close: a closed connection would keep its slot until the idle limit.
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        sock.close()

    def read_reply(self):
        while b"\r\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                if self.buffer:
                    raise Mismatch(f"connection ended inside a reply: {self.buffer!r}")
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        self.replies += 1
        return line.decode("utf-8", errors="replace")

    def check(self, command, expected, got):
        if got != expected:
            self.wrong.append((command, expected, got))
            raise Mismatch(f"{command}: expected {expected!r}, got {got!r}")

    def command(self, line, expected):
        self.sock.sendall(line.encode("utf-8") + b"\r\n")
        reply = self.read_reply()
        if expected is not None:
            self.check(line, expected, reply)
        return reply

    def quit(self):
        self.sock.sendall(b"QUIT\r\n")
        # The server answers QUIT by closing the connection.
        self.check("QUIT", None, self.read_reply())
        self.sock.close()
        self.sock = None

    # ---- data connections ----

    def transfer(self, line, passive, send=None):
        """Runs one data command; gives the bytes received (None for an upload)."""
        if passive:
            reply = self.command("PASV", None)
            if not reply or not reply.startswith("227 ("):
                self.check("PASV", "227 (...)", reply)
            numbers = reply[reply.index("(") + 1:reply.index(")")].split(",")
            host = ".".join(numbers[:4])
            if host != "127.0.0.1":
                self.check("PASV address", "127.0.0.1", host)
            data = socket.create_connection(
                (host, int(numbers[4]) * 256 + int(numbers[5])), timeout=self.timeout)
            opened = EXPECT_PASV_OPENED
        else:
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.bind(("127.0.0.1", 0))
            listener.listen(1)
            listener.settimeout(self.timeout)
            port = listener.getsockname()[1]
            self.command(f"PORT 127,0,0,1,{port >> 8},{port & 255}", "200 PORT command ok.")
            opened = EXPECT_ACTIVE_OPENING
        try:
            self.command(line, opened)
            if not passive:
                data, _ = listener.accept()
                data.settimeout(self.timeout)
            received = None
            with data:
                if send is not None:
                    data.sendall(send)
                    self.moved += len(send)
                else:
                    pieces = []
                    while True:
                        chunk = data.recv(256 * KIB)
                        if not chunk:
                            break
                        pieces.append(chunk)
                    received = b"".join(pieces)
                    self.moved += len(received)
        finally:
            if not passive:
                listener.close()
        self.check(line, EXPECT_DONE, self.read_reply())
        return received


class Worker:
    """One session: random operations in its own folder against a model of its files."""

    def __init__(self, index, port, seed, operations, pool, timeout):
        self.index = index
        self.folder = f"s{index:02d}"
        self.rng = random.Random(seed * 1000 + index)
        self.operations = operations
        self.pool = pool
        self.client = Client(port, timeout)
        self.files = {}  # name -> content
        self.dirs = set()
        self.counter = 0
        self.done_ops = 0
        self.mismatches = 0
        self.error = None
        self.quit_at = None

    def fresh(self, prefix):
        self.counter += 1
        # Some names carry a space, which the server takes whole.
        return f"{prefix}{self.counter}" + (" x" if self.counter % 5 == 0 else "")

    def payload(self):
        roll = self.rng.random()
        if roll < 0.70:
            size = self.rng.randrange(0, 64 * KIB)
        elif roll < 0.96:
            size = self.rng.randrange(64 * KIB, 512 * KIB)
        else:
            size = self.rng.randrange(512 * KIB, 3 * MIB)
        start = self.rng.randrange(0, len(self.pool) - size + 1)
        return bytes(self.pool[start:start + size])

    def some_file(self):
        return self.rng.choice(sorted(self.files)) if self.files else None

    def compare(self, what, got, expected):
        if got != expected:
            self.mismatches += 1
            raise Mismatch(f"{self.folder} {what}: {len(got)} bytes differ from the "
                           f"model's {len(expected)}")

    def login(self):
        c = self.client
        c.connect()
        c.command("USER anonymous", None)
        c.command("PASS guest", "230 Password ok.")
        c.command("TYPE I", "200 Type is set to 'I'.")
        c.command(f"MKD {self.folder}", "257 Directory created.")
        c.command(f"CWD {self.folder}", f"250 Directory changed to /{self.folder}")

    def step(self):
        c = self.client
        passive = self.rng.random() < 0.5
        op = self.rng.choices(
            ["STOR", "RETR", "APPE", "REST_RETR", "REST_STOR", "LIST", "NLST", "RENAME",
             "DELE", "MKD", "RMD", "MISSING"],
            [14, 16, 8, 8, 8, 5, 5, 6, 6, 3, 3, 2])[0]
        name = self.some_file()
        if op in ("RETR", "REST_RETR", "REST_STOR", "RENAME", "DELE") and name is None:
            op = "STOR"
        if op == "STOR":
            name = self.fresh("f") if name is None or self.rng.random() < 0.5 else name
            data = self.payload()
            c.transfer(f"STOR {name}", passive, send=data)
            self.files[name] = data
        elif op == "RETR":
            self.compare(f"RETR {name}", c.transfer(f"RETR {name}", passive), self.files[name])
        elif op == "APPE":
            name = self.fresh("f") if name is None or self.rng.random() < 0.3 else name
            data = self.payload()
            c.transfer(f"APPE {name}", passive, send=data)
            self.files[name] = self.files.get(name, b"") + data
        elif op == "REST_RETR":
            offset = self.rng.randrange(0, len(self.files[name]) + 1)
            c.command(f"REST {offset}", f"350 REST from {offset}")
            self.compare(f"REST {offset} RETR {name}", c.transfer(f"RETR {name}", passive),
                         self.files[name][offset:])
        elif op == "REST_STOR":
            offset = self.rng.randrange(0, len(self.files[name]) + 1)
            data = self.payload()
            c.command(f"REST {offset}", f"350 REST from {offset}")
            c.transfer(f"STOR {name}", passive, send=data)
            self.files[name] = self.files[name][:offset] + data
        elif op in ("LIST", "NLST"):
            text = c.transfer(op, passive).decode("utf-8")
            lines = [line for line in text.split("\r\n") if line]
            if op == "LIST":
                # The name is everything after the date and time fields.
                lines = [line.split(None, 8)[8] for line in lines]
            expected = sorted(list(self.files) + list(self.dirs))
            if sorted(lines) != expected:
                self.mismatches += 1
                raise Mismatch(f"{self.folder} {op}: {sorted(lines)!r} != {expected!r}")
        elif op == "RENAME":
            target = self.fresh("r")
            c.command(f"RNFR {name}", "350 Destination needed.")
            c.command(f"RNTO {target}", "250 File renamed.")
            self.files[target] = self.files.pop(name)
        elif op == "DELE":
            c.command(f"DELE {name}", "250 DELE command ok.")
            del self.files[name]
        elif op == "MKD":
            target = self.fresh("d")
            c.command(f"MKD {target}", "257 Directory created.")
            self.dirs.add(target)
        elif op == "RMD":
            if self.dirs:
                target = self.rng.choice(sorted(self.dirs))
                c.command(f"RMD {target}", "250 DELE command ok.")
                self.dirs.discard(target)
            else:
                c.command("RMD nothing-here", EXPECT_DENIED)
        elif op == "MISSING":
            if self.rng.random() < 0.5:
                c.command("RETR no-such-file", EXPECT_DENIED)
            else:
                c.command("DELE no-such-file", EXPECT_DENIED)
        self.done_ops += 1

    def run(self, logged_in, go):
        try:
            self.login()
            logged_in.release()
            go.wait()
            for _ in range(self.operations):
                self.step()
            self.quit_at = time.monotonic()
            self.client.quit()
        except BaseException as e:  # reported by the test, never lost in the thread
            self.error = e
            self.quit_at = time.monotonic()
            logged_in.release()
            if self.client.sock is not None:
                Client.abort(self.client.sock)


class Load(unittest.TestCase):
    def test_fifty_sessions_with_checksums(self):
        started = time.monotonic()
        seed = int(os.environ.get("DROVN_LOAD_SEED", random.SystemRandom().randrange(1 << 30)))
        sanitized = sanitizer_build()
        operations = max(10, round(BASE_OPERATIONS * scale()))
        timeout = 120.0 if sanitized else 30.0
        print(f"\n  load seed {seed} (DROVN_LOAD_SEED={seed} repeats it), {SESSIONS} sessions x "
              f"{operations} operations", file=sys.stderr, flush=True)
        pool = random.Random(seed).randbytes(4 * MIB)

        server = DrovnProcess()
        self.addCleanup(server.close)
        server.start()
        server.wait_until_listening()
        pid = server.proc.pid
        idle_fds = fd_count(pid)
        idle_rss = rss_kib(pid)

        workers = [Worker(i, server.port, seed, operations, pool, timeout)
                   for i in range(SESSIONS)]
        logged_in = threading.Semaphore(0)
        go = threading.Event()
        threads = [threading.Thread(target=w.run, args=(logged_in, go), daemon=True)
                   for w in workers]
        try:
            # Gradually: the accept queue holds one waiting connection.
            for t in threads:
                t.start()
                self.assertTrue(logged_in.acquire(timeout=CONNECT_ATTEMPTS * GREETING_WAIT))
            failed = [w for w in workers if w.error]
            self.assertFalse(failed, f"login failed: {[repr(w.error) for w in failed]}")

            # Every slot is taken: the 51st client's connection waits in the accept queue,
            # unanswered, until a session ends.
            extra = socket.create_connection(("127.0.0.1", server.port), timeout=timeout)
            self.addCleanup(extra.close)
            extra.settimeout(1.0)
            with self.assertRaises(socket.timeout, msg="a 51st client was greeted at once"):
                extra.recv(100)
            go.set()

            extra_client = Client(server.port, timeout)
            extra_client.sock = extra
            extra.settimeout(timeout * 3)
            greeting = extra_client.read_reply()
            greeted_at = time.monotonic()
            extra.settimeout(timeout)
            extra_client.check("greeting", "220 Server ready...", greeting)
            quit_times = [w.quit_at for w in workers if w.quit_at is not None]
            self.assertTrue(quit_times and min(quit_times) <= greeted_at,
                            "the 51st client was greeted before any session ended; "
                            f"{[repr(w.error) for w in workers if w.error]}")
            extra_client.command("USER anonymous", None)
            extra_client.command("PASS guest", "230 Password ok.")
            extra_client.command("TYPE I", "200 Type is set to 'I'.")
            extra_client.command("MKD extra", "257 Directory created.")
            body = pool[:100 * KIB]
            extra_client.transfer("STOR extra/late.bin", True, send=body)
            self.assertEqual(extra_client.transfer("RETR extra/late.bin", False), body)
            extra_client.quit()
        finally:
            go.set()
            for t in threads:
                t.join(timeout * 10)
        self.assertFalse([t for t in threads if t.is_alive()], "a session hung")
        elapsed = time.monotonic() - started

        errors = [f"{w.folder}: {w.error!r}" for w in workers if w.error]
        mismatches = sum(w.mismatches for w in workers)
        wrong = [entry for w in workers for entry in w.client.wrong]

        # Every file in the store is the model's, byte for byte, and nothing else is there.
        for w in workers:
            if w.error:
                continue
            folder = os.path.join(server.store, w.folder)
            on_disk = sorted(os.listdir(folder))
            if on_disk != sorted(list(w.files) + list(w.dirs)):
                mismatches += 1
                errors.append(f"{w.folder}: store holds {on_disk!r}")
                continue
            for name, content in w.files.items():
                with open(os.path.join(folder, name), "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
                if digest != hashlib.sha256(content).hexdigest():
                    mismatches += 1
                    errors.append(f"{w.folder}/{name}: SHA-256 differs from the model")

        # Descriptors and memory settle once the sessions' threads have ended.
        deadline = time.monotonic() + SETTLE_TIME
        while fd_count(pid) != idle_fds and time.monotonic() < deadline:
            time.sleep(0.2)
        final_fds = fd_count(pid)
        tolerance = SANITIZER_RSS_TOLERANCE_KIB if sanitized else RSS_TOLERANCE_KIB
        while rss_kib(pid) > idle_rss + tolerance and time.monotonic() < deadline:
            time.sleep(0.2)
        final_rss = rss_kib(pid)

        total_ops = sum(w.done_ops for w in workers)
        moved = sum(w.client.moved for w in workers) + extra_client.moved
        print(f"  {SESSIONS} sessions, {total_ops} operations, {moved / MIB:.1f} MiB moved in "
              f"{elapsed:.1f} s; fds {idle_fds} -> {final_fds}; RSS {idle_rss} -> {final_rss} "
              f"KiB (tolerance {tolerance} KiB)", file=sys.stderr, flush=True)
        report_dir = os.environ.get("DROVN_REPORT_DIR")
        if report_dir:
            os.makedirs(report_dir, exist_ok=True)
            with open(os.path.join(report_dir, "load.json"), "w") as f:
                json.dump({"sessions": SESSIONS, "operations": total_ops,
                           "operations_per_session": operations, "bytes_moved": moved,
                           "mismatches": mismatches + len(wrong) + len(errors), "seed": seed,
                           "seconds": round(elapsed, 1), "idle_fds": idle_fds,
                           "final_fds": final_fds, "idle_rss_kib": idle_rss,
                           "final_rss_kib": final_rss}, f, indent=1)

        self.assertEqual(errors, [], f"seed {seed}")
        self.assertEqual(wrong, [], f"seed {seed}")
        self.assertEqual(mismatches, 0, f"seed {seed}")
        self.assertEqual(total_ops, SESSIONS * operations)
        self.assertEqual(final_fds, idle_fds, "descriptors left open after the load")
        self.assertLessEqual(final_rss, idle_rss + tolerance, "memory kept after the load")

        server.stop()
        stderr = server.stderr_text()
        self.assertNotIn("runtime error", stderr)
        self.assertNotIn("Sanitizer", stderr)


if __name__ == "__main__":
    unittest.main()
