#!/usr/bin/env python3
"""Throughput of one resumable (tus) upload of a large file in fixed chunks
against one multipart upload of the same file, to one `parcelmoor serve`
with its defaults (sync on, SHA-256 on), over loopback. The same client
mechanism sends both: the file's bytes go from the page cache to the
socket with sendfile(), so the figures are the server's.

The multipart upload is one POST; the resumable one is a creation and one
PATCH per chunk on one kept-alive connection, the last of which stores the
file. Each is timed from its first request byte to its last answer byte.
A `sync` before each keeps one's dirty pages out of the other's flushes.

Usage: bench/resumable_vs_multipart.py PARCELMOOR_BINARY [--mib 1024] [--chunk-mib 8] [--runs 1]
"""

import argparse
import base64
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

BOUNDARY = "----parcelmoorResumableBench7MA4YW"


def read_answer(s):
    """(status, headers dict, body) of one answer with a Content-Length."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(1 << 16)
        if not chunk:
            raise ConnectionError("closed before an answer")
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.strip().lower(): v.strip() for k, _, v in (l.partition(":") for l in lines[1:])}
    while len(body) < int(headers.get("content-length", "0")):
        body += s.recv(1 << 16)
    return int(lines[0].split()[1]), headers, body


def send_file(s, f, offset, count):
    sent = s.sendfile(f, offset, count)  # sendfile() underneath, waiting as the socket's timeout allows
    if sent != count:
        raise ConnectionError(f"sent {sent} of {count} bytes")


def multipart(port, fd, size):
    head = (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"file\"; filename=\"multipart.bin\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n").encode()
    tail = f"\r\n--{BOUNDARY}--\r\n".encode()
    with socket.create_connection(("127.0.0.1", port), timeout=600) as s:
        s.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; boundary={BOUNDARY}"
                   f"\r\nAccept: application/json\r\nContent-Length: {len(head) + size + len(tail)}\r\n\r\n").encode()
                  + head)
        send_file(s, fd, 0, size)
        s.sendall(tail)
        return read_answer(s)[0]


def resumable(port, fd, size, chunk):
    tus = "Tus-Resumable: 1.0.0\r\n"
    name = base64.b64encode(b"resumable.bin").decode()
    with socket.create_connection(("127.0.0.1", port), timeout=600) as s:
        s.sendall((f"POST /files/ HTTP/1.1\r\nHost: 127.0.0.1\r\n{tus}Upload-Length: {size}\r\n"
                   f"Upload-Metadata: filename {name}\r\nContent-Length: 0\r\n\r\n").encode())
        status, headers, _ = read_answer(s)
        if status != 201:
            return status
        location = headers["location"]
        offset = 0
        while offset < size:
            n = min(chunk, size - offset)
            s.sendall((f"PATCH {location} HTTP/1.1\r\nHost: 127.0.0.1\r\n{tus}Upload-Offset: {offset}\r\n"
                       f"Content-Type: application/offset+octet-stream\r\nContent-Length: {n}\r\n\r\n").encode())
            send_file(s, fd, offset, n)
            status, headers, _ = read_answer(s)
            if status != 204:
                return status
            offset = int(headers["upload-offset"])
        return 200


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--mib", type=int, default=1024)
    parser.add_argument("--chunk-mib", type=int, default=8)
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="parcelmoor-resumable-bench-", dir=os.environ.get("BENCH_DIR"))
    source = os.path.join(work, "source.bin")
    size = args.mib << 20
    with open(source, "wb") as f:
        for _ in range(args.mib):
            f.write(os.urandom(1 << 20))
    proc = subprocess.Popen([args.binary, "serve", "--bind", "127.0.0.1", "--port", "0", "--dir",
                             os.path.join(work, "uploads"), *os.environ.get("BENCH_SERVE_ARGS", "").split()],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        port = int(re.search(rb":(\d+)/", proc.stdout.readline()).group(1))
        fd = open(source, "rb")
        sends = {"multipart": lambda: multipart(port, fd, size),
                 f"resumable, {args.chunk_mib} MiB chunks": lambda: resumable(port, fd, size, args.chunk_mib << 20)}
        for run in range(args.runs):
            for name, send in sends.items():
                for stored in ("multipart.bin", "resumable.bin"):
                    path = os.path.join(work, "uploads", stored)
                    if os.path.exists(path):
                        os.remove(path)
                subprocess.run(["sync"], check=True)
                start = time.monotonic()
                status = send()
                seconds = time.monotonic() - start
                if status != 200:
                    sys.exit(f"{name}: answer {status}")
                print(f"run {run + 1}, {name}: {args.mib} MiB in {seconds:.2f} s, {args.mib / seconds:.0f} MiB/s",
                      flush=True)
        fd.close()
    finally:
        proc.terminate()
        proc.wait(60)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
