#!/usr/bin/env python3
"""What syncing stored files costs `parcelmoor serve`: the same requests with
sync on (the default) and with --no-sync, one run each, over loopback:
one upload of one 1 GiB file, and one request of 1,000 files of 64 KiB.
Prints the seconds from the request's first byte to the answer's last, the
median of --runs runs taken in turn (sync, no sync, sync, ...), as the disk is
shared and single runs vary.

Each run gets a fresh upload directory; the earlier one is moved aside (into
a folder deleted once every run is over), because creating files right next
to thousands just deleted is several times slower on some file systems and
would charge one run for the last one's clean-up.

Usage: bench/durability.py PARCELMOOR_BINARY [--big-mib 1024] [--files 1000] [--file-kib 64] [--runs 3]
"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

BOUNDARY = "----parcelmoorDurabilityBench7MA4YW"


def part_head(index):
    return (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"f{index}\"; filename=\"f{index}.bin\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n").encode()


def post(port, pieces, length):
    """Sends the body given as (bytes, repeat) pieces; returns (status, seconds)."""
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=600) as s:
        s.sendall((f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; boundary={BOUNDARY}"
                   f"\r\nAccept: application/json\r\nConnection: close\r\nContent-Length: {length}\r\n\r\n").encode())
        for data, repeat in pieces:
            for _ in range(repeat):
                s.sendall(data)
        answer = b""
        while chunk := s.recv(1 << 16):
            answer += chunk
    return int(answer.split(b" ", 2)[1]), time.monotonic() - start


def big_file(mib):
    chunk = os.urandom(1 << 20)
    tail = f"\r\n--{BOUNDARY}--\r\n".encode()
    pieces = [(part_head(0), 1), (chunk, mib), (tail, 1)]
    return pieces, sum(len(d) * n for d, n in pieces)


def many_files(count, kib):
    data = os.urandom(kib << 10)
    body = b"".join(part_head(i) + data + b"\r\n" for i in range(count)) + f"--{BOUNDARY}--\r\n".encode()
    return [(body, 1)], len(body)


def run(binary, work, trash, options, pieces, length):
    uploads = os.path.join(work, "uploads")
    if os.path.exists(uploads):
        os.rename(uploads, os.path.join(trash, str(len(os.listdir(trash)))))
    proc = subprocess.Popen([binary, "serve", "--bind", "127.0.0.1", "--port", "0", "--dir", uploads,
                             "--max-parts", "0", *options],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        line = proc.stdout.readline()
        port = int(re.search(rb":(\d+)/", line).group(1))
        subprocess.run(["sync"], check=True)  # no earlier run's dirty pages in this one's flushes
        status, seconds = post(port, pieces, length)
    finally:
        proc.terminate()
        proc.wait(60)
    if status != 200:
        sys.exit(f"answer {status} with {options}")
    return seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--big-mib", type=int, default=1024)
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--file-kib", type=int, default=64)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="parcelmoor-durability-", dir=os.environ.get("BENCH_DIR"))
    trash = os.path.join(work, "trash")
    os.mkdir(trash)
    try:
        for why, (pieces, length) in ((f"one file of {args.big_mib} MiB", big_file(args.big_mib)),
                                      (f"{args.files} files of {args.file_kib} KiB in one request",
                                       many_files(args.files, args.file_kib))):
            runs = {"sync": [], "no sync": []}
            for _ in range(args.runs):
                for name, options in (("sync", []), ("no sync", ["--no-sync"])):
                    runs[name].append(run(args.binary, work, trash, options, pieces, length))
            timed = {name: sorted(times)[len(times) // 2] for name, times in runs.items()}
            print(f"{why}: sync {timed['sync']:.2f} s, no sync {timed['no sync']:.2f} s, "
                  f"ratio {timed['sync'] / timed['no sync']:.2f}", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
