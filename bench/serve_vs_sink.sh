#!/usr/bin/env bash
# Upload throughput of `parcelmoor serve` against a plain socket-to-file sink.
#
# One multipart body with a 1 GiB file part is generated once in /tmp and sent
# by the same curl command, over loopback, to both servers in turn (interleaved,
# alternating which goes first). curl streams the file with -T and -X POST
# (--data-binary @file loads the body into memory and refuses 1 GiB), and
# --request-target keeps -T from appending the file name to the URL's path. The sink only reads the request header, answers
# "100 Continue" when asked, streams the body into a file and answers 200: it is
# the ceiling for what curl, loopback and the disk allow on this machine.
# Prints each run, the medians and the throughput ratio serve/sink (target: at
# least 0.8); exits 1 below the target.
#
# Usage: bench/serve_vs_sink.sh [PARCELMOOR_BINARY]
#   RUNS=3..9 (default 5)   SIZE_MIB=file part size (default 1024)
set -euo pipefail
shopt -s inherit_errexit

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIN="${1:-${PARCELMOOR_BIN:-$ROOT/build/apps/parcelmoor}}"
RUNS="${RUNS:-5}"
SIZE_MIB="${SIZE_MIB:-1024}"
TARGET=0.8
BOUNDARY="----parcelmoorBench7MA4YWxkTrZu0gW"
BODY="/tmp/parcelmoor-bench-body-${SIZE_MIB}MiB.bin"

[ -x "$BIN" ] || { echo "no parcelmoor binary at $BIN (pass its path)" >&2; exit 2; }
case "$RUNS" in [3-9]) ;; *) echo "RUNS must be 3..9" >&2; exit 2 ;; esac

NOTE_FIELD=1
# shellcheck source=upload_body.sh
source "$ROOT/bench/upload_body.sh"

WORK="$(mktemp -d /tmp/parcelmoor-bench.XXXXXX)"
SERVE_PID="" SINK_PID=""
cleanup() {
  stop_processes $SERVE_PID $SINK_PID
  rm -rf "$WORK"
}
trap cleanup EXIT

# The body (upload_body.sh): one text field, then the file part of random bytes.

# The sink: accepts a bounded number of requests, one at a time.
cat >"$WORK/sink.py" <<'EOF'
import os, socket, sys
target, max_requests = sys.argv[1], int(sys.argv[2])
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", 0))
srv.listen(8)
srv.settimeout(900)
print(f"http://127.0.0.1:{srv.getsockname()[1]}/", flush=True)
buf = bytearray(1 << 20)
view = memoryview(buf)
for _ in range(max_requests):
    conn, _ = srv.accept()
    conn.settimeout(60)
    head = b""
    while b"\r\n\r\n" not in head and len(head) < 65536:
        data = conn.recv(65536)
        if not data:
            break
        head += data
    head, _, rest = head.partition(b"\r\n\r\n")
    fields = {}
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        fields[name.strip().lower()] = value.strip()
    left = int(fields.get(b"content-length", b"0")) - len(rest)
    if fields.get(b"expect", b"").lower() == b"100-continue":
        conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.write(fd, rest)
    while left > 0:
        n = conn.recv_into(view, min(len(buf), left))
        if n == 0:
            break
        done = 0
        while done < n:
            done += os.write(fd, view[done:n])
        left -= n
    os.close(fd)
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nok\n")
    conn.close()
EOF

mkdir -p "$WORK/serve"
"$BIN" serve --bind 127.0.0.1 --port 0 --dir "$WORK/serve" >"$WORK/serve.out" 2>"$WORK/serve.log" &
SERVE_PID=$!
python3 "$WORK/sink.py" "$WORK/sink.bin" "$((RUNS + 1))" >"$WORK/sink.out" &
SINK_PID=$!
SERVE_URL="$(wait_for_url "$WORK/serve.out" "$SERVE_PID")"
SINK_URL="$(wait_for_url "$WORK/sink.out" "$SINK_PID")"

upload() {  # url: prints curl's total time in seconds; fails unless 200
  local out
  out="$(curl -sS --max-time 300 -o /dev/null -w '%{http_code} %{time_total}' \
    -H "Content-Type: multipart/form-data; boundary=$BOUNDARY" -X POST -T "$BODY" \
    --request-target "/${1#http://*/}" "$1")"
  [ "${out%% *}" = 200 ] || { echo "upload to $1 answered ${out%% *}" >&2; return 1; }
  echo "${out#* }"
}

run_serve() {
  local t c0
  c0="$(cpu_ticks "$SERVE_PID")"
  t="$(upload "$SERVE_URL")"
  t="$t $(( $(cpu_ticks "$SERVE_PID") - c0 ))"
  local stored="$WORK/serve/payload.bin"
  [ "$(stat -c %s "$stored" 2>/dev/null || echo 0)" -eq "$FILE_BYTES" ] ||
    { echo "serve stored a wrong size" >&2; return 1; }
  if [ "$1" = 1 ]; then  # one byte-for-byte check, outside the timing
    cmp -s --ignore-initial="$HEAD_BYTES:0" --bytes="$FILE_BYTES" "$BODY" "$stored" ||
      { echo "serve stored other bytes" >&2; return 1; }
  fi
  rm -f "$stored"
  echo "$t"
}
run_sink() {
  local t c0
  c0="$(cpu_ticks "$SINK_PID")"
  t="$(upload "$SINK_URL")"
  t="$t $(( $(cpu_ticks "$SINK_PID") - c0 ))"
  [ "$(stat -c %s "$WORK/sink.bin")" -eq "$BODY_BYTES" ] || { echo "sink stored a wrong size" >&2; return 1; }
  rm -f "$WORK/sink.bin"
  echo "$t"
}

echo "body: $BODY_BYTES bytes; $RUNS runs each, interleaved"
serve_times=() sink_times=() serve_cpu=() sink_cpu=()
for i in $(seq 1 "$RUNS"); do
  if [ $((i % 2)) = 1 ]; then
    read -r sink_t sink_c < <(run_sink); read -r serve_t serve_c < <(run_serve "$i")
  else
    read -r serve_t serve_c < <(run_serve "$i"); read -r sink_t sink_c < <(run_sink)
  fi
  [ -n "$sink_t" ] && [ -n "$serve_t" ] || exit 1
  sink_times+=("$sink_t") serve_times+=("$serve_t")
  sink_cpu+=("$(echo "$sink_c $CLK_TCK" | awk '{printf "%.2f", $1 / $2}')")
  serve_cpu+=("$(echo "$serve_c $CLK_TCK" | awk '{printf "%.2f", $1 / $2}')")
  printf 'run %d: sink %6.3f s (cpu %5s s)   serve %6.3f s (cpu %5s s)\n' \
    "$i" "$sink_t" "${sink_cpu[-1]}" "$serve_t" "${serve_cpu[-1]}"
done

peak_rss="$(awk '/VmHWM/ {print $2, $3}' "/proc/$SERVE_PID/status")"
python3 - "$BODY_BYTES" "$TARGET" "$peak_rss" "${sink_times[*]}" "${serve_times[*]}" \
  "${sink_cpu[*]}" "${serve_cpu[*]}" <<'EOF'
import statistics, sys
size, target, rss = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
sink = statistics.median(map(float, sys.argv[4].split()))
serve = statistics.median(map(float, sys.argv[5].split()))
mib = size / 1048576
sink_cpu = statistics.median(map(float, sys.argv[6].split()))
serve_cpu = statistics.median(map(float, sys.argv[7].split()))
print(f"median sink : {sink:.3f} s  {mib / sink:8.1f} MiB/s   cpu {sink_cpu:.2f} s")
print(f"median serve: {serve:.3f} s  {mib / serve:8.1f} MiB/s   cpu {serve_cpu:.2f} s   peak RSS {rss}")
ratio = sink / serve
print(f"throughput ratio serve/sink: {ratio:.3f} (target >= {target}): {'met' if ratio >= target else 'NOT MET'}")
sys.exit(0 if ratio >= target else 1)
EOF
