"""Explicit FTPS (tls_enable=1): curl, lftp and ftplib move files over TLS with protected data;
the new commands' replies and tls_require's refusals; a stranger on the passive port who does not
resume the control connection's TLS session gets no byte; certificate files as given."""

import contextlib, ftplib, hashlib, os, random, re, socket, ssl, subprocess, unittest

from drovn_harness import (DONE, STARTING, TIMEOUT, RawClient, Server, read, reset,
                           temp_dir, write)
from test_clients import ENV

ACCOUNTS = ["--set", "auth_enable1=1", "--set", "auth_user1=admin", "--set", "auth_pwd1=secret",
            "--set", "auth_enable2=1", "--set", "auth_user2=guest", "--set", "auth_pwd2=pw2"]
PROTECTED = b"521 Data connections must be protected (PROT P).\r\n"
RESUME = b"522 Data connection must resume the TLS session of the control connection.\r\n"
TLS_FEATURES = {b" AUTH TLS\r\n", b" PBSZ\r\n", b" PROT\r\n"}
FINGERPRINT = "TLS 证书 SHA-256 指纹: "
# One context for every client: a session can only be offered again through its own context.
CONTEXT = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
CONTEXT.check_hostname, CONTEXT.verify_mode = False, ssl.CERT_NONE

def sha256(data):
    return hashlib.sha256(data).hexdigest()

def colons(digest):  # the form drovn logs and openssl prints
    return ":".join(f"{b:02X}" for b in digest)

def drain(sock):
    """What sock receives until its end or an error; then it is closed."""
    got = []
    with contextlib.suppress(ssl.SSLError, ConnectionError), sock:
        while chunk := sock.recv(65536):
            got.append(chunk)
    return b"".join(got)

class TlsClient(RawClient):
    """The bare client with its control connection, and PROT P data connections, on TLS."""
    def secure(self, word="AUTH TLS"):
        assert (got := self.command(word)) == b"234 Proceed with negotiation.\r\n", got
        assert not self.buffer
        self.sock = CONTEXT.wrap_socket(self.sock)
        return self
    def login(self, user="admin", password="secret"):
        assert self.reply() == b"220 Server ready...\r\n"
        self.secure()
        for line, want in ((f"USER {user}", b"331 "), (f"PASS {password}", b"230 "),
                           ("PBSZ 0", b"200 "), ("PROT P", b"200 ")):
            assert (got := self.command(line)).startswith(want), (line, got)
        return self
    def fetch(self, command):
        """A download on a data connection that resumes the control's session."""
        data = self.passive()
        assert (first := self.command(command)) == STARTING, first
        # No ragged ends: recv gives b"" only after the server's close_notify.
        with CONTEXT.wrap_socket(data, session=self.sock.session,
                                 suppress_ragged_eofs=False) as tls:
            got = b"".join(iter(lambda: tls.recv(262144), b""))
            assert tls.session_reused
        assert (last := self.reply()) == DONE, last
        return got
    def lines(self, command):
        """A reply of many lines, from the first to the one that ends it."""
        got = [self.command(command)]
        while got[-1] and not got[-1].startswith(got[0][:3] + b" ") and len(got) < 40:
            got.append(self.reply())
        return got
    def finals(self):
        """The replies up to the first that is not a preliminary one."""
        replies = [self.reply()]
        while replies[-1] and replies[-1][:1] == b"1" and len(replies) < 4:
            replies.append(self.reply())
        return replies

class ReusingFTP(ftplib.FTP_TLS):
    # Python 3.11 does not offer the control's TLS session on data connections (bpo-19500).
    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                            session=self.sock.session)
        return conn, size

class Tls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(["--set", "tls_enable=1", "--set", "tls_require=1",
                             "--set", "opt_modernClients=1", *ACCOUNTS]).start()
        cls.addClassCleanup(cls.server.close)
    def at(self, *parts):
        return os.path.join(self.server.store, *parts)
    def client(self):
        client = TlsClient(self.server.port)
        self.addCleanup(lambda: reset(client.sock))  # the socket TLS wraps is closed too
        return client
    def run_client(self, argv, cwd, code=0):
        done = subprocess.run(argv, cwd=cwd, env=dict(ENV, HOME=cwd), capture_output=True,
                              text=True, timeout=120)
        self.assertEqual(done.returncode, code, (argv, done.stdout[-3000:], done.stderr[-3000:]))
        return done
    def curl(self, *args, cwd, code=0):
        return self.run_client(["curl", "-q", "-sS", "-v", "--noproxy", "*", *args[:-1],
                                f"ftp://127.0.0.1:{self.server.port}/{args[-1]}"], cwd, code)
    def source(self, folder):
        os.makedirs(self.at(folder))
        write(path := os.path.join(local := temp_dir(self), "src"), random.randbytes(300007))
        return local, sha256(read(path))
    def test_curl_uploads_downloads_and_lists(self):
        local, want = self.source("curl")
        for args in (["-T", "src", "curl/up.bin"], ["-o", "back", "curl/up.bin"], ["curl/"]):
            done = self.curl("--ssl-reqd", "-k", "-u", "admin:secret", *args, cwd=local)
            lines = done.stderr.splitlines()
            at = iter(lines)
            wanted = ("< 234 Proceed with negotiation.", "> PBSZ 0",
                      "< 200 Protection level set to P.")
            self.assertTrue(all(line in at for line in wanted), lines)
            self.assertFalse([line for line in lines if re.match(r"< [45]", line)], lines)
        self.assertEqual(sha256(read(self.at("curl", "up.bin"))), want)
        self.assertEqual(sha256(read(os.path.join(local, "back"))), want)
        self.assertRegex(done.stdout, r" up\.bin\r?\n$")
    def test_lftp_puts_gets_and_lists(self):
        local, want = self.source("lf")
        done = self.run_client(["lftp", "-c", "set ftp:ssl-force true; set ftp:ssl-protect-data "
                                "true; set ssl:verify-certificate no; set net:max-retries 1; "
                                "set net:timeout 20; set cmd:fail-exit yes; "
                                f"open -u admin,secret ftp://127.0.0.1:{self.server.port}; "
                                "cd lf; put src -o up.bin; get up.bin -o back; ls"], local)
        self.assertEqual(sha256(read(self.at("lf", "up.bin"))), want)
        self.assertEqual(sha256(read(os.path.join(local, "back"))), want)
        self.assertRegex(done.stdout, r" up\.bin\r?\n$")
    def test_ftplib_moves_files_and_sees_the_logged_certificate(self):
        local, want = self.source("py")
        with ReusingFTP(context=CONTEXT, timeout=TIMEOUT) as ftp:
            self.assertEqual(ftp.connect("127.0.0.1", self.server.port), "220 Server ready...")
            self.assertEqual(ftp.login("admin", "secret"), "230 Password ok.")
            self.assertEqual(ftp.prot_p(), "200 Protection level set to P.")
            # unwrap() at each transfer's end waits for the server's close_notify.
            with open(os.path.join(local, "src"), "rb") as f:
                self.assertEqual(ftp.storbinary("STOR py/up.bin", f), "226 Transfer completed.")
            got = []
            self.assertEqual(ftp.retrbinary("RETR py/up.bin", got.append),
                             "226 Transfer completed.")
            ftp.cwd("py")
            self.assertEqual(ftp.nlst(), ["up.bin"])
            der = ftp.sock.getpeercert(binary_form=True)
        self.assertEqual((sha256(read(self.at("py", "up.bin"))), sha256(b"".join(got))),
                         (want, want))
        # The certificate drovn made beside its registry file, its private key, and its log.
        folder = os.path.dirname(self.server.registry)
        cert, key = (os.path.join(folder, f"tls-{n}.pem") for n in ("cert", "key"))
        self.assertEqual(ssl.PEM_cert_to_DER_cert(read(cert).decode()), der)
        self.assertEqual(os.stat(key).st_mode & 0o777, 0o600)
        printed = self.run_client(["openssl", "x509", "-noout", "-fingerprint", "-sha256",
                                   "-in", cert], folder).stdout.strip().split("=")[-1]
        self.assertEqual(printed, colons(hashlib.sha256(der).digest()))
        self.assertEqual([l for l in self.server.lines if l.startswith(FINGERPRINT)],
                         [FINGERPRINT + printed])
        self.assertTrue([l for l in self.server.lines if l.startswith("已生成自签名 TLS 证书: ")])
    def test_replies_and_refusals(self):
        write(self.at("t", "f"), b"never sent")
        listener = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(listener.close)
        p = listener.getsockname()[1]
        clear = [("PBSZ 0", b"503 Use AUTH TLS first."), ("PROT P", b"503 Use AUTH TLS first."),
                 ("AUTH KERBEROS", b"504 AUTH type not supported."),
                 ("USER admin", b"530 TLS required"), ("PASS secret", b"503 Enter user name"),
                 ("USER Guest", b"530 TLS required"), ("PASS pw2", b"503 Enter user name")]
        no = b"536 Protection level not supported."
        secured = [("AUTH TLS", b"503 Already using TLS."),
                   ("USER admin", b'331 User name "admin" is okay, need password.'),
                   ("PASS secret", b"230 Password ok."),
                   (f"PORT 127,0,0,1,{p >> 8},{p & 255}", b"200 PORT command ok."),
                   ("LIST", PROTECTED[:-2]), ("PBSZ 0", b"200 PBSZ=0"), ("PROT S", no),
                   ("PROT E", no), ("PROT X", no), ("NLST t", PROTECTED[:-2]),
                   ("CCC", b"534 CCC refused: the control connection stays protected."),
                   ("PROT C", b"200 Protection level set to C."), ("RETR t/f", PROTECTED[:-2]),
                   ("STOR t/g", PROTECTED[:-2]), ("APPE t/g", PROTECTED[:-2]),
                   ("PROT P", b"200 Protection level set to P.")]
        for word in ("auth tls", "AUTH Ssl"):
            with self.subTest(word):
                c = self.client()
                self.assertEqual(c.reply(), b"220 Server ready...\r\n")
                # Before login too, with the standard extensions on.
                self.assertLessEqual(TLS_FEATURES, set(c.lines("FEAT")))
                self.assertEqual([(line, c.command(line)[:-2]) for line, _ in clear], clear)
                c.secure(word)
                self.assertEqual([(line, c.command(line)[:-2]) for line, _ in secured], secured)
                self.assertFalse(os.path.exists(self.at("t", "g")), "a refused upload made a file")
                listener.setblocking(False)  # no data connection was opened for the 521s
                self.assertRaises(BlockingIOError, listener.accept)
    def test_a_stranger_on_the_passive_port_gets_no_byte(self):
        write(self.at("s", "f"), content := random.randbytes(300000))
        owner, other = self.client().login(), self.client().login()
        self.assertTrue(other.sock.session.has_ticket or other.sock.session.id)  # resumable
        rows = (("no session", None, RESUME), ("another's session", other.sock.session, RESUME),
                ("no TLS at all", False, b"425 TLS handshake failed on the data connection.\r\n"))
        for who, session, reply in rows:
            with self.subTest(who):
                data, got = owner.passive(), b""
                owner.sock.sendall(b"RETR s/f\r\n")
                if session is False:
                    data.sendall(b"no TLS hello\r\n" * 4)
                    got = drain(data)
                else:  # a handshake refused, or completed and then cut off: no byte either way
                    with contextlib.suppress(ssl.SSLError, ConnectionError):
                        got = drain(CONTEXT.wrap_socket(data, session=session))
                replies = owner.finals()
                # No byte over TLS; in clear perhaps an alert, but nothing of the file.
                self.assertEqual(len(got) if session is not False else content[:64] in got, 0)
                self.assertIn(replies, ([reply], [STARTING, reply]))
        # The owner's session goes on, and its own session opens the next transfer.
        self.assertEqual(owner.fetch("RETR s/f"), content)
        self.assertEqual(other.fetch("RETR s/f"), content)
    def test_a_named_account_in_clear_cannot_log_in_and_anonymous_can(self):
        write(self.at("c", "f"), content := random.randbytes(100000))
        local = temp_dir(self)
        done = self.curl("-u", "admin:secret", "c/", cwd=local, code=67)  # login denied
        self.assertIn("< 530 TLS required", done.stderr.splitlines())
        with ftplib.FTP(timeout=TIMEOUT) as ftp:
            ftp.connect("127.0.0.1", self.server.port)
            self.assertRaisesRegex(ftplib.error_perm, "^530 TLS required$", ftp.login,
                                   "guest", "pw2")
        self.assertRegex(self.curl("-o", "out", "c/f", cwd=local).stderr, r"< 226 Transfer")
        self.assertEqual(read(os.path.join(local, "out")), content)
        with ftplib.FTP(timeout=TIMEOUT) as ftp:
            ftp.connect("127.0.0.1", self.server.port)
            self.assertEqual(ftp.login("anonymous", "guest"), "230 Password ok.")
            ftp.cwd("c")
            self.assertEqual(ftp.nlst(), ["f"])

class Settings(unittest.TestCase):
    def test_certificate_files_as_given(self):
        folder = temp_dir(self)
        cert, key = (os.path.join(folder, n) for n in ("c.pem", "k.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=drovn-test",
                        "-days", "2", "-keyout", key, "-out", cert],
                       check=True, capture_output=True, timeout=60)
        files = ["--set", "tls_enable=1", "--set", f"tls_keyFile={key}"]
        # Given files are served as they are; nothing is made; FEAT after login lists TLS.
        with Server([*files, "--set", f"tls_certFile={cert}"]) as server:
            c = TlsClient(server.port)
            self.addCleanup(lambda: reset(c.sock))
            c.login("anonymous", "guest")
            self.assertEqual(c.sock.getpeercert(binary_form=True),
                             ssl.PEM_cert_to_DER_cert(read(cert).decode()))
            self.assertFalse(os.path.exists(os.path.dirname(server.registry) + "/tls-cert.pem"))
            self.assertLessEqual(TLS_FEATURES, set(c.lines("FEAT")))
        with Server() as server:  # TLS off: AUTH is not a command
            plain = RawClient(server.port)
            self.addCleanup(reset, plain.sock)
            self.assertEqual(plain.login().command("AUTH TLS"), b"500 Invalid command AUTH\r\n")

if __name__ == "__main__":
    unittest.main()
