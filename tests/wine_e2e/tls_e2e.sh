#!/usr/bin/env bash
# The Windows report stream over TLS under Wine (Schannel), against
# openssl s_server on 127.0.0.1 with a CA and a server certificate made here:
# a frame reaches the server that the CA file vouches for, by name and by
# address, and with a client certificate when one is given, the stream
# ending with a close alert; a server of another CA, under another name, or
# speaking TLS 1.1 is refused with the reason and receives nothing.
#   tls_e2e.sh TLS_SEND_EXE WORK_FOLDER
# Exit 0 pass, 1 fail, 77 skipped (no Wine or no openssl).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ $# -eq 2 ] || { echo "usage: $0 TLS_SEND_EXE WORK_FOLDER"; exit 2; }
skip() { echo "SKIP: $*"; exit 77; }
command -v openssl >/dev/null || skip "openssl is not installed"
command -v wineserver >/dev/null || skip "Wine (wineserver) is not installed"

send_exe=$(realpath "$1")
work=$2
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
cd "$work"

servers=() hold=
cleanup() {
  [ -n "$hold" ] && exec 8>&-
  [ ${#servers[@]} -eq 0 ] || kill "${servers[@]}" 2>/dev/null
  wait 2>/dev/null || true
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- the server's output:"
  grep -v '^[A-Za-z0-9+/=]*$\|^Shared\|^Signature\|^Supported' "$work/server.log" 2>/dev/null | tail -n 60 || true
  exit 1
}

# Two CAs, and a server certificate from the first for syslog.test and
# 127.0.0.1.
for ca in ca ca_other; do
  openssl req -x509 -newkey rsa:2048 -nodes -keyout $ca.key -out $ca.pem -days 2 \
    -subj "/CN=Tessalin check $ca" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
done
openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=syslog.test" \
  2>/dev/null
printf 'subjectAltName=DNS:syslog.test,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile server.ext -out server.pem 2>/dev/null
# A client certificate, its key in the older PKCS #1 form.
openssl req -newkey rsa:2048 -nodes -keyout client.p8 -out client.csr -subj "/CN=watcher.test" \
  2>/dev/null
openssl rsa -in client.p8 -traditional -out client.key 2>/dev/null
printf 'extendedKeyUsage=clientAuth\n' >client.ext
openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile client.ext -out client.pem 2>/dev/null

# The servers read what they send from standard input; a pipe that stays
# open keeps them serving one connection after another.
mkfifo server.in
servers=()
# start_server LOG ARGS...: an s_server on a free port of 127.0.0.1, the
# port in $started.
start_server() {
  local log=$1 candidate pid
  shift
  for _ in 1 2 3 4 5; do
    candidate=$((20000 + RANDOM % 20000))
    openssl s_server -accept 127.0.0.1:$candidate "$@" <server.in >"$log" 2>&1 &
    pid=$!
    servers+=("$pid")
    if [ -z "$hold" ]; then
      exec 8>server.in
      hold=1
    fi
    for _ in $(seq 50); do
      grep -q '^ACCEPT' "$log" && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if grep -q '^ACCEPT' "$log"; then
      started=$candidate
      return
    fi
    kill "$pid" 2>/dev/null || true
  done
  fail "openssl s_server did not start: $(cat "$log")"
}
# The server asks every client for a certificate (a client without one goes
# on without). The other speaks TLS 1.1 only.
start_server server.log -cert server.pem -key server.key -verify 1 -CAfile ca.pem
port=$started
start_server old.log -cert server.pem -key server.key -tls1_1 -cipher 'DEFAULT@SECLEVEL=0'
old_port=$started

win() { echo "Z:${work//\//\\}\\$1"; }
# One run of the sender, one line of output per frame.
results=$(timeout 60 "$here/../../scripts/wine-run" "$send_exe" 127.0.0.1 \
  "$port" syslog.test "$(win ca.pem)" - - "<14>by name over TLS" \
  "$port" 127.0.0.1 "$(win ca.pem)" - - "<14>by address over TLS" \
  "$port" syslog.test "$(win ca_other.pem)" - - "<14>to a server of another CA" \
  "$port" other.test "$(win ca.pem)" - - "<14>to a server under another name" \
  "$port" syslog.test "$(win ca.pem)" "$(win client.pem)" "$(win client.key)" \
  "<14>with a certificate" \
  "$old_port" syslog.test "$(win ca.pem)" - - "<14>over TLS 1.1" \
  2>wine.err | tr -d '\r') ||
  fail "the sender failed: $(tail -n 20 wine.err)"
echo "$results"
line() { sed -n "${1}p" <<<"$results"; }
[ "$(line 1)" = sent ] || fail "a trusted server by name: $(line 1)"
[ "$(line 2)" = sent ] || fail "a trusted server by address: $(line 2)"
case $(line 3) in
  *"EVerificationError: the server's certificate was refused (unknown CA)"*) ;;
  *) fail "a server of another CA: $(line 3)" ;;
esac
case $(line 4) in
  *"EVerificationError: the server's certificate was refused (name mismatch)"*) ;;
  *) fail "a server under another name: $(line 4)" ;;
esac
[ "$(line 5)" = sent ] || fail "a trusted server, with a client certificate: $(line 5)"
case $(line 6) in
  *"EConnectionError: "*"the server speaks a protocol older than TLS 1.2"*) ;;
  *) fail "a server of TLS 1.1: $(line 6)" ;;
esac

sleep 0.5
grep -q '^20 <14>by name over TLS' server.log || fail "the frame sent by name did not arrive"
# The server prints DONE right after the frame when the stream ended with a
# close alert, an error when the connection just went away.
grep -q '^20 <14>by name over TLSDONE$' server.log || fail "the stream ended without a close alert"
grep -q '^23 <14>by address over TLS' server.log || fail "the frame sent by address did not arrive"
grep -q '^22 <14>with a certificate' server.log || fail "the frame sent with a certificate did not arrive"
grep -q '^subject=CN = watcher.test' server.log || fail "the server saw no client certificate"
if grep -q 'another\|TLS 1.1' server.log old.log; then fail "a refused server received a frame"; fi
echo PASS
