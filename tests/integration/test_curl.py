"""curl against the real program: downloads and uploads in passive and active mode, resumed
both ways (REST before RETR; SIZE then APPE), LIST and NLST listings, uploads that create
their directories, and quoted commands before and after a transfer.

curl runs verbose; every run must end with exit code 0 and show no retry, error or failure
apart from the server's refusals of the commands it does not have (EPSV, EPRT), which curl
answers by falling back to PASV and PORT."""

import calendar
import os
import random
import re
import shutil
import subprocess
import tempfile
import unittest
import urllib.parse

from drovn_harness import DrovnProcess, assert_clean_stderr

CURL = shutil.which("curl")
BLOCK = 458752  # the server's transfer block
CURL_TIMEOUT = 120  # seconds for one curl run, sanitizer builds included

# curl's own lines that mention a failure but belong to its fallbacks from EPSV and EPRT. The
# inet_ntop line is curl's (7.88) while it describes the socket it listens on in active mode.
CURL_FALLBACK_LINES = {
    "* Failed EPSV attempt. Disabling EPSV",
    "* disabling EPRT usage",
    "* sa_addr inet_ntop() failed with errno 97: Address family not supported by protocol",
}
PASSIVE_REFUSALS = {"500 Invalid command EPSV"}
ACTIVE_REFUSALS = {"500 Invalid command EPRT"}
TROUBLE = re.compile(r"(?i)retry|retrying|error|fail|abort|timeout|timed out|refused|reset"
                     r"|denied|could ?n[o']t|unable|disabling")


def utc(year, month, day, hour, minute):
    return calendar.timegm((year, month, day, hour, minute, 0, 0, 0, 0))


class CurlClient(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # scripts/packages.sh installs curl: a missing one is a broken machine, not a skip.
        assert CURL, "curl is not installed (scripts/packages.sh installs it)"
        cls.server = DrovnProcess(["--set", "opt_enableUtf8=1"]).start()
        cls.server.wait_until_listening()
        cls.base = f"ftp://127.0.0.1:{cls.server.port}/"

    @classmethod
    def tearDownClass(cls):
        server = cls.server
        try:
            server.stop()
            assert "Failed to process" not in server.lines, server.lines
            assert_clean_stderr(server)
        finally:
            server.close()

    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="drovn-curl-")
        self.addCleanup(tmp.cleanup)
        self.local = tmp.name
        self.rng = random.Random(self.id())

    def store_path(self, *parts):
        return os.path.join(self.server.store, *parts)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def write(self, path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def curl(self, *args, refusals=PASSIVE_REFUSALS, code=0, failure_lines=()):
        """Runs curl -v with args; gives (standard output, verbose lines).

        Every 4xx or 5xx reply must be one of refusals; every other line must be free of trouble
        unless it is one of curl's fallback lines or of the failure_lines of a run that is meant
        to fail."""
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        done = subprocess.run(
            [CURL, "-q", "-sS", "-v", "--noproxy", "*", "--connect-timeout", "20",
             "--max-time", str(CURL_TIMEOUT), *args],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=CURL_TIMEOUT + 30, env=env,
            cwd=self.local)
        lines = done.stderr.decode("utf-8", errors="replace").splitlines()
        self.assertEqual(done.returncode, code, "\n".join(lines))
        for line in lines:
            if line.startswith("< "):
                if line[2:3] in ("4", "5"):
                    self.assertIn(line[2:], refusals, "\n".join(lines))
            elif not line.startswith(("> ", "{ ", "} ")):
                if line not in CURL_FALLBACK_LINES and line not in failure_lines:
                    self.assertIsNone(TROUBLE.search(line), "\n".join(lines))
        return done.stdout, lines

    def assert_in_order(self, lines, expected):
        """expected appear in lines in this order (other lines may come between)."""
        at = 0
        for want in expected:
            while at < len(lines) and lines[at] != want:
                at += 1
            self.assertLess(at, len(lines), f"{want!r} missing after its predecessors in\n"
                            + "\n".join(lines))
            at += 1

    def passive_lines(self, lines):
        pasv = [l for l in lines if l.startswith("< 227 ")]
        self.assertTrue(pasv, lines)
        for l in pasv:
            self.assertRegex(l, r"^< 227 \(127,0,0,1,\d+,\d+\) Entering passive mode\.\.\.$")

    def test_download_and_upload(self):
        content = self.rng.randbytes(3 * BLOCK + 99)
        self.write(self.store_path("dl", "data.bin"), content)
        out = os.path.join(self.local, "out.bin")
        _, lines = self.curl("-o", out, self.base + "dl/data.bin")
        self.assertEqual(self.read(out), content)
        self.passive_lines(lines)
        self.assert_in_order(lines, [
            "< 220 Server ready...", "> USER anonymous",
            '< 331 User name "anonymous" is okay, need password.', "< 230 Password ok.",
            "> PWD", '< 257 "/" is current directory.', "> CWD dl",
            "< 250 Directory changed to /dl", "> EPSV", "< 500 Invalid command EPSV", "> PASV",
            "> TYPE I", "< 200 Type is set to 'I'.", "> SIZE data.bin", f"< 213 {len(content)}",
            "> RETR data.bin", "< 125 Connection transfer starting...",
            "< 226 Transfer completed."])

        # Upload of a new file and over an existing one; a name with a space.
        for name, size in (("up load.bin", 2 * BLOCK + 1), ("up load.bin", 10),
                           ("empty.bin", 0)):
            data = self.rng.randbytes(size)
            self.write(os.path.join(self.local, "src.bin"), data)
            _, lines = self.curl("-T", "src.bin", self.base + "dl/" + urllib.parse.quote(name))
            self.assertEqual(self.read(self.store_path("dl", name)), data)
            self.assert_in_order(lines, [f"> STOR {name}", "< 125 Connection transfer starting...",
                                         "< 226 Transfer completed."])

        # Paths in one command instead of CWD steps, and one CWD for the whole path.
        for method, expected in (("nocwd", ["> SIZE dl/data.bin", "> RETR dl/data.bin"]),
                                 ("singlecwd", ["> CWD dl", "> RETR data.bin"])):
            _, lines = self.curl("--ftp-method", method, "-o", out, self.base + "dl/data.bin")
            self.assertEqual(self.read(out), content)
            self.assert_in_order(lines, expected + ["< 226 Transfer completed."])

    def test_resume_download_and_upload(self):
        content = self.rng.randbytes(2 * BLOCK + 4321)
        self.write(self.store_path("resume", "file.bin"), content)

        # Download: curl asks for the rest of what it has.
        partial = os.path.join(self.local, "file.bin")
        for have in (400000, BLOCK, len(content) - 1):
            self.write(partial, content[:have])
            _, lines = self.curl("-C", "-", "-o", partial, self.base + "resume/file.bin")
            self.assertEqual(self.read(partial), content)
            self.assert_in_order(lines, [f"< 213 {len(content)}", f"> REST {have}",
                                         f"< 350 REST from {have}", "> RETR file.bin",
                                         "< 125 Connection transfer starting...",
                                         "< 226 Transfer completed."])

        # Upload: curl asks for the size of what the server has, then appends the rest.
        source = os.path.join(self.local, "source.bin")
        self.write(source, content)
        for have in (300000, BLOCK + 1, 0):
            self.write(self.store_path("resume", "up.bin"), content[:have])
            _, lines = self.curl("-C", "-", "-T", source, self.base + "resume/up.bin")
            self.assertEqual(self.read(self.store_path("resume", "up.bin")), content)
            # With nothing on the server there is nothing to continue: curl stores anew.
            command = "APPE" if have else "STOR"
            self.assert_in_order(lines, ["> SIZE up.bin", f"< 213 {have}", f"> {command} up.bin",
                                         "< 125 Connection transfer starting...",
                                         "< 226 Transfer completed."])

    def test_listings(self):
        self.write(self.store_path("ls", "a.txt"), b"abc")
        self.write(self.store_path("ls", "b c.bin"), b"\0" * 1000)
        self.write(self.store_path("ls", "中文.txt"), b"")
        os.makedirs(self.store_path("ls", "sub"))
        for name in ("a.txt", "b c.bin", "中文.txt", "sub"):
            os.utime(self.store_path("ls", name), (0, utc(2019, 3, 4, 5, 6)))
        files = [b"-rw-rw-rw-   1 user     group          3 Mar  4  2019 a.txt",
                 b"-rw-rw-rw-   1 user     group       1000 Mar  4  2019 b c.bin",
                 "-rw-rw-rw-   1 user     group          0 Mar  4  2019 中文.txt".encode()]
        directory = b"drw-rw-rw-   1 user     group          0 Mar  4  2019 sub"

        # Listings travel as ASCII, and curl turns their CR LF line ends into LF.
        def split(out):
            self.assertTrue(out.endswith(b"\n"), out)
            self.assertNotIn(b"\r", out)
            return out[:-1].split(b"\n")

        # UTF-8 names need OPTS UTF8 ON, which curl sends as a quoted command.
        utf8 = ("-Q", "OPTS UTF8 ON")
        out, lines = self.curl(*utf8, self.base + "ls/")
        got = split(out)
        self.assertEqual(sorted(got[:3]), sorted(files))  # files first, then directories
        self.assertEqual(got[3:], [directory])
        self.assert_in_order(lines, ["> OPTS UTF8 ON", "< 200 Option UTF8 is on.", "> CWD ls",
                                     "> TYPE A", "< 200 Type is set to 'A'.", "> LIST",
                                     "< 125 Connection transfer starting...",
                                     "< 226 Transfer completed."])

        out, lines = self.curl(*utf8, "-l", self.base + "ls/")
        got = split(out)
        self.assertEqual(sorted(got[:3]), sorted([b"a.txt", b"b c.bin", "中文.txt".encode()]))
        self.assertEqual(got[3:], [b"sub"])
        self.assert_in_order(lines, ["> NLST", "< 226 Transfer completed."])

        # NLST with an option gives the long form; an empty directory gives nothing.
        out, lines = self.curl(*utf8, "-X", "NLST -l", self.base + "ls/")
        got = split(out)
        self.assertEqual(sorted(got[:3]), sorted(files))
        out, _ = self.curl(self.base + "ls/sub/")
        self.assertEqual(out, b"")
        out, _ = self.curl("-l", self.base + "ls/sub/")
        self.assertEqual(out, b"")

    def test_upload_creates_missing_directories(self):
        data = self.rng.randbytes(BLOCK + 10)
        self.write(os.path.join(self.local, "src.bin"), data)
        _, lines = self.curl("--ftp-create-dirs", "-T", "src.bin",
                             self.base + "new/deep%20er/leaf/file.bin",
                             refusals=PASSIVE_REFUSALS | {"550 Access denied!"})
        self.assertEqual(self.read(self.store_path("new", "deep er", "leaf", "file.bin")), data)
        steps = []
        for name, path in (("new", "/new"), ("deep er", "/new/deep er"),
                           ("leaf", "/new/deep er/leaf")):
            steps += [f"> CWD {name}", "< 550 Access denied!", f"> MKD {name}",
                      "< 257 Directory created.", f"> CWD {name}",
                      f"< 250 Directory changed to {path}"]
        self.assert_in_order(lines, steps + ["> STOR file.bin", "< 226 Transfer completed."])

        # Once the directories exist nothing is created.
        _, lines = self.curl("--ftp-create-dirs", "-T", "src.bin",
                             self.base + "new/deep%20er/leaf/second.bin")
        self.assertFalse([l for l in lines if l.startswith("> MKD")])
        self.assertEqual(self.read(self.store_path("new", "deep er", "leaf", "second.bin")), data)

    def test_active_mode(self):
        content = self.rng.randbytes(2 * BLOCK + 1)
        self.write(self.store_path("act", "data.bin"), content)
        active = ("--ftp-port", "127.0.0.1")
        port_steps = ["> EPRT |1|127.0.0.1|", "< 500 Invalid command EPRT", "> PORT 127,0,0,1,",
                      "< 200 PORT command ok."]

        def assert_active(lines, then):
            # The EPRT and PORT lines end with the port curl listens on.
            prefixes = [l for l in lines if l.startswith(("> EPRT ", "> PORT "))]
            self.assertEqual(len(prefixes), 2, lines)
            self.assertTrue(prefixes[0].startswith(port_steps[0]), prefixes)
            self.assertRegex(prefixes[1], r"^> PORT 127,0,0,1,\d+,\d+$")
            self.assertFalse([l for l in lines if l.startswith(("> PASV", "> EPSV"))])
            self.assert_in_order(lines, ["< 500 Invalid command EPRT", "< 200 PORT command ok."]
                                 + then)

        out = os.path.join(self.local, "out.bin")
        _, lines = self.curl(*active, "-o", out, self.base + "act/data.bin",
                             refusals=ACTIVE_REFUSALS)
        self.assertEqual(self.read(out), content)
        assert_active(lines, ["> RETR data.bin", "< 150 Opening data connection...",
                              "< 226 Transfer completed."])

        self.write(os.path.join(self.local, "src.bin"), content[::-1])
        _, lines = self.curl(*active, "-T", "src.bin", self.base + "act/up.bin",
                             refusals=ACTIVE_REFUSALS)
        self.assertEqual(self.read(self.store_path("act", "up.bin")), content[::-1])
        assert_active(lines, ["> STOR up.bin", "< 150 Opening data connection...",
                              "< 226 Transfer completed."])

        # Resumed both ways in active mode too.
        self.write(out, content[:1000])
        _, lines = self.curl(*active, "-C", "-", "-o", out, self.base + "act/data.bin",
                             refusals=ACTIVE_REFUSALS)
        self.assertEqual(self.read(out), content)
        assert_active(lines, ["> REST 1000", "< 350 REST from 1000", "> RETR data.bin",
                              "< 226 Transfer completed."])
        self.write(self.store_path("act", "up.bin"), content[:BLOCK])
        self.write(os.path.join(self.local, "src.bin"), content)
        _, lines = self.curl(*active, "-C", "-", "-T", "src.bin", self.base + "act/up.bin",
                             refusals=ACTIVE_REFUSALS)
        self.assertEqual(self.read(self.store_path("act", "up.bin")), content)
        assert_active(lines, [f"< 213 {BLOCK}", "> APPE up.bin", "< 226 Transfer completed."])

        out_list, lines = self.curl(*active, "-l", self.base + "act/", refusals=ACTIVE_REFUSALS)
        self.assertEqual(sorted(out_list.split(b"\n")), [b"", b"data.bin", b"up.bin"])
        assert_active(lines, ["> NLST", "< 150 Opening data connection...",
                              "< 226 Transfer completed."])

    def test_quoted_commands(self):
        content = self.rng.randbytes(5000)
        self.write(self.store_path("q", "data.bin"), content)
        out = os.path.join(self.local, "out.bin")

        # After the transfer: delete what was fetched.
        _, lines = self.curl("-Q", "-DELE data.bin", "-o", out, self.base + "q/data.bin")
        self.assertEqual(self.read(out), content)
        self.assertFalse(os.path.exists(self.store_path("q", "data.bin")))
        self.assert_in_order(lines, ["> RETR data.bin", "< 226 Transfer completed.",
                                     "> DELE data.bin", "< 250 DELE command ok."])

        # Before the transfer (in the login directory) and after it (in the file's directory).
        self.write(self.store_path("q", "old.bin"), content)
        _, lines = self.curl("-Q", "MKD made by quote", "-Q", "-RNFR old.bin",
                             "-Q", "-RNTO new name.bin", "-o", out, self.base + "q/old.bin")
        self.assertTrue(os.path.isdir(self.store_path("made by quote")))
        self.assertFalse(os.path.exists(self.store_path("q", "old.bin")))
        self.assertEqual(self.read(self.store_path("q", "new name.bin")), content)
        self.assert_in_order(lines, ["> MKD made by quote", "< 257 Directory created.",
                                     "> RETR old.bin", "< 226 Transfer completed.",
                                     "> RNFR old.bin", "< 350 Destination needed.",
                                     "> RNTO new name.bin", "< 250 File renamed."])

        # A Chinese name after switching to UTF-8.
        self.write(self.store_path("q", "中文 文件.bin"), content)
        _, lines = self.curl("-Q", "OPTS UTF8 ON", "-o", out,
                             self.base + "q/" + urllib.parse.quote("中文 文件.bin"))
        self.assertEqual(self.read(out), content)
        self.assert_in_order(lines, ["< 200 Option UTF8 is on.", "> RETR 中文 文件.bin",
                                     "< 226 Transfer completed."])

        # A refused quoted command makes curl fail (exit 21) without a transfer.
        _, lines = self.curl("-Q", "DELE missing.bin", "-o", out, self.base + "q/new%20name.bin",
                             refusals={"550 Access denied!"}, code=21,
                             failure_lines={"* QUOT command failed with 550",
                                            "curl: (21) QUOT command failed with 550"})
        self.assertFalse([l for l in lines if l.startswith("> RETR")])
        self.assertTrue(os.path.exists(self.store_path("q", "new name.bin")))


if __name__ == "__main__":
    unittest.main()
