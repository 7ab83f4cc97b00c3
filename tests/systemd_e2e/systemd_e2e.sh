#!/usr/bin/env bash
# The Linux daemon under a real systemd, checked as an administrator would.
#
# A minimal Debian root file system (made once with mmdebstrap, cached as a
# tarball in CACHE) boots with systemd-nspawn -b in a network namespace of
# the test's own, joined by a veth pair to a peer namespace and to nothing
# else. The peer is the central syslog server: an rsyslog of the test's own
# runs in the peer namespace on the peer's address (UDP 514, TLS 6514), and
# the container's configuration names it (logs.example.test in the
# container's hosts file). rsyslog inside the container takes the "starting
# up" reports, which go to 127.0.0.1 before the configuration is read. The
# Linux release archive (scripts/package --linux, from BINDIR) is unpacked to
# /opt/tessalin inside and installed with /install, and reports over UDP,
# then over TLS; then the Debian package made from the same BINDIR is
# installed with apt, configured with the server's address, removed and
# purged.
# Every check is printed; the test fails when one fails. Everything it
# starts is stopped and everything it makes is removed, also on failure.
#   systemd_e2e.sh SOURCE_DIR BINDIR CACHE
set -uo pipefail
src=$(cd "$1" && pwd)
bindir=$(cd "$2" && pwd)
mkdir -p "$3"
cache=$(cd "$3" && pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: needs root (network namespaces, systemd-nspawn)"
  exit 77
fi
for tool in mmdebstrap systemd-nspawn arping nsenter ip ss flock rsyslogd openssl; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL: $tool is missing (scripts/lib/deps.sh installs it)"
    exit 1
  fi
done
if [ ! -e /usr/lib/x86_64-linux-gnu/rsyslog/lmnsd_ossl.so ]; then
  echo "FAIL: rsyslog's OpenSSL driver is missing (rsyslog-openssl; scripts/lib/deps.sh installs it)"
  exit 1
fi

# ---- root file system, cached
suite=bookworm
mirror=http://deb.debian.org/debian
include=systemd,systemd-sysv,dbus,rsyslog,iproute2,libstdc++6,libssl3
key=$(printf '%s %s %s\n' "$suite" "$mirror" "$include" | sha256sum | cut -c1-12)
tarball=$cache/rootfs-$suite-$key.tar
exec 9>"$cache/rootfs.lock"
flock 9
# A folder left where the tarball belongs (an earlier run that failed) goes.
[ -d "$tarball" ] && rm -rf "$tarball"
if [ ! -s "$tarball" ]; then
  echo "=== making the root file system (once; cached as $tarball)"
  started=$(date +%s)
  if ! mmdebstrap --quiet --format=tar --variant=minbase --include="$include" "$suite" "$tarball.part" \
    "$mirror" >"$cache/mmdebstrap.log" 2>&1; then
    echo "FAIL: mmdebstrap, see $cache/mmdebstrap.log"
    tail -n 20 "$cache/mmdebstrap.log"
    rm -rf "$tarball.part"
    exit 1
  fi
  mv "$tarball.part" "$tarball"
  echo "root file system made in $(($(date +%s) - started)) s"
fi
flock -u 9

# ---- names, clean-up
tag=$$
machine=tslct$tag
ct_ns=tsl-ct-$tag
peer_ns=tsl-peer-$tag
peer_if=tslp$tag
work=$(mktemp -d "$cache/run.XXXXXX")
root=$work/root
cgroups=()
nspawn_pid=
init_pid=
peer_rsyslog_pid=
# What the rsyslog on the peer receives, as received.
udp_log=$work/peer/udp.log
tls_log=$work/peer/tls.log
inside_log=$root/var/log/tessalin.log

stop_container() {
  [ -n "$nspawn_pid" ] || return 0
  if kill -0 "$nspawn_pid" 2>/dev/null; then
    # SIGTERM asks nspawn to power the container off; then force.
    kill -TERM "$nspawn_pid" 2>/dev/null
    for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$nspawn_pid" 2>/dev/null
  fi
  wait "$nspawn_pid" 2>/dev/null
  nspawn_pid=
  init_pid=
}
cleanup() {
  stop_container
  if [ -n "$peer_rsyslog_pid" ]; then
    kill -TERM "$peer_rsyslog_pid" 2>/dev/null
    wait "$peer_rsyslog_pid" 2>/dev/null
  fi
  ip netns del "$ct_ns" 2>/dev/null
  ip netns del "$peer_ns" 2>/dev/null
  local cg
  for cg in "${cgroups[@]}"; do
    [ -d "$cg" ] && find "$cg" -depth -type d -exec rmdir {} \; 2>/dev/null
  done
  rm -rf "/run/systemd/nspawn/propagate/$machine" "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

passed=0
failed=0
ok() { echo "ok      - $1"; passed=$((passed + 1)); }
bad() {
  echo "FAILED  - $1"
  shift
  local line
  for line in "$@"; do printf '          %s\n' "$line"; done
  failed=$((failed + 1))
}
finish() {
  echo
  echo "checks: $passed passed, $failed failed"
  if [ "$failed" -gt 0 ]; then
    echo "--- journal of Wirevane"
    ct journalctl -u Wirevane --no-pager -n 40 2>/dev/null
    echo "--- reports received inside"
    cat "$inside_log" 2>/dev/null
    echo "--- reports received on the peer, UDP"
    cat "$udp_log" 2>/dev/null
    echo "--- reports received on the peer, TLS"
    cat "$tls_log" 2>/dev/null
    echo "--- rsyslog on the peer"
    tail -n 10 "$work/peer/rsyslogd.out" 2>/dev/null
    echo "--- container console (last lines)"
    tail -n 20 "$work/nspawn.log"
    exit 1
  fi
  exit 0
}
# A check that later ones cannot do without.
must() { [ "$failed" -eq 0 ] || finish; }

# A command inside the container, in its namespaces and root.
ct() {
  nsenter -a -t "$init_pid" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    SYSTEMD_PAGER= SYSTEMD_COLORS=0 "$@"
}
prop() { ct systemctl show -p "$1" --value Wirevane; }
signal() { ct systemctl kill -s "$1" --kill-who=main Wirevane; }
# Polls a command until it succeeds, for up to $1 seconds.
within() {
  local end=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$end" ] || return 1
    sleep 0.1
  done
}

# ---- network: the container's namespace, a peer namespace, a veth between
ip netns add "$ct_ns" && ip netns add "$peer_ns" &&
  ip link add "$peer_if" type veth peer name eth0 netns "$ct_ns" &&
  ip link set "$peer_if" netns "$peer_ns" &&
  ip -n "$ct_ns" addr add 192.0.2.1/24 dev eth0 && ip -n "$ct_ns" link set eth0 up &&
  ip -n "$peer_ns" addr add 192.0.2.2/24 dev "$peer_if" &&
  ip -n "$peer_ns" addr add 192.0.2.3/24 dev "$peer_if" &&
  ip -n "$peer_ns" addr add 192.0.2.4/24 dev "$peer_if" &&
  ip -n "$peer_ns" addr add 192.0.2.5/24 dev "$peer_if" &&
  ip -n "$peer_ns" link set "$peer_if" up && ip -n "$peer_ns" link set lo up ||
  { bad "network namespaces and veth pair"; finish; }
peer_mac=$(ip -n "$peer_ns" -o link show "$peer_if" | grep -o 'link/ether [0-9a-f:]*' | cut -d' ' -f2)
peer_mac=$(echo "$peer_mac" | tr -d : | tr a-f A-F | sed -E 's/^(.{6})/\1-/')
arping_from() {  # source address [source MAC, default the peer's]
  ip netns exec "$peer_ns" timeout 10 arping -q -c 2 -S "$1" ${2:+-s "$2"} -i "$peer_if" 192.0.2.1 || true
}

# ---- the central syslog server on the peer: rsyslog on 192.0.2.2, UDP and
# TLS (its certificate for logs.example.test, signed by a CA of the test's own)
tls=$work/tls
mkdir -p "$tls" "$work/peer"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tessalin test CA" \
  -keyout "$tls/ca.key" -out "$tls/ca.pem" 2>/dev/null &&
  openssl req -newkey rsa:2048 -nodes -subj "/CN=logs.example.test" \
    -keyout "$tls/server.key" -out "$tls/server.csr" 2>/dev/null &&
  printf 'subjectAltName=DNS:logs.example.test\n' >"$tls/ext" &&
  openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial \
    -days 2 -extfile "$tls/ext" -out "$tls/server.pem" 2>/dev/null ||
  { bad "certificates for the syslog server"; finish; }
cat >"$work/peer/rsyslog.conf" <<CONF
global(workDirectory="$work/peer"
       DefaultNetstreamDriver="ossl"
       DefaultNetstreamDriverCAFile="$tls/ca.pem"
       DefaultNetstreamDriverCertFile="$tls/server.pem"
       DefaultNetstreamDriverKeyFile="$tls/server.key")
module(load="imudp")
module(load="imtcp" StreamDriver.Name="ossl" StreamDriver.Mode="1" StreamDriver.AuthMode="anon")
template(name="raw" type="string" string="%rawmsg%\n")
ruleset(name="udp") { action(type="omfile" file="$udp_log" template="raw") }
ruleset(name="tls") { action(type="omfile" file="$tls_log" template="raw") }
input(type="imudp" address="192.0.2.2" port="514" ruleset="udp")
input(type="imtcp" address="192.0.2.2" port="6514" ruleset="tls")
CONF
ip netns exec "$peer_ns" rsyslogd -n -f "$work/peer/rsyslog.conf" -i "$work/peer/rsyslogd.pid" \
  >"$work/peer/rsyslogd.out" 2>&1 &
peer_rsyslog_pid=$!
peer_listens() {
  ss -N "$peer_ns" -uln | grep -qF 192.0.2.2:514 && ss -N "$peer_ns" -tln | grep -qF 192.0.2.2:6514
}
within 10 peer_listens || { bad "rsyslog on the peer" "$(cat "$work/peer/rsyslogd.out")"; finish; }

# ---- nspawn gets cgroups of its own (it keeps them: --keep-unit)
if [ "$(stat -fc %T /sys/fs/cgroup)" = cgroup2fs ]; then
  cgroups=("/sys/fs/cgroup/tessalin-e2e-$tag")
else
  for h in systemd unified; do
    [ -d "/sys/fs/cgroup/$h" ] && cgroups+=("/sys/fs/cgroup/$h/tessalin-e2e-$tag")
  done
fi
for cg in "${cgroups[@]}"; do mkdir -p "$cg" || { bad "cgroup $cg"; finish; }; done

# ---- the container's root: Debian, the release layout, rsyslog with imudp
mkdir -p "$root" && tar -C "$root" -xf "$tarball" || { bad "unpacking the root file system"; finish; }
echo wirevane-ct >"$root/etc/hostname"
# Debian's standard lines: the machine's own name on 127.0.1.1; and the
# central syslog server.
printf '127.0.0.1 localhost\n127.0.1.1 wirevane-ct.example.test wirevane-ct\n192.0.2.2 logs.example.test\n' \
  >"$root/etc/hosts"
# reg NAME=VALUE...: the program's configuration in the container, those
# string values under its key.
reg() {
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\r\n'
    local kv
    for kv in "$@"; do printf '"%s"="%s"\r\n' "${kv%%=*}" "${kv#*=}"; done
  } >"$root/etc/harbrook/registry.reg"
}
mkdir -p "$root/etc/harbrook" && cp "$tls/ca.pem" "$root/etc/harbrook/ca.pem" &&
  reg SyslogHost=logs.example.test || { bad "the configuration in the container"; finish; }
cat >"$root/etc/rsyslog.d/tessalin.conf" <<'CONF'
module(load="imudp")
input(type="imudp" port="514" ruleset="tessalin")
template(name="tessalinraw" type="string" string="%rawmsg%\n")
ruleset(name="tessalin") { action(type="omfile" file="/var/log/tessalin.log" template="tessalinraw") }
CONF
"$src/scripts/package" --linux "$bindir" "$work/out" >"$work/package.log" 2>&1 &&
  mkdir -p "$root/opt/tessalin" &&
  tar -C "$root/opt/tessalin" --strip-components=1 -xzf "$work/out/tessalin-linux-x86_64.tar.gz" ||
  { bad "release archive" "$(cat "$work/package.log")"; finish; }
[ -e "$root/var/lib/harbrook" ] && { bad "the data folder exists before the first start"; finish; }

boot() {
  (
    for cg in "${cgroups[@]}"; do echo "$BASHPID" >"$cg/cgroup.procs"; done
    exec systemd-nspawn -q -b -D "$root" -M "$machine" --keep-unit --register=no \
      --network-namespace-path="/run/netns/$ct_ns" --capability=CAP_NET_ADMIN \
      --console=passive
  ) >>"$work/nspawn.log" 2>&1 &
  nspawn_pid=$!
  init_pid=
  for _ in $(seq 100); do
    # The container's init: nspawn's child once it runs systemd (before,
    # nspawn's own helper processes).
    init_pid=$(ps --ppid "$nspawn_pid" -o pid=,comm= | awk '$2 == "systemd" { print $1 }')
    [ -n "$init_pid" ] && break
    sleep 0.1
  done
  [ -n "$init_pid" ] || return 1
  local state=
  for _ in $(seq 60); do
    state=$(timeout 60 nsenter -a -t "$init_pid" systemctl is-system-running --wait 2>/dev/null)
    case $state in running | degraded) break ;; esac
    sleep 1
  done
  [ "$state" = running ] || { ct systemctl --failed --no-legend; return 1; }
}
started_count() { grep -c ' starting up$' "$inside_log" 2>/dev/null; }
# report_in FILE PATTERN: a report received in FILE, its text after the
# timestamp matching PATTERN.
report_in() { grep -qE "^<170>[A-Z][a-z]{2} [ 123][0-9] [0-9:]{8} $2\$" "$1" 2>/dev/null; }
received() { [ -s "$1" ] && cat "$1" || echo nothing; }
# The journal's lines on reports that did not leave.
send_failures() { ct journalctl -u Wirevane --no-pager -o cat 2>/dev/null | grep 'could not be sent' | tail -n 2; }

t0=$(date +%s)
if boot; then ok "container boots: systemd reports running"; else bad "container boots" "$(tail -n 20 "$work/nspawn.log")"; fi
must

# /install of a program in a folder that the unit's sandbox hides is
# refused with the reason, and writes no unit (it would fail with 203/EXEC).
mkdir -p "$root/root/tessalin" && cp "$root/opt/tessalin/tessalin" "$root/root/tessalin/"
rc=0
out=$(ct /root/tessalin/tessalin /install 2>&1) || rc=$?
if [ "$rc" -eq 1 ] && [[ $out == *"could not start /root/tessalin/tessalin: its sandbox (ProtectHome=yes) hides /root"* ]] &&
  [ ! -e "$root/etc/systemd/system/Wirevane.service" ]; then
  ok "/install from /root: refused, no unit"
else
  bad "/install from /root" "exit $rc" "$out"
fi
rm -rf "$root/root/tessalin"

# /install: the unit is written and enabled for automatic start.
out=$(ct /opt/tessalin/tessalin /install 2>&1)
if [ "$out" = "Information: Service installed successfully" ] &&
  [ "$(ct systemctl is-enabled Wirevane)" = enabled ]; then
  ok "/install: Wirevane.service enabled"
else
  bad "/install" "$out" "is-enabled: $(ct systemctl is-enabled Wirevane 2>&1)"
fi
must

installed_unit=$(cat "$root/etc/systemd/system/Wirevane.service")

out=$(ct systemd-analyze verify Wirevane.service 2>&1)
if [ $? -eq 0 ] && [ -z "$out" ]; then ok "systemd-analyze verify: clean"; else bad "systemd-analyze verify" "$out"; fi

score=$(ct systemd-analyze security Wirevane.service --no-pager 2>&1 |
  sed -nE 's/.*Overall exposure level for Wirevane.service: ([0-9.]+).*/\1/p')
if [ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }'; then
  ok "systemd-analyze security: $score"
else
  bad "systemd-analyze security: '$score', above 2.0" \
    "$(ct systemd-analyze security Wirevane.service --no-pager 2>&1 | grep '✗')"
fi

# Start: running, with its status line; systemd made the data folder.
out=$(ct systemctl start Wirevane 2>&1)
status_line() {
  status=$(prop StatusText)
  [[ $status =~ ^Running:\ watching\ eth0,\ [0-9]+\ addresses\ known,\ [0-9]+\ reports\ queued,\ [0-9]+\ reports\ sent,\ [0-9]+\ reports\ failed$ ]]
}
within 3 status_line
if [ -z "$out" ] && [ "$(prop ActiveState)/$(prop SubState)" = active/running ] &&
  status_line && [ -d "$root/var/lib/harbrook" ]; then
  ok "systemctl start: active (running), status \"$status\", data folder made"
else
  bad "systemctl start" "$out" "state $(prop ActiveState)/$(prop SubState), status \"$status\"" \
    "data folder: $(ls -ld "$root/var/lib/harbrook" 2>&1)"
fi
must

# A peer's arping: its report goes over UDP to the server the
# configuration names, on the peer, after "starting up" went to rsyslog
# inside (127.0.0.1). Every datagram names the machine by its interface
# address, not the hosts file's 127.0.1.1.
arping_from 192.0.2.2
if within 10 report_in "$udp_log" "192\.0\.2\.1 192\.0\.2\.2 found on $peer_mac" &&
  report_in "$inside_log" '192\.0\.2\.1 starting up' && ! grep -q ' found on ' "$inside_log"; then
  ok "udp: report for the peer's arping reached the peer's rsyslog (logs.example.test), \"starting up\" the one inside; host field 192.0.2.1"
else
  bad "udp: report for the peer's arping (192.0.2.2 on $peer_mac)" "on the peer: $(received "$udp_log")" \
    "inside: $(received "$inside_log")" "journal: $(send_failures)"
fi
if within 6 grep -qx $'192.0.2.2\r' "$root/var/lib/harbrook/arptable"; then
  ok "table saved under ProtectSystem=strict"
else
  bad "table file" "$(cat -A "$root/var/lib/harbrook/arptable" 2>&1)"
fi

# SIGUSR1 pauses (watching goes on), SIGUSR2 continues, SIGHUP reports.
pid=$(prop MainPID)
signal SIGUSR1
paused() { [[ $(prop StatusText) == Paused* ]]; }
continued() { [[ $(prop StatusText) == Running* ]]; }
if within 5 paused; then ok "SIGUSR1: status \"$(prop StatusText)\""; else bad "SIGUSR1" "status \"$(prop StatusText)\""; fi
arping_from 192.0.2.3
if within 10 report_in "$udp_log" "192\.0\.2\.1 192\.0\.2\.3 found on $peer_mac" &&
  report_in "$udp_log" "192\.0\.2\.1 2 addresses on MAC $peer_mac"; then
  ok "paused: reports go on (found, and the peer's count of addresses)"
else
  bad "reports while paused" "on the peer: $(received "$udp_log")" "journal: $(send_failures)"
fi
signal SIGUSR2
if within 5 continued; then ok "SIGUSR2: status \"$(prop StatusText)\""; else bad "SIGUSR2" "status \"$(prop StatusText)\""; fi
signal SIGHUP
sleep 0.5
if continued && [ "$(prop MainPID)" = "$pid" ]; then ok "SIGHUP: still running"; else bad "SIGHUP" "status \"$(prop StatusText)\""; fi

# Another MAC address claims 192.0.2.3 (not the server's address: the
# container would send to that MAC from then on).
arping_from 192.0.2.3 02:00:5e:10:00:01
if within 10 report_in "$udp_log" "192\.0\.2\.1 192\.0\.2\.3 moved from $peer_mac to 02005E-100001"; then
  ok "udp: the moved address reported to the peer's rsyslog"
else
  bad "udp: moved address (192.0.2.3 to 02005E-100001)" "on the peer: $(received "$udp_log")"
fi

# TLS to the same server by its name, the CA that signed its certificate
# named in the configuration; "starting up" still goes to 127.0.0.1.
reg SyslogHost=logs.example.test SyslogTransport=tls SyslogCAFile=/etc/harbrook/ca.pem
before=$(started_count)
ct systemctl restart Wirevane
arping_from 192.0.2.5
if within 10 report_in "$tls_log" "192\.0\.2\.1 192\.0\.2\.5 found on $peer_mac" &&
  [ "$(started_count)" -gt "$before" ]; then
  ok "tls: report for the peer's arping reached the peer's rsyslog on 6514, \"starting up\" the one inside"
else
  bad "tls: report for the peer's arping (192.0.2.5 on $peer_mac)" "on the peer: $(received "$tls_log")" \
    "starting-up reports inside: $before before the restart, $(started_count) after" \
    "journal: $(ct journalctl -u Wirevane --no-pager -o cat -n 5 2>&1)"
fi
reg SyslogHost=logs.example.test

# The watchdog hears the capture reader: a healthy watch outlives a short
# watchdog period many times over, a frozen one is restarted.
mkdir -p "$root/etc/systemd/system/Wirevane.service.d"
printf '[Service]\nWatchdogSec=2\n' >"$root/etc/systemd/system/Wirevane.service.d/watchdog.conf"
ct systemctl daemon-reload
ct systemctl restart Wirevane
pid=$(prop MainPID)
sleep 7
if [ "$(prop MainPID)" = "$pid" ] && [ "$(prop NRestarts)" = 0 ] &&
  [ "$(prop ActiveState)" = active ]; then
  ok "watchdog: heartbeat while capture reads (7 s with a 2 s watchdog)"
else
  bad "watchdog while healthy" "MainPID $pid -> $(prop MainPID), restarts $(prop NRestarts), result $(prop Result)"
fi
signal SIGSTOP
if within 10 eval '[ "$(prop Result)" = watchdog ]'; then
  ok "watchdog: a hung watch is ended (result watchdog; Restart=on-failure starts it again)"
else
  bad "watchdog on a hung watch" "result $(prop Result), state $(prop ActiveState)/$(prop SubState)"
fi
signal SIGCONT
rm "$root/etc/systemd/system/Wirevane.service.d/watchdog.conf"
ct systemctl daemon-reload
ct systemctl reset-failed Wirevane 2>/dev/null

# Stop and restart.
ct systemctl restart Wirevane
ct systemctl stop Wirevane
if [ "$(prop ActiveState)" = inactive ] && [ "$(prop Result)" = success ]; then
  ok "systemctl stop: inactive, result success"
else
  bad "systemctl stop" "state $(prop ActiveState), result $(prop Result), status $(prop ExecMainStatus)"
fi
ct systemctl start Wirevane
pid=$(prop MainPID)
before=$(started_count)
ct systemctl restart Wirevane
if [ "$(prop ActiveState)/$(prop SubState)" = active/running ] && [ "$(prop MainPID)" != "$pid" ] &&
  within 5 eval '[ "$(started_count)" -gt "$before" ]'; then
  ok "systemctl restart: a new process, reporting \"starting up\""
else
  bad "systemctl restart" "state $(prop ActiveState)/$(prop SubState)"
fi

# A reboot starts it again, after rsyslog: that boot's "starting up" is
# received.
before=$(started_count)
ct systemctl reboot
rc=0
for _ in $(seq 300); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
wait "$nspawn_pid" || rc=$?
nspawn_pid=
if [ "$rc" -eq 133 ] && boot; then
  rs=$(ct systemctl show -p ActiveEnterTimestampMonotonic --value rsyslog)
  wv=$(prop ExecMainStartTimestampMonotonic)
  if [ "$(prop ActiveState)" = active ] && [ "$wv" -ge "$rs" ] &&
    within 5 eval '[ "$(started_count)" -gt "$before" ]'; then
    ok "reboot: started again after rsyslog, \"starting up\" received"
  else
    bad "after the reboot" "state $(prop ActiveState), rsyslog ready at $rs, Wirevane started at $wv" \
      "starting-up reports: $before before, $(started_count) after"
  fi
else
  bad "reboot of the container" "nspawn exit $rc (133 is a reboot)"
fi
must

# A start that cannot watch fails as a start: the service says it is ready
# only once the capture is open, so `systemctl start` itself fails, and the
# journal holds the cause at error priority.
# start_fails NAME DROP-IN CAUSE: DROP-IN is the [Service] setting that
# keeps the watch from capturing, CAUSE a text the journal must hold.
start_fails() {
  local name=$1 setting=$2 want=$3
  printf '[Service]\n%s\n' "$setting" >"$root/etc/systemd/system/Wirevane.service.d/fault.conf"
  ct systemctl daemon-reload
  local since
  since=$(ct date '+%Y-%m-%d %H:%M:%S')
  sleep 1
  local start_rc=0
  ct systemctl restart Wirevane >/dev/null 2>&1 || start_rc=$?
  local cause state
  cause=$(ct journalctl -u Wirevane -p err --since "$since" --no-pager -o cat _COMM=tessalin 2>/dev/null)
  state="$(prop ActiveState)/$(prop SubState), result $(prop Result), exit status $(prop ExecMainStatus)"
  if [ "$start_rc" -ne 0 ] && [ "$(prop Result)" = exit-code ] && [ "$(prop ExecMainStatus)" = 5 ] &&
    grep -qF -- "$want" <<<"$cause"; then
    ok "$name: systemctl restart exits $start_rc ($state), journal -p err: $(grep -F -- "$want" <<<"$cause" | head -n 1)"
  else
    bad "$name" "systemctl restart exit $start_rc, $state" "journal -p err: ${cause:-nothing}"
  fi
  rm "$root/etc/systemd/system/Wirevane.service.d/fault.conf"
  ct systemctl daemon-reload
  ct systemctl reset-failed Wirevane 2>/dev/null
}
mkdir -p "$root/etc/systemd/system/Wirevane.service.d"
start_fails "without CAP_NET_RAW" "CapabilityBoundingSet=~CAP_NET_RAW" \
  'Cannot Open Adapter "eth0": Operation not permitted'
# Loopback alone: nothing that carries ARP to watch, so no adapter at all.
start_fails "with PrivateNetwork=yes" "PrivateNetwork=yes" \
  'The watch could not start (stage "configuring snoop"): No Adpaters'
ct systemctl restart Wirevane
[ "$(prop ActiveState)" = active ] || bad "start again with CAP_NET_RAW" "$(prop ActiveState)"

# Event-log entries reach the journal under their source, errors at error
# priority: the program started by hand, not by systemd, logs that it has
# no service manager to talk to (1063).
since=$(ct date '+%Y-%m-%d %H:%M:%S')
sleep 1
ct /opt/tessalin/tessalin >/dev/null 2>&1
entry=$(ct journalctl -t tessalin -p err --since "$since" --no-pager -o cat 2>/dev/null)
if [[ $entry == *"service process could not connect to the service controller"* ]]; then
  ok "journal -t tessalin -p err: $entry"
else
  bad "event-log entry at error priority" "journal: ${entry:-nothing}" \
    "$(ct journalctl -t tessalin --since "$since" --no-pager -o verbose 2>&1 | grep -E 'PRIORITY|MESSAGE=')"
fi

# /uninstall while running: the unit is removed, the running service is
# left alone and is gone once stopped.
pid=$(prop MainPID)
out=$(ct /opt/tessalin/tessalin /uninstall /silent 2>&1)
if [ -z "$out" ] && [ ! -e "$root/etc/systemd/system/Wirevane.service" ] &&
  [ "$(prop MainPID)" = "$pid" ] && [ "$(prop ActiveState)" = active ]; then
  ok "/uninstall while running: unit removed, service left running"
else
  bad "/uninstall while running" "$out" "state $(prop ActiveState), MainPID $pid -> $(prop MainPID)"
fi
ct systemctl stop Wirevane
if [ "$(prop LoadState)" = not-found ] && ! ct systemctl is-enabled Wirevane >/dev/null 2>&1; then
  ok "after stop: Wirevane is gone"
else
  bad "after stop" "load state $(prop LoadState)"
fi

# ---- The Debian package: apt installs it, the unit it ships (the text
# /install writes) is enabled and started without /install; the service
# reports to the server its registry.reg names by address, no restart
# needed; removal keeps the data folder, purge leaves nothing.
# The package brings its own registry.reg (a conffile).
rm -rf "$root/etc/harbrook"
deb=$(cd "$work/out" && ls tessalin_*_amd64.deb)
cp "$work/out/$deb" "$root/root/$deb"
apt_get() { ct env DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Dpkg::Use-Pty=0 "$@"; }
out=$(apt_get install "/root/$deb" 2>&1)
rc=$?
reported() { status_line && report_in "$udp_log" "192\.0\.2\.1 192\.0\.2\.4 found on $peer_mac"; }
if [ "$rc" -eq 0 ] && [ "$(ct systemctl is-enabled Wirevane)" = enabled ] &&
  within 5 status_line; then
  ok "apt install ./$deb: Wirevane enabled and running, status \"$status\""
else
  bad "apt install ./$deb" "exit $rc" "$(tail -n 5 <<<"$out")" \
    "is-enabled $(ct systemctl is-enabled Wirevane 2>&1), state $(prop ActiveState)/$(prop SubState)"
fi
# As an administrator names the server: the example line made a value.
sed -i 's/^;"SyslogHost"="192.0.2.10"/"SyslogHost"="192.0.2.2"/' "$root/etc/harbrook/registry.reg"
arping_from 192.0.2.4
if grep -q '^"SyslogHost"="192.0.2.2"' "$root/etc/harbrook/registry.reg" && within 10 reported; then
  ok "package's service reports the peer's arping to the peer's rsyslog (SyslogHost 192.0.2.2)"
else
  bad "report from the package's service to 192.0.2.2" "registry.reg: $(grep SyslogHost "$root/etc/harbrook/registry.reg" 2>&1)" \
    "on the peer: $(received "$udp_log")" "journal: $(send_failures)"
fi
packaged_unit=$(cat "$root/lib/systemd/system/Wirevane.service" 2>&1)
if [ "$packaged_unit" = "${installed_unit//\/opt\/tessalin\/tessalin//usr/sbin/tessalin}" ]; then
  ok "the package's unit is the text /install writes"
else
  bad "the package's unit differs from the one /install writes" \
    "$(diff <(echo "$installed_unit") <(echo "$packaged_unit"))"
fi
version=$(ct tessalin --version 2>&1)
if [ "$deb" = "tessalin_${version#tessalin }_amd64.deb" ] &&
  ct test -s /usr/share/man/man8/tessalin.8.gz && ct test -f /etc/harbrook/registry.reg; then
  ok "tessalin --version: \"$version\"; man page and example registry.reg installed"
else
  bad "installed files" "version \"$version\"" "$(ct dpkg -L tessalin 2>&1)"
fi

out=$(apt_get remove tessalin 2>&1)
rc=$?
if [ "$rc" -eq 0 ] && [ "$(prop ActiveState)" = inactive ] && ! ct test -e /usr/sbin/tessalin &&
  ct test -s /var/lib/harbrook/arptable; then
  ok "apt remove: service stopped, program gone, the address table kept"
else
  bad "apt remove" "exit $rc" "$(tail -n 5 <<<"$out")" "state $(prop ActiveState)" \
    "$(ls -l "$root/usr/sbin/tessalin" "$root/var/lib/harbrook" 2>&1)"
fi
out=$(apt_get purge tessalin 2>&1)
rc=$?
left=$(cd "$root" && ls -d lib/systemd/system/Wirevane.service etc/systemd/system/Wirevane.service \
  etc/systemd/system/*/Wirevane.service usr/sbin/tessalin usr/lib/tessalin var/lib/harbrook \
  etc/harbrook usr/share/doc/tessalin usr/share/man/man8/tessalin.8.gz 2>/dev/null)
if [ "$rc" -eq 0 ] && [ -z "$left" ] && [ "$(prop LoadState)" = not-found ] &&
  ! ct sh -c 'cat /proc/[0-9]*/comm' 2>/dev/null | grep -qx tessalin; then
  ok "apt purge: no unit, no program, no data folder, no configuration"
else
  bad "apt purge" "exit $rc" "$(tail -n 5 <<<"$out")" "left: $left" "load state $(prop LoadState)"
fi

echo "checks took $(($(date +%s) - t0)) s after the root file system was ready"
finish
