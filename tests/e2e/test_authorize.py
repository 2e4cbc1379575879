#!/usr/bin/env python3
"""Authorization before the body: `serve --authorize`, `--token-file` and
`cgi` with PARCELMOOR_AUTHORIZE, against a fake application on 127.0.0.1
that answers as the request's query asks.

Usage: test_authorize.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import http.client
import http.server
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from upload_support import (CONTENT_TYPE, ServeProcess, cgi_environment, closed_by_peer, connect, curl,  # noqa: E402
                            kill_process, listening, multipart, read_response, UnixApplication, wait_until)

BINARY = os.environ.get("PARCELMOOR_BIN", "")
GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "authorization.md")


class Application(http.server.BaseHTTPRequestHandler):
    """GET /auth answers as the client's query (in X-Original-URI) says;
    POST /forward is the hand-off. Every request's headers are kept."""

    protocol_version = "HTTP/1.1"
    asked = []      # (path, headers dict) of every request, in order
    lock = threading.Lock()

    ANSWERS = {  # case: (status, headers, body)
        "ok": (200, [], b""),
        "refuse": (401, [("WWW-Authenticate", 'Session realm="uploads"'), ("Set-Cookie", "leak=1")],
                   b"Please log in before uploading."),
        "forbid": (403, [], b"Not yours to upload."),
        "redirect": (302, [("Location", "/login")], b""),
        "directory": (200, [("Parcelmoor-Directory", "users/alice/./in")], b""),
        "dotdot": (200, [("Parcelmoor-Directory", "users/../../escape")], b""),
        "absolute": (200, [("Parcelmoor-Directory", "/tmp")], b""),
        "link": (200, [("Parcelmoor-Directory", "link/inside")], b""),
        "small-file": (200, [("Parcelmoor-Max-File-Size", "10")], b""),
        "small-request": (200, [("Parcelmoor-Max-Request-Size", "100")], b""),
        "tagged": (200, [("Parcelmoor-Forward-User", "alice"), ("Parcelmoor-Forward-Quota", "12345")], b""),
    }

    def do_GET(self):
        self.keep()
        case = urllib.parse.parse_qs(urllib.parse.urlsplit(self.headers.get("X-Original-URI", "")).query)
        case = case.get("case", ["ok"])[0]
        if case == "slow":
            time.sleep(3)
            case = "ok"
        status, headers, body = self.ANSWERS[case]
        self.answer(status, headers, body)

    def do_POST(self):
        self.keep()
        self.rfile.read(int(self.headers["Content-Length"]))
        self.answer(200, [], b"handed off")

    def keep(self):
        with self.lock:
            Application.asked.append((self.path, {k.lower(): v for k, v in self.headers.items()}))

    def answer(self, status, headers, body):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body)
        except BrokenPipeError:  # parcelmoor gave up waiting (the slow case)
            pass

    def log_message(self, *args):
        pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


BODY = multipart([("note", None, b"hi"), ("file", "a.txt", b"authorized bytes " * 64)])


def request_head(query, length, extra=""):
    return (f"POST /{query} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
            f"Accept: application/json\r\nContent-Length: {length}\r\n{extra}\r\n").encode()


class Authorize(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="parcelmoor-authorize-")
        cls.app = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Application)
        cls.unix_app = UnixApplication(os.path.join(cls.tmp, "app.sock"), Application)
        for app in (cls.app, cls.unix_app):
            threading.Thread(target=app.serve_forever, daemon=True).start()
        base = f"http://127.0.0.1:{cls.app.server_address[1]}"
        cls.auth_url = base + "/auth"
        cls.tokens = os.path.join(cls.tmp, "tokens")
        with open(cls.tokens, "w") as f:
            f.write("# upload tokens\nfirst-token\n")
        cls.servers = {}
        for name, args in {
            "app": ("--authorize", cls.auth_url, "--authorize-timeout", "1", "--forward", base + "/forward",
                    "--max-file-size", "1M", "--delete-max-file"),
            "down": ("--authorize", f"http://127.0.0.1:{free_port()}/auth"),
            "token": ("--token-file", cls.tokens, "--authorize", cls.auth_url),
            "one-slot": ("--authorize", cls.auth_url, "--max-uploads", "1"),
            "unix": ("--authorize", f"unix:{cls.tmp}/app.sock:/auth"),
        }.items():
            work = os.path.join(cls.tmp, name)
            os.mkdir(work)
            cls.servers[name] = ServeProcess(BINARY, work, *args)
        os.makedirs(os.path.join(cls.tmp, "outside"))
        os.makedirs(cls.servers["app"].dir, exist_ok=True)
        os.symlink(os.path.join(cls.tmp, "outside"), os.path.join(cls.servers["app"].dir, "link"))

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers.values():
            server.stop()
        for app in (cls.app, cls.unix_app):
            app.shutdown()
            app.server_close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def files_under(self, top):
        """Every file below `top` but the server's own private directories."""
        found = []
        for root, dirs, files in os.walk(top):
            dirs[:] = [d for d in dirs if d != ".parcelmoor"]
            found += [os.path.relpath(os.path.join(root, f), top) for f in files]
        return sorted(found)

    def post(self, server, query, extra=""):
        with connect(self.servers[server].port) as s:
            s.sendall(request_head(query, len(BODY), extra) + BODY)
            status, headers, body = read_response(s)
            return status, headers, body, closed_by_peer(s, 1.5)

    def test_decisions(self):
        # server, query, status, where the file is (None: nowhere), connection closed, log note
        table = [
            ("app", "?case=ok", 200, "a.txt", False, None),
            ("app", "?case=refuse", 401, None, True, "auth-refused"),
            ("app", "?case=forbid", 403, None, True, "auth-refused"),
            ("app", "?case=redirect", 302, None, True, "auth-refused"),
            ("app", "?case=directory", 200, "users/alice/in/a.txt", False, None),
            ("app", "?case=dotdot", 502, None, True, "auth-bad-answer"),
            ("app", "?case=absolute", 502, None, True, "auth-bad-answer"),
            ("app", "?case=link", 502, None, True, "auth-bad-answer"),
            ("app", "?case=small-file", 413, None, False, None),
            ("app", "?case=small-request", 413, None, True, "auth-request-too-large"),
            ("app", "?case=slow", 504, None, True, "auth-timeout"),
            ("down", "?case=ok", 503, None, True, "auth-unreachable"),
            ("unix", "?case=forbid", 403, None, True, "auth-refused"),
            ("unix", "?case=directory", 200, "users/alice/in/a.txt", False, None),
        ]
        for server, query, status, stored, closed, note in table:
            with self.subTest(server=server, query=query):
                root = self.servers[server].dir
                shutil.rmtree(os.path.join(root, "users"), ignore_errors=True)
                for name in os.listdir(root):
                    if os.path.isfile(os.path.join(root, name)):
                        os.remove(os.path.join(root, name))
                lines = len(self.servers[server].log_lines())
                got, headers, body, was_closed = self.post(server, query)
                self.assertEqual(got, status, body)
                self.assertEqual(self.files_under(root), [stored] if stored else [])
                self.assertEqual(was_closed, closed)
                self.assertEqual(os.listdir(os.path.join(self.tmp, "outside")), [])
                self.assertFalse(os.path.exists(os.path.join(self.tmp, "escape")))
                if note:
                    self.assertIn(note, self.servers[server].wait_log_lines(lines + 1)[-1])
        refused = self.post("app", "?case=refuse")
        self.assertEqual(refused[2], b"Please log in before uploading.")
        self.assertEqual(refused[1]["www-authenticate"], 'Session realm="uploads"')
        self.assertNotIn("set-cookie", refused[1])
        self.assertEqual(self.post("app", "?case=redirect")[1]["location"], "/login")

    def test_refused_before_the_body(self):
        # 48 MiB trickled at about 6 MB/s: the answer comes while the client
        # has sent well under 1 MiB, and nothing reached the disk.
        total, chunk, sent = 48 << 20, b"x" * 65536, 0
        stored_before = self.files_under(self.servers["app"].dir)
        with connect(self.servers["app"].port) as s:
            s.sendall(request_head("?case=refuse", total))
            start = time.monotonic()
            while sent < total:
                if select.select([s], [], [], 0)[0]:
                    break
                s.sendall(chunk)
                sent += len(chunk)
                time.sleep(max(0.0, start + sent / 6e6 - time.monotonic()))
            status, _, body = read_response(s)
        self.assertEqual(status, 401)
        self.assertEqual(body, b"Please log in before uploading.")
        self.assertLess(sent, 1 << 20)
        self.assertEqual(self.files_under(self.servers["app"].dir), stored_before)

    def test_expect_continue(self):
        for query, first, final in [("?case=forbid", 403, None), ("?case=ok", 100, 200)]:
            with self.subTest(query=query), connect(self.servers["app"].port) as s:
                s.sendall(request_head(query, len(BODY), "Expect: 100-continue\r\n"))
                status, _, _ = read_response(s)
                self.assertEqual(status, first)
                if final:
                    s.sendall(BODY)
                    self.assertEqual(read_response(s)[0], final)

    def test_waiting_holds_no_upload_slot(self):
        # The only upload slot stays free while the application thinks
        # about another upload for 3 seconds.
        with connect(self.servers["one-slot"].port) as waiting:
            waiting.sendall(request_head("?case=slow", len(BODY)) + BODY)
            time.sleep(0.5)
            start = time.monotonic()
            self.assertEqual(self.post("one-slot", "?case=ok")[0], 200)
            self.assertLess(time.monotonic() - start, 2.5)
            self.assertEqual(read_response(waiting)[0], 200)

    def test_what_the_application_hears(self):
        before = len(Application.asked)
        extra = ("Cookie: session=abc; theme=dark\r\nAuthorization: Basic YWxpY2U6c2VjcmV0\r\n"
                 "X-Forwarded-For: 10.0.0.7\r\n")
        self.assertEqual(self.post("app", "?case=tagged&album=7", extra)[0], 200)
        (auth_path, auth), (forward_path, forward) = Application.asked[before:]
        self.assertEqual(auth_path, "/auth")
        want = {"x-original-method": "POST", "x-original-uri": "/?case=tagged&album=7",
                "x-original-content-length": str(len(BODY)), "x-original-content-type": CONTENT_TYPE,
                "x-forwarded-for": "10.0.0.7, 127.0.0.1", "cookie": "session=abc; theme=dark",
                "authorization": "Basic YWxpY2U6c2VjcmV0"}
        self.assertEqual({k: auth.get(k) for k in want}, want)
        self.assertNotIn("content-length", auth)
        self.assertEqual(forward_path, "/forward")
        self.assertEqual((forward.get("parcelmoor-forward-user"), forward.get("parcelmoor-forward-quota")),
                         ("alice", "12345"))

    def resumable(self, method, path, token, headers=None, body=b""):
        conn = http.client.HTTPConnection("127.0.0.1", self.servers["token"].port, timeout=10)
        try:
            conn.request(method, path, body=body, headers={"Tus-Resumable": "1.0.0", "Authorization": f"Bearer {token}",
                                                           **(headers or {})})
            answer = conn.getresponse()
            answer.read()
            return answer
        finally:
            conn.close()

    def test_token_file(self):
        def upload(token):
            before = len(Application.asked)
            extra = f"Authorization: Bearer {token}\r\n" if token else ""
            status, headers, _, _ = self.post("token", "?case=ok", extra)
            return status, headers.get("www-authenticate"), len(Application.asked) > before

        # token, status, WWW-Authenticate, the application asked (token first)
        table = [("first-token", 200, None, True), ("wrong-token", 401, "Bearer", False),
                 (None, 401, "Bearer", False)]
        for token, status, challenge, asked in table:
            with self.subTest(token=token):
                self.assertEqual(upload(token), (status, challenge, asked))
        named = {"Upload-Length": "4", "Upload-Metadata": "filename dC50eHQ="}   # t.txt
        resumable = self.resumable("POST", "/files/", "first-token", named)
        self.assertEqual(resumable.status, 201)
        with open(self.tokens, "w") as f:  # changed while running: the old token goes
            f.write("second-token-which-is-longer\n")
        self.assertEqual(upload("second-token-which-is-longer")[0], 200)
        self.assertEqual(upload("first-token")[0], 401)
        # The log line is written just after the answer has gone out.
        self.assertTrue(wait_until(lambda: "token-wrong" in self.servers["token"].log_lines()[-1], 5),
                        self.servers["token"].log_lines()[-1])
        # The resumable upload begun with the old token stops too; the new token is not its.
        location = urllib.parse.urljoin("/files/", resumable.getheader("Location"))
        patch = {"Upload-Offset": "0", "Content-Type": "application/offset+octet-stream"}
        self.assertEqual(self.resumable("PATCH", location, "first-token", patch, b"data").status, 401)
        self.assertEqual(self.resumable("HEAD", location, "second-token-which-is-longer").status, 403)

    def test_cgi(self):
        uploads = os.path.join(self.tmp, "cgi-uploads")
        # query, status, stored file, body text
        table = [("case=refuse", 401, [], b"Please log in before uploading."),
                 ("case=directory", 200, ["users/alice/in/a.txt"], None),
                 ("case=dotdot", 502, [], None)]
        for query, status, stored, text in table:
            with self.subTest(query=query):
                env = cgi_environment(uploads, len(BODY), REQUEST_URI="/upload.cgi?" + query, QUERY_STRING=query,
                                      HTTP_ACCEPT="application/json", PARCELMOOR_AUTHORIZE=self.auth_url)
                out = subprocess.run([BINARY, "cgi"], input=BODY, env=env, capture_output=True, timeout=60)
                head, _, body = out.stdout.partition(b"\r\n\r\n")
                self.assertTrue(head.startswith(f"Status: {status} ".encode()), out.stdout[:200])
                self.assertEqual(self.files_under(uploads), stored)
                if text:
                    self.assertEqual(body, text)
                    self.assertIn(b"www-authenticate: session", head.lower())
                shutil.rmtree(os.path.join(uploads, "users"), ignore_errors=True)


def guide_block(language):
    """The ```language block of the authorization guide, as a reader copies it."""
    with open(GUIDE) as f:
        return re.search(r"```" + language + r"\n(.*?)```", f.read(), re.S).group(1)


class DocumentedApplications(unittest.TestCase):
    """The guide's Python and PHP applications, copied verbatim, behind serve."""

    def run_guide_application(self, command, source):
        work = tempfile.mkdtemp(prefix="parcelmoor-authorize-doc-")
        self.addCleanup(shutil.rmtree, work, True)
        with open(os.path.join(work, source[0]), "w") as f:
            f.write(source[1])
        port = free_port()
        env = dict(os.environ, UPLOAD_DIR=os.path.join(work, "uploads"), QUOTA_BYTES="3000", PORT=str(port))
        app = subprocess.Popen([part.replace("PORT", str(port)) for part in command], cwd=work, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(kill_process, app)
        self.assertTrue(wait_until(lambda: listening(port), 10), "the application did not start")
        base = f"http://127.0.0.1:{port}"
        server = ServeProcess(BINARY, work, "--authorize", base + "/authorize", "--forward", base + "/uploaded")
        self.addCleanup(server.stop)
        with open(os.path.join(work, "f.bin"), "wb") as f:
            f.write(os.urandom(2000))
        jar = os.path.join(work, "jar")

        def upload():
            return curl(server.url, "-b", jar, "-c", jar, "-F", f"file=@{work}/f.bin")

        # step, status, text the client reads, files in alice's directory
        table = [
            (upload, 401, "Please log in before uploading.\n", 0),
            (lambda: curl(base + "/login?user=alice", "-b", jar, "-c", jar), 200, "Logged in as alice.\n", 0),
            (upload, 200, "Thank you, alice: stored f.bin.\n", 1),
            (upload, 413, "This upload needs", 1),  # 2000 more would pass the 3000-byte quota
        ]
        alice = os.path.join(server.dir, "users", "alice")
        for i, (step, status, text, files) in enumerate(table):
            with self.subTest(step=i):
                got, _, body, _ = step()
                self.assertEqual(got, status, body)
                self.assertTrue(body.decode().startswith(text), body)
                self.assertEqual(len([n for n in os.listdir(alice) if n != ".parcelmoor"]) if os.path.isdir(alice) else 0, files)

    def test_python(self):
        self.run_guide_application([sys.executable, "app.py"], ("app.py", guide_block("python")))

    def test_php(self):
        php = shutil.which("php")
        if not php:
            self.skipTest("php-cli is not installed (scripts/setup.sh installs it)")
        self.run_guide_application([php, "-S", "127.0.0.1:PORT", "app.php"], ("app.php", guide_block("php")))


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
