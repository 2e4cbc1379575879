#!/usr/bin/env python3
"""`parcelmoor serve --dir s3://BUCKET/PREFIX` against a Swift the test starts
on 127.0.0.1 (tests/support/swift_store.py): files arrive as exact objects,
an upload cut short or refused leaves the earlier object and nothing pending,
memory stays bounded by the part size, two instances share one bucket, a
store that is down or refuses is told apart, and the sweep aborts what a
killed server left pending, and a resumable upload waits on a local disk and
becomes an exact object at its last byte. Every check reads the store through
Swift's own API, never through parcelmoor.

Usage: test_s3_store.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import base64
import hashlib
import json
import os
import re
import select
import signal
import subprocess
import shutil
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from redis_server import RedisServer, redis_available  # noqa: E402
from swift_store import READER_KEY, SwiftStore, swift_available  # noqa: E402
from upload_support import BOUNDARY, CONTENT_TYPE, binary_content, connect, read_response, wait_until  # noqa: E402

BINARY = os.environ.get("PARCELMOOR_BIN", "")
BUCKET = "uploads"
MIB = 1 << 20
STORE = None
REASONS = {"store-refused": "the file store refused the file",
           "store-unreachable": "the file store could not be reached",
           "store-timeout": "the file store did not answer in time"}


def setUpModule():
    global STORE
    why = swift_available()
    if why:
        raise unittest.SkipTest(why)
    STORE = SwiftStore().__enter__()
    STORE.create_bucket(BUCKET)
    STORE.allow_read(BUCKET)


def tearDownModule():
    if STORE:
        STORE.__exit__(None, None, None)


class Serve:
    """`parcelmoor serve` storing into the test store under `prefix`."""

    def __init__(self, prefix, *extra, env=None):
        self.prefix = prefix
        environment = {**os.environ, **STORE.environment(), **(env or {})}
        self.proc = subprocess.Popen(
            [BINARY, "serve", "--bind", "127.0.0.1", "--port", "0", "--dir", f"s3://{BUCKET}/{prefix}",
             "--s3-endpoint", STORE.endpoint, *extra],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
        ready, _, _ = select.select([self.proc.stdout], [], [], 15)
        line = self.proc.stdout.readline() if ready else b""
        m = re.search(rb"http://127\.0\.0\.1:(\d+)/", line)
        if not m:
            self.proc.kill()
            raise RuntimeError(f"serve did not start: {line!r} {self.proc.stderr.read()!r}")
        self.port = int(m.group(1))

    def stop(self, sig=signal.SIGTERM):
        """Stops the server; returns its log (once)."""
        if self.proc.stderr.closed:
            return ""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        log = self.proc.stderr.read().decode(errors="replace")
        self.proc.wait(30)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return log


def file_part(name, data=b""):
    return (f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="f"; filename="{name}"\r\n'
            "Content-Type: application/octet-stream\r\n\r\n").encode() + data


END = f"\r\n--{BOUNDARY}--\r\n".encode()


def request_head(length):
    return (f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
            f"Accept: application/json\r\nContent-Length: {length}\r\n\r\n").encode()


def post(port, files):
    """Posts (name, bytes) files in one body; returns (status, JSON answer)."""
    body = b"\r\n".join(file_part(name, data) for name, data in files) + END
    with connect(port, timeout=120) as s:
        s.sendall(request_head(len(body)) + body)
        status, _, answer = read_response(s)
    return status, json.loads(answer)


def readiness(port):
    """GET /readyz: (status, the checks that failed)."""
    with connect(port) as s:
        s.sendall(b"GET /readyz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        status, _, answer = read_response(s)
    return status, sorted(json.loads(answer)["failed"])


def chunks(size, seed):
    """`size` bytes in 1 MiB chunks, each one different, never all in memory."""
    base = binary_content(MIB, seed)
    for i in range(0, size, MIB):
        yield (i.to_bytes(8, "big") + base[8:])[: min(MIB, size - i)]


def start_streaming(port, name, size, seed, send):
    """Opens a post of one `size`-byte file and sends its first `send` bytes;
    returns the socket and the SHA-256 object of what was sent."""
    s = connect(port, timeout=120)
    head = file_part(name)
    s.sendall(request_head(len(head) + size + len(END)) + head)
    digest, sent = hashlib.sha256(), 0
    for chunk in chunks(size, seed):
        if sent >= send:
            break
        s.sendall(chunk)
        digest.update(chunk)
        sent += len(chunk)
    return s, digest


def tus(port, method, path, headers=None, body=b""):
    """One request of the resumable protocol; returns (status, headers, body)."""
    lines = [f"{method} {path} HTTP/1.1", "Host: 127.0.0.1", "Tus-Resumable: 1.0.0",
             f"Content-Length: {len(body)}", "Connection: close"]
    lines += [f"{k}: {v}" for k, v in (headers or {}).items()]
    with connect(port, timeout=60) as s:
        s.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + body)
        return read_response(s)


def pending(prefix):
    return [key for key in STORE.pending_uploads(BUCKET) if key.startswith(prefix + "/")]


def object_sha256(key):
    data = STORE.get_object(BUCKET, key)
    return None if data is None else hashlib.sha256(data).hexdigest()


class S3StoreTest(unittest.TestCase):
    def test_files_become_exact_objects_under_s3_paths(self):
        serve = Serve("three")
        try:
            files = [("big.bin", binary_content(40 * MIB, 1)), ("empty.txt", b""), ("small.txt", b"small\r\n")]
            status, answer = post(serve.port, files)
            self.assertEqual(status, 200, answer)
            # A client is told keys within the prefix, never the bucket.
            self.assertEqual([f["storedPath"] for f in answer["files"]], [name for name, _ in files])
            for name, data in files:
                self.assertEqual(STORE.get_object(BUCKET, f"three/{name}"), data, name)
            self.assertEqual(pending("three"), [])
            self.assertEqual(readiness(serve.port), (200, []))  # the bucket answers a HEAD
        finally:
            serve.stop()

    def test_resumable_upload_waits_locally_and_becomes_an_object(self):
        # Without a local place for unfinished bytes, resumable uploads are off.
        serve = Serve("tus-off")
        try:
            self.assertEqual(tus(serve.port, "OPTIONS", "/files/")[0], 404)
        finally:
            self.assertIn("--resumable-dir", serve.stop())
        spool = tempfile.mkdtemp(prefix="parcelmoor-s3-spool-")
        serve = Serve("tus", "--resumable-dir", spool)
        try:
            data = binary_content(3 * MIB + 5, 9)
            name = base64.b64encode(b"resumed.bin").decode()
            status, headers, _ = tus(serve.port, "POST", "/files/",
                                     {"Upload-Length": str(len(data)), "Upload-Metadata": f"filename {name}"})
            self.assertEqual(status, 201)
            location = "/files/" + headers["location"]  # relative to the endpoint
            for at in range(0, len(data), 2 * MIB):
                status, _, _ = tus(serve.port, "PATCH", location, {
                    "Upload-Offset": str(at), "Content-Type": "application/offset+octet-stream"},
                    data[at:at + 2 * MIB])
                self.assertEqual(status, 204)
            self.assertEqual(STORE.get_object(BUCKET, "tus/resumed.bin"), data)
            status, _, report = tus(serve.port, "GET", location, {"Accept": "application/json"})
            self.assertEqual(json.loads(report)["files"][0]["storedPath"], "resumed.bin")  # relative, as any answer's
            self.assertEqual(pending("tus"), [])
            # Nothing of it is left waiting on the local disk.
            left = os.listdir(os.path.join(spool, ".parcelmoor", "resumable"))
            self.assertFalse([n for n in left if n.endswith(".data")], left)
        finally:
            serve.stop()
            shutil.rmtree(spool, ignore_errors=True)

    def test_upload_that_does_not_end_well_keeps_the_earlier_object(self):
        # Cut short by the client mid-file (parts already sent), and refused
        # at commit by --on-exists refuse: either way the multipart upload is
        # aborted and the object stored first is what the key names.
        earlier = binary_content(3 * MIB, 2)
        for how in ("cut short", "refused"):
            with self.subTest(how):
                serve = Serve("again", *(["--on-exists", "refuse"] if how == "refused" else []))
                try:
                    STORE.put_object(BUCKET, "again/same.bin", earlier)
                    if how == "cut short":
                        s, _ = start_streaming(serve.port, "same.bin", 40 * MIB, 3, send=20 * MIB)
                        s.close()
                    else:
                        status, answer = post(serve.port, [("same.bin", binary_content(20 * MIB, 3))])
                        self.assertEqual((status, answer["files"][0]["outcome"]), (409, "refused"), answer)
                    self.assertTrue(wait_until(lambda: pending("again") == [], 20), pending("again"))
                    self.assertEqual(STORE.get_object(BUCKET, "again/same.bin"), earlier)
                finally:
                    serve.stop()

    def test_keep_both_gives_the_next_free_key(self):
        serve = Serve("both", "--on-exists", "keep-both")
        try:
            STORE.put_object(BUCKET, "both/x.txt", b"earlier")
            # Two files of the name in one upload are both kept, as locally;
            # then a second upload.
            _, first = post(serve.port, [("x.txt", b"one"), ("x.txt", b"two")])
            _, second = post(serve.port, [("x.txt", binary_content(9 * MIB, 7))])
            self.assertEqual([f["storedPath"] for f in first["files"] + second["files"]],
                             ["x (1).txt", "x (2).txt", "x (3).txt"])
            keys = ("both/x.txt", "both/x (1).txt", "both/x (2).txt", "both/x (3).txt")
            self.assertEqual([STORE.get_object(BUCKET, k) for k in keys],
                             [b"earlier", b"one", b"two", binary_content(9 * MIB, 7)])
            self.assertEqual(pending("both"), [])
        finally:
            serve.stop()

    def test_half_a_gibibyte_in_bounded_memory(self):
        serve = Serve("large")
        try:
            size = 512 * MIB
            s, digest = start_streaming(serve.port, "half.bin", size, 4, send=size)
            s.sendall(END)
            status, _, answer = read_response(s)
            s.close()
            self.assertEqual(status, 200, answer)
            with open(f"/proc/{serve.proc.pid}/status") as f:
                peak_kib = int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))
            self.assertLess(peak_kib, 96 * 1024)
            self.assertEqual(object_sha256("large/half.bin"), digest.hexdigest())
        finally:
            serve.stop()

    def test_two_instances_share_one_bucket(self):
        # Ten uploads from one address: more than the default per client.
        servers = [Serve("shared", "--max-uploads-per-client", "10") for _ in range(2)]
        try:
            files = {f"f{i}.bin": binary_content((i + 1) * 700 * 1024 + i, 10 + i) for i in range(10)}
            results = {}

            def upload(i, name):
                results[name] = post(servers[i % 2].port, [(name, files[name])])

            threads = [threading.Thread(target=upload, args=(i, name)) for i, name in enumerate(files)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(120)
            self.assertEqual({name: status for name, (status, _) in results.items()}, {n: 200 for n in files})
            for name, data in files.items():
                self.assertEqual(STORE.get_object(BUCKET, f"shared/{name}"), data, name)
        finally:
            for server in servers:
                server.stop()

    @unittest.skipIf(redis_available(), redis_available())
    def test_one_name_at_once_on_two_instances_with_a_coordinator(self):
        # Ten pairs, each pair one name sent at once to both instances.
        with RedisServer() as redis:
            for on_exists in ("keep-both", "refuse"):
                with self.subTest(on_exists):
                    prefix = "claims-" + on_exists
                    servers = [Serve(prefix, "--on-exists", on_exists, "--max-uploads-per-client", "20",
                                     "--coordinator", redis.url) for _ in range(2)]
                    try:
                        data = {(i, side): binary_content(6 * MIB + side, 100 * i + side) for i in range(10) for side in (0, 1)}
                        results, start = {}, threading.Barrier(20)

                        def upload(i, side):
                            start.wait(30)
                            results[i, side] = post(servers[side].port, [(f"same{i}.bin", data[i, side])])

                        threads = [threading.Thread(target=upload, args=pair) for pair in data]
                        for t in threads:
                            t.start()
                        for t in threads:
                            t.join(180)
                        stored = {STORE.get_object(BUCKET, key) for key in STORE.list_objects(BUCKET, prefix + "/")}
                        if on_exists == "keep-both":
                            self.assertEqual({k: status for k, (status, _) in results.items()}, {k: 200 for k in data})
                            self.assertEqual(stored, set(data.values()))  # twenty objects, none lost
                        else:
                            for i in range(10):
                                statuses = [results[i, side][0] for side in (0, 1)]
                                self.assertEqual(sorted(statuses), [200, 409], i)
                                winner = data[i, statuses.index(200)]
                                self.assertEqual(STORE.get_object(BUCKET, f"{prefix}/same{i}.bin"), winner, i)
                            self.assertEqual(len(stored), 10)
                        self.assertEqual(pending(prefix), [])
                        self.assertEqual(redis.command("DBSIZE"), "0")  # every claim freed
                    finally:
                        for server in servers:
                            server.stop()

    def test_store_failures_are_told_apart(self):
        cases = [  # (how, status, reason word, what the log's note says, nothing left pending)
            # Credentials that may read the bucket (so serve starts) but not write.
            ("refuses the writer", 502, "store-refused", "AccessDenied", True),
            ("is down", 503, "store-unreachable", "Couldn't", True),
            # A request the store never answered may have begun an upload
            # nobody was told of: only the sweep, after the grace, ends it.
            ("hangs", 504, "store-timeout", "Timeout", False),
        ]
        for how, status, word, note, nothing_pending in cases:
            with self.subTest(how):
                env = {"AWS_ACCESS_KEY_ID": READER_KEY} if how == "refuses the writer" else None
                prefix = "failing-" + how.split()[-1]
                # Replacing asks nothing of the store before the first part
                # (keep-both looks for a free key at once): the failure comes
                # while the body streams.
                serve = Serve(prefix, "--s3-timeout", "2", "--on-exists", "replace", env=env)
                try:
                    down, up = {"is down": (STORE.stop_proxy, STORE.start_proxy),
                                "hangs": (STORE.pause_proxy, STORE.resume_proxy)}.get(how, (None, None))
                    if down:
                        down()
                    try:
                        # Readiness sees a store that is down; a HEAD of the bucket cannot
                        # tell that these credentials may read it but not write.
                        if how == "is down":
                            self.assertEqual(readiness(serve.port), (503, ["objectStore"]))
                        got, answer = post(serve.port, [("lost.bin", binary_content(10 * MIB, 5))])
                    finally:
                        if up:
                            up()
                    self.assertEqual((got, answer["files"][0]["outcome"], answer["reason"]),
                                     (status, "failed", REASONS[word]), answer)
                    log_line = [l for l in serve.stop().splitlines() if " POST / " in l]
                    self.assertEqual(len(log_line), 1)
                    self.assertIn(word, log_line[0])
                    self.assertIn(note, log_line[0])
                    self.assertEqual(STORE.get_object(BUCKET, f"{prefix}/lost.bin"), None)
                    if nothing_pending:
                        self.assertEqual(pending(prefix), [])
                finally:
                    serve.stop()

    def test_serve_stops_at_start_when_the_store_does_not_take_it(self):
        cases = [  # (how, --dir, environment, more options, what the one sentence says)
            ("missing bucket", "s3://no-such-bucket/p", {}, [], "the bucket no-such-bucket does not exist"),
            ("wrong credentials", f"s3://{BUCKET}/p", {"AWS_SECRET_ACCESS_KEY": "wrong"}, [], "refused the credentials"),
            ("silent coordinator", f"s3://{BUCKET}/p", {}, ["--coordinator", "redis://127.0.0.1:1"],
             "the coordinator at 127.0.0.1:1 could not be reached"),
        ]
        for how, directory, env, more, sentence in cases:
            with self.subTest(how):
                ran = subprocess.run([BINARY, "serve", "--port", "0", "--dir", directory, "--s3-endpoint", STORE.endpoint,
                                      *more], capture_output=True, timeout=60,
                                     env={**os.environ, **STORE.environment(), **env})
                self.assertEqual((ran.returncode, ran.stdout), (1, b""))
                lines = ran.stderr.decode().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertIn(sentence, lines[0])

    def test_sweep_aborts_what_a_killed_server_left_pending(self):
        serve = Serve("crash")
        s, _ = start_streaming(serve.port, "killed.bin", 60 * MIB, 6, send=30 * MIB)
        try:
            self.assertTrue(wait_until(lambda: pending("crash") == ["crash/killed.bin"], 20))
            serve.stop(signal.SIGKILL)
        finally:
            s.close()
        # The store rounds the time an upload began up to the next second:
        # one begun just now may look younger than a grace of 0.
        time.sleep(2)
        sweep = [BINARY, "sweep", "--dir", f"s3://{BUCKET}/crash", "--s3-endpoint", STORE.endpoint]
        environment = {**os.environ, **STORE.environment()}
        # Within the grace (a day by default) a pending upload may be a live one.
        kept = subprocess.run(sweep, capture_output=True, env=environment, timeout=60)
        self.assertEqual((kept.returncode, kept.stderr), (0, b""))
        self.assertEqual(pending("crash"), ["crash/killed.bin"])
        swept = subprocess.run(sweep + ["--s3-sweep-grace", "0"], capture_output=True, env=environment, timeout=60)
        self.assertEqual(swept.returncode, 0)
        self.assertIn(f"removed s3://{BUCKET}/crash/killed.bin (multipart upload", swept.stderr.decode())
        self.assertEqual(pending("crash"), [])


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
