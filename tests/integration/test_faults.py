"""Faults and hostile input against the real program: clients that reset or half-close their
connections in the middle of transfers and listings, SIGTERM during transfers; overlong lines,
NUL bytes, invalid UTF-8 and GBK, PORT garbage, REST out of range, odd names, 5000 PASV. Every
case ends with a fresh client moving a file up and back unchanged, and the server's descriptors
back to their idle count."""

import fcntl
import os
import signal
import socket
import struct
import subprocess
import termios
import threading
import unittest

from drovn_harness import (ABORTED, DONE, PASV, STARTING, Server, RawClient, fresh_client_works,
                           read, reset, settled_fds, temp_dir, wait_until, write, write_report)

MIB = 1 << 20
RESULTS, COUNTS = {"survived": 0, "total": 0}, {"tried": 0, "crashes": 0}

def tearDownModule():
    write_report("faults.json", RESULTS)
    write_report("bad_input.json", COUNTS)

def sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)

def queued(sock):
    """Bytes waiting in sock's receive queue."""
    return struct.unpack("i", fcntl.ioctl(sock, termios.FIONREAD, b"\0" * 4))[0]

class Faults(unittest.TestCase):
    def survived(self, server, idle=None):
        if idle is not None:
            self.assertLessEqual(settled_fds(server.proc.pid, idle), idle, server.lines[-12:])
        fresh_client_works(self, server.port)
        RESULTS["survived"] += 1

    def test_connections_that_vanish(self):
        with Server() as server:
            sparse(os.path.join(server.store, "big.bin"), 256 * MIB)
            # Long names make a listing of several MiB, more than loopback buffers hold.
            for i in range(30000):
                open(os.path.join(server.store, f"{i:06d}-" + "n" * 90), "wb").close()
            idle = settled_fds(server.proc.pid)
            for command in ("RETR big.bin", "STOR up.bin", "LIST", None):
                for side in ("data", "control") if command else ("half-closed",):
                    with self.subTest(command=command, side=side):
                        RESULTS["total"] += 1
                        c = RawClient(server.port).login()
                        if command is None:
                            # A client that closed its side can send no more commands: its
                            # session ends at once, while the client's own end is still open.
                            c.sock.shutdown(socket.SHUT_WR)
                            self.survived(server, idle)
                            c.sock.close()
                            continue
                        data = c.passive()
                        self.assertEqual(c.command(command), STARTING)
                        got = 0
                        while got < MIB:
                            if command.startswith("STOR"):
                                data.sendall(b"x" * 65536)
                                got += 65536
                            else:
                                chunk = data.recv(65536)
                                self.assertTrue(chunk, "the data ended early")
                                got += len(chunk)
                        if side == "data":
                            reset(data)
                            # A listing the kernel already took whole may count as sent.
                            self.assertIn(c.reply(), (ABORTED, b"226 Transfer completed.\r\n")
                                          if command == "LIST" else (ABORTED,))
                            self.assertEqual(c.command("NOOP"), b"200 OK \r\n")
                            c.quit()
                        else:
                            reset(c.sock)
                            reset(data)
                        self.survived(server, idle)

    def test_sigterm_during_transfers(self):
        # Nine transfers that are moving and one client that reads nothing: the stop shuts its
        # data connection down too, so it ends at once, not after the per-session wait.
        RESULTS["total"] += 1
        store = temp_dir(self)
        sparse(os.path.join(store, "big.bin"), 1024 * MIB)
        server = Server(store=store).start()
        self.addCleanup(server.close)
        clients = [RawClient(server.port).login() for _ in range(10)]
        datas = [c.passive() for c in clients]
        for c, data in zip(clients, datas):
            self.addCleanup(c.sock.close)
            self.addCleanup(data.close)
            self.assertEqual(c.command("RETR big.bin"), STARTING)
        moved = [0] * 10

        def drain(i):
            try:
                while chunk := datas[i].recv(65536):
                    moved[i] += len(chunk)
            except OSError:
                pass
        for i in range(1, 10):
            threading.Thread(target=drain, args=(i,), daemon=True).start()
        # The server is blocked once the idle client's queue stops growing.
        seen = [-1]
        wait_until(lambda: all(moved[1:]) and (seen.append(queued(datas[0])) or
                                               seen[-1] == seen[-2] > 0),
                   "every transfer moving but one, blocked", step=0.5)
        mark = len(server.lines)
        os.kill(server.proc.pid, signal.SIGTERM)
        try:
            self.assertEqual(server.proc.wait(5.0), 0)
        except subprocess.TimeoutExpired:
            self.fail(f"no exit 5 s after SIGTERM; lines: {server.lines[mark:]!r}")
        self.assertFalse([line for line in server.lines[mark:] if "Force killed" in line])
        server.close()
        with Server(store=store) as again:
            self.survived(again)

GBK_0X5C = b"\x95\x5c"  # 昞: its trail byte is the ASCII backslash
OK, DENIED, SYNTAX = b"200 OK \r\n", b"550 Access denied!\r\n", b"500 Syntax error.\r\n"
CREATED, REMOVED = b"257 Directory created.\r\n", b"250 DELE command ok.\r\n"
BAD_LINES = [  # a line, its reply, and a folder the store then holds
    (b"NOOP" + b" " * 2042, OK, None), (b"X" * 2046, b"500 Invalid command " + b"X" * 2025 +
                                        b"\r\n", None),
    (b"NO\x00OP", b"500 Invalid command NO\r\n", None), (b"NOOP\x00garbage", OK, None),
    (b"USER a\x00b", b"500 You are already logged in.\r\n", None), (b"\x00\r\nNOOP", OK, None),
    (b"CWD \xff\xfe", DENIED, None), (b"CWD \xc3", DENIED, None),
    (b"OPTS UTF8 ON", b"200 Option UTF8 is on.\r\n", None),
    # Bytes that are no UTF-8 become replacement characters in the name.
    (b"MKD \xff\xfe", CREATED, "\ufffd\ufffd"), (b"RMD \xff\xfe", REMOVED, None),
    (b"MKD \xe6\x97\xad", CREATED, "旭"), (b"RMD \xe6\x97\xad", REMOVED, None),
    (b"OPTS UTF8 OFF", b"200 Option UTF8 is off.\r\n", None),
    # Paths are cut byte by byte in the code page, so a trail byte 0x5C counts as a separator:
    # what is left of "昞" is no character and the folder is named U+FFFD, inside the store.
    (b"MKD " + GBK_0X5C, CREATED, "\ufffd"), (b"CWD " + GBK_0X5C, b"250 Directory changed to "
                                               b"/\x95\r\n", None),
    (b"CWD /", b"250 Directory changed to /\r\n", None), (b"RMD " + GBK_0X5C, REMOVED, None),
    (b"PORT", b"500 Bad command parameter.\r\n", None), (b"PORT 1,2,3", SYNTAX, None),
    (b"PORT 1,2,3,4,5,6,7", SYNTAX, None), (b"PORT ,,,,,", SYNTAX, None),
    # An address that is not the client's is refused; the port fields are taken as numbers.
    (b"PORT a,b,c,d,e,f", SYNTAX, None), (b"PORT 999,1,1,1,1,1", SYNTAX, None),
    (b"PORT 127,0,0,1,300,1", b"200 PORT command ok.\r\n", None),
    (b"REST abc", b"350 REST from 0\r\n", None), (b"MKD " + b"m" * 256, DENIED, None),
    (b"MKD " + b"n" * 255, CREATED, "n" * 255), (b"RMD " + b"n" * 255, REMOVED, None),
    (b"MKD a*b?\x01c", CREATED, "a*b?\x01c"),
    (b"CWD a*b?\x01c", b"250 Directory changed to /a*b?\x01c\r\n", None),
    (b"CWD /", b"250 Directory changed to /\r\n", None), (b"RMD a*b?\x01c", REMOVED, None),
]
# Offsets out of range and the transfers after them: REST, command, upload, data, file after.
REST_ROWS = [(-1, "RETR ten", None, b"0123456789", None), (5, "RETR ten", None, b"56789", None),
             (99999999999, "RETR ten", None, b"", None), (-1, "STOR up", b"abc", b"", b"abc"),
             (4, "STOR up", b"XY", b"", b"abc\x00XY")]

class BadInput(unittest.TestCase):
    def test_bad_input(self):
        with Server(["--set", "opt_enableUtf8=1"]) as server:
            COUNTS["tried"] += len(BAD_LINES) + len(REST_ROWS) + 5002
            write(os.path.join(server.store, "ten"), b"0123456789")
            pid, parent = server.proc.pid, set(os.listdir(os.path.dirname(server.store)))
            idle = settled_fds(pid)
            c = RawClient(server.port).login()
            for line, reply, made in BAD_LINES:
                self.assertEqual(c.command(line), reply, line)
                if made:
                    self.assertTrue(os.path.isdir(os.path.join(server.store, made)), line)
            self.assertEqual(os.listdir(server.store), ["ten"])
            self.assertEqual(set(os.listdir(os.path.dirname(server.store))), parent)
            for rest, command, send, data, stored in REST_ROWS:
                self.assertEqual(c.command(f"REST {rest}"), f"350 REST from {rest}\r\n".encode())
                self.assertEqual(c.transfer(command, send), (STARTING, DONE, data), rest)
                if stored:
                    self.assertEqual(read(os.path.join(server.store, "up")), stored)
            # A far offset writes there: a sparse file, no wrap into the start.
            c.command("REST 99999999999")
            self.assertEqual(c.transfer("STOR far", b"abc"), (STARTING, DONE, b""))
            self.assertEqual(os.path.getsize(os.path.join(server.store, "far")), 99999999999 + 3)
            for _ in range(5000):
                self.assertTrue(PASV.match(c.command("PASV")))
            # Each PASV lets go of the listener before it; one is left.
            self.assertLessEqual(settled_fds(pid), idle + 2)
            c.quit()
            # No line end fits: the session ends at once and its slot is free again.
            for size in (2047, 3000):
                c = RawClient(server.port).login()
                c.sock.sendall(b"A" * size + b"\r\n")
                try:
                    self.assertIsNone(c.reply())
                except ConnectionResetError:
                    pass  # the rest of the line was still unread when the server closed
                c.sock.close()
            self.assertLessEqual(settled_fds(pid, idle), idle)
            fresh_client_works(self, server.port)
            COUNTS["crashes"] = int(server.proc.poll() is not None)

if __name__ == "__main__":
    unittest.main()
