"""Hostile peers and odd inputs: memory stays bounded, nothing blocks on a FIFO,
no special file is replaced, no secret or control character reaches the
terminal, no form is sent twice, and what may pass is retried and kept."""
import json
import os
import re
import signal
import stat
import struct
import subprocess
import time
import zlib

from harness import BIN, SANITIZED, USAGE, VARS, Case, Server, closed_port, exit_code

MIB = 1 << 20


# Resident memory a run may reach whatever a peer sends.
PEAK_MIB = 400 if SANITIZED else 120


class Hostile(Case):
    def setUp(self):
        super().setUp()
        self.write("dump", os.urandom(1 << 20))

    def timed(self, args, **kw):
        start = time.time()
        r = self.run_tool(args, **kw)
        return r, time.time() - start

    def test_hostile_collectors(self):
        rows = [  # replies, extra arguments, exit status, stderr (a pattern), at most seconds
            (["flood"], [], 0, rb"", 10),  # the 200 stands; the rest of the body is cut off
            (["flood-chunked"], [], 503, rb"Reply larger than 4194304 bytes: cut off\n", 10),
            (["flood-headers"], [], 28, rb"Reply larger than 4194304 bytes: cut off\n", 20),
            # Whichever bound comes first: a fast machine reads 4 MiB of header lines within 2 s.
            (["flood-headers"], ["--max-time", "2"], (14, 28),
             rb"(Operation timed out after 2 s|Reply larger than 4194304 bytes: cut off)\n", 5),
            (["slow-headers"], ["--idle-timeout", "1"], 0, rb"", 20),  # each byte counts as movement
            ([b"HTTP/1.1 503 \x1b]0;owned\x07\x1b[2J\r\nContent-Length: 0\r\n\r\n"], [], 503,
             rb"Error transferring http://127\.0\.0\.1:\d+/upload - server replied: \\x1b\]0;owned\\x07\\x1b\[2J\n", 10),
            (["close-body", (200, {})], ["--retry", "1"], 0, rb"[^\x1b]*", 20),  # a reset is worth another try
            ([b"HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"],
             ["--queue", "q"], 28, rb"Only an interim answer \(103\) was read: the final one was lost\n", 10),
        ]
        for replies, extra, rc, err, bound in rows:
            # A property, not a speed: each ends by its own bound before --max-time, or at it
            # within a second when that is what is tested.
            max_time = int(extra[extra.index("--max-time") + 1]) if "--max-time" in extra else bound
            with Server(replies) as server:
                r, seconds = self.timed(["-u", server.url(), "-f", "dump"] + VARS + ["--max-time", str(max_time)] + extra)
            label = (replies[0], extra)
            self.assertIn(r.rc, [exit_code(c) for c in (rc if isinstance(rc, tuple) else (rc,))], (label, r))
            self.assertRegex(r.err, b"^" + err + b"$", label)
            self.assertLess(seconds, max_time + 1, label)
            self.assertLess(r.peak_mib, PEAK_MIB, label)
            self.assertEqual(b"\nKept in queue: " in r.out, "--queue" in extra, label)

    def test_bombs_and_floods_of_lines(self):
        def headers(count, line=b"X-%d: a"):
            return b"".join((line % i if b"%d" in line else line) + b"\r\n" for i in range(count))
        # 1 GiB of zeros in 1 MiB of gzip: Qt would inflate it all in memory.
        deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
        block = deflate.compress(bytes(MIB)) + deflate.flush(zlib.Z_FULL_FLUSH)
        crc = 0
        for _ in range(1024):
            crc = zlib.crc32(bytes(MIB), crc)
        bomb = b"\x1f\x8b\x08\0\0\0\0\0\0\xff" + block * 1024 + deflate.flush() + struct.pack("<II", crc, 1 << 30)
        too_many = rb"Reply headers longer than 1000 lines or 262144 bytes: cut off\n"
        rows = [  # reply head, body, extra arguments, exit status, stderr (a pattern)
            (b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n" % len(bomb), bomb, [], 0, b""),
            (b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n" + headers(990), b"", [], 0, b""),
            (b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n" + headers(100000), b"", ["--max-time", "10"], 28, too_many),
            (b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n" + headers(100000, b"X-Same: a"), b"", [], 28, too_many),
            (b"HTTP/1.1 200 OK\r\n" + headers(1, b"X-Long: " + b"a" * 300000), b"", [], 28, too_many),
        ]
        for head, body, extra, rc, err in rows:
            # A property, not a speed: the bound ends the run, never --max-time (past it, the code would be 14).
            max_time = int(extra[extra.index("--max-time") + 1]) if "--max-time" in extra else 20
            with Server([head + b"\r\n" + body]) as server:
                r, seconds = self.timed(["-u", server.url(), "-f", "dump"] + VARS + ["--max-time", str(max_time)] + extra)
                [request] = server.requests
            label = (head[:60], extra)
            self.assertEqual((r.rc, request.header("Accept-Encoding")), (exit_code(rc), "identity"), (label, r))
            self.assertRegex(r.err, b"^" + err + b"$", label)
            self.assertLess(seconds, max_time + 1, label)
            self.assertLess(r.peak_mib, PEAK_MIB if SANITIZED else 96, label)

    def test_c1_controls_are_escaped(self):
        rows = [  # replies, what stdout ends with, what stderr holds (the summary line included)
            ([b"HTTP/1.1 503 \x9b" b"31m \xc2\x9b" b"2J caf\xc3\xa9\r\nContent-Length: 0\r\n\r\n"], b"",
             b" - server replied: \\x9b31m \\xc2\\x9b2J caf\xc3\xa9\n"),
            ([(302, {"Location": "/a%C2%9Bb"}), (200, {})], b"/a\\x9bb\n", b"/a\\x9bb: 200 in "),
        ]
        for replies, out, err in rows:
            with Server(replies) as server:
                r = self.run_tool(["-u", server.url(), "-f", "dump", "--progress", "always"] + VARS)
            self.assertTrue(r.out.endswith(out) and err in r.err, r)
            self.assertFalse(re.search(rb"[\x80-\x9f]", r.out + r.err.replace(b"\xc3\xa9", b"")), r)

    def test_unreachable_collector_is_transient(self):
        if os.geteuid() != 0:
            self.skipTest("a private network namespace needs root")
        # The kernel answers at once for a documentation address routed nowhere: no packet leaves.
        script = ("ip link set lo up && ip route add unreachable 192.0.2.0/24 && "
                  'exec "$0" -u http://192.0.2.1/upload -f dump --retry 1 --queue q ' + " ".join(VARS))
        p = subprocess.run(["unshare", "-n", "sh", "-c", script, BIN], cwd=self.dir, capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 16, p)
        self.assertTrue(p.stderr.endswith(b"Host unreachable\n"), p.stderr)
        self.assertIn(b"\nRetry 1 of 1 in ", p.stdout)
        self.assertIn(b"\nKept in queue: q/", p.stdout)

    def test_archive_that_shrinks(self):
        self.write("dump", os.urandom(8 * MIB))
        with Server(["slow-read"]) as server:
            process = subprocess.Popen([BIN, "-u", server.url(), "-f", "dump", "--zip-level", "0"] + VARS,
                                       cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            deadline = time.time() + 20
            while time.time() < deadline and not server.requests:
                time.sleep(0.05)
            time.sleep(1)
            [archive] = self.zips()
            os.truncate(os.path.join(self.dir, archive), 1000)
            out, err = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 255, err)  # not a crash
        self.assertRegex(err, rb"^\S+\.zip shrank while it was sent: \d+ of \d+ bytes\n$")

    def test_special_files(self):
        os.mkfifo(os.path.join(self.dir, "fifo"))
        special = ["fifo"]
        if os.geteuid() == 0:
            os.mknod(os.path.join(self.dir, "null"), stat.S_IFCHR | 0o666, os.makedev(1, 3))
            special.append("null")
        url = ["-u", "http://127.0.0.1:%d/" % closed_port(), "-f", "dump"] + VARS
        for name in special:
            rows = [  # arguments, exit status, stdout ends with, stderr ends with
                (url + ["-j", name], 255, None, b"Fail to open %s\n" % name.encode()),
                (url + ["--report", name], 1,
                 b'Bad value for --report: "%s" (a new file, or a regular file to replace)\n\n' % name.encode() + USAGE,
                 b""),
                (url + ["--header", "@" + name], 1, None, b""),
                (url + ["--cacert", name], 1, None, b""),
            ]
            for args, rc, out, err in rows:
                # Never blocked on the special file: a run that waited on it would be ended here, and fail.
                r = self.run_tool(args, timeout=10)
                self.assertEqual(r.rc, exit_code(rc), (args, r))
                if out is not None:
                    self.assertEqual(r.out, out)
                self.assertTrue(r.err.endswith(err), (args, r.err))
            mode = os.stat(os.path.join(self.dir, name)).st_mode
            self.assertTrue(stat.S_ISFIFO(mode) or stat.S_ISCHR(mode), name)  # never replaced

    def test_report_in_shared_folders(self):
        if os.geteuid() != 0:
            self.skipTest("another user's files need root")
        for name, mode in (("shared", 0o1777), ("open", 0o777)):
            os.mkdir(os.path.join(self.dir, name))
            os.chmod(os.path.join(self.dir, name), mode)
        secret = self.write("secret", b"root only\n", 0o600)
        os.mknod(os.path.join(self.dir, "null"), stat.S_IFCHR | 0o666, os.makedev(1, 3))
        report = os.path.join(self.dir, "shared", "r.json")

        def planted(make):
            def plant():
                make()
                os.lchown(report, 65534, 65534)  # by another user of the machine
            return plant

        link_to_secret = planted(lambda: os.symlink(secret, report))
        dangling = planted(lambda: os.symlink(os.path.join(self.dir, "made"), report))
        theirs = planted(lambda: open(report, "wb").close())
        # A folder of another user's, with a file of theirs that is set-id and writable by all.
        os.mkdir(os.path.join(self.dir, "home"))
        os.chown(os.path.join(self.dir, "home"), 65534, 65534)
        foreign = os.path.join(self.dir, "home", "r.json")

        def foreign_file():
            with open(foreign, "wb"):
                pass
            os.chown(foreign, 65534, 65534)
            os.chmod(foreign, 0o6777)
        swap_later = self.stand_in('ln -s "$PWD/null" shared/r.json && exec /usr/bin/7z "$@"\n')
        bad = b'Bad value for --report: "%s" (%s)\n'
        rows = [  # before the run, --report, 7z's folder, exit status, stdout starts with, stderr ends with
            (link_to_secret, "shared/r.json", None, 1, bad % (b"shared/r.json", b"a name that is not a symbolic link"), b""),
            (dangling, "shared/r.json", None, 1, bad % (b"shared/r.json", b"a name that is not a symbolic link"), b""),
            (theirs, "shared/r.json", None, 1, bad % (b"shared/r.json", b"in a sticky folder, a new file or one of your own"),
             b""),
            (None, "open/r.json", None, 1,
             bad % (b"open/r.json", b"a file in a folder that others cannot write, unless it is sticky"), b""),
            (None, "shared/r.json", None, 0, b"7z output", b""),
            (foreign_file, "home/r.json", None, 0, b"7z output", b""),  # replaced, with a mode of its own
            # Swapped for a link while the run is under way: the write is checked too, and never follows it.
            (None, "shared/r.json", swap_later, 255, b"7z output",
             b"Fail to write report shared/r.json: it is a symbolic link\n"),
        ]
        with Server() as server:
            for prepare, name, bindir, rc, out, err in rows:
                if os.path.lexists(report):
                    os.unlink(report)
                if prepare:
                    prepare()
                r = self.run_tool(["-u", server.url(), "-f", "dump", "--report", name] + VARS, path_prefix=bindir)
                label = (prepare and prepare.__name__, name, bindir)
                self.assertEqual(r.rc, rc, (label, r))
                self.assertTrue(r.out.startswith(out) and r.err.endswith(err), (label, r))
                with open(secret, "rb") as f:
                    self.assertEqual(f.read(), b"root only\n")
                self.assertFalse(os.path.lexists(os.path.join(self.dir, "made")), label)
                self.assertTrue(stat.S_ISCHR(os.stat(os.path.join(self.dir, "null")).st_mode), label)
                if rc == 0:
                    written = os.path.join(self.dir, name)
                    self.assertEqual((os.lstat(written).st_uid, stat.S_IMODE(os.lstat(written).st_mode)), (0, 0o600), label)
                    with open(written) as f:
                        self.assertEqual(json.load(f)["exitCode"], 0)

    def test_command_line_inputs(self):
        for name, data in (("a*", b"1"), ("ab", b"2"), ("abc", b"3"), ("q?", b"4"), ("qx", b"5")):
            self.write(name, data)
        os.mkdir(os.path.join(self.dir, "w"))
        rows = [  # arguments, the names the archive must hold (in the work folder), stdout holds
            (["-f", "a*", "-f", "q?"], ["a*", "q?"], None),
            (["-f", "ab", "-w", ""], ["ab"], None),  # the current folder, not the root
            (["-f", "ab", "--proxy", "http://bob:PROXYPASS333@h:99999"], None,
             b'"http://bob@h:99999" is not a proxy host[:port]!\n'),
        ]
        for args, names, out in rows:
            for old in self.zips():
                os.remove(os.path.join(self.dir, old))
            r = self.run_tool(["-u", "http://127.0.0.1:%d/" % closed_port()] + VARS + args)
            self.assertNotIn(b"PROXYPASS333", r.out + r.err)
            if out is not None:
                self.assertTrue(r.out.startswith(out), r.out)
                continue
            [archive] = self.zips()
            listing = subprocess.run(["7z", "l", "-slt", archive], cwd=self.dir, capture_output=True).stdout
            paths = [l[7:].decode() for l in listing.splitlines() if l.startswith(b"Path = ")]
            self.assertEqual(sorted(p for p in paths if p != archive), sorted(names), args)

    def test_chattering_and_stubborn_archivers(self):
        # 100 MB of output: echoed up to 1 MiB, then one line that says how much was left out.
        bindir = self.stand_in("head -c 100000000 /dev/zero | tr '\\0' 'x'\nexit 2\n")
        r = self.run_tool(["-u", "http://127.0.0.1:1/", "-f", "dump", "--report", "r.json"] + VARS, path_prefix=bindir)
        self.assertEqual((r.rc, len(r.err) < 2 * MIB), (255, True), r.err[-200:])
        self.assertRegex(r.err, rb"^Fail to zip! \n\t Message: \nx{1048576}\n\[98951424 more bytes of output left out\]\n$")
        self.assertLess(r.peak_mib, PEAK_MIB)
        # SIGTERM ends the archiver's own children too.
        bindir = self.stand_in('sleep 60 & echo $! > child.pid\nwait\n')
        process = subprocess.Popen([BIN, "-u", "http://127.0.0.1:1/", "-f", "dump"] + VARS, cwd=self.dir,
                                   env=dict(os.environ, PATH=bindir + os.pathsep + os.environ["PATH"]),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline and not os.path.exists(os.path.join(self.dir, "child.pid")):
            time.sleep(0.05)
        time.sleep(0.2)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(10), 143)
        with open(os.path.join(self.dir, "child.pid")) as f:
            child = int(f.read())
        time.sleep(0.2)
        self.assertFalse(os.path.exists("/proc/%d" % child) and b"sleep" in open("/proc/%d/cmdline" % child, "rb").read())
