"""The archive step against the real 7z and against stand-ins."""
import os
import shutil
import stat
import subprocess
import zipfile

from harness import SANITIZED, Case, Server, VARS as ARGS


class Archive(Case):
    def test_real_7z(self):
        self.write("a.dmp", b"dump" * 1000)
        self.write("b log.txt", b"log")
        with Server() as server:
            r = self.run_tool(["-u", server.url(), "-f", "a.dmp", "-f", "b log.txt", "-w", "out"] + ARGS)
        self.assertEqual((r.rc, r.err), (0, b""), r)
        [name] = os.listdir(os.path.join(self.dir, "out"))
        self.assertRegex(name, r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]\.zip$")
        with zipfile.ZipFile(os.path.join(self.dir, "out", name)) as z:
            self.assertEqual(sorted(z.namelist()), ["a.dmp", "b log.txt"])
            self.assertEqual(z.read("a.dmp"), b"dump" * 1000)
        self.assertTrue(r.out.startswith(b"7z output : \n"))
        self.assertIn(b"Everything is Ok\nUpload to " + server.url().encode() + b"\n", r.out)
        # A crash dump holds a process's memory: the archive, and the work folder the run made,
        # are their user's alone under the usual umask.
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.dir, "out")).st_mode), 0o700)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.dir, "out", name)).st_mode), 0o600)

    def test_archiver_output(self):
        # (stand-in body, exit code of the run, stdout, stderr); ID stands for the event id.
        fail_line = b'Fail to execute: 7z"a" "w/ID.zip" "x"\n'
        rows = [
            ("printf 'a|b'; exit 2", -1, fail_line, b"Fail to zip! \n\t Message: \na\nb\n"),
            ("printf '\\r\\n\\r\\nline1\\r\\n\\n\\nline2\\r\\n'; exit 1", -1, fail_line,
             b"Fail to zip! \n\t Message: \nline1\nline2\n"),
            ("printf 'shown\\000hidden'; exit 1", -1, fail_line, b"Fail to zip! \n\t Message: \nshown\n"),
            ("exit 1", -1, fail_line, b"Fail to zip! \n\t Message: \n\n"),
            # stdin is closed: an archiver that asks a question fails instead of hanging
            ("read answer || { echo 'no answer'; exit 3; }", -1, fail_line, b"Fail to zip! \n\t Message: \nno answer\n"),
            ("mkdir -p w; : > \"$2\"", 11, b"7z output : \n\nUpload to http://127.0.0.1:9/\n", b"Connection refused\n"),
            # 0 without an archive: the form step finds it missing
            ("echo fine", -1, b"7z output : \nfine\n", b"Fail to open ID.zip\n"),
        ]
        for script, rc, out, err in rows:
            bindir = self.stand_in(script)
            r = self.run_tool(["-u", "http://127.0.0.1:9/", "-f", "x", "-w", "w"] + ARGS, path_prefix=bindir)
            eid = r.out.split(b'"w/')[1][:20] if b'"w/' in r.out else r.err[len(b"Fail to open "):][:20]
            self.assertEqual((r.rc, r.out, r.err), (rc & 0xFF, out.replace(b"ID", eid), err.replace(b"ID", eid)), script)

    def test_not_found(self):
        empty = os.path.join(self.dir, "empty")
        os.mkdir(empty)
        r = self.run_tool(["-u", "http://127.0.0.1:9/", "-f", "x"] + ARGS, env={"PATH": empty})
        self.assertEqual((r.rc, r.out, r.err), (255, b"", b"Failed to start 7z\n"))

    def test_file_names_are_bytes(self):
        # The real 7z cannot open a non-UTF-8 name here; a stand-in shows what it was given.
        bindir = self.stand_in('for a; do printf "%s\\n" "$a"; done > args; mkdir -p "${2%/*}"; printf zip > "$2"\n')
        name = b"caf\xe9.dmp"
        self.write(name, b"x")
        self.write(b"caf\xe9.json", b"{}")
        with Server() as server:
            r = self.run_tool(["-u", server.url(), "-f", name, "-f", "caf\u00e9.dmp", "-j", b"caf\xe9.json",
                               "-w", b"d\xe9"] + ARGS, path_prefix=bindir)
        self.assertEqual(r.rc, 0, r)
        with open(os.path.join(self.dir, "args"), "rb") as f:
            args = f.read().split(b"\n")
        self.assertEqual(args[0], b"a")
        self.assertTrue(args[1].startswith(b"d\xe9/") and args[1].endswith(b".zip"))
        self.assertEqual(args[2:4], [name, "caf\u00e9.dmp".encode()])
        self.assertEqual(len(server.requests), 1)

    def test_zip_level(self):
        bindir = self.stand_in('for a; do printf "%s\\n" "$a"; done > args; : > "${3#./}"\n')
        for level in ("0", "9"):
            r = self.run_tool(["-u", "http://127.0.0.1:9/", "-f", "-x", "--zip-level", level] + ARGS, path_prefix=bindir)
            with open(os.path.join(self.dir, "args"), "rb") as f:
                args = f.read().split(b"\n")
            self.assertEqual((args[:2], args[3:]), ([b"a", b"-mx=" + level.encode()], [b"./-x", b""]), r)
            self.assertRegex(args[2], rb"^[-0-9a-f]{20}\.zip$")
        # The real 7z at level 0 stores the input: its size plus the headers.
        self.write("random", os.urandom(1 << 20))
        with Server() as server:
            r = self.run_tool(["-u", server.url(), "-f", "random", "--zip-level", "0", "-w", "stored"] + ARGS)
        self.assertEqual(r.rc, 0, r)
        [name] = self.zips("stored")
        self.assertLess(os.path.getsize(os.path.join(self.dir, "stored", name)) - (1 << 20), 300)
        with zipfile.ZipFile(os.path.join(self.dir, "stored", name)) as z:
            self.assertEqual(z.getinfo("random").compress_type, zipfile.ZIP_STORED)
        r = self.run_tool(["-u", "http://127.0.0.1:9/", "-f", "x", "--zip-level", "10"] + ARGS)
        self.assertEqual(r.rc, 1)
        self.assertTrue(r.out.startswith(b'Bad value for --zip-level: "10" (a whole number from 0 to 9)\n\n'))

    def test_names_7z_would_read_as_switches(self):
        # "-sdel" is 7z's "delete the inputs after archiving", "@list" its "names listed in list".
        self.write("-sdel", b"a file, not a switch")
        self.write("crash.dmp", b"dump")
        self.write("list", b"crash.dmp\n")
        self.write("@list", b"a file, not a list")
        rows = [  # arguments, work directory, names the archive must hold
            (["-f", "-sdel", "-f", "crash.dmp"], "", ["-sdel", "crash.dmp"]),
            (["-f", "@list"], "", ["@list"]),
            (["-f", "crash.dmp", "-w", "-out"], "-out", ["crash.dmp"]),
        ]
        for args, workdir, names in rows:
            with Server() as server:
                r = self.run_tool(["-u", server.url()] + args + ARGS)
            self.assertEqual((r.rc, r.err, len(server.requests)), (0, b"", 1), r)
            [zipname] = self.zips(workdir)
            path = os.path.join(self.dir, workdir, zipname)
            with zipfile.ZipFile(path) as z:
                self.assertEqual(sorted(z.namelist()), names)
                for name in names:
                    with open(os.path.join(self.dir, name), "rb") as f:
                        self.assertEqual(z.read(name), f.read())  # still on disk, archived whole
            with open(path, "rb") as f:
                self.assertEqual(server.requests[0].parts()[0][1], f.read())
            os.remove(path)

    def test_7z_keeps_every_cpu(self):
        # The upload phase pins its threads to one CPU; the archiver, which runs first, must not inherit that.
        real = shutil.which("7z")
        bindir = self.stand_in('grep Cpus_allowed_list /proc/self/status > 7z.mask\nexec "%s" "$@"\n' % real)
        self.write("dump", b"x" * 1000)
        with Server() as server:
            r = self.run_tool(["-u", server.url(), "-f", "dump"] + ARGS, path_prefix=bindir)
        self.assertEqual(r.rc, 0, r)
        with open("/proc/self/status") as mine, open(os.path.join(self.dir, "7z.mask")) as seen:
            self.assertEqual(seen.read(), [l for l in mine if l.startswith("Cpus_allowed_list")][0])


class BuiltinEngine(Case):
    """--archiver builtin: the archive 7z would make, read by three readers, in bounded memory."""

    def archive(self, args, workdir, *options, folder=""):
        """A dry run's archive in workdir, run in folder: the result and the zip file's path (or None)."""
        r = self.run_tool(["-u", "http://127.0.0.1:9/", "--dry-run", "-w", workdir] + args + ARGS + list(options),
                          timeout=120, folder=folder)
        workdir = os.path.join(folder, workdir)
        zips = self.zips(workdir) if os.path.isdir(os.path.join(self.dir, workdir)) else []
        return r, (os.path.join(self.dir, workdir, zips[0]) if zips else None)

    def read_by_all(self, path):
        """Every reader takes the archive; its contents, name by name."""
        for argv in (["7z", "t", path], ["unzip", "-tqq", path]):
            checked = subprocess.run(argv, capture_output=True, timeout=300)
            self.assertEqual(checked.returncode, 0, (argv, checked.stdout[-2000:]))
        with zipfile.ZipFile(path) as z:
            self.assertIsNone(z.testzip())
            return [(i.filename, z.read(i) if not i.is_dir() else None) for i in z.infolist()]

    def test_names_as_7z_gives_them(self):
        tree = {"in/d/a.txt": b"a", "in/d/sub/b.txt": b"b" * 5000, "in/d/.hidden": b"", "in/empty": b"",
                "in/odd name \u00e9": b"odd", "in/-dash": b"dash", "in/st*r": b"star", "in/@list": b"in/empty\n",
                "in/a b": b"blank", "in/a.txt": b"dot"}
        for name, data in tree.items():
            os.makedirs(os.path.dirname(os.path.join(self.dir, name)), exist_ok=True)
            self.write(name, data)
        os.mkdir(os.path.join(self.dir, "in/e"))
        os.symlink("d/a.txt", os.path.join(self.dir, "in/link"))
        here = os.path.basename(self.dir)
        rows = [["in/d/a.txt"], ["in/./d/a.txt"], ["in/d"], ["in/d/"], ["in/e"], ["in/empty"], ["in/odd name \u00e9"],
                ["in/link"], ["in/."], ["in/d/sub/.."], ["../%s/in/d/sub" % here], [os.path.join(self.dir, "in/d")],
                [os.path.join(self.dir, "in/d/sub/b.txt")], ["in/d/sub/b.txt", "in/d/a.txt"], ["in/d", "in/d/a.txt"],
                ["in/st*r"], ["in/a b", "in/a.txt", "in/d"]]
        rows += [["-dash"], ["@list"]]  # run in in/, where they are
        for n, files in enumerate(rows):
            folder = "in" if files in (["-dash"], ["@list"]) else ""
            args = sum((["-f", f] for f in files), [])
            r7, zip7 = self.archive(args, "7z-%d" % n, folder=folder)
            rb, zipb = self.archive(args, "b-%d" % n, "--archiver", "builtin", folder=folder)
            self.assertEqual((r7.rc, rb.rc, rb.err), (0, 0, b""), (files, r7, rb))
            self.assertEqual(self.read_by_all(zipb), self.read_by_all(zip7), files)
            self.assertRegex(rb.out, rb"^Creating archive: \S+/[-0-9a-f]{20}\.zip \(%d bytes\)\n" % os.path.getsize(zipb))

    def test_levels_and_readers(self):
        mixed = b"".join(os.urandom(3000) + b"\0" * 5000 + b"frame %d\n" % i * 40 for i in range(400))  # ~3.5 MB
        self.write("core", mixed)
        noise = os.urandom(200000)
        self.write("noise", noise)
        self.write("log", b"line\n" * 10000)
        for level in ["0", "1", "2", "3", "6", "9", None]:
            options = ["--archiver", "builtin"] + (["--zip-level", level] if level else [])
            r, path = self.archive(["-f", "core", "-f", "noise", "-f", "log"], "l%s" % level, *options)
            self.assertEqual((r.rc, r.err), (0, b""), r)
            self.assertEqual(self.read_by_all(path), [("core", mixed), ("log", b"line\n" * 10000),
                                                      ("noise", noise)], level)
            with zipfile.ZipFile(path) as z:
                methods = [i.compress_type for i in z.infolist()]
            # Stored at 0; otherwise deflated, but for noise that deflate does not shrink, as 7z does.
            expected = [zipfile.ZIP_STORED] * 3 if level == "0" else [zipfile.ZIP_DEFLATED] * 2 + [zipfile.ZIP_STORED]
            self.assertEqual(methods, expected, level)

    def test_special_inputs(self):
        os.mkdir(os.path.join(self.dir, "in"))
        self.write("in/dump", b"dump")
        os.mkfifo(os.path.join(self.dir, "in/fifo"))
        os.mkfifo(os.path.join(self.dir, "fifo"))
        # A FIFO is an entry of its own, never opened: a run that waited on one would be ended here.
        for n, files in enumerate([["in"], ["fifo", "in/dump"]]):
            r, path = self.archive(sum((["-f", f] for f in files), []), "s%d" % n, "--archiver", "builtin")
            self.assertEqual((r.rc, r.err), (0, b""), r)
            with zipfile.ZipFile(path) as z:
                fifos = [i.filename for i in z.infolist() if stat.S_ISFIFO(i.external_attr >> 16)]
            self.assertEqual(fifos, ["in/fifo"] if n == 0 else ["fifo"])
        rows = [  # inputs, the message after "Fail to zip!"
            (["in/dump", "missing"], b"missing: No such file or directory"),
            (["in/dump/."], b"in/dump/.: Not a directory"),
        ]
        for files, message in rows:
            r, path = self.archive(sum((["-f", f] for f in files), []), "f", "--archiver", "builtin")
            self.assertEqual((r.rc, r.out, r.err), (255, b"", b"Fail to zip! \n\t Message: \n" + message + b"\n"), r)
        os.mkdir(os.path.join(self.dir, "taken"))
        r, _ = self.archive(["-f", "in/dump", "--archiver", "builtin"], "taken", "--zip-level", "1")
        self.assertEqual(r.rc, 0, r)
        with zipfile.ZipFile(os.path.join(self.dir, "taken", self.zips("taken")[0])) as z:
            self.assertEqual(z.namelist(), ["in/dump"])
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.dir, "taken", self.zips("taken")[0])).st_mode), 0o600)

    def test_large_input_bounded(self):
        # 4.2 GiB, mostly a hole: ZIP64 sizes, every CPU busy, and memory flat whatever the size.
        path = os.path.join(self.dir, "huge")
        with open(path, "wb") as f:
            for i in range(0, 4200, 300):
                f.seek(i << 20)
                f.write(os.urandom(1 << 20))
            f.truncate(4200 << 20)
        r, archive = self.archive(["-f", "huge"], "big", "--archiver", "builtin", "--zip-level", "1")
        self.assertEqual((r.rc, r.err), (0, b""), r)
        self.assertLess(r.peak_mib, 400 if SANITIZED else 64, r)
        for argv in (["7z", "t", archive], ["unzip", "-tqq", archive]):
            checked = subprocess.run(argv, capture_output=True, timeout=600)
            self.assertEqual(checked.returncode, 0, (argv, checked.stdout[-2000:]))
        with zipfile.ZipFile(archive) as z, z.open("huge") as stored, open(path, "rb") as original:
            self.assertEqual(z.getinfo("huge").file_size, 4200 << 20)
            while True:  # byte for byte, a chunk at a time
                chunk = stored.read(1 << 24)
                self.assertEqual(chunk, original.read(1 << 24))
                if not chunk:
                    break
