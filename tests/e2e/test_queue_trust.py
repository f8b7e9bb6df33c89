"""The queue trusts nothing it did not write: foreign folders, links, tampered
entries, unsafe queue folders and hostile peers neither lose an event nor make
the program delete, follow or send anything that is not its own."""
import fcntl
import json
import os
import re
import shlex
import subprocess

from harness import BIN, VARS, Server, exit_code
from test_queue import KEPT, QueueCase


def tree(path):
    """Every file under path with its bytes: what must come out untouched."""
    found = {}
    for root, _, files in os.walk(path):
        for name in files:
            with open(os.path.join(root, name), "rb") as f:
                found[os.path.relpath(os.path.join(root, name), path)] = f.read()
    return found


class QueueTrust(QueueCase):
    def setUp(self):
        super().setUp()
        self.server = Server()
        self.addCleanup(self.server.stop)
        # What an attacker points links at: it must come out as it went in.
        os.makedirs(os.path.join(self.dir, "victim", "sub"))
        self.write("victim/secret", b"root:$6$hash:19000:0:99999:7:::\n")
        self.write("victim/sub/file", b"keep me")

    def assert_victim_whole(self):
        self.assertEqual(tree(os.path.join(self.dir, "victim")),
                         {"secret": b"root:$6$hash:19000:0:99999:7:::\n", "sub/file": b"keep me"})

    def posts(self, since):
        return [r for r in self.server.requests[since:] if r.line.startswith("POST")]  # the requests themselves

    def test_foreign_folders_are_not_entries(self):
        home = os.path.join(self.dir, "home")
        for name in ["Documents", "Photos"] + ["dir%03d" % i for i in range(100)]:
            os.makedirs(os.path.join(home, name))
            self.write("home/%s/file" % name, name.encode())
        os.chmod(home, 0o700)
        before = tree(home)
        rows = [  # the command, its exit status, what it prints on stdout
            (["-u", self.server.url(), "-f", "dump", "--queue", "home", "--queue-max-events", "2"] + VARS, 503,
             rb"\nKept in queue: home/\S+\n$"),
            (["-u", self.server.url(), "-f", "dump", "--queue", "home"] + VARS, 503, rb"\nKept in queue: home/\S+\n$"),
            (["--resend", "home"], 503, rb"\n\S+ kept 503\n.*\n\S+ kept 503\n$"),
        ]
        for args, rc, out in rows:
            self.server.script([(503, {})])
            r = self.run_tool(args)
            self.assertEqual(r.rc, exit_code(rc), (args, r))
            self.assertRegex(r.out, out)
            self.assertEqual({k: v for k, v in tree(home).items() if k in before}, before, args)  # nothing of the user's was dropped, moved or read
        self.assertFalse(os.path.exists(os.path.join(home, "failed")))

    def test_tampered_entries(self):
        victim = os.path.join(self.dir, "victim")

        def link_entry(entry):
            os.rename(entry, entry + ".moved")
            os.symlink(victim, entry)

        def link_part(entry):
            os.unlink(os.path.join(entry, "part-1"))
            os.symlink(os.path.join(victim, "secret"), os.path.join(entry, "part-1"))

        def change_part(entry):
            part = os.path.join(entry, "part-1")
            size = os.path.getsize(part)
            with open(part, "r+b") as f:
                f.write(b"\0" * size)

        def edit(**fields):
            def change(entry):
                with open(os.path.join(entry, "entry.json")) as f:
                    description = json.load(f)
                for key, value in fields.items():
                    if key == "name":
                        description["parts"][2]["name"] = value
                    else:
                        description[key] = value
                with open(os.path.join(entry, "entry.json"), "w") as f:
                    json.dump(description, f)
            return change

        def empty_work_copy(entry):
            with open(os.path.join(self.dir, os.path.basename(entry).split("Z-", 1)[1] + ".zip"), "r+b") as f:
                f.truncate(0)

        def link_lock(entry):
            os.symlink(os.path.join(victim, "made-by-lock"), os.path.join(self.dir, "q", ".lock"))

        rows = [  # tamper, exit status of the resend, POSTs it makes, what it says on stderr, the entry is left
            (link_entry, 0, 0, b"", "link"),
            (link_part, 255, 0, rb"Fail to read queue entry q/\S+: part-1: it is a symbolic link\n", "failed"),
            (change_part, 255, 0, rb"part-1 is not the body that was kept \(size or sha256 differs\)\n", "failed"),
            (edit(attempts=2147483647), 255, 0, rb": a bad attempt count\n", "failed"),
            (edit(name="a\r\nX-Injected: 1"), 255, 0, rb": part 2 has a bad name, file name or type\n", "failed"),
            (edit(eventId="\x1b[2J\nFAKE delivered 200"), 255, 0, rb": a bad event id\n", "failed"),
            (edit(created="2020-01-01T00:00:00.000Z"), 255, 0, rb": a bad creation time\n", "failed"),
            (empty_work_copy, 0, 1, b"", None),
            (link_lock, 255, 0, rb"^Fail to lock the queue q\n$", "queue"),
        ]
        for tamper, rc, posts, err, left in rows:
            entry, event_id = self.keep_one(self.server, "--extra-post", "x=y")
            with open(os.path.join(self.dir, event_id + ".zip"), "rb") as f:
                archive = f.read()
            tamper(entry)
            self.server.script([(200, {})])
            count = len(self.server.requests)
            r = self.resend("--report", "r.json")
            label = tamper.__name__
            self.assertEqual(r.rc, rc, (label, r))
            self.assertEqual(len(self.posts(count)), posts, label)
            if err:
                self.assertRegex(r.err, err, label)
            self.assertNotIn(b"FAKE", r.out)
            self.assert_victim_whole()
            self.assertFalse(os.path.exists(os.path.join(victim, "made-by-lock")))
            failed = os.path.join(self.dir, "q", "failed", os.path.basename(entry))
            self.assertEqual(os.path.isdir(failed), left == "failed", label)
            if left == "failed":  # what could not be read is in the report too, and why
                report = self.report("r.json")
                self.assertEqual([(e["eventId"], e["outcome"]) for e in report["events"]], [(event_id, "failed")])
                self.assertRegex(report["errorString"].encode() + b"\n", err, label)
                if tamper is change_part:  # a description still readable says why it was set aside
                    with open(os.path.join(failed, "entry.json")) as f:
                        self.assertEqual(json.load(f)["lastError"], report["events"][0]["errorString"], label)
            if posts:
                self.assertEqual(self.posts(count)[0].parts()[1][1], archive)  # the kept copy, not the emptied one
            if left == "link":
                self.assertTrue(os.path.islink(entry))
            subprocess.run(["rm", "-rf", os.path.join(self.dir, "q")], check=True)

    def test_unsafe_queue_folders(self):
        def open_to_all(q):
            os.chmod(q, 0o777)

        def someone_elses(q):
            os.chown(q, 65534, 65534)

        def linked(q):
            os.rename(q, q + "-real")
            os.symlink(q + "-real", q)

        rows = [  # make q unsafe, the rule it breaks
            (open_to_all, "it is writable by group or others (mode 0777)"),
            (someone_elses, "it is owned by uid 65534, not by uid %d who runs this" % os.geteuid()),
            (linked, "it is a symbolic link"),
        ]
        for unsafe, rule in rows:
            if unsafe is someone_elses and os.geteuid() != 0:
                continue
            q = os.path.join(self.dir, "q")
            self.keep_one(self.server)
            unsafe(q)
            count = len(self.server.requests)
            r = self.resend()
            self.assertEqual((r.rc, r.out, r.err), (255, b"", b"Fail to resend from q: %s\n" % rule.encode()))
            self.assertEqual(len(self.server.requests), count)  # whatever it holds, nothing is sent
            self.server.script([(503, {})])
            r = self.upload(self.server.url())
            self.assertEqual(r.rc, exit_code(503))  # the upload still happens
            self.assertEqual(len(self.server.requests), count + 1)
            self.assertTrue(r.err.endswith(b"\nFail to queue in q: %s\n" % rule.encode()), r.err)
            self.assertNotIn(b"Kept in queue", r.out)
            subprocess.run(["rm", "-rf", q, q + "-real"], check=True)

    def test_failed_folder_that_cannot_take_it(self):
        def failed_is_file(q, name):
            self.write("q/failed", b"")

        def failed_is_link(q, name):
            os.symlink(os.path.join(self.dir, "victim"), os.path.join(q, "failed"))

        def name_taken(q, name):
            os.makedirs(os.path.join(q, "failed", name))
            self.write("q/failed/%s/note" % name, b"")

        for block in (failed_is_file, failed_is_link, name_taken):
            entry, event_id = self.keep_one(self.server)
            block(os.path.join(self.dir, "q"), os.path.basename(entry))
            self.server.script([(400, {})])
            count = len(self.server.requests)
            r = self.resend()
            self.assertEqual(r.rc, 255, (block.__name__, r))
            self.assertIn(b"%s failed 400\n" % event_id.encode(), r.out)
            self.assertRegex(r.err, rb"Fail to set aside queue entry q/\S+: .*\(marked failed, it is not sent again\)\n")
            r = self.resend()  # never posted again
            self.assertEqual((r.rc, len(self.server.requests)), (255, count + 1), block.__name__)
            self.assert_victim_whole()
            subprocess.run(["rm", "-rf", os.path.join(self.dir, "q")], check=True)

    def test_leftovers_of_other_writers(self):
        q = os.path.join(self.dir, "q")
        entry, _ = self.keep_one(self.server)
        name = os.path.basename(entry)
        # A removal cut short by SIGKILL: renamed away, half emptied.
        os.rename(entry, os.path.join(q, ".del-" + name))
        os.unlink(os.path.join(q, ".del-" + name, "part-1"))
        # A dead writer's link, and a writer that is alive in another PID namespace (its PID means nothing here).
        os.symlink(os.path.join(self.dir, "victim"), os.path.join(q, ".tmp-4194305-x"))
        os.mkdir(os.path.join(q, ".tmp-4194306-live"))
        self.write("q/.tmp-4194306-live/part-0", b"being written")
        live = os.open(os.path.join(q, ".tmp-4194306-live"), os.O_RDONLY | os.O_DIRECTORY)
        self.addCleanup(os.close, live)
        fcntl.flock(live, fcntl.LOCK_EX)
        count = len(self.server.requests)
        r = self.resend()
        self.assertEqual((r.rc, r.out, len(self.server.requests)), (0, b"", count))  # delivered already: not again
        self.keep_one(self.server)
        self.assertEqual(sorted(n for n in os.listdir(q) if n.startswith(".")),
                         [".lock", ".tmp-4194305-x", ".tmp-4194306-live"])
        self.assertTrue(os.path.isfile(os.path.join(q, ".tmp-4194306-live", "part-0")))
        self.assert_victim_whole()

    def test_bounds(self):
        # A reason phrase of 1.1 MiB is kept to 1 KiB, and the event is still delivered.
        self.server.script([b"HTTP/1.1 503 " + b"x" * (1100 << 10) + b"\r\nContent-Length: 0\r\n\r\n"])
        r = self.upload(self.server.url())
        [(path, event_id)] = KEPT.findall(r.out)
        entry = os.path.join(self.dir, path.decode())
        self.assertLess(os.path.getsize(os.path.join(entry, "entry.json")), 4096)
        self.server.script([(200, {})])
        r = self.resend()
        self.assertEqual(r.rc, 0)
        self.assertTrue(r.out.endswith(b"\n%s delivered 200\n" % event_id), r.out)
        # 1,100 variables: three files whatever their number, and a resend with few descriptors to spare.
        many = sum((["--extra-post", "v%d=%d" % (i, i)] for i in range(1100)), [])
        entry, event_id = self.keep_one(self.server, *many)
        self.assertEqual(sorted(os.listdir(entry)), ["entry.json", "part-0", "part-1"])
        self.server.script([(200, {})])
        count = len(self.server.requests)
        r = self.resend(max_files=64)
        self.assertEqual(r.rc, 0, r)
        self.assertTrue(r.out.endswith(b"\n%s delivered 200\n" % event_id.encode()), r.out)
        self.assertEqual(len(self.posts(count)[0].parts()), 2 + 3 + 1100)
        # An event over the limit is refused before anything is written in the queue.
        self.write("big", os.urandom(2 << 20))
        before = os.stat(os.path.join(self.dir, "q")).st_mtime_ns
        self.server.script([(503, {})])
        r = self.run_tool(["-u", self.server.url(), "-f", "big", "--queue", "q", "--queue-max-bytes", "1M"] + VARS)
        self.assertIn(b"more than the queue's limit of 1048576", r.err)
        self.assertEqual(os.stat(os.path.join(self.dir, "q")).st_mtime_ns, before)

    def test_full_disk_keeps_the_description(self):
        self.need_namespaces()
        entry, event_id = self.keep_one(self.server)
        name = os.path.basename(entry)
        with open(os.path.join(entry, "entry.json"), "rb") as f:
            description = f.read()
        # A queue on a file system that is full by the time the status is written.
        script = " && ".join([
            "mkdir full", "mount -t tmpfs -o size=2m tmpfs full", "cp -a q full/q",
            "(head -c 4m /dev/zero > full/q/filler 2>/dev/null; true)",
            "(%s --resend full/q; echo rc=$?)" % shlex.quote(BIN),
            "ls -a full/q/%s" % name, "cat full/q/%s/entry.json" % name])
        self.server.script([(503, {})])
        p = subprocess.run(["unshare", "-m", "sh", "-c", script], cwd=self.dir, capture_output=True, timeout=60)
        self.assertIn(b"%s kept 503\nrc=255\n.\n..\nentry.json\npart-0\npart-1\n" % event_id.encode(), p.stdout, p)
        self.assertTrue(p.stdout.endswith(description), p.stdout[-300:])  # the previous description, whole
        self.assertRegex(p.stderr, rb"Fail to update queue entry full/q/%s: No space left on device\n" % re.escape(name.encode()))
