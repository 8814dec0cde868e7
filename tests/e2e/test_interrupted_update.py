"""Updates that are killed part-way, and updaters started twice, under Wine.

An update of five files is killed at each point between its changes: while
the first file downloads (nothing replaced yet), while each later one downloads
(some replaced, one of them moved aside because it is in use), and while the
last one is being registered (every file replaced, Upgrade.cfg still there).
The next start must put the old files back before it does anything else, and
then complete the update. Each kill point has its own client folder; they run
side by side. What failed runs leave in UpdatePartialFolder stays bounded.
"""

import hashlib
import os
import shutil
import subprocess
import tempfile
import time

from test_update_install import COM_SERVER, FILE_HOLDER, RUN_TIMEOUT, Scenario, md5
from torvane_env import TorvaneTestCase, WineProcess, wait_until, windows_path

EVENT_TIMEOUT = 60


def hold_open(test, client, relative):
    """Keeps a client file open (readable, renameable) until the test ends."""
    ready = client.file("holder.ready")
    holder = WineProcess([FILE_HOLDER, windows_path(client.file(relative)), windows_path(ready), "150000"],
                         client.path, 180)
    test.addCleanup(holder.kill)
    test.assertIsNotNone(wait_until(lambda: os.path.exists(ready), 30), "file holder not ready")
    os.remove(ready)


class KilledUpdateTest(TorvaneTestCase):

    def setUp(self):
        super().setUp()
        with open(COM_SERVER, "rb") as f:
            com_server = f.read()
        # (FilePath, old bytes or None when the file is new, new bytes), in the
        # order of installation.
        self.FILES = [
            ("\\f0.bin", b"old f0", b"new f0"),
            ("\\sub\\f1.dll", b"old f1", b"new f1"),   # read-only
            ("\\held\\x2.dll", b"old x2", b"new x2"),  # in use: moved aside
            ("\\n3.txt", None, b"new n3"),
            ("\\com\\srv4.dll", None, com_server),     # a COM server, registered last
        ]

    def state(self, client):
        """The update's files and their aside names: bytes, or None when absent."""
        found = {}
        for path, _, _ in self.FILES:
            for name in (path, path + ".bak"):
                found[name] = client.read_file(name) if client.exists(name) else None
        return found

    def expected(self, which):
        state = {}
        for path, old, new in self.FILES:
            state[path] = old if which == "old" else new
            state[path + ".bak"] = None
        if which == "new":
            state["\\held\\x2.dll.bak"] = b"old x2"
        return state

    def test_a_killed_update_is_undone_at_the_next_start_which_completes_it(self):
        server = self.start_server()
        # Kill point i < 5: while file i downloads; 5: while the last file registers.
        points = []
        for point in range(len(self.FILES) + 1):
            s = Scenario(self, server, "kill%d" % point, installed=400)
            for path, old, new in self.FILES:
                if old is not None:
                    s.client.write_file(path, old)
                s.offer(500, path, new)
            os.chmod(s.client.file("sub/f1.dll"), 0o444)
            hold_open(self, s.client, "held/x2.dll")
            if point < len(self.FILES):
                s.stall = "/%s/files/v500%s" % (s.name, self.FILES[point][0].replace("\\", "/"))
                server.script(s.stall, hold=1)
            else:
                s.stall = None
                s.client.write_file("com/srv4.dll.hold", b"")
            points.append(s)

        for s in points:
            s.start()
        for point, s in enumerate(points):
            if s.stall:
                # Later files are fetched ahead: the kill comes once the files
                # before the stalled one are in place, and the install waits for it.
                waiting = ("file_start", {"path": self.FILES[point][0]})
                event = wait_until(lambda: s.stall in server.requests and all(
                    s.client.exists(path) and s.client.read_file(path) == new
                    for path, _, new in self.FILES[:point]) and waiting in s.client.run_log(), EVENT_TIMEOUT)
            else:
                event = s.client.wait_for_file("com/srv4.dll.waiting", EVENT_TIMEOUT)
            self.assertTrue(event, "%s: the kill point was not reached" % s.name)
            s.run.kill()
            self.assertIsNotNone(s.run.poll(), s.name)
            if s.stall:
                server.script(s.stall)
            else:
                os.remove(s.client.file("com/srv4.dll.hold"))
            s.killed_state = self.state(s.client)
            # The killed run's log ends at the step it was killed in; the
            # requests of files fetched ahead may come after it.
            last = [e for e in s.client.run_log() if e[0] != "request"][-1]
            stopped_at = self.FILES[points.index(s)][0] if s.stall else "\\com\\srv4.dll"
            self.assertEqual(last, ("file_start", {"path": stopped_at}), s.name)

        # What the killed runs left differs from point to point; the next start
        # puts the old files back before it asks the server for anything.
        self.assertEqual(len({repr(sorted(s.killed_state.items())) for s in points}), len(points))
        for s in points:
            s.requests_before = len(s.requests())
            s.run = s.client.start_torvane("/ForceUpdate", timeout=RUN_TIMEOUT)
        for s in points:
            recovered = wait_until(lambda: not s.client.exists("TempBackUpFolder")
                                   and not s.client.exists("UpdateTempFolder"), EVENT_TIMEOUT)
            state = self.state(s.client)
            self.assertTrue(recovered, "%s: work folders left" % s.name)
            self.assertEqual(len(s.requests()), s.requests_before, "%s: the update went on before the check" % s.name)
            self.assertEqual(state, self.expected("old"), s.name)
            self.assertLogged(s.client.run_log(), "play_back", journal_committed="no")

        for s in points:
            s.finish()
            s.expect_success()
            self.assertEqual(self.state(s.client), self.expected("new"), s.name)


class OneUpdaterPerFolderTest(TorvaneTestCase):

    def test_a_second_updater_of_a_folder_ends_at_once_while_another_folder_runs_beside(self):
        server = self.start_server()
        first = Scenario(self, server, "first", installed=400)
        first.offer(500, "\\a.txt", b"new a")
        other = Scenario(self, server, "other", installed=400)
        other.offer(500, "\\a.txt", b"new a")
        # While the client runs every updater waits for it, so none can end by
        # itself before the client is gone.
        client = first.client.start_client("--hold_ms=-1", "--max_ms=100000")
        first.start()
        # The same folder, spelled in capitals.
        second = WineProcess([windows_path(first.client.file("Torvane.exe")).upper(), "/ForceUpdate"],
                             first.client.path, RUN_TIMEOUT)
        self.addCleanup(second.kill)
        other.start()

        ended = wait_until(lambda: [r for r in (first.run, second) if r.poll() is not None], EVENT_TIMEOUT)
        self.assertIsNotNone(ended, "both updaters of one folder are still running")
        self.assertEqual(len(ended), 1)
        self.assertEqual(ended[0].poll(), 0)
        self.assertIsNone(other.run.poll(), "the updater of another folder ended")
        self.assertIsNone(client.poll())

        client.kill()
        first.run = second if ended[0] is first.run else first.run
        for s in (first, other):
            s.finish()
            s.expect_success()
            self.assertEqual(s.requests(), ["/list.cfg", "/files/v500/a.txt"], s.name)


class KilledBackupCopyTest(TorvaneTestCase):

    def link_to_another_file_system(self, s, name, size=None):
        """Makes the client's folder name a link to a folder on tmpfs; with a
        size, a tmpfs of its own that fills up (mounting needs root)."""
        other = tempfile.mkdtemp(prefix="torvane-e2e-", dir="/dev/shm")
        self.addCleanup(shutil.rmtree, other, True)
        if size:
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", other], check=True, timeout=30)
            self.addCleanup(subprocess.run, ["umount", "-l", other], timeout=30)
        os.symlink(other, s.client.file(name))
        return other

    def test_a_full_disk_during_the_overwrite_leaves_the_old_file_or_none(self):
        # \\tight is a link to a 1 MiB tmpfs; each new file is larger than the
        # room left, so its write over the destination stops with a full disk.
        server = self.start_server()
        old = os.urandom(150 << 10)
        runs = []
        for name, before in (("fullold", old), ("fullnew", None)):
            s = Scenario(self, server, name, installed=400)
            other = self.link_to_another_file_system(s, "tight", size=1 << 20)
            if before is not None:
                s.client.write_file("tight/data.bin", before)
            with open(os.path.join(other, "filler"), "wb") as f:
                f.write(b"\0" * ((1 << 20) - (300 << 10) - len(before or b"")))
            s.offer(500, "\\tight\\data.bin", os.urandom(600 << 10))
            s.start()
            runs.append((s, before))
        for s, before in runs:
            s.finish()
            got = s.client.read_file("tight/data.bin") if s.client.exists("tight/data.bin") else None
            self.assertTrue(got == before, "%s: %s bytes left instead of the file from before"
                            % (s.name, None if got is None else len(got)))
            self.assertEqual(sorted(os.listdir(s.client.file("tight"))), ["data.bin", "filler"][before is None:],
                             s.name)
            self.assertFalse(s.client.exists("TempBackUpFolder"), s.name)
            events = s.client.run_log()
            self.assertLogged(events, "file", path="\\tight\\data.bin", cut="yes",
                              failed="cannot put the file in place")
            if before is not None:
                self.assertLogged(events, "file", path="\\tight\\data.bin", backup="copied")

    def start_again_as_installed(self, s):
        """Starts the updater again with release 500 in place, as after the
        user's reinstall, and waits for its play-back to end."""
        s.client.write_cfg(time="500", download_url="http://example.invalid/", config_url=s.url("list.cfg"))
        s.run = s.client.start_torvane("/ForceUpdate", timeout=RUN_TIMEOUT)
        self.assertTrue(wait_until(lambda: not s.client.exists("TempBackUpFolder"), EVENT_TIMEOUT), "work folder left")

    def test_a_reinstall_after_a_kill_is_left_alone_by_the_next_start(self):
        server = self.start_server()
        s = Scenario(self, server, "reinstall", installed=400)
        files = [("\\r0.bin", b"old r0", b"new r0"), ("\\r1.bin", b"old r1", b"new r1")]
        for path, before, after in files:
            s.client.write_file(path, before)
            s.offer(500, path, after)
        stall = "/reinstall/files/v500/r1.bin"
        server.script(stall, hold=1)
        s.start()
        waiting = ("file_start", {"path": "\\r1.bin"})
        self.assertTrue(wait_until(lambda: waiting in s.client.run_log() and s.client.read_file("r0.bin") == b"new r0",
                                   EVENT_TIMEOUT), "the kill point was not reached")
        s.run.kill()
        server.script(stall)
        # The user reinstalls release 500 over what the killed run left.
        for path, _, after in files:
            s.client.write_file(path, after)
        self.start_again_as_installed(s)
        self.assertEqual([s.client.read_file(path) for path, _, _ in files], [b"new r0", b"new r1"])
        self.assertLogged(s.client.run_log(), "restore", action="none, replaced since the run")

    def test_another_release_installed_after_a_kill_is_left_alone_and_the_next_update_installs(self):
        server = self.start_server()
        s = Scenario(self, server, "repaired", installed=400)
        files = ("\\q0.dll", "\\q1.dll")
        for path in files:
            s.client.write_file(path, b"400 " + path.encode())
            s.offer(500, path, b"500 " + path.encode())
        stall = "/repaired/files/v500/q1.dll"
        server.script(stall, hold=1)
        s.start()
        waiting = ("file_start", {"path": "\\q1.dll"})
        self.assertTrue(wait_until(lambda: waiting in s.client.run_log()
                                   and s.client.read_file("q0.dll") == b"500 \\q0.dll", EVENT_TIMEOUT),
                        "the kill point was not reached")
        s.run.kill()
        server.script(stall)
        # The user repairs the client with the full installer of release 600:
        # other bytes, in other files.
        for path in files:
            os.remove(s.client.file(path[1:]))
            s.client.write_file(path, b"600 " + path.encode())
        # Then releases 600 and 700 come out.
        s.versions += [600, 700]
        s.sections.update({600: [], 700: []})
        for path in files:
            s.offer(600, path, b"600 " + path.encode())
            s.offer(700, path, b"700 " + path.encode())
        s.installed = 600
        s.start()
        s.finish()
        s.expect_success()
        self.assertEqual([s.client.read_file(path) for path in files], [b"700 " + p.encode() for p in files])
        self.assertLogged(s.client.run_log(), "restore", action="none, replaced since the run", backup_dropped="yes")

    def test_a_kill_during_the_fallback_backup_copy_leaves_the_file_as_it_was(self):
        # The client's \\big folder is a link to another file system (tmpfs), so
        # the backup rename fails and the backup is made by a copy; the run is
        # killed while that copy is part-way.
        server = self.start_server()
        s = Scenario(self, server, "bigcopy", installed=400)
        self.link_to_another_file_system(s, "big")
        old = os.urandom(128 << 20)
        s.client.write_file("big/data.bin", old)
        s.offer(500, "\\big\\data.bin", b"new data")
        s.start()

        def copy_in_progress():
            for name in ("TempBackUpFolder/TorvaneCopy.partial", "TempBackUpFolder/big/data.bin"):
                path = s.client.file(name)
                if os.path.exists(path) and 0 < os.path.getsize(path) < len(old):
                    return True
            return False

        self.assertTrue(wait_until(copy_in_progress, EVENT_TIMEOUT, interval=0.002), "the backup copy was not seen")
        s.run.kill()
        self.assertTrue(copy_in_progress(), "the copy ended before the kill")
        # The next start finds nothing newer to install: what it leaves is the
        # play-back alone.
        self.start_again_as_installed(s)
        self.assertTrue(s.client.read_file("big/data.bin") == old, "the file was not left as it was")

    def test_files_behind_a_link_to_another_file_system_are_installed(self):
        # No rename reaches the other file system: the new bytes are copied.
        server = self.start_server()
        s = Scenario(self, server, "faraway", installed=400)
        self.link_to_another_file_system(s, "far")
        s.client.write_file("far/old.bin", b"old")
        s.offer(500, "\\far\\old.bin", b"replaced")
        s.offer(500, "\\far\\new.bin", b"added")
        s.start()
        s.finish()
        s.expect_success()
        self.assertEqual((s.client.read_file("far/old.bin"), s.client.read_file("far/new.bin")),
                         (b"replaced", b"added"))


def cache_key(url, md5_text="", sha256_text=""):
    """The name of a file's entry in UpdatePartialFolder."""
    return hashlib.md5(("%s\n%s\n%s" % (url, md5_text, sha256_text)).encode()).hexdigest()


class KeptDownloadsTest(TorvaneTestCase):

    def keep(self, s, entries):
        """Leaves cache entries {key: age in seconds} in the client folder, and a
        file of someone else's there."""
        now = time.time()
        for key, age in entries.items():
            for suffix in (".part", ".head"):
                s.client.write_file("UpdatePartialFolder/" + key + suffix, b"kept")
                os.utime(s.client.file("UpdatePartialFolder/" + key + suffix), (now - age, now - age))
        s.client.write_file("UpdatePartialFolder/notes.txt", b"not the cache's")

    def kept(self, s):
        return sorted({name[:-5] for name in os.listdir(s.client.file("UpdatePartialFolder"))
                       if name.endswith((".part", ".head"))})

    def test_a_run_that_fails_before_installing_still_prunes_the_cache(self):
        server = self.start_server()
        week = 7 * 24 * 3600
        # Run 1: no manifest, so the table is unknown; only age counts.
        blind = Scenario(self, server, "blind", installed=400)
        self.keep(blind, {"a" * 32: 60, "b" * 32: week + 60})
        # Run 2: the table is read, then a FilePath outside the client folder
        # fails the run: what it cannot continue goes, and all but the newest
        # that the download queue could hold at once (4 + 8).
        listed = Scenario(self, server, "listed", installed=400)
        entries, expected = {"c" * 32: 60}, []  # c: no file of the table
        for i in range(14):
            data = b"new %d" % i
            listed.offer(500, "\\f%d.bin" % i, data)
            key = cache_key(listed.url("files/v500/f%d.bin" % i), md5(data))
            entries[key] = 60 * (i + 1) if i != 3 else week + 60  # f3: too old
            if i != 3 and i < 13:
                expected.append(key)
        listed.offer(500, "\\plain.bin", b"unchecked", digest=None)  # nothing could check it
        entries[cache_key(listed.url("files/v500/plain.bin"))] = 30
        listed.offer(500, "\\..\\outside.dll", b"x", tail="files/outside.dll")
        self.keep(listed, entries)

        server.script("/blind/list.cfg", status=404)
        for s in (blind, listed):
            s.start()
        for s in (blind, listed):
            s.finish()
        self.assertEqual(self.kept(blind), ["a" * 32])
        self.assertEqual(self.kept(listed), sorted(expected))
        for s in (blind, listed):
            self.assertTrue(s.client.exists("UpdatePartialFolder/notes.txt"), s.name)
            self.assertEqual(s.client.read_file("Upgrade.cfg"), s.cfg, s.name)
            self.assertEqual(s.file_requests(), [], s.name)

    def test_a_file_larger_than_the_free_space_fails_before_filling_the_disk(self):
        small = tempfile.mkdtemp(prefix="torvane-small-")
        self.addCleanup(shutil.rmtree, small, True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", small], check=True, timeout=30)
        self.addCleanup(subprocess.run, ["umount", "-l", small], timeout=30)
        server = self.start_server()
        s = Scenario(self, server, "full", installed=400)
        os.symlink(small, s.client.file("UpdatePartialFolder"))
        s.client.write_file("a.dll", b"old a")
        s.offer(500, "\\a.dll", os.urandom(12 << 20))
        s.start()
        s.finish()
        self.assertEqual(s.client.read_file("a.dll"), b"old a")
        self.assertEqual(s.client.read_file("Upgrade.cfg"), s.cfg)
        used = sum(os.path.getsize(os.path.join(small, name)) for name in os.listdir(small))
        self.assertLess(used, 1 << 20, "the disk was filled")
        self.assertLogged(s.client.run_log(), "request", failed="not enough free space")
