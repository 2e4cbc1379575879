#!/usr/bin/env python3
"""Start-up cost of two parcelmoor binaries, side by side.

What `store` and `cgi` pay on every call before any byte is parsed: the
dynamic loader mapping and relocating the libraries the binary links.
Builds nothing: give it two binaries (say this tree's build and a build of
an older commit in a worktree of its own) and it times, interleaved round
by round (A B, then B A, so that neither always runs second):

  version  `parcelmoor --version`
  store    `parcelmoor store --dir DIR BODY` of one 5-byte file
  cgi      `parcelmoor cgi --dir DIR`: one CGI POST of the same body on stdin

Wall time of each whole process (fork to reap, from this script) and its
CPU time (the kernel's accounting of the child); prints each command's
medians, the ratio A/B of the wall medians, the median of the per-round
wall ratios and the ratio of the CPU medians (on a busy machine the CPU
time is disturbed less than the wall time). The upload directory is kept from run to run, as a web server's
CGI program finds it (with whatever private state a binary keeps there),
and the stored file is checked and removed after each run, untimed.

Usage: bench/startup_vs.py BINARY_A BINARY_B [--rounds N] [--only version,store,cgi]
                            [--a-cgi-args "ARGS"] [--b-cgi-args "ARGS"]
--a-cgi-args/--b-cgi-args add options to that binary's cgi runs, such as
"--no-sync --checksum none" for a binary whose cgi syncs and hashes by
default against one that did neither.
Exits 1 when a run fails, or with --target R when a median wall ratio A/B
is above R.
"""
import argparse
import os
import resource
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BOUNDARY = "----startupBench7MA4YWxkTrZu0gW"
BODY = (f"--{BOUNDARY}\r\n"
        'Content-Disposition: form-data; name="file"; filename="five.txt"\r\n'
        "Content-Type: text/plain\r\n\r\n"
        f"hello\r\n--{BOUNDARY}--\r\n").encode()


def commands(binary, work, tag, extra):
    """The three workloads of one binary: (argv, stdin bytes, env, its directory)."""
    body = os.path.join(work, "body")
    store_dir = os.path.join(work, tag + "-store")
    cgi_dir = os.path.join(work, tag + "-cgi")
    cgi_env = dict(os.environ, GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="POST",
                   CONTENT_TYPE=f"multipart/form-data; boundary={BOUNDARY}",
                   CONTENT_LENGTH=str(len(BODY)), SCRIPT_NAME="/upload", PATH_INFO="",
                   SERVER_PROTOCOL="HTTP/1.1", REMOTE_ADDR="127.0.0.1")
    return {
        "version": ([binary, "--version"], None, None, None),
        "store": ([binary, "store", "--dir", store_dir, body], None, None, store_dir),
        "cgi": ([binary, "cgi", "--dir", cgi_dir, *extra], BODY, cgi_env, cgi_dir),
    }


def run_once(cmd):
    argv, stdin, env, directory = cmd
    if directory:
        os.makedirs(directory, exist_ok=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run(argv, input=stdin, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if done.returncode != 0:
        sys.exit(f"{' '.join(argv)} exited {done.returncode}: {done.stderr.decode(errors='replace')[-500:]}")
    if directory:
        with open(os.path.join(directory, "five.txt"), "rb") as stored:
            if stored.read() != b"hello":
                sys.exit(f"{' '.join(argv)} did not store five.txt whole")
        os.unlink(os.path.join(directory, "five.txt"))
    return wall, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("a")
    parser.add_argument("b")
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--only", default="version,store,cgi")
    parser.add_argument("--target", type=float)
    parser.add_argument("--a-cgi-args", default="")
    parser.add_argument("--b-cgi-args", default="")
    args = parser.parse_args()
    if not 3 <= args.rounds <= 1000:
        sys.exit("--rounds must be 3..1000")
    work = tempfile.mkdtemp(prefix="parcelmoor-startup-")
    missed = False
    try:
        with open(os.path.join(work, "body"), "wb") as f:
            f.write(BODY)
        a = commands(os.path.abspath(args.a), work, "a", shlex.split(args.a_cgi_args))
        b = commands(os.path.abspath(args.b), work, "b", shlex.split(args.b_cgi_args))
        print(f"A = {args.a} {args.a_cgi_args}\nB = {args.b} {args.b_cgi_args}\n{args.rounds} interleaved rounds after one warm-up each; ms")
        print(f"{'':8} {'A wall':>8} {'B wall':>8} {'A cpu':>8} {'B cpu':>8} {'A/B wall':>9} {'per-round':>9} {'A/B cpu':>8}")
        for name in args.only.split(","):
            run_once(a[name]), run_once(b[name])  # warm-up: page cache, directories
            times = {"a": [], "b": []}
            for r in range(args.rounds):
                order = ("a", "b") if r % 2 == 0 else ("b", "a")
                for side in order:
                    times[side].append(run_once((a if side == "a" else b)[name]))
            med = {s: (statistics.median(t[0] for t in times[s]) * 1e3, statistics.median(t[1] for t in times[s]) * 1e3)
                   for s in times}
            per_round = statistics.median(x[0] / y[0] for x, y in zip(times["a"], times["b"]))
            ratio = med["a"][0] / med["b"][0]
            print(f"{name:8} {med['a'][0]:8.2f} {med['b'][0]:8.2f} {med['a'][1]:8.2f} {med['b'][1]:8.2f} "
                  f"{ratio:9.2f} {per_round:9.2f} {med['a'][1] / med['b'][1]:8.2f}")
            if args.target is not None and ratio > args.target:
                missed = True
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if missed:
        print(f"a median wall ratio is above {args.target}")
        sys.exit(1)


if __name__ == "__main__":
    main()
