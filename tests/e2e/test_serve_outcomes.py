#!/usr/bin/env python3
"""What `parcelmoor serve` answers for each way an upload can end: the HTTP
status, the plain reason in the JSON (in the shape docs/answer.schema.json
gives, and none of the component's own texts), the files left in the upload directory and the word the log line
names; and the default limits keeping the server's
memory flat against bodies built to exhaust it. 127.0.0.1 only.

Usage: test_serve_outcomes.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import base64
import contextlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.request

import jsonschema

from upload_support import (BOUNDARY, CONTENT_TYPE, ServeProcess, ServeTestCase, connect, multipart, part_head,
                            peak_rss_kib, read_response)

BINARY = os.environ.get("PARCELMOOR_BIN", "")
MIB = 1 << 20
SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "answer.schema.json")


def answer_schema():
    """docs/answer.schema.json, the JSON answer's published shape, checked as a schema first."""
    with open(SCHEMA) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def post(port, body_chunks, length, content_type=CONTENT_TYPE, accept="application/json"):
    """Sends the body from a thread of its own (the server may stop reading
    and close early) and returns the response read meanwhile."""
    with connect(port, timeout=60) as s:
        s.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {content_type}\r\n"
                   f"Accept: {accept}\r\nContent-Length: {length}\r\n\r\n").encode())

        def send():
            try:
                for chunk in body_chunks:
                    s.sendall(chunk)
            except OSError:
                pass  # the server answered and closed before the whole body

        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        status, _, body = read_response(s)
        try:
            s.shutdown(2)  # ends the sender's sendall
        except OSError:
            pass  # already reset by the server
        sender.join(60)
        return status, body


class Outcomes(ServeTestCase):
    # No reserve: the disk-full row fills a 1 MiB disk while the upload runs.
    server_args = ("--max-file-size", "100", "--min-free-space", "0")

    def test_each_outcome_has_its_status_reason_files_and_log_word(self):
        many = multipart([(f"n{i}", None, b"v") for i in range(10_001)])
        one = multipart([("f", "a.txt", b"a")])
        rows = [
            # why, body, content type, directory set-up, status, reason part, files left, log word,
            # each file's (outcome, bytes stored)
            ("file over the limit: refused, the answer names the files kept",
             multipart([("f", "big.bin", b"b" * 5000), ("g", "s.bin", b"s" * 10)]), CONTENT_TYPE, None,
             413, "so it was not kept; kept: s.bin", {"s.bin": 10}, "file-too-large", [("deleted", 0), ("stored", 10)]),
            ("two files of one name: both kept", multipart([("f", "d.txt", b"one"), ("g", "d.txt", b"three")]),
             CONTENT_TYPE, None, 200, None, {"d.txt": 3, "d (1).txt": 5}, None, [("stored", 3), ("stored", 5)]),
            ("a tab in a file name: the client's fault", multipart([("g", "s.bin", b"s"), ("f", "a\tb.txt", b"a")]),
             CONTENT_TYPE, None, 422, "file name is not allowed", {"s.bin": 1}, "bad-file-name",
             [("stored", 1), ("failed", 0)]),
            ("a name longer than the disk takes", multipart([("g", "s.bin", b"s"), ("f", "n" * 300, b"a")]),
             CONTENT_TYPE, None, 422, "file name is longer", {"s.bin": 1}, "bad-file-name",
             [("stored", 1), ("failed", 0)]),
            ("field over the default 1 MiB", multipart([("t", None, b"x" * (MIB + 1))]), CONTENT_TYPE, None,
             413, "text field", {}, "field-too-large", []),
            ("more parts than the default 10000", many, CONTENT_TYPE, None,
             413, "more parts", {}, "too-many-parts", []),
            ("not multipart", b"a=1&b=2", "application/x-www-form-urlencoded", None, 415, None, {}, None, None),
            ("multipart without a boundary", b"--x\r\n", "multipart/form-data", None, 415, None, {}, None, None),
            ("body not beginning with its boundary", b"\r\n" + one, CONTENT_TYPE,
             None, 400, "does not begin with the boundary", {}, "boundary-mismatch", []),
            ("another boundary than the body's", one, "multipart/form-data; boundary=other", None,
             400, "does not begin with the boundary", {}, "boundary-mismatch", []),
            ("quoted boundary", one, f'multipart/form-data; Boundary="{BOUNDARY}"', None,
             200, None, {"a.txt": 1}, None, [("stored", 1)]),
            ("header line over 2048 bytes", multipart([("n" * 2100, None, b"v")]), CONTENT_TYPE, None,
             400, "not well-formed", {}, "malformed", []),
            ("a field name sent again after another field", multipart([("a", None, b"1"), ("g", "s.bin", b"s"),
                                                                         ("a", None, b"2")]), CONTENT_TYPE, None,
             422, "field name again", {"s.bin": 1}, "repeated-field", [("stored", 1)]),
            ("refused file name", multipart([("g", "s.bin", b"s"), ("f", "..", b"a")]), CONTENT_TYPE, None,
             422, "file name is not allowed", {"s.bin": 1}, "bad-file-name", [("stored", 1), ("failed", 0)]),
            ("missing upload directory", one, CONTENT_TYPE, "missing",
             500, "does not exist", None, "no-directory", [("failed", 0)]),
            ("read-only upload directory", one, CONTENT_TYPE, "ro",
             500, "may not be written to", {}, "not-writable", [("failed", 0)]),
            # Files here are cut at 100 bytes: the disk is full of inodes instead.
            ("disk full", one, CONTENT_TYPE, "size=1m,nr_inodes=1",
             507, "disk is full", {}, "disk-full", [("failed", 0)]),
        ]
        schema = answer_schema()
        for i, (why, body, ctype, setup, status, reason, files, word, outcomes) in enumerate(rows):
            with self.subTest(why), self.directory(setup):
                got, answer = post(self.server.port, [body], len(body), ctype)
                self.assertEqual(got, status, answer[:300])
                page = json.loads(answer)
                schema.validate(page)  # every shape: reports, refusals
                # Plain words for a web client: the component's own texts
                # (calls of another system, markup, its spelling) stay with scripts.
                for text in (b"GetLastError", b"CreateFile", b"occured", b"<"):
                    self.assertNotIn(text, answer)
                if outcomes is not None:
                    self.assertEqual(page["status"], status)
                    self.assertEqual([(f["outcome"], f["bytesStored"]) for f in page["files"]], outcomes)
                    self.assertEqual(page["filesStored"], len(files or {}))
                    if reason:
                        self.assertIn(reason, page["reason"])
                    else:
                        self.assertIsNone(page["reason"])
                if files is not None:
                    left = {n: os.path.getsize(os.path.join(self.server.dir, n)) for n in self.server.stored()}
                    self.assertEqual(left, files)
                line = self.server.wait_log_lines(i + 1)[i]
                self.assertIn(f" {status} ", line)
                if word:
                    self.assertIn(f" {word}", line)
                for n in self.server.stored() if os.path.isdir(self.server.dir) else []:
                    os.remove(os.path.join(self.server.dir, n))

    @contextlib.contextmanager
    def directory(self, setup):
        """The upload directory removed ("missing") or replaced by a tmpfs
        mounted with `setup` as its options, for the duration."""
        if setup == "missing":
            shutil.rmtree(self.server.dir)
        elif setup:
            if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", setup, "tmpfs",
                                                    self.server.dir]).returncode != 0:
                self.skipTest("mounting a tmpfs needs root")
        try:
            yield
        finally:
            if setup == "missing":
                os.makedirs(self.server.dir)
            elif setup:
                subprocess.run(["umount", self.server.dir], check=True)


class DeleteMode(ServeTestCase):
    server_args = ("--max-file-size", "100", "--delete-max-file")

    def test_the_page_counts_the_deleted_file_out(self):
        body = multipart([("f", "big.bin", b"b" * 5000), ("f", "small.bin", b"s" * 10)])
        status, page = post(self.server.port, [body], len(body), accept="text/html")
        self.assertEqual(status, 413)
        text = page.decode()
        self.assertIn("1 of 2 files stored", text)
        self.assertRegex(text, r'<span class="name">big\.bin</span> <span class="outcome">\(deleted, 0 of 5000 bytes '
                               r'stored; field <span class="value">f</span>\)')
        self.assertEqual(self.server.stored(), ["small.bin"])
        self.assertIn(" files=1/2 ", self.server.wait_log_lines(1)[0])


class FreeSpaceReserve(unittest.TestCase):
    """--min-free-space on a 64 MiB disk with a 32 MiB reserve: what would
    leave less free is refused 507 before its body is read, for a post and a
    resumable creation alike; what leaves enough goes on."""

    def setUp(self):
        if not BINARY or not os.access(BINARY, os.X_OK):
            self.skipTest("no parcelmoor binary given")
        self.work = tempfile.mkdtemp(prefix="parcelmoor-reserve-")
        self.addCleanup(shutil.rmtree, self.work, True)
        uploads = os.path.join(self.work, "uploads")
        os.mkdir(uploads)
        if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", uploads]).returncode:
            self.skipTest("mounting a tmpfs needs root")
        self.addCleanup(subprocess.run, ["umount", "-l", uploads])
        self.server = ServeProcess(BINARY, self.work, "--min-free-space", "32M")
        self.addCleanup(self.server.stop)

    def test_reserve_refuses_before_reading_and_lets_smaller_uploads_through(self):
        TUS = {"Tus-Resumable": "1.0.0", "Upload-Metadata": "filename cmVzdW1hYmxlLmJpbg=="}  # resumable.bin
        small = multipart([("f", "small.bin", b"s" * 1000)])
        rows = [
            # why, method, path, headers, body sent, announced length, status
            ("a post that fits", "POST", "/", {"Content-Type": CONTENT_TYPE}, small, len(small), 200),
            ("a post announcing 40 MiB", "POST", "/", {"Content-Type": CONTENT_TYPE}, b"", 40 * MIB, 507),
            ("a creation that fits", "POST", "/files/", dict(TUS, **{"Upload-Length": str(16 * MIB)}), b"", 0, 201),
            ("a creation of 40 MiB", "POST", "/files/", dict(TUS, **{"Upload-Length": str(40 * MIB)}), b"", 0, 507),
        ]
        for why, method, path, headers, body, length, status in rows:
            with self.subTest(why), connect(self.server.port) as s:
                head = "".join(f"{k}: {v}\r\n" for k, v in headers.items())
                s.sendall(f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: application/json\r\n{head}"
                          f"Content-Length: {length}\r\n\r\n".encode() + body)
                got, _, answer = read_response(s)
                self.assertEqual(got, status, answer[:300])
        self.assertEqual(self.server.stored(), ["small.bin"])


class MemoryUnderDefaultLimits(ServeTestCase):

    def test_huge_field_and_two_million_parts_are_refused_with_flat_memory(self):
        block = b"x" * MIB
        head = part_head("t")
        tail = f"\r\n--{BOUNDARY}--\r\n".encode()
        field_length = len(head) + 256 * MIB + len(tail)
        field = [head] + [block] * 256 + [tail]

        part = part_head("p") + b"v\r\n"
        count = 2_000_000
        batch = part * 10_000
        parts_length = len(part) * count + len(f"--{BOUNDARY}--\r\n")
        parts = [batch] * (count // 10_000) + [f"--{BOUNDARY}--\r\n".encode()]

        for why, chunks, length in [("256 MiB field", field, field_length),
                                    ("2 million parts", parts, parts_length)]:
            with self.subTest(why):
                # The answer may be cut short by the reset that closing on an
                # unread body causes: its status line is what counts here.
                status, answer = post(self.server.port, iter(chunks), length)
                self.assertEqual(status, 413, answer[:300])
        self.assertEqual(self.server.stored(), [])
        lines = self.server.wait_log_lines(2)
        self.assertIn(" field-too-large", lines[0])
        self.assertIn(" too-many-parts", lines[1])
        peak = peak_rss_kib(self.server.proc.pid)
        with open(f"/proc/{self.server.proc.pid}/maps") as f:
            sanitized = "libasan" in f.read()
        # AddressSanitizer's quarantine and shadow memory are not the server's.
        self.assertLess(peak, (300 if sanitized else 32) * 1024, f"peak RSS {peak} KiB")


class CommandLine(unittest.TestCase):
    """Options as a user types them: sizes with units, refusals with exit
    status 2, names for --bind, the log's client behind a trusted proxy."""

    def setUp(self):
        if not BINARY or not os.access(BINARY, os.X_OK):
            self.skipTest("no parcelmoor binary given")
        self.work = tempfile.mkdtemp(prefix="parcelmoor-options-")
        self.body = os.path.join(self.work, "body")
        with open(self.body, "wb") as f:
            f.write(multipart([("f", "big.bin", b"b" * 5000)]))
        self.fields = os.path.join(self.work, "fields")
        with open(self.fields, "wb") as f:
            f.write(multipart([("note", None, b"longer than one byte")]))

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def run_binary(self, *args, env=None):
        return subprocess.run([BINARY, *args], capture_output=True, timeout=30, env=env)

    def test_options_are_typed_and_refused_with_exit_2(self):
        up = os.path.join(self.work, "up")
        os.makedirs(up)
        rows = [
            # 4G first: the 1K run after it leaves big.bin cut at 1024 bytes.
            (("store", "--dir", up, "--max-file-size", "4G", self.body), 0, b""),
            (("store", "--dir", up, "--max-file-size", "1K", self.body), 0, b""),
            # A missing directory is made, as serve and cgi make theirs; one
            # that cannot be made exits 1; an upload that stops exits 3.
            (("store", "--dir", up + "/missing/deeper", self.body), 0, b""),
            (("store", "--dir", self.body + "/under-a-file", self.body), 1, b"cannot use upload directory"),
            (("store", "--dir", up, "--max-field-size", "1", self.fields), 3, b"the upload stopped"),
            (("store", "--dir", up, "--max-file-size", "-5", self.body), 2, b"--max-file-size needs a byte count"),
            (("store", "--dir", up, "--max-file-size", "12x", self.body), 2, b"not '12x'"),
            (("store", "--dir", up, "--max-field-size", "3G", self.body), 2, b"at most 2147483647"),
            (("serve", "--max-parts", "-1"), 2, b"--max-parts"),
            (("serve", "--allow-types", "png"), 2, b"--allow-types: 'png' is not a type"),
            (("serve", "--bind", "nosuch.invalid", "--port", "0"), 2, b"cannot resolve --bind"),
            (("-v",), 2, b"parcelmoor: unrecognised option '-v'"),
            (("--version",), 0, b""),
        ]
        for args, code, message in rows:
            with self.subTest(" ".join(args[:3])):
                out = self.run_binary(*args)
                self.assertEqual(out.returncode, code, out.stderr)
                self.assertIn(message, out.stderr)
        self.assertEqual(os.path.getsize(os.path.join(up, "big.bin")), 1024)
        self.assertIn("big.bin", os.listdir(os.path.join(up, "missing", "deeper")))
        # A relative --dir is reported from the root, for applications that run elsewhere.
        out = subprocess.run([BINARY, "store", "--dir", "up", "--json", self.body], cwd=self.work,
                             capture_output=True, timeout=30)
        self.assertEqual(json.loads(out.stdout)["files"][0]["storedPath"], os.path.join(up, "big.bin"))
        self.assertRegex(self.run_binary("--version").stdout, rb"^parcelmoor \d+\.\d+")

    def test_store_json_lists_every_item_whole_with_the_bytes_of_what_is_not_utf8(self):
        # Past the 4 KiB a value and the 1 MiB an answer holds for a client,
        # and names, values and a file name that are not UTF-8.
        big = bytes(range(32, 127)) * (2 * MIB // 95 + 1)
        bad_name, bad_value, bad_file = b"n\xff\xfe", b"v\xc3(\x80", b"f\xe9.bin"
        disposition = b'Content-Disposition: form-data; name="%s"'
        body = b"".join(f"--{BOUNDARY}\r\n".encode() + disposition % name +
                        (b'; filename="%s"\r\nContent-Type: application/octet-stream' % file if file else b"") +
                        b"\r\n\r\n" + data + b"\r\n"
                        for name, file, data in [*((b"i%d" % i, None, b"x" * 500) for i in range(3000)),
                                                 (b"big", None, big), (bad_name, None, bad_value),
                                                 (b"up", bad_file, b"content")])
        with open(self.body, "wb") as f:
            f.write(body + f"--{BOUNDARY}--\r\n".encode())
        out = self.run_binary("store", "--json", "--dir", os.path.join(self.work, "up"), self.body)
        self.assertEqual(out.returncode, 0, out.stderr)
        page = json.loads(out.stdout)
        self.assertFalse(page["formCut"])
        form = page["form"]
        self.assertEqual(len(form), 3003)
        self.assertEqual([(i["name"], i["values"], i["valuesCut"]) for i in form[:3000]],
                         [(f"i{i}", ["x" * 500], False) for i in range(3000)])
        self.assertEqual(form[3000]["values"], [big.decode()])
        self.assertNotIn("valuesBase64", form[3000])
        decoded = [base64.b64decode(form[3001]["nameBase64"]), base64.b64decode(form[3001]["valuesBase64"][0]),
                   base64.b64decode(form[3002]["fileNameBase64"])]
        self.assertEqual(decoded, [bad_name, bad_value, bad_file])
        self.assertIn(os.fsdecode(bad_file), os.listdir(os.path.join(self.work, "up")))

    def test_bind_takes_a_name_and_the_log_believes_only_a_trusted_proxy(self):
        server = subprocess.Popen([BINARY, "serve", "--bind", "localhost", "--port", "0", "--dir", self.work,
                                   "--max-file-size", "4G", "--cut-max-file"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            url = re.match(rb"^parcelmoor serving (http://(127\.0\.0\.1|\[::1\]):\d+/)", server.stdout.readline())
            self.assertTrue(url)
            with urllib.request.urlopen(url.group(1).decode(), timeout=30) as page:
                self.assertIn(b"files up to 4 GiB (larger ones are cut at that size)", page.read())
        finally:
            server.terminate()
            self.assertEqual(server.wait(30), 0)
            server.stdout.close()
        env = {"PATH": os.environ.get("PATH", ""), "GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET",
               "REMOTE_ADDR": "127.0.0.1", "REMOTE_PORT": "4000", "HTTP_X_FORWARDED_FOR": "198.51.100.9, 203.0.113.7",
               "PARCELMOOR_DIR": os.path.join(self.work, "cgi")}
        for args, client in [((), "127.0.0.1:4000"), (("--trusted-proxy", "127.0.0.1"), "203.0.113.7")]:
            log = self.run_binary("cgi", *args, env=env).stderr.decode()
            self.assertRegex(log, r"Z " + re.escape(client) + " GET ")


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        BINARY = ServeTestCase.binary = sys.argv.pop(1)
    unittest.main(verbosity=2)
