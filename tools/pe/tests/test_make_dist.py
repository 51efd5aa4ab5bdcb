"""Tests of tools/make_dist.sh on a stand-in build directory."""

import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.realpath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
SCRIPT = os.path.join(ROOT, "tools", "make_dist.sh")


@unittest.skipUnless(shutil.which("zip"), "zip not installed")
class MakeDistTest(unittest.TestCase):
    # The archive holds exactly the two executables under x64/ and x86/, the
    # README and the LICENSE; the symbols archive holds their two debug files;
    # neither is written when an input is missing.

    def setUp(self):
        self.build = tempfile.mkdtemp(prefix="make_dist_test_")
        for arch in ("x64", "x86"):
            os.makedirs(os.path.join(self.build, "mingw-" + arch))
            for name in ("linkbatch.exe", "linkbatch.exe.debug"):
                with open(os.path.join(self.build, "mingw-" + arch, name), "wb") as f:
                    f.write(("%s/%s" % (arch, name)).encode())

    def archive(self, suffix=""):
        return os.path.join(self.build, "dist", "linkbatch-0.8.0%s.zip" % suffix)

    def tearDown(self):
        shutil.rmtree(self.build, ignore_errors=True)

    def run_script(self, check):
        env = dict(os.environ, BUILD_DIR=self.build, CHECK_PE=check)
        return subprocess.run(["sh", SCRIPT], env=env, capture_output=True, text=True)

    def sums(self):
        return os.path.join(self.build, "dist", "SHA256SUMS")

    def test_layout_and_contents(self):
        result = self.run_script("0")
        self.assertEqual(result.returncode, 0, result.stderr)
        with zipfile.ZipFile(self.archive()) as z:
            self.assertEqual(sorted(z.namelist()),
                             ["LICENSE", "README.md", "x64/linkbatch.exe", "x86/linkbatch.exe"])
            self.assertEqual(z.read("x64/linkbatch.exe"), b"x64/linkbatch.exe")
            self.assertEqual(z.read("x86/linkbatch.exe"), b"x86/linkbatch.exe")
            with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
                self.assertEqual(z.read("LICENSE"), f.read())
        with zipfile.ZipFile(self.archive("-symbols")) as z:
            self.assertEqual(sorted(z.namelist()),
                             ["x64/linkbatch.exe.debug", "x86/linkbatch.exe.debug"])
            self.assertEqual(z.read("x86/linkbatch.exe.debug"), b"x86/linkbatch.exe.debug")

    def test_missing_input_writes_nothing(self):
        for name in ("linkbatch.exe", "linkbatch.exe.debug"):
            with self.subTest(missing=name):
                path = os.path.join(self.build, "mingw-x86", name)
                os.rename(path, path + ".away")
                result = self.run_script("0")
                os.rename(path + ".away", path)
                self.assertEqual(result.returncode, 1)
                self.assertIn("missing", result.stderr)
                self.assertFalse(os.path.exists(self.archive()))
                self.assertFalse(os.path.exists(self.archive("-symbols")))

    def test_failed_image_check_leaves_no_archive_of_an_earlier_run(self):
        self.assertEqual(self.run_script("0").returncode, 0)
        result = self.run_script("1")
        self.assertNotEqual(result.returncode, 0)
        self.assertFalse(os.path.exists(self.archive()))
        self.assertFalse(os.path.exists(self.archive("-symbols")))
        self.assertFalse(os.path.exists(self.sums()))

    def test_skipped_check_says_why(self):
        result = self.run_script("0")
        self.assertIn("CHECK_PE=0", result.stderr)
        self.assertNotIn("not installed", result.stderr)

    def test_same_inputs_same_bytes_and_their_sums(self):
        # The inputs' own times and modes do not reach the archives.
        self.assertEqual(self.run_script("0").returncode, 0)
        with open(self.archive(), "rb") as f:
            first = f.read()
        exe = os.path.join(self.build, "mingw-x64", "linkbatch.exe")
        os.utime(exe, (1, 1))
        os.chmod(exe, 0o700)
        self.assertEqual(self.run_script("0").returncode, 0)
        with open(self.archive(), "rb") as f:
            self.assertEqual(f.read(), first)
        with open(self.sums()) as f:
            sums = dict(reversed(line.split("  ")) for line in f.read().splitlines())
        self.assertEqual(sums, {
            "linkbatch-0.8.0.zip": hashlib.sha256(first).hexdigest(),
            "x64/linkbatch.exe": hashlib.sha256(b"x64/linkbatch.exe").hexdigest(),
            "x86/linkbatch.exe": hashlib.sha256(b"x86/linkbatch.exe").hexdigest()})


if __name__ == "__main__":
    unittest.main()
