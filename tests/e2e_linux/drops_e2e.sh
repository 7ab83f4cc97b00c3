#!/usr/bin/env bash
# A flood that the watch does not keep up with, end to end on Linux, in a
# private network and mount namespace: ARP frames at 100,000 a second with
# 10,000 new pairs among them, while the watch stalls twice, so that the
# capture driver drops frames. A real new host that appears in the middle of
# the flood (one ARP frame every half second, as a host asking for its
# gateway sends them) is reported within 5 s; the drops are in the event
# log (the foreground run's copy on standard error): the first at once with
# its count, a summary with the count since, and the recovery once the
# flood is over, the counts adding up; the status line shows them.
#   drops_e2e.sh TESSALIN ARPINJECT UDP_COUNT
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
reg "Adapter=$watched" "SyslogHost=$peer_ip"
e2e_show+=("program stderr=$work/err" "flood=$work/flood.out")

"${peer_on[@]}" "$counter" "$peer_ip" 514 "$work/count" 120 >"$work/counter.out" &
e2e_own $!
wait_for 5 grep -q listening "$work/counter.out" || fail "listener did not start"

now_ms() { date +%s%3N; }

NOTIFY_SOCKET="$work/notify" "$tessalin" /console >"$work/out" 2>"$work/err" </dev/null &
pid=$!
e2e_own "$pid"
index=$(cat "/sys/class/net/$watched/ifindex")
wait_for 10 awk -v i="$index" 'NR > 1 && $5 == i { ok = 1 } END { exit !ok }' /proc/net/packet ||
  fail "capture did not open"

# 1,000,000 frames at 100,000 a second, 10,000 new pairs among them. Twice
# the watch stalls for 3 s (stopped, as a reader starved of CPU is): the
# kernel's ring, about 230,000 frames, overflows and the driver drops.
"$inject" "$wire" --flood macs 1000000 100000 10000 >"$work/flood.out" 2>&1 &
flood=$!
e2e_own "$flood"
stall() {
  kill -STOP "$pid"
  sleep 3
  kill -CONT "$pid"
}
sleep 1
stall
kill -0 "$flood" 2>/dev/null || fail "the flood ended before the host appeared"

# The host asks again every half second until it is reported, 10 s at most.
host_report='Report: 10.250.0.1 found on 02CC00-000001'
appeared=$(now_ms)
reported=
for attempt in $(seq 100); do
  [ $((attempt % 5)) -ne 1 ] || "$inject" "$wire" 02:cc:00:00:00:01/10.250.0.1
  if grep -qF "$host_report" "$work/out"; then
    reported=$(now_ms)
    break
  fi
  sleep 0.1
done
[ -n "$reported" ] || fail "the new host was not reported within 10 s of its first frame"
kill -0 "$flood" 2>/dev/null && during="during the flood" || during="after the flood"
echo "the new host was reported $((reported - appeared)) ms after its first frame ($during)"
[ $((reported - appeared)) -le 5000 ] || fail "the new host took more than 5 s to be reported"
# The first stall's drops are told before the second stall begins.
wait_for 3 grep -q 'The capture driver dropped [0-9]* frames: the watch does not keep up' "$work/err" ||
  fail "no event-log entry for the dropped frames"
# The status line counts them.
wait_for 3 grep -qE "STATUS=.*watching $watched, .*, [0-9]+ frames dropped *$" "$work/notify.log" ||
  fail "the status line does not show the dropped frames"
kill -0 "$flood" 2>/dev/null || fail "the flood ended before the second stall"
stall

wait "$flood" || fail "the flood could not be sent"
sed 's/^/flood: /' "$work/flood.out"
flood_end=$(now_ms)
# No drop for 10 s: the summary still owed, then the recovery.
wait_for 30 grep -q 'The capture keeps up again on' "$work/err" || fail "no recovery entry"
echo "recovery told $(($(now_ms) - flood_end)) ms after the flood"
grep -E "dropped|keeps up again" "$work/err" || true
# Counts from the entries: the first, the summaries, the total.
count_of() { { grep -oE "$1" "$work/err" || true; } | awk '{ n += $NF } END { print n + 0 }'; }
first=$(count_of 'The capture driver dropped [0-9]+')
summed=$({ grep -oE '^tessalin: [0-9]+ frames dropped: last error' "$work/err" || true; } |
  awk '{ n += $2 } END { print n + 0 }')
total=$(count_of 'keeps up again on "[^"]*": [0-9]+')
[ "$summed" -gt 0 ] || fail "no summary of the dropped frames"
[ $((first + summed)) -eq "$total" ] || fail "first $first and summaries $summed do not add up to $total"
[ "$(grep -c 'The capture driver dropped' "$work/err")" -eq 1 ] || fail "the drops were told more than once"

kill -INT "$pid"
rc=0
wait "$pid" || rc=$?
[ "$rc" -eq 0 ] || fail "/console ended with $rc"
echo "PASS: drops under a flood end to end"
