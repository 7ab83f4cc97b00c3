#!/usr/bin/env python3
"""Wall time and peak memory of the program's replay run, measured from outside.

Usage (as root): read_measure.py BIN_DIR [FRAMES ...]   (default: 1000000 10000000)

BIN_DIR holds tessalin and read_bench. For each count, read_bench writes a
capture file of that many ARP frames from 10,000 hosts; then `tessalin /read
FILE` and `tessalin /read -` (the file on standard input) run three times
each, each with an empty table, and the best wall time, the best CPU time
(user and system: on a busy machine the steadier figure) and the largest
peak resident set are printed. Everything runs in private mount and network
namespaces: tmpfs over /var/lib/harbrook and /etc/harbrook, so the machine's
table and configuration are never touched, and the reports go to a UDP
listener on the namespace's own loopback (127.0.0.1, port 514), which
counts them.
"""
import os
import resource
import socket
import subprocess
import sys
import tempfile
import threading
import time

INSIDE = "--inside-namespace"


def listener(counter, stop):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    s.bind(("127.0.0.1", 514))
    s.settimeout(0.1)
    while not stop.is_set():
        try:
            s.recv(65536)
            counter[0] += 1
        except socket.timeout:
            pass
    s.close()


def run_once(exe, capture, stdin_mode):
    table = "/var/lib/harbrook/arptable"
    if os.path.exists(table):
        os.unlink(table)
    with open(os.devnull, "wb") as null, open(capture, "rb") as f:
        args = [exe, "/read", "-" if stdin_mode else capture]
        start = time.monotonic()
        p = subprocess.Popen(args, stdin=f if stdin_mode else subprocess.DEVNULL, stdout=null,
                             stderr=subprocess.PIPE)
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.monotonic() - start
        p.returncode = os.waitstatus_to_exitcode(status)
        err = p.stderr.read().decode()
        p.stderr.close()
    with open(table, "rb") as t:
        pairs = t.read().count(b"\r\n") // 2
    return wall, usage.ru_maxrss / 1024.0, p.returncode, err, pairs, usage.ru_utime + usage.ru_stime


def inside(bin_dir, counts):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    for d in ("/var/lib/harbrook", "/etc/harbrook"):
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", d], check=True)
    exe = os.path.join(bin_dir, "tessalin")
    counter, stop = [0], threading.Event()
    t = threading.Thread(target=listener, args=(counter, stop))
    t.start()
    time.sleep(0.2)
    try:
        with tempfile.TemporaryDirectory(dir="/var/tmp") as work:
            for n in counts:
                capture = os.path.join(work, "capture.pcap")
                subprocess.run([os.path.join(bin_dir, "read_bench"), "--write-capture", capture,
                                str(n)], check=True)
                size = os.path.getsize(capture) / 1e6
                for stdin_mode in (False, True):
                    before = counter[0]
                    runs = [run_once(exe, capture, stdin_mode) for _ in range(3)]
                    time.sleep(0.3)
                    codes = {r[2] for r in runs}
                    print(f"{n:>10,} frames {size:6.0f} MB  /read {'-   ' if stdin_mode else 'FILE'}"
                          f"  wall best {min(r[0] for r in runs):6.3f} s"
                          f" (all: {', '.join(f'{r[0]:.3f}' for r in runs)})"
                          f"  CPU best {min(r[5] for r in runs):6.3f} s"
                          f"  peak RSS {max(r[1] for r in runs):5.1f} MB"
                          f"  exit {sorted(codes)}  table pairs {runs[-1][4]}"
                          f"  datagrams {(counter[0] - before) / 3:,.0f} per run", flush=True)
                    for r in runs:
                        if r[2] != 0:
                            print("   stderr:", r[3].strip())
                os.unlink(capture)
    finally:
        stop.set()
        t.join()


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == INSIDE:
        inside(sys.argv[2], [int(a) for a in sys.argv[3:]])
        return
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    bin_dir = os.path.abspath(sys.argv[1])
    counts = sys.argv[2:] or ["1000000", "10000000"]
    for d in ("/var/lib/harbrook", "/etc/harbrook"):
        os.makedirs(d, exist_ok=True)  # mount points only; stay empty on the host
    sys.exit(subprocess.run(["unshare", "-m", "-n", "--propagation", "private", sys.executable,
                             os.path.abspath(__file__), INSIDE, bin_dir, *counts]).returncode)


if __name__ == "__main__":
    main()
