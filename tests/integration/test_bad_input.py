"""Hostile and odd input over real sockets against the real program: overlong lines, NUL bytes,
invalid UTF-8 and GBK in both modes, GBK characters whose trail byte is 0x5C, PORT garbage, REST
out of range followed by transfers, names with spaces, wildcards, control characters and
255-byte components, and 5000 PASV on one session. The server must answer each with its own
reply, not crash, hang or keep descriptors it no longer needs."""

import os
import shutil
import socket
import time
import unittest

from drovn_harness import DrovnProcess, assert_clean_stderr
from raw_client import (RawClient, fresh_client_works, open_fds, reset,
                        wait_fds, write_report)

OK = b"200 OK \r\n"
DENIED = b"550 Access denied!\r\n"
SYNTAX = b"500 Syntax error.\r\n"
CREATED = b"257 Directory created.\r\n"
REMOVED = b"250 DELE command ok.\r\n"
PORT_OK = b"200 PORT command ok.\r\n"
STARTING = b"125 Connection transfer starting...\r\n"
COMPLETED = b"226 Transfer completed.\r\n"
GBK_0X5C = b"\x95\x5c"  # 昞: its trail byte is the ASCII backslash

COUNTS = {"tried": 0, "crashes": 0}


def tearDownModule():
    write_report("bad_input.json", COUNTS)


class BadInput(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = DrovnProcess(extra_args=["--set", "opt_enableUtf8=1"])
        try:
            cls.server.start()
            cls.server.wait_until_listening()
        except BaseException:
            cls.server.close()
            raise
        with open(os.path.join(cls.server.store, "ten.bin"), "wb") as f:
            f.write(b"0123456789")
        time.sleep(0.3)
        cls.idle = open_fds(cls.server.proc.pid)

    @classmethod
    def tearDownClass(cls):
        try:
            cls.server.stop()
        finally:
            cls.server.close()
        assert_clean_stderr(cls.server)

    def setUp(self):
        self.client = RawClient(self.server.port).login()

    def tearDown(self):
        alive = self.server.proc.poll() is None
        if not alive:
            COUNTS["crashes"] += 1
        # A plain close would keep the session until the idle limit.
        try:
            self.client.quit()
        except OSError:
            reset(self.client.sock)
        self.assertTrue(alive, f"the server ended; {self.server.stderr_text()}")

    def expect(self, line, reply):
        COUNTS["tried"] += 1
        self.assertEqual(self.client.command(line), reply, line)

    def transfer(self, command, upload=None):
        """One passive transfer; gives (preliminary, final, data received)."""
        c = self.client
        data = c.passive()
        first = c.command(command)
        got = b""
        if first == STARTING:
            if upload is not None:
                data.sendall(upload)
            else:
                while True:
                    chunk = data.recv(65536)
                    if not chunk:
                        break
                    got += chunk
        data.close()
        final = c.reply() if first == STARTING else b""
        COUNTS["tried"] += 1
        return first, final, got

    def settled(self):
        c = self.client
        c.quit()
        self.assertLessEqual(wait_fds(self.server.proc.pid, self.idle), self.idle)
        self.client = RawClient(self.server.port).login()

    def test_line_of_2046_bytes_is_a_command(self):
        self.expect(b"NOOP" + b" " * 2042, OK)
        long_word = b"X" * 2046
        COUNTS["tried"] += 1
        got = self.client.command(long_word)
        self.assertTrue(got.startswith(b"500 Invalid command XXX"), got)
        self.assertTrue(got.endswith(b"\r\n") and got.count(b"\r\n") == 1, got)
        self.expect(b"NOOP", OK)

    def test_lines_of_2047_and_3000_bytes_end_the_session(self):
        # No line end fits: the session ends at once and its slot is free again.
        for size in (2047, 3000):
            COUNTS["tried"] += 1
            c = RawClient(self.server.port).login()
            self.addCleanup(c.close)
            c.send(b"A" * size + b"\r\n")
            c.sock.settimeout(5.0)
            try:
                self.assertEqual(c.sock.recv(100), b"")
            except ConnectionResetError:
                pass  # the rest of the line was still unread when the server closed
        fresh_client_works(self, self.server.port)

    def test_nul_bytes_end_the_line_where_they_stand(self):
        self.expect(b"NO\x00OP", b"500 Invalid command NO\r\n")
        self.expect(b"NOOP\x00garbage", OK)
        self.expect(b"USER a\x00b", b"500 You are already logged in.\r\n")
        # A line that is empty up to its NUL is skipped like an empty line.
        COUNTS["tried"] += 1
        self.client.send(b"\x00\r\n")
        self.expect(b"NOOP", OK)

    def test_invalid_text_in_both_modes_stays_in_the_store(self):
        before = set(os.listdir(os.path.dirname(self.server.store)))
        self.expect(b"CWD \xff\xfe", DENIED)
        self.expect(b"CWD \xc3", DENIED)
        self.expect(b"OPTS UTF8 ON", b"200 Option UTF8 is on.\r\n")
        self.expect(b"CWD \xff\xfe", DENIED)
        # Bytes that are no UTF-8 become replacement characters in the name.
        self.expect(b"MKD \xff\xfe", CREATED)
        self.assertIn("\ufffd\ufffd", os.listdir(self.server.store))
        self.expect(b"RMD \xff\xfe", REMOVED)
        self.expect(b"MKD \xe6\x97\xad", CREATED)
        self.assertTrue(os.path.isdir(os.path.join(self.server.store, "旭")))
        self.expect(b"RMD \xe6\x97\xad", REMOVED)
        self.expect(b"OPTS UTF8 OFF", b"200 Option UTF8 is off.\r\n")
        self.assertEqual(set(os.listdir(os.path.dirname(self.server.store))), before)

    # Paths are handled byte by byte in the client's encoding, so the trail byte 0x5C of a
    # code-page character counts as a separator: "昞" is cut to its lead byte, which alone is
    # no character, and the folder made is named U+FFFD. Clients of the old device saw exactly
    # this; what matters is that it stays a name inside the store.
    def test_gbk_trail_byte_0x5c_is_a_separator(self):
        self.addCleanup(self.remove_folders, ["昞", "\ufffd"])
        self.expect(b"MKD " + GBK_0X5C, CREATED)
        names = os.listdir(self.server.store)
        self.assertIn("\ufffd", names)
        self.assertNotIn("昞", names)
        self.expect(b"RMD " + GBK_0X5C, REMOVED)
        self.assertNotIn("\ufffd", os.listdir(self.server.store))

    def test_gbk_trail_byte_0x5c_stays_in_the_store(self):
        # Whatever the cut makes of a path, nothing lands outside the store.
        self.addCleanup(self.clear_store)
        before = set(os.listdir(os.path.dirname(self.server.store)))
        for line in (b"MKD " + GBK_0X5C, b"CWD " + GBK_0X5C, b"MKD " + GBK_0X5C + b"x",
                     b"CWD /", b"RMD " + GBK_0X5C + b"x", b"RMD " + GBK_0X5C):
            COUNTS["tried"] += 1
            got = self.client.command(line)
            self.assertRegex(got, rb"^(257|250|550) [^\r\n]*\r\n$")
        self.assertEqual(set(os.listdir(os.path.dirname(self.server.store))), before)

    def clear_store(self):
        for name in os.listdir(self.server.store):
            path = os.path.join(self.server.store, name)
            if name != "ten.bin" and os.path.isdir(path):
                shutil.rmtree(path)

    def remove_folders(self, names):
        for name in names:
            path = os.path.join(self.server.store, name)
            if os.path.isdir(path):
                os.rmdir(path)

    def test_port_garbage(self):
        self.expect(b"PORT", b"500 Bad command parameter.\r\n")
        for bad in (b"PORT 1,2,3", b"PORT 1,2,3,4,5,6,7", b"PORT ,,,,,"):
            self.expect(bad, SYNTAX)
        # An address that is not the client's is refused; the port fields are taken as numbers
        # whatever they hold.
        for odd in (b"PORT a,b,c,d,e,f", b"PORT 999,1,1,1,1,1"):
            self.expect(odd, SYNTAX)
        for odd in (b"PORT 127,0,0,1,300,1", b"PORT 127,0,0,1,-1,1"):
            self.expect(odd, PORT_OK)
        first, final, got = self.transfer("RETR ten.bin")
        self.assertEqual((first, final, got), (STARTING, COMPLETED, b"0123456789"))

    def test_rest_out_of_range_then_retr_and_stor(self):
        self.addCleanup(self.remove, "up.bin")
        self.addCleanup(self.remove, "far.bin")
        self.expect(b"REST -1", b"350 REST from -1\r\n")
        self.assertEqual(self.transfer("RETR ten.bin"), (STARTING, COMPLETED, b"0123456789"))
        self.expect(b"REST 99999999999", b"350 REST from 99999999999\r\n")
        self.assertEqual(self.transfer("RETR ten.bin"), (STARTING, COMPLETED, b""))
        self.expect(b"REST 5", b"350 REST from 5\r\n")
        self.assertEqual(self.transfer("RETR ten.bin"), (STARTING, COMPLETED, b"56789"))
        self.expect(b"REST abc", b"350 REST from 0\r\n")
        self.expect(b"REST -1", b"350 REST from -1\r\n")
        self.assertEqual(self.transfer("STOR up.bin", b"abc"), (STARTING, COMPLETED, b""))
        self.assertEqual(self.read("up.bin"), b"abc")
        self.expect(b"REST 4", b"350 REST from 4\r\n")
        self.assertEqual(self.transfer("STOR up.bin", b"XY"), (STARTING, COMPLETED, b""))
        self.assertEqual(self.read("up.bin"), b"abc\x00XY")
        # A far offset writes there: a sparse file, no wrap into the start.
        self.expect(b"REST 99999999999", b"350 REST from 99999999999\r\n")
        self.assertEqual(self.transfer("STOR far.bin", b"abc"), (STARTING, COMPLETED, b""))
        self.assertEqual(os.path.getsize(os.path.join(self.server.store, "far.bin")),
                         99999999999 + 3)

    def remove(self, name):
        path = os.path.join(self.server.store, name)
        if os.path.exists(path):
            os.remove(path)

    def read(self, name):
        with open(os.path.join(self.server.store, name), "rb") as f:
            return f.read()

    def test_names_with_spaces_wildcards_controls_and_255_bytes(self):
        for name in (b"a b", b"a*b", b"a?b", b"a\x01b", b"n" * 255):
            self.expect(b"MKD " + name, CREATED)
            self.assertTrue(os.path.isdir(os.path.join(self.server.store.encode(), name)))
            self.expect(b"CWD " + name, b"250 Directory changed to /" + name + b"\r\n")
            self.expect(b"CWD /", b"250 Directory changed to /\r\n")
            self.expect(b"RMD " + name, REMOVED)
        self.expect(b"MKD " + b"m" * 256, DENIED)
        odd = "x y?*\x01.txt"
        self.assertEqual(self.transfer("STOR " + odd, b"hello"), (STARTING, COMPLETED, b""))
        self.assertEqual(self.transfer("RETR " + odd), (STARTING, COMPLETED, b"hello"))
        first, final, listed = self.transfer("NLST")
        self.assertIn(odd.encode() + b"\r\n", listed)
        self.expect(b"DELE " + odd.encode(), REMOVED)
        self.assertEqual(sorted(os.listdir(self.server.store)), ["ten.bin"])

    def test_5000_pasv_in_a_row(self):
        c = self.client
        for _ in range(5000):
            c.send(b"PASV\r\n")
            got = c.reply()
            self.assertTrue(got.startswith(b"227 (127,0,0,1,"), got)
        COUNTS["tried"] += 5000
        # Each PASV lets go of the listener before it; one is left.
        self.assertLessEqual(open_fds(self.server.proc.pid), self.idle + 2)
        self.assertEqual(self.transfer("RETR ten.bin"), (STARTING, COMPLETED, b"0123456789"))
        self.settled()

    def test_zz_server_is_back_to_idle_and_serves(self):
        self.settled()
        fresh_client_works(self, self.server.port)


if __name__ == "__main__":
    unittest.main()
