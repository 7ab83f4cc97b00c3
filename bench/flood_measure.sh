#!/usr/bin/env bash
# The full-size flood, run by hand (as root): 1,000,000 new pairs at the
# sender's full rate into the program on a veth pair in a private
# namespace, reports over TCP to a real rsyslog, first with an empty table
# and then with 5,000,000 pairs loaded (tests/e2e_linux/tcpflood_e2e.sh,
# which CI runs at a smaller size).
#   bench/flood_measure.sh ARPINJECT ROUNDS TESSALIN...
# Each program given (for instance this build and an older one) is run
# ROUNDS times in turn, in measure mode: the frames the kernel dropped are
# printed rather than failed on. NEW and LOADED in the environment change
# the sizes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
inject=$1
rounds=$2
shift 2
for round in $(seq "$rounds"); do
  for program in "$@"; do
    echo "=== round $round: $program"
    bash "$here/../tests/e2e_linux/tcpflood_e2e.sh" "$program" "$inject" "${NEW:-1000000}" \
      "${LOADED:-5000000}" measure 2>&1 | grep -E 'sent [0-9]+ frames|STATUS=|FAIL' || true
  done
done
