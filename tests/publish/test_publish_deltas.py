"""release --deltas and --delta-base as a publisher runs them, and lint --fetch
checking the patches against a local HTTP server."""

import glob
import os
import random
import unittest

from publish_case import PublishCase, read, run, write
from http_server import ScriptedHttpServer


def edited(data, seed):
    rng = random.Random(seed)
    out = bytearray(data)
    for _ in range(20):
        at = rng.randrange(len(out))
        out[at] ^= 0x5A
    return bytes(out)


class DeltaReleaseTest(PublishCase):
    def release(self, version, old, new, server, *extra):
        done = run("release", "--manifest", self.path("M.cfg"), "--version", version, "--from", self.path(old),
                   "--to", self.path(new), "--base-url", server.url("/"), "--out", self.path("served"),
                   "--deltas", *extra)
        self.assertEqual(done.returncode, 0, done.stderr)

    def test_patches_made_kept_when_small_and_checked_by_lint(self):
        server = ScriptedHttpServer(root=self.path("served")).start()
        self.addCleanup(server.stop)
        big = random.Random(1).randbytes(200000)
        versions = {"v100": {"a.bin": big, "b.txt": b"hello"},
                    "v200": {"a.bin": edited(big, 2), "b.txt": b"other text", "c.bin": b"new" * 1000},
                    "v300": {"a.bin": edited(edited(big, 2), 3), "b.txt": b"third"}}
        for folder, files in versions.items():
            for name, data in files.items():
                write(self.path(folder, name), data)
        self.release("200", "v100", "v200", server, "--from-version", "100")
        self.release("300", "v200", "v300", server, "--delta-base", self.path("v100"))

        patches = sorted(os.path.relpath(p, self.path("served")) for p in glob.glob(self.path("served", "*", "*.tvdp")))
        # Only a.bin has earlier versions a patch pays for: one in 200, two in 300.
        self.assertEqual([p.split(".from-")[0] for p in patches], ["200/a.bin", "300/a.bin", "300/a.bin"], patches)
        for p in patches:
            self.assertLess(len(read(self.path("served", p))), 0.6 * len(big))
        manifest = read(self.path("M.cfg")).decode("latin-1")
        self.assertEqual(manifest.count("FilePatchUrl"), 3, manifest)

        clean = run("lint", self.path("M.cfg"), "--fetch")
        self.assertEqual(clean.returncode, 0, clean.stdout + clean.stderr)
        # Release 200's a.bin is the base of one of 300's patches; v100 was never served.
        self.assertIn("fetched 3 patch(es): 1, applied to its base, makes its file", clean.stdout)
        # With the folder of release 100 at hand, the patch from it is applied to it too.
        based = run("lint", self.path("M.cfg"), "--fetch", "--delta-base", self.path("v100"))
        self.assertIn("fetched 3 patch(es): 3, applied to their bases, make their files", based.stdout)
        self.assertNotIn("no release serves its base", based.stdout)

        for p in patches:
            data = bytearray(read(self.path("served", p)))
            data[60] ^= 1
            write(self.path("served", p), bytes(data))
        broken = run("lint", self.path("M.cfg"), "--fetch")
        self.assertEqual(broken.returncode, 1, broken.stdout)
        errors = [line for line in broken.stdout.splitlines() if ": error: " in line and "FilePatchUrl" in line]
        self.assertEqual(len(errors), 3, broken.stdout)
        self.assertTrue(all("SHA-256 is not the listed one" in line for line in errors), errors)

    def test_progress_never_goes_back_and_sizes_and_folders_read_right(self):
        big = random.Random(4).randbytes(5 << 19)  # over 2 MiB: the matching reports twice a pass
        write(self.path("v1", "a.bin"), big)
        write(self.path("v1", "b.txt"), b"old")
        write(self.path("v2", "a.bin"), edited(big, 5))
        write(self.path("v2", "b.txt"), b"new")
        done = run("release", "--manifest", self.path("M.cfg"), "--version", "2", "--from", self.path("v1"),
                   "--to", self.path("v2"), "--base-url", "http://host/", "--out", self.path("www") + "/",
                   "--from-version", "1", "--deltas")
        self.assertEqual(done.returncode, 0, done.stderr)
        progress = [line for line in done.stdout.splitlines() if "% matched" in line]
        self.assertTrue(progress, done.stdout)
        self.assertEqual(len(progress), len(set(progress)), progress)
        self.assertIn("a.bin (2.5 MiB, base 1 of 1)", done.stdout)
        self.assertIn("copied to %s/2/" % self.path("www"), done.stdout)

    def test_big_files_and_refused_releases_leave_no_patch(self):
        big = random.Random(1).randbytes(200000)
        for folder, data in (("v1", big), ("v2", edited(big, 2))):
            write(self.path(folder, "a.bin"), data)
            write(self.path(folder, "b.txt"), folder)
        # name, extra options, what to put in the way, exit code, patches served, text printed
        cases = [("under --delta-max", ["--delta-max", "1M"], None, 0, 1, "deltas: a.bin"),
                 ("a small file's size", [], None, 0, 1, "a.bin (195.3 KiB, base 1 of 1)"),
                 ("over --delta-max", ["--delta-max", "100K"], None, 0, 0, "a.bin is over --delta-max"),
                 ("refused after its patch", [], "b.txt", 1, 0, "b.txt")]
        for name, extra, blocker, code, patches, text in cases:
            with self.subTest(name):
                out = self.path(name.replace(" ", "_"))
                if blocker:
                    os.makedirs(os.path.join(out, "2", blocker))
                done = run("release", "--manifest", out + ".cfg", "--version", "2", "--from", self.path("v1"),
                           "--to", self.path("v2"), "--base-url", "http://host/", "--out", out,
                           "--from-version", "1", "--deltas", *extra)
                self.assertEqual(done.returncode, code, done.stdout + done.stderr)
                self.assertEqual(len(glob.glob(os.path.join(out, "2", "*.tvdp"))), patches)
                self.assertIn(text, done.stdout + done.stderr)


if __name__ == "__main__":
    unittest.main()
