"""The test doubles themselves: the scripted HTTP server (no Wine needed) and the
fake client under Wine. Other tests rely on what these promise."""

import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from torvane_env import (SOURCE_DIR, TorvaneTestCase, ScriptedHttpServer, list_windows,
                         post_message, wait_until, DOWNLOAD_CENTRE_TITLE, WM_QUIT)
from http_server import generated_body
from line_emulator import LineEmulator

BODY = generated_body(5000)


def raw_get(port, path, read_timeout=10):
    """(status line, headers text, body bytes, closed cleanly) of one request read
    to the end of the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=read_timeout) as s:
        s.sendall(b"GET " + path.encode() + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    return lines[0], "\r\n".join(lines[1:]).lower(), body


class HttpServerTest(unittest.TestCase):

    def setUp(self):
        self.server = ScriptedHttpServer().start()
        self.addCleanup(self.server.stop)
        self.server.add_file("/f.bin", BODY)

    def test_behaviours_from_the_query_string(self):
        cases = [
            # path, status, header expected, body expected
            ("/f.bin", "200", "content-length: 5000", BODY),
            ("/f.bin?status=404", "404", "content-length: 5000", BODY),
            ("/nothing", "404", "content-length: 9", b"not found"),
            ("/f.bin?length=9000", "200", "content-length: 9000", BODY),
            ("/f.bin?nolength=1", "200", "connection: close", BODY),
            ("/f.bin?cut=1234", "200", "content-length: 5000", BODY[:1234]),
            ("/x?size=300", "200", "content-length: 300", generated_body(300)),
        ]
        for path, status, header, body in cases:
            with self.subTest(path):
                line, headers, got = raw_get(self.server.port, path)
                self.assertIn(" %s " % status, line + " ")
                self.assertIn(header, headers)
                if "nolength" in path:
                    self.assertNotIn("content-length", headers)
                self.assertEqual(got, body)

    def test_chunked_body_decodes_to_the_file(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        conn.request("GET", "/f.bin?chunked=1")
        response = conn.getresponse()
        self.assertEqual(response.getheader("Transfer-Encoding"), "chunked")
        self.assertIsNone(response.getheader("Content-Length"))
        self.assertEqual(response.read(), BODY)
        conn.close()

    def test_delay_and_slow_sending_take_their_time(self):
        started = time.monotonic()
        _, _, body = raw_get(self.server.port, "/f.bin?delay=0.5&cut=1")
        self.assertEqual(body, BODY[:1])
        self.assertGreaterEqual(time.monotonic() - started, 0.5)
        started = time.monotonic()
        _, _, body = raw_get(self.server.port, "/x?size=4&slow=0.1")
        self.assertEqual(body, generated_body(4))
        self.assertGreaterEqual(time.monotonic() - started, 0.3)

    def test_scripts_per_path_and_raw_request_log(self):
        self.server.script("/s.bin", body=b"scripted", status=500)
        line, _, body = raw_get(self.server.port, "/s.bin")
        self.assertIn(" 500 ", line)
        self.assertEqual(body, b"scripted")
        raw_get(self.server.port, "/%E4%B8%AD/a%20b.dll?x=1")
        self.assertTrue(self.server.wait_for_requests(2, timeout=5))
        self.assertEqual(self.server.requests, ["/s.bin", "/%E4%B8%AD/a%20b.dll?x=1"])
        # The log itself is not logged.
        _, _, log = raw_get(self.server.port, "/__requests")
        self.assertEqual(json.loads(log), self.server.requests)
        self.assertFalse(self.server.wait_for_requests(3, timeout=0.2))

    def test_files_outside_the_root_are_not_served(self):
        with tempfile.TemporaryDirectory() as top:
            root = os.path.join(top, "root")
            os.makedirs(root)
            with open(os.path.join(top, "secret"), "wb") as f:
                f.write(b"secret")
            with open(os.path.join(root, "in.txt"), "wb") as f:
                f.write(b"inside")
            with ScriptedHttpServer(root=root) as server:
                self.assertEqual(raw_get(server.port, "/in.txt")[2], b"inside")
                for path in ("/../secret", "/%2e%2e/secret", "/..%2fsecret"):
                    self.assertIn(" 404 ", raw_get(server.port, path)[0] + " ", path)

    def test_command_line_server_reports_its_port_and_ends_with_its_lifetime(self):
        with tempfile.TemporaryDirectory() as top:
            with open(os.path.join(top, "a.txt"), "wb") as f:
                f.write(b"abc")
            port_file = os.path.join(top, "port")
            log = os.path.join(top, "log")
            proc = subprocess.Popen(
                [sys.executable, os.path.join(SOURCE_DIR, "tests", "fixtures", "http_server.py"),
                 "--root", top, "--port-file", port_file, "--log", log, "--max-lifetime", "3"],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                self.assertTrue(wait_until(lambda: os.path.exists(port_file), 10))
                with open(port_file) as f:
                    port = int(f.read())
                self.assertEqual(proc.stdout.readline().decode().split(), ["PORT", str(port)])
                self.assertEqual(raw_get(port, "/a.txt?cut=2")[2], b"ab")
                self.assertEqual(json.loads(raw_get(port, "/__requests")[2]), ["/a.txt?cut=2"])
                with open(log) as f:
                    self.assertEqual(f.read(), "/a.txt?cut=2\n")
                self.assertEqual(proc.wait(timeout=10), 0)
            finally:
                proc.kill()
                proc.communicate()


class LineEmulatorTest(unittest.TestCase):

    def test_delay_shared_bandwidth_cuts_and_counts(self):
        server = ScriptedHttpServer().start()
        self.addCleanup(server.stop)
        server.add_file("/f.bin", BODY)
        cases = [
            # line settings, parallel requests, bytes of body each gets, least seconds
            (dict(), 1, len(BODY), 0),
            (dict(cut_after=1000), 1, None, 0),
            (dict(delay=0.1), 1, len(BODY), 0.4),  # handshake, request and answer
            (dict(bandwidth=20000), 4, len(BODY), 4 * len(BODY) / 20000),  # one line for all
        ]
        for settings, parallel, body_size, least in cases:
            with self.subTest(settings), LineEmulator(server.port, **settings) as line:
                started = time.monotonic()
                bodies = []
                threads = [threading.Thread(target=lambda: bodies.append(raw_get(line.port, "/f.bin")[2]))
                           for _ in range(parallel)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join(30)
                self.assertGreaterEqual(time.monotonic() - started, least)
                self.assertEqual(line.connections, parallel)
                if body_size is None:
                    self.assertEqual(line.bytes_down, settings["cut_after"])
                else:
                    self.assertEqual([len(b) for b in bodies], [body_size] * parallel)
                    self.assertGreater(line.bytes_down, parallel * body_size)
                self.assertGreater(line.bytes_up, 0)


class FakeClientTest(TorvaneTestCase):

    def test_download_centre_window_ends_on_quit_and_comes_back_as_asked(self):
        client = self.make_client()
        process = client.start_client("--window=1", "--recreate=1")

        def centre():
            for w in list_windows():
                if w.title == DOWNLOAD_CENTRE_TITLE and w.image.lower().startswith(
                        client.win_path.lower()):
                    return w
            return None

        first = wait_until(centre, 10, interval=0.2)
        self.assertTrue(first)
        self.assertTrue(post_message(first.hwnd, WM_QUIT))
        second = wait_until(lambda: (w := centre()) and w.hwnd != first.hwnd and w, 10, interval=0.2)
        self.assertTrue(second, "the window was not re-created")
        self.assertTrue(post_message(second.hwnd, WM_QUIT))
        self.assertEqual(process.wait(20), 0)
        self.assertEqual(client.client_log()[1:], [
            "window-open", "window-quit", "window-open", "window-quit", "exit"])

    def test_restart_is_recorded_and_follows_the_ini(self):
        client = self.make_client()
        client.write_client_ini(hold_ms=300)
        process = client.start_client("/Restart", "x")
        self.assertEqual(process.wait(20), 0)
        self.assertEqual(client.restart_command_line(),
                         '"%s\\Halvix.exe" /Restart x --ready=%s\\halvix.ready' % (
                             client.win_path, client.win_path))
        self.assertEqual(client.client_log()[1:], ["mapping-open", "mapping-closed", "exit"])


if __name__ == "__main__":
    unittest.main()
