#!/usr/bin/env python3
"""Files are written under a random temporary name in the upload directory's
private .parcelmoor directory and committed by rename: what a killed upload
leaves is swept (at once, no grace), a live writer's temporary is not, a
user's file is never swept whatever its name, cgi sweeps only on an upload
and then only every few minutes, a second upload of a name being written is
refused (32), and a full disk keeps nothing truncated while the earlier file
survives.

Usage: test_commit.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from upload_support import CONTENT_TYPE, cgi_environment, kill_process, multipart, part_head, wait_until

BINARY = os.environ.get("PARCELMOOR_BIN", "")


class Commit(unittest.TestCase):

    def setUp(self):
        if not BINARY or not os.access(BINARY, os.X_OK):
            self.skipTest("no parcelmoor binary given")
        self.work = tempfile.mkdtemp(prefix="parcelmoor-commit-")
        self.uploads = os.path.join(self.work, "uploads")
        os.mkdir(self.uploads)

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def environment(self, length, directory=None):
        # A user's file may be named like a temporary of old: hidden names are let in.
        # Replacing is the mode with a share rule between writers of one name.
        return cgi_environment(directory or self.uploads, length, HTTP_ACCEPT="application/json",
                               PARCELMOOR_ALLOW_HIDDEN_NAMES="yes", PARCELMOOR_ON_EXISTS="replace",
                               PARCELMOOR_MIN_FREE_SPACE="0")  # the full-disk case fills a 1 MiB disk

    def start_writer(self, name, directory=None, fill=b"w"):
        """A cgi upload of `name` that has sent part of its file and waits."""
        sent = part_head("f", name) + fill * 4000
        proc = subprocess.Popen([BINARY, "cgi"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.environment(len(sent) + 100_000, directory))
        proc.stdin.write(sent)
        proc.stdin.flush()
        self.addCleanup(kill_process, proc)
        return proc

    def private(self, *name):
        return os.path.join(self.uploads, ".parcelmoor", *name)

    def temporaries(self):
        if not os.path.isdir(self.private()):
            return []
        return [n for n in os.listdir(self.private()) if re.fullmatch(r"[0-9a-f]{32}\.part", n)]

    def first_byte(self, temporary):
        with open(self.private(temporary), "rb") as f:
            return f.read(1)

    def run_cgi(self, body, directory=None):
        out = subprocess.run([BINARY, "cgi"], input=body, env=self.environment(len(body), directory),
                             capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        return out.stdout.partition(b"\r\n\r\n")[2].decode(errors="replace"), out.stderr.decode(errors="replace")

    def test_a_killed_upload_is_swept_and_a_live_one_or_a_users_file_never(self):
        user_file = ".parcelmoor-notes-0123456789abcdef.part"
        answer, _ = self.run_cgi(multipart([("f", user_file, b"notes"), ("g", "report.txt", b"earlier")]))
        self.assertIn('"outcome":"stored"', answer)
        # The first upload swept (nothing to sweep) and set the stamp.
        self.assertTrue(os.path.exists(self.private("swept")))
        killed = self.start_writer("report.txt", fill=b"k")
        self.assertTrue(wait_until(lambda: len(self.temporaries()) == 1, 10), self.temporaries())
        killed.send_signal(signal.SIGKILL)
        killed.wait(10)
        live = self.start_writer("other.bin", fill=b"l")
        self.assertTrue(wait_until(lambda: len(self.temporaries()) == 2, 10), self.temporaries())

        # Within the interval another upload's start does not sweep again.
        _, log = self.run_cgi(multipart([("f", "new.txt", b"new")]))
        self.assertNotIn("removed", log)
        self.assertEqual(len(self.temporaries()), 2)
        # The sweep command removes the killed writer's temporary at once.
        out = subprocess.run([BINARY, "sweep", "--dir", self.uploads], capture_output=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(b"removed", out.stderr)
        self.assertEqual([self.first_byte(n) for n in self.temporaries()], [b"l"])
        self.assertEqual(sorted(n for n in os.listdir(self.uploads) if n != ".parcelmoor"),
                         [user_file, "new.txt", "report.txt"])
        with open(os.path.join(self.uploads, "report.txt"), "rb") as f:
            self.assertEqual(f.read(), b"earlier")
        with open(os.path.join(self.uploads, user_file), "rb") as f:
            self.assertEqual(f.read(), b"notes")
        live.send_signal(signal.SIGTERM)
        live.wait(10)
        self.assertEqual(self.temporaries(), [])

    def test_an_upload_named_like_anothers_temporary_cannot_replace_it(self):
        victim = self.start_writer("report.txt", fill=b"v")
        self.assertTrue(wait_until(lambda: len(self.temporaries()) == 1, 10), self.temporaries())
        # The attacker even knows the temporary's name (no client can).
        for name in (self.temporaries()[0], ".parcelmoor-report.txt-0123456789abcdef.part"):
            answer, _ = self.run_cgi(multipart([("f", name, b"EVIL")]))
            self.assertIn('"outcome":"stored"', answer)
        close = b"\r\n--" + CONTENT_TYPE.split("boundary=")[1].encode() + b"--\r\n"
        rest = b"v" * (100_000 - len(close))
        victim.stdin.write(rest + close)
        victim.stdin.close()
        self.assertEqual(victim.wait(30), 0)
        with open(os.path.join(self.uploads, "report.txt"), "rb") as f:
            self.assertEqual(f.read(), b"v" * 4000 + rest)

    def test_a_get_never_sweeps(self):
        env = self.environment(0)
        env["REQUEST_METHOD"] = "GET"
        out = subprocess.run([BINARY, "cgi"], env=env, capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertFalse(os.path.exists(self.private("swept")))

    def test_a_name_another_process_writes_is_refused_with_32(self):
        writer = self.start_writer("same.bin")
        self.assertTrue(wait_until(lambda: len(self.temporaries()) == 1, 10))
        answer, _ = self.run_cgi(multipart([("f", "same.bin", b"second")]))
        # Refused at open, told plainly, and nothing of the second body stored.
        self.assertIn("another upload is writing a file of the same name", answer)
        self.assertIn('"fileSize":0', answer)
        close = b"\r\n--" + CONTENT_TYPE.split("boundary=")[1].encode() + b"--\r\n"
        rest = b"x" * (100_000 - len(close))  # the writer announced 100,000 bytes more
        writer.stdin.write(rest + close)
        writer.stdin.close()
        self.assertEqual(writer.wait(30), 0)
        with open(os.path.join(self.uploads, "same.bin"), "rb") as f:
            self.assertEqual(f.read(), b"w" * 4000 + rest)

    def test_a_full_disk_keeps_nothing_truncated(self):
        if os.geteuid() != 0 or shutil.which("mount") is None:
            self.skipTest("mounting a small tmpfs needs root")
        small = os.path.join(self.work, "small")
        os.mkdir(small)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", small]).returncode != 0:
            self.skipTest("this system does not let the test mount a tmpfs")
        self.addCleanup(subprocess.run, ["umount", small])
        with open(os.path.join(small, "big.bin"), "wb") as f:
            f.write(b"earlier")
        for size, why in ((2 << 20, "in the middle of the body"), ((1 << 20) + 20_000, "in its last read")):
            body = multipart([("f", "big.bin", b"b" * size)])
            answer, _ = self.run_cgi(body, small)
            self.assertIn('"reason":"the disk is full', answer, why)
            self.assertEqual(sorted(os.listdir(small)), [".parcelmoor", "big.bin"], why)
            self.assertEqual([n for n in os.listdir(os.path.join(small, ".parcelmoor")) if n.endswith(".part")],
                             [], why)
            with open(os.path.join(small, "big.bin"), "rb") as f:
                self.assertEqual(f.read(), b"earlier", why)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
