"""What scripts/reliability reports: faults mid-transfer, hostile input, and 50 sessions of random
transfers checked against a model of every file. Each ends with descriptors back to idle."""

import contextlib, fcntl, os, random, signal, socket, struct, termios, threading, time, unittest

from drovn_harness import (ABORTED, DONE, PASV, STARTING, Server, RawClient, read, reset,
                           settled_fds, wait_until, write, write_report)

RESULTS, COUNTS = {"survived": 0, "total": 0}, {"tried": 0, "crashes": 0}
OK, DENIED, SYNTAX = b"200 OK \r\n", b"550 Access denied!\r\n", b"500 Syntax error.\r\n"
CREATED, REMOVED = b"257 Directory created.\r\n", b"250 DELE command ok.\r\n"
GBK_0X5C, ODD, ROOT = b"\x95\x5c", b"a*b?\x01c", b"250 Directory changed to /\r\n"
BAD_LINES = [  # a line and its reply
    (b"NOOP" + b" " * 2042, OK), (b"X" * 2046, b"500 Invalid command " + b"X" * 2025 + b"\r\n"),
    (b"NO\x00OP", b"500 Invalid command NO\r\n"), (b"NOOP\x00garbage", OK), (b"CWD \xff\xfe", DENIED),
    (b"USER a\x00b", b"500 You are already logged in.\r\n"), (b"\x00\r\nNOOP", OK),
    (b"OPTS UTF8 ON", b"200 Option UTF8 is on.\r\n"), (b"MKD \xff\xfe", CREATED),
    (b"RMD \xff\xfe", REMOVED), (b"MKD \xe6\x97\xad", CREATED), (b"RMD \xe6\x97\xad", REMOVED),
    (b"OPTS UTF8 OFF", b"200 Option UTF8 is off.\r\n"), (b"MKD " + GBK_0X5C, CREATED),
    (b"CWD " + GBK_0X5C, b"250 Directory changed to /\x95\r\n"), (b"CWD /", ROOT),
    (b"RMD " + GBK_0X5C, REMOVED), (b"PORT", b"500 Bad command parameter.\r\n"),
    # An address that is not the client's is refused; the port fields are taken as numbers.
    (b"PORT ,,,,,", SYNTAX), (b"PORT a,b,c,d,e,f", SYNTAX), (b"PORT 999,1,1,1,1,1", SYNTAX),
    (b"PORT 127,0,0,1,300,1", b"200 PORT command ok.\r\n"), (b"REST abc", b"350 REST from 0\r\n"),
    (b"MKD " + b"m" * 256, DENIED), (b"MKD " + b"n" * 255, CREATED), (b"MKD " + ODD, CREATED),
    (b"RMD " + b"n" * 255, REMOVED), (b"CWD " + ODD, b"250 Directory changed to /" + ODD + b"\r\n"),
    (b"CWD /", ROOT), (b"RMD " + ODD, REMOVED),
]
# The folder each MKD makes. Bytes that are no UTF-8 become replacement characters; paths are
# cut byte by byte in the code page, so the trail byte 0x5C of "昞" counts as a separator and
# what is left of it, no character, becomes U+FFFD: a name still inside the store.
MADE = {b"MKD \xff\xfe": "\ufffd\ufffd", b"MKD \xe6\x97\xad": "旭", b"MKD " + GBK_0X5C: "\ufffd",
        b"MKD " + b"n" * 255: "n" * 255, b"MKD " + ODD: ODD.decode()}
# An offset far past 32 bits: a download from there is empty, an upload there makes a sparse
# file (the nearer offsets are the unit tests').
FAR, REST_ROWS = 99999999999, [("RETR ten", None), ("STOR far", b"abc")]

def tearDownModule():
    write_report("faults.json", RESULTS)
    write_report("bad_input.json", COUNTS)

class Faults(unittest.TestCase):
    def survived(self, server, idle):
        """Descriptors back to idle; a new client uploads, reads back unchanged and deletes."""
        self.assertLessEqual(settled_fds(server.proc.pid, idle), idle, server.lines[-12:])
        c, payload = RawClient(server.port).login(), os.urandom(300_000)
        self.assertEqual(c.transfer("STOR new", payload), (STARTING, DONE, b""))
        self.assertEqual(c.transfer("RETR new"), (STARTING, DONE, payload))
        self.assertEqual(c.command("DELE new"), REMOVED)
        c.quit()
        RESULTS["survived"] += 1
    def test_connections_that_vanish_and_a_stalled_reader_at_sigterm(self):
        with Server() as server:
            write(os.path.join(server.store, "big"), b"", 256 << 20)
            # Long names make a listing of several MiB, more than loopback buffers hold.
            for i in range(30000):
                open(os.path.join(server.store, f"{i:06d}-" + "n" * 90), "wb").close()
            idle = settled_fds(server.proc.pid)
            # A client that closed its side can send no more commands: its session ends at once,
            # while the client's own end is still open.
            RESULTS["total"] += 1
            with RawClient(server.port).login().sock as half:
                half.shutdown(socket.SHUT_WR)
                self.survived(server, idle)
            for command, side in [(c, s) for c in ("RETR big", "STOR up", "LIST")
                                  for s in ("data", "control")]:
                with self.subTest(command=command, side=side):
                    RESULTS["total"] += 1
                    c = RawClient(server.port).login()
                    data = c.passive()
                    self.assertEqual(c.command(command), STARTING)
                    for _ in range(16):  # the transfer is moving
                        if command == "STOR up":
                            data.sendall(bytes(65536))
                        else:
                            self.assertTrue(data.recv(65536), "the data ended early")
                    if side == "control":
                        reset(c.sock)
                    reset(data)
                    if side == "data":
                        # A listing the kernel already took whole may count as sent.
                        self.assertIn(c.reply(), (ABORTED, DONE) if command == "LIST"
                                      else (ABORTED,))
                        self.assertEqual(c.command("NOOP"), OK)
                        c.quit()
                    self.survived(server, idle)
            # A SIGTERM while a client reads nothing: the stop shuts the session's data connection
            # down too, so the session ends at once instead of after the per-session wait.
            RESULTS["total"] += 1
            c = RawClient(server.port).login()
            data = c.passive()
            self.assertEqual(c.command("RETR big"), STARTING)
            # The server is blocked once the client's receive queue stops growing.
            queued = [-1]
            wait_until(lambda: queued.append(struct.unpack("i", fcntl.ioctl(
                data, termios.FIONREAD, bytes(4)))[0]) or queued[-1] == queued[-2] > 0,
                "the data connection to fill up", step=0.5)
            os.kill(server.proc.pid, signal.SIGTERM)
            self.assertEqual(server.proc.wait(5.0), 0)  # TimeoutExpired when it hangs
            c.sock.close()
            data.close()
            with Server(store=server.store) as again:
                self.survived(again, settled_fds(again.proc.pid))
    def test_bad_input(self):
        RESULTS["total"] += 1
        with Server(["--set", "opt_enableUtf8=1"]) as server:
            # A server that ended by itself counts as a crash, whatever failed first.
            self.addCleanup(lambda: COUNTS.update(crashes=int(server.proc.returncode != 0)))
            COUNTS["tried"] += len(BAD_LINES) + len(REST_ROWS) + 5002
            write(os.path.join(server.store, "ten"), b"0123456789")
            pid, parent = server.proc.pid, set(os.listdir(os.path.dirname(server.store)))
            idle = settled_fds(pid)
            c = RawClient(server.port).login()
            for line, reply in BAD_LINES:
                self.assertEqual(c.command(line), reply, line)
                if line in MADE:
                    self.assertTrue(os.path.isdir(os.path.join(server.store, MADE[line])), line)
            self.assertEqual(os.listdir(server.store), ["ten"])
            self.assertEqual(set(os.listdir(os.path.dirname(server.store))), parent)
            for command, send in REST_ROWS:
                self.assertEqual(c.command(f"REST {FAR}"), f"350 REST from {FAR}\r\n".encode())
                self.assertEqual(c.transfer(command, send), (STARTING, DONE, b""), command)
            self.assertEqual(os.path.getsize(os.path.join(server.store, "far")), FAR + 3)
            for _ in range(5000):
                self.assertTrue(PASV.match(c.command("PASV")))
            # Each PASV lets go of the listener before it; one is left.
            self.assertLessEqual(settled_fds(pid), idle + 2)
            c.quit()
            # No line end fits: the session ends at once and its slot is free again.
            for size in (2047, 3000):
                c = RawClient(server.port).login()
                c.sock.sendall(b"A" * size + b"\r\n")
                # A reset is a close too: the rest of the line was still unread at the close.
                with contextlib.suppress(ConnectionResetError), c.sock:
                    self.assertIsNone(c.reply())
            self.survived(server, idle)

SESSIONS, OPS = 50, ["STOR", "APPE", "RETR", "REST RETR", "REST STOR", "NLST", "DELE"]

def work(w, port, store, pool, go):
    """One session's operations, each reply checked against the model in w["files"]."""
    rng, files = random.Random(w["seed"]), w["files"]
    # A dial that got no greeting in time was lost to the short accept queue: reset it.
    for _ in range(100):
        c = w["client"] = RawClient(port, 3.0)
        try:
            c.login()
            break
        except (socket.timeout, ConnectionError):
            reset(c.sock)
    c.sock.settimeout(120)
    assert c.command(f"MKD {w['folder']}") == b"257 Directory created.\r\n"
    assert c.command(f"CWD {w['folder']}").startswith(b"250 ")
    w["logged in"].set()
    go.wait()
    for step in range(w["count"]):
        op = rng.choice(OPS) if files else "STOR"
        name = rng.choice(sorted(files)) if files else None
        if op in ("STOR", "APPE") and rng.random() < 0.4 or name is None:
            name = f"f{step}" + " x" * (step % 5 == 0)  # the server takes a space whole
        size = rng.choice([64 << 10, 64 << 10, 512 << 10, 3 << 20])
        start, kept, offset = rng.randrange(len(pool) - size), files.get(name, b""), 0
        data = pool[start:start + rng.randrange(size)]
        if op.startswith("REST "):
            offset = rng.randrange(len(kept) + 1)
            assert c.command(f"REST {offset}") == f"350 REST from {offset}\r\n".encode(), op
        if op in ("STOR", "APPE", "REST STOR"):
            assert c.transfer(f"{op[-4:]} {name}", data) == (STARTING, DONE, b""), op
            files[name] = (kept if op == "APPE" else kept[:offset]) + data
        elif op.endswith("RETR"):
            assert c.transfer(f"RETR {name}") == (STARTING, DONE, kept[offset:]), (op, name)
        elif op == "NLST":
            assert sorted(c.transfer(op)[2].decode().split("\r\n")[:-1]) == sorted(files), op
        else:
            assert c.command(f"DELE {name}") == b"250 DELE command ok.\r\n", op
            del files[name]
        w["done"] += 1
    c.quit()
    folder = os.path.join(store, w["folder"])
    assert sorted(os.listdir(folder)) == sorted(files), "the store holds other files"
    for name, data in files.items():
        assert read(os.path.join(folder, name)) == data, f"{name}: the bytes differ from the model"

def run(w, *args):
    try:
        work(w, *args)
    except BaseException as e:  # reported by the test, never lost in the thread
        w["error"] = e
        w["logged in"].set()
        if w["client"]:
            reset(w["client"].sock)

class Load(unittest.TestCase):
    def test_fifty_sessions_checked_byte_by_byte(self):
        seed = int(os.environ.get("DROVN_LOAD_SEED", random.randrange(1 << 30)))
        image = read(os.environ["DROVN_BINARY"])  # a sanitizer build is scaled down on its own
        scale = os.environ.get("DROVN_LOAD_SCALE", 0.5 if b"san_init" in image else 1)
        count, go = max(10, round(300 * float(scale))), threading.Event()
        pool, started = random.Random(seed).randbytes(4 << 20), time.monotonic()
        workers = [{"folder": f"s{i:02d}", "seed": seed * 1000 + i, "count": count, "files": {},
                    "done": 0, "error": None, "client": None,
                    "logged in": threading.Event()} for i in range(SESSIONS)]
        with Server() as server:
            idle = settled_fds(server.proc.pid)
            threads = [threading.Thread(target=run, args=(w, server.port, server.store, pool, go),
                                        daemon=True) for w in workers]
            try:
                for w, t in zip(workers, threads):  # one at a time: the accept queue holds one
                    t.start()
                    self.assertTrue(w["logged in"].wait(300))
                self.assertEqual([repr(w["error"]) for w in workers if w["error"]], [], seed)
            finally:
                go.set()
                for t in threads:
                    t.join(1200)
            errors = [f"{w['folder']}: {w['error']!r}" for w in workers if w["error"]]
            fds = settled_fds(server.proc.pid, idle)
        done = sum(w["done"] for w in workers)
        write_report("load.json", {"sessions": SESSIONS, "operations": done, "seed": seed,
                                   "mismatches": len(errors), "bytes_moved": sum(
                                       w["client"].moved for w in workers if w["client"]),
                                   "seconds": round(time.monotonic() - started, 1)})
        self.assertEqual(errors, [], f"seed {seed}")
        self.assertEqual((done, fds), (SESSIONS * count, idle))

if __name__ == "__main__":
    unittest.main()
