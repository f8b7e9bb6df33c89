"""The installed tree, the manual page, the bash completion and the Debian package."""
import os
import re
import shutil
import subprocess
import tempfile

from harness import BANNER, Case

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("QUILLFAST_BUILD") or os.path.join(ROOT, "build")
MANUAL = os.path.join(ROOT, "share", "man", "man1", "quillfast.1")
README = os.path.join(ROOT, "README.md")


def long_options():
    """Every long option, from the rows of the parser's own table."""
    with open(os.path.join(ROOT, "src", "optiontable.cpp")) as f:
        text = f.read()
    table = text[text.index("const Row rows_table[] = {"):text.index("\n};\n", text.index("const Row rows_table[] = {"))]
    return ["--" + name for name in re.findall(r'^    \{"([a-z-]+)", ', table, re.M)]


LONG_OPTIONS = long_options()


def run(*argv, **kw):
    return subprocess.run(list(argv), capture_output=True, timeout=kw.pop("timeout", 120), **kw)


class Install(Case):
    def test_installed_tree_and_completion(self):
        prefix = os.path.join(self.dir, "prefix")
        self.assertEqual(run("cmake", "--install", BUILD, "--prefix", prefix).returncode, 0)
        binary = os.path.join(prefix, "bin", "quillfast")
        self.assertEqual(run(binary, "--version").stdout, BANNER)
        # Libraries from the system's paths only: an empty or relative run path is the current folder.
        for built in (binary, os.path.join(BUILD, "src", "quillfast")):
            dynamic = run("readelf", "-d", built).stdout
            entries = [e for paths in re.findall(rb"\((?:RUNPATH|RPATH)\)[^\[]*\[([^\]]*)\]", dynamic)
                       for e in paths.split(b":")]
            self.assertEqual([e for e in entries if not e.startswith(b"/")], [], built)
        for path in ("man/man1/quillfast.1.gz", "doc/quillfast/changelog.gz", "doc/quillfast/copyright"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, "share", path)), path)
        for unit in ("system", "user"):  # the services start the program this install put in place
            with open(os.path.join(prefix, "lib", "systemd", unit, "quillfast-resend.service")) as f:
                self.assertIn("\nExecStart=%s --resend " % binary, f.read())
        completion = os.path.join(prefix, "share", "bash-completion", "completions", "quillfast")
        os.mkdir(os.path.join(self.dir, "dumps"))
        self.write("dumps/core.1")

        def complete(*words):
            script = ('source "$0"; COMP_WORDS=(quillfast %s); COMP_CWORD=%d; _quillfast; printf "%%s\\n" "${COMPREPLY[@]}"'
                      % (" ".join("'%s'" % w for w in words), len(words)))
            return run("bash", "-c", script, completion, cwd=self.dir).stdout.decode().split()

        self.assertEqual(sorted(complete("--")), sorted(LONG_OPTIONS))
        self.assertEqual(complete("--ret"), ["--retry"])
        for option in ("--file", "--json"):
            self.assertEqual(complete(option, "dumps/c"), ["dumps/core.1"])
        self.assertEqual(complete("--work-dir", "du"), ["dumps"])
        self.assertEqual(complete("--org", "du"), [])
        rows = [  # the words so far, what completes the last one
            (["--file=dumps/c"], ["--file=dumps/core.1"]),
            (["--file", "=", "dumps/c"], ["dumps/core.1"]),  # as bash splits it at '='
            (["--header", "@dumps/c"], ["@dumps/core.1"]),
            (["--header", "X-"], []),
            (["--zip-level", ""], [str(n) for n in range(10)]),
            (["--progress=al"], ["--progress=always"]),
        ]
        for words, expected in rows:
            self.assertEqual(complete(*words), expected, words)

    def test_manual_page(self):
        lint = run("groff", "-ww", "-z", "-man", MANUAL)
        self.assertEqual((lint.returncode, lint.stderr), (0, b""))
        page = run("man", "-l", MANUAL, env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="")).stdout
        page = page.decode()
        for heading in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "ENVIRONMENT", "FILES",
                        "EXAMPLES"):
            self.assertIn("\n" + heading + "\n", page)
        for option in LONG_OPTIONS + ["http_proxy", "https_proxy", "no_proxy", "255"]:
            self.assertIn(option, page)
        for code in [3, 6] + list(range(11, 29)):
            self.assertRegex(page, r"\n {7}%d\s" % code)

    def test_demo(self):
        r = run(os.path.join(ROOT, "scripts", "demo"), timeout=600)
        out = r.stdout.decode()
        self.assertEqual(r.returncode, 0, out + r.stderr.decode())
        self.assertIn('part form-data; name="zipFile"', out)
        self.assertIn("quillfast exit code: 0\n", out)
        work = re.search(r"\(the demo removes (.+) now\)", out).group(1)
        self.assertFalse(os.path.exists(work), "the demo left its scratch folder behind")

    def test_debian_package(self):
        if os.geteuid() != 0:
            self.skipTest("installing a package needs root")
        built = run(os.path.join(ROOT, "scripts", "package"), env=dict(os.environ, BUILD_DIR=BUILD), timeout=600)
        self.assertEqual(built.returncode, 0, built.stderr.decode()[-2000:])
        deb = built.stdout.decode().split()[-1]
        fields = run("dpkg-deb", "-f", deb, "Package", "Version", "Depends").stdout.decode()
        self.assertIn("Package: quillfast\nVersion: 1.0.0.0\n", fields)
        self.assertRegex(fields, r"Depends: .*libqt5network5.*p7zip-full|Depends: .*p7zip-full.*libqt5network5")
        listing = run("dpkg-deb", "-c", deb).stdout.decode()
        for unit in ("system/quillfast-resend.service", "system/quillfast-resend.timer",
                     "user/quillfast-resend.service", "user/quillfast-resend.timer"):
            self.assertIn("./usr/lib/systemd/" + unit, listing)
        self.assertIn("./usr/lib/tmpfiles.d/quillfast.conf", listing)
        lint = run("lintian", "--allow-root", "--no-cfg", "--fail-on", "error,warning", deb, timeout=300)
        self.assertEqual(lint.returncode, 0, lint.stdout.decode() + lint.stderr.decode())
        self.assertNotRegex(lint.stdout.decode(), r"(?m)^[EW]: ")
        self.addCleanup(run, "dpkg", "-r", "quillfast")
        spool = "/var/spool/quillfast"
        spool_was_there = os.path.exists(spool)
        self.assertEqual(run("dpkg", "-i", deb).returncode, 0)
        if not spool_was_there:  # made private by the package, and kept after it as it may hold events
            self.addCleanup(os.rmdir, spool)
            self.assertEqual(oct(os.stat(spool).st_mode), oct(0o40700))
        self.assertEqual(shutil.which("quillfast"), "/usr/bin/quillfast")
        self.assertEqual(run("quillfast", "--version").stdout, BANNER)
        self.assertEqual(run("man", "-w", "quillfast").stdout.decode().strip(), "/usr/share/man/man1/quillfast.1.gz")
        self.assertEqual(run("dpkg", "-r", "quillfast").returncode, 0)
        self.assertIsNone(shutil.which("quillfast"))

    def test_units_are_sandboxed(self):
        # A user's manager needs a runtime folder even to read a unit offline.
        runtime = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, runtime)
        for unit, manager, bound in (("quillfast-resend.service", [], 1.7), ("user/quillfast-resend.service", ["--user"], 2.3)):
            r = run("systemd-analyze", *manager, "security", "--offline=true", os.path.join(ROOT, "share", "systemd", unit),
                    env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
            level = re.search(rb"Overall exposure level for quillfast-resend.service: ([0-9.]+)", r.stdout)
            self.assertIsNotNone(level, r.stdout.decode() + r.stderr.decode())
            self.assertLessEqual(float(level.group(1)), bound, (unit, r.stdout.decode()))
            # The upload's CPU pinning is allowed, as systemd itself reads the unit.
            self.assertIn(b"sched_setaffinity is allowed", r.stdout, unit)
        for unit in ("quillfast-resend.service", "user/quillfast-resend.service"):
            verify = run("systemd-analyze", "verify", "--man=no", os.path.join(ROOT, "share", "systemd", unit))
            self.assertNotIn(b"Unknown", verify.stderr, verify.stderr.decode())

    def test_every_option_is_documented(self):
        help_text = run(os.environ.get("QUILLFAST") or os.path.join(BUILD, "src", "quillfast"), "--help")
        self.assertEqual(help_text.returncode, 0)
        page = run("man", "-l", MANUAL, env=dict(os.environ, MANWIDTH="200", MAN_KEEP_FORMATTING="")).stdout.decode()
        with open(README) as f:
            readme = f.read()
        self.assertGreater(len(LONG_OPTIONS), 25)
        for option in LONG_OPTIONS:
            self.assertTrue(re.search(re.escape(option) + "[= \n]", help_text.stdout.decode()), ("--help", option))
            self.assertTrue(option in page, ("manual page", option))
            self.assertTrue("`" + option in readme, ("README", option))

    def test_every_report_key_is_documented(self):
        binary = os.environ.get("QUILLFAST") or os.path.join(BUILD, "src", "quillfast")
        self.write("dump", b"dump")
        reports = []
        for args in (["-u", "http://127.0.0.1:9/", "-f", "dump", "-o", "o", "-p", "p", "-t", "t", "--queue", "q"],
                     ["--resend", "q"]):
            run(binary, *args, "--report", "r.json", cwd=self.dir)
            reports.append(self.report("r.json"))
        keys = set(reports[0]) | set(reports[1]) | set(reports[1]["events"][0])
        page = run("man", "-l", MANUAL, env=dict(os.environ, MANWIDTH="200", MAN_KEEP_FORMATTING="")).stdout.decode()
        with open(README) as f:
            readme = f.read()
        for key in sorted(keys):
            self.assertTrue(re.search(r"\b%s\b" % key, page), ("manual page", key))
            self.assertTrue(re.search(r"\b%s\b" % key, readme), ("README", key))
