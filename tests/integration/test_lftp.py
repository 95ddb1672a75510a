"""lftp against the real program: a nested tree (empty files, files larger than a transfer block,
names with spaces and Chinese characters) sent up with `mirror -R` and fetched back with
`mirror`, both copies compared byte for byte with the original; once with UTF-8 names, once in
the server's own code page (GBK). lftp's debug log must show no retry, reconnect or error apart
from the server's refusals of commands it does not have."""

import os
import random
import re
import shutil
import subprocess
import unittest

from drovn_harness import Server, read, temp_dir, write

LFTP = shutil.which("lftp")
BLOCK = 458752
REFUSALS = {("FEAT", "530 Please log in first."), ("SITE", "500 Invalid command SITE"),
            ("MDTM", "500 Invalid command MDTM")}
TROUBLE = re.compile(r"^\*\*\*\*|(?i:retry|reconnect|error|fail|time(d )?out|refused|reset by"
                     r"|broken pipe|interrupt)")


def make_tree(root):
    """Names all in GBK too, with no two spaces in a row (the server folds them into one)."""
    rng = random.Random(20091111)
    sizes = [0, 1, 4096, BLOCK, BLOCK + 1, 3 * BLOCK + 17]
    sizes += [rng.randint(0, 60000) for _ in range(30)]
    folders = ["", "dir 1", "目录2", "dir 1/层 3 级", "dir 1/层 3 级/sub4"]
    for i, size in enumerate(sizes):
        name = ("file{}.bin", "note {}.txt", "报告 {} 终稿.txt", "x{}")[i % 4].format(i)
        write(os.path.join(root, folders[i % len(folders)], name), rng.randbytes(size))
    os.makedirs(os.path.join(root, "空目录"))
    return len(sizes), sizes.count(0)


def tree(root):
    found = {}
    for here, dirs, names in os.walk(root):
        for d in dirs:
            found[os.path.relpath(os.path.join(here, d), root)] = None
        for n in names:
            found[os.path.relpath(os.path.join(here, n), root)] = read(os.path.join(here, n))
    return found


class LftpMirror(unittest.TestCase):
    def test_mirror_round_trip(self):
        self.assertTrue(LFTP, "lftp is not installed (scripts/packages.sh installs it)")
        for tag, extra, charset in (("utf8", ["--set", "opt_enableUtf8=1"], []),
                                    ("gbk", [], ["set ftp:charset gbk", "set ftp:use-utf8 no"])):
            with self.subTest(tag), Server(extra) as server:
                work = temp_dir(self)
                files, empty = make_tree(os.path.join(work, "source"))
                log, script = os.path.join(work, "debug"), os.path.join(work, "run.lftp")
                with open(script, "w", encoding="utf-8") as f:
                    f.write("\n".join([
                        "set ftp:ignore-pasv-address yes", "set ftp:passive-mode yes",
                        "set ftp:ssl-allow no", "set net:max-retries 1", "set net:timeout 20",
                        "set cmd:fail-exit yes", "set xfer:log no", *charset, f"debug -o {log} 9",
                        f"open -u anonymous,guest ftp://127.0.0.1:{server.port}",
                        "mirror -R source up", "mirror up back", "bye"]) + "\n")
                env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
                env.update(HOME=work, LC_ALL="C.UTF-8")
                done = subprocess.run([LFTP, "-f", script], cwd=work, env=env, timeout=300,
                                      stdin=subprocess.DEVNULL, capture_output=True, text=True)
                with open(log, encoding="utf-8", errors="replace") as f:
                    debug = f.read().splitlines()
                self.assertEqual((done.returncode, done.stderr), (0, ""), debug[-40:])
                expected = tree(os.path.join(work, "source"))
                self.assertEqual(tree(os.path.join(server.store, "up")), expected)
                self.assertEqual(tree(os.path.join(work, "back")), expected)
                command = None
                for line in debug:
                    if line.startswith("---> "):
                        command = line[5:].split(" ")[0].upper()
                    elif line.startswith("<--- ") and line[5:6] in "45":
                        self.assertIn((command, line[5:]), REFUSALS, line)
                    elif not line.startswith("<--- "):
                        self.assertIsNone(TROUBLE.search(line), line)
                self.assertEqual(sum(l.startswith("---- Connecting to ") for l in debug), 1)
                self.assertEqual(sum(l.startswith("---> STOR ") for l in debug), files)
                # lftp fetches no data for an empty file: it knows the size from the listing.
                self.assertEqual(sum(l.startswith("---> RETR ") for l in debug), files - empty)
                self.assertEqual(("---> OPTS UTF8 ON" in debug, "<--- 200 Option UTF8 is on."
                                  in debug), (tag == "utf8",) * 2)
                server.stop()
                self.assertFalse([l for l in server.lines if "aborted" in l or "error" in l
                                  or "Failed to process" in l], server.lines)


if __name__ == "__main__":
    unittest.main()
