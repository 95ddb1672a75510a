"""Today's clients against a server with the standard extensions (opt_modernClients=1): rclone
keeps times and syncs a same-size edit, lftp mirrors keeping times, curl takes EPSV at once,
ncftpls and tnftp list, fetch by pattern and resume, and aioftp ends its session cleanly."""

import os, random, re, subprocess, unittest

from drovn_harness import TIMEOUT, Server, read, temp_dir, write
from test_clients import ENV, TROUBLE

OLD = 1551675960  # 2019-03-04 05:06 UTC

class ModernClients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(["--set", "opt_modernClients=1"]).start()
        cls.addClassCleanup(cls.server.close)
    def at(self, *parts):
        return os.path.join(self.server.store, *parts)
    def run_client(self, argv, cwd, stdin=None):
        done = subprocess.run(argv, cwd=cwd, env=dict(ENV, HOME=cwd), input=stdin, text=True,
                              capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, (argv, done.stdout[-3000:], done.stderr[-3000:]))
        return done
    def source(self, count):
        work = temp_dir(self)
        for i in range(count):
            write(path := os.path.join(work, "src", f"f{i}.bin"), random.randbytes(1000 * (i + 1)))
            os.utime(path, (OLD + i, OLD + i))
        return work
    def times(self, folder):  # whole seconds: what an FTP time carries
        return {n: int(os.stat(os.path.join(folder, n)).st_mtime) for n in os.listdir(folder)}
    def test_rclone_keeps_times_and_syncs_a_same_size_edit(self):
        work = self.source(5)
        obscured = self.run_client(["rclone", "obscure", "guest"], work).stdout.strip()
        remote = f":ftp,host=127.0.0.1,port={self.server.port},user=anonymous,pass={obscured}:rc"
        def sync():
            done = self.run_client(["rclone", "sync", "src", remote, "-v", "--config", "/dev/null",
                                    "--low-level-retries", "1", "--retries", "1"], work)
            return sorted(re.findall(r"INFO  : (\S+): Copied", done.stderr))
        self.assertEqual(sync(), [f"f{i}.bin" for i in range(5)])
        self.assertEqual(self.times(self.at("rc")), self.times(os.path.join(work, "src")))
        self.assertEqual(sync(), [])  # the times match: nothing is sent again
        edited = os.path.join(work, "src", "f2.bin")
        write(edited, random.randbytes(3000))
        os.utime(edited, (OLD + 99, OLD + 99))
        self.assertEqual(sync(), ["f2.bin"])
        self.assertEqual(read(self.at("rc", "f2.bin")), read(edited))
    def test_lftp_mirror_keeps_times(self):
        work = self.source(4)
        self.run_client(["lftp", "-c", "set ftp:passive-mode yes; set ftp:ssl-allow no; "
                         "set net:max-retries 1; set net:timeout 20; set cmd:fail-exit yes; "
                         f"open -u anonymous,guest ftp://127.0.0.1:{self.server.port}; "
                         "mirror -R src lf; mirror lf back"], work)
        want = self.times(os.path.join(work, "src"))
        self.assertEqual(self.times(self.at("lf")), want)
        self.assertEqual(self.times(os.path.join(work, "back")), want)
    def test_curl_takes_epsv_at_once(self):
        write(self.at("curl", "data"), data := random.randbytes(700000))
        local = temp_dir(self)
        done = self.run_client(["curl", "-q", "-sS", "-v", "--noproxy", "*", "-o", "out",
                                f"ftp://127.0.0.1:{self.server.port}/curl/data"], local)
        lines = done.stderr.splitlines()
        self.assertEqual(read(os.path.join(local, "out")), data)
        # EPSV taken at its first try: no PASV, no fallback, nothing refused.
        self.assertEqual([l[:28] for l in lines if re.match(r"> (EPSV|PASV)|< 229|< [45]", l)],
                         ["> EPSV", "< 229 Entering Extended Pass"])
        self.assertFalse([l for l in lines if TROUBLE.search(l)], lines)
    def test_ncftpls_and_tnftp_patterns_and_resume(self):
        files = {f"f{i}.dat": random.randbytes(random.randint(1, 300000)) for i in range(4)}
        for name, data in files.items():
            write(self.at("nc", name), data)
        local = temp_dir(self)
        listed = self.run_client(["ncftpls", "-P", str(self.server.port),
                                  "ftp://127.0.0.1/nc/"], local).stdout.split()
        self.assertEqual(sorted(listed), sorted(files))
        # A partial download to resume, then every file by pattern into an empty folder.
        big = max(files, key=lambda n: len(files[n]))
        write(os.path.join(local, big), files[big][:len(files[big]) // 3])
        os.mkdir(os.path.join(local, "all"))
        script = (f"open 127.0.0.1 {self.server.port}\nuser anonymous guest\nbinary\ncd nc\n"
                  f"reget {big}\nlcd all\nmget *\nnlist f0.dat\nbye\n")
        done = self.run_client(["tnftp", "-n", "-i", "-v"], local, stdin=script)
        self.assertIn("350 REST from", done.stdout)
        self.assertEqual(read(os.path.join(local, big)), files[big])
        self.assertEqual({n: read(os.path.join(local, "all", n)) for n in
                          os.listdir(os.path.join(local, "all"))}, files)
        self.assertFalse(re.search(r"^550 ", done.stdout, re.M), done.stdout)
    def test_aioftp_lists_fetches_and_quits_cleanly(self):
        write(self.at("aio", "a.txt"), b"hello")
        code = ("import asyncio, aioftp\nasync def main():\n"
                f"  async with aioftp.Client.context('127.0.0.1', {self.server.port}) as c:\n"
                "    print(sorted(str(p) for p, _ in await c.list('aio')))\n"
                "    async with c.download_stream('aio/a.txt') as s:\n"
                "      print(b''.join([b async for b in s.iter_by_block()]))\n"
                "asyncio.run(main())\n")
        # Debian's aioftp belongs to the system's interpreter.
        done = self.run_client(["/usr/bin/python3", "-c", code], temp_dir(self))
        self.assertEqual(done.stdout, "['aio/a.txt']\nb'hello'\n")
        self.assertEqual(done.stderr, "")

if __name__ == "__main__":
    unittest.main()
