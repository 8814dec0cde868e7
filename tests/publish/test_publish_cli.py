"""torvane-publish as a publisher runs it: exit codes and usage, refused
releases that leave the manifest alone, the input folders, and the modes of
what it serves."""

import os
import shutil
import unittest

from publish_case import PublishCase, openssl, read, readable_manifest, run, write


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


if __name__ == "__main__":
    unittest.main()
