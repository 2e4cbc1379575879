#!/usr/bin/env bash
# Whole-process time of `parcelmoor store --dir DIR BODY` against
# `cat BODY > DIR/copy` on the same disk, and the peak RSS of a 2 GiB store.
#
# Every workload is run with the three kinds of boundary clients send:
#   chromium  "----WebKitFormBoundary" and 16 letters and digits (38)
#   curl      24 dashes and 16 hex digits (40)
#   long      70 characters, the longest a boundary may be
# Times are wall-clock medians; the ratio of CPU-time medians is shown beside
# them (a machine busy with other work disturbs it less).
# Workloads:
#   W1 one 512 MiB file of random bytes
#   W2 1,000 files of 64 KiB, also timed against `split -b 65536` writing
#      the same 1,000 files from their bytes laid end to end
#   W3 20,000 fields of 16 to 24 characters
#   W4 a 64 MiB file dense with CR LF, lone CR and LF, lines that start with
#      "--" and near-copies of the delimiter line (never the delimiter itself)
#   W5 a 64 MiB file of CR bytes only
#   W6 9,000 files of 100 bytes, also timed against `split -b 100`: what one
#      file costs must not grow with the files a request already holds. A
#      stored file makes two directory entries (its temporary, then its name)
#      where split makes one, hence a target of 2
# A workload's bodies (one per boundary) are generated, then timed
# interleaved (per round and boundary: store, cat[, split]), with the upload
# directory emptied and dirty pages flushed before every run (not timed).
# Prints each boundary's medians and ratio, then the workload's worst ratio
# against its target (W2, W6: store/split), then the peak RSS of `parcelmoor
# store` on a 2 GiB body read from a file (/usr/bin/time -f %M). Exits 1 when
# a target is missed.
#
# Usage: bench/store_vs_cat.sh [PARCELMOOR_BINARY]
#   RUNS=3..15 (default 7)   SKIP_RSS=1 skips the 2 GiB run
#   RSS_MIB=size of the RSS body in MiB (default 2048)
#   ONLY="W3 W5" runs only the named workloads
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
import os, random, resource, statistics, subprocess, sys, time

binary, work, runs, skip_rss = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1"
# Share of W4's lines that are near-copies of the delimiter line (env W4_NEAR).
NEAR_SHARE = float(os.environ.get("W4_NEAR", "0.05"))
RSS_MIB = int(os.environ.get("RSS_MIB", "2048"))
ONLY = set(os.environ.get("ONLY", "W1 W2 W3 W4 W5 W6").split())
MiB = 1 << 20

_pick = random.Random(7)
BOUNDARIES = {
    "chromium": b"----WebKitFormBoundary" + bytes(_pick.choices(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", k=16)),
    "curl": b"-" * 24 + bytes(_pick.choices(b"0123456789abcdef", k=16)),
    "long": bytes(_pick.choices(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789'()+_,-./:=?", k=69)) + b"Z",
}
assert [len(b) for b in BOUNDARIES.values()] == [38, 40, 70]


class Body:
    """Builds the parts of one body for one boundary."""

    def __init__(self, boundary):
        self.delim = b"--" + boundary

    def field_head(self, name):
        return self.delim + b'\r\nContent-Disposition: form-data; name="' + name + b'"\r\n\r\n'

    def file_head(self, name, file_name):
        return (self.delim + b'\r\nContent-Disposition: form-data; name="' + name + b'"; filename="' + file_name +
                b'"\r\nContent-Type: application/octet-stream\r\n\r\n')

    def close(self):
        return b"\r\n" + self.delim + b"--\r\n"

    def is_delimiter_line(self, line):
        return len(line) in (len(self.delim), len(self.delim) + 2) and line.startswith(self.delim)


def write_body(path, parts):
    """parts: an iterable of byte strings written in order."""
    with open(path, "wb") as out:
        for piece in parts:
            out.write(piece)


def random_file(rng, total, block=4 * MiB):
    left = total
    while left > 0:
        n = min(block, left)
        yield rng.randbytes(n)
        left -= n


def dense_block(b, rng, size):
    """About `size` bytes of short lines full of line ends, lone CR and LF and
    "--" lines, with a share NEAR_SHARE of near-copies of the delimiter line;
    never a delimiter line."""
    delim = b.delim
    near = [
        lambda: delim[:rng.randrange(1, len(delim))],            # a prefix
        lambda: delim + bytes([rng.randrange(33, 127)]),          # one byte more
        lambda: delim + rng.randbytes(3).replace(b"\r\n", b"xx"),  # three more
        lambda: delim[:5] + b"X" + delim[6:],                     # one byte changed
        lambda: delim[:-1] + b"X",                                # the last byte changed
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
            if b.is_delimiter_line(part):
                part = b"x" + part
            lines.append(part)
            n += len(part) + 2
    block = b"\r\n".join(lines) + b"\r\n"
    assert not any(b.is_delimiter_line(l) for l in block.split(b"\r\n"))
    return block


def dense_file(total, block):
    written = 0
    while written + len(block) <= total:
        yield block
        written += len(block)
    tail = total - written
    yield b"-" * tail  # pads to the exact size; no line end inside


# Each workload: (target, what, builder). A builder writes the body for one
# boundary to `path` (the same content for every boundary: its generator is
# seeded the same) and returns a note for the report.
def w1(b, rng, path):
    write_body(path, [b.file_head(b"payload", b"w1.bin"), *random_file(rng, 512 * MiB), b.close()])


def w2_blocks(rng):
    return [rng.randbytes(64 * 1024) for _ in range(1000)]


def w6_blocks(rng):
    return [rng.randbytes(100) for _ in range(9000)]


def files_body(b, blocks, path):
    parts = []
    for i, block in enumerate(blocks):
        parts += [b.file_head(b"f%d" % i, b"file-%04d.bin" % i), block, b"\r\n"]
    parts.append(b.delim + b"--\r\n")
    write_body(path, parts)


def w2(b, rng, path):
    files_body(b, w2_blocks(rng), path)


def w6(b, rng, path):
    files_body(b, w6_blocks(rng), path)


def w3(b, rng, path):
    letters = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 "
    parts = []
    for i in range(20000):
        parts += [b.field_head(b"field%d" % i), bytes(rng.choices(letters, k=rng.randrange(16, 25))), b"\r\n"]
    parts.append(b.delim + b"--\r\n")
    write_body(path, parts)


def w4(b, rng, path):
    block = dense_block(b, rng, MiB)
    write_body(path, [b.file_head(b"payload", b"w4.bin"), *dense_file(64 * MiB, block), b.close()])
    return "per MiB %d line ends, %d lone LF, %d CR LF + delimiter" % (
        block.count(b"\r\n"), block.count(b"\n") - block.count(b"\r\n"), block.count(b"\r\n" + b.delim))


def w5(b, rng, path):
    write_body(path, [b.file_head(b"payload", b"w5.bin"), *(b"\r" * MiB for _ in range(64)), b.close()])


WORKLOADS = {
    "W1": (1.3, "one 512 MiB file of random bytes", w1),
    "W2": (1.2, "1,000 files of 64 KiB (ratio: store/split)", w2),
    "W3": (4.0, "20,000 fields of 16 to 24 characters", w3),
    "W4": (2.0, "a 64 MiB file dense with line ends and near-delimiters", w4),
    "W5": (1.5, "a 64 MiB file of CR bytes only", w5),
    "W6": (2.0, "9,000 files of 100 bytes (ratio: store/split)", w6),
}
# The workloads also timed against split: their files' bytes end to end, and
# split's piece size.
SPLITS = {"W2": (w2_blocks, 65536), "W6": (w6_blocks, 100)}


def empty(directory):
    for name in os.listdir(directory):
        if name != ".parcelmoor":  # the store's private directory stays, as it would in use
            os.unlink(os.path.join(directory, name))
    os.sync()


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(argv, stdout_path, cpu_times):
    """Returns the wall time of `argv`; appends its CPU time (user + system)
    to cpu_times, which a machine busy with other work disturbs less."""
    with open(stdout_path, "wb") as out:
        cpu = cpu_seconds()
        start = time.perf_counter()
        result = subprocess.run(argv, stdout=out, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
        cpu_times.append(cpu_seconds() - cpu)
    if result.returncode != 0:
        sys.exit("%s failed (%d): %s" % (argv[0], result.returncode, result.stderr.decode(errors="replace")))
    return elapsed


def check_store(listing_path, body):
    """Guards against timing a failure: the listing must show a clean result."""
    with open(listing_path, "rb") as f:
        text = f.read()
    if not text.startswith(b"result: 1\n") or b"\nresponse: " in text:
        sys.exit("parcelmoor store did not store " + body + ":\n" + text[:2000].decode(errors="replace"))


upload_dir = os.path.join(work, "dir")
os.mkdir(upload_dir)
listing = os.path.join(work, "listing.txt")
print("bodies in", work, "; boundaries:", ", ".join("%s (%d)" % (k, len(v)) for k, v in BOUNDARIES.items()))

missed = []
print("\n%-3s %-9s %9s %9s %9s %7s  %s" % ("", "boundary", "store s", "cat s", "split s", "ratio",
                                           "cpu: the ratio of CPU times (user + system); note"))
for key, (target, what, build) in WORKLOADS.items():
    if key not in ONLY:
        continue
    bodies = {}
    for name, boundary in BOUNDARIES.items():
        path = os.path.join(work, "%s-%s.body" % (key, name))
        bodies[name] = (path, build(Body(boundary), random.Random(20240611), path))
    payload = None
    if key in SPLITS:  # the same files' bytes, end to end, for split
        blocks, piece = SPLITS[key]
        payload = os.path.join(work, "split.payload")
        write_body(payload, blocks(random.Random(20240611)))
    times = {name: {"store": [], "cat": [], "split": []} for name in bodies}
    cpu = {name: {"store": [], "cat": [], "split": []} for name in bodies}
    for _ in range(runs):
        for name, (body, _) in bodies.items():
            t, c = times[name], cpu[name]
            empty(upload_dir)
            t["store"].append(timed([binary, "store", "--dir", upload_dir, body], listing, c["store"]))
            check_store(listing, body)
            empty(upload_dir)
            t["cat"].append(timed(["cat", body], os.path.join(upload_dir, "copy"), c["cat"]))
            if payload:
                empty(upload_dir)
                t["split"].append(timed(["split", "-a", "4", "-b", str(piece), payload, os.path.join(upload_dir, "x")],
                                        os.devnull, c["split"]))
    empty(upload_dir)
    worst = 0.0
    for name, (body, note) in bodies.items():
        s, c = statistics.median(times[name]["store"]), statistics.median(times[name]["cat"])
        sp = statistics.median(times[name]["split"]) if payload else None
        ratio = s / (sp if payload else c)
        worst = max(worst, ratio)
        base = "split" if payload else "cat"
        cpu_ratio = statistics.median(cpu[name]["store"]) / max(1e-6, statistics.median(cpu[name][base]))
        extra = "cpu %.2f" % cpu_ratio + ("  store/cat %.2f" % (s / c) if payload else "  " + (note or ""))
        print("%-3s %-9s %9.4f %9.4f %9s %7.2f  %s" % (key, name, s, c, "%.4f" % sp if sp else "-", ratio, extra),
              flush=True)
        os.unlink(body)
    if payload:
        os.unlink(payload)
    verdict = "ok" if worst <= target else "MISSED"
    if worst > target:
        missed.append(key)
    print("%-3s %-9s %39.2f  target %.1f, %s  %s\n" % (key, "worst", worst, target, what, verdict), flush=True)

if not skip_rss:
    b = Body(BOUNDARIES["long"])
    path = os.path.join(work, "rss.body")
    block = random.Random(5).randbytes(MiB)
    write_body(path, [b.file_head(b"payload", b"rss.bin"), *(block for _ in range(RSS_MIB)), b.close()])
    empty(upload_dir)
    result = subprocess.run(["/usr/bin/time", "-f", "%M", binary, "store", "--dir", upload_dir, path],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    kib = int(result.stderr.decode().strip().splitlines()[-1])
    verdict = "ok" if kib < 16 * 1024 else "MISSED"
    if kib >= 16 * 1024:
        missed.append("RSS")
    print("peak RSS of parcelmoor store on a %d MiB body: %d KiB (%.1f MiB, target < 16 MiB)  %s" %
          (RSS_MIB, kib, kib / 1024, verdict))
    empty(upload_dir)

sys.exit(1 if missed else 0)
PY
