#!/usr/bin/env bash
# Floods of new pairs end to end on Linux, in a private network and mount
# namespace: the watch captures on one end of a veth pair and reports to a
# counting UDP listener on the log host (a namespace of its own over a veth
# pair of its own).
# - 100,000 new addresses on one MAC, then 100,000 new MACs, each sent as
#   fast as one sendmmsg sender goes: every pair in the table within 6 s
#   after the flood with no further frame (so no frame was lost), and every
#   report at the listener.
# - MaxAddresses 50000 and an empty table: a flood of 100,000 new MACs is
#   reported whole, the first 50,000 pairs are kept, and the event log
#   tells the bound, the pairs not kept and the flood of new MACs.
# - A syslog host whose name look-up never gets an answer: 25,000 frames at
#   1,000 a second with 100 new pairs among them, all 100 in the table; the
#   look-up failure in the error file and in the event log.
# - A stop while a look-up of the syslog host hangs for 30 s: two new pairs
#   seen less than a second before the stop are in the table after it, and
#   the stop ends within 25 s.
#   flood_e2e.sh TESSALIN ARPINJECT UDP_COUNT
set -euo pipefail
. "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$0" "$@"
tessalin=$1
inject=$2
counter=$3

e2e_setup
e2e_veth
e2e_peer
e2e_notify
reg "Adapter=$watched" "SyslogHost=$peer_ip" "SyslogRate=0"
e2e_show+=("program output=$work/out" "program stderr=$work/err")

"${peer_on[@]}" "$counter" "$peer_ip" 514 "$work/count" 110 >"$work/counter.out" &
e2e_own $!
wait_for 5 grep -q listening "$work/counter.out" || fail "listener did not start"
datagrams() { cut -d' ' -f1 "$work/count"; }
found() { cut -d' ' -f2 "$work/count"; }
datagrams_reach() { [ "$(datagrams)" -ge "$1" ]; }

now_ms() { date +%s%3N; }
# Waits until the watch's packet socket is bound to the watched interface.
capture_open() {
  local index
  index=$(cat "/sys/class/net/$watched/ifindex")
  wait_for 10 awk -v i="$index" 'NR > 1 && $5 == i { ok = 1 } END { exit !ok }' /proc/net/packet ||
    fail "capture did not open"
}

# check_table KIND LAST [FILE]: every flood pair 1..LAST of KIND is in the
# table (or FILE) with its own MAC; prints how many are not.
check_table() {
  python3 - "$@" <<'PY'
import sys
kind, last = sys.argv[1], int(sys.argv[2])
path = sys.argv[3] if len(sys.argv) > 3 else "/var/lib/harbrook/arptable"
try:
    lines = open(path, newline="").read().split("\r\n")
except OSError:
    lines = []
table = dict(zip(lines[0::2], lines[1::2]))
missing = 0
for n in range(1, last + 1):
    ip = "10.%d.%d.%d" % ((64 if kind == "ips" else 128) + (n >> 16), (n >> 8) & 255, n & 255)
    mac = " 02AA00-000001" if kind == "ips" else " 02BB00-%06X" % n
    missing += table.get(ip) != mac
print(missing)
sys.exit(1 if missing else 0)
PY
}

# table_follows LABEL KIND LAST PAIRS SINCE_MS: the flood's pairs 1..LAST reach
# the table file, which then holds PAIRS pairs, within 6 s of SINCE_MS, the
# end of the flood. Timed by the modification time of the first table file
# that holds them all, so that a slow check does not count against the
# watch.
table_follows() {
  local label=$1 kind=$2 last=$3 want=$((2 * $4)) since=$5 lines
  while :; do
    lines=0
    [ ! -f /var/lib/harbrook/arptable ] || lines=$(wc -l </var/lib/harbrook/arptable)
    [ "$lines" -lt "$want" ] || break
    [ $(($(now_ms) - since)) -lt 20000 ] || fail "$label: $(((want - lines) / 2)) pairs still not in the table 20 s later"
    sleep 0.1
  done
  # The table is replaced whole: this copy is one save's.
  cp -p /var/lib/harbrook/arptable "$work/table.now"
  local missing saved_ms
  missing=$(check_table "$kind" "$last" "$work/table.now") || fail "$label: $missing pairs missing or wrong in the table"
  saved_ms=$(($(date -r "$work/table.now" +%s%3N) - since))
  echo "$label: every pair in the table $saved_ms ms after the last frame"
  [ "$saved_ms" -le 6000 ] || fail "$label: the table took $saved_ms ms to follow, more than 6 s"
}

# flood KIND PAIRS EXPECTED_REPORTS EXPECTED_FOUND: 100,000 new pairs of
# KIND at full rate, then the table (PAIRS pairs in all) and the listener's
# count.
flood() {
  local kind=$1 pairs=$2 reports=$3 found_reports=$4
  local base base_found start sent_at
  base=$(datagrams)
  base_found=$(found)
  start=$(now_ms)
  "$inject" "$wire" --flood "$kind" 100000 | sed "s/^/$kind flood: /"
  sent_at=$(now_ms)
  table_follows "$kind flood" "$kind" 100000 "$pairs" "$sent_at"
  wait_for 60 datagrams_reach $((base + reports)) ||
    fail "$kind flood: $(($(datagrams) - base)) of $reports reports arrived"
  echo "$kind flood: $reports reports arrived $(($(now_ms) - start)) ms after the flood began"
  sleep 0.5  # nothing further may arrive
  [ "$(datagrams)" -eq $((base + reports)) ] || fail "$kind flood: $(($(datagrams) - base)) reports, not $reports"
  [ "$(found)" -eq $((base_found + found_reports)) ] ||
    fail "$kind flood: $(($(found) - base_found)) found reports, not $found_reports"
}

NOTIFY_SOCKET="$work/notify" "$tessalin" >"$work/out" 2>"$work/err" </dev/null &
pid=$!
e2e_own "$pid"
wait_for 10 grep -q 'READY=1' "$work/notify.log" || fail "service did not report running"
capture_open
# The flood's MAC with one address already: each new address then brings a
# found report and a count report.
"$inject" "$wire" 02:aa:00:00:00:01/10.64.0.0
wait_for 10 datagrams_reach 1 || fail "no report for the first pair"
flood ips 100001 200000 100000
flood macs 200001 100000 100000
kill -TERM "$pid"
rc=0
wait "$pid" || rc=$?
[ "$rc" -eq 0 ] || fail "service ended with $rc"
check_table ips 100000 >/dev/null && check_table macs 100000 >/dev/null || fail "table after the stop"

# The registry's bound.
reg "Adapter=$watched" "SyslogHost=$peer_ip" "MaxAddresses=50000" "SyslogRate=0"
rm /var/lib/harbrook/arptable
"$tessalin" /console >"$work/out" 2>"$work/err" </dev/null &
pid=$!
e2e_own "$pid"
capture_open
base=$(datagrams)
"$inject" "$wire" --flood macs 100000 | sed 's/^/bound: /'
wait_for 60 datagrams_reach $((base + 100000)) ||
  fail "bound: $(($(datagrams) - base)) of 100000 reports arrived"
kill -INT "$pid"
wait_for 40 bash -c "! kill -0 $pid 2>/dev/null" || fail "bound: no stop within 40 s"
rc=0
wait "$pid" || rc=$?
[ "$rc" -eq 0 ] || fail "bound: /console ended with $rc"
check_table macs 50000 >/dev/null || fail "bound: the first 50000 pairs are not all in the table"
[ "$(wc -l </var/lib/harbrook/arptable)" -eq 100000 ] || fail "bound: the table holds more than 50000 pairs"
grep -q 'holds its bound of 50000 address pairs (MaxAddresses)' "$work/err" ||
  fail "bound: no event-log entry for the bound"
grep -q '^tessalin: 49999 more new address pairs were reported but not kept' "$work/err" ||
  fail "bound: no summary of the pairs not kept"
grep -q 'A flood of new MAC addresses' "$work/err" || fail "bound: the flood of new MACs was not told"
echo "bound: 100000 reports, 50000 pairs kept; $(grep -c 'MaxAddresses\|not kept\|flood' "$work/err") event-log entries"
reg "Adapter=$watched" "SyslogHost=$peer_ip" "SyslogRate=0"

# The slow resolver: a name server on the loopback that reads and drops.
"$counter" 127.0.0.53 53 "$work/dns" 100 >"$work/dns.out" &
e2e_own $!
wait_for 5 grep -q listening "$work/dns.out" || fail "name server did not start"
# Each look-up waits 2 x 5 s for an answer.
printf 'nameserver 127.0.0.53\noptions timeout:5 attempts:2\n' >"$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf
printf 'hosts: files dns\n' >"$work/nsswitch.conf"  # bound over /etc/nsswitch.conf already
reg "Adapter=$watched" "SyslogHost=syslog.harbrook.test" "SyslogRate=0"
rm /var/lib/harbrook/arptable
"$tessalin" /console >"$work/out" 2>"$work/err" </dev/null &
pid=$!
e2e_own "$pid"
capture_open
start=$(now_ms)
"$inject" "$wire" --flood macs 25000 1000 100 | sed 's/^/slow resolver: /'
sent_at=$(now_ms)
table_follows "slow resolver" macs 100 100 "$sent_at"
[ "$(cut -d' ' -f1 "$work/dns")" -gt 0 ] || fail "slow resolver: the name server was never asked"
wait_for 5 grep -q '^some major error :Socket Error # 1100[12]' /var/lib/harbrook/tessalin.err ||
  fail "slow resolver: no look-up failure in the error file"
grep -q '^tessalin: a report could not be sent to syslog.harbrook.test: Socket Error # 1100[12]' \
  "$work/err" || fail "slow resolver: no event-log entry for the look-up failure"
echo "slow resolver: $(cut -d' ' -f1 "$work/dns") queries asked, $(grep -c 'could not be sent' "$work/err") event-log entries"
# A hung look-up holds the reports behind it only until it fails; they
# then fail at once, so 10 s after the last frame nothing is left for the
# stop to give up.
left=$((sent_at + 10000 - $(now_ms)))
[ "$left" -le 0 ] || sleep "$((left / 1000)).$(printf '%03d' $((left % 1000)))"
kill -INT "$pid"
wait_for 40 bash -c "! kill -0 $pid 2>/dev/null" || fail "slow resolver: no stop within 40 s"
rc=0
wait "$pid" || rc=$?
[ "$rc" -eq 0 ] || fail "slow resolver: /console ended with $rc"
check_table macs 100 >/dev/null || fail "slow resolver: table after the stop"
grep 'not sent before the stop' "$work/err" && fail "slow resolver: reports left behind a hung look-up"

# The stop while a look-up hangs: the name server never answers, and each
# look-up waits 30 s, longer than the stop waits for the watch.
printf 'nameserver 127.0.0.53\noptions timeout:30 attempts:1\n' >"$work/resolv.conf"
rm /var/lib/harbrook/arptable
: >"$work/notify.log"
NOTIFY_SOCKET="$work/notify" "$tessalin" >"$work/out" 2>"$work/err" </dev/null &
pid=$!
e2e_own "$pid"
wait_for 10 grep -q 'READY=1' "$work/notify.log" || fail "hung look-up: service did not report running"
capture_open
asked=$(cut -d' ' -f1 "$work/dns")
"$inject" "$wire" 02:dd:00:00:00:01/10.200.0.1
asked_more() { [ "$(cut -d' ' -f1 "$work/dns")" -gt "$asked" ]; }
wait_for 10 asked_more || fail "hung look-up: the name server was never asked"
"$inject" "$wire" 02:dd:00:00:00:02/10.200.0.2 02:dd:00:00:00:03/10.200.0.3
sleep 0.3
stop_at=$(now_ms)
kill -TERM "$pid"
wait_for 30 bash -c "! kill -0 $pid 2>/dev/null" || fail "hung look-up: no stop within 30 s"
stop_ms=$(($(now_ms) - stop_at))
rc=0
wait "$pid" || rc=$?
[ "$rc" -eq 0 ] || fail "hung look-up: service ended with $rc"
echo "hung look-up: the stop took $stop_ms ms"
[ "$stop_ms" -le 25000 ] || fail "hung look-up: the stop took $stop_ms ms, more than 25 s"
python3 - /var/lib/harbrook/arptable <<'PY' || fail "hung look-up: pairs seen before the stop missing from the table"
import sys
lines = open(sys.argv[1], newline="").read().split("\r\n")
table = dict(zip(lines[0::2], lines[1::2]))
want = {"10.200.0.%d" % n: " 02DD00-00000%d" % n for n in (1, 2, 3)}
missing = [ip for ip, mac in want.items() if table.get(ip) != mac]
print("missing:", missing) if missing else None
sys.exit(1 if missing else 0)
PY
echo "PASS: floods end to end"
