#!/usr/bin/env python3
"""Times tarn against cp -a, rsync -a and rclone copy on generated trees, and
(with --remote) tarn through a wysd server against rsync through an rsync
daemon, both on loopback, both ways.

All commands of a tree run in one process run, alternating (one round of every
command, then the next round), and the table shows medians and ratios.
Timings are taken with a hot page cache: nothing is dropped from the cache,
the source is read once before the first round, and dirty pages are flushed
(sync, untimed) before each command so that no command pays for the write-back
of the one before it.

A destination is never deleted right before a run: the old one is renamed into
a trash folder on the same file system, and the trash is deleted after the last
run, because deleting a tree and at once creating a new one is very slow on the
file systems we measure on.

See bench/README.md for the goals and the traps.
"""

import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_TARN = os.path.join(REPO, "build/release/src/opt/tarn/tarn")
DEFAULT_WYSD = os.path.join(REPO, "build/release/src/opt/wysd/wysd")

# (key, label, kind of destination, program); "fresh" commands write into a
# destination that does not exist yet, "again" commands re-run over the
# destination of the named fresh command in the same round.
COMMANDS = [
    ("tarn_cp", "tarn mode=cp", "fresh", "tarn"),
    ("base_cp", "base tarn mode=cp", "fresh", "base"),
    ("cp_a", "cp -a", "fresh", "cp"),
    ("tarn_sync", "tarn mode=sync (first)", "fresh", "tarn"),
    ("base_sync", "base tarn mode=sync (first)", "fresh", "base"),
    ("rsync", "rsync -a (first)", "fresh", "rsync"),
    ("rclone", "rclone copy --transfers 4", "fresh", "rclone"),
    ("rsyncd", "rsync -a to loopback daemon", "fresh", "rsyncd"),
    ("wyp_push_lz4", "tarn cp to wysd pack=lz4", "fresh", "wysd"),
    ("wyp_push_none", "tarn cp to wysd pack=none", "fresh", "wysd"),
    ("rsyncd_pull", "rsync -a from loopback daemon", "fresh", "rsyncd"),
    ("wyp_pull_lz4", "tarn cp from wysd pack=lz4", "fresh", "wysd"),
    ("wyp_pull_none", "tarn cp from wysd pack=none", "fresh", "wysd"),
    ("tarn_sync_again", "tarn mode=sync (unchanged)", "tarn_sync", "tarn"),
    ("rsync_again", "rsync -a (unchanged)", "rsync", "rsync"),
]
LABEL = {c[0]: c[1] for c in COMMANDS}
SHORT = {"cp_a": "cp -a", "rsync": "rsync -a", "rclone": "rclone",
         "rsyncd": "rsync daemon", "rsync_again": "rsync -a unchanged",
         "rsyncd_pull": "rsync daemon pull", "wyp_push_lz4": "push lz4",
         "wyp_push_none": "push none", "wyp_pull_lz4": "pull lz4",
         "wyp_pull_none": "pull none"}
# Commands that need a server; each run gets a fresh one (untimed start and
# stop), so that the server's peak memory is that run's.
SERVER_OF = {c[0]: c[3] for c in COMMANDS if c[3] in ("wysd", "rsyncd")}
REMOTE = [k for k in SERVER_OF]
LOCAL = ["tarn_cp", "base_cp", "cp_a", "tarn_sync", "base_sync", "rsync",
         "rclone", "tarn_sync_again", "rsync_again"]

# (tree, tarn command, peer command, most allowed ratio) for the goals.
GOALS = [
    ("large", "tarn_cp", "cp_a", 1.0),
    ("small", "tarn_cp", "cp_a", 0.65),
    ("mixed", "tarn_cp", "cp_a", 0.8),
    ("small", "tarn_cp", "rsync", 0.7),
    ("small", "tarn_sync", "rsync", 0.7),
    ("small", "tarn_sync_again", "rsync_again", 0.5),
]
# Remote goals, as medians of the rounds' ratios: (tree, command, against,
# most allowed ratio).
REMOTE_GOALS = [
    ("small", "wyp_push_lz4", "rsyncd", 0.5),
    ("small", "wyp_push_none", "rsyncd", 0.5),
    ("small", "wyp_pull_lz4", "rsyncd_pull", 0.5),
    ("small", "wyp_pull_none", "rsyncd_pull", 0.5),
    ("large", "wyp_push_none", "rsyncd", 0.5),
    ("large", "wyp_pull_none", "rsyncd_pull", 0.5),
    ("random", "wyp_push_none", "rsyncd", 0.5),
    ("random", "wyp_pull_none", "rsyncd_pull", 0.5),
    ("random", "wyp_push_lz4", "wyp_push_none", 1.10),
    ("random", "wyp_pull_lz4", "wyp_pull_none", 1.10),
]


def say(*a):
    print(*a, flush=True)


# GNU time, when installed, measures the remote rows' peak RSS: a process
# forked by it starts with no carried-over high-water mark, so its floor is
# time's own few MiB instead of the launcher's (see the launcher below).
TIME_PROG = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None


def wait_listening(kind, log, port, seconds=10):
    """The port a server just started listens on, or None after `seconds`:
    wysd's from its listening line in `log`, another's `port` once it
    accepts a connection."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if kind == "wysd":
            with open(log, errors="replace") as f:
                m = re.search(r"wysd listening tcp 127\.0\.0\.1:(\d+)",
                              f.read())
            if m:
                return int(m.group(1))
        else:
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                return port
            except OSError:
                pass
        time.sleep(0.02)
    return None


def rss_wrap(argv, rss_file):
    return [TIME_PROG, "-f", "%M", "-o", rss_file] + argv


def read_rss(rss_file, fallback):
    """Peak RSS in KiB that time(1) wrote (its last line), else fallback."""
    try:
        with open(rss_file) as f:
            lines = f.read().split()
        os.remove(rss_file)
        return int(lines[-1])
    except (OSError, ValueError, IndexError):
        return fallback


def child_of(pid):
    """The first child of pid (waits up to 2 s for it), or 0."""
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline:
        try:
            with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                kids = f.read().split()
            if kids:
                return int(kids[0])
        except OSError:
            return 0
        time.sleep(0.01)
    return 0


class Server:
    """A wysd or an rsync daemon on 127.0.0.1 for one command, serving the
    work directory (so that both the sources under WORK/src and the copies
    under WORK/dst are reachable). Started and stopped through the launcher,
    by its pid: the launcher is its parent, so the daemon's peak RSS (and,
    for the rsync daemon, that of the connection processes it reaped) comes
    from wait4, with the launcher's floor; for wysd VmHWM is read from
    /proc just before it is stopped, which has no floor."""

    def __init__(self, kind, args, launcher, log):
        self.kind = kind
        self.launcher = launcher
        self.log = log
        self.root = args.work
        if kind == "wysd":
            # Plain TCP only: the TLS listener would take port 6686 and
            # write its key into the working directory (bench/tls.py times TLS).
            argv = [args.wysd, "root=" + self.root, "port=0", "tls_port=off",
                    "listen=127.0.0.1", "level=info"] + args.wysd_arg
        else:
            conf = os.path.join(args.work, "rsyncd.conf")
            lines = ["use chroot = no", "munge symlinks = no",
                     "[bench]", "path = %s" % self.root, "read only = no"]
            if os.getuid() == 0:
                lines += ["uid = 0", "gid = 0"]
            with open(conf, "w") as f:
                f.write("\n".join(lines) + "\n")
            sk = socket.socket()
            sk.bind(("127.0.0.1", 0))
            self.port = sk.getsockname()[1]
            sk.close()
            argv = ["rsync", "--daemon", "--no-detach", "--config=" + conf,
                    "--address=127.0.0.1", "--port=%d" % self.port]
        self.rss_file = None
        if kind == "rsyncd" and TIME_PROG:
            # Under time(1): its fork has no high-water mark carried over,
            # so the daemon's figure (with the connection processes it
            # reaped) has time's floor, about 2 MiB, not the launcher's.
            self.rss_file = log + ".rss"
            argv = rss_wrap(argv, self.rss_file)
        self.pid = launcher.start(argv, log)
        if self.pid <= 0:
            raise RuntimeError("%s did not start (see %s)" % (kind, log))
        self.target = None
        if self.rss_file:
            self.target = child_of(self.pid)
            if not self.target:
                launcher.stop(self.pid)
                raise RuntimeError("%s did not start (see %s)" % (kind, log))
        port = wait_listening(kind, log, getattr(self, "port", 0))
        if port:
            self.port = port
            return
        self.stop()
        raise RuntimeError("%s did not start in time (see %s)" % (kind, log))

    def url(self, path, pack=None):
        """URL of `path` (under the work directory) on this server."""
        rel = os.path.relpath(path, self.root)
        if self.kind == "wysd":
            return "wyp://127.0.0.1:%d/%s?pack=%s" % (self.port, rel, pack)
        return "rsync://127.0.0.1:%d/bench/%s/" % (self.port, rel)

    def stop(self):
        """Stops the server; returns (its peak RSS in KiB, exit status,
        and for wysd the sums of its connection lines)."""
        hwm, rc, rss = self.launcher.stop(self.pid, self.target)
        if self.rss_file:
            rss = read_rss(self.rss_file, rss)
        conns = reqs = nin = nout = 0
        if self.kind == "wysd":
            with open(self.log, errors="replace") as f:
                for m in re.finditer(r"requests=(\d+) in=(\d+) out=(\d+)",
                                     f.read()):
                    conns += 1
                    reqs += int(m.group(1))
                    nin += int(m.group(2))
                    nout += int(m.group(3))
        peak = hwm if self.kind == "wysd" and hwm > 0 else rss
        return peak, rc, dict(conns=conns, requests=reqs, bytes_in=nin,
                              bytes_out=nout)


# The timed commands are started by a small helper process rather than by
# this script: a child's peak RSS as the kernel reports it is never below the
# RSS of the process that forked it (the high-water mark survives exec), and
# this script holds tens of MiB. The helper stays at a few MiB, which is the
# floor printed with the table. It also takes the wall time itself, so no
# pipe round trip is timed.
LAUNCHER = r"""
import os, sys, time
out = sys.stdout
hwm = [l for l in open('/proc/self/status') if l.startswith('VmHWM:')]
out.write('%d\n' % (int(hwm[0].split()[1]) if hwm else 0))
out.flush()
def hwm_of(pid):
    try:
        for l in open('/proc/%d/status' % pid):
            if l.startswith('VmHWM:'):
                return int(l.split()[1])
    except OSError:
        pass
    return 0
for line in sys.stdin:
    parts = line.rstrip('\n').split('\0')
    op = parts[0]
    if op == 'K':
        # Stop a started server by its pid: its VmHWM first, then SIGTERM,
        # at most 10 s for it to end, then SIGKILL. The signal goes to the
        # target pid when one is given (a server started under a wrapper
        # that does not pass signals on; the wrapper ends after it).
        pid = int(parts[1])
        target = int(parts[2]) if len(parts) > 2 else pid
        hwm = hwm_of(target)
        os.kill(target, 15)
        end = time.monotonic() + 10
        while True:
            got, status, ru = os.wait4(pid, os.WNOHANG)
            if got == pid:
                break
            if time.monotonic() > end:
                os.kill(target, 9)
                if target != pid:
                    os.kill(pid, 9)
                _, status, ru = os.wait4(pid, 0)
                break
            time.sleep(0.005)
        out.write('%d %d %d\n' % (hwm, os.waitstatus_to_exitcode(status),
                                   ru.ru_maxrss))
        out.flush()
        continue
    logpath, argv = parts[1], parts[2:]
    acts = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
            (os.POSIX_SPAWN_OPEN, 1, logpath,
             os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
            (os.POSIX_SPAWN_DUP2, 1, 2)]
    if op == 'S':
        # Start a server and leave it running.
        try:
            pid = os.posix_spawnp(argv[0], argv, os.environ,
                                  file_actions=acts)
        except OSError:
            pid = 0
        out.write('%d\n' % pid)
        out.flush()
        continue
    t0 = time.perf_counter()
    try:
        pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=acts)
    except OSError as e:
        out.write('0 127 0\n')
        out.flush()
        continue
    _, status, ru = os.wait4(pid, 0)
    wall = time.perf_counter() - t0
    out.write('%.6f %d %d\n' % (wall, os.waitstatus_to_exitcode(status),
                                 ru.ru_maxrss))
    out.flush()
"""


class Launcher:
    """Runs commands one at a time in the helper process above."""

    def __init__(self):
        self.proc = subprocess.Popen(
            [sys.executable, "-S", "-E", "-c", LAUNCHER],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.floor_kib = int(self.proc.stdout.readline())

    def timed(self, argv, logpath):
        """Runs argv with its output in logpath; returns (wall seconds, exit
        status, peak RSS in KiB) from the child's own resource usage."""
        wall, rc, rss = self.ask(["R", logpath] + argv).split()
        return float(wall), int(rc), int(rss)

    def ask(self, words):
        if any("\0" in w or "\n" in w for w in words):
            raise ValueError("argument holds a NUL or a line feed")
        self.proc.stdin.write("\0".join(words) + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline()

    def start(self, argv, logpath):
        """Starts argv (a server) with its output in logpath and leaves it
        running; returns its pid, 0 when it could not be started."""
        return int(self.ask(["S", logpath] + argv))

    def stop(self, pid, target=None):
        """Stops a started process (SIGTERM to it or to `target`, SIGKILL
        after 10 s); returns (VmHWM in KiB of the one signalled just before
        the signal, exit status, peak RSS in KiB from wait4)."""
        hwm, rc, rss = self.ask(["K", str(pid)] + (
            [str(target)] if target else [])).split()
        return int(hwm), int(rc), int(rss)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def warm(root):
    """Reads every file once so that the timed runs find the source in the
    page cache (we measure hot cache)."""
    for top, _, names in os.walk(root):
        for n in names:
            p = os.path.join(top, n)
            if os.path.islink(p):
                continue
            with open(p, "rb") as f:
                while f.read(1 << 20):
                    pass


def compare(src, dst, touch_dirs, content):
    """Differences between the source and a tarn copy: names, kinds, sizes,
    file modes and write times, link targets; directory times and empty
    directories only when the mode makes them (cp)."""
    def norm(entries):
        out = {}
        for rel, kind, size, mode, mtime, extra in entries:
            if kind == "d" and not touch_dirs:
                mtime = 0
            out[rel] = (kind, size, mode, mtime, extra)
        return out
    a = norm(gen.listing(src, content))
    b = norm(gen.listing(dst, content))
    # Sync creates destination directories only as parents of the files it
    # writes, so a source directory with no file below it has no copy.
    has_files = set()
    if not touch_dirs:
        for rel, (kind, *_rest) in a.items():
            if kind != "d":
                parent = os.path.dirname(rel)
                while parent and parent not in has_files:
                    has_files.add(parent)
                    parent = os.path.dirname(parent)
    diffs = []
    for rel in sorted(set(a) | set(b)):
        if rel not in b and not touch_dirs and a[rel][0] == "d" and rel not in has_files:
            continue
        if rel not in b:
            diffs.append("missing %s" % rel)
        elif rel not in a:
            diffs.append("extra %s" % rel)
        elif a[rel] != b[rel]:
            fields = ("kind", "size", "mode", "mtime", "link/content")
            diffs.append("%s: %s" % (rel, ", ".join(
                "%s %s vs %s" % (f, x, y) for f, x, y in
                zip(fields, a[rel], b[rel]) if x != y)))
    return diffs


def fmt_ratio(x):
    return "%.2f" % x if x is not None else "-"


class TreeBench:
    def __init__(self, args, name, src, cmds, launcher):
        self.a = args
        self.launcher = launcher
        self.name = name
        self.src = src
        self.cmds = cmds
        self.srv = None
        self.dst_root = os.path.join(args.work, "dst", name)
        self.trash = os.path.join(args.work, "trash")
        self.logs = os.path.join(args.work, "logs")
        self.times = {c[0]: [] for c in COMMANDS if c[0] in cmds}
        self.rss = {c[0]: [] for c in COMMANDS if c[0] in cmds}
        # Remote commands: the server's peak RSS (KiB) and, for wysd, its
        # connection counts, per round.
        self.srv_rss = {k: [] for k in REMOTE if k in cmds}
        self.srv_io = {k: [] for k in REMOTE if k in cmds}
        self.failed = {}
        self.notes = []
        self.ntrash = 0

    def to_trash(self, path):
        if os.path.lexists(path):
            self.ntrash += 1
            os.rename(path, os.path.join(
                self.trash, "%s.%s.%d" % (self.name, os.path.basename(path),
                                          self.ntrash)))

    def argv(self, key, dst):
        base = key.startswith("base")
        t = self.a.tarn_base if base else self.a.tarn
        extra = self.a.tarn_arg + (self.a.base_arg if base else [])
        if key in ("tarn_cp", "base_cp"):
            return [t, "mode=cp", "if=" + self.src, "of=" + dst] + extra
        if key in ("tarn_sync", "tarn_sync_again", "base_sync"):
            return [t, "mode=sync", "if=" + self.src, "of=" + dst] + extra
        if key == "cp_a":
            return ["cp", "-a", self.src, dst]
        if key in ("rsync", "rsync_again"):
            return ["rsync", "-a", self.src + "/", dst + "/"]
        if key == "rclone":
            return ["rclone", "copy", "--transfers", "4", self.src, dst]
        if key == "rsyncd":
            return ["rsync", "-a", self.src + "/", self.srv.url(dst)]
        if key == "rsyncd_pull":
            return ["rsync", "-a", self.srv.url(self.src), dst + "/"]
        if key.startswith("wyp_push_"):
            return [self.a.tarn, "mode=cp", "if=" + self.src,
                    "of=" + self.srv.url(dst, key.rsplit("_", 1)[1])] + \
                self.a.tarn_arg
        if key.startswith("wyp_pull_"):
            return [self.a.tarn, "mode=cp",
                    "if=" + self.srv.url(self.src, key.rsplit("_", 1)[1]),
                    "of=" + dst] + self.a.tarn_arg
        raise KeyError(key)

    def run(self):
        try:
            self.rounds()
        finally:
            # Interrupted with a server running: it goes too.
            if self.srv is not None:
                self.srv.stop()
                self.srv = None

    def rounds(self):
        os.makedirs(self.dst_root, exist_ok=True)
        os.makedirs(self.logs, exist_ok=True)
        fresh = [c for c in COMMANDS if c[2] == "fresh" and c[0] in self.cmds]
        again = [c for c in COMMANDS if c[2] != "fresh"]
        for rnd in range(self.a.reps):
            # Each round starts with another command: the first command of a
            # round runs right after the previous round's copies were moved
            # to the trash and pays for it, so no command may always be first.
            # Every other round runs backwards, so no command always follows
            # the same one either: a command run right after rclone was
            # measured twice as slow as the same binary elsewhere.
            k = rnd % len(fresh)
            order = fresh[k:] + fresh[:k]
            if rnd % 2:
                order.reverse()
            for key, _, dkind, _ in order + again:
                if key not in self.cmds or key in self.failed:
                    continue
                if dkind == "fresh":
                    dst = os.path.join(self.dst_root, key)
                    self.to_trash(dst)
                else:
                    if dkind in self.failed or dkind not in self.cmds:
                        continue
                    dst = os.path.join(self.dst_root, dkind)
                if not self.a.no_flush:
                    os.sync()
                log = os.path.join(self.logs, "%s.%s.log" % (self.name, key))
                if key in SERVER_OF:
                    # A fresh server for every run (untimed): its peak RSS
                    # is then this run's.
                    kind = SERVER_OF[key]
                    try:
                        self.srv = Server(kind, self.a, self.launcher,
                                          log[:-4] + "." + kind + ".log")
                    except RuntimeError as e:
                        self.failed[key] = str(e)
                        say("  %s failed: %s" % (LABEL[key], e))
                        continue
                argv = self.argv(key, dst)
                rss_file = None
                if key in SERVER_OF and TIME_PROG:
                    rss_file = log + ".rss"
                    argv = rss_wrap(argv, rss_file)
                wall, rc, rss = self.launcher.timed(argv, log)
                if rss_file:
                    rss = read_rss(rss_file, rss)
                if key in SERVER_OF:
                    peak, src_rc, io = self.srv.stop()
                    self.srv = None
                    if SERVER_OF[key] == "wysd" and src_rc != 0:
                        self.notes.append("%s: wysd ended with status %d on "
                                          "SIGTERM in round %d" %
                                          (LABEL[key], src_rc, rnd + 1))
                    if rc == 0:
                        self.srv_rss[key].append(peak)
                        self.srv_io[key].append(io)
                if rc != 0:
                    self.failed[key] = "exit status %d in round %d (see %s)" \
                        % (rc, rnd + 1, log)
                    say("  %s failed: %s" % (LABEL[key], self.failed[key]))
                    continue
                self.times[key].append(wall)
                self.rss[key].append(rss)
                if rnd == 0 and (key in ("tarn_cp", "tarn_sync",
                                         "tarn_sync_again")
                                 or key in SERVER_OF):
                    self.check(key, dst)
            say("  round %d/%d done" % (rnd + 1, self.a.reps))

    def check(self, key, dst):
        """A timing of a wrong copy means nothing: compare the first copy of
        each tarn command with the source (untimed)."""
        diffs = compare(self.src, dst, key == "tarn_cp" or key in SERVER_OF,
                        self.a.verify_content)
        if diffs:
            note = "%s: the copy differs from the source in %d entries, " \
                   "e.g. %s" % (LABEL[key], len(diffs), "; ".join(diffs[:3]))
            self.notes.append(note)
            say("  WARNING " + note)
            say("  (source %s, copy %s)" % (self.src, dst))

    def median(self, key):
        v = self.times.get(key)
        return statistics.median(v) if v else None

    def ratio(self, a, b):
        ma, mb = self.median(a), self.median(b)
        if ma is None or mb is None or mb <= 0:
            return None
        return ma / mb

    def pair_ratio(self, a, b):
        """Median of the per-round ratios a/b: the machine's speed drifts
        within a run, and the two ran side by side in every round."""
        ta, tb = self.times.get(a), self.times.get(b)
        if not ta or not tb or len(ta) != len(tb):
            return None
        return statistics.median(x / y for x, y in zip(ta, tb) if y > 0)

    def report(self):
        say("")
        say("tree %s (%s): medians of %d rounds, hot page cache (nothing "
            "dropped), dirty pages flushed before each command: %s"
            % (self.name, self.src, self.a.reps,
               "no" if self.a.no_flush else "yes"))
        if self.a.quick:
            say("  (quick trees: a smoke run of the kit, the figures mean "
                "nothing)")
        say("  %-30s %9s %9s %9s %12s" % ("command", "median s", "min s",
                                           "max s", "peak RSS MiB"))
        for key, label, _, _ in COMMANDS:
            if key not in self.cmds:
                continue
            v = self.times[key]
            if not v:
                say("  %-30s %s" % (label, "FAILED: " + self.failed.get(
                    key, "no run")))
                continue
            say("  %-30s %9.3f %9.3f %9.3f %12.1f%s" % (
                label, statistics.median(v), min(v), max(v),
                max(self.rss[key]) / 1024.0,
                "  (%d of %d runs)" % (len(v), self.a.reps)
                if len(v) != self.a.reps else ""))
        peers = [p for p in ("cp_a", "rsync", "rclone", "rsyncd")
                 if p in self.cmds]
        tarns = [t for t in ("tarn_cp", "base_cp", "tarn_sync", "base_sync")
                 if t in self.cmds]
        if tarns and peers:
            say("")
            say("  ratios tarn / peer (median of the rounds' ratios):")
            say("  %-30s" % "" + "".join("%14s" % SHORT[p] for p in peers))
            for t in tarns:
                say("  %-30s" % LABEL[t] + "".join(
                    "%14s" % fmt_ratio(self.pair_ratio(t, p))
                    for p in peers))
        for t, b in (("tarn_cp", "base_cp"), ("tarn_sync", "base_sync")):
            r = self.pair_ratio(t, b)
            if r is not None:
                say("  %-30s %13s  (against the base tarn, median of the "
                    "rounds' ratios)" % (LABEL[t], fmt_ratio(r)))
        if "tarn_sync_again" in self.cmds and "rsync_again" in self.cmds:
            say("  %-30s %13s  (against rsync -a unchanged)"
                % (LABEL["tarn_sync_again"],
                   fmt_ratio(self.pair_ratio("tarn_sync_again", "rsync_again"))))
        goals = [g for g in GOALS if g[0] == self.name and g[1] in self.cmds
                 and g[2] in self.cmds]
        if goals:
            say("")
            say("  goals (one run; a difference under 1.5x is not a result):")
            for _, t, p, lim in goals:
                r = self.pair_ratio(t, p)
                verdict = "n/a" if r is None else (
                    "met" if r <= lim else "MISSED")
                say("    %-28s <= %.2f x %-20s %6s  %s" % (
                    LABEL[t], lim, SHORT[p], fmt_ratio(r), verdict))
        self.report_remote()
        for n in self.notes:
            say("  note: " + n)

    def report_remote(self):
        rows = [k for k in REMOTE if k in self.cmds and self.times[k]]
        if not rows:
            return
        ndirs, nfiles, nbytes = self.counts()
        say("")
        say("  remote (%d directories, %d files, %.1f MB; a fresh server for "
            "every run): peak RSS of the client (%s) and of the server "
            "(wysd: VmHWM; rsync daemon: %s, with its connection "
            "processes), wysd's requests and wire bytes summed over its "
            "connections (medians)" % (
                ndirs, nfiles, nbytes / 1e6,
                "time(1), floor %.1f MiB" % (self.a.time_floor / 1024.0)
                if TIME_PROG else "wait4", "time(1)" if TIME_PROG
                else "wait4"))
        say("  %-30s %9s %9s %9s %9s %8s %8s %9s" % (
            "command", "median s", "cli MiB", "srv MiB", "requests",
            "req/dir", "req/file", "wire/data"))
        for k in rows:
            io = self.srv_io[k]
            med = (lambda f: statistics.median(f(x) for x in io)) \
                if io and io[0]["conns"] else None
            reqs = med(lambda x: x["requests"]) if med else None
            wire = med(lambda x: x["bytes_in"] + x["bytes_out"]) if med \
                else None
            say("  %-30s %9.3f %9.1f %9.1f %9s %8s %8s %9s" % (
                LABEL[k], statistics.median(self.times[k]),
                max(self.rss[k]) / 1024.0,
                max(self.srv_rss[k]) / 1024.0 if self.srv_rss[k] else 0,
                "%d" % reqs if reqs is not None else "-",
                "%.1f" % (reqs / max(ndirs, 1)) if reqs is not None else "-",
                "%.2f" % (reqs / max(nfiles, 1)) if reqs is not None
                else "-",
                "%.3f" % (wire / max(nbytes, 1)) if wire is not None
                else "-"))
        pairs = [(x, y, self.pair_ratio(x, y)) for x, y in (
            ("wyp_push_lz4", "rsyncd"), ("wyp_push_none", "rsyncd"),
            ("wyp_pull_lz4", "rsyncd_pull"), ("wyp_pull_none", "rsyncd_pull"),
            ("wyp_push_lz4", "wyp_push_none"),
            ("wyp_pull_lz4", "wyp_pull_none"))]
        pairs = [p for p in pairs if p[2] is not None]
        if pairs:
            say("")
            say("  remote ratios (median of the rounds' ratios):")
        for x, y, r in pairs:
            say("    %-28s / %-28s %6s" % (LABEL[x], LABEL[y], fmt_ratio(r)))
        goals = [g for g in REMOTE_GOALS if g[0] == self.name and
                 g[1] in self.cmds and g[2] in self.cmds]
        if goals:
            say("  remote goals (median of the rounds' ratios):")
            for _, t, p, lim in goals:
                r = self.pair_ratio(t, p)
                verdict = "n/a" if r is None else (
                    "met" if r <= lim else "MISSED")
                say("    %-28s <= %.2f x %-28s %6s  %s" % (
                    LABEL[t], lim, LABEL[p], fmt_ratio(r), verdict))

    def counts(self):
        ndirs = nfiles = nbytes = 0
        for top, dnames, fnames in os.walk(self.src):
            ndirs += 1
            for n in fnames:
                st = os.lstat(os.path.join(top, n))
                nfiles += 1
                nbytes += st.st_size
        return ndirs, nfiles, nbytes

    def record(self):
        return {"tree": self.name, "src": self.src, "reps": self.a.reps,
                "times": self.times, "rss_kib": self.rss,
                "server_rss_kib": self.srv_rss, "server_io": self.srv_io,
                "failed": self.failed, "notes": self.notes}


def main():
    ap = argparse.ArgumentParser(
        description="Time tarn against cp -a, rsync -a and rclone copy "
        "(hot page cache, alternating commands, medians).")
    ap.add_argument("--tarn", default=DEFAULT_TARN,
                    help="tarn program (default %(default)s)")
    ap.add_argument("--work", default="/tmp/tarn_bench",
                    help="work directory for trees and copies "
                    "(default %(default)s)")
    ap.add_argument("--trees", default="small,large,mixed")
    ap.add_argument("--reps", type=int, default=5,
                    help="rounds of every command (default %(default)s)")
    ap.add_argument("--quick", action="store_true",
                    help="tiny trees for a smoke run (figures mean nothing)")
    ap.add_argument("--tarn-arg", action="append", default=[],
                    metavar="WORD", help="extra word for every tarn run, "
                    "e.g. level=info (repeatable)")
    ap.add_argument("--tarn-base", metavar="PATH",
                    help="another tarn build (say, before a change) timed in "
                    "the same rounds, with the ratios of each round")
    ap.add_argument("--base-arg", action="append", default=[],
                    metavar="WORD", help="extra word for the base tarn only "
                    "(repeatable); without --tarn-base the base is --tarn "
                    "itself, e.g. --base-arg threads=1")
    ap.add_argument("--no-tarn", action="store_true",
                    help="time the peers only")
    ap.add_argument("--rsyncd", action="store_true",
                    help="also time rsync -a to an rsync daemon on loopback")
    ap.add_argument("--remote", action="store_true",
                    help="also time tarn to and from a wysd (pack=lz4 and "
                    "pack=none) and rsync -a to and from an rsync daemon, "
                    "all on loopback")
    ap.add_argument("--no-local", action="store_true",
                    help="leave out the local copies (cp, rsync, rclone, "
                    "tarn between two local trees)")
    ap.add_argument("--wysd", default=DEFAULT_WYSD,
                    help="wysd program (default %(default)s)")
    ap.add_argument("--wysd-arg", action="append", default=[],
                    metavar="WORD", help="extra word for every wysd run "
                    "(repeatable)")
    ap.add_argument("--skip", default="", metavar="KEY,...",
                    help="leave these commands out (e.g. rclone: whatever "
                    "creates files right after it runs slower)")
    ap.add_argument("--no-flush", action="store_true",
                    help="do not sync dirty pages before each command")
    ap.add_argument("--verify-content", action="store_true",
                    help="also compare file contents of tarn's first copies")
    ap.add_argument("--keep", action="store_true",
                    help="keep the destinations of the last round")
    ap.add_argument("--json", metavar="FILE",
                    help="write every raw timing to FILE")
    a = ap.parse_args()
    if a.reps < 1:
        ap.error("--reps must be at least 1")
    trees = [t for t in a.trees.split(",") if t]
    for t in trees:
        gen.tree_shape(t, a.quick)
    a.work = os.path.abspath(a.work)

    cmds = {c[0] for c in COMMANDS}
    if not a.remote:
        cmds -= set(REMOTE)
        if a.rsyncd:
            cmds.add("rsyncd")
    if a.no_local:
        cmds -= set(LOCAL)
    skipped = []
    for key in [k for k in a.skip.split(",") if k]:
        if key not in LABEL:
            ap.error("--skip: no command %s (one of %s)"
                     % (key, ", ".join(c[0] for c in COMMANDS)))
        cmds.discard(key)
    tarn_version = None
    if not a.no_tarn:
        if not (os.path.isfile(a.tarn) and os.access(a.tarn, os.X_OK)):
            skipped.append("tarn: not found at %s (build it, or --tarn)"
                           % a.tarn)
            a.no_tarn = True
        else:
            a.tarn = os.path.abspath(a.tarn)
            r = subprocess.run([a.tarn, "-v"], capture_output=True, text=True)
            tarn_version = r.stdout.strip()
    if a.no_tarn:
        cmds -= {"tarn_cp", "tarn_sync", "tarn_sync_again"}
        cmds -= {k for k in REMOTE if SERVER_OF[k] == "wysd"}
    if cmds & {k for k in REMOTE if SERVER_OF[k] == "wysd"}:
        if not (os.path.isfile(a.wysd) and os.access(a.wysd, os.X_OK)):
            skipped.append("wysd: not found at %s (build it, or --wysd)"
                           % a.wysd)
            cmds -= {k for k in REMOTE if SERVER_OF[k] == "wysd"}
        else:
            a.wysd = os.path.abspath(a.wysd)
    if a.base_arg and not a.tarn_base:
        a.tarn_base = a.tarn
    if a.tarn_base and os.access(a.tarn_base, os.X_OK) and not a.no_tarn:
        a.tarn_base = os.path.abspath(a.tarn_base)
    else:
        if a.tarn_base:
            skipped.append("base tarn: not found at %s" % a.tarn_base)
        cmds -= {"base_cp", "base_sync"}
    for prog, keys in (("cp", ["cp_a"]), ("rsync", ["rsync", "rsync_again",
                                                    "rsyncd", "rsyncd_pull"]),
                       ("rclone", ["rclone"])):
        if shutil.which(prog) is None and cmds & set(keys):
            skipped.append("%s: not installed" % prog)
            cmds -= set(keys)

    # Free space: each fresh command leaves one copy per round in the trash
    # until the end.
    os.makedirs(a.work, exist_ok=True)
    src_dir = os.path.join(a.work, "src")
    writers = sum(1 for c in COMMANDS if c[2] == "fresh" and c[0] in cmds)
    need = 0
    for t in trees:
        size = gen.tree_size(t, a.quick)
        stamped = os.path.isfile(gen.tree_dir(src_dir, t, a.quick) + ".stamp")
        need += size * a.reps * writers + (0 if stamped else size)
    vfs = os.statvfs(a.work)
    free = vfs.f_bavail * vfs.f_frsize
    say("work directory %s: %.1f GB free, about %.1f GB needed"
        % (a.work, free / 1e9, need / 1e9))
    if need * 1.1 + (512 << 20) > free:
        say("error: not enough free space; use fewer --reps or --trees, or "
            "another --work")
        return 1

    trash = os.path.join(a.work, "trash")
    if os.path.lexists(trash) or os.path.lexists(os.path.join(a.work, "dst")):
        # Left over from an interrupted run: clear it now and let the file
        # system settle before anything is timed.
        say("removing leftovers of an earlier run ...")
        subprocess.run(["rm", "-rf", trash, os.path.join(a.work, "dst")])
        os.sync()
    os.makedirs(trash)

    say("tarn: %s%s" % (a.tarn if not a.no_tarn else "not timed",
                        " (version %s)" % tarn_version if tarn_version
                        else ""))
    for s in skipped:
        say("skipped " + s)
    if "rclone" in cmds:
        say("note: rclone copy skips symbolic links (it warns about them)")
    say("measuring with a hot page cache: nothing is dropped from the cache")

    results = []
    code = 0
    launcher = Launcher()
    say("peak RSS figures have a floor of %.1f MiB (the launcher's own)"
        % (launcher.floor_kib / 1024.0))
    a.time_floor = 0
    if TIME_PROG and cmds & set(REMOTE):
        # What time(1) reports for a program that does nothing: the floor
        # of the remote rows' figures.
        r = subprocess.run([TIME_PROG, "-f", "%M", "true"],
                           capture_output=True, text=True)
        try:
            a.time_floor = int(r.stderr.split()[-1])
        except (ValueError, IndexError):
            pass
        say("remote rows: peak RSS through time(1), floor %.1f MiB"
            % (a.time_floor / 1024.0))
    try:
        for t in trees:
            src = gen.ensure_tree(src_dir, t, a.quick, log=say)
            say("tree %s: warming the page cache ..." % t)
            warm(src)
            os.sync()
            tb = TreeBench(a, t, src, cmds, launcher)
            tb.run()
            tb.report()
            results.append(tb.record())
            if any(k.startswith(("tarn", "base", "wyp")) for k in tb.failed) \
                    or tb.notes:
                code = 2
    except KeyboardInterrupt:
        say("interrupted")
        code = 130
    finally:
        launcher.close()
        if a.json and results:
            import json
            with open(a.json, "w") as f:
                json.dump({"tarn": a.tarn if not a.no_tarn else None,
                           "tarn_version": tarn_version,
                           "quick": a.quick, "trees": results}, f, indent=1)
        if a.keep:
            say("kept the destinations under %s/dst" % a.work)
        else:
            say("deleting the trash and the destinations ...")
            subprocess.run(["rm", "-rf", os.path.join(a.work, "dst")])
        subprocess.run(["rm", "-rf", trash])
    return code


if __name__ == "__main__":
    sys.exit(main())
