"""Resumable uploads (--protocol tus) against a real tus server: the stored upload is the
POST's form byte for byte, and a cut connection costs only what was in flight."""
import base64
import glob
import json
import os
import re
import shutil
import signal
import subprocess

from harness import BIN, VARS, CuttingRelay, EventCase, Nginx, Request, Server, Squid, TusServer, ca_signed, exit_code

MIB = 1 << 20


def normalized(body, boundary, event_id):
    """A form with its boundary and event id, which every run draws anew, made the same (and
    so the digest of the description that holds the id)."""
    return re.sub(rb"sha-256=:[^:]*:", b"DIGEST", body.replace(boundary, b"BOUNDARY").replace(event_id, b"EVENT"))


def stored(upload):
    """A kept upload as the form it carries: (its normalized body, a Request to read its parts)."""
    info, data = upload
    ctype = info["metadata"]["filetype"]
    boundary = ctype.split("boundary=", 1)[1].strip('"').encode()
    return normalized(data, boundary, info["metadata"]["eventId"].encode()), Request("", [("Content-Type", ctype)], data)


class Tus(EventCase):
    def test_the_upload_is_the_posts_form(self):
        rows = [  # more arguments, for the POST and the upload alike
            [],
            ["--hash-parts", "--extra-post", "build=42", "--archiver", "builtin"],
        ]
        with TusServer() as tus, Server() as collector:
            for extra in rows:
                r = self.upload(collector.url(), *extra)
                self.assertEqual(r.rc, 0, r)
                post = collector.requests[-1]
                boundary = post.header("Content-Type").split("boundary=", 1)[1].strip('"').encode()
                [event_id] = [h.split(b'filename="')[1].split(b".zip")[0] for head, _ in post.parts() for h in head
                              if b'name="zipFile"' in h]
                before = len(tus.uploads())
                r = self.upload(tus.url(), "--protocol", "tus", *extra)
                self.assertEqual(r.rc, 0, r)
                self.assertIn(b"\nUpload to " + tus.url().encode() + b"\n", r.out)
                uploads = tus.uploads()
                self.assertEqual(len(uploads), before + 1, extra)
                info, data = uploads[-1]
                self.assertEqual((info["size"], len(data)), (len(data), len(post.body)), extra)
                body, _ = stored(uploads[-1])
                self.assertEqual(body, normalized(post.body, boundary, event_id), extra)
                self.assertEqual(info["metadata"]["filename"], info["metadata"]["eventId"] + ".zip")

    def test_a_cut_costs_what_was_in_flight(self):
        self.write("dump", os.urandom(3 * MIB))
        rows = [  # where each connection is cut (client bytes), exit status
            ([None], 0),
            ([MIB], 0),
            ([300000, 700000], 0),
        ]
        with TusServer() as tus:
            for cuts, rc in rows:
                for name in self.zips():
                    os.remove(os.path.join(self.dir, name))
                with CuttingRelay(tus.port, cuts) as relay:
                    url = "http://127.0.0.1:%d/files" % relay.port
                    r = self.upload(url, "--protocol", "tus", "--zip-level", "0", "--max-time", "60", "--report", "r.json")
                self.assertEqual(r.rc, exit_code(rc), (cuts, r))
                self.assert_the_archive_arrived(tus.uploads()[-1], cuts)
                info, data = tus.uploads()[-1]
                # The report: the upload, its body's size, and what was handed to connections (a cut one's too).
                report = self.report("r.json")
                self.assertTrue(report["uploadUrl"].startswith(url + "/"), report)
                self.assertEqual(report["bodyBytes"], len(data))
                if cuts == [None]:
                    self.assertEqual(report["bytesSent"], len(data))
                else:
                    self.assertGreater(report["bytesSent"], len(data))
                # What went on: the body once, what each cut lost in flight, and the requests' heads.
                self.assertLessEqual(relay.sent, len(data) + sum(c for c in cuts if c) + 4096 * len(relay.cuts) + 4096,
                                     (cuts, relay.sent, len(data)))

    def assert_the_archive_arrived(self, upload, label):
        info, data = upload
        self.assertEqual(info["size"], len(data), label)
        _, form = stored(upload)
        [archive] = self.zips()
        with open(os.path.join(self.dir, archive), "rb") as f:
            self.assertIn(f.read(), [body for head, body in form.parts()], label)

    def test_a_kept_upload_goes_on(self):
        """A run stopped mid-upload, or cut past its resumes, keeps its upload in the queue; the
        resend goes on from the server's offset, or makes an upload the server forgot again."""
        self.write("dump", os.urandom(2 * MIB))
        rows = [  # how the first run ends, its exit status, whether the server then forgets the upload
            ("SIGTERM", 143, False),
            ("cut", 12, False),
            ("cut", 12, True),
        ]
        with TusServer() as tus:
            for end, rc, forgotten in rows:
                label = (end, forgotten)
                shutil.rmtree(os.path.join(self.dir, "q"), True)
                for name in self.zips():
                    os.remove(os.path.join(self.dir, name))
                # The first connection is cut (or held) a MiB in; with cut, every one after it
                # too, until the resend.
                cuts = [MIB] + ([0] * 40 if end == "cut" else [])
                with CuttingRelay(tus.port, cuts, hold=end == "SIGTERM") as relay:
                    url = "http://127.0.0.1:%d/files" % relay.port
                    args = ["-u", url] + self.upload_args + VARS + ["--protocol", "tus", "--zip-level", "0", "--queue", "q"]
                    if end == "SIGTERM":
                        process = subprocess.Popen([BIN] + args, cwd=self.dir, stdout=subprocess.PIPE,
                                                   stderr=subprocess.PIPE)
                        self.assertTrue(relay.held.wait(30), label)
                        process.send_signal(signal.SIGTERM)
                        process.communicate(timeout=30)
                        first = process.returncode
                    else:
                        first = self.run_tool(args).rc
                    self.assertEqual(first, exit_code(rc), label)
                    [entry] = glob.glob(os.path.join(self.dir, "q", "2*", "entry.json"))
                    with open(entry) as f:
                        upload = json.load(f)["upload"]
                    self.assertTrue(upload["url"].startswith(url + "/"), (label, upload))
                    self.assertGreaterEqual(upload["sent"], MIB // 2, (label, upload))
                    if forgotten:
                        tus.forget(upload["url"])
                    del relay.cuts[:]
                    before = relay.sent
                    r = self.run_tool(["--resend", "q"])
                self.assertEqual(r.rc, 0, (label, r))
                self.assertEqual(glob.glob(os.path.join(self.dir, "q", "2*")), [], label)
                self.assertEqual(b"Upload to " in r.out, forgotten, (label, r.out))
                self.assert_the_archive_arrived(tus.uploads()[-1], label)
                # The resend sent the rest only (the server keeps what came in 64 KiB writes),
                # or the whole body again to an upload made anew.
                body = tus.uploads()[-1][0]["size"]
                resent = relay.sent - before
                if forgotten:
                    self.assertGreaterEqual(resent, body, label)
                else:
                    self.assertLessEqual(resent, body - MIB + 3 * 65536, (label, resent, body))

    def test_sent_while_written(self):
        """With the built-in engine, the upload is made with its length deferred and its pieces
        go while the archive is still written; the transcript is the one of compressing, then
        sending, and what the server stores is the POST's form around the archive on disk."""
        self.write("dump", base64.b64encode(os.urandom(18 * MIB)))  # it deflates, slowly: 24 MiB of random text
        with TusServer() as tus, CuttingRelay(tus.port, [None], watch=(b"Upload-Defer-Length: 1", b"PATCH ")) as relay:
            url = "http://127.0.0.1:%d/files" % relay.port
            r = self.upload(url, "--protocol", "tus", "--archiver", "builtin", "--zip-level", "9", "--report", "r.json")
            self.assertEqual(r.rc, 0, r)
            self.assertRegex(r.out, rb"^Creating archive: [^\n]+\.zip \(\d+ bytes\)\nUpload to " + url.encode() + rb"\n$")
            self.assert_the_archive_arrived(tus.uploads()[-1], "while written")
            [archive] = self.zips()
            self.assertIn(b"Upload-Defer-Length: 1", relay.seen)
            self.assertLess(relay.seen[b"PATCH "], os.path.getmtime(os.path.join(self.dir, archive)))
            report = self.report("r.json")
            self.assertEqual(report["bytesSent"], report["bodyBytes"])

    def test_a_stall_is_resumed(self):
        """A connection that goes silent mid-piece: past --idle-timeout the offset is asked on a
        new connection, and the rest sent; --max-time bounds it all. The progress line counts
        the piece after the stall in the whole body."""
        self.write("dump", os.urandom(3 * MIB))
        with TusServer() as tus, CuttingRelay(tus.port, [MIB], hold=True) as relay:
            r = self.upload("http://127.0.0.1:%d/files" % relay.port, "--protocol", "tus", "--zip-level", "0",
                            "--idle-timeout", "1", "--max-time", "30", "--progress", "always")
            self.assertEqual(r.rc, 0, r)
            self.assertGreaterEqual(relay.connections, 2)
            self.assert_the_archive_arrived(tus.uploads()[-1], "stalled")
        self.assertEqual(set(re.findall(rb"(?:of|Uploaded) ([\d.]+) MiB", r.err)), {b"3.0"}, r.err[-600:])

    def test_max_time_counts_from_the_upload_begun(self):
        """--max-time bounds the upload phase, which begins while the archive is written."""
        self.write("dump", base64.b64encode(os.urandom(18 * MIB)))
        with TusServer() as tus, CuttingRelay(tus.port, [MIB], hold=True) as relay:
            r = self.upload("http://127.0.0.1:%d/files" % relay.port, "--protocol", "tus", "--archiver", "builtin",
                            "--zip-level", "9", "--max-time", "1")
        self.assertEqual((r.rc, r.err), (exit_code(14), b"Operation timed out after 1 s\n"), r)
        self.assertEqual(relay.connections, 1)  # nothing asked again after the deadline

    def test_through_squid(self):
        self.write("dump", os.urandom(3 * MIB))
        with TusServer() as tus:
            for cuts in ([None], [MIB]):  # squid's own connection to the server cut: its 502 is resumed
                with CuttingRelay(tus.port, cuts) as relay, Squid(names=("collector",)) as squid:
                    for name in self.zips():
                        os.remove(os.path.join(self.dir, name))
                    r = self.upload("http://collector:%d/files" % relay.port, "--protocol", "tus", "--zip-level", "0",
                                    "--proxy", "127.0.0.1:%d" % squid.port, "--max-time", "60")
                self.assertEqual(r.rc, 0, (cuts, r))
                self.assert_the_archive_arrived(tus.uploads()[-1], cuts)

    def test_over_tls_with_a_client_certificate(self):
        server_tls, server_ca = ca_signed(self.dir, "server")
        (client_cert, client_key), client_ca = ca_signed(self.dir, "client")
        front = ("location / { proxy_pass http://UPSTREAM; proxy_http_version 1.1; proxy_request_buffering off;"
                 " proxy_set_header X-Forwarded-Host $http_host; proxy_set_header X-Forwarded-Proto https; }")
        self.write("dump", os.urandom(2 * MIB))
        with TusServer() as tus, Nginx(tus.port, front, tls=server_tls, client_ca=client_ca) as nginx:
            url = nginx.url("/files", scheme="https")
            rows = [  # arguments, exit status, uploads made
                (["--cacert", server_ca], 400, 0),  # no certificate: the front refuses the creation
                (["--mtls-cert", client_cert, "--mtls-key", client_key, "--cacert", server_ca], 0, 1),
            ]
            for extra, rc, made in rows:
                for name in self.zips():
                    os.remove(os.path.join(self.dir, name))
                before = len(tus.uploads())
                r = self.upload(url, "--protocol", "tus", *extra)
                self.assertEqual(r.rc, exit_code(rc), (extra, r))
                self.assertEqual(len(tus.uploads()) - before, made, extra)
            self.assert_the_archive_arrived(tus.uploads()[-1], "mTLS")

    def test_an_offset_that_cannot_be_true(self):
        rows = [  # what the server says after the first piece's connection closed
            ((200, {"Upload-Offset": "99999999", "Tus-Resumable": "1.0.0"}), 28,
             rb"The server's upload offset 99999999 is not one this upload reached \(0 confirmed, \d+ sent\)\n"),
            ((200, {"Upload-Offset": "-5"}), 28, b"The server's upload offset -5 is not one .+\n"),
            ((410, {}), 12, b"Connection closed\n"),  # forgotten: made again once, and cut again
        ]
        for answer, rc, err in rows:
            replies = [(201, {"Location": "/files/one"}), "close", answer, (201, {"Location": "/files/two"}), "close"]
            with Server(replies) as server:
                r = self.upload(server.url("/files"), "--protocol", "tus")
            self.assertEqual(r.rc, exit_code(rc), (answer, r))
            self.assertRegex(r.err, b"^" + err + b"$", answer)

    def test_options(self):
        rows = [  # arguments, exit status, stdout's first line
            (["--protocol", "ftp"], 1, b'Bad value for --protocol: "ftp" (post or tus)'),
        ]
        for extra, rc, first in rows:
            r = self.upload("http://127.0.0.1:9/files", *extra)
            self.assertEqual(r.rc, exit_code(rc), (extra, r))
            self.assertTrue(r.out.startswith(first + b"\n\n"), (extra, r.out[:200]))
