#!/usr/bin/env python3
"""A tiny collection server for the demo: answers every POST with 200 and
prints the form it received. Usage: collector.py PORTFILE (writes its port there)."""
import http.server
import sys


class Collector(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        boundary = self.headers.get_param("boundary").encode()
        print("server received POST %s, %d body bytes:" % (self.path, len(body)))
        for chunk in body.split(b"--" + boundary)[1:-1]:
            head, data = chunk[2:-2].split(b"\r\n\r\n", 1)
            disposition = [h for h in head.split(b"\r\n") if h.lower().startswith(b"content-disposition")][0]
            print("  part %s: %d bytes" % (disposition.split(b":", 1)[1].strip().decode("latin-1"), len(data)))
            if b'name="jsonFile"' in disposition:
                print("    " + data.decode("latin-1"))
        sys.stdout.flush()
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Collector)
with open(sys.argv[1], "w") as f:
    f.write(str(server.server_port))
server.serve_forever()
