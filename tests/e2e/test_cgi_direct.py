#!/usr/bin/env python3
"""`parcelmoor cgi` run directly, as a web server runs a CGI program: the
request's meta-variables in the environment, its body on standard input.

Usage: test_cgi_direct.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from upload_support import CONTENT_TYPE, binary_content, multipart, part_head, wait_until

BINARY = os.environ.get("PARCELMOOR_BIN", "")


class CgiDirect(unittest.TestCase):

    def setUp(self):
        if not BINARY or not os.access(BINARY, os.X_OK):
            self.skipTest("no parcelmoor binary given")
        self.work = tempfile.mkdtemp(prefix="parcelmoor-cgi-direct-")
        self.uploads = os.path.join(self.work, "uploads")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def run_cgi(self, method="POST", body=b"", length="auto", args=(), env=None, with_command=True, exit_code=0):
        """Runs one request; returns (status, headers dict, body, log text)."""
        environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "GATEWAY_INTERFACE": "CGI/1.1",
                       "REQUEST_METHOD": method, "SCRIPT_NAME": "/upload.cgi", "REMOTE_ADDR": "127.0.0.1",
                       "REMOTE_PORT": "40000", "SERVER_PROTOCOL": "HTTP/1.1", "PARCELMOOR_DIR": self.uploads,
                       "HTTP_ACCEPT": "application/json"}
        if method == "POST":
            environment["CONTENT_TYPE"] = CONTENT_TYPE
            if length == "auto":
                environment["CONTENT_LENGTH"] = str(len(body))
            elif length is not None:
                environment["CONTENT_LENGTH"] = str(length)
        environment.update(env or {})
        command = [BINARY, "cgi", *args] if with_command else [BINARY]
        out = subprocess.run(command, input=body, env=environment, capture_output=True, timeout=60)
        self.assertEqual(out.returncode, exit_code, out.stderr)
        head, sep, rest = out.stdout.partition(b"\r\n\r\n")
        self.assertTrue(sep, out.stdout[:200])
        headers = {}
        for line in head.decode("latin-1").split("\r\n"):
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        status = int(headers["status"].split()[0])
        if "content-length" in headers and method != "HEAD":
            self.assertEqual(int(headers["content-length"]), len(rest))
        return status, headers, rest, out.stderr.decode(errors="replace")

    def stored(self):
        if not os.path.isdir(self.uploads):
            return []
        private = os.path.join(self.uploads, ".parcelmoor")
        temporaries = [".parcelmoor/" + n for n in os.listdir(private) if n.endswith(".part")] \
            if os.path.isdir(private) else []
        return sorted([n for n in os.listdir(self.uploads) if n != ".parcelmoor"] + temporaries)

    def read_stored(self, name):
        with open(os.path.join(self.uploads, name), "rb") as f:
            return f.read()

    def test_get_answers_the_upload_page_and_creates_the_directory(self):
        for with_command in (True, False):   # GATEWAY_INTERFACE alone chooses cgi
            with self.subTest(with_command=with_command):
                status, headers, body, _ = self.run_cgi("GET", with_command=with_command)
                self.assertEqual(status, 200)
                self.assertTrue(headers["content-type"].startswith("text/html"))
                self.assertIn(b'id="files"', body)
                self.assertTrue(os.path.isdir(self.uploads))
        status, headers, body, _ = self.run_cgi("HEAD")
        self.assertEqual((status, body), (200, b""))
        status, headers, _, _ = self.run_cgi("PUT")
        self.assertEqual(status, 405)
        self.assertEqual(headers["allow"], "GET, HEAD, POST")
        # Every answer, refusals too, carries the browser security headers.
        self.assertEqual(headers["x-content-type-options"], "nosniff")
        self.assertEqual(headers["referrer-policy"], "same-origin")
        self.assertIn("frame-ancestors 'none'", headers["content-security-policy"])
        _, headers, _, _ = self.run_cgi("GET", args=("--frame-ancestors", "'self' https://portal.example.org"))
        self.assertIn("frame-ancestors 'self' https://portal.example.org", headers["content-security-policy"])

    def test_post_stores_fields_and_files_byte_for_byte(self):
        a, b = binary_content(150_000, 1), binary_content(2_000_000, 2)
        body = multipart([("title", None, b"hello"), ("f1", "a.bin", a), ("f2", "b b.bin", b)])
        # A directory given with a "." step: the report's paths are normalised.
        dotted = os.path.join(self.work, ".", "uploads")
        status, headers, answer, log = self.run_cgi(body=body, env={"PARCELMOOR_DIR": dotted})
        self.assertEqual(status, 200, answer[:500])
        self.assertTrue(headers["content-type"].startswith("application/json"))
        page = json.loads(answer)
        # The client is told names within the upload directory, never where it is.
        self.assertEqual([f["storedPath"] for f in page["files"]], ["a.bin", "b b.bin"])
        self.assertNotIn(self.uploads.encode(), answer)
        self.assertEqual([(i["name"], i["fileSize"]) for i in page["form"]],
                         [("title", 0), ("f1", len(a)), ("f2", len(b))])
        self.assertEqual(self.read_stored("a.bin"), a)
        self.assertEqual(self.read_stored("b b.bin"), b)
        self.assertIn("127.0.0.1:40000 POST /upload.cgi 200 body=%d items=3 files=2" % len(body), log)

    def test_optional_libraries_are_loaded_only_by_the_options_that_use_them(self):
        # A CGI program starts once per request: libcurl (with its ~30
        # dependencies), libmagic and hiredis are mapped only when asked for.
        optional = ("libcurl.so", "libmagic.so", "libhiredis.so")
        body = multipart([("f", "a.txt", b"plain text")])
        for args, wanted in [((), set()), (("--allow-types", "text/*"), {"libmagic.so"})]:
            with self.subTest(args=args):
                status, _, answer, log = self.run_cgi(body=body, args=args, env={"LD_DEBUG": "files"})
                self.assertEqual(status, 200, answer[:500])
                loaded = {lib for lib in optional if "file=" + lib in log}
                self.assertEqual(loaded, wanted)
                os.remove(os.path.join(self.uploads, "a.txt"))

    def test_html_answer_without_json_in_accept(self):
        body = multipart([("note", None, b"<i>x</i>")])
        status, headers, answer, _ = self.run_cgi(body=body, env={"HTTP_ACCEPT": "text/html,*/*;q=0.8"})
        self.assertEqual(status, 200)
        self.assertTrue(headers["content-type"].startswith("text/html"))
        self.assertIn(b"&lt;i&gt;x&lt;/i&gt;", answer)

    def test_html_result_page_gives_the_plain_reason_and_keeps_the_notice_as_a_detail(self):
        # why, body, settings, status, plain reason
        table = [
            ("a long field", multipart([("note", None, b"longer than four")]), {"PARCELMOOR_MAX_FIELD_SIZE": "4"},
             413, b"Why: a text field is longer than this server accepts."),
            ("a repeated field", multipart([("a", None, b"1"), ("b", None, b"2"), ("a", None, b"3")]), {},
             422, b"Why: the form sends a field name again after other fields"),
        ]
        for why, body, settings, status, reason in table:
            with self.subTest(why):
                got, _, page, _ = self.run_cgi(body=body, env={"HTTP_ACCEPT": "text/html", **settings})
                self.assertEqual(got, status, page[:500])
                self.assertIn(reason, page)
                # The component's notice is for scripts: a person reads plain words.
                self.assertNotIn(b"Error occured", page)

    def test_refused_requests_store_nothing(self):
        body = multipart([("f", "x.bin", b"data")])
        cases = [
            # why, run_cgi's arguments, status, body bytes read
            ("no CONTENT_LENGTH", dict(length=None), 411, 0),
            ("empty CONTENT_LENGTH", dict(length=""), 411, 0),
            ("CONTENT_LENGTH not a number", dict(length="12abc"), 400, 0),
            ("negative CONTENT_LENGTH", dict(length=-5), 400, 0),
            ("over PARCELMOOR_MAX_REQUEST_SIZE", dict(env={"PARCELMOOR_MAX_REQUEST_SIZE": "10"}), 413, 0),
            ("over --max-request-size", dict(args=("--max-request-size", "10")), 413, 0),
            # Only the first line's length ("--other" CR LF) is read.
            ("body not beginning with its boundary", dict(env={"CONTENT_TYPE": "multipart/form-data; boundary=other"}),
             400, 9),
        ]
        for name, kwargs, want, read in cases:
            with self.subTest(name):
                status, _, answer, log = self.run_cgi(body=body, **kwargs)
                self.assertEqual(status, want, answer)
                self.assertEqual(json.loads(answer)["status"], want)
                self.assertIn(f" {want} body={read} ", log)
                self.assertEqual(self.stored(), [])

    def test_body_shorter_than_announced_counts_as_a_lost_client(self):
        first = binary_content(100_000, 3)
        sent = (part_head("done", "complete.bin") + first + b"\r\n" + part_head("cut", "partial.bin")
                + binary_content(50_000, 4))
        for keep, want, outcomes in ((None, [], ["not stored", "not stored"]),
                                     ("1", ["complete.bin", "partial.bin"], ["stored", "not stored"])):
            with self.subTest(keep_partial=keep):
                env = {"PARCELMOOR_KEEP_PARTIAL": keep} if keep else {}
                status, _, answer, log = self.run_cgi(body=sent, length=len(sent) + 1000, env=env)
                self.assertEqual(status, 400)
                page = json.loads(answer)
                self.assertTrue(page["component"]["uploadAllFilesOrNone"] or keep)
                self.assertEqual([f["outcome"] for f in page["files"]], outcomes)
                self.assertEqual(page["files"][0]["bytesReceived"], 100_000)
                self.assertIn("client-gone", log)
                self.assertEqual(self.stored(), want)
                for name in want:
                    os.remove(os.path.join(self.uploads, name))

    def test_sigterm_from_the_web_server_ends_the_upload_as_a_lost_client(self):
        # A web server whose client went away stops its CGI program this way.
        sent = part_head("done", "complete.bin") + b"c" * 1000 + b"\r\n" + part_head("cut", "partial.bin") + b"p" * 5000
        env = {"PATH": "/usr/bin:/bin", "GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST",
               "CONTENT_TYPE": CONTENT_TYPE, "CONTENT_LENGTH": str(len(sent) + 100_000),
               "PARCELMOOR_DIR": self.uploads, "HTTP_ACCEPT": "application/json"}
        proc = subprocess.Popen([BINARY, "cgi"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env)
        try:
            proc.stdin.write(sent)
            proc.stdin.flush()
            # The cut file is being written (the first waits for its commit).
            self.assertTrue(wait_until(lambda: len(self.stored()) == 2, 10), self.stored())
            proc.send_signal(signal.SIGTERM)
            out, err = proc.communicate(timeout=10)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(10)
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(self.stored(), [])
        self.assertIn(b"client-gone", err)
        self.assertTrue(json.loads(out.partition(b"\r\n\r\n")[2])["component"]["uploadAllFilesOrNone"])

    def test_reads_never_past_content_length(self):
        data = binary_content(70_000, 5)
        body = multipart([("f", "exact.bin", data)])
        # Bytes after the announced length belong to nobody: a body reader
        # that took them would fail the parse or store them.
        status, _, answer, _ = self.run_cgi(body=body + b"TRAILING GARBAGE" * 1000, length=len(body))
        self.assertEqual(status, 200)
        page = json.loads(answer)
        self.assertEqual(page["component"], {"result": 1, "uploadAllFilesOrNone": False, "error": None,
                                             "releaseError": None})
        self.assertEqual(self.read_stored("exact.bin"), data)

    def test_settings_from_environment_and_options(self):
        big = b"x" * 5000
        body = multipart([("f", "big.bin", big), ("g", "small.bin", b"y" * 10)])
        cases = [
            ("limit only: the file is refused", {"PARCELMOOR_MAX_FILE_SIZE": "100"}, (), {}, 413, "deleted"),
            ("limit and cut", {"PARCELMOOR_MAX_FILE_SIZE": "100", "PARCELMOOR_CUT_MAX_FILE": "yes"}, (),
             {"big.bin": 100}, 200, "cut"),
            ("limit and delete, as before it was the default", {"PARCELMOOR_MAX_FILE_SIZE": "100",
                                                                "PARCELMOOR_DELETE_MAX_FILE": "yes"}, (),
             {}, 413, "deleted"),
            ("option wins over the environment", {"PARCELMOOR_MAX_FILE_SIZE": "100"},
             ("--max-file-size", "6000"), {"big.bin": 5000}, 200, "stored"),
        ]
        for name, env, args, want, want_status, big_outcome in cases:
            with self.subTest(name):
                status, _, answer, _ = self.run_cgi(body=body, env=env, args=args)
                self.assertEqual(status, want_status, answer)
                page = json.loads(answer)
                self.assertEqual([(f["fileName"], f["outcome"], f["bytesStored"]) for f in page["files"]],
                                 [("big.bin", big_outcome, want.get("big.bin", 0)), ("small.bin", "stored", 10)])
                self.assertEqual(page["filesStored"], 1 + ("big.bin" in want))
                sizes = {n: os.path.getsize(os.path.join(self.uploads, n)) for n in self.stored()}
                want = dict(want, **{"small.bin": 10})
                self.assertEqual(sizes, want)
                for n in self.stored():
                    os.remove(os.path.join(self.uploads, n))

    def test_malformed_setting_is_reported_not_guessed(self):
        status, _, answer, log = self.run_cgi("GET", env={"PARCELMOOR_MAX_FILE_SIZE": "lots"}, exit_code=1)
        self.assertEqual(status, 500)
        self.assertIn("PARCELMOOR_MAX_FILE_SIZE", log)
        self.assertNotIn(b"PARCELMOOR", answer)


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
