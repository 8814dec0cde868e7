"""Updates by patch, under Wine: torvane-publish release --deltas makes the
patches, a local server serves them, and Torvane.exe brings a client at the
previous release to the new files byte for byte, fetching patches instead of
files wherever the client's copy is a patch's base, and the whole file
wherever the patch cannot be used (a locally edited file, a broken patch).
Unsigned with the plain build; signed with the test key's build."""

import hashlib
import os
import random
import re
import shutil
import struct

from test_publish_release import KEY, TEST_KEY_TORVANE, TOOL, publish, write_tree
from torvane_env import BIN_DIR, TorvaneTestCase, wait_until

RUN_TIMEOUT = 120


def edited(data, seed, count=12):
    rng = random.Random(seed)
    out = bytearray(data)
    for _ in range(count):
        at = rng.randrange(len(out) - 8)
        out[at:at + 8] = rng.randbytes(8)
    return bytes(out)


def base_files():
    rng = random.Random(21)
    return {name: rng.randbytes(150000) for name in ("patched.bin", "sub/also.bin", "local.bin", "broken.bin")}


OLD = base_files()
NEW = {name: edited(data, i) for i, (name, data) in enumerate(sorted(OLD.items()))}
NEW["small.txt"] = b"a file too small for a patch to pay"


class DeltaUpdateTest(TorvaneTestCase):

    def setUp(self):
        super().setUp()
        self.assertTrue(os.path.exists(TOOL), "torvane-publish not built: %s" % TOOL)

    def publish_release(self, server, *extra):
        self.served = os.path.join(self.root, "served")
        write_tree(os.path.join(self.root, "r100"), OLD)
        write_tree(os.path.join(self.root, "r200"), NEW)
        self.manifest = os.path.join(self.served, "HistoryVersionList.cfg")
        done = publish("release", "--manifest", self.manifest, "--version", "200", "--deltas",
                       "--from", os.path.join(self.root, "r100"), "--to", os.path.join(self.root, "r200"),
                       "--base-url", server.url("/"), "--out", self.served, "--from-version", "100", *extra)
        self.assertEqual(done.returncode, 0, done.stderr)

    def patch_of(self, name):
        found = [f for f in os.listdir(os.path.dirname(os.path.join(self.served, "200", name)))
                 if f.startswith(os.path.basename(name) + ".from-")]
        self.assertEqual(len(found), 1, found)
        return "200/" + os.path.dirname(name) + ("/" if "/" in name else "") + found[0]

    def update_client(self, torvane, server, local_edits=None):
        client = self.make_client()
        shutil.copy2(torvane, client.file("Torvane.exe"))
        for relative, data in OLD.items():
            client.write_file(relative, data)
        for relative, data in (local_edits or {}).items():
            client.write_file(relative, data)
        client.write_cfg(time="100", download_url="http://example.invalid/",
                         config_url=server.url("/HistoryVersionList.cfg"))
        run = client.start_torvane("/ForceUpdate", timeout=RUN_TIMEOUT)
        self.assertEqual(run.wait(RUN_TIMEOUT), 0, run.stderr[-2000:])
        self.assertIsNotNone(wait_until(client.restart_command_line, 10), "client not restarted")
        for relative, data in NEW.items():
            self.assertEqual(client.read_file(relative), data, relative)
        return client

    def test_patches_used_where_they_fit_and_the_whole_file_otherwise(self):
        server = self.start_server(root=os.path.join(self.root, "served"))
        self.publish_release(server)
        # The served patch of broken.bin is damaged and the manifest made to
        # vouch for the damaged bytes, so only applying it can tell.
        broken = os.path.join(self.served, self.patch_of("broken.bin"))
        with open(broken, "rb") as f:
            data = bytearray(f.read())
        data[len(data) // 2] ^= 0xFF
        with open(broken, "wb") as f:
            f.write(data)
        with open(self.manifest, "rb") as f:
            text = f.read().decode("latin-1")
        entry = re.search(r"FilePatchUrl(\d+_\d+)=[^\r\n]*broken\.bin\.from-", text).group(1)
        text = re.sub(r"(FilePatchSha256%s=)\w+" % entry, r"\g<1>" + hashlib.sha256(data).hexdigest(), text)
        with open(self.manifest, "wb") as f:
            f.write(text.encode("latin-1"))
        self.start_and_check(server)

    def patch_keys(self, name, values=None):
        """The four keys of name's patch entry; values (key: value) replace some first."""
        with open(self.manifest, "rb") as f:
            text = f.read().decode("latin-1")
        entry = re.search(r"FilePatchUrl(\d+_\d+)=[^\r\n]*%s\.from-" % re.escape(name), text).group(1)
        for key, value in (values or {}).items():
            text = re.sub(r"(%s%s=)[^\r\n]*" % (key, entry), lambda m: m.group(1) + value, text)
        with open(self.manifest, "wb") as f:
            f.write(text.encode("latin-1"))
        return {key: re.search(r"%s%s=([^\r\n]*)" % (key, entry), text).group(1)
                for key in ("FilePatchBase", "FilePatchUrl", "FilePatchSha256", "FilePatchSize")}

    def claim_target(self, name, target):
        """Makes name's served patch claim target bytes of output; no local edits."""
        path = os.path.join(self.served, self.patch_of(name))
        with open(path, "r+b") as f:
            data = bytearray(f.read())
            data[16:24] = struct.pack("<Q", target)
            f.seek(0)
            f.write(data)
        self.patch_keys(name, {"FilePatchSha256": hashlib.sha256(data).hexdigest()})
        return {}

    def test_a_patch_that_cannot_make_the_listed_file_gives_way_to_the_whole_file(self):
        def wrong_bytes(test):
            # A sound patch of another file: it applies, and makes other bytes.
            test.patch_keys("broken.bin", test.patch_keys("patched.bin"))
            return {"broken.bin": OLD["patched.bin"]}

        def other_base(test):
            # The manifest names the client's edited copy as the patch's base:
            # the patch applies to bytes it was not made from.
            local = edited(OLD["broken.bin"], 7)
            test.patch_keys("broken.bin", {"FilePatchBase": hashlib.sha256(local).hexdigest()})
            return {"broken.bin": local}

        rows = (("patched file digest", wrong_bytes),
                ("makes a file longer than allowed", lambda test: test.claim_target("broken.bin", 2200 << 20)),
                ("patched file digest", other_base))
        base = self.root
        for i, (reason, prepare) in enumerate(rows):
            with self.subTest(reason, row=i):
                self.root = os.path.join(base, "%d-%s" % (i, reason.replace(" ", "-")))
                os.makedirs(self.root)
                server = self.start_server(root=os.path.join(self.root, "served"))
                self.publish_release(server)
                client = self.update_client(os.path.join(BIN_DIR, "Torvane.exe"), server, prepare(self))
                self.assertLogged(client.run_log(), "patch", failed=reason)
                self.assertIn("/200/broken.bin", server.requests)
                for name in ("patched.bin", "sub/also.bin"):
                    self.assertNotIn("/200/" + name, server.requests)

    def start_and_check(self, server, torvane=None):
        self.update_client(torvane or os.path.join(BIN_DIR, "Torvane.exe"), server,
                           local_edits={"local.bin": edited(OLD["local.bin"], 99)} if torvane is None else None)
        requests = server.requests
        for name in ("patched.bin", "sub/also.bin"):
            self.assertIn("/" + self.patch_of(name), requests)
            self.assertNotIn("/200/" + name, requests)
        if torvane is None:
            # The locally edited file is no patch's base: whole file, no patch fetched.
            self.assertIn("/200/local.bin", requests)
            self.assertFalse([r for r in requests if "local.bin.from-" in r], requests)
            # The broken patch is fetched, fails, and the whole file follows.
            self.assertIn("/" + self.patch_of("broken.bin"), requests)
            self.assertIn("/200/broken.bin", requests)
        self.assertIn("/200/small.txt", requests)

    def test_signed_manifest_with_patches_updates_by_patch(self):
        if not os.path.exists(TEST_KEY_TORVANE):
            self.skipTest("no Torvane.exe with a built-in manifest key")
        server = self.start_server(root=os.path.join(self.root, "served"))
        self.publish_release(server, "--key", KEY)
        self.assertTrue(os.path.exists(self.manifest + ".sig"))
        self.start_and_check(server, TEST_KEY_TORVANE)
        self.assertIn("/HistoryVersionList.cfg.sig", server.requests)
