"""Updates over an emulated line under Wine: nginx (ranges, ETag) behind the
line emulator of tests/fixtures, which delays, paces and cuts connections and
counts the bytes it carried. A download that is cut, or a run that is killed,
goes on from the bytes it already has, so the line carries little more than
the files hold. A slow line is judged as a whole: four files that share it
are not each held to the floor, and a run that ends keeps what it brought.
"""

import os

from torvane_env import TorvaneTestCase
from test_update_install import RUN_TIMEOUT, Scenario
from line_emulator import LineEmulator  # tests/fixtures, on the path through torvane_env
from nginx_server import NginxServer

MB = 1000000
DELAY = 0.005  # one way; small, so the runs stay short
MAX_OVERHEAD = 1.25  # bytes carried / bytes the files hold
KIB = 1024
SLOW_RUN_TIMEOUT = 240


class EmulatedLineTest(TorvaneTestCase):

    def line_scenario(self, name, sizes, **line):
        """An update from release 400 to 500 of files of the given sizes, served
        by nginx through a line with the given settings."""
        server = NginxServer(tls=False).start()
        self.addCleanup(server.stop)
        emulator = LineEmulator(server.ports["http"], delay=DELAY, **line).start()
        self.addCleanup(emulator.stop)
        s = Scenario(self, server.site("http", url_port=emulator.port), name, installed=400)
        s.data = {}
        for i, size in enumerate(sizes):
            path = "\\f%d.bin" % i
            s.data[path] = os.urandom(size)
            s.client.write_file(path, b"old")
            s.offer(500, path, s.data[path])
        return s, emulator

    def expect_installed(self, s, emulator):
        s.expect_success()
        for path, data in s.data.items():
            self.assertEqual(s.client.read_file(path), data, path)
        total = sum(len(d) for d in s.data.values())
        self.assertLessEqual(emulator.bytes_down, MAX_OVERHEAD * total,
                             "carried %d bytes for %d: %r" % (emulator.bytes_down, total, s.requests()))

    def test_a_line_that_cuts_every_megabyte_still_brings_files_of_three(self):
        s, emulator = self.line_scenario("cut", [3 * MB, 3 * MB], cut_after=1 * MB)
        s.start()
        s.finish()
        self.expect_installed(s, emulator)
        self.assertGreaterEqual(emulator.connections, 6, "the line did not cut")

    def test_a_run_killed_half_way_is_continued_by_the_next_run(self):
        s, emulator = self.line_scenario("killed", [20 * MB], bandwidth=10 * MB)
        s.start()
        self.assertTrue(emulator.wait_for_bytes_down(10 * MB, RUN_TIMEOUT), "the download did not start")
        s.run.kill()
        self.assertLess(emulator.bytes_down, 15 * MB, "the kill came too late")
        s.run = s.client.start_torvane("/ForceUpdate", timeout=RUN_TIMEOUT)
        s.finish()
        self.expect_installed(s, emulator)

    def kept_bytes(self, s):
        """The bytes the kept-download folder holds; each kept body must be the
        start of one of the files."""
        folder = s.client.file("UpdatePartialFolder")
        kept = 0
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            if name.endswith(".part"):
                with open(os.path.join(folder, name), "rb") as f:
                    part = f.read()
                self.assertTrue(any(d.startswith(part) for d in s.data.values()), "%s is no file's start" % name)
                kept += len(part)
        return kept

    def test_a_steady_line_under_4_kb_s_shared_by_four_files_installs_in_one_run(self):
        # Each of the four transfers gets 512 B/s, half the floor; the line's
        # limit is 96 s for the files, and the run waits about 5 s to begin.
        s, emulator = self.line_scenario("steady", [48 * KIB] * 4, bandwidth=2048)
        s.start(timeout=SLOW_RUN_TIMEOUT)
        s.finish(SLOW_RUN_TIMEOUT)
        print("[ figures  ] four 48 KiB files at 2048 B/s: one run of %.0f s, %d bytes carried"
              % (s.run.elapsed, emulator.bytes_down))
        self.expect_installed(s, emulator)
        self.assertLess(s.run.elapsed, 150, "the update took more than 150 s")

    def test_a_line_of_three_hundred_bytes_a_second_keeps_more_after_each_run(self):
        # Far under the floor: every run ends, but none in vain.
        s, emulator = self.line_scenario("trickle", [48 * KIB] * 4, bandwidth=300)
        kept = []
        for run in range(2):
            if run == 0:
                s.start(timeout=SLOW_RUN_TIMEOUT)
            else:
                s.run = s.client.start_torvane("/ForceUpdate", timeout=SLOW_RUN_TIMEOUT)
            s.run.wait(SLOW_RUN_TIMEOUT)
            kept.append(self.kept_bytes(s))
            print("[ figures  ] 300 B/s, run %d: %.0f s, %d bytes kept, %d carried so far"
                  % (run + 1, s.run.elapsed, kept[-1], emulator.bytes_down))
        self.assertGreater(kept[0], 0, "the first run kept nothing")
        self.assertGreater(kept[1], kept[0], "the second run kept no more than the first")
