#!/usr/bin/env python3
"""parcelmoor serve against the servers users would pick instead, and the floor.

Servers (all on 127.0.0.1, storing to directories of one work folder on one
disk): parcelmoor serve with its defaults (sync on) and with --no-sync; Go
net/http with MultipartReader (streaming) and with ParseMultipartForm; Node
http + busboy; nginx + PHP-FPM with move_uploaded_file; and a C socket sink
that writes the raw body to a file (the floor: no parsing at all), once
reading up to 1 MiB per recv() and once 65,535 bytes, the most the
component asks of its host per read (serve reads a large body ahead, up to
512 KiB per recv()).

Workloads (bodies as browsers and curl send them: Chromium's 38-character
boundary for the browser-like ones, curl's 40-character one for the big ones):
  big1   one 1 GiB file in one request
  big8   8 requests of one 256 MiB file each, at once
  many   1,000 files of 64 KiB in one request
  burst  50 clients x 20 uploads of one 64 KiB file, one after another on a
         kept-alive connection each, all from 127.0.0.1

Every stored byte is checked after each run. Earlier outputs are moved aside
(renamed into a folder deleted once a round is over), not deleted between
runs: on ext4, creating files right after thousands were deleted nearby is
several times slower, which would charge one server for another's clean-up.
Between runs the disk is synced (untimed), so that no server is throttled by
the write-back of another's output. Each round runs every workload on every
server, the servers' order rotating
from round to round; the table gives the medians of the rounds and the
ratios of parcelmoor to the best peer and to each sink (below 1: faster).
Memory the run's page cache will take is touched and freed right before each
run (see warm_memory).

Usage: bench/servers/run.py [--parcelmoor BUILD/apps/parcelmoor] [--rounds 3]
         [--work /tmp/parcelmoor-servers-bench] [--workloads big1,big8,many,burst]
         [--before OTHER_BUILD/apps/parcelmoor]   (two builds side by side)
         [--metrics]   (parcelmoor with a metrics listener beside it)
         [--servers parcelmoor,sink]   (only these servers)
Run bench/servers/setup.sh once first (packages, busboy, the Go and C builds).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys

from peers import SINK_65535, servers

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CHROMIUM = "----WebKitFormBoundary" + "7MA4YWxkTrZu0gW9"   # 38 characters
CURL = "-" * 24 + "9051914041544843"                        # 40 characters
MIB = 1 << 20
BLOCK = 4 * MIB


# ---------------------------------------------------------------- bodies

def part_head(boundary, name):
    return (f"--{boundary}\r\nContent-Disposition: form-data; name=\"files[]\"; filename=\"{name}\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n").encode()


def named_content(name, payload):
    """A small file's bytes: its name, padded to 32 bytes, then the payload."""
    return name.ljust(32).encode() + payload[32:]


class Body:
    """A request body on disk and where each file's bytes lie in it."""

    def __init__(self, path, files):
        self.path, self.files = path, files   # files: [(name, offset, length)]


def big_body(work, boundary, name, size):
    path = os.path.join(work, "bodies", f"{name}.body")
    head, tail = part_head(boundary, name), f"\r\n--{boundary}--\r\n".encode()
    if not os.path.exists(path) or os.path.getsize(path) != len(head) + size + len(tail):
        with open(path + ".tmp", "wb") as f:
            f.write(head)
            for _ in range(size // MIB):
                f.write(os.urandom(MIB))
            f.write(tail)
        os.rename(path + ".tmp", path)
    return Body(path, [(name, len(head), size)])


def many_body(work, payload):
    path = os.path.join(work, "bodies", "many.body")
    files, out = [], bytearray()
    for i in range(1000):
        name = f"m{i}.bin"
        out += part_head(CHROMIUM, name)
        files.append((name, len(out), len(payload)))
        out += named_content(name, payload) + b"\r\n"
    out += f"--{CHROMIUM}--\r\n".encode()
    with open(path, "wb") as f:
        f.write(out)
    return Body(path, files)


# ---------------------------------------------------------------- checks

def same_bytes(stored, source, offset, length):
    if os.path.getsize(stored) != length:
        return False
    with open(stored, "rb") as a, open(source, "rb") as b:
        b.seek(offset)
        left = length
        while left > 0:
            n = min(BLOCK, left)
            if a.read(n) != b.read(n):
                return False
            left -= n
    return True


def stored_names(out):
    return sorted(n for n in os.listdir(out) if not n.startswith("."))


def check_files(out, bodies, burst_payload):
    """Every file the workload sent, whole, and nothing else."""
    names = stored_names(out)
    if burst_payload is not None:
        expected = {f"c{c}-u{u}.bin" for c in range(50) for u in range(20)}
        if set(names) != expected:
            return f"stored {len(names)} files, expected {len(expected)}"
        for n in names:
            with open(os.path.join(out, n), "rb") as f:
                if f.read() != named_content(n, burst_payload):
                    return f"{n} differs"
        return None
    expected = {name: (body.path, off, length) for body in bodies for name, off, length in body.files}
    if set(names) != set(expected):
        return f"stored {len(names)} files, expected {len(expected)}"
    for n in names:
        if not same_bytes(os.path.join(out, n), *expected[n]):
            return f"{n} differs"
    return None


def check_sink(out, bodies, burst_payload):
    """Every raw body the workload sent, whole."""
    names = stored_names(out)
    if burst_payload is not None:
        if len(names) != 1000:
            return f"stored {len(names)} bodies, expected 1000"
        for n in names:
            with open(os.path.join(out, n), "rb") as f:
                data = f.read()
            name = data.split(b'filename="', 1)[1].split(b'"', 1)[0].decode()
            want = part_head(CHROMIUM, name) + named_content(name, burst_payload) + f"\r\n--{CHROMIUM}--\r\n".encode()
            if data != want:
                return f"the body of {name} differs"
        return None
    if len(names) != len(bodies):
        return f"stored {len(names)} bodies, expected {len(bodies)}"
    for n in names:
        path = os.path.join(out, n)
        with open(path, "rb") as f:
            first = f.read(4096)
        matches = [b for b in bodies if os.path.getsize(b.path) == os.path.getsize(path)
                   and open(b.path, "rb").read(4096) == first]
        if not matches or not same_bytes(path, matches[0].path, 0, os.path.getsize(matches[0].path)):
            return f"{n} differs"
    return None


# ---------------------------------------------------------------- runs

def run_one(args, work, server, workload, bodies, payload_path, burst_payload):
    load = os.path.join(work, "bin", "go-load")
    url = f"http://127.0.0.1:{server.port}/"
    if workload == "burst":
        argv = [load, "-url", url, "-boundary", CHROMIUM, "-clients", "50", "-uploads", "20",
                "-payload", payload_path]
    else:
        boundary = CHROMIUM if workload == "many" else CURL
        argv = [load, "-url", url, "-boundary", boundary] + [b.path for b in bodies]
    read_through(bodies)
    warm_memory(sum(os.path.getsize(b.path) for b in bodies) + 64 * MIB)
    done = subprocess.run(argv, capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        return None, done.stderr.strip()
    seconds = float(done.stdout.strip())
    check = check_sink if server.name.startswith("sink") else check_files
    problem = check(server.out, bodies, burst_payload if workload == "burst" else None)
    return (None, problem) if problem else (seconds, None)


def warm_memory(size):
    """Touches `size` bytes of memory and frees them, right before a run.

    A virtual machine whose kernel hands freed pages back to the host (free
    page reporting, as on Firecracker) pays a host fault for every page it
    takes again: a run that happened to get such pages for its page cache
    measured 2-4x slower than one that did not. Freed just before the run,
    these pages are the ones the run's page cache takes, for every server
    alike."""
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    if shm is None:
        return
    with open("/proc/meminfo") as f:
        available = next(int(line.split()[1]) * 1024 for line in f if line.startswith("MemAvailable:"))
    size = min(size * 5 // 4, available // 4)
    path = os.path.join(shm, f"parcelmoor-bench-warm-{os.getpid()}")
    try:
        with open(path, "wb") as f:
            block = bytes(4 * MIB)
            for _ in range(size // len(block)):
                f.write(block)
    finally:
        os.unlink(path)


def move_aside(work, server, tag):
    aside = os.path.join(work, "aside")
    os.makedirs(aside, exist_ok=True)
    os.rename(server.out, os.path.join(aside, tag))
    os.mkdir(server.out)


def drop_from_cache(folder):
    """Drops a run's synced outputs from the page cache. A round writes more
    than the memory of a small machine holds: left cached, they pushed the
    bodies out, and the load client then read its 1 GiB body from the disk
    (a sink measured 2.7 s instead of 0.5 s)."""
    for top, _, files in os.walk(folder):
        for name in files:
            fd = os.open(os.path.join(top, name), os.O_RDONLY)
            try:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)


def read_through(bodies):
    """Reads the bodies once, untimed, so that the client sends them from
    the page cache."""
    for body in bodies:
        with open(body.path, "rb") as f:
            while f.read(BLOCK):
                pass


def table(results, workloads, names):
    """Medians, the best peer, and each parcelmoor variant's ratios to it
    and to the sink."""
    floors = ("sink", SINK_65535)
    peers = [n for n in names if not n.startswith(("parcelmoor", "before:")) and n not in floors]
    ours = [n for n in names if n.startswith(("parcelmoor", "before:"))]
    bases = ("best",) + floors
    columns = names + ["best peer"] + [f"{n} × {base}" for n in ours for base in bases]
    lines = ["| workload | " + " | ".join(columns) + " |", "|" + "---|" * (len(columns) + 1)]
    labels = {"big1": "one 1 GiB file", "big8": "8 × 256 MiB at once", "many": "1,000 × 64 KiB in one request",
              "burst": "50 clients × 20 × 64 KiB"}
    for w in workloads:
        med = {n: statistics.median(results[(n, w)]) if results[(n, w)] else None for n in names}
        ok_peers = [n for n in peers if med[n] is not None]
        best = min(ok_peers, key=lambda n: med[n]) if ok_peers else None

        def ratio(n, base):
            if base is None or med[n] is None or med[base] is None:
                return "–"
            return f"{med[n] / med[base]:.2f}"
        cells = [f"{med[n]:.3f} s" if med[n] is not None else "failed" for n in names] + [str(best)]
        cells += [ratio(n, best if base == "best" else base) for n in ours for base in bases]
        lines.append(f"| {labels[w]} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--parcelmoor", default=os.path.join(ROOT, "build", "apps", "parcelmoor"))
    parser.add_argument("--before", help="another parcelmoor build, run beside the first (its defaults and --no-sync)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--work", default="/tmp/parcelmoor-servers-bench")
    parser.add_argument("--workloads", default="big1,big8,many,burst")
    parser.add_argument("--metrics", action="store_true",
                        help="also parcelmoor and parcelmoor --no-sync with a metrics listener (--metrics-bind)")
    parser.add_argument("--servers", help="only the servers whose names begin with one of these (comma-separated)")
    args = parser.parse_args()
    workloads = args.workloads.split(",")
    work = args.work
    for d in ("bodies", "bin"):
        os.makedirs(os.path.join(work, d), exist_ok=True)
    for tool in ("go-server", "go-load", "sink"):
        if not os.access(os.path.join(work, "bin", tool), os.X_OK):
            sys.exit(f"no {tool} in {work}/bin: run bench/servers/setup.sh {work}")
    shutil.rmtree(os.path.join(work, "out"), ignore_errors=True)
    shutil.rmtree(os.path.join(work, "aside"), ignore_errors=True)

    print("preparing bodies ...", flush=True)
    payload = os.urandom(64 * 1024)
    payload_path = os.path.join(work, "bodies", "payload64k")
    with open(payload_path, "wb") as f:
        f.write(payload)
    bodies = {
        "big1": [big_body(work, CURL, "big.bin", 1024 * MIB)] if "big1" in workloads else [],
        "big8": [big_body(work, CURL, f"par{i}.bin", 256 * MIB) for i in range(8)] if "big8" in workloads else [],
        "many": [many_body(work, payload)] if "many" in workloads else [],
        "burst": [],
    }
    all_servers = servers(args, work)
    names = [s.name for s in all_servers]
    results = {(n, w): [] for n in names for w in workloads}
    loads = [open("/proc/loadavg").read().split()[0]]
    for s in all_servers:
        s.start()
    try:
        for r in range(args.rounds):
            order = all_servers[r % len(all_servers):] + all_servers[:r % len(all_servers)]
            for w in workloads:
                for s in order:
                    seconds, problem = run_one(args, work, s, w, bodies[w], payload_path, payload)
                    print(f"round {r + 1} {w:5} {s.name:22} " + (f"{seconds:.3f} s" if problem is None else
                                                                  f"FAILED: {problem}"), flush=True)
                    if problem is None:
                        results[(s.name, w)].append(seconds)
                    tag = f"{r}-{w}-{s.name.replace(' ', '_')}"
                    move_aside(work, s, tag)
                    # What this run left dirty is written back now, untimed:
                    # the next server starts with the disk idle rather than
                    # throttled by another's write-back.
                    os.sync()
                    drop_from_cache(os.path.join(work, "aside", tag))
            loads.append(open("/proc/loadavg").read().split()[0])
            # The round is over: its outputs go, and the disk settles, before
            # the next round creates anything.
            shutil.rmtree(os.path.join(work, "aside"), ignore_errors=True)
            os.sync()
    finally:
        for s in all_servers:
            s.stop()
    print()
    print(table(results, workloads, names))
    print(f"\nmedians of {args.rounds} interleaved rounds; 1-minute load average at the start and after each "
          f"round: {', '.join(loads)} ({os.cpu_count()} CPUs)")
    if any(not results[(n, w)] for n, w in results if not n.startswith("before:")):
        sys.exit(1)


if __name__ == "__main__":
    main()
