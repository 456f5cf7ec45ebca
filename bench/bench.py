#!/usr/bin/env python3
"""Times velk against GNU tar and bsdtar on local archives and writes RESULTS.md.

Called by bench/run.sh, which installs the tools and builds velk first.  Every
velk run opens a gateway session, so a kylgwd is started on loopback with a
user who logs in by keytab.  The machine's own limits (sequential disk write
and read, loopback TCP, memory copy) are measured in the same run, so that
every time can be read against what the machine can do at all.

What is timed is the table ROWS below: one line per tool and operation.  Each
row names the archive it writes or reads.  The rows of one operation run
interleaved, round by round (see run_rows), so that every tool meets the disk
in the same state; the disk's own limits are rows of the create phase too.

A row ends in one of three states:
  ok       every run exited 0 and the result checked out
  pending  velk said the action "is not available in this build of velk"
           (exit status 70), or the row reads an archive whose writer is pending
  failed   anything else: a non-zero exit, a time-out, a missing archive or a
           result that does not match the source
--check makes the exit status 1 when any row failed; pending rows pass but are
listed, so a feature that is still missing is visible and one that breaks is not
hidden.
"""

import argparse
import concurrent.futures
import json
import os
import platform
import shlex
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

CREATE, READ = "create", "read"

# One line per timed command.  Fields:
#   op, tool   what the row is called in the tables
#   archive    the archive it writes (kind CREATE) or reads (kind READ)
#   kind       CREATE rows run in the data set's parent directory with the set
#              as {src}; READ rows run there too, except extract rows, which run
#              in an empty output directory
#   cmd        shell command; {velk} {archive} {src} {member} {mib} are filled
#              in ({mib}: the data set's size in MiB, rounded up)
#   sync       `sync` runs inside the timing (writes must reach the disk)
#   member     None, or "last" / "middle": the regular file chosen from the
#              archive's own member order
#   limit      which machine limit the throughput is compared with: the rate of
#              the data set's row that `measures` it, when there is one (it ran
#              interleaved with this row), else the limit measured at the start
#   also       further limits, shown when a row of the data set measures them
#   measures   this row is a machine limit, not a tool: its throughput is that
#              limit as it was during its phase
#   gnu_op     the GNU tar row it is compared with (default: its own op, less
#              " stream")
#   ref        another (tool, op) this row is compared with, besides GNU tar: the
#              median of the per-round ratios (the two ran back to back each round)
#   check      how the result is checked after the last run: "members" (GNU tar
#              lists every file of the set), "tree" (the extracted tree equals the
#              set), "member" (the extracted member equals its source), None
#   gw         the archive is remote: "store" (the storage system a kylgwd in
#              run mode 1 serves) or "host" (the host of a kylgwd in run mode
#              2); {archive} is its name in the user's home there, and the
#              checks read the file that kylgwd keeps it in.  Local rows talk
#              to the "store" gateway too (every velk run opens a session).
# To add a row (another tool, another class of service), add one line.
ROWS = [
    dict(op="create", tool="velk", archive="velk.tar", kind=CREATE, sync=True,
         cmd="{velk} -c -E -f {archive} {src}", limit="disk write", also=("copy",), check="members"),
    dict(op="create", tool="GNU tar", archive="gnutar.tar", kind=CREATE, sync=True,
         cmd="tar -cf {archive} {src}", limit="disk write", also=("copy",), check="members"),
    dict(op="create", tool="bsdtar", archive="bsdtar.tar", kind=CREATE, sync=True,
         cmd="bsdtar --format ustar -cf {archive} {src}", limit="disk write", also=("copy",), check="members"),
    dict(op="create -H crc", tool="velk", archive="velk-crc.tar", kind=CREATE, sync=True,
         cmd="{velk} -c -E -H crc -f {archive} {src}", limit="disk write", also=("copy",), check="members",
         gnu_op="create", ref=("velk", "create")),
    # What the disk can do while the creates run, measured between them: a
    # plain write of the set's size, and a copy of the set's file contents
    # into one file (reading and writing the same disk, as an archiver must).
    dict(op="disk write", tool="dd", archive="dd.out", kind=CREATE, gnu_op="create", measures="disk write",
         cmd="dd if=/dev/zero of={archive} bs=1M count={mib} conv=fdatasync status=none"),
    dict(op="copy", tool="cat", archive="cat.out", kind=CREATE, sync=True, gnu_op="create", measures="copy",
         cmd="find {src} -type f -exec cat {{}} + > {archive}"),

    dict(op="list", tool="velk", archive="velk.tar", kind=READ, cmd="{velk} -t -E -f {archive}"),
    dict(op="list", tool="GNU tar", archive="gnutar.tar", kind=READ, cmd="tar -tvf {archive}"),
    dict(op="list stream", tool="GNU tar", archive="gnutar.tar", kind=READ,
         cmd="cat {archive} | tar -tvf -", limit="disk read"),
    dict(op="list", tool="bsdtar", archive="bsdtar.tar", kind=READ, cmd="bsdtar -tvf {archive}"),
    dict(op="list stream", tool="bsdtar", archive="bsdtar.tar", kind=READ,
         cmd="cat {archive} | bsdtar -tvf -", limit="disk read"),

    dict(op="extract all", tool="velk", archive="velk.tar", kind=READ, sync=True,
         cmd="{velk} -x -E -f {archive}", limit="disk write", check="tree"),
    dict(op="extract all", tool="GNU tar", archive="gnutar.tar", kind=READ, sync=True,
         cmd="tar -xf {archive}", limit="disk write", check="tree"),
    dict(op="extract all stream", tool="GNU tar", archive="gnutar.tar", kind=READ, sync=True,
         cmd="cat {archive} | tar -xf -", limit="disk write", check="tree"),
    dict(op="extract all", tool="bsdtar", archive="bsdtar.tar", kind=READ, sync=True,
         cmd="bsdtar -xf {archive}", limit="disk write", check="tree"),

    dict(op="extract last", tool="velk", archive="velk.tar", kind=READ, sync=True, member="last",
         cmd="{velk} -x -E -f {archive} {member}", check="member"),
    dict(op="extract last", tool="GNU tar", archive="gnutar.tar", kind=READ, sync=True, member="last",
         cmd="tar -xf {archive} {member}", check="member"),
    dict(op="extract last", tool="bsdtar", archive="bsdtar.tar", kind=READ, sync=True, member="last",
         cmd="bsdtar -xf {archive} {member}", check="member"),
    dict(op="extract middle", tool="velk", archive="velk.tar", kind=READ, sync=True, member="middle",
         cmd="{velk} -x -E -f {archive} {member}", check="member"),
    dict(op="extract middle", tool="GNU tar", archive="gnutar.tar", kind=READ, sync=True, member="middle",
         cmd="tar -xf {archive} {member}", check="member"),
    dict(op="extract middle", tool="bsdtar", archive="bsdtar.tar", kind=READ, sync=True, member="middle",
         cmd="bsdtar -xf {archive} {member}", check="member"),

    dict(op="extract last stream", tool="GNU tar", archive="gnutar.tar", kind=READ, sync=True, member="last",
         cmd="cat {archive} | tar -xf - {member}", check="member"),
]

# Archives kept remotely, each compared with the same operation on the local
# archive in the same rounds: in the storage system through a kylgwd in run
# mode 1 on loopback, striped over one, four and eight movers (classes of
# service 1, 4 and 8), and on the host of a file-system gateway (a kylgwd in
# run mode 2).  "gw" names the gateway the row talks to.
REMOTES = [("storage W1", "store", "-Y 1 ", "w1"), ("storage W4", "store", "-Y 4 ", "w4"),
           ("storage W8", "store", "-Y 8 ", "w8"), ("gateway host", "host", "", "host")]
for _name, _gw, _flag, _tag in REMOTES:
    _arc = "velk-%s.tar" % _tag
    ROWS += [
        dict(op="create, " + _name, tool="velk", archive=_arc, kind=CREATE, sync=True, gw=_gw,
             cmd="{velk} -c %s-f {archive} {src}" % _flag, limit="disk write", also=("copy",), check="members",
             gnu_op="create", ref=("velk", "create")),
        dict(op="list, " + _name, tool="velk", archive=_arc, kind=READ, gw=_gw,
             cmd="{velk} -t -f {archive}", gnu_op="list", ref=("velk", "list")),
        dict(op="extract all, " + _name, tool="velk", archive=_arc, kind=READ, sync=True, gw=_gw,
             cmd="{velk} -x -f {archive}", limit="disk write", check="tree", gnu_op="extract all",
             ref=("velk", "extract all")),
        dict(op="extract last, " + _name, tool="velk", archive=_arc, kind=READ, sync=True, gw=_gw,
             member="last", cmd="{velk} -x -f {archive} {member}", check="member", gnu_op="extract last",
             ref=("velk", "extract last")),
    ]

# The data sets of a full run, in order: (kind, title).  The sizes are those
# of the cases the create goals are stated for.
DATASETS = [
    ("small", "small files: 20,000 files, log-normal around 8 KiB, in 20 directories"),
    ("mixed", "mixed: 10,000 small files plus 4 files of 256 MiB"),
    ("large", "large files: 4 files of 512 MiB"),
]
SMOKE_DATASET = ("smoke", "smoke: a few dozen small files, an empty one and two of 1 MiB")

# velk's answer for an action this build lacks.
NOT_AVAILABLE = "is not available in this build of velk"
NOT_AVAILABLE_STATUS = 70
# The member velk appends to every archive (its consistency record); it has no
# source file, so it is never chosen as "the last member".
VELK_CF_MARK = "VELK_CF_CHK_"

MIB = 1 << 20


def log(msg):
    print(msg, flush=True)


# ---------------------------------------------------------------- running commands

class Runner:
    """Runs one shell command, timed, with its peak RSS and block I/O."""

    def __init__(self, env, scratch, timeout):
        self.env = env
        self.scratch = scratch
        self.timeout = timeout
        self.gnu_time = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None
        self.timeout_bin = shutil.which("timeout")

    def run(self, cmd, cwd, env=None, watch=None):
        """Returns dict(seconds, status, rss_kib, read_bytes, written_bytes, user_s, sys_s, gw_cpu_s, stderr).

        env replaces the runner's environment for this command; watch is the
        process id of a daemon (the kylgwd the command talks to) whose CPU
        time during the run is reported apart as gw_cpu_s."""
        metrics = os.path.join(self.scratch, "time.out")
        errpath = os.path.join(self.scratch, "stderr.out")
        argv = ["sh", "-c", cmd]
        if self.timeout and self.timeout_bin:
            argv = [self.timeout_bin, "-k", "10", str(self.timeout)] + argv
        if self.gnu_time:
            # %M peak RSS in KiB; %I and %O file system blocks of 512 bytes
            # read and written, %U and %S user and system CPU seconds, summed
            # over the command and its children.
            argv = [self.gnu_time, "-f", "%M %I %O %U %S", "-o", metrics, "--"] + argv
        with open(errpath, "wb") as err:
            cpu0 = cpu_seconds(watch)
            t0 = time.perf_counter()
            proc = subprocess.Popen(argv, cwd=cwd, env=env or self.env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=err)
            _, wstatus, ru = os.wait4(proc.pid, 0)
            seconds = time.perf_counter() - t0
            cpu1 = cpu_seconds(watch)
        status = os.waitstatus_to_exitcode(wstatus)
        proc.returncode = status
        rss, inblk, outblk = ru.ru_maxrss, ru.ru_inblock, ru.ru_oublock
        user, sys_ = ru.ru_utime, ru.ru_stime
        if self.gnu_time:
            try:
                with open(metrics) as f:
                    last = f.read().strip().splitlines()[-1].split()
                rss, inblk, outblk = int(last[0]), int(last[1]), int(last[2])
                user, sys_ = float(last[3]), float(last[4])
            except (OSError, IndexError, ValueError):
                pass        # keep the kernel's own figures from wait4
        with open(errpath, "rb") as f:
            stderr = f.read()[-4000:].decode("utf-8", "replace")
        return dict(seconds=seconds, status=status, rss_kib=rss, read_bytes=inblk * 512,
                    written_bytes=outblk * 512, user_s=user, sys_s=sys_, stderr=stderr,
                    gw_cpu_s=(cpu1 - cpu0) if cpu0 is not None and cpu1 is not None else None)


CLK_TCK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User plus system CPU seconds of every thread of process pid so far (from
    /proc/PID/stat), or None."""
    if pid is None:
        return None
    try:
        with open("/proc/%d/stat" % pid) as f:
            text = f.read()
        # The command name in parentheses may hold blanks: count fields after it.
        fields = text[text.rindex(")") + 2:].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK
    except (OSError, ValueError, IndexError):
        return None


class Caches:
    """Drops the page cache before each timed run of a cold pass, when allowed to
    (writing /proc/sys/vm/drop_caches needs root)."""

    def __init__(self, wanted):
        self.permitted = bool(wanted) and self._drop()
        self.enabled = False        # set for the duration of a cold pass

    @staticmethod
    def _drop():
        try:
            os.sync()
            with open("/proc/sys/vm/drop_caches", "w") as f:
                f.write("3\n")
            return True
        except OSError:
            return False

    def drop(self):
        if self.enabled:
            self._drop()


def prewarm(paths):
    """Reads every file under paths once, so that a warm pass finds them in the page cache."""
    for top in paths:
        walk = [(top, [], [""])] if os.path.isfile(top) else os.walk(top)
        for dirpath, _, files in walk:
            for fn in files:
                try:
                    with open(os.path.join(dirpath, fn) if fn else dirpath, "rb", buffering=0) as f:
                        while f.read(1 << 20):
                            pass
                except OSError:
                    pass


# ---------------------------------------------------------------- kylgwd

class Gateway:
    """A kylgwd on loopback with one user, "bench", who logs in by keytab.
    site is the configuration's Site stanza (run mode 2 for a file-system gateway)."""

    def __init__(self, kylgwd, state, home, site=""):
        self.proc = None
        self.state = state
        # Where kylgwd keeps the files of the user's storage-system home.
        self.home = os.path.join(state, "root", "home", "bench")
        os.makedirs(self.home, exist_ok=True)
        os.makedirs(os.path.join(state, "meta"), exist_ok=True)
        self.keytab = os.path.join(state, "bench.keytab")
        with open(self.keytab, "wb") as f:
            f.write(os.urandom(64))
        os.chmod(self.keytab, 0o600)
        hashed = subprocess.run([kylgwd, "--hash-password"], input=b"bench-password\n",
                                capture_output=True, check=True).stdout.decode().strip()
        conf = os.path.join(state, "kylgwd.conf")
        with open(conf, "w") as f:
            f.write(site + "Users = {\n  bench = {\n    password = %s\n    uid = %d\n    gid = %d\n"
                    "    home = /home/bench\n    keytab = %s\n  }\n}\n"
                    % (hashed, os.getuid(), os.getgid(), self.keytab))
        self.portfile = os.path.join(state, "port")
        self.logpath = os.path.join(state, "kylgwd.log")
        self.stderr = open(os.path.join(state, "kylgwd.stderr"), "wb")
        self.proc = subprocess.Popen(
            [kylgwd, "--foreground", "--listen", "127.0.0.1:0", "--portfile", self.portfile,
             "--config", conf, "--root", os.path.join(state, "root"), "--meta",
             os.path.join(state, "meta"), "--log", self.logpath],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=self.stderr)
        try:
            self.port = self._wait_port(60)
        except RuntimeError:
            self.stop()
            raise
        self.env = {
            "QUOR_SERVER_HOST": "127.0.0.1/%d" % self.port,
            "QUOR_HOSTNAME": "127.0.0.1",
            "QUOR_AUTH_METHOD": "keytab",
            "QUOR_PRINCIPAL": "bench",
            "QUOR_KEYTAB_PATH": self.keytab,
            "HOME": home,
            # Where the user's files lie on the gateway's side, for stand-ins of velk.
            "BENCH_STORAGE_HOME": self.home,
        }
        self.pid = self.proc.pid

    def _wait_port(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("kylgwd exited with status %s; see %s" % (self.proc.returncode, self.state))
            try:
                with open(self.portfile) as f:
                    text = f.read().strip()
                if text:
                    return int(text)
            except (OSError, ValueError):
                pass
            time.sleep(0.05)
        raise RuntimeError("kylgwd wrote no port file within %d s; see %s" % (timeout, self.state))

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        self.stderr.close()

    def log_text(self):
        try:
            with open(self.logpath, errors="replace") as f:
                return f.read()
        except OSError:
            return ""


# ---------------------------------------------------------------- machine limits

def parse_dd_seconds(cmd):
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - t0


def measure_disk(work, size_mib, runs, caches):
    """Sequential disk write and read, in bytes per second: the best of the runs."""
    limits = {}
    notes = []
    path = os.path.join(work, "dd.test")
    nbytes = size_mib * MIB
    best_w = min(parse_dd_seconds(["dd", "if=/dev/zero", "of=" + path, "bs=1M", "count=%d" % size_mib,
                                   "conv=fdatasync"]) for _ in range(runs))
    limits["disk write"] = nbytes / best_w
    # O_DIRECT bypasses the page cache, so the read is a disk read without
    # dropping anyone's cache; fall back to a dropped (or warm) cache.
    try:
        best_r = min(parse_dd_seconds(["dd", "if=" + path, "of=/dev/null", "bs=1M", "iflag=direct"])
                     for _ in range(runs))
    except subprocess.CalledProcessError:
        def cold_read():
            caches.drop()
            return parse_dd_seconds(["dd", "if=" + path, "of=/dev/null", "bs=1M"])
        best_r = min(cold_read() for _ in range(runs))
        notes.append("disk read measured without O_DIRECT" + ("" if caches.enabled else " from a warm cache"))
    limits["disk read"] = nbytes / best_r
    os.unlink(path)
    return limits, notes


def measure_limits(work, size_mib, runs, iperf_seconds, caches):
    """Sequential disk write/read, loopback TCP and memory copy, in bytes per second."""
    limits, notes = measure_disk(work, size_mib, runs, caches)

    # Memory copy: whole 256 MiB buffers (far beyond the caches), copied by
    # memmove inside the interpreter; the best of a few passes.
    size = 256 * MIB if size_mib >= 256 else 64 * MIB
    src = bytearray(os.urandom(1 << 20)) * (size >> 20)
    dst = bytearray(size)
    best = None
    for _ in range(max(3, runs)):
        t0 = time.perf_counter()
        dst[:] = src
        t = time.perf_counter() - t0
        best = t if best is None or t < best else best
    limits["memory copy"] = size / best
    del src, dst

    iperf = shutil.which("iperf3")
    if not iperf:
        notes.append("iperf3 is not installed: loopback TCP not measured")
        return limits, notes
    for streams in (1, 2):
        bps = iperf3_loopback(iperf, streams, iperf_seconds)
        if bps is None:
            notes.append("iperf3 with %d stream(s) failed: loopback TCP not measured" % streams)
        else:
            limits["loopback TCP x%d" % streams] = bps
    return limits, notes


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """True when some socket listens on TCP port on IPv4 (from /proc/net/tcp)."""
    try:
        with open("/proc/net/tcp") as f:
            next(f)
            for line in f:
                fields = line.split()
                # local address is HEXIP:HEXPORT; state 0A is LISTEN
                if len(fields) > 3 and fields[3] == "0A" and fields[1].endswith(":%04X" % port):
                    return True
    except (OSError, StopIteration):
        pass
    return False


def iperf3_loopback(iperf, streams, seconds):
    """Bytes per second received over loopback with this many parallel streams."""
    port = free_port()
    server = subprocess.Popen([iperf, "-s", "-1", "-B", "127.0.0.1", "-p", str(port)],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        # Wait until the server listens; probing with a connection would use
        # up the one test the server runs.
        deadline = time.monotonic() + 30
        while not listening(port):
            if time.monotonic() > deadline or server.poll() is not None:
                return None
            time.sleep(0.05)
        out = subprocess.run([iperf, "-c", "127.0.0.1", "-p", str(port), "-P", str(streams),
                              "-t", str(seconds), "-J"], capture_output=True, timeout=seconds + 60)
        if out.returncode != 0:
            return None
        report = json.loads(out.stdout)
        return report["end"]["sum_received"]["bits_per_second"] / 8
    except (subprocess.TimeoutExpired, ValueError, KeyError):
        return None
    finally:
        if server.poll() is None:
            server.terminate()
        server.wait()


# ---------------------------------------------------------------- machine and versions

def first_line(argv):
    try:
        out = subprocess.run(argv, capture_output=True, timeout=30)
        text = (out.stdout or out.stderr).decode("utf-8", "replace").strip()
        return text.splitlines()[0] if text else "unknown"
    except (OSError, subprocess.TimeoutExpired):
        return "not installed"


def machine_info(work):
    info = {}
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    info["CPU"] = cpu
    info["cores"] = str(os.cpu_count())
    try:
        with open("/proc/meminfo") as f:
            kib = int(f.readline().split()[1])
        info["RAM"] = "%.1f GiB" % (kib / (1 << 20))
    except (OSError, ValueError, IndexError):
        info["RAM"] = "unknown"
    st = os.statvfs(work)
    dev = first_line(["findmnt", "-n", "-o", "SOURCE,FSTYPE", "--target", work])
    info["disk"] = "%s, %.0f GiB, %.0f GiB free" % (dev, st.f_blocks * st.f_frsize / (1 << 30),
                                                  st.f_bavail * st.f_frsize / (1 << 30))
    info["kernel"] = platform.release()
    return info


# ---------------------------------------------------------------- the rows

def archive_members(archive, runner):
    """Regular-file members of an archive in archive order, as GNU tar lists them."""
    out = subprocess.run(["tar", "-tf", archive], capture_output=True, env=runner.env)
    if out.returncode != 0:
        return None, out.stderr.decode("utf-8", "replace").strip()
    names = [n for n in out.stdout.decode("utf-8", "surrogateescape").splitlines()
             if n and not n.endswith("/") and VELK_CF_MARK not in n]
    return names, None


def set_entries(root, name):
    """Every file and directory of the data set, as archive member names."""
    entries = set()
    for dirpath, dirnames, filenames in os.walk(os.path.join(root, name)):
        rel = os.path.relpath(dirpath, root)
        entries.add(rel)
        for fn in filenames:
            entries.add(os.path.join(rel, fn))
    return entries


def check_result(row, ds, archive, outdir, member, runner):
    """None when the row's result is right, else what is wrong."""
    check = row.get("check")
    if check == "members":
        out = subprocess.run(["tar", "-tf", archive], capture_output=True, env=runner.env)
        if out.returncode != 0:
            return "GNU tar cannot list the archive: " + out.stderr.decode("utf-8", "replace").strip()[-300:]
        listed = {n.rstrip("/") for n in out.stdout.decode("utf-8", "surrogateescape").splitlines()
                  if n and VELK_CF_MARK not in n}
        want = set_entries(ds["parent"], ds["name"])
        if listed != want:
            missing = sorted(want - listed)[:3]
            extra = sorted(listed - want)[:3]
            return "archive members differ from the data set (missing %s, extra %s)" % (missing, extra)
    elif check == "tree":
        out = subprocess.run(["diff", "-r", "-q", os.path.join(ds["parent"], ds["name"]),
                              os.path.join(outdir, ds["name"])], capture_output=True)
        if out.returncode != 0:
            return "extracted tree differs: " + (out.stdout + out.stderr).decode("utf-8", "replace")[:300]
    elif check == "member":
        got = os.path.join(outdir, member)
        if not os.path.isfile(got):
            return "member %s was not extracted" % member
        out = subprocess.run(["cmp", "-s", os.path.join(ds["parent"], member), got])
        if out.returncode != 0:
            return "extracted member %s differs from its source" % member
    return None


def summarize(runs):
    times = [r["seconds"] for r in runs]
    return dict(median=statistics.median(times), min=min(times), max=max(times), runs=len(times),
                times=times, rounds=[r.get("round", i) for i, r in enumerate(runs)],
                rss_kib=max(r["rss_kib"] for r in runs),
                read_bytes=statistics.median(r["read_bytes"] for r in runs),
                written_bytes=statistics.median(r["written_bytes"] for r in runs),
                user_s=statistics.median(r.get("user_s", 0.0) for r in runs),
                sys_s=statistics.median(r.get("sys_s", 0.0) for r in runs),
                # CPU of the command (user + system) per run, for per-round ratios.
                cpus=[r.get("user_s", 0.0) + r.get("sys_s", 0.0) for r in runs],
                # CPU of the kylgwd the command talked to (its movers included), apart.
                gw_cpu_s=statistics.median(gw) if (gw := [r["gw_cpu_s"] for r in runs
                                                          if r.get("gw_cpu_s") is not None]) else None)


def velk_missing(result):
    return result["status"] == NOT_AVAILABLE_STATUS and NOT_AVAILABLE in result["stderr"]


def last_error_lines(text, n=3):
    lines = [ln for ln in text.strip().splitlines() if ln.strip()]
    return " | ".join(lines[-n:])


def phase_of(row):
    """Rows of one phase run interleaved: every create, every list, ..."""
    return row.get("gnu_op", row["op"].replace(" stream", ""))


def remove_archive(archive):
    for p in (archive, archive + ".idx"):
        if os.path.lexists(p):
            os.unlink(p)


def archive_path(row, where):
    """Where a row's archive lies: the target's archive directory, or the home a gateway keeps."""
    gw = row.get("gw")
    return os.path.join(where["gateways"][gw].home if gw else where["arcdir"], row["archive"])


def prepare_row(ds, row, runner, velk, where, writer_state, mib):
    """The result dict of a row and, when it can run, what run_phase needs."""
    res = dict(op=row["op"], tool=row["tool"], state="ok", detail="")
    archive = archive_path(row, where)
    label = "%s / %s / %s" % (ds["label"], row["tool"], row["op"])
    problem = None
    if row["kind"] == READ and writer_state.get(row["archive"]) in ("pending", "failed"):
        res["state"] = writer_state[row["archive"]]
        problem = "no archive: its create row is %s" % res["state"]
    elif row["kind"] == READ and not os.path.exists(archive):
        res["state"] = "failed"
        problem = "archive %s does not exist" % row["archive"]
    member = None
    if problem is None and row.get("member"):
        names, err = archive_members(archive, runner)
        if not names:
            res["state"] = "failed"
            problem = "cannot choose a member: %s" % (err or "no regular files")
        else:
            member = names[-1] if row["member"] == "last" else names[len(names) // 2]
            res["member"] = member
    if problem is not None:
        res["detail"] = problem
        log("  %-50s %s (%s)" % (label, res["state"].upper(), problem))
        return res, None
    named = row["archive"] if row.get("gw") else archive
    cmd = row["cmd"].format(velk=shlex.quote(velk), archive=shlex.quote(named),
                            src=shlex.quote(ds["name"]), member=shlex.quote(member or ""), mib=mib)
    if row.get("sync"):
        cmd = "%s && sync" % cmd
    gw = where["gateways"][row.get("gw") or "store"]
    return res, dict(row=row, res=res, archive=archive, cmd=cmd, member=member, label=label, runs=[],
                     env=dict(runner.env, **gw.env), pid=gw.pid if row["tool"] == "velk" else None,
                     extracting=row["kind"] == READ and row.get("check") in ("tree", "member"))


def run_one(a, i, nruns, ds, runner, caches, where, read_archives):
    """Run i of one prepared row; records the run or the row's failure."""
    row, res, outdir = a["row"], a["res"], where["outdir"]
    if row["kind"] == CREATE:
        remove_archive(a["archive"])
    if a["extracting"]:
        shutil.rmtree(outdir, ignore_errors=True)
        os.makedirs(outdir)
    caches.drop()
    r = runner.run(a["cmd"], outdir if a["extracting"] else ds["parent"], env=a["env"], watch=a["pid"])
    r["round"] = i
    if r["status"] != 0:
        if row["tool"] == "velk" and velk_missing(r):
            res["state"] = "pending"
            res["detail"] = last_error_lines(r["stderr"], 1)
        else:
            res["state"] = "failed"
            res["detail"] = "exit status %d%s: %s" % (
                r["status"], " (timed out)" if r["status"] in (124, 137) else "", last_error_lines(r["stderr"]))
    else:
        a["runs"].append(r)
        if i == nruns - 1:
            # The result is checked before the next row of the round
            # replaces the extracted files.
            problem = check_result(row, ds, a["archive"], outdir, a["member"], runner)
            if problem:
                res["state"] = "failed"
                res["detail"] = problem
    if row["kind"] == CREATE and row["archive"] not in read_archives:
        remove_archive(a["archive"])
    if a["extracting"]:
        shutil.rmtree(outdir, ignore_errors=True)


def run_rows(ds, rows, runner, caches, nruns, velk, where):
    """Runs the rows on one data set in one pass (one archive target, cold or
    warm caches); returns one result dict per row, in table order.

    where: dict(arcdir, outdir, gateways, warm): the directories of the
    target for local archives and extracted trees, the gateways whose homes
    lie on the target, and whether the pass keeps the page cache warm.

    The rows of one phase (all creates, all lists, ...) run interleaved: run 1
    of every row, then run 2 with the order rotated by one, and so on.  A
    shared virtual disk's speed can drift severalfold within minutes; run in
    blocks, one tool's five runs would meet another disk than the next tool's.
    Interleaved, every row sees the same drift, and the disk-limit rows of the
    phase measure the disk as it was while the others ran."""
    os.makedirs(where["arcdir"], exist_ok=True)
    read_archives = {r["archive"] for r in rows if r["kind"] == READ}
    mib = max(1, -(-ds["bytes"] // MIB))
    phases = {}
    for idx, row in enumerate(rows):
        phases.setdefault(phase_of(row), []).append(idx)

    results = {}
    writer_state = {}            # archive name -> state of the row that writes it
    for phase, idxs in phases.items():
        active = []
        for idx in idxs:
            results[idx], a = prepare_row(ds, rows[idx], runner, velk, where, writer_state, mib)
            if a:
                active.append(a)
        if where["warm"]:
            # A warm pass starts each phase with its inputs in the page cache:
            # the data set for the creates, the archives for the rest.
            prewarm([os.path.join(ds["parent"], ds["name"])] if phase == "create"
                    else sorted({a["archive"] for a in active}))
        for i in range(nruns):
            turn = i % len(active) if active else 0
            for a in active[turn:] + active[:turn]:
                if a["res"]["state"] == "ok":
                    run_one(a, i, nruns, ds, runner, caches, where, read_archives)
        for a in active:
            res = a["res"]
            if a["runs"] and res["state"] == "ok":
                res.update(summarize(a["runs"]))
            if a["row"]["kind"] == CREATE:
                writer_state[a["row"]["archive"]] = res["state"]
            if res["state"] == "ok":
                log("  %-50s median %.3f s (%.3f-%.3f, %d runs)" % (a["label"], res["median"], res["min"],
                                                                  res["max"], res["runs"]))
            else:
                log("  %-50s %s: %s" % (a["label"], res["state"].upper(), res["detail"]))
    for row in rows:
        remove_archive(archive_path(row, where))
    shutil.rmtree(where["outdir"], ignore_errors=True)
    shutil.rmtree(where["arcdir"], ignore_errors=True)
    return [results[i] for i in sorted(results)]


FIXED_VARIANTS = [("with a gateway session", "{velk} -t -E -f one.tar"),
                  ("--no-gateway", "{velk} -t -E --no-gateway -f one.tar")]


def hyperfine_median(cmd, cwd, env, nruns, smoke):
    """hyperfine's own timing of cmd (warm-up runs, no shell): (dict, None) or (None, note)."""
    hyperfine = shutil.which("hyperfine")
    if not hyperfine:
        return None, None
    out = os.path.join(cwd, "hyperfine.json")
    hf = subprocess.run([hyperfine, "-N", "-i", "--warmup", "1" if smoke else "3", "--runs", str(nruns),
                         "--export-json", out, "--style", "none", cmd],
                        cwd=cwd, env=env, capture_output=True)
    try:
        with open(out) as f:
            h = json.load(f)["results"][0]
        if all(c == 0 for c in h.get("exit_codes", [0])):
            return dict(median=h["median"], min=h["min"], max=h["max"], runs=len(h["times"])), None
        return None, "hyperfine saw non-zero exit codes"
    except (OSError, ValueError, KeyError, IndexError):
        return None, "hyperfine failed: " + hf.stderr.decode("utf-8", "replace").strip()[-200:]


def fixed_cost(runner, velk, work, nruns, smoke):
    """Time of `velk -t -E` on a one-member archive, with a gateway session and
    with --no-gateway, interleaved: start-up, session, listing and final line.
    Returns dict(state, detail, variants=[result per FIXED_VARIANTS], overhead)."""
    res = dict(op="list, one-member archive", tool="velk", state="ok", detail="", variants=[])
    base = os.path.join(work, "fixed")
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(os.path.join(base, "one"))
    with open(os.path.join(base, "one", "member.txt"), "w") as f:
        f.write("one member\n")
    r = runner.run("%s -c -E -f one.tar one" % shlex.quote(velk), base)
    if r["status"] != 0:
        res["state"] = "pending" if velk_missing(r) else "failed"
        res["detail"] = "creating the one-member archive: " + last_error_lines(r["stderr"], 2)
        shutil.rmtree(base, ignore_errors=True)
        return res
    cmds = [c.format(velk=shlex.quote(velk)) for _, c in FIXED_VARIANTS]
    runs = [[] for _ in cmds]
    for i in range(nruns):
        for k in (range(len(cmds)) if i % 2 == 0 else reversed(range(len(cmds)))):
            r = runner.run(cmds[k], base)
            if r["status"] != 0:
                res["state"] = "pending" if velk_missing(r) else "failed"
                res["detail"] = "%s: exit status %d: %s" % (FIXED_VARIANTS[k][0], r["status"],
                                                            last_error_lines(r["stderr"]))
                shutil.rmtree(base, ignore_errors=True)
                return res
            r["round"] = i
            runs[k].append(r)
    # What the harness itself adds to every timed command (starting
    # /usr/bin/time and sh): the same number of runs of `true`.
    res["overhead"] = statistics.median(runner.run("true", base)["seconds"] for _ in range(nruns))
    for (name, _), cmd, rr in zip(FIXED_VARIANTS, cmds, runs):
        v = dict(summarize(rr), name=name, cmd=cmd)
        # hyperfine, when installed, measures the same command on its own
        # terms (warm-up runs, no shell) as a cross-check of the harness.
        h, note = hyperfine_median(cmd, base, runner.env, nruns, smoke)
        if h:
            v["hyperfine"] = h
        if note:
            v["hyperfine_note"] = note
        # The figure the goal is judged by: hyperfine's when there is one,
        # else the harness's less its own cost.
        v["net"] = h["median"] if h else v["median"] - res["overhead"]
        if v["net"] <= 0:
            v["net"] = None     # the harness's own noise exceeds the run: not measured
        res["variants"].append(v)
    shutil.rmtree(base, ignore_errors=True)
    return res


def ustar_header(name, size=0, mode=0o644, mtime=1700000000, typeflag=b"0"):
    """One 512-byte ustar header block."""
    h = bytearray(512)
    h[0:len(name)] = name
    h[100:108] = b"%07o\0" % mode
    h[108:116] = b"%07o\0" % os.getuid() if os.getuid() < 0o7777777 else b"0000000\0"
    h[116:124] = b"%07o\0" % os.getgid() if os.getgid() < 0o7777777 else b"0000000\0"
    h[124:136] = b"%011o\0" % size
    h[136:148] = b"%011o\0" % mtime
    h[148:156] = b" " * 8
    h[156:157] = typeflag
    h[257:265] = b"ustar\x0000"
    h[148:156] = b"%06o\0 " % sum(h)
    return bytes(h)


def many_member_archive(path, n):
    """A ustar archive of n empty files (one header block each) and the index
    velk keeps beside it, written directly: listing it measures the listing
    alone.  The index is that of a foreign archive (no consistency member)."""
    names = [b"d%03d/f%07d" % (i * 1000 // n, i) for i in range(n)]
    tarsize = (n + 2) * 512
    with open(path, "wb") as a:
        for name in names:
            a.write(ustar_header(name))
        a.write(b"\0" * 1024)
    cf = b"VELK_INX" + struct.pack(">IIII", 1, 0, 0, 0) + b"\0" * 100 + struct.pack(">QQII", tarsize, n, 0, 0)
    cf += b"\0" * (256 - len(cf))
    hdr = b"VelkIndex\0\0\0" + struct.pack(">IIIII", 2001, 0x80000000, n, 0, 0) + cf
    with open(path + ".idx", "wb") as f:
        f.write(hdr)
        for i, name in enumerate(names):
            e = b"VELK_IDX" + struct.pack(">IIIII", 0, 1, 1, 0, 0) + struct.pack(">QQIII", i, 0, 0, 0, 0)
            e += name.ljust(100, b"\0") + b"\0" * 256 + struct.pack(">IIIII", 0o644, 1700000000, 1700000000, 0, 0)
            f.write(e.ljust(512, b"\0"))


LIST_VARIANTS = [("velk", "velk", "{velk} -t -E -f many.tar"),
                 ("velk --no-gateway", "velk", "{velk} -t -E --no-gateway -f many.tar"),
                 ("GNU tar", "GNU tar", "tar -tvf many.tar")]


def list_rate(runner, velk, work, entries, nruns):
    """Entries listed per second: velk (with and without a gateway session) and
    GNU tar listing an archive of `entries` empty files, interleaved, warm."""
    base = os.path.join(work, "many")
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(base)
    many_member_archive(os.path.join(base, "many.tar"), entries)
    prewarm([base])
    rows = []
    for name, tool, cmd in LIST_VARIANTS:
        cmd = cmd.format(velk=shlex.quote(velk))
        # Every member must be listed: one line each (the output is thrown
        # away while timing).
        out = subprocess.run(cmd, shell=True, cwd=base, env=runner.env, capture_output=True)
        listed = out.stdout.count(b"/f")
        if out.returncode != 0 or listed < entries:
            err = last_error_lines(out.stderr.decode("utf-8", "replace"))
            rows.append(dict(op=name, tool=tool, state="failed", cmd=cmd, detail="exit status %d, %d of %d listed: %s"
                             % (out.returncode, listed, entries, err)))
        else:
            rows.append(dict(op=name, tool=tool, state="ok", detail="", cmd=cmd, runs=[]))
    for i in range(nruns):
        turn = i % len(rows)
        for r in rows[turn:] + rows[:turn]:
            if r["state"] == "ok":
                one = runner.run(r["cmd"], base)
                one["round"] = i
                r["runs"].append(one)
    for r in rows:
        if r["state"] == "ok":
            r.update(summarize(r.pop("runs")))
            r["rate"] = entries / r["median"]
    shutil.rmtree(base, ignore_errors=True)
    return dict(entries=entries, rows=rows)


def session_rate(runner, velk, work, smoke):
    """Sessions per second kylgwd serves (connect, login, a one-member listing, logout) with 1, 8 and 64
    clients at once: each client runs `velk -t -E` of a one-member archive, back to back."""
    base = os.path.join(work, "sessions")
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(os.path.join(base, "one"))
    with open(os.path.join(base, "one", "member.txt"), "w") as f:
        f.write("one member\n")
    argv = [velk, "-t", "-E", "-f", "one.tar"]
    rows = []
    if subprocess.run([velk, "-c", "-E", "-f", "one.tar", "one"], cwd=base, env=runner.env,
                      capture_output=True).returncode != 0:
        return [dict(clients=0, state="failed", detail="creating the one-member archive failed")]
    for clients in (1, 8, 64):
        total = 16 if smoke else 256
        failed = 0

        def one(_):
            return subprocess.run(argv, cwd=base, env=runner.env, capture_output=True).returncode

        t0 = time.perf_counter()
        with concurrent.futures.ThreadPoolExecutor(max_workers=clients) as pool:
            failed = sum(1 for rc in pool.map(one, range(total)) if rc != 0)
        seconds = time.perf_counter() - t0
        rows.append(dict(clients=clients, sessions=total, seconds=seconds, rate=total / seconds, failed=failed,
                         state="ok" if failed == 0 else "failed",
                         detail="" if failed == 0 else "%d of %d runs failed" % (failed, total)))
    shutil.rmtree(base, ignore_errors=True)
    return rows


# ---------------------------------------------------------------- the report

def fmt_bytes_rate(bps):
    if bps >= 1e9:
        return "%.2f GB/s" % (bps / 1e9)
    return "%.0f MB/s" % (bps / 1e6)


def fmt_mib(n):
    return "%.1f" % (n / MIB)


def round_ratios(r, ref):
    """Ratios of r's time to ref's time in each round both ran (interleaved,
    so both met the disk in the same state)."""
    ref_times = dict(zip(ref.get("rounds", ()), ref.get("times", ())))
    return [t / ref_times[k] for k, t in zip(r.get("rounds", ()), r.get("times", ())) if ref_times.get(k)]


def round_cpu_ratios(r, ref):
    """Per-round ratios of r's CPU time to ref's (user + system)."""
    ref_cpu = dict(zip(ref.get("rounds", ()), ref.get("cpus", ())))
    return [c / ref_cpu[k] for k, c in zip(r.get("rounds", ()), r.get("cpus", ())) if ref_cpu.get(k)]


def ratio_by_round(r, ref, cpu=False):
    """Median of the per-round ratios of r to ref (time, or CPU time), or None."""
    if not r or not ref or r.get("state") != "ok" or ref.get("state") != "ok":
        return None
    pairs = round_cpu_ratios(r, ref) if cpu else round_ratios(r, ref)
    return statistics.median(pairs) if pairs else None


# The goals each pass (data set, archive target, cache) is judged by: (name,
# limit, how the ratio is found).  A ratio at or below its limit meets the goal.
PASS_GOALS = [
    ("local create wall time <= 1.0 x GNU tar", 1.0, lambda k: ratio_by_round(k(("velk", "create")),
                                                                              k(("GNU tar", "create")))),
    ("local create CPU time <= 1.5 x GNU tar", 1.5, lambda k: ratio_by_round(k(("velk", "create")),
                                                                             k(("GNU tar", "create")), cpu=True)),
    ("storage create W4 <= 1.25 x local create", 1.25, lambda k: ratio_by_round(k(("velk", "create, storage W4")),
                                                                                k(("velk", "create")))),
    ("storage extract all W4 <= 1.25 x local extract all", 1.25,
     lambda k: ratio_by_round(k(("velk", "extract all, storage W4")), k(("velk", "extract all")))),
]
TAIL_LIMIT = 2.0            # no repeat slower than this times its row's median
LIST_GOAL = 1e6             # entries per second
FIXED_GOAL = 0.020          # seconds


def slowest_ratio(rows):
    """(slowest run / median, row) over the velk rows of a pass, the worst one."""
    worst = (None, None)
    for r in rows:
        if r["tool"] == "velk" and r["state"] == "ok" and r.get("median"):
            q = r["max"] / r["median"]
            if worst[0] is None or q > worst[0]:
                worst = (q, r)
    return worst


def goal_rows(report):
    """[(goal, case, measured text, met: True/False/None)] for every goal and case."""
    out = []
    for ds in report["datasets"]:
        by_key = {(r["tool"], r["op"]): r for r in ds["rows"]}
        for name, limit, find in PASS_GOALS:
            q = find(by_key.get)
            out.append((name, ds.get("label", ds.get("kind")), "%.2f" % q if q is not None else "not measured",
                        None if q is None else q <= limit))
        q, r = slowest_ratio(ds["rows"])
        out.append(("no repeat slower than %g x the median" % TAIL_LIMIT, ds.get("label", ds.get("kind")),
                    "%.2f (velk %s)" % (q, r["op"]) if q is not None else "not measured",
                    None if q is None else q <= TAIL_LIMIT))
    lr = report.get("list_rate")
    velk_list = next((r for r in lr["rows"] if r["op"] == "velk"), None) if lr else None
    if velk_list:
        ok = velk_list["state"] == "ok"
        out.append(("list >= 1M entries/s", "%d entries" % lr["entries"],
                    "%.2fM entries/s" % (velk_list["rate"] / 1e6) if ok else velk_list["state"].upper(),
                    velk_list["rate"] >= LIST_GOAL if ok else None))
    fc = report.get("fixed")
    for v in (fc or {}).get("variants", []):
        net = v.get("net")
        out.append(("fixed cost of a run < %d ms" % (FIXED_GOAL * 1e3), v["name"],
                    "%.1f ms" % (net * 1e3) if net is not None else "not measured", None if net is None
                    else net < FIXED_GOAL))
    return out


def goal_summary(mine):
    """(cases met, cases, the worst case's row, verdict) of one goal's rows."""
    judged = [g for g in mine if g[3] is not None]
    bad = [g for g in judged if not g[3]]
    worst = bad[0] if bad else (judged[-1] if judged else mine[0])
    if len(judged) > 1:
        worst = max(bad or judged, key=lambda g: float(g[2].split()[0].rstrip("Mms")))
    verdict = "not measured" if not judged else ("met" if not bad else "**not met**")
    return len(judged) - len(bad), len(mine), worst, verdict


def render_goals(report, L):
    rows = goal_rows(report)
    before = report.get("before")
    old = goal_rows(before) if before else []
    L.append("## Goals")
    L.append("")
    L.append("Each goal is a ratio measured within this run (per-round medians: the two commands ran side by "
             "side in every round). kylgwd's CPU time is not counted in velk's (see the \"kylgwd CPU\" column).")
    if before:
        L.append("\"Before\" is the same figure from an earlier run (%s, `bench/run.sh%s`, velk %s), given "
                 "with `--compare`; its own ratios were measured within that run."
                 % (before.get("date", "?"), before.get("args", ""), before.get("versions", {}).get("velk", "?")))
    L.append("")
    L.append("| goal | cases met | worst case | worst measured | met |%s" % (" before: met, worst |" if before else ""))
    L.append("|---|---|---|---|---|%s" % ("---|" if before else ""))
    order = []
    for g in rows:
        if g[0] not in order:
            order.append(g[0])
    for name in order:
        nmet, n, worst, verdict = goal_summary([g for g in rows if g[0] == name])
        extra = ""
        if before:
            mine = [g for g in old if g[0] == name]
            extra = " not measured |"
            if mine:
                bmet, bn, bworst, _ = goal_summary(mine)
                extra = " %d of %d, %s (%s) |" % (bmet, bn, bworst[2], bworst[1])
        L.append("| %s | %d of %d | %s | %s | %s |%s" % (name, nmet, n, worst[1], worst[2], verdict, extra))
    L.append("")
    L.append("<details><summary>Every goal in every case</summary>")
    L.append("")
    old_text = {(g[0], g[1]): g[2] for g in old}
    L.append("| goal | case | measured | met |%s" % (" before |" if before else ""))
    L.append("|---|---|---|---|%s" % ("---|" if before else ""))
    for name, case, text, met in rows:
        L.append("| %s | %s | %s | %s |%s" % (name, case, text, "" if met is None else ("yes" if met else "**no**"),
                                             " %s |" % old_text.get((name, case), "") if before else ""))
    L.append("")
    L.append("</details>")
    L.append("")


def render_fixed(report, L):
    fc = report["fixed"]
    L.append("## Fixed cost of a velk run")
    L.append("")
    L.append("`velk -t -E` of a one-member archive: start-up, gateway session and login (or none, with "
             "`--no-gateway`), the listing and the final line. The two commands ran alternately.")
    L.append("")
    if fc["state"] != "ok":
        L.append("- **%s**: %s" % (fc["state"].upper(), fc["detail"]))
        L.append("")
        return
    L.append("- the harness's own cost per command (starting /usr/bin/time and sh, timing `true`): "
             "median %.1f ms" % (fc["overhead"] * 1e3))
    for v in fc["variants"]:
        L.append("- %s (`%s`): harness timer median %.1f ms, range %.1f-%.1f ms, %d runs, peak RSS %s MiB"
                 % (v["name"], v["cmd"].split("/")[-1], v["median"] * 1e3, v["min"] * 1e3, v["max"] * 1e3,
                    v["runs"], fmt_mib(v["rss_kib"] * 1024)))
        if "hyperfine" in v:
            h = v["hyperfine"]
            L.append("  - hyperfine (no shell, after warm-up runs): median %.1f ms, range %.1f-%.1f ms, %d runs"
                     % (h["median"] * 1e3, h["min"] * 1e3, h["max"] * 1e3, h["runs"]))
        else:
            net = "%.1f ms" % (v["net"] * 1e3) if v["net"] is not None else "not measured (below the harness's noise)"
            L.append("  - %s; net of the harness: %s" % (v.get("hyperfine_note", "hyperfine is not installed"), net))
    L.append("")


def render_list_rate(report, L):
    lr = report.get("list_rate")
    if not lr:
        return
    L.append("## List throughput")
    L.append("")
    L.append("An archive of %d empty files with its index, on the disk, warm cache; the commands ran "
             "alternately and their output went to /dev/null." % lr["entries"])
    L.append("")
    fixed = {v["name"]: v["net"] for v in report.get("fixed", {}).get("variants", [])}
    L.append("The last column takes the fixed cost of a run (above) off velk's time: the listing alone.")
    L.append("")
    L.append("| command | median s | range s | slowest / median | entries/s | entries/s less the fixed cost | state |")
    L.append("|---|---|---|---|---|---|---|")
    for r in lr["rows"]:
        if r["state"] != "ok":
            L.append("| %s | | | | | | **%s**: %s |" % (r["op"], r["state"].upper(), r["detail"].replace("|", "/")))
            continue
        f = fixed.get("--no-gateway" if "no-gateway" in r["op"] else "with a gateway session")
        net = ""
        if r["tool"] == "velk" and f is not None and r["median"] > f > 0:
            net = "%.0f" % (lr["entries"] / (r["median"] - f))
        L.append("| %s | %.3f | %.3f-%.3f | %.2f | %.0f | %s | ok |"
                 % (r["op"], r["median"], r["min"], r["max"], r["max"] / r["median"], r["rate"], net))
    L.append("")


def render_sessions(report, L):
    if not report.get("sessions"):
        return
    L.append("## Sessions per second")
    L.append("")
    L.append("Clients at once, each running `velk -t -E` of a one-member archive back to back: every run "
             "connects, logs in by keytab, lists and logs out. kylgwd and the clients share the machine.")
    L.append("")
    L.append("| clients | sessions | seconds | sessions/s | state |")
    L.append("|---|---|---|---|---|")
    for r in report["sessions"]:
        if r.get("clients", 0) == 0:
            L.append("| | | | | %s: %s |" % (r["state"].upper(), r["detail"]))
            continue
        L.append("| %d | %d | %.2f | %.1f | %s |" % (r["clients"], r["sessions"], r["seconds"], r["rate"],
                                                   r["state"] if r["state"] == "ok" else r["detail"]))
    L.append("")


def render_row(row, r, by_key, rate_of, measured, report):
    """One line of a pass's table."""
    if r["state"] != "ok":
        return "| %s | %s | | | | | | | | | | | | | | **%s**: %s |" % (
            r["op"], r["tool"], r["state"].upper(), r["detail"].replace("|", "/"))
    thr = ""
    shares = []
    if row.get("limit") or row.get("measures"):
        rate = rate_of(row, r)
        thr = fmt_bytes_rate(rate)
        for name in ((row["limit"],) if row.get("limit") else ()) + tuple(row.get("also", ())):
            lim = measured.get(name) or (report["limits"].get(name) if name == row.get("limit") else None)
            if lim:
                shares.append("%.0f%% %s" % (100 * rate / lim, name))
    ratios = []
    cpu = ""
    gnu = by_key.get(("GNU tar", phase_of(row)))
    if gnu and gnu.get("median") and gnu is not r:
        text = "%.2f" % (r["median"] / gnu["median"])
        per_round = round_ratios(r, gnu)
        if per_round:
            text += " (by round %.2f)" % statistics.median(per_round)
        ratios.append(text)
        q = ratio_by_round(r, gnu, cpu=True)
        cpu = "%.2f" % q if q is not None else ""
    ref = by_key.get(row.get("ref"))
    if ref and ref.get("median"):
        pairs = round_ratios(r, ref)
        if pairs:
            ratios.append("%.2f x %s %s" % (statistics.median(pairs), row["ref"][0], row["ref"][1]))
    op = r["op"] + (" (`%s`)" % r["member"] if r.get("member") else "")
    gw_cpu = "%.3f" % r["gw_cpu_s"] if r.get("gw_cpu_s") is not None else ""
    return ("| %s | %s | %.3f | %.3f-%.3f | %.2f | %.3f | %.3f | %s | %s | %s | %s | %s | %s | %s | %s | ok |"
            % (op, r["tool"], r["median"], r["min"], r["max"], r["max"] / r["median"] if r["median"] else 0,
               r.get("user_s", 0.0), r.get("sys_s", 0.0), gw_cpu, thr, "; ".join(ratios), cpu, ", ".join(shares),
               fmt_mib(r["rss_kib"] * 1024), fmt_mib(r["read_bytes"]), fmt_mib(r["written_bytes"])))


def render_pass(ds, report, L):
    L.append("## %s: %d files, %s MiB; archive on %s; %s cache" % (ds["kind"], ds["files"], fmt_mib(ds["bytes"]),
                                                                  ds["target"], ds["cache"]))
    L.append("")
    L.append("%s at scale %g: %d files in %d directories, %s MiB of file data (seed %d). %s"
             % (ds["title"], ds["scale"], ds["files"], ds["directories"], fmt_mib(ds["bytes"]), ds["seed"],
                ds["where"]))
    L.append("")
    L.append("| operation | tool | median s | range s | slowest / median | user s | sys s | kylgwd CPU s | "
             "throughput | x GNU tar | CPU x GNU tar | of limit | peak RSS MiB | read MiB | written MiB | state |")
    L.append("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    by_key = {(r["tool"], r["op"]): r for r in ds["rows"]}
    mib = max(1, -(-ds["bytes"] // MIB))

    def rate_of(row, r):
        nbytes = mib * MIB if row.get("measures") == "disk write" else ds["bytes"]
        return nbytes / r["median"] if r["median"] > 0 else 0
    # Limits measured by rows of this pass, interleaved with the tools.
    measured = {row["measures"]: rate_of(row, r) for row, r in zip(ds["table"], ds["rows"])
                if row.get("measures") and r["state"] == "ok"}
    for row, r in zip(ds["table"], ds["rows"]):
        L.append(render_row(row, r, by_key, rate_of, measured, report))
    L.append("")


def render(report):
    L = []
    L.append("# velk benchmark results")
    L.append("")
    if report.get("banner"):
        L.append("**%s**" % report["banner"])
        L.append("")
    L.append("Written by `bench/run.sh%s` on %s; machine load at the start %s (from /proc/loadavg: 1, 5 and 15 "
             "minutes). Times are wall-clock seconds: the median of %d run(s), with the range (fastest-slowest) "
             "and the slowest run over the median. Throughput is the data set's file bytes divided by the "
             "median. \"x GNU tar\" is the time relative to GNU tar doing the same operation (below 1 is "
             "faster); \"by round\" is the median of the ratios within each round, where both ran side "
             "by side; \"CPU x GNU tar\" the same for CPU time (user + sys). \"x velk ...\" compares a remote "
             "archive with the same operation on a local one, by round. \"of limit\" is the throughput as a share "
             "of the machine limit named in the row. User and sys are the median CPU seconds of the command and "
             "its children in user space and in the kernel; kylgwd CPU is that of the gateway (and its movers) "
             "the run talked to, apart, from /proc/PID/stat before and after the run. Peak RSS is the largest "
             "resident set of the command and its children; read and written are file-system bytes (block I/O "
             "counted by the kernel, so cached reads count nothing)."
             % (report["args"], report["date"], report.get("load", "unknown"), report["runs"]))
    L.append("")
    render_goals(report, L)
    L.append("## Machine")
    L.append("")
    for k, v in report["machine"].items():
        L.append("- %s: %s" % (k, v))
    L.append("")
    L.append("## Versions")
    L.append("")
    for k, v in report["versions"].items():
        L.append("- %s: %s" % (k, v))
    L.append("")
    L.append("## Machine limits (measured in this run)")
    L.append("")
    end = report.get("limits_end", {})
    L.append("| limit | at the start | at the end |")
    L.append("|---|---|---|")
    for k, v in report["limits"].items():
        L.append("| %s | %s | %s |" % (k, fmt_bytes_rate(v), fmt_bytes_rate(end[k]) if k in end else ""))
    L.append("")
    L.append("Disk write: `dd` of zeros with `conv=fdatasync`; disk read: `dd` with `iflag=direct`; "
             "memory copy: one 256 MiB buffer copied into another; loopback TCP: `iperf3` on 127.0.0.1. "
             "The disk is measured again at the end of the run. Within each pass, the rows `dd` "
             "(disk write) and `cat` (copy: the set's file contents read and written into one file on the "
             "pass's target, what any archiver must do at least) ran interleaved with the creates, with the "
             "pass's cache state; the \"of limit\" shares of that pass are taken against them.")
    L.append("")
    render_fixed(report, L)
    render_list_rate(report, L)
    render_sessions(report, L)
    for ds in report["datasets"]:
        render_pass(ds, report, L)
    if report["notes"]:
        L.append("## Notes")
        L.append("")
        for n in report["notes"]:
            L.append("- %s" % n)
        L.append("")
    L.append("A row marked PENDING is a velk action this build does not have yet (velk answered \"%s\"), or "
             "reads an archive whose create is pending. A row marked FAILED is a fault." % NOT_AVAILABLE)
    L.append("")
    return "\n".join(L)


# ---------------------------------------------------------------- main

def velk_version(gateway_log):
    for line in gateway_log.splitlines():
        pos = line.find("VERSION: ")
        if pos >= 0:
            return line[pos + len("VERSION: "):].strip()
    return "unknown (no VERSION record reached the gateway log)"


def parse_args(argv):
    ap = argparse.ArgumentParser(description="Time velk, GNU tar and bsdtar; write RESULTS.md.")
    ap.add_argument("--velk", required=True)
    ap.add_argument("--kylgwd", required=True)
    ap.add_argument("--work", required=True, help="scratch directory on the disk to measure")
    ap.add_argument("--results", required=True, help="the Markdown report to write")
    ap.add_argument("--smoke", action="store_true", help="tiny data set, one run, warm caches")
    ap.add_argument("--scale", type=float, default=1.0, help="scale the data sets down (0 < s <= 1)")
    ap.add_argument("--datasets", default="small,mixed,large", help="comma-separated: small,mixed,large")
    ap.add_argument("--targets", default="disk,tmpfs",
                    help="where the archives and extracted trees go: disk (the work directory), tmpfs")
    ap.add_argument("--tmpfs", default="/dev/shm", help="the tmpfs directory of the tmpfs target")
    ap.add_argument("--caches", default=None,
                    help="cold (page cache dropped before each run; needs root), warm; default both "
                         "(warm only with --smoke)")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--fixed-runs", type=int, default=50)
    ap.add_argument("--list-entries", type=int, default=0,
                    help="members of the list-throughput archive (default 1,000,000 x scale)")
    ap.add_argument("--warm", action="store_true", help="the same as --caches warm")
    ap.add_argument("--keep-data", action="store_true", help="keep the generated data sets for the next run")
    ap.add_argument("--timeout", type=int, default=0, help="seconds before one command is killed (0: never)")
    ap.add_argument("--check", action="store_true", help="exit 1 when any row failed")
    ap.add_argument("--banner", default="", help="a line shown at the top of the report")
    ap.add_argument("--compare", default="", help="RESULTS.json of an earlier run: its goals shown as before")
    args = ap.parse_args(argv)
    if not (0 < args.scale <= 1.0):
        ap.error("--scale must be in (0, 1]")
    if args.runs < 1 or args.fixed_runs < 1:
        ap.error("--runs and --fixed-runs must be at least 1")
    if args.caches is None:
        args.caches = "warm" if (args.smoke or args.warm) else "cold,warm"
    args.caches = [c.strip() for c in args.caches.split(",") if c.strip()]
    args.targets = [t.strip() for t in args.targets.split(",") if t.strip()]
    if set(args.caches) - {"cold", "warm"} or not args.caches:
        ap.error("--caches takes cold, warm or both")
    if set(args.targets) - {"disk", "tmpfs"} or not args.targets:
        ap.error("--targets takes disk, tmpfs or both")
    if args.smoke:
        args.nruns, args.fixed, args.dsets = 1, 3, [SMOKE_DATASET]
        args.entries = args.list_entries or 2000
    else:
        args.nruns, args.fixed = args.runs, args.fixed_runs
        wanted = [d.strip() for d in args.datasets.split(",") if d.strip()]
        unknown = [d for d in wanted if d not in dict(DATASETS)]
        if unknown:
            ap.error("unknown data set(s): %s" % ", ".join(unknown))
        args.dsets = [d for d in DATASETS if d[0] in wanted]
        args.entries = args.list_entries or max(1000, int(1_000_000 * args.scale))
    return args


def start_targets(args, kylgwd, work, notes):
    """The archive targets of the run: dict name -> dict(dir, gateways), each
    with a storage-system gateway (run mode 1) and a gateway host (run mode
    2) whose files lie on the target."""
    targets = {}
    for name in args.targets:
        if name == "disk":
            tdir = work
        else:
            if not os.path.isdir(args.tmpfs) or not os.access(args.tmpfs, os.W_OK):
                notes.append("tmpfs target skipped: %s is not a writable directory" % args.tmpfs)
                continue
            tdir = tempfile.mkdtemp(prefix="velk-bench.", dir=args.tmpfs)
        t = dict(name=name, dir=tdir, gateways={})
        targets[name] = t
        t["gateways"]["store"] = Gateway(kylgwd, os.path.join(tdir, "kylgwd-store"), os.path.join(work, "home"))
        t["gateways"]["host"] = Gateway(kylgwd, os.path.join(tdir, "kylgwd-host"), os.path.join(work, "home"),
                                        site="Site = {\n  server_runmode = 2\n}\n")
    return targets


def stop_targets(targets):
    for t in targets.values():
        for gw in t["gateways"].values():
            gw.stop()
        if t["name"] != "disk":
            shutil.rmtree(t["dir"], ignore_errors=True)


# Archives a pass keeps at once on its target, in data-set sizes: every
# archive some row reads, the one being written and one extracted tree.
KEPT_COPIES = len({r["archive"] for r in ROWS if r["kind"] == READ}) + 2


def room_for(target, nbytes):
    """None when the target can hold a pass over nbytes of data, else why not."""
    need = KEPT_COPIES * nbytes + (256 << 20)
    st = os.statvfs(target["dir"])
    if st.f_bavail * st.f_frsize < need:
        return "%s has %.1f GiB free, the pass needs about %.1f GiB" % (
            target["dir"], st.f_bavail * st.f_frsize / (1 << 30), need / (1 << 30))
    if target["name"] == "tmpfs":
        try:
            with open("/proc/meminfo") as f:
                avail = next(int(ln.split()[1]) * 1024 for ln in f if ln.startswith("MemAvailable:"))
        except (OSError, StopIteration, ValueError):
            return None
        if avail < need + (1 << 30):
            return "%.1f GiB of memory available, the pass needs about %.1f GiB on tmpfs" % (
                avail / (1 << 30), need / (1 << 30))
    return None


def run_dataset(kind, title, args, runner, caches, velk, work, targets, notes):
    """Every pass (target x cache state) over one data set; returns the passes."""
    scale = 1.0 if args.smoke else args.scale
    dsdir = os.path.join(work, "data")
    os.makedirs(dsdir, exist_ok=True)
    log("bench: data set %s (scale %g)" % (kind, scale))
    gen = subprocess.run([sys.executable, os.path.join(HERE, "gen_dataset.py"), "--kind", kind,
                          "--scale", repr(scale), "--out", os.path.join(dsdir, kind)],
                         capture_output=True, check=True)
    meta = json.loads(gen.stdout.decode().strip().splitlines()[-1])
    passes = []
    for t in targets.values():
        why = room_for(t, meta["bytes"])
        if why:
            notes.append("%s, archive on %s: skipped (%s)" % (kind, t["name"], why))
            continue
        for cache in args.caches:
            if cache == "cold" and not caches.permitted:
                continue
            label = "%s, %s, %s" % (kind, t["name"], cache)
            where_text = ("Archives, storage-system and gateway-host files and extracted trees on %s (%s); the "
                          "data set on the disk; %s." % (
                              "the disk" if t["name"] == "disk" else "tmpfs", t["dir"],
                              "page cache dropped before every run" if cache == "cold"
                              else "warm page cache (inputs read once before each phase)"))
            ds = dict(meta, kind=kind, title=title, name=kind, parent=dsdir, table=ROWS, label=label,
                      target=t["name"], cache=cache, where=where_text)
            log("bench: pass %s" % label)
            caches.enabled = cache == "cold"
            where = dict(arcdir=os.path.join(t["dir"], "archives"), outdir=os.path.join(t["dir"], "out"),
                         gateways=t["gateways"], warm=cache == "warm")
            ds["rows"] = run_rows(ds, ROWS, runner, caches, args.nruns, velk, where)
            caches.enabled = False
            passes.append(ds)
    if not args.keep_data:
        shutil.rmtree(os.path.join(dsdir, kind), ignore_errors=True)
        try:
            os.unlink(os.path.join(dsdir, kind) + ".stamp")
        except OSError:
            pass
    return passes


def measure_machine(args, runner, velk, work, caches, report):
    """Machine limits, fixed cost, list throughput and sessions; True when any failed."""
    failed = False
    log("bench: machine limits")
    small_limits = args.smoke or args.scale < 1.0
    size_mib = 16 if args.smoke else max(16, int(2048 * args.scale))
    report["size_mib"] = size_mib
    caches.enabled = caches.permitted
    limits, lnotes = measure_limits(work, size_mib, 1 if small_limits else 3, 1 if small_limits else 5, caches)
    caches.enabled = False
    report["limits"] = limits
    report["notes"].extend(lnotes)
    for k, v in limits.items():
        log("  %-20s %s" % (k, fmt_bytes_rate(v)))

    log("bench: fixed cost of a velk run")
    fc = report["fixed"] = fixed_cost(runner, velk, work, args.fixed, args.smoke)
    for v in fc.get("variants", []):
        log("  %s: median %.1f ms, net %s" % (v["name"], v["median"] * 1e3,
                                               "%.1f ms" % (v["net"] * 1e3) if v["net"] is not None else "?"))
    if fc["state"] != "ok":
        log("  %s: %s" % (fc["state"].upper(), fc["detail"]))
    failed |= fc["state"] == "failed"

    log("bench: list throughput (%d entries)" % args.entries)
    lr = report["list_rate"] = list_rate(runner, velk, work, args.entries, args.nruns)
    for r in lr["rows"]:
        log("  %-20s %s" % (r["op"], "%.0f entries/s" % r["rate"] if r["state"] == "ok"
                            else "FAILED: " + r["detail"]))
    failed |= any(r["state"] == "failed" for r in lr["rows"])

    log("bench: sessions per second")
    report["sessions"] = session_rate(runner, velk, work, args.smoke)
    for r in report["sessions"]:
        log("  %s" % ("%d clients: %.1f sessions/s" % (r["clients"], r["rate"]) if r.get("clients")
                      else "FAILED: " + r["detail"]))
    failed |= any(r["state"] == "failed" for r in report["sessions"])
    return failed


def write_report(args, report):
    with open(args.results, "w") as f:
        f.write(render(report))
    with open(os.path.splitext(args.results)[0] + ".json", "w") as f:
        json.dump({k: v for k, v in report.items() if k not in ("datasets", "before")} |
                  {"datasets": [{k: v for k, v in d.items() if k != "table"} for d in report["datasets"]]},
                  f, indent=1)
    log("bench: wrote %s" % args.results)


def rerender(path, results):
    """Writes the report again from the RESULTS.json a run left (after a change of the layout)."""
    with open(path) as f:
        report = json.load(f)
    for ds in report["datasets"]:
        ds["table"] = ROWS
    with open(results, "w") as f:
        f.write(render(report))
    log("bench: wrote %s" % results)
    return 0


def main(argv):
    if len(argv) == 3 and argv[0] == "--rerender":
        return rerender(argv[1], argv[2])
    args = parse_args(argv)
    velk = os.path.abspath(args.velk)
    kylgwd = os.path.abspath(args.kylgwd)
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    for tool in ("tar", "bsdtar", "diff", "cmp", "dd"):
        if not shutil.which(tool):
            log("bench: %s is not installed" % tool)
            return 2

    notes = []
    caches = Caches("cold" in args.caches)
    if "cold" in args.caches and not caches.permitted:
        notes.append("cold passes skipped: the page cache could not be dropped (writing "
                     "/proc/sys/vm/drop_caches is not permitted)")
    if args.caches == ["warm"]:
        notes.append("warm passes only: the page cache was never dropped")
    if not os.access("/usr/bin/time", os.X_OK):
        notes.append("/usr/bin/time is not installed: peak RSS and block I/O come from wait4()")
    try:
        with open("/proc/loadavg") as f:
            load = " ".join(f.read().split()[:3])
    except OSError:
        load = "unknown"

    os.makedirs(os.path.join(work, "home"), exist_ok=True)
    os.makedirs(os.path.join(work, "tmp"), exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="runner.", dir=work)
    targets = {}
    shown = "--smoke" if args.smoke else "--scale %g --datasets %s --runs %d" % (
        args.scale, ",".join(d[0] for d in args.dsets), args.nruns)
    shown += " --targets %s --caches %s" % (",".join(args.targets), ",".join(args.caches))
    report = dict(args=" " + shown, date=time.strftime("%Y-%m-%d %H:%M %Z"), runs=args.nruns, notes=notes,
                  datasets=[], load=load, banner=args.banner)
    if args.compare:
        with open(args.compare) as f:
            before = json.load(f)
        report["before"] = {k: before.get(k) for k in ("date", "args", "versions", "datasets", "list_rate",
                                                       "fixed")}
    any_failed = False
    try:
        targets = start_targets(args, kylgwd, work, notes)
        store = targets["disk"]["gateways"]["store"] if "disk" in targets else \
            next(iter(targets.values()))["gateways"]["store"]
        env = dict(os.environ, **store.env)
        env["TMPDIR"] = os.path.join(work, "tmp")
        env["LC_ALL"] = "C"
        runner = Runner(env, scratch, args.timeout)
        any_failed |= measure_machine(args, runner, velk, work, caches, report)
        report["machine"] = machine_info(work)
        report["versions"] = {
            "velk": velk_version(store.log_text()),
            "GNU tar": first_line(["tar", "--version"]),
            "bsdtar": first_line(["bsdtar", "--version"]),
        }
        for kind, title in args.dsets:
            passes = run_dataset(kind, title, args, runner, caches, velk, work, targets, notes)
            any_failed |= any(r["state"] == "failed" for ds in passes for r in ds["rows"])
            report["datasets"].extend(passes)
        if args.dsets and not args.smoke:
            # The disk again at the end: a long run can see it slow down.
            log("bench: disk limits at the end")
            caches.enabled = caches.permitted
            report["limits_end"], _ = measure_disk(work, report["size_mib"], 1 if args.scale < 1.0 else 3, caches)
            caches.enabled = False
            for k, v in report["limits_end"].items():
                log("  %-20s %s" % (k, fmt_bytes_rate(v)))
    finally:
        stop_targets(targets)
        shutil.rmtree(scratch, ignore_errors=True)

    write_report(args, report)
    return finish(args, report, any_failed)


def finish(args, report, any_failed):
    """Lists the pending and failed rows; the exit status."""
    fc = report["fixed"]
    all_rows = [dict(fc, where="fixed cost")] + [dict(r, where="list throughput")
                                                 for r in report["list_rate"]["rows"]] + [
        dict(r, where=d["label"]) for d in report["datasets"] for r in d["rows"]]
    pending = [r for r in all_rows if r["state"] == "pending"]
    failed = [r for r in all_rows if r["state"] == "failed"]
    if pending:
        log("bench: %d row(s) PENDING (velk actions not in this build yet):" % len(pending))
        for r in pending:
            log("  PENDING %s: %s %s: %s" % (r["where"], r["tool"], r["op"], r["detail"]))
    if failed:
        log("bench: %d row(s) FAILED:" % len(failed))
        for r in failed:
            log("  FAILED %s: %s %s: %s" % (r["where"], r["tool"], r["op"], r["detail"]))
    if args.check and (failed or any_failed):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
