"""torvane-publish as a publisher runs it: exit codes, refused releases that
leave the manifest alone, signatures exchanged with the openssl command, and
lint --fetch against a local HTTP server."""

import os
import shutil
import subprocess
import sys
import socket
import tempfile
import threading
import time
import unittest

SOURCE_DIR = os.environ.get(
    "MIRELO_SOURCE_DIR", os.path.realpath(os.path.join(os.path.dirname(__file__), "..", "..")))
TOOL = os.environ.get("TORVANE_PUBLISH",
                      os.path.join(SOURCE_DIR, "build", "native", "tools", "publish", "torvane-publish"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "fixtures"))
import manifest_signing  # noqa: E402  (path set just above)
from http_server import ScriptedHttpServer  # noqa: E402


def run(*args, timeout=120, env=None, umask=None, wrapper=()):
    """The tool with args; umask set for it alone, wrapper (e.g. strace) in front of it."""
    if wrapper:  # the leak checker cannot run under ptrace
        env = dict(env or {}, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    return subprocess.run(list(wrapper) + [TOOL] + [str(a) for a in args], capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL, env=dict(os.environ, **(env or {})),
                          preexec_fn=(lambda: os.umask(umask)) if umask is not None else None)


def killed_at_rename(n, action="signal=KILL"):
    """strace in front of the tool: its n-th rename is not made, the tool is killed (or the rename fails) there."""
    return ("strace", "-f", "-qq", "-o", os.devnull, "-e", "trace=rename,renameat,renameat2",
            "-e", "inject=rename,renameat,renameat2:%s:when=%d" % (action, n))


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


class SilentHost:
    """Takes every connection and never answers; taken lists them."""

    def __init__(self):
        self.socket = socket.socket()
        self.socket.bind(("127.0.0.1", 0))
        self.socket.listen(16)
        self.port = self.socket.getsockname()[1]
        self.taken = []
        threading.Thread(target=self._take, daemon=True).start()

    def _take(self):
        while True:
            try:
                self.taken.append(self.socket.accept()[0])
            except OSError:  # closed
                return

    def close(self):
        self.socket.shutdown(socket.SHUT_RDWR)
        self.socket.close()
        for connection in self.taken:
            connection.close()


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
                     ["release", "--manifest", "M"], ["report"], ["report", self.path("no-such-log")]):
            self.assertEqual(run(*args).returncode, 2, args)
        for command in ("keygen", "release", "sign", "verify", "lint", "report"):
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
            ("fullwidth letters", "300", {"\uff21.txt": "3", "\uff41.txt": "4"}, [], "letter case"),
            ("Cyrillic letters", "300", {"\u0414.txt": "3", "\u0434.txt": "4"}, [], "letter case"),
            ("Greek letters", "300", {"\u03a3.dll": "3", "\u03c3.dll": "4"}, [], "letter case"),
            ("a listed name in other letters", "300", {"A.TXT": "3"}, [], "\\a.txt of [200] are one file"),
            ("a name and its backup name", "300", {"a.txt.BAK": "3"}, [], "backup of"),
            ("manifest over the read limit", "300", {"a.txt": "3"}, ["--manifest", "__big__"], "reads at most 16777216"),
            ("a file of 2 GiB", "300", {"big.bin": 2 ** 31}, [], "downloads at most 2147483647"),
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
                elif isinstance(data, int):
                    with open(os.path.join(new, relative), "wb") as f:
                        f.truncate(data)  # sparse: costs no disk
                elif data.startswith("->"):
                    os.symlink(data[2:], os.path.join(new, relative))
                else:
                    write(os.path.join(new, relative), data)
            options = {"--base-url": "http://h/", "--key": self.path("k.pem"), "--out": self.path("served"),
                       "--manifest": self.path("M.cfg")}
            if "__big__" in extra:
                # The signed manifest plus a comment: over the limit, and still signed by k.
                shutil.copy(self.path("M.cfg.sig"), self.path("big.cfg.sig"))
                write(self.path("big.cfg"), manifest + b"; " + b"x" * (16 << 20) + b"\r\n")
            for i in range(0, len(extra), 2):
                options[extra[i]] = {"__file__/served": self.path("k.pub", "served"),
                                     "__other__": self.path("other.pem"),
                                     "__big__": self.path("big.cfg")}.get(extra[i + 1], extra[i + 1])
            args = ["release", "--version", version, "--from", self.path("new"), "--to", new]
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

        # Refused into new folders, a first release leaves no trace: no folder, no lock file.
        done = run("release", "--manifest", self.path("fresh", "www", "M.cfg"), "--version", "0300", "--from",
                   self.path("old"), "--to", self.path("new"), "--base-url", "http://h/", "--out",
                   self.path("fresh", "www"), "--from-version", "100")
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertFalse(os.path.exists(self.path("fresh")))


class SignedReleaseCase(PublishCase):
    """Releases one after another, each from the previous folder."""

    def setUp(self):
        super().setUp()
        for name in ("a", "b", "c"):
            self.assertEqual(run("keygen", self.path(name + ".pem"), self.path(name + ".pub")).returncode, 0)
        self.ids = {name: manifest_signing.key_id(self.path(name + ".pem")) for name in ("a", "b", "c")}
        self.first_release({"a.txt": "1"}, {"a.txt": "2"}, extra=("--key", self.path("a.pem")))
        self.previous = self.path("new")

    def release(self, version, *extra):
        folder = self.path("v%d" % version)
        write(os.path.join(folder, "a.txt"), str(version))
        done = run("release", "--manifest", self.path("M.cfg"), "--version", version, "--from", self.previous,
                   "--to", folder, "--base-url", "http://h/", "--out", self.path("served"), *extra)
        if done.returncode == 0:
            self.previous = folder
        return done

    def key(self, name):
        return ("--key", self.path(name + ".pem"))

    def state(self):
        served = sorted(os.path.join(d, f) for d, _, fs in os.walk(self.path("served")) for f in fs)
        sig = read(self.path("M.cfg.sig")) if os.path.exists(self.path("M.cfg.sig")) else None
        return read(self.path("M.cfg")), sig, served

    def verifying(self):
        return [k for k in ("a", "b", "c") if run("verify", self.path("M.cfg"), self.path(k + ".pub")).returncode == 0]

    def root_value(self, key):
        for line in read(self.path("M.cfg")).decode().splitlines():
            if line.startswith(key + "="):
                return line[len(key) + 1:]
        return None


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


class InputTest(PublishCase):
    def test_links_are_listed_under_their_own_name_and_a_dry_run_writes_nothing(self):
        self.first_release({"a.txt": "1"}, {"a.txt": "2", "b.txt": "b"})
        shutil.copytree(self.path("new"), self.path("next"), symlinks=True)
        write(self.path("next", "a.txt"), "3")
        os.symlink("a.txt", self.path("next", "c.txt"))
        manifest = read(self.path("M.cfg"))
        args = ["release", "--manifest", self.path("M.cfg"), "--version", "300", "--to", self.path("next"),
                "--base-url", "http://h/", "--out", self.path("served")]
        dry = run(*args, "--from", self.path("new"), "--dry-run")
        self.assertEqual(dry.returncode, 0, dry.stderr)
        self.assertIn("\\c.txt", dry.stdout)
        self.assertEqual(read(self.path("M.cfg")), manifest)
        self.assertEqual(os.listdir(self.path("served")), ["200"])
        # The old folder holds a.txt as it was before release 200 recorded it.
        wrong = run(*args, "--from", self.path("old"), "--dry-run")
        self.assertIn("old/a.txt differs from what release 200 recorded", wrong.stderr)
        self.assertNotIn("differs", dry.stderr)
        done = run(*args, "--from", self.path("new"))
        self.assertEqual(done.returncode, 0, done.stderr)
        text = read(self.path("M.cfg")).decode()
        self.assertIn("FilePath0=\\a.txt", text)
        self.assertIn("FilePath1=\\c.txt", text)
        self.assertEqual(read(self.path("served", "300", "c.txt")), b"3")


class ConventionTest(PublishCase):
    def test_version_usage_quiet_and_keys_behind_a_passphrase(self):
        self.assertIn("torvane-publish", run("--version").stdout)
        for args, words in ((["nonsense"], "unknown command \"nonsense\""), (["lint", "--bogus", "M"], "unknown option --bogus"),
                            (["sign", "M", "--add", "-z"], "unknown option -z"),
                            (["relase", "--version", "300"], "unknown command \"relase\""),
                            (["-q", "relase", "--help"], "unknown command \"relase\"")):
            done = run(*args)
            self.assertEqual(done.returncode, 2, args)
            self.assertIn(words, done.stderr, args)
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-aes-256-cbc", "-pass",
                "pass:sesame", "-out", self.path("locked.pem"))
        os.chmod(self.path("locked.pem"), 0o600)
        write(self.path("pass.txt"), "sesame\n")
        write(self.path("M.cfg"), readable_manifest())
        # (options, exit code, words on stderr)
        cases = [
            ([], 1, "--pass env:VAR"),
            (["--pass", "env:PUBLISH_TEST_PASS"], 0, ""),
            (["--pass", "file:" + self.path("pass.txt")], 0, ""),
            (["--pass", "env:PUBLISH_TEST_WRONG"], 1, "passphrase does not open"),
            (["--pass", "sesame"], 2, "env:VAR or file:PATH"),
        ]
        for options, code, words in cases:
            done = run("sign", self.path("M.cfg"), "--key", self.path("locked.pem"), "--quiet", *options,
                       env={"PUBLISH_TEST_PASS": "sesame", "PUBLISH_TEST_WRONG": "open"})
            self.assertEqual(done.returncode, code, (options, done.stderr))
            self.assertIn(words, done.stderr, options)
            self.assertEqual(done.stdout, "", options)


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


class ServedModeTest(PublishCase):
    def test_served_files_and_folders_can_be_read_whatever_the_source_mode_and_umask(self):
        write(self.path("new", "sub", "secret.bin"), "s")
        os.chmod(self.path("new", "sub", "secret.bin"), 0o600)
        os.makedirs(self.path("old"))
        done = run("release", "--manifest", self.path("M.cfg"), "--version", "200", "--from", self.path("old"),
                   "--to", self.path("new"), "--base-url", "http://h/", "--out", self.path("served"),
                   "--from-version", "100", umask=0o077)
        self.assertEqual(done.returncode, 0, done.stderr)
        for path, mode in ((self.path("served"), 0o755), (self.path("served", "200"), 0o755),
                           (self.path("served", "200", "sub"), 0o755),
                           (self.path("served", "200", "sub", "secret.bin"), 0o644), (self.path("M.cfg"), 0o644)):
            self.assertEqual(os.stat(path).st_mode & 0o777, mode, path)


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

        # The manifest as served: the same bytes pass, others are an error.
        shutil.copy(self.path("M.cfg"), self.path("served", "M.cfg"))
        for served, errors in ((None, 0), (b";\r\n", 1)):
            if served:
                write(self.path("served", "M.cfg"), read(self.path("M.cfg")) + served)
            done = run("lint", self.path("M.cfg"), "--url", server.url("/M.cfg"))
            self.assertEqual(done.returncode, errors, done.stdout)
            self.assertEqual(done.stdout.count("the served bytes differ"), errors, done.stdout)

    def test_lint_fetch_gives_up_on_a_host_that_never_answers(self):
        silent = socket.socket()
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen(16)  # the kernel takes connections; no one ever answers
        for name in ("a", "b", "c"):
            write(self.path("new", name), name)
        os.makedirs(self.path("old"))
        done = run("release", "--manifest", self.path("M.cfg"), "--version", "200", "--from", self.path("old"),
                   "--to", self.path("new"), "--base-url", "http://127.0.0.1:%d/" % silent.getsockname()[1],
                   "--out", self.path("served"), "--from-version", "100")
        self.assertEqual(done.returncode, 0, done.stderr)
        done = run("lint", self.path("M.cfg"), "--fetch", "--jobs", "1", "--timeout", "1", timeout=30)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stdout.count("did not answer an earlier request"), 2, done.stdout)

    def test_lint_asks_a_silent_host_once_and_says_once_that_a_closed_one_cannot_be_reached(self):
        self.assertEqual(run("keygen", self.path("k.pem"), self.path("k.pub")).returncode, 0)
        data = bytes(range(256)) * 256
        write(self.path("old", "a.bin"), data)
        write(self.path("new", "a.bin"), data[:-1] + b"x")
        write(self.path("new", "b.bin"), b"b")
        silent = SilentHost()
        self.addCleanup(silent.close)
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))  # bound, never listening: connections are refused
        self.addCleanup(closed.close)
        for name, port in (("silent", silent.port), ("closed", closed.getsockname()[1])):
            m = self.path(name, "M.cfg")
            base = "http://127.0.0.1:%d/" % port
            done = run("release", "--manifest", m, "--version", "200", "--from", self.path("old"), "--to",
                       self.path("new"), "--base-url", base, "--out", self.path(name), "--from-version", "100",
                       "--deltas", "--key", self.path("k.pem"))
            self.assertEqual(done.returncode, 0, done.stderr)
            done = run("lint", m, "--fetch", "--jobs", "1", "--timeout", "1", "--url", base + "M.cfg", timeout=60)
            self.assertEqual(done.returncode, 1, done.stdout)
            lines = (done.stdout + done.stderr).splitlines()
            if name == "silent":  # files, patches, manifest and .sig: one request in all
                self.assertEqual(len(silent.taken), 1, done.stdout)
            else:
                self.assertEqual(len([line for line in lines if "cannot be reached" in line]), 1, lines)
                self.assertEqual([line for line in lines if line.startswith("fetched")], [], lines)

    def test_lint_fetch_checks_patches_of_a_silent_host_within_its_timeout(self):
        silent = socket.socket()
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen(16)
        data = bytes(range(256)) * 256
        write(self.path("old", "a.bin"), data)
        write(self.path("new", "a.bin"), data[:-1] + b"x")
        done = run("release", "--manifest", self.path("M.cfg"), "--version", "200", "--from", self.path("old"),
                   "--to", self.path("new"), "--base-url", "http://127.0.0.1:%d/" % silent.getsockname()[1],
                   "--out", self.path("served"), "--from-version", "100", "--deltas")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(b"FilePatchUrl0_0", read(self.path("M.cfg")))
        done = run("lint", self.path("M.cfg"), "--fetch", "--jobs", "1", "--timeout", "1", timeout=30)
        self.assertEqual(done.returncode, 1)
        self.assertIn("FilePatchUrl0_0", done.stdout)


if __name__ == "__main__":
    unittest.main()
