#!/usr/bin/env bash
# Measures delivery where the administrator looks: how many reports a real
# rsyslog (imudp, default settings) on the namespace's loopback writes,
# while two busy loops occupy both cores, when /read sends a capture of
# COUNT new pairs paced at each RATE (reports a second; 0: unpaced). Also
# the seconds /read takes and the kernel's receive-buffer errors. As root;
# in a private network and mount namespace.
#   bench/delivery_measure.sh BINDIR [COUNT [RUNS [RATE...]]]
# BINDIR: the Linux build's bin folder (tessalin, and pcap_write for the capture).
set -euo pipefail
bindir=$(cd "$1" && pwd)
count=${2:-20000}
runs=${3:-3}
shift $(($# < 3 ? $# : 3))
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(0 2000 5000 10000)
lib="$(cd "$(dirname "$0")/../tests/e2e_linux" && pwd)/e2e_lib.sh"
. "$lib"
e2e_enter "$0" "$bindir" "$count" "$runs" "${rates[@]}"
e2e_setup
"$bindir/pcap_write" "$work/pairs.pcap" pairs "$count"
e2e_rsyslog "127.0.0.1=$work/udp.log"
rcvbuf_errors() { awk '/^Udp:/ { n++ } /^Udp:/ && n == 2 { print $6 }' /proc/net/snmp; }
for _ in 1 2; do
  (while :; do :; done) &
  e2e_own $!
done
printf '%8s %5s %9s %9s %8s %10s\n' rate run received expected seconds rcvbuf_err
for rate in "${rates[@]}"; do
  reg "SyslogRate=$rate"
  for run in $(seq "$runs"); do
    : >"$work/udp.log"
    rm -f /var/lib/harbrook/arptable
    before=$(rcvbuf_errors)
    start=$(date +%s.%N)
    "$bindir/tessalin" /read "$work/pairs.pcap" >/dev/null 2>&1
    took=$(echo "$(date +%s.%N) - $start" | bc)
    sleep 2
    printf '%8s %5s %9s %9s %8.1f %10s\n' "$rate" "$run" "$(wc -l <"$work/udp.log")" \
      $((count + 1)) "$took" $(($(rcvbuf_errors) - before))
  done
done
