#!/usr/bin/env python3
"""`parcelmoor serve --tls-cert --tls-key` end to end over 127.0.0.1, with a
CA and certificates made here by openssl: exact bytes through curl (TLS 1.2
and 1.3, multipart) and tus-js-client (resumable), a plain HTTP request to
the TLS port, silent clients at each step, and SIGHUP with new certificate
files while an upload runs."""

import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import unittest

from upload_support import (CONTENT_TYPE, ServeTestCase, binary_content, curl, multipart, read_response,
                            run_suite, wait_until)

HERE = os.path.dirname(os.path.abspath(__file__))
NODE_MODULES = os.path.join(HERE, "..", "browser", "node_modules")
FIRST_SERIAL, SECOND_SERIAL = "1001", "2002"

TUS_CLIENT = r"""
const fs = require('fs');
const tus = require('tus-js-client');
const upload = new tus.Upload(fs.readFileSync(process.env.TUS_FILE), {
  endpoint: process.env.TUS_ENDPOINT,
  chunkSize: 1024 * 1024,
  retryDelays: [],
  metadata: { filename: 'resumable.bin' },
  onSuccess() { console.log(JSON.stringify({ url: upload.url })); },
  onError(error) { console.error(String(error)); process.exit(1); },
});
upload.start();
"""


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60)


def make_certificates(where):
    """A CA, and two certificates for 127.0.0.1 it signed (serials 1001 and
    2002), each as NAME.pem and NAME.key."""
    ca_key, ca = os.path.join(where, "ca.key"), os.path.join(where, "ca.pem")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *ec, "-days", "2", "-subj", "/CN=parcelmoor test CA", "-keyout", ca_key, "-out", ca)
    ext = os.path.join(where, "ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    for serial in (FIRST_SERIAL, SECOND_SERIAL):
        key, csr = os.path.join(where, f"{serial}.key"), os.path.join(where, f"{serial}.csr")
        openssl("req", *ec, "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", csr)
        openssl("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-set_serial", "0x" + serial,
                "-days", "2", "-extfile", ext, "-out", os.path.join(where, f"{serial}.pem"))
    return ca


class TlsServeTest(ServeTestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="parcelmoor-tls-")
        cls.ca = make_certificates(cls.certs)
        # The server reads these two; SIGHUP swaps in the second pair.
        cls.cert, cls.key = os.path.join(cls.certs, "server.pem"), os.path.join(cls.certs, "server.key")
        cls.server_args = ("--tls-cert", cls.cert, "--tls-key", cls.key, "--header-timeout", "2",
                           "--read-timeout", "3")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs, ignore_errors=True)

    def setUp(self):
        shutil.copy(os.path.join(self.certs, f"{FIRST_SERIAL}.pem"), self.cert)
        shutil.copy(os.path.join(self.certs, f"{FIRST_SERIAL}.key"), self.key)
        super().setUp()
        self.assertTrue(self.server.url.startswith("https://"), self.server.url)

    def tls_connect(self):
        context = ssl.create_default_context(cafile=self.ca)
        context.set_alpn_protocols(["h2", "http/1.1"])
        sock = socket.create_connection(("127.0.0.1", self.server.port), timeout=20)
        return context.wrap_socket(sock, server_hostname="127.0.0.1")

    def serial_seen(self):
        """The certificate serial a new connection gets, as openssl s_client sees it."""
        shown = subprocess.run(["openssl", "s_client", "-connect", f"127.0.0.1:{self.server.port}", "-CAfile", self.ca],
                               input=b"", capture_output=True, timeout=30)
        cert = subprocess.run(["openssl", "x509", "-noout", "-serial"], input=shown.stdout, capture_output=True,
                              timeout=30)
        return cert.stdout.decode().strip().removeprefix("serial=")

    def test_curl_uploads_exact_bytes_over_each_tls_version(self):
        cases = [("1.2", 1), ("1.2", 3 * 1024 * 1024 + 7), ("1.3", 0), ("1.3", 9 * 1024 * 1024 + 1)]
        for version, size in cases:
            with self.subTest(version=version, size=size):
                data = binary_content(size, size)
                path = self.write_file(f"in{size}", data)
                status, _, body, _ = curl(self.server.url, "--cacert", self.ca, f"--tlsv{version}", "--tls-max",
                                          version, "-H", "Accept: application/json", "-F", f"file=@{path};filename=f{size}")
                self.assertEqual(status, 200, body[:300])
                self.assertEqual(self.server.read_stored(f"f{size}"), data)

    def test_tus_js_client_uploads_exact_bytes(self):
        if not os.path.isdir(os.path.join(NODE_MODULES, "tus-js-client")):
            self.skipTest("tus-js-client is not installed: run scripts/setup-browser.sh")
        data = os.urandom(5 * 1024 * 1024 + 3)
        source = self.write_file("resumable.src", data)
        script = self.write_file("client.cjs", TUS_CLIENT.encode())
        env = {**os.environ, "NODE_PATH": NODE_MODULES, "NODE_EXTRA_CA_CERTS": self.ca, "TUS_FILE": source,
               "TUS_ENDPOINT": self.server.url + "files/"}
        out = subprocess.run(["node", script], capture_output=True, text=True, timeout=60, env=env)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("/files/", json.loads(out.stdout)["url"])
        self.assertTrue(wait_until(lambda: "resumable.bin" in self.server.stored(), 10))
        self.assertEqual(self.server.read_stored("resumable.bin"), data)

    def test_plain_http_to_the_tls_port_is_told_and_harms_nothing(self):
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            status, _, body = read_response(s)
        self.assertEqual(status, 400)
        self.assertIn(b"https://", body)
        status, _, _, _ = curl(self.server.url + "healthz", "--cacert", self.ca)
        self.assertEqual(status, 200)

    def test_silent_clients_are_let_go(self):
        body = multipart([("file", "stalled.bin", os.urandom(1 << 20))])
        head = (f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                f"Content-Length: {len(body)}\r\n\r\n").encode()
        cases = [  # what the client does, then whether the server answers (status) or just closes (None)
            ("no handshake", False, b"", None),
            ("no request", True, b"", None),
            ("a body that stops", True, head + body[:1000], 408),
        ]
        for name, handshake, sent, status in cases:
            with self.subTest(name):
                s = self.tls_connect() if handshake else socket.create_connection(("127.0.0.1", self.server.port))
                with s:
                    s.settimeout(10)
                    s.sendall(sent)
                    if status is None:
                        try:
                            self.assertEqual(s.recv(100), b"")
                        except (ConnectionResetError, ssl.SSLError):
                            pass
                    else:
                        self.assertEqual(read_response(s)[0], status)
        self.assertEqual(self.server.stored(), [])

    def test_sighup_serves_new_certificates_to_new_connections_only(self):
        self.assertEqual(self.serial_seen(), FIRST_SERIAL)
        data = os.urandom(4 * 1024 * 1024)
        body = multipart([("file", "during-reload.bin", data)])
        with self.tls_connect() as s:
            self.assertEqual(s.selected_alpn_protocol(), "http/1.1")
            s.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                       f"Accept: application/json\r\nContent-Length: {len(body)}\r\n\r\n").encode())
            half = len(body) // 2
            s.sendall(body[:half])
            self.assertTrue(wait_until(lambda: self.server.temporaries(), 10), "the upload never started")
            shutil.copy(os.path.join(self.certs, f"{SECOND_SERIAL}.pem"), self.cert)
            shutil.copy(os.path.join(self.certs, f"{SECOND_SERIAL}.key"), self.key)
            self.server.proc.send_signal(signal.SIGHUP)
            self.assertTrue(wait_until(lambda: "certificate reloaded" in self.server.log(), 10), self.server.log())
            self.assertEqual(self.serial_seen(), SECOND_SERIAL)
            s.sendall(body[half:])
            status, _, answer = read_response(s)
            self.assertEqual(status, 200, answer[:300])
            self.assertEqual(int(s.getpeercert()["serialNumber"], 16), int(FIRST_SERIAL, 16))
        self.assertEqual(self.server.read_stored("during-reload.bin"), data)
        # Files that do not load leave the certificate in use.
        with open(self.key, "w") as f:
            f.write("not a key\n")
        self.server.proc.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: "certificate kept" in self.server.log(), 10), self.server.log())
        self.assertEqual(self.serial_seen(), SECOND_SERIAL)


if __name__ == "__main__":
    run_suite()
