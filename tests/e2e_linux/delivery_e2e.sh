#!/usr/bin/env bash
# Every report reaches a real rsyslog on the log host (another machine as
# far as the watch can tell: a network namespace of its own over a veth
# pair), counted where the administrator looks: in what rsyslog wrote.
# - UDP at the default pace, rsyslog's imudp with its default settings,
#   the server named by its host name, while two busy loops occupy both
#   cores: /read of 20,000 new pairs, and all 20,000 reports arrive; the
#   start-up report arrives at the built-in default, an rsyslog on the
#   watcher's own loopback.
# - TCP (imtcp, octet-counted frames), the server named by its address; the
#   start-up report goes by datagram as always, to no listener: /read of
#   100,000 new pairs while
#   rsyslog is stopped for 5 s mid-flood and then continued: every report
#   arrives; then 100,000 more across three restarts of rsyslog: every
#   report arrives (those written to a connection a restart dropped are
#   written again; the duplicates are counted and printed).
# The captures are written by the test tool pcap_write, one new pair a frame.
#   delivery_e2e.sh TESSALIN PCAP_WRITE
set -euo pipefail
tessalin=$1
pcap_write=$2
. "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$0" "$@"
e2e_setup
e2e_peer
e2e_show+=("program stderr=$work/err")

busy=()
busy_loops() {
  local _
  for _ in 1 2; do
    (while :; do :; done) &
    busy+=("$!")
    e2e_own "$!"
  done
}
calm() { kill "${busy[@]}" 2>/dev/null || true; busy=(); }

lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }
reach() { [ "$(lines "$1")" -ge "$2" ]; }

# --- UDP, paced, busy cores.
e2e_rsyslog "127.0.0.1=$work/local.log" "$peer_ip=$work/udp.log"
reg "SyslogHost=$peer_name"
"$pcap_write" "$work/udp.pcap" pairs 20000
busy_loops
start=$SECONDS
"$tessalin" /read "$work/udp.pcap" >"$work/udp.out" 2>"$work/err" || fail "/read ended with $?"
took=$((SECONDS - start))
calm
wait_for 20 reach "$work/udp.log" 20000 || true
got=$(lines "$work/udp.log")
echo "udp: $got of 20000 reports at rsyslog on the log host; /read took $took s with both cores busy"
[ "$got" -eq 20000 ] || fail "udp: $((20000 - got)) reports lost at rsyslog"
grep -q ' starting up$' "$work/local.log" || fail "udp: the start-up report is not at the default host"
[ "$(grep -c '^Report: ' "$work/udp.out")" -eq 20001 ] || fail "udp: not every report printed"
kill "$(cat "$work/rsyslog.pid")" "$(cat "$work/rsyslog-peer.pid")"
sleep 0.5

# --- TCP.
rm -f /var/lib/harbrook/arptable
e2e_rsyslog_tcp_conf "$work/tcp.conf" "$work/tcp.log" "$peer_ip"
e2e_show+=("rsyslog tcp=$work/tcp.out")
rsyslog_tcp() {
  "${peer_on[@]}" rsyslogd -n -f "$work/tcp.conf" -i "$work/tcp.pid" >>"$work/tcp.out" 2>&1 &
  rsyslog_pid=$!
  e2e_own "$rsyslog_pid"
  wait_for 10 sh -c "${peer_on[*]} ss -tln | grep -qF $peer_ip:514" || fail "rsyslog (tcp) did not listen"
}
reg SyslogTransport=tcp "SyslogHost=$peer_ip"
rsyslog_tcp
"$pcap_write" "$work/tcp1.pcap" pairs 100000 100001
"$tessalin" /read "$work/tcp1.pcap" >"$work/tcp1.out" 2>"$work/err" &
reader=$!
e2e_own "$reader"
wait_for 60 reach "$work/tcp.log" 10000 || fail "tcp: the first reports did not arrive"
kill -STOP "$rsyslog_pid"
at_stop=$(lines "$work/tcp.log")
sleep 5
kill -CONT "$rsyslog_pid"
rc=0
wait "$reader" || rc=$?
[ "$rc" -eq 0 ] || fail "tcp: /read ended with $rc"
wait_for 30 reach "$work/tcp.log" 100000 || true
got=$(lines "$work/tcp.log")
echo "tcp: rsyslog stopped for 5 s at $at_stop reports; $got of 100000 reports arrived"
[ "$got" -eq 100000 ] || fail "tcp: $((100000 - got)) reports lost across the stop"
sort -u "$work/tcp.log" | wc -l | grep -qx 100000 || fail "tcp: reports arrived twice"

# Across three restarts: a connection that a restart drops may have
# carried reports rsyslog never read; they are written again on the next
# one, so every report arrives (some twice: counted and printed).
"$pcap_write" "$work/tcp2.pcap" pairs 100000 200001
"$tessalin" /read "$work/tcp2.pcap" >"$work/tcp2.out" 2>"$work/err" &
reader=$!
e2e_own "$reader"
restarts=()
for at in 115000 140000 165000; do
  wait_for 60 reach "$work/tcp.log" "$at" || fail "tcp restart: $(lines "$work/tcp.log") reports before restart at $at"
  kill -TERM "$rsyslog_pid"
  wait "$rsyslog_pid" 2>/dev/null || true
  restarts+=("$(lines "$work/tcp.log")")
  rsyslog_tcp
done
rc=0
wait "$reader" || rc=$?
[ "$rc" -eq 0 ] || fail "tcp restart: /read ended with $rc"
wait_for 30 sh -c "[ \$(sort -u '$work/tcp.log' | wc -l) -ge 200000 ]" || true
unique=$(sort -u "$work/tcp.log" | wc -l)
twice=$(($(lines "$work/tcp.log") - unique))
again=$(sed -n 's/.* \([0-9]*\) reports written again.*/\1/p' "$work/err" | tail -n 1)
echo "tcp restarts: rsyslog restarted at ${restarts[*]} reports; $((200000 - unique)) of 200000 missing, $twice arrived twice, ${again:-0} written again"
[ "$unique" -eq 200000 ] || fail "tcp restart: $((200000 - unique)) reports lost"
grep -q 'the watch stopped: 100000 reports sent' "$work/err" ||
  fail "tcp restart: the stop entry does not count every report as sent once"
echo "PASS"
