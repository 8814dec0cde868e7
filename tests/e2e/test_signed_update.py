"""Signed manifests under Wine: Torvane.exe built with the test key
tests/fixtures/signing/test_key_a.pub.pem (fixtures/test-key/Torvane.exe)
against manifests signed with openssl, and the plain Torvane.exe, built
without keys, against unsigned manifests. The runs go side by side, each in
its own client folder under its own URL prefix.
"""

import os
import shutil

from torvane_env import FIXTURE_DIR, SOURCE_DIR, TorvaneTestCase
from test_update_install import WORK_FILES, Scenario, manifest_text
import manifest_signing  # tests/fixtures, on the path through torvane_env

TEST_KEY_TORVANE = os.path.join(FIXTURE_DIR, "test-key", "Torvane.exe")
KEY_A = os.path.join(SOURCE_DIR, "tests", "fixtures", "signing", "test_key_a.pem")  # built in
KEY_B = os.path.join(SOURCE_DIR, "tests", "fixtures", "signing", "test_key_b.pem")  # not built in
SIGNATURE = "HistoryVersionList.cfg.sig"


class SignedScenario(Scenario):
    """A scenario whose manifest is served with list.cfg.sig, made by sign from
    the manifest's bytes (None: no signature file, the server answers 404)."""

    def __init__(self, test, server, name, sign, keyed=True):
        super().__init__(test, server, name, installed=400)
        if keyed:
            shutil.copy2(TEST_KEY_TORVANE, self.client.file("Torvane.exe"))
        self.sign = sign
        self.stamp = {"serial": 1, "valid_for": 3600}  # None: no Expires or Serial
        self.stamped = None
        self.client.write_file("a.dll", b"old a")

    def manifest(self):
        # One stamp per start: its Expires counts from the clock, so a second
        # call could sign other bytes than those served.
        if self.stamped is None:
            manifest = manifest_text(self.versions, self.sections)
            self.stamped = manifest if self.stamp is None else manifest_signing.stamped(manifest, **self.stamp)
        return self.stamped

    def start(self):
        self.stamped = None
        if self.sign is not None:
            self.server.add_file("/%s/list.cfg.sig" % self.name, self.sign(self.manifest()))
        super().start()

    def expect_refused(self, files_fetched=0):
        """The run failed and changed nothing: a.dll is old, Upgrade.cfg kept,
        no work file (signature included) left, the client not restarted."""
        fetched = [r for r in self.requests() if r.split("?")[0] not in ("/list.cfg", "/list.cfg.sig")]
        self.test.assertEqual(len(fetched), files_fetched, "%s: %r" % (self.name, self.requests()))
        self.test.assertEqual(self.client.read_file("a.dll"), b"old a", self.name)
        self.test.assertEqual(self.client.read_file("Upgrade.cfg"), self.cfg, self.name)
        for name in WORK_FILES[1:] + (SIGNATURE,):
            self.test.assertFalse(self.client.exists(name), "%s: %s left" % (self.name, name))
        self.test.assertIsNone(self.client.restart_command_line(), self.name)


def signed_by(*keys):
    return lambda manifest: manifest_signing.signature_file(manifest, list(keys))


class SignedUpdateTest(TorvaneTestCase):

    def test_signed_updates_install_and_tampering_changes_nothing(self):
        server = self.start_server()
        cases = {}

        def scenario(name, sign, keyed=True, sha256="auto", data=b"new a", served=None):
            s = SignedScenario(self, server, name, sign, keyed)
            route = s.offer(500, "\\a.dll", data, digest=None, sha256=sha256)
            if served is not None:
                server.add_file(route, served)
            cases[name] = s
            return s

        scenario("signed", signed_by(KEY_A))
        scenario("rotated", signed_by(KEY_B, KEY_A))  # old key first, only the second built in
        scenario("tampered_manifest", lambda m: signed_by(KEY_A)(m.replace(b"v500", b"v501")))
        scenario("tampered_file", signed_by(KEY_A), served=b"evil a")
        scenario("unknown_key", signed_by(KEY_B))
        scenario("no_signature", None)
        scenario("oversized", lambda m: signed_by(KEY_A)(m) + b";" + b"x" * 5120 + b"\r\n")
        scenario("no_sha256", signed_by(KEY_A), sha256=None)
        scenario("unsigned_without_keys", None, keyed=False).stamp = None
        scenario("unstamped", signed_by(KEY_A)).stamp = None
        scenario("expired", signed_by(KEY_A)).stamp = {"serial": 9, "valid_for": -60}
        scenario("unsigned_wrong_sha256", None, keyed=False, served=b"evil a")
        # A serial state file that exists but cannot be read never counts as
        # nothing accepted: the run is refused before any file.
        scenario("damaged_serial_state", signed_by(KEY_A)).client.write_file("ManifestSerial.dat", b"7\n")
        os.makedirs(scenario("serial_state_folder", signed_by(KEY_A)).client.file("ManifestSerial.dat"))

        for s in cases.values():
            s.start()
        for s in cases.values():
            s.finish()

        for name in ("signed", "rotated", "unsigned_without_keys"):
            s = cases[name]
            s.expect_success()
            self.assertEqual(s.client.read_file("a.dll"), b"new a", name)
            self.assertFalse(s.client.exists(SIGNATURE), name)
        self.assertEqual(cases["signed"].requests(), ["/list.cfg", "/list.cfg.sig", "/files/v500/a.dll"])
        self.assertEqual(cases["unsigned_without_keys"].requests(), ["/list.cfg", "/files/v500/a.dll"])

        for name in ("tampered_manifest", "unknown_key", "oversized", "no_sha256", "unstamped", "expired",
                     "damaged_serial_state", "serial_state_folder"):
            cases[name].expect_refused()
        # A pair that does not verify is asked for once more, past caches.
        for name in ("tampered_manifest", "unknown_key"):
            self.assertEqual([r.split("?")[0] for r in cases[name].requests()], ["/list.cfg", "/list.cfg.sig"] * 2)
        # A missing signature is a failed download: three attempts.
        self.assertEqual(cases["no_signature"].requests(), ["/list.cfg"] + ["/list.cfg.sig"] * 3)
        cases["no_signature"].expect_refused()
        # A file that does not match its SHA-256 is fetched, refused and rolled back.
        cases["tampered_file"].expect_refused(files_fetched=1)
        cases["unsigned_wrong_sha256"].expect_refused(files_fetched=1)

        # What the run log tells of each refusal.
        logged = {
            "signed": ("signature", {"keys": 1, "verified": "yes"}),
            "tampered_manifest": ("signature", {"failed": "does not verify with a built-in key"}),
            "unknown_key": ("signature", {"failed": "does not verify with a built-in key"}),
            "no_signature": ("signature", {"failed": "not fetched"}),
            "no_sha256": ("update_check", {"failed": "a file has no SHA-256"}),
            "tampered_file": ("file", {"path": "\\a.dll", "sha256": "mismatch", "failed": "digest"}),
            "unsigned_without_keys": ("start", {"manifest_keys": 0}),
            "damaged_serial_state": ("freshness", {"failed": "serial state file unreadable"}),
            "serial_state_folder": ("freshness", {"failed": "serial state file unreadable"}),
        }
        for name, (event, fields) in logged.items():
            with self.subTest(name):
                self.assertLogged(cases[name].client.run_log(), event, **fields)

    def test_a_keyed_client_never_goes_back_to_an_older_serial(self):
        server = self.start_server()
        s = SignedScenario(self, server, "serials", signed_by(KEY_A))
        state = "ManifestSerial.dat"
        # (serial, data offered, bytes served instead, whether the update completes, state file after)
        steps = [
            (5, b"a5", None, True, b"5\r\n"),
            (7, b"a7", b"evil", False, b"5\r\n"),   # a failed run keeps the serial it had
            (4, b"a4", None, False, b"5\r\n"),      # an older manifest is refused before any file
            (5, b"a5 again", None, True, b"5\r\n"),  # the same serial again is taken
            (6, b"a6", None, True, b"6\r\n"),
        ]
        before = b"old a"
        for step, (serial, data, served, completes, kept) in enumerate(steps):
            s.sections = {v: [] for v in s.versions[1:]}
            # A URL of its own each time, so that no cached body can stand in.
            route = s.offer(500, "\\a.dll", data, digest=None, sha256="auto", tail="files/%d/a.dll" % step)
            if served is not None:
                server.add_file(route, served)
            s.stamp = {"serial": serial, "valid_for": 3600}
            seen = len(s.requests())
            s.start()
            s.finish()
            self.assertEqual(s.client.read_file("a.dll"), data if completes else before,
                             (serial, s.requests()[seen:], s.client.run_log()[-12:]))
            self.assertEqual(s.client.exists("Upgrade.cfg"), not completes, serial)
            self.assertEqual(s.client.read_file(state), kept, serial)
            if serial == 4:
                # Refused before any file, after one fetch of the pair past caches.
                self.assertRegex(" ".join(s.requests()[seen:]),
                                 r"^/list\.cfg /list\.cfg\.sig /list\.cfg\?nocache=(\w+) /list\.cfg\.sig\?nocache=\1$")
            before = s.client.read_file("a.dll")

    def test_without_bcrypt_the_updater_starts_and_refuses_only_what_needs_it(self):
        # Wine's loader reads the overrides of each process it starts: "d"
        # disables bcrypt.dll for the runs below, as on a system without it.
        overrides = os.environ.get("WINEDLLOVERRIDES", "")
        self.addCleanup(os.environ.__setitem__, "WINEDLLOVERRIDES", overrides)
        os.environ["WINEDLLOVERRIDES"] = ";".join(filter(None, [overrides, "bcrypt=d"]))
        server = self.start_server()
        plain = SignedScenario(self, server, "plain", None, keyed=False)
        plain.offer(500, "\\a.dll", b"new a")
        signed = SignedScenario(self, server, "signed", signed_by(KEY_A))
        signed.offer(500, "\\a.dll", b"new a", digest=None, sha256="auto")
        for s in (plain, signed):
            s.start()
        for s in (plain, signed):
            s.finish()
        plain.expect_success()
        self.assertEqual(plain.client.read_file("a.dll"), b"new a")
        signed.expect_refused()
