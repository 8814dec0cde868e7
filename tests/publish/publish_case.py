"""What the command's tests share: the tool run as a publisher runs it, files
written and read, openssl, and the cases that start from a first release."""

import os
import shutil
import subprocess
import sys
import socket
import tempfile
import threading
import unittest

SOURCE_DIR = os.environ.get(
    "MIRELO_SOURCE_DIR", os.path.realpath(os.path.join(os.path.dirname(__file__), "..", "..")))
TOOL = os.environ.get("TORVANE_PUBLISH",
                      os.path.join(SOURCE_DIR, "build", "native", "tools", "publish", "torvane-publish"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "fixtures"))
import manifest_signing  # noqa: E402  (path set just above)


def run(*args, timeout=120, env=None, umask=None, wrapper=()):
    """The tool with args; umask set for it alone, wrapper (e.g. strace) in front of it."""
    if wrapper:  # the leak checker cannot run under ptrace
        env = dict(env or {}, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    return subprocess.run(list(wrapper) + [TOOL] + [str(a) for a in args], capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL, env=dict(os.environ, **(env or {})),
                          preexec_fn=(lambda: os.umask(umask)) if umask is not None else None)


def killed_at_rename(n, action="signal=KILL"):
    """strace in front of the tool: its n-th rename is not made, the tool is killed (or the rename fails) there."""
    return ("strace", "-f", "-qq", "-o", os.devnull, "-e", "trace=rename,renameat,renameat2",
            "-e", "inject=rename,renameat,renameat2:%s:when=%d" % (action, n))


def openssl(*args):
    return subprocess.run(["openssl"] + [str(a) for a in args], capture_output=True, timeout=60, check=True).stdout


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def readable_manifest(serial=1, valid_for=30 * 86400):
    """A one-release manifest that a client built with keys reads."""
    sha = "0" * 64
    text = ("[Root]\r\nVersionCount=2\r\nCurrentVersionTime=200\r\nCurrentVersionNum=200\r\nver0=100\r\nver1=200\r\n"
            "[200]\r\nFileCount=1\r\nFilePath0=\\a.txt\r\nFileUrl0=http://h/200/a.txt\r\nFileSha2560=%s\r\n" % sha)
    return manifest_signing.stamped(text.encode(), serial=serial, valid_for=valid_for)


def der_integer(value):
    body = value.lstrip(b"\0") or b"\0"
    if body[0] & 0x80:
        body = b"\0" + body
    return b"\x02" + bytes([len(body)]) + body


def der_signature(rs):
    """DER form of r||s, as openssl dgst -verify reads it."""
    body = der_integer(rs[:32]) + der_integer(rs[32:])
    return b"\x30" + bytes([len(body)]) + body


class SilentHost:
    """Takes every connection and never answers; taken lists them."""

    def __init__(self):
        self.socket = socket.socket()
        self.socket.bind(("127.0.0.1", 0))
        self.socket.listen(16)
        self.port = self.socket.getsockname()[1]
        self.taken = []
        threading.Thread(target=self._take, daemon=True).start()

    def _take(self):
        while True:
            try:
                self.taken.append(self.socket.accept()[0])
            except OSError:  # closed
                return

    def close(self):
        self.socket.shutdown(socket.SHUT_RDWR)
        self.socket.close()
        for connection in self.taken:
            connection.close()


class PublishCase(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="publish-cli-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def first_release(self, files_old, files_new, version="200", extra=()):
        for name, data in files_old.items():
            write(self.path("old", name), data)
        for name, data in files_new.items():
            write(self.path("new", name), data)
        os.makedirs(self.path("old"), exist_ok=True)
        done = run("release", "--manifest", self.path("M.cfg"), "--version", version, "--from", self.path("old"),
                   "--to", self.path("new"), "--base-url", "http://127.0.0.1:1/u", "--out", self.path("served"),
                   "--from-version", "100", *extra)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done



class SignedReleaseCase(PublishCase):
    """Releases one after another, each from the previous folder."""

    def setUp(self):
        super().setUp()
        for name in ("a", "b", "c"):
            self.assertEqual(run("keygen", self.path(name + ".pem"), self.path(name + ".pub")).returncode, 0)
        self.ids = {name: manifest_signing.key_id(self.path(name + ".pem")) for name in ("a", "b", "c")}
        self.first_release({"a.txt": "1"}, {"a.txt": "2"}, extra=("--key", self.path("a.pem")))
        self.previous = self.path("new")

    def release(self, version, *extra):
        folder = self.path("v%d" % version)
        write(os.path.join(folder, "a.txt"), str(version))
        done = run("release", "--manifest", self.path("M.cfg"), "--version", version, "--from", self.previous,
                   "--to", folder, "--base-url", "http://h/", "--out", self.path("served"), *extra)
        if done.returncode == 0:
            self.previous = folder
        return done

    def key(self, name):
        return ("--key", self.path(name + ".pem"))

    def state(self):
        served = sorted(os.path.join(d, f) for d, _, fs in os.walk(self.path("served")) for f in fs)
        sig = read(self.path("M.cfg.sig")) if os.path.exists(self.path("M.cfg.sig")) else None
        return read(self.path("M.cfg")), sig, served

    def verifying(self):
        return [k for k in ("a", "b", "c") if run("verify", self.path("M.cfg"), self.path(k + ".pub")).returncode == 0]

    def root_value(self, key):
        for line in read(self.path("M.cfg")).decode().splitlines():
            if line.startswith(key + "="):
                return line[len(key) + 1:]
        return None
