#!/usr/bin/env python3
"""What bounds a copy through wysd: system calls and requests, untimed.

For one tree, copies it once each way through a wysd (push: local to server,
pull: server to local) and once each way through an rsync daemon, with
every process under `strace -c -f` (when strace is installed), and the tarn
runs through a counting relay that parses the request frames on their way
to wysd. Prints, per run: system calls of the client and of the server in
all and per file (the busiest calls by count), and the requests by code and
control command with their bytes, per directory and per file.

Nothing here is timed: strace and the relay slow every call down. Use
bench/run.py --remote for times.

Usage: remote_diag.py [--work DIR] [--tree small] [--pack lz4] [--keep]
"""

import argparse
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen  # noqa: E402
import run  # noqa: E402  (its wait for a server to listen)

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CODES = {1: "LOGIN", 2: "BYE", 4: "INFO", 8: "IOCTL2", 10: "OPEN",
         11: "CLOSE", 12: "READ", 13: "WRITE", 15: "SEEK", 20: "IOCTL",
         29: "PREAD", 30: "PWRITE", 90: "LOGIN2", 91: "LOGIN3"}
CMDS = {10001: "PACK", 10013: "MKDIRS", 10030: "SET_PATH_TIMES",
        10039: "SET_FILE_STAT", 10100: "SET_READ_TIMEOUT",
        10105: "SET_WRITE_TIMEOUT", 101: "NEW_CTX", 102: "GET_CTX",
        103: "GET_LAST_CMD_IDX", 104: "ATTACH_CTX", 105: "ATTACH_CTX_REPLY",
        106: "CTX_RUN_STATUS", 107: "CTX_REQ_STOP", 10120: "RDIR_OPEN",
        10121: "RDIR_CLOSE", 10122: "RDIR_ENUM", 10123: "RDIR_READ",
        10130: "MFILE_OPEN", 10131: "MFILE_CLOSE", 10132: "MFILE_LIST_RET",
        10133: "MFILE_READ_LIST", 10134: "MFILE_MKDIR_LIST",
        10135: "MFILE_WRITE_LIST", 10136: "MFILE_DEL_LIST",
        10138: "MFILE_DEL_FILES"}


def say(*a):
    print(*a, flush=True)


def frame_name(code, body):
    """Request name: the code, and for controls the command attribute
    ("cmd", a big-endian 32-bit integer) found among the named attributes
    of the root table."""
    name = CODES.get(code, "code%d" % code)
    if code not in (8, 20):
        return name
    off = 0
    while off + 4 <= len(body):
        word = struct.unpack_from(">I", body, off)[0]
        alen = word & 0xFFFFFF
        if alen < 4:
            break
        if word & 0x80000000 and off + 6 <= len(body):
            nlen = struct.unpack_from(">H", body, off + 4)[0]
            aname = body[off + 6:off + 6 + nlen]
            hlen = 4 + ((nlen + 6) & ~3)
            if aname == b"cmd" and off + hlen + 4 <= len(body):
                cmd = struct.unpack_from(">I", body, off + hlen)[0]
                return "%s %s" % (name, CMDS.get(cmd, str(cmd)))
        off += (alen + 3) & ~3
    return name


class Relay:
    """Loopback relay to a wysd that counts the request frames by name and
    the bytes each way. Every connection gets two forwarding threads."""

    def __init__(self, port):
        self.dst = ("127.0.0.1", port)
        self.ls = socket.socket()
        self.ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.ls.bind(("127.0.0.1", 0))
        self.ls.listen(64)
        self.port = self.ls.getsockname()[1]
        self.lock = threading.Lock()
        self.reqs = {}    # name -> [count, bytes]
        self.down = 0     # bytes server -> client
        self.conns = 0
        self.threads = []
        self.socks = []
        self.stopping = False
        t = threading.Thread(target=self.accept, daemon=True)
        t.start()

    def accept(self):
        while not self.stopping:
            try:
                c, _ = self.ls.accept()
            except OSError:
                return
            s = socket.create_connection(self.dst)
            self.socks += [c, s]
            for x in (c, s):
                x.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                self.conns += 1
            for fn, a, b in ((self.up, c, s), (self.pipe, s, c)):
                t = threading.Thread(target=fn, args=(a, b), daemon=True)
                t.start()
                self.threads.append(t)

    def pipe(self, a, b):
        while True:
            try:
                d = a.recv(1 << 20)
            except OSError:
                d = b""
            if not d:
                break
            with self.lock:
                self.down += len(d)
            try:
                b.sendall(d)
            except OSError:
                break
        self.end(a, b)

    @staticmethod
    def end(a, b):
        for x in (a, b):
            try:
                x.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def up(self, a, b):
        buf = bytearray()
        while True:
            try:
                d = a.recv(1 << 20)
            except OSError:
                d = b""
            if not d:
                break
            buf += d
            # Whole frames: 8-byte head ('W' 'Y' proto code, then the root
            # attribute's header word whose low 24 bits are its length).
            while len(buf) >= 8:
                word = struct.unpack_from(">I", buf, 4)[0]
                total = 4 + (((word & 0xFFFFFF) + 3) & ~3)
                if len(buf) < total:
                    break
                name = frame_name(buf[3], bytes(buf[8:total]))
                with self.lock:
                    r = self.reqs.setdefault(name, [0, 0])
                    r[0] += 1
                    r[1] += total
                del buf[:total]
            try:
                b.sendall(d)
            except OSError:
                break
        self.end(a, b)

    def close(self):
        self.stopping = True
        self.ls.close()
        for t in self.threads:
            t.join(10)
        for s in self.socks:
            s.close()


def strace_argv(out):
    if shutil.which("strace") is None:
        return []
    return ["strace", "-c", "-f", "-o", out]


def strace_summary(path):
    """(total calls, [(calls, name)] by count) of an strace -c file."""
    rows = []
    try:
        with open(path) as f:
            for line in f:
                p = line.split()
                if len(p) >= 5 and p[0][0].isdigit() and p[-1] != "total":
                    try:
                        calls = int(p[3])
                    except ValueError:
                        continue
                    rows.append((calls, p[-1]))
    except OSError:
        return 0, []
    rows.sort(reverse=True)
    return sum(c for c, _ in rows), rows


def child_of(pid, prog, wait=5.0):
    """The child of pid (strace) that runs prog. strace forks short-lived
    test children of its own first, so the first child is not always the
    one: wait until a child's command line names prog."""
    end = time.monotonic() + wait
    while time.monotonic() < end:
        try:
            with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                kids = [int(k) for k in f.read().split()]
        except OSError:
            return 0
        for k in kids:
            try:
                with open("/proc/%d/cmdline" % k, "rb") as f:
                    argv0 = f.read().split(b"\0")[0].decode(errors="replace")
            except OSError:
                continue
            if argv0 == prog:
                return k
        time.sleep(0.01)
    return 0


class Daemon:
    """wysd or an rsync daemon on 127.0.0.1 serving `root`, under strace
    when it is installed; stopped with SIGTERM by pid (the server's own, so
    that strace writes its summary)."""

    def __init__(self, kind, root, wysd, out):
        self.out = out
        self.trace = out + ".strace"
        self.log = open(out + ".log", "w")
        if kind == "wysd":
            argv = [wysd, "root=" + root, "port=0", "tls_port=off",
                    "listen=127.0.0.1", "level=info"]
        else:
            conf = out + ".conf"
            with open(conf, "w") as f:
                f.write("use chroot = no\nmunge symlinks = no\n[bench]\n"
                        "path = %s\nread only = no\n%s" % (
                            root, "uid = 0\ngid = 0\n"
                            if os.getuid() == 0 else ""))
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
            s.close()
            argv = ["rsync", "--daemon", "--no-detach", "--config=" + conf,
                    "--address=127.0.0.1", "--port=%d" % self.port]
        st = strace_argv(self.trace)
        self.proc = subprocess.Popen(st + argv, stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=self.log)
        self.pid = child_of(self.proc.pid, argv[0]) if st else self.proc.pid
        port = run.wait_listening(kind, out + ".log", getattr(self, "port", 0))
        if port:
            self.port = port
            return
        self.stop()
        raise RuntimeError("%s did not start: see %s.log" % (kind, out))

    def stop(self):
        for sig, wait in ((15, 60), (9, None)):
            try:
                if self.pid:
                    os.kill(self.pid, sig)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(wait)
                break
            except subprocess.TimeoutExpired:
                pass
        self.log.close()


def print_strace(who, path, nfiles):
    total, rows = strace_summary(path)
    if not rows:
        say("    %-8s (no strace)" % who)
        return
    say("    %-8s %8d calls, %6.1f per file: %s" % (
        who, total, total / max(nfiles, 1),
        ", ".join("%s %d (%.1f/f)" % (n, c, c / max(nfiles, 1))
                  for c, n in rows[:8])))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--work", default="/tmp/tarn_bench")
    ap.add_argument("--tree", default="small")
    ap.add_argument("--pack", default="lz4")
    ap.add_argument("--tarn", default=os.path.join(
        REPO, "build/release/src/opt/tarn/tarn"))
    ap.add_argument("--wysd", default=os.path.join(
        REPO, "build/release/src/opt/wysd/wysd"))
    ap.add_argument("--no-rsync", action="store_true")
    ap.add_argument("--only", default="push,pull",
                    help="directions (default %(default)s)")
    ap.add_argument("--keep", action="store_true")
    a = ap.parse_args()
    work = os.path.abspath(a.work)
    src = gen.ensure_tree(os.path.join(work, "src"), a.tree, log=say)
    diag = os.path.join(work, "diag")
    if os.path.lexists(diag):
        subprocess.run(["rm", "-rf", diag])
    os.makedirs(diag)
    ndirs = nfiles = nbytes = 0
    for top, _, names in os.walk(src):
        ndirs += 1
        for n in names:
            nfiles += 1
            nbytes += os.lstat(os.path.join(top, n)).st_size
    say("tree %s: %d directories, %d files, %.1f MB; pack=%s" % (
        a.tree, ndirs, nfiles, nbytes / 1e6, a.pack))
    if shutil.which("strace") is None:
        say("strace is not installed: request counts only")

    dirs = [d for d in a.only.split(",") if d in ("push", "pull")]
    runs = [(d, "wysd") for d in dirs]
    if not a.no_rsync:
        runs += [(d, "rsyncd") for d in dirs]
    code = 0
    for direction, kind in runs:
        tag = "%s.%s" % (kind, direction)
        out = os.path.join(diag, tag)
        os.sync()
        d = Daemon(kind, work, a.wysd, out + ".server")
        relay = Relay(d.port) if kind == "wysd" else None
        dst = os.path.join(diag, tag + ".copy")
        if kind == "wysd":
            url = "wyp://127.0.0.1:%d/%s?pack=%s" % (
                relay.port, os.path.relpath(
                    dst if direction == "push" else src, work), a.pack)
            argv = [a.tarn, "mode=cp", "level=info"] + (
                ["if=" + src, "of=" + url] if direction == "push"
                else ["if=" + url, "of=" + dst])
        else:
            url = "rsync://127.0.0.1:%d/bench/%s/" % (
                d.port, os.path.relpath(
                    dst if direction == "push" else src, work))
            argv = ["rsync", "-a"] + (
                [src + "/", url] if direction == "push" else [url, dst + "/"])
        t0 = time.monotonic()
        with open(out + ".client.log", "w") as lf:
            rc = subprocess.run(strace_argv(out + ".client.strace") + argv,
                                stdout=lf, stderr=lf).returncode
        wall = time.monotonic() - t0
        if relay:
            relay.close()
        d.stop()
        say("")
        say("  %s %s: status %d, %.2f s under strace" % (
            "tarn" if kind == "wysd" else "rsync -a", tag, rc, wall))
        if rc != 0:
            code = 1
        print_strace("client", out + ".client.strace", nfiles)
        print_strace("server", out + ".server.strace", nfiles)
        if relay:
            n = sum(c for c, _ in relay.reqs.values())
            up = sum(b for _, b in relay.reqs.values())
            say("    requests %d on %d connections (%.1f per directory, "
                "%.2f per file); %.1f MB up, %.1f MB down (%.3f of the "
                "data)" % (n, relay.conns, n / ndirs, n / max(nfiles, 1),
                           up / 1e6, relay.down / 1e6,
                           (up + relay.down) / max(nbytes, 1)))
            for name, (c, b) in sorted(relay.reqs.items(),
                                       key=lambda x: -x[1][0]):
                say("      %-28s %7d  %10.1f KB  (%.0f B each)" % (
                    name, c, b / 1e3, b / c))
            with open(out + ".server.log") as f:
                lines = re.findall(r"requests=\d+ in=\d+ out=\d+", f.read())
            say("    wysd's own count per connection: " + "; ".join(lines))
    if not a.keep:
        subprocess.run(["rm", "-rf", diag])
    return code


if __name__ == "__main__":
    sys.exit(main())
