#!/usr/bin/env bash
# A flood of new pairs at the sender's full rate, end to end on Linux, in a
# private network and mount namespace, with the reports going over TCP to a
# real rsyslog (imtcp) on the log host (a namespace of its own over a veth
# pair of its own): the capture comes first,
# so the kernel drops no frame, every pair reaches the table and every
# report reaches rsyslog. Twice: with an empty table, and with LOADED pairs
# loaded from the table file at the start.
#   tcpflood_e2e.sh TESSALIN ARPINJECT [NEW [LOADED [measure]]]
# NEW new pairs (default 200,000) in one flood of new MACs; LOADED pairs
# (default 1,000,000) in the table of the second run. With "measure",
# frames dropped are printed, not failed on (to compare builds).
# bench/flood_measure.sh runs it at 1,000,000 and 5,000,000.
set -euo pipefail
. "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$0" "$@"
tessalin=$1
inject=$2
new=${3:-200000}
loaded=${4:-1000000}
measure=${5:-}

e2e_setup
e2e_veth
e2e_peer
e2e_notify
# The registry's bound above what the runs bring.
reg "Adapter=$watched" "SyslogHost=$peer_name" "SyslogTransport=tcp" "MaxAddresses=$((loaded + new + 100))"
e2e_show+=("program stderr=$work/err" "rsyslog=$work/rsyslog.out")

now_ms() { date +%s%3N; }
lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }
reach() { [ "$(lines "$1")" -ge "$2" ]; }

e2e_rsyslog_tcp_conf "$work/rsyslog.conf" "$work/tcp.log" "$peer_ip"
"${peer_on[@]}" rsyslogd -n -f "$work/rsyslog.conf" -i "$work/rsyslog.pid" >"$work/rsyslog.out" 2>&1 &
e2e_own $!
wait_for 5 bash -c "${peer_on[*]} ss -tln | grep -qF $peer_ip:514" || fail "rsyslog did not listen"

# table_of COUNT FILE: a table file of COUNT pairs, as the watch saves it
# (sorted by address text): MAC 02:EE:NN:NN:NN:NN on 11.NN.NN.NN, NN = 1
# onwards, apart from the flood's pairs (02:BB:..., 10.128.0.0 onwards).
table_of() {
  python3 - "$@" <<'PY'
import sys
count, path = int(sys.argv[1]), sys.argv[2]
pairs = sorted("11.%d.%d.%d" % (n >> 16 & 255, n >> 8 & 255, n & 255) for n in range(1, count + 1))
with open(path, "w", newline="") as f:
    for ip in pairs:
        p = ip.split(".")
        n = int(p[1]) << 16 | int(p[2]) << 8 | int(p[3])
        f.write("%s\r\n 02EE00-%06X\r\n" % (ip, n))
PY
}

# check_run LABEL LOADED SINCE: after the flood sent at SINCE, every flood
# pair in the table (LOADED + new pairs in all), every report at rsyslog,
# and the driver's drop counter (the status line) still 0.
check_run() {
  local label=$1 pairs=$(($2 + new)) since=$3 base=$4
  local want=$((2 * pairs)) got
  if [ "$measure" = measure ]; then
    # Until every report queued has left, then what the status says.
    sleep 3
    wait_for 120 bash -c "grep STATUS= '$work/notify.log' | tail -1 | grep -q ' 0 reports queued'" || true
    sleep 2
    echo "$label: $(grep 'STATUS=' "$work/notify.log" | tail -1)"
    return 0
  fi
  wait_for 120 bash -c "[ \"\$(wc -l </var/lib/harbrook/arptable)\" -ge $want ]" ||
    fail "$label: $(((want - $(lines /var/lib/harbrook/arptable)) / 2)) pairs not in the table 120 s after the flood"
  echo "$label: every pair counted in the table $(($(now_ms) - since)) ms after the flood"
  wait_for 120 reach "$work/tcp.log" $((base + new)) ||
    fail "$label: $(($(lines "$work/tcp.log") - base)) of $new reports at rsyslog 120 s after the flood"
  echo "$label: every report at rsyslog $(($(now_ms) - since)) ms after the flood"
  sleep 2  # the drop counter is read once a second, the status shown once a second
  local status
  status=$(grep 'STATUS=' "$work/notify.log" | tail -1)
  echo "$label: $status"
  case "$status" in
    *"frames dropped"*)
      [ "$measure" = measure ] || fail "$label: the kernel dropped frames: $status"
      echo "$label: DROPS: $(echo "$status" | grep -oE '[0-9]+ frames dropped')"
      ;;
  esac
  cp /var/lib/harbrook/arptable "$work/table.now"
  python3 - "$new" "$work/table.now" "$work/tcp.log" "$base" <<'PY' || fail "$label: pairs or reports missing"
import re, sys
new, table, log, base = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
lines = open(table, newline="").read().split("\r\n")
t = dict(zip(lines[0::2], lines[1::2]))
want = {"10.%d.%d.%d" % (128 + (n >> 16), n >> 8 & 255, n & 255): "02BB00-%06X" % n
        for n in range(1, new + 1)}
missing = sum(t.get(ip) != " " + mac for ip, mac in want.items())
got = set()
with open(log, errors="replace") as f:
    for i, line in enumerate(f):
        if i < base:
            continue
        m = re.search(r" (\S+) found on (\S+)$", line.rstrip("\n"))
        if m:
            got.add((m.group(1), m.group(2)))
unreported = sum((ip, mac) not in got for ip, mac in want.items())
print("pairs missing from the table: %d, reports missing at rsyslog: %d" % (missing, unreported))
sys.exit(1 if missing or unreported else 0)
PY
}

run() {
  local label=$1 pairs=$2 base start sent_at
  rm -f /var/lib/harbrook/arptable
  if [ "$pairs" -gt 0 ]; then
    start=$(now_ms)
    table_of "$pairs" /var/lib/harbrook/arptable
    echo "$label: table of $pairs pairs made in $(($(now_ms) - start)) ms"
  fi
  : >"$work/notify.log"
  base=$(lines "$work/tcp.log")
  start=$(now_ms)
  NOTIFY_SOCKET="$work/notify" "$tessalin" >"$work/out" 2>"$work/err" </dev/null &
  pid=$!
  e2e_own "$pid"
  wait_for 120 grep -q 'READY=1' "$work/notify.log" || fail "$label: service did not report running"
  echo "$label: running $(($(now_ms) - start)) ms after the start"
  # A first report opens the connection before the flood.
  "$inject" "$wire" 02:dd:00:00:00:01/10.200.0.1
  wait_for 10 reach "$work/tcp.log" $((base + 1)) || fail "$label: no report over TCP"
  base=$((base + 1))
  "$inject" "$wire" --flood macs "$new" | sed "s/^/$label: /"
  sent_at=$(now_ms)
  check_run "$label" "$((pairs + 1))" "$sent_at" "$base"
  kill -TERM "$pid"
  rc=0
  wait "$pid" || rc=$?
  [ "$rc" -eq 0 ] || fail "$label: service ended with $rc"
}

run "empty table" 0
run "$loaded pairs loaded" "$loaded"
echo "PASS: floods over TCP with nothing dropped"
