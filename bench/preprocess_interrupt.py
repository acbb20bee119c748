#!/usr/bin/env python3
"""Ctrl-C latency of Preprocessor.run: a child process loads random 3-SAT below the threshold (a
million variables by default, so that run(3) takes tens of seconds), then calls run(3) until it
finishes; the parent sends --signals SIGINTs, --every seconds apart, and each KeyboardInterrupt is met
by another run() (which keeps what the interrupted one did and starts its rounds afresh).  Prints the time from each signal to the child's
KeyboardInterrupt (both read from the system's monotonic clock), and the run time without signals.
"""
from __future__ import annotations

import argparse
import signal
import statistics
import subprocess
import sys
import time

CHILD = r"""
import random, sys, time
import norvane_native as nn
n, ratio, signals = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3] == "1"
rng = random.Random(1)
p = nn.Preprocessor(n, with_proof=True)
m = int(ratio * n)
for start in range(0, m, 100_000):
    p.add_clauses([[rng.randrange(2 * n) for _ in range(3)] for _ in range(min(100_000, m - start))])
print("ready", flush=True)
t0 = time.monotonic()
while True:
    try:
        p.run(3)
        break
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
print("done", time.monotonic() - t0, len(p.reduced()), flush=True)
"""


def child(n, ratio, every, signals=0):
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(n), str(ratio), "1" if every else "0"],
                            stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline() == "ready\n"
    sent, got, total = [], [], None
    if every:
        import selectors
        sel = selectors.DefaultSelector()
        sel.register(proc.stdout, selectors.EVENT_READ)
        next_at = time.monotonic() + every
        while total is None:
            wait = max(0.0, next_at - time.monotonic())
            if sel.select(timeout=wait):
                line = proc.stdout.readline().split()
                if line[0] == "interrupted":
                    got.append(float(line[1]))
                else:
                    total = float(line[1])
            elif len(sent) == len(got) and len(sent) < signals:  # one signal at a time
                sent.append(time.monotonic())
                proc.send_signal(signal.SIGINT)
                next_at = time.monotonic() + every
    else:
        for line in proc.stdout:
            if line.startswith("done"):
                total = float(line.split()[1])
    proc.wait()
    return [g - s for s, g in zip(sent, got)], total


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--vars", type=int, default=1_000_000)
    ap.add_argument("--ratio", type=float, default=3.2)
    ap.add_argument("--every", type=float, default=2.0, help="seconds between two signals")
    ap.add_argument("--signals", type=int, default=8)
    args = ap.parse_args(argv)
    _, plain = child(args.vars, args.ratio, 0)
    lat, total = child(args.vars, args.ratio, args.every, args.signals)
    lat_ms = sorted(x * 1e3 for x in lat)
    print(f"random 3-SAT, {args.vars} variables, {int(args.ratio * args.vars)} clauses: run(3) takes {plain:.1f} s "
          f"without signals, {total:.1f} s in {len(lat) + 1} pieces with a SIGINT every {args.every} s")
    if lat_ms:
        print(f"signal -> KeyboardInterrupt: median {statistics.median(lat_ms):.1f} ms, "
              f"max {max(lat_ms):.1f} ms over {len(lat_ms)} signals")


if __name__ == "__main__":
    main()
