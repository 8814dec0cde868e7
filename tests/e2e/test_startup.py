"""Torvane's start-up, its two modes and runs that fail before any file is
touched, observed from outside: exit codes, times, the test server's request
log, the client folder's files and the windows of the Wine session.

Independent runs of one test are started together; the test that holds the
client's file mapping runs alone, since the mapping holds back every updater of
the session.
"""

import os
import time
import unittest

from torvane_env import (SOURCE_VERSION, TorvaneTestCase, list_windows, send_message, wait_until, DIALOG_CAPTION,
                         WM_TRAY_NOTIFY, BALLOON_CLICKED)

PROMPT_SECONDS = 5.0
# Time allowed for Wine to start a program or to show a window on a busy machine.
SLACK = 3.0
# How long after its prompt a run may take to end by itself: a common run at the
# first tick, a run that fails at the tick after the failure. Measured on an
# idle machine: 4.7-5.1 s and 9.7-11.7 s; the margins are for a busy one.
COMMON_RUN_ENDS = PROMPT_SECONDS + 2 * SLACK
FAILED_RUN_ENDS = 2 * PROMPT_SECONDS + 3 * SLACK


def dialog_images(windows):
    """Lower-case program paths of the processes that show the updater's dialog."""
    return {w.image.lower() for w in windows if w.title == DIALOG_CAPTION}


class Watch:
    """Notes, for several runs at once, when each run's dialog first exists, by
    polling the session's windows while a run is still to show it."""

    def __init__(self, runs):
        self.runs = runs  # name -> (ClientFolder, WineProcess)
        self.prompt_at = {}

    def until_all_ended(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            waiting = {name: client for name, (client, process) in self.runs.items()
                       if process.poll() is None and name not in self.prompt_at}
            if not waiting:
                break
            shown = dialog_images(list_windows())
            now = time.monotonic()
            for name, client in waiting.items():
                if (client.win_path + "\\Torvane.exe").lower() in shown:
                    self.prompt_at[name] = now
            time.sleep(0.3)
        return all(wait_until(lambda: p.poll() is not None, max(0, deadline - time.monotonic()))
                   for _, p in self.runs.values())

    def running(self):
        return "still running: %s" % [n for n, (_, p) in self.runs.items() if p.poll() is None]


class StartupTest(TorvaneTestCase):

    def config(self, client, server, name, **keys):
        keys.setdefault("time", "100")
        keys.setdefault("config_url", server.url("/%s/HistoryVersionList.cfg" % name))
        return client.write_cfg(**keys)

    def requests_of(self, server, name):
        return [p for p in server.requests if p.startswith("/%s/" % name)]

    def test_refused_starts_end_at_once_without_a_trace(self):
        server = self.start_server()
        cases = {
            # Unknown first arguments, with a complete Upgrade.cfg in place.
            "restart": (["/Restart"], True),
            "partial": (["/Common"], True),
            "noslash": (["CommonUpdate"], True),
            "empty": ([""], True),
            "unknown-then-known": (["/x", "/ForceUpdate"], True),
            # Known switches, but no Upgrade.cfg.
            "nocfg-none": ([], False),
            "nocfg-common": (["/CommonUpdate"], False),
            # The program's own path does not fit in a 260-character buffer.
            "long-program-path": (["/CommonUpdate"], True),
        }
        runs, listings = {}, {}
        for name, (args, with_cfg) in cases.items():
            if name == "long-program-path":
                client = self.make_client(self.long_folder_name(name, 252))
            else:
                client = self.make_client(name)
            if with_cfg:
                self.config(client, server, name)
            before = client.listing()
            runs[name] = (client, client.start_torvane(*args, timeout=120))
            listings[name] = before
        watch = Watch(runs)
        self.assertTrue(watch.until_all_ended(90), watch.running())
        for name, (client, process) in runs.items():
            with self.subTest(name):
                self.assertEqual(process.wait(5), 0)
                self.assertNotIn(name, watch.prompt_at, "the dialog was created")
                self.assertEqual(client.listing(), listings[name])
        self.assertEqual(server.requests, [])

    def test_a_start_without_settings_still_undoes_a_killed_run(self):
        client = self.make_client()
        client.write_file("a.dll", b"new a")
        client.write_file("TempBackUpFolder/a.dll", b"old a")
        client.write_file("sub/n.dll", b"new n")
        client.write_install_journal((1, "\\a.dll", b"new a"), (0, "\\sub\\n.dll", b"new n"))
        process = client.start_torvane("/ForceUpdate", timeout=60)
        self.assertEqual(process.wait(60), 0)
        self.assertEqual(client.read_file("a.dll"), b"old a")
        self.assertFalse(client.exists("sub/n.dll"))
        self.assertFalse(client.exists("TempBackUpFolder"))
        self.assertFalse(client.exists("Upgrade.cfg"))
        self.assertLogged(client.run_log(), "play_back", journal_committed="no")

    def test_switches_ignore_case_and_later_arguments(self):
        server = self.start_server()  # every manifest request gets a 404
        cases = {
            "common-mixed": (["/cOMMONuPDATE"], "common"),
            "common-upper": (["/COMMONUPDATE", "/ForceUpdate"], "common"),
            "common-lower": (["/commonupdate"], "common"),
            "forced-none": ([], "forced"),
            "forced-lower": (["/forceupdate", "/CommonUpdate"], "forced"),
            "upgrade-upper": (["/UPGRADE"], "forced"),
        }
        runs, cfgs = {}, {}
        for name, (args, _) in cases.items():
            client = self.make_client(name)
            cfgs[name] = self.config(client, server, name)
            runs[name] = (client, client.start_torvane(*args, timeout=120))
        watch = Watch(runs)
        self.assertTrue(watch.until_all_ended(90), watch.running())

        for name, (args, mode) in cases.items():
            client, process = runs[name]
            with self.subTest(name):
                self.assertEqual(process.wait(5), 0)
                self.assertIn(name, watch.prompt_at, "the dialog never existed")
                lasted = process.ended_at - watch.prompt_at[name]
                requests = self.requests_of(server, name)
                if mode == "common":
                    # Ends at the first tick of the prompt, having fetched nothing.
                    self.assertEqual(requests, [])
                    self.assertGreater(lasted, PROMPT_SECONDS - 1)
                    self.assertLess(lasted, COMMON_RUN_ENDS)
                else:
                    # Starts at the first tick, fails on the 404 and ends by itself.
                    self.assertEqual(requests, ["/%s/HistoryVersionList.cfg" % name] * len(requests))
                    self.assertTrue(requests)
                    first = min(t for t, p in server.timed_requests if p.startswith("/%s/" % name))
                    self.assertGreater(first - watch.prompt_at[name], PROMPT_SECONDS - 1)
                    self.assertLess(lasted, FAILED_RUN_ENDS)
                self.assertEqual(client.read_file("Upgrade.cfg"), cfgs[name])

    def test_waits_while_the_client_runs(self):
        server = self.start_server()
        client = self.make_client()
        self.config(client, server, "wait")
        hold = client.file("hold")
        open(hold, "w").close()
        client.start_client("--hold_until=" + client.win_path + "\\hold")
        process = client.start_torvane("/CommonUpdate", timeout=60)
        dialog = client.wait_for_dialog(timeout=60)

        # Two polls of the mapping at least; the updater shows nothing meanwhile.
        image = (client.win_path + "\\Torvane.exe").lower()
        deadline = time.monotonic() + 3.2
        while time.monotonic() < deadline:
            self.assertIsNone(process.poll(), "the updater did not wait for the client")
            self.assertFalse(dialog.done(), "the dialog came while the client ran")
            mine = [w for w in list_windows() if w.image.lower() == image]
            self.assertEqual(mine, [], "the updater showed a window while the client ran")
            time.sleep(0.2)

        os.remove(hold)
        self.assertTrue(wait_until(lambda: "mapping-closed" in client.client_log(), 10))
        released = time.monotonic()
        window = dialog.result(30)
        self.assertIsNotNone(window, "the updater did not go on after the client ended")
        self.assertFalse(window.visible)
        # One poll period of 1.5 s at most, and some time for Wine to make the dialog.
        self.assertLess(dialog.found_at - released, 1.5 + 1.5)

        self.assertEqual(process.wait(30), 0)
        self.assertEqual(server.requests, [])

    def test_a_click_starts_a_common_update_that_later_ticks_leave_alone(self):
        server = self.start_server()
        # The manifest arrives after the first tick; it names no release, so the
        # run then fails.
        server.script("/click/HistoryVersionList.cfg", body=b"[Root]\r\n", delay=6)
        client = self.make_client()
        cfg = self.config(client, server, "click")
        dialog = client.wait_for_dialog(timeout=60)
        process = client.start_torvane("/CommonUpdate", timeout=90)
        window = dialog.result(40)
        self.assertIsNotNone(window)
        prompt_at = dialog.found_at

        send_message(window.hwnd, WM_TRAY_NOTIFY, 0, BALLOON_CLICKED)
        self.assertTrue(server.wait_for_requests(1, timeout=5))
        self.assertLess(server.timed_requests[0][0] - prompt_at, PROMPT_SECONDS,
                        "the click came too late to be told from the first tick")
        send_message(window.hwnd, WM_TRAY_NOTIFY, 0, BALLOON_CLICKED)  # a second click
        # The first tick passes while the manifest is on its way.
        tick_passed = prompt_at + PROMPT_SECONDS + 1 - time.monotonic()
        self.assertIsNone(wait_until(lambda: process.poll() is not None, tick_passed),
                          "the tick ended the update")

        self.assertEqual(process.wait(60), 0)
        self.assertLess(process.ended_at - prompt_at, 6 + FAILED_RUN_ENDS)
        self.assertEqual(server.requests, ["/click/HistoryVersionList.cfg"])
        self.assertEqual(client.read_file("Upgrade.cfg"), cfg)
        self.assertFalse(client.exists("UpdateTempFolder"))
        self.assertFalse(client.exists("TempBackUpFolder"))

    def test_failed_runs_keep_the_settings_and_remove_the_work_folders(self):
        server = self.start_server()
        server.script("/missing/HistoryVersionList.cfg", status=404)
        closed_port_url = "http://127.0.0.1:1/closed/HistoryVersionList.cfg"
        cases = {
            "no-time": {"time": None},
            "empty-time": {"time": ""},
            "no-configurl": {"config_url": None},
            "missing": {},
            "closed": {"config_url": closed_port_url},
            "long-folder": {},
        }
        # The line that tells support why each run failed.
        logged = {
            "no-time": ("settings", {"time": 0, "ok": "no"}),
            "empty-time": ("settings", {"ok": "no"}),
            "no-configurl": ("settings", {"time": 100, "config_url": "", "ok": "no"}),
            "missing": ("request", {"status": 404, "attempt": 3, "failed": "error status"}),
            "closed": ("no_response", {"url": closed_port_url, "error": 12029}),
            "long-folder": ("run_paths", {"failed": "folder path too long"}),
        }
        runs, cfgs = {}, {}
        for name, keys in cases.items():
            if name == "long-folder":
                client = self.make_client(self.long_folder_name(name, 243))
            else:
                client = self.make_client(name)
            cfg = self.config(client, server, name, **keys)
            if name == "missing":
                # Leftovers of an earlier run go with the exit clean-up.
                client.write_file("UpdateTempFolder/a/b.dll", b"x")
                client.write_file("TempBackUpFolder/c.dll", b"y")
            runs[name] = (client, client.start_torvane(timeout=120))
            cfgs[name] = cfg
        watch = Watch(runs)
        self.assertTrue(watch.until_all_ended(90), watch.running())

        for name, (client, process) in runs.items():
            with self.subTest(name):
                self.assertEqual(process.wait(5), 0)
                self.assertIn(name, watch.prompt_at, "the dialog never existed")
                self.assertLess(process.ended_at - watch.prompt_at[name],
                                FAILED_RUN_ENDS)
                self.assertEqual(client.read_file("Upgrade.cfg"), cfgs[name])
                self.assertFalse(client.exists("UpdateTempFolder"))
                self.assertFalse(client.exists("TempBackUpFolder"))
                events = client.run_log()
                self.assertLogged(events, "start", folder=client.win_path + "\\", version=SOURCE_VERSION)
                self.assertLogged(events, logged[name][0], **logged[name][1])
                self.assertLogged(events, "exit", code=0)
        # Only the runs with complete settings asked for their manifest.
        asked = {p.split("/")[1] for p in server.requests}
        self.assertEqual(asked, {"missing"})

    def long_folder_name(self, tag, length):
        """A relative folder name that puts the client folder at length
        characters in Windows form (Z:\\...\\, trailing backslash included).
        At 243, Torvane.exe and Upgrade.cfg fit in a 260-character path and
        HistoryVersionList.cfg does not; at 252, Torvane.exe itself does not."""
        windows_length = lambda unix: 2 + len(unix) + 1
        base = os.path.join(self.root, tag)
        missing = length - windows_length(base)
        self.assertGreater(missing, 10)
        parts, left = [], missing
        while left > 0:
            take = min(left, 100)
            if left - take == 1:  # a separator needs a name after it
                take -= 1
            parts.append("d" * (take - 1))
            left -= take
        name = tag + "/" + "/".join(parts)
        self.assertEqual(windows_length(os.path.join(self.root, name)), length)
        return name


if __name__ == "__main__":
    unittest.main()
