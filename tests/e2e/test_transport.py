"""Redirects, transport failures, TLS and proxies, against real peers on loopback."""
import os

from harness import closed_port, Case, Server, TinyProxy, exit_code, self_signed


class Transport(Case):
    def setUp(self):
        super().setUp()
        self.write("dump", os.urandom(2 << 20))  # 2 MiB of incompressible data: streamed, not one read

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

    def test_proxies(self):
        with Server() as server:
            proxy = TinyProxy(self.dir, server.port)
            try:
                url = "http://collector/events"
                for args, env in ((["--proxy", "127.0.0.1:%d" % proxy.port], {}),
                                  (["--proxy", "http://127.0.0.1:%d/" % proxy.port], {}),
                                  (["--system-proxy"], {"http_proxy": "http://127.0.0.1:%d" % proxy.port})):
                    count = len(server.requests)
                    r = self.upload(url, *args, env=env)
                    self.assertEqual((r.rc, r.err), (0, b""), r)
                    # The POST goes through a tunnel, which tinyproxy opens upstream: only the
                    # CONNECT carries its Via.
                    connect, post = server.requests[count:]
                    self.assertEqual(connect.line, "CONNECT collector:80 HTTP/1.1")
                    self.assertIn("tinyproxy", connect.header("Via"))
                    self.assertEqual(post.line, "POST /events HTTP/1.1")
            finally:
                proxy.stop()

    def test_proxy_environment(self):
        with Server() as server:
            proxy = TinyProxy(self.dir, server.port)
            try:
                # no_proxy sends it direct, here to the server through a private hosts file.
                count = len(server.requests)
                r = self.upload("http://collector:%d/direct" % server.port, "--system-proxy", names=["collector"],
                                env={"http_proxy": "http://127.0.0.1:%d" % proxy.port, "no_proxy": "collector"})
                self.assertEqual(r.rc, 0, r)
                self.assertEqual(server.requests[count].line, "POST /direct HTTP/1.1")
                self.assertIsNone(server.requests[count].header("Via"))
                # Without a proxy option no proxy is used, whatever the environment says.
                r = self.upload("http://collector:%d/plain" % server.port, names=["collector"],
                                env={"http_proxy": "http://127.0.0.1:1"})
                self.assertEqual((r.rc, server.requests[-1].line), (0, "POST /plain HTTP/1.1"))
            finally:
                proxy.stop()
