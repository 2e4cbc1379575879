#!/usr/bin/env python3
"""The example C host (examples/c_host) stores a body through the shared
library and reports the same outcome as `parcelmoor store --json`, with the
same files stored byte for byte; one run under valgrind (or, in a sanitizer
build, under AddressSanitizer) finds no leak and no invalid access.

Usage: test_c_host.py PARCELMOOR C_HOST LIBRARY [--sanitized]
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from upload_support import BOUNDARY, binary_content, multipart, part_head

PARCELMOOR, C_HOST, LIBRARY = (sys.argv[1:4] + ["", "", ""])[:3]
SANITIZED = "--sanitized" in sys.argv
CHUNK = 65535  # bytes the component asks of each read

ITEM_KEYS = ("name", "values", "multipleValues", "isFile", "fileName", "clientPath", "fileSize")
PAGE_KEYS = ("result", "error", "response", "uploadAllFilesOrNone", "releaseError")
# What the upload means for its sender, read from the upload object's UploadOutcome.
OUTCOME_KEYS = ("status", "reason", "filesStored")
# Each file's record, read by name from the upload object's FileRecords.
FILE_KEYS = ("field", "clientPath", "fileName", "storedPath", "bytesReceived", "bytesStored", "outcome", "reason")


def tricky_body():
    """Fields: multi-line, UTF-8, a line beginning with "--". Files: one across
    two chunk borders, one whose last byte, a lone CR, ends a chunk."""
    parts = [("note", None, "first line\r\n--not a delimiter\r\nthird: ünïcödé ✓".encode()),
             ("grüße", None, "naïve café".encode()),
             ("big", "big.bin", binary_content(2 * CHUNK + 5000, seed=13))]
    prefix = multipart(parts)[:-len(b"----\r\n") - len(BOUNDARY)] + part_head("cr", "ends-in-cr.txt")
    cr_file = binary_content(CHUNK - len(prefix) % CHUNK - 1, seed=7).replace(b"\r", b".") + b"\r"
    assert (len(prefix) + len(cr_file)) % CHUNK == 0
    return multipart(parts + [("cr", "ends-in-cr.txt", cr_file), ("tail", None, b"last")])


def records(page, directory):
    """The page's file records, each stored path relative to `directory`
    (the two runs store into directories of their own)."""
    out = []
    for f in page["files"]:
        record = {k: f[k] for k in FILE_KEYS}
        if record["storedPath"]:
            record["storedPath"] = os.path.relpath(record["storedPath"], directory)
        out.append(record)
    return out


class CHost(unittest.TestCase):

    def setUp(self):
        for path in (PARCELMOOR, C_HOST, LIBRARY):
            if not path or not os.path.exists(path):
                self.skipTest("binaries not given")
        self.work = tempfile.mkdtemp(prefix="parcelmoor-c-host-")
        self.body = os.path.join(self.work, "body")
        with open(self.body, "wb") as f:
            f.write(tricky_body())

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def stored(self, directory):
        return {name: open(os.path.join(directory, name), "rb").read() for name in os.listdir(directory)
                if name != ".parcelmoor"}

    def run_both(self, *limit, wrapper=(), body=None):
        by_store, by_host = os.path.join(self.work, "store"), os.path.join(self.work, "host")
        for d in (by_store, by_host):
            shutil.rmtree(d, ignore_errors=True)
            os.mkdir(d)
        store_args = ["--max-file-size", limit[0]] if limit else []
        body = body or self.body
        expected = subprocess.run([PARCELMOOR, "store", "--json", "--dir", by_store, *store_args, body],
                                  capture_output=True, timeout=60)
        got = subprocess.run([*wrapper, C_HOST, LIBRARY, body, by_host, *limit],
                             capture_output=True, timeout=300)
        self.assertEqual(got.returncode, expected.returncode, got.stderr.decode(errors="replace"))
        self.dirs = by_store, by_host
        return json.loads(expected.stdout), json.loads(got.stdout), self.stored(by_store), self.stored(by_host)

    def test_same_outcome_as_store(self):
        valgrind = ("valgrind", "--error-exitcode=99", "--leak-check=full",
                    "--errors-for-leak-kinds=definite,indirect", "-q")
        # (size limit, wrapper): whole files, checked for leaks and invalid
        # accesses (by valgrind, or by the sanitizers built in); the big file
        # cut at the limit.
        for limit, wrapper in (((), () if SANITIZED else valgrind), (("70000",), ())):
            with self.subTest(limit=limit, wrapper=wrapper[:1]):
                want, got, want_files, got_files = self.run_both(*limit, wrapper=wrapper)
                by_store, by_host = self.dirs
                self.assertEqual(got["status"], 200)
                self.assertEqual({k: got[k] for k in PAGE_KEYS + OUTCOME_KEYS},
                                 {k: want[k] for k in PAGE_KEYS + OUTCOME_KEYS})
                self.assertEqual([{k: i[k] for k in ITEM_KEYS} for i in got["form"]],
                                 [{k: i[k] for k in ITEM_KEYS} for i in want["form"]])
                self.assertEqual(len(want["form"]), 5)
                self.assertEqual(records(got, by_host), records(want, by_store))
                self.assertEqual([f["outcome"] for f in got["files"]], ["cut" if limit else "stored", "stored"])
                self.assertEqual(set(got_files), {"big.bin", "ends-in-cr.txt"})
                self.assertEqual(got_files, want_files)

    def test_failed_upload_tells_the_same_outcome(self):
        # A C host reads the outcome before the release; it must say what
        # `store` says after its release.
        whole = multipart([("a", None, b"1"), ("f", "f.bin", binary_content(5000, seed=3)), ("a", None, b"2")])
        cases = (("repeated field", whole, 422, 1), ("body ends inside the file", whole[:len(whole) // 2], 400, 1))
        for why, body, status, kept in cases:
            with self.subTest(why):
                path = os.path.join(self.work, "failed.body")
                with open(path, "wb") as f:
                    f.write(body)
                want, got, want_files, got_files = self.run_both(body=path)
                self.assertEqual((got["status"], got["filesStored"]), (status, kept))
                self.assertEqual({k: got[k] for k in OUTCOME_KEYS}, {k: want[k] for k in OUTCOME_KEYS})
                self.assertEqual(got_files, want_files)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
