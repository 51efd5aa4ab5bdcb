#!/usr/bin/python3
"""Release checks on a built linkbatch.exe, read from the image itself.

  check_pe.py [--arch x86|x64] [--lists DIR] linkbatch.exe

Checks: version resource (0.8.0.0, OriginalFilename), the embedded manifest
(one RT_MANIFEST #1, longPathAware, the supportedOS ids, asInvoker), console
subsystem, imports only from system DLLs, none of the run-time-resolved link
functions imported statically, and for x86 a subsystem version of 5.0 and
every import present in Windows 2000 according to the lists in tools/pe/.
The image carries no debug sections and no symbol table, names its split-off
debug file <image>.debug in a .gnu_debuglink section (whose CRC must match
that file when it lies beside the image), has no link time stamp (so that two
builds of one commit are identical), and stays within its size budget.
Exit status 0 when every check passes, 1 otherwise, 2 on usage errors.
"""

import argparse
import os
import re
import struct
import sys
import zlib

EXPECTED_VERSION = "0.8.0.0"
EXPECTED_ORIGINAL_FILENAME = "linkbatch.exe"

SUPPORTED_OS_IDS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}

# The probe resolves these with GetProcAddress so one image runs on systems
# that lack them; a static import would stop the loader on those systems.
DYNAMIC_ONLY = {
    "CreateHardLinkW",
    "CreateSymbolicLinkW",
    "GetVolumeNameForVolumeMountPointW",
    "SetVolumeMountPointW",
    "DeleteVolumeMountPointW",
}

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
SYSTEM_DLL_PREFIXES = ("api-ms-win-crt-",)

WIN2000_LISTS = {
    "kernel32.dll": "win2000-kernel32.txt",
    "advapi32.dll": "win2000-advapi32.txt",
    "msvcrt.dll": "win2000-msvcrt.txt",
}

# Size budgets of the stripped images. Measured at 0.8.0: 213,011 bytes (x64)
# and 288,797 bytes (x86); each budget leaves about a seventh for growth.
SIZE_BUDGET = {"x64": 240 * 1024, "x86": 320 * 1024}

DEBUG_SECTION_PREFIXES = (".debug", ".zdebug")
DEBUG_LINK_SECTION = ".gnu_debuglink"
COFF_SYMBOL_SIZE = 18

RT_VERSION = 16
RT_MANIFEST = 24
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_MACHINE_AMD64 = 0x8664


# ------------------------------------------------------------ pure checks
# Each takes already extracted data and returns a list of failure messages.

def check_version_strings(strings):
    failures = []
    for key in ("FileVersion", "ProductVersion"):
        got = strings.get(key)
        if got != EXPECTED_VERSION:
            failures.append("version: %s is %r, expected %r" % (key, got, EXPECTED_VERSION))
    got = strings.get("OriginalFilename")
    if got != EXPECTED_ORIGINAL_FILENAME:
        failures.append("version: OriginalFilename is %r, expected %r"
                        % (got, EXPECTED_ORIGINAL_FILENAME))
    return failures


def check_fixed_version(ms, ls, label):
    want = (0 << 16 | 8, 0 << 16 | 0)
    if (ms, ls) != want:
        return ["version: fixed %s is %d.%d.%d.%d, expected 0.8.0.0"
                % (label, ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)]
    return []


def _strip_xml_comments(text):
    return re.sub(r"<!--.*?-->", "", text, flags=re.S)


def check_manifest_text(text):
    failures = []
    body = _strip_xml_comments(text)
    lpa = re.search(r"<longPathAware\b([^>]*)>\s*true\s*</longPathAware>", body)
    if not lpa:
        failures.append("manifest: no <longPathAware>true</longPathAware>")
    elif "http://schemas.microsoft.com/SMI/2016/WindowsSettings" not in lpa.group(1):
        failures.append("manifest: longPathAware is not in the 2016 WindowsSettings namespace")
    found = {m.lower() for m in re.findall(r'<supportedOS\s+Id\s*=\s*"([^"]+)"', body)}
    for guid, name in sorted(SUPPORTED_OS_IDS.items()):
        if guid not in found:
            failures.append("manifest: supportedOS %s (%s) missing" % (guid, name))
    level = re.search(r'<requestedExecutionLevel\s+[^>]*level\s*=\s*"([^"]+)"', body)
    if not level or level.group(1) != "asInvoker":
        failures.append("manifest: requestedExecutionLevel is %r, expected 'asInvoker'"
                        % (level.group(1) if level else None))
    ui = re.search(r'<requestedExecutionLevel\s+[^>]*uiAccess\s*=\s*"([^"]+)"', body)
    if ui and ui.group(1) != "false":
        failures.append("manifest: uiAccess is %r, expected 'false'" % ui.group(1))
    return failures


def check_manifest_resources(entries):
    """entries: list of (resource id, language, text) of every RT_MANIFEST."""
    if not entries:
        return ["manifest: no RT_MANIFEST resource"]
    failures = []
    if len(entries) != 1:
        failures.append("manifest: %d RT_MANIFEST resources (%s), expected exactly one"
                        % (len(entries), ", ".join("#%s/lang %s" % (i, l) for i, l, _ in entries)))
    ident, _, text = entries[0]
    if ident != 1:
        failures.append("manifest: resource id is %s, expected 1 (CREATEPROCESS_MANIFEST_RESOURCE_ID)"
                        % ident)
    return failures + check_manifest_text(text)


def is_system_dll(name):
    low = name.lower()
    return low in SYSTEM_DLLS or low.startswith(SYSTEM_DLL_PREFIXES)


def check_import_dlls(imports):
    """imports: dict DLL name -> list of imported names (None for ordinals)."""
    return ["imports: %s is not a system DLL" % dll
            for dll in sorted(imports) if not is_system_dll(dll)]


def check_dynamic_only(imports):
    failures = []
    for dll, names in sorted(imports.items()):
        for name in names:
            if name in DYNAMIC_ONLY:
                failures.append("imports: %s!%s is imported statically; it must be resolved "
                                "with GetProcAddress" % (dll, name))
    return failures


def load_export_list(path):
    """Names of a tools/pe list: first token of every non-comment line.
    Returns (names, unconfirmed names)."""
    names, unconfirmed = set(), set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            name = line.split()[0]
            names.add(name)
            if "[UNCONFIRMED]" in line:
                unconfirmed.add(name)
    return names, unconfirmed


def check_win2000_imports(imports, lists):
    """lists: dict lower-case DLL name -> (names, unconfirmed names).
    Returns (failures, notes)."""
    failures, notes = [], []
    for dll, names in sorted(imports.items()):
        known = lists.get(dll.lower())
        if known is None:
            failures.append("win2000: no export list for %s" % dll)
            continue
        exported, unconfirmed = known
        for name in names:
            if name is None:
                failures.append("win2000: %s imported by ordinal; cannot be checked" % dll)
            elif name not in exported:
                failures.append("win2000: %s!%s is not in the Windows 2000 export list" % (dll, name))
            elif name in unconfirmed:
                notes.append("win2000: %s!%s rests on an unconfirmed list entry" % (dll, name))
    return failures, notes


def check_header(machine, subsystem, major_sub, minor_sub, arch):
    failures = []
    want_machine = IMAGE_FILE_MACHINE_I386 if arch == "x86" else IMAGE_FILE_MACHINE_AMD64
    if machine != want_machine:
        failures.append("header: machine 0x%x, expected 0x%x for %s" % (machine, want_machine, arch))
    if subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        failures.append("header: subsystem %d, expected %d (console)"
                        % (subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI))
    # The NT 5.0 loader refuses images that ask for a newer subsystem.
    if arch == "x86" and (major_sub, minor_sub) != (5, 0):
        failures.append("header: subsystem version %d.%d, expected 5.0 for x86"
                        % (major_sub, minor_sub))
    return failures


def check_no_time_stamp(stamp):
    # A build time in the header would make every build of a commit differ.
    if stamp != 0:
        return ["reproducible: the header carries the time stamp 0x%08x, expected 0" % stamp]
    return []


def check_no_debug_information(section_names, symbol_count):
    failures = ["debug: section %s is in the image" % name
                for name in section_names if name.startswith(DEBUG_SECTION_PREFIXES)]
    if symbol_count:
        failures.append("debug: the image carries a symbol table of %d symbols" % symbol_count)
    return failures


def check_size(size, arch):
    budget = SIZE_BUDGET[arch]
    if size > budget:
        return ["size: %d bytes, over the %s budget of %d bytes" % (size, arch, budget)]
    return []


def parse_debug_link(data):
    """(file name, CRC32) from the contents of a .gnu_debuglink section: the
    name, NUL-terminated and padded to four bytes, then the CRC. None when
    malformed."""
    end = data.find(b"\0")
    crc_at = (end + 4) & ~3
    if end <= 0 or len(data) < crc_at + 4:
        return None
    return data[:end].decode("utf-8", "replace"), struct.unpack_from("<I", data, crc_at)[0]


def check_debug_link(link, image_name, debug_data):
    """link: parse_debug_link's result, or None when the image has no link;
    debug_data: the bytes of the named file beside the image, or None when
    it is not there. Returns (failures, notes)."""
    if link is None:
        return ["debug: no %s section naming the debug file" % DEBUG_LINK_SECTION], []
    name, crc = link
    want = image_name + ".debug"
    if name != want:
        return ["debug: the debug link names %r, expected %r" % (name, want)], []
    if debug_data is None:
        return [], ["debug: %s is not beside the image; its CRC is not checked" % name]
    got = zlib.crc32(debug_data) & 0xFFFFFFFF
    if got != crc:
        return ["debug: %s does not belong to this image (its CRC is 0x%08x, the debug link "
                "says 0x%08x)" % (name, got, crc)], []
    return [], []


# ------------------------------------------------------------ PE extraction

def _decode(value):
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return value


def read_version(pe):
    """(string table dict, (FileVersionMS, LS), (ProductVersionMS, LS)) or None."""
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return None
    strings = {}
    for fileinfo in getattr(pe, "FileInfo", []) or []:
        for entry in fileinfo:
            for table in getattr(entry, "StringTable", []) or []:
                for k, v in table.entries.items():
                    strings[_decode(k)] = _decode(v)
    fixed = pe.VS_FIXEDFILEINFO[0]
    return (strings, (fixed.FileVersionMS, fixed.FileVersionLS),
            (fixed.ProductVersionMS, fixed.ProductVersionLS))


def read_manifests(pe):
    entries = []
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return entries
    for rtype in root.entries:
        if rtype.id != RT_MANIFEST:
            continue
        for rname in rtype.directory.entries:
            for rlang in rname.directory.entries:
                data = rlang.data.struct
                raw = pe.get_data(data.OffsetToData, data.Size)
                text = raw.decode("utf-8-sig", "replace")
                ident = rname.id if rname.name is None else str(rname.name)
                entries.append((ident, rlang.id, text))
    return entries


def read_imports(pe):
    imports = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) or []:
        dll = _decode(entry.dll)
        names = imports.setdefault(dll, [])
        for imp in entry.imports:
            names.append(_decode(imp.name) if imp.name else None)
    return imports


def read_sections(pe):
    """{name: data} of every section. A name longer than eight characters
    is stored as "/offset" into the COFF string table, which follows the
    symbol table and survives stripping."""
    data = pe.__data__
    strings = pe.FILE_HEADER.PointerToSymbolTable + pe.FILE_HEADER.NumberOfSymbols * COFF_SYMBOL_SIZE
    sections = {}
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode("utf-8", "replace")
        if name.startswith("/") and name[1:].isdigit() and pe.FILE_HEADER.PointerToSymbolTable:
            start = strings + int(name[1:])
            name = data[start:data.find(b"\0", start)].decode("utf-8", "replace")
        sections[name] = section.get_data()
    return sections


def read_debug_file(image_path, link):
    if link is None:
        return None
    path = os.path.join(os.path.dirname(os.path.abspath(image_path)), os.path.basename(link[0]))
    if not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def check_image(path, arch, lists_dir):
    import pefile  # Debian: python3-pefile

    try:
        pe = pefile.PE(path)
    except pefile.PEFormatError as e:
        return arch or "?", ["image: not a PE image (%s)" % e], []
    failures, notes = [], []

    machine = pe.FILE_HEADER.Machine
    if arch is None:
        arch = "x86" if machine == IMAGE_FILE_MACHINE_I386 else "x64"
    opt = pe.OPTIONAL_HEADER
    failures += check_header(machine, opt.Subsystem, opt.MajorSubsystemVersion,
                             opt.MinorSubsystemVersion, arch)
    failures += check_no_time_stamp(pe.FILE_HEADER.TimeDateStamp)

    version = read_version(pe)
    if version is None:
        failures.append("version: no VS_VERSIONINFO resource")
    else:
        strings, file_ver, product_ver = version
        failures += check_version_strings(strings)
        failures += check_fixed_version(file_ver[0], file_ver[1], "FILEVERSION")
        failures += check_fixed_version(product_ver[0], product_ver[1], "PRODUCTVERSION")

    failures += check_manifest_resources(read_manifests(pe))

    imports = read_imports(pe)
    failures += check_import_dlls(imports)
    failures += check_dynamic_only(imports)

    sections = read_sections(pe)
    failures += check_no_debug_information(sections, pe.FILE_HEADER.NumberOfSymbols)
    link_data = sections.get(DEBUG_LINK_SECTION)
    link = parse_debug_link(link_data) if link_data is not None else None
    if link_data is not None and link is None:
        failures.append("debug: the %s section is malformed" % DEBUG_LINK_SECTION)
    else:
        f, n = check_debug_link(link, os.path.basename(path), read_debug_file(path, link))
        failures += f
        notes += n
    failures += check_size(os.path.getsize(path), arch)

    if arch == "x86":
        lists = {dll: load_export_list(os.path.join(lists_dir, name))
                 for dll, name in WIN2000_LISTS.items()}
        f, n = check_win2000_imports(imports, lists)
        failures += f
        notes += n
    return arch, failures, notes


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("image")
    parser.add_argument("--arch", choices=("x86", "x64"),
                        help="expected architecture (default: from the image)")
    parser.add_argument("--lists", default=os.path.join(here, "pe"),
                        help="directory of the Windows 2000 export lists")
    args = parser.parse_args(argv)
    if not os.path.isfile(args.image):
        print("check_pe: no such file: %s" % args.image, file=sys.stderr)
        return 2
    arch, failures, notes = check_image(args.image, args.arch, args.lists)
    for note in notes:
        print("NOTE  " + note)
    for failure in failures:
        print("FAIL  " + failure)
    if failures:
        print("check_pe: %s (%s): %d check(s) failed" % (args.image, arch, len(failures)))
        return 1
    print("check_pe: %s (%s): all checks passed" % (args.image, arch))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
