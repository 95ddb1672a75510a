"""Brings the peers from Debian when they are missing.

vsftpd, pure-ftpd and proftpd each provide ftp-server and conflict as packages, so at most one
of them is installed with apt-get; the others are fetched with `apt-get download` and unpacked
with `dpkg -x` into the benchmark's own folder, with the shared libraries they link against
installed as ordinary packages. A server already installed on the machine is used as it is.
Installing must not leave a daemon behind: services are kept from starting with a policy-rc.d
that answers 101, and any server process that still appears during the install is stopped by
its PID.
"""

import glob
import json
import os
import shutil
import signal
import subprocess
import time

APT_TIMEOUT = 900
QUERY_TIMEOUT = 60

# name -> (package whose installed state we check, packages to unpack, package apt-get installs,
#          the executable inside the package)
C_SERVERS = {
    "proftpd": ("proftpd-core", ["proftpd-core"], "proftpd-basic", "usr/sbin/proftpd"),
    "vsftpd": ("vsftpd", ["vsftpd"], "vsftpd", "usr/sbin/vsftpd"),
    "pure-ftpd": ("pure-ftpd", ["pure-ftpd"], "pure-ftpd", "usr/sbin/pure-ftpd"),
}
# The one installed with apt-get when none is present: proftpd brings the most libraries and
# modules with it, the other two link only against a few common libraries.
PREFERRED = "proftpd"
OTHER_PACKAGES = ["python3-pyftpdlib", "iperf3", "curl"]
DAEMON_NAMES = ("proftpd", "vsftpd", "pure-ftpd", "iperf3")
POLICY = "/usr/sbin/policy-rc.d"


def log(msg):
    print(f"[install] {msg}", flush=True)


def run(argv, timeout, **kw):
    return subprocess.run(argv, timeout=timeout, check=False, stdin=subprocess.DEVNULL, **kw)


def installed_version(pkg):
    r = run(["dpkg-query", "-W", "-f=${Status}\t${Version}", pkg], QUERY_TIMEOUT,
            capture_output=True, text=True)
    if r.returncode != 0:
        return None
    status, _, version = r.stdout.partition("\t")
    return version if status.strip() == "install ok installed" else None


def library_depends(pkg):
    """The shared-library packages PKG depends on (what an unpacked binary needs to run)."""
    r = run(["apt-cache", "depends", "--important", "--no-pre-depends", pkg], QUERY_TIMEOUT,
            capture_output=True, text=True)
    libs = []
    for line in r.stdout.splitlines():
        line = line.strip().lstrip("|")
        if line.startswith("Depends:"):
            name = line.split(":", 1)[1].strip()
            if name.startswith("lib") and not name.startswith("<") and name not in libs:
                libs.append(name)
    return libs


def daemon_pids():
    pids = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/comm") as f:
                comm = f.read().strip()
        except OSError:
            continue
        if comm in DAEMON_NAMES:
            pids[int(name)] = comm
    return pids


class _NoServiceStarts:
    """Keeps the packages' maintainer scripts from starting their services during apt-get."""

    def __enter__(self):
        self.created = False
        if not os.path.exists(POLICY):
            with open(POLICY, "w") as f:
                f.write("#!/bin/sh\n# Written by drovn's bench/run for the length of one install.\n"
                        "exit 101\n")
            os.chmod(POLICY, 0o755)
            self.created = True
        self.before = daemon_pids()
        return self

    def __exit__(self, *exc):
        if self.created:
            try:
                os.remove(POLICY)
            except OSError:
                pass
        started = {p: c for p, c in daemon_pids().items() if p not in self.before}
        for comm in sorted(set(started.values())):
            if os.path.exists(f"/etc/init.d/{comm}"):
                log(f"stopping the {comm} service the install started")
                run(["service", comm, "stop"], 30, capture_output=True)
        for pid, comm in started.items():
            try:
                os.kill(pid, signal.SIGTERM)
                log(f"stopped {comm} (PID {pid}) that the install started")
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and any(p in daemon_pids() for p in started):
            time.sleep(0.2)
        for pid in started:
            if pid in daemon_pids():
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        return False


def _apt_install(packages):
    if not packages:
        return
    log("apt-get install " + " ".join(packages))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    with _NoServiceStarts():
        r = run(["apt-get", "install", "-y", "--no-install-recommends", *packages], APT_TIMEOUT,
                env=env)
        if r.returncode != 0:
            log("apt-get install failed; running apt-get update and trying once more")
            run(["apt-get", "update"], APT_TIMEOUT, env=env)
            r = run(["apt-get", "install", "-y", "--no-install-recommends", *packages],
                    APT_TIMEOUT, env=env)
        if r.returncode != 0:
            raise RuntimeError("apt-get install " + " ".join(packages) + " failed")


def _unpack(peers_dir, name, packages):
    debs = os.path.join(peers_dir, "debs")
    root = os.path.join(peers_dir, "root")
    os.makedirs(debs, exist_ok=True)
    for f in glob.glob(os.path.join(debs, "*.deb")):
        os.remove(f)
    log(f"apt-get download {' '.join(packages)} (unpacked into {root})")
    r = run(["apt-get", "download", "-o", "APT::Sandbox::User=root", *packages], APT_TIMEOUT,
            cwd=debs)
    if r.returncode != 0:
        run(["apt-get", "update"], APT_TIMEOUT)
        r = run(["apt-get", "download", "-o", "APT::Sandbox::User=root", *packages],
                APT_TIMEOUT, cwd=debs)
    if r.returncode != 0:
        raise RuntimeError(f"apt-get download {' '.join(packages)} failed")
    versions = {}
    for deb in sorted(glob.glob(os.path.join(debs, "*.deb"))):
        r = run(["dpkg", "-x", deb, root], APT_TIMEOUT)
        if r.returncode != 0:
            raise RuntimeError(f"dpkg -x {deb} failed")
        v = run(["dpkg-deb", "-f", deb, "Version"], QUERY_TIMEOUT, capture_output=True,
                text=True).stdout.strip()
        versions[os.path.basename(deb).split("_")[0]] = v
        os.remove(deb)
    return versions


def _plan(peers_dir):
    """(the C server apt-get provides, packages to install, C servers to unpack)."""
    present = {n: installed_version(spec[0]) for n, spec in C_SERVERS.items()}
    to_install = [p for p in OTHER_PACKAGES if installed_version(p) is None]
    system_server = next((n for n in C_SERVERS if present[n]), None)
    if system_server is None:
        system_server = PREFERRED
        to_install.append(C_SERVERS[PREFERRED][2])
    to_unpack = []
    for name, (_, packages, _, exe) in C_SERVERS.items():
        if present[name] or name == system_server:
            continue
        if not os.access(os.path.join(peers_dir, "root", exe), os.X_OK):
            to_unpack.append(name)
        for pkg in packages:
            for lib in library_depends(pkg):
                if installed_version(lib) is None and lib not in to_install:
                    to_install.append(lib)
    return system_server, to_install, to_unpack


def ensure_peers(peers_dir, allow_install=True):
    """Make every peer runnable; returns {name: {"binary": path, "version": text, "how": ...}}."""
    os.makedirs(peers_dir, exist_ok=True)
    versions_file = os.path.join(peers_dir, "versions.json")
    try:
        with open(versions_file) as f:
            unpacked_versions = json.load(f)
    except (OSError, ValueError):
        unpacked_versions = {}

    system_server, to_install, to_unpack = _plan(peers_dir)
    if (to_install or to_unpack) and allow_install and os.geteuid() == 0 \
            and not glob.glob("/var/lib/apt/lists/*_Packages*"):
        log("apt-get update (this machine has no package lists yet)")
        run(["apt-get", "update"], APT_TIMEOUT)
        system_server, to_install, to_unpack = _plan(peers_dir)
    if to_install or to_unpack:
        if not allow_install:
            raise RuntimeError("missing peers: " + " ".join(to_install + to_unpack)
                               + " (run without --no-install)")
        if os.geteuid() != 0:
            raise RuntimeError("installing the peers needs root")
    _apt_install(to_install)
    for name in to_unpack:
        unpacked_versions.update(_unpack(peers_dir, name, C_SERVERS[name][1]))
        with open(versions_file, "w") as f:
            json.dump(unpacked_versions, f, indent=1)

    peers = {}
    for name, (check, packages, _, exe) in C_SERVERS.items():
        version = installed_version(check)
        if version:
            peers[name] = {"binary": "/" + exe, "version": version, "how": "installed package"}
        else:
            peers[name] = {"binary": os.path.join(peers_dir, "root", exe),
                           "version": unpacked_versions.get(packages[0], "?"),
                           "how": "unpacked package"}
    peers["pure-ftpd"]["pure-pw"] = os.path.join(os.path.dirname(os.path.dirname(
        peers["pure-ftpd"]["binary"])), "bin", "pure-pw")
    peers["pyftpdlib"] = {"binary": "/usr/bin/python3",
                          "version": installed_version("python3-pyftpdlib") or "?",
                          "how": "installed package"}
    peers["iperf3"] = {"binary": shutil.which("iperf3") or "/usr/bin/iperf3",
                       "version": installed_version("iperf3") or "?", "how": "installed package"}
    peers["curl"] = {"binary": shutil.which("curl") or "/usr/bin/curl",
                     "version": installed_version("curl") or "?", "how": "installed package"}

    for name, info in peers.items():
        if not os.access(info["binary"], os.X_OK):
            raise RuntimeError(f"{name}: {info['binary']} is missing")
    for name in C_SERVERS:
        r = run(["ldd", peers[name]["binary"]], QUERY_TIMEOUT, capture_output=True, text=True)
        if "not found" in r.stdout:
            raise RuntimeError(f"{name} lacks shared libraries:\n{r.stdout}")
    running = daemon_pids()
    if running:
        log("note: already running on this machine, not started by this run and left alone: "
            + ", ".join(f"{c} {p}" for p, c in sorted(running.items())))
    return peers
