"""File and directory commands driven by a stock FTP client (Python's ftplib) against the real
program and its --store directory."""

import ftplib
import os
import unittest

from drovn_harness import DEFAULT_TIMEOUT, DrovnProcess


class FileCommands(unittest.TestCase):
    def test_a_stock_client_manages_files_in_the_store(self):
        with DrovnProcess() as server:
            server.wait_until_listening()
            with open(os.path.join(server.store, "hello.txt"), "wb") as f:
                f.write(b"hello")
            with ftplib.FTP(timeout=DEFAULT_TIMEOUT) as ftp:
                self.assertEqual(ftp.connect("127.0.0.1", server.port), "220 Server ready...")
                self.assertEqual(ftp.login("anonymous", "guest"), "230 Password ok.")
                self.assertEqual(ftp.pwd(), "/")
                ftp.mkd("docs")
                self.assertTrue(os.path.isdir(os.path.join(server.store, "docs")))
                self.assertEqual(ftp.cwd("docs"), "250 Directory changed to /docs")
                self.assertEqual(ftp.pwd(), "/docs")
                self.assertEqual(ftp.size("../hello.txt"), 5)
                ftp.rename("../hello.txt", "moved.txt")
                with open(os.path.join(server.store, "docs", "moved.txt"), "rb") as f:
                    self.assertEqual(f.read(), b"hello")
                with self.assertRaises(ftplib.error_perm) as refused:
                    ftp.cwd("/..")
                self.assertEqual(str(refused.exception), "550 Access denied!")
                ftp.delete("moved.txt")
                self.assertEqual(ftp.cwd(".."), "250 Directory changed to /")
                ftp.rmd("docs")
                self.assertEqual(os.listdir(server.store), [])
                # QUIT has no reply: the server just closes the connection.
                ftp.putcmd("QUIT")
                with self.assertRaises(EOFError):
                    ftp.getline()
            server.wait_for_line("#1>PASS [hidden]")
            server.wait_for_line("#1>Disconnected.")
            self.assertNotIn("runtime error", server.stderr_text())
            self.assertNotIn("Sanitizer", server.stderr_text())


if __name__ == "__main__":
    unittest.main()
