#!/usr/bin/env python3
"""--scan through `parcelmoor serve` (and one row through `parcelmoor store`):
each file is scanned by a clamd this test starts on a unix socket, with a
signature database it writes itself (an MD5 signature of a payload made
here, no downloaded database). An infected file is not stored and the
upload is answered 422 while a clean file beside it is kept; a clean upload
is 200; a scanner that cannot be reached or stays silent past
--scan-timeout keeps nothing (503). 127.0.0.1 and
a temporary directory only.

Usage: test_scan.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from upload_support import BOUNDARY, CONTENT_TYPE, ServeProcess, connect, read_response, stored_files

BINARY = os.environ.get("PARCELMOOR_BIN", "")
CLAMD = shutil.which("clamd") or "/usr/sbin/clamd"
SIGNATURE = "Parcelmoor.Scan.Test"
INFECTED = b"parcelmoor scan test payload: this exact content is the signature\n"
CLEAN = b"plain words, nothing to find\n" * 5000  # several 64 KiB chunks


def body(*files):
    out = b""
    for field, name, data in files:
        out += (f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="{field}"; filename="{name}"\r\n'
                f"Content-Type: application/octet-stream\r\n\r\n").encode() + data + b"\r\n"
    return out + f"--{BOUNDARY}--\r\n".encode()


def post(port, data):
    with connect(port) as s:
        s.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                   f"Accept: application/json\r\nContent-Length: {len(data)}\r\n\r\n").encode() + data)
        status, _, answer = read_response(s)
        return status, answer


def ping(path):
    try:
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(2)
            s.connect(path)
            s.sendall(b"zPING\0")
            return s.recv(16) == b"PONG\0"
    except OSError:
        return False


def point(link, target):
    """Turns the symbolic link `link` to `target` in one step."""
    os.symlink(target, link + ".new")
    os.replace(link + ".new", link)


def metrics(port):
    with connect(port) as s:
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer t\r\nConnection: close\r\n\r\n")
        return read_response(s)[2].decode()


def readiness(port):
    with connect(port) as s:
        s.sendall(b"GET /readyz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        status, _, answer = read_response(s)
        return status, json.loads(answer)["failed"]


class Clamd:
    """clamd in the foreground with only the test's own database."""

    def __init__(self, work):
        self.socket = os.path.join(work, "clamd.sock")
        db = os.path.join(work, "db")
        os.makedirs(db)
        with open(os.path.join(db, "test.hdb"), "w") as f:
            f.write(f"{hashlib.md5(INFECTED).hexdigest()}:{len(INFECTED)}:{SIGNATURE}\n")
        conf = os.path.join(work, "clamd.conf")
        with open(conf, "w") as f:
            f.write(f"Foreground yes\nLocalSocket {self.socket}\nDatabaseDirectory {db}\n"
                    f"TemporaryDirectory {work}\nLogFile {work}/clamd.log\nPidFile {work}/clamd.pid\n")
        self.log = open(os.path.join(work, "clamd.out"), "wb")
        self.proc = subprocess.Popen([CLAMD, "-c", conf], stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while not ping(self.socket):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("clamd did not start with the test database")
            time.sleep(0.2)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class SilentScanner:
    """Takes every byte sent and never answers: only --scan-timeout ends a scan."""

    def __init__(self, path):
        self.socket = path
        self.listener = socket.socket(socket.AF_UNIX)
        self.listener.bind(path)
        self.listener.listen(8)
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=lambda: [None for _ in iter(lambda: conn.recv(65536), b"")],
                             daemon=True).start()


ROWS = [
    # why, files, scanner ("clamd", "missing", "silent"), status, left on disk, each file's (outcome, reason part)
    ("an infected file beside a clean one: 422, the clean one kept",
     [("a", "bad.bin", INFECTED), ("b", "good.txt", CLEAN)], "clamd", 422, {"good.txt": CLEAN},
     [("infected", SIGNATURE), ("stored", None)]),
    ("clean files only: 200", [("b", "good.txt", CLEAN)], "clamd", 200, {"good.txt": CLEAN}, [("stored", None)]),
    ("scanner unreachable: 503, nothing kept",
     [("a", "bad.bin", INFECTED), ("b", "good.txt", CLEAN)], "missing", 503, {},
     [("not stored", "scanned"), ("not stored", "scanned")]),
    ("scanner silent past --scan-timeout: 503, nothing kept",
     [("b", "good.txt", CLEAN)], "silent", 503, {}, [("not stored", "scanned")]),
]


class Scan(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not BINARY or not os.access(BINARY, os.X_OK):
            raise unittest.SkipTest("no parcelmoor binary given")
        if not os.access(CLAMD, os.X_OK):
            raise unittest.SkipTest("clamd is not installed (clamav-daemon)")
        cls.work = tempfile.mkdtemp(prefix="parcelmoor-scan-")
        cls.clamd = Clamd(cls.work)

    @classmethod
    def tearDownClass(cls):
        cls.clamd.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def check(self, answer, directory, row):
        _, _, _, want_status, left, outcomes = row
        page = json.loads(answer)
        self.assertEqual(page["status"], want_status)
        self.assertEqual([f["outcome"] for f in page["files"]], [o for o, _ in outcomes])
        for record, (_, reason) in zip(page["files"], outcomes):
            if reason:
                self.assertIn(reason, record["reason"])
        self.assertEqual(stored_files(directory), left)

    def test_each_row_through_serve(self):
        for i, row in enumerate(ROWS):
            why, files, scanner = row[:3]
            with self.subTest(why):
                work = os.path.join(self.work, f"serve{i}")
                os.makedirs(work)
                # serve starts only with a scanner that answers: the link is
                # turned to the row's scanner once it serves.
                target = os.path.join(work, "scanner.sock")
                os.symlink(self.clamd.socket, target)
                timeout = "1" if scanner == "silent" else "20"
                server = ServeProcess(BINARY, work, "--scan", f"clamd:unix:{target}", "--scan-timeout", timeout,
                                      "--metrics-token", "t")
                if scanner == "silent":
                    SilentScanner(os.path.join(work, "silent.sock"))
                if scanner != "clamd":
                    point(target, os.path.join(work, "silent.sock" if scanner == "silent" else "no-such.sock"))
                try:
                    status, answer = post(server.port, body(*files))
                    self.assertEqual(status, row[3], answer[:300])
                    self.check(answer, server.dir, row)
                    line = server.wait_log_lines(1)[0]
                    self.assertIn(f" {row[3]} ", line)
                    if scanner != "clamd":  # the operator learns where the scan failed; the client does not
                        self.assertIn(" scan-unavailable", line)
                        self.assertIn(os.path.basename(target), line)
                        self.assertNotIn(os.path.basename(target).encode(), answer)
                    # Each scan is timed in the metrics, a scan without a verdict counted as failed.
                    scans = {name: float(value) for name, value in re.findall(
                        r'^parcelmoor_scan_(duration_seconds_count|failures_total)\{operation="scan"\} (\S+)$',
                        metrics(server.port), re.M)}
                    self.assertGreaterEqual(scans["duration_seconds_count"], 1)
                    self.assertEqual(scans["failures_total"] > 0, scanner != "clamd")
                finally:
                    self.assertEqual(server.stop(), 0)

    def test_readiness_follows_the_scanner_and_a_start_needs_it(self):
        work = os.path.join(self.work, "ready")
        os.makedirs(work)
        target = os.path.join(work, "scanner.sock")
        out = subprocess.run([BINARY, "serve", "--port", "0", "--dir", os.path.join(work, "up"),
                              "--scan", f"clamd:unix:{target}"], capture_output=True, text=True, timeout=30)
        self.assertEqual(out.returncode, 1, out.stdout)
        self.assertIn("scanner.sock could not be reached", out.stderr)
        os.symlink(self.clamd.socket, target)
        server = ServeProcess(BINARY, work, "--scan", f"clamd:unix:{target}")
        try:
            for scanner, status in [(self.clamd.socket, 200), (os.path.join(work, "gone.sock"), 503),
                                    (self.clamd.socket, 200)]:
                point(target, scanner)
                # The result is kept for a moment: the change shows within seconds.
                deadline = time.monotonic() + 5
                while readiness(server.port)[0] != status and time.monotonic() < deadline:
                    time.sleep(0.2)
                got, failed = readiness(server.port)
                self.assertEqual(got, status, failed)
                self.assertEqual(list(failed), [] if status == 200 else ["scanner"])
        finally:
            self.assertEqual(server.stop(), 0)

    def test_an_infected_file_through_store(self):
        row = ROWS[0]
        uploads = os.path.join(self.work, "store")
        data = body(*row[1])
        out = subprocess.run([BINARY, "store", "--json", "--dir", uploads, "--total-bytes", str(len(data)),
                              "--scan", f"clamd:unix:{self.clamd.socket}"],
                             input=data, capture_output=True, timeout=60)
        self.check(out.stdout, uploads, row)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        BINARY = sys.argv.pop(1)
    unittest.main()
