"""Faults of the server, the proxy, the name service, the archiver and the local
files. Every run must end within its bound, with the expected exit status and
message, keep the archive it made, and claim no success."""
import os
import re
import subprocess

from harness import closed_port, Case, Server, VARS
CLOSED = (12, b"Connection closed\n")
# A reset that meets the body still being written is reported by Qt as an
# unknown network error, which the program tells apart as a reset; which of the
# two comes first depends on timing. Both are transient.
RESET = {CLOSED, (12, b"Connection reset by peer\n")}


class Faults(Case):
    def setUp(self):
        super().setUp()
        self.write("dump", os.urandom(3 << 20))  # more than the socket buffers take at once

    def test_server_faults(self):
        rows = [  # replies, extra arguments, outcomes, bound in seconds
            (["close-headers"], [], RESET, 30),
            (["close-body"], [], RESET, 30),
            (["early-413"], [], {(413, re.compile(rb"Error transferring http://127\.0\.0\.1:\d+/upload"
                                                  rb" - server replied: Payload Too Large\n"))}, 30),
            ([b"HTCPCP/9 banana\r\n\r\n"], [], {CLOSED}, 30),
            ([b"HTTP/1.1 200 OK\r\nContent-Le"], [], {CLOSED}, 30),
            (["stall"], ["--idle-timeout", "1"], {(14, b"No data transferred for 1 s\n")}, 10),
            ([(503, {})], ["--retry", "3"], {(503, re.compile(rb"[^\n]+\n"))}, 20),
        ]
        for replies, extra, outcomes, bound in rows:
            with Server(replies) as server:
                r = self.run_fault(replies[0], ["-u", server.url(), "-f", "dump"] + VARS + extra, outcomes, bound)
            if "--retry" in extra:
                self.assertEqual((len(server.requests), r.out.count(b"\nRetry ")), (4, 3), r)

    def test_name_faults(self):
        url = ["-u", "http://collector.invalid/x", "-f", "dump"] + VARS
        self.run_fault("no such host", url, {(13, b"Host collector.invalid not found\n")}, bound=10, names=[])

    def test_local_faults(self):
        os.mkdir(os.path.join(self.dir, "folder"))
        self.write("big.json")
        os.truncate(os.path.join(self.dir, "big.json"), (64 << 20) + 1)
        failed_zip = (-1, re.compile(rb"Fail to zip! \n\t Message: \n.*", re.S))
        rows = [  # 7z stand-in or None for the real one, extra arguments, outcome, archive left
            ("exit 0\n", [], (-1, re.compile(rb"Fail to open [-0-9a-f]{20}\.zip\n")), False),
            ("kill -9 $$\n", [], failed_zip, False),
            ("head -c 37500000 /dev/zero | base64; exit 2\n", [], failed_zip, False),
            (None, ["-j", "folder"], (-1, b"Fail to open folder\n"), True),
            (None, ["-j", "big.json"], (-1, b"Fail to open big.json: larger than 64 MiB\n"), True),
            (None, ["-w", "dump/sub"], failed_zip, False),
        ]
        for script, extra, outcome, archive in rows:
            prefix = self.stand_in(script) if script else None
            r = self.run_fault(script or extra, ["-u", "http://127.0.0.1:%d/" % closed_port(), "-f", "dump"] + VARS + extra,
                               {outcome}, archive=archive, path_prefix=prefix)
            self.assertNotIn(b"Upload to", r.out)
            if outcome is failed_zip:
                self.assertIn(b"Fail to execute: 7z", r.out)
        # A work directory that is missing is made by 7z, and the run goes on.
        with Server() as server:
            r = self.run_tool(["-u", server.url(), "-f", "dump", "-w", "new/deeper"] + VARS)
        self.assertEqual((r.rc, len(self.zips("new/deeper"))), (0, 1), r)

    def test_full_file_system(self):
        full = os.path.join(self.dir, "full")
        os.mkdir(full)
        mount = "mount -t tmpfs -o size=1m tmpfs %s" % full
        probe = subprocess.run(["unshare", "-m", "sh", "-c", mount], capture_output=True, timeout=10)
        if probe.returncode:
            self.skipTest("cannot mount a small tmpfs here: %s" % probe.stderr.decode(errors="replace").strip())
        self.run_fault("full", ["-u", "http://127.0.0.1:9/", "-f", "dump", "-w", full] + VARS,
                       {(-1, re.compile(rb"Fail to zip! \n\t Message: \n.*", re.S))}, archive=False,
                       prelude=mount + " && head -c 2M /dev/zero > %s/filler 2>/dev/null; true" % full)
