"""The command line as a user meets it, as a process: its exit status and streams, and no archive made.
Every message of the parser is tst_argparser's."""

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

    def test_rejected(self):
        r = self.run_tool(["--bogus", "--version"])
        self.assertEqual((r.rc, r.out), (1, USAGE))
        self.assertIn(b"bogus", r.err)
        self.check(["--version", "--extra-post", b"caf\xe9"], 1, b'"caf\xe9" is not an extra-post value!\n\n' + USAGE)
        self.check(COMPLETE + ["--proxy", "host:99999"], 1, b'"host:99999" is not a proxy host[:port]!\n\n' + USAGE)
