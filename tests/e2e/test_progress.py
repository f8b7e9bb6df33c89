"""The progress line for a person at a terminal, and standard output as scripts have always read it."""
import fcntl
import os
import pty
import re
import struct
import subprocess
import termios

from harness import BIN, VARS, EventCase, Server


class Progress(EventCase):
    def test_progress(self):
        self.write("dump", os.urandom(8 << 20))
        rows = [  # --progress, whether stderr is a terminal, whether the line shows
            ([], True, True), ([], False, False), (["--progress", "never"], True, False),
            (["--progress", "always"], False, True),
        ]
        plain = None
        for extra, terminal, shown in rows:
            with Server(["slow"]) as server:
                out, err, rc = self.run_on_terminal(server.url(), extra) if terminal else (lambda r: (r.out, r.err, r.rc))(
                    self.upload(server.url(), *extra))
            self.assertEqual(rc, 0, err)
            if shown:
                self.assertRegex(err, rb"^\rArchiving: \d+\.\d of 8\.0 MiB read \(\d+%\), \d+ s\x1b\[K")
                self.assertRegex(err, rb"\rUploading: [\d.]+ of [\d.]+ MiB \(\d+%\)(\x1b|, [\d.]+ MiB/s)")
                self.assertNotRegex(err, rb"Uploading: [^\r]*MiB/s[^\r]*\r[^\r]*$")
                # The collector takes half a second to answer: the line says so, then the summary ends the run.
                self.assertIn(b"\rUploaded 8.0 MiB, waiting for the server: 0 s\x1b[K", err)
                self.assertRegex(err, rb"\r\x1b\[KDelivered [-0-9a-f]{20} to http://127\.0\.0\.1:\d+/upload: 200 in "
                                      rb"\d+\.\d s\n$")
            else:
                self.assertEqual(err, b"")
            # Standard output is what it always was, terminal or not.
            shape = re.sub(rb"[-0-9a-f]{20}|127\.0\.0\.1:\d+", b"X", out.replace(b"\r\n", b"\n"))
            plain = plain or shape
            self.assertEqual(shape, plain)
        r = self.upload("http://127.0.0.1:9/", "--progress", "sometimes")
        self.assertTrue(r.out.startswith(b'Bad value for --progress: "sometimes" (auto, always or never)\n\nQuillfast'))

    def test_progress_on_a_narrow_terminal(self):
        self.write("dump", os.urandom(8 << 20))
        with Server([(503, {}), "slow"]) as server:
            out, err, rc = self.run_on_terminal(server.url(), ["--retry", "1"], columns=30)
        self.assertEqual(rc, 0, err)
        # Every redraw fits in 29 columns, so none wraps and leaves a stale row.
        frames = [f.replace(b"\x1b[K", b"") for f in err.split(b"\r")]
        self.assertTrue(all(len(f) <= 29 for f in frames[:-1]), frames)
        self.assertEqual(frames[-1][:10], b"Delivered ")  # the summary is a whole line
        # A person at a terminal sees the real wait before a retry, to a tenth of a second.
        self.assertRegex(out, rb"\nRetry 1 of 1 in [01]\.\d s: ")

    def run_on_terminal(self, url, extra, columns=80):
        """One upload with standard error on a pseudo-terminal of that width; returns stdout, what the
        terminal got, status."""
        controller, terminal = pty.openpty()
        fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        process = subprocess.Popen([BIN, "-u", url] + self.upload_args + VARS + extra, cwd=self.dir,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=terminal)
        os.close(terminal)
        got = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the other side is closed
                break
            if not chunk:
                break
            got += chunk
        os.close(controller)
        out = process.stdout.read()
        process.wait(30)
        return out, got.replace(b"\r\n", b"\n"), process.returncode
