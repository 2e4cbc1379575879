#!/usr/bin/env bash
# One 1 GiB file into an object store three ways, in one run against one store:
#   serve           curl posts it to `parcelmoor serve --dir s3://...`, which
#                   streams it into a multipart upload (PART_SIZE parts) as it arrives
#   curl PUT        curl PUTs the same file straight to the store in one request
#                   (curl --aws-sigv4 -T: libcurl, the library parcelmoor signs
#                   and sends with)
#   curl multipart  curl copies it as parcelmoor does, a multipart upload of
#                   PART_SIZE parts one after another, from parts split beforehand
# The store is the tests' one-machine Swift on 127.0.0.1 (tests/support/
# swift_store.py), so both figures are bounded by it; what the comparison
# shows is what parcelmoor's streaming costs on top of a plain copy.
#
# Usage: bench/s3_vs_curl.sh PARCELMOOR_BINARY [SIZE_MIB [PART_SIZE]]   (PART_SIZE: 8M)
set -euo pipefail

BIN=${1:?usage: s3_vs_curl.sh PARCELMOOR_BINARY [SIZE_MIB]}
SIZE_MIB=${2:-1024}
PART=${3:-8M}
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=$(mktemp -d)
STORE_PID="" SERVE_PID=""
cleanup() {
  [ -n "$SERVE_PID" ] && kill "$SERVE_PID" 2>/dev/null && wait "$SERVE_PID" 2>/dev/null || true
  [ -n "$STORE_PID" ] && kill "$STORE_PID" 2>/dev/null && wait "$STORE_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

python3 "$HERE/../tests/support/swift_store.py" bench >"$WORK/store.out" 2>"$WORK/store.err" &
STORE_PID=$!
for _ in $(seq 1 600); do
  grep -q '^http://' "$WORK/store.out" 2>/dev/null && break
  kill -0 "$STORE_PID" 2>/dev/null || { cat "$WORK/store.err" >&2; exit 1; }
  sleep 0.2
done
ENDPOINT=$(head -1 "$WORK/store.out")
export AWS_ACCESS_KEY_ID=test:tester AWS_SECRET_ACCESS_KEY=testing
# The access key holds a colon, which curl's --user would split at: the
# credentials go in a netrc file instead.
printf 'machine 127.0.0.1 login %s password %s\n' "$AWS_ACCESS_KEY_ID" "$AWS_SECRET_ACCESS_KEY" >"$WORK/netrc"

head -c "$((SIZE_MIB << 20))" /dev/urandom >"$WORK/file.bin"

"$BIN" serve --bind 127.0.0.1 --port 0 --dir s3://bench/serve --s3-endpoint "$ENDPOINT" --s3-part-size "$PART" \
  >"$WORK/serve.out" 2>"$WORK/serve.err" &
SERVE_PID=$!
for _ in $(seq 1 100); do grep -q serving "$WORK/serve.out" 2>/dev/null && break; sleep 0.1; done
URL=$(grep -o 'http://127.0.0.1:[0-9]*/' "$WORK/serve.out")

S3=(--netrc-file "$WORK/netrc" --aws-sigv4 "aws:amz:us-east-1:s3" -H 'x-amz-content-sha256: UNSIGNED-PAYLOAD')

# A multipart copy of the parts $WORK/part.* to KEY, with curl alone.
curl_multipart() {
  local key=$1 id n=0 etag parts=""
  id=$(curl -s "${S3[@]}" -X POST "$ENDPOINT/bench/$key?uploads=" | sed -n 's:.*<UploadId>\(.*\)</UploadId>.*:\1:p')
  for part in "$WORK"/part.*; do
    n=$((n + 1))
    etag=$(curl -s -D - -o /dev/null "${S3[@]}" -T "$part" "$ENDPOINT/bench/$key?partNumber=$n&uploadId=$id" |
      tr -d '\r' | sed -n 's/^[Ee][Tt]ag: //p')
    parts+="<Part><PartNumber>$n</PartNumber><ETag>$etag</ETag></Part>"
  done
  curl -s -o "$WORK/complete.out" -w '%{http_code}' "${S3[@]}" -X POST -H 'content-type: application/xml' \
    --data-binary "<CompleteMultipartUpload>$parts</CompleteMultipartUpload>" "$ENDPOINT/bench/$key?uploadId=$id"
}

rate() { awk -v mib="$SIZE_MIB" -v s="$1" 'BEGIN { printf "%.1f MiB/s", mib / s }'; }

start=$(date +%s.%N)
status=$(curl -s -o "$WORK/answer.json" -w '%{http_code}' -H 'Accept: application/json' \
  -F "f=@$WORK/file.bin;filename=file.bin" "$URL")
serve_s=$(echo "$(date +%s.%N) - $start" | bc)
[ "$status" = 200 ] || { echo "serve answered $status: $(head -c 500 "$WORK/answer.json")" >&2; exit 1; }
peak=$(awk '/VmHWM/ { print $2 }' "/proc/$SERVE_PID/status")

start=$(date +%s.%N)
status=$(curl -s -o "$WORK/put.out" -w '%{http_code}' "${S3[@]}" -T "$WORK/file.bin" "$ENDPOINT/bench/curl/file.bin")
curl_s=$(echo "$(date +%s.%N) - $start" | bc)
[ "$status" = 200 ] || { echo "the store answered curl $status: $(head -c 500 "$WORK/put.out")" >&2; exit 1; }

split -b "$PART" -d -a 5 "$WORK/file.bin" "$WORK/part."
start=$(date +%s.%N)
status=$(curl_multipart curl/multipart.bin)
multipart_s=$(echo "$(date +%s.%N) - $start" | bc)
[ "$status" = 200 ] && ! grep -q '<Error>' "$WORK/complete.out" ||
  { echo "the store refused curl's multipart upload: $(head -c 500 "$WORK/complete.out")" >&2; exit 1; }

echo "$SIZE_MIB MiB into Swift (s3api) on 127.0.0.1, one run:"
printf '  serve --dir s3:// (multipart, %4s parts):  %6.2f s  %s  (serve peak RSS %d MiB)\n' \
  "$PART" "$serve_s" "$(rate "$serve_s")" "$((peak / 1024))"
printf '  curl --aws-sigv4 -T (one PUT):              %6.2f s  %s\n' "$curl_s" "$(rate "$curl_s")"
printf '  curl --aws-sigv4 multipart (%4s parts):    %6.2f s  %s\n' "$PART" "$multipart_s" "$(rate "$multipart_s")"
