#!/usr/bin/env bash
# Runs the live capture test in a private network namespace with a veth pair
# tcap0/tcap1, both up, IPv6 off so that the links stay quiet.
#   live_capture.sh TEST ARPINJECT
set -euo pipefail
if [ "${TESSALIN_LIVE_NS:-}" != 1 ]; then
  if ! unshare -n true 2>/dev/null; then
    echo "SKIP: needs permission to create a network namespace"
    exit 77
  fi
  TESSALIN_LIVE_NS=1 exec unshare -n bash "$0" "$@"
fi
sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 || true
ip link set lo up
ip link add tcap0 type veth peer name tcap1
ip link set tcap0 up
ip link set tcap1 up
exec "$1" "$2"
