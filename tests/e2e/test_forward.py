#!/usr/bin/env python3
"""`serve --forward`: each stored upload is handed to the user's application,
whose answer goes back to the client; what it refuses, or cannot answer in
time, is not kept.

Usage: test_forward.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)

The application is a small http.server started by the test on 127.0.0.1 and
on a Unix socket; the client's query string (passed on as X-Original-URI)
tells it how to behave.
"""

import base64
import http.server
import json
import os
import re
import shutil
import socket
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import subprocess  # noqa: E402

from test_deploy_docs import free_port, guide_block  # noqa: E402
from upload_support import (CONTENT_TYPE, ServeProcess, connect, curl, kill_process, multipart,  # noqa: E402
                            listening, read_response, UnixApplication, wait_until)

FORWARDING = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "forwarding.md")

BINARY = os.environ.get("PARCELMOOR_BIN", "")
BOUNDARY_BYTES = CONTENT_TYPE.partition("boundary=")[2].encode()


# Answers written byte for byte: interim answers before the final one, and a
# final one full of headers meant for one hop, parcelmoor's own, and a
# trailer.
RAW_ANSWERS = {
    "early": lambda body: (b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\n"
                           b"HTTP/1.1 201 Created\r\nContent-Type: application/json\r\nSet-Cookie: seen=1\r\n"
                           b"Content-Length: %d\r\n\r\n%s" % (len(body), body)),
    "hop": lambda body: (b"HTTP/1.1 201 Created\r\nContent-Type: application/json\r\nSet-Cookie: seen=1\r\n"
                         b"Connection: close, X-Hop\r\nX-Hop: 1\r\nProxy-Connection: keep-alive\r\n"
                         b"Keep-Alive: timeout=5\r\nUpgrade: h2c\r\nCache-Control: public\r\nStatus: 200 OK\r\n"
                         b"X-Kept: yes\r\nTrailer: X-Trail\r\nTransfer-Encoding: chunked\r\n\r\n"
                         b"%x\r\n%s\r\n0\r\nX-Trail: t\r\n\r\n" % (len(body), body)),
}
HOP_HEADERS = ("x-hop", "proxy-connection", "keep-alive", "upgrade", "status", "trailer", "x-trail")


def read_or_none(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


EARLIER = b"an earlier file of the same name"


class Application(http.server.BaseHTTPRequestHandler):
    seen = []  # (headers, report) of every hand-off, in order

    def do_POST(self):
        report = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        # While the application decides, each file waits at its pendingPath
        # and its final name still holds whatever was there before.
        waiting = [(os.path.exists(f["pendingPath"]), read_or_none(f["storedPath"]))
                   for f in report["files"] if f["outcome"] == "stored"]
        Application.seen.append((dict(self.headers), report, waiting))
        mode = self.headers.get("X-Original-URI", "").partition("mode=")[2]
        if mode == "close":  # reached, but no answer at all
            self.close_connection = True
            return
        if mode == "move":  # takes the file, then runs out of time
            stored = report["files"][0]["storedPath"]
            shutil.move(report["files"][0]["pendingPath"], stored + ".taken")
        if mode in ("slow", "move"):
            time.sleep(3)
        status = 403 if mode == "refuse" else 201
        body = json.dumps({"accepted": status == 201, "files": len(report["form"])}).encode()
        if mode in RAW_ANSWERS:
            self.wfile.write(RAW_ANSWERS[mode](body))
            self.close_connection = True
            return
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Set-Cookie", "seen=1")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


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
            # Replacing: an accepted file takes the name of the earlier one.
            cls.servers[name] = ServeProcess(BINARY, work, "--forward", url, "--forward-timeout", "1",
                                             "--on-exists", "replace")

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
        # server, query, status the client gets, file kept, the application
        # asked, the log's files= and note, what parcelmoor's own answer says
        table = [
            ("tcp", "?mode=accept", 201, True, True, "files=1/1", None),
            ("unix", "?mode=accept", 201, True, True, "files=1/1", None),
            ("tcp", "?mode=refuse", 403, False, True, "files=0/1 .* app-refused", None),
            ("tcp", "?mode=slow", 504, False, True, "files=0/1 .* app-timeout", "in time; the upload was not kept."),
            ("down", "?mode=accept", 502, False, False, "files=0/1 .* app-unreachable", "could not be reached;"),
            ("tcp", "?mode=close", 502, False, True, "files=0/1 .* app-closed",
             "closed the connection without answering; the upload was not kept."),
            # The file it took stays the application's.
            ("tcp", "?mode=move", 504, False, True, "files=1/1 .* app-timeout",
             "0 of 1 files were deleted; the application had already taken the others."),
            ("tcp", "?mode=early", 201, True, True, "files=1/1", None),   # 100 and 103 are interim
            ("tcp", "?mode=hop", 201, True, True, "files=1/1", None),
        ]
        for i, (server, query, status, kept, asked, logged, says) in enumerate(table):
            with self.subTest(server=server, query=query):
                before, lines = len(Application.seen), len(self.servers[server].log_lines())
                name = f"f{i}.txt"
                final = os.path.join(self.servers[server].dir, name)
                with open(final, "wb") as f:
                    f.write(EARLIER)
                got, headers, body, _ = self.upload(self.servers[server], query, name)
                self.assertEqual(got, status, body)
                # Committed only once accepted: a refusal leaves the earlier file whole.
                self.assertEqual(read_or_none(final), b"forwarded bytes\r\n" * 100 if kept else EARLIER)
                self.assertEqual(self.servers[server].temporaries(), [])
                self.assertEqual(len(Application.seen) > before, asked)
                if asked:
                    self.assertEqual(Application.seen[-1][2], [(True, EARLIER)])
                self.assertRegex(self.servers[server].wait_log_lines(lines + 1)[-1], logged)
                # parcelmoor's own Date, in place of any the application sent
                self.assertEqual(len(re.findall(r"(?im)^date: \w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT\r?$",
                                                headers)), 1, headers)
                if says:
                    self.assertIn(says, json.loads(body)["error"])
                if query == "?mode=move":
                    self.assertTrue(os.path.exists(os.path.join(self.servers[server].dir, name + ".taken")))
                if status in (201, 403):
                    self.assertIn("set-cookie: seen=1", headers.lower())
                    self.assertEqual(json.loads(body)["files"], 2)
                # One hop's headers, trailers and a second Cache-Control stay behind.
                names = [line.split(":")[0].strip().lower() for line in headers.splitlines()[1:]]
                self.assertEqual([n for n in names if n in HOP_HEADERS], [], headers)
                self.assertLessEqual(names.count("cache-control"), 1, headers)
                if query == "?mode=hop":
                    self.assertIn("x-kept: yes", headers.lower())

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
        self.assertEqual(got, 422, answer)  # a name the store cannot take is the client's to change
        page = json.loads(answer)
        self.assertEqual([(f["outcome"], f["storedPath"]) for f in page["files"]],
                         [("not stored", None), ("failed", None)])
        self.assertIn("not handed to the application", page["files"][0]["reason"])
        self.assertEqual(page["filesStored"], 0)
        self.assertFalse(os.path.exists(os.path.join(self.servers["tcp"].dir, "kept-first.txt")))
        self.assertEqual(len(Application.seen), before)

    def test_the_application_hears_who_sent_what(self):
        self.upload(self.servers["tcp"], "?mode=accept&id=7", "who.txt")
        headers, report, _ = Application.seen[-1]
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

    def test_cgi_passes_no_line_break_of_the_client_on(self):
        # Raw CGI variables with line breaks must not become headers of the
        # hand-off; an application's Status and hop headers must not reach
        # the web server either.
        app = f"http://127.0.0.1:{self.apps[0].server_address[1]}/uploaded"
        body = multipart([("file", "inj.txt", b"cgi bytes")])
        env = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST", "REMOTE_ADDR": "10.0.0.9",
               "CONTENT_TYPE": CONTENT_TYPE, "CONTENT_LENGTH": str(len(body)),
               "REQUEST_URI": "/upload.cgi?x=\r\nX-Injected: uri&mode=hop",
               "HTTP_COOKIE": "session=abc\r\nX-Injected: cookie", "HTTP_AUTHORIZATION": "Bearer t\nX-Injected: auth",
               "HTTP_X_FORWARDED_FOR": "10.1.1.1\r\nX-Injected: xff",
               "PARCELMOOR_DIR": os.path.join(self.tmp, "cgi-injected"), "PARCELMOOR_FORWARD": app,
               "PATH": os.environ["PATH"]}
        out = subprocess.run([BINARY, "cgi"], input=body, env=env, capture_output=True, timeout=30)
        heard = Application.seen[-1][0]
        self.assertEqual([n for n in heard if n.lower().startswith("x-injected")], [], heard)
        self.assertEqual(heard["Cookie"], "session=abcX-Injected: cookie")
        self.assertEqual(heard["X-Original-URI"], "/upload.cgi?x=%0D%0AX-Injected:%20uri&mode=hop")
        head = out.stdout.partition(b"\r\n\r\n")[0].decode().lower().split("\r\n")
        self.assertEqual(head[0], "status: 201 created", head)
        names = [line.split(":")[0] for line in head]
        self.assertEqual((names.count("status"), names.count("cache-control")), (1, 1), head)
        self.assertEqual([n for n in names if n in HOP_HEADERS and n != "status"], [], head)

    def test_a_name_that_is_not_utf8_reads_in_every_json_reader_and_finds_its_file(self):
        name = b"caf\xe9 \xff.txt"   # Latin-1 and a byte of no encoding
        body = (b"--" + BOUNDARY_BYTES + b'\r\nContent-Disposition: form-data; name="file"; filename="' + name +
                b'"\r\n\r\nlatin bytes\r\n--' + BOUNDARY_BYTES + b"--\r\n")
        with connect(self.servers["tcp"].port) as s:
            s.sendall((f"POST /?mode=accept HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                       f"Content-Length: {len(body)}\r\n\r\n").encode() + body)
            self.assertEqual(read_response(s)[0], 201)
        report = Application.seen[-1][1]
        stored = base64.b64decode(report["files"][0]["storedPathBase64"])
        self.assertEqual(os.path.basename(stored), name)
        with open(stored, "rb") as f:
            self.assertEqual(f.read(), b"latin bytes")
        self.assertEqual(report["files"][0]["fileName"], "caf\ufffd \ufffd.txt")
        text = json.dumps(report, ensure_ascii=False).encode()
        readers = {"php": ["php", "-r", "$r = json_decode(stream_get_contents(STDIN), true, 512, "
                                        "JSON_THROW_ON_ERROR); echo base64_decode($r['files'][0]['storedPathBase64']);"],
                   "node": ["node", "-e", "let t = ''; process.stdin.on('data', d => t += d).on('end', () => "
                                          "process.stdout.write(Buffer.from(JSON.parse(t).files[0].storedPathBase64, "
                                          "'base64')))"]}
        for reader, command in readers.items():
            with self.subTest(reader=reader):
                if not shutil.which(command[0]):
                    self.skipTest(f"no {command[0]} (scripts/setup.sh installs it)")
                out = subprocess.run(command, input=text, capture_output=True, timeout=30)
                self.assertEqual((out.returncode, out.stdout), (0, stored), out.stderr)


class DocumentedApplications(unittest.TestCase):
    """docs/forwarding.md's Python and PHP applications, copied verbatim,
    behind serve: they create their archive, move the files into it, and
    refuse (so parcelmoor deletes) an upload naming a file already there."""

    def run_guide_application(self, command, heading, language, login, run_as=(), serve_args=()):
        work = tempfile.mkdtemp(prefix="parcelmoor-forward-doc-")
        self.addCleanup(shutil.rmtree, work, True)
        script = command[-1]
        with open(os.path.join(work, script), "w") as f:
            f.write(guide_block(heading, language, FORWARDING))
        port = free_port()
        archive = os.path.join(work, "archive")
        if run_as:  # the application's own user reaches its script and owns its archive
            os.chmod(work, 0o755)
            os.mkdir(archive)
            shutil.chown(archive, "nobody")
        env = dict(os.environ, ARCHIVE_DIR=archive, PORT=str(port))
        app = subprocess.Popen([*run_as, *(part.replace("PORT", str(port)) for part in command)], cwd=work, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(kill_process, app)
        base = f"http://127.0.0.1:{port}"
        self.assertTrue(wait_until(lambda: listening(port), 10), "the application did not start")
        server = ServeProcess(BINARY, work, "--forward", base + "/uploaded", *serve_args)
        self.addCleanup(server.stop)
        jar = os.path.join(work, "jar")
        for name, text in (("a.txt", "first a"), ("b.txt", "first b")):
            with open(os.path.join(work, name), "w") as f:
                f.write(text)

        def upload(*names):
            files = [arg for n in names for arg in ("-F", f"files=@{work}/{n}")]
            return curl(server.url, "-b", jar, "-c", jar, "-H", "Accept: application/json", *files)

        # step, status, archive afterwards (name -> text)
        table = [
            (lambda: upload("a.txt"), 403, {}),
            (lambda: login(base, jar), 200, {}),
            (lambda: upload("a.txt", "b.txt"), 200, {"a.txt": "first a", "b.txt": "first b"}),
            (lambda: upload("a.txt"), 409, {"a.txt": "first a", "b.txt": "first b"}),
        ]
        for i, (step, status, archived) in enumerate(table):
            with self.subTest(step=i):
                got, _, body, _ = step()
                self.assertEqual(got, status, body)
                found = {}
                for name in (os.listdir(archive) if os.path.isdir(archive) else []):
                    with open(os.path.join(archive, name)) as f:
                        found[name.rpartition("-")[2]] = f.read()
                self.assertEqual(found, archived)
                # Moved, refused or clashing: nothing stays in the upload directory.
                self.assertEqual(server.stored(), [])

    @staticmethod
    def login(base, jar):
        """The examples' /login, as a user would call it before uploading."""
        return curl(base + "/login?user=alice", "-b", jar, "-c", jar)

    def test_python(self):
        self.run_guide_application([sys.executable, "app.py"], "## A Python application", "python", self.login)

    def test_python_as_another_user_with_forward_group(self):
        # The application runs as nobody with the group users; the server
        # shares the waiting files with that group, as the guide shows.
        setpriv, python = shutil.which("setpriv"), "/usr/bin/python3"
        if os.geteuid() != 0 or not setpriv or not os.access(python, os.X_OK):
            self.skipTest("needs root, setpriv and /usr/bin/python3")
        self.run_guide_application([python, "app.py"], "## A Python application", "python", self.login,
                                   run_as=(setpriv, "--reuid=nobody", "--regid=nogroup", "--groups=users"),
                                   serve_args=("--forward-group", "users"))

    def test_php(self):
        php = shutil.which("php")
        if not php:
            self.skipTest("php-cli is not installed (scripts/setup.sh installs it)")
        self.run_guide_application([php, "-S", "127.0.0.1:PORT", "uploaded.php"], "## A PHP application", "php",
                                   self.login)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        BINARY = sys.argv.pop(1)
    if not BINARY:
        sys.exit("usage: test_forward.py PARCELMOOR_BINARY")
    unittest.main(verbosity=2)
