#!/usr/bin/env python3
"""Resumable uploads (tus 1.0.0) at /files/ of `parcelmoor serve`: the
protocol's answers, real clients (tus-js-client from tests/browser, tuspy
from Debian's python3-tuspy), resuming after an abort and a crash of the
server, expiry, the per-client cap, authorization and the hand-off.

Usage: test_resumable.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import base64
import hashlib
import http.client
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from upload_support import ServeProcess, binary_content, connect, read_response, wait_until  # noqa: E402

BINARY = os.environ.get("PARCELMOOR_BIN", "")
HERE = os.path.dirname(os.path.abspath(__file__))
NODE_MODULES = os.path.join(HERE, "..", "browser", "node_modules")
GUIDE = os.path.join(HERE, "..", "..", "docs", "resumable.md")
TUS = {"Tus-Resumable": "1.0.0"}
OCTETS = {"Content-Type": "application/offset+octet-stream"}


def metadata(name, kind=None):
    pairs = [("filename", name)] + ([("filetype", kind)] if kind else [])
    return ",".join(f"{k} {base64.b64encode(v.encode()).decode()}" for k, v in pairs)


def request(port, method, path, headers=None, body=b""):
    """(status, headers with lower-case names, body) of one request."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        res = conn.getresponse()
        return res.status, {k.lower(): v for k, v in res.getheaders()}, res.read()
    finally:
        conn.close()


def create(port, name, length, extra=None, body=b""):
    headers = {**TUS, "Upload-Length": str(length), "Upload-Metadata": metadata(name), **(extra or {})}
    if body:
        headers.update(OCTETS)
    return request(port, "POST", "/files/", headers, body)


def patch(port, path, offset, data, extra=None):
    return request(port, "PATCH", path, {**TUS, **OCTETS, "Upload-Offset": str(offset), **(extra or {})}, data)


def checksum(algorithm, data):
    return f"{algorithm} {base64.b64encode(hashlib.new(algorithm, data).digest()).decode()}"


def run_node(script_path, *args, env=None, timeout=60):
    if not os.path.isdir(os.path.join(NODE_MODULES, "tus-js-client")):
        raise unittest.SkipTest("tus-js-client is not installed: run scripts/setup-browser.sh")
    return subprocess.run(["node", script_path, *args], capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, "NODE_PATH": NODE_MODULES, **(env or {})})


# Uploads TUS_FILE; with TUS_STOP_AT (a fraction) aborts once that much was
# sent, mid-request, and prints how far it got; with TUS_URL resumes there.
RESUMING_CLIENT = r"""
const fs = require('fs');
const tus = require('tus-js-client');
const stopAt = Number(process.env.TUS_STOP_AT || 0);
let stopped = false;
const upload = new tus.Upload(fs.readFileSync(process.env.TUS_FILE), {
  endpoint: process.env.TUS_ENDPOINT,
  uploadUrl: process.env.TUS_URL || null,
  chunkSize: 1024 * 1024,
  retryDelays: [],
  metadata: { filename: 'resumed.bin' },
  onProgress(sent, total) {
    if (!stopAt || stopped || sent < stopAt * total) return;
    stopped = true;
    upload.abort().then(() => console.log(JSON.stringify({ url: upload.url, sent })));
  },
  onSuccess() { console.log(JSON.stringify({ url: upload.url, done: true })); },
  onError(error) { console.error(String(error)); process.exit(1); },
});
upload.start();
"""


class Application(http.server.BaseHTTPRequestHandler):
    """GET /auth decides by the bearer token: "ok" goes on into users/alice,
    anything else is refused. POST /forward takes every hand-off."""

    protocol_version = "HTTP/1.1"
    handed = []
    hanging = threading.Event()

    def do_GET(self):
        if self.headers.get("Authorization") == "Bearer ok":
            self.answer(200, [("Parcelmoor-Directory", "users/alice"), ("Parcelmoor-Forward-User", "alice")], b"")
        else:
            self.answer(403, [], b"Not yours to upload.")

    def do_POST(self):
        report = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        Application.handed.append((report, self.headers.get("Parcelmoor-Forward-User")))
        if self.path == "/hang":  # a decision that never comes in time
            Application.hanging.set()
            time.sleep(5)
        self.answer(201, [], b"taken by the application")

    def answer(self, status, headers, body):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Resumable(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="parcelmoor-resumable-")
        cls.app = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Application)
        threading.Thread(target=cls.app.serve_forever, daemon=True).start()
        base = f"http://127.0.0.1:{cls.app.server_address[1]}"
        cls.hang_url = base + "/hang"
        cls.servers = {}
        for name, args in {
            "main": ("--max-file-size", "64M", "--on-exists", "refuse"),
            "short": ("--resumable-expiry", "2", "--max-unfinished-per-client", "2"),
            "app": ("--authorize", base + "/auth", "--forward", base + "/forward"),
            "off": ("--no-resumable",),
            "one-slot": ("--max-uploads", "1"),
        }.items():
            cls.start(name, *args)

    @classmethod
    def start(cls, name, *args):
        work = os.path.join(cls.tmp, name)
        os.makedirs(work, exist_ok=True)
        cls.servers[name] = ServeProcess(BINARY, work, *args)
        return cls.servers[name]

    @classmethod
    def tearDownClass(cls):
        codes = {name: server.stop() for name, server in cls.servers.items()}
        cls.app.shutdown()
        cls.app.server_close()
        shutil.rmtree(cls.tmp, ignore_errors=True)
        if any(codes.values()):
            raise AssertionError(f"a server did not exit cleanly on SIGTERM: {codes}")

    def port(self, name="main"):
        return self.servers[name].port

    def new_upload(self, name, length, server="main", extra=None):
        status, headers, body = create(self.port(server), name, length, extra)
        self.assertEqual(status, 201, body)
        # Relative to the endpoint, so that it holds behind a proxy's path prefix.
        self.assertRegex(headers["location"], r"^[0-9a-f]{32}$")
        return "/files/" + headers["location"]

    def offset(self, path, server="main"):
        return int(request(self.port(server), "HEAD", path, TUS)[1]["upload-offset"])

    def test_protocol_table(self):
        port = self.port()
        data = binary_content(300_000, seed=25)
        taken = os.path.join(self.servers["main"].dir, "taken.txt")
        with open(taken, "wb") as f:
            f.write(b"the earlier file")
        status, headers, _ = request(port, "OPTIONS", "/files/")
        self.assertEqual((status, headers["tus-version"], headers["tus-max-size"]), (204, "1.0.0", str(64 << 20)))
        self.assertEqual(set(headers["tus-extension"].split(",")),
                         {"creation", "creation-with-upload", "termination", "checksum", "expiration"})
        up = self.new_upload("table.bin", len(data))
        other = self.new_upload("other.bin", 10)
        # (what, request, status, the upload's offset afterwards)
        table = [
            ("no Tus-Resumable", lambda: request(port, "HEAD", up), 412, 0),
            ("over the limit", lambda: create(port, "big.bin", (64 << 20) + 1), 413, 0),
            ("hidden name", lambda: create(port, ".env", 5), 422, 0),
            ("no filename", lambda: request(port, "POST", "/files/", {**TUS, "Upload-Length": "5"}), 400, 0),
            ("unstorable name", lambda: create(port, "..", 5), 400, 0),
            ("empty file, whole at once", lambda: create(port, "empty.txt", 0), 201, 0),
            ("wrong type", lambda: request(port, "PATCH", up, {**TUS, "Upload-Offset": "0",
                                                               "Content-Type": "text/plain"}, b"x"), 415, 0),
            ("wrong offset", lambda: patch(port, up, 7, data[7:100]), 409, 0),
            ("past the length", lambda: patch(port, up, 0, data + b"x"), 413, 0),
            ("wrong checksum", lambda: patch(port, up, 0, data[:1000], {"Upload-Checksum": checksum("sha1", b"no")}), 460, 0),
            ("sha256 chunk", lambda: patch(port, up, 0, data[:1000], {"Upload-Checksum": checksum("sha256", data[:1000])}), 204, 1000),
            ("other credentials", lambda: patch(port, up, 1000, data[1000:], {"Authorization": "Bearer x"}), 403, 1000),
            ("unknown id", lambda: request(port, "HEAD", "/files/" + "0" * 32, TUS), 404, 1000),
            ("sha1 last chunk", lambda: patch(port, up, 1000, data[1000:], {"Upload-Checksum": checksum("sha1", data[1000:])}), 204, len(data)),
            ("after the end", lambda: patch(port, up, len(data), b"x"), 409, len(data)),
            ("termination", lambda: request(port, "DELETE", other, TUS), 204, len(data)),
            ("terminated", lambda: request(port, "HEAD", other, TUS), 404, len(data)),
        ]
        for what, send, status, offset in table:
            with self.subTest(what):
                got = send()
                self.assertEqual(got[0], status, got[2])
                self.assertEqual(got[1].get("tus-resumable"), "1.0.0")
                self.assertEqual(self.offset(up), offset)
        self.assertEqual(self.servers["main"].read_stored("table.bin"), data)
        self.assertEqual(self.servers["main"].read_stored("empty.txt"), b"")
        status, _, body = request(port, "GET", up, TUS)
        record = json.loads(body)["files"][0]
        self.assertEqual((status, record["outcome"], record["bytesStored"], record["sha256"]),
                         (200, "stored", len(data), hashlib.sha256(data).hexdigest()))
        # A name taken under --on-exists refuse: the completing request says so with the report.
        clash = self.new_upload("taken.txt", 4)
        status, _, body = patch(port, clash, 0, b"late")
        self.assertEqual(status, 409)
        self.assertEqual(json.loads(body)["files"][0]["outcome"], "refused")
        self.assertEqual(request(port, "GET", clash, TUS)[0], 409)
        with open(taken, "rb") as f:
            self.assertEqual(f.read(), b"the earlier file")
        # With bytes in the creation, and nothing left behind once done.
        status, headers, _ = create(port, "at-once.txt", 5, body=b"12345")
        self.assertEqual((status, headers["upload-offset"]), (201, "5"))
        self.assertEqual(self.servers["main"].read_stored("at-once.txt"), b"12345")
        private = os.path.join(self.servers["main"].dir, ".parcelmoor", "resumable")
        self.assertEqual([n for n in os.listdir(private) if n.endswith(".data")], [])

    def test_two_patches_at_once(self):
        port = self.port()
        up = self.new_upload("locked.bin", 2000)
        with connect(port) as first:
            first.sendall((f"PATCH {up} HTTP/1.1\r\nHost: 127.0.0.1\r\nTus-Resumable: 1.0.0\r\nUpload-Offset: 0\r\n"
                           "Content-Type: application/offset+octet-stream\r\nContent-Length: 2000\r\n\r\n").encode()
                          + b"a" * 1000)
            # Its first bytes on disk: it holds the upload's lock.
            data = os.path.join(self.servers["main"].dir, ".parcelmoor", "resumable", up[len("/files/"):] + ".data")
            self.assertTrue(wait_until(lambda: os.path.getsize(data) >= 1000, 10))
            self.assertEqual(patch(port, up, 0, b"b" * 2000)[0], 423)
            first.sendall(b"a" * 1000)
            status, headers, _ = read_response(first)
            self.assertEqual((status, headers["upload-offset"]), (204, "2000"))
        self.assertEqual(self.servers["main"].read_stored("locked.bin"), b"a" * 2000)

    def test_requests_without_bytes_wait_for_an_upload_slot(self):
        # Each request runs on a thread of its own, so each takes a slot.
        port = self.port("one-slot")
        up = self.new_upload("slot.bin", 2000, "one-slot")
        with connect(port) as holder:
            holder.sendall((f"PATCH {up} HTTP/1.1\r\nHost: 127.0.0.1\r\nTus-Resumable: 1.0.0\r\n"
                            "Upload-Offset: 0\r\nContent-Type: application/offset+octet-stream\r\n"
                            "Content-Length: 2000\r\n\r\n").encode() + b"a" * 1000)
            data = os.path.join(self.servers["one-slot"].dir, ".parcelmoor", "resumable",
                                up[len("/files/"):] + ".data")
            self.assertTrue(wait_until(lambda: os.path.getsize(data) >= 1000, 10))
            answers = []
            waiter = threading.Thread(target=lambda: answers.append(request(port, "HEAD", up, TUS)))
            waiter.start()
            time.sleep(0.5)
            self.assertEqual(answers, [], "a HEAD ran beside the PATCH holding the only slot")
            holder.sendall(b"a" * 1000)
            self.assertEqual(read_response(holder)[0], 204)
        waiter.join(10)
        # Answered once the slot came free: the PATCH frees it with its last
        # byte, so the HEAD may still see the offset from before it.
        self.assertEqual(answers[0][0], 200)
        self.assertEqual(self.offset(up, "one-slot"), 2000)

    def test_expiry_and_the_per_client_cap(self):
        port = self.port("short")
        first, second = self.new_upload("a.bin", 10, "short"), self.new_upload("b.bin", 10, "short")
        self.assertEqual(create(port, "c.bin", 10)[0], 429)
        self.assertEqual(patch(port, first, 0, b"12345")[0], 204)
        time.sleep(3.2)  # expiry is counted in whole seconds
        self.assertEqual(request(port, "HEAD", first, TUS)[0], 410)
        self.assertEqual(patch(port, first, 5, b"67890")[0], 404)
        self.assertIn(request(port, "HEAD", second, TUS)[0], (404, 410))
        self.new_upload("d.bin", 10, "short")  # the expired ones no longer count
        self.assertNotIn("a.bin", os.listdir(self.servers["short"].dir))

    def test_authorized_creation_and_hand_off(self):
        port = self.port("app")
        status, _, body = create(port, "x.txt", 3, {"Authorization": "Bearer no"})
        self.assertEqual((status, body), (403, b"Not yours to upload."))
        up = self.new_upload("x.txt", 3, "app", {"Authorization": "Bearer ok"})
        self.assertEqual(patch(port, up, 0, b"abc")[0], 403)  # not the creation's credentials
        self.assertEqual(patch(port, up, 0, b"abc", {"Authorization": "Bearer ok"})[0], 204)
        status, _, body = request(port, "GET", up, {**TUS, "Authorization": "Bearer ok"})
        self.assertEqual((status, body), (201, b"taken by the application"))
        report, user = Application.handed[-1]
        self.assertEqual((report["files"][0]["fileName"], user), ("x.txt", "alice"))
        with open(os.path.join(self.servers["app"].dir, "users", "alice", "x.txt"), "rb") as f:
            self.assertEqual(f.read(), b"abc")

    def test_switched_off(self):
        self.assertEqual(create(self.port("off"), "x.txt", 3)[0], 404)
        page = lambda name: request(self.port(name), "GET", "/")[2]  # noqa: E731
        self.assertIn(b'data-resumable-endpoint="files/"', page("main"))
        self.assertNotIn(b"data-resumable-endpoint", page("off"))

    def test_tus_js_client_from_the_guide(self):
        with open(GUIDE) as f:
            guide = f.read()
        script = re.search(r"```js\n(// upload\.cjs\n.*?)```", guide, re.S).group(1)
        path = os.path.join(self.tmp, "upload.cjs")
        with open(path, "w") as f:
            f.write(script)
        data = os.urandom(20 << 20)
        source = os.path.join(self.tmp, "twenty.bin")
        with open(source, "wb") as f:
            f.write(data)
        out = run_node(path, source, env={"PARCELMOOR_URL": f"http://127.0.0.1:{self.port()}/files/"})
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(json.loads(out.stdout)["files"][0]["outcome"], "stored")
        self.assertEqual(self.servers["main"].read_stored("twenty.bin"), data)
        patches = [l for l in self.servers["main"].log_lines() if " PATCH /files/" in l and " 204 " in l]
        self.assertGreaterEqual(len(patches), 20)

    def test_resume_after_abort_and_crash(self):
        data = os.urandom(6 << 20)
        source = os.path.join(self.tmp, "resumed.src")
        with open(source, "wb") as f:
            f.write(data)
        script = os.path.join(self.tmp, "resuming.cjs")
        with open(script, "w") as f:
            f.write(RESUMING_CLIENT)
        server = self.start("crash")
        env = {"TUS_FILE": source, "TUS_ENDPOINT": f"http://127.0.0.1:{server.port}/files/"}
        half = run_node(script, env={**env, "TUS_STOP_AT": "0.4"})
        self.assertEqual(half.returncode, 0, half.stderr)
        url = json.loads(half.stdout)["url"]
        kept = self.offset(url[url.index("/files/"):], "crash")
        self.assertTrue(0 < kept < len(data), kept)
        # A crash, then a new server over the same directory.
        server.stop(sig=signal.SIGKILL)
        server = self.start("crash")
        moved = re.sub(r":\d+/", f":{server.port}/", url)
        rest = run_node(script, env={**env, "TUS_URL": moved})
        self.assertEqual(rest.returncode, 0, rest.stderr)
        self.assertTrue(json.loads(rest.stdout)["done"])
        self.assertEqual(server.read_stored("resumed.bin"), data)
        # Its digest read back from the file, as none was carried across the crash.
        report = json.loads(request(server.port, "GET", moved[moved.index("/files/"):], TUS)[2])
        self.assertEqual(report["files"][0]["sha256"], hashlib.sha256(data).hexdigest())

    def test_completion_cut_off_by_a_crash(self):
        # The last byte came and the file waits for the application when the
        # server dies: the upload stands one byte short, so the client's
        # ordinary resume sends that byte again and the next server stores it.
        server = self.start("cut-off", "--forward", self.hang_url)
        up = self.new_upload("cut-off.txt", 5, "cut-off")
        sender = threading.Thread(target=lambda: self.assertRaises(Exception, patch, server.port, up, 0, b"bytes"))
        sender.start()
        self.assertTrue(Application.hanging.wait(10))
        server.stop(sig=signal.SIGKILL)
        sender.join(10)
        self.assertNotIn("cut-off.txt", os.listdir(server.dir))
        server = self.start("cut-off")
        self.assertEqual(self.offset(up, "cut-off"), 4)
        self.assertEqual(patch(server.port, up, 4, b"s")[0], 204)
        status, _, body = request(server.port, "GET", up, TUS)
        self.assertEqual((status, json.loads(body)["files"][0]["outcome"]), (200, "stored"))
        self.assertEqual(server.read_stored("cut-off.txt"), b"bytes")

    def test_tuspy(self):
        data = binary_content(3 << 20, seed=7)
        source = os.path.join(self.tmp, "from-tuspy.bin")
        with open(source, "wb") as f:
            f.write(data)
        code = ("import sys\nfrom tusclient import client\n"
                "uploader = client.TusClient(sys.argv[1]).uploader(sys.argv[2], chunk_size=1 << 20, "
                "upload_checksum=True, metadata={'filename': 'from-tuspy.bin'})\nuploader.upload()\n")
        out = subprocess.run(["/usr/bin/python3", "-c", code, f"http://127.0.0.1:{self.port()}/files/", source],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(self.servers["main"].read_stored("from-tuspy.bin"), data)


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
