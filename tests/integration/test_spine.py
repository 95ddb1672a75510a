"""The program end to end: start-up log, greeting, a few commands, Close on SIGTERM, the
single-instance rule and the command line's refusals."""

import os
import signal
import time
import unittest

from drovn_harness import DrovnProcess, recv_reply, run_once



class ServiceLifecycle(unittest.TestCase):
    def test_start_serve_and_close(self):
        with DrovnProcess() as server:
            first = server.wait_for_line("准备启动FTP服务...")
            self.assertEqual(first, 0, server.lines)
            host = server.wait_for_line("主机名称: ", prefix=True, start=first)
            # The listener looks for the network only after its launch delay.
            self.assertGreaterEqual(server.times[host] - server.times[first], 1.5)
            found = server.wait_for_line("找到IP: ", prefix=True, start=host)
            started = server.wait_for_line("服务已启动.", start=found)
            self.assertEqual(server.wait_for_line(f"监听端口: {server.port}", start=started),
                             started + 1)
            self.assertEqual(server.wait_for_line("服务地址: ftp://127.0.0.1", start=started),
                             started + 2)

            with server.connect() as client:
                self.assertEqual(recv_reply(client), b"220 Server ready...\r\n")
                client.sendall(b"NOOP\r\n")
                self.assertEqual(recv_reply(client), b"200 OK \r\n")
                noop = server.wait_for_line("#1>NOOP", start=started)
                self.assertEqual(server.wait_for_line("200 OK", start=noop), noop + 1)
                client.sendall(b"QUIT\r\n")
                # QUIT ends the session: the server closes the connection.
                deadline = time.monotonic() + 30
                while client.recv(4096):
                    self.assertLess(time.monotonic(), deadline)
            server.wait_for_line("#1>Disconnected.", start=started)

            # A second start with the same registry leaves at once and starts nothing.
            began = time.monotonic()
            second = run_once(["--headless", "--store", server.store, "--registry",
                               server.registry, "--port", "0"])
            self.assertEqual(second.returncode, 0, second.stderr)
            self.assertEqual(second.stdout, "")
            self.assertLess(time.monotonic() - began, 10)

            server.signal(signal.SIGTERM)
            self.assertEqual(server.wait(), 0, server.stderr_text())
            stopping = server.wait_for_line("正在停止...", start=started)
            stopped = server.wait_for_line("服务已停止.", start=stopping)
            server.wait_for_line("正在退出...", start=stopped)
            self.assertEqual(server.lines[-1], "正在退出...")
            self.assertNotIn("runtime error", server.stderr_text())
            self.assertNotIn("Sanitizer", server.stderr_text())

    def test_a_command_waiting_for_its_data_connection_is_logged_meanwhile(self):
        # The command line is shown before the server waits for the client's data connection,
        # not only once a reply follows.
        with DrovnProcess(["--set", "auth_Anonymous=1"]) as server:
            server.wait_until_listening()
            with server.connect() as client:
                self.assertEqual(recv_reply(client), b"220 Server ready...\r\n")
                for line, code in ((b"USER anonymous", b"331"), (b"PASS x", b"230"),
                                   (b"PASV", b"227")):
                    client.sendall(line + b"\r\n")
                    self.assertTrue(recv_reply(client).startswith(code))
                client.sendall(b"LIST\r\n")
                listed = server.wait_for_line("#1>LIST", timeout=5)
                # Nothing has been answered yet: the client has not connected.
                self.assertEqual([ln for ln in server.lines[listed + 1:] if ln[:1] == "1"], [])

    def test_sigint_closes_too(self):
        with DrovnProcess() as server:
            server.wait_until_listening()
            server.signal(signal.SIGINT)
            self.assertEqual(server.wait(), 0, server.stderr_text())
            self.assertEqual(server.lines[-1], "正在退出...")


class CommandLine(unittest.TestCase):
    def test_help_and_version(self):
        help_run = run_once(["--help"])
        self.assertEqual(help_run.returncode, 0)
        self.assertIn("--store DIR", help_run.stdout)
        version = run_once(["--version"])
        self.assertEqual(version.returncode, 0)
        self.assertEqual(version.stdout, "drovn 2.2\n")

    def test_refusals_exit_2_with_a_message(self):
        missing = os.path.join(os.path.dirname(__file__), "no-such-directory")
        cases = [
            (["--store", missing], "does not exist"),
            (["--set", "no_such_setting=1"], "unknown setting 'no_such_setting'"),
            (["--set", "auth_enable1=yes"], "takes 1 or 0"),
            (["--port", "70000"], "0 to 65535"),
            (["--bogus"], "--help"),
            (["--store"], "needs a value"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = run_once(args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(result.stdout, "")


if __name__ == "__main__":
    unittest.main()
