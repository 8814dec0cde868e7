"""Runs that are stopped midway, and a run in a folder that code page 936 would
misread. Whatever stops the updater (a WM_QUIT from another program, a cancel
while the client's download centre answers nothing), it stops its worker,
puts the client's files back and only then removes its work folders.
"""

import time
import unittest

from test_update_install import WORK_FILES, Scenario
from torvane_env import (TorvaneTestCase, ansi_1252_env, post_message, wait_until, WM_QUIT)

WM_CLOSE = 0x10
# A stopped run has nothing left to wait for: a few seconds on a busy machine.
STOP_SECONDS = 8


class ShutdownTest(TorvaneTestCase):

    def dialog_of(self, scenario):
        window = wait_until(scenario.client.dialog_window, 30)
        self.assertIsNotNone(window, "%s: no dialog" % scenario.name)
        return window

    def stop(self, scenario, message):
        """Posts message to the run's dialog; the moment it was posted."""
        hwnd = self.dialog_of(scenario).hwnd
        posted_at = time.monotonic()
        self.assertTrue(post_message(hwnd, message))
        return posted_at

    def expect_restored(self, scenario, files, stopped_at):
        """The run ended by itself soon after being stopped, with every client
        file as it was, Upgrade.cfg kept and no work file left."""
        code = scenario.run.wait(STOP_SECONDS)
        self.assertEqual(code, 0, scenario.name)
        print("%s: ended %.2f s after being stopped" % (scenario.name, scenario.run.ended_at - stopped_at))
        for relative, data in files.items():
            self.assertEqual(scenario.client.read_file(relative), data, "%s: %s" % (scenario.name, relative))
        self.assertEqual(scenario.client.read_file("Upgrade.cfg"), scenario.cfg, scenario.name)
        for name in WORK_FILES[1:]:
            self.assertFalse(scenario.client.exists(name), "%s: %s left" % (scenario.name, name))
        self.assertIsNone(scenario.client.restart_command_line(), scenario.name)

    def test_quit_mid_install_restores_and_a_1252_folder_with_a_space_updates(self):
        server = self.start_server()
        # A WM_QUIT from another program while the second file is still arriving.
        stopped = Scenario(self, server, "quit", installed=400)
        old = {"a.dll": b"old a", "b.dll": b"old b"}
        for relative, data in old.items():
            stopped.client.write_file(relative, data)
        stopped.offer(500, "\\a.dll", b"new a")
        stalled = stopped.offer(500, "\\b.dll", b"new b")
        server.script(stalled, hold=1)

        # On code page 1252 'é' is a whole letter, not the lead byte of a pair
        # that swallows the backslash after it; the space needs the quotes.
        cafe = Scenario(self, server, "cafe", installed=400, folder="Jeux Café")
        cafe.offer(500, "\\a.dll", b"new a")

        stopped.start()
        cafe.start(env=ansi_1252_env())
        # b.dll may be asked for while a.dll is still being installed.
        installed = lambda: stalled in server.requests and stopped.client.read_file("a.dll") == b"new a"
        self.assertIsNotNone(wait_until(installed, 30), "b.dll never asked for, or a.dll not installed")
        self.expect_restored(stopped, old, self.stop(stopped, WM_QUIT))

        cafe.finish()
        cafe.expect_success()
        self.assertEqual(cafe.client.read_file("a.dll"), b"new a")

    def test_cancel_while_the_download_centre_answers_nothing(self):
        server = self.start_server()
        centre = Scenario(self, server, "centre", installed=400)
        old = {"a.dll": b"old a"}
        centre.client.write_file("a.dll", old["a.dll"])
        centre.offer(500, "\\a.dll", b"new a")
        hung = centre.client.start_client("--window=1", "--hang=1", "--max_ms=100000")
        centre.start()
        # The worker asks the centre to quit, which it never does.
        ignored = lambda: "quit-ignored" in centre.client.client_log()
        self.assertIsNotNone(wait_until(ignored, 30), "no WM_QUIT reached the centre")
        self.expect_restored(centre, old, self.stop(centre, WM_CLOSE))
        self.assertEqual(centre.file_requests(), [])
        self.assertIsNone(hung.poll(), "the hung centre was expected to outlive the run")
        hung.kill()


if __name__ == "__main__":
    unittest.main()
