#!/usr/bin/python3
"""A whole update of a demo client folder, end to end, under Wine.

The demo client folder holds Torvane.exe, a stand-in client Halvix.exe
(version 1.0.0.1) and two of its files. A local update server publishes three
releases (100, 200, 300); Upgrade.cfg says release 100 is installed, so the
file lists of 200 and 300 are merged and installed: a new Halvix.exe
(2.0.200.7), a changed codec DLL (a COM server, registered) and a new skin file. The client is running
when the updater starts; the updater waits for it to exit, prompts, starts the
forced update five seconds later, installs, and restarts the client.

With --key (the publisher's private key; Torvane.exe must be built with its
public key in TORVANE_MANIFEST_KEYS) the manifest is signed: every file gets
its FileSha256 and the server also publishes HistoryVersionList.cfg.sig.

Both programs run on a 1024x768 Wine desktop, whose notification area shows
the updater's icon and balloons; the demo saves a picture of the prompt
balloon and of the result balloon (prompt.png, result.png in --out).
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from wine import WineProcess, wait_until  # noqa: E402
from http_server import ScriptedHttpServer  # noqa: E402  (tests/fixtures, on the path through wine)
import manifest_signing  # noqa: E402

DESKTOP = ["explorer", "/desktop=mirelo-demo,1024x768"]
# The result balloon names the new client's file version, each part cut to its
# low 8 bits (docs/integrating.md): the demo's version fits, so it reads right.
NEW_CLIENT_PART_3 = 200
NEW_CLIENT_VERSION = "2.0.%d.7" % NEW_CLIENT_PART_3


def md5(data):
    return hashlib.md5(data).hexdigest()


def wait_for(predicate, timeout, what):
    if not wait_until(predicate, timeout, 0.1):
        raise SystemExit(f"demo: timed out waiting for {what}")


def screen_shot(path):
    """The Wine desktop as it is now, or None when ImageMagick cannot take it."""
    done = subprocess.run(["import", "-window", "root", "-crop", "1024x768+0+0", "+repage", path],
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=30)
    return path if done.returncode == 0 else None


def pixel(path, x, y):
    done = subprocess.run(["convert", path, "-crop", "1x1+%d+%d" % (x, y), "-format", "%[hex:p{0,0}]", "info:"],
                          capture_output=True, text=True, timeout=30)
    return done.stdout.strip()


def shoot_balloon(path, x, y, timeout):
    """Saves the desktop once a balloon covers the pixel x,y (white): Wine shows
    a balloon a few seconds after it is asked for. False when none came."""
    return bool(wait_until(lambda: screen_shot(path) and pixel(path, x, y) == "FFFFFF", timeout, 0.2))


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

    # The new decoder is a real COM server, registered as the client's codecs are.
    decoder = open(os.path.join(fixtures, "com_server", "mirelo_com_server.dll"), "rb").read()
    new_files = {
        "\\Halvix.exe": open(os.path.join(fixtures, "halvix-2.0.%d.7" % NEW_CLIENT_PART_3, "Halvix.exe"), "rb").read(),
        "\\codec\\decoder.dll": decoder,
        "\\skin\\readme.txt": "皮肤说明 3.0\r\n".encode("gbk") * 100,
    }

    server = ScriptedHttpServer()
    server.start()
    for path, data in new_files.items():
        server.add_file("/files/300" + path.replace("\\", "/"), data)
    server.add_file("/files/200/codec/decoder.dll", decoder)

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
    manifest = manifest.encode("gbk")
    if args.key:
        manifest = manifest_signing.stamped(manifest)
    server.add_file("/update/HistoryVersionList.cfg", manifest)
    if args.key:
        signature = manifest_signing.signature_file(manifest, [args.key])
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
    # The client brings the desktop up: a balloon asked for before the
    # desktop's notification area exists would be lost.
    halvix = WineProcess(DESKTOP + [os.path.join(client, "Halvix.exe"),
                                    "--hold_until=" + "Z:" + hold.replace("/", "\\")], client, 120)
    wait_for(lambda: os.path.exists(os.path.join(client, "Halvix.log")) and
             "mapping-open" in open(os.path.join(client, "Halvix.log"), encoding="utf-8").read(),
             30, "the client to start")
    print("demo: client running; starting Torvane /ForceUpdate")
    torvane = WineProcess(DESKTOP + [os.path.join(client, "Torvane.exe"), "/ForceUpdate"], client, 120)
    time.sleep(2)  # let the updater see the running client for a moment
    print("demo: client exits; the updater goes on, prompts, and updates 5 s later")
    os.remove(hold)

    # The balloons, where a user would see them: the prompt's reaches x 900,
    # the success text, longer, x 634 (bottom right of the desktop).
    prompt = os.path.join(args.out, "prompt.png")
    result = os.path.join(args.out, "result.png")
    shots = [shoot_balloon(prompt, 900, 694, 20)]
    wait_for(lambda: not os.path.exists(os.path.join(client, "Upgrade.cfg")), 60, "the update")
    shots.append(shoot_balloon(result, 634, 715, 20))
    wait_for(lambda: os.path.exists(os.path.join(client, "Halvix.restart.txt")), 30, "the client's restart")
    # The updater ends 5 s after its result; the desktop, and the restarted
    # client on it, go with the harness.
    try:
        torvane.wait(20)
    except subprocess.TimeoutExpired:
        pass
    halvix.kill()
    server.stop()

    for path, taken in zip((prompt, result), shots):
        print(f"demo: picture {path}" if taken else f"demo: no balloon was seen for {path}")
    print("demo: requests seen by the server:")
    for path in server.requests:
        print("   ", path)
    ok = True
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
    log = open(os.path.join(client, "Torvane.log"), "rb").read().decode("gbk", "replace").splitlines()
    failures = [line for line in log if "failed=" in line]
    ok &= not failures
    for line in failures:
        print(f"demo: run log: {line}")
    print(f"demo: run log {'has no failure' if not failures else 'HAS FAILURES'}")
    balloons = [line for line in log if " balloon " in line]
    named = bool(balloons) and f"({NEW_CLIENT_VERSION})" in balloons[-1]
    ok &= named
    print(f"demo: result balloon {'names' if named else 'DOES NOT NAME'} version {NEW_CLIENT_VERSION}")
    restart = open(os.path.join(client, "Halvix.restart.txt"), encoding="utf-8").read().strip()
    print(f"demo: client restarted as: {restart}")
    print("demo: " + ("update completed" if ok else "UPDATE FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
