#!/usr/bin/env python3
"""`parcelmoor serve` against hostile and slow clients, over 127.0.0.1 only:
a thousand cheap connections, bodies that trickle, a descriptor flood. Every
loop is bounded and stops by itself. Figures a reader may want (connections
held, worst upload time, threads, peak memory) are printed, never asserted.

Usage: test_serve_hostile.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import base64
import json
import os
import re
import resource
import shutil
import socket
import sys
import tempfile
import time
import unittest

from upload_support import (CONTENT_TYPE, ServeProcess, binary_content, connect, dripping, multipart, part_head,
                            process_status, read_response, take, wait_until)

BINARY = os.environ.get("PARCELMOOR_BIN", "")


def raise_descriptor_limit(wanted):
    """Raises this process's open-file limit towards `wanted`; returns it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        soft = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    return soft


def post_head(length):
    return (f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
            f"Accept: application/json\r\nContent-Length: {length}\r\n\r\n").encode()


def upload(port, name, data):
    """One upload on a connection of its own. Returns (status, seconds)."""
    body = multipart([("f", name, data)])
    start = time.monotonic()
    with connect(port, timeout=60) as s:
        s.sendall(post_head(len(body)) + body)
        status, _, _ = read_response(s)
    return status, time.monotonic() - start


def begin_stalled_upload(port, name, promised=100_000):
    """A connection whose upload has created its file and then waits for
    body bytes that come slowly or never."""
    sent = part_head("f", name) + b"x" * 5000
    s = connect(port, timeout=30)
    s.sendall(post_head(len(sent) + promised) + sent)
    return s


class HostileTestCase(unittest.TestCase):
    server_args = ()
    launcher = ()
    descriptors = 0   # open files this test needs in its own process

    def setUp(self):
        if not BINARY or not os.access(BINARY, os.X_OK):
            self.skipTest("no parcelmoor binary given")
        if raise_descriptor_limit(self.descriptors) < self.descriptors:
            self.skipTest(f"this test needs {self.descriptors} open files")
        self.work = tempfile.mkdtemp(prefix="parcelmoor-hostile-")
        self.server = ServeProcess(BINARY, self.work, *self.server_args, launcher=self.launcher)

    def tearDown(self):
        code = self.server.stop()
        shutil.rmtree(self.work, ignore_errors=True)
        self.assertEqual(code, 0, "serve did not exit cleanly on SIGTERM")

    def report(self, text):
        print(f"\n    [{self.id().split('.')[-1]}] {text}", file=sys.stderr)


class CheapConnections(HostileTestCase):
    # Long enough that no held connection is closed while the uploads run.
    server_args = ("--header-timeout", "60", "--keepalive-timeout", "60")
    descriptors = 1400

    def test_trickling_headers_and_idle_keepalive_leave_room_for_an_uploader(self):
        port = self.server.port
        trickling = [connect(port) for _ in range(1000)]
        for s in trickling:
            s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Trickle: ")
        idle = []
        for _ in range(200):
            idle.append(connect(port))
            idle[-1].sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            self.assertEqual(read_response(idle[-1])[0], 200)
        try:
            with dripping(trickling, b"a", 0.5):
                times = []
                for i in range(10):
                    data = binary_content(1 << 20, 300 + i)
                    status, seconds = upload(port, f"normal{i}.bin", data)
                    self.assertEqual(status, 200)
                    self.assertEqual(self.server.read_stored(f"normal{i}.bin"), data)
                    times.append(seconds)
                held = sum(not take(s)[1] for s in trickling + idle)
                threads = process_status(self.server.proc.pid, "Threads")
        finally:
            for s in trickling + idle:
                s.close()
        self.assertEqual(held, 1200, "the server dropped connections it should have held")
        self.report(f"{held} connections held; ten 1 MiB uploads, worst {max(times):.3f} s; "
                    f"server threads {threads}, peak RSS {process_status(self.server.proc.pid, 'VmHWM')} KiB")


class SlowBodies(HostileTestCase):
    window = 2   # the grace period and each rate window, in seconds
    server_args = ("--min-body-rate", "1024", "--body-rate-window", str(window), "--max-uploads", "128",
                   "--max-uploads-per-client", "128")
    descriptors = 400

    def test_bodies_below_the_minimum_rate_are_cut_with_408_and_lose_their_files(self):
        port = self.server.port
        slow = {}
        for i in range(100):
            slow[begin_stalled_upload(port, f"slow{i}.bin")] = time.monotonic()
        self.assertTrue(wait_until(lambda: len(self.server.stored()) == 100, 10), self.server.stored())
        answers, cut_after, threads = {}, {}, 0
        try:
            with dripping(slow, b"y", 2):   # one byte every two seconds
                data = binary_content(300_000, 400)
                self.assertEqual(upload(port, "normal.bin", data)[0], 200)
                self.assertEqual(self.server.read_stored("normal.bin"), data)
                deadline = time.monotonic() + 3 * self.window + 15
                while len(cut_after) < len(slow) and time.monotonic() < deadline:
                    threads = max(threads, process_status(self.server.proc.pid, "Threads"))
                    for s, began in slow.items():
                        if s not in cut_after:
                            data, closed = take(s)
                            answers[s] = answers.get(s, b"") + data
                            if closed:
                                cut_after[s] = time.monotonic() - began
                    time.sleep(0.05)
        finally:
            for s in slow:
                s.close()
        self.assertEqual(len(cut_after), 100, "slow bodies were never cut")
        # Cut at the end of the first window after the grace period; the
        # rest is this loop's and the server's scheduling.
        self.assertLess(max(cut_after.values()), 2 * self.window + self.window)
        self.assertTrue(all(a.startswith(b"HTTP/1.1 408 ") for a in answers.values()),
                        [a[:40] for a in answers.values() if not a.startswith(b"HTTP/1.1 408 ")][:3])
        self.assertTrue(wait_until(lambda: self.server.stored() == ["normal.bin"], 10), self.server.stored())
        lines = self.server.wait_log_lines(101)
        self.assertEqual(sum(" 408 " in l and l.endswith("body-too-slow") for l in lines), 100, lines[-3:])
        self.report(f"100 slow bodies cut after {min(cut_after.values()):.1f} to {max(cut_after.values()):.1f} s; "
                    f"server threads at most {threads}, peak RSS "
                    f"{process_status(self.server.proc.pid, 'VmHWM')} KiB")


def post_fields(port, count, size, byte, accept):
    """Posts `count` text fields of `size` bytes of `byte`; returns (status,
    headers, answer)."""
    body = multipart([(f"v{i}", None, byte * size) for i in range(count)])
    with connect(port, timeout=120) as s:
        s.sendall(post_head(len(body)).replace(b"application/json", accept.encode()) + body)
        return read_response(s, limit=1 << 30)


def post_fields_until_refused(port, count, size, byte):
    """As post_fields, sending in pieces and stopping once the server stops
    reading (it answers a limit crossed and closes)."""
    body = multipart([(f"v{i}", None, byte * size) for i in range(count)])
    with connect(port, timeout=120) as s:
        s.sendall(post_head(len(body)))
        try:
            for at in range(0, len(body), 1 << 16):
                s.sendall(body[at:at + (1 << 16)])
        except (BrokenPipeError, ConnectionResetError):
            pass
        return read_response(s, limit=1 << 30)


class BoundedForm(HostileTestCase):
    def test_the_form_of_one_upload_is_bounded_by_its_total_field_size(self):
        # 64 fields of 1 MiB, each within --max-field-size: the 10 MiB bound on
        # all text fields together stops the upload long before 64 MiB are held.
        status, _, answer = post_fields_until_refused(self.server.port, 64, 1 << 20, b"\xff")
        self.assertEqual(status, 413, answer[:300])
        self.assertEqual(json.loads(answer)["reason"], "the text fields together are longer than this server accepts")
        peak = process_status(self.server.proc.pid, "VmHWM")
        self.assertLess(peak, 64 * 1024, f"peak RSS {peak} KiB")
        self.report(f"64 x 1 MiB of 0xFF under the default form bound: 413, {len(answer)} bytes, peak RSS {peak} KiB")


class BoundedAnswers(HostileTestCase):
    # The form bound off, so that the answers themselves must stay small.
    server_args = ("--max-total-field-size", "0")

    def test_answers_stay_small_whatever_the_fields_and_memory_follows_the_limits(self):
        port = self.server.port
        mib = 1 << 20
        # fields, bytes each, accept, status, bytes of each value shown
        table = [
            (64, mib, "application/json", 200, 4096),
            (64, mib, "text/html", 200, 4096),
            (3, 100, "application/json", 200, 100),
            (1, mib + 1, "application/json", 413, 0),   # over --max-field-size: not echoed
        ]
        for count, size, accept, status, shown in table:
            with self.subTest(count=count, size=size, accept=accept):
                got, headers, answer = post_fields(port, count, size, b"\xff", accept)
                self.assertEqual(got, status, answer[:300])
                self.assertLess(len(answer), 1 << 20)
                self.assertEqual(int(headers["content-length"]), len(answer), "the answer was cut in transit")
                if accept == "application/json":
                    page = json.loads(answer.decode("utf-8"))   # strict UTF-8: no surrogate escapes
                    values = [v for item in page["form"] for v in item["values"]]
                    self.assertEqual(set(values), {"\ufffd" * shown} if shown else set(), values[:1])
                    self.assertEqual(all(item["valuesCut"] for item in page["form"]), size > 4096)
                    if count == 64:
                        self.report(f"64 fields of 1 MiB of 0xFF: JSON answer {len(answer)} bytes, "
                                    f"{len(page['form'])} items listed (formCut {page['formCut']})")
                else:
                    self.assertIn(b"(cut)", answer)
                    self.assertNotIn(("\ufffd" * 4097).encode(), answer)
        peak = process_status(self.server.proc.pid, "VmHWM")
        with open(f"/proc/{self.server.proc.pid}/maps") as f:
            sanitized = "libasan" in f.read()
        # The form holds 64 MiB of values; the answers add next to nothing
        # (AddressSanitizer's quarantine and shadow memory are not the server's).
        self.assertLess(peak, (1024 if sanitized else 110) * 1024, f"peak RSS {peak} KiB")
        self.report(f"peak RSS {peak} KiB after 64 x 1 MiB of 0xFF, twice")


class FairSlots(HostileTestCase):
    descriptors = 200

    def test_a_client_trickling_24_uploads_does_not_delay_another(self):
        port = self.server.port
        trickling, statuses = [], []
        for i in range(24):
            s = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=("127.0.0.3", 0))
            sent = part_head("f", f"trickle{i}.bin") + b"x" * 5000
            s.sendall(post_head(len(sent) + 50_000_000) + sent)
            trickling.append(s)
        # Four of them run; the rest are told to come back later.
        self.assertTrue(wait_until(lambda: self.server.log().count("client-upload-limit") == 20, 10),
                        self.server.log()[-2000:])
        times = []
        try:
            with dripping(trickling, b"y" * 150, 0.1):   # about 1,500 bytes a second each
                for i in range(5):
                    data = binary_content(1 << 20, 600 + i)
                    body = multipart([("f", f"normal{i}.bin", data)])
                    start = time.monotonic()
                    with socket.create_connection(("127.0.0.1", port), timeout=60,
                                                  source_address=("127.0.0.2", 0)) as s:
                        s.sendall(post_head(len(body)) + body)
                        statuses.append(read_response(s)[0])
                    times.append(time.monotonic() - start)
                running = len(self.server.temporaries())  # one per running upload: each writes one file
        finally:
            for s in trickling:
                s.close()
        self.assertEqual(statuses, [200] * 5)
        self.assertEqual(running, 4)
        self.report(f"24 trickling uploads from 127.0.0.3 (4 running, 20 answered 429); five 1 MiB uploads "
                    f"from 127.0.0.2, worst {max(times):.3f} s")


class SlotsTakenBack(HostileTestCase):
    """64 uploads trickle at 1.3 KB/s from 16 addresses, four each (the cap
    per address). Spread over 16 prefixes they hold every slot; within one
    /24 its cap holds them to 16. Either way a normal client is stored
    within 5 s: the slowest trickler it waits behind gives its slot up."""
    descriptors = 300

    def test_a_normal_client_is_stored_within_5_s_while_64_uploads_trickle(self):
        rows = [
            # why, the tricklers' addresses, the normal client's, uploads left running
            ("16 prefixes: every slot held", [f"127.0.{i}.1" for i in range(1, 17)], "127.0.100.1", 64),
            ("one /24: its cap holds them", [f"127.0.0.{i}" for i in range(10, 26)], "127.0.0.200", 16),
        ]
        for why, addresses, normal, running in rows:
            with self.subTest(why):
                self.run_row(addresses, normal, running)

    def run_row(self, addresses, normal, running):
        port = self.server.port
        trickling = []
        try:
            for i in range(64):
                s = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(addresses[i % 16], 0))
                sent = part_head("f", f"trickle{i}.bin") + b"x" * 1000
                s.sendall(post_head(len(sent) + 50_000_000) + sent)
                trickling.append(s)
            with dripping(trickling, b"y" * 130, 0.1):   # 1,300 bytes a second each
                self.assertTrue(wait_until(lambda: len(self.server.temporaries()) >= running, 15),
                                self.server.log()[-2000:])
                time.sleep(2.5)   # they have run long enough to be judged
                times = []
                for i in range(3):
                    body = multipart([("f", f"normal{i}.bin", binary_content(256 << 10, 700 + i))])
                    start = time.monotonic()
                    with socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(normal, 0)) as s:
                        s.sendall(post_head(len(body)) + body)
                        status = read_response(s)[0]
                    times.append(time.monotonic() - start)
                    self.assertEqual(status, 200)
                    self.assertLess(times[-1], 5.0)
        finally:
            for s in trickling:
                s.close()
        # Each upload that gave its slot up said so; none of its bytes stayed.
        self.assertTrue(wait_until(lambda: not self.server.temporaries(), 10))
        self.assertIn(" 408 ", "".join(l for l in self.server.log_lines() if "slot-reclaimed" in l))
        self.assertFalse([n for n in self.server.stored() if n.startswith("trickle")])
        self.report(f"64 trickling from {addresses[0]}..{addresses[-1]}: three 256 KiB uploads from {normal}, worst "
                    f"{max(times):.3f} s; {self.server.log().count('slot-reclaimed')} slots given up so far")


class SlotsTakenBackFromResumableUploads(HostileTestCase):
    """The same for resumable uploads: 20 PATCHes trickle from 5 addresses
    with 16 slots; a normal client's PATCH is stored within 5 s."""
    server_args = ("--max-uploads", "16")
    descriptors = 200

    def tus(self, method, path, headers, body=b"", source="127.0.0.1", keep=False):
        s = socket.create_connection(("127.0.0.1", self.server.port), timeout=30, source_address=(source, 0))
        head = "".join(f"{k}: {v}\r\n" for k, v in dict({"Tus-Resumable": "1.0.0"}, **headers).items())
        s.sendall(f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n{head}\r\n".encode() + body)
        if keep:
            return s
        with s:
            status, answer_headers, _ = read_response(s)
        return status, answer_headers

    def create(self, name, length, source):
        status, headers = self.tus("POST", "/files/", {"Upload-Length": str(length), "Content-Length": "0",
                                                        "Upload-Metadata": "filename " +
                                                        base64.b64encode(name.encode()).decode()}, source=source)
        self.assertEqual(status, 201)
        return "/files/" + headers["location"].rsplit("/", 1)[-1]

    def test_a_normal_patch_is_stored_within_5_s_while_20_trickle(self):
        patch = {"Upload-Offset": "0", "Content-Type": "application/offset+octet-stream"}
        trickling = []
        try:
            sources = [f"127.0.{1 + i % 5}.1" for i in range(20)]
            paths = [self.create(f"trickle{i}.bin", 50_000_000, source) for i, source in enumerate(sources)]
            for path, source in zip(paths, sources):
                trickling.append(self.tus("PATCH", path, dict(patch, **{"Content-Length": "50000000"}), b"x" * 1000,
                                          source=source, keep=True))
            with dripping(trickling, b"y" * 130, 0.1):
                time.sleep(2.5)
                data = binary_content(256 << 10, 800)
                start = time.monotonic()   # the creation takes a slot too
                path = self.create("normal.bin", len(data), "127.0.100.1")
                status, _ = self.tus("PATCH", path, dict(patch, **{"Content-Length": str(len(data))}), data,
                                     source="127.0.100.1")
                took = time.monotonic() - start
        finally:
            for s in trickling:
                s.close()
        self.assertEqual(status, 204)
        self.assertLess(took, 5.0)
        self.assertTrue(wait_until(lambda: "normal.bin" in self.server.stored(), 10))
        self.report(f"20 PATCHes trickling from 5 addresses, 16 slots: a normal PATCH took {took:.3f} s")


class FairSlotsBehindAProxy(HostileTestCase):
    server_args = ("--trusted-proxy", "127.0.0.3")

    def test_the_cap_counts_the_clients_a_trusted_proxy_names(self):
        port = self.server.port
        held = []

        def stalled(forwarded_for):
            sent = part_head("f", f"p{len(held)}.bin") + b"x" * 5000
            head = post_head(len(sent) + 1_000_000).replace(b"\r\n\r\n", f"\r\nX-Forwarded-For: {forwarded_for}"
                                                                          "\r\n\r\n".encode())
            s = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=("127.0.0.3", 0))
            s.sendall(head + sent)
            held.append(s)
            return s

        try:
            for _ in range(5):
                stalled("10.9.9.9")
            self.assertTrue(wait_until(lambda: self.server.log().count("client-upload-limit") == 1, 10),
                            self.server.log()[-1000:])
            other = stalled("10.8.8.8")   # another client behind the same proxy gets a slot
            # Its file is begun beside the four the first client runs.
            self.assertTrue(wait_until(lambda: len(self.server.temporaries()) == 5, 10))
            self.assertEqual(self.server.log().count("client-upload-limit"), 1)
        finally:
            for s in held:
                s.close()


class HeaderLimit(HostileTestCase):
    def test_the_16_kib_header_limit_holds_however_the_header_arrives(self):
        def header(size):
            lines = b"".join(b"X-P%05d: %s\r\n" % (i, b"a" * 89) for i in range(size // 100))
            return b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + lines + b"\r\n"

        # bytes of header, written in pieces of, status
        table = [(15_000, 1 << 20, 200), (15_000, 1000, 200), (17_000, 1 << 20, 431), (17_000, 1000, 431),
                 (30_000, 1000, 431)]
        for size, piece, status in table:
            with self.subTest(size=size, piece=piece):
                request = header(size)
                with connect(self.server.port) as s:
                    for at in range(0, len(request), piece):
                        s.sendall(request[at:at + piece])
                        time.sleep(0.01)
                    self.assertEqual(read_response(s)[0], status)


class DescriptorFlood(HostileTestCase):
    launcher = ("prlimit", "--nofile=1024:1024", "--")
    server_args = ("--max-connections", "5000", "--header-timeout", "30")
    descriptors = 3500

    def test_flood_past_the_descriptor_limit_leaves_the_server_serving(self):
        if not shutil.which(self.launcher[0]):
            self.skipTest("no prlimit")
        cap = int(re.search(r"up to (\d+) connections", self.server.capacity).group(1))
        self.assertLess(cap, 1024, self.server.capacity)
        port = self.server.port
        running = begin_stalled_upload(port, "running.bin")
        self.assertTrue(wait_until(lambda: self.server.writing("running.bin"), 10))
        flood = []
        try:
            for _ in range(3000):
                try:
                    flood.append(socket.create_connection(("127.0.0.1", port), timeout=2))
                    flood[-1].send(b"GET / HTTP/1.1\r\n", socket.MSG_DONTWAIT)
                except OSError:
                    pass
            # Refusals are logged once their answer has gone: the flood went past the cap.
            self.assertTrue(wait_until(lambda: "connection-limit" in self.server.log(), 15), self.server.log()[-2000:])
            self.assertIsNone(self.server.proc.poll(), "the server died in the flood")
            running.close()   # the running upload's client goes while the flood holds
            self.assertTrue(wait_until(lambda: self.server.stored() == [], 10), self.server.stored())
        finally:
            running.close()
            for s in flood:
                s.close()
        data = binary_content(500_000, 500)

        def served():
            try:
                return upload(port, "after.bin", data)[0] == 200
            except OSError:
                return False

        self.assertTrue(wait_until(served, 20, step=0.5), self.server.log()[-2000:])
        self.assertEqual(self.server.stored(), ["after.bin"])
        self.assertEqual(self.server.read_stored("after.bin"), data)
        self.report(f"{len(flood)} flood connections against a cap of {cap}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
