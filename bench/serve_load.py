#!/usr/bin/env python3
"""Uploads per second of `parcelmoor serve` under many small uploads at once.

CLIENTS threads each post UPLOADS multipart bodies with one file of SIZE
bytes, one after another on one kept-alive connection (or a new connection
per upload with --new-connections), over loopback to a server started on a
free port. Every answer must be 200 and every stored file whole. Prints the
uploads per second over the whole run, the server's CPU time per upload
(steadier than the rate on a busy machine), the slowest upload, and the
server's peak RSS and thread count.

Usage: bench/serve_load.py PARCELMOOR_BINARY [--clients 50] [--uploads 20]
         [--size 65536] [--new-connections] [-- SERVE_OPTIONS...]
Each client connects from a loopback address of its own (127.0.1.1, ...),
or with --one-address all from 127.0.0.1, as browsers behind one NAT or
proxy do (the server's per-client cap then counts them as one client).
Answers other than 200 are counted by status and fail the run.
Example: compare two builds with the same options, e.g. `-- --max-uploads 16`.
"""

import argparse
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

BOUNDARY = "----parcelmoorLoadBench7MA4YWxkTrZu0gW"


def body_for(name, data):
    head = (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"f\"; filename=\"{name}\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n").encode()
    return head + data + f"\r\n--{BOUNDARY}--\r\n".encode()


def read_answer(sock, pending):
    """Reads one answer; returns (status, bytes read past it)."""
    data = pending
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed before an answer")
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1])
    length = int(re.search(rb"(?i)\r\ncontent-length: *(\d+)", head).group(1))
    while len(rest) < length:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed inside an answer")
        rest += chunk
    return status, rest[length:]


def client(port, index, args, data, results, refused):
    worst, sock, pending = 0.0, None, b""
    try:
        for n in range(args.uploads):
            body = body_for(f"c{index}-u{n}.bin", data)
            request = (f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: application/json\r\n"
                       f"Content-Type: multipart/form-data; boundary={BOUNDARY}\r\n"
                       f"Content-Length: {len(body)}\r\n\r\n").encode() + body
            start = time.monotonic()
            if sock is None:
                # Each client from an address of its own, as separate
                # clients are (the server caps uploads per address).
                source = ("127.0.0.1" if args.one_address else f"127.0.{1 + index // 250}.{1 + index % 250}", 0)
                sock = socket.create_connection(("127.0.0.1", port), timeout=60, source_address=source)
            sock.sendall(request)
            status, pending = read_answer(sock, pending)
            worst = max(worst, time.monotonic() - start)
            if status != 200:
                refused[status] = refused.get(status, 0) + 1
                sock.close()   # a refusal closes the connection
                sock, pending = None, b""
                continue
            if args.new_connections:
                sock.close()
                sock, pending = None, b""
        results[index] = worst
    except Exception as e:  # reported by the main thread
        results[index] = e
    finally:
        if sock:
            sock.close()


def status_field(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    """User plus system time of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    argv = sys.argv[1:]
    serve_options = []
    if "--" in argv:
        serve_options = argv[argv.index("--") + 1:]
        argv = argv[:argv.index("--")]
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--uploads", type=int, default=20)
    parser.add_argument("--size", type=int, default=65536)
    parser.add_argument("--new-connections", action="store_true")
    parser.add_argument("--one-address", action="store_true")
    args = parser.parse_args(argv)

    work = tempfile.mkdtemp(prefix="parcelmoor-load-")
    log = open(os.path.join(work, "serve.log"), "wb")
    proc = subprocess.Popen([args.binary, "serve", "--bind", "127.0.0.1", "--port", "0",
                             "--dir", os.path.join(work, "up"), *serve_options],
                            stdout=subprocess.PIPE, stderr=log)
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 20)
        line = proc.stdout.readline().decode() if ready else ""
        m = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        if not m:
            sys.exit(f"serve did not start: {line!r}")
        port = int(m.group(1))
        data = os.urandom(args.size)
        results, refused = [None] * args.clients, {}
        threads = [threading.Thread(target=client, args=(port, i, args, data, results, refused))
                   for i in range(args.clients)]
        peak_threads, stop = [0], threading.Event()

        def sample():
            while True:
                peak_threads[0] = max(peak_threads[0], status_field(proc.pid, "Threads"))
                if stop.wait(0.01):
                    return

        sampler = threading.Thread(target=sample)
        sampler.start()
        cpu_before = cpu_seconds(proc.pid)
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.monotonic() - start
        cpu = cpu_seconds(proc.pid) - cpu_before
        stop.set()
        sampler.join()
        failures = [r for r in results if not isinstance(r, float)]
        if failures:
            sys.exit(f"{len(failures)} clients failed, first: {failures[0]!r}")
        if refused:
            sys.exit(f"of {args.clients * args.uploads} uploads, answered instead of 200: {refused}")
        stored = [n for n in os.listdir(os.path.join(work, "up")) if n != ".parcelmoor"]
        total = args.clients * args.uploads
        sizes = {os.path.getsize(os.path.join(work, "up", n)) for n in stored}
        if len(stored) != total or sizes != {args.size}:
            sys.exit(f"stored {len(stored)} files of sizes {sorted(sizes)[:5]}, expected {total} of {args.size}")
        mode = "a new connection per upload" if args.new_connections else "one kept-alive connection per client"
        print(f"{args.clients} clients x {args.uploads} uploads of {args.size} bytes, {mode}")
        print(f"{total / elapsed:.0f} uploads/s ({elapsed:.2f} s); server CPU {cpu * 1e6 / total:.0f} us per upload; "
              f"slowest upload {max(results) * 1000:.0f} ms; server peak RSS {status_field(proc.pid, 'VmHWM')} KiB, threads up to {peak_threads[0]}")
    finally:
        proc.terminate()
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
        log.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
