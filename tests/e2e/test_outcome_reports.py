"""Outcome reports under Wine: runs that update, fail, are cancelled, find
nothing to do, are told Report=0, or run a keyed updater on a manifest that
does not verify, each send (or keep) their report; nginx answers /report/...
with 204 and logs it in the README's short format, and torvane-publish
report reads that log back. A report host that is down keeps the report for
the next run; one that never answers holds the exit back at most a second.
"""

import calendar
import json
import os
import shutil
import subprocess
import time
import urllib.parse

from torvane_env import FIXTURE_DIR, TorvaneTestCase, post_message, wait_until
from nginx_server import NginxServer, free_port  # noqa: E402  (tests/fixtures, on the path through torvane_env)
from test_publish_release import TOOL
from test_update_install import Scenario

WM_CLOSE = 0x10
FIELDS = ["v", "from", "to", "outcome", "step", "error", "ms", "files", "bytes", "patched", "os", "age"]
# The exit waits a second for the report; the log's two lines are written
# within milliseconds of their moments.
EXIT_WAIT_BOUND = 1.5


class ReportScenario(Scenario):
    """A Scenario whose manifest names report_url and whose Upgrade.cfg may
    carry extra lines."""

    def __init__(self, test, server, name, installed, report_url, cfg_extra=""):
        super().__init__(test, server, name, installed)
        self.report_url = report_url
        self.cfg_extra = cfg_extra

    def manifest(self):
        text = super().manifest()
        return text.replace(b"[Root]\r\n", b"[Root]\r\nReportUrl=" + self.report_url.encode() + b"\r\n", 1)

    def start(self, env=None):
        self.server.add_file("/%s/list.cfg" % self.name, self.manifest())
        self.cfg = self.client.write_cfg(raw="[Client]\r\nTime=%d\r\nDownloadUrl=http://example.invalid/\r\n"
                                             "ConfigUrl=%s\r\n%s" % (self.installed, self.url("list.cfg"),
                                                                     self.cfg_extra))
        self.run = self.client.start_torvane("/ForceUpdate", timeout=180, env=env)


def received(nginx):
    """path -> [query fields] of every report nginx logged."""
    found = {}
    for line in nginx.report_lines():
        request = line.split('"')[1].split()[1]
        path, _, query = request.partition("?")
        pairs = urllib.parse.parse_qsl(query, keep_blank_values=True)
        found.setdefault(path, []).append(dict(pairs) if [k for k, _ in pairs] == FIELDS else {"bad": query})
    return found


def log_time(text):
    """Seconds since 1970 of a run log line's UTC time."""
    stamp, millis = text[:-1].split(".")
    return calendar.timegm(time.strptime(stamp, "%Y-%m-%dT%H:%M:%S")) + int(millis) / 1000


class OutcomeReportTest(TorvaneTestCase):

    def setUp(self):
        super().setUp()
        self.nginx = NginxServer(tls=False).start()
        self.addCleanup(self.nginx.stop)
        self.addCleanup(self.keep_report_log)
        self.server = self.start_server()

    def keep_report_log(self):
        """Appends nginx's report log to MIRELO_KEEP_REPORT_LOG, when set: the
        closing note's input to torvane-publish report."""
        keep = os.environ.get("MIRELO_KEEP_REPORT_LOG")
        if keep and os.path.exists(self.nginx.report_log):
            with open(self.nginx.report_log, "rb") as log, open(keep, "ab") as kept:
                kept.write(log.read())

    def report_url(self, name):
        return self.nginx.site("http").url("/report/" + name)

    def scenario(self, name, installed, report_url=None, **options):
        return ReportScenario(self, self.server, name, installed, report_url or self.report_url(name), **options)

    def cancel(self, scenario):
        window = wait_until(scenario.client.dialog_window, 60)
        self.assertIsNotNone(window, "no dialog")
        self.assertTrue(post_message(window.hwnd, WM_CLOSE))

    def assertReport(self, report, **expected):
        self.assertEqual({k: report[k] for k in expected}, {k: str(v) for k, v in expected.items()}, report)
        self.assertRegex(report["os"], r"^\d+\.\d+\.\d+$")

    def test_each_run_reports_once_with_its_outcome_and_publish_report_counts_them(self):
        updated = self.scenario("updated", 400)
        updated.offer(500, "\\a.dll", b"new a")
        failed = self.scenario("failed", 400)
        failed.offer(500, "\\a.dll", b"new a")
        failed.sections[500].append(("\\gone.dll", failed.url("files/gone.dll"), "0" * 32))
        current = self.scenario("current", 500)
        current.offer(500, "\\a.dll", b"a")
        cancelled = self.scenario("cancelled", 400)
        stalled = cancelled.offer(500, "\\big.dll", b"big")
        self.server.script(stalled, hold=1)
        off = self.scenario("off", 400, cfg_extra="Report=0\r\n")
        off.offer(500, "\\a.dll", b"new a")
        # Keyed: the manifest's own URL is refused with the manifest; the kept one reports.
        keyed = self.scenario("keyed", 400, report_url=self.report_url("keyed-manifest"))
        keyed.offer(500, "\\a.dll", b"new a")
        shutil.copy2(os.path.join(FIXTURE_DIR, "test-key", "Torvane.exe"), keyed.client.file("Torvane.exe"))
        keyed.client.write_file("TorvaneReports.dat", "torvane-reports 1\nurl\t%s\n" % self.report_url("keyed-kept"))
        runs = [updated, failed, current, cancelled, off, keyed]
        for run in runs:
            run.start()
        self.assertIsNotNone(wait_until(lambda: stalled in self.server.requests, 60), "no stalled request")
        self.cancel(cancelled)
        for run in runs:
            run.finish()

        reports = received(self.nginx)
        self.assertEqual({k: len(v) for k, v in reports.items()},
                         {"/report/" + n: 1 for n in ("updated", "failed", "current", "cancelled", "keyed-kept")})
        common = dict(v=1, age=0, patched=0)
        self.assertReport(reports["/report/updated"][0], outcome="updated", step="", error="", files=1,
                          **{"from": 400, "to": 500}, **common)
        self.assertGreater(int(reports["/report/updated"][0]["bytes"]), len(b"new a"))
        self.assertReport(reports["/report/failed"][0], outcome="failed", step="download", error=404, files=2,
                          **{"from": 400, "to": 500}, **common)
        self.assertReport(reports["/report/current"][0], outcome="current", step="", files=0,
                          **{"from": 500, "to": 500}, **common)
        self.assertReport(reports["/report/cancelled"][0], outcome="cancelled", **{"from": 400}, **common)
        self.assertReport(reports["/report/keyed-kept"][0], outcome="failed", step="signature", error=404,
                          **{"from": 400}, **common)
        self.assertLogged(off.client.run_log(), "report", status="off")
        self.assertLogged(updated.client.run_log(), "report", status=204, queued=0)

        counts = self.publisher_counts(self.nginx.report_log)
        if counts is not None:
            # The keyed run failed before it knew a target.
            self.assertEqual(counts, {"400>500": {"runs": 3, "updated": 1, "failed": 1, "cancelled": 1, "current": 0},
                                      "400>": {"runs": 1, "updated": 0, "failed": 1, "cancelled": 0, "current": 0},
                                      "500>500": {"runs": 1, "updated": 0, "failed": 0, "cancelled": 0, "current": 1}})

    def publisher_counts(self, log):
        """from>to -> outcome counts as torvane-publish report --json reads log;
        None without the native tool."""
        if not os.path.exists(TOOL):
            print("no %s: the log is not read back" % TOOL)
            return None
        done = subprocess.run([TOOL, "report", "--json", log], capture_output=True, timeout=60, check=True)
        pairs = json.loads(done.stdout)["pairs"]
        keys = ("runs", "updated", "failed", "cancelled", "current")
        return {"%s>%s" % (p["from"], p["to"]): {k: p[k] for k in keys} for p in pairs}

    def test_a_report_host_down_keeps_the_report_and_one_that_never_answers_holds_the_exit_a_second(self):
        down = self.scenario("down", 500, report_url="http://127.0.0.1:%d/report/down" % free_port())
        down.offer(500, "\\a.dll", b"a")
        self.server.script("/hung/report", silent=1)
        hung = self.scenario("hung", 500, report_url=self.server.url("/hung/report"))
        hung.offer(500, "\\a.dll", b"a")
        # A start without settings that plays a killed run's journal back reports it.
        recovered = self.make_client("recovered")
        recovered.write_file("a.dll", b"new a")
        recovered.write_file("TempBackUpFolder/a.dll", b"old a")
        recovered.write_install_journal((1, "\\a.dll", b"new a"))
        recovered.write_file("TorvaneReports.dat", "torvane-reports 1\nurl\t%s\n" % self.report_url("recovered"))
        recovery = recovered.start_torvane("/ForceUpdate", timeout=60)
        for run in (down, hung):
            run.start()
        self.assertEqual(recovery.wait(60), 0)
        for run in (down, hung):
            run.finish()
        reports = received(self.nginx)
        [played_back] = reports.pop("/report/recovered")
        self.assertReport(played_back, outcome="failed", step="recovery", error="", files=0, age=0)
        self.assertEqual(reports, {})
        self.assertLogged(down.client.run_log(), "report", status="none", error=12029, queued=1)
        self.assertTrue(down.client.exists("TorvaneReports.dat"))
        arrival = [t for t, path in self.server.timed_requests if path.startswith("/hung/report?")]
        self.assertEqual(len(arrival), 1)
        sent_at = time.time() - (time.monotonic() - arrival[0])
        self.assertLogged(hung.client.run_log(), "report", status="pending", queued=1)
        exit_at = log_time([line for line in hung.client.read_file("Torvane.log").decode().splitlines()
                            if " exit " in line][-1].split()[0])
        print("exit %.3f s after the report reached the silent host" % (exit_at - sent_at))
        self.assertLess(exit_at - sent_at, EXIT_WAIT_BOUND)

        # The next run reaches nginx: its own report and the kept one, with its age.
        first_ended = down.run.ended_at
        down.report_url = self.report_url("down")
        down.start()
        down.finish()
        reports = received(self.nginx)["/report/down"]
        self.assertEqual(sorted(r["age"] == "0" for r in reports), [False, True])
        kept = [r for r in reports if r["age"] != "0"][0]
        self.assertReport(kept, outcome="current", **{"from": 500, "to": 500})
        self.assertLessEqual(int(kept["age"]), int(time.monotonic() - first_ended) + 2)
        self.assertGreaterEqual(int(kept["age"]), int(down.run.elapsed) - 2)
        self.assertLogged(down.client.run_log(), "report", status=204, queued=0)

    def test_a_report_follows_a_redirect_only_from_https_to_https(self):
        tls = NginxServer().start()
        self.addCleanup(tls.stop)
        good, plain = tls.site("good"), tls.site("http")
        # (name, report URL, status logged, whether the report reaches /report/<name>)
        cases = [("secure", good.url(good.hop_path("/report/secure")), 204, True),
                 ("plain", plain.url(good.hop_path("/report/plain")), 302, False),
                 ("downgrade", good.url(plain.hop_path("/report/downgrade")), 302, False)]
        runs = []
        for name, url, _, _ in cases:
            runs.append(self.scenario(name, 500, report_url=url))
            runs[-1].offer(500, "\\a.dll", b"a")
            runs[-1].start()
        for run in runs:
            run.finish()
        arrived = received(tls)
        for run, (name, _, status, reaches) in zip(runs, cases):
            self.assertLogged(run.client.run_log(), "report", status=status, queued=0)
            self.assertEqual(len(arrived.get("/report/" + name, [])), 1 if reaches else 0, name)


if __name__ == "__main__":
    import unittest
    unittest.main()
