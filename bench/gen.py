#!/usr/bin/env python3
"""Generates the benchmark trees, byte for byte the same on every run.

Each tree is built from a fixed seed with a self-contained random stream, so
two machines (or two runs) get identical names, sizes, contents, modes and
write times. A stamp file beside each tree (NAME.stamp) records what was
built; when it matches, the tree is left alone, because regenerating 1.2 GB
only to get the same bytes again would waste minutes and disturb the
page cache the benchmark relies on.

Usage: gen.py OUTDIR [--trees small,large,mixed,random] [--quick] [--force]
Trees go to OUTDIR/NAME (OUTDIR/NAME-quick with --quick).
"""

import argparse
import os
import random
import shutil
import sys

# Bump when the layout or the content recipe changes: old stamps then no
# longer match and the trees are rebuilt.
GEN_VERSION = 3

KIB = 1024
MIB = 1024 * KIB

# Base write time of every generated entry (2021-01-01 00:00:00 UTC); each
# entry adds a seeded offset so times differ but never change between runs.
BASE_TIME = 1609459200

# Tree recipes. "fanout" is the number of subdirectories per level below the
# root (8 * (1 + 7 * (1 + 6)) = 400 directories for the small tree).
TREES = {
    "small": dict(seed=101, fanout=[8, 7, 6], files=20000,
                  file_min=100, file_max=16 * KIB, big=0, big_min=0,
                  big_max=0, links=0, empty_dirs=0),
    "large": dict(seed=202, fanout=[], files=0, file_min=0, file_max=0,
                  big=6, big_min=200 * MIB, big_max=200 * MIB, links=0,
                  empty_dirs=0),
    "mixed": dict(seed=303, fanout=[6, 4, 3], files=5000,
                  file_min=1 * KIB, file_max=64 * KIB, big=20,
                  big_min=1 * MIB, big_max=20 * MIB, links=12,
                  empty_dirs=6),
    # Incompressible only: what packing costs when it cannot win anything.
    "random": dict(seed=404, fanout=[], files=0, file_min=0, file_max=0,
                   big=3, big_min=256 * MIB, big_max=256 * MIB, links=0,
                   empty_dirs=0, all_random=1),
}

# Tiny versions for a smoke run: same shape, a few MB in all.
QUICK = {
    "small": dict(fanout=[3, 2], files=300),
    "large": dict(big=2, big_min=8 * MIB, big_max=8 * MIB),
    "mixed": dict(fanout=[3, 2], files=150, big=3, big_max=3 * MIB,
                  links=6, empty_dirs=3),
    "random": dict(big=2, big_min=8 * MIB, big_max=8 * MIB),
}


class Stream:
    """Seeded random stream; uses only getrandbits so the sequence depends on
    the Mersenne Twister alone, not on how a Python release implements
    randrange or choice."""

    def __init__(self, seed):
        self.r = random.Random(seed)

    def below(self, n):
        """Uniform integer in [0, n)."""
        if n <= 1:
            return 0
        k = n.bit_length()
        while True:
            v = self.r.getrandbits(k)
            if v < n:
                return v

    def between(self, lo, hi):
        """Uniform integer in [lo, hi]."""
        return lo + self.below(hi - lo + 1)

    def log_between(self, lo, hi):
        """Integer in [lo, hi] spread evenly on a log scale, so that small
        sizes dominate as they do in real source and document trees."""
        if lo >= hi:
            return lo
        # 20 bits of resolution along the log axis, integer arithmetic only
        # until the final power.
        f = self.below(1 << 20) / float(1 << 20)
        v = int(lo * (hi / lo) ** f)
        return min(max(v, lo), hi)

    def bytes(self, n):
        if n == 0:
            return b""
        return self.r.getrandbits(n * 8).to_bytes(n, "little")


def text_pool(st, size):
    """Compressible filler: lines of words drawn from a small vocabulary
    (compresses about 3:1 with a fast compressor)."""
    letters = b"abcdefghijklmnopqrstuvwxyz"
    words = []
    for _ in range(600):
        n = st.between(2, 10)
        words.append(bytes(letters[st.below(26)] for _ in range(n)))
    out = bytearray()
    col = 0
    while len(out) < size:
        w = words[st.below(len(words))]
        out += w
        col += len(w) + 1
        if col > 70:
            out += b"\n"
            col = 0
        else:
            out += b" "
    return bytes(out[:size])


class Builder:
    def __init__(self, root, shape):
        self.root = root
        self.shape = shape
        self.st = Stream(shape["seed"])
        self.pool = text_pool(self.st, 4 * MIB)
        self.nfiles = 0
        self.nbytes = 0

    def mtime(self):
        return BASE_TIME + self.st.below(86400 * 365)

    def chunks(self, size):
        """Yields the file's contents: half of the files are text-like, half
        random; files above 1 MiB alternate text and random chunks of 1 MiB
        so that one file holds both kinds."""
        text = self.st.below(2) == 0 and not self.shape.get("all_random")
        left = size
        while left > 0:
            n = min(MIB, left)
            if text:
                off = self.st.below(len(self.pool) - n + 1)
                yield self.pool[off:off + n]
            else:
                yield self.st.bytes(n)
            if size > MIB and not self.shape.get("all_random"):
                text = not text
            left -= n

    def write_file(self, path, size):
        with open(path, "wb") as f:
            for data in self.chunks(size):
                f.write(data)
        # A few files carry other permission bits so a copy's mode handling
        # is exercised; the rest are 0644.
        pick = self.st.below(50)
        mode = 0o755 if pick == 0 else 0o600 if pick == 1 else 0o644
        os.chmod(path, mode)
        t = self.mtime()
        os.utime(path, (t, t))
        self.nfiles += 1
        self.nbytes += size

    def build(self):
        sp = self.shape
        os.mkdir(self.root, 0o755)
        # Directory skeleton, breadth first, names fixed by position.
        dirs = [""]
        level = [""]
        for depth, fan in enumerate(sp["fanout"]):
            nxt = []
            for parent in level:
                for i in range(fan):
                    rel = os.path.join(parent, "d%d_%02d" % (depth, i))
                    os.mkdir(os.path.join(self.root, rel), 0o755)
                    nxt.append(rel)
            dirs.extend(nxt)
            level = nxt
        # Files go below the root only when there are subdirectories.
        file_dirs = dirs[1:] if len(dirs) > 1 else dirs
        for i in range(sp["files"]):
            d = file_dirs[i % len(file_dirs)]
            size = self.st.log_between(sp["file_min"], sp["file_max"])
            ext = (".txt", ".dat", ".c", ".bin", ".json")[self.st.below(5)]
            self.write_file(os.path.join(self.root, d, "f%05d%s" % (i, ext)),
                            size)
        for i in range(sp["big"]):
            d = file_dirs[self.st.below(len(file_dirs))]
            size = self.st.between(sp["big_min"], sp["big_max"])
            self.write_file(os.path.join(self.root, d, "big%02d.img" % i),
                            size)
        # Symbolic links, relative so they stay valid in every copy: half to
        # files, half to directories.
        files = sorted(self._files())
        for i in range(sp["links"]):
            d = file_dirs[self.st.below(len(file_dirs))]
            if i % 2 == 0:
                target = files[self.st.below(len(files))]
            else:
                # Never a directory the link sits in: a walker that follows
                # links by mistake should meet a duplicate, not a loop.
                while True:
                    target = dirs[1 + self.st.below(len(dirs) - 1)]
                    if not (d + os.sep).startswith(target + os.sep):
                        break
            rel = os.path.relpath(os.path.join(self.root, target),
                                  os.path.join(self.root, d))
            p = os.path.join(self.root, d, "link%02d" % i)
            os.symlink(rel, p)
            t = self.mtime()
            os.utime(p, (t, t), follow_symlinks=False)
        for i in range(sp["empty_dirs"]):
            d = file_dirs[self.st.below(len(file_dirs))]
            p = os.path.join(self.root, d, "empty%02d" % i)
            os.mkdir(p, 0o755)
            dirs.append(os.path.relpath(p, self.root))
        # Directory times last, deepest first, since creating entries inside
        # a directory moves its write time.
        for d in sorted(dirs, key=lambda x: -x.count(os.sep) if x else 1):
            t = self.mtime()
            os.utime(os.path.join(self.root, d), (t, t))

    def _files(self):
        for top, _, names in os.walk(self.root):
            for n in names:
                p = os.path.join(top, n)
                if not os.path.islink(p):
                    yield os.path.relpath(p, self.root)


def listing(root, content=False):
    """Sorted entries of a tree as (relative path, kind, size, mode, write
    time, link target or content digest) tuples; what two trees must share to
    count as the same copy. The root itself is left out."""
    import hashlib
    out = []
    for top, dnames, fnames in os.walk(root):
        dnames.sort()
        for n in dnames + sorted(fnames):
            p = os.path.join(top, n)
            rel = os.path.relpath(p, root)
            st = os.lstat(p)
            if os.path.islink(p):
                out.append((rel, "l", 0, 0, 0, os.readlink(p)))
            elif os.path.isdir(p):
                out.append((rel, "d", 0, st.st_mode & 0o7777,
                            int(st.st_mtime), ""))
            else:
                extra = ""
                if content:
                    h = hashlib.sha256()
                    with open(p, "rb") as f:
                        for blk in iter(lambda: f.read(MIB), b""):
                            h.update(blk)
                    extra = h.hexdigest()
                out.append((rel, "f", st.st_size, st.st_mode & 0o7777,
                            int(st.st_mtime), extra))
    return sorted(out)


def tree_shape(name, quick):
    if name not in TREES:
        raise SystemExit("gen.py: unknown tree [%s] (%s)"
                         % (name, ", ".join(TREES)))
    shape = dict(TREES[name])
    if quick:
        shape.update(QUICK[name])
    return shape


def tree_dir(outdir, name, quick):
    return os.path.join(outdir, name + ("-quick" if quick else ""))


def stamp_text(name, shape):
    keys = sorted(shape)
    return "gen=%d tree=%s %s\n" % (
        GEN_VERSION, name, " ".join("%s=%s" % (k, shape[k]) for k in keys))


def tree_size(name, quick):
    """Approximate byte count of a tree, for free-space checks."""
    sp = tree_shape(name, quick)
    avg_small = 0
    if sp["files"]:
        lo, hi = sp["file_min"], sp["file_max"]
        import math
        avg_small = (hi - lo) / math.log(hi / lo) if hi > lo else lo
    return int(sp["files"] * (avg_small + 4096) +
               sp["big"] * (sp["big_min"] + sp["big_max"]) / 2)


def ensure_tree(outdir, name, quick=False, force=False, log=print):
    """Builds OUTDIR/NAME unless its stamp says it is already there; returns
    the tree path."""
    shape = tree_shape(name, quick)
    root = tree_dir(outdir, name, quick)
    stamp = root + ".stamp"
    want = stamp_text(name, shape)
    if not force and os.path.isdir(root):
        try:
            with open(stamp) as f:
                if f.read() == want:
                    return root
        except OSError:
            pass
    if os.path.lexists(stamp):
        os.remove(stamp)
    if os.path.lexists(root):
        shutil.rmtree(root)
    os.makedirs(outdir, exist_ok=True)
    log("generating %s ..." % root)
    b = Builder(root, shape)
    b.build()
    with open(stamp, "w") as f:
        f.write(want)
    log("generated %s: %d files, %.1f MB" % (root, b.nfiles, b.nbytes / 1e6))
    return root


def main():
    ap = argparse.ArgumentParser(description="Generate benchmark trees.")
    ap.add_argument("outdir")
    ap.add_argument("--trees", default="small,large,mixed")
    ap.add_argument("--quick", action="store_true",
                    help="tiny trees for a smoke run")
    ap.add_argument("--force", action="store_true",
                    help="rebuild even when the stamp matches")
    ap.add_argument("--digest", action="store_true",
                    help="print a digest of each tree (names, sizes, modes, "
                    "times, link targets and contents)")
    a = ap.parse_args()
    import hashlib
    for name in [t for t in a.trees.split(",") if t]:
        root = ensure_tree(a.outdir, name, a.quick, a.force)
        if a.digest:
            h = hashlib.sha256(repr(listing(root, True)).encode())
            print("%s %s" % (h.hexdigest(), root))
    return 0


if __name__ == "__main__":
    sys.exit(main())
