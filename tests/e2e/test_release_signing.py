"""scripts/release.sh with a throw-away CA made here: the pair it signs
verifies, its signatures removed give the reproducible bytes, a changed byte
or another CA fails, bad signing input is refused, the published programs
carry no debug data while the debug files kept beside them read a crash
address, and the signed updater still runs a whole update under Wine.

The two build trees are this build (MIRELO_BIN_DIR's parent) and the one the
reproducible_build test made beside it.
"""

import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from torvane_env import BIN_DIR, SOURCE_DIR, SOURCE_VERSION, TorvaneTestCase, WineProcess
from test_update_install import Scenario

RELEASE = os.path.join(SOURCE_DIR, "scripts", "release.sh")
PE_CHECKSUM = os.path.join(SOURCE_DIR, "cmake", "pe_checksum.py")
BUILDS = [os.path.dirname(BIN_DIR), os.path.dirname(BIN_DIR) + "-repro"]
PROGRAMS = ("Torvane.exe", "Quillet.exe")
PASSPHRASE = "throw-away passphrase"
SIGNER = "/O=Mirelo Test/CN=Mirelo Test Publisher"
LIMIT = 900     # seconds for release.sh (it may build the second tree)
MINGW = "x86_64-w64-mingw32-"


def run(args, cwd=None, env=None, timeout=120):
    return subprocess.run(args, cwd=cwd, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def pe_contents(path):
    """(section names, whether a symbol table is there) as binutils reads a PE."""
    names = re.findall(r"^\s*\d+ (\S+)", run([MINGW + "objdump", "-h", path]).stdout.decode(), re.M)
    return names, "HAS_SYMS" in run([MINGW + "objdump", "-f", path]).stdout.decode()


def make_keys(folder):
    """Two CAs (ca, other) and a code-signing certificate of ca, its key under
    PASSPHRASE, in PEM and PKCS#12."""
    env = dict(os.environ, PW=PASSPHRASE)

    def openssl(*args):
        done = run(["openssl"] + list(args), cwd=folder, env=env)
        if done.returncode != 0:
            raise AssertionError("openssl %s: %s" % (args[0], done.stderr.decode()))

    for ca in ("ca", "other"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca + ".key", "-out", ca + ".pem",
                "-days", "2", "-subj", "/CN=Throw-away %s" % ca,
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    with open(os.path.join(folder, "signer.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    openssl("req", "-newkey", "rsa:2048", "-keyout", "signer.key", "-passout", "env:PW", "-out", "signer.csr",
            "-subj", SIGNER)
    openssl("x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-days", "2", "-extfile", "signer.ext", "-out", "signer.pem")
    openssl("pkcs12", "-export", "-inkey", "signer.key", "-passin", "env:PW", "-in", "signer.pem",
            "-out", "signer.p12", "-passout", "env:PW")
    with open(os.path.join(folder, "pass.txt"), "w") as f:
        f.write(PASSPHRASE + "\n")


class ReleaseTest(TorvaneTestCase):

    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.mkdtemp(prefix="release-keys-")
        make_keys(cls.keys)
        cls.out, cls.done = cls.release("--cert", cls.key("signer.pem"), "--key", cls.key("signer.key"),
                                        "--pass", "env:RELEASE_TEST_PASS")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)

    @classmethod
    def key(cls, name):
        return os.path.join(cls.keys, name)

    @classmethod
    def release(cls, *args, ca="ca.pem", out=None):
        """Runs release.sh with args into out, or a fresh folder: (folder, its run)."""
        out = out or tempfile.mkdtemp(prefix="release-out-", dir=cls.keys)
        env = dict(os.environ, RELEASE_TEST_PASS=PASSPHRASE)
        with_ca = ["--ca", cls.key(ca)] if ca else []
        done = run(["bash", RELEASE, "--builds"] + BUILDS + ["--out", out] + with_ca + list(args),
                   env=env, timeout=LIMIT)
        return out, done

    def verify(self, path, ca="ca.pem"):
        return run(["osslsigncode", "verify", "-CAfile", self.key(ca), "-in", path]).returncode

    def test_release_notes_name_what_was_built(self):
        self.assertEqual(self.done.returncode, 0, self.done.stderr.decode())
        notes = dict(re.findall(r"^([A-Za-z.]+):\s+(.*)$", self.done.stdout.decode(), re.M))
        commit = run(["git", "-C", SOURCE_DIR, "rev-parse", "HEAD"]).stdout.decode().strip()
        self.assertEqual(notes["version"], SOURCE_VERSION)
        self.assertTrue(notes["commit"].startswith(commit), notes["commit"])
        self.assertIn("CN=Mirelo Test Publisher", notes["signer"])
        self.assertEqual(notes["timestamp"], "not timestamped")
        with open(os.path.join(self.out, "SHA256SUMS")) as f:
            sums = dict(reversed(line.split()) for line in f)
        for name in PROGRAMS:
            digest = sha256(os.path.join(self.out, name))
            self.assertEqual(sums[name], digest, name)
            self.assertEqual(notes[name].split()[0], digest, name)
            self.assertIn(sha256(os.path.join(BUILDS[0], "bin", name)), notes[name])

    def test_signatures_verify_and_their_removal_gives_the_reproducible_bytes(self):
        for name in PROGRAMS:
            with self.subTest(name):
                signed = os.path.join(self.out, name)
                self.assertEqual(self.verify(signed), 0)
                self.assertEqual(run(["python3", PE_CHECKSUM, "--check", signed]).returncode, 0)
                stripped = os.path.join(self.keys, name + ".stripped")
                self.assertEqual(run(["osslsigncode", "remove-signature", "-in", signed,
                                      "-out", stripped]).returncode, 0)
                with open(stripped, "rb") as a, open(os.path.join(BUILDS[1], "bin", name), "rb") as b:
                    self.assertEqual(a.read(), b.read())

    def test_published_programs_carry_no_debug_data_the_kept_debug_files_do(self):
        self.assertEqual(self.done.returncode, 0, self.done.stderr.decode())
        for name in PROGRAMS:
            debug = os.path.join(self.out, "debug", name + ".debug")
            for path, shipped in ((os.path.join(self.out, name), True),
                                  (os.path.join(self.out, "unsigned", name), True), (debug, False)):
                with self.subTest(path):
                    sections, symbols = pe_contents(path)
                    self.assertEqual(symbols, not shipped)
                    self.assertEqual(any(s.startswith(".debug_") for s in sections), not shipped, sections)
                    self.assertEqual(".gnu_debuglink" in sections, shipped, sections)
        # A crash address (image base + offset) reads back as the function, from the shipped
        # program through its debug link to the kept file.
        crash = tempfile.mkdtemp(dir=self.keys)
        for path in (os.path.join(self.out, "Torvane.exe"), os.path.join(self.out, "debug", "Torvane.exe.debug")):
            shutil.copy2(path, crash)
        symbols = run([MINGW + "nm", os.path.join(crash, "Torvane.exe.debug")]).stdout.decode()
        win_main = int(re.search(r"^([0-9a-f]+) T WinMain$", symbols, re.M).group(1), 16)
        where = run(["gdb", "-batch", "-ex", "info symbol 0x%x" % (win_main + 4), os.path.join(crash, "Torvane.exe")])
        self.assertRegex(where.stdout.decode(), r"(?m)^WinMain \+ 4 in section \.text")

    def test_a_changed_byte_or_another_ca_fails_verification(self):
        signed = os.path.join(self.out, "Torvane.exe")
        with open(signed, "rb") as f:
            data = bytearray(f.read())
        data[len(data) // 3] ^= 0x01
        tampered = os.path.join(self.keys, "tampered.exe")
        with open(tampered, "wb") as f:
            f.write(data)
        for path, ca in ((tampered, "ca.pem"), (signed, "other.pem")):
            with self.subTest(path=path, ca=ca):
                self.assertNotEqual(self.verify(path, ca), 0)

    def test_signing_input_is_taken_as_publish_takes_it_or_refused(self):
        pem = ["--cert", self.key("signer.pem"), "--key", self.key("signer.key")]
        cases = [
            ("pkcs12, passphrase from a file", ["--pkcs12", self.key("signer.p12"),
                                                "--pass", "file:" + self.key("pass.txt")], "ca.pem", 0),
            ("wrong passphrase", pem + ["--pass", "file:" + self.key("signer.ext")], "ca.pem", 1),
            ("passphrase variable not set", pem + ["--pass", "env:RELEASE_TEST_UNSET"], "ca.pem", 1),
            ("passphrase on the command line", pem + ["--pass", PASSPHRASE], "ca.pem", 1),
            ("signatures do not verify against the CA", pem + ["--pass", "env:RELEASE_TEST_PASS"],
             "other.pem", 1),
            ("no CA", pem + ["--pass", "env:RELEASE_TEST_PASS"], None, 1),
        ]
        for name, args, ca, code in cases:
            with self.subTest(name):
                out, done = self.release(*args, ca=ca)
                self.assertEqual(done.returncode, code, done.stderr.decode())
                self.assertEqual(os.path.exists(os.path.join(out, "SHA256SUMS")), code == 0)
                if code == 0:
                    self.assertIn("CN=Mirelo Test Publisher", done.stdout.decode())

    def test_a_refused_run_says_why_in_one_line_and_keeps_the_previous_release(self):
        kept = os.path.join(self.keys, "kept")
        shutil.copytree(self.out, kept)
        wrong = ["--cert", self.key("signer.pem"), "--key", self.key("signer.key"), "--pass",
                 "file:" + self.key("signer.ext")]
        _, done = self.release(*wrong, out=kept)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr.decode().splitlines(),
                         ["release: the passphrase does not open " + self.key("signer.key")])
        for name in PROGRAMS + ("SHA256SUMS",):
            self.assertEqual(sha256(os.path.join(kept, name)), sha256(os.path.join(self.out, name)), name)

    def test_signed_pair_runs_a_whole_update(self):
        self.assertEqual(self.done.returncode, 0, self.done.stderr.decode())
        s = Scenario(self, self.start_server(), "signed", installed=400)
        for name in PROGRAMS:
            shutil.copy2(os.path.join(self.out, name), s.client.file(name))
        s.offer(500, "\\new.dll", b"new release")
        s.start()
        s.finish()
        s.expect_success()
        self.assertEqual(s.client.read_file("new.dll"), b"new release")
        # Quillet in a mode it does not know: it starts, logs its version and ends.
        quillet = WineProcess([s.client.file("Quillet.exe"), "/none"], s.client.path, 60)
        self.assertEqual(quillet.wait(60), 0)
        self.assertLogged(s.client.run_log("Quillet.log"), "start", mode="/none", version=SOURCE_VERSION)


if __name__ == "__main__":
    unittest.main()
