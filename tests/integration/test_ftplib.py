"""Python's ftplib against the real program: transfers in passive and active mode (whole,
resumed, appended, empty, several blocks long), listings, the file and directory commands, and
Chinese names in UTF-8 and in the server's code page. Contents are compared byte for byte with
the --store directory, and replies by their exact text."""

import calendar
import ftplib
import io
import os
import random
import re
import threading
import time
import unittest

from drovn_harness import DEFAULT_TIMEOUT, DrovnProcess, assert_clean_stderr

BLOCK = 458752  # the server's transfer block
PASV_REPLY = re.compile(r"227 \(127,0,0,1,(\d+),(\d+)\) Entering passive mode\.\.\.")


class RecordingFTP(ftplib.FTP):
    """An ftplib client that keeps every reply it reads, preliminary ones included."""

    def __init__(self, **kwargs):
        super().__init__(timeout=DEFAULT_TIMEOUT, **kwargs)
        self.replies = []

    def getmultiline(self):
        reply = super().getmultiline()
        self.replies.append(reply)
        return reply

    def replies_of(self, action):
        """Runs action(); gives (its result, the replies read meanwhile)."""
        first = len(self.replies)
        result = action()
        return result, self.replies[first:]


def utc(year, month, day, hour, minute):
    return calendar.timegm((year, month, day, hour, minute, 0, 0, 0, 0))


class FtplibClient(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = DrovnProcess(["--set", "opt_enableUtf8=1"]).start()
        cls.server.wait_until_listening()

    @classmethod
    def tearDownClass(cls):
        server = cls.server
        try:
            server.stop()
            assert "Failed to process" not in server.lines, server.lines
            assert_clean_stderr(server)
        finally:
            server.close()

    def store_path(self, *parts):
        return os.path.join(self.server.store, *parts)

    def read_store(self, *parts):
        with open(self.store_path(*parts), "rb") as f:
            return f.read()

    def write_store(self, data, *parts):
        with open(self.store_path(*parts), "wb") as f:
            f.write(data)

    def session(self, encoding="utf-8"):
        ftp = RecordingFTP(encoding=encoding)
        self.assertEqual(ftp.connect("127.0.0.1", self.server.port), "220 Server ready...")
        self.assertEqual(ftp.login("anonymous", "guest@example.com"), "230 Password ok.")
        self.addCleanup(ftp.close)
        return ftp

    def quit(self, ftp):
        # QUIT has no reply: the server closes the connection.
        ftp.putcmd("QUIT")
        with self.assertRaises(EOFError):
            ftp.getline()
        ftp.close()

    def fetch(self, ftp, name, rest=None):
        chunks = []
        reply = ftp.retrbinary("RETR " + name, chunks.append, blocksize=65536, rest=rest)
        self.assertEqual(reply, "226 Transfer completed.")
        return b"".join(chunks)

    def assert_data_replies(self, replies, passive):
        """The replies of one transfer: PASV or PORT, the preliminary reply, 226."""
        if passive:
            match = PASV_REPLY.fullmatch(replies[0])
            self.assertIsNotNone(match, replies)
            self.assertGreaterEqual(int(match[1]) * 256 + int(match[2]), 1025)
            self.assertEqual(replies[1:], ["125 Connection transfer starting...",
                                           "226 Transfer completed."])
        else:
            self.assertEqual(replies, ["200 PORT command ok.", "150 Opening data connection...",
                                       "226 Transfer completed."])

    def test_transfers_in_passive_and_active_mode(self):
        rng = random.Random(1111)
        for passive in (True, False):
            with self.subTest(passive=passive):
                mode = "passive" if passive else "active"
                os.makedirs(self.store_path(mode))
                ftp = self.session()
                ftp.set_pasv(passive)
                self.assertEqual(ftp.cwd(mode), f"250 Directory changed to /{mode}")
                content = rng.randbytes(3 * BLOCK + 1234)

                # Upload across several blocks.
                reply, replies = ftp.replies_of(
                    lambda: ftp.storbinary("STOR big.bin", io.BytesIO(content), 100000))
                self.assertEqual(reply, "226 Transfer completed.")
                self.assertEqual(replies[0], "200 Type is set to 'I'.")
                self.assert_data_replies(replies[1:], passive)
                self.assertEqual(self.read_store(mode, "big.bin"), content)
                self.assertEqual(ftp.size("big.bin"), len(content))

                # Download, whole and resumed; the offset is used once.
                got, replies = ftp.replies_of(lambda: self.fetch(ftp, "big.bin"))
                self.assertEqual(got, content)
                self.assert_data_replies(replies[1:], passive)
                for rest in (1, BLOCK, BLOCK + 5, len(content) - 1, len(content)):
                    got, replies = ftp.replies_of(lambda: self.fetch(ftp, "big.bin", rest))
                    self.assertEqual(got, content[rest:], rest)
                    # TYPE I, then PASV or PORT, then REST.
                    self.assertEqual(replies[2], f"350 REST from {rest}")
                self.assertEqual(self.fetch(ftp, "big.bin"), content)
                # An offset past the end sends nothing and still completes.
                self.assertEqual(self.fetch(ftp, "big.bin", len(content) + 100), b"")

                # Appending adds to the end; a missing file is created.
                tail = rng.randbytes(BLOCK + 3)
                reply, replies = ftp.replies_of(
                    lambda: ftp.storbinary("APPE big.bin", io.BytesIO(tail)))
                self.assertEqual(reply, "226 Transfer completed.")
                self.assert_data_replies(replies[1:], passive)
                self.assertEqual(self.read_store(mode, "big.bin"), content + tail)
                ftp.storbinary("APPE new.bin", io.BytesIO(b"first"))
                self.assertEqual(self.read_store(mode, "new.bin"), b"first")

                # A resumed upload keeps the bytes before the offset and drops the rest.
                old = rng.randbytes(250)
                self.write_store(old, mode, "resume.bin")
                reply, replies = ftp.replies_of(
                    lambda: ftp.storbinary("STOR resume.bin", io.BytesIO(b"n" * 50), rest=100))
                self.assertEqual(reply, "226 Transfer completed.")
                self.assertIn("350 REST from 100", replies)
                self.assertEqual(self.read_store(mode, "resume.bin"), old[:100] + b"n" * 50)
                # STOR onto an existing file replaces it.
                ftp.storbinary("STOR resume.bin", io.BytesIO(b"short"))
                self.assertEqual(self.read_store(mode, "resume.bin"), b"short")

                # Empty files both ways.
                self.assertEqual(ftp.storbinary("STOR empty", io.BytesIO(b"")),
                                 "226 Transfer completed.")
                self.assertEqual(self.read_store(mode, "empty"), b"")
                self.assertEqual(ftp.size("empty"), 0)
                self.assertEqual(self.fetch(ftp, "empty"), b"")

                # Names and long listing of what is there now.
                self.assertEqual(sorted(ftp.nlst()),
                                 ["big.bin", "empty", "new.bin", "resume.bin"])
                lines = []
                ftp.dir(lines.append)
                sizes = {line.split(" ")[-1]: int(line.split()[4]) for line in lines}
                self.assertEqual(sizes, {"big.bin": len(content) + len(tail), "empty": 0,
                                         "new.bin": 5, "resume.bin": 5})
                self.quit(ftp)

                if not passive:
                    # Active mode data connections go to the client's own address.
                    ports = [l for l in self.server.lines if re.fullmatch(
                        r"#\d+>PORT 127,0,0,1,\d+,\d+", l)]
                    self.assertTrue(ports, self.server.lines)

    def test_file_and_directory_commands(self):
        self.write_store(b"hello", "hello.txt")
        ftp = self.session()
        self.assertEqual(ftp.pwd(), "/")
        self.assertEqual(ftp.sendcmd("SYST"), "215 UNIX (DROVN_V20091111)")
        self.assertEqual(ftp.sendcmd("TYPE i"), "200 Type is set to 'i'.")
        with self.assertRaises(ftplib.error_perm) as refused:
            ftp.sendcmd("TYPE X")
        self.assertEqual(str(refused.exception), "500 Invalid type 'X.")

        # MKD names no path in its reply, so ftplib gives the empty text.
        self.assertEqual(ftp.mkd("cmds"), "")
        self.assertEqual(ftp.replies[-1], "257 Directory created.")
        self.assertEqual(ftp.mkd("cmds/inner dir"), "")
        self.assertTrue(os.path.isdir(self.store_path("cmds", "inner dir")))

        self.assertEqual(ftp.cwd("cmds"), "250 Directory changed to /cmds")
        self.assertEqual(ftp.pwd(), "/cmds")
        self.assertEqual(ftp.cwd("inner dir"), "250 Directory changed to /cmds/inner dir")
        self.assertEqual(ftp.pwd(), "/cmds/inner dir")
        self.assertEqual(ftp.sendcmd("CDUP"), "250 Directory changed to /cmds")
        self.assertEqual(ftp.cwd("/cmds/inner dir"), "250 Directory changed to /cmds/inner dir")
        self.assertEqual(ftp.cwd(".."), "250 Directory changed to /cmds")
        for bad in ("missing", "../hello.txt", "/.."):
            with self.assertRaises(ftplib.error_perm) as refused:
                ftp.cwd(bad)
            self.assertEqual(str(refused.exception), "550 Access denied!", bad)
        self.assertEqual(ftp.pwd(), "/cmds")

        # Rename across directories, refused onto an existing name.
        self.assertEqual(ftp.rename("../hello.txt", "moved.txt"), "250 File renamed.")
        self.assertEqual(ftp.replies[-2], "350 Destination needed.")
        self.assertFalse(os.path.exists(self.store_path("hello.txt")))
        self.assertEqual(self.read_store("cmds", "moved.txt"), b"hello")
        self.write_store(b"other", "cmds", "other.txt")
        with self.assertRaises(ftplib.error_perm) as refused:
            ftp.rename("moved.txt", "other.txt")
        self.assertEqual(str(refused.exception), "550 Rename failed.")
        self.assertEqual(self.read_store("cmds", "other.txt"), b"other")
        with self.assertRaises(ftplib.error_perm) as refused:
            ftp.sendcmd("RNTO again.txt")  # the failed RNTO used up the source
        self.assertEqual(str(refused.exception), "503 New name needed.")
        # A directory can be renamed too.
        self.assertEqual(ftp.rename("inner dir", "renamed dir"), "250 File renamed.")
        self.assertTrue(os.path.isdir(self.store_path("cmds", "renamed dir")))

        # SIZE is for files only.
        self.assertEqual(ftp.size("moved.txt"), 5)
        for bad in ("renamed dir", "missing.txt"):
            with self.assertRaises(ftplib.error_perm) as refused:
                ftp.size(bad)
            self.assertEqual(str(refused.exception), "550 Access denied!")

        # A missing file is refused before any data connection is used.
        for passive in (True, False):
            ftp.set_pasv(passive)
            with self.assertRaises(ftplib.error_perm) as refused:
                self.fetch(ftp, "missing.txt")
            self.assertEqual(str(refused.exception), "550 Access denied!")
            with self.assertRaises(ftplib.error_perm) as refused:
                self.fetch(ftp, "renamed dir")
            self.assertEqual(str(refused.exception), "550 Access denied!")
        self.assertEqual(self.fetch(ftp, "moved.txt"), b"hello")

        # Deleting: DELE for files, RMD for directories (both answer the same text).
        self.assertEqual(ftp.delete("moved.txt"), "250 DELE command ok.")
        self.assertFalse(os.path.exists(self.store_path("cmds", "moved.txt")))
        with self.assertRaises(ftplib.error_perm) as refused:
            ftp.delete("renamed dir")
        self.assertEqual(str(refused.exception), "550 Access denied!")
        with self.assertRaises(ftplib.error_perm) as refused:
            ftp.rmd("other.txt")
        self.assertEqual(str(refused.exception), "550 Access denied!")
        self.assertEqual(ftp.rmd("renamed dir"), "250 DELE command ok.")
        self.assertFalse(os.path.exists(self.store_path("cmds", "renamed dir")))
        self.assertEqual(ftp.delete("other.txt"), "250 DELE command ok.")
        self.assertEqual(ftp.cwd("/"), "250 Directory changed to /")
        self.assertEqual(ftp.rmd("cmds"), "250 DELE command ok.")
        self.assertFalse(os.path.exists(self.store_path("cmds")))

        # Commands the server lacks are refused by name; the session goes on.
        for word in ("MDTM x", "EPSV", "MLSD"):
            with self.assertRaises(ftplib.error_perm) as refused:
                ftp.sendcmd(word)
            self.assertEqual(str(refused.exception),
                             "500 Invalid command " + word.split(" ")[0])
        self.assertEqual(ftp.voidcmd("NOOP"), "200 OK ")
        self.quit(ftp)

    def test_listings(self):
        year = time.localtime().tm_year
        os.makedirs(self.store_path("listing", "sub dir"))
        self.write_store(b"x" * 7, "listing", "old.txt")
        self.write_store(b"y" * 1234, "listing", "this year.txt")
        self.write_store(b"", "listing", "空.txt")
        os.utime(self.store_path("listing", "old.txt"), (0, utc(2019, 3, 4, 5, 6)))
        os.utime(self.store_path("listing", "this year.txt"), (0, utc(year, 6, 15, 7, 8)))
        os.utime(self.store_path("listing", "空.txt"), (0, utc(2008, 11, 30, 23, 59)))
        os.utime(self.store_path("listing", "sub dir"), (0, utc(2019, 12, 31, 23, 59)))
        files = {
            "-rw-rw-rw-   1 user     group          7 Mar  4  2019 old.txt",
            "-rw-rw-rw-   1 user     group       1234 Jun 15  7:08 this year.txt",
            "-rw-rw-rw-   1 user     group          0 Nov 30  2008 空.txt",
        }
        dirs = ["drw-rw-rw-   1 user     group          0 Dec 31  2019 sub dir"]

        for passive in (True, False):
            with self.subTest(passive=passive):
                ftp = self.session()
                ftp.sendcmd("OPTS UTF8 ON")
                ftp.set_pasv(passive)
                # From outside and from inside the directory, with and without an option.
                for where, args in (("/", ["listing"]), ("/", ["-al", "listing"]),
                                    ("/listing", []), ("/listing", ["-l"])):
                    ftp.cwd(where)
                    lines, replies = ftp.replies_of(lambda: self.collect_dir(ftp, args))
                    # Files first, then directories.
                    self.assertEqual(set(lines[:3]), files, (where, args))
                    self.assertEqual(lines[3:], dirs, (where, args))
                    self.assertEqual(replies[0], "200 Type is set to 'A'.")
                    self.assert_data_replies(replies[1:], passive)
                ftp.cwd("/")
                # On the wire every line ends with CR LF and nothing else is sent.
                for command, expected in (("LIST listing", files | set(dirs)),
                                          ("NLST listing",
                                           {"old.txt", "this year.txt", "空.txt", "sub dir"})):
                    raw = self.raw_listing(ftp, command)
                    self.assertTrue(raw.endswith(b"\r\n"), raw)
                    got = raw[:-2].split(b"\r\n")
                    self.assertEqual(sorted(got), sorted(e.encode() for e in expected))
                names = ftp.nlst("listing")
                self.assertEqual(set(names[:3]), {"old.txt", "this year.txt", "空.txt"})
                self.assertEqual(names[3:], ["sub dir"])
                # An empty directory lists nothing, and still completes.
                self.assertEqual(ftp.nlst("listing/sub dir"), [])
                self.assertEqual(self.collect_dir(ftp, ["listing/sub dir"]), [])
                with self.assertRaises(ftplib.error_perm) as refused:
                    ftp.nlst("listing/old.txt")
                self.assertEqual(str(refused.exception), "550 Access denied!")
                self.quit(ftp)

    def raw_listing(self, ftp, command):
        ftp.voidcmd("TYPE A")
        raw = b""
        deadline = time.monotonic() + DEFAULT_TIMEOUT
        with ftp.transfercmd(command) as conn:
            while chunk := conn.recv(65536):
                raw += chunk
                self.assertLess(time.monotonic(), deadline)
        self.assertEqual(ftp.voidresp(), "226 Transfer completed.")
        return raw

    @staticmethod
    def collect_dir(ftp, args):
        lines = []
        ftp.dir(*args, lines.append)
        return lines

    def test_concurrent_sessions_each_get_their_passive_port(self):
        # Every PASV starts its search at the same first port, so sessions that ask at the same
        # moment race for it; each must still get a port of its own and an answer.
        os.makedirs(self.store_path("together"))
        sessions = [self.session() for _ in range(4)]
        failures = []

        def work(index, ftp):
            try:
                rng = random.Random(index)
                for _ in range(300):
                    self.assertRegex(ftp.sendcmd("PASV"), PASV_REPLY)
                for round_ in range(15):
                    name = f"together/s{index}-{round_}.bin"
                    data = rng.randbytes(rng.randint(0, 3 * 65536))
                    ftp.storbinary("STOR " + name, io.BytesIO(data))
                    self.assertEqual(self.fetch(ftp, name), data)
            except BaseException as error:  # reported by the main thread
                failures.append((index, error))

        threads = [threading.Thread(target=work, args=(i, ftp), daemon=True)
                   for i, ftp in enumerate(sessions)]
        for t in threads:
            t.start()
        deadline = time.monotonic() + 120
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
        self.assertFalse([t for t in threads if t.is_alive()], "sessions still busy")
        self.assertEqual(failures, [])
        self.assertEqual(len(os.listdir(self.store_path("together"))), 4 * 15)
        self.assertFalse([l for l in self.server.lines if l.startswith("Passive ")])
        for ftp in sessions:
            self.quit(ftp)

    def test_chinese_names_in_utf8_and_in_the_code_page(self):
        content = random.Random(936).randbytes(BLOCK + 77)
        os.makedirs(self.store_path("enc"))

        # A UTF-8 session after OPTS UTF8 ON.
        ftp = self.session("utf-8")
        self.assertEqual(ftp.sendcmd("OPTS UTF8 ON"), "200 Option UTF8 is on.")
        self.assertEqual(ftp.cwd("enc"), "250 Directory changed to /enc")
        self.assertEqual(ftp.mkd("目录 甲"), "")
        self.assertEqual(ftp.cwd("目录 甲"), "250 Directory changed to /enc/目录 甲")
        self.assertEqual(ftp.pwd(), "/enc/目录 甲")
        ftp.storbinary("STOR 中文 名字.bin", io.BytesIO(content))
        self.assertEqual(self.read_store("enc", "目录 甲", "中文 名字.bin"), content)
        self.assertEqual(ftp.nlst(), ["中文 名字.bin"])
        self.assertEqual(ftp.size("中文 名字.bin"), len(content))
        self.assertEqual(self.fetch(ftp, "中文 名字.bin", BLOCK), content[BLOCK:])
        self.assertEqual(ftp.sendcmd("OPTS UTF8 OFF"), "200 Option UTF8 is off.")
        self.quit(ftp)

        # A session that stays in the server's code page (GBK) sees the same names.
        ftp = self.session("gbk")
        self.assertEqual(ftp.cwd("/enc/目录 甲"), "250 Directory changed to /enc/目录 甲")
        self.assertEqual(ftp.nlst(), ["中文 名字.bin"])
        lines = self.collect_dir(ftp, [])
        self.assertEqual(len(lines), 1)
        self.assertTrue(lines[0].startswith(f"-rw-rw-rw-   1 user     group {len(content):10d} "))
        self.assertTrue(lines[0].endswith(" 中文 名字.bin"), lines[0])
        self.assertEqual(self.fetch(ftp, "中文 名字.bin"), content)
        self.assertEqual(ftp.rename("中文 名字.bin", "改名 乙.bin"), "250 File renamed.")
        self.assertEqual(self.read_store("enc", "目录 甲", "改名 乙.bin"), content)
        ftp.storbinary("STOR 新 文件.txt", io.BytesIO(b"gbk"))
        self.assertEqual(self.read_store("enc", "目录 甲", "新 文件.txt"), b"gbk")
        self.assertEqual(sorted(os.listdir(self.store_path("enc", "目录 甲"))),
                         sorted(["改名 乙.bin", "新 文件.txt"]))
        self.quit(ftp)


if __name__ == "__main__":
    unittest.main()
