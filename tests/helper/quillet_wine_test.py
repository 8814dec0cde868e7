"""Quillet under Wine: modes, the single-instance handover, the cookie modes
and the recommendation window, with stand-in controls.

The stand-in browser and Flash control (quillet_fake_controls.dll) are
registered in a copy of the harness prefix with its own wineserver, so the
shared prefix never sees them; the copy is removed at the end. Each run of
Quillet gets its own log file (QUILLET_TEST_LOG) in which the stand-ins record
every call they receive. Every process has a time limit.

Environment (set by tests/helper/CMakeLists.txt): QUILLET_EXE, QUILLET_TEST_BIN,
MIRELO_SOURCE_DIR; the harness provides WINEPREFIX and DISPLAY.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wine import SOURCE_DIR, SOURCE_VERSION, WineProcess, parse_run_log, run_wine, windows_path  # noqa: E402

QUILLET_EXE = os.environ["QUILLET_EXE"]
TEST_BIN = os.environ["QUILLET_TEST_BIN"]
HOST = "www.mirelo.com"
RECOMMEND_URL = "http://%s/s2010/p2ptc/"
MOVIE_URL = "http://%s/upload/swf/p2p/fc.swf"
CLEAR_REQUEST = '<invoke name="clearCookie"></invoke>'
# What a control and the stand-ins' DLL report at the end of a clean run: the
# control deactivated and closed, the site left with only the host window's
# own reference, the control freed, and the DLL unloaded with nothing of it
# alive, no reference held on the host, and the main window already gone.
LET_GO = {
    "browser": ["browser.InPlaceDeactivate", "browser.Close", "browser.SetClientSite null site-left=1",
                "browser.Destroyed", "dll.Detach objects=0 hostrefs=0 mainwindows=0"],
    "flash": ["flash.Close", "flash.SetClientSite null site-left=1", "flash.Destroyed",
              "dll.Detach objects=0 hostrefs=0 mainwindows=0"],
}
# The program's own log, one line per start and end.
QUILLET_LOG = os.path.join(os.path.dirname(QUILLET_EXE), "Quillet.log")
RUN_LIMIT = 20      # seconds for any one Wine process
EVENT_LIMIT = 10    # seconds to wait for a log line or a process end

_copy = None        # the prefix copy: (temporary folder, environment)


def setUpModule():
    global _copy
    shared = os.environ.get("WINEPREFIX")
    if not shared or not os.path.isfile(os.path.join(shared, "system.reg")):
        raise RuntimeError("no booted WINEPREFIX: start tests/wine/harness.sh first")
    folder = tempfile.mkdtemp(prefix="quillet-prefix-")
    prefix = os.path.join(folder, "prefix")
    subprocess.run(["cp", "-a", shared, prefix], check=True, timeout=120)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    _copy = (folder, env)
    unittest.addModuleCleanup(_remove_copy)
    # A persistent server keeps every later start fast. It must not hold the
    # test's output open, or whoever reads that output waits for it.
    subprocess.run(["timeout", "30", "wineserver", "-p"], env=env, check=False,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    dll = windows_path(os.path.join(TEST_BIN, "quillet_fake_controls.dll"))
    subprocess.run(["timeout", "60", "wine", "regsvr32", "/s", dll], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    out = subprocess.run(["timeout", "60", "wine", "reg", "query",
                          r"HKLM\Software\Classes\ShockwaveFlash.ShockwaveFlash\CLSID"],
                         env=env, capture_output=True, text=True, errors="replace")
    if "{8203D261" not in out.stdout.upper():
        raise RuntimeError("the stand-in controls were not registered: " + out.stdout + out.stderr)


def _remove_copy():
    if _copy:
        folder, env = _copy
        subprocess.run(["timeout", "30", "wineserver", "-k"], env=env, check=False)
        shutil.rmtree(folder, ignore_errors=True)


class Run:
    """One Quillet process and its log."""

    def __init__(self, case, args, env=None, exe=None, extra_env=None):
        self.log = os.path.join(case.tmp, "run%d.log" % case.next_run())
        run_env = dict(env or _copy[1], QUILLET_TEST_LOG=windows_path(self.log))
        run_env.update(extra_env or {})
        self.process = WineProcess([exe or QUILLET_EXE] + list(args), None, RUN_LIMIT, env=run_env)
        case.addCleanup(self.process.kill)

    def wait(self, limit=EVENT_LIMIT):
        code = self.process.wait(limit)
        self.elapsed = self.process.elapsed
        return code

    def events(self):
        """The logged calls, "<ms> <object>.<method> <arguments>" without the process id."""
        try:
            with open(self.log, encoding="utf-8") as f:
                return [line.rstrip("\n").split(" ", 1)[1] for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def calls(self, prefix=""):
        return [e.split(" ", 1)[1] for e in self.events() if e.split(" ", 1)[1].startswith(prefix)]

    def await_call(self, prefix):
        deadline = time.monotonic() + EVENT_LIMIT
        while time.monotonic() < deadline:
            if self.calls(prefix):
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        raise AssertionError("no %r call; log: %r" % (prefix, self.events()))

    def lifetime(self):
        """The calls that tell how the run let go of its control, in order."""
        marks = ("InPlaceDeactivate", "InPlaceObjectFreedDuringCall", "Close", "SetClientSite null", "Destroyed",
                 "Detach")
        return [c for c in self.calls() if c.split(".", 1)[1].startswith(marks)]

    def call_time(self, prefix):
        return [int(e.split(" ", 1)[0]) for e in self.events() if e.split(" ", 1)[1].startswith(prefix)]


class QuilletCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="quillet-test-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self._runs = 0

    def next_run(self):
        self._runs += 1
        return self._runs

    def start(self, *args, **kw):
        return Run(self, args, **kw)

    def start_recommend(self, switch="/Recommend"):
        run = self.start(switch)
        run.await_call("browser.Navigate2")
        return run

    def end_by_handover(self, run):
        """Ends a running instance the way the program is meant to be ended from outside."""
        self.assertEqual(self.start("/end").wait(), 0)
        self.assertEqual(run.wait(), 0)


class ModeTest(QuilletCase):
    def test_recommend_switch_ignores_case_of_latin_letters(self):
        for switch in ("/recommend", "/RECOMMEND"):
            with self.subTest(switch=switch):
                run = self.start_recommend(switch)
                self.end_by_handover(run)

    def test_anything_but_a_whole_switch_ends_at_once_without_a_window(self):
        for args in (["/Recommend "], ["/Recommend", "x"], [], ["/Recommendx"], ["/Flash"]):
            with self.subTest(args=args):
                run = self.start(*args)
                self.assertEqual(run.wait(), 0)
                self.assertEqual(run.events(), [], "no control is created")

    def test_program_path_quoted_anywhere_and_blanks_before_the_switch(self):
        folder = os.path.join(self.tmp, "Program Files", "Mirelo Quillet")
        os.makedirs(folder)
        exe = os.path.join(folder, "Quillet.exe")
        shutil.copy(QUILLET_EXE, exe)
        base = windows_path(self.tmp)
        for line in ('"%s"  \t/clearCOOKIE' % windows_path(exe),
                     '%s\\"Program Files\\Mirelo Quillet"\\Quillet.exe /ClearCookie' % base):
            with self.subTest(line=line):
                run = Run(self, ["30000"], exe=os.path.join(TEST_BIN, "quillet_launch.exe"),
                          extra_env={"QUILLET_LAUNCH_COMMAND": line, "QUILLET_LAUNCH_PROGRAM": windows_path(exe)})
                self.assertEqual(run.wait(), 0)
                self.assertEqual(run.calls("flash.CallFunction"), ["flash.CallFunction 8:" + CLEAR_REQUEST])


class CookieTest(QuilletCase):
    def test_clear_cookie_loads_the_movie_then_calls_clear_cookie_once_and_quits(self):
        run = self.start("/ClearCookie")
        self.assertEqual(run.wait(), 0)
        self.assertEqual(run.calls("flash.LoadMovie"), ["flash.LoadMovie layer=3:0 url=8:" + MOVIE_URL % HOST])
        self.assertEqual(run.calls("flash.CallFunction"), ["flash.CallFunction 8:" + CLEAR_REQUEST])
        waited = run.call_time("flash.CallFunction")[0] - run.call_time("flash.LoadMovie")[0]
        self.assertGreaterEqual(waited, 900, "the call comes on the one-second timer")
        print("ClearCookie: %d ms from LoadMovie to CallFunction, %.2f s for the whole run" % (waited, run.elapsed))

    def test_write_cookie_loads_the_movie_and_calls_nothing_in_it(self):
        run = self.start("/writecookie")
        self.assertEqual(run.wait(), 0)
        self.assertEqual(run.calls("flash.LoadMovie"), ["flash.LoadMovie layer=3:0 url=8:" + MOVIE_URL % HOST])
        self.assertEqual(run.calls("flash.CallFunction"), [])
        self.assertGreaterEqual(run.elapsed, 0.9)

    def test_failing_call_function_still_ends_with_zero(self):
        run = self.start("/ClearCookie", extra_env={"QUILLET_FAKE_FAIL_CALL": "1"})
        self.assertEqual(run.wait(), 0)
        self.assertEqual(len(run.calls("flash.CallFunction")), 1)

    def test_cookie_modes_without_a_flash_control_end_after_the_timer(self):
        # The harness prefix itself has no Flash control.
        shared = dict(os.environ, WINEDEBUG="-all")
        for switch in ("/WriteCookie", "/ClearCookie"):
            with self.subTest(switch=switch):
                run = self.start(switch, env=shared)
                self.assertEqual(run.wait(), 0)
                self.assertGreaterEqual(run.elapsed, 0.9)
                print("%s without Flash: %.2f s" % (switch, run.elapsed))

    def test_flash_is_hosted_in_place_in_the_hidden_window(self):
        run = self.start("/WriteCookie")
        self.assertEqual(run.wait(), 0)
        verbs = run.calls("flash.DoVerb")
        self.assertEqual(len(verbs), 1, run.events())
        self.assertIn("parent=AtlAxWin90", verbs[0])
        self.assertIn("inplace=ok usermode=1", verbs[0])
        self.assertIn("frame=254A67D0-9970-4856-B773-E2A99F85B19D", verbs[0])


class RecommendTest(QuilletCase):
    """What the browser saw in one whole Recommend run, ended by a newer instance."""

    @classmethod
    def setUpClass(cls):
        # One run serves every test here: closing a shown window costs Wine
        # two seconds.
        holder = QuilletCase("run")
        holder.tmp = tempfile.mkdtemp(prefix="quillet-test-")
        cls.addClassCleanup(shutil.rmtree, holder.tmp, True)
        holder._runs = 0
        holder.addCleanup = cls.addClassCleanup
        run = holder.start_recommend()
        run.await_call("browser.SetObjectRects")
        holder.end_by_handover(run)
        cls.recommend = run

    def test_navigates_once_with_no_history_no_cache_and_nothing_else(self):
        self.assertEqual(self.recommend.calls("browser.Navigate2"),
                         ["browser.Navigate2 url=8:%s flags=22:14 target=null post=null headers=null"
                          % (RECOMMEND_URL % HOST)])

    def test_browser_is_activated_in_place_in_the_host_window(self):
        verbs = self.recommend.calls("browser.DoVerb")
        self.assertEqual(len(verbs), 1)
        self.assertIn("-5 parent=AtlAxWin90 rect=0,0,596,421", verbs[0])
        self.assertIn("inplace=ok usermode=1 window=AtlAxWin90 frame=254A67D0-9970-4856-B773-E2A99F85B19D",
                      verbs[0])

    def test_browser_is_laid_out_over_the_whole_captionless_client_area(self):
        self.assertEqual(set(self.recommend.calls("browser.SetObjectRects")),
                         {"browser.SetObjectRects 0,0,620,520 clip=0,0,620,520"})

    def test_site_offers_what_a_browser_asks_for_and_no_services(self):
        self.assertEqual(self.recommend.calls("browser.ProbeSite"),
                         ["browser.ProbeSite controlsite=yes scripterror=00000000,continue alert=00000000 "
                          "services=none frame=own ambient-iid=80020001"])

    def test_everything_is_let_go_before_the_run_ends(self):
        self.assertEqual(self.recommend.lifetime(), LET_GO["browser"])
        self.assertNotIn("browser.Quit", self.recommend.calls())


def logged_runs():
    """(mode, end reason) of every run in Quillet.log, by process, in start order."""
    with open(QUILLET_LOG, "rb") as f:
        events = parse_run_log(f.read())
    runs = {}
    for event, fields in events:
        if event == "start":
            if fields.get("version") != SOURCE_VERSION:
                raise AssertionError("start line without version %s: %r" % (SOURCE_VERSION, fields))
            runs[fields["pid"]] = [fields["mode"], None]
        elif event == "end" and fields["pid"] in runs:
            runs[fields["pid"]][1] = fields["reason"]
    return [tuple(run) for run in runs.values()]


class LifetimeTest(QuilletCase):
    def test_cookie_modes_let_go_of_everything_however_they_end(self):
        # A log over 1 MiB is kept as Quillet.log.1 when the next run starts.
        with open(QUILLET_LOG, "wb") as f:
            f.write(b"x" * (1024 * 1024 + 1))
        for switch, by_handover in (("/WriteCookie", False), ("/ClearCookie", False),
                                    ("/WriteCookie", True), ("/ClearCookie", True)):
            with self.subTest(switch=switch, by_handover=by_handover):
                run = self.start(switch)
                if by_handover:
                    run.await_call("flash.LoadMovie")
                    self.end_by_handover(run)
                else:
                    self.assertEqual(run.wait(), 0)
                self.assertEqual(run.lifetime(), LET_GO["flash"])
                # (A handover may come after the timer: then the timer ended the run.)
                runs = logged_runs()
                if by_handover:
                    self.assertEqual(runs[-1], ("/end", "unknown mode"))
                    self.assertIn(runs[-2], [(switch, "quit by a newer instance"), (switch, "cookie timer")])
                else:
                    self.assertEqual(runs[-1], (switch, "cookie timer"))
        self.assertEqual(os.path.getsize(QUILLET_LOG + ".1"), 1024 * 1024 + 1)
        self.assertEqual(len(logged_runs()), 6)


class SingleInstanceTest(QuilletCase):
    def test_a_second_start_in_any_mode_ends_the_first_and_goes_on(self):
        for second, expect_call in (("/nothing", None), ("/Recommend", "browser.Navigate2"),
                                    ("/WriteCookie", "flash.LoadMovie"), ("/ClearCookie", "flash.CallFunction")):
            with self.subTest(second=second):
                first = self.start_recommend()
                run = self.start(second)
                self.assertEqual(first.wait(), 0)
                if second == "/Recommend":
                    run.await_call(expect_call)
                    self.end_by_handover(run)
                else:
                    self.assertEqual(run.wait(), 0)
                    if expect_call:
                        self.assertTrue(run.calls(expect_call), run.events())

    def test_a_hidden_cookie_mode_window_is_found_too(self):
        first = self.start("/ClearCookie")
        first.await_call("flash.LoadMovie")
        self.assertEqual(self.start("/x").wait(), 0)
        self.assertEqual(first.wait(), 0)
        self.assertEqual(first.calls("flash.CallFunction"), [], "ended by the handover, before its timer")
        self.assertEqual(logged_runs()[-2:], [("/ClearCookie", "quit by a newer instance"), ("/x", "unknown mode")])


class WindowTest(unittest.TestCase):
    def test_window_behaviour(self):
        tmp = tempfile.mkdtemp(prefix="quillet-window-")
        self.addCleanup(shutil.rmtree, tmp, True)
        env = dict(_copy[1], QUILLET_EXE=windows_path(QUILLET_EXE),
                   QUILLET_TEST_LOG=windows_path(os.path.join(tmp, "window.log")),
                   MIRELO_SOURCE_DIR=windows_path(SOURCE_DIR))
        code, out, err = run_wine([os.path.join(TEST_BIN, "quillet_window_tests.exe")], 120, env=env)
        print(out[-4000:])
        self.assertEqual(code, 0, out[-4000:] + err[-2000:])


if __name__ == "__main__":
    unittest.main()
