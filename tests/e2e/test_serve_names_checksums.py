#!/usr/bin/env python3
"""What `parcelmoor serve` does with a name already stored (--on-exists) and
the SHA-256 it gives each stored file (--checksum). 127.0.0.1 only.

Usage: test_serve_names_checksums.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import hashlib
import json
import os
import shutil
import sys
import tempfile
import unittest

from upload_support import BOUNDARY, CONTENT_TYPE, ServeProcess, connect, read_response, stored_files

BINARY = os.environ.get("PARCELMOOR_BIN", "")
EARLIER = b"the earlier file\n"
MANY_CHUNKS = bytes(range(256)) * 4096 + b"tail"   # hashed while later chunks arrive
LATER = b"the later file, a little longer\n"


def body_of(*files):
    body = b""
    for name, data in files:
        body += (f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="f"; filename="{name}"\r\n'
                 f"Content-Type: application/octet-stream\r\n\r\n").encode() + data + b"\r\n"
    return body + f"--{BOUNDARY}--\r\n".encode()


def head_of(body):
    return (f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
            f"Accept: application/json\r\nContent-Length: {len(body)}\r\n\r\n").encode()


def post(port, body):
    with connect(port) as s:
        s.sendall(head_of(body) + body)
        status, _, answer = read_response(s)
        return status, json.loads(answer)


ON_EXISTS_ROWS = [
    # why, options, status, outcome, stored name of the later file, what the directory holds
    ("replace puts the later file under the name", ("--on-exists", "replace"), 200, "stored", "x.txt",
     {"x.txt": LATER}),
    ("keep-both (the default) stores the later file beside the earlier", (), 200, "stored",
     "x (1).txt", {"x.txt": EARLIER, "x (1).txt": LATER}),
    ("refuse keeps the earlier file's bytes and answers 409", ("--on-exists", "refuse"), 409, "refused", None,
     {"x.txt": EARLIER}),
]

CHECKSUM_ROWS = [
    # why, options, file bytes, bytes expected on disk (None: no checksum wanted)
    ("on by default: the digest of the stored bytes", (), b"abc" * 1000, b"abc" * 1000),
    ("a cut file: the digest of the bytes kept", ("--max-file-size", "100", "--cut-max-file"), bytes(range(256)),
     bytes(range(100))),
    ("--checksum none gives none", ("--checksum", "none"), b"abc", None),
    ("a file of many chunks", (), MANY_CHUNKS, MANY_CHUNKS),
    ("a file of many chunks cut in mid-chunk", ("--max-file-size", "300000", "--cut-max-file"), MANY_CHUNKS,
     MANY_CHUNKS[:300000]),
]


class NamesAndChecksums(unittest.TestCase):

    def setUp(self):
        if not BINARY or not os.access(BINARY, os.X_OK):
            self.skipTest("no parcelmoor binary given")
        self.work = tempfile.mkdtemp(prefix="parcelmoor-names-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def serve(self, name, *options):
        os.makedirs(os.path.join(self.work, name))
        return ServeProcess(BINARY, os.path.join(self.work, name), *options)

    def test_each_on_exists_mode(self):
        # A name taken by an earlier upload, or by an earlier file of the same
        # upload, is settled alike.
        for i, ((why, options, status, outcome, name, left), together) in enumerate(
                (row, together) for row in ON_EXISTS_ROWS for together in (False, True)):
            with self.subTest(why, in_one_request=together):
                server = self.serve(f"exists{i}", *options)
                try:
                    if together:
                        got, page = post(server.port, body_of(("x.txt", EARLIER), ("x.txt", LATER)))
                        self.assertEqual(page["files"][0]["outcome"], "not stored" if name == "x.txt" else "stored")
                    else:
                        self.assertEqual(post(server.port, body_of(("x.txt", EARLIER)))[0], 200)
                        got, page = post(server.port, body_of(("x.txt", LATER)))
                    self.assertEqual(got, status, page)
                    record = page["files"][-1]
                    self.assertEqual(record["outcome"], outcome)
                    if name:
                        self.assertEqual(os.path.basename(record["storedPath"]), name)
                    else:
                        self.assertIsNone(record["storedPath"])
                        self.assertIn("a file of that name exists", record["reason"])
                        self.assertIn(" name-exists", server.wait_log_lines(1 if together else 2)[-1])
                    self.assertEqual(stored_files(server.dir), left)
                finally:
                    self.assertEqual(server.stop(), 0)

    def test_two_simultaneous_uploads_of_one_name_both_kept(self):
        server = self.serve("simultaneous", "--on-exists", "keep-both")
        try:
            bodies = [body_of(("same.txt", EARLIER)), body_of(("same.txt", LATER))]
            sockets = [connect(server.port) for _ in bodies]
            # Both files are begun before either body ends, so both commits
            # race for the one name.
            for s, body in zip(sockets, bodies):
                s.sendall(head_of(body) + body[:-40])
            pages = []
            for s, body in zip(sockets, bodies):
                s.sendall(body[-40:])
                status, _, answer = read_response(s)
                s.close()
                self.assertEqual(status, 200, answer[:300])
                pages.append(json.loads(answer)["files"][0])
            names = {os.path.basename(p["storedPath"]) for p in pages}
            self.assertEqual(names, {"same.txt", "same (1).txt"})
            self.assertEqual(sorted(stored_files(server.dir).values()), sorted([EARLIER, LATER]))
        finally:
            self.assertEqual(server.stop(), 0)

    def test_sha256_equals_the_stored_bytes(self):
        for i, (why, options, data, kept) in enumerate(CHECKSUM_ROWS):
            with self.subTest(why):
                server = self.serve(f"sum{i}", *options)
                try:
                    _, page = post(server.port, body_of(("d.bin", data)))
                    record = page["files"][0]
                    # Answers name files within the upload directory.
                    with open(os.path.join(server.dir, record["storedPath"]), "rb") as f:
                        on_disk = f.read()
                    if kept is None:
                        self.assertNotIn("sha256", record)
                    else:
                        self.assertEqual(on_disk, kept)
                        self.assertEqual(record["sha256"], hashlib.sha256(on_disk).hexdigest())
                finally:
                    self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        BINARY = sys.argv.pop(1)
    unittest.main()
