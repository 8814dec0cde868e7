#!/usr/bin/python3
"""A whole update of a demo client folder, end to end, under Wine.

The demo client folder holds Torvane.exe, a stand-in client Halvix.exe
(version 1.0.0.1) and two of its files. A local update server publishes three
releases (100, 200, 300); Upgrade.cfg says release 100 is installed, so the
file lists of 200 and 300 are merged and installed: a new Halvix.exe
(2.0.1000.7), a changed codec DLL and a new skin file. The client is running
when the updater starts; the updater waits for it to exit, prompts, starts the
forced update five seconds later, installs, and restarts the client.

With --key (the publisher's private key; Torvane.exe must be built with its
public key in TORVANE_MANIFEST_KEYS) the manifest is signed: every file gets
its FileSha256 and the server also publishes HistoryVersionList.cfg.sig.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "fixtures"))
from http_server import ScriptedHttpServer  # noqa: E402
import manifest_signing  # noqa: E402

WINE_RUN = os.path.join(ROOT, "tests", "wine", "wine-run")


def md5(data):
    return hashlib.md5(data).hexdigest()


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise SystemExit(f"demo: timed out waiting for {what}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="folder of Torvane.exe")
    parser.add_argument("--out", required=True, help="where the demo folders go")
    parser.add_argument("--key", help="private key (PEM) to sign the manifest with")
    parser.add_argument("--torvane", help="the Torvane.exe to install (default: the one in --bin)")
    args = parser.parse_args()

    fixtures = os.path.join(args.bin, "fixtures")
    client = os.path.join(args.out, "client")
    shutil.rmtree(args.out, ignore_errors=True)
    os.makedirs(os.path.join(client, "codec"))

    shutil.copy(args.torvane or os.path.join(args.bin, "Torvane.exe"), os.path.join(client, "Torvane.exe"))
    shutil.copy(os.path.join(fixtures, "Halvix.exe"), client)
    with open(os.path.join(client, "codec", "decoder.dll"), "wb") as f:
        f.write(b"decoder 1.0\n" * 1000)

    new_files = {
        "\\Halvix.exe": open(os.path.join(fixtures, "halvix-2.0.1000.7", "Halvix.exe"), "rb").read(),
        "\\codec\\decoder.dll": b"decoder 3.0\n" * 5000,
        "\\skin\\readme.txt": "皮肤说明 3.0\r\n".encode("gbk") * 100,
    }

    server = ScriptedHttpServer()
    server.start()
    for path, data in new_files.items():
        server.add_file("/files/300" + path.replace("\\", "/"), data)
    server.add_file("/files/200/codec/decoder.dll", b"decoder 2.0\n" * 3000)

    def url(path, release):
        return server.url(f"/files/{release}" + path.replace("\\", "/"))

    manifest = (
        "[Root]\r\n"
        f"DownloadUrl={server.url('/download/')}\r\n"
        "CurrentVersionTime=300\r\nCurrentVersionNum=3.0\r\nVersionCount=3\r\n"
        "ver0=100\r\nver1=200\r\nver2=300\r\n"
        "[200]\r\nFileCount=1\r\n"
        f"FilePath0=\\codec\\decoder.dll\r\nFileUrl0={url(chr(92) + 'codec' + chr(92) + 'decoder.dll', 200)}\r\n"
        "[300]\r\nFileCount=3\r\n"
    )
    for i, (path, data) in enumerate(new_files.items()):
        manifest += f"FilePath{i}={path}\r\nFileUrl{i}={url(path, 300)}\r\nFileHashID{i}={md5(data).upper()}\r\n"
        if args.key:
            manifest += f"FileSha256{i}={hashlib.sha256(data).hexdigest()}\r\n"
    server.add_file("/update/HistoryVersionList.cfg", manifest.encode("gbk"))
    if args.key:
        signature = manifest_signing.signature_file(manifest.encode("gbk"), [args.key])
        server.add_file("/update/HistoryVersionList.cfg.sig", signature)
        print(f"demo: manifest signed with key id {manifest_signing.key_id(args.key)}")

    with open(os.path.join(client, "Upgrade.cfg"), "wb") as f:
        f.write(("[Client]\r\nTime=100\r\n"
                 f"DownloadUrl={server.url('/download/')}\r\n"
                 f"ConfigUrl={server.url('/update/HistoryVersionList.cfg')}\r\n").encode("gbk"))

    print(f"demo: client folder {client}")
    print(f"demo: update server {server.url('/')}")

    # The client runs until the demo removes its hold file.
    hold = os.path.join(args.out, "client-running")
    open(hold, "w").close()
    halvix = subprocess.Popen([WINE_RUN, "--timeout", "120", os.path.join(client, "Halvix.exe"),
                               "--hold_until=" + "Z:" + hold.replace("/", "\\")])
    wait_for(lambda: os.path.exists(os.path.join(client, "Halvix.log")) and
             "mapping-open" in open(os.path.join(client, "Halvix.log"), encoding="utf-8").read(),
             30, "the client to start")
    print("demo: client running; starting Torvane /ForceUpdate")
    torvane = subprocess.Popen([WINE_RUN, "--timeout", "120", os.path.join(client, "Torvane.exe"),
                                "/ForceUpdate"])
    time.sleep(2)  # let the updater see the running client for a moment
    print("demo: client exits; the updater goes on, prompts, and updates 5 s later")
    os.remove(hold)
    halvix.wait(30)

    code = torvane.wait(120)
    wait_for(lambda: os.path.exists(os.path.join(client, "Halvix.restart.txt")), 30,
             "the client's restart")
    server.stop()

    print(f"demo: Torvane exit code {code}")
    print("demo: requests seen by the server:")
    for path in server.requests:
        print("   ", path)
    ok = code == 0
    for path, data in new_files.items():
        local = os.path.join(client, *path.strip("\\").split("\\"))
        got = open(local, "rb").read() if os.path.exists(local) else None
        good = got == data
        ok &= good
        print(f"demo: {path:22} {'updated' if good else 'NOT UPDATED'}")
    for name in ("Upgrade.cfg", "HistoryVersionList.cfg", "HistoryVersionList.cfg.sig", "UpdateTempFolder",
                 "TempBackUpFolder"):
        gone = not os.path.exists(os.path.join(client, name))
        ok &= gone
        print(f"demo: {name:22} {'removed' if gone else 'STILL THERE'}")
    restart = open(os.path.join(client, "Halvix.restart.txt"), encoding="utf-8").read().strip()
    print(f"demo: client restarted as: {restart}")
    print("demo: " + ("update completed" if ok else "UPDATE FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
