#!/usr/bin/env bash
# Faults of the watch end to end on Linux, in a private network and mount
# namespace with rsyslog on its loopback (the start-up report's default)
# and on the log host (a namespace of its own over a veth pair).
# - Start-up faults, one table: each case runs the program as a service (the
#   test owns the notify socket) and under /console. Both must end with the
#   stage's exit code, the service never ready; the service's last status
#   names the cause, the error file holds the stage label, and /console
#   prints the cause on stderr.
# - A data folder that cannot be written is told at start.
# - Recovery, under /console: the watched interface deleted and made again
#   (capture lost, little CPU meanwhile, capture resumed, new pairs
#   reported), the interface renamed and its link flapped (the capture
#   follows it under its new name), and a syslog host that fails for some
#   reports (a name that does not resolve, then an address of the log host
#   where nothing listens, so that every other datagram is refused) and
#   works for the next (the pairs all in the saved table, the failure, one
#   line each, and one recovery in the event log, told only once a send
#   works 10 s after the last failure).
#   faults_e2e.sh TESSALIN ARPINJECT
set -euo pipefail
. "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$0" "$@"
tessalin=$1
inject=$2

e2e_setup
e2e_rsyslog
e2e_notify
e2e_show+=("program output=$work/out" "program stderr=$work/err")

# start_fault NAME CODE STAGE CAUSE COMMAND...: COMMAND is the program.
start_fault() {
  local name=$1 code=$2 stage=$3 cause=$4
  shift 4
  local want="The watch could not start (stage \"$stage\"): $cause"
  rm -f /var/lib/harbrook/tessalin.err
  : >"$work/notify.log"
  local rc=0
  NOTIFY_SOCKET="$work/notify" timeout 30 "$@" >"$work/out" 2>"$work/err" </dev/null || rc=$?
  [ "$rc" -eq "$code" ] || fail "$name: the service ended with $rc, not $code"
  wait_for 5 grep -qF "STATUS=$want" "$work/notify.log" ||
    fail "$name: no status \"$want\""
  grep -F "STATUS=$want" "$work/notify.log" | grep -q "ERRNO=$code " ||
    fail "$name: ERRNO=$code missing"
  grep -q "READY=1" "$work/notify.log" && fail "$name: the service said it was ready"
  printf '%s\r\n' "$stage" >"$work/err.want"
  cmp -s /var/lib/harbrook/tessalin.err "$work/err.want" || fail "$name: error file"

  rc=0
  timeout 30 "$@" /console >"$work/out" 2>"$work/err" </dev/null || rc=$?
  [ "$rc" -eq "$code" ] || fail "$name: /console ended with $rc, not $code"
  grep -qxF "tessalin: $want" "$work/err" || fail "$name: /console did not print \"$want\""
  echo "ok: $name"
}

snoop="configuring snoop"
# Loopback alone: no adapter that carries ARP, so none to watch.
reg
start_fault "no Ethernet adapter" 5 "$snoop" "No Adpaters" "$tessalin"
e2e_veth
e2e_peer
e2e_rsyslog "$peer_ip=$work/peer.log"
reg "Adapter=$watched"
start_fault "no CAP_NET_RAW" 5 "$snoop" "Cannot Open Adapter \"$watched\": Operation not permitted" \
  setpriv --bounding-set -net_raw --inh-caps -net_raw "$tessalin"
mkdir "$work/alone"
cp "$tessalin" "$work/alone/"
start_fault "no driver library" 5 "$snoop" "Fail to initilize Packet32" \
  "$work/alone/$(basename "$tessalin")"
reg "Adapter=nosuch0"
# The Ethernet interfaces in index order.
there=$(ip -o link show | sed -nE 's/^[0-9]+: ([^:@]+)[:@].*link\/ether.*/\1/p' | paste -sd, | sed 's/,/, /g')
start_fault "wrong Adapter" 5 "$snoop" "no adapter is named \"nosuch0\"; the adapters are $there" \
  "$tessalin"

# A read-only data folder: said at start, and the watch runs all the same.
mount -o remount,ro /var/lib/harbrook
reg "Adapter=$watched"
"$tessalin" /console >"$work/out" 2>"$work/err" </dev/null &
pid=$!
e2e_own "$pid"
wait_for 10 grep -qF "Wirevane: Running: watching $watched" "$work/out" || fail "read-only folder: not running"
grep -qF "tessalin: The data folder /var/lib/harbrook/ cannot take the table (missing or not writable), so changes will not be saved: open(/var/lib/harbrook/arptable.tmp) failed: Read-only file system" "$work/err" ||
  fail "read-only folder: not told at start"
kill -INT "$pid"
wait "$pid" || true
mount -o remount,rw /var/lib/harbrook
echo "ok: read-only data folder told at start"

# Recovery, in one foreground run, the reports to the log host by name.
reg "Adapter=$watched" "SyslogHost=$peer_name"
rm -f /var/lib/harbrook/arptable
: >"$work/syslog.log"
"$tessalin" /console >"$work/out" 2>"$work/err" </dev/null &
pid=$!
e2e_own "$pid"
wait_for 10 grep -q 'starting up' "$work/syslog.log" || fail "no start-up report"
A=02:00:00:00:00:0a B=02:00:00:00:00:0b C=02:00:00:00:00:0c D=02:00:00:00:00:0d E=02:00:00:00:00:0e
# Until the first report arrives the capture may still be opening.
wait_for 10 bash -c "'$inject' $wire $A/10.9.0.1 && grep -q '10.9.0.1 found' '$work/peer.log'" ||
  fail "report before the interface was deleted"

ip link del "$watched"
wait_for 10 grep -qF "tessalin: capture lost on \"$watched\": Read Error: PacketRecievePacket failed: No such device" "$work/err" ||
  fail "no capture lost entry with its cause"
before=$(cpu_ticks "$pid")
sleep 3
used=$(($(cpu_ticks "$pid") - before))
hz=$(getconf CLK_TCK)
echo "CPU while the interface is gone: $used ticks of 1/$hz s in 3 s ($((used * 100 / (3 * hz))).$((used * 1000 / (3 * hz) % 10)) % of a core)"
[ $((used * 100)) -le $((5 * 3 * hz)) ] || fail "CPU while the interface is gone: $used ticks in 3 s"
grep -q "capture resumed" "$work/err" && fail "capture resumed without the interface"

e2e_veth
wait_for 10 grep -qF "tessalin: capture resumed on \"$watched\"" "$work/err" || fail "no capture resumed entry"
wait_for 10 bash -c "'$inject' $wire $B/10.9.0.2 && grep -q '10.9.0.2 found' '$work/peer.log'" ||
  fail "report after the interface came back"

# Renamed while down, then the link flaps: the capture follows the
# interface under its new name.
ip link set "$watched" down
ip link set "$watched" name tsw9
ip link set tsw9 up
sleep 0.3
ip link set tsw9 down
ip link set tsw9 up
wait_for 10 grep -qF "tessalin: capture resumed on \"tsw9\" (renamed from \"$watched\")" "$work/err" ||
  fail "no capture resumed entry for the renamed interface"
wait_for 10 bash -c "'$inject' $wire $E/10.9.0.5 && grep -q '10.9.0.5 found' '$work/peer.log'" ||
  fail "report after the rename"

# A host that cannot be resolved: a new pair and a move fail to be reported.
reg "Adapter=$watched" "SyslogHost=nohost.invalid"
"$inject" "$wire" "$C/10.9.0.3" "$C/10.9.0.1"
printf 'some major error :Socket Error # 11001\r\nHost not found.\r\n' >"$work/err.want"
wait_for 5 cmp -s /var/lib/harbrook/tessalin.err "$work/err.want" || fail "error file for an unknown host"
wait_for 5 grep -qxF 'tessalin: a report could not be sent to nohost.invalid: Socket Error # 11001 Host not found.' \
  "$work/err" || fail "no event-log entry, on one line, for the failed report"
# An address of the log host where nothing listens: each datagram that
# follows a refused one fails (Connection refused); the sends between
# them work, and none of them is told as a recovery.
at_peer ip addr add 198.51.100.3/24 dev tsr1
reg "Adapter=$watched" "SyslogHost=198.51.100.3"
F=02:00:00:00:00:0f
for n in 6 7 8 9; do
  "$inject" "$wire" "$F/10.9.0.$n"
  sleep 0.4
done
wait_for 5 grep -q 'some major error :Socket Error # 10061' /var/lib/harbrook/tessalin.err ||
  fail "no refused send"
reg "Adapter=$watched" "SyslogHost=$peer_name"
"$inject" "$wire" "$D/10.9.0.4"
wait_for 5 grep -q '10.9.0.4 found on 020000-00000D' "$work/peer.log" || fail "report after the host works again"
grep -q 'sent to .* again' "$work/err" && fail "a recovery told before sends worked for a while"
sleep 10.2
"$inject" "$wire" "$D/10.9.0.10"
wait_for 5 grep -qF "tessalin: reports are sent to $peer_name again" "$work/err" || fail "no recovery entry"
# The first entry, at most one summary (its last error on one line), one
# recovery.
[ "$(grep -c 'could not be sent' "$work/err")" -le 2 ] || fail "an entry per failed report"
grep 'reports could not be sent to 198.51.100.3: last error' "$work/err" | grep -qvF 'Socket Error # 10061 Connection refused.' &&
  fail "the summary's error is not on one line"
[ "$(grep -c 'sent to .* again' "$work/err")" -eq 1 ] || fail "recovery entries"
grep -E 'could not be sent|sent to .* again' "$work/err"

# Every pair within about 6 s, with no further frame; the move to its new owner.
printf '10.9.0.1\r\n 020000-00000C\r\n10.9.0.10\r\n 020000-00000D\r\n10.9.0.2\r\n 020000-00000B\r\n10.9.0.3\r\n 020000-00000C\r\n10.9.0.4\r\n 020000-00000D\r\n10.9.0.5\r\n 020000-00000E\r\n' \
  >"$work/table.want"
for n in 6 7 8 9; do
  printf '10.9.0.%d\r\n 020000-00000F\r\n' "$n" >>"$work/table.want"
done
wait_for 7 cmp -s /var/lib/harbrook/arptable "$work/table.want" || {
  cat -A /var/lib/harbrook/arptable
  fail "table after the failed reports"
}

kill -INT "$pid"
rc=0
wait "$pid" || rc=$?
[ "$rc" -eq 0 ] || fail "/console ended with $rc after Ctrl-C"
cmp -s /var/lib/harbrook/arptable "$work/table.want" || fail "table after the stop"
echo "PASS: faults end to end"
