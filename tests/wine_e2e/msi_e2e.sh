#!/usr/bin/env bash
# The Windows installer end to end under Wine. In a private network
# namespace (a listener for the start-up report on 127.0.0.1:514; the
# syslog server at the address the shipped tessalin.reg names, on a machine
# of its own joined by a veth pair) and a fresh private WINEPREFIX:
# the MSI is made from the program under test (scripts/package --windows),
# the example registry file is imported as an administrator would push it,
# "msiexec /i" installs the files and the service Wirevane and starts it;
# the service's registration, event source and reports are checked; then
# "msiexec /x" must leave no service, no event source and no program files.
# The replay Packet.dll stands in for the capture driver, on the system
# path.
#   msi_e2e.sh TESSALIN_EXE SVCCTL_EXE PACKET_DLL WORK_FOLDER
# Exit 0 pass, 1 fail, 77 skipped (not Linux, no namespaces, no Wine, no wixl).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ $# -eq 4 ] || { echo "usage: $0 TESSALIN_EXE SVCCTL_EXE PACKET_DLL WORK_FOLDER"; exit 2; }

source "$here/wine_lib.sh"

if [ "${TESSALIN_WINE_NS:-}" != 1 ]; then
  skip() { echo "SKIP: $*"; exit 77; }
  [ "$(uname -s)" = Linux ] || skip "the Wine end-to-end test runs on a Linux host only"
  command -v wineserver >/dev/null || skip "Wine (wineserver) is not installed"
  command -v wixl >/dev/null || skip "wixl is not installed (scripts/lib/deps.sh installs it)"
  command -v c++ >/dev/null || skip "no host C++ compiler for the syslog listener and pcap_write"
fi
wine_enter "$0" "$@"

exe=$(realpath "$1")
svcctl_exe=$(realpath "$2")
packet_dll=$(realpath "$3")
work=$4
src=$here/../..
reg_file=$src/packaging/windows/tessalin.reg
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

syslog_host=
trap wine_cleanup EXIT
trap 'echo "FAIL: timed out"; exit 1' TERM

log() { echo "--- $*"; }
fail() {
  echo "FAIL: $*"
  echo "--- datagrams received at 127.0.0.1:"; cat "$work/start.log" 2>/dev/null || true
  echo "--- datagrams received at $syslog_host:"; cat "$work/syslog.log" 2>/dev/null || true
  echo "--- msiexec's log, the last 30 lines:"
  # ANSI (Wine's msiexec) or UTF-16: zero bytes go before lines are counted.
  tr -d '\000\r' 2>/dev/null <"$work/msi.log" | tail -n 30 || true
  echo "--- Wine's messages, the last 30:"; tail -n 30 "$work/wine.err" 2>/dev/null || true
  exit 1
}
w() { timeout 90 "$wine" "$@" 2>>"$work/wine.err" | tr -d '\r'; }
svcctl() { w 'C:\tools\svcctl.exe' "$@"; }
field() { sed -n "s/^$1=//p"; }

log "package"
"$src/scripts/package" --windows "$(dirname "$exe")" "$work/out" >"$work/package.log" 2>&1 ||
  fail "scripts/package --windows: $(cat "$work/package.log")"
msi=$(cd "$work/out" && ls tessalin-*-x64.msi)

# One ARP frame: 02:00:00:00:00:0a claims 10.0.0.1 (42 bytes captured, 60
# on the wire), written by the test tool pcap_write, compiled here with the
# host's compiler.
c++ -std=c++20 -O1 -I"$here/../../src" -o "$work/pcap_write" "$here/../support/pcap_write.cpp"
arp=ffffffffffff02000000000a08060001080006040001""02000000000a""0a000001""0000000000000a0000fe
echo "1699938305 0 $arp 60" | "$work/pcap_write" "$work/arp.pcap" records ||
  fail "pcap_write did not write the capture"

log "fresh prefix"
w wineboot --init >/dev/null
wineserver -w
wineserver -p
drive=$WINEPREFIX/drive_c
mkdir -p "$drive/tools" "$drive/install"
cp "$svcctl_exe" "$drive/tools/svcctl.exe"
cp "$work/out/$msi" "$drive/install/$msi"
cp "$reg_file" "$drive/install/tessalin.reg"
w reg import 'C:\install\tessalin.reg' >/dev/null || fail "reg import of tessalin.reg failed"

# Installed before the capture driver and the network are there (as group
# policy may do): the service cannot start yet, and the installation must
# not roll back.
log "msiexec /i without a capture driver and a network"
rc=0
w msiexec /i "C:\\install\\$msi" /qn >/dev/null || rc=$?
[ "$rc" -eq 0 ] || fail "msiexec /i without a capture driver and a network: exit code $rc"
svcctl qc Wirevane >/dev/null || fail "service not created without a capture driver"
w net stop Wirevane >/dev/null 2>&1 || true
svcctl wait Wirevane 1 30 >/dev/null || fail "service did not stop: $(svcctl status Wirevane)"
w msiexec /x "C:\\install\\$msi" /qn >/dev/null || fail "msiexec /x after the first installation"
rm -rf "$drive/harbrook"

ip link set lo up
wine_peer "$reg_file"
c++ -O1 -o "$work/udp_listen" "$here/udp_listen.cpp"
peer_start "$work/udp_listen" "$syslog_host" 514 "$work/syslog.log" 200 >"$work/listen.out" 2>&1
"$work/udp_listen" 127.0.0.1 514 "$work/start.log" 200 >"$work/start_listen.out" 2>&1 &
wine_own $!
for f in listen start_listen; do
  for _ in $(seq 50); do grep -q listening "$work/$f.out" && break; sleep 0.1; done
  grep -q listening "$work/$f.out" || fail "syslog listener did not start: $(cat "$work/$f.out")"
done

# The capture driver on the system path, as a real one would be.
cp "$packet_dll" "$drive/windows/system32/Packet.dll"
cp "$work/arp.pcap" "$drive/windows/system32/arp.pcap"
printf 'arp.pcap\r\n' >"$drive/windows/system32/Packet.replay"

log "msiexec /i"
rc=0
w msiexec /i "C:\\install\\$msi" /qn /l*v 'C:\install\msi.log' >/dev/null || rc=$?
cp "$drive/install/msi.log" "$work/msi.log" 2>/dev/null || true
[ "$rc" -eq 0 ] || fail "msiexec /i exit code $rc"
program='C:\Program Files\Tessalin\tessalin.exe'
folder="$drive/Program Files/Tessalin"
for f in tessalin.exe INSTALL.txt tessalin.reg; do
  [ -f "$folder/$f" ] || fail "$f not installed in C:\\Program Files\\Tessalin"
done
[ -d "$drive/harbrook" ] || fail "data folder C:\\harbrook not made"
qc=$(svcctl qc Wirevane) || fail "service not created: $qc"
# Windows Installer writes the service's path in quotes itself; Wine's
# msiexec writes it as it is. Either way it is this path.
qc=$(sed -E 's/^binary="(.*)"$/binary=\1/' <<<"$qc")
want_qc="type=0x10
start=2
errorcontrol=1
binary=$program
group=
tag=0
account=LocalSystem
display=Wirevane
dependencies="
[ "$qc" == "$want_qc" ] || fail "service configuration:
$qc
expected:
$want_qc"
description=$(svcctl qc2 Wirevane | field description)
grep -q 'ARP' <<<"$description" && grep -q 'SyslogHost' <<<"$description" ||
  fail "service description: \"$description\""
source=$(svcctl source Wirevane) || fail "event source not registered: $source"
want_source="file=$program
filetype=2
types=7
typestype=4"
[ "$source" == "$want_source" ] || fail "event source:
$source
expected:
$want_source"

log "the service runs and reports"
svcctl wait Wirevane 4 30 >/dev/null || fail "service not running after install: $(svcctl status Wirevane)"
header='<170>[A-Z][a-z]{2} [ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] [0-9]+(\.[0-9]+){3} '
for _ in $(seq 200); do
  grep -q . "$work/syslog.log" 2>/dev/null && break
  sleep 0.1
done
grep -qE "^${header}starting up$" "$work/start.log" || fail "no start-up report at 127.0.0.1"
grep -qE "^${header}10\.0\.0\.1 found on 020000-00000A$" "$work/syslog.log" ||
  fail "no report at $syslog_host"

log "msiexec /x"
# Windows Installer's StopServices waits for the service to stop before the
# files go; Wine's sends the stop and goes on, and a program still running
# cannot be deleted there. The stop is asked for and waited on first.
w net stop Wirevane >/dev/null || true
svcctl wait Wirevane 1 30 >/dev/null || fail "service did not stop: $(svcctl status Wirevane)"
rc=0
w msiexec /x "C:\\install\\$msi" /qn /l*v 'C:\install\msi.log' >/dev/null || rc=$?
cp "$drive/install/msi.log" "$work/msi.log" 2>/dev/null || true
[ "$rc" -eq 0 ] || fail "msiexec /x exit code $rc"
out=$(svcctl qc Wirevane) && fail "service still registered after msiexec /x"
[ "$(field error <<<"$out")" = 1060 ] || fail "service after msiexec /x: $out"
out=$(svcctl source Wirevane) && fail "event source still registered after msiexec /x: $out"
left=$(ls -A "$folder" 2>/dev/null || true)
[ -z "$left" ] || fail "files left in C:\\Program Files\\Tessalin: $left"
echo "PASS: $msi installed, started, reported and removed"
