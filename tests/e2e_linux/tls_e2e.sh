#!/usr/bin/env bash
# Reports over TLS to a real rsyslog (imtcp with its OpenSSL driver) on the
# log host (a network namespace of its own, over a veth pair of its own),
# the watch in the foreground capturing real frames on a veth pair. Certificates are made here with openssl: CA "one" signs the
# server's certificate for logs.harbrook.test, CA "two" another one.
# - A burst of 200 new pairs: every report arrives over TLS.
# - rsyslog restarted with the certificate of CA two: the watch sends
#   nothing, tells once that the certificate was refused (unknown CA), and
#   the 100 reports of the next burst wait.
# - SyslogCAFile pointed at CA two: the waiting reports arrive, with an
#   entry that says delivery resumed.
# - The server named by its address: the next burst arrives there.
#   tls_e2e.sh TESSALIN ARPINJECT
set -euo pipefail
tessalin=$1
inject=$2
. "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$0" "$@"
command -v openssl >/dev/null && [ -e /usr/lib/x86_64-linux-gnu/rsyslog/lmnsd_ossl.so ] || {
  echo "SKIP: needs openssl and rsyslog-openssl"
  exit 77
}
e2e_setup
e2e_veth
e2e_peer
e2e_show+=("program output=$work/out" "program stderr=$work/err" "rsyslog=$work/rsyslog.out")

# ca NAME: a CA, and a server certificate for logs.harbrook.test (and the
# log host's address) it signs.
ca() {
  local d=$work/$1
  mkdir -p "$d"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Test CA $1" \
    -keyout "$d/ca.key" -out "$d/ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=logs.harbrook.test" \
    -keyout "$d/server.key" -out "$d/server.csr" 2>/dev/null
  printf 'subjectAltName=DNS:logs.harbrook.test,IP:%s\n' "$peer_ip" >"$d/ext"
  openssl x509 -req -in "$d/server.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial \
    -days 2 -extfile "$d/ext" -out "$d/server.pem" 2>/dev/null
}
ca one
ca two

# rsyslog_tls CA: rsyslog serving the certificate that CA signed.
rsyslog_pid=
rsyslog_tls() {
  mkdir -p "$work/rs"
  cat >"$work/tls.conf" <<CONF
global(workDirectory="$work/rs"
       DefaultNetstreamDriver="ossl"
       DefaultNetstreamDriverCAFile="$work/$1/ca.pem"
       DefaultNetstreamDriverCertFile="$work/$1/server.pem"
       DefaultNetstreamDriverKeyFile="$work/$1/server.key")
module(load="imtcp" StreamDriver.Name="ossl" StreamDriver.Mode="1" StreamDriver.AuthMode="anon")
template(name="raw" type="string" string="%rawmsg%\n")
ruleset(name="r") { action(type="omfile" file="$work/tls.log" template="raw") }
input(type="imtcp" address="$peer_ip" port="6514" ruleset="r")
CONF
  "${peer_on[@]}" rsyslogd -n -f "$work/tls.conf" -i "$work/rs.pid" >>"$work/rsyslog.out" 2>&1 &
  rsyslog_pid=$!
  e2e_own "$rsyslog_pid"
  wait_for 10 sh -c "${peer_on[*]} ss -tln | grep -qF $peer_ip:6514" || fail "rsyslog (tls) did not listen"
}
lines() { [ -f "$work/tls.log" ] && wc -l <"$work/tls.log" || echo 0; }
reach() { [ "$(lines)" -ge "$1" ]; }

rsyslog_tls one
reg "Adapter=$watched" "SyslogHost=logs.harbrook.test" "SyslogTransport=tls" \
  "SyslogCAFile=$work/one/ca.pem"
"$tessalin" /console >"$work/out" 2>"$work/err" </dev/null &
pid=$!
e2e_own "$pid"
wait_for 10 grep -q "watching $watched" "$work/err" "$work/out" 2>/dev/null || sleep 2
e2e_burst 1 200
wait_for 20 reach 200 || fail "tls: $(lines) of 200 reports arrived"
grep -q '10\.77\.0\.200 found on 02DD00-0000C8' "$work/tls.log" || fail "tls: the last report is not there"
echo "tls: 200 of 200 reports arrived"
# The connection stays up long enough for them to count as delivered (a
# server that closes it sooner is told as one that closes connections).
sleep 2.5

# Another CA's certificate at the same address: nothing is sent.
kill -TERM "$rsyslog_pid"
wait "$rsyslog_pid" 2>/dev/null || true
rsyslog_tls two
e2e_burst 1001 100
wait_for 15 grep -q "certificate was refused (unknown CA)" "$work/err" ||
  fail "tls: the refused certificate was not told"
sleep 2
[ "$(lines)" -eq 200 ] || fail "tls: $(($(lines) - 200)) reports went to a server that failed verification"
[ "$(grep -c 'certificate was refused' "$work/err")" -eq 1 ] || fail "tls: the refusal was told more than once"
grep 'certificate was refused' "$work/err"

# The configuration fixed: the waiting reports go through.
reg "Adapter=$watched" "SyslogHost=logs.harbrook.test" "SyslogTransport=tls" \
  "SyslogCAFile=$work/two/ca.pem"
wait_for 40 reach 300 || fail "tls: $(($(lines) - 200)) of 100 waiting reports arrived after the fix"
# Told once the new connection has stayed up for 2 s.
wait_for 5 grep -q 'reports reach the server again (tls to logs.harbrook.test:6514)' "$work/err" ||
  fail "tls: the recovery was not told"
grep 'reports reach the server again' "$work/err"

# The server named by its address (in the certificate too): a new
# connection there, and the next burst arrives.
reg "Adapter=$watched" "SyslogHost=$peer_ip" "SyslogTransport=tls" "SyslogCAFile=$work/two/ca.pem"
e2e_burst 2001 50
wait_for 20 reach 350 || fail "tls by address: $(($(lines) - 300)) of 50 reports arrived"
kill -TERM "$pid"
wait "$pid" || fail "the watch ended with $?"
echo "PASS"
