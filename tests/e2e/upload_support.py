"""Helpers for the end-to-end tests of `parcelmoor serve` and `parcelmoor cgi`:
request bodies, a server process on a loopback port, raw HTTP over a socket.
Standard library only; every wait is bounded."""

import contextlib
import os
import random
import re
import select
import signal
import socket
import socketserver
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import weakref

CURL = "/usr/bin/curl"


def binary_content(size, seed):
    """Bytes with the hard cases for a multipart parser: CR LF, lone CR and LF,
    lines starting with "--", a look-alike delimiter, NULs and 0xFF."""
    rng = random.Random(seed)
    tricky = [b"\r\n", b"\r", b"\n", b"\r\n--\r\n", b"\r\n--", b"--\r\n", b"\r\n\r\n",
              b"\r\n------------------------not-the-boundary\r\n", b"\x00\x00", b"\xff\xfe"]
    out = bytearray()
    while len(out) < size:
        out += rng.randbytes(rng.randint(1, 3000))
        out += rng.choice(tricky)
    return bytes(out[:size])


BOUNDARY = "----parcelmoorE2eBoundary7MA4YWxkTrZu0gW"


def part_head(name, filename=None):
    disposition = f'form-data; name="{name}"'
    if filename is not None:
        disposition += f'; filename="{filename}"'
    head = f"--{BOUNDARY}\r\nContent-Disposition: {disposition}\r\n"
    if filename is not None:
        head += "Content-Type: application/octet-stream\r\n"
    return (head + "\r\n").encode()


def multipart(parts):
    """parts: (name, filename or None, bytes). Returns the whole body."""
    body = b""
    for name, filename, data in parts:
        body += part_head(name, filename) + data + b"\r\n"
    return body + f"--{BOUNDARY}--\r\n".encode()


CONTENT_TYPE = f"multipart/form-data; boundary={BOUNDARY}"


class UnixApplication(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
    """A test application's HTTP server on a Unix socket."""
    daemon_threads = True

    def get_request(self):
        conn, _ = super().get_request()
        return conn, ("local", 0)  # http.server wants a (host, port) client address


def stored_files(directory):
    """{name: bytes} of every regular file directly in `directory` (none when
    it is missing); the server's private directory is not a file."""
    out = {}
    for name in os.listdir(directory) if os.path.isdir(directory) else []:
        path = os.path.join(directory, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                out[name] = f.read()
    return out


def listening(port):
    """Whether something accepts connections on 127.0.0.1:port."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def process_status(pid, field):
    """A number from /proc/PID/status: VmHWM (KiB), Threads, ..."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} for pid {pid}")


def wait_until(predicate, seconds, step=0.05):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def peak_rss_kib(pid):
    return process_status(pid, "VmHWM")


class ServeProcess:
    """`parcelmoor serve --port 0` on 127.0.0.1; the port is read from the
    line the server prints. Its log goes to a file, or to `stderr` when
    given. `launcher` goes before the command (e.g. prlimit and its
    arguments)."""

    def __init__(self, binary, workdir, *extra, launcher=(), stderr=None):
        self.dir = os.path.join(workdir, "uploads")
        self.log_path = os.path.join(workdir, "serve.log")
        self.log_file = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            [*launcher, binary, "serve", "--bind", "127.0.0.1", "--port", "0", "--dir", self.dir, *extra],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr or self.log_file)
        line = b""
        deadline = time.monotonic() + 15
        while not line.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([self.proc.stdout], [], [], 0.5)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 1)
                if not chunk:
                    break
                line += chunk
        m = re.match(rb"parcelmoor serving http://127\.0\.0\.1:(\d+)/ \((.*)\)\n", line)
        if not m:
            self.stop()
            raise RuntimeError(f"serve did not start: {line!r} {self.log()}")
        self.port = int(m.group(1))
        self.capacity = m.group(2).decode()
        self.url = f"http://127.0.0.1:{self.port}/"

    def log(self):
        self.log_file.flush()
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def log_lines(self):
        return [l for l in self.log().splitlines() if re.match(r"\d{4}-\d\d-\d\dT", l)]

    def wait_log_lines(self, count, seconds=5):
        """The request log lines, once there are at least `count` (each line
        is written after its answer has gone out)."""
        wait_until(lambda: len(self.log_lines()) >= count, seconds)
        return self.log_lines()

    def stop(self, sig=signal.SIGTERM, timeout=30):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        self.proc.stdout.close()
        self.log_file.close()
        return self.proc.returncode

    def stored(self):
        """The names in the upload directory and the temporaries of uploads
        being written (as ".parcelmoor/NAME"), without the rest of the
        server's private directory."""
        names = [n for n in os.listdir(self.dir) if n != ".parcelmoor"]
        return sorted(names + [".parcelmoor/" + n for n in self.temporaries()])

    def temporaries(self):
        """The temporaries of uploads being written (random names in the private directory)."""
        private = os.path.join(self.dir, ".parcelmoor")
        if not os.path.isdir(private):
            return []
        return [n for n in os.listdir(private) if re.fullmatch(r"[0-9a-f]{32}\.part", n)]

    def writing(self, name):
        """True while an upload writes a file (temporaries carry no name:
        `name` only says which one the caller waits for)."""
        return bool(self.temporaries())

    def read_stored(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()


def curl(url, *args, timeout=120):
    """Runs curl; returns (status, headers text, body bytes, seconds)."""
    start = time.monotonic()
    out = subprocess.run([CURL, "-sS", "--max-time", str(timeout), "-D", "-", "-o", "/dev/stderr",
                          "-w", "\n%{http_code}", *args, url],
                         capture_output=True, timeout=timeout + 30)
    elapsed = time.monotonic() - start
    if out.returncode != 0:
        raise AssertionError(f"curl failed ({out.returncode}): {out.stdout[-300:]!r}")
    text = out.stdout.decode(errors="replace")
    headers, _, status = text.rpartition("\n")
    return int(status), headers, out.stderr, elapsed


def connect(port, timeout=10):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.settimeout(timeout)
    return s


# Bytes read past a response on a socket: the start of the next one, when
# answers to pipelined requests arrive together.
_READ_AHEAD = weakref.WeakKeyDictionary()


def read_response(sock, limit=1 << 20):
    """Reads one HTTP response (header and Content-Length body) from a socket.
    Returns (status, headers dict with lower-case names, body). A server that
    closes on a body it will not read resets the connection, which can cut a
    long answer short: the body then ends where the close or reset came."""
    data = _READ_AHEAD.pop(sock, b"")
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError(f"closed before a response header: {data!r}")
        data += chunk
        if len(data) > limit:
            raise AssertionError("response header too large")
    head, _, rest = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", "0"))
    try:
        while len(rest) < length and (chunk := sock.recv(65536)):
            rest += chunk
    except ConnectionResetError:
        pass
    if len(rest) > length:
        _READ_AHEAD[sock] = rest[length:]
    return status, headers, rest[:length]


def closed_by_peer(sock, seconds):
    """True when the peer closes (or resets) the connection within `seconds`;
    drains what it sends meanwhile."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        sock.settimeout(max(0.05, deadline - time.monotonic()))
        try:
            if not sock.recv(65536):
                return True
        except socket.timeout:
            return False
        except (ConnectionResetError, BrokenPipeError):
            return True
    return False


def kill_process(proc):
    if proc.poll() is None:
        proc.kill()
    proc.wait(10)


class ServeTestCase(unittest.TestCase):
    """A fresh `parcelmoor serve` per test, with the options of `server_args`.
    `binary` comes from PARCELMOOR_BIN or the suite's first argument."""

    binary = os.environ.get("PARCELMOOR_BIN", "")
    server_args = ()

    def setUp(self):
        if not self.binary or not os.access(self.binary, os.X_OK):
            self.skipTest("no parcelmoor binary given")
        self.work = tempfile.mkdtemp(prefix="parcelmoor-serve-")
        self.server = ServeProcess(self.binary, self.work, *self.server_args)

    def tearDown(self):
        code = self.server.stop()
        shutil.rmtree(self.work, ignore_errors=True)
        self.assertEqual(code, 0, "serve did not exit cleanly on SIGTERM")

    def write_file(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def post_raw(self, body, extra_headers=""):
        with connect(self.server.port) as s:
            s.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {CONTENT_TYPE}\r\n"
                       f"Accept: application/json\r\nContent-Length: {len(body)}\r\n{extra_headers}\r\n").encode()
                      + body)
            return read_response(s)


def run_suite():
    """unittest.main, taking the binary from the first argument if given."""
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        ServeTestCase.binary = sys.argv.pop(1)
    unittest.main(verbosity=2)


def take(sock):
    """What the peer has sent that is waiting, and whether it has closed or
    reset the connection. Leaves the socket non-blocking."""
    data = b""
    sock.setblocking(False)
    try:
        while chunk := sock.recv(65536):
            data += chunk
        return data, True
    except BlockingIOError:
        return data, False
    except OSError:
        return data, True


@contextlib.contextmanager
def dripping(sockets, byte, every):
    """While the block runs, a thread sends `byte` on each of `sockets` every
    `every` seconds, passing over connections the server has closed."""
    stop = threading.Event()

    def drip():
        while not stop.wait(every):
            for s in sockets:
                try:
                    s.send(byte)
                except OSError:
                    pass

    thread = threading.Thread(target=drip)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join(10)


def cgi_environment(directory, length, **extra):
    """What a web server gives `parcelmoor cgi` for a POST of `length` body
    bytes (multipart, with BOUNDARY) into `directory`, plus `extra`."""
    return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "GATEWAY_INTERFACE": "CGI/1.1",
            "REQUEST_METHOD": "POST", "SCRIPT_NAME": "/upload.cgi", "REMOTE_ADDR": "127.0.0.1",
            "SERVER_PROTOCOL": "HTTP/1.1", "CONTENT_TYPE": CONTENT_TYPE, "CONTENT_LENGTH": str(length),
            "PARCELMOOR_DIR": directory, **extra}
