#!/usr/bin/env bash
# Whole-process time of `parcelmoor store --dir DIR BODY` against
# `cat BODY > DIR/copy` on the same disk, and the peak RSS of a 2 GiB store.
#
# Generates five bodies in a temporary directory under /tmp:
#   W1 one 512 MiB file of random bytes
#   W2 1,000 files of 64 KiB
#   W3 20,000 fields of 16 to 24 characters
#   W4 a 64 MiB file dense with CR LF, lone CR and LF, lines that start with
#      "--" and near-copies of the delimiter line (never the delimiter itself)
#   W5 a 64 MiB file of CR bytes only
# and times both commands on each, interleaved (store, cat, store, cat, ...),
# with the upload directory emptied and dirty pages flushed before every run
# (not timed). Prints each workload's medians and the ratio store/cat against
# its target, then the peak RSS of `parcelmoor store` on a 2 GiB body read
# from a file (/usr/bin/time -f %M). Exits 1 when a target is missed.
#
# Usage: bench/store_vs_cat.sh [PARCELMOOR_BINARY]
#   RUNS=3..15 (default 7)   SKIP_RSS=1 skips the 2 GiB run
#   W4_NEAR=share of W4's lines that are near-copies of the delimiter (default 0.05)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIN="${1:-${PARCELMOOR_BIN:-$ROOT/build/apps/parcelmoor}}"
RUNS="${RUNS:-7}"
SKIP_RSS="${SKIP_RSS:-0}"

[ -x "$BIN" ] || { echo "no parcelmoor binary at $BIN (pass its path)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "needs python3" >&2; exit 2; }
case "$RUNS" in [3-9] | 1[0-5]) ;; *) echo "RUNS must be 3..15" >&2; exit 2 ;; esac

WORK="$(mktemp -d /tmp/parcelmoor-store-bench.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT

python3 - "$BIN" "$WORK" "$RUNS" "$SKIP_RSS" <<'PY'
import os, random, statistics, subprocess, sys, time

binary, work, runs, skip_rss = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1"
boundary = b"----parcelmoorBenchQ7fK2pZx9Lw3"
delim = b"--" + boundary
rng = random.Random(20240611)
# Share of W4's lines that are near-copies of the delimiter line (env W4_NEAR).
NEAR_SHARE = float(os.environ.get("W4_NEAR", "0.05"))
MiB = 1 << 20


def field_head(name):
    return delim + b'\r\nContent-Disposition: form-data; name="' + name + b'"\r\n\r\n'


def file_head(name, file_name):
    return (delim + b'\r\nContent-Disposition: form-data; name="' + name + b'"; filename="' + file_name +
            b'"\r\nContent-Type: application/octet-stream\r\n\r\n')


def close():
    return b"\r\n" + delim + b"--\r\n"


def write_body(path, parts):
    """parts: an iterable of byte strings written in order."""
    with open(path, "wb") as out:
        for piece in parts:
            out.write(piece)


def random_file(total, block=4 * MiB):
    left = total
    while left > 0:
        n = min(block, left)
        yield rng.randbytes(n)
        left -= n


def is_delimiter_line(line):
    return len(line) in (len(delim), len(delim) + 2) and line.startswith(delim)


def dense_block(size):
    """About `size` bytes of short lines full of line ends, lone CR and LF and
    "--" lines, with a share NEAR_SHARE of near-copies of the delimiter line;
    never a delimiter line."""
    near = [
        lambda: delim[:rng.randrange(1, len(delim))],            # a prefix
        lambda: delim + bytes([rng.randrange(33, 127)]),          # one byte more
        lambda: delim + rng.randbytes(3).replace(b"\r\n", b"xx"),  # three more
        lambda: delim[:5] + b"X" + delim[6:],                     # one byte changed
        lambda: delim.lower(),                                    # other case
        lambda: b"\n" + delim + b"--",                            # after a lone LF
    ]
    other = [
        lambda: b"--" + bytes(rng.choices(b"abcdefXYZ-", k=rng.randrange(0, 12))),
        lambda: bytes(rng.choices(b"abc \r\n\t-", k=rng.randrange(0, 30))),
        lambda: b"\r" * rng.randrange(1, 4),
        lambda: b"\n",
        lambda: b"",
    ]
    lines, n = [], 0
    while n < size:
        line = rng.choice(near)() if rng.random() < NEAR_SHARE else rng.choice(other)()
        # A line is what lies between two CR LF: re-split in case the pieces made more.
        for part in line.split(b"\r\n"):
            if is_delimiter_line(part):
                part = b"x" + part
            lines.append(part)
            n += len(part) + 2
    block = b"\r\n".join(lines) + b"\r\n"
    assert not any(is_delimiter_line(l) for l in block.split(b"\r\n"))
    return block


def dense_file(total, block):
    written = 0
    while written + len(block) <= total:
        yield block
        written += len(block)
    tail = total - written
    yield b"-" * tail  # pads to the exact size; no line end inside


def generate():
    bodies = {}
    path = os.path.join(work, "w1.body")
    write_body(path, [file_head(b"payload", b"w1.bin"), *random_file(512 * MiB), close()])
    bodies["W1"] = (path, 1.3, "one 512 MiB file of random bytes")

    path = os.path.join(work, "w2.body")
    parts = []
    for i in range(1000):
        parts += [file_head(b"f%d" % i, b"w2-%04d.bin" % i), rng.randbytes(64 * 1024), b"\r\n"]
    parts.append(delim + b"--\r\n")
    write_body(path, parts)
    bodies["W2"] = (path, 2.2, "1,000 files of 64 KiB")

    path = os.path.join(work, "w3.body")
    letters = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 "
    parts = []
    for i in range(20000):
        parts += [field_head(b"field%d" % i), bytes(rng.choices(letters, k=rng.randrange(16, 25))), b"\r\n"]
    parts.append(delim + b"--\r\n")
    write_body(path, parts)
    bodies["W3"] = (path, 4.0, "20,000 fields of 16 to 24 characters")

    path = os.path.join(work, "w4.body")
    block = dense_block(MiB)
    write_body(path, [file_head(b"payload", b"w4.bin"), *dense_file(64 * MiB, block), close()])
    bodies["W4"] = (path, 2.0, "a 64 MiB file, per MiB %d line ends, %d lone LF, %d CR LF + delimiter" %
                    (block.count(b"\r\n"), block.count(b"\n") - block.count(b"\r\n"), block.count(b"\r\n" + delim)))

    path = os.path.join(work, "w5.body")
    write_body(path, [file_head(b"payload", b"w5.bin"), *(b"\r" * MiB for _ in range(64)), close()])
    bodies["W5"] = (path, 1.5, "a 64 MiB file of CR bytes only")
    return bodies


def empty(directory):
    for name in os.listdir(directory):
        os.unlink(os.path.join(directory, name))
    os.sync()


def timed(argv, stdout_path):
    with open(stdout_path, "wb") as out:
        start = time.perf_counter()
        result = subprocess.run(argv, stdout=out, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit("%s failed (%d): %s" % (argv[0], result.returncode, result.stderr.decode(errors="replace")))
    return elapsed


def check_store(listing_path, body):
    """Guards against timing a failure: the listing must show a clean result."""
    with open(listing_path, "rb") as f:
        text = f.read()
    if not text.startswith(b"result: 1\n") or b"\nresponse: " in text:
        sys.exit("parcelmoor store did not store " + body + ":\n" + text[:2000].decode(errors="replace"))


print("generating bodies in", work, flush=True)
bodies = generate()
upload_dir = os.path.join(work, "dir")
os.mkdir(upload_dir)
listing = os.path.join(work, "listing.txt")

missed = []
print("\n%-3s %10s %10s %7s %7s  %s" % ("", "store s", "cat s", "ratio", "target", "workload"))
for key, (body, target, what) in bodies.items():
    store_times, cat_times = [], []
    for _ in range(runs):
        empty(upload_dir)
        store_times.append(timed([binary, "store", "--dir", upload_dir, body], listing))
        check_store(listing, body)
        empty(upload_dir)
        cat_times.append(timed(["cat", body], os.path.join(upload_dir, "copy")))
    empty(upload_dir)
    s, c = statistics.median(store_times), statistics.median(cat_times)
    ratio = s / c
    verdict = "ok" if ratio <= target else "MISSED"
    if ratio > target:
        missed.append(key)
    print("%-3s %10.4f %10.4f %7.2f %7.1f  %s  %s" % (key, s, c, ratio, target, what, verdict), flush=True)
    os.unlink(body)

if not skip_rss:
    path = os.path.join(work, "rss.body")
    block = rng.randbytes(MiB)
    write_body(path, [file_head(b"payload", b"rss.bin"), *(block for _ in range(2048)), close()])
    empty(upload_dir)
    result = subprocess.run(["/usr/bin/time", "-f", "%M", binary, "store", "--dir", upload_dir, path],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    kib = int(result.stderr.decode().strip().splitlines()[-1])
    verdict = "ok" if kib < 16 * 1024 else "MISSED"
    if kib >= 16 * 1024:
        missed.append("RSS")
    print("\npeak RSS of parcelmoor store on a 2 GiB body: %d KiB (%.1f MiB, target < 16 MiB)  %s" %
          (kib, kib / 1024, verdict))
    empty(upload_dir)

sys.exit(1 if missed else 0)
PY
