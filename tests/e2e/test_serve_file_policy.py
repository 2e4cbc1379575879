#!/usr/bin/env python3
"""What `parcelmoor serve` and `parcelmoor cgi` make of each file by its own
bytes and name: a type not allowed by --allow-types (told from the content,
not the client's Content-Type or the extension) and a hidden name are
refused alone, the other files of the upload are kept. 127.0.0.1 only.

Usage: test_serve_file_policy.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zlib

from upload_support import (BOUNDARY, CONTENT_TYPE, ServeProcess, cgi_environment, connect, part_head, read_response,
                            stored_files)

BINARY = os.environ.get("PARCELMOOR_BIN", "")


def png(width=1, height=1):
    """A valid one-pixel PNG, made here rather than read from anywhere."""
    def chunk(kind, data):
        return (len(data).to_bytes(4, "big") + kind + data
                + zlib.crc32(kind + data).to_bytes(4, "big"))
    header = width.to_bytes(4, "big") + height.to_bytes(4, "big") + bytes([8, 2, 0, 0, 0])
    pixels = zlib.compress(b"\x00" + b"\xff\x00\x00" * width)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", pixels) + chunk(b"IEND", b"")


PNG = png()
HTML = b"<!DOCTYPE html>\n<html><head><title>x</title></head><body><script>alert(1)</script></body></html>\n"
TEXT = b"plain words\n"


def post(port, body):
    with connect(port) as s:
        s.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                   f"Accept: application/json\r\nContent-Length: {len(body)}\r\n\r\n").encode() + body)
        status, _, answer = read_response(s)
        return status, answer


def parts(*files):
    """(field, name, bytes) file parts between two text fields; the HTML
    claims image/png, as a hostile client would."""
    body = part_head("before") + b"1\r\n"
    for field, name, data in files:
        body += (f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="{field}"; filename="{name}"\r\n'
                 f"Content-Type: image/png\r\n\r\n").encode() + data + b"\r\n"
    return body + part_head("after") + b"2\r\n" + f"--{BOUNDARY}--\r\n".encode()


ROWS = [
    # why, options, files, status, refusal word, files left, each file's (outcome, reason part)
    ("HTML named .png under image/png: 415, the PNG and the text kept",
     ("--allow-types", "image/png,text/plain"),
     [("a", "pic.png", PNG), ("b", "evil.png", HTML), ("c", "notes.txt", TEXT)],
     415, "type-not-allowed", {"pic.png": PNG, "notes.txt": TEXT},
     [("stored", None), ("refused", "text/html"), ("stored", None)]),
    ("an image/* pattern takes the PNG; no type list takes anything",
     ("--allow-types", "image/*"), [("a", "pic.png", PNG)], 200, None, {"pic.png": PNG}, [("stored", None)]),
    ("without --allow-types the HTML is stored",
     (), [("b", "evil.png", HTML)], 200, None, {"evil.png": HTML}, [("stored", None)]),
    (".htaccess refused by default, the other file kept",
     (), [("a", ".htaccess", b"Options +ExecCGI\n"), ("c", "notes.txt", TEXT)],
     422, "hidden-name", {"notes.txt": TEXT}, [("refused", "beginning with '.'"), ("stored", None)]),
    (".htaccess stored with --allow-hidden-names",
     ("--allow-hidden-names",), [("a", ".htaccess", b"Options +ExecCGI\n")],
     200, None, {".htaccess": b"Options +ExecCGI\n"}, [("stored", None)]),
]


class FilePolicy(unittest.TestCase):

    def setUp(self):
        if not BINARY or not os.access(BINARY, os.X_OK):
            self.skipTest("no parcelmoor binary given")
        self.work = tempfile.mkdtemp(prefix="parcelmoor-file-policy-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def check(self, status, answer, uploads, row):
        why, _, _, want_status, word, left, outcomes = row
        self.assertEqual(status, want_status, answer[:300])
        page = json.loads(answer)
        self.assertEqual(page["status"], want_status)
        self.assertEqual([f["outcome"] for f in page["files"]], [o for o, _ in outcomes])
        for record, (_, reason) in zip(page["files"], outcomes):
            if reason:
                self.assertIn(reason, record["reason"])
        if not word:
            self.assertIsNone(page["reason"])
        self.assertEqual(stored_files(uploads), left)

    def test_each_row_through_serve(self):
        for i, row in enumerate(ROWS):
            why, options, files = row[:3]
            with self.subTest(why):
                os.makedirs(os.path.join(self.work, str(i)))
                server = ServeProcess(BINARY, os.path.join(self.work, str(i)), *options)
                try:
                    status, answer = post(server.port, parts(*files))
                    self.check(status, answer, server.dir, row)
                    if row[4]:
                        self.assertIn(f" {row[4]}", server.wait_log_lines(1)[0])
                finally:
                    self.assertEqual(server.stop(), 0)

    def test_a_refused_type_through_cgi(self):
        row = ROWS[0]
        uploads = os.path.join(self.work, "cgi")
        body = parts(*row[2])
        env = cgi_environment(uploads, len(body), HTTP_ACCEPT="application/json")
        out = subprocess.run([BINARY, "cgi", *row[1]], input=body, env=env, capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        head, _, answer = out.stdout.partition(b"\r\n\r\n")
        status = int(head.decode().split("Status:", 1)[1].split()[0])
        self.check(status, answer, uploads, row)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        BINARY = sys.argv.pop(1)
    unittest.main()
