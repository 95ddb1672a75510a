"""Load with checksums: 50 sessions at once against the real program, each doing random operations
(STOR, RETR, APPE, REST with RETR and STOR, LIST, NLST, RNFR/RNTO, DELE, MKD/RMD) in its own
folder, passive and active mode mixed, against a model of what each file must hold. Every reply
must be the expected one, every file's SHA-256 the model's, and the descriptors come back to
idle. A 51st client waits unanswered while every slot is taken and is served once one frees.

DROVN_LOAD_SCALE scales the operation count (a sanitizer build is scaled down on its own),
DROVN_LOAD_SEED fixes the seed; load.json goes to DROVN_REPORT_DIR."""

import hashlib
import os
import random
import socket
import threading
import time
import unittest

from drovn_harness import (DONE, OPENING, STARTING, RawClient, Server, read, reset, settled_fds,
                           write_report)

SESSIONS, OPERATIONS, MIB = 50, 300, 1 << 20
OPS = {"STOR": 14, "RETR": 16, "APPE": 8, "REST RETR": 8, "REST STOR": 8, "LIST": 5, "NLST": 5,
       "RENAME": 6, "DELE": 6, "MKD": 3, "RMD": 3, "MISSING": 2}
DENIED = b"550 Access denied!\r\n"

class Worker(threading.Thread):
    """One session: random operations in its own folder, checked against a model of its files."""

    def __init__(self, index, port, seed, count, pool, go):
        super().__init__(daemon=True)
        self.folder, self.rng = f"s{index:02d}", random.Random(seed * 1000 + index)
        self.port, self.count, self.pool, self.go = port, count, pool, go
        self.files, self.dirs, self.names, self.done = {}, set(), 0, 0
        self.error = self.quit_at = self.client = None
        self.logged_in = threading.Event()

    def expect(self, what, got, want):
        if got != want:
            raise AssertionError(f"{self.folder} {what}: {got!r:.200} is not {want!r:.200}")

    def fresh(self, prefix):
        self.names += 1  # some names carry a space, which the server takes whole
        return f"{prefix}{self.names}" + " x" * (self.names % 5 == 0)

    def payload(self):
        top = self.rng.choices([64 << 10, 512 << 10, 3 * MIB], [70, 26, 4])[0]
        start = self.rng.randrange(len(self.pool) - top)
        return self.pool[start:start + self.rng.randrange(top)]

    def step(self, c):
        name = self.rng.choice(sorted(self.files)) if self.files else self.fresh("f")
        op = self.rng.choices(list(OPS), list(OPS.values()))[0] if self.files else "STOR"
        word, mode, data = op.split()[-1], self.rng.random() < 0.5, self.payload()
        ready = (STARTING if mode else OPENING, DONE)
        if op.startswith("REST"):
            offset = self.rng.randrange(len(self.files[name]) + 1)
            self.expect(op, c.command(f"REST {offset}"), f"350 REST from {offset}\r\n".encode())
        if word in ("STOR", "APPE"):
            if op != "REST STOR" and self.rng.random() < 0.4:
                name = self.fresh("f")
            self.expect(op, c.transfer(f"{word} {name}", data, mode), ready + (b"",))
            kept = self.files.get(name, b"")
            self.files[name] = (kept[:offset] if op == "REST STOR" else kept * (op == "APPE"))
            self.files[name] += data
        elif word == "RETR":
            want = self.files[name][offset if op == "REST RETR" else 0:]
            self.expect(op, c.transfer(f"RETR {name}", None, mode), ready + (want,))
        elif op in ("LIST", "NLST"):
            lines = c.transfer(op, None, mode)[2].decode().split("\r\n")[:-1]
            # In a long listing the name is everything after the date and time fields.
            names = [line.split(None, 8)[-1] if op == "LIST" else line for line in lines]
            self.expect(op, sorted(names), sorted([*self.files, *self.dirs]))
        elif op == "RENAME":
            target = self.fresh("r")
            self.expect(op, c.command(f"RNFR {name}"), b"350 Destination needed.\r\n")
            self.expect(op, c.command(f"RNTO {target}"), b"250 File renamed.\r\n")
            self.files[target] = self.files.pop(name)
        elif op == "DELE":
            self.expect(op, c.command(f"DELE {name}"), b"250 DELE command ok.\r\n")
            del self.files[name]
        elif op == "MKD":
            self.dirs.add(target := self.fresh("d"))
            self.expect(op, c.command(f"MKD {target}"), b"257 Directory created.\r\n")
        elif op == "RMD":
            target = self.dirs.pop() if self.dirs else "nothing"
            self.expect(op, c.command(f"RMD {target}"),
                        b"250 DELE command ok.\r\n" if target != "nothing" else DENIED)
        else:
            self.expect(op, c.command(self.rng.choice(["RETR", "DELE"]) + " missing"), DENIED)
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
            self.expect("CWD", c.command(f"CWD {self.folder}"),
                        f"250 Directory changed to /{self.folder}\r\n".encode())
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
        image = read(os.environ["DROVN_BINARY"])
        sanitized = b"__asan_init" in image or b"__tsan_init" in image
        scale = float(os.environ.get("DROVN_LOAD_SCALE", 0.5 if sanitized else 1))
        count, go = max(10, round(OPERATIONS * scale)), threading.Event()
        pool = random.Random(seed).randbytes(4 * MIB)
        started = time.monotonic()
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
                extra.sock.settimeout(60)
                self.assertEqual(extra.transfer("STOR late", pool[:MIB]), (STARTING, DONE, b""))
                self.assertEqual(extra.transfer("RETR late")[2], pool[:MIB])
                extra.quit()
            finally:
                go.set()
                for w in workers:
                    w.join(1200)
            errors = [f"{w.folder}: {w.error!r}" for w in workers if w.error or w.is_alive()]
            for w in workers:
                folder = os.path.join(server.store, w.folder)
                if not w.error and sorted(os.listdir(folder)) != sorted([*w.files, *w.dirs]):
                    errors.append(f"{w.folder} holds {sorted(os.listdir(folder))}")
                errors += [f"{w.folder}/{name}: SHA-256 differs from the model"
                           for name, data in w.files.items() if not w.error and
                           hashlib.sha256(read(os.path.join(folder, name))).digest()
                           != hashlib.sha256(data).digest()]
            fds = settled_fds(server.proc.pid, idle)
        done = sum(w.done for w in workers)
        moved = sum(w.client.moved for w in workers if w.client) + extra.moved
        write_report("load.json", {"sessions": SESSIONS, "operations": done, "seed": seed,
                                   "bytes_moved": moved, "mismatches": len(errors),
                                   "seconds": round(time.monotonic() - started, 1)})
        self.assertEqual(errors, [], f"seed {seed}")
        self.assertEqual(done, SESSIONS * count)
        self.assertEqual(fds, idle, "descriptors left open after the load")

if __name__ == "__main__":
    unittest.main()
