"""Resumable uploads (--protocol tus) against a real tus server: the stored upload is the
POST's form byte for byte, and a cut connection costs only what was in flight."""
import os
import re

from harness import VARS, CuttingRelay, EventCase, Request, Server, TusServer, exit_code

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
                    r = self.upload("http://127.0.0.1:%d/files" % relay.port, "--protocol", "tus", "--zip-level", "0",
                                    "--max-time", "60")
                self.assertEqual(r.rc, exit_code(rc), (cuts, r))
                info, data = tus.uploads()[-1]
                self.assertEqual(info["size"], len(data), cuts)
                _, form = stored((info, data))
                [archive] = self.zips()
                with open(os.path.join(self.dir, archive), "rb") as f:
                    self.assertIn(f.read(), [body for head, body in form.parts()], cuts)
                # What went on: the body once, what each cut lost in flight, and the requests' heads.
                self.assertLessEqual(relay.sent, len(data) + sum(c for c in cuts if c) + 4096 * len(relay.cuts) + 4096,
                                     (cuts, relay.sent, len(data)))

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
            (["--protocol", "tus", "--queue", "q"], 1, b"--queue cannot be used with --protocol tus yet"),
            (["--protocol", "tus", "--proxy", "http://p:1", "--kerberos"], 1, b"--kerberos cannot be used with --protocol tus yet"),
        ]
        for extra, rc, first in rows:
            r = self.upload("http://127.0.0.1:9/files", *extra)
            self.assertEqual(r.rc, exit_code(rc), (extra, r))
            self.assertTrue(r.out.startswith(first + b"\n\n"), (extra, r.out[:200]))
