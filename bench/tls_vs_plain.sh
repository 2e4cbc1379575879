#!/usr/bin/env bash
# Upload throughput of `parcelmoor serve` over HTTPS against plain HTTP, in
# one run: two servers with the same settings (one with --tls-cert), the same
# multipart body with a 1 GiB file part, sent by the same curl command to
# both in turn (interleaved, alternating which goes first). The certificate
# is made here by a throw-away CA (openssl). Prints each run, the medians,
# whether the kernel carried the TLS records (kernel TLS needs the `tls`
# module: /proc/sys/net/ipv4/tcp_available_ulp lists it), and the ratio
# TLS/plain (target: at least 0.5), with each server's CPU time; exits 1
# below the target.
#
# Usage: bench/tls_vs_plain.sh [PARCELMOOR_BINARY]
#   RUNS=3..9 (default 5)   SIZE_MIB=file part size (default 1024)
set -euo pipefail
shopt -s inherit_errexit

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIN="${1:-${PARCELMOOR_BIN:-$ROOT/build/apps/parcelmoor}}"
RUNS="${RUNS:-5}"
SIZE_MIB="${SIZE_MIB:-1024}"
TARGET=0.5
BOUNDARY="----parcelmoorBench7MA4YWxkTrZu0gW"
BODY="/tmp/parcelmoor-tls-bench-body-${SIZE_MIB}MiB.bin"

[ -x "$BIN" ] || { echo "no parcelmoor binary at $BIN (pass its path)" >&2; exit 2; }
case "$RUNS" in [3-9]) ;; *) echo "RUNS must be 3..9" >&2; exit 2 ;; esac

NOTE_FIELD=0
# shellcheck source=upload_body.sh
source "$ROOT/bench/upload_body.sh"

WORK="$(mktemp -d /tmp/parcelmoor-bench.XXXXXX)"
PLAIN_PID="" TLS_PID=""
cleanup() {
  stop_processes $PLAIN_PID $TLS_PID
  rm -rf "$WORK"
}
trap cleanup EXIT

# A CA and a certificate for 127.0.0.1 signed by it.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj "/CN=bench CA" \
  -keyout "$WORK/ca.key" -out "$WORK/ca.pem" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=127.0.0.1" \
  -keyout "$WORK/server.key" -out "$WORK/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' >"$WORK/ext"
openssl x509 -req -in "$WORK/server.csr" -CA "$WORK/ca.pem" -CAkey "$WORK/ca.key" -days 1 \
  -extfile "$WORK/ext" -out "$WORK/server.pem" 2>/dev/null

mkdir -p "$WORK/plain" "$WORK/tls"
"$BIN" serve --port 0 --dir "$WORK/plain" >"$WORK/plain.out" 2>"$WORK/plain.log" &
PLAIN_PID=$!
"$BIN" serve --port 0 --dir "$WORK/tls" --tls-cert "$WORK/server.pem" --tls-key "$WORK/server.key" \
  >"$WORK/tls.out" 2>"$WORK/tls.log" &
TLS_PID=$!
PLAIN_URL="$(wait_for_url "$WORK/plain.out" "$PLAIN_PID")"
TLS_URL="$(wait_for_url "$WORK/tls.out" "$TLS_PID")"

run() {  # name url first pid: prints curl's total time and the server's CPU seconds; fails unless
         # 200 and the size stored is right
  local out stored="$WORK/$1/payload.bin" c0
  c0="$(cpu_ticks "$4")"
  out="$(curl -sS --max-time 600 --cacert "$WORK/ca.pem" -o /dev/null -w '%{http_code} %{time_total}' \
    -H "Content-Type: multipart/form-data; boundary=$BOUNDARY" -X POST -T "$BODY" --request-target / "$2")"
  [ "${out%% *}" = 200 ] || { echo "upload to $2 answered ${out%% *}" >&2; return 1; }
  [ "$(stat -c %s "$stored" 2>/dev/null || echo 0)" -eq "$FILE_BYTES" ] || { echo "$1 stored a wrong size" >&2; return 1; }
  if [ "$3" = 1 ]; then  # one byte-for-byte check, outside the timing
    cmp -s --ignore-initial="$HEAD_BYTES:0" --bytes="$FILE_BYTES" "$BODY" "$stored" ||
      { echo "$1 stored other bytes" >&2; return 1; }
  fi
  rm -f "$stored"
  echo "${out#* } $(( $(cpu_ticks "$4") - c0 ))" | awk -v tck="$CLK_TCK" '{printf "%s %.2f\n", $1, $2 / tck}'
}

KTLS="no (the kernel offers: $(cat /proc/sys/net/ipv4/tcp_available_ulp 2>/dev/null || echo '?'))"
grep -qw tls /proc/sys/net/ipv4/tcp_available_ulp 2>/dev/null && KTLS="offered by the kernel"
echo "body: $BODY_BYTES bytes; $RUNS runs each, interleaved; kernel TLS: $KTLS"
plain_times=() tls_times=() plain_cpu=() tls_cpu=()
for i in $(seq 1 "$RUNS"); do
  if [ $((i % 2)) = 1 ]; then
    read -r plain_t plain_c < <(run plain "$PLAIN_URL" "$i" "$PLAIN_PID")
    read -r tls_t tls_c < <(run tls "$TLS_URL" "$i" "$TLS_PID")
  else
    read -r tls_t tls_c < <(run tls "$TLS_URL" "$i" "$TLS_PID")
    read -r plain_t plain_c < <(run plain "$PLAIN_URL" "$i" "$PLAIN_PID")
  fi
  [ -n "$plain_t" ] && [ -n "$tls_t" ] || exit 1
  plain_times+=("$plain_t") tls_times+=("$tls_t") plain_cpu+=("$plain_c") tls_cpu+=("$tls_c")
  printf 'run %d: plain %6.3f s (server cpu %5s s)   tls %6.3f s (server cpu %5s s)\n' \
    "$i" "$plain_t" "$plain_c" "$tls_t" "$tls_c"
done

python3 - "$BODY_BYTES" "$TARGET" "${plain_times[*]}" "${tls_times[*]}" "${plain_cpu[*]}" "${tls_cpu[*]}" <<'EOF'
import statistics, sys
size, target = int(sys.argv[1]), float(sys.argv[2])
plain = statistics.median(map(float, sys.argv[3].split()))
tls = statistics.median(map(float, sys.argv[4].split()))
plain_cpu = statistics.median(map(float, sys.argv[5].split()))
tls_cpu = statistics.median(map(float, sys.argv[6].split()))
mib = size / 1048576
print(f"median plain: {plain:.3f} s  {mib / plain:8.1f} MiB/s   server cpu {plain_cpu:.2f} s")
print(f"median tls  : {tls:.3f} s  {mib / tls:8.1f} MiB/s   server cpu {tls_cpu:.2f} s")
ratio = plain / tls
print(f"throughput ratio tls/plain: {ratio:.3f} (target >= {target}): {'met' if ratio >= target else 'NOT MET'}")
sys.exit(0 if ratio >= target else 1)
EOF
