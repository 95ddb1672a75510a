"""How each server is configured and run: in the foreground, on 127.0.0.1, on a port of its own,
serving the shared store, announcing 127.0.0.1 in passive replies, with one user that may write
and whose login costs no slow password hash.

Each server is started by PID and stopped by that PID (SIGTERM, then SIGKILL after a bound);
any of its session processes still alive afterwards are ended by their own PIDs.

A server that can speak explicit FTPS (AUTH TLS, PROT P) is started a second time with TLS on for
the TLS figures, with the certificate from make_certificate(); the plain figures run on a start
with TLS off, so switching TLS on cannot change them.
"""


import os
import pwd
import grp
import signal
import socket
import subprocess
import time

from . import procstat
from .ftpclient import FtpError, Session

USER = "bench"
PASSWORD = "bench"
# A fast, salted hash for the peers that check a crypt(3) hash (md5-crypt of "bench").
PASSWORD_MD5CRYPT = "$1$benchslt$mf7H276NchSg/rWIdGIsF1"
START_TIMEOUT = 20.0
STOP_TIMEOUT = 10.0


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def make_certificate(workdir):
    """A self-signed RSA 2048 certificate and key in WORKDIR (made once, kept between runs):
    (certificate path, key path). Every TLS server gets the same pair, so the key type and the
    handshake are equal for all of them."""
    cert = os.path.join(workdir, "tls-cert.pem")
    key = os.path.join(workdir, "tls-key.pem")
    if os.path.isfile(cert) and os.path.isfile(key):
        return cert, key
    r = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-keyout", key + ".tmp", "-out", cert + ".tmp", "-days", "3650",
                        "-subj", "/CN=127.0.0.1"],
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    if r.returncode != 0:
        raise RuntimeError(f"openssl req failed: {r.stderr.strip()[-300:]}")
    os.chmod(key + ".tmp", 0o600)
    os.chmod(cert + ".tmp", 0o644)
    os.replace(key + ".tmp", key)
    os.replace(cert + ".tmp", cert)
    return cert, key


def unprivileged_ids():
    """nobody/nogroup: the account the C peers serve a virtual or anonymous user as."""
    pw = pwd.getpwnam("nobody")
    try:
        gid = grp.getgrnam("nogroup").gr_gid
    except KeyError:
        gid = pw.pw_gid
    return pw.pw_uid, gid


class Server:
    name = "?"
    model = "?"          # how the server serves sessions, shown in the report
    per_session_processes = False
    tls_capable = False  # can be started with explicit FTPS on (see tls_describe)
    user, password = USER, PASSWORD

    def __init__(self, binary, rundir, store):
        self.binary = binary
        self.rundir = rundir
        self.store = store
        self.tls = False          # start with TLS on; set before start()
        self.cert = self.key = None
        self.tls_seen = None      # what curl negotiated, as text for the report
        self.proc = None
        self.port = None
        self.acct = None
        self.known = {}   # pid -> start time, of every process of this server seen so far

    def argv(self):
        raise NotImplementedError

    def prepare(self):
        """Write configuration files for self.port; called before each start."""

    # -- life cycle ---------------------------------------------------------------------------
    def start(self):
        os.makedirs(self.rundir, exist_ok=True)
        self.port = free_port()
        self.prepare()
        self.acct = procstat.Accounting(self.name.replace("-", ""))
        self.logfile = open(os.path.join(self.rundir, f"{self.name}.log"), "ab")
        self.proc = subprocess.Popen(self.argv(), stdin=subprocess.DEVNULL, stdout=self.logfile,
                                     stderr=subprocess.STDOUT, cwd=self.rundir,
                                     start_new_session=True)
        self.acct.adopt(self.proc.pid)
        self._remember()
        deadline = time.monotonic() + START_TIMEOUT
        last = None
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"{self.name} exited with {self.proc.returncode} at start; "
                                   f"log: {self.log_tail()}")
            try:
                s = Session(self.port, timeout=2.0)
                s.quit()
                return
            except (OSError, FtpError) as e:
                last = e
                time.sleep(0.1)
        raise RuntimeError(f"{self.name} did not greet within {START_TIMEOUT:.0f} s ({last}); "
                           f"log: {self.log_tail()}")

    def _remember(self):
        for pid in self.acct.pids() if self.acct else []:
            if pid not in self.known:
                st = procstat.start_time(pid)
                if st is not None:
                    self.known[pid] = st

    def snapshot(self):
        """Note the current processes so that a stop can end each of them by PID."""
        self._remember()

    def stop(self):
        if self.proc is None:
            return
        self._remember()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=STOP_TIMEOUT)
        # Session processes outlive a listener that was told to stop; end the ones this server
        # started, each by PID, checking the start time so a reused PID is never hit.
        leftovers = [p for p, st in self.known.items()
                     if p != self.proc.pid and procstat.start_time(p) == st]
        for sig in (signal.SIGTERM, signal.SIGKILL):
            for pid in leftovers:
                if procstat.start_time(pid) == self.known[pid]:
                    try:
                        os.kill(pid, sig)
                    except ProcessLookupError:
                        pass
            deadline = time.monotonic() + 3
            while time.monotonic() < deadline and any(
                    procstat.start_time(p) == self.known[p] for p in leftovers):
                time.sleep(0.05)
        self.proc = None
        self.logfile.close()
        if self.acct:
            self.acct.remove()

    def log_tail(self, n=600):
        try:
            with open(os.path.join(self.rundir, f"{self.name}.log"), "rb") as f:
                data = f.read()
            return data[-n:].decode("utf-8", "replace").strip() or "(empty)"
        except OSError:
            return "(no log)"

    def cpu_seconds(self):
        return self.acct.cpu_seconds()

    def pss_mib(self):
        return self.acct.pss_mib()

    def describe(self):
        return ""

    def tls_describe(self):
        return ""


class Drovn(Server):
    name = "drovn"
    model = "one process, a thread per session"
    tls_capable = True

    def argv(self):
        sets = {
            "use_manualip": "1", "bind_manualip": "127.0.0.1", "bind_manualport": str(self.port),
            "auth_Anonymous": "0", "auth_enable1": "1", "auth_user1": USER,
            "auth_pwd1": PASSWORD, "auth_root1": "/",
        }
        if self.tls:
            sets.update({"tls_enable": "1", "tls_certFile": self.cert, "tls_keyFile": self.key})
        # A registry of its own for the TLS start, so a setting drovn keeps in its registry
        # never carries TLS into a plain start.
        reg = "drovn-tls.reg" if self.tls else "drovn.reg"
        argv = [self.binary, "--headless", "--store", self.store,
                "--registry", os.path.join(self.rundir, reg)]
        for k, v in sets.items():
            argv += ["--set", f"{k}={v}"]
        return argv

    def describe(self):
        return ("account 1 `bench` (plain-text password compare), anonymous off, "
                "`use_manualip=1 bind_manualip=127.0.0.1`, log lines to a file")

    def tls_describe(self):
        return ("`tls_enable=1 tls_certFile=CERT tls_keyFile=KEY`, registry `drovn-tls.reg`; "
                "drovn requires the data connection to resume the control connection's session")


def vsftpd_anonymous_account():
    """vsftpd changes into its anonymous account's home before it chroots into anon_root, so
    the account needs a home that exists: Debian's ftp user where present, else daemon."""
    for name in ("ftp", "daemon"):
        try:
            if os.path.isdir(pwd.getpwnam(name).pw_dir):
                return name
        except KeyError:
            pass
    raise RuntimeError("vsftpd: no account with an existing home for anonymous sessions")


class Vsftpd(Server):
    name = "vsftpd"
    model = "a process pair per session"
    per_session_processes = True
    tls_capable = True
    # vsftpd's anonymous user: no password hash at all. Uploads are allowed for it below.
    user, password = "anonymous", "bench@"

    def prepare(self):
        self.account = vsftpd_anonymous_account()
        empty = os.path.join(self.rundir, "vsftpd-empty")
        os.makedirs(empty, exist_ok=True)
        os.chmod(empty, 0o555)
        conf = f"""\
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={self.port}
background=NO
anonymous_enable=YES
local_enable=NO
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
no_anon_password=YES
anon_root={self.store}
ftp_username={self.account}
pasv_enable=YES
pasv_address=127.0.0.1
pasv_addr_resolve=NO
connect_from_port_20=NO
lock_upload_files=NO
use_sendfile=YES
xferlog_enable=NO
syslog_enable=NO
vsftpd_log_file={self.rundir}/vsftpd-xfer.log
dirmessage_enable=NO
tcp_wrappers=NO
{self._ssl_lines()}
secure_chroot_dir={empty}
max_clients=0
max_per_ip=0
seccomp_sandbox=NO
"""
        self.conf = os.path.join(self.rundir, "vsftpd.conf")
        with open(self.conf, "w") as f:
            f.write(conf)
        os.chmod(self.conf, 0o600)

    def _ssl_lines(self):
        if not self.tls:
            return "ssl_enable=NO"
        return f"""\
ssl_enable=YES
allow_anon_ssl=YES
rsa_cert_file={self.cert}
rsa_private_key_file={self.key}
require_ssl_reuse=YES"""

    def argv(self):
        return [self.binary, self.conf]

    def tls_describe(self):
        return ("`ssl_enable=YES allow_anon_ssl=YES rsa_cert_file=CERT rsa_private_key_file=KEY "
                "require_ssl_reuse=YES`, its other TLS settings at their defaults")

    def describe(self):
        return ("standalone `listen=YES background=NO`, anonymous with uploads "
                f"(`anon_upload_enable anon_other_write_enable`, as {getattr(self, 'account', 'ftp')}), "
                "`pasv_address=127.0.0.1 lock_upload_files=NO use_sendfile=YES "
                "seccomp_sandbox=NO`, no transfer log")


class PureFtpd(Server):
    name = "pure-ftpd"
    model = "a process pair per session (privsep)"
    per_session_processes = True
    tls_capable = True

    def __init__(self, binary, rundir, store, pure_pw):
        super().__init__(binary, rundir, store)
        self.pure_pw = pure_pw

    def prepare(self):
        uid, gid = unprivileged_ids()
        text = os.path.join(self.rundir, "pureftpd.passwd")
        self.pdb = os.path.join(self.rundir, "pureftpd.pdb")
        # The virtual user written by hand: pure-pw itself would store a slow argon2 hash.
        fields = [USER, PASSWORD_MD5CRYPT, str(uid), str(gid), "", self.store + "/./"] + [""] * 12
        with open(text, "w") as f:
            f.write(":".join(fields) + "\n")
        os.chmod(text, 0o600)
        r = subprocess.run([self.pure_pw, "mkdb", self.pdb, "-f", text],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
        if r.returncode != 0:
            raise RuntimeError(f"pure-pw mkdb failed: {r.stdout}{r.stderr}")

    def argv(self):
        return [self.binary, "-S", f"127.0.0.1,{self.port}", "-P", "127.0.0.1",
                "-l", f"puredb:{self.pdb}", "-E", "-A", "-H", "-4", "-c", "200", "-C", "200",
                "-L", "20000:8", "-f", "none", "-U", "133:022"] \
            + (["-Y", "1", "-2", f"{self.cert},{self.key}"] if self.tls else ["-Y", "0"])

    def tls_describe(self):
        return ("`-Y 1 -2 CERT,KEY` (TLS allowed, not required); it sends no TLS 1.3 session "
                "ticket, so each data connection makes a full handshake")

    def describe(self):
        return ("foreground, virtual user in a PureDB file with an md5-crypt hash (as nobody), "
                "`-P 127.0.0.1 -E -A -H -c 200 -C 200 -L 20000:8 -f none`")


class Proftpd(Server):
    name = "proftpd"
    model = "a process per session"
    per_session_processes = True
    tls_capable = True

    def prepare(self):
        uid, gid = unprivileged_ids()
        group = grp.getgrgid(gid).gr_name
        passwd = os.path.join(self.rundir, "proftpd.passwd")
        groupf = os.path.join(self.rundir, "proftpd.group")
        with open(passwd, "w") as f:
            f.write(f"{USER}:{PASSWORD_MD5CRYPT}:{uid}:{gid}::{self.store}:/bin/sh\n")
        with open(groupf, "w") as f:
            f.write(f"{group}:x:{gid}:\n")
        os.chmod(passwd, 0o600)
        os.chmod(groupf, 0o644)
        self.conf = os.path.join(self.rundir, "proftpd.conf")
        conf = f"""\
ServerName "bench"
ServerType standalone
ServerIdent on "proftpd ready"
DefaultServer on
Port {self.port}
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
User nobody
Group {group}
MasqueradeAddress 127.0.0.1
MaxInstances 200
PidFile {self.rundir}/proftpd.pid
ScoreboardFile {self.rundir}/proftpd.scoreboard
SystemLog {self.rundir}/proftpd-system.log
TransferLog none
WtmpLog off
UseReverseDNS off
UseFtpUsers off
RequireValidShell off
AuthOrder mod_auth_file.c
AuthUserFile {passwd}
AuthGroupFile {groupf}
DefaultRoot ~
Umask 022
AllowOverwrite on
UseSendfile on
<IfModule mod_auth_pam.c>
  AuthPAM off
</IfModule>
<IfModule mod_delay.c>
  DelayEngine off
</IfModule>
<IfModule mod_ident.c>
  IdentLookups off
</IfModule>
<IfModule mod_ctrls.c>
  ControlsEngine off
</IfModule>
"""
        if self.tls:
            conf += f"""\
<IfModule mod_dso.c>
  ModulePath /usr/lib/proftpd
  LoadModule mod_tls.c
</IfModule>
TLSEngine on
TLSProtocol TLSv1.2 TLSv1.3
TLSRSACertificateFile {self.cert}
TLSRSACertificateKeyFile {self.key}
TLSVerifyClient off
TLSRequired off
"""
        with open(self.conf, "w") as f:
            f.write(conf)

    def argv(self):
        return [self.binary, "--nodaemon", "-c", self.conf]

    def tls_describe(self):
        return ("`LoadModule mod_tls.c`, `TLSEngine on TLSProtocol TLSv1.2 TLSv1.3 "
                "TLSVerifyClient off TLSRequired off`, RSA certificate and key files; mod_tls "
                "requires the data connection to resume the control connection's session "
                "(its default)")

    def describe(self):
        return ("`--nodaemon`, standalone, user from an AuthUserFile with an md5-crypt hash "
                "(as nobody, chrooted), `MasqueradeAddress 127.0.0.1 DelayEngine off "
                "UseReverseDNS off UseSendfile on MaxInstances 200`, no transfer log")


class Pyftpdlib(Server):
    name = "pyftpdlib"
    model = "one process, an event loop"

    def __init__(self, binary, rundir, store, script):
        super().__init__(binary, rundir, store)
        self.script = script

    def argv(self):
        return [self.binary, self.script, str(self.port), self.store, USER, PASSWORD]

    def tls_describe(self):
        return ("its `TLS_FTPHandler` (pyftpdlib 1.5.7 with python3-openssl 23.0.0) reset every "
                "TLS data connection here, with or without session reuse, so it is left out")

    def describe(self):
        return ("`FTPServer` (its default async single process), `DummyAuthorizer` user with "
                "perm `elradfmwMT` (plain-text compare), `masquerade_address=127.0.0.1`, "
                "sendfile on, warnings-only logging")
