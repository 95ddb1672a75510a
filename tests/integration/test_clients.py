"""Stock clients (ftplib, curl, lftp) each do a user's round trip against the real program; and
the console in a private tmux server at 80x24 and 40x60."""

import ftplib, io, os, random, re, secrets, shlex, shutil, signal, socket, subprocess, threading
import time, unittest

from drovn_harness import (DONE, PASV, STARTING, TIMEOUT, RawClient, Server, assert_clean,
                           free_port, read, temp_dir, wait_until, write)

BLOCK = 458752  # the server's transfer block
LISTED = ("-rw-rw-rw-   1 user     group          3 Mar  4  2019 中文 名\n"
          "drw-rw-rw-   1 user     group          0 Mar  4  2019 sub\n")
# Lines of curl and lftp that tell of trouble, and curl's fallbacks from EPSV and EPRT.
TROUBLE = re.compile(r"^\*\*\*\*|(?i:retry|reconnect|error|fail|abort|time(d )?out|refused"
                     r"|reset|denied|could ?n[o']t|unable|disabling|broken pipe|interrupt)")
FALLBACKS = {"* Failed EPSV attempt. Disabling EPSV", "* disabling EPRT usage", "* sa_addr "
             "inet_ntop() failed with errno 97: Address family not supported by protocol"}
REFUSED = {"500 Invalid command EPSV", "500 Invalid command EPRT"}
SENT = ["< 125 Connection transfer starting...", "< 226 Transfer completed."]
ENV = dict({k: v for k, v in os.environ.items() if "proxy" not in k.lower() and k != "TMUX"},
           LC_ALL="C.UTF-8", TERM=os.environ.get("TERM", "xterm-256color"))

class Clients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(["--set", "opt_enableUtf8=1"]).start()
        cls.addClassCleanup(cls.server.close)
    def at(self, *parts):
        return os.path.join(self.server.store, *parts)
    def test_ftplib_round_trip(self):
        def check(rows):  # each command's reply, refusals included, is the row's text
            self.assertEqual([(line, ftp.putcmd(line) or ftp.getline()) for line, _ in rows], rows)
        # A sparse 5 GiB file: its size and offsets need more than 32 bits.
        write(self.at("sparse"), b"drovn ends", 5 << 30)
        self.addCleanup(os.remove, self.at("sparse"))
        for passive, d in ((True, "pasv"), (False, "port")):
            with self.subTest(d), ftplib.FTP(timeout=TIMEOUT) as ftp:
                content = random.randbytes(3 * BLOCK + 9)
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
                self.assertEqual(read(self.at(d, "a b")), content)
                # Whole and resumed; an offset serves one download only, past the end nothing.
                for rest in (None, 1, BLOCK + 5, len(content), None, len(content) + 100):
                    chunks = []
                    self.assertEqual(ftp.retrbinary("RETR a b", chunks.append, rest=rest),
                                     "226 Transfer completed.")
                    self.assertEqual(b"".join(chunks), content[rest or 0:], rest)
                self.assertEqual(ftp.nlst(), ["a b"])
                denied = "550 Access denied!"
                check([("RNFR a b", "350 Destination needed."), ("RNTO ../c", "250 File renamed."),
                       ("RNTO x", "503 New name needed."), ("CWD /..", denied),
                       (f"SIZE /{d}", denied), ("RMD /c", denied),
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
            os.utime(self.at("ls", name), (0, 1551675960))  # 2019-03-04 05:06 UTC
        rows = [  # curl arguments, lines in this order in its log, file (or output): bytes
            (["-o", "out", "dl/data"], [
                "< 220 Server ready...", '< 331 User name "anonymous" is okay, need password.',
                '< 257 "/" is current directory.', "< 250 Directory changed to /dl",
                "< 500 Invalid command EPSV", "< 200 Type is set to 'I'.",
                f"< 213 {len(content)}", "> RETR data", *SENT], "out", content),
            (["-T", "src", "dl/up%20load"], ["> STOR up load", *SENT], self.at("dl/up load"), up),
            (["-C", "-", "-o", "part", "dl/data"], [f"< 350 REST from {BLOCK}", "> RETR data"],
             "part", content),
            (["-C", "-", "-T", "src", "dl/a"], ["< 213 9", "> APPE a", *SENT],
             self.at("dl/a"), up),
            (["--ftp-port", "127.0.0.1", "-o", "out", "dl/data"], [
                "< 500 Invalid command EPRT", "< 200 PORT command ok.",
                "< 150 Opening data connection...", "< 226 Transfer completed."], "out", content),
            (["-Q", "OPTS UTF8 ON", "ls/"], [
                "< 200 Option UTF8 is on.", "< 200 Type is set to 'A'.", "> LIST"], None, LISTED),
            (["-Q", "OPTS UTF8 ON", "-l", "ls/"], ["> NLST"], None, "中文 名\nsub\n"),
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
        self.assertEqual(sorted(os.listdir(self.at("dl"))), ["a", "data", "up load"])
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

LONG = "#1>NOOP x" + "中文" * 40

def cells(text):
    return sum(2 if ord(c) >= 0x2E80 else 1 for c in text)

class Console:
    """drovn in a private tmux server; made once its start-up screen shows."""
    def __init__(self, test, columns=80, rows=24, ignore_hangup=False):
        self.test, tmp, self.pid = test, temp_dir(test), None
        self.store, self.registry, self.stderr, self.rc, conf = (
            os.path.join(tmp, n) for n in ("store", "registry", "stderr", "rc", "conf"))
        os.makedirs(self.store)
        # The pane is the whole window; a dead pane stays to be seen.
        write(conf, b"set -g status off\nset -g remain-on-exit on\n")
        self.port, self.socket = free_port(), "drovn-test-" + secrets.token_hex(6)
        args = [os.environ["DROVN_BINARY"], "--store", self.store, "--registry", self.registry,
                "--set", "use_manualip=1", "--set", "bind_manualip=127.0.0.1",
                "--set", f"bind_manualport={self.port}"]
        # Not exec'd: the shell keeps drovn's exit status (tmux's own record of it is lost).
        # Ignoring SIGHUP as under nohup, a terminal that goes away sends nothing that ends it.
        command = "trap '' HUP; " * ignore_hangup + f"{shlex.join(args)} 2>{self.stderr}; " \
            f"echo $? >{self.rc}"
        test.addCleanup(self.close)
        self.tmux("-f", conf, "new", "-d", "-s", "d", "-x", str(columns), "-y", str(rows), command)
        children = "/proc/{0}/task/{0}/children".format(self.tmux("display", "-p", "#{pane_pid}"))
        self.pid = int(wait_until(lambda: read(children).split(), "drovn under the shell")[0])
        # The title, the log ending with the start-up rows, the soft keys; 关闭 ends one cell
        # before the right edge.
        self.wait(lambda l: l[0].startswith(" DROVN") and [r for r in l[1:-1] if r][-3:] == [
            "服务已启动.", f"监听端口: {self.port}", "服务地址: ftp://127.0.0.1"] and l[-1].startswith(
            " 菜单") and l[-1].endswith("关闭") and cells(l[-1]) == columns - 1, "the start", 60)
        test.assertEqual(self.tmux("display", "-p", "#{alternate_on}"), "1")
    def tmux(self, *args):
        done = subprocess.run(["tmux", "-L", self.socket, *args], env=ENV, text=True,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        self.test.assertEqual(done.returncode, 0, (args, done.stderr))
        return done.stdout.strip("\n")
    def wait(self, check, what, timeout=TIMEOUT):
        """Captures until check(rows of the screen) is true; gives those rows."""
        seen = []
        wait_until(lambda: seen.append([r.rstrip() for r in self.tmux("capture-pane", "-p")
                                        .split("\n")]) or check(seen[-1]), lambda: what +
                   "; screen:\n" + "\n".join(seen[-1]) + read(self.stderr).decode(), timeout, 0.1)
        return seen[-1]
    def exit_code(self):
        return os.path.exists(self.rc) and read(self.rc).strip()
    def closed(self, modes="0000"):
        """Waits for the end: status 0, nothing from a sanitizer, the terminal given back."""
        self.test.assertEqual(wait_until(self.exit_code, "drovn's end"), b"0")
        assert_clean(read(self.stderr).decode())
        if modes:
            self.test.assertEqual(self.tmux("display", "-p", "#{alternate_on}#{mouse_any_flag}"
                                            "#{mouse_button_flag}#{mouse_standard_flag}"), modes)
    def close(self):
        if self.pid and not self.exit_code():
            os.kill(self.pid, signal.SIGTERM)
            wait_until(self.exit_code, "drovn to end")
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True, timeout=20)

def slow_download(port, result, rate=200 * 1024):
    """Reads "down" at about rate bytes a second through a small receive window, so that the
    server's sends follow the reader from the start."""
    c = RawClient(port).login()
    m = PASV.match(c.command("PASV"))
    with socket.socket() as data:
        data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 * 1024)  # before connecting
        data.settimeout(TIMEOUT)
        data.connect(("127.0.0.1", int(m[1]) * 256 + int(m[2])))
        result.append(c.command("RETR down"))
        began, got = time.monotonic(), b""
        while (chunk := data.recv(16384)) and time.monotonic() < began + 120:
            got += chunk
            time.sleep(max(0.0, len(got) / rate - (time.monotonic() - began)))
    result += [c.reply(), got]
    c.quit()

@unittest.skipUnless(shutil.which("tmux"), "needs tmux (scripts/packages.sh installs it)")
class ConsoleTest(unittest.TestCase):
    def test_console_at_two_sizes(self):
        for columns, rows in ((80, 24), (40, 60)):
            with self.subTest(f"{columns}x{rows}"):
                c = Console(self, columns, rows)
                client = RawClient(c.port).login()
                client.command(LONG[3:].encode("gbk"))
                # Wide characters fill two cells at a time, so the last cell stays blank.
                shown = LONG[:(columns - 9) // 2 + 9]
                self.assertEqual(cells(shown), columns - 1)
                c.wait(lambda l: shown in l, "the long row cut")
                disabled = client.command("OPTS UTF8 ON")
                self.assertEqual(disabled, b"501 Option UTF8 is disabled.\r\n")
                c.tmux("send-keys", "F1", "Down", "Down", "Enter")
                c.wait(lambda l: [r for r in l if "启用UTF8编码" in r], "the Options dialog")
                # The check box is the eleventh control in the tab order; focus starts on the first.
                c.tmux("send-keys", *["Tab"] * 10, "Space", "F1")
                c.wait(lambda l: l[0].startswith(" DROVN"), "the main window again")
                wait_until(lambda: b'"opt_enableUtf8"=hex(1):31\n' in read(c.registry), "the save")
                self.assertEqual(client.command("OPTS UTF8 ON"), b"200 Option UTF8 is on.\r\n")
                client.quit()
                original, result = os.urandom(3 << 20), []
                write(os.path.join(c.store, "down"), original)
                reader = threading.Thread(target=slow_download, args=(c.port, result))
                reader.start()
                # The progress row follows the reader, as the last row of the log.
                c.wait(lambda l: re.match(r"^正在传输: \d+ KB \(\d+ KB/s\)$", [
                    r for r in l[1:-1] if r][-1]), "the progress row")
                reader.join(150)
                self.assertTrue(result == [STARTING, DONE, original], result[:2])
                c.wait(lambda l: not [r for r in l if "正在传输" in r], "the progress row to go")
                c.tmux("send-keys", "F2")
                c.wait(lambda l: "正在退出..." in l, "the close")
                began = time.monotonic()
                c.closed()
                # The last lines stay readable for 2 s before the program leaves.
                self.assertTrue(1.5 < time.monotonic() - began < 10)
    def test_sigterm_and_a_terminal_that_goes_away_close(self):
        c = Console(self)
        os.kill(c.pid, signal.SIGTERM)
        c.closed()
        c = Console(self, ignore_hangup=True)
        c.tmux("kill-pane")
        c.closed(modes=None)

if __name__ == "__main__":
    unittest.main()
