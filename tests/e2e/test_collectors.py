"""Collectors behind a gateway: nginx redirecting with 308, asking for a password
or a client certificate; request headers; a slow link; a run stopped by a signal."""
import json
import os
import re
import signal
import subprocess
import sys
import time

from harness import BIN, VARS, Case, Nginx, Server, ca_signed, exit_code, namespace_problem

HERE = os.path.dirname(os.path.abspath(__file__))
PROXIED = "location / { proxy_pass http://UPSTREAM; }"


class Collectors(Case):
    def setUp(self):
        super().setUp()
        self.write("dump", os.urandom(100000))

    def archive(self):
        [name] = self.zips()
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def test_308_chain(self):
        with Server() as server, Nginx(server.port, "location = /a { return 308 /b; }\n"
                                                    "location = /b { return 308 /upload; }\n" + PROXIED) as nginx:
            r = self.upload(nginx.url("/a"))
        self.assertEqual((r.rc, r.err), (0, b""), r)
        self.assertTrue(r.out.endswith("".join("Upload to %s\nRedirect to %s\n" % (nginx.url(a), nginx.url(b))
                                               for a, b in (("/a", "/b"), ("/b", "/upload"))).encode()
                                       + b"Upload to " + nginx.url("/upload").encode() + b"\n"), r.out)
        [post] = server.requests
        self.assertEqual((post.line, post.parts()[0][1]), ("POST /upload HTTP/1.0", self.archive()))

    def test_password_in_url(self):
        htpasswd = subprocess.run(["htpasswd", "-nb", "user", "s3cret"], capture_output=True, check=True).stdout
        locations = ('location /private/ { auth_basic "collector"; auth_basic_user_file DIR/htpasswd; '
                     "proxy_pass http://UPSTREAM; }\nlocation = /old { absolute_redirect off; return 307 /private/upload; }\n")
        with Server() as server, Nginx(server.port, locations, files={"htpasswd": htpasswd}) as nginx:
            rows = [  # path, password, exit status, lines that must be on stdout
                ("/private/upload", "s3cret", 0, ["Upload to " + nginx.url("/private/upload", userinfo="user@")]),
                ("/old", "s3cret", 0, ["Redirect to " + nginx.url("/private/upload", userinfo="user@")]),
                ("/private/upload", "wrong", 401, []),
            ]
            for path, password, rc, lines in rows:
                r = self.upload(nginx.url(path, userinfo="user:%s@" % password), "--report", "report.json")
                report = json.dumps(self.report())
                self.assertEqual(r.rc, exit_code(rc), r)
                for line in lines:
                    self.assertIn(line.encode() + b"\n", r.out)
                for text in (r.out, r.err, report.encode()):
                    self.assertNotIn(password.encode(), text, (path, password))
                self.assertIn("user@127.0.0.1", report)
        self.assertEqual(len([q for q in server.requests if q.line.startswith("POST")]), 2)

    def test_headers(self):
        self.write("headers", b"X-Token: file-secret\r\n\r\nX-Build:  42 \n")
        given = ["--header", "Authorization: Bearer cli-secret", "--header", "@headers"]
        wanted = [("Authorization", "Bearer cli-secret"), ("X-Token", "file-secret"), ("X-Build", "42")]
        with Server() as other:
            rows = [  # replies, how many requests carry the headers, and how many reach the other origin
                ([(200, {})], 1, 0),
                ([(307, {"Location": "/next"}), (200, {})], 2, 0),
                ([(307, {"Location": other.url("/elsewhere")})], 1, 1),
            ]
            for replies, carrying, elsewhere in rows:
                count = len(other.requests)
                with Server(replies) as server:
                    r = self.upload(server.url(), *given)
                self.assertEqual((r.rc, r.err), (0, b""), r)
                for request in server.requests[:carrying]:
                    self.assertEqual([(k, request.header(k)) for k, _ in wanted], wanted)
                self.assertEqual(len(other.requests) - count, elsewhere)
                for request in other.requests[count:]:
                    self.assertEqual([request.header(k) for k, _ in wanted], [None] * 3)  # dropped, as curl does
                self.assertNotIn(b"secret", r.out + r.err)

    def test_refused_headers(self):
        self.write("bad-file", b"X-Ok: 1\nX-Bad value: file-secret\n")
        rows = [  # --header argument, what the message shows
            ("Bearer secret", b'"" (a line of the form Name: value)'),
            ("X Token: secret", b'"" (a header name made of letters, digits and !#$%&\'*+-.^_`|~)'),
            ("X-Token: sec\nret", b'"X-Token" (a value without CR, LF or NUL)'),
            ("content-length: 5", b'"content-length" (a header that quillfast sets itself)'),
            ("Host: secret.example", b'"Host" (a header that quillfast sets itself)'),
            ("@bad-file", b'"@bad-file line 2" (a header name made of letters, digits and !#$%&\'*+-.^_`|~)'),
            ("@missing", b'"@missing" (a readable file of header lines)'),
        ]
        for argument, shown in rows:
            r = self.upload("http://127.0.0.1:9/", "--header", argument)
            self.assertEqual(r.rc, 1, r)
            self.assertTrue(r.out.startswith(b"Bad value for --header: " + shown + b"\n\n"), r.out[:200])
            self.assertNotIn(b"secret", r.out + r.err)
        self.assertEqual(self.zips(), [])

    def test_client_certificate(self):
        server_tls, server_ca = ca_signed(self.dir, "server")
        (client_cert, client_key), client_ca = ca_signed(self.dir, "client")
        (stranger_cert, stranger_key), _ = ca_signed(self.dir, "stranger")
        subprocess.run(["openssl", "pkey", "-in", client_key, "-aes256", "-passout", "pass:pw", "-out",
                        os.path.join(self.dir, "encrypted.pem")], check=True, capture_output=True)
        self.write("pass", b"pw\n")
        mtls = ["--mtls-cert", client_cert, "--mtls-key", client_key]
        with Server() as server, Nginx(server.port, "location = /old { return 308 /upload; }\n" + PROXIED,
                                       tls=server_tls, client_ca=client_ca) as nginx:
            rows = [  # arguments, path, exit status, what the body of the last reply says
                ([], "/upload", 400, "No required SSL certificate was sent"),
                (mtls, "/old", 0, ""),
                (["--mtls-cert", client_cert, "--mtls-key", "encrypted.pem", "--mtls-pass", "pass"], "/upload", 0, ""),
                (["--mtls-cert", stranger_cert, "--mtls-key", stranger_key], "/upload", 400, "SSL certificate error"),
                (mtls + ["--cacert", server_ca], "/old", 0, ""),
            ]
            for args, path, rc, said in rows:
                r = self.upload(nginx.url(path, scheme="https"), "--report", "report.json", *args)
                self.assertEqual(r.rc, exit_code(rc), (args, r))
                self.assertIn(said, self.report()["responseBody"])
        self.assertEqual(len(server.requests), 3)

    def test_client_certificate_values(self):
        (cert, key), _ = ca_signed(self.dir, "one")
        (_, other_key), _ = ca_signed(self.dir, "two")
        rows = [  # arguments, message
            (["--mtls-cert", cert], b'Bad value for --mtls-cert: "%s" (needs --mtls-key too)' % cert.encode()),
            (["--mtls-key", key], b'Bad value for --mtls-key: "%s" (needs --mtls-cert too)' % key.encode()),
            (["--mtls-cert", cert, "--mtls-key", other_key],
             b'Bad value for --mtls-key: "%s" (the private key of the --mtls-cert certificate)' % other_key.encode()),
            (["--mtls-cert", "dump", "--mtls-key", key], b'Bad value for --mtls-cert: "dump" (a PEM file with a certificate)'),
            (["--mtls-cert", cert, "--mtls-key", "/nonexistent"],
             b'Bad value for --mtls-key: "/nonexistent" (a readable PEM file)'),
        ]
        for args, message in rows:
            r = self.upload("http://127.0.0.1:9/", *args)
            self.assertEqual(r.rc, 1, r)
            self.assertTrue(r.out.startswith(message + b"\n\n"), r.out[:300])

    def test_slow_link(self):
        problem = namespace_problem()
        probe = subprocess.run(["unshare", "-n", "sh", "-c", "ip link set lo up && tc qdisc add dev lo root tbf "
                                "rate 512kbit burst 16kbit latency 400ms"], capture_output=True, timeout=10)
        if problem or probe.returncode:
            self.skipTest("needs a private network namespace with tc (unshare -n, as root): "
                          + (problem or probe.stderr.decode(errors="replace").strip()))
        self.write("dump", os.urandom(1 << 20))
        p = subprocess.run(["unshare", "-n", sys.executable, os.path.join(HERE, "slow_link.py"), self.dir, "read",
                            "noread"], capture_output=True, timeout=180, env=dict(os.environ, QUILLFAST=BIN))
        results = {r["case"]: r for r in map(json.loads, p.stdout.splitlines())}
        self.assertEqual(sorted(results), ["noread", "read"], p.stderr.decode()[-2000:])
        # 1 MiB at 512 kbit/s takes about 17 s, the last several of them draining the kernel's buffers.
        read = results["read"]
        self.assertEqual((read["rc"], read["stderr"], read["posts"]), (0, "", 1), read)
        self.assertGreater(read["seconds"], 12)
        # A peer that never reads: its window closes within a few seconds, then 5 s without an acknowledgement.
        noread = results["noread"]
        self.assertEqual((noread["rc"], noread["stderr"]), (14, "No data transferred for 5 s\n"), noread)
        self.assertLess(noread["seconds"], 15)

    def test_signals(self):
        self.write("dump", os.urandom(3 << 20))
        sleeper = self.stand_in('touch started; sleep 30\n')
        rows = [  # signal, 7z stand-in, exit status, stderr
            (signal.SIGTERM, None, 143, b"Interrupted by SIGTERM\n"),
            (signal.SIGINT, None, 130, b"Interrupted by SIGINT\n"),
            (signal.SIGTERM, sleeper, 143, b"Interrupted by SIGTERM\n"),
        ]
        for sent, path, rc, err in rows:
            for name in self.zips() + ["started"]:
                if os.path.exists(os.path.join(self.dir, name)):
                    os.remove(os.path.join(self.dir, name))
            with Server(["stall-unread"]) as server:
                env = dict(os.environ, PATH=(path + os.pathsep if path else "") + os.environ["PATH"])
                url = server.url().replace("://", "://user:SECRETPW@")
                process = subprocess.Popen([BIN, "-u", url, "-f", "dump", "--report", "report.json"] + VARS,
                                           cwd=self.dir, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                deadline = time.time() + 30
                while time.time() < deadline and not (server.requests if path is None
                                                      else os.path.exists(os.path.join(self.dir, "started"))):
                    time.sleep(0.05)
                time.sleep(0.3)
                # Every user of the machine reads the command line of a run under way: no password there.
                with open("/proc/%d/cmdline" % process.pid, "rb") as f:
                    self.assertIn(b"://user:********@127.0.0.1:", f.read())
                if path is None:  # the post is under way: no plugin, nor what they pull in, nor TLS for http://
                    with open("/proc/%d/maps" % process.pid, "rb") as f:
                        self.assertFalse(re.findall(rb"\S*(?:/plugins/|libdbus|libsystemd|libssl)\S*", f.read()))
                process.send_signal(sent)
                start = time.time()
                out, got = process.communicate(timeout=30)
            self.assertLess(time.time() - start, 5)
            self.assertEqual((process.returncode, got), (rc, err), out)
            report = self.report()
            self.assertEqual((report["interrupted"], report["exitCode"], report["errorString"]),
                             (True, rc, err.decode().strip()))
            if path is None:
                self.assertEqual(len(self.archive()), report["archiveBytes"])  # the archive is kept
