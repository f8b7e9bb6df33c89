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
        with Server(["close"]) as server:
            r = self.upload(server.url())
        self.assertEqual(r.rc, 12, r)
        self.assertEqual(r.err, b"Connection closed\n")
        self.assertEqual(len(self.zips()), 2)

    def test_https_self_signed(self):
        with Server(cert=self_signed(self.dir)) as server:
            r = self.upload(server.url(scheme="https"))
        self.assertEqual((r.rc, r.err, len(server.requests)), (0, b"", 1), r)
