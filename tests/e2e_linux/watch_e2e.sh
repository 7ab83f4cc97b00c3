#!/usr/bin/env bash
# The watch end to end on Linux: the service runs under a notify socket of
# the test's own, captures on one end of a veth pair with the real driver,
# and reports to a real rsyslog on the log host, another machine as far as
# the watch can tell (a network namespace of its own, over a second veth
# pair), named in the configuration by name and by address; the start-up
# report goes to the built-in default, an rsyslog on the watcher's own
# loopback, and so does a report when the configuration names no server.
# The watch runs in a private network and mount namespace, with tmpfs over
# the data and configuration folders and a hosts file of the test's own.
#   watch_e2e.sh TESSALIN ARPINJECT
set -euo pipefail
tessalin=$1
inject=$2

. "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$0" "$@"

e2e_setup
e2e_veth
# The watch opens the first Ethernet adapter: the lower interface index.
if [ "$(cat /sys/class/net/tsw0/ifindex)" -gt "$(cat /sys/class/net/tsw1/ifindex)" ]; then
  watched=tsw1
  wire=tsw0
fi
e2e_peer
e2e_rsyslog "127.0.0.1=$work/one.log" "$peer_ip=$work/two.log"
# Every report names the machine by the address of its first interface
# that has one: its end of the link to the log host.
received_host='198\.51\.100\.1'
e2e_notify
e2e_show+=("program output=$work/tessalin.out")

tessalin_pid=
start_watch() {
  NOTIFY_SOCKET="$work/notify" "$tessalin" >>"$work/tessalin.out" 2>&1 &
  tessalin_pid=$!
  e2e_own "$tessalin_pid"
  for _ in $(seq 100); do grep -q 'READY=1' "$work/notify.log" && break; sleep 0.1; done
  grep -q 'READY=1' "$work/notify.log" || fail "service did not report running"
}
stop_watch() {
  kill -TERM "$tessalin_pid"
  local rc=0
  wait "$tessalin_pid" || rc=$?
  [ "$rc" -eq 0 ] || fail "service exit code $rc"
  : >"$work/notify.log"
}

wait_lines() {  # file count
  for _ in $(seq 100); do
    [ "$( { wc -l <"$1"; } 2>/dev/null || echo 0)" -ge "$2" ] && return 0
    sleep 0.1
  done
  return 1
}
expect() {  # file, expected reports (one per line)
  local file=$1
  shift
  local want
  want=$(printf '%s\n' "$@")
  wait_lines "$file" "$#" || true
  sleep 0.3  # nothing further may arrive
  [ "$(received "$file")" == "$want" ] || fail "reports at $file: expected
$want"
}

reg "SyslogHost=$peer_name"
start_watch
expect "$work/one.log" "starting up"
grep -qE '^<170>[A-Z][a-z]{2} [ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] 198\.51\.100\.1 starting up$' \
  "$work/one.log" || fail "header of the starting-up datagram"

A=02:00:00:00:00:0a B=02:00:00:00:00:0b
"$inject" "$wire" "$A/10.0.0.1" "$A/10.0.0.2" "$B/10.0.0.1" "$A/10.0.0.1" "$B/10.0.0.9/5"
# Found, count and moved reports at the log host, after the start-up
# report went to this host's loopback from the same program.
expect "$work/two.log" \
  "10.0.0.1 found on 020000-00000A" \
  "2 addresses on MAC 020000-00000A" \
  "10.0.0.2 found on 020000-00000A" \
  "10.0.0.1 moved from 020000-00000A to 020000-00000B"
[ "$(grep -c '^<170>' "$work/two.log")" -eq 4 ] || fail "priority 170 on every datagram"
expect "$work/one.log" "starting up"

# A change reaches the table within about 5 s, with no later frame needed.
"$inject" "$wire" "02:00:00:00:00:0d/10.0.0.3"
wait_lines "$work/two.log" 5 || fail "report for 10.0.0.3"
printf '10.0.0.1\r\n 020000-00000B\r\n10.0.0.2\r\n 020000-00000A\r\n10.0.0.3\r\n 020000-00000D\r\n' \
  >"$work/table.want"
wait_for 7 cmp -s /var/lib/harbrook/arptable "$work/table.want" || {
  cat -A /var/lib/harbrook/arptable
  fail "table file after the save"
}

# The configured host is read for every report: the log host by address,
# then no server named (the default, this host's loopback), then the log
# host again by name, each report where it was sent.
reg SyslogHost=$peer_ip
"$inject" "$wire" "02:00:00:00:00:0e/10.0.0.4"
wait_lines "$work/two.log" 6 || fail "report to the log host by address"
[ "$(received "$work/two.log" | tail -n 1)" == "10.0.0.4 found on 020000-00000E" ] ||
  fail "report to the log host by address"
printf 'Windows Registry Editor Version 5.00\r\n' >/etc/harbrook/registry.reg
"$inject" "$wire" "02:00:00:00:00:0f/10.0.0.5"
expect "$work/one.log" "starting up" "10.0.0.5 found on 020000-00000F"

# An unknown host: the handler writes the error file and capture goes on.
reg SyslogHost=nohost.invalid
"$inject" "$wire" "02:00:00:00:00:10/10.0.0.6"
for _ in $(seq 50); do [ -s /var/lib/harbrook/tessalin.err ] && break; sleep 0.1; done
printf 'some major error :Socket Error # 11001\r\nHost not found.\r\n' >"$work/err.want"
cmp -s /var/lib/harbrook/tessalin.err "$work/err.want" || fail "error file for an unknown host"
reg "SyslogHost=$peer_name"
"$inject" "$wire" "02:00:00:00:00:11/10.0.0.7"
wait_lines "$work/two.log" 7 || fail "capture went on after the send failure"
[ "$(received "$work/two.log" | tail -n 1)" == "10.0.0.7 found on 020000-000011" ] ||
  fail "report after the send failure"

stop_watch

# The stop saved everything seen, the pair whose report failed included.
for n in 1 2 3 4 5 6 7; do
  grep -q "^10\.0\.0\.$n"$'\r'"\$" /var/lib/harbrook/arptable || {
    cat -A /var/lib/harbrook/arptable
    fail "10.0.0.$n in the table after the stop"
  }
done

# A restart with the saved table reports none of the saved pairs again.
: >"$work/one.log"
: >"$work/two.log"
sleep 0.5
: >"$work/one.log"
: >"$work/two.log"
start_watch
expect "$work/one.log" "starting up"
"$inject" "$wire" "$B/10.0.0.1" "$A/10.0.0.2" "02:00:00:00:00:0d/10.0.0.3" \
  "02:00:00:00:00:10/10.0.0.6" "02:00:00:00:00:12/10.0.0.8"
expect "$work/two.log" "10.0.0.8 found on 020000-000012"
stop_watch
echo "PASS: watch end to end"
