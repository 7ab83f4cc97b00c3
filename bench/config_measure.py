#!/usr/bin/env python3
"""What a just-written registry.reg costs a burst of reports, measured from outside.

Usage (as root): config_measure.py BIN_DIR [PAIRS] [RUNS]   (default: 100000 5)

BIN_DIR holds tessalin, pcap_write and udp_count. pcap_write writes a
capture file of PAIRS new pairs (one report each); then `tessalin /read FILE`
runs RUNS times with /etc/harbrook/registry.reg written just before the run
and RUNS times with the same file a minute old (settled), in turns, each
with an empty table. The file names the report sink (127.0.0.1, port 5514,
SyslogRate 0: unpaced), where udp_count counts what arrives. Printed: the
wall and CPU times (user and system) of each kind, best and median, and the
datagrams counted per run. The program reads the configuration for every
report, so a file it had to parse again for each one shows here. Everything
runs in private mount and network namespaces: tmpfs over /var/lib/harbrook
and /etc/harbrook, so the machine's table and configuration are never
touched.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

INSIDE = "--inside-namespace"
REGISTRY = "/etc/harbrook/registry.reg"
TABLE = "/var/lib/harbrook/arptable"
PORT = 5514


def write_registry(settled):
    with open(REGISTRY, "w", newline="") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\r\n"
                f'"SyslogHost"="127.0.0.1"\r\n"SyslogPort"="{PORT}"\r\n"SyslogRate"="0"\r\n')
    if settled:
        old = time.time() - 60
        os.utime(REGISTRY, (old, old))


def datagrams(count_file):
    try:
        with open(count_file) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 0


def run_once(exe, capture, settled, count_file):
    if os.path.exists(TABLE):
        os.unlink(TABLE)
    before = datagrams(count_file)
    write_registry(settled)
    with open(os.devnull, "wb") as null:
        start = time.monotonic()
        p = subprocess.Popen([exe, "/read", capture], stdin=subprocess.DEVNULL, stdout=null,
                             stderr=subprocess.PIPE)
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.monotonic() - start
        err = p.stderr.read().decode().strip()
        p.stderr.close()
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        print(f"   exit {code}: {err}", flush=True)
    time.sleep(0.3)  # the last datagrams counted
    return wall, usage.ru_utime + usage.ru_stime, datagrams(count_file) - before


def inside(bin_dir, pairs, runs):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    for d in ("/var/lib/harbrook", "/etc/harbrook"):
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", d], check=True)
    with tempfile.TemporaryDirectory(dir="/var/tmp") as work:
        capture = os.path.join(work, "pairs.pcap")
        count_file = os.path.join(work, "count")
        subprocess.run([os.path.join(bin_dir, "pcap_write"), capture, "pairs", str(pairs)],
                       check=True)
        sink = subprocess.Popen([os.path.join(bin_dir, "udp_count"), "127.0.0.1", str(PORT),
                                 count_file, "3600"], stdout=subprocess.PIPE)
        try:
            sink.stdout.readline()  # "listening"
            exe = os.path.join(bin_dir, "tessalin")
            results = {False: [], True: []}
            for _ in range(runs):
                for settled in (False, True):
                    results[settled].append(run_once(exe, capture, settled, count_file))
            for settled in (False, True):
                r = results[settled]
                walls, cpus = [x[0] for x in r], [x[1] for x in r]
                print(f"{pairs:,} reports, registry.reg {'settled    ' if settled else 'just written'}:"
                      f"  wall best {min(walls):.3f} s median {statistics.median(walls):.3f} s"
                      f"  CPU best {min(cpus):.3f} s median {statistics.median(cpus):.3f} s"
                      f"  (wall: {', '.join(f'{w:.3f}' for w in walls)})"
                      f"  datagrams per run {', '.join(str(x[2]) for x in r)}", flush=True)
        finally:
            sink.terminate()
            sink.wait()


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == INSIDE:
        inside(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        return
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    bin_dir = os.path.abspath(sys.argv[1])
    pairs = sys.argv[2] if len(sys.argv) > 2 else "100000"
    runs = sys.argv[3] if len(sys.argv) > 3 else "5"
    for d in ("/var/lib/harbrook", "/etc/harbrook"):
        os.makedirs(d, exist_ok=True)  # mount points only; stay empty on the host
    sys.exit(subprocess.run(["unshare", "-m", "-n", "--propagation", "private", sys.executable,
                             os.path.abspath(__file__), INSIDE, bin_dir, pairs, runs]).returncode)


if __name__ == "__main__":
    main()
