#!/usr/bin/env python3
"""parcelmoor as a CGI program behind lighttpd (mod_cgi), uploaded to with curl.

Usage: test_cgi_lighttpd.py PARCELMOOR_BINARY   (or PARCELMOOR_BIN in the environment)

Each test class starts its own lighttpd on a free loopback port with a config,
document root and upload directory in a fresh temporary directory, and stops it
afterwards. lighttpd runs the binary through a symlink named upload.cgi; the
upload directory reaches it through setenv.add-environment, as in production.
Two request-body modes are covered: lighttpd buffering the whole body before
starting the CGI (its default), and streaming it to the CGI as it arrives.
"""

import json
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

BINARY = os.environ.get("PARCELMOOR_BIN", "")
LIGHTTPD = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
CURL = shutil.which("curl") or "/usr/bin/curl"
SCRIPT = "/upload.cgi"


def binary_content(size, seed):
    """Bytes with every hard case for a multipart parser: CR LF line ends,
    lone CR and LF, lines starting with "--", a near-delimiter, NULs, 0xFF."""
    rng = random.Random(seed)
    tricky = [b"\r\n", b"\r", b"\n", b"\r\n--\r\n", b"\r\n--", b"--\r\n", b"\r\n\r\n",
              b"\r\n------------------------not-the-boundary\r\n", b"\x00\x00", b"\xff\xfe"]
    out = bytearray()
    while len(out) < size:
        out += rng.randbytes(rng.randint(1, 3000))
        out += rng.choice(tricky)
    return bytes(out[:size])


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, seconds, step=0.05):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class LighttpdCgi:
    """Mixin: one lighttpd per test class. Subclasses choose the body mode."""

    stream_request_body = 0  # lighttpd's server.stream-request-body

    @classmethod
    def setUpClass(cls):
        if not BINARY or not os.access(BINARY, os.X_OK):
            raise unittest.SkipTest("no parcelmoor binary given")
        cls.tmp = tempfile.mkdtemp(prefix="parcelmoor-cgi-")
        cls.docroot = os.path.join(cls.tmp, "doc")
        cls.uploads = os.path.join(cls.tmp, "uploads")
        cls.spool = os.path.join(cls.tmp, "spool")
        for d in (cls.docroot, cls.uploads, cls.spool):
            os.mkdir(d)
        os.symlink(os.path.abspath(BINARY), os.path.join(cls.docroot, SCRIPT.lstrip("/")))
        cls.errorlog = os.path.join(cls.tmp, "error.log")
        cls.proc = None
        for _ in range(3):  # the free port can be taken between the probe and the bind
            cls.port = free_port()
            conf = os.path.join(cls.tmp, "lighttpd.conf")
            with open(conf, "w") as f:
                f.write(cls.config())
            cls.proc = subprocess.Popen([LIGHTTPD, "-D", "-f", conf], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if wait_until(lambda: cls.proc.poll() is not None or cls.accepts(), 10):
                if cls.proc.poll() is None:
                    return
        cls.tearDownClass()
        raise RuntimeError("lighttpd did not start: " + cls.read_errorlog())

    @classmethod
    def config(cls):
        return "\n".join([
            'server.modules = ("mod_setenv", "mod_cgi")',
            f'server.document-root = "{cls.docroot}"',
            'server.bind = "127.0.0.1"',
            f"server.port = {cls.port}",
            f'server.errorlog = "{cls.errorlog}"',
            f'server.upload-dirs = ("{cls.spool}")',
            f"server.stream-request-body = {cls.stream_request_body}",
            "server.max-request-size = 1048576",
            'cgi.assign = (".cgi" => "")',
            f'setenv.add-environment = ("PARCELMOOR_DIR" => "{cls.uploads}")',
            "",
        ])

    @classmethod
    def accepts(cls):
        try:
            with socket.create_connection(("127.0.0.1", cls.port), timeout=1):
                return True
        except OSError:
            return False

    @classmethod
    def read_errorlog(cls):
        try:
            with open(cls.errorlog, errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return ""

    @classmethod
    def tearDownClass(cls):
        if cls.proc is not None and cls.proc.poll() is None:
            cls.proc.send_signal(signal.SIGTERM)
            try:
                cls.proc.wait(10)
            except subprocess.TimeoutExpired:
                cls.proc.kill()
                cls.proc.wait(10)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        for name in os.listdir(self.uploads):
            if name != ".parcelmoor":
                os.remove(os.path.join(self.uploads, name))
        self.work = tempfile.mkdtemp(dir=self.tmp)

    def listing(self):
        """The upload directory's names, without the server's private directory."""
        return [n for n in os.listdir(self.uploads) if n != ".parcelmoor"]

    def temporaries(self):
        private = os.path.join(self.uploads, ".parcelmoor")
        return [n for n in os.listdir(private) if n.endswith(".part")] if os.path.isdir(private) else []

    def url(self):
        return f"http://127.0.0.1:{self.port}{SCRIPT}"

    def curl(self, *args):
        """Runs curl; returns (status, content type, body bytes)."""
        body = os.path.join(self.work, "response")
        out = subprocess.run([CURL, "-sS", "--max-time", "60", "-o", body,
                              "-w", "%{http_code}\n%{content_type}", *args, self.url()],
                             capture_output=True, timeout=90)
        self.assertEqual(out.returncode, 0, out.stderr.decode(errors="replace"))
        status, ctype = out.stdout.decode().split("\n", 1)
        with open(body, "rb") as f:
            return int(status), ctype, f.read()

    def write_file(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def stored(self, name):
        with open(os.path.join(self.uploads, name), "rb") as f:
            return f.read()

    def test_get_serves_the_upload_page(self):
        status, ctype, body = self.curl()
        self.assertEqual(status, 200, self.read_errorlog())
        self.assertTrue(ctype.startswith("text/html"), ctype)
        page = body.decode().lower()
        self.assertIn("multipart/form-data", page)
        self.assertIn('type="file"', page)
        self.assertIn("multiple", page)
        self.assertEqual(self.listing(), [])

    def upload_form(self, accept_json):
        files = {
            "lines.bin": binary_content(150_000, 1),     # crosses the 65,535-byte chunk size
            "big data.bin": binary_content(2_500_000, 2),
            "empty.txt": b"",
        }
        args = ["-F", "title=hello world", "-F", "tag=first", "-F", "tag=second",
                "--form-string", 'note=<b>&"quoted"</b>']
        for field, name in (("f1", "lines.bin"), ("f2", "big data.bin"), ("f3", "empty.txt")):
            path = self.write_file(name, files[name])
            args += ["-F", f'{field}=@"{path}";filename="{name}";type=application/octet-stream']
        if accept_json:
            args += ["-H", "Accept: application/json"]
        return files, self.curl(*args)

    def test_upload_of_fields_and_files_answers_json_and_stores_every_byte(self):
        files, (status, ctype, body) = self.upload_form(accept_json=True)
        self.assertEqual(status, 200, body[:2000])
        self.assertTrue(ctype.startswith("application/json"), ctype)
        page = json.loads(body)
        self.assertEqual(page["component"], {"result": 1, "uploadAllFilesOrNone": False, "error": None,
                                             "releaseError": None})
        items = {item["name"]: item for item in page["form"]}
        self.assertEqual([item["name"] for item in page["form"]],
                         ["title", "tag", "note", "f1", "f2", "f3"])
        self.assertEqual(items["title"]["values"], ["hello world"])
        self.assertEqual(items["tag"]["values"], ["first", "second"])
        self.assertTrue(items["tag"]["multipleValues"])
        self.assertEqual(items["note"]["values"], ['<b>&"quoted"</b>'])
        self.assertFalse(items["title"]["isFile"])
        for field, name in (("f1", "lines.bin"), ("f2", "big data.bin"), ("f3", "empty.txt")):
            with self.subTest(file=name):
                self.assertTrue(items[field]["isFile"])
                self.assertEqual(items[field]["fileName"], name)
                self.assertEqual(items[field]["fileSize"], len(files[name]))
                self.assertEqual(self.stored(name), files[name])
        self.assertEqual(sorted(self.listing()), sorted(files))

    def test_upload_answers_an_escaped_html_page_by_default(self):
        files, (status, ctype, body) = self.upload_form(accept_json=False)
        self.assertEqual(status, 200, body[:2000])
        self.assertTrue(ctype.startswith("text/html"), ctype)
        page = body.decode()
        self.assertIn("&lt;b&gt;&amp;&quot;quoted&quot;&lt;/b&gt;", page)
        self.assertNotIn("<b>&", page)
        for name, data in files.items():
            self.assertIn(name, page)
            self.assertIn(str(len(data)), page)
            self.assertEqual(self.stored(name), data)


class BufferedBody(LighttpdCgi, unittest.TestCase):
    """lighttpd spools the whole body, then runs the CGI with it on stdin."""
    stream_request_body = 0


class StreamedBody(LighttpdCgi, unittest.TestCase):
    """lighttpd passes the body to the CGI while the client still sends it."""
    stream_request_body = 2

    def test_client_cut_off_mid_upload_leaves_no_file(self):
        boundary = "----cutoffboundary7MA4YWxkTrZu0gW"
        head = (f"--{boundary}\r\n"
                'Content-Disposition: form-data; name="done"; filename="complete.bin"\r\n'
                "Content-Type: application/octet-stream\r\n\r\n").encode()
        complete = binary_content(70_000, 3)
        second = (f"\r\n--{boundary}\r\n"
                  'Content-Disposition: form-data; name="cut"; filename="partial.bin"\r\n'
                  "Content-Type: application/octet-stream\r\n\r\n").encode()
        sent = head + complete + second + binary_content(200_000, 4)
        announced = len(sent) + 1_000_000
        request = (f"POST {SCRIPT} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   f"Content-Type: multipart/form-data; boundary={boundary}\r\n"
                   f"Content-Length: {announced}\r\n\r\n").encode()
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall(request + sent)
            # The CGI is writing the second file (the first waits for its
            # commit): two temporaries in the private directory.
            self.assertTrue(wait_until(lambda: len(self.temporaries()) == 2, 15),
                "the CGI never started storing: " + self.read_errorlog())
            # Abort with a reset, as a killed client does.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        # All or none: the cut upload keeps neither file.
        self.assertTrue(wait_until(lambda: self.listing() == [] and self.temporaries() == [], 15),
                        f"left behind: {self.listing()} {self.temporaries()}")
        # The server goes on answering.
        status, _, _ = self.curl()
        self.assertEqual(status, 200)


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
