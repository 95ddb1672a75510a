"""The terminal console end to end: the real program in a private tmux server at 80x24 and at
40x60, driven with send-keys and read with capture-pane: title and soft keys, the start-up log,
a long row cut at a character boundary, the progress row of a slow reader, Options ticking
"启用UTF8编码", and Close by F2, by SIGTERM and when the terminal goes away, with the terminal
given back. Each test ends only the drovn (by PID) and the tmux server it started."""

import os
import re
import secrets
import shlex
import shutil
import signal
import socket
import subprocess
import threading
import time
import unittest

from drovn_harness import (DONE, PASV, STARTING, TIMEOUT, RawClient, assert_clean, free_port,
                           read, temp_dir, wait_until)

PROGRESS = re.compile(r"^正在传输: \d+ KB \(\d+ KB/s\)$")
LONG = "#1>NOOP x" + "中文" * 40

def cells(text):
    return sum(2 if ord(c) >= 0x2E80 else 1 for c in text)

class Console:
    def __init__(self, test, columns, rows, ignore_hangup=False):
        self.test, self.rows, tmp = test, rows, temp_dir(test)
        self.store, self.registry, self.stderr, self.rc, conf = (
            os.path.join(tmp, n) for n in ("store", "registry", "stderr", "rc", "conf"))
        os.makedirs(self.store)
        with open(conf, "w") as f:  # the pane is the whole window; a dead pane stays to be seen
            f.write("set -g status off\nset -g remain-on-exit on\n")
        self.port, self.socket, self.pid = free_port(), "drovn-test-" + secrets.token_hex(6), None
        self.env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8",
                        TERM=os.environ.get("TERM") or "xterm-256color")
        self.env.pop("TMUX", None)
        args = [os.environ["DROVN_BINARY"], "--store", self.store, "--registry", self.registry,
                "--set", "use_manualip=1", "--set", "bind_manualip=127.0.0.1",
                "--set", f"bind_manualport={self.port}"]
        # Not exec'd: the shell keeps drovn's exit status (tmux's own record of it is lost).
        command = f"{shlex.join(args)} 2>{self.stderr}; echo $? >{self.rc}"
        # As under nohup: a terminal that goes away then sends no signal that ends drovn.
        command = "trap '' HUP; " * ignore_hangup + command
        test.addCleanup(self.close)
        self.tmux("-f", conf, "new-session", "-d", "-s", "drovn", "-x", str(columns), "-y",
                  str(rows), command)
        shell = self.pane("#{pane_pid}")
        children = f"/proc/{shell}/task/{shell}/children"
        self.pid = int(wait_until(lambda: read(children).split(), "drovn under the shell")[0])

    def tmux(self, *args):
        done = subprocess.run(["tmux", "-L", self.socket, *args], env=self.env, text=True,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        self.test.assertEqual(done.returncode, 0, (args, done.stderr))
        return done.stdout

    def pane(self, fmt):
        return self.tmux("display-message", "-p", "-t", "drovn", fmt).strip()

    def screen(self):
        lines = [line.rstrip() for line in self.tmux("capture-pane", "-p").split("\n")]
        return (lines + [""] * self.rows)[:self.rows]

    def exit_code(self):
        return int(read(self.rc)) if os.path.exists(self.rc) and read(self.rc).strip() else None

    def wait(self, check, what, timeout=TIMEOUT):
        """Captures until check(screen) is true; gives that screen."""
        seen = []
        wait_until(lambda: seen.append(self.screen()) or check(seen[-1]), lambda: what +
                   "; screen:\n" + "\n".join(seen[-1]) + read(self.stderr).decode(), timeout, 0.1)
        return seen[-1]

    def closed(self, timeout=TIMEOUT):
        """Waits for drovn's end: its status is 0 and the terminal is given back."""
        wait_until(lambda: self.exit_code() is not None, "the end of drovn", timeout)
        self.test.assertEqual(self.exit_code(), 0)
        self.test.assertEqual(self.pane("#{alternate_on}#{mouse_any_flag}#{mouse_button_flag}"
                                        "#{mouse_standard_flag}"), "0000")
        assert_clean(read(self.stderr).decode())

    def close(self):
        if self.pid and self.exit_code() is None:
            os.kill(self.pid, signal.SIGTERM)
            wait_until(lambda: self.exit_code() is not None, "drovn to end")
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], env=self.env,
                       capture_output=True, timeout=20)

def slow_download(port, size, result, rate=200 * 1024):
    """Reads a file at about rate bytes a second through a small receive window, so that the
    server's sends follow the reader from the start."""
    c = RawClient(port).login()
    m = PASV.match(c.command("PASV"))
    with socket.socket() as data:
        data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 * 1024)  # before connecting
        data.settimeout(TIMEOUT)
        data.connect(("127.0.0.1", int(m[1]) * 256 + int(m[2])))
        result.append(c.command("RETR down"))
        began, got = time.monotonic(), b""
        while len(got) < size and time.monotonic() < began + 120:
            got += data.recv(16384)
            time.sleep(max(0.0, len(got) / rate - (time.monotonic() - began)))
    result += [c.reply(), got]
    c.quit()

@unittest.skipUnless(shutil.which("tmux"), "needs tmux (scripts/packages.sh installs it)")
class ConsoleTest(unittest.TestCase):
    def start(self, columns=80, rows=24, ignore_hangup=False):
        c = Console(self, columns, rows, ignore_hangup)
        lines = c.wait(lambda l: l[0].startswith(" DROVN") and l[-1].endswith("关闭"), "the bars")
        self.assertTrue(lines[-1].startswith(" 菜单"), lines[-1])
        # 关闭 ends one cell before the right edge.
        self.assertEqual(cells(lines[-1]), columns - 1)
        c.wait(lambda l: [r for r in l[1:-1] if r][-3:] == [
            "服务已启动.", f"监听端口: {c.port}", "服务地址: ftp://127.0.0.1"], "the start", 60)
        return c

    def test_console_at_two_sizes(self):
        for columns, rows in ((80, 24), (40, 60)):
            with self.subTest(f"{columns}x{rows}"):
                c = self.start(columns, rows)
                client = RawClient(c.port)
                client.reply()
                client.command(LONG[3:].encode("gbk"))
                client.quit()
                # Wide characters fill two cells at a time, so the last cell stays blank.
                shown = LONG
                while cells(shown) > columns:
                    shown = shown[:-1]
                self.assertEqual(cells(shown), columns - 1)
                c.wait(lambda l: shown in l[1:-1], "the long row cut")
                original, result = os.urandom(3 * 1024 * 1024), []
                with open(os.path.join(c.store, "down"), "wb") as f:
                    f.write(original)
                reader = threading.Thread(target=slow_download, daemon=True,
                                          args=(c.port, len(original), result))
                reader.start()
                seen = []
                while reader.is_alive() and not any(PROGRESS.match(r) for r in seen):
                    rows_shown = [r for r in c.screen()[1:-1] if r]
                    # The progress row is the last row, under the log.
                    seen += [r for r in rows_shown if r.startswith("正在传输: ")]
                    self.assertFalse([r for r in rows_shown[:-1] if r.startswith("正在传输")])
                    time.sleep(0.1)
                self.assertTrue([r for r in seen if PROGRESS.match(r)], seen)
                reader.join(150)
                self.assertEqual(result[:2], [STARTING, DONE])
                self.assertTrue(result[2] == original, "the file came back changed")
                c.wait(lambda l: not [r for r in l if "正在传输" in r], "the progress row to go")
                c.tmux("send-keys", "F2")
                c.wait(lambda l: "正在退出..." in l, "the close")
                began = time.monotonic()
                c.closed()
                # The last lines stay readable for 2 s before the program leaves.
                self.assertTrue(1.5 < time.monotonic() - began < 10)

    def test_options_enable_utf8(self):
        c = self.start()
        client = RawClient(c.port).login()
        self.assertEqual(client.command("OPTS UTF8 ON"), b"501 Option UTF8 is disabled.\r\n")
        c.tmux("send-keys", "F1", "Down", "Down", "Enter")
        c.wait(lambda l: any("启用UTF8编码" in r for r in l), "the Options dialog")
        # The check box is the eleventh control in the tab order; focus starts on the first.
        c.tmux("send-keys", *["Tab"] * 10, "Space", "F1")
        c.wait(lambda l: l[0].startswith(" DROVN"), "the main window again")
        wait_until(lambda: b'"opt_enableUtf8"=hex(1):31\n' in read(c.registry), "the save")
        self.assertEqual(client.command("OPTS UTF8 ON"), b"200 Option UTF8 is on.\r\n")
        client.quit()

    def test_sigterm_and_a_terminal_that_goes_away_close(self):
        c = self.start()
        os.kill(c.pid, signal.SIGTERM)
        c.closed()
        c = self.start(ignore_hangup=True)
        c.tmux("kill-pane", "-t", "drovn")
        wait_until(lambda: c.exit_code() is not None, "the end of drovn")
        self.assertEqual(c.exit_code(), 0)
        assert_clean(read(c.stderr).decode())

if __name__ == "__main__":
    unittest.main()
