# Shared set-up of the Wine end-to-end scripts, sourced by them. wine_enter
# runs the calling script again, bounded in time, in a private network and
# mount namespace: the watcher's machine. wine_peer makes the syslog
# server's machine, a second network namespace joined to the first by the
# veth pair tsr0/tsr1, where `peer COMMAND...` runs a command and
# peer_start starts one in the background. wine_hosts gives the watcher's
# machine a hosts file of its own. Everything the test starts is recorded
# with wine_own and ended, with the prefix's Wine server, by wine_cleanup.
# The calling script defines fail.

# wine_enter SCRIPT ARGS...: returns only inside the namespaces, /sys
# showing this network namespace's interfaces. Exit 77 when the machine
# cannot make the namespaces.
wine_enter() {
  if [ "${TESSALIN_WINE_NS:-}" = 1 ]; then
    mount -t sysfs sysfs /sys
    return 0
  fi
  local ns=(unshare -n -m --propagation private)
  [ "$(id -u)" -eq 0 ] || ns=(unshare -r -n -m --propagation private)
  if ! "${ns[@]}" true 2>/dev/null; then
    echo "SKIP: cannot create private network and mount namespaces (${ns[*]})"
    exit 77
  fi
  # The whole run is bounded; on a timeout the script's own cleanup runs.
  exec timeout -s TERM -k 15 240 env TESSALIN_WINE_NS=1 "${ns[@]}" bash "$@"
}

wine_pids=()
wine_own() { wine_pids+=("$@"); }
wine_cleanup() {
  local p
  for p in "${wine_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  wait 2>/dev/null || true
}

# wine_peer REG_FILE: the syslog server's machine, at the address that the
# registry file's SyslogHost names ($syslog_host, in its /24 the watcher
# takes the .1): a network namespace held by a sleeping process ($peer_pid,
# outliving the run's time bound), joined to this one by tsr0 here and tsr1
# there. Its loopback is up as well.
wine_peer() {
  syslog_host=$(tr -d '\r' <"$1" | sed -n 's/^"SyslogHost"="\([0-9.]*\)"$/\1/p')
  [ -n "$syslog_host" ] || fail "$1 names no SyslogHost address"
  [ "${syslog_host##*.}" != 1 ] || fail "$1 names the address the test gives the watcher"
  unshare -n sleep 300 &
  peer_pid=$!
  wine_own "$peer_pid"
  local own theirs= _
  own=$(readlink /proc/self/ns/net)
  for _ in $(seq 50); do
    theirs=$(readlink "/proc/$peer_pid/ns/net" 2>/dev/null || true)
    [ -n "$theirs" ] && [ "$theirs" != "$own" ] && break
    sleep 0.1
  done
  [ -n "$theirs" ] && [ "$theirs" != "$own" ] || fail "the peer's network namespace was not made"
  ip link add tsr0 type veth peer name tsr1
  ip link set tsr1 netns "$peer_pid"
  ip addr add "${syslog_host%.*}.1/24" dev tsr0
  ip link set tsr0 up
  peer ip link set lo up
  peer ip addr add "$syslog_host/24" dev tsr1
  peer ip link set tsr1 up
}
peer() { nsenter -t "$peer_pid" -n "$@"; }
# peer_start COMMAND...: COMMAND started in the background on the server's
# machine and owned; its process id (nsenter's, which becomes COMMAND) in
# $peer_started.
peer_start() {
  nsenter -t "$peer_pid" -n "$@" &
  peer_started=$!
  wine_own "$peer_started"
}

# wine_hosts "ADDRESS NAME"...: this machine's hosts file (localhost and the
# lines given), the only source of names. Wine resolves names through the
# host's resolver, and so through this file.
wine_hosts() {
  { echo '127.0.0.1 localhost'; printf '%s\n' "$@"; } >"$work/hosts"
  mount --bind "$work/hosts" /etc/hosts
  if [ -e /etc/nsswitch.conf ]; then  # without one, files are asked after DNS, which fails here
    echo 'hosts: files' >"$work/nsswitch.conf"
    mount --bind "$work/nsswitch.conf" /etc/nsswitch.conf
  fi
}
