"""Tests of tools/make_dist.sh on a stand-in build directory."""

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
    # README and the LICENSE; nothing is written when an input is missing.

    def setUp(self):
        self.build = tempfile.mkdtemp(prefix="make_dist_test_")
        for arch, payload in (("x64", b"MZ-x64"), ("x86", b"MZ-x86")):
            os.makedirs(os.path.join(self.build, "mingw-" + arch))
            with open(os.path.join(self.build, "mingw-" + arch, "linkbatch.exe"), "wb") as f:
                f.write(payload)

    def tearDown(self):
        shutil.rmtree(self.build, ignore_errors=True)

    def run_script(self, check):
        env = dict(os.environ, BUILD_DIR=self.build, CHECK_PE=check)
        return subprocess.run(["sh", SCRIPT], env=env, capture_output=True, text=True)

    def test_layout_and_contents(self):
        result = self.run_script("0")
        self.assertEqual(result.returncode, 0, result.stderr)
        path = os.path.join(self.build, "dist", "linkbatch-0.8.0.zip")
        with zipfile.ZipFile(path) as z:
            self.assertEqual(sorted(z.namelist()),
                             ["LICENSE", "README.md", "x64/linkbatch.exe", "x86/linkbatch.exe"])
            self.assertEqual(z.read("x64/linkbatch.exe"), b"MZ-x64")
            self.assertEqual(z.read("x86/linkbatch.exe"), b"MZ-x86")
            with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
                self.assertEqual(z.read("LICENSE"), f.read())

    def test_missing_executable_writes_nothing(self):
        os.remove(os.path.join(self.build, "mingw-x86", "linkbatch.exe"))
        result = self.run_script("0")
        self.assertEqual(result.returncode, 1)
        self.assertIn("missing", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.build, "dist", "linkbatch-0.8.0.zip")))

    def test_failed_image_check_stops_the_archive(self):
        result = self.run_script("1")
        self.assertNotEqual(result.returncode, 0)
        self.assertFalse(os.path.exists(os.path.join(self.build, "dist", "linkbatch-0.8.0.zip")))


if __name__ == "__main__":
    unittest.main()
