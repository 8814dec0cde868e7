"""Wine and process helpers shared by the end-to-end tests, Quillet's tests,
the demo and the benchmarks.

Every Windows program runs under tests/wine/wine-run, which refuses to run
without a booted harness prefix (WINEPREFIX) and ends the program at its time
limit. Output goes to files, not pipes: Wine's helper processes inherit the
handles and may keep a pipe open long after the program has ended. Waits poll
a predicate with a deadline; nothing sleeps for a fixed time.

    from wine import WineProcess, run_wine, wait_until, windows_path

Wine shows the Unix root as drive Z:, so a folder /tmp/x is Z:\\tmp\\x to the
programs.
"""

import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SOURCE_DIR = os.environ.get(
    "MIRELO_SOURCE_DIR", os.path.realpath(os.path.join(os.path.dirname(__file__), "..", "..")))
WINE_RUN = os.path.join(SOURCE_DIR, "tests", "wine", "wine-run")
FIXTURE_SOURCE_DIR = os.path.join(SOURCE_DIR, "tests", "fixtures")


def _take_harness_slot():
    """Under CTest's resource allocation, moves this test and every program it
    starts to the Wine prefix and display of the harness slot CTest gave it."""
    slot = os.environ.get("CTEST_RESOURCE_GROUP_0_WINE", "")
    folder = os.environ.get("HARNESS_DIR")
    if not slot.startswith("id:") or not folder:
        return
    with open(os.path.join(folder, "slot-%s.env" % slot[3:].split(",")[0]), encoding="utf-8") as f:
        for line in f:
            name, _, value = line.strip().partition("=")
            os.environ[name] = shlex.split(value)[0]
    # wine-run leaves the prefix to its caller from here on: a test may run
    # programs in a copy of it.
    os.environ["HARNESS_SLOT_TAKEN"] = "1"


_take_harness_slot()

# The version both programs carry and log as they start.
with open(os.path.join(SOURCE_DIR, "VERSION"), encoding="ascii") as _version:
    SOURCE_VERSION = _version.readline().strip()

# The test doubles' Python modules (http_server, manifest_signing) import as
# top-level modules.
if FIXTURE_SOURCE_DIR not in sys.path:
    sys.path.insert(0, FIXTURE_SOURCE_DIR)


# A run log line: UTC time with milliseconds, [thread], event, then key=value fields.
LOG_LINE = re.compile(r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\] ([a-z0-9_]+)((?: [a-z0-9_]+=(?:"[^"]*"|[^ "]*))*)$')
LOG_FIELD = re.compile(r' ([a-z0-9_]+)=("[^"]*"|[^ "]*)')


def parse_run_log(data):
    """(event, {key: value}) per line of a run log's bytes, quotes removed;
    a line that is not UTF-8 or breaks the format raises."""
    events = []
    # A line still being written (no line end yet) is not read.
    for raw in data.split(b"\r\n")[:-1]:
        line = raw.decode("utf-8")
        match = LOG_LINE.match(line)
        if not match:
            raise AssertionError("malformed run log line: %r" % line)
        fields = {k: v[1:-1] if v.startswith('"') else v for k, v in LOG_FIELD.findall(match.group(2))}
        events.append((match.group(1), fields))
    return events



def windows_path(path):
    """The Windows form of a Unix path, as the programs see it under Wine."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wait_until(predicate, timeout, interval=0.05):
    """Calls predicate until it returns a true value, which is returned; returns
    None once timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


def port_listening(port):
    """Whether a server accepts connections on 127.0.0.1:port."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def end_process(process, timeout=10):
    """Ends a server the tests started: asked first, then killed."""
    process.terminate()
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout)


class WineProcess:
    """A Windows program started under wine-run in its own process group, so
    that kill() ends it and everything it runs through. A watcher thread notes
    the moment it ends and then reads its output (stdout, stderr: bytes)."""

    def __init__(self, args, cwd, timeout, env=None):
        self.args = list(args)
        self.stdout = b""
        self.stderr = b""
        self.ended_at = None
        self._out = tempfile.TemporaryFile()
        self._err = tempfile.TemporaryFile()
        self.started_at = time.monotonic()
        self._proc = subprocess.Popen(
            [WINE_RUN, "--timeout", str(timeout)] + self.args, cwd=cwd,
            stdin=subprocess.DEVNULL, stdout=self._out, stderr=self._err,
            start_new_session=True, env=env)
        self._watcher = threading.Thread(target=self._watch, daemon=True)
        self._watcher.start()

    def _watch(self):
        self._proc.wait()
        ended_at = time.monotonic()
        for stream, name in ((self._out, "stdout"), (self._err, "stderr")):
            stream.seek(0)
            setattr(self, name, stream.read())
            stream.close()
        self.ended_at = ended_at  # last: a finished process has its output

    def poll(self):
        """The exit code, or None while running."""
        return self._proc.returncode if self.ended_at is not None else None

    def wait(self, timeout):
        """The exit code; raises subprocess.TimeoutExpired (after killing the
        program) when it has not ended within timeout seconds."""
        self._watcher.join(timeout)
        if self._watcher.is_alive():
            self.kill()
            raise subprocess.TimeoutExpired(self.args, timeout)
        return self._proc.returncode

    @property
    def elapsed(self):
        """Seconds from start to end (or to now while running)."""
        return (self.ended_at or time.monotonic()) - self.started_at

    def kill(self):
        if self.ended_at is None:
            try:
                os.killpg(self._proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self._watcher.join(10)


def run_wine(args, timeout, cwd=None, env=None):
    """Runs a Windows program to its end (at most timeout seconds) and returns
    (exit code, stdout text, stderr text)."""
    process = WineProcess(args, cwd, timeout, env=env)
    code = process.wait(timeout + 30)
    return (code, process.stdout.decode("utf-8", "replace"), process.stderr.decode("utf-8", "replace"))
