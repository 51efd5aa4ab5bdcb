"""Tests of tools/check_pe.py: its rules on extracted data, and the whole
checker on small images cross-built with MinGW when a cross compiler exists."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

HERE = os.path.dirname(os.path.realpath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import check_pe  # noqa: E402

MANIFEST_PATH = os.path.join(ROOT, "res", "linkbatch.manifest")
LISTS_DIR = os.path.join(ROOT, "tools", "pe")


def read_manifest():
    with open(MANIFEST_PATH, encoding="utf-8") as f:
        return f.read()


class ManifestTextTest(unittest.TestCase):
    # The shipped manifest satisfies every rule; each rule rejects its own fault.

    def test_shipped_manifest_passes(self):
        self.assertEqual(check_pe.check_manifest_text(read_manifest()), [])

    def test_missing_or_false_long_path_awareness_fails(self):
        text = read_manifest().replace(">true</longPathAware>", ">false</longPathAware>")
        self.assertIn("manifest: no <longPathAware>true</longPathAware>",
                      check_pe.check_manifest_text(text))

    def test_long_path_awareness_in_other_namespace_fails(self):
        text = read_manifest().replace("SMI/2016/WindowsSettings", "SMI/2005/WindowsSettings")
        failures = check_pe.check_manifest_text(text)
        self.assertTrue(any("2016 WindowsSettings namespace" in f for f in failures), failures)

    def test_supported_os_inside_a_comment_counts_as_missing(self):
        guid = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
        line = '<supportedOS Id="%s"/>' % guid
        text = read_manifest().replace(line, "<!-- %s -->" % line)
        failures = check_pe.check_manifest_text(text)
        self.assertEqual([f for f in failures if guid in f],
                         ["manifest: supportedOS %s (Windows 10 and 11) missing" % guid])

    def test_elevation_request_fails(self):
        text = read_manifest().replace('level="asInvoker"', 'level="requireAdministrator"')
        self.assertIn("manifest: requestedExecutionLevel is 'requireAdministrator', "
                      "expected 'asInvoker'", check_pe.check_manifest_text(text))


class ManifestResourceTest(unittest.TestCase):
    # Exactly one RT_MANIFEST, with the id the loader reads at process creation.

    def test_second_manifest_fails(self):
        text = read_manifest()
        failures = check_pe.check_manifest_resources([(1, 0x409, text), (1, 0, text)])
        self.assertEqual(len(failures), 1, failures)
        self.assertIn("2 RT_MANIFEST resources", failures[0])

    def test_wrong_id_and_absence_fail(self):
        self.assertIn("manifest: resource id is 2, expected 1 (CREATEPROCESS_MANIFEST_RESOURCE_ID)",
                      check_pe.check_manifest_resources([(2, 0x409, read_manifest())]))
        self.assertEqual(check_pe.check_manifest_resources([]),
                         ["manifest: no RT_MANIFEST resource"])


class VersionAndHeaderTest(unittest.TestCase):
    # The version record says 0.8.0.0 and linkbatch.exe; x86 stays loadable on NT 5.0.

    def test_version_strings(self):
        good = {"FileVersion": "0.8.0.0", "ProductVersion": "0.8.0.0",
                "OriginalFilename": "linkbatch.exe"}
        self.assertEqual(check_pe.check_version_strings(good), [])
        bad = dict(good, ProductVersion="0.8", OriginalFilename="lb.exe")
        self.assertEqual(check_pe.check_version_strings(bad), [
            "version: ProductVersion is '0.8', expected '0.8.0.0'",
            "version: OriginalFilename is 'lb.exe', expected 'linkbatch.exe'"])

    def test_fixed_version(self):
        self.assertEqual(check_pe.check_fixed_version(0x00000008, 0, "FILEVERSION"), [])
        self.assertEqual(check_pe.check_fixed_version(0x00080000, 0, "FILEVERSION"),
                         ["version: fixed FILEVERSION is 8.0.0.0, expected 0.8.0.0"])

    def test_header(self):
        i386, amd64 = check_pe.IMAGE_FILE_MACHINE_I386, check_pe.IMAGE_FILE_MACHINE_AMD64
        self.assertEqual(check_pe.check_header(i386, 3, 5, 0, "x86"), [])
        self.assertEqual(check_pe.check_header(amd64, 3, 6, 0, "x64"), [])
        self.assertEqual(check_pe.check_header(i386, 3, 6, 0, "x86"),
                         ["header: subsystem version 6.0, expected 5.0 for x86"])
        self.assertEqual(check_pe.check_header(i386, 2, 5, 0, "x86"),
                         ["header: subsystem 2, expected 3 (console)"])
        self.assertEqual(len(check_pe.check_header(amd64, 3, 5, 0, "x86")), 1)


class ImportRulesTest(unittest.TestCase):
    # Only system DLLs; the optional link functions never statically.

    def test_runtime_dlls_are_not_system_dlls(self):
        imports = {"KERNEL32.dll": ["Sleep"], "msvcrt.dll": ["free"],
                   "api-ms-win-crt-runtime-l1-1-0.dll": ["exit"],
                   "libstdc++-6.dll": ["x"], "libgcc_s_dw2-1.dll": ["y"]}
        self.assertEqual(check_pe.check_import_dlls(imports), [
            "imports: libgcc_s_dw2-1.dll is not a system DLL",
            "imports: libstdc++-6.dll is not a system DLL"])

    def test_each_optional_function_is_rejected(self):
        for name in sorted(check_pe.DYNAMIC_ONLY):
            failures = check_pe.check_dynamic_only({"KERNEL32.dll": ["CloseHandle", name]})
            self.assertEqual(len(failures), 1, (name, failures))
            self.assertIn("KERNEL32.dll!%s is imported statically" % name, failures[0])


class Win2000ListTest(unittest.TestCase):
    # Every list names its source; a name outside a list fails the x86 check.

    def setUp(self):
        self.lists = {dll: check_pe.load_export_list(os.path.join(LISTS_DIR, name))
                      for dll, name in check_pe.WIN2000_LISTS.items()}

    def test_every_list_states_its_source_and_every_entry_its_version(self):
        for name in check_pe.WIN2000_LISTS.values():
            with open(os.path.join(LISTS_DIR, name), encoding="utf-8") as f:
                lines = f.read().splitlines()
            header = "\n".join(l for l in lines if l.startswith("#"))
            self.assertIn("Source", header, name)
            for line in lines:
                if line.strip() and not line.startswith("#"):
                    self.assertGreaterEqual(len(line.split()), 2,
                                            "%s: entry without its source: %r" % (name, line))

    def test_functions_newer_than_nt5_are_absent(self):
        kernel32 = self.lists["kernel32.dll"][0]
        for newer in ("CreateSymbolicLinkW", "GetTickCount64", "InitializeCriticalSectionEx",
                      "AddVectoredExceptionHandler", "InitializeSRWLock", "FlsAlloc"):
            self.assertNotIn(newer, kernel32)
        msvcrt = self.lists["msvcrt.dll"][0]
        for newer in ("___lc_codepage_func", "__iob_func", "_aligned_malloc", "_vscprintf"):
            self.assertNotIn(newer, msvcrt)

    def test_check_reports_missing_ordinal_and_unconfirmed(self):
        imports = {"KERNEL32.dll": ["CloseHandle", "GetTickCount64", None],
                   "ADVAPI32.dll": ["LookupPrivilegeValueW"], "ntdll.dll": ["RtlFoo"]}
        failures, notes = check_pe.check_win2000_imports(imports, self.lists)
        self.assertEqual(failures, [
            "win2000: KERNEL32.dll!GetTickCount64 is not in the Windows 2000 export list",
            "win2000: KERNEL32.dll imported by ordinal; cannot be checked",
            "win2000: no export list for ntdll.dll"])
        self.assertEqual(notes, [
            "win2000: ADVAPI32.dll!LookupPrivilegeValueW rests on an unconfirmed list entry"])


class DebugInformationTest(unittest.TestCase):
    # The shipped image holds no debug sections or symbols, names its split-off
    # debug file with that file's CRC, and stays within its size budget.

    def test_debug_sections_and_symbol_table_are_reported(self):
        names = [".text", ".debug_info", ".zdebug_line", ".gnu_debuglink", ".reloc"]
        self.assertEqual(check_pe.check_no_debug_information(names, 7215), [
            "debug: section .debug_info is in the image",
            "debug: section .zdebug_line is in the image",
            "debug: the image carries a symbol table of 7215 symbols"])
        self.assertEqual(check_pe.check_no_debug_information([".text", ".gnu_debuglink"], 0), [])

    def test_size_budget_is_inclusive(self):
        for arch, budget in check_pe.SIZE_BUDGET.items():
            self.assertEqual(check_pe.check_size(budget, arch), [])
            self.assertEqual(check_pe.check_size(budget + 1, arch),
                             ["size: %d bytes, over the %s budget of %d bytes"
                              % (budget + 1, arch, budget)])

    def test_debug_link_contents(self):
        # The name is NUL-terminated and padded to four bytes; the CRC follows.
        crc = struct.pack("<I", 0x8D82502B)
        self.assertEqual(check_pe.parse_debug_link(b"linkbatch.exe.debug\0" + crc),
                         ("linkbatch.exe.debug", 0x8D82502B))
        self.assertEqual(check_pe.parse_debug_link(b"a.dbg\0\0\0" + crc + b"\0" * 8),
                         ("a.dbg", 0x8D82502B))
        for malformed in (b"no-terminator" + crc, b"\0\0\0\0" + crc, b"a.dbg\0\0\0" + crc[:3]):
            self.assertIsNone(check_pe.parse_debug_link(malformed), malformed)

    def test_debug_link_must_name_the_matching_file(self):
        data = b"debug information"
        crc = zlib.crc32(data)
        name = "linkbatch.exe.debug"
        self.assertEqual(check_pe.check_debug_link((name, crc), "linkbatch.exe", data), ([], []))
        self.assertEqual(check_pe.check_debug_link(None, "linkbatch.exe", None),
                         (["debug: no .gnu_debuglink section naming the debug file"], []))
        self.assertEqual(check_pe.check_debug_link(("other.debug", crc), "linkbatch.exe", data),
                         (["debug: the debug link names 'other.debug', expected "
                           "'linkbatch.exe.debug'"], []))
        failures, _ = check_pe.check_debug_link((name, crc ^ 1), "linkbatch.exe", data)
        self.assertEqual(len(failures), 1, failures)
        self.assertIn("linkbatch.exe.debug does not belong to this image", failures[0])
        self.assertEqual(check_pe.check_debug_link((name, crc), "linkbatch.exe", None),
                         ([], ["debug: linkbatch.exe.debug is not beside the image; "
                               "its CRC is not checked"]))


def _tool(name):
    return shutil.which(name)


@unittest.skipUnless(_tool("i686-w64-mingw32-g++") and _tool("i686-w64-mingw32-windres")
                     and _tool("i686-w64-mingw32-objcopy"),
                     "i686 MinGW cross compiler not installed")
class CrossBuiltImageTest(unittest.TestCase):
    # The checker on real images: the release resource and flags pass, each
    # fault that the build settings prevent is caught in the image.

    # The release link settings (cmake/release.cmake).
    RELEASE = ["-Wl,--major-subsystem-version,5,--minor-subsystem-version,0",
               "-Wl,--major-os-version,5,--minor-os-version,0", "-Wl,--no-insert-timestamp"]

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="check_pe_test_")
        cls.res = os.path.join(cls.dir, "linkbatch.res.o")
        subprocess.check_call(["i686-w64-mingw32-windres", "-I", os.path.join(ROOT, "res"),
                               os.path.join(ROOT, "res", "linkbatch.rc"), "-O", "coff",
                               "-o", cls.res])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def build(self, name, body, flags, with_resource=True, split_debug=True):
        src = os.path.join(self.dir, name + ".cpp")
        exe = os.path.join(self.dir, name + ".exe")
        with open(src, "w") as f:
            f.write("#include <windows.h>\n" + body)
        cmd = ["i686-w64-mingw32-g++", "-g", "-O1", "-municode", "-static", src]
        if with_resource:
            cmd.append(self.res)
        subprocess.check_call(cmd + flags + ["-o", exe])
        if split_debug:
            # As the release build does it (cmake/release.cmake).
            objcopy = ["env", "SOURCE_DATE_EPOCH=0", "i686-w64-mingw32-objcopy"]
            subprocess.check_call(objcopy + ["--only-keep-debug", exe, exe + ".debug"])
            subprocess.check_call(objcopy + ["--strip-all", exe])
            subprocess.check_call(objcopy + ["--add-gnu-debuglink=" + exe + ".debug", exe])
        return exe

    def run_checker(self, exe):
        return check_pe.check_image(exe, "x86", LISTS_DIR)

    def test_release_resource_and_flags_pass(self):
        exe = self.build("good", "int wmain() { Sleep(0); return 0; }", self.RELEASE)
        _, failures, _ = self.run_checker(exe)
        self.assertEqual(failures, [])

    def test_link_time_stamp_is_caught(self):
        exe = self.build("stamped", "int wmain() { return 0; }",
                         [f for f in self.RELEASE if "timestamp" not in f], split_debug=False)
        _, failures, _ = self.run_checker(exe)
        self.assertTrue(any(f.startswith("reproducible:") for f in failures), failures)

    def test_default_subsystem_version_is_caught(self):
        exe = self.build("nosub", "int wmain() { return 0; }", [])
        _, failures, _ = self.run_checker(exe)
        header = [f for f in failures if f.startswith("header:")]
        self.assertEqual(len(header), 1, failures)
        self.assertRegex(header[0], r"^header: subsystem version \d+\.\d+, expected 5\.0 for x86$")

    def test_missing_resource_is_caught(self):
        exe = self.build("nores", "int wmain() { return 0; }", self.RELEASE,
                         with_resource=False)
        _, failures, _ = self.run_checker(exe)
        self.assertIn("version: no VS_VERSIONINFO resource", failures)
        self.assertIn("manifest: no RT_MANIFEST resource", failures)

    def test_default_manifest_object_is_caught_and_replaced(self):
        # Stand-in for a toolchain that links default-manifest.o into every
        # program: found through -B like the real one on the start-file path.
        system = os.path.join(self.dir, "system")
        ours = os.path.join(self.dir, "ours")
        os.makedirs(system, exist_ok=True)
        os.makedirs(ours, exist_ok=True)
        with open(os.path.join(system, "d.manifest"), "w") as f:
            f.write('<?xml version="1.0"?><assembly xmlns="urn:schemas-microsoft-com:asm.v1" '
                    'manifestVersion="1.0"></assembly>')
        with open(os.path.join(system, "d.rc"), "w") as f:
            f.write('1 24 "d.manifest"\n')
        subprocess.check_call(["i686-w64-mingw32-windres", "-I", system,
                               os.path.join(system, "d.rc"), "-O", "coff",
                               "-o", os.path.join(system, "default-manifest.o")])
        with open(os.path.join(ours, "empty.c"), "w") as f:
            f.write("")
        subprocess.check_call(["i686-w64-mingw32-gcc", "-x", "c", "-c",
                               os.path.join(ours, "empty.c"),
                               "-o", os.path.join(ours, "default-manifest.o")])
        body = "int wmain() { return 0; }"
        twice = self.build("twice", body, self.RELEASE + ["-B" + system + "/"])
        _, failures, _ = self.run_checker(twice)
        self.assertTrue(any("2 RT_MANIFEST resources" in f for f in failures), failures)
        once = self.build("once", body,
                          self.RELEASE + ["-B" + ours + "/", "-B" + system + "/"])
        _, failures, _ = self.run_checker(once)
        self.assertEqual(failures, [])

    def test_image_with_debug_information_is_caught(self):
        exe = self.build("unsplit", "int wmain() { return 0; }", self.RELEASE,
                         split_debug=False)
        _, failures, _ = self.run_checker(exe)
        self.assertIn("debug: section .debug_info is in the image", failures)
        self.assertTrue(any(f.startswith("debug: the image carries a symbol table of ")
                            for f in failures), failures)
        self.assertIn("debug: no .gnu_debuglink section naming the debug file", failures)

    def test_debug_file_of_another_build_is_caught(self):
        body = "int wmain() { Sleep(%d); return 0; }"
        exe = self.build("stale", body % 1, self.RELEASE)
        other = self.build("other", body % 2, self.RELEASE)
        shutil.copyfile(other + ".debug", exe + ".debug")
        _, failures, _ = self.run_checker(exe)
        self.assertEqual(len(failures), 1, failures)
        self.assertIn("debug: stale.exe.debug does not belong to this image", failures[0])

    def test_static_symbolic_link_import_is_caught(self):
        body = ("int wmain(int c, wchar_t** v) {"
                " return CreateSymbolicLinkW(v[0], v[0], 0) ? 0 : 1; }")
        exe = self.build("static", body, self.RELEASE + ["-D_WIN32_WINNT=0x0600"])
        _, failures, _ = self.run_checker(exe)
        self.assertIn("imports: KERNEL32.dll!CreateSymbolicLinkW is imported statically; "
                      "it must be resolved with GetProcAddress", failures)
        self.assertIn("win2000: KERNEL32.dll!CreateSymbolicLinkW is not in the Windows 2000 "
                      "export list", failures)


if __name__ == "__main__":
    unittest.main()
