#!/usr/bin/env python3
"""Process-level tests of the tessalin service host on Linux.

Usage: service_process_test.py PATH_TO_TESSALIN PATH_TO_PCAP_WRITE

The script runs itself again inside private mount and network namespaces
(unshare -mn), where /var/lib, /etc/systemd, /run/systemd and /opt are
private tmpfs mounts: the program can neither touch the real data folder or
unit files nor reach any network but the namespace's own loopback and a veth
pair, tsp0 and tsp1, for it to watch. It then acts as the service manager:
it owns the notify socket, reads the status reports and sends the signals.

The install and remove switches run a copy of the program in /opt/tessalin,
with the capture driver it loads from beside itself, as an administrator
installs it: the build folder may lie under a folder the installed unit's
sandbox hides (a checkout under /tmp or /root), from where /install rightly
refuses.
"""
import contextlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import queue
import tempfile
import threading
import unittest

EXE = None
PCAP_WRITE = None  # the test tool that writes capture files
INSIDE = "--inside-namespace"
# Where the install tests put their copy of the program: a folder the
# installed unit can reach.
INSTALL_DIR = "/opt/tessalin"
INSTALLED = os.path.join(INSTALL_DIR, "tessalin")
# The capture driver, found by the program beside itself.
DRIVER = "libpacket.so"


def private_mounts():
    # The watch sends its reports to 127.0.0.1: the namespace's own loopback.
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    # Its first adapter, the one it watches (loopback is none): tsp0, made
    # first as the peer, with the lower index.
    subprocess.run(["ip", "link", "add", "tsp1", "type", "veth", "peer", "name", "tsp0"],
                   check=True)
    for link in ("tsp0", "tsp1"):
        subprocess.run(["ip", "link", "set", link, "up"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/var/lib"], check=True)
    os.makedirs("/var/lib/harbrook")
    if os.path.isdir("/run/systemd"):
        # No reload request may reach the real systemd.
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run/systemd"], check=True)
    if os.path.isdir("/etc/systemd"):
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/etc/systemd"], check=True)
        os.makedirs("/etc/systemd/system")
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", os.path.dirname(INSTALL_DIR)], check=True)
    os.makedirs(INSTALL_DIR)
    for f in (EXE, os.path.join(os.path.dirname(EXE), DRIVER)):
        shutil.copy2(f, INSTALL_DIR)


@contextlib.contextmanager
def program_in(folder):
    """A copy of the installed program in folder, on a tmpfs laid over the
    folder for the while: the host's folder is neither seen nor changed."""
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", folder], check=True)
    try:
        exe = os.path.join(folder, "tessalin")
        shutil.copy2(INSTALLED, exe)
        yield exe
    finally:
        subprocess.run(["umount", folder], check=True)


class ServiceUnderFakeManager(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.dir.name, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(10)
        self.proc = None

    def tearDown(self):
        if self.proc:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            for pipe in (self.proc.stdout, self.proc.stderr):
                if pipe:
                    pipe.close()
        self.sock.close()
        self.dir.cleanup()

    def start(self):
        env = dict(os.environ, NOTIFY_SOCKET=self.path)
        self.proc = subprocess.Popen([EXE], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)

    # The next state report; the watch's own status lines, which come once a
    # second between them, are passed over.
    def report(self):
        while True:
            message = self.sock.recv(4096).decode()
            if not re.match(r"STATUS=[A-Za-z ]+: watching \S+, \d+ addresses known", message):
                return message

    def test_status_line_names_adapter_and_counts(self):
        self.start()
        line = re.compile(r"STATUS=Running: watching \S+, \d+ addresses known, "
                          r"\d+ reports queued, \d+ reports sent, \d+ reports failed\n$")
        messages = []
        while not messages or not line.match(messages[-1]):
            messages.append(self.sock.recv(4096).decode())
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(timeout=10), 0)

    def test_life_start_pause_continue_stop(self):
        pending = "\nEXTEND_TIMEOUT_USEC=5000000\n"
        self.start()
        self.assertEqual(self.report(), "STATUS=Start pending" + pending)
        self.assertEqual(self.report(), "STATUS=Start pending" + pending)
        # Ready once the capture is open, naming what it watches.
        self.assertEqual(self.report(), "READY=1\nSTATUS=Running: watching tsp0\n")

        self.proc.send_signal(signal.SIGUSR1)
        self.assertEqual(self.report(), "STATUS=Pause pending" + pending)
        self.assertEqual(self.report(), "STATUS=Paused\n")
        # Interrogate repeats the state; a custom code reports nothing.
        self.proc.send_signal(signal.SIGHUP)
        self.assertEqual(self.report(), "STATUS=Paused\n")
        self.proc.send_signal(signal.SIGRTMIN + 2)
        self.proc.send_signal(signal.SIGUSR2)
        self.assertEqual(self.report(), "STATUS=Continue pending" + pending)
        self.assertEqual(self.report(), "READY=1\nSTATUS=Running: watching tsp0\n")

        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.report(), "STOPPING=1\nSTATUS=Stop pending" + pending)
        self.assertEqual(self.report(), "STATUS=Stopped\n")
        out, err = self.proc.communicate(timeout=10)
        self.assertEqual(self.proc.returncode, 0)
        self.assertEqual((out, err), (b"", b""))

    # While start is pending no control is accepted: a stop that arrives
    # then is held and delivered once the service runs.
    def test_stop_during_start_is_held_until_running(self):
        self.start()
        self.assertTrue(self.report().startswith("STATUS=Start pending"))
        self.proc.send_signal(signal.SIGTERM)
        states = []
        while not states or states[-1] != "STATUS=Stopped":
            states.append([l for l in self.report().split("\n") if l.startswith("STATUS=")][0])
        self.assertEqual(states, ["STATUS=Start pending", "STATUS=Running: watching tsp0",
                                  "STATUS=Stop pending", "STATUS=Stopped"])
        self.assertEqual(self.proc.wait(timeout=10), 0)

    # With no Ethernet adapter (loopback alone, as under PrivateNetwork=yes)
    # the start fails at the capture stage: never ready, stopped with the
    # cause, and the stage's exit code.
    def test_without_ethernet_adapter_never_ready(self):
        env = dict(os.environ, NOTIFY_SOCKET=self.path)
        self.proc = subprocess.Popen(
            ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$0"', EXE], env=env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        messages = []
        while not messages or not messages[-1].startswith("STATUS=The watch"):
            messages.append(self.report())
        self.assertEqual(self.proc.wait(timeout=10), 5)
        self.assertEqual(messages[-1], 'STATUS=The watch could not start (stage "configuring '
                         'snoop"): No Adpaters\nERRNO=5\n')
        self.assertFalse([m for m in messages if "READY=1" in m], messages)

    def test_console_run_prints_states_and_reports(self):
        env = {k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}
        self.proc = subprocess.Popen([EXE, "/console"], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(l.decode().rstrip("\n"))
                                         for l in self.proc.stdout], daemon=True).start()
        # The watch's start-up report, printed as it is sent, comes before
        # running: running is said once the adapter is open, and names it.
        seen = []
        try:
            while len(seen) < 4:
                seen.append(lines.get(timeout=10))
        except queue.Empty:
            pass
        self.proc.send_signal(signal.SIGINT)  # Ctrl-C
        self.proc.wait(timeout=10)
        self.assertEqual(self.proc.returncode, 0)
        self.assertEqual(seen, ["Wirevane: Start pending"] * 2 +
                         ["Report: starting up", "Wirevane: Running: watching tsp0"],
                         error_file())
        rest = [lines.get(timeout=5) for _ in range(2)]
        self.assertEqual(rest, ["Wirevane: Stop pending", "Wirevane: Stopped"])

    def test_without_service_manager_exits_zero_silently(self):
        env = {k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}
        r = subprocess.run([EXE], env=env, capture_output=True, timeout=20)
        self.assertEqual(r.returncode, 0)
        self.assertEqual((r.stdout, r.stderr), (b"", b""))


def error_file():
    """The watch's error file, for failure messages: it names the stage at
    which the watch's start-up stopped."""
    try:
        with open("/var/lib/harbrook/tessalin.err", "rb") as f:
            return "error file: %r" % f.read()
    except OSError:
        return "no error file"


def arp(mac, ip):
    src = bytes([0, 0xA0, 0xC9, 0, 0, mac])
    return (b"\xff" * 6 + src + b"\x08\x06\x00\x01\x08\x00\x06\x04\x00\x01" + src +
            bytes([10, 0, 0, ip]) + b"\x00" * 6 + bytes([10, 0, 0, 1]))


# A pcap file of the frames, each at 1 second and its fraction of
# microseconds (default 0).
def pcap(frames, fractions=None):
    lines = "".join("1 %d %s\n" % (fractions[i] if fractions else 0, f.hex())
                    for i, f in enumerate(frames))
    return subprocess.run([PCAP_WRITE, "-", "records"], input=lines.encode(), stdout=subprocess.PIPE,
                          check=True).stdout


class ReadMode(unittest.TestCase):
    TABLE = "/var/lib/harbrook/arptable"

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        with open(self.TABLE, "wb") as f:
            f.write(b"10.0.0.9\r\n 00A0C9-000009\r\n")

    def tearDown(self):
        self.dir.cleanup()
        for f in (self.TABLE, "/var/lib/harbrook/tessalin.err"):
            if os.path.exists(f):
                os.unlink(f)

    def read(self, content, stdin=False):
        if stdin:
            return subprocess.run([EXE, "/read", "-"], input=content, capture_output=True,
                                  timeout=30)
        path = os.path.join(self.dir.name, "capture.pcap")
        with open(path, "wb") as f:
            f.write(content)
        return subprocess.run([EXE, "/read", path], capture_output=True, timeout=30)

    def test_reports_and_table(self):
        for stdin in (False, True):
            with self.subTest(stdin=stdin):
                with open(self.TABLE, "wb") as f:
                    f.write(b"10.0.0.9\r\n 00A0C9-000009\r\n")
                r = self.read(pcap([arp(9, 9), arp(1, 1), arp(2, 1)]), stdin)
                self.assertEqual(r.returncode, 0, (r.stderr, error_file()))
                self.assertEqual(r.stdout.decode().splitlines(), [
                    "Report: starting up", "Report: 10.0.0.1 found on 00A0C9-000001",
                    "Report: 10.0.0.1 moved from 00A0C9-000001 to 00A0C9-000002"])
                with open(self.TABLE, "rb") as f:
                    self.assertEqual(f.read(),
                                     b"10.0.0.1\r\n 00A0C9-000002\r\n10.0.0.9\r\n 00A0C9-000009\r\n")

    # A capture still being written ends in a cut record: what came before
    # it counts, and the warning names where the cut is.
    def test_cut_tail_keeps_the_frames_before_it(self):
        r = self.read(pcap([arp(1, 1), arp(2, 2)])[:-3], stdin=True)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"truncated record at byte 82", r.stderr)
        self.assertEqual(r.stdout.decode().splitlines(), [
            "Report: starting up", "Report: 10.0.0.1 found on 00A0C9-000001"])
        with open(self.TABLE, "rb") as f:
            self.assertEqual(f.read(), b"10.0.0.1\r\n 00A0C9-000001\r\n10.0.0.9\r\n 00A0C9-000009\r\n")

    # Some capture tools write a whole second of microseconds at a second's
    # end: the program has no use for time stamps, and reads every frame.
    def test_full_second_fraction_is_read(self):
        r = self.read(pcap([arp(i, i) for i in range(1, 6)],
                           [999999, 1000000, 0, 4294967295, 5]))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.decode().splitlines(), ["Report: starting up"] + [
            "Report: 10.0.0.%d found on 00A0C9-00000%d" % (i, i) for i in range(1, 6)])

    def test_not_a_capture_file_leaves_the_table(self):
        r = self.read(b"GIF89a" + b"\0" * 40)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"bad magic number", r.stderr)
        self.assertEqual(r.stdout, b"")
        with open(self.TABLE, "rb") as f:
            self.assertEqual(f.read(), b"10.0.0.9\r\n 00A0C9-000009\r\n")


UNIT = "/etc/systemd/system/Wirevane.service"
LINK = "/etc/systemd/system/multi-user.target.wants/Wirevane.service"


@unittest.skipUnless(os.path.isdir("/etc/systemd/system"), "no systemd folder")
class InstallAndRemove(unittest.TestCase):
    def run_exe(self, *args, user=None):
        cmd = [INSTALLED, *args]
        if user:
            cmd = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *cmd]
        r = subprocess.run(cmd, capture_output=True, timeout=20)
        # Bytes as written: the texts hold CR LF.
        r.stdout, r.stderr = r.stdout.decode(), r.stderr.decode()
        return r

    def tearDown(self):
        for f in (UNIT, LINK):
            if os.path.lexists(f):
                os.unlink(f)

    def test_install_then_remove(self):
        r = self.run_exe("/install")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, "Information: Service installed successfully\n")
        with open(UNIT) as f:
            self.assertEqual(f.read(), (
                "[Unit]\n"
                "Description=Wirevane\n"
                "Wants=network-online.target\n"
                "After=network-online.target syslog.service\n"
                "\n[Service]\n"
                "Type=notify\n"
                f"ExecStart={INSTALLED}\n"
                "Restart=on-failure\n"
                "RestartSec=10\n"
                "WatchdogSec=30\n"
                "StateDirectory=harbrook\n"
                "CapabilityBoundingSet=CAP_NET_RAW\n"
                "NoNewPrivileges=yes\n"
                "ProtectSystem=strict\n"
                "ProtectHome=yes\n"
                "PrivateTmp=yes\n"
                "PrivateDevices=yes\n"
                "ProtectKernelTunables=yes\n"
                "ProtectKernelModules=yes\n"
                "ProtectKernelLogs=yes\n"
                "ProtectControlGroups=yes\n"
                "ProtectClock=yes\n"
                "ProtectHostname=yes\n"
                "ProtectProc=invisible\n"
                "ProcSubset=pid\n"
                "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_PACKET AF_NETLINK\n"
                "RestrictNamespaces=yes\n"
                "RestrictRealtime=yes\n"
                "RestrictSUIDSGID=yes\n"
                "LockPersonality=yes\n"
                "MemoryDenyWriteExecute=yes\n"
                "RemoveIPC=yes\n"
                "SystemCallArchitectures=native\n"
                "SystemCallFilter=@system-service\n"
                "SystemCallFilter=~@privileged @resources\n"
                "UMask=0077\n"
                "\n[Install]\n"
                "WantedBy=multi-user.target\n"))
        self.assertEqual(os.readlink(LINK), UNIT)

        r = self.run_exe("-INSTALL", "/silent")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, 'Error: Service "Wirevane" failed to install with error: '
                         '"System Error.  Code: 1073.\r\nThe specified service already exists"\n')

        r = self.run_exe("/uninstall", "/SILENT")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        self.assertFalse(os.path.lexists(UNIT))
        self.assertFalse(os.path.lexists(LINK))

        r = self.run_exe("/uninstall")
        self.assertEqual(r.returncode, 1)
        self.assertIn('failed to uninstall with error: "System Error.  Code: 1060.\r\n'
                      'The specified service does not exist as an installed service"', r.stderr)

    # What the unit starts is the installed folder as it stands: the program
    # runs from there, its capture driver found beside it.
    def test_installed_program_runs_from_its_folder(self):
        env = {k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}
        proc = subprocess.Popen([INSTALLED, "/console"], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        try:
            lines = []
            for line in proc.stdout:
                lines.append(line.decode().rstrip("\n"))
                if lines[-1].startswith("Wirevane: Running") or len(lines) > 4:
                    break
            self.assertEqual(lines[-1], "Wirevane: Running: watching tsp0", lines)
        finally:
            proc.send_signal(signal.SIGINT)
            proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 0)

    # A program in a folder that the unit's sandbox hides would fail at every
    # start: it is not installed, and the reason is given.
    def test_install_refuses_a_folder_the_service_cannot_see(self):
        for folder, setting in (("/tmp", "PrivateTmp=yes"), ("/root", "ProtectHome=yes")):
            with self.subTest(folder=folder), program_in(folder) as exe:
                r = subprocess.run([exe, "/install", "/silent"], capture_output=True, timeout=20)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stderr.decode(), (
                    'Error: Service "Wirevane" failed to install with error: "the service '
                    f"could not start {exe}: its sandbox ({setting}) hides {folder}; put the "
                    'program in a folder such as /opt/tessalin and install from there"\n'))
                self.assertFalse(os.path.lexists(UNIT))

    def test_install_needs_root(self):
        r = self.run_exe("/install", "/silent", user="nobody")
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stderr.startswith("Application Error: Exception EOSError"), r.stderr)
        self.assertIn("System Error.  Code: 5.\r\nAccess is denied", r.stderr)
        self.assertFalse(os.path.lexists(UNIT))


def main():
    global EXE, PCAP_WRITE
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    EXE = os.path.abspath(sys.argv[1])
    PCAP_WRITE = os.path.abspath(sys.argv[2])
    if sys.argv[-1] != INSIDE:
        if os.geteuid() != 0:
            print("skipped: needs root for private namespaces")
            sys.exit(77)
        os.makedirs(os.path.dirname(INSTALL_DIR), exist_ok=True)  # a mount point only
        os.execvp("unshare", ["unshare", "-mn", sys.executable, os.path.abspath(__file__),
                              EXE, PCAP_WRITE, INSIDE])
    private_mounts()
    unittest.main(argv=[sys.argv[0]], verbosity=2)


if __name__ == "__main__":
    main()
