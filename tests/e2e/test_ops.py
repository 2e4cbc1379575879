#!/usr/bin/env python3
"""`parcelmoor serve` run as a service: /healthz and /readyz, /metrics read
by Debian's Prometheus client parser as a scraper would, the JSON log, a
start that refuses a bad --resumable-dir, and a stop signal during a running
upload (it completes, a queued one is refused with Retry-After, new
connections are refused). 127.0.0.1 and temporary directories only.

Usage: test_ops.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from upload_support import (CONTENT_TYPE, ServeProcess, connect, multipart, read_response,  # noqa: E402
                            wait_until)
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

BINARY = os.environ.get("PARCELMOOR_BIN", "")


def get(port, path, headers=""):
    with connect(port) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n{headers}Connection: close\r\n\r\n".encode())
        return read_response(s)


def post_head(length, extra=""):
    return (f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\nAccept: application/json\r\n"
            f"Content-Length: {length}\r\n{extra}\r\n").encode()


def samples(text):
    """{(name, frozenset(labels)): value} of every sample, as the parser reads them."""
    out = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            out[(s.name, frozenset(s.labels.items()))] = s.value
    return out


def value(all_samples, name, **labels):
    return all_samples.get((name, frozenset(labels.items())), 0.0)


class Ops(unittest.TestCase):

    def setUp(self):
        if not BINARY or not os.access(BINARY, os.X_OK):
            self.skipTest("no parcelmoor binary given")
        self.work = tempfile.mkdtemp(prefix="parcelmoor-ops-")
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            server.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def start(self, *extra):
        server = ServeProcess(BINARY, self.work, *extra)
        self.servers.append(server)
        return server

    def test_metrics_move_with_an_upload(self):
        server = self.start("--metrics-bind", "127.0.0.1:0", "--metrics-token", "s3cret", "--max-file-size", "10",
                            "--cut-max-file")
        metrics_port = int(re.search(r"metrics at http://127\.0\.0\.1:(\d+)/metrics", server.capacity).group(1))
        before = samples(get(metrics_port, "/metrics")[2].decode())
        body = multipart([("note", None, b"hi"), ("a", "small.txt", b"12345"), ("b", "large.txt", b"x" * 50)])
        with connect(server.port) as s:
            s.sendall(post_head(len(body), "Connection: close\r\n") + body)
            self.assertEqual(read_response(s)[0], 200)  # the large file is cut, which counts as stored
        wait_until(lambda: len(server.log_lines()) >= 1, 5)
        after = samples(get(metrics_port, "/metrics")[2].decode())
        moved = {
            ("parcelmoor_requests_total", (("route", "/"), ("method", "POST"), ("status", "200"))): 1,
            ("parcelmoor_files_stored_total", ()): 2,
            ("parcelmoor_request_body_received_bytes_total", ()): len(body),
            ("parcelmoor_upload_size_bytes_count", (("route", "/"),)): 1,
            ("parcelmoor_upload_size_bytes_sum", (("route", "/"),)): len(body),
            ("parcelmoor_request_duration_seconds_count", (("route", "/"),)): 1,
        }
        for (name, labels), delta in moved.items():
            with self.subTest(name):
                self.assertEqual(value(after, name, **dict(labels)) - value(before, name, **dict(labels)), delta)
        self.assertEqual(value(after, "parcelmoor_uploads_running"), 0)
        # The main port answers the metrics only to the token's bearer.
        rows = [("", 401), ("Authorization: Bearer wrong\r\n", 401), ("Authorization: Bearer s3cret\r\n", 200)]
        for headers, status in rows:
            with self.subTest(headers=headers):
                self.assertEqual(get(server.port, "/metrics", headers)[0], status)

    def test_health_readiness_and_the_json_log(self):
        server = self.start("--log-format", "json")
        status, headers, body = get(server.port, "/readyz")
        self.assertEqual((status, json.loads(body)), (200, {"ready": True, "failed": {}}))
        shutil.rmtree(server.dir)  # the upload directory goes: not ready, but alive
        self.assertTrue(wait_until(lambda: get(server.port, "/readyz")[0] == 503, 5))
        status, headers, body = get(server.port, "/readyz")
        self.assertIn("uploadDirectory", json.loads(body)["failed"])
        self.assertIn("retry-after", headers)
        self.assertEqual(get(server.port, "/healthz")[0], 200)
        os.makedirs(server.dir)
        self.assertTrue(wait_until(lambda: get(server.port, "/readyz")[0] == 200, 5))
        self.assertEqual(get(server.port, "/metrics")[0], 404)  # no metrics asked for
        server.stop()
        with open(server.log_path) as f:
            events = [json.loads(line) for line in f]  # every line is JSON
        self.assertEqual([events[0]["event"], events[-1]["event"]], ["start", "stopped"])
        self.assertIn("files to " + server.dir, events[0]["policies"])
        requests = [e for e in events if e["event"] == "request"]
        self.assertGreaterEqual(len(requests), 6)
        metrics = next(e for e in requests if e["path"] == "/metrics")
        self.assertEqual({k: metrics[k] for k in ("method", "route", "status", "body", "failure", "note")},
                         {"method": "GET", "route": "other", "status": 404, "body": 0, "failure": None, "note": None})
        self.assertIn("not-ready", [e["note"] for e in requests if e["status"] == 503])
        self.assertIn({"event": "stop", "signal": "SIGTERM"},
                      [{k: e[k] for k in ("event", "signal")} for e in events if e["event"] == "stop"])

    def test_a_resumable_dir_that_cannot_be_used_stops_the_start(self):
        blocker = os.path.join(self.work, "a-file")
        open(blocker, "w").close()
        out = subprocess.run([BINARY, "serve", "--port", "0", "--dir", os.path.join(self.work, "up"),
                              "--resumable-dir", os.path.join(blocker, "spool")],
                             capture_output=True, text=True, timeout=30)
        self.assertEqual(out.returncode, 1)
        self.assertIn("--resumable-dir", out.stderr)
        self.assertIn("cannot be used", out.stderr)

    def test_sigterm_lets_a_running_upload_finish_and_refuses_the_rest(self):
        server = self.start("--shutdown-timeout", "20", "--max-uploads", "1")
        data = b"r" * 300_000
        body = multipart([("f", "running.bin", data)])
        running = connect(server.port)
        queued = connect(server.port)
        try:
            half = len(body) // 2
            running.sendall(post_head(len(body)) + body[:half])
            self.assertTrue(wait_until(lambda: server.writing("running.bin"), 10))
            queued.sendall(post_head(len(body)))  # waits for the one slot, its body unsent
            time.sleep(0.3)
            server.proc.send_signal(signal.SIGTERM)
            status, headers, _ = read_response(queued)
            self.assertEqual((status, headers.get("retry-after")), (503, "1"))
            self.assertTrue(wait_until(lambda: not _accepts(server.port), 5), "still accepting")
            running.sendall(body[half:])
            status, _, answer = read_response(running)
            self.assertEqual((status, json.loads(answer)["filesStored"]), (200, 1))
        finally:
            running.close()
            queued.close()
        self.assertEqual(server.proc.wait(15), 0)
        self.assertEqual(server.read_stored("running.bin"), data)
        self.assertIn(" stopping", server.log())

    def test_a_resumable_patch_cut_at_the_stop_keeps_every_byte_that_came(self):
        server = self.start("--shutdown-timeout", "0.5")
        tus = "Tus-Resumable: 1.0.0\r\n"
        with connect(server.port) as s:
            s.sendall(f"POST /files/ HTTP/1.1\r\nHost: x\r\n{tus}Upload-Length: 1000000\r\n"
                      "Upload-Metadata: filename eC5iaW4=\r\nContent-Length: 0\r\n\r\n".encode())
            status, headers, _ = read_response(s)
        self.assertEqual(status, 201)
        path = urllib.parse.urljoin("/files/", headers["location"])
        with connect(server.port) as s:
            s.sendall(f"PATCH {path} HTTP/1.1\r\nHost: x\r\n{tus}Upload-Offset: 0\r\n"
                      "Content-Type: application/offset+octet-stream\r\nContent-Length: 1000000\r\n\r\n".encode()
                      + b"a" * 300_000)
            time.sleep(0.5)
            server.proc.send_signal(signal.SIGTERM)
            self.assertEqual(server.proc.wait(15), 0)
        again = self.start()
        with connect(again.port) as s:
            s.sendall(f"HEAD {path} HTTP/1.1\r\nHost: x\r\n{tus}\r\n".encode())
            status, headers, _ = read_response(s)
        self.assertEqual((status, headers.get("upload-offset")), (200, "300000"))


def _accepts(port):
    try:
        connect(port, timeout=1).close()
        return True
    except OSError:
        return False


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
