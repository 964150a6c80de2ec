#!/bin/bash
# Serves a file over TLS from 127.0.0.1 with openssl s_server and a throw-away
# certificate authority, then runs the HTTPS test program under Wine against it.
# Usage: https-test.sh <https_tests.exe> <work folder>
set -eu
exe=$(realpath "$1")
work=$(realpath -m "$2")
rm -rf "$work"
mkdir -p "$work/www"
cd "$work"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout ca.key -out ca.pem \
  -subj "/CN=Quillmarrow Dunmir Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=127.0.0.1" 2>/dev/null
printf '%s\n' "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost" \
  "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
  "extendedKeyUsage=serverAuth" > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile server.ext -out server.pem 2>/dev/null
openssl x509 -in ca.pem -outform DER -out ca.der
# s_server -HTTP sends the file as the whole reply; the length in its head
# lets the client finish without waiting for the connection to close.
head -c 300000 /dev/urandom > body.bin
printf 'HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 300000\r\n\r\n' |
  cat - body.bin > www/body.bin

# Pick a free port by trying: s_server says ACCEPT once it listens and exits
# when the port is taken.
server=
for attempt in $(seq 1 20); do
  port=$((20000 + RANDOM % 40000))
  (cd www && exec openssl s_server -HTTP -accept "127.0.0.1:$port" -cert ../server.pem -key ../server.key) \
    >server.out 2>&1 </dev/null &
  server=$!
  for wait in $(seq 1 50); do
    grep -q ACCEPT server.out && break 2
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  kill "$server" 2>/dev/null || true
  server=
done
if [ -z "$server" ]; then
  echo "openssl s_server did not start:" >&2
  cat server.out >&2
  exit 1
fi
trap 'kill "$server" 2>/dev/null || true' EXIT

export QD_HTTPS_PORT=$port
export QD_HTTPS_DIR="Z:$work"
# Each run must reach its end without a failure (gtest-run.sh).
run=$(dirname "$(realpath "$0")")/gtest-run.sh
QD_HTTPS_STEP=untrusted "$run" timeout 120 /usr/lib/wine/wine64 "$exe" --gtest_filter='Https.Refuses*'
QD_HTTPS_STEP=trusted "$run" timeout 120 /usr/lib/wine/wine64 "$exe" --gtest_filter='Https.Fetches*'
