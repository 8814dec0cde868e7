"""Whole forced updates under Wine: the real Torvane.exe, a fake client and a
local HTTP server. Each run waits about five seconds for the forced prompt, so
independent scenarios run side by side, each in its own client folder with its
own URL prefix on one shared server. Runs that involve the client's download
centre (a window every run of the session would see) run on their own.
"""

import hashlib
import os
import shutil
import subprocess
import uuid

from torvane_env import (BIN_DIR, FIXTURE_DIR, TorvaneTestCase, WINE_RUN, WineProcess, wait_until,
                         windows_path)

RUN_TIMEOUT = 120
COM_SERVER = os.path.join(FIXTURE_DIR, "com_server", "mirelo_com_server.dll")
COM_PARTIAL = os.path.join(FIXTURE_DIR, "com_server", "mirelo_com_partial.dll")
FILE_HOLDER = os.path.join(FIXTURE_DIR, "file_holder.exe")
REGISTERED_KEY = r"HKCU\Software\MireloTest\ComServer"
ATTACHED_KEY = r"HKCU\Software\MireloTest\Attached"


def md5(data):
    return hashlib.md5(data).hexdigest()


def manifest_text(versions, sections):
    """A manifest: the release list versions (oldest first, the last one
    current) and, per version, a list of (FilePath, URL, digest or None) with,
    optionally, a fourth item: the FileSha256 (None leaves it out)."""
    lines = ["[Root]", "VersionCount=%d" % len(versions), "CurrentVersionNum=v%d" % versions[-1],
             "CurrentVersionTime=%d" % versions[-1]]
    lines += ["ver%d=%d" % (i, v) for i, v in enumerate(versions)]
    for version, files in sections.items():
        lines += ["", "[%d]" % version, "FileCount=%d" % len(files)]
        for i, (path, url, digest, *sha256) in enumerate(files):
            lines += ["FilePath%d=%s" % (i, path), "FileUrl%d=%s" % (i, url)]
            if digest is not None:
                lines.append("FileHashID%d=%s" % (i, digest))
            if sha256 and sha256[0] is not None:
                lines.append("FileSha256%d=%s" % (i, sha256[0]))
    return ("\r\n".join(lines) + "\r\n").encode("gbk")


def registry_values(key):
    """Value name -> data of a key in the Wine registry ({} when absent)."""
    done = subprocess.run([WINE_RUN, "--timeout", "30", "reg", "query", key], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=40)
    values = {}
    for line in done.stdout.decode("utf-8", "replace").splitlines():
        fields = line.strip().split(None, 2)
        if len(fields) == 3 and fields[1].startswith("REG_"):
            values[fields[0]] = fields[2]
    return values


WORK_FILES = ("Upgrade.cfg", "HistoryVersionList.cfg", "TempBackUpFolder", "UpdateTempFolder")


class Scenario:
    """One client folder (named name unless folder is given) with its own
    manifest and files under /<name>/ on the shared server."""

    def __init__(self, test, server, name, installed, versions=(100, 200, 300, 400, 500), folder=None):
        self.test = test
        self.server = server
        self.name = name
        self.client = test.make_client(folder or name)
        self.versions = list(versions)
        self.sections = {v: [] for v in self.versions[1:]}
        self.installed = installed
        self.run = None
        self.cfg = None

    def url(self, tail):
        return self.server.url("/%s/%s" % (self.name, tail))

    def offer(self, version, path, data, digest="auto", tail=None, sha256=None):
        """Serves data and lists it in a release section; digest "auto" is its
        MD5, None leaves the digest out, any other text is used as it is; the
        same for sha256, whose default leaves FileSha256 out."""
        tail = tail or "files/v%d%s" % (version, path.replace("\\", "/"))
        self.server.add_file("/%s/%s" % (self.name, tail), data)
        self.sections[version].append((path, self.url(tail), md5(data) if digest == "auto" else digest,
                                       hashlib.sha256(data).hexdigest() if sha256 == "auto" else sha256))
        return "/%s/%s" % (self.name, tail)

    def manifest(self):
        return manifest_text(self.versions, self.sections)

    def start(self, env=None, timeout=RUN_TIMEOUT):
        self.server.add_file("/%s/list.cfg" % self.name, self.manifest())
        self.cfg = self.client.write_cfg(time=str(self.installed), download_url="http://example.invalid/",
                                         config_url=self.url("list.cfg"))
        self.run = self.client.start_torvane("/ForceUpdate", timeout=timeout, env=env)

    def finish(self, timeout=RUN_TIMEOUT):
        """Waits for the program to end by itself; its exit code must be 0."""
        code = self.run.wait(timeout)
        self.test.assertEqual(code, 0, "%s: %r" % (self.name, self.run.stderr[-2000:]))

    def requests(self):
        prefix = "/%s/" % self.name
        return [r[len(prefix) - 1:] for r in self.server.requests if r.startswith(prefix)]

    def file_requests(self):
        return [r for r in self.requests() if r != "/list.cfg"]

    def expect_success(self):
        for name in WORK_FILES:
            self.test.assertFalse(self.client.exists(name), "%s: %s left" % (self.name, name))
        restart = wait_until(self.client.restart_command_line, 10)
        self.test.assertIsNotNone(restart, "%s: client not restarted" % self.name)
        # The path is quoted; the client still finds " /Restart" after it.
        self.test.assertEqual(restart.strip().lower(), ('"%s\\Halvix.exe" /Restart' % self.client.win_path).lower())

    def expect_failure_untouched(self):
        """A failed run that changed no client file: only the manifest was
        fetched, Upgrade.cfg is unchanged and the work files are gone."""
        self.test.assertEqual(self.requests(), ["/list.cfg"], self.name)
        self.test.assertEqual(self.client.read_file("Upgrade.cfg"), self.cfg, self.name)
        for name in WORK_FILES[1:]:
            self.test.assertFalse(self.client.exists(name), "%s: %s left" % (self.name, name))
        self.test.assertIsNone(self.client.restart_command_line())


class ForcedUpdateTest(TorvaneTestCase):

    def hold_open(self, client, relative, *share):
        """Keeps a client file open in another process until the test ends;
        share "read" keeps it from being renamed or deleted too."""
        ready = client.file("holder.ready")
        holder = WineProcess([FILE_HOLDER, windows_path(client.file(relative)), windows_path(ready), "120000"]
                             + list(share), client.path, 150)
        self.addCleanup(holder.kill)
        self.assertIsNotNone(wait_until(lambda: os.path.exists(ready), 30), "file holder not ready")
        os.remove(ready)
        return holder

    def test_forced_updates_install_reject_and_roll_back(self):
        server = self.start_server()
        tag = uuid.uuid4().hex[:8]
        with open(COM_SERVER, "rb") as f:
            com_server = f.read()
        with open(COM_PARTIAL, "rb") as f:
            com_partial = f.read()
        scenarios = []

        # Installed at entry 1 of 0-4: releases 2, 3 and 4 are merged and installed.
        merge = Scenario(self, server, "merge", installed=200)
        merge.client.write_file("a.dll", b"old a")
        merge.client.write_file("held/x.dll", b"old x")
        merge.client.write_file("UpdateTempFolder/old/junk.bin", b"leftover")
        merge.offer(300, "\\a.dll", b"a of 300")
        merge.offer(300, "\\sub\\new.dll", b"new in a new folder")
        a_400 = merge.offer(400, "\\a.dll", b"a of 400", digest=md5(b"a of 400").upper())
        merge.offer(500, "\\held\\x.dll", b"new x")
        merge.offer(500, "\\nohash.txt", b"no digest", digest=None)
        merge.offer(500, "\\com\\Srv%s.DLL" % tag, com_server)
        merge.offer(500, "\\com\\partial%s.dll" % tag, com_partial)
        merge.offer(500, "\\v1.2\\readme", com_server)
        scenarios.append(merge)

        # Installed at entry 3: only the latest release's section is read.
        single = Scenario(self, server, "single", installed=400)
        single.offer(300, "\\x300.txt", b"300")
        single.offer(400, "\\x400.txt", b"400")
        single.offer(500, "\\x500.txt", b"500")
        scenarios.append(single)

        # Already at the last entry: nothing to install.
        latest = Scenario(self, server, "latest", installed=500)
        latest.offer(500, "\\x500.txt", b"500")
        scenarios.append(latest)

        # The fourth of ten files fails its digest check.
        rollback = Scenario(self, server, "rollback", installed=400)
        for i in range(10):
            rollback.client.write_file("f%d.bin" % i, b"old %d" % i)
            rollback.offer(500, "\\f%d.bin" % i, b"new %d" % i,
                           digest=md5(b"other") if i == 3 else "auto")
        scenarios.append(rollback)

        # A bz2 URL is stored under its own name: the install fails and the backup returns.
        bz2 = Scenario(self, server, "bz2", installed=400)
        bz2.client.write_file("a.dll", b"old a")
        bz2.offer(500, "\\a.dll", b"packed", digest=None, tail="pack/a.dll.bz2")
        scenarios.append(bz2)

        # A leftover temporary folder that cannot be removed fails the run before any download.
        stuck = Scenario(self, server, "stuck", installed=400)
        stuck.client.write_file("a.dll", b"old a")
        # (a read-only file would not do: its attribute is cleared; a file open
        # elsewhere stays)
        stuck.client.write_file("UpdateTempFolder/stuck.bin", b"open elsewhere")
        stuck.offer(500, "\\a.dll", b"new a")
        scenarios.append(stuck)

        # FilePaths that leave the client folder, enter a work folder or take
        # the aside name of another file of the release.
        hostile = ["\\..\\outside.dll", "\\sub\\..\\..\\outside.dll", "C:\\x.dll", "/x.dll",
                   "\\UpdateTempFolder\\x", "\\First.DLL.bak"]
        contained = []
        for i, path in enumerate(hostile):
            s = Scenario(self, server, "hostile%d" % i, installed=400)
            s.client.write_file("first.dll", b"old first")
            s.offer(500, "\\first.dll", b"new first")
            s.offer(500, path, b"outside", tail="files/outside%d.dll" % i)
            contained.append(s)
        scenarios += contained

        # The run log at the start of a run: over 1 MiB it becomes Torvane.log.1
        # (replacing an older one), up to 1 MiB it grows; a read-only log is
        # left alone and the run goes on. (scenario, old log bytes, read-only)
        old_logs = [(latest, b"x" * (1024 * 1024 + 1), False), (bz2, b"y" * (1024 * 1024), False),
                    (single, b"", True)]
        for s, data, read_only in old_logs:
            s.client.write_file("Torvane.log", data)
            s.client.write_file("Torvane.log.1", b"older")
            if read_only:
                os.chmod(s.client.file("Torvane.log"), 0o444)

        holder = self.hold_open(merge.client, "held/x.dll")
        stuck_holder = self.hold_open(stuck.client, "UpdateTempFolder/stuck.bin", "read")
        drive_c = os.path.join(os.environ["WINEPREFIX"], "drive_c")
        for s in scenarios:
            s.start()
        for s in scenarios:
            s.finish()
        holder.kill()
        stuck_holder.kill()

        # The merged update.
        merge.expect_success()
        self.assertEqual(merge.client.read_file("a.dll"), b"a of 400")
        self.assertIn(a_400, ["/merge" + r for r in merge.requests()])
        self.assertNotIn("/files/v300/a.dll", merge.requests())
        self.assertEqual(merge.client.read_file("sub/new.dll"), b"new in a new folder")
        self.assertEqual(merge.client.read_file("held/x.dll"), b"new x")
        self.assertEqual(merge.client.read_file("held/x.dll.bak"), b"old x")
        self.assertEqual(merge.client.read_file("nohash.txt"), b"no digest")
        self.assertEqual(merge.client.read_file("v1.2/readme"), com_server)
        self.assertEqual(merge.client.read_file("com/partial%s.dll" % tag), com_partial)
        registered = wait_until(lambda: registry_values(REGISTERED_KEY).get("Srv%s.DLL" % tag), 30, 0.5)
        self.assertEqual(registered, "registered")
        values = registry_values(REGISTERED_KEY)
        self.assertNotIn("partial%s.dll" % tag, values)
        self.assertNotIn("readme", values)
        self.assertNotIn("Torvane.exe", registry_values(ATTACHED_KEY))

        self.assertEqual(single.file_requests(), ["/files/v500/x500.txt"])
        self.assertFalse(single.client.exists("x300.txt") or single.client.exists("x400.txt"))

        latest.expect_failure_untouched()

        # The files after the failing fourth may have been fetched ahead, in any
        # order; none of them is installed.
        fetched = sorted(set(rollback.file_requests()))
        self.assertEqual(fetched[:4], ["/files/v500/f%d.bin" % i for i in range(4)])
        for i in range(10):
            self.assertEqual(rollback.client.read_file("f%d.bin" % i), b"old %d" % i)
        self.assertEqual(rollback.client.read_file("Upgrade.cfg"), rollback.cfg)
        for name in WORK_FILES[1:]:
            self.assertFalse(rollback.client.exists(name), name)

        self.assertEqual(bz2.client.read_file("a.dll"), b"old a")
        self.assertEqual(bz2.client.read_file("Upgrade.cfg"), bz2.cfg)
        self.assertIsNone(bz2.client.restart_command_line())

        self.assertEqual(stuck.requests(), ["/list.cfg"])
        self.assertEqual(stuck.client.read_file("a.dll"), b"old a")
        self.assertEqual(stuck.client.read_file("Upgrade.cfg"), stuck.cfg)

        for s, data, read_only in old_logs:
            log, older = s.client.read_file("Torvane.log"), s.client.read_file("Torvane.log.1")
            rotated = len(data) > 1024 * 1024
            kept = b"" if rotated else data
            self.assertEqual(older, data if rotated else b"older", s.name)
            self.assertTrue(log.startswith(kept), s.name)
            self.assertEqual(len(log) > len(kept), not read_only, s.name)
            if rotated:  # a fresh log of whole lines
                self.assertLogged(s.client.run_log(), "start")
        single.expect_success()

        # The key lines of a success and of a roll-back.
        events = merge.client.run_log()
        self.assertLogged(events, "update_check", installed=200, latest=500, releases=5, files=7)
        self.assertLogged(events, "request", url=merge.url("list.cfg"), attempt=1, status=200)
        self.assertLogged(events, "file", path="\\held\\x.dll", md5="ok", backup="copied", placed="renamed",
                          moved_aside=merge.client.win_path + "\\\\held\\x.dll.bak")
        self.assertLogged(events, "file", path="\\sub\\new.dll", backup="none, new file", placed="renamed")
        self.assertLogged(events, "regsvr32", exit_code=0, timed_out="no",
                          file=merge.client.win_path + "\\\\com\\Srv%s.DLL" % tag)
        self.assertLogged(events, "regsvr32", failed="not a COM server, not registered")
        self.assertLogged(events, "install", files=7, committed="yes")
        self.assertLogged(events, "result", outcome="updated")
        self.assertLogged(events, "balloon", title="恭喜客户端升级成功")
        self.assertEqual(events[-1], ("exit", {"code": "0"}))
        events = rollback.client.run_log()
        self.assertLogged(events, "file", path="\\f3.bin", md5="mismatch", failed="digest")
        for i in range(3):
            self.assertLogged(events, "restore", file=rollback.client.win_path + "\\\\f%d.bin" % i,
                              existed="yes", action="backup moved back")
        self.assertLogged(events, "result", outcome="failed")
        self.assertLogged(events, "balloon", title="升级失败", text="您可以手动从 http://example.invalid/ 下载...")

        for s in contained:
            s.expect_failure_untouched()
            self.assertEqual(s.client.read_file("first.dll"), b"old first")
        self.assertFalse(os.path.exists(os.path.join(self.root, "outside.dll")))
        self.assertFalse(os.path.exists(os.path.join(drive_c, "x.dll")))
        self.assertEqual(sorted(os.listdir(self.root)), sorted(s.name for s in scenarios))


class DownloadCentreTest(TorvaneTestCase):
    """The client's download centre is a window every run of the session sees,
    so these runs have the session to themselves."""

    def test_download_centre_is_left_alone_without_files_and_closed_before_installing(self):
        server = self.start_server()

        # Installed release not listed: the run fails without touching the centre.
        unlisted = Scenario(self, server, "unlisted", installed=150)
        unlisted.offer(500, "\\x.txt", b"x")
        centre = unlisted.client.start_client("--window=1", "--max_ms=100000")
        unlisted.start()
        unlisted.finish()
        unlisted.expect_failure_untouched()
        self.assertIsNone(centre.poll(), "the download centre was closed")
        self.assertNotIn("window-quit", unlisted.client.client_log())
        centre.kill()

        # A centre that keeps coming back gets WM_QUIT once a second and the
        # run does not go on; once it is gone, the files are installed.
        update = Scenario(self, server, "update", installed=400)
        update.offer(500, "\\x.txt", b"x")
        centre = update.client.start_client("--window=1", "--recreate=1000", "--max_ms=100000")
        update.start()
        # Forced mode: the update starts when the five-second prompt runs out, not before.
        self.assertIsNone(wait_until(lambda: update.requests(), 4.0), "the update started before the prompt ran out")
        quits = lambda: update.client.client_log().count("window-quit")
        self.assertIsNotNone(wait_until(lambda: quits() >= 3, 60), "no WM_QUIT reached the centre")
        self.assertEqual(update.file_requests(), [], "a file was fetched while the centre was open")
        self.assertIsNone(update.run.poll())
        centre.kill()
        update.finish()
        update.expect_success()
        self.assertEqual(update.client.read_file("x.txt"), b"x")


class SelfUpdateTest(TorvaneTestCase):
    """A release that replaces the updater itself, and Quillet while it runs."""

    def start_quillet(self, client, *args):
        return WineProcess([client.file("Quillet.exe")] + list(args), client.path, RUN_TIMEOUT)

    def test_running_updater_and_quillet_are_replaced_and_their_old_copies_removed_later(self):
        server = self.start_server()
        s = Scenario(self, server, "self", installed=400)
        client = s.client
        old = {"Torvane.exe": client.read_file("Torvane.exe")}
        shutil.copy2(os.path.join(BIN_DIR, "Quillet.exe"), client.file("Quillet.exe"))
        old["Quillet.exe"] = client.read_file("Quillet.exe")
        quillet = self.start_quillet(client, "/Recommend")
        self.addCleanup(quillet.kill)
        self.assertIsNotNone(wait_until(lambda: client.exists("Quillet.log"), 30), "Quillet did not start")
        # The new updater is told apart by its built-in key; the new Quillet by its bytes.
        with open(os.path.join(FIXTURE_DIR, "test-key", "Torvane.exe"), "rb") as f:
            new = {"Torvane.exe": f.read(), "Quillet.exe": old["Quillet.exe"] + b"\0" * 512}
        for name, data in new.items():
            s.offer(500, "\\" + name, data)
        s.start()
        s.finish()
        s.expect_success()
        for name in new:
            self.assertEqual(client.read_file(name), new[name], name)
            self.assertEqual(client.read_file(name + ".bak"), old[name], name)

        # The next Quillet ends the running one and then removes its old copy.
        self.assertEqual(self.start_quillet(client, "/end").wait(RUN_TIMEOUT), 0)
        self.assertEqual(quillet.wait(RUN_TIMEOUT), 0)
        self.assertFalse(client.exists("Quillet.exe.bak"))

        # The next updater run (refused: the new one wants signed manifests) removes its old copy.
        s.start()
        s.finish()
        self.assertFalse(client.exists("Torvane.exe.bak"))
        events = client.run_log()
        self.assertLogged(events, "start", manifest_keys="1")
        self.assertLogged(events, "aside_copy", file=client.win_path + "\\Torvane.exe.bak")
