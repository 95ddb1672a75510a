"""Load with checksums: 50 sessions at once, each doing random STOR, APPE, RETR, REST with RETR
and STOR, NLST, RNFR/RNTO and DELE in its own folder, passive and active mixed, against a model
of each file. Every reply must be the expected one, every file's SHA-256 the model's, and the
descriptors come back to idle; a 51st client waits unanswered until a slot frees.
DROVN_LOAD_SCALE scales the operation count, DROVN_LOAD_SEED fixes the seed."""

import hashlib
import os
import random
import socket
import threading
import time
import unittest

from drovn_harness import (DONE, OPENING, STARTING, RawClient, Server, read, reset, settled_fds,
                           write_report)

SESSIONS, OPS = 50, ["STOR", "APPE", "RETR", "RETR", "REST RETR", "REST STOR", "NLST", "RNFR",
                     "DELE"]

class Worker(threading.Thread):
    def __init__(self, index, port, seed, count, pool, go):
        super().__init__(daemon=True)
        self.folder, self.rng = f"s{index:02d}", random.Random(seed * 1000 + index)
        self.port, self.count, self.pool, self.go = port, count, pool, go
        self.files, self.done, self.error, self.quit_at = {}, 0, None, None
        self.logged_in, self.client = threading.Event(), None

    def expect(self, what, got, want):
        if got != want:
            raise AssertionError(f"{self.folder} {what}: {got!r:.200} is not {want!r:.200}")

    def step(self, c):
        op = self.rng.choice(OPS) if self.files else "STOR"
        name = self.rng.choice(sorted(self.files)) if self.files else None
        if op in ("STOR", "APPE") and self.rng.random() < 0.4 or name is None:
            name = f"f{self.done}" + " x" * (self.done % 5 == 0)  # the server takes a space whole
        size = self.rng.choice([64 << 10, 64 << 10, 512 << 10, 3 << 20])
        start, passive = self.rng.randrange(len(self.pool) - size), self.rng.random() < 0.5
        data, ready = self.pool[start:start + self.rng.randrange(size)], (
            STARTING if passive else OPENING, DONE)
        kept, offset = self.files.get(name, b""), 0
        if op.startswith("REST "):
            offset = self.rng.randrange(len(kept) + 1)
            self.expect(op, c.command(f"REST {offset}"), f"350 REST from {offset}\r\n".encode())
        if op in ("STOR", "APPE", "REST STOR"):
            self.expect(op, c.transfer(f"{op[-4:]} {name}", data, passive), ready + (b"",))
            self.files[name] = (kept if op == "APPE" else kept[:offset]) + data
        elif op.endswith("RETR"):
            self.expect(op, c.transfer(f"RETR {name}", None, passive), ready + (kept[offset:],))
        elif op == "NLST":
            names = c.transfer(op, None, passive)[2].decode().split("\r\n")[:-1]
            self.expect(op, sorted(names), sorted(self.files))
        elif op == "RNFR":
            self.expect(op, c.command(f"RNFR {name}"), b"350 Destination needed.\r\n")
            self.expect(op, c.command(f"RNTO r{self.done}"), b"250 File renamed.\r\n")
            self.files[f"r{self.done}"] = self.files.pop(name)
        else:
            self.expect(op, c.command(f"DELE {name}"), b"250 DELE command ok.\r\n")
            del self.files[name]
        self.done += 1

    def run(self):
        try:
            # A dial that got no greeting in time was lost to the short accept queue: reset it.
            for _ in range(100):
                c = self.client = RawClient(self.port, 3.0)
                try:
                    c.login()
                    break
                except (socket.timeout, ConnectionError):
                    reset(c.sock)
            c.sock.settimeout(120)
            self.expect("MKD", c.command(f"MKD {self.folder}"), b"257 Directory created.\r\n")
            c.command(f"CWD {self.folder}")
            self.logged_in.set()
            self.go.wait()
            for _ in range(self.count):
                self.step(c)
            self.quit_at = time.monotonic()
            c.quit()
        except BaseException as e:  # reported by the test, never lost in the thread
            self.error, self.quit_at = e, time.monotonic()
            self.logged_in.set()
            if self.client:
                reset(self.client.sock)

class Load(unittest.TestCase):
    def test_fifty_sessions_with_checksums(self):
        seed = int(os.environ.get("DROVN_LOAD_SEED", random.randrange(1 << 30)))
        image = read(os.environ["DROVN_BINARY"])  # a sanitizer build is scaled down on its own
        scale = os.environ.get("DROVN_LOAD_SCALE", 0.5 if b"san_init" in image else 1)
        count, go = max(10, round(300 * float(scale))), threading.Event()
        pool, started = random.Random(seed).randbytes(4 << 20), time.monotonic()
        with Server() as server:
            idle = settled_fds(server.proc.pid)
            workers = [Worker(i, server.port, seed, count, pool, go) for i in range(SESSIONS)]
            try:
                for w in workers:  # one at a time: the accept queue holds one connection
                    w.start()
                    self.assertTrue(w.logged_in.wait(300))
                self.assertEqual([repr(w.error) for w in workers if w.error], [], f"seed {seed}")
                # Every slot is taken: the 51st client waits unanswered until a session ends.
                extra = RawClient(server.port, 1.0)
                self.assertRaises(socket.timeout, extra.reply)
                go.set()
                extra.sock.settimeout(600)
                extra.login()
                self.assertTrue(any(w.quit_at for w in workers))
                self.assertEqual(extra.transfer("STOR late", pool), (STARTING, DONE, b""))
                self.assertEqual(extra.transfer("RETR late")[2], pool)
                extra.quit()
            finally:
                go.set()
                for w in workers:
                    w.join(1200)
            errors = [f"{w.folder}: {w.error!r}" for w in workers if w.error or w.is_alive()]
            for w in (w for w in workers if not w.error):
                folder = os.path.join(server.store, w.folder)
                errors += [f"{w.folder} holds {os.listdir(folder)}"] * (
                    sorted(os.listdir(folder)) != sorted(w.files))
                errors += [f"{w.folder}/{name}: SHA-256 differs from the model"
                           for name, data in w.files.items() if hashlib.sha256(
                               read(os.path.join(folder, name))).digest() != hashlib.sha256(
                               data).digest()]
            fds = settled_fds(server.proc.pid, idle)
        done = sum(w.done for w in workers)
        write_report("load.json", {"sessions": SESSIONS, "operations": done, "seed": seed,
                                   "bytes_moved": sum(w.client.moved for w in workers
                                                      if w.client) + extra.moved,
                                   "mismatches": len(errors),
                                   "seconds": round(time.monotonic() - started, 1)})
        self.assertEqual(errors, [], f"seed {seed}")
        self.assertEqual((done, fds), (SESSIONS * count, idle))

if __name__ == "__main__":
    unittest.main()
