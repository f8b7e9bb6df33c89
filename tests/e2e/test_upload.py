"""The form as the server receives it, and the run's transcript."""
import os

from harness import Case, Server

VARS = ["--org", "sales", "--project", "editor", "--type", "crash"]


def disposition(name, filename=None):
    text = b'Content-Disposition: form-data; name="' + name + b'"'
    return text + (b'; filename="' + filename + b'"' if filename is not None else b"")


class Form(Case):
    def post(self, args, replies=((200, {}),)):
        with Server(replies) as server:
            r = self.run_tool(["--url", server.url()] + args)
        return r, server.requests

    def archive(self, workdir=""):
        [name] = self.zips(workdir)
        with open(os.path.join(self.dir, workdir, name), "rb") as f:
            return name.encode(), f.read()

    def test_worked_example(self):
        self.write("crash.dmp", os.urandom(300000))
        self.write("app.log", b"log\r\n")
        self.write("crash.json", b'{"id":"$eventId","org":"$org","p":"$project","t":"$types","o":"$ORG"}')
        r, requests = self.post(["--file", "crash.dmp", "--file", "app.log", "--json", "crash.json", "--work-dir", "tmp"]
                                + VARS + ["--extra-post", "build=2041", "--extra-post", "Zone=eu"])
        self.assertEqual((r.rc, r.err), (0, b""), r)
        zipname, zipbytes = self.archive("tmp")
        eid = zipname[:20]
        [request] = requests
        self.assertTrue(request.line.startswith("POST /upload HTTP/1.1"))
        parts = request.parts()
        self.assertEqual([p[0] for p in parts], [
            [b"Content-Type: application/octet-stream", disposition(b"jsonFile", eid + b".json")],
            [b"Content-Type: application/x-zip-compressed", disposition(b"zipFile", zipname)],
            [disposition(b"Zone")], [disposition(b"build")], [disposition(b"org")],
            [disposition(b"project")], [disposition(b"type")]])
        self.assertEqual([p[1] for p in parts], [
            b'{"id":"' + eid + b'","org":"sales","p":"editor","t":"crashs","o":"$ORG"}',
            zipbytes, b"eu", b"2041", b"sales", b"editor", b"crash"])
        self.assertEqual(r.out.split(b"\n")[-2:], [b"Upload to " + self.server_url(request), b""])

    def server_url(self, request):
        return b"http://" + request.header("Host").encode() + b"/upload"

    def test_edge_forms(self):
        self.write("a", b"x")
        self.write("empty.json")
        raw = b"\xef\xbb\xbf{\r\n}\n"
        self.write("raw.json", raw)
        rows = [  # (extra args, expected (name, body) list after the zip part is taken out)
            ([], [(b"org", b""), (b"project", b""), (b"type", b"")]),
            (["--json", "empty.json"], [(b"jsonFile", b""), (b"org", b""), (b"project", b""), (b"type", b"")]),
            (["--json", "raw.json", "--extra-post", "=v", "--extra-post", 'q"k=1'],
             [(b"jsonFile", raw), (b"", b"v"), (b"org", b""), (b"project", b""), (b"q%22k", b"1"), (b"type", b"")]),
        ]
        for extra, expected in rows:
            r, [request] = self.post(["-f", "a", "-o", "", "-p", "", "-t", ""] + extra)
            self.assertEqual(r.rc, 0, r)
            names = [(p[0][-1].split(b'name="', 1)[1].split(b'"; filename')[0].rstrip(b'"'), p[1])
                     for p in request.parts()]
            self.assertEqual([n for n in names if n[0] != b"zipFile"], expected, extra)
            for name in self.zips():
                os.remove(os.path.join(self.dir, name))

    def test_fail_to_open(self):
        self.write("a", b"x")
        r, requests = self.post(["-f", "a", "-j", "missing.json"] + VARS)
        self.assertEqual((r.rc, r.err, requests), (255, b"Fail to open missing.json\n", []))
        self.assertEqual(len(self.archive()), 2)  # the archive stays

    def test_status_is_the_result(self):
        self.write("a", b"x")
        for status in (201, 404, 500, 303):
            r, requests = self.post(["-f", "a"] + VARS, [(status, {"Location": "/elsewhere"})])
            self.assertEqual(r.rc, status & 0xFF)
            self.assertEqual(len(requests), 1)
            # one line of Qt's error text on stderr, 201 included
            self.assertRegex(r.err, b"^[^\n]+\n$")
            if status in (404, 500):
                self.assertIn(b"server replied: Scripted", r.err)
