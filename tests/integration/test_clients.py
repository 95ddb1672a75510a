"""Stock clients against the real program: ftplib, curl and lftp each do a user's round trip,
bytes compared with the store and replies by their exact text; and a sparse 5 GiB file."""

import calendar
import ftplib
import io
import os
import random
import re
import subprocess
import unittest

from drovn_harness import TIMEOUT, Server, read, temp_dir, write

BLOCK = 458752  # the server's transfer block
LISTED = ("-rw-rw-rw-   1 user     group          3 Mar  4  2019 中文 名\n"
          "drw-rw-rw-   1 user     group          0 Mar  4  2019 sub\n")
# Lines of curl and lftp that tell of trouble, and curl's fallbacks from EPSV and EPRT.
TROUBLE = re.compile(r"^\*\*\*\*|(?i:retry|reconnect|error|fail|abort|time(d )?out|refused"
                     r"|reset|denied|could ?n[o']t|unable|disabling|broken pipe|interrupt)")
FALLBACKS = {"* Failed EPSV attempt. Disabling EPSV", "* disabling EPRT usage", "* sa_addr "
             "inet_ntop() failed with errno 97: Address family not supported by protocol"}
REFUSED = {"500 Invalid command EPSV", "500 Invalid command EPRT"}
DONE = ["< 125 Connection transfer starting...", "< 226 Transfer completed."]
ENV = dict({k: v for k, v in os.environ.items() if "proxy" not in k.lower()}, LC_ALL="C.UTF-8")

class Clients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(["--set", "opt_enableUtf8=1"]).start()
        cls.addClassCleanup(cls.server.close)

    def at(self, *parts):
        return os.path.join(self.server.store, *parts)

    def test_ftplib_round_trip(self):
        def check(rows):  # each command's reply, refusals included, is the row's text
            self.assertEqual([(line, reply(line)) for line, _ in rows], rows)

        def reply(line):
            try:
                return ftp.sendcmd(line)
            except ftplib.error_perm as refused:
                return str(refused)
        # A sparse 5 GiB file: its size and offsets need more than 32 bits.
        with open(self.at("sparse"), "wb") as f:
            f.truncate(5 << 30)
            f.seek((5 << 30) - 10)
            f.write(b"drovn ends")
        self.addCleanup(os.remove, self.at("sparse"))
        for passive, d in ((True, "pasv"), (False, "port")):
            with self.subTest(d), ftplib.FTP(timeout=TIMEOUT) as ftp:
                content, tail = random.randbytes(3 * BLOCK + 9), random.randbytes(BLOCK + 3)
                self.assertEqual(ftp.connect("127.0.0.1", self.server.port), "220 Server ready...")
                self.assertEqual(ftp.login("anonymous", "guest"), "230 Password ok.")
                ftp.set_pasv(passive)
                got = []
                ftp.retrbinary("RETR sparse", got.append, rest=(5 << 30) - 100)
                self.assertEqual(b"".join(got), bytes(90) + b"drovn ends")
                check([("SIZE sparse", f"213 {5 << 30}"), ("MKD " + d, "257 Directory created."),
                       ("CWD " + d, f"250 Directory changed to /{d}"),
                       ("PWD", f'257 "/{d}" is current directory.')])
                self.assertEqual(ftp.storbinary("STOR a b", io.BytesIO(content), 100000),
                                 "226 Transfer completed.")
                self.assertEqual((read(self.at(d, "a b")), ftp.size("a b")),
                                 (content, len(content)))
                # Whole and resumed; an offset serves one download only, past the end nothing.
                for rest in (None, 1, BLOCK + 5, len(content), None, len(content) + 100):
                    chunks = []
                    self.assertEqual(ftp.retrbinary("RETR a b", chunks.append, rest=rest),
                                     "226 Transfer completed.")
                    self.assertEqual(b"".join(chunks), content[rest or 0:], rest)
                ftp.storbinary("APPE a b", io.BytesIO(tail))
                self.assertEqual(read(self.at(d, "a b")), content + tail)
                # A resumed upload keeps the bytes before the offset and drops the rest.
                ftp.storbinary("STOR a b", io.BytesIO(b"n" * 50), rest=100)
                self.assertEqual(read(self.at(d, "a b")), content[:100] + b"n" * 50)
                self.assertEqual(ftp.nlst(), ["a b"])
                denied = "550 Access denied!"
                check([("RNFR a b", "350 Destination needed."), ("RNTO ../c", "250 File renamed."),
                       ("RNTO x", "503 New name needed."), ("CWD /..", denied),
                       (f"SIZE /{d}", denied), ("RMD /c", denied),
                       ("EPSV", "500 Invalid command EPSV"),
                       ("CWD ..", "250 Directory changed to /"),
                       ("RMD " + d, "250 DELE command ok."), ("DELE c", "250 DELE command ok.")])
                self.assertFalse({d, "c"} & set(os.listdir(self.server.store)))
                ftp.putcmd("QUIT")  # no reply: the server closes the connection
                self.assertRaises(EOFError, ftp.getline)

    def test_curl_round_trip(self):
        local = temp_dir(self)
        content, up = random.randbytes(3 * BLOCK + 99), random.randbytes(2 * BLOCK + 1)
        for path, data in ((self.at("dl/data"), content), (self.at("dl/a"), up[:9]),
                           (self.at("ls/中文 名"), b"abc"), (local + "/src", up),
                           (local + "/part", content[:BLOCK])):
            write(path, data)
        os.mkdir(self.at("ls", "sub"))
        for name in ("中文 名", "sub"):
            os.utime(self.at("ls", name), (0, calendar.timegm((2019, 3, 4, 5, 6, 0))))
        rows = [  # curl arguments, lines in this order in its log, file (or output): bytes
            (["-o", "out", "dl/data"], [
                "< 220 Server ready...", '< 331 User name "anonymous" is okay, need password.',
                '< 257 "/" is current directory.', "< 250 Directory changed to /dl",
                "< 500 Invalid command EPSV", "< 200 Type is set to 'I'.",
                f"< 213 {len(content)}", "> RETR data", *DONE], "out", content),
            (["-T", "src", "dl/up%20load"], ["> STOR up load", *DONE], self.at("dl/up load"), up),
            (["-C", "-", "-o", "part", "dl/data"], [f"< 350 REST from {BLOCK}", "> RETR data"],
             "part", content),
            (["-C", "-", "-T", "src", "dl/a"], ["< 213 9", "> APPE a", *DONE],
             self.at("dl/a"), up),
            (["--ftp-port", "127.0.0.1", "-o", "out", "dl/data"], [
                "< 500 Invalid command EPRT", "< 200 PORT command ok.",
                "< 150 Opening data connection...", "< 226 Transfer completed."], "out", content),
            (["-Q", "OPTS UTF8 ON", "ls/"], [
                "< 200 Option UTF8 is on.", "< 200 Type is set to 'A'.", "> LIST"], None, LISTED),
            (["-Q", "OPTS UTF8 ON", "-l", "ls/"], ["> NLST"], None, "中文 名\nsub\n"),
            (["-Q", "MKD new dir", "-Q", "-RNFR data", "-Q", "-RNTO re named",
              "-Q", "-DELE re named", "-o", "out", "dl/data"], [
                "< 257 Directory created.", "< 350 Destination needed.", "< 250 File renamed.",
                "< 250 DELE command ok."], "out", content),
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
        self.assertEqual(sorted(os.listdir(self.at("dl"))), ["a", "up load"])
        self.assertTrue(os.path.isdir(self.at("new dir")))

    def test_lftp_mirror_round_trip(self):
        # Names all in GBK too, with no two spaces in a row (the server folds them into one).
        sizes = [0, 1, 4096, BLOCK, 3 * BLOCK + 17] + [random.randint(1, 60000) for _ in range(30)]
        folders, names = ("", "dir 1", "目录2", "dir 1/层 3 级"), ("f{}", "note {}.txt", "报告 {} 终稿")
        tree = {os.path.join(folders[i % 4], names[i % 3].format(i)): random.randbytes(n)
                for i, n in enumerate(sizes)}
        for tag, extra, charset in (("utf8", ["--set", "opt_enableUtf8=1"], ""),
                                    ("gbk", [], "set ftp:charset gbk; set ftp:use-utf8 no;")):
            with self.subTest(tag), Server(extra) as server:
                work = temp_dir(self)
                for name, data in tree.items():
                    write(os.path.join(work, "source", name), data)
                done = subprocess.run(["lftp", "-c", (
                    "set ftp:passive-mode yes; set ftp:ssl-allow no; set net:max-retries 1; "
                    f"set net:timeout 20; set cmd:fail-exit yes; {charset} debug -o log 9; "
                    f"open -u anonymous,guest ftp://127.0.0.1:{server.port}; "
                    "mirror -R source up; mirror up back")], cwd=work, timeout=300, text=True,
                    env=dict(ENV, HOME=work), stdin=subprocess.DEVNULL, capture_output=True)
                log = read(os.path.join(work, "log")).decode("utf-8", errors="replace").split("\n")
                self.assertEqual((done.returncode, done.stderr), (0, ""), log[-40:])
                for root in (os.path.join(server.store, "up"), os.path.join(work, "back")):
                    self.assertEqual({os.path.relpath(os.path.join(here, n), root): read(
                        os.path.join(here, n)) for here, _, names in os.walk(root)
                        for n in names}, tree)
                self.assertFalse([l for l in log if l[:4] not in ("<---", "--->")
                                  and TROUBLE.search(l)])
                # One connection, every file sent; lftp fetches no data for the empty file.
                self.assertEqual([sum(l.startswith(w) for l in log) for w in (
                    "---- Connecting to ", "---> STOR ", "---> RETR ")], [1, 35, 34])
                self.assertEqual("<--- 200 Option UTF8 is on." in log, tag == "utf8")

if __name__ == "__main__":
    unittest.main()
