"""Uploads over a slow link: run inside a private network namespace
(unshare -n), it shapes loopback to 512 kbit/s, then posts the file DIR/dump
with --idle-timeout 5 to a scripted server for each case named on the command
line ("read": a server that reads and answers, "noread": one that never reads
the body), and prints one JSON line per case: exit status, seconds, stderr.

    unshare -n python3 slow_link.py DIR CASE...
"""
import json
import subprocess
import sys
import time

from harness import BIN, VARS, Server

REPLIES = {"read": (200, {}), "noread": "stall-unread"}


def shape_loopback():
    # The default 64 KiB MTU would have tbf drop every full segment.
    for argv in (["ip", "link", "set", "lo", "up"], ["ip", "link", "set", "lo", "mtu", "1500"],
                 ["tc", "qdisc", "add", "dev", "lo", "root", "tbf", "rate", "512kbit", "burst", "16kbit",
                  "latency", "400ms"]):
        subprocess.run(argv, check=True, capture_output=True, timeout=10)


def main():
    directory, cases = sys.argv[1], sys.argv[2:]
    shape_loopback()
    for case in cases:
        with Server([REPLIES[case]]) as server:
            start = time.time()
            p = subprocess.run([BIN, "-u", server.url(), "-f", "dump", "--idle-timeout", "5"] + VARS, cwd=directory,
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
            print(json.dumps({"case": case, "rc": p.returncode, "seconds": time.time() - start,
                              "stderr": p.stderr.decode("latin-1"), "posts": len(server.requests)}), flush=True)


if __name__ == "__main__":
    main()
