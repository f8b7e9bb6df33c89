"""The crash-reporter options: verified TLS, idle timeout, retries, dry run, report."""
import fcntl
import hashlib
import json
import os
import pty
import re
import struct
import subprocess
import termios
import time

from harness import BIN, VARS, closed_port, USAGE, Case, Server, ca_signed, exit_code, self_signed


class Options(Case):
    upload_args = ["-f", "dump", "-j", "e.json"]

    def setUp(self):
        super().setUp()
        self.write("dump", os.urandom(100000))
        self.write("e.json", b'{"id":"$eventId"}')

    def test_cacert(self):
        cert, ca = ca_signed(self.dir, "one")
        _, other_ca = ca_signed(self.dir, "two")
        # Qt's reasons follow the handshake message.
        unknown = b"^SSL handshake failed: The issuer certificate of a locally looked up certificate could not be found"
        rows = [(cert, [], "127.0.0.1", 0, b""), (cert, ["--cacert", ca], "127.0.0.1", 0, b""),
                (cert, ["--cacert", other_ca], "127.0.0.1", 15, unknown),
                (self_signed(self.dir), ["--cacert", ca], "127.0.0.1", 15, b"^SSL handshake failed: The certificate is self-signed, and untrusted\n"),
                (cert, ["--cacert", ca], "localhost", 15,
                 b"^SSL handshake failed: The host name did not match any of the valid hosts for this certificate\n")]
        for server_cert, extra, host, rc, reason in rows:
            with Server(cert=server_cert) as server:
                r = self.upload(server.url(scheme="https", host=host), *extra)
            self.assertEqual((r.rc, len(server.requests)), (rc, 1 if rc == 0 else 0), r)
            if rc:
                self.assertRegex(r.err, b"^[^\n]+\n$")
                self.assertRegex(r.err, reason)

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
        rows = [  # replies, --retry, exit status, POSTs, Retry lines
            ([(503, {"Retry-After": "1"}), (200, {})], "2", 0, 2, [b"Retry 1 of 2 in 1 s: "]),
            # 429 has no exit code of its own (it comes out as 27), but is retried all the same.
            ([(429, {"Retry-After": "1"}), (200, {})], "2", 0, 2, [b"Retry 1 of 2 in 1 s: "]),
            ([(500, {})], "2", 500, 3, [b"Retry 1 of 2 in 1 s: ", b"Retry 2 of 2 in 2 s: "]),
            ([(404, {})], "3", 404, 1, []),
        ]
        for replies, count, status, posts, lines in rows:
            with Server(replies) as server:
                r = self.upload(server.url(), "--retry", count)
            self.assertEqual((r.rc, len(server.requests)), (exit_code(status), posts), r)
            # jitter may round a wait up by one second
            got = [l for l in r.out.split(b"\n") if l.startswith(b"Retry")]
            self.assertEqual(len(got), len(lines), r)
            for line, want in zip(got, lines):
                self.assertRegex(line, re.escape(want[:16]) + b"(%c|%d) s: " % (want[16], want[16] - 47))
            self.assertEqual(r.out.count(b"Upload to "), posts)
            self.assertEqual(len({tuple((tuple(h), b) for h, b in rq.parts()) for rq in server.requests}), 1)
        port = closed_port()
        r = self.upload("http://127.0.0.1:%d/" % port, "--retry", "1")
        self.assertEqual((r.rc, len(re.findall(b"Retry 1 of 1 in [12] s: Connection refused\n", r.out))), (11, 1), r)

    def test_dry_run(self):
        with Server() as server:
            r = self.upload(server.url(), "--dry-run", "--extra-post", b"k=v\xe9")
        self.assertEqual((r.rc, r.err, server.requests), (0, b"", []), r)
        [zipname] = self.zips()
        eid = zipname[:20].encode()
        with open(os.path.join(self.dir, zipname), "rb") as f:
            archive = f.read()
        json_body = b'{"id":"' + eid + b'"}'

        def line(name, body, filename=None, ctype=None):
            text = b'name="%s"' % name + (b' filename="%s"' % filename if filename else b"")
            text += b" type=" + ctype if ctype else b""
            text += b" size=%d sha256=%s" % (len(body), hashlib.sha256(body).hexdigest().encode())
            return text + (b' value="%s"' % body if not filename else b"")

        self.assertEqual(r.out.split(b"\n")[-11:], [
            b"Dry run: nothing sent to " + server.url().encode(),
            line(b"jsonFile", json_body, eid + b".json", b"application/octet-stream"),
            line(b"zipFile", archive, zipname.encode(), b"application/x-zip-compressed"),
            line(b"k", b"v\xe9"), line(b"org", b"o"), line(b"project", b"p"), line(b"type", b"t"),
            b"--- jsonFile ---", json_body, b"--- end ---", b""])

    def test_report(self):
        report = os.path.join(self.dir, "report.json")
        rows = [  # replies, extra args, exit, statusCode, redirects, attempts, finalUrl path
            ([(200, {"Content-Type": "application/json"}, b'{"id":"e1"}')], [], 0, 200, 0, 1, "/upload"),
            ([(302, {"Location": "/b"}), (307, {"Location": "c"}), (200, {})], [], 0, 200, 2, 1, "/c"),
            ([(500, {})], ["--retry", "1"], 500, 500, 0, 2, "/upload"),
            ([(200, {})], ["--dry-run"], 0, None, 0, 0, None),
        ]
        for replies, extra, rc, status, redirects, attempts, final in rows:
            with Server(replies) as server:
                r = self.upload(server.url(), "--report", report, *extra)
            self.assertEqual(r.rc, exit_code(rc), r)
            with open(report) as f:
                got = json.load(f)
            self.assertEqual((got["exitCode"], got["statusCode"], got["redirects"], got["attempts"], got["dryRun"]),
                             (rc, status, redirects, attempts, "--dry-run" in extra))
            self.assertEqual(got["finalUrl"], final and server.url(final))
            self.assertEqual(got["url"], server.url())
            self.assertEqual(os.path.getsize(os.path.join(self.dir, got["archivePath"])), got["archiveBytes"])
            self.assertEqual(len(got["eventId"]), 20)
            if status:
                self.assertGreater(got["bytesSent"], got["archiveBytes"])
            # The reply's body and type, and no error text on success.
            body = replies[-1][2].decode() if len(replies[-1]) == 3 else ""
            self.assertEqual((got["responseBody"], got["errorString"] == ""), (status and body, rc == 0))
            self.assertEqual(got["responseContentType"], "application/json" if body else None)
            self.assertIs(got["interrupted"], False)
            self.assertIsInstance(got["elapsedMs"], (int, float))
        r = self.upload("http://127.0.0.1:9/", "--report", os.path.join(self.dir, "no", "such", "dir.json"))
        self.assertEqual(r.rc, 11)
        self.assertIn(b"Fail to write report ", r.err)

    def test_progress(self):
        self.write("dump", os.urandom(8 << 20))
        rows = [  # --progress, whether stderr is a terminal, whether the line shows
            ([], True, True), ([], False, False), (["--progress", "never"], True, False),
            (["--progress", "always"], False, True),
        ]
        plain = None
        for extra, terminal, shown in rows:
            with Server(["slow"]) as server:
                out, err, rc = self.run_on_terminal(server.url(), extra) if terminal else (lambda r: (r.out, r.err, r.rc))(
                    self.upload(server.url(), *extra))
            self.assertEqual(rc, 0, err)
            if shown:
                self.assertRegex(err, rb"^\rArchiving: \d+\.\d of 8\.0 MiB read \(\d+%\), \d+ s\x1b\[K")
                self.assertRegex(err, rb"\rUploading: [\d.]+ of [\d.]+ MiB \(\d+%\)(\x1b|, [\d.]+ MiB/s)")
                self.assertNotRegex(err, rb"Uploading: [^\r]*MiB/s[^\r]*\r[^\r]*$")
                # The collector takes half a second to answer: the line says so, then the summary ends the run.
                self.assertIn(b"\rUploaded 8.0 MiB, waiting for the server: 0 s\x1b[K", err)
                self.assertRegex(err, rb"\r\x1b\[KDelivered [-0-9a-f]{20} to http://127\.0\.0\.1:\d+/upload: 200 in "
                                      rb"\d+\.\d s\n$")
            else:
                self.assertEqual(err, b"")
            # Standard output is what it always was, terminal or not.
            shape = re.sub(rb"[-0-9a-f]{20}|127\.0\.0\.1:\d+", b"X", out.replace(b"\r\n", b"\n"))
            plain = plain or shape
            self.assertEqual(shape, plain)
        r = self.upload("http://127.0.0.1:9/", "--progress", "sometimes")
        self.assertTrue(r.out.startswith(b'Bad value for --progress: "sometimes" (auto, always or never)\n\nQuillfast'))

    def test_progress_on_a_narrow_terminal(self):
        self.write("dump", os.urandom(8 << 20))
        with Server([(503, {}), "slow"]) as server:
            out, err, rc = self.run_on_terminal(server.url(), ["--retry", "1"], columns=30)
        self.assertEqual(rc, 0, err)
        # Every redraw fits in 29 columns, so none wraps and leaves a stale row.
        frames = [f.replace(b"\x1b[K", b"") for f in err.split(b"\r")]
        self.assertTrue(all(len(f) <= 29 for f in frames[:-1]), frames)
        self.assertEqual(frames[-1][:10], b"Delivered ")  # the summary is a whole line
        # A person at a terminal sees the real wait before a retry, to a tenth of a second.
        self.assertRegex(out, rb"\nRetry 1 of 1 in [01]\.\d s: ")

    def run_on_terminal(self, url, extra, columns=80):
        """One upload with standard error on a pseudo-terminal of that width; returns stdout, what the
        terminal got, status."""
        controller, terminal = pty.openpty()
        fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        process = subprocess.Popen([BIN, "-u", url] + self.upload_args + VARS + extra, cwd=self.dir,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=terminal)
        os.close(terminal)
        got = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the other side is closed
                break
            if not chunk:
                break
            got += chunk
        os.close(controller)
        out = process.stdout.read()
        process.wait(30)
        return out, got.replace(b"\r\n", b"\n"), process.returncode

    def test_max_time(self):
        report = os.path.join(self.dir, "report.json")
        for extra, posts in (([], 1), (["--retry", "3"], 1), (["--retry", "3", "--idle-timeout", "1"], 1)):
            with Server(["drip"]) as server:
                start = time.time()
                r = self.upload(server.url(), "--max-time", "2", "--report", report, *extra)
                seconds = time.time() - start
            # The drip keeps the link moving, so only the deadline ends it, and no retry follows.
            self.assertEqual((r.rc, r.err, len(server.requests)), (14, b"Operation timed out after 2 s\n", posts), r)
            self.assertLess(seconds, 3)
            with open(report) as f:
                self.assertIs(json.load(f)["maxTimeReached"], True)

    def test_bad_values(self):
        for extra in (["--retry", "x"], ["--idle-timeout", "-3"], ["--cacert", "dump"]):
            r = self.upload("http://127.0.0.1:9/", *extra)
            self.assertEqual((r.rc, r.err), (1, b""))
            self.assertTrue(r.out.startswith(b"Bad value for " + extra[0].encode()) and r.out.endswith(USAGE), r)
        self.assertEqual(self.zips(), [])
