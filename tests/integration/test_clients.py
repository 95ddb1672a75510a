"""Stock clients against the real program: Python's ftplib and curl each do a user's round trip
(login, listing, upload, download, append, resume with REST, rename, delete, mkdir/rmdir) in
passive and active mode, bytes compared with the store and replies by their exact text; and
the program's start-up log, its close on SIGTERM and its command-line refusals."""

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

from drovn_harness import TIMEOUT, Server, read, run_once, temp_dir, write

BLOCK = 458752  # the server's transfer block
CURL = shutil.which("curl")
OLD = calendar.timegm((2019, 3, 4, 5, 6, 0))
THIS_YEAR = calendar.timegm((time.gmtime().tm_year, 6, 15, 7, 8, 0))
FILE = "-rw-rw-rw-   1 user     group {:10d} {} {}"
DIR = "drw-rw-rw-   1 user     group          0 Mar  4  2019 {}"
# curl's own lines that mention a failure but belong to its fallbacks from EPSV and EPRT.
FALLBACKS = {"* Failed EPSV attempt. Disabling EPSV", "* disabling EPRT usage",
             "* sa_addr inet_ntop() failed with errno 97: "
             "Address family not supported by protocol"}
TROUBLE = re.compile(r"(?i)retry|error|fail|abort|time(d )?out|refused|reset|denied|could ?n[o']t"
                     r"|unable|disabling")
DONE = ["< 125 Connection transfer starting...", "< 226 Transfer completed."]
ACTIVE_DONE = ["< 150 Opening data connection...", "< 226 Transfer completed."]


class Clients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(["--set", "opt_enableUtf8=1"]).start()
        cls.addClassCleanup(cls.server.close)

    def at(self, *parts):
        return os.path.join(self.server.store, *parts)

    def test_ftplib_round_trip(self):
        rng = random.Random(1111)
        for passive in (True, False):
            with self.subTest(passive=passive), ftplib.FTP(timeout=TIMEOUT) as ftp:
                d = "pasv" if passive else "port"
                self.assertEqual(ftp.connect("127.0.0.1", self.server.port), "220 Server ready...")
                self.assertEqual(ftp.login("anonymous", "guest"), "230 Password ok.")
                ftp.set_pasv(passive)
                self.assertEqual(ftp.sendcmd("OPTS UTF8 ON"), "200 Option UTF8 is on.")
                self.assertEqual(ftp.sendcmd("MKD " + d), "257 Directory created.")
                self.assertEqual(ftp.cwd(d), f"250 Directory changed to /{d}")
                self.assertEqual(ftp.pwd(), f"/{d}")
                content, tail = rng.randbytes(3 * BLOCK + 1234), rng.randbytes(BLOCK + 3)
                self.assertEqual(ftp.storbinary("STOR big.bin", io.BytesIO(content), 100000),
                                 "226 Transfer completed.")
                self.assertEqual(read(self.at(d, "big.bin")), content)
                self.assertEqual(ftp.size("big.bin"), len(content))
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
                for name in ("big.bin", "sub dir"):
                    os.utime(self.at(d, name), (0, OLD))
                os.utime(self.at(d, "空 e"), (0, THIS_YEAR))
                lines = []
                ftp.dir(lines.append)
                # Files first, then directories.
                self.assertEqual(sorted(lines[:2]), sorted([
                    FILE.format(150, "Mar  4  2019", "big.bin"),
                    FILE.format(0, "Jun 15  7:08", "空 e")]))
                self.assertEqual(lines[2:], [DIR.format("sub dir")])
                self.assertEqual(sorted(ftp.nlst()), ["big.bin", "sub dir", "空 e"])
                self.assertEqual(ftp.rename("big.bin", "../moved.bin"), "250 File renamed.")
                self.assertEqual(read(self.at("moved.bin")), content[:100] + b"n" * 50)
                for line, reply in (("RNFR gone", "550 Access denied!"),
                                    ("RNTO x", "503 New name needed."),
                                    ("CWD /..", "550 Access denied!"),
                                    ("SIZE sub dir", "550 Access denied!"),
                                    ("DELE sub dir", "550 Access denied!"),
                                    ("RMD 空 e", "550 Access denied!"),
                                    ("TYPE X", "500 Invalid type 'X."),
                                    ("EPSV", "500 Invalid command EPSV")):
                    with self.assertRaises(ftplib.error_perm) as refused:
                        ftp.sendcmd(line)
                    self.assertEqual(str(refused.exception), reply, line)
                self.assertEqual(ftp.delete("空 e"), "250 DELE command ok.")
                self.assertEqual(ftp.rmd("sub dir"), "250 DELE command ok.")
                self.assertEqual(ftp.cwd(".."), "250 Directory changed to /")
                self.assertEqual(ftp.rmd(d), "250 DELE command ok.")
                self.assertEqual(ftp.delete("moved.bin"), "250 DELE command ok.")
                self.assertFalse({d, "moved.bin"} & set(os.listdir(self.server.store)))
                ftp.putcmd("QUIT")  # no reply: the server closes the connection
                self.assertRaises(EOFError, ftp.getline)

    def curl(self, local, args, refusals):
        """Runs curl -v; every 4xx/5xx reply must be one of refusals, every other line free of
        trouble. Gives (standard output, verbose lines)."""
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        done = subprocess.run([CURL, "-q", "-sS", "-v", "--noproxy", "*", "--max-time", "120",
                               *args], cwd=local, env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=150)
        lines = done.stderr.decode("utf-8", errors="replace").splitlines()
        text = "\n".join(lines)
        self.assertEqual(done.returncode, 0, text)
        for line in lines:
            if line.startswith("< ") and line[2:3] in "45":
                self.assertIn(line[2:], refusals, text)
            elif not line.startswith(("> ", "< ", "{ ", "} ")) and line not in FALLBACKS:
                self.assertIsNone(TROUBLE.search(line), text)
        return done.stdout, lines

    def test_curl_round_trip(self):
        self.assertTrue(CURL, "curl is not installed (scripts/packages.sh installs it)")
        local, rng = temp_dir(self), random.Random(7)
        base = f"ftp://127.0.0.1:{self.server.port}/"
        content, up = rng.randbytes(3 * BLOCK + 99), rng.randbytes(2 * BLOCK + 1)
        write(self.at("dl", "data.bin"), content)
        write(self.at("dl", "app.bin"), up[:300000])
        write(self.at("dl", "act.bin"), up[:BLOCK])
        write(os.path.join(local, "src.bin"), up)
        write(os.path.join(local, "part.bin"), content[:BLOCK])
        write(self.at("ls", "中文 名.txt"), b"abc")
        os.mkdir(self.at("ls", "sub"))
        for name in ("中文 名.txt", "sub"):
            os.utime(self.at("ls", name), (0, OLD))
        active, pasv = ("--ftp-port", "127.0.0.1"), {"500 Invalid command EPSV"}
        port = {"500 Invalid command EPRT"}
        listing = (FILE.format(3, "Mar  4  2019", "中文 名.txt") + "\n" + DIR.format("sub") + "\n")
        rows = [  # curl arguments, lines in order in its log, refusals, file or output: bytes
            (["-o", "out.bin", "dl/data.bin"], [
                "< 220 Server ready...", "> USER anonymous",
                '< 331 User name "anonymous" is okay, need password.', "< 230 Password ok.",
                "> PWD", '< 257 "/" is current directory.', "> CWD dl",
                "< 250 Directory changed to /dl", "> EPSV", "< 500 Invalid command EPSV",
                "> PASV", "> TYPE I", "< 200 Type is set to 'I'.", "> SIZE data.bin",
                f"< 213 {len(content)}", "> RETR data.bin"] + DONE, pasv, "out.bin", content),
            (["-T", "src.bin", "dl/up%20load.bin"], ["> STOR up load.bin"] + DONE, pasv,
             self.at("dl", "up load.bin"), up),
            (["-C", "-", "-o", "part.bin", "dl/data.bin"], [
                f"> REST {BLOCK}", f"< 350 REST from {BLOCK}", "> RETR data.bin"] + DONE, pasv,
             "part.bin", content),
            (["-C", "-", "-T", "src.bin", "dl/app.bin"], [
                "> SIZE app.bin", "< 213 300000", "> APPE app.bin"] + DONE, pasv,
             self.at("dl", "app.bin"), up),
            ([*active, "-o", "out.bin", "dl/data.bin"], [
                "< 500 Invalid command EPRT", "< 200 PORT command ok.", "> RETR data.bin"]
             + ACTIVE_DONE, port, "out.bin", content),
            ([*active, "-C", "-", "-T", "src.bin", "dl/act.bin"], [
                "< 200 PORT command ok.", f"< 213 {BLOCK}", "> APPE act.bin"] + ACTIVE_DONE,
             port, self.at("dl", "act.bin"), up),
            (["-Q", "OPTS UTF8 ON", "ls/"], [
                "> OPTS UTF8 ON", "< 200 Option UTF8 is on.", "> CWD ls", "> TYPE A",
                "< 200 Type is set to 'A'.", "> LIST"] + DONE, pasv, None, listing.encode()),
            (["-Q", "OPTS UTF8 ON", "-l", "ls/"], ["> NLST"] + DONE, pasv, None,
             "中文 名.txt\nsub\n".encode()),
            (["--ftp-create-dirs", "-T", "src.bin", "new/deep%20er/f.bin"], [
                "> CWD new", "< 550 Access denied!", "> MKD new", "< 257 Directory created.",
                "> CWD new", "< 250 Directory changed to /new", "> CWD deep er",
                "< 550 Access denied!", "> MKD deep er", "> CWD deep er",
                "< 250 Directory changed to /new/deep er", "> STOR f.bin"] + DONE,
             pasv | {"550 Access denied!"}, self.at("new", "deep er", "f.bin"), up),
            (["-Q", "-RNFR data.bin", "-Q", "-RNTO re named", "-Q", "-DELE re named",
              "-o", "out.bin", "dl/data.bin"], DONE + [
                "> RNFR data.bin", "< 350 Destination needed.", "> RNTO re named",
                "< 250 File renamed.", "> DELE re named", "< 250 DELE command ok."], pasv,
             "out.bin", content),
        ]
        for args, expected, refusals, path, want in rows:
            with self.subTest(args=args):
                out, lines = self.curl(local, args[:-1] + [base + args[-1]], refusals)
                self.assertEqual(read(os.path.join(local, path)) if path else out, want)
                at = 0
                for line in expected:
                    while at < len(lines) and lines[at] != line:
                        at += 1
                    self.assertLess(at, len(lines), f"no {line!r} in order in\n" +
                                    "\n".join(lines))
        self.assertEqual(sorted(os.listdir(self.at("dl"))),
                         ["act.bin", "app.bin", "up load.bin"])

    def test_start_up_log_and_close(self):
        with Server() as server:
            first = server.wait_line("准备启动FTP服务...")
            self.assertEqual(first, 0, server.lines)
            found = server.wait_line("找到IP: ", server.wait_line("主机名称: ", part=True), True)
            started = server.wait_line("服务已启动.", found)
            self.assertEqual(server.lines[started + 1:started + 3],
                             [f"监听端口: {server.port}", "服务地址: ftp://127.0.0.1"])
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port, TIMEOUT)
            self.assertEqual(ftp.sendcmd("NOOP"), "200 OK ")
            noop = server.wait_line("#1>NOOP")
            self.assertEqual(server.wait_line("200 OK", noop), noop + 1)
            # A second start on the same registry leaves at once and starts nothing.
            second = run_once(["--headless", "--store", server.store, "--registry",
                               server.registry, "--port", "0"])
            self.assertEqual((second.returncode, second.stdout), (0, ""), second.stderr)
            self.assertEqual(server.stop(), 0)
            ftp.close()
            stopping = server.wait_line("正在停止...", started)
            server.wait_line("服务已停止.", stopping)
            self.assertEqual(server.lines[-1], "正在退出...")

    def test_command_line_refusals_exit_2(self):
        for args, message in ((["--store", "/no/such/dir"], "does not exist"),
                              (["--set", "no_such=1"], "unknown setting 'no_such'"),
                              (["--set", "auth_enable1=yes"], "takes 1 or 0"),
                              (["--port", "70000"], "0 to 65535"), (["--bogus"], "--help"),
                              (["--store"], "needs a value")):
            with self.subTest(args=args):
                result = run_once(args)
                self.assertEqual((result.returncode, result.stdout), (2, ""), result.stderr)
                self.assertIn(message, result.stderr)


if __name__ == "__main__":
    unittest.main()
