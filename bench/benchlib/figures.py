"""The measurements, each against one running server, and the store they read and write."""

import json
import math
import os
import shutil
import subprocess
import threading
import time

from .ftpclient import FtpError, GreetingRefused, Session

CURL_TIMEOUT = 300
# How long a client waits for the greeting before it drops the connection and dials again.
GREETING_TIMEOUT = 3.0
# Bound on any one step of a session in the 50-client figures (a 10 MiB transfer takes well
# under a second on loopback, even fifty at once).
TRANSFER_TIMEOUT = 15.0
IPERF_TIMEOUT = 60
# Explicit FTPS: AUTH on the control connection, PROT P for data; the bench's certificate is
# self-signed, so curl is told not to verify it.
TLS_CURL = ("--ssl-reqd", "--insecure")


class Sizes:
    def __init__(self, quick):
        if quick:
            self.big = 64 << 20
            self.medium = 1 << 20
            self.entries = 1000
            self.noops = 1000
            self.list_reps = 2
            self.passes = 1
            self.iperf_seconds = 1
            self.burst_seconds = 30
        else:
            self.big = 1 << 30
            self.medium = 10 << 20
            self.entries = 10000
            self.noops = 10000
            self.list_reps = 5
            # A figure of a fraction of a second taken once a round is mostly the host's noise
            # on a shared machine: the 50-client figures and the plain download are taken this
            # many times a round, and the round keeps their median (as the listings keep the
            # median of their passes).
            self.passes = 3
            self.iperf_seconds = 3
            self.burst_seconds = 60
        self.clients = 50

    def as_dict(self):
        return dict(vars(self))


def human_bytes(n):
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= size and n % size == 0:
            return f"{n // size} {unit}"
    return f"{n} B"


# -- the store ------------------------------------------------------------------------------
class Store:
    """STORE/big.bin, STORE/medium.bin, STORE/list<N>/ with N empty files, STORE/up/ for uploads.

    The store root is not writable by the unprivileged account the C peers serve as (vsftpd
    refuses a writable anonymous root); uploads go to up/, writable by everyone.
    """

    def __init__(self, root, sizes):
        self.root = root
        self.sizes = sizes
        self.big = "big.bin"
        self.medium = "medium.bin"
        self.listdir = f"list{sizes.entries}"
        self.up = "up"

    def _sized_file(self, name, size):
        path = os.path.join(self.root, name)
        if os.path.isfile(path) and os.path.getsize(path) == size:
            return path
        with open(path + ".tmp", "wb") as f:
            _write_repeated(f, os.urandom(1 << 20), size)
        os.replace(path + ".tmp", path)
        os.chmod(path, 0o644)
        return path

    def build(self):
        os.makedirs(self.root, exist_ok=True)
        os.chmod(self.root, 0o755)
        self.big_path = self._sized_file(self.big, self.sizes.big)
        self.medium_path = self._sized_file(self.medium, self.sizes.medium)
        d = os.path.join(self.root, self.listdir)
        os.makedirs(d, exist_ok=True)
        os.chmod(d, 0o755)
        names = {f"entry-{i:05d}.txt" for i in range(self.sizes.entries)}
        have = set(os.listdir(d))
        for extra in have - names:
            p = os.path.join(d, extra)
            shutil.rmtree(p) if os.path.isdir(p) else os.remove(p)
        for name in names - have:
            with open(os.path.join(d, name), "wb"):
                pass
            os.chmod(os.path.join(d, name), 0o644)
        self.clean_uploads()
        # Every server reads the big file from the page cache, not the first one from disk.
        with open(self.big_path, "rb") as f:
            while f.readinto(bytearray(8 << 20)):
                pass

    def clean_uploads(self):
        up = os.path.join(self.root, self.up)
        if os.path.isdir(up):
            shutil.rmtree(up)
        os.makedirs(up)
        os.chmod(up, 0o777)

    def recycle_memory(self, size):
        """Writes and deletes a scratch file of SIZE bytes just before an upload is timed.

        A virtual machine may hand memory that has stayed free for a couple of seconds back to
        its host (virtio-balloon free page reporting); the page cache an upload fills then
        faults it back in, page by page. On the machine these figures were taken on, 1 GiB took
        five times the CPU to write into such memory as into memory freed a moment before.
        Which servers met it depended on how long ago something had freed memory, not on the
        server, so every upload now starts from memory that was just in use."""
        path = os.path.join(self.root, self.up, ".recycle")
        with open(path, "wb") as f:
            _write_repeated(f, bytes(1 << 20), size)
        os.remove(path)

    def remove_upload(self, name):
        try:
            os.remove(os.path.join(self.root, self.up, name))
        except FileNotFoundError:
            pass


# -- helpers --------------------------------------------------------------------------------
def _write_repeated(f, block, size):
    """Writes SIZE bytes to the open file F: BLOCK over and over, the last one cut short."""
    view = memoryview(block)
    left = size
    while left:
        n = min(left, len(view))
        f.write(view[:n])
        left -= n


def percentile(sorted_values, p):
    """Nearest-rank percentile of an already sorted list."""
    k = max(0, min(len(sorted_values) - 1, math.ceil(p / 100.0 * len(sorted_values)) - 1))
    return sorted_values[k]


def median(values):
    v = sorted(values)
    n = len(v)
    if n == 0:
        return None
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2.0


def run_concurrently(n, work, timeout):
    """Run work(i) in N threads released together; returns (seconds to the last finish, errors).

    Each thread gets ready, then all wait on one barrier; the clock starts when the barrier
    opens and stops when the last thread finishes.
    """
    barrier = threading.Barrier(n + 1)
    done = [None] * n
    errors = [None] * n

    def body(i):
        try:
            barrier.wait(timeout)
        except threading.BrokenBarrierError:
            errors[i] = "never released"
            return
        try:
            work(i)
            done[i] = time.perf_counter()
        except Exception as e:  # noqa: BLE001 - every failure is reported in the table
            errors[i] = f"{type(e).__name__}: {e}"

    threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(n)]
    for t in threads:
        t.start()
    try:
        barrier.wait(timeout)
    except threading.BrokenBarrierError:
        return None, ["the clients were not all ready in time"]
    t0 = time.perf_counter()
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    for i, t in enumerate(threads):
        if t.is_alive():
            errors[i] = errors[i] or f"still running after {timeout:.0f} s"
    finished = [d for d in done if d is not None]
    errs = [e for e in errors if e]
    elapsed = (max(finished) - t0) if finished and not errs else None
    return elapsed, errs


def _first_error(errs):
    return f"{len(errs)} failed, first: {errs[0]}"


# -- figures against one server -------------------------------------------------------------
class Measure:
    def __init__(self, server, store, sizes, peers, tag, record, fail):
        self.server = server
        self.store = store
        self.sizes = sizes
        self.peers = peers
        self.tag = tag            # unique per server and round, for upload names
        self.record = record      # record(figure, value)
        self.fail = fail          # fail(figure, message)

    def session(self, timeout=60.0):
        s = Session(self.server.port, timeout=timeout)
        try:
            s.login(self.server.user, self.server.password)
        except BaseException:
            s.close()
            raise
        return s

    def idle_memory(self):
        time.sleep(0.5)   # let the probe session of the start finish
        self.record("pss_idle", self.server.pss_mib())

    def noop(self):
        s = self.session()
        try:
            for _ in range(min(200, self.sizes.noops)):
                s.noop_round_trip_ns()
            times = sorted(s.noop_round_trip_ns() for _ in range(self.sizes.noops))
        finally:
            s.quit()
        self.record("noop_p50", percentile(times, 50) / 1000.0)
        self.record("noop_p99", percentile(times, 99) / 1000.0)

    def listings(self):
        s = self.session()
        try:
            s.cmd(f"CWD {self.store.listdir}", "2")
            samples = {"LIST": [], "NLST": []}
            for rep in range(self.sizes.list_reps + 1):
                for command in ("LIST", "NLST"):
                    t0 = time.perf_counter()
                    data = s.listing(command)
                    dt = time.perf_counter() - t0
                    names = [ln for ln in data.split(b"\n") if b"entry-" in ln]
                    if len(names) != self.sizes.entries:
                        raise FtpError(f"{command} gave {len(names)} of {self.sizes.entries} "
                                       "entries")
                    if rep:       # the first pass warms the server's caches
                        samples[command].append(dt * 1000.0)
        finally:
            s.quit()
        self.record("list_ms", median(samples["LIST"]))
        self.record("nlst_ms", median(samples["NLST"]))

    def _curl(self, args, what, extra=()):
        url = f"ftp://127.0.0.1:{self.server.port}/"
        argv = [self.peers["curl"]["binary"], "-sS", *extra, "--disable-epsv", "--ftp-pasv",
                "--user", f"{self.server.user}:{self.server.password}",
                "--connect-timeout", "20", "--max-time", str(CURL_TIMEOUT - 10),
                "-w", "%{size_download} %{size_upload} %{time_pretransfer} %{time_total}"]
        before = self.server.cpu_seconds()
        r = subprocess.run(argv + args(url), stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, timeout=CURL_TIMEOUT)
        time.sleep(0.3)   # session processes end and are accounted after the reply
        cpu = self.server.cpu_seconds() - before
        if r.returncode != 0:
            raise FtpError(f"curl {what} exit {r.returncode}: {r.stderr.strip()[:200]}")
        down, up, pre, total = r.stdout.split()
        size = float(down) if what == "RETR" else float(up)
        if int(size) != self.sizes.big:
            raise FtpError(f"curl {what} moved {int(size)} of {self.sizes.big} bytes")
        return size / (float(total) - float(pre)) / 1e6, cpu

    def _stream_pair(self, prefix, extra=(), passes=1):
        """PASSES RETRs of the big file to /dev/null, then PASSES STORs of it (the round keeps
        the medians of each); PREFIX names the figures (retr_mbps, retr_cpu, stor_mbps,
        stor_cpu after it)."""
        try:
            runs = [self._curl(lambda url: ["-o", "/dev/null", url + self.store.big], "RETR",
                               extra) for _ in range(passes)]
            self.record(prefix + "retr_mbps", median([mbps for mbps, _ in runs]))
            self.record(prefix + "retr_cpu", median([cpu for _, cpu in runs]))
        except (FtpError, OSError, subprocess.TimeoutExpired, ValueError) as e:
            self.fail(prefix + "retr_mbps", str(e))
            self.fail(prefix + "retr_cpu", str(e))
        name = f"{self.tag}-{prefix}big.bin"
        try:
            runs = []
            for _ in range(passes):
                self.store.recycle_memory(self.sizes.big)
                runs.append(self._curl(
                    lambda url: ["-T", self.store.big_path, f"{url}{self.store.up}/{name}"],
                    "STOR", extra))
                self.store.remove_upload(name)
            self.record(prefix + "stor_mbps", median([mbps for mbps, _ in runs]))
            self.record(prefix + "stor_cpu", median([cpu for _, cpu in runs]))
        except (FtpError, OSError, subprocess.TimeoutExpired, ValueError) as e:
            self.fail(prefix + "stor_mbps", str(e))
            self.fail(prefix + "stor_cpu", str(e))
        finally:
            self.store.remove_upload(name)

    def single_stream(self):
        # Each TLS transfer takes seconds: only the plain ones are repeated.
        self._stream_pair("", passes=self.sizes.passes)

    def tls_probe(self):
        """Lists the root once over explicit FTPS with curl -v (not timed) and keeps the
        protocol and cipher that curl reports for the control and the data connection."""
        argv = [self.peers["curl"]["binary"], "-v", "-sS", *TLS_CURL, "--disable-epsv",
                "--ftp-pasv", "--user", f"{self.server.user}:{self.server.password}",
                "--connect-timeout", "20", "--max-time", "60", "-l", "-o", "/dev/null",
                f"ftp://127.0.0.1:{self.server.port}/"]
        r = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           timeout=90)
        if r.returncode != 0:
            raise FtpError(f"curl TLS listing exit {r.returncode}: "
                           f"{r.stderr.strip().splitlines()[-1:]}")
        used = [ln.split("using", 1)[1].strip() for ln in r.stderr.splitlines()
                if ln.startswith("* SSL connection using")]
        accepted, sent = None, None
        for ln in r.stderr.splitlines():
            if ln.startswith("> AUTH"):
                sent = ln[2:].strip()
            elif ln.startswith("< ") and sent and accepted is None:
                if ln[2:5] == "234":
                    accepted = sent
                sent = None
        reused = "SSL re-using session ID" in r.stderr
        if len(used) < 2:
            raise FtpError(f"curl saw {len(used)} TLS handshakes, not control + data")
        kinds = sorted(set(used))
        self.server.tls_seen = (
            ("; ".join(kinds) if len(kinds) > 1 else kinds[0] + " on control and data")
            + f" ({accepted or 'AUTH ?'} accepted; curl "
            f"{'resumed' if reused else 'did not resume'} the session on the data connection)")

    def tls_stream(self):
        try:
            self.tls_probe()
        except (FtpError, OSError, subprocess.TimeoutExpired) as e:
            for fig in ("tls_retr_mbps", "tls_retr_cpu", "tls_stor_mbps", "tls_stor_cpu"):
                self.fail(fig, f"TLS listing: {e}")
            return
        self._stream_pair("tls_", TLS_CURL)

    def connect_with_retry(self, deadline):
        """Connect and log in the way an FTP client does when a greeting does not come: give up
        on that connection after GREETING_TIMEOUT and open a new one, until DEADLINE.
        Returns (session, reconnects)."""
        reconnects = 0
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise FtpError(f"no greeting before the deadline, after {reconnects} reconnects")
            try:
                s = Session(self.server.port, timeout=TRANSFER_TIMEOUT,
                            greeting_timeout=min(GREETING_TIMEOUT, left))
            except (OSError, GreetingRefused):
                reconnects += 1
                time.sleep(0.05)
                continue
            try:
                s.login(self.server.user, self.server.password)
            except BaseException:
                s.close()
                raise
            return s, reconnects

    def _burst(self, n, deadline):
        """N clients connect and log in together. Returns (sessions, reconnects, seconds, errors);
        a session the burst could not log in is None."""
        sessions = [None] * n
        reconnects = [0] * n

        def login(i):
            sessions[i], reconnects[i] = self.connect_with_retry(deadline)

        elapsed, errs = run_concurrently(n, login, timeout=self.sizes.burst_seconds + 30)
        return sessions, sum(reconnects), elapsed, errs

    @staticmethod
    def _quit_all(sessions):
        live = [s for s in sessions if s is not None]
        closers = [threading.Thread(target=s.quit, daemon=True) for s in live]
        for t in closers:
            t.start()
        for t in closers:
            t.join(10)

    def _median_of_passes(self, figure, once):
        """Runs ONCE, which gives (seconds, failure or None), PASSES times and records the median
        of the seconds; the first failure ends the passes and is recorded instead."""
        times = []
        for _ in range(self.sizes.passes):
            elapsed, failure = once()
            if failure:
                self.fail(figure, failure)
                return
            times.append(elapsed)
        self.record(figure, median(times))

    def fifty(self):
        """50 clients connect and log in together (PASSES bursts, each after the last one's
        sessions have quit); memory while the last burst's sessions are all logged in; then one
        file downloaded by all of them together, then an upload each to its own file, PASSES
        times each.

        Sessions that the burst could not log in are opened one after another (not timed), so
        the transfer figures do not depend on the burst. The reconnects are those of all
        the bursts together."""
        n = self.sizes.clients
        sessions = [None] * n
        try:
            times, reconnects, failure = [], 0, None
            for _ in range(self.sizes.passes):
                self._quit_all(sessions)
                time.sleep(0.5)   # the sessions before have left their slots
                deadline = time.monotonic() + self.sizes.burst_seconds
                sessions, more, elapsed, errs = self._burst(n, deadline)
                reconnects += more
                if errs:
                    failure = failure or _first_error(errs)
                else:
                    times.append(elapsed)
            self.record("login50_reconnects", float(reconnects))
            if failure:
                self.fail("login50_s", failure)
            else:
                self.record("login50_s", median(times))
            late = [i for i in range(n) if sessions[i] is None]
            for i in late:
                time.sleep(0.2)
                sessions[i], _ = self.connect_with_retry(time.monotonic() + 60)
            time.sleep(0.3)
            self.server.snapshot()
            self.record("pss_50", self.server.pss_mib())

            def retr(i):
                got = sessions[i].retr(self.store.medium)
                if got != self.sizes.medium:
                    raise FtpError(f"RETR gave {got} of {self.sizes.medium} bytes")

            def retr_pass():
                elapsed, errs = run_concurrently(n, retr, timeout=2 * TRANSFER_TIMEOUT)
                return elapsed, _first_error(errs) if errs else None

            self._median_of_passes("retr50_s", retr_pass)

            payload = memoryview(os.urandom(self.sizes.medium))
            names = [f"{self.tag}-c{i:02d}.bin" for i in range(n)]

            def stor(i):
                sessions[i].stor(f"{self.store.up}/{names[i]}", payload)

            def stor_pass():
                self.store.recycle_memory(n * self.sizes.medium)
                elapsed, errs = run_concurrently(n, stor, timeout=2 * TRANSFER_TIMEOUT)
                if errs:
                    return elapsed, _first_error(errs)
                sizes = [os.path.getsize(os.path.join(self.store.root, self.store.up, x))
                         for x in names]
                if any(sz != self.sizes.medium for sz in sizes):
                    return elapsed, "an uploaded file has the wrong size"
                for x in names:
                    self.store.remove_upload(x)
                return elapsed, None

            try:
                self._median_of_passes("stor50_s", stor_pass)
            finally:
                for x in names:
                    self.store.remove_upload(x)
        finally:
            self.server.snapshot()
            self._quit_all(sessions)


def iperf3(binary, seconds, port):
    """Single-stream TCP throughput over loopback in MB/s (10^6 bytes per second)."""
    server = subprocess.Popen([binary, "-s", "-1", "-B", "127.0.0.1", "-p", str(port)],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        want = f"0100007F:{port:04X}"
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with open("/proc/net/tcp") as f:
                if any(ln.split()[1] == want and ln.split()[3] == "0A" for ln in f.readlines()[1:]):
                    break
            time.sleep(0.05)
        r = subprocess.run([binary, "-c", "127.0.0.1", "-p", str(port), "-t", str(seconds), "-J"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           timeout=IPERF_TIMEOUT)
        if r.returncode != 0:
            raise RuntimeError(f"iperf3 client exit {r.returncode}: {r.stdout[-300:]}")
        result = json.loads(r.stdout)
        return result["end"]["sum_received"]["bits_per_second"] / 8 / 1e6
    finally:
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(timeout=10)
