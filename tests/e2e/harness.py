"""Shared helpers for the end-to-end tests: the runner, a scripted HTTP(S)
server that records raw requests, a multipart parser, stand-in archivers and
a tinyproxy instance. Everything listens on loopback and is stopped by its test."""
import base64
import json
import os
import re
import resource
import shlex
import shutil
import socket
import struct
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
# The sanitizers' shadow memory and quarantine make a run's resident memory no measure of the program's.
SANITIZED = "ASAN_OPTIONS" in os.environ
BIN = os.environ.get("QUILLFAST") or os.path.join(HERE, "..", "..", "build", "src", "quillfast")

USAGE = (b"Quillfast usage : \n"
         b"\t--url <url>               => (mandatory)   Url of server\n"
         b"\t--file <file>             => (one or more) Add file for upload\n"
         b"\t--json <file>             => (optionnal)   Add json for upload\n"
         b"\t--work-dir <dir>          => (optionnal)   Set working directory for zip\n"
         b"\t--org <organization>      => (mandatory)   Add 'org' variable to request\n"
         b"\t--project <project>       => (mandatory)   Add 'project' variable to request\n"
         b"\t--type <type>             => (mandatory)   Add 'type' variable to request\n"
         b"\t--extra-post <var=value>  => (mandatory)   Add 'var' variable with value to request\n"
         b"\t--no-proxy                => (mandatory)   Desactivate a proxy\n"
         b"\t--system-proxy            => (mandatory)   Use a system proxy\n"
         b"\t--proxy <proxy>           => (mandatory)   Set proxy\n"
         b"\t--version                 => (optionnal)   Display version\n")
BANNER = b"Dropwell v1.0.0.0 built on Thursday March 24th 2016, 14:30:49 UTC\n"
# The three mandatory form variables, for runs whose values do not matter.
VARS = ["--org", "o", "--project", "p", "--type", "t"]


def exit_code(status):
    """How a shell sees the program's result."""
    return status & 0xFF


class Result:
    def __init__(self, rc, out, err, peak_mib=0):
        self.rc, self.out, self.err, self.peak_mib = rc, out, err, peak_mib

    def __repr__(self):
        return "rc=%d\nstdout=%r\nstderr=%r" % (self.rc, self.out, self.err)


_namespace_problem = []


def namespace_problem():
    """Why a private mount namespace cannot be made here, or None when it can."""
    if not _namespace_problem:
        p = subprocess.run(["unshare", "-m", "sh", "-c", "mount --bind /etc/hosts /etc/hosts"],
                           capture_output=True, timeout=10)
        _namespace_problem.append(p.stderr.decode(errors="replace").strip() or "unshare failed" if p.returncode
                                  else None)
    return _namespace_problem[0]


class Case(unittest.TestCase):
    """Gives each test a scratch directory (its cwd) and the runner."""
    upload_args = ["-f", "dump"]  # what upload() sends besides the URL and VARS

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillfast-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def write(self, name, data=b"", mode=0o644):
        path = os.path.join(os.fsencode(self.dir), os.fsencode(name))
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        return os.fsdecode(path)

    def report(self, name="report.json"):
        """The JSON report a run wrote to name, in the scratch directory."""
        with open(os.path.join(self.dir, name)) as f:
            return json.load(f)

    def zips(self, subdir=""):
        return [f for f in os.listdir(os.path.join(self.dir, subdir)) if f.endswith(".zip")]

    def need_namespaces(self):
        problem = namespace_problem()
        if problem:
            self.skipTest("needs a private mount namespace (unshare -m, as root): " + problem)

    def upload(self, url, *extra, **kw):
        """One run against url with upload_args, the form variables and extra."""
        return self.run_tool(["-u", url] + self.upload_args + VARS + list(extra), **kw)

    def run_fault(self, label, args, outcomes, bound=30, archive=True, **kw):
        """One run that must fail with one of the outcomes, a set of (status, stderr) pairs, stderr
        bytes or a pattern, and end by itself before --max-time bound: the run is given that
        deadline, whose own outcome (14, "Operation timed out") is none of them. A run that
        hangs before its upload is ended at bound and 30 s. With archive, it keeps its whole
        archive of the file "dump"."""
        for f in self.zips():
            os.remove(os.path.join(self.dir, f))
        r = self.run_tool(list(args) + ["--max-time", str(bound)], timeout=bound + 30, **kw)
        self.assertTrue(any(r.rc == exit_code(rc) and (re.fullmatch(err, r.err) if isinstance(err, re.Pattern)
                                                        else r.err == err) for rc, err in outcomes), (label, r))
        self.assertNotEqual(r.rc, 0, label)
        if archive:
            [name] = self.zips()
            self.assertGreater(os.path.getsize(os.path.join(self.dir, name)), os.path.getsize(os.path.join(self.dir, "dump")),
                               label)
        return r

    def stand_in(self, script):
        """A '7z' first on PATH that runs the given shell script body."""
        bindir = os.path.join(self.dir, "bin")
        os.makedirs(bindir, exist_ok=True)
        self.write("bin/7z", b"#!/bin/sh\n" + script.encode(), 0o755)
        return bindir

    def run_tool(self, args, path_prefix=None, env=None, timeout=60, names=None, prelude=None, max_files=None,
                 folder=""):
        """Runs quillfast in folder (under the test's own); names maps host names to loopback through a private /etc/hosts,
        prelude is shell run first in the same private mount namespace, and max_files
        limits its open files."""
        environment = dict(os.environ, LC_ALL="C.UTF-8")
        for key in ("http_proxy", "https_proxy", "all_proxy", "no_proxy",
                    "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"):
            environment.pop(key, None)
        if path_prefix:
            environment["PATH"] = path_prefix + os.pathsep + environment["PATH"]
        environment.update(env or {})
        argv = [BIN] + list(args)
        script = [prelude] if prelude else []
        if script or names is not None:
            self.need_namespaces()
        if names is not None:
            hosts = self.write("hosts", "".join("127.0.0.1 %s\n" % n for n in names).encode())
            # No resolver either: a name that is not listed fails at once, with no traffic.
            resolv = self.write("resolv.conf", b"nameserver 127.0.0.1\noptions attempts:1 timeout:1\n")
            script += ["mount --bind %s /etc/hosts" % shlex.quote(hosts),
                       "mount --bind %s /etc/resolv.conf" % shlex.quote(resolv)]
        if script:
            argv = ["unshare", "-m", "sh", "-c", " && ".join(script + ['exec "$@"']), "sh"] + argv
        def limit():
            os.umask(0o022)  # the usual one, whatever the test runner's
            if max_files:
                resource.setrlimit(resource.RLIMIT_NOFILE, (max_files, max_files))
        rc, out, err, peak = run_measured(argv, os.path.join(self.dir, folder), environment, timeout, limit)
        # A sanitized build reports on stderr: no test passes over a report.
        self.assertNotIn(b"Sanitizer", err, err.decode("latin-1")[-3000:])
        return Result(rc, out, err, peak)


class EventCase(Case):
    """Runs that send a 100 kB dump and a JSON description with a placeholder."""
    upload_args = ["-f", "dump", "-j", "e.json"]

    def setUp(self):
        super().setUp()
        self.write("dump", os.urandom(100000))
        self.write("e.json", b'{"id":"$eventId"}')


def run_measured(argv, cwd, env, timeout, preexec=None):
    """Runs argv to its end: exit status, stdout, stderr and its peak resident size in MiB
    (the largest of the process and its children, as the kernel counts it)."""
    process = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, preexec_fn=preexec)
    streams = {}
    readers = [threading.Thread(target=lambda name, f: streams.__setitem__(name, f.read()), args=(name, f))
               for name, f in (("out", process.stdout), ("err", process.stderr))]
    for reader in readers:
        reader.start()
    timed_out = []

    def stop():
        # What it was doing goes into the failure: a hang on a busy machine is rarely seen twice.
        timed_out.append(stacks(process.pid))
        process.kill()
    killer = threading.Timer(timeout, stop)
    killer.start()
    try:
        _, status, usage = os.wait4(process.pid, 0)  # reaped here, for its rusage
    finally:
        killer.cancel()
    process.returncode = os.waitstatus_to_exitcode(status)
    for reader in readers:
        reader.join()
    process.stdout.close()
    process.stderr.close()
    if timed_out:
        sys.stderr.write("stopped after %d s; its stderr:\n%s\nits threads:\n%s\n"
                         % (timeout, streams["err"][-3000:].decode("latin-1"), timed_out[0].decode("latin-1")))
        raise subprocess.TimeoutExpired(argv, timeout)
    return process.returncode, streams["out"], streams["err"], usage.ru_maxrss // 1024


def stacks(pid):
    """Every thread's stack of a running process, as gdb prints them, and the machine's TCP
    connections with their queues and counters (which side waits for which), within 30 s each."""
    found = []
    for argv in (["gdb", "-p", str(pid), "-batch", "-nx", "-ex", "thread apply all bt"], ["ss", "-tanpi"]):
        try:
            out = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=30).stdout
            found.append(re.sub(rb"[ \t]+", b" ", out)[:20000])  # ss pads its columns to the terminal
        except (OSError, subprocess.TimeoutExpired) as e:
            found.append(b"no %s: %s" % (argv[0].encode(), str(e).encode()))
    return b"\n".join(found)


class Request:
    def __init__(self, line, headers, body):
        self.line, self.headers, self.body = line, headers, body

    def header(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None

    def parts(self):
        """The multipart body as (header lines, body) pairs, in order."""
        ctype = self.header("Content-Type")
        boundary = ctype.split("boundary=", 1)[1].strip('"').encode()
        chunks = self.body.split(b"--" + boundary)
        assert chunks[0] == b"" and chunks[-1] == b"--\r\n", (chunks[0], chunks[-1])
        parts = []
        for chunk in chunks[1:-1]:
            assert chunk.startswith(b"\r\n") and chunk.endswith(b"\r\n")
            head, body = chunk[2:-2].split(b"\r\n\r\n", 1)
            parts.append((head.split(b"\r\n"), body))
        return parts


class Stoppable:
    """Something a test starts and must stop again, also through a with statement."""

    def stop(self):
        raise NotImplementedError

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Listener(Stoppable):
    """A loopback port whose connections are each served by serve(conn) on a thread of its own."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.stopped = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def stop(self):
        self.stopped = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept
        except OSError:
            pass
        self.sock.close()
        self.thread.join(5)

    def _accept(self):
        while not self.stopped:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve_and_close, args=(conn,), daemon=True).start()

    def _serve_and_close(self, conn):
        try:
            conn.settimeout(30)
            self.serve(conn)
        except (OSError, ValueError):
            pass
        finally:
            conn.close()

    def serve(self, conn):
        raise NotImplementedError

    @staticmethod
    def pump(source, sink, delay=0):
        """Copies source to sink until it ends, holding each chunk delay seconds."""
        try:
            while True:
                chunk = source.recv(65536)
                if not chunk:
                    break
                time.sleep(delay)
                sink.sendall(chunk)
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def splice(self, conn, upstream_port, delay=0):
        """Both ways between conn and the upstream port, what it sends held delay seconds a chunk."""
        with socket.create_connection(("127.0.0.1", upstream_port), 10) as upstream:
            back = threading.Thread(target=self.pump, args=(upstream, conn, delay), daemon=True)
            back.start()
            self.pump(conn, upstream)
            back.join(30)


class Server(Listener):
    """A scripted HTTP/1.1 server on loopback. Each reply is (status, headers) or
    (status, headers, body), raw bytes sent as they are before the connection is
    closed, or a word: 'close' drops the connection unanswered, 'stall' reads the
    request and then keeps the connection open and silent, 'stall-unread' does
    so without reading the body,
    'slow' answers 200 after half a second, 'trickle' answers 200 with a
    15-byte body sent one byte per 200 ms, 'drip' with a body that never ends;
    'close-headers' closes once the request headers are in, 'close-body' resets
    half way through the body, 'early-413' answers 413 without reading the body, and
    'late-body' answers 200 with an 11-byte body sent 0.3 s after its headers, on a
    connection it keeps (to a HEAD, a stray body); 'flood', 'flood-chunked' and
    'flood-headers' answer without end, 'slow-headers' sends a 200 one byte every
    200 ms, and 'slow-read' takes the body at about 1 MB/s.
    A reply may also be a dict from request method to reply ("*" for any other).
    The last reply repeats."""

    FLOODS = {
        "flood": (b"HTTP/1.1 200 OK\r\n\r\n", b"x" * 65536),
        "flood-chunked": (b"HTTP/1.1 503 Busy\r\nTransfer-Encoding: chunked\r\n\r\n",
                          b"10000\r\n" + b"x" * 65536 + b"\r\n"),
        "flood-headers": (b"HTTP/1.1 200 OK\r\n", b"X-Flood: " + b"x" * 1000 + b"\r\n"),
    }

    def __init__(self, replies=((200, {}),), cert=None):
        self.replies = list(replies)
        self.requests = []
        self.first = 0  # the request that the first reply answers
        self.ready = []  # when each connection was ready for its first request: after TLS, when it has it
        self.context = None
        if cert:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(*cert)
        super().__init__()

    def script(self, replies):
        """Answers the requests from now on with these replies."""
        self.replies, self.first = list(replies), len(self.requests)

    def posts(self):
        """How many POSTs have come so far."""
        return sum(1 for request in self.requests if request.line.startswith("POST"))

    def url(self, path="/upload", scheme="http", host="127.0.0.1"):
        return "%s://%s:%d%s" % (scheme, host, self.port, path)

    def serve(self, conn):
        if self.context:
            with self.context.wrap_socket(conn, server_side=True) as secure:
                self.ready.append(time.time())
                self._converse(secure)
        else:
            self.ready.append(time.time())
            self._converse(conn)

    def _converse(self, conn):
        reader = conn.makefile("rb")
        for request in self.heads(reader):
            reply = self.replies[min(len(self.requests) - self.first + 1, len(self.replies)) - 1]
            if isinstance(reply, dict):
                method = request.line.split(" ", 1)[0]
                reply = reply.get(method, reply.get("*"))
            self.requests.append(request)
            reply = self._read_body(reply, conn, reader, request)
            if reply is None or not self._answer(reply, conn, request):
                return

    @classmethod
    def heads(cls, reader):
        """Each request's line and headers as they come, until the connection ends."""
        while True:
            request = cls._read_head(reader)
            if request is None:
                return
            yield request

    @staticmethod
    def _read_head(reader):
        """The request line and headers, or None when the connection has ended."""
        line = reader.readline()
        if not line:
            return None
        headers = []
        while True:
            h = reader.readline()
            if h in (b"\r\n", b"\n", b""):
                break
            k, _, v = h.decode("latin-1").partition(":")
            headers.append((k.strip(), v.strip()))
        return Request(line.decode("latin-1").rstrip("\r\n"), headers, b"")

    def _read_body(self, reply, conn, reader, request):
        """Reads the body as the reply would; the reply to send, or None when the connection is done."""
        length = int(request.header("Content-Length") or 0)
        if reply == "close-headers":
            return None
        if reply == "stall-unread":
            self._stall()
            return None
        if reply == "early-413":
            conn.sendall(b"HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            conn.shutdown(socket.SHUT_WR)
            while reader.read(65536):  # a lingering close: the answer is not lost to a reset
                pass
            return None
        if reply == "slow-read":  # takes the body at about 1 MB/s, then answers 200
            for _ in range(0, length, 16384):
                request.body += reader.read(min(16384, length - len(request.body)))
                time.sleep(0.016)
            reply = (200, {})
        request.body += reader.read(length // 2 if reply == "close-body" else length - len(request.body))
        if reply == "close-body":  # a reset, always: the rest of the body is left unread
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return None if reply in ("close", "close-body") else reply

    def _answer(self, reply, conn, request):
        """Sends the reply; whether the connection stays for another request."""
        if isinstance(reply, bytes):
            conn.sendall(reply)
            return False
        if reply == "stall":
            self._stall()
            return False
        if reply == "late-body":  # to a HEAD, a stray body: it comes late, on a connection kept open
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n")
            time.sleep(0.3)
            conn.sendall(b"stray body\n")
            return True
        if reply == "slow":
            time.sleep(0.5)
            reply = (200, {})
        if reply == "drip":  # a body that never ends: one byte every 100 ms
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n")
            self._keep_sending(conn, b".", 0.1)
            return False
        if isinstance(reply, str) and reply in self.FLOODS:  # an answer that never ends, as fast as it is read
            head, block = self.FLOODS[reply]
            conn.sendall(head)
            self._keep_sending(conn, block, 0)
            return False
        if reply == "slow-headers":  # a whole 200, one byte every 200 ms
            for byte in b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n":
                conn.sendall(bytes([byte]))
                time.sleep(0.2)
            return True
        if reply == "trickle":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 15\r\n\r\n")
            for _ in range(15):
                time.sleep(0.2)
                conn.sendall(b".")
            return True
        status, extra, body = reply if len(reply) == 3 else reply + (b"",)
        head = "HTTP/1.1 %d Scripted\r\nContent-Length: %d\r\n" % (status, len(body))
        head += "".join("%s: %s\r\n" % kv for kv in extra.items())
        conn.sendall(head.encode("latin-1") + b"\r\n" + (b"" if request.line.startswith("HEAD") else body))
        return True

    def _keep_sending(self, conn, block, pause):
        """block again and again, for at most 30 s or until the server stops."""
        deadline = time.time() + 30
        while not self.stopped and time.time() < deadline:
            conn.sendall(block)
            if pause:
                time.sleep(pause)

    def _stall(self):
        deadline = time.time() + 30
        while not self.stopped and time.time() < deadline:
            time.sleep(0.05)


def closed_port():
    """A loopback port that nothing listens on."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def self_signed(directory, name="localhost"):
    """A certificate and key for 127.0.0.1, made now."""
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=" + name, "-addext", "subjectAltName=IP:127.0.0.1,DNS:" + name,
                    "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
    return cert, key


def ca_signed(directory, tag):
    """A CA made now, and a certificate for 127.0.0.1 signed by it: (cert, key), ca."""
    def path(name):
        return os.path.join(directory, "%s-%s" % (tag, name))

    def openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, capture_output=True, timeout=60)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Test CA " + tag,
            "-keyout", path("ca.key"), "-out", path("ca.pem"))
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
            "-keyout", path("key.pem"), "-out", path("req.pem"))
    with open(path("ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", path("req.pem"), "-CA", path("ca.pem"), "-CAkey", path("ca.key"),
            "-CAcreateserial", "-days", "2", "-extfile", path("ext"), "-out", path("cert.pem"))
    return (path("cert.pem"), path("key.pem")), path("ca.pem")


def wait_for_port(port, process, what, seconds=10):
    """Waits until something accepts on the loopback port; stops process and raises if not."""
    deadline = time.time() + seconds
    while time.time() < deadline and process.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    stop_process(process)
    raise RuntimeError("%s did not start" % what)


def stop_process(process):
    """Ends a peer that a test started, by its own id."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(5)


def in_hosts_namespace(argv, hosts):
    """argv run in a private mount namespace that sees the file hosts as /etc/hosts."""
    return ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec "$@"', hosts] + list(argv)


class Peer(Stoppable):
    """A real server that a test starts on a free loopback port, from a config it
    writes, and stops; a daemon that drops root gets a directory it owns."""
    dir = None
    process = None

    def start(self, argv, what, owner=None, env=None):
        if owner and os.geteuid() == 0:
            for path in [self.dir] + [os.path.join(self.dir, n) for n in os.listdir(self.dir)]:
                shutil.chown(path, owner, owner)
        self.process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=dict(os.environ, **(env or {})))
        try:
            wait_for_port(self.port, self.process, what)
        except RuntimeError:
            self.stop()
            raise

    def stop(self):
        stop_process(self.process)
        if self.dir:
            shutil.rmtree(self.dir, True)


class TinyProxy(Peer):
    """tinyproxy on a free loopback port, handing every request to upstream_port."""

    def __init__(self, directory, upstream_port, auth=None):
        self.port = closed_port()
        conf = os.path.join(directory, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write("Port %d\nListen 127.0.0.1\nTimeout 30\nMaxClients 10\nAllow 127.0.0.1\n"
                    "LogLevel Critical\nDisableViaHeader No\nUpstream http 127.0.0.1:%d\n" % (self.port, upstream_port)
                    + ("BasicAuth %s %s\n" % auth if auth else ""))
        self.start(["tinyproxy", "-d", "-c", conf], "tinyproxy")


class Squid(Peer):
    """squid on a free loopback port, as the user it drops to. auth is None, "basic" or
    "digest" (users from the dict credentials), "ntlm" (users as DOMAIN\\user, checked by
    ntlm_helper.py) or "negotiate" (a Kerberos realm's, which gives the keytab and the
    helper's environment); names maps host names to loopback for squid's own lookups; a
    CONNECT to the host "denied.test" is refused (403), and so is one to any port but
    ssl_ports when they are given, as Debian ships squid with 443 alone."""

    def __init__(self, credentials=None, auth=None, names=("collector", "denied.test"), ssl_ports=(), realm=None,
                 denied_page=None):
        self.port = closed_port()
        self.dir = tempfile.mkdtemp(prefix="quillfast-squid-")
        conf = ["http_port 127.0.0.1:%d" % self.port, "pid_filename %s/squid.pid" % self.dir,
                "cache_log %s/cache.log" % self.dir, "access_log %s/access.log" % self.dir, "cache deny all",
                "pinger_enable off", "shutdown_lifetime 0 seconds", "hosts_file %s/hosts" % self.dir,
                "dns_nameservers 127.0.0.1", "acl denied dstdomain denied.test", "http_access deny CONNECT denied"]
        if ssl_ports:
            conf += ["acl SSL_ports port %s" % " ".join(map(str, ssl_ports)), "http_access deny CONNECT !SSL_ports"]
        if denied_page:  # the page of its 407, as appliances send large ones
            errors = os.path.join(self.dir, "errors")
            shutil.copytree("/usr/share/squid/errors/templates", errors)
            with open(os.path.join(errors, "ERR_CACHE_ACCESS_DENIED"), "wb") as f:
                f.write(denied_page)
            conf.append("error_directory " + errors)
        with open(os.path.join(self.dir, "hosts"), "w") as f:
            f.write("".join("127.0.0.1 %s\n" % n for n in names))
        users = os.path.join(self.dir, "users")
        if auth == "basic":
            for i, (user, password) in enumerate(credentials.items()):
                subprocess.run(["htpasswd", "-b" + ("c" if i == 0 else ""), users, user, password],
                               check=True, capture_output=True, timeout=10)
            conf.append("auth_param basic program /usr/lib/squid/basic_ncsa_auth " + users)
        elif auth in ("digest", "ntlm"):
            with open(users, "w") as f:
                f.write("".join("%s:%s\n" % kv for kv in credentials.items()))
            # squid's user runs the helper: a copy of its own, with the system's Python.
            helper = os.path.join(self.dir, "ntlm_helper.py")
            shutil.copy(os.path.join(HERE, "ntlm_helper.py"), helper)
            conf.append("auth_param digest program /usr/lib/squid/digest_file_auth " + users if auth == "digest" else
                        "auth_param ntlm program /usr/bin/python3 %s %s" % (helper, users))
        elif auth == "negotiate":
            keytab = os.path.join(self.dir, "http.keytab")
            shutil.copy(realm.service_keytab, keytab)
            # The service named: without it the helper needs the machine's own name to resolve, which a fresh box's does not.
            conf.append("auth_param negotiate program /usr/lib/squid/negotiate_kerberos_auth -k %s -s %s@%s"
                        % (keytab, realm.SERVICE, realm.REALM))
        if auth in ("basic", "digest"):
            conf.append("auth_param %s realm quillfast" % auth)
        elif auth:
            conf += ["auth_param %s children 2" % auth, "auth_param %s keep_alive on" % auth]
        conf += ["acl authed proxy_auth REQUIRED", "http_access allow authed"] if auth else ["http_access allow all"]
        conf.append("http_access deny all")
        with open(os.path.join(self.dir, "squid.conf"), "w") as f:
            f.write("\n".join(conf) + "\n")
        # squid drops to its own user, who must read all this.
        self.start(["squid", "-N", "-f", os.path.join(self.dir, "squid.conf")], "squid", owner="proxy",
                   env=realm and {"KRB5_CONFIG": realm.config})

    def log(self, name="access.log"):
        """squid's access log (or its cache.log) so far."""
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()

    def diagnosis(self):
        """The ends of both logs, for a failure's message: what squid saw of a run that broke."""
        return "\n".join("%s:\n%s" % (name, self.log(name)[-3000:]) for name in ("access.log", "cache.log"))


class Relay(Listener):
    """A link with a round trip: each chunk the upstream port sends is held delay seconds
    before it goes on to the client, as on a real link; what the client sends goes at once."""

    def __init__(self, upstream_port, delay=0.1):
        self.upstream_port, self.delay = upstream_port, delay
        super().__init__()

    def serve(self, conn):
        self.splice(conn, self.upstream_port, self.delay)


class TunnelProxy(Listener):
    """A proxy that only tunnels, to 127.0.0.1 at the port a CONNECT names. With credentials
    (user, password), a CONNECT without them is answered 407 with a page of page_bytes after
    delay seconds, on a connection it keeps; the tunnel's 200 carries header_bytes of headers."""

    def __init__(self, credentials=None, page_bytes=0, header_bytes=0, delay=0.1):
        self.expected = credentials and "Basic " + base64.b64encode(("%s:%s" % credentials).encode()).decode()
        self.page, self.delay = b"<p>" + b"x" * page_bytes + b"</p>", delay
        self.headers = b"".join(b"X-Appliance-%d: %s\r\n" % (i, b"y" * 90) for i in range(header_bytes // 100))
        super().__init__()

    def serve(self, conn):
        for request in Server.heads(conn.makefile("rb")):
            time.sleep(self.delay)
            if not self.expected or request.header("Proxy-Authorization") == self.expected:
                break
            conn.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"q\"\r\n"
                         b"Content-Type: text/html\r\nContent-Length: %d\r\n\r\n" % len(self.page) + self.page)
        else:
            return
        conn.sendall(b"HTTP/1.1 200 Connection established\r\n" + self.headers + b"\r\n")
        self.splice(conn, int(request.line.split()[1].rsplit(":", 1)[1]))


class KerberosRealm(Peer):
    """A private realm, CORP.TEST, with its KDC on a free loopback port: the principals of a
    user (alice) and of a proxy's service (HTTP/proxy.corp.test), their keys, and alice's
    ticket in a cache of her own, made by kinit. environment() is what a client of the realm
    is run with, with the ticket or with an empty cache."""
    REALM = "CORP.TEST"
    SERVICE = "HTTP/proxy.corp.test"

    def __init__(self):
        self.port = closed_port()
        self.dir = tempfile.mkdtemp(prefix="quillfast-krb-")
        os.chmod(self.dir, 0o755)  # squid's helper, as squid's user, reads the realm's krb5.conf
        self.config = self.path("krb5.conf")
        self.service_keytab = self.path("http.keytab")
        with open(self.config, "w") as f:
            f.write("[libdefaults]\n default_realm = %s\n dns_lookup_realm = false\n dns_lookup_kdc = false\n"
                    " rdns = false\n dns_canonicalize_hostname = false\n udp_preference_limit = 1\n"
                    "[realms]\n %s = {\n  kdc = 127.0.0.1:%d\n }\n[domain_realm]\n .corp.test = %s\n"
                    % (self.REALM, self.REALM, self.port, self.REALM))
        with open(self.path("kdc.conf"), "w") as f:
            f.write("[kdcdefaults]\n kdc_listen = 127.0.0.1:%d\n kdc_tcp_listen = 127.0.0.1:%d\n"
                    "[realms]\n %s = {\n  database_name = %s\n  key_stash_file = %s\n"
                    "  supported_enctypes = aes256-cts-hmac-sha1-96:normal\n }\n"
                    % (self.port, self.port, self.REALM, self.path("principal"), self.path("stash")))
        env = dict(os.environ, KRB5_CONFIG=self.config, KRB5_KDC_PROFILE=self.path("kdc.conf"))
        env.pop("KRB5CCNAME", None)

        def run(*argv):
            subprocess.run(list(argv), env=env, check=True, capture_output=True, timeout=30)
        run("kdb5_util", "create", "-s", "-r", self.REALM, "-P", "masterpw")
        for principal, keytab in (("alice", "alice.keytab"), (self.SERVICE, "http.keytab")):
            run("kadmin.local", "-r", self.REALM, "-q", "addprinc -randkey %s@%s" % (principal, self.REALM))
            run("kadmin.local", "-r", self.REALM, "-q", "ktadd -norandkey -k %s %s@%s" % (self.path(keytab), principal, self.REALM))
        self.start(["krb5kdc", "-n", "-r", self.REALM], "krb5kdc", env={"KRB5_CONFIG": self.config,
                                                                         "KRB5_KDC_PROFILE": self.path("kdc.conf")})
        run("kinit", "-c", "FILE:" + self.path("alice.cache"), "-k", "-t", self.path("alice.keytab"), "alice@" + self.REALM)

    def path(self, name):
        return os.path.join(self.dir, name)

    def environment(self, ticket=True):
        return {"KRB5_CONFIG": self.config, "KRB5CCNAME": "FILE:" + self.path("alice.cache" if ticket else "no.cache")}


class Nginx(Peer):
    """nginx on a free loopback port in front of upstream_port, as the user its
    workers drop to. locations is nginx text for the server block, where
    UPSTREAM stands for the upstream's address; tls is (cert, key), and
    client_ca makes it require a client certificate signed by that CA."""

    def __init__(self, upstream_port, locations, tls=None, client_ca=None, files=None):
        self.port = closed_port()
        self.dir = tempfile.mkdtemp(prefix="quillfast-nginx-")
        for name, data in (files or {}).items():
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(data)
        listen = "listen 127.0.0.1:%d%s;" % (self.port, " ssl" if tls else "")
        if tls:
            listen += "\n    ssl_certificate %s;\n    ssl_certificate_key %s;" % tls
        if client_ca:
            listen += "\n    ssl_client_certificate %s;\n    ssl_verify_client on;" % client_ca
        temp = " ".join("%s_temp_path %s/%s;" % (k, self.dir, k) for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        conf = ("%sdaemon off;\nworker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log;\nevents {}\n"
                "http {\n  access_log %s/access.log;\n  client_max_body_size 0;\n  %s\n"
                "  server {\n    %s\n    %s\n  }\n}\n"
                % ("user www-data;\n" if os.geteuid() == 0 else "", self.dir, self.dir, self.dir, temp, listen,
                   locations.replace("UPSTREAM", "127.0.0.1:%d" % upstream_port).replace("DIR", self.dir)))
        with open(os.path.join(self.dir, "nginx.conf"), "w") as f:
            f.write(conf)
        # The workers read the password file and write the temp files.
        self.start(["nginx", "-p", self.dir, "-e", os.path.join(self.dir, "error.log"),
                    "-c", os.path.join(self.dir, "nginx.conf")], "nginx", owner="www-data")

    def url(self, path, scheme="http", userinfo=""):
        return "%s://%s127.0.0.1:%d%s" % (scheme, userinfo, self.port, path)


class TusServer(Peer):
    """@tus/server with its file store (tests/tus, pinned by its lockfile) on a free loopback
    port; uploads are made at /files and kept in a folder of its own."""

    def __init__(self):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tus", "server.js")
        if not os.path.isdir(os.path.join(os.path.dirname(script), "node_modules", "@tus", "server")):
            raise unittest.SkipTest("the packages of the tus server are not installed (scripts/install-deps runs npm ci in tests/tus)")
        self.port = closed_port()
        self.dir = tempfile.mkdtemp(prefix="quillfast-tus-")
        self.start(["node", script, self.dir, str(self.port)], "the tus server")

    def url(self, host="127.0.0.1"):
        return "http://%s:%d/files" % (host, self.port)

    def forget(self, upload_url):
        """The server no longer knows the upload."""
        name = upload_url.rsplit("/", 1)[1]
        for kept in (name, name + ".json"):
            os.remove(os.path.join(self.dir, kept))

    def uploads(self):
        """Every upload kept, oldest first: (its description, its bytes so far)."""
        kept = []
        for name in sorted(os.listdir(self.dir)):
            if name.endswith(".json"):
                with open(os.path.join(self.dir, name)) as f, open(os.path.join(self.dir, name[:-5]), "rb") as data:
                    kept.append((json.load(f), data.read()))
        return sorted(kept, key=lambda upload: upload[0]["creation_date"])


class CuttingRelay(Listener):
    """Between a client and the upstream port: the n-th connection is cut (both ways, at
    once) after cuts[n] bytes from the client, None for never; with hold, it is held there
    instead (the rest read and dropped, held set) until the client goes. sent counts the
    client's bytes that went on; seen maps each of the watched byte strings to when the
    client first sent it."""

    def __init__(self, upstream_port, cuts, hold=False, watch=()):
        self.upstream_port, self.cuts, self.sent, self.connections = upstream_port, list(cuts), 0, 0
        self.hold, self.held = hold, threading.Event()
        self.watch, self.seen = watch, {}
        super().__init__()

    def serve(self, conn):
        cut = self.cuts[self.connections] if self.connections < len(self.cuts) else None
        self.connections += 1
        with socket.create_connection(("127.0.0.1", self.upstream_port), 10) as upstream:
            threading.Thread(target=self.pump, args=(upstream, conn), daemon=True).start()
            passed = 0
            while True:
                chunk = conn.recv(65536)
                if cut is not None:
                    chunk = chunk[:cut - passed]
                if not chunk:
                    break
                for marker in self.watch:
                    if marker not in self.seen and marker in chunk:
                        self.seen[marker] = time.time()
                upstream.sendall(chunk)
                passed += len(chunk)
                self.sent += len(chunk)
                if cut is not None and passed >= cut:
                    self.held.set()
                    while self.hold and conn.recv(65536):
                        pass
                    break
            for end in (conn, upstream):
                end.shutdown(socket.SHUT_RDWR)


class Microsocks(Peer):
    """microsocks on a free loopback port, optionally with one user; it resolves names
    through hosts, a file of its own, in a private mount namespace."""

    def __init__(self, hosts, user=None):
        self.port = closed_port()
        argv = ["microsocks", "-i", "127.0.0.1", "-p", str(self.port)]
        if user:
            argv += ["-u", user[0], "-P", user[1]]
        self.start(in_hosts_namespace(argv, hosts), "microsocks")
