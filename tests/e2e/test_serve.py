#!/usr/bin/env python3
"""`parcelmoor serve` end to end, over 127.0.0.1 only: curl and raw sockets
against a server started on a free port (slow clients and large uploads are
in test_serve_slow_and_large.py).

Usage: test_serve.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)
"""

import json
import socket
import subprocess
import threading
import time

from upload_support import (BOUNDARY, CONTENT_TYPE, CURL, ServeTestCase, binary_content, connect, curl,
                            kill_process, multipart, part_head, read_response, run_suite, wait_until)


class PageAndUploads(ServeTestCase):

    def test_get_serves_the_upload_page_with_its_element_ids(self):
        status, headers, body, _ = curl(self.server.url)
        self.assertEqual(status, 200)
        self.assertIn("content-type: text/html", headers.lower())
        page = body.decode()
        for needle in ('id="upload-form"', 'method="post"', 'enctype="multipart/form-data"', 'id="note"',
                       'id="files"', 'type="file" multiple', 'id="submit"', 'id="result"', 'id="result-files"',
                       '<script defer src="assets/'):
            self.assertIn(needle, page)
        # HEAD announces the same length without a body: the next answer on
        # the connection follows its header directly.
        with connect(self.server.port) as s:
            s.sendall(b"HEAD / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                      b"GET /nope HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            data = b""
            while chunk := s.recv(65536):
                data += chunk
        head, _, rest = data.partition(b"\r\n\r\n")
        self.assertTrue(head.startswith(b"HTTP/1.1 200 OK"), head)
        self.assertIn(f"content-length: {len(body)}".encode(), head.lower())
        self.assertTrue(rest.startswith(b"HTTP/1.1 404 "), rest[:100])

    def test_refusals_by_path_and_method(self):
        cases = [
            ("unknown path", ["-X", "GET"], "nope", 404, None),
            ("PUT on the page", ["-X", "PUT", "--data-binary", "x"], "", 405, "allow: get, head, post"),
            ("DELETE on the page", ["-X", "DELETE"], "", 405, "allow: get, head, post"),
        ]
        for name, args, path, want, header in cases:
            with self.subTest(name):
                status, headers, _, _ = curl(self.server.url + path, *args)
                self.assertEqual(status, want)
                if header:
                    self.assertIn(header, headers.lower())
                self.assert_security_headers(headers)
        self.assertEqual(self.server.stored(), [])

    def assert_security_headers(self, headers):
        """Every answer: no type guessing, the page's policy, no framing, no referrer off the site."""
        headers = headers.lower()
        self.assertIn("x-content-type-options: nosniff", headers)
        self.assertIn("referrer-policy: same-origin", headers)
        self.assertRegex(headers, r"content-security-policy: default-src 'none'; script-src 'self';.*"
                                  r"frame-ancestors 'none'")

    def upload_with_curl(self, accept_json):
        files = {"lines.bin": binary_content(150_000, 1),     # crosses the 65,535-byte chunk size
                 "big data.bin": binary_content(3_000_000, 2),
                 "empty.txt": b""}
        args = ["-F", "title=hello world", "-F", "tag=first", "-F", "tag=second",
                "--form-string", 'note=<b>&"quoted"</b>']
        for field, name in (("f1", "lines.bin"), ("f2", "big data.bin"), ("f3", "empty.txt")):
            path = self.write_file(name, files[name])
            args += ["-F", f'{field}=@"{path}";filename="{name}";type=application/octet-stream']
        if accept_json:
            args += ["-H", "Accept: application/json"]
        return files, curl(self.server.url, *args)

    def test_curl_upload_of_fields_and_files_answers_json_and_stores_every_byte(self):
        files, (status, headers, body, _) = self.upload_with_curl(accept_json=True)
        self.assertEqual(status, 200, body[:2000])
        self.assertIn("content-type: application/json", headers.lower())
        self.assert_security_headers(headers)
        # Names within the upload directory only: a client never learns where it is.
        self.assertNotIn(self.server.dir.encode(), body)
        page = json.loads(body)
        self.assertEqual([f["storedPath"] for f in page["files"]], ["lines.bin", "big data.bin", "empty.txt"])
        self.assertEqual(page["component"], {"result": 1, "uploadAllFilesOrNone": False, "error": None,
                                             "releaseError": None})
        self.assertEqual([i["name"] for i in page["form"]], ["title", "tag", "note", "f1", "f2", "f3"])
        items = {i["name"]: i for i in page["form"]}
        self.assertEqual(items["tag"]["values"], ["first", "second"])
        self.assertEqual(items["note"]["values"], ['<b>&"quoted"</b>'])
        for field, name in (("f1", "lines.bin"), ("f2", "big data.bin"), ("f3", "empty.txt")):
            with self.subTest(file=name):
                self.assertEqual(items[field]["fileName"], name)
                self.assertEqual(items[field]["fileSize"], len(files[name]))
                self.assertEqual(self.server.read_stored(name), files[name])
        self.assertEqual(self.server.stored(), sorted(files))
        line = self.server.wait_log_lines(1)[-1]
        self.assertIn(" POST / 200 ", line)
        self.assertIn("items=6 files=3", line)

    def test_curl_upload_answers_an_escaped_html_page_by_default(self):
        files, (status, headers, body, _) = self.upload_with_curl(accept_json=False)
        self.assertEqual(status, 200)
        self.assertIn("content-type: text/html", headers.lower())
        self.assert_security_headers(headers)
        self.assertNotIn(self.server.dir.encode(), body)
        page = body.decode()
        self.assertIn("&lt;b&gt;&amp;&quot;quoted&quot;&lt;/b&gt;", page)
        self.assertNotIn('<b>&"', page)
        for name, data in files.items():
            self.assertIn(name, page)
            self.assertEqual(self.server.read_stored(name), data)

    def test_the_pages_own_field_names_one_per_file(self):
        # What the page's script sends: the note, then file1, file2, ...
        a, b = binary_content(70_000, 5), binary_content(1000, 6)
        status, _, body = self.post_raw(multipart([("note", None, b"n"), ("file1", "a.bin", a),
                                                   ("file2", "b.bin", b)]))
        self.assertEqual(status, 200, body)
        page = json.loads(body)
        self.assertEqual([(i["name"], i["fileSize"]) for i in page["form"]],
                         [("note", 0), ("file1", len(a)), ("file2", len(b))])
        self.assertEqual(self.server.read_stored("a.bin"), a)
        self.assertEqual(self.server.read_stored("b.bin"), b)

    def test_parse_failure_is_answered_and_logged_with_its_reason(self):
        # A header line past the scanner's 2,048 bytes: the component writes its notice.
        long_header = f"--{BOUNDARY}\r\nX-Filler: {'x' * 3000}\r\n\r\n".encode()
        status, _, body = self.post_raw(multipart([("keep", "kept.txt", b"data")])[:-len(f"--{BOUNDARY}--\r\n")]
                                        + long_header + f"--{BOUNDARY}--\r\n".encode())
        self.assertEqual(status, 400)
        page = json.loads(body)
        # The client reads the plain reason; the component's notice is for scripts.
        self.assertEqual(page["reason"], "the request body is not well-formed multipart/form-data")
        self.assertNotIn("response", page)
        line = self.server.wait_log_lines(1)[-1]
        self.assertIn('failure=-2147220998 "A header line of the request body is longer than 2048 bytes."', line)

    def test_an_empty_file_input_is_no_file_and_the_parts_after_it_are_read(self):
        # Browsers send every optional file input left empty as a part with filename="".
        status, _, body = self.post_raw(multipart([("before", None, b"one"), ("empty", "", b""),
                                                   ("after", None, b"two"), ("later", "later.txt", b"kept")]))
        self.assertEqual(status, 200, body)
        page = json.loads(body)
        self.assertEqual([item["name"] for item in page["form"]], ["before", "empty", "after", "later"])
        self.assertEqual([(f["field"], f["outcome"]) for f in page["files"]], [("empty", "no file"), ("later", "stored")])
        self.assertEqual(self.server.read_stored("later.txt"), b"kept")
        self.assertEqual(self.server.stored(), ["later.txt"])

    def test_keep_alive_serves_several_requests_on_one_connection(self):
        body = multipart([("f", "ka.txt", b"kept alive")])
        with connect(self.server.port) as s:
            for i in range(3):
                s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                status, headers, page = read_response(s)
                self.assertEqual(status, 200)
                self.assertNotEqual(headers.get("connection", "").lower(), "close")
                s.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                           f"Content-Length: {len(body)}\r\n\r\n").encode() + body)
                status, headers, _ = read_response(s)
                self.assertEqual(status, 200)
        self.assertTrue(wait_until(lambda: len(self.server.log_lines()) == 6, 5), self.server.log())
        peers = {line.split()[1] for line in self.server.log_lines()}
        self.assertEqual(len(peers), 1, peers)

    def test_large_bodies_sent_back_to_back_keep_their_bytes_apart(self):
        # Large bodies are received ahead of the parser, never past their own end.
        files = [("first.bin", binary_content(700_000, 3)), ("second.bin", binary_content(1_300_000, 5))]
        stream = b""
        for name, data in files:
            body = multipart([("f", name, data)])
            stream += (f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                       f"Accept: application/json\r\nContent-Length: {len(body)}\r\n\r\n").encode() + body
        stream += b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        with connect(self.server.port) as s:
            s.sendall(stream)
            statuses = [read_response(s)[0] for _ in range(3)]
        self.assertEqual(statuses, [200, 200, 200])
        for name, data in files:
            self.assertEqual(self.server.read_stored(name), data)

    def test_client_that_half_closes_after_its_body_still_gets_its_answer(self):
        data = binary_content(300_000, 14)
        body = multipart([("f", "half.bin", data)])
        with connect(self.server.port) as s:
            s.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                       f"Accept: application/json\r\nContent-Length: {len(body)}\r\n\r\n").encode() + body)
            s.shutdown(socket.SHUT_WR)
            status, _, answer = read_response(s)
        self.assertEqual(status, 200)
        self.assertFalse(json.loads(answer)["component"]["uploadAllFilesOrNone"])
        self.assertEqual(self.server.read_stored("half.bin"), data)

    def test_expect_100_continue_is_answered_when_the_body_is_read(self):
        data = binary_content(200_000, 7)
        body = multipart([("f", "expect.bin", data)])
        with connect(self.server.port) as s:
            s.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                       f"Expect: 100-continue\r\nContent-Length: {len(body)}\r\n\r\n").encode())
            interim = b""
            while b"\r\n\r\n" not in interim:
                chunk = s.recv(1)   # byte by byte: nothing past the interim answer
                self.assertTrue(chunk, "closed instead of 100 Continue")
                interim += chunk
            self.assertTrue(interim.startswith(b"HTTP/1.1 100 Continue\r\n"), interim)
            s.sendall(body)
            status, _, _ = read_response(s)
        self.assertEqual(status, 200)
        self.assertEqual(self.server.read_stored("expect.bin"), data)

    def test_curl_with_expect_100_continue_does_not_stall(self):
        path = self.write_file("e.bin", binary_content(2_000_000, 8))
        # Without the interim answer curl would wait the whole 30 s.
        status, headers, _, elapsed = curl(self.server.url, "-H", "Expect: 100-continue",
                                           "--expect100-timeout", "30", "-F", f"f=@{path}")
        self.assertEqual(status, 200)
        self.assertIn("100 continue", headers.lower())
        self.assertLess(elapsed, 20)

    def test_body_without_a_length_gets_411_and_never_reaches_the_component(self):
        path = self.write_file("c.txt", b"chunked")
        status, _, _, _ = curl(self.server.url, "-H", "Transfer-Encoding: chunked", "-F", f"f=@{path}")
        self.assertEqual(status, 411)
        with connect(self.server.port) as s:
            s.sendall(b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + CONTENT_TYPE.encode()
                      + b"\r\n\r\n")
            status, headers, _ = read_response(s)
        self.assertEqual(status, 411)
        self.assertEqual(headers.get("connection"), "close")
        self.assertEqual(self.server.stored(), [])
        lines = self.server.wait_log_lines(2)
        self.assertEqual(len(lines), 2, lines)
        self.assertTrue(all(" 411 body=0 items=0 " in l for l in lines), lines)

    def test_malformed_or_ambiguous_requests_get_400(self):
        cases = [
            ("length and chunked at once (smuggling)",
             b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
            ("a coding not understood, with a length",
             b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nTransfer-Encoding: xchunked\r\n\r\nabcde"),
            ("a coding not understood, alone", b"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n"),
            ("a coding with a length on GET",
             b"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nTransfer-Encoding: identity\r\n\r\n"),
            ("negative length", b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n"),
            ("two lengths", b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nabcdef"),
            ("no request line", b"GARBAGE\r\n\r\n"),
        ]
        for name, request in cases:
            with self.subTest(name):
                with connect(self.server.port) as s:
                    s.sendall(request)
                    status, headers, _ = read_response(s)
                self.assertEqual(status, 400)
                self.assertEqual(headers.get("connection"), "close")
        self.assertEqual(self.server.stored(), [])

    def test_header_of_20_kib_gets_431(self):
        with connect(self.server.port) as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + b"a" * 20480 + b"\r\n\r\n")
            status, _, _ = read_response(s)
        self.assertEqual(status, 431)
        # Just under the limit is served.
        status, _, _, _ = curl(self.server.url, "-H", "X-Big: " + "a" * 15000)
        self.assertEqual(status, 200)

    def test_client_killed_mid_upload_loses_all_its_files_and_the_server_goes_on(self):
        first = binary_content(100_000, 9)
        body = (part_head("done", "complete.bin") + first + b"\r\n" + part_head("cut", "partial.bin")
                + binary_content(40_000_000, 10) + f"\r\n--{BOUNDARY}--\r\n".encode())
        path = self.write_file("body", body)
        client = subprocess.Popen([CURL, "-sS", "-o", "/dev/null", "--limit-rate", "2M", "-H",
                                   f"Content-Type: {CONTENT_TYPE}", "--data-binary", f"@{path}", self.server.url],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(wait_until(lambda: self.server.writing("partial.bin"), 30),
                            "the upload never reached the second file")
            # Nothing is under its final name before the body has arrived whole.
            self.assertNotIn("complete.bin", self.server.stored())
        finally:
            kill_process(client)
        self.assertTrue(wait_until(lambda: self.server.stored() == [], 15), self.server.stored())
        self.assertTrue(wait_until(lambda: "client-gone" in self.server.log(), 5), self.server.log())
        status, _, _, _ = curl(self.server.url)
        self.assertEqual(status, 200)

    def test_eight_uploads_at_once(self):
        paths = {f"u{i}.bin": self.write_file(f"u{i}.bin", binary_content(8_000_000, 100 + i)) for i in range(8)}
        # Eight clients, each from a loopback address of its own: the server
        # runs at most four uploads of one address at once.
        procs = {name: subprocess.Popen([CURL, "-sS", "--max-time", "120", "-o", "/dev/null", "-w", "%{http_code}",
                                         "--interface", f"127.0.0.{10 + i}",
                                         "-F", "note=parallel", "-F", f"f=@{p}", self.server.url],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                 for i, (name, p) in enumerate(paths.items())}
        for name, proc in procs.items():
            out, err = proc.communicate(timeout=150)
            self.assertEqual(out, b"200", err)
        for name, p in paths.items():
            with open(p, "rb") as f:
                self.assertEqual(self.server.read_stored(name), f.read(), name)


class Burst(ServeTestCase):

    def test_fifty_clients_behind_one_address_are_all_stored_with_the_defaults(self):
        # Every client comes from 127.0.0.1, so the per-client cap (4) counts
        # them as one: the rest wait for a slot instead of being refused.
        clients, uploads = 50, 4
        statuses, lock = [], threading.Lock()

        def client(c):
            for u in range(uploads):
                name = f"c{c}-u{u}.bin"
                status = self.post_raw(multipart([("f", name, binary_content(65536, c * uploads + u))]))[0]
                with lock:
                    statuses.append((name, status))

        threads = [threading.Thread(target=client, args=(c,)) for c in range(clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
        self.assertEqual([s for s in statuses if s[1] != 200], [])
        self.assertEqual(len(statuses), clients * uploads)
        for c in range(clients):
            for u in range(uploads):
                self.assertEqual(self.server.read_stored(f"c{c}-u{u}.bin"), binary_content(65536, c * uploads + u))


class Limits(ServeTestCase):
    server_args = ("--max-request-size", "100000", "--max-connections", "3", "--max-uploads", "1")

    def test_body_over_the_maximum_gets_413_before_any_byte_is_read(self):
        with connect(self.server.port) as s:
            # Only the header is sent: the answer must not wait for the body.
            s.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                       f"Content-Length: 100001\r\n\r\n").encode())
            status, headers, _ = read_response(s)
        self.assertEqual(status, 413)
        self.assertEqual(headers.get("connection"), "close")
        path = self.write_file("big.bin", binary_content(200_000, 11))
        status, headers, _, _ = curl(self.server.url, "-H", "Expect: 100-continue", "-F", f"f=@{path}")
        self.assertEqual(status, 413)
        self.assertNotIn("100 continue", headers.lower())
        # At the maximum exactly, the upload goes through.
        small = binary_content(1000, 12)
        base = len(multipart([("pad", None, b""), ("f", "fits.bin", small)]))
        body = multipart([("pad", None, b"p" * (100000 - base)), ("f", "fits.bin", small)])
        self.assertEqual(len(body), 100000)
        status, _, _ = self.post_raw(body)
        self.assertEqual(status, 200)
        self.assertEqual(self.server.read_stored("fits.bin"), small)
        self.assertEqual(self.server.stored(), ["fits.bin"])
        body_lines = [l for l in self.server.wait_log_lines(3) if " 413 " in l]
        self.assertEqual(len(body_lines), 2)
        self.assertTrue(all(" body=0 " in l for l in body_lines))

    def test_upload_over_the_maximum_running_gets_503_while_pages_are_served(self):
        body = part_head("f", "running.bin") + b"x" * 5000
        with connect(self.server.port) as running:
            running.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                             f"Content-Length: {len(body) + 50000}\r\n\r\n").encode() + body)
            self.assertTrue(wait_until(lambda: self.server.writing("running.bin"), 10))
            status, headers, _ = self.post_raw(multipart([("f", "second.bin", b"data")]))
            self.assertEqual(status, 503)
            self.assertEqual(headers.get("retry-after"), "1")
            self.assertEqual(curl(self.server.url)[0], 200)
        self.assertTrue(wait_until(lambda: self.server.stored() == [], 10), self.server.stored())
        self.assertIn("upload-limit", self.server.log())

    def test_connections_over_the_maximum_get_503(self):
        holders = [connect(self.server.port) for _ in range(3)]
        try:
            for h in holders:   # a request begun on each: every slot is in use
                h.sendall(b"GET / HTTP/1.1\r\n")
            time.sleep(0.3)
            status, headers, _, _ = curl(self.server.url)
            self.assertEqual(status, 503)
            self.assertIn("retry-after", headers.lower())
        finally:
            for h in holders:
                h.close()
        self.assertTrue(wait_until(lambda: curl(self.server.url)[0] == 200, 10))


if __name__ == "__main__":
    run_suite()
