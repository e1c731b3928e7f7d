#!/usr/bin/env python3
"""Times tarn against cp -a, rsync -a and rclone copy on generated trees.

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
    ("tarn_sync_again", "tarn mode=sync (unchanged)", "tarn_sync", "tarn"),
    ("rsync_again", "rsync -a (unchanged)", "rsync", "rsync"),
]
LABEL = {c[0]: c[1] for c in COMMANDS}
SHORT = {"cp_a": "cp -a", "rsync": "rsync -a", "rclone": "rclone",
         "rsyncd": "rsync daemon", "rsync_again": "rsync -a unchanged"}

# (tree, tarn command, peer command, most allowed ratio) for the goals.
GOALS = [
    ("large", "tarn_cp", "cp_a", 1.05),
    ("small", "tarn_cp", "cp_a", 1.0),
    ("small", "tarn_cp", "rsync", 0.7),
    ("small", "tarn_sync", "rsync", 0.7),
    ("small", "tarn_sync_again", "rsync_again", 0.5),
]


def say(*a):
    print(*a, flush=True)


class Rsyncd:
    """An rsync daemon on 127.0.0.1 serving DIR as module "bench"; started
    and ended by this script only (by its pid)."""

    def __init__(self, work, root):
        self.root = root
        os.makedirs(root, exist_ok=True)
        self.conf = os.path.join(work, "rsyncd.conf")
        lines = ["use chroot = no", "munge symlinks = no",
                 "[bench]", "path = %s" % root,
                 "read only = no"]
        if os.getuid() == 0:
            lines += ["uid = 0", "gid = 0"]
        with open(self.conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        self.port = s.getsockname()[1]
        s.close()
        self.log = open(os.path.join(work, "rsyncd.log"), "w")
        self.proc = subprocess.Popen(
            ["rsync", "--daemon", "--no-detach", "--config=" + self.conf,
             "--address=127.0.0.1", "--port=%d" % self.port],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        for _ in range(100):
            if self.proc.poll() is not None:
                break
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("rsync daemon did not start (see %s)"
                           % self.log.name)

    def url(self, rel):
        return "rsync://127.0.0.1:%d/bench/%s/" % (self.port, rel)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


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
for line in sys.stdin:
    parts = line.rstrip('\n').split('\0')
    logpath, argv = parts[0], parts[1:]
    acts = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
            (os.POSIX_SPAWN_OPEN, 1, logpath,
             os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
            (os.POSIX_SPAWN_DUP2, 1, 2)]
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
        if any("\0" in w or "\n" in w for w in argv + [logpath]):
            raise ValueError("argument holds a NUL or a line feed")
        self.proc.stdin.write("\0".join([logpath] + argv) + "\n")
        self.proc.stdin.flush()
        wall, rc, rss = self.proc.stdout.readline().split()
        return float(wall), int(rc), int(rss)

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
    def __init__(self, args, name, src, cmds, rsyncd, launcher):
        self.a = args
        self.launcher = launcher
        self.name = name
        self.src = src
        self.cmds = cmds
        self.rsyncd = rsyncd
        self.dst_root = os.path.join(args.work, "dst", name)
        self.trash = os.path.join(args.work, "trash")
        self.logs = os.path.join(args.work, "logs")
        self.times = {c[0]: [] for c in COMMANDS if c[0] in cmds}
        self.rss = {c[0]: [] for c in COMMANDS if c[0] in cmds}
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
        t = self.a.tarn_base if key.startswith("base") else self.a.tarn
        if key in ("tarn_cp", "base_cp"):
            return [t, "mode=cp", "if=" + self.src, "of=" + dst] + \
                self.a.tarn_arg
        if key in ("tarn_sync", "tarn_sync_again", "base_sync"):
            return [t, "mode=sync", "if=" + self.src, "of=" + dst] + \
                self.a.tarn_arg
        if key == "cp_a":
            return ["cp", "-a", self.src, dst]
        if key in ("rsync", "rsync_again"):
            return ["rsync", "-a", self.src + "/", dst + "/"]
        if key == "rclone":
            return ["rclone", "copy", "--transfers", "4", self.src, dst]
        if key == "rsyncd":
            return ["rsync", "-a", self.src + "/",
                    self.rsyncd.url(os.path.relpath(dst, self.rsyncd.root))]
        raise KeyError(key)

    def run(self):
        os.makedirs(self.dst_root, exist_ok=True)
        os.makedirs(self.logs, exist_ok=True)
        fresh = [c for c in COMMANDS if c[2] == "fresh"]
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
                wall, rc, rss = self.launcher.timed(self.argv(key, dst), log)
                if rc != 0:
                    self.failed[key] = "exit status %d in round %d (see %s)" \
                        % (rc, rnd + 1, log)
                    say("  %s failed: %s" % (LABEL[key], self.failed[key]))
                    continue
                self.times[key].append(wall)
                self.rss[key].append(rss)
                if rnd == 0 and key in ("tarn_cp", "tarn_sync",
                                        "tarn_sync_again"):
                    self.check(key, dst)
            say("  round %d/%d done" % (rnd + 1, self.a.reps))

    def check(self, key, dst):
        """A timing of a wrong copy means nothing: compare the first copy of
        each tarn command with the source (untimed)."""
        diffs = compare(self.src, dst, key == "tarn_cp",
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
        tarns = [t for t in ("tarn_cp", "tarn_sync") if t in self.cmds]
        if tarns and peers:
            say("")
            say("  ratios tarn / peer (median / median):")
            say("  %-30s" % "" + "".join("%14s" % SHORT[p] for p in peers))
            for t in tarns:
                say("  %-30s" % LABEL[t] + "".join(
                    "%14s" % fmt_ratio(self.ratio(t, p)) for p in peers))
        for t, b in (("tarn_cp", "base_cp"), ("tarn_sync", "base_sync")):
            r = self.pair_ratio(t, b)
            if r is not None:
                say("  %-30s %13s  (against the base tarn, median of the "
                    "rounds' ratios)" % (LABEL[t], fmt_ratio(r)))
        if "tarn_sync_again" in self.cmds and "rsync_again" in self.cmds:
            say("  %-30s %13s  (against rsync -a unchanged)"
                % (LABEL["tarn_sync_again"],
                   fmt_ratio(self.ratio("tarn_sync_again", "rsync_again"))))
        goals = [g for g in GOALS if g[0] == self.name and g[1] in self.cmds
                 and g[2] in self.cmds]
        if goals:
            say("")
            say("  goals (one run; a difference under 1.5x is not a result):")
            for _, t, p, lim in goals:
                r = self.ratio(t, p)
                verdict = "n/a" if r is None else (
                    "met" if r <= lim else "MISSED")
                say("    %-28s <= %.2f x %-20s %6s  %s" % (
                    LABEL[t], lim, SHORT[p], fmt_ratio(r), verdict))
        for n in self.notes:
            say("  note: " + n)

    def record(self):
        return {"tree": self.name, "src": self.src, "reps": self.a.reps,
                "times": self.times, "rss_kib": self.rss,
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
    ap.add_argument("--no-tarn", action="store_true",
                    help="time the peers only")
    ap.add_argument("--rsyncd", action="store_true",
                    help="also time rsync -a to an rsync daemon on loopback")
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
    if not a.rsyncd:
        cmds.discard("rsyncd")
    skipped = []
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
    if a.tarn_base and os.access(a.tarn_base, os.X_OK) and not a.no_tarn:
        a.tarn_base = os.path.abspath(a.tarn_base)
    else:
        if a.tarn_base:
            skipped.append("base tarn: not found at %s" % a.tarn_base)
        cmds -= {"base_cp", "base_sync"}
    for prog, keys in (("cp", ["cp_a"]), ("rsync", ["rsync", "rsync_again",
                                                    "rsyncd"]),
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
    rsyncd = None
    code = 0
    launcher = Launcher()
    say("peak RSS figures have a floor of %.1f MiB (the launcher's own)"
        % (launcher.floor_kib / 1024.0))
    try:
        if "rsyncd" in cmds:
            rsyncd = Rsyncd(a.work, os.path.join(a.work, "dst"))
        for t in trees:
            src = gen.ensure_tree(src_dir, t, a.quick, log=say)
            say("tree %s: warming the page cache ..." % t)
            warm(src)
            os.sync()
            tb = TreeBench(a, t, src, cmds, rsyncd, launcher)
            tb.run()
            tb.report()
            results.append(tb.record())
            if any(k.startswith(("tarn", "base")) for k in tb.failed) or tb.notes:
                code = 2
    except KeyboardInterrupt:
        say("interrupted")
        code = 130
    finally:
        launcher.close()
        if rsyncd is not None:
            rsyncd.stop()
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
