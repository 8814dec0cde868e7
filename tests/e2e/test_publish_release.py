"""The publisher's tool and the updater together, under Wine: torvane-publish
builds two signed releases from release folders, a local server serves what
it wrote, and Torvane.exe built with the test key brings clients of either
older release to the newest folder's files, byte for byte.

The tool is the native build's (MIRELO_BIN_DIR/../../native, or
TORVANE_PUBLISH); the updater is fixtures/test-key/Torvane.exe.
"""

import os
import shutil
import subprocess

from torvane_env import BIN_DIR, FIXTURE_DIR, SOURCE_DIR, TorvaneTestCase, wait_until

TOOL = os.environ.get("TORVANE_PUBLISH", os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(BIN_DIR))), "native", "tools", "publish", "torvane-publish"))
TEST_KEY_TORVANE = os.path.join(FIXTURE_DIR, "test-key", "Torvane.exe")
KEY = os.path.join(SOURCE_DIR, "tests", "fixtures", "signing", "test_key_a.pem")  # built into TEST_KEY_TORVANE
RUN_TIMEOUT = 120

# Three release folders; 200 and 300 are published on top of 100.
RELEASES = {
    100: {"a.dll": b"a of 100", "same.txt": b"never changes", "sub/dir/b.bin": b"b of 100"},
    200: {"a.dll": b"a of 200", "same.txt": b"never changes", "sub/dir/b.bin": b"b of 100",
          "新建文件夹/说明.txt": "二〇〇版".encode("gbk"), "new.dll": b"new in 200"},
    300: {"a.dll": b"a of 300", "same.txt": b"never changes", "sub/dir/b.bin": b"b of 300",
          "新建文件夹/说明.txt": "二〇〇版".encode("gbk"), "new.dll": b"new in 200", "extra/x.ocx": b"x"},
}


def write_tree(root, files):
    for relative, data in files.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def publish(*args):
    done = subprocess.run([TOOL] + list(args), capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    return done


class PublishedReleaseTest(TorvaneTestCase):

    def setUp(self):
        super().setUp()
        if not os.path.exists(TEST_KEY_TORVANE):
            self.skipTest("no Torvane.exe with a built-in manifest key")
        self.assertTrue(os.path.exists(TOOL), "torvane-publish not built: %s" % TOOL)

    def test_clients_of_older_releases_update_to_the_newest_published_files(self):
        server = self.start_server(root=os.path.join(self.root, "served"))
        manifest = os.path.join(self.root, "served", "HistoryVersionList.cfg")
        for version, files in RELEASES.items():
            write_tree(os.path.join(self.root, "r%d" % version), files)
        for old, new in ((100, 200), (200, 300)):
            done = publish("release", "--manifest", manifest, "--version", str(new),
                           "--from", os.path.join(self.root, "r%d" % old), "--to", os.path.join(self.root, "r%d" % new),
                           "--base-url", server.url("/"), "--out", os.path.join(self.root, "served"),
                           "--from-version", str(old), "--key", KEY)
            self.assertEqual(done.returncode, 0, done.stderr)
        lint = publish("lint", manifest, "--fetch")
        self.assertEqual(lint.returncode, 0, lint.stdout)

        clients = {}
        for installed in (100, 200):
            client = self.make_client("at%d" % installed)
            shutil.copy2(TEST_KEY_TORVANE, client.file("Torvane.exe"))
            for relative, data in RELEASES[installed].items():
                client.write_file(relative, data)
            client.write_cfg(time=str(installed), download_url="http://example.invalid/",
                             config_url=server.url("/HistoryVersionList.cfg"))
            clients[installed] = (client, client.start_torvane("/ForceUpdate", timeout=RUN_TIMEOUT))

        for installed, (client, run) in clients.items():
            self.assertEqual(run.wait(RUN_TIMEOUT), 0, run.stderr[-2000:])
            self.assertIsNotNone(wait_until(client.restart_command_line, 10), "client at %d not restarted" % installed)
            self.assertFalse(client.exists("Upgrade.cfg"), installed)
            for relative, data in RELEASES[300].items():
                self.assertEqual(client.read_file(relative), data, "%s of the client at %d" % (relative, installed))
        self.assertIn("/HistoryVersionList.cfg.sig", server.requests)
        # Unchanged files are never published, so never fetched.
        self.assertFalse([r for r in server.requests if r.endswith("same.txt")], server.requests)
