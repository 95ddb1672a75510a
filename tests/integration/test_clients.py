"""Stock clients against the real program: ftplib, curl and lftp each do a user's round trip
(listing, upload, download, append, resume with REST, rename, delete, mkdir/rmdir), bytes
compared with the store and replies by their exact text; and a sparse 5 GiB file."""

import calendar
import ftplib
import io
import os
import random
import re
import shutil
import subprocess
import time
import unittest

from drovn_harness import TIMEOUT, Server, read, temp_dir, write

BLOCK = 458752  # the server's transfer block
OLD = calendar.timegm((2019, 3, 4, 5, 6, 0))
THIS_YEAR = calendar.timegm((time.gmtime().tm_year, 6, 15, 7, 8, 0))
FILE = "-rw-rw-rw-   1 user     group {:10d} {} {}"
DIR = "drw-rw-rw-   1 user     group          0 Mar  4  2019 {}"
# Lines of curl and lftp that tell of trouble, and curl's fallbacks from EPSV and EPRT.
TROUBLE = re.compile(r"^\*\*\*\*|(?i:retry|reconnect|error|fail|abort|time(d )?out|refused"
                     r"|reset|denied|could ?n[o']t|unable|disabling|broken pipe|interrupt)")
FALLBACKS = {"* Failed EPSV attempt. Disabling EPSV", "* disabling EPRT usage", "* sa_addr "
             "inet_ntop() failed with errno 97: Address family not supported by protocol"}
DONE = ["< 125 Connection transfer starting...", "< 226 Transfer completed."]
REFUSED = {"500 Invalid command EPSV", "500 Invalid command EPRT"}
ACTIVE_DONE = ["< 150 Opening data connection...", "< 226 Transfer completed."]
ENV = dict({k: v for k, v in os.environ.items() if "proxy" not in k.lower()}, LC_ALL="C.UTF-8")

class Clients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(["--set", "opt_enableUtf8=1"]).start()
        cls.addClassCleanup(cls.server.close)

    def at(self, *parts):
        return os.path.join(self.server.store, *parts)

    def commands(self, ftp, rows):
        """Sends each row's command; the replies (refusals included) must be the rows' texts."""
        def reply(line):
            try:
                return ftp.sendcmd(line)
            except ftplib.error_perm as refused:
                return str(refused)
        self.assertEqual([(line, reply(line)) for line, _ in rows], rows)

    def test_ftplib_round_trip(self):
        rng = random.Random(1111)
        for passive in (True, False):
            with self.subTest(passive=passive), ftplib.FTP(timeout=TIMEOUT) as ftp:
                d = "pasv" if passive else "port"
                content, tail = rng.randbytes(3 * BLOCK + 9), rng.randbytes(BLOCK + 3)
                self.assertEqual(ftp.connect("127.0.0.1", self.server.port), "220 Server ready...")
                self.assertEqual(ftp.login("anonymous", "guest"), "230 Password ok.")
                ftp.set_pasv(passive)
                self.commands(ftp, [("OPTS UTF8 ON", "200 Option UTF8 is on."),
                                    ("MKD " + d, "257 Directory created."),
                                    ("CWD " + d, f"250 Directory changed to /{d}"),
                                    ("PWD", f'257 "/{d}" is current directory.')])
                self.assertEqual(ftp.storbinary("STOR big.bin", io.BytesIO(content), 100000),
                                 "226 Transfer completed.")
                self.assertEqual((read(self.at(d, "big.bin")), ftp.size("big.bin")),
                                 (content, len(content)))
                # Whole and resumed; an offset serves one download only, past the end nothing.
                for rest in (None, 1, BLOCK + 5, len(content), None, len(content) + 100):
                    chunks = []
                    self.assertEqual(ftp.retrbinary("RETR big.bin", chunks.append, rest=rest),
                                     "226 Transfer completed.")
                    self.assertEqual(b"".join(chunks), content[rest or 0:], rest)
                ftp.storbinary("APPE big.bin", io.BytesIO(tail))
                self.assertEqual(read(self.at(d, "big.bin")), content + tail)
                # A resumed upload keeps the bytes before the offset and drops the rest.
                ftp.storbinary("STOR big.bin", io.BytesIO(b"n" * 50), rest=100)
                self.assertEqual(read(self.at(d, "big.bin")), content[:100] + b"n" * 50)
                ftp.storbinary("STOR 空 e", io.BytesIO(b""))
                self.assertEqual(ftp.sendcmd("MKD sub dir"), "257 Directory created.")
                for name, stamp in (("big.bin", OLD), ("sub dir", OLD), ("空 e", THIS_YEAR)):
                    os.utime(self.at(d, name), (0, stamp))
                lines = []
                ftp.dir(lines.append)
                # Files first, then directories.
                self.assertEqual(sorted(lines[:2]), [FILE.format(0, "Jun 15  7:08", "空 e"),
                                                     FILE.format(150, "Mar  4  2019", "big.bin")])
                self.assertEqual(lines[2:], [DIR.format("sub dir")])
                self.assertEqual(sorted(ftp.nlst()), ["big.bin", "sub dir", "空 e"])
                denied = "550 Access denied!"
                self.commands(ftp, [
                    ("RNFR big.bin", "350 Destination needed."),
                    ("RNTO ../moved.bin", "250 File renamed."), ("RNTO x", "503 New name needed."),
                    ("CWD /..", denied), ("SIZE sub dir", denied), ("RMD 空 e", denied),
                    ("DELE sub dir", denied), ("EPSV", "500 Invalid command EPSV"),
                    ("DELE 空 e", "250 DELE command ok."), ("RMD sub dir", "250 DELE command ok."),
                    ("CWD ..", "250 Directory changed to /"), ("RMD " + d, "250 DELE command ok.")])
                self.assertEqual(read(self.at("moved.bin")), content[:100] + b"n" * 50)
                self.assertEqual(ftp.delete("moved.bin"), "250 DELE command ok.")
                self.assertFalse({d, "moved.bin"} & set(os.listdir(self.server.store)))
                ftp.putcmd("QUIT")  # no reply: the server closes the connection
                self.assertRaises(EOFError, ftp.getline)

    def test_curl_round_trip(self):
        local, rng = temp_dir(self), random.Random(7)
        content, up = rng.randbytes(3 * BLOCK + 99), rng.randbytes(2 * BLOCK + 1)
        for path, data in (("dl/data.bin", content), ("dl/a.bin", up[:9]),
                           ("dl/act.bin", up[:BLOCK]), ("ls/中文 名", b"abc")):
            write(self.at(path), data)
        write(os.path.join(local, "src"), up)
        write(os.path.join(local, "part"), content[:BLOCK])
        os.mkdir(self.at("ls", "sub"))
        for name in ("中文 名", "sub"):
            os.utime(self.at("ls", name), (0, OLD))
        active, port_ok = ("--ftp-port", "127.0.0.1"), "< 200 PORT command ok."
        rows = [  # curl arguments, lines in this order in its log, file (or output): bytes
            (["-o", "out", "dl/data.bin"], [
                "< 220 Server ready...", '< 331 User name "anonymous" is okay, need password.',
                "< 230 Password ok.", '< 257 "/" is current directory.', "> CWD dl",
                "< 250 Directory changed to /dl", "< 500 Invalid command EPSV", "> PASV",
                "< 200 Type is set to 'I'.", f"< 213 {len(content)}", "> RETR data.bin"] + DONE,
             "out", content),
            (["-T", "src", "dl/up%20load"], ["> STOR up load"] + DONE, self.at("dl/up load"), up),
            (["-C", "-", "-o", "part", "dl/data.bin"], [
                f"> REST {BLOCK}", f"< 350 REST from {BLOCK}", "> RETR data.bin"] + DONE,
             "part", content),
            (["-C", "-", "-T", "src", "dl/a.bin"], ["> SIZE a.bin", "< 213 9", "> APPE a.bin"]
             + DONE, self.at("dl/a.bin"), up),
            ([*active, "-o", "out", "dl/data.bin"], [
                "< 500 Invalid command EPRT", port_ok, "> RETR data.bin"] + ACTIVE_DONE,
             "out", content),
            ([*active, "-C", "-", "-T", "src", "dl/act.bin"], [
                port_ok, f"< 213 {BLOCK}", "> APPE act.bin"] + ACTIVE_DONE,
             self.at("dl/act.bin"), up),
            (["-Q", "OPTS UTF8 ON", "ls/"], [
                "< 200 Option UTF8 is on.", "> CWD ls", "< 200 Type is set to 'A'.", "> LIST"]
             + DONE, None, f"{FILE.format(3, 'Mar  4  2019', '中文 名')}\n{DIR.format('sub')}\n"),
            (["-Q", "OPTS UTF8 ON", "-l", "ls/"], ["> NLST"] + DONE, None, "中文 名\nsub\n"),
            (["-Q", "MKD new dir", "-Q", "-RNFR data.bin", "-Q", "-RNTO re named",
              "-Q", "-DELE re named", "-o", "out", "dl/data.bin"], [
                "< 257 Directory created."] + DONE + [
                "> RNFR data.bin", "< 350 Destination needed.", "> RNTO re named",
                "< 250 File renamed.", "> DELE re named", "< 250 DELE command ok."],
             "out", content),
        ]
        for args, expected, path, want in rows:
            with self.subTest(args=args):
                done = subprocess.run(["curl", "-q", "-sS", "-v", "--noproxy", "*", *args[:-1],
                                       f"ftp://127.0.0.1:{self.server.port}/{args[-1]}"],
                                      cwd=local, env=ENV, capture_output=True, timeout=150)
                lines = done.stderr.decode("utf-8", errors="replace").splitlines()
                self.assertEqual(done.returncode, 0, lines)
                # Refused are only the commands curl falls back from.
                self.assertFalse([line for line in lines if line[:2] == "< " and line[2] in "45"
                                  and line[2:] not in REFUSED or line[:2] not in ("> ", "< ")
                                  and line not in FALLBACKS and TROUBLE.search(line)], lines)
                got = read(os.path.join(local, path)) if path else done.stdout.decode()
                self.assertEqual(got, want)
                at = iter(lines)
                self.assertTrue(all(line in at for line in expected), (expected, lines))
        self.assertEqual(sorted(os.listdir(self.at("dl"))), ["a.bin", "act.bin", "up load"])
        self.assertTrue(os.path.isdir(self.at("new dir")))

    def test_lftp_mirror_round_trip(self):
        # Names all in GBK too, with no two spaces in a row (the server folds them into one).
        rng, expected = random.Random(20091111), {}
        sizes = [0, 1, 4096, BLOCK, 3 * BLOCK + 17] + [rng.randint(1, 60000) for _ in range(30)]
        for i, size in enumerate(sizes):
            expected[os.path.join(("", "dir 1", "目录2", "dir 1/层 3 级")[i % 4],
                                  ("file{}", "note {}.txt", "报告 {} 终稿", "x{}")[i % 3]
                                  .format(i))] = rng.randbytes(size)

        def tree(root):
            return {os.path.relpath(os.path.join(here, n), root): read(os.path.join(here, n))
                    for here, _, names in os.walk(root) for n in names}
        for tag, extra, charset in (("utf8", ["--set", "opt_enableUtf8=1"], ""),
                                    ("gbk", [], "set ftp:charset gbk; set ftp:use-utf8 no;")):
            with self.subTest(tag), Server(extra) as server:
                work = temp_dir(self)
                for name, data in expected.items():
                    write(os.path.join(work, "source", name), data)
                done = subprocess.run(["lftp", "-c", (
                    "set ftp:passive-mode yes; set ftp:ssl-allow no; set net:max-retries 1; "
                    f"set net:timeout 20; set cmd:fail-exit yes; {charset} debug -o log 9; "
                    f"open -u anonymous,guest ftp://127.0.0.1:{server.port}; "
                    "mirror -R source up; mirror up back")], cwd=work, timeout=300, text=True,
                    env=dict(ENV, HOME=work), stdin=subprocess.DEVNULL, capture_output=True)
                with open(os.path.join(work, "log"), encoding="utf-8", errors="replace") as f:
                    log = f.read().splitlines()
                self.assertEqual((done.returncode, done.stderr), (0, ""), log[-40:])
                for root in (os.path.join(server.store, "up"), os.path.join(work, "back")):
                    self.assertEqual(tree(root), expected)
                # Only the refusals of commands lftp can do without (FEAT before the login).
                self.assertLessEqual({l for l in log if l.startswith(("<--- 4", "<--- 5"))}, {
                    "<--- 500 Invalid command MDTM", "<--- 500 Invalid command SITE",
                    "<--- 530 Please log in first."})
                self.assertFalse([l for l in log if l[:4] not in ("<---", "--->")
                                  and TROUBLE.search(l)])
                self.assertEqual(sum(l.startswith("---- Connecting to ") for l in log), 1)
                self.assertEqual(sum(l.startswith("---> STOR ") for l in log), len(sizes))
                # lftp fetches no data for an empty file: it knows the size from the listing.
                self.assertEqual(sum(l.startswith("---> RETR ") for l in log),
                                 len(sizes) - 1)
                self.assertEqual("<--- 200 Option UTF8 is on." in log, tag == "utf8")

    def test_sparse_5_gib_file(self):
        size = 5 << 30
        with open(self.at("sparse"), "wb") as f:
            f.truncate(size)
            f.seek(size - 10)
            f.write(b"drovn ends")
        with ftplib.FTP(timeout=TIMEOUT) as ftp:
            ftp.connect("127.0.0.1", self.server.port)
            ftp.login()
            # Size and offset need more than 32 bits.
            self.assertEqual(ftp.sendcmd("SIZE sparse"), f"213 {size}")
            got = []
            ftp.retrbinary("RETR sparse", got.append, rest=size - 100)
            self.assertEqual(b"".join(got), bytes(90) + b"drovn ends")
        os.remove(self.at("sparse"))

if __name__ == "__main__":
    unittest.main()
