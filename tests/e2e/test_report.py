"""What a run shows of itself without sending, and what it writes down: the dry run and the report."""
import hashlib
import os

from harness import EventCase, Server, exit_code


class Reports(EventCase):
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
        rows = [  # replies, extra args, exit, statusCode, httpStatus, redirects, attempts, finalUrl path
            ([(200, {"Content-Type": "application/json"}, b'{"id":"e1"}')], [], 0, 200, 200, 0, 1, "/upload"),
            ([(302, {"Location": "/b"}), (307, {"Location": "c"}), (200, {})], [], 0, 200, 200, 2, 1, "/c"),
            ([(200, {})], ["--dry-run"], 0, None, 0, 0, 0, None),
            # A status without a code of its own keeps its code, and tells the status beside it; what
            # each record comes to is tst_report's, and what a status delivers tst_delivery's.
            ([(429, {})], [], 27, 27, 429, 0, 1, "/upload"),
            ([(207, {})], ["--accept-status", "2xx"], 0, 200, 207, 0, 1, "/upload"),
        ]
        for replies, extra, rc, status, http, redirects, attempts, final in rows:
            with Server(replies) as server:
                r = self.upload(server.url(), "--report", report, *extra)
            self.assertEqual(r.rc, exit_code(rc), (extra, r))
            got = self.report()
            self.assertEqual((got["exitCode"], got["statusCode"], got["httpStatus"], got["redirects"], got["attempts"],
                              got["dryRun"]), (rc, status, http, redirects, attempts, "--dry-run" in extra), replies)
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

    def test_report_that_cannot_be_written(self):
        # Checked before anything is made; a folder that goes away meanwhile fails the run, never 0.
        os.mkdir(os.path.join(self.dir, "gone"))
        bindir = self.stand_in('rmdir gone && exec /usr/bin/7z "$@"\n')
        rows = [  # report, exit status, stdout starts with, stderr, an archive is made
            ("no/such/dir.json", 1, b'Bad value for --report: "no/such/dir.json" (a file in a folder that exists)\n', b"",
             False),
            ("gone/r.json", 255, b"", b"Fail to write report gone/r.json: No such file or directory\n",
             True),
        ]
        with Server() as server:
            for report, rc, out, err, archived in rows:
                r = self.upload(server.url(), "--report", report, path_prefix=bindir)
                self.assertEqual(r.rc, rc, (report, r))
                self.assertTrue(r.out.startswith(out) and r.err == err, (report, r))
                self.assertEqual(bool(self.zips()), archived, report)
        self.assertEqual(server.posts(), 1)  # the event itself went
