"""Large transfers with a stock client (Python's ftplib) against the real program: 100 MiB up and
down in both modes, whole and resumed with REST, and a sparse 5 GiB file downloaded whole. Every
payload is compared by SHA-256, the large ones while they stream."""

import ftplib
import hashlib
import io
import os
import random
import sys
import time
import unittest

from drovn_harness import DEFAULT_TIMEOUT, DrovnProcess

MIB = 1 << 20
GIB = 1 << 30
PAYLOAD_SIZE = 100 * MIB
# A resume point on no block boundary of either side.
RESUME_AT = 37 * MIB + 12345
MODES = (("passive", True), ("active", False))
# A 5 GiB file of zeros with a few marker bytes: near the start, just past 4 GiB (where an offset
# kept in 32 bits would wrap) and at the very end.
SPARSE_SIZE = 5 * GIB
SPARSE_MARKERS = {0: b"drovn begins", 4 * GIB + 1: b"past 4 GiB", SPARSE_SIZE - 10: b"drovn ends"}
# The SHA-256 of exactly that layout (sha256sum of the file as the test makes it), so the test
# need not read and hash 5 GiB of the store a second time.
SPARSE_DIGEST = "48b28d7e962404c71139ad670adb355f922bb01919c6709c0c675327d7f01df7"


def file_digest(path, start=0):
    """SHA-256 of the file from start on, read in pieces (the file may not fit in memory)."""
    h = hashlib.sha256()
    piece = bytearray(8 * MIB)
    view = memoryview(piece)
    with open(path, "rb", buffering=0) as f:
        f.seek(start)
        while True:
            n = f.readinto(piece)
            if not n:
                break
            h.update(view[:n])
    return h.hexdigest()


def report(what, started):
    print(f"\n  {what}: {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)


class LargeTransfers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = DrovnProcess()
        try:
            cls.server.start()
            cls.server.wait_until_listening()
        except BaseException:
            cls.server.close()
            raise
        cls.payload = random.Random(20091111).randbytes(PAYLOAD_SIZE)
        cls.payload_digest = hashlib.sha256(cls.payload).hexdigest()

    @classmethod
    def tearDownClass(cls):
        try:
            cls.server.stop()
            stderr = cls.server.stderr_text()
        finally:
            cls.server.close()
        if "runtime error" in stderr or "Sanitizer" in stderr:
            raise AssertionError(f"the server reported errors:\n{stderr}")

    def in_store(self, name):
        return os.path.join(self.server.store, name)

    def remove_later(self, name):
        """Removes the store file at the end of the test, if it came to exist."""
        path = self.in_store(name)
        self.addCleanup(lambda: os.path.exists(path) and os.remove(path))

    def client(self, passive):
        ftp = ftplib.FTP(timeout=DEFAULT_TIMEOUT)
        self.addCleanup(ftp.close)
        self.assertEqual(ftp.connect("127.0.0.1", self.server.port), "220 Server ready...")
        self.assertEqual(ftp.login("anonymous", "guest"), "230 Password ok.")
        ftp.set_pasv(passive)
        self.assertEqual(ftp.voidcmd("TYPE I"), "200 Type is set to 'I'.")
        return ftp

    def upload(self, ftp, command, start=0, rest=None):
        source = io.BytesIO(self.payload)
        source.seek(start)
        return ftp.storbinary(command, source, blocksize=MIB, rest=rest)

    def download(self, ftp, command, rest=None):
        """Gives the final reply, the byte count and the SHA-256 of what arrived."""
        h = hashlib.sha256()
        count = 0

        def take(chunk):
            nonlocal count
            count += len(chunk)
            h.update(chunk)

        reply = ftp.retrbinary(command, take, blocksize=MIB, rest=rest)
        return reply, count, h.hexdigest()

    def test_100_mib_up_and_down(self):
        for mode, passive in MODES:
            with self.subTest(mode=mode):
                started = time.monotonic()
                name = f"whole-{mode}.bin"
                self.remove_later(name)
                ftp = self.client(passive)
                self.assertEqual(self.upload(ftp, f"STOR {name}"), "226 Transfer completed.")
                self.assertEqual(os.path.getsize(self.in_store(name)), PAYLOAD_SIZE)
                self.assertEqual(file_digest(self.in_store(name)), self.payload_digest)
                self.assertEqual(ftp.size(name), PAYLOAD_SIZE)
                self.assertEqual(self.download(ftp, f"RETR {name}"),
                                 ("226 Transfer completed.", PAYLOAD_SIZE, self.payload_digest))
                report(f"100 MiB up and down, {mode}", started)

    def test_100_mib_resumed_with_rest(self):
        tail_digest = hashlib.sha256(self.payload[RESUME_AT:]).hexdigest()
        for mode, passive in MODES:
            with self.subTest(mode=mode):
                started = time.monotonic()
                name = f"resumed-{mode}.bin"
                self.remove_later(name)
                # An upload broken off at RESUME_AT, followed by bytes the resume must cut away.
                with open(self.in_store(name), "wb") as f:
                    f.write(self.payload[:RESUME_AT])
                    f.write(b"\xff" * (3 * MIB))
                ftp = self.client(passive)
                self.assertEqual(self.upload(ftp, f"STOR {name}", RESUME_AT, rest=RESUME_AT),
                                 "226 Transfer completed.")
                self.assertEqual(os.path.getsize(self.in_store(name)), PAYLOAD_SIZE)
                self.assertEqual(file_digest(self.in_store(name)), self.payload_digest)
                self.assertEqual(
                    self.download(ftp, f"RETR {name}", rest=RESUME_AT),
                    ("226 Transfer completed.", PAYLOAD_SIZE - RESUME_AT, tail_digest))
                # The offset served one download only.
                self.assertEqual(self.download(ftp, f"RETR {name}"),
                                 ("226 Transfer completed.", PAYLOAD_SIZE, self.payload_digest))
                report(f"100 MiB resumed up and down, {mode}", started)

    def test_sparse_5_gib_download(self):
        path = self.in_store("sparse5g.bin")
        self.remove_later("sparse5g.bin")
        with open(path, "wb") as f:
            f.truncate(SPARSE_SIZE)
            for offset, marker in SPARSE_MARKERS.items():
                f.seek(offset)
                f.write(marker)
        self.assertEqual(os.path.getsize(path), SPARSE_SIZE)

        ftp = self.client(True)
        # The size needs more than 32 bits and is reported whole.
        self.assertEqual(ftp.size("sparse5g.bin"), SPARSE_SIZE)

        started = time.monotonic()
        h = hashlib.sha256()
        count = 0
        seen = {offset: bytearray() for offset in SPARSE_MARKERS}

        def take(chunk):
            nonlocal count
            # The bytes at each marker's place, which may arrive split over two chunks.
            for offset, marker in SPARSE_MARKERS.items():
                start, end = max(offset, count), min(offset + len(marker), count + len(chunk))
                if start < end:
                    seen[offset] += chunk[start - count:end - count]
            count += len(chunk)
            h.update(chunk)

        self.assertEqual(ftp.retrbinary("RETR sparse5g.bin", take, blocksize=MIB),
                         "226 Transfer completed.")
        report("5 GiB download hashed while it streamed", started)
        self.assertEqual(count, SPARSE_SIZE)
        self.assertEqual(seen, {offset: bytearray(m) for offset, m in SPARSE_MARKERS.items()})
        self.assertEqual(h.hexdigest(), SPARSE_DIGEST)


if __name__ == "__main__":
    unittest.main()
