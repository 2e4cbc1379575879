#!/usr/bin/env python3
"""`serve --forward`: each stored upload is handed to the user's application,
whose answer goes back to the client; what it refuses, or cannot answer in
time, is not kept.

Usage: test_forward.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)

The application is a small http.server started by the test on 127.0.0.1 and
on a Unix socket; the client's query string (passed on as X-Original-URI)
tells it how to behave.
"""

import http.server
import json
import os
import shutil
import socket
import socketserver
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import subprocess  # noqa: E402

from upload_support import CONTENT_TYPE, ServeProcess, connect, curl, multipart, read_response  # noqa: E402

BINARY = os.environ.get("PARCELMOOR_BIN", "")


class Application(http.server.BaseHTTPRequestHandler):
    seen = []  # (headers, report) of every hand-off, in order

    def do_POST(self):
        report = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        Application.seen.append((dict(self.headers), report))
        mode = self.headers.get("X-Original-URI", "").partition("mode=")[2]
        if mode == "slow":
            time.sleep(3)
        status = 403 if mode == "refuse" else 201
        body = json.dumps({"accepted": status == 201, "files": len(report["form"])}).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Set-Cookie", "seen=1")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class UnixApplication(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
    daemon_threads = True

    def get_request(self):
        conn, _ = super().get_request()
        return conn, ("local", 0)  # http.server wants a (host, port) client address


class Forward(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="parcelmoor-forward-")
        cls.apps = [http.server.ThreadingHTTPServer(("127.0.0.1", 0), Application),
                    UnixApplication(os.path.join(cls.tmp, "app.sock"), Application)]
        for app in cls.apps:
            threading.Thread(target=app.serve_forever, daemon=True).start()
        with socket.socket() as s:  # a port where nothing listens
            s.bind(("127.0.0.1", 0))
            down = s.getsockname()[1]
        targets = {"tcp": f"http://127.0.0.1:{cls.apps[0].server_address[1]}/uploaded",
                   "unix": f"unix:{cls.tmp}/app.sock:/uploaded", "down": f"http://127.0.0.1:{down}/uploaded"}
        cls.servers = {}
        for name, url in targets.items():
            work = os.path.join(cls.tmp, name)
            os.mkdir(work)
            cls.servers[name] = ServeProcess(BINARY, work, "--forward", url, "--forward-timeout", "1")

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers.values():
            server.stop()
        for app in cls.apps:
            app.shutdown()
            app.server_close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def upload(self, server, query, name):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(b"forwarded bytes\r\n" * 100)
        return curl(server.url + query, "-H", "Accept: application/json", "-H", "Cookie: session=abc",
                    "-H", "Authorization: Bearer t0k", "-F", "note=hi", "-F", f"file=@{path}")

    def test_outcomes(self):
        # server, query, status the client gets, file kept, the application asked
        table = [
            ("tcp", "?mode=accept", 201, True, True),
            ("unix", "?mode=accept", 201, True, True),
            ("tcp", "?mode=refuse", 403, False, True),
            ("tcp", "?mode=slow", 504, False, True),
            ("down", "?mode=accept", 502, False, False),
        ]
        for i, (server, query, status, kept, asked) in enumerate(table):
            with self.subTest(server=server, query=query):
                before = len(Application.seen)
                name = f"f{i}.txt"
                got, headers, body, _ = self.upload(self.servers[server], query, name)
                self.assertEqual(got, status, body)
                self.assertEqual(os.path.exists(os.path.join(self.servers[server].dir, name)), kept)
                self.assertEqual(len(Application.seen) > before, asked)
                if status in (201, 403):
                    self.assertIn("set-cookie: seen=1", headers.lower())
                    self.assertEqual(json.loads(body)["files"], 2)

    def test_an_upload_the_server_fails_keeps_no_file_and_is_not_handed_off(self):
        # The whole request in one write, so that the body has arrived when
        # parsing stops at the refused name: the first file is stored by
        # then, and it is the hand-off that must remove it.
        body = multipart([("file", "kept-first.txt", b"stored before the refused name"), ("bad", "..", b"x")])
        before = len(Application.seen)
        with connect(self.servers["tcp"].port) as s:
            s.sendall((f"POST /?mode=accept HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                       f"Accept: application/json\r\nContent-Length: {len(body)}\r\n\r\n").encode() + body)
            got, _, answer = read_response(s)
        self.assertEqual(got, 500, answer)
        page = json.loads(answer)
        self.assertEqual([(f["outcome"], f["storedPath"]) for f in page["files"]],
                         [("not stored", None), ("failed", None)])
        self.assertIn("not handed to the application", page["files"][0]["reason"])
        self.assertEqual(page["filesStored"], 0)
        self.assertFalse(os.path.exists(os.path.join(self.servers["tcp"].dir, "kept-first.txt")))
        self.assertEqual(len(Application.seen), before)

    def test_the_application_hears_who_sent_what(self):
        self.upload(self.servers["tcp"], "?mode=accept&id=7", "who.txt")
        headers, report = Application.seen[-1]
        self.assertEqual(headers["Cookie"], "session=abc")
        self.assertEqual(headers["Authorization"], "Bearer t0k")
        self.assertEqual(headers["X-Forwarded-For"], "127.0.0.1")
        self.assertEqual(headers["X-Original-URI"], "/?mode=accept&id=7")
        stored = os.path.join(self.servers["tcp"].dir, "who.txt")
        self.assertEqual([(f["field"], f["storedPath"], f["bytesStored"], f["outcome"]) for f in report["files"]],
                         [("file", stored, 1700, "stored")])

    def test_a_hand_off_waiting_on_the_application_holds_no_upload_slot(self):
        # One upload slot: while the first upload waits for a slow
        # application, its body is read and its slot free for the next one.
        work = os.path.join(self.tmp, "one-slot")
        os.mkdir(work)
        app = f"http://127.0.0.1:{self.apps[0].server_address[1]}/uploaded"
        server = ServeProcess(BINARY, work, "--max-uploads", "1", "--forward", app, "--forward-timeout", "10")
        try:
            before = len(Application.seen)
            slow = {}
            waiter = threading.Thread(target=lambda: slow.update(got=self.upload(server, "?mode=slow", "s1.txt")[0]))
            waiter.start()
            deadline = time.monotonic() + 10
            while len(Application.seen) == before and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertGreater(len(Application.seen), before, "the application never heard of the first upload")
            got, _, body, _ = self.upload(server, "?mode=accept", "s2.txt")
            self.assertEqual(got, 201, body)
            waiter.join(timeout=20)
            self.assertEqual(slow.get("got"), 201)
        finally:
            server.stop()

    def test_cgi_hands_off_through_its_environment(self):
        app = f"http://127.0.0.1:{self.apps[0].server_address[1]}/uploaded"
        for mode, status, kept in (("accept", 201, True), ("refuse", 403, False)):
            with self.subTest(mode=mode):
                updir = os.path.join(self.tmp, "cgi-" + mode)
                body = multipart([("file", "c.txt", b"cgi bytes")])
                env = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST", "REMOTE_ADDR": "10.0.0.9",
                       "CONTENT_TYPE": CONTENT_TYPE, "CONTENT_LENGTH": str(len(body)),
                       "REQUEST_URI": f"/upload.cgi?mode={mode}", "PARCELMOOR_DIR": updir,
                       "PARCELMOOR_FORWARD": app, "PATH": os.environ["PATH"]}
                out = subprocess.run([BINARY, "cgi"], input=body, env=env, capture_output=True, timeout=30)
                self.assertTrue(out.stdout.startswith(f"Status: {status} ".encode()), out.stdout[:200])
                self.assertEqual(os.path.exists(os.path.join(updir, "c.txt")), kept)
                self.assertEqual(Application.seen[-1][0]["X-Forwarded-For"], "10.0.0.9")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        BINARY = sys.argv.pop(1)
    if not BINARY:
        sys.exit("usage: test_forward.py PARCELMOOR_BINARY")
    unittest.main(verbosity=2)
