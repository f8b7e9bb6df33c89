#!/usr/bin/env python3
"""A loopback HTTP sink for the benchmark: it reads each POST whole, counts the
body, hashes the zipFile part of the multipart form as it streams by, answers
(200, or --status) and logs one JSON line per request. --rate caps how fast it
reads; --tls CERT KEY speaks HTTPS. A connection is kept for the next request,
as a collector behind a keep-alive front end keeps it, unless the client asks
to close it."""
import argparse
import hashlib
import json
import socket
import ssl
import sys
import threading
import time

CHUNK = 1 << 20


def headers_of(block):
    lines = block.decode("latin-1").split("\r\n")
    return lines[0], {k.strip().lower(): v.strip() for k, _, v in (l.partition(":") for l in lines[1:] if l)}


class Body:
    """Streams a multipart body: counts it, hashes the zipFile part's content."""

    def __init__(self, boundary):
        self.delimiter = b"\r\n--" + boundary
        self.buffer = bytearray(b"\r\n")  # the first boundary has no line end before it
        self.in_headers = False
        self.in_zip = False
        self.zip_hash = hashlib.sha256()
        self.zip_bytes = 0
        self.total = 0

    def take(self, content):
        if self.in_zip:
            self.zip_hash.update(content)
            self.zip_bytes += len(content)

    def feed(self, buf, n):
        """Takes the first n bytes of buf. Inside a part, where the data is
        large, it is hashed in place; the parsing below sees only what is near
        a delimiter."""
        self.total += n
        size = len(self.delimiter)
        if not self.in_headers and len(self.buffer) < size <= n:
            if (self.buffer + buf[:size - 1]).find(self.delimiter) < 0:
                self.take(self.buffer)
                self.buffer = bytearray()
                if buf.find(self.delimiter, 0, n) < 0:
                    self.take(memoryview(buf)[:n - size + 1])
                    self.buffer = bytearray(buf[n - size + 1:n])
                    return
        self.buffer += memoryview(buf)[:n]
        self.parse()

    def parse(self):
        while True:
            if self.in_headers:
                end = self.buffer.find(b"\r\n\r\n")
                if end < 0:
                    return
                self.in_zip = b'name="zipFile"' in self.buffer[:end]
                del self.buffer[:end + 4]
                self.in_headers = False
            at = self.buffer.find(self.delimiter)
            keep = at if at >= 0 else max(0, len(self.buffer) - len(self.delimiter) + 1)
            self.take(memoryview(self.buffer)[:keep])
            if at < 0:
                del self.buffer[:keep]
                return
            del self.buffer[:at + len(self.delimiter)]
            self.in_zip = False
            self.in_headers = True


def serve(conn, args, log, lock):
    """Answers the requests of one connection until the client closes it."""
    reader = conn.makefile("rb", buffering=0)
    rest = b""
    while True:
        rest = serve_one(conn, reader, rest, args, log, lock)
        if rest is None:
            return


def serve_one(conn, reader, head, args, log, lock):
    """One request, whose first bytes may already be in head: what was read past it, or None at the end."""
    rate = args.rate * 1e6
    while b"\r\n\r\n" not in head:
        data = conn.recv(65536)
        if not data:
            return None
        head += data
    block, _, rest = head.partition(b"\r\n\r\n")
    line, headers = headers_of(block)
    if headers.get("expect", "").lower() == "100-continue":
        conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
    length = int(headers.get("content-length", "0"))
    boundary = headers["content-type"].split("boundary=", 1)[1].strip('"').encode()
    body = Body(boundary)
    start = time.monotonic()
    extra = rest[length:]
    rest = rest[:length]
    body.feed(bytearray(rest), len(rest))
    buffer = bytearray(CHUNK if not rate else 65536)
    view = memoryview(buffer)
    while body.total < length:
        n = reader.readinto(view[:min(len(buffer), length - body.total)])
        if not n:
            break
        body.feed(buffer, n)
        if rate:
            ahead = start + body.total / rate - time.monotonic()
            if ahead > 0:
                time.sleep(ahead)
    elapsed = time.monotonic() - start
    close = headers.get("connection", "").lower() == "close"
    conn.sendall(b"HTTP/1.1 %d Sink\r\nContent-Length: 0\r\n%s\r\n"
                 % (args.status, b"Connection: close\r\n" if close else b""))
    with lock:
        log.write(json.dumps({"request": line, "bodyBytes": body.total, "zipBytes": body.zip_bytes,
                              "zipSha256": body.zip_hash.hexdigest(), "seconds": elapsed}) + "\n")
        log.flush()
    return None if close else extra


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rate", type=float, default=0, help="read at most this many MB/s (0: no limit)")
    parser.add_argument("--log", required=True, help="append one JSON line per request here")
    parser.add_argument("--status", type=int, default=200, help="the status every request is answered with")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="speak HTTPS with this certificate")
    args = parser.parse_args()
    context = None
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*args.tls)
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    print(server.getsockname()[1], flush=True)
    lock = threading.Lock()

    def connection(conn):
        with conn:
            try:
                if context:
                    conn = context.wrap_socket(conn, server_side=True)
                serve(conn, args, log, lock)
            except (OSError, ValueError, KeyError, IndexError) as error:
                print("sink: %s" % error, file=sys.stderr)

    with open(args.log, "a") as log:
        while True:
            conn, _ = server.accept()
            threading.Thread(target=connection, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
