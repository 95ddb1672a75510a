"""lftp against the real program: a nested tree of a few hundred files of varied sizes (empty
ones, ones larger than a transfer block, names with spaces and Chinese characters) sent up with
`mirror -R` and fetched back with `mirror`, both copies compared byte for byte with the original.

Once with UTF-8 file names (the server allows OPTS UTF8 ON and lftp switches to it after FEAT),
once in the server's own code page (GBK), which lftp is told with ftp:charset. lftp's debug log
must show no retry, reconnect or error apart from the answers the server gives to commands it
does not have."""

import os
import random
import re
import shutil
import subprocess
import tempfile
import unittest

from drovn_harness import DrovnProcess

LFTP = shutil.which("lftp")
BLOCK = 458752  # the server's transfer block

# One lftp run (a whole mirror) must end well inside this; sanitizer builds are the slow ones.
LFTP_TIMEOUT = 300

# Error replies that are expected, as (command word, reply): lftp asks for features before it
# logs in, and tries commands the server does not have, then does without them.
EXPECTED_REFUSALS = {
    ("FEAT", "530 Please log in first."),
    ("SITE", "500 Invalid command SITE"),
    ("MDTM", "500 Invalid command MDTM"),
}

# Lines of lftp's debug log that mean something went wrong: its own error lines ("**** "),
# retries and reconnects, timeouts, failed or refused connections.
TROUBLE = re.compile(r"^\*\*\*\*|[Rr]etry|[Rr]etrying|Delaying before reconnect|[Rr]econnect"
                     r"|[Ee]rror|[Ff]ail|[Tt]imeout|[Tt]imed out|[Rr]efused|[Rr]eset by peer"
                     r"|[Bb]roken pipe|[Ii]nterrupt")

SIZES_OVER_A_BLOCK = (BLOCK, BLOCK + 1, 2 * BLOCK - 1, 3 * BLOCK + 17)


def file_name(rng, index):
    # Every name is in GBK as well, so the code-page run can carry it; no name has two spaces
    # in a row (the server's command parser folds them into one).
    forms = ("file{0}.bin", "note {0}.txt", "数据{0}.dat", "报告 {0} 终稿.txt", "x{0}",
             "mixed 名字 {0}.log")
    return rng.choice(forms).format(index)


def make_tree(root, seed):
    """A deterministic tree of about 270 files in 4 levels; gives (file count, byte count)."""
    rng = random.Random(seed)
    counter = [0]
    big = list(SIZES_OVER_A_BLOCK)
    totals = [0, 0]

    def size():
        if big and rng.random() < 0.03:
            return big.pop()
        roll = rng.random()
        if roll < 0.12:
            return 0
        if roll < 0.70:
            return rng.randint(1, 4096)
        return rng.randint(4097, 60000)

    def fill(directory, files, subdirs, depth):
        os.makedirs(directory, exist_ok=True)
        for _ in range(files):
            counter[0] += 1
            name = file_name(rng, counter[0])
            n = size()
            with open(os.path.join(directory, name), "wb") as f:
                f.write(rng.randbytes(n))
            totals[0] += 1
            totals[1] += n
        children = {1: (25, 3), 2: (10, 2), 3: (4, 0)}.get(depth + 1)
        for d in range(subdirs):
            counter[0] += 1
            name = rng.choice(("dir {0}", "目录{0}", "sub{0}", "层 {0} 级")).format(counter[0])
            fill(os.path.join(directory, name), children[0], children[1], depth + 1)

    fill(root, 30, 3, 0)
    # The big sizes that chance did not use go into the deepest level.
    deepest = root
    for _ in range(3):
        deepest = os.path.join(deepest, sorted(d for d in os.listdir(deepest)
                                               if os.path.isdir(os.path.join(deepest, d)))[0])
    for n in big:
        counter[0] += 1
        with open(os.path.join(deepest, f"big {counter[0]}.bin"), "wb") as f:
            f.write(rng.randbytes(n))
        totals[0] += 1
        totals[1] += n
    os.makedirs(os.path.join(root, "空目录"))
    return tuple(totals)


def tree_listing(root):
    """Every directory and file below root, relative, with the files' contents."""
    dirs, files = set(), {}
    for here, subdirs, names in os.walk(root):
        rel = os.path.relpath(here, root)
        for d in subdirs:
            dirs.add(os.path.normpath(os.path.join(rel, d)))
        for n in names:
            with open(os.path.join(here, n), "rb") as f:
                files[os.path.normpath(os.path.join(rel, n))] = f.read()
    return dirs, files


class LftpMirror(unittest.TestCase):
    def setUp(self):
        # scripts/packages.sh installs lftp: a missing one is a broken machine, not a skip.
        self.assertIsNotNone(LFTP, "lftp is not installed (scripts/packages.sh installs it)")
        self._tmp = tempfile.TemporaryDirectory(prefix="drovn-lftp-")
        self.work = self._tmp.name
        self.source = os.path.join(self.work, "source")
        self.files, self.bytes = make_tree(self.source, seed=20091111)
        self.assertGreaterEqual(self.files, 250)
        self.assertGreater(self.bytes, 6 * BLOCK)
        self.expected = tree_listing(self.source)
        # The tree has what the test is about.
        names = list(self.expected[1]) + list(self.expected[0])
        self.assertTrue(any(" " in n for n in names))
        self.assertTrue(any(re.search(r"[\u4e00-\u9fff]", n) for n in names))
        self.assertTrue(any(len(c) == 0 for c in self.expected[1].values()))
        self.assertGreaterEqual(sum(len(c) > BLOCK for c in self.expected[1].values()), 3)
        self.assertGreaterEqual(max(n.count(os.sep) for n in names), 3)

    def tearDown(self):
        self._tmp.cleanup()

    def run_lftp(self, server, charset_lines, commands, log_name):
        """Runs one lftp script against server; gives the debug log lines."""
        log = os.path.join(self.work, log_name)
        script = os.path.join(self.work, log_name + ".lftp")
        lines = [
            "set ftp:ignore-pasv-address yes",
            "set ftp:passive-mode yes",
            "set ftp:ssl-allow no",
            "set net:max-retries 1",
            "set net:timeout 20",
            "set cmd:fail-exit yes",
            "set xfer:log no",
            *charset_lines,
            f"debug -o {log} 9",
            f"open -u anonymous,guest ftp://127.0.0.1:{server.port}",
            *commands,
            "bye",
        ]
        with open(script, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        # No proxy from the environment and no rc file from the home directory.
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        env.update(HOME=self.work, LC_ALL="C.UTF-8")
        done = subprocess.run([LFTP, "-f", script], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=LFTP_TIMEOUT, env=env, cwd=self.work,
                              encoding="utf-8", errors="replace")
        with open(log, encoding="utf-8", errors="replace") as f:
            debug = f.read().splitlines()
        self.assertEqual(done.returncode, 0,
                         f"lftp failed: {done.stdout}{done.stderr}\n" + "\n".join(debug[-40:]))
        self.assertEqual(done.stderr, "")
        self.check_debug_log(debug)
        return debug

    def check_debug_log(self, debug):
        command = None
        for line in debug:
            if line.startswith("---> "):
                command = line[5:].split(" ")[0].upper()
                continue
            if line.startswith("<--- "):
                reply = line[5:]
                if reply[:1] in ("4", "5"):
                    self.assertIn((command, reply), EXPECTED_REFUSALS, line)
                continue
            self.assertIsNone(TROUBLE.search(line), line)
        # Exactly one control connection: nothing was reconnected.
        self.assertEqual(sum(line.startswith("---- Connecting to ") for line in debug), 1)

    def check_server(self, server):
        server.stop()
        self.assertNotIn("Failed to process", server.lines)
        self.assertFalse([l for l in server.lines if "aborted" in l or "error" in l], server.lines)
        self.assertNotIn("runtime error", server.stderr_text())
        self.assertNotIn("Sanitizer", server.stderr_text())

    def round_trip(self, server, charset_lines, tag):
        back = os.path.join(self.work, "back-" + tag)
        debug = self.run_lftp(server, charset_lines,
                              [f"mirror -R '{self.source}' up", f"mirror up '{back}'"],
                              "debug-" + tag)
        self.assertEqual(tree_listing(os.path.join(server.store, "up")), self.expected)
        self.assertEqual(tree_listing(back), self.expected)
        # Both ways went through the server's transfer commands with their usual replies.
        replies = [l[5:] for l in debug if l.startswith("<--- ")]
        self.assertEqual(replies[0], "220 Server ready...")
        self.assertIn("230 Password ok.", replies)
        stors = sum(l.startswith("---> STOR ") for l in debug)
        retrs = sum(l.startswith("---> RETR ") for l in debug)
        self.assertEqual(stors, self.files)
        # lftp fetches no data for an empty file: it knows the size from the listing.
        empty = sum(len(c) == 0 for c in self.expected[1].values())
        self.assertEqual(retrs, self.files - empty)
        self.assertGreaterEqual(replies.count("226 Transfer completed."), stors + retrs)
        return debug

    def test_mirror_round_trip_with_utf8_names(self):
        with DrovnProcess(["--set", "opt_enableUtf8=1"]) as server:
            server.wait_until_listening()
            debug = self.round_trip(server, [], "utf8")
            self.assertIn("---> OPTS UTF8 ON", debug)
            self.assertIn("<--- 200 Option UTF8 is on.", debug)
            self.check_server(server)

    def test_mirror_round_trip_in_the_server_code_page(self):
        # Without opt_enableUtf8 the server speaks GBK; lftp converts with ftp:charset and must
        # not ask for UTF-8.
        with DrovnProcess() as server:
            server.wait_until_listening()
            debug = self.round_trip(server, ["set ftp:charset gbk", "set ftp:use-utf8 no"],
                                    "gbk")
            self.assertFalse([l for l in debug if l.startswith("---> OPTS")])
            self.check_server(server)


if __name__ == "__main__":
    unittest.main()
