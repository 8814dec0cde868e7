"""Helpers for the end-to-end tests of Torvane under Wine.

A test makes a fresh client folder, puts the updater (and a fake client) in it,
writes Upgrade.cfg, serves a manifest from a local HTTP server, runs the real
Torvane.exe and awaits what it does. Everything waits on events with a
deadline (files appearing, processes ending, requests arriving), never on
fixed sleeps, and everything a test starts is stopped at its end.

    class MyTest(TorvaneTestCase):
        def test_something(self):
            server = self.start_server()                 # ScriptedHttpServer
            server.add_file("/list.cfg", manifest_bytes)
            client = self.make_client()                   # ClientFolder
            client.write_cfg(time="100", config_url=server.url("/list.cfg"))
            run = client.start_torvane("/ForceUpdate")    # WineProcess
            self.assertEqual(run.wait(30), 0)

Pieces: wait_until (poll a predicate with a deadline), windows_path, ansi_1252_env,
WineProcess (wait, poll, kill, started_at/ended_at/elapsed, stdout/stderr),
ClientFolder (files, Upgrade.cfg, fake client, the updater, its windows),
list_windows / WindowWait / send_message / post_message (window_probe.exe),
TorvaneTestCase (temporary root, make_client, start_server, clean-up).

Environment (set by tests/e2e/CMakeLists.txt): MIRELO_BIN_DIR (Torvane.exe),
MIRELO_FIXTURE_DIR (fake clients, window_probe.exe), MIRELO_SOURCE_DIR; the
Wine harness provides WINEPREFIX and DISPLAY. Wine shows the Unix root as
drive Z:, so a folder /tmp/x is Z:\\tmp\\x to the programs.

The fake client (tests/fixtures/fake_client) reads its behaviour from
Halvix.ini next to it or from "--key=value" switches (hold_ms, hold_until,
window, recreate, hang, ready, max_ms) and logs its events to Halvix.log; a start
with "/Restart" writes its command line to Halvix.restart.txt.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wine import (SOURCE_DIR, SOURCE_VERSION, WINE_RUN, WineProcess, parse_run_log, wait_until,  # noqa: E402,F401
                  windows_path)

BIN_DIR = os.environ.get("MIRELO_BIN_DIR", os.path.join(SOURCE_DIR, "build", "win", "bin"))
FIXTURE_DIR = os.environ.get("MIRELO_FIXTURE_DIR", os.path.join(BIN_DIR, "fixtures"))
WINDOW_PROBE = os.path.join(FIXTURE_DIR, "window_probe.exe")

from http_server import ScriptedHttpServer  # noqa: E402  (tests/fixtures, on the path through wine)

# The fake clients by file version; None gives a client without a version resource.
FAKE_CLIENTS = {
    "1.0.0.1": os.path.join(FIXTURE_DIR, "Halvix.exe"),
    "2.0.1000.7": os.path.join(FIXTURE_DIR, "halvix-2.0.1000.7", "Halvix.exe"),
    None: os.path.join(FIXTURE_DIR, "halvix-noversion", "Halvix.exe"),
}

DIALOG_CAPTION = "Mirelo正在升级"
DOWNLOAD_CENTRE_TITLE = "Mirelo-下载中心"
WM_QUIT = 0x12
WM_TRAY_NOTIFY = 11023
BALLOON_CLICKED = 0x405


def ansi_1252_env():
    """The environment for a program whose ANSI code page is 1252 rather than
    the harness's 936: Wine takes the code page from the locale, and C.UTF-8
    (always present) gives 1252 while file names stay UTF-8."""
    env = dict(os.environ, LANG="C.UTF-8")
    env.pop("LC_ALL", None)
    return env


class Window:
    """One top-level window as window_probe.exe lists it."""

    def __init__(self, line):
        fields = line.split("\t")
        self.hwnd = int(fields[0], 16)
        self.pid = int(fields[1])
        self.visible = fields[2] == "1"
        self.cls = fields[3]
        self.title = fields[4]
        self.image = fields[5] if len(fields) > 5 else ""

    def __repr__(self):
        return "Window(%x, %r, %r, visible=%s, %r)" % (
            self.hwnd, self.cls, self.title, self.visible, self.image)


def _probe(*args, timeout=20):
    # Output through a file, not a pipe (see WineProcess).
    with tempfile.TemporaryFile() as out:
        done = subprocess.run([WINE_RUN, "--timeout", str(timeout), WINDOW_PROBE] + list(args),
                              stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                              timeout=timeout + 10)
        out.seek(0)
        return done.returncode, out.read().decode("utf-8", "replace")


def list_windows():
    """Every top-level window of the Wine session."""
    for _ in range(3):
        code, out = _probe("list")
        windows = [Window(line) for line in out.splitlines() if line.count("\t") >= 4]
        # The session always has windows of its own (the shell's), so an empty
        # list means the probe did not see the session: ask again.
        if code == 0 and windows:
            return windows
    raise RuntimeError("window_probe list failed (%d): %r" % (code, out[:200]))


class WindowWait:
    """Waits, in one long-lived probe started now, for a top-level window titled
    title whose program path starts with image_prefix (a Windows path; letter
    case ignored). Since the probe is already running when the window appears,
    found_at is within a few tens of milliseconds of that moment."""

    def __init__(self, title, image_prefix="", timeout=60):
        self._process = WineProcess([WINDOW_PROBE, "wait", title, image_prefix, str(timeout)],
                                    None, timeout + 20)

    def done(self):
        return self._process.poll() is not None

    @property
    def found_at(self):
        """time.monotonic() when the window was seen (None until then)."""
        return self._process.ended_at if self._process.poll() == 0 else None

    def result(self, timeout):
        """The Window once found, or None when the probe's own time ran out."""
        if self._process.wait(timeout) != 0:
            return None
        line = self._process.stdout.decode("utf-8", "replace").strip()
        return Window(line)

    def kill(self):
        self._process.kill()


def send_message(hwnd, msg, wparam=0, lparam=0):
    """SendMessage to a window of any process of the session (5-second limit);
    the result, or None when the send failed."""
    code, out = _probe("send", "%x" % hwnd, str(msg), str(wparam), str(lparam))
    return int(out.strip()) if code == 0 and out.strip() else None


def post_message(hwnd, msg, wparam=0, lparam=0):
    code, _ = _probe("post", "%x" % hwnd, str(msg), str(wparam), str(lparam))
    return code == 0


class ClientFolder:
    """A fresh installation folder of the client: Torvane.exe and, unless
    halvix is False, a fake Halvix.exe of the given file version (see
    FAKE_CLIENTS). path is its Unix path, win_path the Windows one (no
    trailing backslash)."""

    def __init__(self, parent, name="client", halvix="1.0.0.1"):
        self.path = os.path.join(parent, name)
        os.makedirs(self.path)
        self.win_path = windows_path(self.path)
        shutil.copy2(os.path.join(BIN_DIR, "Torvane.exe"), self.path)
        if halvix is not False:
            shutil.copy2(FAKE_CLIENTS[halvix], os.path.join(self.path, "Halvix.exe"))
        self._processes = []

    # Files.
    def file(self, relative):
        """Unix path of a file given relative to the folder ("a/b" or "\\a\\b")."""
        return os.path.join(self.path, *[p for p in relative.replace("\\", "/").split("/") if p])

    def exists(self, relative):
        return os.path.exists(self.file(relative))

    def write_file(self, relative, data):
        target = self.file(relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data.encode("gbk") if isinstance(data, str) else data)

    def read_file(self, relative):
        with open(self.file(relative), "rb") as f:
            return f.read()

    def listing(self):
        """Every file and folder below the folder, as sorted relative paths."""
        found = []
        for root, dirs, files in os.walk(self.path):
            for name in dirs + files:
                found.append(os.path.relpath(os.path.join(root, name), self.path))
        return sorted(found)

    def write_install_journal(self, *records):
        """Stages the install journal a killed run leaves: records are
        (existed, FilePath, new bytes) of "file" records, each checksummed."""
        def record(text):
            digest = 2166136261
            for byte in text.encode("gbk"):
                digest = ((digest ^ byte) * 16777619) & 0xFFFFFFFF
            return "\n%s\t%08x\n" % (text, digest)
        lines = ["torvane-install-journal 2\n"]
        for existed, path, new in records:
            lines.append(record("file\t%d\t%s\t%d\t%s" % (existed, path, len(new), hashlib.sha256(new).hexdigest())))
        self.write_file("TempBackUpFolder/TorvaneInstall.journal", "".join(lines))

    def wait_for_file(self, relative, timeout):
        return wait_until(lambda: self.exists(relative), timeout) is not None

    def wait_for_gone(self, relative, timeout):
        return wait_until(lambda: not self.exists(relative), timeout) is not None

    # Settings.
    def write_cfg(self, time=None, download_url=None, config_url=None, raw=None):
        """Writes Upgrade.cfg in GBK with CRLF lines: section "Client" with the
        keys given (None leaves a key out), or the raw text/bytes as given."""
        if raw is None:
            lines = ["[Client]"]
            for key, value in (("Time", time), ("DownloadUrl", download_url),
                               ("ConfigUrl", config_url)):
                if value is not None:
                    lines.append("%s=%s" % (key, value))
            raw = "\r\n".join(lines) + "\r\n"
        self.write_file("Upgrade.cfg", raw)
        return self.read_file("Upgrade.cfg")

    # Fake client.
    def write_client_ini(self, **options):
        """Halvix.ini for the fake client's starts without switches (e.g. the
        restart): hold_ms, hold_until, window, recreate, ready, max_ms."""
        lines = ["[FakeClient]"] + ["%s=%s" % (k, v) for k, v in options.items()]
        self.write_file("Halvix.ini", ("\r\n".join(lines) + "\r\n").encode("utf-16"))

    def start_client(self, *switches, timeout=120, ready_timeout=20):
        """Starts the fake client with "--key=value" switches and waits until its
        mapping and window are up. Returns its WineProcess."""
        ready = self.file("halvix.ready")
        if os.path.exists(ready):
            os.remove(ready)
        args = [os.path.join(self.path, "Halvix.exe")] + list(switches)
        args.append("--ready=" + windows_path(ready))
        process = WineProcess(args, self.path, timeout)
        self._processes.append(process)
        if wait_until(lambda: os.path.exists(ready), ready_timeout) is None:
            raise AssertionError("fake client did not get ready: %r" % (self.client_log(),))
        os.remove(ready)
        return process

    def client_log(self):
        """The fake client's event lines (all its starts in this folder)."""
        try:
            with open(self.file("Halvix.log"), encoding="utf-8", errors="replace") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def restart_command_line(self):
        """The command line of the fake client's last "/Restart" start, or None."""
        try:
            with open(self.file("Halvix.restart.txt"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def run_log(self, name="Torvane.log"):
        """The events of a run log in the folder (see parse_run_log); [] without one."""
        return parse_run_log(self.read_file(name)) if self.exists(name) else []

    # The updater.
    def start_torvane(self, *args, timeout=60, env=None):
        """Starts Torvane.exe from this folder with the given arguments; env
        replaces the environment (see ansi_1252_env)."""
        process = WineProcess([os.path.join(self.path, "Torvane.exe")] + list(args),
                              self.path, timeout, env)
        self._processes.append(process)
        return process

    def windows(self):
        """The top-level windows of processes whose program lies in this folder."""
        prefix = self.win_path.lower() + "\\"
        return [w for w in list_windows() if w.image.lower().startswith(prefix)]

    def wait_for_dialog(self, timeout=60):
        """A WindowWait for this folder's updater dialog, started now."""
        waiter = WindowWait(DIALOG_CAPTION, self.win_path + "\\Torvane.exe", timeout)
        self._processes.append(waiter._process)
        return waiter

    def dialog_window(self):
        """The updater's main dialog, hidden or not, or None."""
        for w in self.windows():
            if w.title == DIALOG_CAPTION and w.image.lower().endswith("\\torvane.exe"):
                return w
        return None

    def kill_all(self):
        """Ends every process started through this folder."""
        for process in self._processes:
            process.kill()


class TorvaneTestCase(unittest.TestCase):
    """Base class: a temporary root per test, client folders and servers that
    are cleaned up whatever the outcome."""

    def setUp(self):
        super().setUp()
        if not os.environ.get("WINEPREFIX"):
            self.skipTest("no Wine harness (WINEPREFIX unset)")
        self.root = tempfile.mkdtemp(prefix="torvane-e2e-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    def make_client(self, name="client", halvix="1.0.0.1"):
        client = ClientFolder(self.root, name, halvix)
        self.addCleanup(client.kill_all)
        return client

    def assertLogged(self, events, name, **fields):
        """Some event called name has at least these field values."""
        for event, found in events:
            if event == name and all(found.get(k) == str(v) for k, v in fields.items()):
                return
        self.fail("no %s %r in the run log:\n%s" % (name, fields, "\n".join(map(repr, events))))

    def start_server(self, root=None):
        server = ScriptedHttpServer(root=root).start()
        self.addCleanup(server.stop)
        return server
