"""torvane-publish as a publisher runs it: exit codes, refused releases that
leave the manifest alone, signatures exchanged with the openssl command, and
lint --fetch against a local HTTP server."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get(
    "MIRELO_SOURCE_DIR", os.path.realpath(os.path.join(os.path.dirname(__file__), "..", "..")))
TOOL = os.environ.get("TORVANE_PUBLISH",
                      os.path.join(SOURCE_DIR, "build", "native", "tools", "publish", "torvane-publish"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "fixtures"))
import manifest_signing  # noqa: E402  (path set just above)
from http_server import ScriptedHttpServer  # noqa: E402


def run(*args, timeout=120, env=None):
    return subprocess.run([TOOL] + [str(a) for a in args], capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL, env=dict(os.environ, **(env or {})))


def openssl(*args):
    return subprocess.run(["openssl"] + [str(a) for a in args], capture_output=True, timeout=60, check=True).stdout


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def readable_manifest(serial=1, valid_for=30 * 86400):
    """A one-release manifest that a client built with keys reads."""
    sha = "0" * 64
    text = ("[Root]\r\nVersionCount=2\r\nCurrentVersionTime=200\r\nCurrentVersionNum=200\r\nver0=100\r\nver1=200\r\n"
            "[200]\r\nFileCount=1\r\nFilePath0=\\a.txt\r\nFileUrl0=http://h/200/a.txt\r\nFileSha2560=%s\r\n" % sha)
    return manifest_signing.stamped(text.encode(), serial=serial, valid_for=valid_for)


def der_integer(value):
    body = value.lstrip(b"\0") or b"\0"
    if body[0] & 0x80:
        body = b"\0" + body
    return b"\x02" + bytes([len(body)]) + body


def der_signature(rs):
    """DER form of r||s, as openssl dgst -verify reads it."""
    body = der_integer(rs[:32]) + der_integer(rs[32:])
    return b"\x30" + bytes([len(body)]) + body


class PublishCase(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="publish-cli-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def first_release(self, files_old, files_new, version="200", extra=()):
        for name, data in files_old.items():
            write(self.path("old", name), data)
        for name, data in files_new.items():
            write(self.path("new", name), data)
        os.makedirs(self.path("old"), exist_ok=True)
        done = run("release", "--manifest", self.path("M.cfg"), "--version", version, "--from", self.path("old"),
                   "--to", self.path("new"), "--base-url", "http://127.0.0.1:1/u", "--out", self.path("served"),
                   "--from-version", "100", *extra)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done


class UsageTest(PublishCase):
    def test_usage_errors_exit_2_and_every_command_has_help(self):
        for args in ([], ["nonsense"], ["lint"], ["lint", self.path("no-such-manifest")], ["lint", "M", "--installed", "12x"], ["keygen", "only-one"],
                     ["release", "--manifest", "M"]):
            self.assertEqual(run(*args).returncode, 2, args)
        for command in ("keygen", "release", "sign", "verify", "lint"):
            done = run(command, "--help")
            self.assertEqual(done.returncode, 0, command)
            self.assertIn("Usage", done.stdout, command)


class RefusedReleaseTest(PublishCase):
    def test_refused_releases_leave_manifest_signature_and_served_folder_alone(self):
        self.assertEqual(run("keygen", self.path("k.pem"), self.path("k.pub")).returncode, 0)
        self.assertEqual(run("keygen", self.path("other.pem"), self.path("other.pub")).returncode, 0)
        self.first_release({"a.txt": "1"}, {"a.txt": "2"}, extra=("--key", self.path("k.pem")))
        self.assertEqual(run("verify", self.path("M.cfg"), self.path("k.pub")).returncode, 0)
        manifest, signature = read(self.path("M.cfg")), read(self.path("M.cfg.sig"))
        long_name = "/".join(["d" * 40] * 4) + "/f.txt"
        # (name, version, files of the new folder (None: a link to a folder), extra options, expected words)
        cases = [
            ("leading zero", "0300", {"a.txt": "3"}, [], "plain decimal"),
            ("listed version", "200", {"a.txt": "3"}, [], "already listed"),
            ("name not in GBK", "300", {"\U0001F600.txt": "3"}, [], "GBK"),
            ("device name", "300", {"sub/CON.txt": "3"}, [], "device name"),
            ("trailing dot", "300", {"name.": "3"}, [], "ending in a dot"),
            ("work folder", "300", {"UpdateTempFolder/x": "3"}, [], "work folders"),
            ("backslash in a name", "300", {"bin\\Halvix.exe": "3"}, [], "backslash"),
            ("a link that leads nowhere", "300", {"a.txt": "3", "gone": "->missing"}, [], "leads to no file"),
            ("URL with a query", "300", {"a.txt": "3"}, ["--base-url", "http://h/u?x=1"], "query"),
            ("URL with a fragment", "300", {"a.txt": "3"}, ["--base-url", "http://h/u#top"], "fragment"),
            ("URL without a host", "300", {"a.txt": "3"}, ["--base-url", "http:///u"], "--base-url"),
            ("served folder under a file", "300", {"a.txt": "3"}, ["--out", "__file__/served"], "not a folder"),
            ("unsigned over a signed manifest", "300", {"a.txt": "3"}, ["--key", None], "give --key"),
            ("signed by another key only", "300", {"a.txt": "3"}, ["--key", "__other__"], "not given"),
            ("FilePath over 127 bytes", "300", {long_name: "3"}, [], "at most 127"),
            ("URL over 259", "300", {"a.txt": "3"}, ["--base-url", "http://h/" + "u" * 250], "at most 259"),
            ("bz2 URL under another name", "300", {"a b.bz2": "3"}, [], ".bz2"),
            ("names equal ignoring case", "300", {"A.txt": "3", "a.txt": "4"}, [], "letter case"),
            ("nothing changed", "300", {}, [], "no file is new or changed"),
            ("a folder behind a link", "300", {"a.txt": "3", "linked": None}, [], "symbolic link to a folder"),
            ("wrong previous version", "300", {"a.txt": "3"}, ["--from-version", "150"], "not the manifest's latest"),
        ]
        for name, version, files, extra, words in cases:
            new = self.path("next-" + name.replace(" ", "-"))
            shutil.copytree(self.path("new"), new)
            for relative, data in files.items():
                if data is None:
                    os.symlink(self.path("old"), os.path.join(new, relative))
                elif data.startswith("->"):
                    os.symlink(data[2:], os.path.join(new, relative))
                else:
                    write(os.path.join(new, relative), data)
            options = {"--base-url": "http://h/", "--key": self.path("k.pem"), "--out": self.path("served")}
            for i in range(0, len(extra), 2):
                options[extra[i]] = {"__file__/served": self.path("k.pub", "served"),
                                     "__other__": self.path("other.pem")}.get(extra[i + 1], extra[i + 1])
            args = ["release", "--manifest", self.path("M.cfg"), "--version", version, "--from", self.path("new"),
                    "--to", new]
            for option, value in options.items():
                args += [option, value] if value is not None else []
            done = run(*args)
            self.assertEqual(done.returncode, 1, name)
            self.assertIn(words, done.stderr, name)
            self.assertIn("unchanged", done.stderr, name)
            self.assertEqual(read(self.path("M.cfg")), manifest, name)
            self.assertEqual(read(self.path("M.cfg.sig")), signature, name)
            self.assertEqual(sorted(os.listdir(self.path("served"))), ["200"], name)

        # A [Root] the updater cannot read is refused too.
        os.remove(self.path("M.cfg.sig"))
        write(self.path("M.cfg"), manifest.replace(b"VersionCount=2", b"VersionCount=3"))
        broken = read(self.path("M.cfg"))
        done = run("release", "--manifest", self.path("M.cfg"), "--version", "300", "--from", self.path("old"),
                   "--to", self.path("new"), "--base-url", "http://h/", "--out", self.path("served"))
        self.assertEqual(done.returncode, 1)
        self.assertIn("ver2", done.stderr)
        self.assertEqual(read(self.path("M.cfg")), broken)


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


class FetchTest(PublishCase):
    def test_lint_fetch_reports_each_served_fault_at_its_entry(self):
        files = {"ok.bin": b"fine" * 100, "missing.bin": b"m", "nolength.bin": b"n" * 10,
                 "short.bin": b"s" * 10, "changed.bin": b"c" * 10}
        server = ScriptedHttpServer(root=self.path("served")).start()
        self.addCleanup(server.stop)
        for name, data in files.items():
            write(self.path("new", name), data)
        os.makedirs(self.path("old"))
        done = run("release", "--manifest", self.path("M.cfg"), "--version", "200", "--from", self.path("old"),
                   "--to", self.path("new"), "--base-url", server.url("/"), "--out", self.path("served"),
                   "--from-version", "100")
        self.assertEqual(done.returncode, 0, done.stderr)
        clean = run("lint", self.path("M.cfg"), "--fetch")
        self.assertEqual(clean.returncode, 0, clean.stdout + clean.stderr)
        self.assertIn("5 match", clean.stdout)

        os.remove(self.path("served", "200", "missing.bin"))
        server.script("/200/nolength.bin", nolength=True)
        server.script("/200/short.bin", length=20)
        write(self.path("served", "200", "changed.bin"), b"C" * 10)
        done = run("lint", self.path("M.cfg"), "--fetch", "--installed", "100")
        self.assertEqual(done.returncode, 1, done.stdout)
        order = sorted(files)  # the release lists files by name
        expected = {"missing.bin": "FileUrl%d: %s: HTTP status 404", "nolength.bin": "FileUrl%d: %s: no Content-Length",
                    "short.bin": "FileUrl%d: %s: ", "changed.bin": "FileHashID%d: %s: the body's MD5"}
        errors = [line for line in done.stdout.splitlines() if ": error: " in line]
        self.assertEqual(len(errors), 5, done.stdout)  # the changed body fails MD5 and SHA-256
        for name, pattern in expected.items():
            text = "[200] " + pattern % (order.index(name), server.url("/200/" + name))
            self.assertTrue(any(text in line for line in errors), (text, errors))
        self.assertIn("A client at 100 reads release(s) 200 and gets 5 file(s)", done.stdout)


if __name__ == "__main__":
    unittest.main()
