#!/usr/bin/env python3
"""A resumable upload ends through the same intake as a multipart file, and
what can be judged is judged before any byte is sent. A completion that
fails in passing (the scanner out of reach, the name written by another
upload) keeps the upload, and tus-js-client with its default retries
stores it once the cause clears; an application that moves the waiting
file away and accepts gets its 204. A real clamd and tus-js-client;
127.0.0.1 and a temporary directory only.

Usage: test_resumable_intake.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN)
"""

import base64
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

from test_scan import Clamd
from upload_support import BOUNDARY, CONTENT_TYPE, ServeProcess, binary_content, connect, wait_until

BINARY = os.environ.get("PARCELMOOR_BIN", "")
HERE = os.path.dirname(os.path.abspath(__file__))
NODE_MODULES = os.path.join(HERE, "..", "browser", "node_modules")
TUS = {"Tus-Resumable": "1.0.0"}

# tus-js-client as a page would use it: its retry settings untouched. Each
# answer's status goes to stdout, so that the test knows when to clear a cause.
DEFAULT_RETRIES_CLIENT = r"""
const fs = require('fs');
const tus = require('tus-js-client');
const upload = new tus.Upload(fs.readFileSync(process.env.TUS_FILE), {
  endpoint: process.env.TUS_ENDPOINT,
  chunkSize: 1024 * 1024,
  metadata: { filename: process.env.TUS_NAME },
  onAfterResponse(req, res) { console.log(`${req.getMethod()} ${res.getStatus()}`); },
  onSuccess() { console.log('done'); },
  onError(error) { console.log('error ' + String(error).split('\n')[0]); },
});
upload.start();
"""


def metadata(**pairs):
    return ",".join(f"{k} {base64.b64encode(v if isinstance(v, bytes) else v.encode()).decode()}"
                    for k, v in pairs.items())


def request(port, method, path, headers, body=b""):
    import http.client
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request(method, path, body=body, headers=headers)
        res = conn.getresponse()
        return res.status, {k.lower(): v for k, v in res.getheaders()}, res.read()
    finally:
        conn.close()


class Application(http.server.BaseHTTPRequestHandler):
    """GET /private narrows into the private folder, GET /bob into users/bob;
    POST /move takes the waiting file away (to a place of its own) and accepts."""

    protocol_version = "HTTP/1.1"
    kept = None  # where /move puts the file

    def do_GET(self):
        self.answer(200, [("Parcelmoor-Directory", ".parcelmoor/resumable" if self.path == "/private" else "users/bob")])

    def do_POST(self):
        report = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        os.rename(report["files"][0]["pendingPath"], Application.kept)
        self.answer(200, [])

    def answer(self, status, headers):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


class ResumableIntake(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not os.path.isdir(os.path.join(NODE_MODULES, "tus-js-client")):
            raise unittest.SkipTest("tus-js-client is not installed: run scripts/setup-browser.sh")
        cls.tmp = tempfile.mkdtemp(prefix="parcelmoor-intake-")
        cls.clamd = Clamd(os.path.join(cls.tmp, "clamd"))
        cls.app = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Application)
        threading.Thread(target=cls.app.serve_forever, daemon=True).start()
        cls.base = f"http://127.0.0.1:{cls.app.server_address[1]}"
        cls.servers = []

    @classmethod
    def tearDownClass(cls):
        codes = [server.stop() for server in cls.servers]
        cls.clamd.stop()
        cls.app.shutdown()
        cls.app.server_close()
        shutil.rmtree(cls.tmp, ignore_errors=True)
        if any(codes):
            raise AssertionError(f"a server did not exit cleanly on SIGTERM: {codes}")

    def serve(self, name, *args):
        work = os.path.join(self.tmp, name)
        os.makedirs(work)
        server = ServeProcess(BINARY, work, *args)
        self.servers.append(server)
        return server

    def upload_with_default_retries(self, server, name, data, clear_cause):
        """Runs the client; once an answer asks it to try again, `clear_cause` runs."""
        source = os.path.join(self.tmp, name + ".src")
        with open(source, "wb") as f:
            f.write(data)
        script = os.path.join(self.tmp, "default-retries.cjs")
        with open(script, "w") as f:
            f.write(DEFAULT_RETRIES_CLIENT)
        env = {**os.environ, "NODE_PATH": NODE_MODULES, "TUS_FILE": source, "TUS_NAME": name,
               "TUS_ENDPOINT": f"http://127.0.0.1:{server.port}/files/"}
        client = subprocess.Popen(["node", script], stdout=subprocess.PIPE, text=True, env=env)
        lines, cleared = [], False
        deadline = time.monotonic() + 60
        for line in client.stdout:
            lines.append(line.strip())
            if not cleared and line.split()[-1] in ("423", "503"):
                clear_cause()
                cleared = True
            if line.startswith(("done", "error")) or time.monotonic() > deadline:
                break
        client.kill()
        client.wait()
        client.stdout.close()
        return lines

    def test_passing_failures_at_the_last_byte_keep_the_upload(self):
        link = os.path.join(self.tmp, "scanner.sock")
        os.symlink(self.clamd.socket, link)
        # Under replace, a name another upload writes is busy (keep-both would take another).
        server = self.serve("passing", "--scan", f"clamd:unix:{link}", "--on-exists", "replace")
        data = binary_content((3 << 20) + 5, seed=33)

        # The scanner goes away before the last byte and comes back.
        os.unlink(link)
        lines = self.upload_with_default_retries(server, "scanned.bin", data,
                                                 lambda: os.symlink(self.clamd.socket, link))
        self.assertEqual(lines[-1], "done", lines)
        self.assertIn("PATCH 503", lines)
        self.assertEqual(server.read_stored("scanned.bin"), data)

        # Another upload writes the name until the first answer asks to wait.
        private = os.path.join(server.dir, ".parcelmoor")
        before = set(os.listdir(private))
        holder = connect(server.port)
        head = (f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="f"; filename="busy.bin"\r\n\r\n').encode()
        holder.sendall((f"POST / HTTP/1.1\r\nHost: x\r\nContent-Type: {CONTENT_TYPE}\r\n"
                        f"Content-Length: {len(head) + 100000}\r\n\r\n").encode() + head + b"x" * 10)
        self.assertTrue(wait_until(lambda: set(os.listdir(private)) - before, 5))  # its temporary
        lines = self.upload_with_default_retries(server, "busy.bin", data, holder.close)
        self.assertEqual(lines[-1], "done", lines)
        self.assertIn("PATCH 423", lines)
        self.assertEqual(server.read_stored("busy.bin"), data)

    def test_what_creation_refuses_before_any_byte(self):
        server = self.serve("judged", "--allow-types", "image/png")
        # name, declared type, status
        rows = [
            ("n" * 300, "image/png", 400),
            ("tab\there.png", "image/png", 400),
            (".hidden.png", "image/png", 422),
            ("page.html", "text/html", 415),
        ]
        for name, declared, status in rows:
            with self.subTest(name=name[:20]):
                answer = request(server.port, "POST", "/files/",
                                 {**TUS, "Upload-Length": "10", "Upload-Metadata": metadata(filename=name,
                                                                                            filetype=declared)})
                self.assertEqual(answer[0], status, answer[2])
        # An authorizing application names the private folder: refused, nothing made there.
        server = self.serve("narrowed", "--authorize", self.base + "/private")
        private = os.path.join(server.dir, ".parcelmoor")
        before = sorted(os.listdir(os.path.join(private, "resumable"))) if os.path.isdir(private) else []
        answer = request(server.port, "POST", "/files/", {**TUS, "Upload-Length": "10",
                                                          "Upload-Metadata": metadata(filename="a.png")})
        self.assertEqual(answer[0], 502, answer)
        after = sorted(os.listdir(os.path.join(private, "resumable"))) if os.path.isdir(private) else []
        self.assertEqual(before, after)

    def test_a_directory_swapped_for_a_link_before_the_last_byte(self):
        server = self.serve("swapped", "--authorize", self.base + "/bob")
        status, headers, _ = request(server.port, "POST", "/files/", {
            **TUS, "Upload-Length": "6", "Upload-Metadata": metadata(filename="late.txt")})
        self.assertEqual(status, 201)
        up = urllib.parse.urljoin("/files/", headers["location"])
        patch = {**TUS, "Content-Type": "application/offset+octet-stream"}
        self.assertEqual(request(server.port, "PATCH", up, {**patch, "Upload-Offset": "0"}, b"abcde")[0], 204)
        bob, elsewhere = os.path.join(server.dir, "users", "bob"), os.path.join(self.tmp, "elsewhere")
        os.makedirs(elsewhere)
        os.rename(bob, bob + ".away")
        os.symlink(elsewhere, bob)
        status, headers, _ = request(server.port, "PATCH", up, {**patch, "Upload-Offset": "5"}, b"f")
        self.assertEqual((status, headers["upload-offset"]), (503, "5"))
        self.assertEqual(os.listdir(elsewhere), [])
        os.unlink(bob)
        os.rename(bob + ".away", bob)
        self.assertEqual(request(server.port, "PATCH", up, {**patch, "Upload-Offset": "5"}, b"f")[0], 204)
        self.assertEqual(server.read_stored(os.path.join("users", "bob", "late.txt")), b"abcdef")

    def test_application_that_moves_the_file_and_accepts(self):
        server = self.serve("moved", "--forward", self.base + "/move")
        Application.kept = os.path.join(self.tmp, "kept-by-app.bin")
        data = binary_content(200_000, seed=34)
        status, headers, _ = request(server.port, "POST", "/files/", {
            **TUS, "Upload-Length": str(len(data)), "Upload-Metadata": metadata(filename="moved.bin"),
            "Content-Type": "application/offset+octet-stream"}, data)
        self.assertEqual(status, 201)
        self.assertEqual(headers["upload-offset"], str(len(data)))
        with open(Application.kept, "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertNotIn("moved.bin", os.listdir(server.dir))


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
