#!/usr/bin/env python3
"""What "stored" promises survives a power cut: traced with strace, each
file's data is synced (fdatasync) before it gets its final name, the upload
directory is synced (fsync) after the last name of the request, and both
happen before the answer's first byte; with sync off none of it happens.
serve and cgi sync unless --no-sync, store only with --sync. And a stored
file costs at most five file-system calls beside its data writes.

Usage: test_durability.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from upload_support import CONTENT_TYPE, ServeProcess, cgi_environment, connect, multipart, read_response

BINARY = os.environ.get("PARCELMOOR_BIN", "")
TRACED = "trace=fdatasync,fsync,sync_file_range,rename,renameat,renameat2,write,writev,sendto,sendmsg"
FILES = ["a.txt", "b.bin", "c.txt"]


def body():
    return multipart([("f%d" % i, name, (name * 5000).encode()) for i, name in enumerate(FILES)])


def events(trace_path, answer):
    """The traced calls in the order they completed, as (kind, detail);
    `answer` matches the call that writes the answer's first byte."""
    pending, found = {}, []
    with open(trace_path, errors="replace") as f:
        for line in f:
            m = re.match(r"(\d+)\s+(.*)", line.rstrip("\n"))
            if not m:
                continue
            pid, call = m.groups()
            if call.endswith("<unfinished ...>"):
                pending[pid] = call[:-len("<unfinished ...>")]
                continue
            resumed = re.match(r"<\.\.\. \w+ resumed>(.*)", call)
            if resumed:
                call = pending.pop(pid, "") + resumed.group(1)
            if not re.search(r"= (\d+)$", call):
                continue  # failed calls promise nothing
            if call.startswith("fdatasync("):
                found.append(("data", re.search(r"/\.parcelmoor/([0-9a-f]{32}\.part)>", call).group(1)))
            elif call.startswith("fsync("):
                found.append(("directory", re.search(r"<(.*)>", call).group(1)))
            elif call.startswith("sync_file_range("):
                found.append(("writeback", ""))
            elif call.startswith("rename"):
                names = re.findall(r'"([^"]*)"', call)
                found.append(("name", (os.path.basename(names[0]), os.path.basename(names[1]))))
            elif re.search(answer, call):
                found.append(("answer", ""))
    return found


class Durability(unittest.TestCase):

    def setUp(self):
        if not BINARY or not os.access(BINARY, os.X_OK):
            self.skipTest("no parcelmoor binary given")
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        self.work = tempfile.mkdtemp(prefix="parcelmoor-durability-")
        self.uploads = os.path.join(self.work, "uploads")
        os.mkdir(self.uploads)
        self.trace = os.path.join(self.work, "trace")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def strace(self):
        return ["strace", "-f", "-qq", "-y", "-s", "24", "-o", self.trace, "-e", TRACED]

    def run_serve(self, *options):
        # strace attaches to the running server (every thread), so that
        # stopping the server ends the trace and leaves nothing running.
        server = ServeProcess(BINARY, self.work, *options)
        tracer = None
        try:
            tracer = subprocess.Popen(["strace", "-f", "-y", "-s", "24", "-o", self.trace, "-e", TRACED,
                                       "-p", str(server.proc.pid)], stderr=subprocess.PIPE)
            tracer.stderr.readline()  # "Process N attached": traced from here on
            with connect(server.port) as s:
                data = body()
                s.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                           f"Accept: application/json\r\nContent-Length: {len(data)}\r\n\r\n").encode() + data)
                status = read_response(s)[0]
        finally:
            server.stop()
            if tracer:
                tracer.wait(30)
                tracer.stderr.close()
        self.assertEqual(status, 200)

    def run_cgi(self, *options):
        data = body()
        env = cgi_environment(self.uploads, len(data))
        out = subprocess.run([*self.strace(), BINARY, "cgi", *options], input=data, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)

    def run_store(self, *options):
        path = os.path.join(self.work, "body")
        with open(path, "wb") as f:
            f.write(body())
        out = subprocess.run([*self.strace(), BINARY, "store", "--dir", self.uploads, *options, path],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)

    def test_a_stored_file_costs_at_most_five_file_system_calls_beside_its_data(self):
        # Per file: the name lock, the create, the identity, the close and the
        # rename. Counted as the difference between two requests of many
        # files, so the process's start-up and what an upload pays once (such
        # as each of the name lock files its names need) drop out.
        file_calls = {"open", "openat", "openat2", "creat", "close", "stat", "lstat", "fstat", "newfstatat",
                      "statx", "access", "faccessat", "faccessat2", "fcntl", "flock", "name_to_handle_at",
                      "lseek", "rename", "renameat", "renameat2", "unlink", "unlinkat", "getcwd", "mkdir",
                      "mkdirat", "fsync", "fdatasync", "sync_file_range", "getdents64", "readlink"}

        def calls(files):
            directory = tempfile.mkdtemp(dir=self.work)
            path = os.path.join(self.work, "many")
            with open(path, "wb") as f:
                f.write(multipart([("f%d" % i, "n%d.bin" % i, b"x" * 3000) for i in range(files)]))
            summary = os.path.join(self.work, "summary")
            out = subprocess.run(["strace", "-f", "-c", "-o", summary, BINARY, "store", "--dir", directory, path],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertEqual(len([n for n in os.listdir(directory) if n != ".parcelmoor"]), files)
            total = 0
            with open(summary) as f:
                for line in f:
                    fields = line.split()
                    if len(fields) >= 5 and fields[-1] in file_calls and fields[3].isdigit():
                        total += int(fields[3])
            return total

        per_file = (calls(401) - calls(201)) / 200
        self.assertLessEqual(per_file, 5)
        self.assertGreaterEqual(per_file, 4, "the count caught the files' calls")

    def test_each_host_syncs_in_order_before_answering_unless_told_not_to(self):
        http = r'^(write|writev|sendto|sendmsg)\(\d+<(TCP|socket).*"HTTP/1\.1 '
        stdout = r"^(write|writev)\(1<"
        rows = [
            ("serve", self.run_serve, (), True, http),
            ("serve --no-sync", self.run_serve, ("--no-sync",), False, http),
            ("cgi", self.run_cgi, (), True, stdout),
            ("cgi --no-sync", self.run_cgi, ("--no-sync",), False, stdout),
            ("store --sync", self.run_store, ("--sync",), True, stdout),
            ("store", self.run_store, (), False, stdout),
        ]
        for why, run, options, syncs, answer in rows:
            with self.subTest(why):
                for name in os.listdir(self.uploads):
                    if name != ".parcelmoor":
                        os.remove(os.path.join(self.uploads, name))
                run(*options)
                seen = events(self.trace, answer)
                named = {final: (i, temporary) for i, (kind, (temporary, final)) in
                         ((i, e) for i, e in enumerate(seen) if e[0] == "name")}
                self.assertEqual(sorted(named), sorted(FILES), seen)
                synced = [kind for kind, _ in seen if kind in ("data", "directory", "writeback")]
                if not syncs:
                    self.assertEqual(synced, [], "nothing synced without sync")
                    continue
                last_name = max(i for i, _ in named.values())
                directory = [i for i, (kind, path) in enumerate(seen)
                             if kind == "directory" and os.path.realpath(path) == os.path.realpath(self.uploads)]
                answers = [i for i, (kind, _) in enumerate(seen) if kind == "answer"]
                self.assertTrue(answers, seen)
                for final, (at, temporary) in named.items():
                    self.assertIn(("data", temporary), seen[:at], f"{final}: data synced before its name")
                self.assertTrue(any(last_name < i < answers[0] for i in directory),
                                f"directory synced after the last name, before the answer: {seen}")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
