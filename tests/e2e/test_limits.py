"""Time limits and second chances: the idle timeout, retries and the deadline."""
import os
import re
import signal
import socket
import subprocess
import time

from harness import BIN, VARS, closed_port, EventCase, Server, exit_code


class TimeLimits(EventCase):
    def test_idle_timeout(self):
        with Server(["stall"]) as server:
            start = time.time()
            r = self.upload(server.url(), "--idle-timeout", "1", timeout=30)
        self.assertEqual((r.rc, r.err), (14, b"No data transferred for 1 s\n"))
        self.assertLess(time.time() - start, 10)
        with Server(["trickle"]) as server:
            r = self.upload(server.url(), "--idle-timeout", "1", timeout=30)
        self.assertEqual((r.rc, r.err), (0, b""), r)

    def test_retry(self):
        # Which outcomes are retried, and how long each wait is, are tst_delivery's and tst_retry's:
        # here, the real waits and the very same form posted again.
        rows = [  # replies, --retry, exit status, POSTs, Retry lines
            ([(503, {"Retry-After": "1"}), (200, {})], "2", 0, 2, [b"Retry 1 of 2 in 1 s: "]),
            # 429 has no exit code of its own (it comes out as 27), but is retried all the same.
            ([(429, {"Retry-After": "1"}), (200, {})], "2", 0, 2, [b"Retry 1 of 2 in 1 s: "]),
        ]
        for replies, count, status, posts, lines in rows:
            with Server(replies) as server:
                r = self.upload(server.url(), "--retry", count)
            self.assertEqual((r.rc, len(server.requests)), (exit_code(status), posts), r)
            # The real wait to the nearest second: 1 to 1.25 s is 1 s, 2 to 2.5 s is 2 s, whatever the jitter.
            got = [l for l in r.out.split(b"\n") if l.startswith(b"Retry")]
            self.assertEqual(len(got), len(lines), r)
            for line, want in zip(got, lines):
                self.assertTrue(line.startswith(want), (line, want))
            self.assertEqual(r.out.count(b"Upload to "), posts)
            self.assertEqual(len({tuple((tuple(h), b) for h, b in rq.parts()) for rq in server.requests}), 1)
        port = closed_port()
        r = self.upload("http://127.0.0.1:%d/" % port, "--retry", "1")
        self.assertEqual((r.rc, len(re.findall(b"Retry 1 of 1 in [12] s: Connection refused\n", r.out))), (11, 1), r)

    def test_max_time(self):
        report = os.path.join(self.dir, "report.json")
        for extra, posts in (([], 1), (["--retry", "3"], 1), (["--retry", "3", "--idle-timeout", "1"], 1)):
            with Server(["drip"]) as server:
                start = time.time()
                r = self.upload(server.url(), "--max-time", "2", "--report", report, *extra)
                seconds = time.time() - start
            # The drip keeps the link moving, so only the deadline ends it, and no retry follows.
            self.assertEqual((r.rc, r.err, len(server.requests)), (14, b"Operation timed out after 2 s\n", posts), r)
            self.assertLess(seconds, 2 + 1)  # --max-time and a second
            self.assertIs(self.report()["maxTimeReached"], True)

    def test_a_silent_name_server(self):
        # A name server that never answers (glibc tries for 10 s): the deadline ends the run as it
        # ends an exchange, and its exit does not wait for the lookup still under way; a run whose
        # archive fails ends at once, though its connection was begun.
        self.need_namespaces()
        silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        silent.bind(("127.0.0.2", 53))
        self.addCleanup(silent.close)
        resolv = self.write("resolv.conf", b"nameserver 127.0.0.2\n")
        rows = [  # arguments, exit status, stderr, bound in seconds
            (["-f", "dump", "--max-time", "2"], 14, b"Operation timed out after 2 s\n", 2 + 1),
            (["-f", "dump", "--max-time", "2", "--archiver", "builtin"], 14, b"Operation timed out after 2 s\n", 2 + 1),
            (["-f", "missing"], -1, None, 1),
        ]
        for args, rc, err, bound in rows:
            start = time.time()
            r = self.run_tool(["-u", "https://collector.test/x"] + args + VARS,
                              prelude="mount --bind %s /etc/resolv.conf" % resolv)
            self.assertEqual(r.rc, exit_code(rc), r)
            if err is not None:
                self.assertEqual(r.err, err, r)
            self.assertLess(time.time() - start, bound, args)

    def test_probes_keep_the_limits(self):
        # A reset that Qt calls an unknown error sends a probe to the collector, which then
        # stalls: the deadline and a signal end the probe as they end the exchange. (A reset
        # that Qt calls a close ends the attempt at once with 12: the form is not sent again.)
        self.write("dump", os.urandom(3 << 20))
        for extra, sent, outcomes in ((["--max-time", "1"], None, {14, 12}), ([], signal.SIGTERM, {143, 12})):
            with Server(["close-body", "stall"]) as server:
                process = subprocess.Popen([BIN, "-u", server.url(), "-f", "dump", "--zip-level", "0"] + VARS + extra,
                                           cwd=self.dir, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                start = time.time()
                if sent:
                    time.sleep(0.6)
                    process.send_signal(sent)
                err = process.communicate(timeout=30)[1]
            self.assertIn(process.returncode, outcomes, err)
            self.assertLess(time.time() - start, (0.6 if sent else 1) + 1, err)  # the signal or --max-time, and a second
