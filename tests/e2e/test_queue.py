"""The queue: an event whose upload failed for now is kept, and --resend posts
it later with the same event id and the same bytes."""
import base64
import glob
import hashlib
import json
import os
import re
import signal
import stat
import subprocess
import time

from harness import BIN, USAGE, VARS, Case, Server, closed_port, exit_code

KEPT = re.compile(rb"^Kept in queue: (q/\d{8}T\d{6}\.\d{3}Z-([-0-9a-f]{20}))$", re.M)


class QueueCase(Case):
    """A dump, a JSON description, and a queue folder q in the scratch folder."""
    upload_args = ["-f", "dump", "-j", "e.json", "--queue", "q"]

    def setUp(self):
        super().setUp()
        self.write("dump", os.urandom(200000))
        self.write("e.json", b'{"id":"$eventId"}')

    def entries(self, where="q"):
        return sorted(glob.glob(os.path.join(self.dir, where, "2*")))

    def entry(self, path):
        with open(os.path.join(path, "entry.json")) as f:
            return json.load(f)

    def resend(self, *extra, **kw):
        return self.run_tool(["--resend", "q"] + list(extra), **kw)

    def keep_one(self, server, *extra):
        """Queues one event that server refuses for now: its entry's path and event id."""
        server.script([(503, {})])
        r = self.upload(server.url(), *extra)
        [(path, event_id)] = KEPT.findall(r.out)
        return os.path.join(self.dir, path.decode()), event_id.decode()


class Queue(QueueCase):

    def test_keep_then_resend(self):
        rows = [  # reply of the first run, its exit status, whether it is kept, then the resend's reply and outcome
            ((503, {}), 503, True, (200, {}), "delivered"),
            ("close", 12, True, (503, {}), "kept"),
            ((429, {}), 27, True, (413, {}), "failed"),  # 429 has no code of its own
            ((400, {}), 400, False, None, None),
            ((503, {}), 503, True, (201, {}), "delivered"),  # accepted by the resend, never moved to failed/
        ]
        for first, rc, kept, again, outcome in rows:
            server = Server([first])
            self.addCleanup(server.stop)
            # An empty name and a quote are resent as they were sent the first time.
            r = self.upload(server.url(), "--header", "Authorization: Bearer tok-secret", "--extra-post", "=",
                            "--extra-post", 'q"k=1')
            self.assertEqual(r.rc, exit_code(rc), (first, r))
            first_heads = [head for head, _ in server.requests[0].parts()] if first != "close" else None
            found = KEPT.findall(r.out)
            self.assertEqual(len(found), 1 if kept else 0, r.out[-300:])
            if not kept:
                self.assertEqual(self.entries(), [])
                continue
            path, event_id = os.path.join(self.dir, found[0][0].decode()), found[0][1]
            self.assertEqual(self.entries(), [path])
            # Private, and the delivery's own secrets are not stored.
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.dir, "q")).st_mode), 0o700)
            self.assertEqual({stat.S_IMODE(os.stat(os.path.join(path, n)).st_mode) for n in os.listdir(path)}, {0o600})
            self.assertFalse(any(b"tok-secret" in open(os.path.join(path, n), "rb").read() for n in os.listdir(path)))
            self.assertEqual((self.entry(path)["attempts"], self.entry(path)["lastStatus"]), (1, rc))

            server.script([again])
            count = len(server.requests)
            r = self.resend("--header", "Authorization: Bearer tok-secret", "--accept-status", "201", "--report", "r.json")
            # An accepted status is a delivery, a 200, everywhere; the report keeps the server's own beside it.
            line = b"%s %s %d" % (event_id, outcome.encode(), 200 if outcome == "delivered" else again[0])
            self.assertIn(line + b"\n", r.out)
            self.assertEqual(r.rc, 0 if outcome == "delivered" else exit_code(again[0]), r)
            [post] = server.requests[count:]
            self.assertEqual(post.header("Authorization"), "Bearer tok-secret")
            parts = post.parts()
            self.assertEqual(parts[0][1], b'{"id":"%s"}' % event_id)
            heads = [head for head, _ in parts]
            self.assertIn([b'Content-Disposition: form-data; name=""'], heads)
            self.assertIn([b'Content-Disposition: form-data; name="q%22k"'], heads)
            self.assertEqual(heads, first_heads or heads)
            with open(os.path.join(self.dir, event_id.decode() + ".zip"), "rb") as f:
                self.assertEqual(parts[1][1], f.read())  # the same bytes, the same event
            self.assertEqual([(e["eventId"], e["outcome"], e["attempts"], e["httpStatus"]) for e in self.report("r.json")["events"]],
                             [(event_id.decode(), outcome, 2, again[0])])
            if outcome == "delivered":
                self.assertEqual(self.entries(), [])
            elif outcome == "kept":
                self.assertEqual((self.entry(path)["attempts"], self.entry(path)["lastStatus"]), (2, 503))
                # Put off for an hour: the next resend leaves it, unless every entry is asked for.
                for extra, line, posts in (([], b"%s waiting 503 until " % event_id, 0), (["--all-entries"], b"%s kept 503\n" % event_id, 1)):
                    count = len(server.requests)
                    r = self.resend(*extra)
                    self.assertEqual((r.rc, line in r.out, len(server.requests) - count), (0 if not extra else 247, True, posts), r)
            else:
                [moved] = self.entries("q/failed")
                self.assertEqual(self.entry(moved)["lastStatus"], 413)
                self.assertRegex(self.entry(moved)["lastError"], "server replied: Scripted$")
                self.assertEqual(self.entries(), [])
            for name in self.entries() + self.entries("q/failed"):
                subprocess.run(["rm", "-rf", name], check=True)

    def test_urls_that_can_never_work_are_not_kept(self):
        rows = [("http://", 13), ("htp://x", 23), ("ftp://x/submit", 23)]  # URL, its exit status as before
        for url, rc in rows:
            r = self.upload(url, "--queue", "q", "--retry", "0")
            self.assertEqual(r.rc, rc, (url, r))
            self.assertNotIn(b"Kept in queue", r.out, url)
            self.assertEqual(self.entries(), [], url)

    def test_digests_and_idempotency_key(self):
        # With --hash-parts every file part carries its SHA-256 and every request the event's key:
        # on the first attempt, on a retry, and on the resend of the entry kept.
        with Server([(503, {}), (503, {}), (200, {})]) as server:
            r = self.upload(server.url(), "--hash-parts", "--retry", "1")
            [(_, event_id)] = KEPT.findall(r.out)
            self.assertEqual(self.resend().rc, 0)
            posts = [q for q in server.requests if q.line.startswith("POST")]
        self.assertEqual(len(posts), 3)
        for post in posts:
            self.assertEqual(post.header("Idempotency-Key"), '"%s"' % event_id.decode())
            for head, body in post.parts():
                digests = [h for h in head if h.startswith(b"Content-Digest: ")]
                expected = [b"Content-Digest: sha-256=:%s:" % base64.b64encode(hashlib.sha256(body).digest())]
                self.assertEqual(digests, expected if any(b"filename=" in h for h in head) else [], head)

    def test_two_resends_at_once(self):
        with Server([(503, {})]) as server:
            for _ in range(3):
                self.upload(server.url())
            self.assertEqual(len(self.entries()), 3)
            server.script(["slow"])
            count = len(server.requests)
            runs = [subprocess.Popen([BIN, "--resend", "q"], cwd=self.dir, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE) for _ in range(2)]
            outs = [run.communicate(timeout=60)[0] for run in runs]
        self.assertEqual([run.returncode for run in runs], [0, 0])
        self.assertEqual(sum(out.count(b" delivered 200\n") for out in outs), 3, outs)
        ids = [q.parts()[0][1] for q in server.requests[count:]]
        self.assertEqual((len(ids), len(set(ids))), (3, 3))  # each event exactly once
        self.assertEqual(self.entries(), [])

    def test_limits_and_age(self):
        port = closed_port()
        rs = [self.upload("http://127.0.0.1:%d/" % port, "--queue-max-events", "2") for _ in range(3)]
        first = KEPT.search(rs[0].out).group(1).decode()
        self.assertIn(b"Dropped from queue: %s (the queue is full)\n" % first.encode(), rs[2].out)
        self.assertEqual(len(self.entries()), 2)
        self.write("big", os.urandom(2 << 20))
        r = self.run_tool(["-u", "http://127.0.0.1:%d/" % port, "-f", "big", "--queue", "q", "--queue-max-bytes", "1M"]
                          + VARS)
        self.assertEqual(r.rc, 11)
        self.assertRegex(r.err, rb"\nFail to queue in q: the event takes \d+ bytes, more than the queue's limit of 1048576\n$")
        self.assertEqual(len(self.entries()), 2)  # the older entries are as they were
        # An entry older than 30 days is dropped at resend, unsent.
        description = self.entry(self.entries()[0])
        description["created"] = "2020-01-01T00:00:00.000Z"
        old = os.path.join(self.dir, "q", "20200101T000000.000Z-" + description["eventId"])
        os.rename(self.entries()[0], old)
        with open(os.path.join(old, "entry.json"), "w") as f:
            json.dump(description, f)
        r = self.resend()
        self.assertIn(b"Dropped from queue: q/%s (older than 30 days)\n" % os.path.basename(old).encode(), r.out)
        self.assertEqual((r.rc, len(self.entries())), (11, 1))  # the other one was tried, and kept

    def start_slow_queueing(self, archive_bytes):
        """A run whose big archive is queued on another file system, where it is copied, which
        takes long enough to be stopped in: the process and the queue, once the copy is under way."""
        spool = "/dev/shm"
        if not os.path.isdir(spool) or os.stat(spool).st_dev == os.stat(self.dir).st_dev:
            self.skipTest("needs /dev/shm on another file system than %s" % self.dir)
        queue = os.path.join(spool, "quillfast-queue-%d" % os.getpid())
        self.addCleanup(subprocess.run, ["rm", "-rf", queue])
        bindir = self.stand_in('head -c %d /dev/zero > "$2"\n' % archive_bytes)
        args = ["-u", "http://127.0.0.1:%d/" % closed_port(), "-f", "dump", "--queue", queue] + VARS
        env = dict(os.environ, PATH=bindir + os.pathsep + os.environ["PATH"])
        process = subprocess.Popen([BIN] + args, cwd=self.dir, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.time() + 60
        while time.time() < deadline and not glob.glob(os.path.join(queue, ".tmp-*", "part-*")):
            time.sleep(0.001)
        return process, queue

    def test_killed_while_queueing(self):
        process, queue = self.start_slow_queueing(400000000)
        process.send_signal(signal.SIGKILL)
        process.communicate(timeout=10)
        self.assertEqual(glob.glob(os.path.join(queue, "2*")), [])  # no entry is visible
        [leftover] = glob.glob(os.path.join(queue, ".tmp-*"))
        # A leftover is cleared once it is a minute old: a new one may not be locked yet.
        os.utime(leftover, (time.time() - 120, time.time() - 120))
        self.write("dump", b"small")
        r = self.run_tool(["-u", "http://127.0.0.1:%d/" % closed_port(), "-f", "dump", "--queue", queue] + VARS)
        self.assertEqual((r.rc, len(KEPT.findall(r.out.replace(queue.encode(), b"q")))), (11, 1), r)
        self.assertEqual(glob.glob(os.path.join(queue, ".tmp-*")), [])  # the dead writer's leftovers are gone

    def test_second_signal_stops_the_copy(self):
        process, queue = self.start_slow_queueing(1500000000)
        process.send_signal(signal.SIGTERM)
        out, err = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 143, err)
        self.assertIn(b"Fail to queue in %s: stopped by a signal while copying part-0\n" % queue.encode(), err)
        self.assertEqual([n for n in os.listdir(queue) if n != ".lock"], [])  # no half entry

    def test_bad_command_lines(self):
        rows = [
            (["--resend", "q", "-u", "http://h/"], b"--resend cannot be used with --url\n\n"),
            (["--resend", "q", "--dry-run"], b"--resend cannot be used with --dry-run\n\n"),
            (["--extra-post", "a=b", "--resend", "q"], b"--resend cannot be used with --extra-post\n\n"),
            (["-u", "http://h/", "-f", "dump", "--queue", "q", "--dry-run"] + VARS,
             b"--queue cannot be used with --dry-run\n\n"),
            (["-u", "http://h/", "-f", "dump", "--queue-max-events", "5"] + VARS,
             b"--queue-max-events and --queue-max-bytes need --queue\n\n"),
            (["--resend", "q", "--queue-max-bytes", "1k"],
             b'Bad value for --queue-max-bytes: "1k" (a size from 1M to 1024G: digits, then K, M or G)\n\n'),
        ]
        for args, message in rows:
            r = self.run_tool(args)
            self.assertEqual((r.rc, r.out), (1, message + USAGE), args)
        self.assertEqual((self.zips(), os.path.exists(os.path.join(self.dir, "q"))), ([], False))
        for missing in ("nothing-here", "dump"):
            r = self.run_tool(["--resend", missing])
            self.assertEqual((r.rc, r.out, r.err), (255, b"", b"No queue folder at %s\n" % missing.encode()))
