"""CPU time and proportional memory of a server and every process it started.

A server's processes are tracked in a cgroup of their own when the machine lets us make one
(cgroup v1 cpuacct, else cgroup v2): its counter keeps the CPU of sessions that already ended,
whoever reaped them. Without a cgroup we fall back to the process tree under the server's PID,
counting the children it reaped through cutime/cstime.
"""

import os
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")
CGROUP_V1 = "/sys/fs/cgroup/cpuacct"
CGROUP_V2_CANDIDATES = ("/sys/fs/cgroup/unified", "/sys/fs/cgroup")


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _stat_fields(pid):
    """Fields of /proc/PID/stat after the command name (index 0 is field 3, the state)."""
    raw = _read(f"/proc/{pid}/stat")
    return raw[raw.rindex(b")") + 2:].split()


def start_time(pid):
    """Start time of PID in clock ticks since boot, or None when it is gone."""
    try:
        return int(_stat_fields(pid)[19])
    except (OSError, ValueError, IndexError):
        return None


def process_tree(root):
    """PIDs of ROOT and all its live descendants."""
    children = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            ppid = int(_stat_fields(name)[1])
        except (OSError, ValueError, IndexError):
            continue
        children.setdefault(ppid, []).append(int(name))
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(children.get(pid, ()))
    return found


def pss_kib(pids):
    """Sum of the Pss lines of /proc/PID/smaps_rollup over PIDS (processes that vanish count 0)."""
    total = 0
    for pid in pids:
        try:
            for line in _read(f"/proc/{pid}/smaps_rollup").splitlines():
                if line.startswith(b"Pss:"):
                    total += int(line.split()[1])
                    break
        except (OSError, ValueError):
            pass
    return total


class Accounting:
    """Where one server's CPU and processes are read from, for the lifetime of that server."""

    def __init__(self, label):
        self.root_pid = None
        self.path = None
        self.kind = "proc"
        if os.path.isdir(CGROUP_V1) and os.access(CGROUP_V1, os.W_OK):
            self._try_make(CGROUP_V1, label, "v1")
        if self.path is None:
            for base in CGROUP_V2_CANDIDATES:
                if os.path.isfile(os.path.join(base, "cgroup.controllers")) \
                        and os.access(base, os.W_OK):
                    self._try_make(base, label, "v2")
                    if self.path is not None:
                        break

    def _try_make(self, base, label, kind):
        path = os.path.join(base, f"drovn-bench-{os.getpid()}-{label}")
        try:
            os.mkdir(path)
        except FileExistsError:
            pass
        except OSError:
            return
        self.path, self.kind = path, kind

    def adopt(self, pid):
        """Put the freshly started server into the cgroup before it serves any client."""
        self.root_pid = pid
        if self.path is None:
            return
        try:
            with open(os.path.join(self.path, "cgroup.procs"), "w") as f:
                f.write(str(pid))
        except OSError:
            self.remove()
            self.path, self.kind = None, "proc"

    def pids(self):
        if self.path is not None:
            try:
                return [int(x) for x in _read(os.path.join(self.path, "cgroup.procs")).split()]
            except OSError:
                pass
        return process_tree(self.root_pid) if self.root_pid else []

    def cpu_seconds(self):
        if self.kind == "v1":
            return int(_read(os.path.join(self.path, "cpuacct.usage"))) / 1e9
        if self.kind == "v2":
            for line in _read(os.path.join(self.path, "cpu.stat")).splitlines():
                if line.startswith(b"usage_usec"):
                    return int(line.split()[1]) / 1e6
        total = 0
        for pid in process_tree(self.root_pid):
            try:
                f = _stat_fields(pid)
                total += int(f[11]) + int(f[12]) + int(f[13]) + int(f[14])
            except (OSError, ValueError, IndexError):
                pass
        return total / CLK_TCK

    def pss_mib(self):
        return pss_kib(self.pids()) / 1024.0

    def remove(self):
        if self.path is None:
            return
        for _ in range(50):
            try:
                os.rmdir(self.path)
                return
            except FileNotFoundError:
                return
            except OSError:
                time.sleep(0.1)
