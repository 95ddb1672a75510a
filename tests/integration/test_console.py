"""The terminal console end to end: the real program runs in a private tmux server at 80x24 and
at 40x60, driven with send-keys and read with capture-pane. Title and soft keys, the start-up
log, Stop and Start from the F1 menu, long rows cut at a character boundary, a mouse click, the
progress row of a slow download and of a slow upload, a second instance, a resize, Close with F2
(with SIGTERM, and when the terminal goes away) and the terminal given back afterwards; Options
ticking "启用UTF8编码" and About on Ctrl+A.

Every wait is bounded; each test kills only the drovn it started (by PID) and the tmux server
it started (kill-server on its own socket name), also when it fails."""

import ftplib
import os
import re
import secrets
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from drovn_harness import DEFAULT_TIMEOUT, binary, free_port, recv_reply

TMUX = shutil.which("tmux")
CURL = shutil.which("curl")

# A mouse press of the first button at (row, column), as xterm's X10 protocol sends it.
def x10_press(row, column):
    return "\x1b[M" + chr(32) + chr(33 + column) + chr(33 + row)


def cells(text):
    """The terminal cells of a text of ASCII and Chinese characters."""
    return sum(2 if ord(c) >= 0x2E80 else 1 for c in text)


def cut(text, columns):
    """What of text fits in a row of `columns` cells, cut at a character boundary."""
    while cells(text) > columns:
        text = text[:-1]
    return text


def menu_shown(lines):
    return any(line.startswith("  启动") for line in lines)


PROGRESS_KB = re.compile(r"^正在传输: \d+ KB \(\d+ KB/s\)$")
DOWNLOAD_BYTES = 3 * 1024 * 1024  # about 15 s at 200 KB/s, the KB figures for the first 10 s
UPLOAD_BYTES = 1536 * 1024  # under 2 MiB: the row shows KB from start to end
LONG_TEXT = "中文" * 20


class ConsoleSession:
    """One drovn console in its own tmux server; close() (registered as a cleanup) ends both."""

    def __init__(self, test, columns, rows, ignore_hangup=False):
        self.test = test
        self.columns = columns
        self.rows = rows
        self._tmp = tempfile.TemporaryDirectory(prefix="drovn-console-")
        test.addCleanup(self._tmp.cleanup)
        self.store = os.path.join(self._tmp.name, "store")
        os.makedirs(self.store)
        self.registry = os.path.join(self._tmp.name, "registry.reg")
        self.stderr_path = os.path.join(self._tmp.name, "stderr.txt")
        self.port = free_port()
        self.socket_name = "drovn-test-" + secrets.token_hex(6)
        conf = os.path.join(self._tmp.name, "tmux.conf")
        with open(conf, "w") as f:
            # No status line (the pane is the whole window); a dead pane stays to be looked at.
            f.write("set -g status off\nset -g remain-on-exit on\n")
        self.env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8",
                        TERM=os.environ.get("TERM") or "xterm-256color")
        self.env.pop("TMUX", None)
        args = [binary(), "--store", self.store, "--registry", self.registry,
                "--set", "use_manualip=1", "--set", "bind_manualip=127.0.0.1",
                "--set", f"bind_manualport={self.port}"]
        # Not exec'd: the shell waits for drovn and keeps its exit status. tmux's own record of
        # a dead pane's status is not reliable here (its wait for the process can be lost).
        self.rc_path = os.path.join(self._tmp.name, "exit-status")
        command = (" ".join(shlex.quote(a) for a in args) + " 2>" +
                   shlex.quote(self.stderr_path) + "; echo $? >" + shlex.quote(self.rc_path))
        if ignore_hangup:
            # As under nohup: a terminal that goes away sends no signal that ends drovn.
            command = "trap '' HUP; " + command
        self.server_pid = None
        self.pid = None
        test.addCleanup(self.close)
        self.tmux("-f", conf, "new-session", "-d", "-s", "drovn", "-x", str(columns),
                  "-y", str(rows), command)
        self.server_pid = int(self.tmux("display-message", "-p", "#{pid}").strip())
        shell = int(self.tmux("display-message", "-p", "-t", "drovn", "#{pane_pid}").strip())
        self.pid = self._child_of(shell)

    @staticmethod
    def _child_of(shell, timeout=DEFAULT_TIMEOUT):
        """The PID of the one process the pane's shell started (drovn)."""
        path = f"/proc/{shell}/task/{shell}/children"
        deadline = time.monotonic() + timeout
        while True:
            try:
                with open(path) as f:
                    children = f.read().split()
            except FileNotFoundError:
                children = []
            if len(children) == 1:
                return int(children[0])
            if time.monotonic() > deadline:
                raise AssertionError(f"no drovn under the pane's shell ({children!r})")
            time.sleep(0.02)

    def tmux(self, *args):
        done = subprocess.run([TMUX, "-L", self.socket_name] + list(args), env=self.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=20,
                              encoding="utf-8", errors="replace")
        if done.returncode != 0:
            raise AssertionError(f"tmux {args!r} failed: {done.stderr}")
        return done.stdout

    def pane(self, fmt):
        return self.tmux("display-message", "-p", "-t", "drovn", fmt).strip()

    def screen(self):
        lines = self.tmux("capture-pane", "-p", "-t", "drovn").split("\n")
        lines = [line.rstrip() for line in lines[:self.rows]]
        return lines + [""] * (self.rows - len(lines))

    def title_cells(self):
        """The title row with its colours and attributes."""
        return self.tmux("capture-pane", "-p", "-e", "-t", "drovn", "-S", "0", "-E", "0")

    def list_rows(self, lines):
        return lines[1:self.rows - 1]

    def last_row(self, lines):
        shown = [row for row in self.list_rows(lines) if row]
        return shown[-1] if shown else ""

    def keys(self, *names):
        self.tmux("send-keys", "-t", "drovn", *names)

    def literal(self, text):
        self.tmux("send-keys", "-t", "drovn", "-l", text)

    def exit_code(self):
        """drovn's exit status once it has ended, else None."""
        try:
            with open(self.rc_path) as f:
                text = f.read().strip()
        except FileNotFoundError:
            return None
        return int(text) if text else None

    def dead(self):
        return self.exit_code() is not None

    def exit_status(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the end of the program; gives its exit status."""
        deadline = time.monotonic() + timeout
        while self.exit_code() is None:
            if time.monotonic() > deadline:
                raise AssertionError("drovn did not end; screen:\n" + "\n".join(self.screen()) +
                                     "\nstderr:\n" + self.stderr_text())
            time.sleep(0.05)
        return self.exit_code()

    def wait_screen(self, check, what, timeout=DEFAULT_TIMEOUT):
        """Captures until check(lines) gives a true value, which it returns."""
        deadline = time.monotonic() + timeout
        while True:
            lines = self.screen()
            found = check(lines)
            if found:
                return found
            if self.dead() or time.monotonic() > deadline:
                why = "drovn ended" if self.dead() else "timed out"
                raise AssertionError(f"{why} waiting for {what}; screen:\n" + "\n".join(lines) +
                                     "\nstderr:\n" + self.stderr_text())
            time.sleep(0.1)

    def wait_row(self, text, below=None, timeout=DEFAULT_TIMEOUT):
        """Waits for a list row equal to text; gives its screen row. With below, the row must
        come after the last row equal to below, wherever the scrolling list has moved it."""
        def check(lines):
            last = self.rows - 2
            floor = 0
            if below is not None:
                rows = [i for i in range(1, last + 1) if lines[i] == below]
                if not rows:
                    return None
                floor = rows[-1]
            for i in range(last, floor, -1):
                if lines[i] == text:
                    return i
            return None
        return self.wait_screen(check, repr(text), timeout)

    def stderr_text(self):
        if not os.path.exists(self.stderr_path):
            return ""
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", errors="replace")

    def close(self):
        try:
            if self.pid is not None and not self.dead():
                # Still running: the shell's child is the drovn this test started.
                os.kill(self.pid, signal.SIGTERM)
                deadline = time.monotonic() + 30
                while not self.dead() and time.monotonic() < deadline:
                    time.sleep(0.1)
                if not self.dead():
                    os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        finally:
            subprocess.run([TMUX, "-L", self.socket_name, "kill-server"], env=self.env,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
            if self.server_pid is not None:
                deadline = time.monotonic() + 10
                while time.monotonic() < deadline:
                    try:
                        os.kill(self.server_pid, 0)
                    except ProcessLookupError:
                        break
                    time.sleep(0.05)


class SlowDownload:
    """A passive-mode download on a thread that reads at about `rate` bytes a second through a
    small receive buffer, so the server has to wait for it: the server's progress follows the
    reader from the start (curl's reader lets the socket buffers take in megabytes first)."""

    def __init__(self, port, name, rate=200 * 1024):
        self.port = port
        self.name = name
        self.rate = rate
        self.data = bytearray()
        self.error = None
        self.replies = []
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _command(self, ctrl, line):
        ctrl.sendall(line.encode() + b"\r\n")
        reply = recv_reply(ctrl).decode("latin-1")
        self.replies.append(reply)
        return reply

    def _run(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=30) as ctrl:
                recv_reply(ctrl)
                self._command(ctrl, "USER anonymous")
                self._command(ctrl, "PASS x")
                self._command(ctrl, "TYPE I")
                numbers = re.search(r"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)",
                                    self._command(ctrl, "PASV")).groups()
                if ".".join(numbers[:4]) != "127.0.0.1":
                    raise AssertionError(f"passive address {numbers[:4]}")
                data = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                with data:
                    # Set before the connection: the window stays this small.
                    data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 * 1024)
                    data.settimeout(30)
                    data.connect(("127.0.0.1", int(numbers[4]) * 256 + int(numbers[5])))
                    self._command(ctrl, "RETR " + self.name)
                    began = time.monotonic()
                    deadline = began + 120
                    while time.monotonic() < deadline:
                        chunk = data.recv(16 * 1024)
                        if not chunk:
                            break
                        self.data += chunk
                        ahead = len(self.data) / self.rate - (time.monotonic() - began)
                        if ahead > 0:
                            time.sleep(ahead)
                self.replies.append(recv_reply(ctrl).decode("latin-1"))
                ctrl.sendall(b"QUIT\r\n")
        except Exception as e:  # reported by the test that waits for it
            self.error = e

    def running(self):
        return self._thread.is_alive()

    def join(self, timeout):
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise AssertionError("the download did not end")
        if self.error:
            raise self.error


@unittest.skipUnless(TMUX and CURL, "needs tmux and curl")
class Console(unittest.TestCase):
    def start(self, columns, rows, ignore_hangup=False):
        session = ConsoleSession(self, columns, rows, ignore_hangup)
        lines = session.wait_screen(lambda l: l[0].startswith(" DROVN") and l, "the title bar")
        bar = lines[rows - 1]
        self.assertTrue(bar.startswith(" 菜单"), bar)
        self.assertTrue(bar.endswith("关闭"), bar)
        # 关闭 ends one cell before the right edge: 4 cells, the bar's text is columns - 1 wide.
        self.assertEqual(cells(bar), columns - 1)
        self.assertEqual(session.pane("#{alternate_on}"), "1")
        session.wait_row("服务已启动.", timeout=60)
        session.wait_row("服务地址: ftp://127.0.0.1")
        return session

    def check_long_row_is_cut(self, session):
        with socket.create_connection(("127.0.0.1", session.port), timeout=30) as client:
            client.settimeout(30)
            self.assertEqual(recv_reply(client), b"220 Server ready...\r\n")
            client.sendall(("NOOP x" + LONG_TEXT + "\r\n").encode("gbk"))
            recv_reply(client)
            client.sendall(b"QUIT\r\n")
        # "#1>NOOP x" takes 9 cells; the wide characters after it fill what is left two cells at
        # a time, so the last cell stays blank.
        shown = cut("#1>NOOP x" + LONG_TEXT, session.columns)
        self.assertEqual(cells(shown), session.columns - 1)
        row = session.wait_row(shown)
        self.assertLess(row, session.rows - 1)

    def check_click_opens_the_menu(self, session):
        session.literal(x10_press(session.rows - 1, 2))
        session.wait_screen(lambda l: l[session.rows - 6].startswith("  启动"), "the menu on a click")
        session.keys("Escape")
        session.wait_screen(lambda l: not menu_shown(l), "the menu to close")

    def run_curl(self, session, *args):
        """Starts a rate-limited curl against the server (127.0.0.1 only); gives the Popen."""
        curl = subprocess.Popen(
            # No --max-time: this curl ignores the rate limit when one is given. The wait for
            # it is bounded by the caller, and a curl still running at the end is killed.
            [CURL, "--silent", "--show-error", "--noproxy", "*", "--disable-epsv",
             "--limit-rate", "200k"] + list(args),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

        def end_curl():
            if curl.poll() is None:
                curl.kill()
            curl.communicate(timeout=30)
        self.addCleanup(end_curl)
        return curl

    def watch_progress(self, session, running, pattern):
        """Captures the screen while running() is true. Gives the first last row that matched
        pattern; every progress row seen must be the last row, and it goes after the end."""
        matched = None
        seen = []
        deadline = time.monotonic() + 120
        while running() and time.monotonic() < deadline:
            lines = session.screen()
            rows = [row for row in session.list_rows(lines) if row]
            progress = [i for i, row in enumerate(rows) if row.startswith("正在传输: ")]
            if progress:
                self.assertEqual(progress, [len(rows) - 1], "\n".join(lines))
                if not seen or seen[-1] != rows[-1]:
                    seen.append(rows[-1])
                if matched is None and pattern.match(rows[-1]):
                    matched = rows[-1]
            time.sleep(0.1)
        self.assertIsNotNone(matched, f"no progress row like {pattern.pattern}; seen {seen}")
        return matched

    def check_transfer_progress(self, session):
        # A slow download: the reader's pace holds the server's sends back from the start.
        original = os.urandom(DOWNLOAD_BYTES)
        with open(os.path.join(session.store, "down.bin"), "wb") as f:
            f.write(original)
        download = SlowDownload(session.port, "down.bin")
        self.watch_progress(session, download.running, PROGRESS_KB)
        download.join(timeout=30)
        self.assertEqual(download.replies[-1], "226 Transfer completed.\r\n", download.replies)
        self.assertTrue(download.data == original, "the file came back changed")
        session.wait_screen(lambda l: not any("正在传输" in row for row in l),
                            "the progress row to go")

        # A slow upload with curl: the bytes arrive at the pace curl sends them.
        sent = os.path.join(session.store, "..", "sent.bin")
        with open(sent, "wb") as f:
            f.write(os.urandom(UPLOAD_BYTES))
        curl = self.run_curl(session, "--upload-file", sent,
                             f"ftp://127.0.0.1:{session.port}/up.bin")
        self.watch_progress(session, lambda: curl.poll() is None, PROGRESS_KB)
        _, err = curl.communicate(timeout=30)
        self.assertEqual(curl.returncode, 0, err)
        session.wait_screen(lambda l: not any("正在传输" in row for row in l),
                            "the progress row to go")
        session.wait_row("226 Transfer completed.")
        with open(sent, "rb") as a, open(os.path.join(session.store, "up.bin"), "rb") as b:
            self.assertTrue(a.read() == b.read(), "the upload arrived changed")

    def check_second_instance(self, session):
        resting = session.title_cells()
        began = time.monotonic()
        second = subprocess.Popen(
            [binary(), "--store", session.store, "--registry", session.registry],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: second.poll() is None and second.kill())
        flashed = False
        deadline = began + 15
        while time.monotonic() < deadline and not flashed:
            flashed = session.title_cells() != resting
            if not flashed:
                time.sleep(0.02)
        out, err = second.communicate(timeout=30)
        self.assertEqual(second.returncode, 0, err)
        self.assertEqual(out, b"")
        self.assertLess(time.monotonic() - began, 10)
        self.assertTrue(flashed, "the title did not flash")
        session.wait_screen(lambda l: session.title_cells() == resting, "the title to rest")

    def check_stop_and_start(self, session):
        session.keys("F1")
        session.wait_screen(lambda l: l[session.rows - 6].startswith("  启动") and
                            l[session.rows - 5].startswith("  停止"), "the menu")
        session.keys("Down")
        session.keys("Enter")
        session.wait_row("正在停止...")
        session.wait_row("服务已停止.", below="正在停止...")
        self.assertFalse(menu_shown(session.screen()))
        session.keys("F1", "Enter")
        # The first start's lines may still be on screen: only what follows the stop counts.
        session.wait_row("正在启动...", below="服务已停止.")
        session.wait_row("服务已启动.", below="服务已停止.", timeout=60)

    def check_close(self, session):
        session.keys("F2")
        session.wait_row("正在退出...")
        seen = time.monotonic()
        self.assertEqual(session.exit_status(timeout=30), 0)
        waited = time.monotonic() - seen
        # The last lines stay readable for 2 s before the program leaves.
        self.assertGreater(waited, 1.5)
        self.assertLess(waited, 10)
        self.check_terminal_given_back(session)

    def check_terminal_given_back(self, session):
        self.assertEqual(session.pane("#{alternate_on}"), "0")
        self.assertEqual(session.pane("#{mouse_any_flag}#{mouse_button_flag}"
                                      "#{mouse_standard_flag}"), "000")
        errors = session.stderr_text()
        self.assertNotIn("Sanitizer", errors)
        self.assertNotIn("runtime error", errors)

    def check_resize(self, session, columns, rows):
        session.tmux("resize-window", "-t", "drovn", "-x", str(columns), "-y", str(rows))
        session.columns = columns
        session.rows = rows
        lines = session.wait_screen(
            lambda l: l[rows - 1].startswith(" 菜单") and l[rows - 1].endswith("关闭") and l,
            f"the soft keys at {columns}x{rows}")
        self.assertTrue(lines[0].startswith(" DROVN"))
        self.assertEqual(cells(lines[rows - 1]), columns - 1)
        # The view still ends with the newest line.
        self.assertEqual(session.last_row(lines), cut("服务地址: ftp://127.0.0.1", columns))

    def run_console(self, columns, rows):
        session = self.start(columns, rows)
        self.check_long_row_is_cut(session)
        self.check_click_opens_the_menu(session)
        self.check_transfer_progress(session)
        self.check_second_instance(session)
        self.check_stop_and_start(session)
        self.check_resize(session, rows, columns)
        self.check_resize(session, columns, rows)
        self.check_close(session)

    def test_console_80x24(self):
        self.run_console(80, 24)

    def test_console_40x60(self):
        self.run_console(40, 60)

    def test_a_terminal_that_goes_away_closes_the_program(self):
        session = self.start(80, 24, ignore_hangup=True)
        session.tmux("kill-pane", "-t", "drovn")
        self.assertEqual(session.exit_status(timeout=30), 0)
        errors = session.stderr_text()
        self.assertNotIn("Sanitizer", errors)
        self.assertNotIn("runtime error", errors)

    def test_sigterm_closes_and_gives_the_terminal_back(self):
        session = self.start(80, 24)
        os.kill(session.pid, signal.SIGTERM)
        self.assertEqual(session.exit_status(timeout=30), 0)
        self.check_terminal_given_back(session)

    def test_options_enable_utf8(self):
        session = self.start(80, 24)
        with ftplib.FTP() as ftp:
            ftp.connect("127.0.0.1", session.port, timeout=30)
            ftp.login()
            with self.assertRaises(ftplib.Error):
                ftp.sendcmd("OPTS UTF8 ON")
        session.keys("F1", "Down", "Down", "Enter")
        session.wait_screen(lambda l: any("启用UTF8编码" in row for row in l),
                            "the Options dialog")
        # The check box is the eleventh control in the tab order; focus starts on the first.
        for _ in range(10):
            session.keys("Tab")
        session.keys("Space")
        session.keys("F1")  # 确定
        session.wait_screen(lambda l: l[0].startswith(" DROVN"), "the main window again")
        deadline = time.monotonic() + 10
        while True:
            with open(session.registry, encoding="utf-8") as f:
                saved = f.read()
            if '"opt_enableUtf8"=hex(1):31\n' in saved or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        self.assertIn('"opt_enableUtf8"=hex(1):31\n', saved)
        with ftplib.FTP() as ftp:
            ftp.connect("127.0.0.1", session.port, timeout=30)
            ftp.login()
            self.assertEqual(ftp.sendcmd("OPTS UTF8 ON"), "200 Option UTF8 is on.")
        self.check_close(session)

    def test_ctrl_a_shows_about(self):
        session = self.start(80, 24)
        session.keys("C-a")
        session.wait_screen(lambda l: any("Drovn 2.2 版" in row for row in l), "the About dialog")
        self.assertFalse(session.screen()[0].startswith(" DROVN"))
        session.keys("Enter")
        session.wait_screen(lambda l: l[0].startswith(" DROVN"), "the main window again")
        self.check_close(session)


if __name__ == "__main__":
    unittest.main()
