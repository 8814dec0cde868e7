"""torvane-publish lint --fetch and --url against a local HTTP server, a host
that never answers and one that refuses connections."""

import os
import shutil
import socket
import unittest

# publish_case puts tests/fixtures on the path for the import after it.
from publish_case import PublishCase, SilentHost, read, run, write
from http_server import ScriptedHttpServer  # noqa: E402


class FetchTest(PublishCase):
    def test_lint_fetch_reports_each_served_fault_at_its_entry(self):
        files = {"ok.bin": b"fine" * 100, "missing.bin": b"m", "nolength.bin": b"n" * 10,
                 "short.bin": b"s" * 10, "changed.bin": b"c" * 10}
        server = ScriptedHttpServer(root=self.path("served")).start()
        self.addCleanup(server.stop)
        for name, data in files.items():
            write(self.path("new", name), data)
        os.makedirs(self.path("old"))
        done = run("release", "--manifest", self.path("M.cfg"), "--version", "200", "--from", self.path("old"),
                   "--to", self.path("new"), "--base-url", server.url("/"), "--out", self.path("served"),
                   "--from-version", "100")
        self.assertEqual(done.returncode, 0, done.stderr)
        clean = run("lint", self.path("M.cfg"), "--fetch")
        self.assertEqual(clean.returncode, 0, clean.stdout + clean.stderr)
        self.assertIn("5 match", clean.stdout)

        os.remove(self.path("served", "200", "missing.bin"))
        server.script("/200/nolength.bin", nolength=True)
        server.script("/200/short.bin", length=20)
        write(self.path("served", "200", "changed.bin"), b"C" * 10)
        done = run("lint", self.path("M.cfg"), "--fetch", "--installed", "100")
        self.assertEqual(done.returncode, 1, done.stdout)
        order = sorted(files)  # the release lists files by name
        expected = {"missing.bin": "FileUrl%d: %s: HTTP status 404", "nolength.bin": "FileUrl%d: %s: no Content-Length",
                    "short.bin": "FileUrl%d: %s: ", "changed.bin": "FileHashID%d: %s: the body's MD5"}
        errors = [line for line in done.stdout.splitlines() if ": error: " in line]
        self.assertEqual(len(errors), 5, done.stdout)  # the changed body fails MD5 and SHA-256
        for name, pattern in expected.items():
            text = "[200] " + pattern % (order.index(name), server.url("/200/" + name))
            self.assertTrue(any(text in line for line in errors), (text, errors))
        self.assertIn("A client at 100 reads release(s) 200 and gets 5 file(s)", done.stdout)

        # The manifest as served: the same bytes pass, others are an error.
        shutil.copy(self.path("M.cfg"), self.path("served", "M.cfg"))
        for served, errors in ((None, 0), (b";\r\n", 1)):
            if served:
                write(self.path("served", "M.cfg"), read(self.path("M.cfg")) + served)
            done = run("lint", self.path("M.cfg"), "--url", server.url("/M.cfg"))
            self.assertEqual(done.returncode, errors, done.stdout)
            self.assertEqual(done.stdout.count("the served bytes differ"), errors, done.stdout)

    def test_lint_fetch_gives_up_on_a_host_that_never_answers(self):
        silent = socket.socket()
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen(16)  # the kernel takes connections; no one ever answers
        for name in ("a", "b", "c"):
            write(self.path("new", name), name)
        os.makedirs(self.path("old"))
        done = run("release", "--manifest", self.path("M.cfg"), "--version", "200", "--from", self.path("old"),
                   "--to", self.path("new"), "--base-url", "http://127.0.0.1:%d/" % silent.getsockname()[1],
                   "--out", self.path("served"), "--from-version", "100")
        self.assertEqual(done.returncode, 0, done.stderr)
        done = run("lint", self.path("M.cfg"), "--fetch", "--jobs", "1", "--timeout", "1", timeout=30)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stdout.count("did not answer an earlier request"), 2, done.stdout)

    def test_lint_asks_a_silent_host_once_and_says_once_that_a_closed_one_cannot_be_reached(self):
        self.assertEqual(run("keygen", self.path("k.pem"), self.path("k.pub")).returncode, 0)
        data = bytes(range(256)) * 256
        write(self.path("old", "a.bin"), data)
        write(self.path("new", "a.bin"), data[:-1] + b"x")
        write(self.path("new", "b.bin"), b"b")
        silent = SilentHost()
        self.addCleanup(silent.close)
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))  # bound, never listening: connections are refused
        self.addCleanup(closed.close)
        for name, port in (("silent", silent.port), ("closed", closed.getsockname()[1])):
            m = self.path(name, "M.cfg")
            base = "http://127.0.0.1:%d/" % port
            done = run("release", "--manifest", m, "--version", "200", "--from", self.path("old"), "--to",
                       self.path("new"), "--base-url", base, "--out", self.path(name), "--from-version", "100",
                       "--deltas", "--key", self.path("k.pem"))
            self.assertEqual(done.returncode, 0, done.stderr)
            done = run("lint", m, "--fetch", "--jobs", "1", "--timeout", "1", "--url", base + "M.cfg", timeout=60)
            self.assertEqual(done.returncode, 1, done.stdout)
            lines = (done.stdout + done.stderr).splitlines()
            if name == "silent":  # files, patches, manifest and .sig: one request in all
                self.assertEqual(len(silent.taken), 1, done.stdout)
            else:
                self.assertEqual(len([line for line in lines if "cannot be reached" in line]), 1, lines)
                self.assertEqual([line for line in lines if line.startswith("fetched")], [], lines)

    def test_lint_fetch_checks_patches_of_a_silent_host_within_its_timeout(self):
        silent = socket.socket()
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen(16)
        data = bytes(range(256)) * 256
        write(self.path("old", "a.bin"), data)
        write(self.path("new", "a.bin"), data[:-1] + b"x")
        done = run("release", "--manifest", self.path("M.cfg"), "--version", "200", "--from", self.path("old"),
                   "--to", self.path("new"), "--base-url", "http://127.0.0.1:%d/" % silent.getsockname()[1],
                   "--out", self.path("served"), "--from-version", "100", "--deltas")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(b"FilePatchUrl0_0", read(self.path("M.cfg")))
        done = run("lint", self.path("M.cfg"), "--fetch", "--jobs", "1", "--timeout", "1", timeout=30)
        self.assertEqual(done.returncode, 1)
        self.assertIn("FilePatchUrl0_0", done.stdout)


if __name__ == "__main__":
    unittest.main()
