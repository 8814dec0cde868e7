#!/usr/bin/python3
"""Runs the Windows download tests under Wine against the scripted HTTP server.

    run_download_tests.py --wine-run WINE_RUN --server HTTP_SERVER_PY TESTS_EXE [gtest args...]

Starts the server on a free port with a root folder holding the files the tests
expect, and a second small server that answers every GET with the request's
User-Agent as its body; finds a port where nothing listens; runs the test
program with the three ports in its environment and returns its exit code. The
servers are stopped in every case.
"""

import argparse
import http.server
import os
import select
import socket
import subprocess
import sys
import tempfile
import threading

SERVER_START_TIMEOUT = 20
TESTS_TIMEOUT = 240

# name -> size of the files under the server's root (bodies as the server
# generates them, byte i = i % 251).
ROOT_FILES = {"pack.dll.bz2": 1000, "pack.dll.BZ2": 2000, "bz2": 3000}


def pattern(size):
    return bytes(i % 251 for i in range(size))


def start_server(server_py, root):
    server = subprocess.Popen([sys.executable, server_py, "--root", root, "--max-lifetime", "600"],
                              stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    ready, _, _ = select.select([server.stdout], [], [], SERVER_START_TIMEOUT)
    line = server.stdout.readline().decode() if ready else ""
    if not line.startswith("PORT "):
        stop_server(server)
        raise RuntimeError("the HTTP server did not start: %r" % line)
    return server, int(line.split()[1])


def stop_server(server):
    server.terminate()
    try:
        server.wait(timeout=10)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait(timeout=10)


class AgentEchoHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        body = (self.headers.get("User-Agent") or "").encode("latin-1")
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("exe")
    args, gtest_args = parser.parse_known_args()

    with tempfile.TemporaryDirectory(prefix="download-root-") as root:
        for name, size in ROOT_FILES.items():
            with open(os.path.join(root, name), "wb") as f:
                f.write(pattern(size))
        server, port = start_server(args.server, root)
        echo = http.server.ThreadingHTTPServer(("127.0.0.1", 0), AgentEchoHandler)
        echo.daemon_threads = True
        threading.Thread(target=echo.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
        try:
            env = dict(os.environ, DOWNLOAD_TEST_PORT=str(port), DOWNLOAD_TEST_CLOSED_PORT=str(closed_port()),
                       DOWNLOAD_TEST_AGENT_PORT=str(echo.server_address[1]))
            command = [args.wine_run, "--timeout", str(TESTS_TIMEOUT), args.exe] + gtest_args
            return subprocess.run(command, env=env, timeout=TESTS_TIMEOUT + 30).returncode
        finally:
            echo.shutdown()
            echo.server_close()
            stop_server(server)


if __name__ == "__main__":
    sys.exit(main())
