# Sourced by the shell benchmarks that send one large multipart body to two
# servers in turn: the body (made once in /tmp and kept for the next run),
# the wait for a server's URL, and a process's CPU time.
#
# Before sourcing: BOUNDARY, SIZE_MIB, BODY (its path) and NOTE_FIELD (1: a
# text field before the file part). Sets FILE_BYTES, HEAD_BYTES and
# BODY_BYTES.

FILE_BYTES=$((SIZE_MIB * 1048576))
body_head() {
  [ "${NOTE_FIELD:-0}" = 1 ] && printf -- '--%s\r\nContent-Disposition: form-data; name="note"\r\n\r\nbench\r\n' "$BOUNDARY"
  printf -- '--%s\r\nContent-Disposition: form-data; name="payload"; filename="payload.bin"\r\n' "$BOUNDARY"
  printf -- 'Content-Type: application/octet-stream\r\n\r\n'
}
body_tail() { printf -- '\r\n--%s--\r\n' "$BOUNDARY"; }
HEAD_BYTES="$(body_head | wc -c)"
BODY_BYTES=$((HEAD_BYTES + FILE_BYTES + $(body_tail | wc -c)))
if [ ! -f "$BODY" ] || [ "$(stat -c %s "$BODY")" -ne "$BODY_BYTES" ]; then
  echo "generating $BODY ..."
  { body_head; head -c "$FILE_BYTES" /dev/urandom; body_tail; } >"$BODY.tmp"
  mv "$BODY.tmp" "$BODY"
fi

wait_for_url() {  # file, pid: the first URL the process prints, within 20 s
  local i url
  for i in $(seq 1 200); do
    url="$(grep -o -m1 'https\?://[^[:space:]]*' "$1" 2>/dev/null || true)"
    [ -n "$url" ] && { echo "$url"; return 0; }
    kill -0 "$2" 2>/dev/null || break
    sleep 0.1
  done
  echo "no URL from pid $2:" >&2; cat "$1" >&2; return 1
}

stop_processes() {  # pids: SIGTERM, then up to 10 s each before SIGKILL
  local pid
  for pid in "$@"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "$@"; do
    timeout 10 tail --pid="$pid" -f /dev/null 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
  done
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }  # user + system time of a process
CLK_TCK="$(getconf CLK_TCK)"
