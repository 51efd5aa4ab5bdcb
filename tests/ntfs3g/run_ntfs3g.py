#!/usr/bin/env python3
"""A real NTFS driver reads the reparse records linkbatch writes.

The records come from emit_records (the product's junction, mount and
symbolic-link operations run on the simulated machine). Each is stored raw on
a fresh NTFS image mounted through ntfs-3g (extended attribute
system.ntfs_reparse_data); after a remount, so that the driver reads them back
from the disk, the test asserts that every record comes back byte for byte and
that the driver resolves it to the intended target.

The image plays drive C:. ntfs-3g looks a "\\??\\X:\\path" target up inside
the volume unless .NTFS-3G/X: exists on it; the test creates .NTFS-3G/D:, so
D: targets resolve to .NTFS-3G/D:/path, which the test also creates. What
ntfs-3g cannot map is recorded per shape in expected_resolution().

A second table of malformed records goes both through the simulation's
FSCTL_SET_REPARSE_POINT (emit_records set-reparse) and through ntfs-3g; where
the two disagree the table says why, and a disagreement without a reason, or
a reason where they agree, fails the test.

Exit codes: 0 pass, 1 fail, 77 skip (FUSE unavailable: not root, no
/dev/fuse, no fuse file system in the kernel).
"""
import argparse
import ctypes
import errno
import os
import shutil
import signal
import struct
import subprocess
import sys
import time

SKIP = 77
XATTR = "system.ntfs_reparse_data"
IMAGE_BYTES = 64 * 1024 * 1024
MOUNT_POINT_TAG = 0xA0000003
SYMLINK_TAG = 0xA000000C


class Failure(Exception):
    pass


# ------------------------------------------------------------------ FUSE

def fuse_unavailable():
    """The reason FUSE cannot be used here, or None."""
    if os.geteuid() != 0:
        return "not running as root"
    if not os.path.exists("/dev/fuse"):
        return "/dev/fuse does not exist"
    try:
        with open("/proc/filesystems") as f:
            if not any(line.split()[-1] == "fuse" for line in f if line.strip()):
                return "the kernel has no fuse file system"
    except OSError as e:
        return f"cannot read /proc/filesystems: {e}"
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as e:
        return f"cannot open /dev/fuse: {e}"
    return None


class NtfsMount:
    """ntfs-3g in the foreground on IMAGE at DIR, so that this process owns it
    and can wait for it to end after the unmount."""

    def __init__(self, image, directory):
        self.image = image
        self.directory = directory
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(
            ["ntfs-3g", "-o", "streams_interface=xattr,no_detach", self.image, self.directory],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while not os.path.ismount(self.directory):
            if self.process.poll() is not None:
                output = self.process.stdout.read().decode(errors="replace")
                raise Failure(f"ntfs-3g ended with {self.process.returncode} before mounting:\n{output}")
            if time.monotonic() > deadline:
                self.__exit__(None, None, None)
                raise Failure("ntfs-3g did not mount within 20 s")
            time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        unmount(self.directory)
        if self.process is not None:
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process.stdout.close()
            self.process = None
        return False


def unmount(directory):
    if not os.path.ismount(directory):
        return
    for command in (["fusermount", "-u", directory], ["umount", directory], ["umount", "-l", directory]):
        if shutil.which(command[0]) and subprocess.run(command, stderr=subprocess.DEVNULL).returncode == 0:
            return
    raise Failure(f"cannot unmount {directory}")


def make_image(path):
    with open(path, "wb") as f:
        f.truncate(IMAGE_BYTES)
    result = subprocess.run(["mkntfs", "-F", "-f", "-q", path], capture_output=True, text=True)
    if result.returncode != 0:
        raise Failure(f"mkntfs failed ({result.returncode}): {result.stderr}")


# ------------------------------------------------------------------ records

class Record:
    def __init__(self, link, kind, data, intended):
        self.link = link          # Windows path of the link on the simulated C:
        self.kind = kind          # "dir" or "file"
        self.data = data          # the reparse record
        self.intended = intended  # the Windows path or volume name it should reach


def read_records(emitter):
    result = subprocess.run([emitter, "records"], capture_output=True)
    if result.returncode != 0:
        raise Failure(f"emit_records records failed ({result.returncode}):\n"
                      + result.stderr.decode(errors="replace"))
    records = []
    for line in result.stdout.decode("utf-8").splitlines():
        fields = line.split("\t")
        if len(fields) != 5 or fields[0] != "record":
            raise Failure(f"unexpected emitter line: {line!r}")
        records.append(Record(fields[1], fields[2], bytes.fromhex(fields[3]), fields[4]))
    return records


def host_path(mnt, windows_path):
    """Where a C: path lies on the mounted image."""
    if windows_path[:3].upper() != "C:\\":
        raise Failure(f"not a C: path: {windows_path}")
    return os.path.join(mnt, windows_path[3:].replace("\\", "/"))


def expected_resolution(mnt, intended):
    """(what readlink should give, the path to create as the target or None).

    A readlink of None means ntfs-3g leaves the record unresolved."""
    if intended.startswith("\\\\?\\Volume{") and intended.endswith("\\"):
        # A volume mount point: ntfs-3g maps the volume name, without its
        # trailing backslash, into .NTFS-3G for the user to define.
        path = os.path.join(mnt, ".NTFS-3G", intended[4:-1])
        return path, path
    if intended.startswith("\\\\"):
        # Network targets: ntfs-3g has no mapping for "\??\UNC\" and shows the
        # record as an unsupported reparse point.
        return None, None
    drive, rest = intended[0].upper(), intended[3:].replace("\\", "/")
    if not rest:
        # A drive root: ntfs-3g only looks a path below a drive letter up in
        # the volume, so even C:\ goes through .NTFS-3G.
        path = os.path.join(mnt, ".NTFS-3G", drive + ":") + "/"
        return path, (path if drive != "C" else None)
    if drive == "C":
        path = os.path.join(mnt, rest)
    else:
        path = os.path.join(mnt, ".NTFS-3G", drive + ":", rest)
    return path, path


def create_target(path, kind):
    bare = path.rstrip("/")
    if kind == "dir":
        os.makedirs(bare, exist_ok=True)
    else:
        os.makedirs(os.path.dirname(bare), exist_ok=True)
        if not os.path.exists(bare):
            open(bare, "wb").close()


def create_entry(path, kind):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if kind == "dir":
        os.mkdir(path)
    else:
        open(path, "wb").close()


LIBC = ctypes.CDLL(None, use_errno=True)
LIBC.lgetxattr.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t]
LIBC.lgetxattr.restype = ctypes.c_ssize_t


def read_back(path):
    """The record stored on path. The size is asked for first: given a buffer
    too small for the record, ntfs-3g answers with the record's size and FUSE
    turns that into EIO, where os.getxattr would start with a small buffer."""
    name = XATTR.encode()
    encoded = os.fsencode(path)
    size = LIBC.lgetxattr(encoded, name, None, 0)
    if size >= 0:
        buffer = ctypes.create_string_buffer(size)
        size = LIBC.lgetxattr(encoded, name, buffer, size)
    if size < 0:
        e = ctypes.get_errno()
        raise OSError(e, os.strerror(e), path)
    return buffer.raw[:size]


def store(path, data):
    """None when ntfs-3g took the record, else the errno name."""
    try:
        os.setxattr(path, XATTR, data, follow_symlinks=False)
        return None
    except OSError as e:
        return errno.errorcode.get(e.errno, str(e.errno))


def check_record(mnt, record, failures):
    path = host_path(mnt, record.link)
    name = record.link
    try:
        back = read_back(path)
    except OSError as e:
        failures.append(f"{name}: reading the record back failed: {e}")
        return "unreadable"
    if back != record.data:
        failures.append(f"{name}: the record read back differs:\n  set  {record.data.hex()}\n  read {back.hex()}")
        return "read back differs"
    expected, _ = expected_resolution(mnt, record.intended)
    try:
        text = os.readlink(path)
    except OSError as e:
        failures.append(f"{name}: readlink failed: {e}")
        return "unreadable"
    if expected is None:
        tag = struct.unpack_from("<I", record.data)[0]
        want = f"unsupported reparse tag 0x{tag:08x}"
        if text != want:
            failures.append(f"{name}: expected the driver to leave it unresolved ({want!r}), got {text!r}")
        return "unresolved (network target)"
    # Relative results (relative symbolic links) are taken from the link's
    # folder; absolute ones must match exactly, trailing slash included.
    got = text if os.path.isabs(text) else os.path.normpath(os.path.join(os.path.dirname(path), text))
    if got != expected:
        failures.append(f"{name} -> {record.intended}: driver resolves to {text!r}, expected {expected!r}")
        return "wrong"
    if os.path.exists(expected) and not os.path.samefile(path, expected):
        failures.append(f"{name}: following the link does not reach {expected}")
        return "wrong"
    return "resolved"


# ------------------------------------------------------------------ malformed

def name_fields(sub, pr):
    return sub.encode("utf-16-le"), pr.encode("utf-16-le")


def junction(sub="\\??\\C:\\data", pr="C:\\data", fields=None, tail=b""):
    """A mount-point record in the layout junctions use; fields overrides the
    four name offsets and lengths, tail adds bytes counted in the length."""
    s, p = name_fields(sub, pr)
    names = s + b"\0\0" + p + b"\0\0" + tail
    fields = fields or (0, len(s), len(s) + 2, len(p))
    body = struct.pack("<4H", *fields) + names
    return struct.pack("<IHH", MOUNT_POINT_TAG, len(body), 0) + body


def symlink(sub="\\??\\C:\\data", pr="C:\\data", flags=0, fields=None):
    s, p = name_fields(sub, pr)
    fields = fields or (len(p), len(s), 0, len(p))
    body = struct.pack("<4HI", *fields, flags) + p + s
    return struct.pack("<IHH", SYMLINK_TAG, len(body), 0) + body


def with_length(record, length):
    return record[:4] + struct.pack("<H", length) + record[6:]


def guid_record(tag, data, length=None):
    """A third-party record: tag, length, reserved, a GUID, then the data."""
    guid = bytes(range(16))
    return struct.pack("<IHH", tag, len(data) if length is None else length, 0) + guid + data


def padded_junction(total):
    """A valid junction record grown to total bytes by a longer print name."""
    base = junction(pr="")
    extra = total - len(base)
    return junction(pr="x" * (extra // 2))


VALID = junction()
NO_NAMES = "ntfs-3g checks only that the substitute name lies inside the data"
STRICT_LAYOUT = ("ntfs-3g takes a mount point whose names lie anywhere inside the data; native NTFS "
                 "takes only the substitute name at offset 0, the print name right after its "
                 "terminator, both terminated, and nothing after them (Wine's ntdll file tests, "
                 "init_reparse_mount_point), and the simulation follows it")

# name, on a "dir" or "file", record, and why ntfs-3g differs from the
# simulation (None: they must agree on taking or refusing it).
MALFORMED = [
    ("length-short", "dir", with_length(VALID, len(VALID) - 10), None),
    ("length-long", "dir", with_length(VALID, len(VALID) - 6), None),
    ("length-zero", "dir", with_length(VALID, 0), None),
    ("head-only", "dir", struct.pack("<IHH", MOUNT_POINT_TAG, 0, 0), None),
    ("shorter-than-head", "dir", VALID[:6], None),
    ("name-fields-cut", "dir", VALID[:12], None),
    ("substitute-offset-outside", "dir", junction(fields=(200, 22, 24, 14)), None),
    ("substitute-length-outside", "dir", junction(fields=(0, 200, 24, 14)), None),
    ("substitute-offset-wraps", "dir", junction(fields=(0xFFFE, 22, 24, 14)), None),
    ("print-offset-outside", "dir", junction(fields=(0, 22, 200, 14)),
     NO_NAMES + "; the print name is not looked at"),
    ("print-length-outside", "dir", junction(fields=(0, 22, 24, 200)),
     NO_NAMES + "; the print name is not looked at"),
    ("substitute-length-odd", "dir", junction(fields=(0, 21, 24, 14)), STRICT_LAYOUT),
    ("names-swapped", "dir", junction(fields=(16, 22, 0, 14), sub="C:\\data", pr="\\??\\C:\\data"), STRICT_LAYOUT),
    ("size-odd", "dir", junction(tail=b"\0"), STRICT_LAYOUT),
    ("symlink-substitute-outside", "dir", symlink(fields=(14, 200, 0, 14)), None),
    ("symlink-print-outside", "dir", symlink(fields=(14, 22, 200, 14)),
     NO_NAMES + " of a symbolic link; the print name is not looked at"),
    ("symlink-without-flags", "dir", with_length(symlink(sub="", pr=""), 8)[:16], None),
    ("symlink-empty-relative", "dir", symlink(sub="", pr="", flags=1),
     "ntfs-3g does not refuse an empty relative target when it is set; Windows does "
     "(STATUS_IO_REPARSE_DATA_INVALID) and the simulation follows it"),
    ("tag-zero", "dir", guid_record(0, b"abcd"), None),
    ("tag-reserved-one", "dir", guid_record(1, b"abcd"),
     "ntfs-3g refuses only tag 0; Windows also refuses IO_REPARSE_TAG_RESERVED_ONE "
     "(STATUS_IO_REPARSE_TAG_INVALID) and the simulation follows it"),
    ("mount-point-on-file", "file", VALID, None),
    ("third-party-tag", "dir", guid_record(0x00001234, b"abcd"), None),
    ("third-party-tag-short-head", "dir", with_length(guid_record(0x00001234, b"abcd"), 20)[:28], None),
    ("microsoft-tag-guid-head", "dir", guid_record(0x80001234, b"abcd"), None),
    ("largest", "dir", padded_junction(16384), None),
    ("over-long", "dir", padded_junction(16386), None),
    ("over-long-length-field", "dir", padded_junction(65534), None),
]

# ntfs-3g refuses malformed data with EINVAL; data over 16 KiB it refuses with
# ERANGE, since the volume's attribute definitions cap a reparse point there.
DRIVER_ERRNO = {"over-long": "ERANGE", "over-long-length-field": "ERANGE"}


def simulation_results(emitter):
    lines = "".join(f"{name}\t{kind}\t{data.hex()}\n" for name, kind, data, _ in MALFORMED)
    result = subprocess.run([emitter, "set-reparse"], input=lines.encode(), capture_output=True)
    if result.returncode != 0:
        raise Failure(f"emit_records set-reparse failed ({result.returncode}):\n"
                      + result.stderr.decode(errors="replace"))
    codes = {}
    for line in result.stdout.decode().splitlines():
        name, code = line.split("\t")
        codes[name] = int(code)
    return codes


# ------------------------------------------------------------------ main

def run(emitter, work, failures):
    records = read_records(emitter)
    sim_codes = simulation_results(emitter)

    os.makedirs(work, exist_ok=True)
    image = os.path.join(work, "volume.img")
    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt, exist_ok=True)
    unmount(mnt)  # left over from an interrupted run
    make_image(image)

    outcomes = {}
    with NtfsMount(image, mnt):
        # The drive letter D: is defined on the volume; C: is the volume.
        os.makedirs(os.path.join(mnt, ".NTFS-3G", "D:"))
        for record in records:
            _, target = expected_resolution(mnt, record.intended)
            if target is not None:
                create_target(target, record.kind)
        for record in records:
            path = host_path(mnt, record.link)
            create_entry(path, record.kind)
            refused = store(path, record.data)
            if refused:
                failures.append(f"{record.link}: ntfs-3g refused the record ({refused}): {record.data.hex()}")
                outcomes[record.link] = "refused"

        driver = {}
        for name, kind, data, _ in MALFORMED:
            path = os.path.join(mnt, "malformed", name)
            create_entry(path, kind)
            driver[name] = store(path, data)

    # Read everything back through a fresh mount: the driver reads the disk,
    # and the kernel holds no stale view of entries that became links.
    with NtfsMount(image, mnt):
        for record in records:
            if record.link not in outcomes:
                outcomes[record.link] = check_record(mnt, record, failures)

    print(f"{len(records)} records stored on NTFS through ntfs-3g and read back:")
    for record in records:
        print(f"  {outcomes[record.link]:<28} {record.link} -> {record.intended}")

    print(f"\n{len(MALFORMED)} malformed records, simulation versus ntfs-3g:")
    differing = 0
    for name, kind, data, reason in MALFORMED:
        sim_takes = sim_codes[name] == 0
        driver_takes = driver[name] is None
        sim_text = "takes" if sim_takes else f"refuses {sim_codes[name]}"
        driver_text = "takes" if driver_takes else f"refuses {driver[name]}"
        print(f"  {name:<28} simulation {sim_text:<14} ntfs-3g {driver_text}")
        if sim_takes != driver_takes:
            differing += 1
            if reason is None:
                failures.append(f"malformed {name}: simulation and ntfs-3g disagree without a recorded reason")
            else:
                print(f"    differs: {reason}")
        elif reason is not None:
            failures.append(f"malformed {name}: a reason is recorded but simulation and ntfs-3g agree")
        want = DRIVER_ERRNO.get(name, "EINVAL")
        if not driver_takes and driver[name] != want:
            failures.append(f"malformed {name}: ntfs-3g refused with {driver[name]}, not {want}")
    print(f"  {len(MALFORMED) - differing} agree, {differing} differ (each with its reason)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--emitter", required=True, help="the emit_records program")
    parser.add_argument("--work", required=True, help="scratch folder for the image and mount point")
    args = parser.parse_args()

    reason = fuse_unavailable()
    if reason:
        print(f"SKIP: FUSE is unavailable ({reason}); ntfs-3g cannot mount an NTFS image here")
        return SKIP
    missing = [tool for tool in ("ntfs-3g", "mkntfs") if shutil.which(tool) is None]
    if missing:
        print(f"FAIL: {', '.join(missing)} not found; install the Debian package ntfs-3g (make deps)")
        return 1

    # A termination request still unmounts (the finally clauses run).
    def stop(signum, _frame):
        raise SystemExit(f"stopped by signal {signum}")
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    failures = []
    try:
        run(args.emitter, os.path.abspath(args.work), failures)
    except Failure as e:
        failures.append(str(e))
    finally:
        unmount(os.path.join(os.path.abspath(args.work), "mnt"))
    if failures:
        print("\nFAIL:")
        for f in failures:
            print(f"  {f}")
        return 1
    print("\nPASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
