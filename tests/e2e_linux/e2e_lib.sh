# Shared set-up of the Linux end-to-end tests, sourced by the test scripts.
# e2e_enter re-runs the calling script in a private network and mount
# namespace; there, e2e_setup lays tmpfs over the data and configuration
# folders, gives the namespace its own hosts and nsswitch files and brings
# up the loopback, e2e_veth makes the veth pair tsw0/tsw1 the watch captures
# on, and e2e_peer makes the log host: the machine of the syslog server,
# another host as far as the watch can tell. Everything the test starts is
# recorded with e2e_own and ended when the script exits.

# e2e_enter SCRIPT ARGS...: returns only inside the namespace. Exit 77 when
# the machine cannot make namespaces or has no rsyslogd.
e2e_enter() {
  if [ "${TESSALIN_E2E_NS:-}" = 1 ]; then return 0; fi
  if ! command -v rsyslogd >/dev/null || ! unshare -n -m true 2>/dev/null; then
    echo "SKIP: needs rsyslogd and permission to create network and mount namespaces"
    exit 77
  fi
  mkdir -p /var/lib/harbrook /etc/harbrook  # mount points only; stay empty on the host
  TESSALIN_E2E_NS=1 exec unshare -n -m --propagation private bash "$@"
}

work=$(mktemp -d)
e2e_pids=()
e2e_own() { e2e_pids+=("$@"); }
e2e_cleanup() {
  local p
  for p in "${e2e_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap e2e_cleanup EXIT

# Files shown when a check fails, by the label they are shown under.
e2e_show=()
fail() {
  echo "FAIL: $*"
  local entry
  for entry in "${e2e_show[@]}"; do
    echo "--- ${entry%%=*}:"
    head -c 20000 "${entry#*=}" 2>/dev/null || true
  done
  echo "--- status:"; cat "$work/notify.log" 2>/dev/null || true
  echo "--- error file:"; cat -A /var/lib/harbrook/tessalin.err 2>/dev/null || true
  exit 1
}

e2e_setup() {
  mount -t tmpfs tmpfs /var/lib/harbrook
  mount -t tmpfs tmpfs /etc/harbrook
  mount -t sysfs sysfs /sys  # this namespace's interfaces
  e2e_host=$(hostname)
  printf '127.0.0.1 localhost\n192.0.2.10 %s\n%s %s\n' "$e2e_host" "$peer_ip" "$peer_name" \
    >"$work/hosts"
  mount --bind "$work/hosts" /etc/hosts
  printf 'hosts: files\n' >"$work/nsswitch.conf"
  mount --bind "$work/nsswitch.conf" /etc/nsswitch.conf
  ip link set lo up
}

# Makes the veth pair. The watch captures on $watched; frames for it are
# sent out of $wire. The pair keeps its names when it is made again.
e2e_veth() {
  ip link add tsw0 type veth peer name tsw1
  ip link set tsw0 up
  ip link set tsw1 up
  watched=tsw0
  wire=tsw1
}

# The log host: its address, and its name as the hosts file here has it.
peer_ip=198.51.100.2
peer_name=logs.harbrook.test
peer_pid=
peer_on=()
# e2e_peer: makes the log host, a network namespace of its own joined to
# this one by the veth pair tsr0 (here, 198.51.100.1/24) and tsr1 (there,
# $peer_ip/24). Commands run there with at_peer. Call it after
# e2e_veth, so that the watch's first adapter stays the capture pair.
e2e_peer() {
  unshare -n sleep 100000 &
  peer_pid=$!
  e2e_own "$peer_pid"
  local _ here
  here=$(readlink /proc/self/ns/net)
  for _ in $(seq 50); do
    [ "$(readlink "/proc/$peer_pid/ns/net" 2>/dev/null)" != "$here" ] && break
    sleep 0.1
  done
  peer_on=(nsenter -t "$peer_pid" -n)
  ip link add tsr0 type veth peer name tsr1
  ip link set tsr1 netns "$peer_pid"
  ip addr add 198.51.100.1/24 dev tsr0
  ip link set tsr0 up
  at_peer ip link set lo up
  at_peer ip addr add "$peer_ip/24" dev tsr1
  at_peer ip link set tsr1 up
  wait_for 10 grep -qx up /sys/class/net/tsr0/operstate || fail "the link to the log host is down"
}
# at_peer COMMAND...: runs COMMAND on the log host (its network, this
# namespace's files). A server started there in the background is started
# with "${peer_on[@]}" COMMAND & instead: nsenter becomes COMMAND, so that
# $! is the server's own pid.
at_peer() { "${peer_on[@]}" "$@"; }
# at ADDRESS COMMAND...: runs COMMAND on the host that has ADDRESS: the
# log host for $peer_ip, here for any other.
at() {
  local address=$1
  shift
  if [ "$address" = "$peer_ip" ]; then at_peer "$@"; else "$@"; fi
}

# e2e_burst FIRST COUNT: ARP frames out of $wire (by $inject) for the new
# pairs 10.77.N.N, N = FIRST and on, each on a MAC of its own
# (02:dd:00:00:NN:NN).
e2e_burst() {
  local args=() n
  for ((n = $1; n < $1 + $2; n++)); do
    args+=("$(printf '02:dd:00:00:%02x:%02x/10.77.%d.%d' $((n >> 8)) $((n & 255)) $((n >> 8)) $((n & 255)))")
  done
  "$inject" "$wire" "${args[@]}" >/dev/null
}

# Writes /etc/harbrook/registry.reg with the program's key and the given
# NAME=VALUE string values (none: the key alone).
reg() {
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\r\n'
    local kv
    for kv in "$@"; do printf '"%s"="%s"\r\n' "${kv%%=*}" "${kv#*=}"; done
  } >/etc/harbrook/registry.reg
}

# e2e_rsyslog_tcp_conf CONF FILE [ADDRESS]: writes to CONF an rsyslog
# configuration that keeps every report received over plain TCP (imtcp) on
# ADDRESS:514 (default 127.0.0.1), as received, in FILE. The caller starts
# rsyslogd with it (at ADDRESS).
e2e_rsyslog_tcp_conf() {
  mkdir -p "$work/rs"
  cat >"$1" <<CONF
global(workDirectory="$work/rs")
module(load="imtcp")
template(name="raw" type="string" string="%rawmsg%\n")
ruleset(name="r") { action(type="omfile" file="$2" template="raw") }
input(type="imtcp" address="${3:-127.0.0.1}" port="514" ruleset="r")
CONF
}

# e2e_rsyslog [ADDRESS=FILE ...]: rsyslog listening on UDP port 514 of each
# ADDRESS, every datagram as received in its FILE (none given:
# 127.0.0.1=$work/syslog.log). One rsyslog here for the addresses of this
# host (pid in $work/rsyslog.pid), one on the log host for $peer_ip (pid in
# $work/rsyslog-peer.pid).
e2e_rsyslog() {
  [ $# -gt 0 ] || set -- "127.0.0.1=$work/syslog.log"
  local pair here=() there=()
  for pair in "$@"; do
    if [ "${pair%%=*}" = "$peer_ip" ]; then there+=("$pair"); else here+=("$pair"); fi
  done
  [ ${#here[@]} -eq 0 ] || e2e_rsyslog_udp rsyslog "${here[@]}"
  [ ${#there[@]} -eq 0 ] || e2e_rsyslog_udp rsyslog-peer "${there[@]}"
}
# e2e_rsyslog_udp NAME ADDRESS=FILE...: one rsyslog (imudp) with
# $work/NAME.conf, .pid, .out and work folder, started where the addresses
# are, back once the last one listens.
e2e_rsyslog_udp() {
  local name=$1
  shift
  mkdir -p "$work/$name.d"
  {
    echo "global(workDirectory=\"$work/$name.d\")"
    echo 'module(load="imudp")'
    echo 'template(name="raw" type="string" string="%rawmsg%\n")'
    local pair n=0
    for pair in "$@"; do
      n=$((n + 1))
      echo "ruleset(name=\"r$n\") { action(type=\"omfile\" file=\"${pair#*=}\" template=\"raw\") }"
      echo "input(type=\"imudp\" address=\"${pair%%=*}\" port=\"514\" ruleset=\"r$n\")"
      e2e_show+=("${pair%%=*} received=${pair#*=}")
    done
  } >"$work/$name.conf"
  local _ last=${!#}
  last=${last%%=*}
  local on=()
  [ "$last" != "$peer_ip" ] || on=("${peer_on[@]}")
  "${on[@]}" rsyslogd -n -f "$work/$name.conf" -i "$work/$name.pid" >"$work/$name.out" 2>&1 &
  e2e_own $!
  for _ in $(seq 50); do
    at "$last" ss -uln 2>/dev/null | grep -qF "$last:514" && break
    sleep 0.1
  done
}

# The test plays the service manager's part: it owns the notify socket
# $work/notify and logs every message, one line each, to $work/notify.log
# (appended, so that the test may empty the file).
e2e_notify() {
  python3 -u -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
while True:
    print(s.recv(4096).decode(errors="replace").replace("\n", " "), flush=True)
' "$work/notify" >>"$work/notify.log" 2>&1 &
  e2e_own $!
  local _
  for _ in $(seq 50); do [ -S "$work/notify" ] && break; sleep 0.1; done
}

# wait_for SECONDS COMMAND...: true once COMMAND succeeds, polled every 0.1 s.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  while ! "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
}

# received [FILE]: the reports received by rsyslog (in $work/syslog.log
# unless FILE is given), without the priority, timestamp and host; the host
# must match $received_host when the test sets it (a line whose header
# does not match is left whole, and so differs from any report).
received() {
  sed -E "s/^<170>[A-Z][a-z]{2} [ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] ${received_host:-[^ ]+} //" \
    "${1:-$work/syslog.log}" 2>/dev/null
}

# CPU time of a process in clock ticks: utime + stime.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
