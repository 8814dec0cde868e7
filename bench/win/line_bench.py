#!/usr/bin/python3
"""A whole update over an emulated user's line, against the line's own limit
and against curl on the same line.

nginx serves the release; the line emulator of tests/fixtures sits between it
and the programs (one-way delay half the round trip, every connection sharing
one bandwidth). The update is the real Torvane.exe in forced mode on a client
folder whose files all have an older version; its time runs from the manifest
request (its first bytes on the line) until Upgrade.cfg is deleted, right
after the last file is installed. The line's limit is the files' bytes over
the bandwidth. curl fetches the same files one after another on one
connection, and four at a time.

    line_bench.py BUILD_WIN_DIR [--files N] [--mib M] [--rtt-ms R] [--mbit B] [--rounds K]

Needs a Wine harness (WINEPREFIX, DISPLAY) and the Windows tree built. Prints
the seconds of each and the ratios to the line's limit (goal for the whole
update: at most 1.15).
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "support"))
from wine import WineProcess  # noqa: E402
from line_emulator import LineEmulator  # noqa: E402  (tests/fixtures, on the path through wine)
from nginx_server import NginxServer  # noqa: E402
from update_bench import check_updated, file_sizes, make_client, manifest  # noqa: E402

GOAL = 1.15
RUN_TIMEOUT = 600


def whole_update(args, bin_dir, work, server, line, files, digests):
    """Seconds from the manifest request to the deletion of Upgrade.cfg."""
    site = server.site("http", url_port=line.port)
    site.add_file("/list.cfg", manifest([("\\data\\" + name, site.url("/files/" + name), digests[name])
                                         for name, _ in files]))
    client = make_client(bin_dir, os.path.join(bin_dir, "fixtures"), work, files)
    cfg = os.path.join(client, "Upgrade.cfg")
    with open(cfg, "wb") as f:
        f.write(("[Client]\r\nTime=100\r\nConfigUrl=%s\r\n" % site.url("/list.cfg")).encode("gbk"))
    process = WineProcess([os.path.join(client, "Torvane.exe"), "/ForceUpdate"], client, RUN_TIMEOUT)
    try:
        deadline = time.monotonic() + RUN_TIMEOUT
        while line.first_request_at is None or os.path.exists(cfg):
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the update did not complete: %r" % process.stderr[-2000:])
            time.sleep(0.005)
        elapsed = time.monotonic() - line.first_request_at
        process.wait(60)
    finally:
        process.kill()
    check_updated(client, files, digests)
    return elapsed


def curl(line, files, parallel):
    """Seconds of one curl fetching every file, on one connection or four."""
    command = ["curl", "-sSf"] + (["--parallel", "--parallel-max", "4"] if parallel else [])
    for name, _ in files:
        command += ["-o", "/dev/null", "http://127.0.0.1:%d/files/%s" % (line.port, name)]
    started = time.monotonic()
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=RUN_TIMEOUT)
    elapsed = time.monotonic() - started
    if done.returncode != 0:
        raise RuntimeError("curl failed: %s" % done.stderr.decode("utf-8", "replace")[-2000:])
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build_win_dir")
    parser.add_argument("--files", type=int, default=60)
    parser.add_argument("--mib", type=int, default=30)
    parser.add_argument("--rtt-ms", type=float, default=100)
    parser.add_argument("--mbit", type=float, default=40)
    parser.add_argument("--rounds", type=int, default=1)
    args = parser.parse_args()
    bin_dir = os.path.join(args.build_win_dir, "bin")
    bandwidth = args.mbit * 1e6 / 8
    total = args.mib * 1048576
    limit = total / bandwidth

    work = tempfile.mkdtemp(prefix="bench-line-")
    server = NginxServer(tls=False).start()
    try:
        files, digests = [], {}
        for i, size in enumerate(file_sizes(args.files, total)):
            name = "f%03d.bin" % i
            data = os.urandom(size)
            server.site("http").add_file("/files/" + name, data)
            files.append((name, size))
            digests[name] = hashlib.md5(data).hexdigest()

        def on_line(measure):
            with LineEmulator(server.ports["http"], delay=args.rtt_ms / 2000, bandwidth=bandwidth) as line:
                return measure(line)

        update, serial, parallel = [], [], []
        for _ in range(args.rounds):
            serial.append(on_line(lambda line: curl(line, files, parallel=False)))
            parallel.append(on_line(lambda line: curl(line, files, parallel=True)))
            update.append(on_line(lambda line: whole_update(args, bin_dir, work, server, line, files, digests)))
            print("round: whole update %.2f s, curl one after another %.2f s, curl 4 at a time %.2f s"
                  % (update[-1], serial[-1], parallel[-1]), flush=True)

        u, s, p = min(update), min(serial), min(parallel)
        print()
        print("line: %.0f ms round trip, %.0f Mbit/s; %d files, %d MiB; best of %d rounds"
              % (args.rtt_ms, args.mbit, args.files, args.mib, args.rounds))
        print("line's limit (bytes / bandwidth): %.2f s" % limit)
        print("whole update:                     %.2f s, %.2f x the limit (goal <= %.2f)" % (u, u / limit, GOAL))
        print("curl, one after another:          %.2f s, %.2f x" % (s, s / limit))
        print("curl, 4 at a time:                %.2f s, %.2f x" % (p, p / limit))
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
