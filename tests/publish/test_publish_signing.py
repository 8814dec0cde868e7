"""torvane-publish signing manifests: key changes, expiry and serials, signatures
exchanged with the openssl command, a signed pair that survives a kill at any
rename, and the signing options at their edges."""

import os
import shutil
import subprocess
import threading
import time
import unittest

# publish_case puts tests/fixtures on the path for the two imports after it.
from publish_case import (TOOL, PublishCase, SignedReleaseCase, der_signature, killed_at_rename, openssl, read,
                          readable_manifest, run, write)
import manifest_signing  # noqa: E402
from http_server import ScriptedHttpServer  # noqa: E402


class KeyChangeTest(SignedReleaseCase):
    def test_a_key_change_keeps_every_key_until_one_is_dropped_by_name(self):
        m = self.path("M.cfg")
        # (name, command, exit code, words on stderr, keys that verify afterwards)
        cases = [
            ("release with only the new key", lambda: self.release(300, *self.key("b")), 1, self.ids["a"], ["a"]),
            ("sign with only the new key", lambda: run("sign", m, *self.key("b")), 1, self.ids["a"], ["a"]),
            ("release with both keys", lambda: self.release(300, *self.key("a"), *self.key("b")), 0, "", ["a", "b"]),
            ("sign --add keeps the others", lambda: run("sign", m, self.path("c.pem"), "--add"), 0, "", ["a", "b", "c"]),
            ("release dropping the old key", lambda: self.release(400, *self.key("b"), *self.key("c"), "--drop-key",
                                                                  self.ids["a"]), 0, "is removed", ["b", "c"]),
            ("sign without the key just added", lambda: run("sign", m, *self.key("b")), 1, self.ids["c"], ["b", "c"]),
            ("sign with both, one named first", lambda: run("sign", m, self.path("c.pem"), *self.key("b")), 0, "", ["b", "c"]),
        ]
        for name, command, code, words, verifies in cases:
            before = self.state()
            done = command()
            self.assertEqual(done.returncode, code, (name, done.stderr))
            self.assertIn(words, done.stderr, name)
            if code != 0:
                self.assertEqual(self.state(), before, name)
            self.assertEqual(self.verifying(), verifies, name)
        lint = run("lint", m, "--pub", self.path("b.pub"), "--pub", self.path("c.pub"))
        self.assertEqual(lint.returncode, 0, lint.stdout)
        self.assertEqual(run("lint", m, "--pub", self.path("a.pub")).returncode, 1)


class ExpiryTest(SignedReleaseCase):
    def test_every_signing_sets_the_expiry_and_a_higher_serial(self):
        m = self.path("M.cfg")
        day = 86400
        # (name, command, exit code, serial afterwards, days until expiry afterwards, words on stdout of lint)
        cases = [
            ("first release", None, 0, "1", 90, None),
            ("short expiry", lambda: run("sign", m, *self.key("a"), "--expires", "5d"), 0, "2", 5, "warning: [Root] Expires"),
            ("renew an unchanged manifest", lambda: run("sign", m, *self.key("a"), "--renew"), 0, "3", 90, None),
            ("next release", lambda: self.release(300, *self.key("a"), "--expires", "2w"), 0, "4", 14, None),
            ("not a duration", lambda: run("sign", m, *self.key("a"), "--expires", "soon"), 2, "4", 14, None),
        ]
        for name, command, code, serial, days, warning in cases:
            if command:
                done = command()
                self.assertEqual(done.returncode, code, (name, done.stderr))
            self.assertEqual(self.root_value("Serial"), serial, name)
            expires = time.mktime(time.strptime(self.root_value("Expires"), "%Y-%m-%dT%H:%M:%SZ")) - time.timezone
            self.assertLess(abs(expires - time.time() - days * day), 600, name)
            lint = run("lint", m)
            self.assertEqual(lint.returncode, 0, (name, lint.stdout))
            if warning:
                self.assertIn(warning, lint.stdout, name)
        self.assertEqual(self.verifying(), ["a"])

    def test_nothing_is_signed_or_passed_that_a_keyed_client_refuses(self):
        m, sig = self.path("M.cfg"), self.path("M.cfg.sig")
        good = read(m)
        expired = manifest_signing.stamped(readable_manifest(), serial=9, valid_for=-60)
        no_sha = good.replace(b"FileSha2560=", b"Sha=")
        # (name, manifest, signed with openssl by key a first, command, words in the output)
        cases = [
            ("sign garbage", b"garbage\r\n", False, ["sign", m, *self.key("a")], "CurrentVersionTime"),
            ("sign a file without SHA-256", no_sha, False, ["sign", m, *self.key("a")], "FileSha2560"),
            ("add to an unstamped manifest", readable_manifest().replace(b"Serial=", b"X="), False,
             ["sign", m, *self.key("a"), "--add"], "Serial"),
            ("verify an expired manifest", expired, True, ["verify", m, self.path("a.pub")], "Expires: passed"),
            ("lint an expired manifest", expired, True, ["lint", m], "Expires: passed"),
            ("renew a changed manifest", good + b";\r\n", False, ["sign", m, *self.key("a"), "--renew"], "--renew"),
            ("lint with a key that did not sign", good, True, ["lint", m, "--pub", self.path("b.pub")], "does not verify"),
        ]
        for name, manifest, signed, command, words in cases:
            write(m, manifest)
            if signed:
                write(sig, manifest_signing.signature_file(manifest, [self.path("a.pem")]))
            before = self.state()
            done = run(*command)
            self.assertEqual(done.returncode, 1, (name, done.stdout, done.stderr))
            self.assertIn(words, done.stdout + done.stderr, name)
            self.assertEqual(self.state(), before, name)


class SignatureInteropTest(PublishCase):
    def test_signatures_made_by_openssl_verify_and_ours_verify_with_openssl(self):
        write(self.path("M.cfg"), readable_manifest())
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", self.path("ossl.pem"))
        openssl("ec", "-in", self.path("ossl.pem"), "-pubout", "-out", self.path("ossl.pub"))
        self.assertEqual(run("keygen", self.path("ours.pem"), self.path("ours.pub")).returncode, 0)
        self.assertEqual(os.stat(self.path("ours.pem")).st_mode & 0o777, 0o600)
        self.assertEqual(run("keygen", self.path("x.pem"), self.path("x.pub")).returncode, 0)

        # openssl signs; the tool verifies.
        write(self.path("M.cfg.sig"), manifest_signing.signature_file(read(self.path("M.cfg")), [self.path("ossl.pem")]))
        self.assertEqual(run("verify", self.path("M.cfg"), self.path("ossl.pub")).returncode, 0)
        self.assertEqual(run("verify", self.path("M.cfg"), self.path("ours.pub")).returncode, 1)

        # The tool adds its own signature beside it; openssl verifies ours.
        done = run("sign", self.path("M.cfg"), self.path("ours.pem"), "--add")
        self.assertEqual(done.returncode, 0, done.stderr)
        sig = read(self.path("M.cfg.sig")).decode()
        self.assertIn("[Signature1]", sig)
        value = [line[6:] for line in sig.splitlines() if line.startswith("Value=")][1]
        self.assertIn("KeyId=" + manifest_signing.key_id(self.path("ours.pem")), sig)
        write(self.path("ours.der"), der_signature(bytes.fromhex(value)))
        openssl("dgst", "-sha256", "-verify", self.path("ours.pub"), "-signature", self.path("ours.der"),
                self.path("M.cfg"))

        for keys, code in ((["ossl.pub"], 0), (["ours.pub"], 0), (["x.pub"], 1), (["x.pub", "ours.pub"], 0)):
            self.assertEqual(run("verify", self.path("M.cfg"), *[self.path(k) for k in keys]).returncode, code, keys)
        # One changed byte of the manifest: no key verifies.
        write(self.path("M.cfg"), readable_manifest(serial=2))
        self.assertEqual(run("verify", self.path("M.cfg"), self.path("ossl.pub"), self.path("ours.pub")).returncode, 1)
        # Without --add the others' signatures go only when dropped by name, and the tool says so.
        refused = run("sign", self.path("M.cfg"), self.path("x.pem"))
        self.assertEqual(refused.returncode, 1)
        self.assertIn(manifest_signing.key_id(self.path("ossl.pem")), refused.stderr)
        done = run("sign", self.path("M.cfg"), self.path("x.pem"), "--drop-key", manifest_signing.key_id(self.path("ossl.pem")),
                   "--drop-key", manifest_signing.key_id(self.path("ours.pem")))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("signature by key %s is removed" % manifest_signing.key_id(self.path("ours.pem")), done.stderr)
        self.assertNotIn("[Signature1]", read(self.path("M.cfg.sig")).decode())


class LivePairTest(SignedReleaseCase):
    def test_a_kill_or_failure_at_any_rename_leaves_a_pair_that_verifies(self):
        m = self.path("M.cfg")
        # (action at the n-th rename, command); n runs up from 1 until the command ends untouched
        commands = [("sign", lambda wrapper: run("sign", m, *self.key("a"), wrapper=wrapper)),
                    ("release", lambda wrapper: run("release", "--manifest", m, "--version", 300 + self.n,
                                                    "--from", self.previous, "--to", self.path("v200"),
                                                    "--base-url", "http://h/", "--out", self.path("served"),
                                                    *self.key("a"), "--expires", "3d", wrapper=wrapper))]
        write(self.path("v200", "a.txt"), "200")
        self.n = 0
        for action in ("signal=KILL", "error=EACCES"):
            for name, command in commands:
                for n in range(1, 10):
                    self.n += 1
                    done = command(killed_at_rename(n, action))
                    self.assertEqual(self.verifying(), ["a"], (name, action, n, done.stderr))
                    if done.returncode == 0:
                        break
                    self.assertNotEqual(done.returncode, 0, (name, action, n))
                else:
                    self.fail("%s never ended" % name)
        run("sign", m, *self.key("a"), wrapper=killed_at_rename(2))
        self.assertTrue([f for f in os.listdir(self.root) if ".tmp-" in f])  # the kill left the new manifest
        done = run("sign", m, *self.key("a"))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual([f for f in os.listdir(self.root) if ".tmp-" in f], [])
        self.assertIn("removed", done.stderr)

    def test_releases_started_together_wait_for_each_other_and_both_land(self):
        import fcntl
        lock = open(self.path("M.cfg.lock"), "w")
        self.addCleanup(lock.close)
        fcntl.flock(lock, fcntl.LOCK_EX)
        started = []
        for version in (300, 400):
            folder = self.path("v%d" % version)
            write(os.path.join(folder, "a.txt"), str(version))
            started.append(subprocess.Popen(
                [TOOL, "release", "--manifest", self.path("M.cfg"), "--version", str(version), "--from",
                 self.previous, "--to", folder, "--base-url", "http://h/", "--out", self.path("served"),
                 *self.key("a")], stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True))
        for process in started:
            self.addCleanup(process.kill)
            watchdog = threading.Timer(120, process.kill)  # a silent, hung run still ends the read below
            watchdog.start()
            self.addCleanup(watchdog.cancel)
            # Each says that it waits before it writes anything.
            line = process.stderr.readline()
            self.assertIn("waiting", line)
        self.assertNotIn(b"[300]", read(self.path("M.cfg")))
        fcntl.flock(lock, fcntl.LOCK_UN)
        for process in started:
            _, err = process.communicate(timeout=120)
            self.assertEqual(process.returncode, 0, err)
        text = read(self.path("M.cfg"))
        self.assertIn(b"[300]", text)
        self.assertIn(b"[400]", text)
        self.assertEqual(self.verifying(), ["a"])


class OptionTest(SignedReleaseCase):
    def test_option_values_at_their_edges(self):
        m = self.path("M.cfg")
        # (name, command, exit code, words in the output, Serial afterwards)
        cases = [
            ("minutes are no unit", ["sign", m, *self.key("a"), "--expires", "6m"], 2, "hours, days or weeks", "1"),
            ("a bare number", ["sign", m, *self.key("a"), "--expires", "30"], 2, "hours, days or weeks", "1"),
            ("under a day", ["sign", m, *self.key("a"), "--expires", "23h"], 2, "under a day", "1"),
            ("a day", ["sign", m, *self.key("a"), "--expires", "24h"], 0, "", "2"),
            ("two years", ["sign", m, *self.key("a"), "--expires", "730d"], 0, "", "3"),
            ("over two years", ["sign", m, *self.key("a"), "--expires", "400000w"], 2, "over two years", "3"),
            ("over two years, forced", ["sign", m, *self.key("a"), "--expires", "731d", "--force"], 0, "", "4"),
            ("a serial below", ["sign", m, *self.key("a"), "--serial", "3"], 1, "above the manifest's Serial 4", "4"),
            ("a serial above", ["sign", m, *self.key("a"), "--serial", "90"], 0, "", "90"),
            ("a missing passphrase file", ["sign", m, *self.key("a"), "--pass", "file:/missing"], 2, "cannot read", "90"),
            ("an unreadable serial", ["sign", m, *self.key("a")], 1, "Serial=junk cannot be read", None),
            ("an unreadable serial, set", ["sign", m, *self.key("a"), "--serial", "91"], 0, "", "91"),
            ("a report URL", ["sign", m, *self.key("a"), "--report-url", "https://h/report"], 0, "", "92"),
            ("not a report URL", ["sign", m, *self.key("a"), "--report-url", "ftp://h/report"], 2, "http://", "92"),
        ]
        for name, command, code, words, serial in cases:
            if serial is None:
                write(m, read(m).replace(b"Serial=90", b"Serial=junk"))
            done = run(*command)
            self.assertEqual(done.returncode, code, (name, done.stderr))
            self.assertIn(words, done.stdout + done.stderr, name)
            if serial is not None:
                self.assertEqual(self.root_value("Serial"), serial, name)
        done = run("release", "--manifest", m, "--version", "500", "--from", self.path("missing"), "--to",
                   self.previous, "--base-url", "http://h/", "--out", self.path("served"))
        self.assertEqual(done.returncode, 2, done.stderr)
        done = run("keyid", self.path("b.pub"))
        self.assertEqual((done.returncode, done.stdout), (0, self.ids["b"] + "\n"))
        # The report URL stays through a release that does not name one, and changes with one that does.
        for extra, url in (((), "https://h/report"), (("--report-url", "http://h/r2"), "http://h/r2")):
            self.assertEqual(self.release(600 + len(extra), *self.key("a"), *extra).returncode, 0)
            self.assertEqual(self.root_value("ReportUrl"), url)

    def test_lint_url_compares_the_served_serial_with_the_local_one(self):
        server = ScriptedHttpServer(root=self.path("served")).start()
        self.addCleanup(server.stop)
        shutil.copy(self.path("M.cfg"), self.path("served", "M.cfg"))
        self.assertEqual(run("sign", self.path("M.cfg"), *self.key("a")).returncode, 0)
        # (what the served folder holds, words of the error)
        cases = [(read(self.path("served", "M.cfg")), "(served Serial 1, local 2): upload the local"),
                 (read(self.path("M.cfg")).replace(b"Serial=2", b"Serial=7"), "refuse one with a lower Serial")]
        for served, words in cases:
            write(self.path("served", "M.cfg"), served)
            done = run("lint", self.path("M.cfg"), "--url", server.url("/M.cfg"))
            self.assertEqual(done.returncode, 1, done.stdout)
            self.assertIn(words, done.stdout)
        # Equal bytes are compared too, and the serials shown.
        shutil.copy(self.path("M.cfg"), self.path("served", "M.cfg"))
        done = run("lint", self.path("M.cfg"), "--url", server.url("/M.cfg"))
        self.assertIn("(served Serial 2, local 2)", done.stdout)

    def test_quiet_lint_still_prints_its_findings(self):
        write(self.path("M.cfg"), read(self.path("M.cfg")).replace(b"FileSha2560=", b"Sha=") + b";\r\n")
        done = run("lint", self.path("M.cfg"), "-q")
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stdout, "")
        self.assertIn("error: [200] FileSha2560", done.stderr)


if __name__ == "__main__":
    unittest.main()
