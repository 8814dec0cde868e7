#!/usr/bin/python3
"""A whole update under Wine against a bare WinINet loop, same files, same server.

The update is the real Torvane.exe in forced mode on a client folder whose
files all have an older version: it fetches the manifest and then, for every
file, downloads, hashes, backs up and copies it into place. Its time runs from
the manifest request (seen by the server) until Upgrade.cfg is deleted, which
the run does right after the last file is installed; the forced prompt's wait
before and the result balloon after are not counted. The yardsticks are
wininet_fetch.exe fetching the same URLs one after the other (its own timer),
as a bare loop that never flushes and as a durable one that flushes each file
as it is written, as a crash-safe install must.

    update_bench.py BUILD_WIN_DIR [--files N] [--mib M] [--rounds R]

Needs a Wine harness (WINEPREFIX, DISPLAY) and the Windows tree built. Prints
the seconds of each and the ratios to the durable bare loop (goals: whole
update at most 1.2, pipeline without the dialog at most 1.1).
"""

import argparse
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "support"))
from wine import WineProcess, run_wine, windows_path  # noqa: E402
from http_server import ScriptedHttpServer  # noqa: E402  (tests/fixtures, on the path through wine)


def file_sizes(count, total):
    """count sizes between 1/4 and 7/4 of the mean that add up to total."""
    rng = random.Random(1)
    weights = [rng.uniform(0.25, 1.75) for _ in range(count)]
    scale = total / sum(weights)
    sizes = [int(w * scale) for w in weights]
    sizes[-1] += total - sum(sizes)
    return sizes


def write_random(path, size):
    with open(path, "wb") as f:
        f.write(os.urandom(size))


def manifest(paths_urls_digests):
    lines = ["[Root]", "VersionCount=2", "CurrentVersionNum=bench", "CurrentVersionTime=200",
             "ver0=100", "ver1=200", "", "[200]", "FileCount=%d" % len(paths_urls_digests)]
    for i, (path, url, digest) in enumerate(paths_urls_digests):
        lines += ["FilePath%d=%s" % (i, path), "FileUrl%d=%s" % (i, url), "FileHashID%d=%s" % (i, digest)]
    return ("\r\n".join(lines) + "\r\n").encode("gbk")


def bare_loop(bench_dir, out_dir, urls, durable=False):
    os.makedirs(out_dir, exist_ok=True)
    code, text, errors = run_wine([os.path.join(bench_dir, "wininet_fetch.exe"), "--out", windows_path(out_dir)]
                                  + (["--durable"] if durable else []) + urls, 900)
    match = re.search(r"bare-loop[^:]*: .*?, ([0-9.]+) s,", text)
    shutil.rmtree(out_dir, ignore_errors=True)
    if code != 0 or not match:
        raise RuntimeError("wininet_fetch failed: %s %s" % (text, errors))
    return float(match.group(1))


def make_client(bin_dir, fixture_dir, work, files):
    """A client folder whose files all have an older version."""
    client = os.path.join(work, "client")
    shutil.rmtree(client, ignore_errors=True)
    os.makedirs(os.path.join(client, "data"))
    shutil.copy2(os.path.join(bin_dir, "Torvane.exe"), client)
    shutil.copy2(os.path.join(fixture_dir, "Halvix.exe"), client)
    for name, size in files:
        write_random(os.path.join(client, "data", name), size)
    return client


def check_updated(client, files, digests):
    for name, _ in files:
        with open(os.path.join(client, "data", name), "rb") as f:
            if hashlib.md5(f.read()).hexdigest() != digests[name]:
                raise RuntimeError("%s was not updated" % name)
    shutil.rmtree(client, ignore_errors=True)


def pipeline_only(bin_dir, fixture_dir, work, server, files, digests):
    """Seconds of update_bench_pipeline.exe: the check and the pipeline without the dialog."""
    client = make_client(bin_dir, fixture_dir, work, files)
    code, text, _ = run_wine([os.path.join(bin_dir, "bench", "update_bench_pipeline.exe"), windows_path(client),
                              server.url("/list.cfg"), "100"], 900)
    match = re.search(r"pipeline: installed, ([0-9.]+) s", text)
    if code != 0 or not match:
        raise RuntimeError("update_bench_pipeline failed: %s" % text)
    check_updated(client, files, digests)
    return float(match.group(1))


def whole_update(bin_dir, fixture_dir, work, server, files, digests, desktop=False, log=True):
    """Seconds from the manifest request to the deletion of Upgrade.cfg. With
    desktop, Torvane runs in a Wine virtual desktop, whose notification area
    answers at once (the default one blocks the caller of Shell_NotifyIcon).
    Without log, a read-only Torvane.log keeps the run from logging."""
    client = make_client(bin_dir, fixture_dir, work, files)
    if not log:
        open(os.path.join(client, "Torvane.log"), "wb").close()
        os.chmod(os.path.join(client, "Torvane.log"), 0o444)
    cfg = os.path.join(client, "Upgrade.cfg")
    with open(cfg, "wb") as f:
        f.write(("[Client]\r\nTime=100\r\nConfigUrl=%s\r\n" % server.url("/list.cfg")).encode("gbk"))

    seen = len(server.requests)
    launcher = ["explorer", "/desktop=bench,1024x768"] if desktop else []
    process = WineProcess(launcher + [os.path.join(client, "Torvane.exe"), "/ForceUpdate"], client, 900)
    try:
        started = None
        deadline = time.monotonic() + 900
        while time.monotonic() < deadline:
            if started is None and "/list.cfg" in server.requests[seen:]:
                started = time.monotonic()
            if started is not None and not os.path.exists(cfg):
                elapsed = time.monotonic() - started
                break
            if process.poll() is not None and not desktop:
                raise RuntimeError("Torvane ended before the update was complete")
            time.sleep(0.005)
        else:
            raise RuntimeError("the update did not complete in time")
        try:
            process.wait(60)
        except subprocess.TimeoutExpired:
            pass  # a virtual desktop may outlive the program; wait ended it
    finally:
        process.kill()
    check_updated(client, files, digests)
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build_win_dir")
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--mib", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--desktop", action="store_true",
                        help="also time the whole update inside a Wine virtual desktop")
    parser.add_argument("--without-log", action="store_true",
                        help="also time the whole update with its run log unwritable")
    args = parser.parse_args()
    bin_dir = os.path.join(args.build_win_dir, "bin")
    bench_dir = os.path.join(bin_dir, "bench")
    fixture_dir = os.path.join(bin_dir, "fixtures")

    work = tempfile.mkdtemp(prefix="bench-update-")
    server = None
    try:
        served = os.path.join(work, "served")
        os.makedirs(os.path.join(served, "files"))
        files, digests = [], {}
        for i, size in enumerate(file_sizes(args.files, args.mib * 1048576)):
            name = "f%03d.bin" % i
            data = os.urandom(size)
            with open(os.path.join(served, "files", name), "wb") as f:
                f.write(data)
            files.append((name, size))
            digests[name] = hashlib.md5(data).hexdigest()

        server = ScriptedHttpServer(root=served).start()
        urls = [server.url("/files/" + name) for name, _ in files]
        with open(os.path.join(served, "list.cfg"), "wb") as f:
            f.write(manifest([("\\data\\" + name, url, digests[name]) for (name, _), url in zip(files, urls)]))

        bare, durable, update, pipeline, desktop, unlogged = [], [], [], [], [], []
        for _ in range(args.rounds):
            bare.append(bare_loop(bench_dir, os.path.join(work, "bare"), urls))
            durable.append(bare_loop(bench_dir, os.path.join(work, "bare"), urls, durable=True))
            pipeline.append(pipeline_only(bin_dir, fixture_dir, work, server, files, digests))
            update.append(whole_update(bin_dir, fixture_dir, work, server, files, digests))
            if args.without_log:
                unlogged.append(whole_update(bin_dir, fixture_dir, work, server, files, digests, log=False))
                print("round: whole update without its log %.2f s" % unlogged[-1], flush=True)
            if args.desktop:
                desktop.append(whole_update(bin_dir, fixture_dir, work, server, files, digests, desktop=True))
            print("round: bare loop %.2f s, durable bare loop %.2f s, pipeline without dialog %.2f s, "
                  "whole update %.2f s%s"
                  % (bare[-1], durable[-1], pipeline[-1], update[-1],
                     ", in a virtual desktop %.2f s" % desktop[-1] if desktop else ""), flush=True)

        b, d, u, p = min(bare), min(durable), min(update), min(pipeline)
        print()
        print("files: %d, %d MiB in all, best of %d rounds" % (args.files, args.mib, args.rounds))
        print("bare WinINet loop:    %.2f s (%.1f MiB/s)" % (b, args.mib / b))
        print("durable bare loop:    %.2f s (each file flushed as it is written)" % d)
        print("whole update:         %.2f s (%.1f MiB/s; download, MD5, backup and copy of every file)"
              % (u, args.mib / u))
        print("pipeline, no dialog:  %.2f s (the same work reporting to nothing)" % p)
        print("pipeline / bare loop: %.2f" % (p / b))
        print("update / bare loop:   %.2f" % (u / b))
        print("pipeline / durable bare loop: %.2f (goal <= 1.10)" % (p / d))
        print("update / durable bare loop:   %.2f (goal <= 1.20)" % (u / d))
        if unlogged:
            n = min(unlogged)
            print("whole update, no log: %.2f s (logged / not logged: %.3f)" % (n, u / n))
        if desktop:
            v = min(desktop)
            print("whole update in a virtual desktop: %.2f s, / durable bare loop: %.2f" % (v, v / d))
    finally:
        if server is not None:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
