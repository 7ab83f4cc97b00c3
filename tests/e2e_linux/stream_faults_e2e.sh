#!/usr/bin/env bash
# TCP servers that fail as real ones do, end to end on Linux: the watch
# under /console captures on a veth pair and reports over TCP to the log
# host, where a small server of the test's own misbehaves:
# - it closes every connection right after accepting it: no report counts
#   as sent, one entry tells it, and the attempts back off (at most 5 in
#   the first 10 s); then rsyslog takes the port, and every report arrives;
# - it resets each connection once it has read 4 KB of it: every report of
#   a burst of 150 arrives (some twice), and the stop counts each as sent
#   once and tells how many were written again.
#   stream_faults_e2e.sh TESSALIN ARPINJECT
set -euo pipefail
tessalin=$1
inject=$2
. "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$0" "$@"
e2e_setup
e2e_veth
e2e_peer
reg "Adapter=$watched" "SyslogHost=$peer_name" "SyslogTransport=tcp"
e2e_show+=("program stderr=$work/err" "server=$work/server.out" "rsyslog=$work/rsyslog.out")

# server MODE: the misbehaving server on the log host's port 514. close:
# closes each connection as soon as it is accepted; reset4k: reads 4096
# bytes of each connection into $work/conn.N, then resets it. Each accept
# adds a line to $work/accepts.
server_pid=
server() {
  "${peer_on[@]}" python3 -u - "$1" "$work" "$peer_ip" >"$work/server.out" 2>&1 <<'PY' &
import socket, struct, sys
mode, work, address = sys.argv[1:4]
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((address, 514))
s.listen(16)
print("listening", flush=True)
n = 0
while True:
    c, _ = s.accept()
    n += 1
    with open(work + "/accepts", "a") as f:
        f.write("accept\n")
    if mode == "reset4k":
        got = 0
        with open("%s/conn.%d" % (work, n), "wb") as f:
            while got < 4096:
                d = c.recv(4096 - got)
                if not d:
                    break
                got += len(d)
                f.write(d)
                f.flush()
        c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    c.close()
PY
  server_pid=$!
  e2e_own "$server_pid"
  wait_for 5 grep -q listening "$work/server.out" || fail "the $1 server did not listen"
}
accepts() { [ -f "$work/accepts" ] && wc -l <"$work/accepts" || echo 0; }

# --- A server that closes every connection at once.
server close
"$tessalin" /console >"$work/out" 2>"$work/err" </dev/null &
pid=$!
e2e_own "$pid"
wait_for 10 grep -q "watching $watched" "$work/err" "$work/out" 2>/dev/null || sleep 2
start=$SECONDS
e2e_burst 1 20
sleep 10
attempts=$(accepts)
echo "close at once: $attempts connections in 10 s"
[ "$attempts" -ge 2 ] && [ "$attempts" -le 5 ] || fail "close at once: $attempts connections in 10 s"
[ "$(grep -c 'the server closes the connection within 2 s' "$work/err")" -eq 1 ] ||
  fail "close at once: not told once that the server closes the connection"
grep -E 'reports sent' "$work/err" | grep -vq ' 0 reports sent' &&
  fail "close at once: reports counted as sent"
# rsyslog takes the port: every report arrives with the next attempt.
kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
e2e_rsyslog_tcp_conf "$work/rsyslog.conf" "$work/tcp.log" "$peer_ip"
"${peer_on[@]}" rsyslogd -n -f "$work/rsyslog.conf" -i "$work/rsyslog.pid" >"$work/rsyslog.out" 2>&1 &
rsyslog_pid=$!
e2e_own "$rsyslog_pid"
wait_for 30 sh -c "[ \$(sort -u '$work/tcp.log' 2>/dev/null | grep -c 'found on') -ge 20 ]" ||
  fail "close at once: $(sort -u "$work/tcp.log" 2>/dev/null | grep -c 'found on') of 20 reports at rsyslog"
wait_for 5 grep -q 'reports reach the server again' "$work/err" || fail "close at once: no recovery entry"
echo "close at once: every report at rsyslog $((SECONDS - start)) s after the burst"
kill "$rsyslog_pid"
wait "$rsyslog_pid" 2>/dev/null || true

# --- A server that resets each connection after 4 KB.
rm -f "$work/accepts"
server reset4k
e2e_burst 100 150
distinct() {
  python3 - "$work" <<'PY'
import glob, sys
seen = set()
for path in glob.glob(sys.argv[1] + "/conn.*"):
    data = open(path, "rb").read()
    pos = 0
    while True:
        space = data.find(b" ", pos)
        if space < 0:
            break
        length = int(data[pos:space])
        if space + 1 + length > len(data):
            break
        frame = data[space + 1:space + 1 + length]
        if b" found on " in frame:
            seen.add(frame.split(b" ", 4)[-1])
        pos = space + 1 + length
print(len(seen))
PY
}
start=$SECONDS
got=0
while [ "$got" -lt 150 ] && [ $((SECONDS - start)) -lt 120 ]; do
  sleep 0.5
  got=$(distinct)
done
[ "$got" -ge 150 ] || fail "reset after 4 KB: $got of 150 reports arrived"
echo "reset after 4 KB: 150 of 150 reports arrived over $(accepts) connections in $((SECONDS - start)) s"
kill -INT "$pid"
rc=0
wait "$pid" || rc=$?
[ "$rc" -eq 0 ] || fail "/console ended with $rc"
stopped=$(grep 'the watch stopped' "$work/err")
echo "$stopped"
[[ $stopped == *"170 reports sent, 0 reports failed"* ]] || fail "the stop entry: $stopped"
[[ $stopped == *"reports written again"* ]] || fail "the stop entry does not count what was written again"
echo "PASS"
