#!/usr/bin/env python3
"""TLS against plain TCP over loopback: tarn to and from one wysd that
listens on both, on the benchmark trees, and the cost of one handshake.

Each round runs the four commands (push and pull, plain and TLS), starting
one command later each round and every other round backwards, so no command
is always first. A pair ratio is TLS / plain of the same direction in the
same round; the table gives the medians of the times and of the pair
ratios. The goal: TLS within 1.5x of plain on the large tree.

Usage: bench/tls.py [--trees small,large] [--reps 5] [--quick] [--work DIR]
                    [--tarn PATH] [--wysd PATH] [--handshake-bench PATH]
                    [--cipher NAME] [--pack lz4|none]
The handshake bench is built with
  cmake --build build/release --target tls_handshake_bench
and skipped with a note when it is missing.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)


def start_wysd(args, root, conf_dir):
    """wysd on 127.0.0.1 with both listeners on free ports; its own key and
    certificate are written beside its configuration on the first start."""
    conf = os.path.join(conf_dir, "wysd.ini")
    with open(conf, "w") as f:
        f.write("[server]\nlisten = 127.0.0.1\nport = 0\ntls_port = 0\n"
                "level = warn\n")
    log = open(os.path.join(conf_dir, "wysd.out"), "w+")
    p = subprocess.Popen([args.wysd, "conf=" + conf, "root=" + root],
                         stdout=log, stderr=subprocess.STDOUT)
    end = time.time() + 30
    while time.time() < end:
        log.seek(0)
        text = log.read()
        tcp = re.search(r"wysd listening tcp 127\.0\.0\.1:(\d+)", text)
        tls = re.search(r"wysd listening tls 127\.0\.0\.1:(\d+) sha256=(\w+)", text)
        if tcp and tls:
            return p, int(tcp.group(1)), int(tls.group(1))
        if p.poll() is not None:
            break
        time.sleep(0.05)
    p.kill()
    p.wait()
    sys.exit("wysd did not start:\n" + text)


def timed(argv):
    t0 = time.perf_counter()
    r = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    dt = time.perf_counter() - t0
    if r.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (r.returncode, " ".join(argv),
                                          r.stderr.decode()[-3000:]))
    return dt


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--trees", default="small,large")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--work", default="/tmp/tarn_bench_tls")
    ap.add_argument("--tarn", default=os.path.join(REPO, "build/release/src/opt/tarn/tarn"))
    ap.add_argument("--wysd", default=os.path.join(REPO, "build/release/src/opt/wysd/wysd"))
    ap.add_argument("--handshake-bench",
                    default=os.path.join(REPO, "build/release/bench/tls_handshake_bench"))
    ap.add_argument("--cipher", default="")
    ap.add_argument("--pack", default="lz4")
    args = ap.parse_args()

    trees_dir = os.path.join(args.work, "trees")
    os.makedirs(trees_dir, exist_ok=True)
    names = [t for t in args.trees.split(",") if t]
    subprocess.run([sys.executable, os.path.join(HERE, "gen.py"), trees_dir,
                    "--trees", ",".join(names)] + (["--quick"] if args.quick else []),
                   check=True)
    root = os.path.join(args.work, "served")
    conf_dir = os.path.join(args.work, "conf")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    os.makedirs(conf_dir, exist_ok=True)
    srv, port, tls_port = start_wysd(args, root, conf_dir)
    query = "pack=" + args.pack + ("&ssl-cipher=" + args.cipher if args.cipher else "")
    out_rows = []
    try:
        for name in names:
            src = os.path.join(trees_dir, name + ("-quick" if args.quick else ""))
            # The pull source: one plain copy on the server, made untimed.
            timed([args.tarn, "mode=cp", "if=" + src, "level=warn",
                   "of=wyp://127.0.0.1:%d/seed_%s?%s" % (port, name, query)])
            cmds = []
            for scheme, p in (("wyp", port), ("wyps", tls_port)):
                cmds.append(("push " + scheme, lambda d, s=scheme, p=p: [
                    args.tarn, "mode=cp", "if=" + src, "level=warn",
                    "of=%s://127.0.0.1:%d/%s?%s" % (s, p, d, query)], True))
                cmds.append(("pull " + scheme, lambda d, s=scheme, p=p: [
                    args.tarn, "mode=cp", "level=warn",
                    "if=%s://127.0.0.1:%d/seed_%s?%s" % (s, p, name, query),
                    "of=" + os.path.join(args.work, d)], False))
            times = {c[0]: [] for c in cmds}
            for r in range(args.reps):
                order = cmds[r % len(cmds):] + cmds[:r % len(cmds)]
                if r % 2:
                    order.reverse()
                for label, argv_of, remote in order:
                    dst = "dst_" + label.replace(" ", "_")
                    times[label].append(timed(argv_of(dst)))
                    shutil.rmtree(os.path.join(root if remote else args.work, dst))
            for d in ("push", "pull"):
                plain, tls = times[d + " wyp"], times[d + " wyps"]
                ratios = [b / a for a, b in zip(plain, tls)]
                out_rows.append((name, d, statistics.median(plain), statistics.median(tls),
                                 statistics.median(ratios), min(ratios), max(ratios)))
            shutil.rmtree(os.path.join(root, "seed_" + name))
        hs = None
        if os.access(args.handshake_bench, os.X_OK):
            r = subprocess.run([args.handshake_bench, "--port", str(port), "--tls-port",
                                str(tls_port), "--n", "50" if args.quick else "200",
                                "--rounds", str(args.reps)] +
                               (["--cipher", args.cipher] if args.cipher else []),
                               capture_output=True, text=True)
            hs = r.stdout if r.returncode == 0 else "handshake bench failed:\n" + r.stderr
    finally:
        srv.terminate()
        srv.wait(timeout=30)

    print("\n%-8s %-5s %10s %10s %10s %14s" % ("tree", "dir", "plain s", "tls s",
                                              "tls/plain", "(min..max)"))
    for name, d, a, b, ratio, lo, hi in out_rows:
        print("%-8s %-5s %10.3f %10.3f %10.2f   (%.2f..%.2f)" % (name, d, a, b, ratio, lo, hi))
    for name, d, _, _, ratio, _, _ in out_rows:
        if name == "large":
            print("goal large %s: tls/plain %.2f <= 1.5: %s" % (d, ratio, "met" if ratio <= 1.5 else "MISSED"))
    print()
    print(hs if hs is not None else "handshake bench not built (cmake --build build/release "
          "--target tls_handshake_bench)")


if __name__ == "__main__":
    main()
