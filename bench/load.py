#!/usr/bin/env python3
"""Load on one wysd: rounds of N tarn runs at once (50 by default), each
copying its own tree to the server and back, for a few minutes. Every tree
must come back equal. Reports the server's resident memory and open
descriptors before the first round, at each round's peak (sampled every
20 ms), after each round once its connections have closed, and at the end
a few seconds after the last round, so that growth across rounds shows and
so does whether the memory comes back. Each round also gives its time and
the page faults the server took in it (fresh pages it touched).

  bench/load.py                         # 50 runs a round for 3 minutes
  bench/load.py --runs 50 --minutes 10 --keep-going
  bench/load.py --tls --minutes 0.5     # the runs over TLS
  bench/load.py --rounds 5              # a fixed number of rounds

Never part of the test suite: run it by hand on a quiet machine.
"""

import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import re
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (its wait for a server to listen)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def say(*a):
    print(*a, flush=True)


def fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def minflt(pid):
    """Minor page faults of the process so far (field 10 of its stat)."""
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[7])


class Peak:
    """Samples a process's resident memory and descriptors every 20 ms in
    a thread of its own until stopped; keeps the highest of each."""

    def __init__(self, pid):
        self.pid, self.rss, self.fds = pid, rss_kib(pid), fds(pid)
        self.done = threading.Event()
        self.th = threading.Thread(target=self.run)
        self.th.start()

    def run(self):
        while not self.done.wait(0.02):
            try:
                self.rss = max(self.rss, rss_kib(self.pid))
                self.fds = max(self.fds, fds(self.pid))
            except OSError:
                return

    def stop(self):
        self.done.set()
        self.th.join()
        return self


def wait_tls_port(log, seconds=10):
    """The TLS port of a wysd from its listening line, or None."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with open(log, errors="replace") as f:
            m = re.search(r"wysd listening tls 127\.0\.0\.1:(\d+)", f.read())
        if m:
            return int(m.group(1))
        time.sleep(0.02)
    return None


def make_tree(root, i):
    """A small tree of its own for run `i`: small files, a big file of
    several blocks, a link."""
    os.makedirs(os.path.join(root, "d", "e"), exist_ok=True)
    rnd = __import__("random").Random(i)
    for k in range(8):
        sub = ["", "d", "d/e"][k % 3]
        with open(os.path.join(root, sub, f"f{k}"), "wb") as f:
            f.write(rnd.randbytes(rnd.randrange(0, 40000)))
    with open(os.path.join(root, "big"), "wb") as f:
        f.write(rnd.randbytes(600000 + rnd.randrange(0, 400000)))
    os.symlink("f1", os.path.join(root, "ln"))


def same(a, b):
    cmp = filecmp.dircmp(a, b)
    if cmp.left_only or cmp.right_only or cmp.diff_files or cmp.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, cmp.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(same(os.path.join(a, d), os.path.join(b, d)) for d in cmp.common_dirs)


def settle(pid, level, seconds=10):
    """The server's descriptors once they are back at `level` (or after
    `seconds`): connections close a moment after their bye."""
    deadline = time.monotonic() + seconds
    n = fds(pid)
    while n > level and time.monotonic() < deadline:
        time.sleep(0.1)
        n = fds(pid)
    return n


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tarn", default=os.path.join(ROOT, "build/release/src/opt/tarn/tarn"))
    ap.add_argument("--wysd", default=os.path.join(ROOT, "build/release/src/opt/wysd/wysd"))
    ap.add_argument("--runs", type=int, default=50, help="tarn runs at once")
    ap.add_argument("--minutes", type=float, default=3.0)
    ap.add_argument("--rounds", type=int, default=0, help="stop after this many rounds (0: by time only)")
    ap.add_argument("--tls", action="store_true", help="the runs go over the TLS listener (wyps://)")
    ap.add_argument("--after", type=float, default=3.0,
                    help="seconds after the last round at which the end figures are taken")
    ap.add_argument("--work", default=None, help="work directory (a fresh one in /tmp by default)")
    ap.add_argument("--keep-going", action="store_true", help="go on after a round with a failed run")
    a = ap.parse_args()

    work = a.work or tempfile.mkdtemp(prefix="tarn_load_")
    served = os.path.join(work, "served")
    os.makedirs(served, exist_ok=True)
    conf = os.path.join(work, "wysd.ini")
    with open(conf, "w") as f:
        # Three connections a run, and the previous round's still closing.
        # With --tls the server writes its own key and certificate beside this file.
        tls = "0" if a.tls else "off"
        f.write(f"[server]\nlisten = 127.0.0.1\nport = 0\ntls_port = {tls}\nmax_conn = {a.runs * 6 + 16}\n")
    os.chmod(conf, 0o600)
    log = os.path.join(work, "wysd.log")
    with open(log, "w") as out:
        srv = subprocess.Popen([a.wysd, "conf=" + conf, "root=" + served, "level=warn"], stdout=out,
                               stderr=subprocess.STDOUT)
    failed = 0
    try:
        port = wait_tls_port(log) if a.tls else run.wait_listening("wysd", log, 0)
        if port is None:
            say("wysd did not start; see", log)
            return 1
        for i in range(a.runs):
            make_tree(os.path.join(work, f"src{i}"), i)
        time.sleep(0.5)
        fd0, rss0 = fds(srv.pid), rss_kib(srv.pid)
        scheme = "wyps" if a.tls else "wyp"
        say(f"wysd pid {srv.pid}: start fds={fd0} rss={rss0} KiB; {a.runs} runs a round over {scheme}:// "
            f"for {a.minutes} min" + (f" or {a.rounds} rounds" if a.rounds else ""))
        end = time.monotonic() + a.minutes * 60
        rounds = 0
        peak_rss, peak_fds = rss0, fd0
        while time.monotonic() < end and (a.rounds == 0 or rounds < a.rounds):
            rounds += 1
            procs = []
            faults0 = minflt(srv.pid)
            peak = Peak(srv.pid)
            t0 = time.monotonic()
            for i in range(a.runs):
                src = os.path.join(work, f"src{i}")
                back = os.path.join(work, f"back{i}")
                shutil.rmtree(back, ignore_errors=True)
                url = f"{scheme}://127.0.0.1:{port}/dst{i}"
                # Up to the server and down again in one shell, so the runs overlap.
                cmd = (f"'{a.tarn}' mode=sync if='{src}' of='{url}' level=warn && "
                       f"'{a.tarn}' mode=sync if='{url}' of='{back}' level=warn")
                procs.append((i, subprocess.Popen(cmd, shell=True, stdout=subprocess.DEVNULL,
                                                  stderr=subprocess.PIPE)))
            bad = []
            for i, p in procs:
                _, err = p.communicate(timeout=600)
                if p.returncode != 0 or not same(os.path.join(work, f"src{i}"), os.path.join(work, f"back{i}")):
                    bad.append((i, p.returncode, err.decode(errors="replace")[-400:]))
            took = time.monotonic() - t0
            peak.stop()
            peak_rss, peak_fds = max(peak_rss, peak.rss), max(peak_fds, peak.fds)
            faults = minflt(srv.pid) - faults0
            n = settle(srv.pid, fd0)
            say(f"round {rounds}: {a.runs} runs in {took:.1f} s, {len(bad)} failed; wysd peak fds={peak.fds} "
                f"rss={peak.rss} KiB, then fds={n} rss={rss_kib(srv.pid)} KiB; {faults} page faults")
            for i, rc, err in bad[:3]:
                say(f"  run {i} status {rc}: {err}")
            failed += len(bad)
            if bad and not a.keep_going:
                break
        fd1 = settle(srv.pid, fd0)
        rss1 = rss_kib(srv.pid)
        time.sleep(a.after)
        fd2, rss2 = fds(srv.pid), rss_kib(srv.pid)
        say(f"end: {rounds} rounds, {failed} failed runs; wysd fds {fd0} -> peak {peak_fds} -> {fd1} -> {fd2}, "
            f"rss {rss0} -> peak {peak_rss} -> {rss1} -> {rss2} KiB (start, peak, closed, {a.after:g} s later)")
        if srv.poll() is not None:
            say("wysd has exited: see", log)
            return 1
        return 0 if failed == 0 and fd2 <= fd0 else 1
    finally:
        if srv.poll() is None:
            srv.terminate()
            try:
                srv.wait(10)
            except subprocess.TimeoutExpired:
                srv.kill()
                srv.wait()
        if not a.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
