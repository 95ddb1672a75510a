"""The console in a private tmux server at 80x24 and 40x60: bars, start-up and long rows, a slow
reader's progress row, Options ticking UTF-8, Close by F2, SIGTERM and a terminal that goes."""

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

LONG = "#1>NOOP x" + "中文" * 40

def cells(text):
    return sum(2 if ord(c) >= 0x2E80 else 1 for c in text)

class Console:
    def __init__(self, test, columns, rows, ignore_hangup=False):
        self.test, tmp, self.pid = test, temp_dir(test), None
        self.store, self.registry, self.stderr, self.rc, conf = (
            os.path.join(tmp, n) for n in ("store", "registry", "stderr", "rc", "conf"))
        os.makedirs(self.store)
        with open(conf, "w") as f:  # the pane is the whole window; a dead pane stays to be seen
            f.write("set -g status off\nset -g remain-on-exit on\n")
        self.port, self.socket = free_port(), "drovn-test-" + secrets.token_hex(6)
        self.env = {k: v for k, v in os.environ.items() if k != "TMUX"}
        self.env.update(LC_ALL="C.UTF-8", TERM=self.env.get("TERM", "xterm-256color"))
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

    def tmux(self, *args):
        done = subprocess.run(["tmux", "-L", self.socket, *args], env=self.env, text=True,
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
    def start(self, columns=80, rows=24, ignore_hangup=False):
        c = Console(self, columns, rows, ignore_hangup)
        # The title, the log ending with the start-up rows, the soft keys; 关闭 ends one cell
        # before the right edge.
        c.wait(lambda l: l[0].startswith(" DROVN") and [r for r in l[1:-1] if r][-3:] == [
            "服务已启动.", f"监听端口: {c.port}", "服务地址: ftp://127.0.0.1"] and l[-1].startswith(
            " 菜单") and l[-1].endswith("关闭") and cells(l[-1]) == columns - 1, "the start", 60)
        self.assertEqual(c.tmux("display", "-p", "#{alternate_on}"), "1")
        return c

    def test_console_at_two_sizes(self):
        for columns, rows in ((80, 24), (40, 60)):
            with self.subTest(f"{columns}x{rows}"):
                c = self.start(columns, rows)
                client = RawClient(c.port).login()
                client.command(LONG[3:].encode("gbk"))
                client.quit()
                # Wide characters fill two cells at a time, so the last cell stays blank.
                shown = LONG[:(columns - 9) // 2 + 9]
                self.assertEqual(cells(shown), columns - 1)
                c.wait(lambda l: shown in l, "the long row cut")
                original, result = os.urandom(3 << 20), []
                with open(os.path.join(c.store, "down"), "wb") as f:
                    f.write(original)
                reader = threading.Thread(target=slow_download, args=(c.port, result))
                reader.start()
                # The progress row follows the reader, as the last row of the log.
                c.wait(lambda l: re.match(r"^正在传输: \d+ KB \(\d+ KB/s\)$", [
                    r for r in l[1:-1] if r][-1]), "the progress row")
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
        c.wait(lambda l: [r for r in l if "启用UTF8编码" in r], "the Options dialog")
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
        c.tmux("kill-pane")
        c.closed(modes=None)

if __name__ == "__main__":
    unittest.main()
