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
#   store      the archive lives in the storage system kylgwd serves: {archive}
#              is its name there (in the user's home), and the checks read the
#              file kylgwd keeps it in
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

    # Archives in the storage system through kylgwd on loopback, striped
    # over one mover (class of service 1) and four (class 4), each compared
    # with the same operation on the local archive in the same rounds.
    dict(op="create, storage W1", tool="velk", archive="velk-w1.tar", kind=CREATE, sync=True, store=True,
         cmd="{velk} -c -Y 1 -f {archive} {src}", limit="disk write", check="members", gnu_op="create",
         ref=("velk", "create")),
    dict(op="create, storage W4", tool="velk", archive="velk-w4.tar", kind=CREATE, sync=True, store=True,
         cmd="{velk} -c -Y 4 -f {archive} {src}", limit="disk write", check="members", gnu_op="create",
         ref=("velk", "create")),
    dict(op="list, storage W4", tool="velk", archive="velk-w4.tar", kind=READ, store=True,
         cmd="{velk} -t -f {archive}", gnu_op="list", ref=("GNU tar", "list stream")),
    dict(op="extract all, storage W1", tool="velk", archive="velk-w1.tar", kind=READ, sync=True, store=True,
         cmd="{velk} -x -f {archive}", limit="disk write", check="tree", gnu_op="extract all",
         ref=("velk", "extract all")),
    dict(op="extract all, storage W4", tool="velk", archive="velk-w4.tar", kind=READ, sync=True, store=True,
         cmd="{velk} -x -f {archive}", limit="disk write", check="tree", gnu_op="extract all",
         ref=("velk", "extract all")),
    dict(op="extract last, storage W4", tool="velk", archive="velk-w4.tar", kind=READ, sync=True, store=True,
         member="last", cmd="{velk} -x -f {archive} {member}", check="member", gnu_op="extract last",
         ref=("GNU tar", "extract last stream")),
    dict(op="extract last stream", tool="GNU tar", archive="gnutar.tar", kind=READ, sync=True, member="last",
         cmd="cat {archive} | tar -xf - {member}", check="member"),
]

# The data sets of a full run, in order: (kind, title).
DATASETS = [
    ("small", "many small files: 200,000 files, log-normal around 8 KiB, in 200 directories"),
    ("mixed", "mixed: 20,000 small files plus 8 files of 256 MiB"),
    ("large", "large files: 8 files of 1 GiB"),
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

    def run(self, cmd, cwd):
        """Returns dict(seconds, status, rss_kib, read_bytes, written_bytes, user_s, sys_s, stderr)."""
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
            t0 = time.perf_counter()
            proc = subprocess.Popen(argv, cwd=cwd, env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=err)
            _, wstatus, ru = os.wait4(proc.pid, 0)
            seconds = time.perf_counter() - t0
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
                    written_bytes=outblk * 512, user_s=user, sys_s=sys_, stderr=stderr)


class Caches:
    """Drops the page cache before a timed run when allowed to."""

    def __init__(self, enabled):
        self.enabled = enabled
        self.note = None
        if not enabled:
            self.note = "page cache not dropped (smoke mode or --warm): times are warm-cache times"
            return
        if not self._drop():
            self.enabled = False
            self.note = ("page cache could not be dropped (writing /proc/sys/vm/drop_caches is not "
                         "permitted): times are warm-cache times")

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


# ---------------------------------------------------------------- kylgwd

class Gateway:
    """A kylgwd on loopback with one user, "bench", who logs in by keytab."""

    def __init__(self, kylgwd, state, home):
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
            f.write("Users = {\n  bench = {\n    password = %s\n    uid = %d\n    gid = %d\n"
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
        }

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
                sys_s=statistics.median(r.get("sys_s", 0.0) for r in runs))


def velk_missing(result):
    return result["status"] == NOT_AVAILABLE_STATUS and NOT_AVAILABLE in result["stderr"]


def last_error_lines(text, n=3):
    lines = [ln for ln in text.strip().splitlines() if ln.strip()]
    return " | ".join(lines[-n:])


def phase_of(row):
    """Rows of one phase run interleaved: every create, every list, ..."""
    return row.get("gnu_op", row["op"].replace(" stream", ""))


def run_rows(ds, rows, runner, caches, nruns, velk, work, store_dir):
    """Runs the rows on one data set; returns one result dict per row, in table order.

    The rows of one phase (all creates, all lists, ...) run interleaved: run 1
    of every row, then run 2 with the order rotated by one, and so on.  A
    shared virtual disk's speed can drift severalfold within minutes; run in
    blocks, one tool's five runs would meet another disk than the next tool's.
    Interleaved, every row sees the same drift, and the disk-limit rows of the
    phase measure the disk as it was while the others ran."""
    arcdir = os.path.join(work, "archives")
    outdir = os.path.join(work, "out")
    os.makedirs(arcdir, exist_ok=True)
    read_archives = {r["archive"] for r in rows if r["kind"] == READ}
    mib = max(1, -(-ds["bytes"] // MIB))
    phases = {}
    for idx, row in enumerate(rows):
        phases.setdefault(phase_of(row), []).append(idx)

    def remove_archive(archive):
        for p in (archive, archive + ".idx"):
            if os.path.lexists(p):
                os.unlink(p)

    results = {}
    writer_state = {}            # archive name -> state of the row that writes it
    for phase, idxs in phases.items():
        active = []
        for idx in idxs:
            row = rows[idx]
            res = dict(op=row["op"], tool=row["tool"], state="ok", detail="")
            results[idx] = res
            archive = os.path.join(store_dir if row.get("store") else arcdir, row["archive"])
            label = "%s / %s / %s" % (ds["kind"], row["tool"], row["op"])
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
                log("  %-40s %s (%s)" % (label, res["state"].upper(), problem))
                continue
            named = row["archive"] if row.get("store") else archive
            cmd = row["cmd"].format(velk=shlex.quote(velk), archive=shlex.quote(named),
                                    src=shlex.quote(ds["name"]), member=shlex.quote(member or ""), mib=mib)
            if row.get("sync"):
                cmd = "%s && sync" % cmd
            active.append(dict(row=row, res=res, archive=archive, cmd=cmd, member=member, label=label,
                               runs=[], extracting=row["kind"] == READ and row.get("check") in ("tree", "member")))

        for i in range(nruns):
            turn = i % len(active) if active else 0
            for a in active[turn:] + active[:turn]:
                row, res = a["row"], a["res"]
                if res["state"] != "ok":
                    continue
                if row["kind"] == CREATE:
                    remove_archive(a["archive"])
                if a["extracting"]:
                    shutil.rmtree(outdir, ignore_errors=True)
                    os.makedirs(outdir)
                caches.drop()
                r = runner.run(a["cmd"], outdir if a["extracting"] else ds["parent"])
                r["round"] = i
                if r["status"] != 0:
                    if row["tool"] == "velk" and velk_missing(r):
                        res["state"] = "pending"
                        res["detail"] = last_error_lines(r["stderr"], 1)
                    else:
                        res["state"] = "failed"
                        res["detail"] = "exit status %d%s: %s" % (
                            r["status"], " (timed out)" if r["status"] in (124, 137) else "",
                            last_error_lines(r["stderr"]))
                else:
                    a["runs"].append(r)
                    if i == nruns - 1:
                        # The result is checked before the next row of the
                        # round replaces the extracted files.
                        problem = check_result(row, ds, a["archive"], outdir, a["member"], runner)
                        if problem:
                            res["state"] = "failed"
                            res["detail"] = problem
                if row["kind"] == CREATE and row["archive"] not in read_archives:
                    remove_archive(a["archive"])
                if a["extracting"]:
                    shutil.rmtree(outdir, ignore_errors=True)
        for a in active:
            res = a["res"]
            if a["runs"] and res["state"] == "ok":
                res.update(summarize(a["runs"]))
            if a["row"]["kind"] == CREATE:
                writer_state[a["row"]["archive"]] = res["state"]
            if res["state"] == "ok":
                log("  %-40s median %.3f s (%.3f-%.3f, %d runs)" % (a["label"], res["median"], res["min"],
                                                                  res["max"], res["runs"]))
            else:
                log("  %-40s %s: %s" % (a["label"], res["state"].upper(), res["detail"]))
    for row in rows:
        remove_archive(os.path.join(store_dir if row.get("store") else arcdir, row["archive"]))
    shutil.rmtree(outdir, ignore_errors=True)
    shutil.rmtree(arcdir, ignore_errors=True)
    return [results[i] for i in sorted(results)]


def fixed_cost(runner, caches, velk, work, nruns, smoke):
    """Time of `velk -t -E` on a one-member archive: the session, start-up and final line."""
    res = dict(op="list, one-member archive", tool="velk", state="ok", detail="")
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
    cmd = "%s -t -E -f one.tar" % shlex.quote(velk)
    runs = []
    for _ in range(nruns):
        r = runner.run(cmd, base)
        if r["status"] != 0:
            res["state"] = "pending" if velk_missing(r) else "failed"
            res["detail"] = "exit status %d: %s" % (r["status"], last_error_lines(r["stderr"]))
            shutil.rmtree(base, ignore_errors=True)
            return res
        runs.append(r)
    res.update(summarize(runs))
    # What the harness itself adds to every timed command (starting
    # /usr/bin/time and sh): the same number of runs of `true`.
    res["overhead"] = statistics.median(runner.run("true", base)["seconds"] for _ in range(nruns))
    # hyperfine, when installed, measures the same command on its own terms
    # (warm-up runs, no shell) as a cross-check of the harness's own timer.
    hyperfine = shutil.which("hyperfine")
    if hyperfine:
        out = os.path.join(base, "hyperfine.json")
        hf = subprocess.run([hyperfine, "-N", "-i", "--warmup", "1" if smoke else "3", "--runs", str(nruns),
                             "--export-json", out, "--style", "none", cmd],
                            cwd=base, env=runner.env, capture_output=True)
        try:
            with open(out) as f:
                h = json.load(f)["results"][0]
            if all(c == 0 for c in h.get("exit_codes", [0])):
                res["hyperfine"] = dict(median=h["median"], min=h["min"], max=h["max"], runs=len(h["times"]))
            else:
                res["hyperfine_note"] = "hyperfine saw non-zero exit codes"
        except (OSError, ValueError, KeyError, IndexError):
            res["hyperfine_note"] = "hyperfine failed: " + hf.stderr.decode("utf-8", "replace").strip()[-200:]
    shutil.rmtree(base, ignore_errors=True)
    return res


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


def render(report):
    L = []
    L.append("# velk benchmark results")
    L.append("")
    L.append("Written by `bench/run.sh%s` on %s. Times are wall-clock seconds: the median of %d run(s), "
             "with the range (fastest-slowest). Throughput is the data set's file bytes divided by the "
             "median. \"x GNU tar\" is the time relative to GNU tar doing the same operation (below 1 is "
             "faster); \"by round\" is the median of the ratios within each round, where both ran side "
             "by side. \"of limit\" is the throughput as a share of the machine limit named in the row. "
             "User and sys are the median CPU seconds of the command and its children in user space and "
             "in the kernel. Peak RSS is the largest resident set of the command and its children; read "
             "and written are file-system bytes (block I/O counted by the kernel, so cached reads count nothing)."
             % (report["args"], report["date"], report["runs"]))
    L.append("")
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
             "The disk is measured again at the end of the run. Within each data set, the rows `dd` "
             "(disk write) and `cat` (copy: the set's file contents read and written into one file on the "
             "same disk, what any archiver must do at least) ran interleaved with the creates; the "
             "\"of limit\" shares of that data set are taken against them.")
    L.append("")
    fc = report["fixed"]
    L.append("## Fixed cost of a velk run")
    L.append("")
    L.append("`velk -t -E` of a one-member archive on loopback: start-up, gateway session and login, "
             "the listing and the final line.")
    L.append("")
    if fc["state"] == "ok":
        L.append("- harness timer: median %.1f ms, range %.1f-%.1f ms, %d runs, peak RSS %s MiB"
                 % (fc["median"] * 1e3, fc["min"] * 1e3, fc["max"] * 1e3, fc["runs"], fmt_mib(fc["rss_kib"] * 1024)))
        L.append("- the harness's own cost per command (starting /usr/bin/time and sh, timing `true`): "
                 "median %.1f ms" % (fc["overhead"] * 1e3))
        if "hyperfine" in fc:
            h = fc["hyperfine"]
            L.append("- hyperfine (no shell, after warm-up runs): median %.1f ms, range %.1f-%.1f ms, %d runs"
                     % (h["median"] * 1e3, h["min"] * 1e3, h["max"] * 1e3, h["runs"]))
        if "hyperfine_note" in fc:
            L.append("- %s" % fc["hyperfine_note"])
    else:
        L.append("- **%s**: %s" % (fc["state"].upper(), fc["detail"]))
    L.append("")
    if report.get("sessions"):
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
    for ds in report["datasets"]:
        L.append("## %s" % ds["title"])
        L.append("")
        L.append("%d files in %d directories, %s MiB of file data (scale %g, seed %d)."
                 % (ds["files"], ds["directories"], fmt_mib(ds["bytes"]), ds["scale"], ds["seed"]))
        L.append("")
        L.append("| operation | tool | median s | range s | user s | sys s | throughput | x GNU tar | of limit | "
                 "peak RSS MiB | read MiB | written MiB | state |")
        L.append("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
        by_key = {(r["tool"], r["op"]): r for r in ds["rows"]}
        mib = max(1, -(-ds["bytes"] // MIB))

        def rate_of(row, r):
            nbytes = mib * MIB if row.get("measures") == "disk write" else ds["bytes"]
            return nbytes / r["median"] if r["median"] > 0 else 0
        # Limits measured by rows of this data set, interleaved with the tools.
        measured = {row["measures"]: rate_of(row, r) for row, r in zip(ds["table"], ds["rows"])
                    if row.get("measures") and r["state"] == "ok"}
        for row, r in zip(ds["table"], ds["rows"]):
            if r["state"] != "ok":
                L.append("| %s | %s | | | | | | | | | | | **%s**: %s |"
                         % (r["op"], r["tool"], r["state"].upper(), r["detail"].replace("|", "/")))
                continue
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
            gnu = by_key.get(("GNU tar", phase_of(row)))
            if gnu and gnu.get("median") and gnu is not r:
                text = "%.2f" % (r["median"] / gnu["median"])
                per_round = round_ratios(r, gnu)
                if per_round:
                    text += " (by round %.2f)" % statistics.median(per_round)
                ratios.append(text)
            ref = by_key.get(row.get("ref"))
            if ref and ref.get("median"):
                pairs = round_ratios(r, ref)
                if pairs:
                    ratios.append("%.2f x %s %s" % (statistics.median(pairs), row["ref"][0], row["ref"][1]))
            op = r["op"] + (" (`%s`)" % r["member"] if r.get("member") else "")
            L.append("| %s | %s | %.3f | %.3f-%.3f | %.2f | %.2f | %s | %s | %s | %s | %s | %s | ok |"
                     % (op, r["tool"], r["median"], r["min"], r["max"], r.get("user_s", 0.0),
                        r.get("sys_s", 0.0), thr, "; ".join(ratios),
                        ", ".join(shares), fmt_mib(r["rss_kib"] * 1024), fmt_mib(r["read_bytes"]),
                        fmt_mib(r["written_bytes"])))
        L.append("")
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


def main(argv):
    ap = argparse.ArgumentParser(description="Time velk, GNU tar and bsdtar; write RESULTS.md.")
    ap.add_argument("--velk", required=True)
    ap.add_argument("--kylgwd", required=True)
    ap.add_argument("--work", required=True, help="scratch directory on the disk to measure")
    ap.add_argument("--results", required=True, help="the Markdown report to write")
    ap.add_argument("--smoke", action="store_true", help="tiny data set, one run, warm caches")
    ap.add_argument("--scale", type=float, default=1.0, help="scale the data sets down (0 < s <= 1)")
    ap.add_argument("--datasets", default="small,mixed,large", help="comma-separated: small,mixed,large")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--fixed-runs", type=int, default=50)
    ap.add_argument("--warm", action="store_true", help="do not drop the page cache")
    ap.add_argument("--keep-data", action="store_true", help="keep the generated data sets for the next run")
    ap.add_argument("--timeout", type=int, default=0, help="seconds before one command is killed (0: never)")
    ap.add_argument("--check", action="store_true", help="exit 1 when any row failed")
    args = ap.parse_args(argv)
    if not (0 < args.scale <= 1.0):
        ap.error("--scale must be in (0, 1]")
    if args.runs < 1 or args.fixed_runs < 1:
        ap.error("--runs and --fixed-runs must be at least 1")

    velk = os.path.abspath(args.velk)
    kylgwd = os.path.abspath(args.kylgwd)
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    for tool in ("tar", "bsdtar", "diff", "cmp", "dd"):
        if not shutil.which(tool):
            log("bench: %s is not installed" % tool)
            return 2

    if args.smoke:
        nruns, fixed_runs, dsets = 1, 3, [SMOKE_DATASET]
    else:
        nruns, fixed_runs = args.runs, args.fixed_runs
        wanted = [d.strip() for d in args.datasets.split(",") if d.strip()]
        unknown = [d for d in wanted if d not in dict(DATASETS)]
        if unknown:
            ap.error("unknown data set(s): %s" % ", ".join(unknown))
        dsets = [d for d in DATASETS if d[0] in wanted]

    notes = []
    caches = Caches(not (args.smoke or args.warm))
    if caches.note:
        notes.append(caches.note)
    if not os.access("/usr/bin/time", os.X_OK):
        notes.append("/usr/bin/time is not installed: peak RSS and block I/O come from wait4()")

    home = os.path.join(work, "home")
    tmp = os.path.join(work, "tmp")
    scratch = tempfile.mkdtemp(prefix="runner.", dir=work)
    for d in (home, tmp):
        os.makedirs(d, exist_ok=True)
    gw = Gateway(kylgwd, os.path.join(work, "kylgwd"), home)
    env = dict(os.environ)
    env.update(gw.env)
    # Where the storage system's files of the user lie, for stand-ins of velk.
    env["BENCH_STORAGE_HOME"] = gw.home
    env["TMPDIR"] = tmp
    env["LC_ALL"] = "C"
    runner = Runner(env, scratch, args.timeout)

    shown = "--smoke" if args.smoke else "--scale %g --datasets %s --runs %d%s" % (
        args.scale, ",".join(d[0] for d in dsets), nruns, " --warm" if args.warm else "")
    report = dict(args=" " + shown,
                  date=time.strftime("%Y-%m-%d %H:%M %Z"), runs=nruns, notes=notes, datasets=[])
    any_failed = False
    try:
        log("bench: machine limits")
        small_limits = args.smoke or args.scale < 1.0
        size_mib = 16 if args.smoke else max(16, int(2048 * args.scale))
        limits, lnotes = measure_limits(work, size_mib, 1 if small_limits else 3,
                                        1 if small_limits else 5, caches)
        report["limits"] = limits
        notes.extend(lnotes)
        for k, v in limits.items():
            log("  %-20s %s" % (k, fmt_bytes_rate(v)))

        log("bench: fixed cost of a velk run")
        report["fixed"] = fixed_cost(runner, caches, velk, work, fixed_runs, args.smoke)
        fc = report["fixed"]
        log("  %s" % ("median %.1f ms" % (fc["median"] * 1e3) if fc["state"] == "ok"
                      else "%s: %s" % (fc["state"].upper(), fc["detail"])))
        any_failed |= fc["state"] == "failed"

        log("bench: sessions per second")
        report["sessions"] = session_rate(runner, velk, work, args.smoke)
        for r in report["sessions"]:
            log("  %s" % ("%d clients: %.1f sessions/s" % (r["clients"], r["rate"]) if r.get("clients")
                          else "FAILED: " + r["detail"]))
        any_failed |= any(r["state"] == "failed" for r in report["sessions"])

        report["machine"] = machine_info(work)
        report["versions"] = {
            "velk": velk_version(gw.log_text()),
            "GNU tar": first_line(["tar", "--version"]),
            "bsdtar": first_line(["bsdtar", "--version"]),
        }

        for kind, title in dsets:
            scale = 1.0 if args.smoke else args.scale
            dsdir = os.path.join(work, "data")
            os.makedirs(dsdir, exist_ok=True)
            log("bench: data set %s (scale %g)" % (kind, scale))
            gen = subprocess.run([sys.executable, os.path.join(HERE, "gen_dataset.py"), "--kind", kind,
                                  "--scale", repr(scale), "--out", os.path.join(dsdir, kind)],
                                 capture_output=True, check=True)
            meta = json.loads(gen.stdout.decode().strip().splitlines()[-1])
            ds = dict(meta, kind=kind, title=title, name=kind, parent=dsdir, table=ROWS)
            ds["rows"] = run_rows(ds, ROWS, runner, caches, nruns, velk, work, gw.home)
            any_failed |= any(r["state"] == "failed" for r in ds["rows"])
            report["datasets"].append(ds)
            if not args.keep_data:
                shutil.rmtree(os.path.join(dsdir, kind), ignore_errors=True)
                try:
                    os.unlink(os.path.join(dsdir, kind) + ".stamp")
                except OSError:
                    pass
        if dsets and not args.smoke:
            # The disk again at the end: a long run can see it slow down.
            log("bench: disk limits at the end")
            report["limits_end"], lnotes = measure_disk(work, size_mib, 1 if small_limits else 3, caches)
            for k, v in report["limits_end"].items():
                log("  %-20s %s" % (k, fmt_bytes_rate(v)))
    finally:
        gw.stop()
        shutil.rmtree(scratch, ignore_errors=True)

    with open(args.results, "w") as f:
        f.write(render(report))
    with open(os.path.splitext(args.results)[0] + ".json", "w") as f:
        json.dump({k: v for k, v in report.items() if k != "datasets"} |
                  {"datasets": [{k: v for k, v in d.items() if k != "table"} for d in report["datasets"]]},
                  f, indent=1)
    log("bench: wrote %s" % args.results)

    all_rows = [dict(report["fixed"], where="fixed cost")] + [
        dict(r, where=d["kind"]) for d in report["datasets"] for r in d["rows"]]
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
