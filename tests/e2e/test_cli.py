"""The command line as a user meets it: usage, version, rejected input."""

from harness import BANNER, USAGE, Case

COMPLETE = ["--url", "http://127.0.0.1:9/x", "--file", "a", "--org", "o", "--project", "p", "--type", "t"]


class CommandLine(Case):
    def check(self, args, rc, out, err=b""):
        r = self.run_tool(args)
        self.assertEqual((r.rc, r.out, r.err), (rc, out, err), args)
        self.assertEqual(self.zips(), [])

    def test_version(self):
        self.check(["--version"], 0, BANNER)
        self.check(["-v"] + COMPLETE, 0, BANNER)

    def test_missing_options(self):
        rows = [([], b"--url is required"),
                (["-u", "http://h"], b"At least one --file is required"),
                (["-u", "http://h", "-f", "a"], b"--org is required"),
                (["-u", "http://h", "-f", "a", "-o", ""], b"--project is required"),
                (["-u", "http://h", "-f", "a", "-o", "", "-p", "p"], b"--type is required")]
        for args, message in rows:
            self.check(args, 1, message + b"\n\n" + USAGE)

    def test_rejected(self):
        r = self.run_tool(["--bogus", "--version"])
        self.assertEqual((r.rc, r.out), (1, USAGE))
        self.assertIn(b"bogus", r.err)
        self.check(["--version", "--extra-post", b"caf\xe9"], 1, b'"caf\xe9" is not an extra-post value!\n\n' + USAGE)
        self.check(COMPLETE + ["--proxy", "host:99999"], 1, b'"host:99999" is not a proxy host[:port]!\n\n' + USAGE)

    def test_bad_values(self):
        self.write("dump", b"not a certificate")
        for extra in (["--retry", "x"], ["--idle-timeout", "-3"], ["--cacert", "dump"]):
            r = self.upload("http://127.0.0.1:9/", *extra)
            self.assertEqual((r.rc, r.err), (1, b""))
            self.assertTrue(r.out.startswith(b"Bad value for " + extra[0].encode()) and r.out.endswith(USAGE), r)
        self.assertEqual(self.zips(), [])
