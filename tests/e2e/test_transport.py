"""Redirects, transport failures and TLS, against real peers on loopback."""
import os

from harness import closed_port, Case, Server, ca_signed, exit_code, self_signed


class Transport(Case):
    def setUp(self):
        super().setUp()
        self.write("dump", os.urandom(2 << 20))  # 2 MiB of incompressible data: streamed, not one read

    def test_cacert(self):
        cert, ca = ca_signed(self.dir, "one")
        _, other_ca = ca_signed(self.dir, "two")
        # Qt's reasons follow the handshake message.
        unknown = b"^SSL handshake failed: The issuer certificate of a locally looked up certificate could not be found"
        rows = [(cert, [], "127.0.0.1", 0, b""), (cert, ["--cacert", ca], "127.0.0.1", 0, b""),
                (cert, ["--cacert", other_ca], "127.0.0.1", 15, unknown),
                (self_signed(self.dir), ["--cacert", ca], "127.0.0.1", 15, b"^SSL handshake failed: The certificate is self-signed, and untrusted\n"),
                (cert, ["--cacert", ca], "localhost", 15,
                 b"^SSL handshake failed: The host name did not match any of the valid hosts for this certificate\n")]
        for server_cert, extra, host, rc, reason in rows:
            with Server(cert=server_cert) as server:
                r = self.upload(server.url(scheme="https", host=host), *extra)
            self.assertEqual((r.rc, len(server.requests)), (rc, 1 if rc == 0 else 0), r)
            if rc:
                self.assertRegex(r.err, b"^[^\n]+\n$")
                self.assertRegex(r.err, reason)

    def test_redirects(self):
        rows = [  # (status, Location, path of the second POST)
            (301, "http://127.0.0.1:{port}/abs?x=1", "/abs?x=1"),
            (302, "/inbox/./today", "/inbox/./today"),
            (307, "//elsewhere/net", "/net"),
            (307, "../rel/next", "/rel/next"),
            (308, "/permanent", "/permanent"),
        ]
        for status, location, path in rows:
            with Server([(status, {"Location": "LOC"}), (200, {})]) as server:
                server.replies[0] = (status, {"Location": location.format(port=server.port)})
                r = self.upload(server.url("/api/upload"))
            self.assertEqual((r.rc, r.err), (0, b""), r)
            first, second = server.requests
            self.assertEqual(second.line, "POST %s HTTP/1.1" % path.replace("/./", "/"))
            self.assertEqual(second.parts(), first.parts())  # every byte posted again
            self.assertGreater(len(second.body), 2 << 20)
            target = "http://127.0.0.1:%d%s" % (server.port, path)
            self.assertTrue(r.out.endswith(("Upload to %s\nRedirect to %s\nUpload to %s\n"
                                            % (server.url("/api/upload"), target, target)).encode()), r.out)

    def test_redirect_loop(self):
        with Server([(302, {"Location": "again"})]) as server:
            r = self.upload(server.url())
        self.assertEqual((r.rc, r.err), (exit_code(302), b"Too many redirects\n"))
        self.assertEqual(len(server.requests), 21)
        self.assertEqual(r.out.count(b"Redirect to "), 20)

    def test_transport_failures(self):
        port = closed_port()
        r = self.upload("http://127.0.0.1:%d/" % port)
        self.assertEqual((r.rc, r.err), (11, b"Connection refused\n"))
        self.assertEqual(len(self.zips()), 1)

    def test_a_form_goes_once_an_attempt(self):
        # Qt sends a request again on its own when the connection closes before an answer: the
        # collector may have had the form whole. Only an answer that asks for credentials
        # (the peer took nothing) lets it go again in the same attempt.
        rows = [  # replies, more arguments, exit status, stderr, the body bytes of each POST
            (["close", (200, {})], [], 12, b"Connection closed\n", ["whole"]),
            (["close-body", (200, {})], [], 12, b"Connection (closed|reset by peer)\n", ["half"]),
            (["close", (200, {})], ["--retry", "1"], 0, b"", ["whole", "whole"]),
            ([(401, {"WWW-Authenticate": 'Basic realm="c"'}), (200, {})], [], 0, b"", ["any", "whole"]),
        ]
        for replies, extra, rc, err, bodies in rows:
            with Server(replies) as server:
                r = self.upload("http://user:pw@127.0.0.1:%d/upload" % server.port, *extra)
            self.assertEqual(r.rc, exit_code(rc), (replies, extra, r))
            self.assertRegex(r.err, b"^" + err + b"$", (replies, extra))
            self.assertEqual(b"Retry 1 of 1 in 1 s: Connection closed\n" in r.out, bool(extra), r)
            posts = [(len(q.body), int(q.header("Content-Length"))) for q in server.requests if q.line.startswith("POST")]
            self.assertLessEqual(len(posts), len(bodies), (replies, extra, posts))
            for (got, whole), want in zip(posts, bodies):
                self.assertTrue({"whole": got == whole, "half": 0 < got < whole, "none": got == 0, "any": True}[want],
                                (replies, extra, posts))

    def test_https_self_signed(self):
        with Server(cert=self_signed(self.dir)) as server:
            r = self.upload(server.url(scheme="https"))
        self.assertEqual((r.rc, r.err, len(server.requests)), (0, b"", 1), r)
