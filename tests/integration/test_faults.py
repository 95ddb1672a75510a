"""Faults against the real program: clients that reset or half-close their connections in the
middle of transfers and listings, SIGTERM during transfers, a store that fills up, running out
of descriptors. Every case ends with a fresh client moving a file up and back unchanged, and
the server's descriptors back to their idle count."""

import fcntl
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import termios
import threading
import unittest

from drovn_harness import (ABORTED, STARTING, Server, RawClient, fresh_client_works, read,
                           reset, settled_fds, temp_dir, wait_until, write_report)

MIB = 1 << 20
RESULTS = {"survived": 0, "total": 0}


def tearDownModule():
    write_report("faults.json", RESULTS)


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
        # Fifty transfers that are moving, and one client that reads nothing: the stop shuts
        # its data connection down too, so it ends at once, not after the per-session wait.
        for count, drained, bound in ((50, True, 20.0), (1, False, 5.0)):
            with self.subTest(count=count, drained=drained):
                RESULTS["total"] += 1
                store = temp_dir(self)
                sparse(os.path.join(store, "big.bin"), 1024 * MIB)
                server = Server(store=store).start()
                self.addCleanup(server.close)
                clients = [RawClient(server.port).login() for _ in range(count)]
                datas = [c.passive() for c in clients]
                for c, data in zip(clients, datas):
                    self.addCleanup(c.sock.close)
                    self.addCleanup(data.close)
                    self.assertEqual(c.command("RETR big.bin"), STARTING)
                moved = [0] * count

                def drain(i):
                    try:
                        while chunk := datas[i].recv(65536):
                            moved[i] += len(chunk)
                    except OSError:
                        pass
                if drained:
                    for i in range(count):
                        threading.Thread(target=drain, args=(i,), daemon=True).start()
                    wait_until(lambda: all(moved), "every transfer moving")
                else:
                    # The server is blocked once the client's queue stops growing.
                    seen = [-1]
                    wait_until(lambda: seen.append(queued(datas[0])) or seen[-1] == seen[-2] > 0,
                               "the data connection to fill up", step=0.5)
                mark = len(server.lines)
                os.kill(server.proc.pid, signal.SIGTERM)
                try:
                    self.assertEqual(server.proc.wait(bound), 0)
                except subprocess.TimeoutExpired:
                    self.fail(f"no exit {bound} s after SIGTERM; lines: {server.lines[mark:]!r}")
                self.assertFalse([l for l in server.lines[mark:] if "Force killed" in l])
                server.close()
                with Server(store=store) as again:
                    self.survived(again)

    def test_stor_past_the_store_size(self):
        mount = tempfile.mkdtemp(prefix="drovn-tmpfs-")
        self.addCleanup(shutil.rmtree, mount, True)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", mount],
                              capture_output=True, timeout=30)
        if done.returncode != 0:
            self.skipTest(f"mounting a tmpfs needs privileges this user lacks: {done.stderr!r}")
        self.addCleanup(subprocess.run, ["umount", mount], capture_output=True, timeout=30)
        RESULTS["total"] += 1
        with Server(store=mount) as server:
            c = RawClient(server.port).login()
            payload = os.urandom(12 * MIB)
            data = c.passive()
            self.assertEqual(c.command("STOR full.bin"), STARTING)

            def send():
                try:
                    data.sendall(payload)
                    data.shutdown(socket.SHUT_WR)
                except OSError:
                    pass  # the server gave up on the connection
            threading.Thread(target=send, daemon=True).start()
            self.assertEqual(c.reply(), ABORTED)
            data.close()
            # What was written stays: a prefix of the payload, as much as fitted.
            kept = read(os.path.join(mount, "full.bin"))
            self.assertTrue(4 * MIB < len(kept) <= 8 * MIB, len(kept))
            self.assertEqual(kept, payload[:len(kept)])
            self.assertEqual(c.command("DELE full.bin"), b"250 DELE command ok.\r\n")
            c.quit()
            self.survived(server)

    def test_descriptors_run_out_and_come_back(self):
        RESULTS["total"] += 1
        with Server(nofile=32) as server:
            idle = settled_fds(server.proc.pid)
            self.assertLess(idle, 28)
            clients = []
            # Each session holds one descriptor; more clients than the limit allows.
            while len(clients) < 40 and not [l for l in server.lines if "Accept failed: " in l]:
                try:
                    clients.append(socket.create_connection(("127.0.0.1", server.port), 2))
                except OSError:
                    break  # the queue of one is full: the server accepts no more
            first = server.wait_line("Accept failed: ", part=True)
            second = server.wait_line("Accept failed: ", first + 1, part=True)
            # The failed accept is retried after a pause, not in a busy loop.
            self.assertGreater(server.times[second] - server.times[first], 0.1)
            for s in clients:
                reset(s)
            self.survived(server, idle)


if __name__ == "__main__":
    unittest.main()
