#!/usr/bin/env python3
"""Runs the end-to-end cases of tests/e2e/cases/*.case on one backend.

    run.py --backend sim|wine-x64|wine-x86|windows [--exe PATH] [--filter TEXT]

The case format, the placeholders and what each backend judges are in
tests/e2e/README.md. Standard library only: this runs on Linux and on
Windows' own Python. The last line printed is "N passed, M failed, ..." and
the exit status is 0 when nothing failed, 1 otherwise, 77 when the backend
cannot run here at all (ctest's skip code).
"""
import argparse
import os
import re
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
BACKENDS = ("sim", "wine-x64", "wine-x86", "windows")
CAPABILITIES = ("elevated", "symlink", "volume2", "devmode", "sim-only")
SKIP = 77
# The 64-bit loader starts programs of both architectures (it hands a 32-bit
# one to the 32-bit loader); Debian's `wine` script would start the 32-bit
# loader first, which under qemu costs seconds.
WINE64 = "/usr/lib/wine/wine64"
IO_REPARSE_TAG_MOUNT_POINT = 0xA0000003
IO_REPARSE_TAG_SYMLINK = 0xA000000C
FILE_ATTRIBUTE_READONLY = 0x1
FILE_ATTRIBUTE_HIDDEN = 0x2
FILE_ATTRIBUTE_DIRECTORY = 0x10
FILE_ATTRIBUTE_REPARSE_POINT = 0x400


class CaseError(Exception):
    """A case file that does not follow the format."""


class Broken(Exception):
    """A case that cannot be carried out on this backend as written."""


# --------------------------------------------------------------- the format

class Expect:
    def __init__(self):
        self.exit = None     # int, or None: not checked
        self.records = None  # list of str, "none", or None: not checked
        self.tree = []       # (path, kind, target or None, unchanged)


class Case:
    def __init__(self, name, where):
        self.name = name
        self.where = where
        self.about = ""
        self.needs = []
        self.setup = []
        self.commands = []
        self.file_options = {"bom": False, "end": "\r\n", "last": True}
        self.args = None      # None: the default; else a list of texts
        self.results = False
        self.cwd = None
        self.sim = []
        self.kill = None
        self.expect = Expect()
        self.differences = []  # (backends, reason, Expect)

    def expect_on(self, backend):
        """The declared difference of this backend, or None."""
        for backends, reason, expect in self.differences:
            if backend in backends:
                return reason, expect
        return None


NAME = re.compile(r"^[A-Za-z0-9-]+$")
SECTION = re.compile(r"^([a-z-]+):(?: (.*))?$")
BLOCKS = ("setup", "commands", "records", "tree")


def parse_args_line(text, where):
    """`args:` words: double-quoted texts or bare words."""
    if text.strip() == "none":
        return []
    words = re.findall(r'"([^"]*)"|(\S+)', text)
    if '"' in re.sub(r'"[^"]*"', "", text):
        raise CaseError(f"{where}: unbalanced quotation marks in args")
    return [a if a or not b else b for a, b in words]


def parse_tree_line(text, where):
    m = re.match(r"^(\S+)\s+(absent|dir|file|junction|mount|symlink-dir|symlink-file|empty)"
                 r"(?:\s+->\s+(.*?))?(\s+unchanged)?\s*$", text)
    if not m:
        raise CaseError(f"{where}: tree entry '{text}' is not PATH KIND [-> TARGET] [unchanged]")
    return (m.group(1).replace("/", "\\"), m.group(2), m.group(3), bool(m.group(4)))


def parse_file(path):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    cases = []
    case = None
    target = None      # the Expect that exit/records/tree sections fill
    in_difference = False
    block = None       # (name, list, indent)

    def end_block():
        nonlocal block
        if block:
            items = block[1]
            while items and items[-1] == "":
                items.pop()
            if block[0] == "setup":
                for item in items:
                    try:
                        parse_item(item)
                    except CaseError as e:
                        raise CaseError(f"{block[3]}: {e}") from None
            elif block[0] == "tree":
                target.tree = [parse_tree_line(t, block[3]) for t in items]
            elif block[0] == "records":
                target.records = "none" if items == ["none"] else list(items)
        block = None

    for number, raw in enumerate(lines, 1):
        line = raw[:-1] if raw.endswith("\r") else raw
        where = f"{os.path.basename(path)}:{number}"
        if line.startswith("#"):
            continue
        if block and (line.startswith(block[2]) or line == ""):
            block[1].append(line[len(block[2]):])
            continue
        end_block()
        if not line.strip():
            continue
        if line.startswith("case "):
            name = line[5:].strip()
            if not NAME.match(name):
                raise CaseError(f"{where}: case name '{name}' is not letters, digits and '-'")
            case = Case(name, where)
            cases.append(case)
            target = case.expect
            in_difference = False
            continue
        if case is None:
            raise CaseError(f"{where}: '{line}' before the first case")
        if line.startswith("on "):
            head, sep, reason = line[3:].partition(":")
            backends = head.split()
            if not sep or not reason.strip() or not backends:
                raise CaseError(f"{where}: a difference is 'on BACKEND ...: REASON'")
            for b in backends:
                if b not in BACKENDS:
                    raise CaseError(f"{where}: unknown backend '{b}'")
            target = Expect()
            case.differences.append((backends, reason.strip(), target))
            in_difference = True
            continue
        indent = ""
        if in_difference:
            if not line.startswith("  "):
                in_difference = False
                target = case.expect
            else:
                indent = "  "
                line = line[2:]
        m = SECTION.match(line)
        if not m:
            raise CaseError(f"{where}: '{line}' is not a section")
        key, value = m.group(1), (m.group(2) or "")
        if in_difference and key not in ("exit", "records", "tree"):
            raise CaseError(f"{where}: a difference declares only exit, records and tree")
        if key in BLOCKS:
            if value:
                raise CaseError(f"{where}: {key}: is a block; its lines follow, indented")
            items = []
            block = (key, items, indent + "  ", where)
            if key == "setup":
                case.setup = items
            elif key == "commands":
                case.commands = items
            continue
        if key == "about":
            case.about = value
        elif key == "needs":
            case.needs = value.split()
            for cap in case.needs:
                if cap not in CAPABILITIES:
                    raise CaseError(f"{where}: unknown capability '{cap}'")
        elif key == "commands-file":
            for option in value.split():
                if option == "bom":
                    case.file_options["bom"] = True
                elif option in ("end=crlf", "end=lf"):
                    case.file_options["end"] = "\r\n" if option == "end=crlf" else "\n"
                elif option == "last=none":
                    case.file_options["last"] = False
                else:
                    raise CaseError(f"{where}: unknown commands-file option '{option}'")
        elif key == "args":
            case.args = parse_args_line(value, where)
        elif key == "results":
            if value != "yes":
                raise CaseError(f"{where}: results: takes only yes")
            case.results = True
        elif key == "cwd":
            case.cwd = value.replace("/", "\\")
        elif key == "sim":
            case.sim = shlex.split(value)
        elif key == "kill":
            if not value.isdigit() or int(value) < 1:
                raise CaseError(f"{where}: kill: wants a number of records from 1")
            case.kill = int(value)
        elif key == "exit":
            if not value.isdigit() or int(value) > 0xFFFFFFFF:
                raise CaseError(f"{where}: exit: wants an unsigned 32-bit number")
            target.exit = int(value)
        else:
            raise CaseError(f"{where}: unknown section '{key}'")
    end_block()
    return cases


def load_cases(folder):
    cases = []
    seen = {}
    for name in sorted(os.listdir(folder)):
        if name.endswith(".case"):
            for case in parse_file(os.path.join(folder, name)):
                if case.name in seen:
                    raise CaseError(f"{case.where}: case {case.name} also at {seen[case.name]}")
                seen[case.name] = case.where
                cases.append(case)
    return cases


# --------------------------------------------------------------- placeholders

UNIT = re.compile(r"<U\+([0-9A-Fa-f]{4})>")
REPEAT = re.compile(r"<repeat (\d+) ")


def expand_units(text, start=0, inner=False):
    """<U+XXXX> and <repeat N TEXT> (TEXT may hold units and repeats, ends at
    its own '>'). Returns the text, or (text, end) for a repeat's body."""
    out = []
    i = start
    while i < len(text):
        if inner and text[i] == ">":
            return "".join(out), i + 1
        m = UNIT.match(text, i)
        if m:
            out.append(chr(int(m.group(1), 16)))
            i = m.end()
            continue
        m = REPEAT.match(text, i)
        if m:
            body, i = expand_units(text, m.end(), True)
            out.append(body * int(m.group(1)))
            continue
        out.append(text[i])
        i += 1
    if inner:
        raise CaseError(f"'<repeat' without its closing '>' in '{text[:60]}'")
    return "".join(out)


class Places:
    """What the placeholders stand for in one case on one backend."""

    def __init__(self, root, commands, results, drives, volume, volume2, unc):
        self.root = root          # the case directory, as the product sees it
        self.unc = unc            # the same through a server share, without "\\\\"
        self.commands = commands
        self.results = results
        self.drives = drives      # case letter ("Q") -> letter with colon ("R:")
        self.volume = volume      # "C:\"
        self.volume2 = volume2

    def expand(self, text):
        def brace(m):
            key = m.group(1)
            if key == "root":
                return self.root
            if key == "commands":
                return self.commands
            if key == "results":
                return self.results
            if key == "volume":
                return self.volume
            if key == "unc":
                return self.unc
            if key == "volume2":
                if not self.volume2:
                    raise Broken("{volume2} without a second volume")
                return self.volume2
            if len(key) == 2 and key[1] == ":":
                if key[0] not in self.drives:
                    raise CaseError(f"{{{key}}} names no drive item")
                return self.drives[key[0]]
            return m.group(0)
        return expand_units(re.sub(r"\{([A-Za-z0-9]+:?)\}", brace, text))


def drive_items(case):
    """(case letter, relative path) of each `drive` item."""
    return [tuple(fields) for kind, fields in map(parse_item, case.setup) if kind == "drive"]


def command_bytes(case, places):
    lines = [places.expand(line) for line in case.commands]
    end = case.file_options["end"]
    text = "".join(line + end for line in lines)
    if lines and not case.file_options["last"]:
        text = text[:-len(end)]
    if case.file_options["bom"]:
        text = "\ufeff" + text
    return text.encode("utf-16-le", "surrogatepass")


def case_args(case, places):
    if case.args is not None:
        return [places.expand(a) for a in case.args]
    return [places.commands, places.results] if case.results else [places.commands]


def setup_lines(case, places):
    """The `run` items as a command file's lines (leading space added)."""
    out = []
    for item in case.setup:
        if item.startswith("run "):
            line = places.expand(item[4:])
            out.append(line if line.startswith(" ") else " " + line)
    return out


def encode_lines(lines):
    return "".join(line + "\r\n" for line in lines).encode("utf-16-le", "surrogatepass")


def original_bytes(case, places):
    """What `unchanged` compares with: the bytes each `file` item gave its
    path (upper case), and the command file's (commands.txt, {COMMANDS})."""
    out = {"{COMMANDS}": command_bytes(case, places), "COMMANDS.TXT": command_bytes(case, places)}
    for item in case.setup:
        kind, fields = parse_item(item)
        if kind == "file":
            out[places.expand(fields[0]).upper()] = places.expand(fields[1]).encode("utf-8", "surrogatepass")
    return out


def parse_item(item):
    """A set-up item as (kind, fields)."""
    m = re.match(r"^(dir|hidden|readonly) (\S.*)$", item)
    if m:
        return m.group(1), [m.group(2).replace("/", "\\")]
    m = re.match(r"^file (\S+)(?: (.*))?$", item)
    if m:
        return "file", [m.group(1).replace("/", "\\"), m.group(2) or ""]
    m = re.match(r"^hardlink (\S+) = (\S+)$", item)
    if m:
        return "hardlink", [m.group(1).replace("/", "\\"), m.group(2).replace("/", "\\")]
    m = re.match(r"^drive ([A-Z]): (\S.*)$", item)
    if m:
        return "drive", [m.group(1), m.group(2).replace("/", "\\")]
    if item.startswith("run "):
        return "run", [item[4:]]
    raise CaseError(f"unknown set-up item '{item}'")


# --------------------------------------------------------------- trees

class Node:
    def __init__(self, kind, target=None, data=None, children=0):
        self.kind = kind          # dir, file, junction, mount, symlink-dir, symlink-file, reparse:...
        self.target = target
        self.data = data          # a file's bytes, when read
        self.children = children  # a directory's entry count

    def show(self):
        return self.kind + (f" -> {self.target}" if self.target is not None else "")


class Tree:
    """The normalised tree every backend reads back: case-relative Windows
    paths to nodes, looked up without regard to case as NTFS does."""

    def __init__(self):
        self.nodes = {}

    def add(self, rel, node):
        self.nodes[rel.upper()] = node

    def add_file(self, name, data):
        """The command or results file under {commands} or {results}."""
        if data is not None:
            self.add(name, Node("file", data=data))

    def count_children(self):
        """Entry counts of the directories, for a tree read as a flat list."""
        for key, node in self.nodes.items():
            if key:
                parent = self.nodes.get(key.rsplit("\\", 1)[0] if "\\" in key else "")
                if parent is not None:
                    parent.children += 1

    def get(self, rel):
        return self.nodes.get(rel.upper().rstrip("\\") if rel not in ("", ".") else "")


def parse_reparse(data, is_directory):
    """(kind, target) of raw reparse data: a junction or symbolic link shows
    its print name, a volume mount point its substitute name. The names are
    checked against the data's length, which may be hostile."""
    if len(data) < 8:
        return "reparse:?", None
    tag = int.from_bytes(data[0:4], "little")
    kind = "reparse:0x%08x" % tag
    buffer = {IO_REPARSE_TAG_MOUNT_POINT: 16, IO_REPARSE_TAG_SYMLINK: 20}.get(tag)
    limit = min(len(data), 8 + int.from_bytes(data[4:6], "little"))
    if buffer is None or limit < buffer:
        return kind, None

    def name(at):
        offset = int.from_bytes(data[at:at + 2], "little")
        length = int.from_bytes(data[at + 2:at + 4], "little")
        start = buffer + offset
        if length % 2 or start + length > limit:
            return None
        return data[start:start + length].decode("utf-16-le", "surrogatepass")

    substitute, printed = name(8), name(12)
    if substitute is None or printed is None:
        return kind, None
    if tag == IO_REPARSE_TAG_SYMLINK:
        return ("symlink-dir" if is_directory else "symlink-file"), printed
    if substitute.startswith("\\??\\Volume{"):
        return "mount", substitute
    return "junction", printed


def read_tree(top, listdir, lstat, read_reparse, read_data, attributes_of=None):
    """Walks the host folder `top` without entering reparse points or host
    symbolic links. The file-system functions are parameters so that the
    Windows walk can be exercised anywhere; attributes_of(st) gives the
    Windows attributes (None: the host has none)."""
    tree = Tree()

    def walk(path, rel):
        st = lstat(path)
        attrs = attributes_of(st) if attributes_of else 0
        # A directory symbolic link is no directory to lstat; its attributes
        # say what it is.
        is_dir = bool(attrs & FILE_ATTRIBUTE_DIRECTORY) if attributes_of else stat.S_ISDIR(st.st_mode)
        reparse = bool(attrs & FILE_ATTRIBUTE_REPARSE_POINT)
        if reparse:
            kind, target = parse_reparse(read_reparse(path), is_dir)
            tree.add(rel, Node(kind, target))
            return
        if stat.S_ISLNK(st.st_mode):
            tree.add(rel, Node("host-symlink", os.readlink(path)))
            return
        if is_dir:
            names = listdir(path)
            tree.add(rel, Node("dir", children=len(names)))
            for n in names:
                walk(os.path.join(path, n), rel + "\\" + n if rel else n)
        else:
            tree.add(rel, Node("file", data=read_data(path)))

    try:
        lstat(top)
    except OSError:
        return tree
    walk(top, "")
    return tree


def read_host_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


# --------------------------------------------------------------- judging

def read_records(data):
    """(records, problem) of a results file's bytes."""
    if not data.startswith(b"\xff\xfe"):
        return None, "the results file has no byte-order mark"
    text = data[2:].decode("utf-16-le", "surrogatepass")
    pieces = text.split("\r\n")
    if pieces[-1] != "":
        return None, f"the results file ends in a torn record {pieces[-1]!r}"
    if any("\n" in p or "\r" in p for p in pieces):
        return None, "the results file holds a line end other than CR LF"
    return [p.replace("\t", "|") for p in pieces[:-1]], None


def check_records(want, data, kill):
    """What is wrong with the results file, as a list of texts."""
    if want == "none":
        return [] if data is None else ["a results file was written"]
    if data is None:
        return ["no results file was written"]
    got, problem = read_records(data)
    if problem:
        return [problem]
    if kill is None:
        if got != want:
            return ["records differ:\n      expected " + "\n               ".join(want) +
                    "\n      got      " + "\n               ".join(got)]
        return []
    # A killed run: the listed records, then only records that repeat the
    # last listed one with the line number counting on.
    problems = []
    if len(got) < kill:
        problems.append(f"{len(got)} records, fewer than the {kill} seen before the kill")
    if got[:len(want)] != want:
        problems.append(f"the records begin {got[:len(want)]}, expected {want}")
    elif len(want) >= 2:
        number, fields = want[-1].split("|", 1)
        for i, record in enumerate(got[len(want):], int(number) + 1):
            if record != f"{i}|{fields}":
                problems.append(f"record {record!r} where {i}|{fields} was due")
                break
    return problems


def check_tree(entries, tree, texts, places):
    problems = []
    for path, kind, target, unchanged in entries:
        if path.lower() not in ("{commands}", "{results}"):
            path = places.expand(path)
        node = tree.get(path)
        want = kind + (f" -> {places.expand(target)}" if target is not None else "")
        if kind == "absent":
            if node is not None:
                problems.append(f"{path}: expected absent, got {node.show()}")
            continue
        if node is None:
            problems.append(f"{path}: expected {want}, got absent")
            continue
        if kind == "empty":
            if node.kind != "dir" or node.children:
                problems.append(f"{path}: expected an empty directory, got {node.show()}"
                                f" with {node.children} entries")
        elif node.kind != kind or (target is not None and node.target != places.expand(target)):
            problems.append(f"{path}: expected {want}, got {node.show()}")
        if unchanged:
            original = texts.get(path.upper())
            if original is None:
                problems.append(f"{path}: 'unchanged', but the set-up gave it no content")
            elif node.data != original:
                problems.append(f"{path}: its bytes changed")
    return problems


class Outcome:
    """What one run of a case left."""

    def __init__(self):
        self.exit = None
        self.printed = []
        self.results = None   # the results file's bytes, None when absent
        self.tree = Tree()
        self.setup_failure = None
        self.failure = None   # the run itself went wrong (broken, stopped)


def compare(case, expect, outcome, places, texts):
    problems = []
    if outcome.failure:
        return [outcome.failure]
    if outcome.setup_failure:
        problems.append(outcome.setup_failure)
    if outcome.printed:
        problems.append("the program printed " + repr("\n".join(outcome.printed)))
    if expect.exit is not None and outcome.exit != expect.exit:
        problems.append(f"exit code {outcome.exit}, expected {expect.exit}")
    if expect.records is not None:
        want = expect.records if expect.records == "none" else [places.expand(r) for r in expect.records]
        problems += check_records(want, outcome.results, case.kill)
    problems += check_tree(expect.tree, outcome.tree, texts, places)
    return problems


def merged(case, declared):
    """The case's expectations with a declared difference's sections put in."""
    out = Expect()
    out.exit = declared.exit if declared.exit is not None else case.expect.exit
    out.records = declared.records if declared.records is not None else case.expect.records
    out.tree = declared.tree if declared.tree else case.expect.tree
    return out


def judge(case, backend, outcome, places, texts):
    """("pass" | "declared" | "fail", details)."""
    own = compare(case, case.expect, outcome, places, texts)
    difference = case.expect_on(backend)
    if difference is None:
        return ("pass", []) if not own else ("fail", own)
    reason, declared = difference
    if outcome.failure:
        return "fail", [outcome.failure]
    if not own:
        return "fail", [f"the declared difference no longer happens ({reason}): remove it"]
    outcome.setup_failure = None  # a set-up the backend cannot make is part of the difference
    other = compare(case, merged(case, declared), outcome, places, texts)
    if other:
        return "fail", ["neither the case's result nor the declared one:"] + other
    return "declared", [reason]


# --------------------------------------------------------------- host set-up

def set_dos_attribute(path, bit):
    """Hidden and system as Wine keeps them on a Linux file system."""
    try:
        current = int(os.getxattr(path, "user.DOSATTRIB").decode().strip("\0"), 16)
    except (OSError, ValueError):
        current = 0
    os.setxattr(path, "user.DOSATTRIB", b"0x%x" % (current | bit))


def make_host_setup(case, places, host_of, attributes):
    """Makes the set-up's directories, files, attributes and hard links on the
    host, host_of mapping a case-relative path to a host path; attributes
    (path, "hidden"|"readonly") sets an attribute. Returns the `run` lines."""
    for item in case.setup:
        kind, fields = parse_item(item)
        if kind == "dir":
            os.makedirs(host_of(places.expand(fields[0])), exist_ok=True)
        elif kind == "file":
            path = host_of(places.expand(fields[0]))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(places.expand(fields[1]).encode("utf-8", "surrogatepass"))
        elif kind == "drive":
            os.makedirs(host_of(fields[1]), exist_ok=True)
        elif kind == "hardlink":
            os.link(host_of(places.expand(fields[1])), host_of(places.expand(fields[0])))
        elif kind in ("hidden", "readonly"):
            attributes(host_of(places.expand(fields[0])), kind)
    return setup_lines(case, places)


def posix_attributes(path, kind):
    if kind == "hidden":
        set_dos_attribute(path, FILE_ATTRIBUTE_HIDDEN)
    else:
        mode = os.lstat(path).st_mode
        os.chmod(path, mode & ~(stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH))


def posix_remove_tree(top):
    """Removes a scratch tree whose entries may be read-only."""
    def writable(func, path, _):
        os.chmod(path, stat.S_IRWXU)
        parent = os.path.dirname(path)
        os.chmod(parent, os.lstat(parent).st_mode | stat.S_IWUSR)
        func(path)
    if os.path.lexists(top):
        for dirpath, dirnames, _ in os.walk(top):
            os.chmod(dirpath, stat.S_IRWXU)
        shutil.rmtree(top, onerror=writable)


def setup_records_failure(data):
    """Why the set-up command file's results say it failed, or None."""
    if data is None:
        return "the set-up wrote no results file"
    records, problem = read_records(data)
    if problem:
        return "set-up: " + problem
    for record in records[1:]:
        fields = record.split("|")
        if fields[0] != "end" and fields[2:] != ["ran", "0"]:
            return f"set-up line {fields[0]} ended with {'|'.join(fields[2:])}"
    return None


# --------------------------------------------------------------- sim backend

FAULT_OPTIONS = ("--fail", "--fail-nth", "--kill-at")


def split_sim_options(options):
    """(machine options, fault options) of a case's `sim:` words."""
    machine, faults = [], []
    i = 0
    while i < len(options):
        word = options[i]
        name = word.split("=", 1)[0]
        into = faults if name in FAULT_OPTIONS else machine
        into.append(word)
        if "=" not in word and name in FAULT_OPTIONS and i + 1 < len(options):
            into.append(options[i + 1])
            i += 1
        i += 1
    return machine, faults


def parse_sim_trees(lines):
    """The entries linkbatch-sim printed after the last run: full Windows
    path (upper case) -> Node, a file's bytes from its --dump-data line."""
    nodes = {}
    last = None
    for line in lines:
        if line.startswith("  ") and last is not None:
            data = bytes(int(b, 16) for b in line.split())
            if last.kind == "file":
                last.data = data
            continue
        fields = line.split("\t")
        if len(fields) < 2:
            continue
        kind = fields[1]
        target = fields[2][3:] if len(fields) > 2 and fields[2].startswith("-> ") else None
        last = Node(kind, target, data=b"" if kind == "file" else None)
        nodes[fields[0].upper()] = last
    return nodes


class SimBackend:
    name = "sim"

    def __init__(self, tool, work):
        self.tool = tool
        self.work = work

    def missing(self, case):
        return None

    def run(self, cases):
        out = {}
        for case in cases:
            places = self.places(case)
            out[case.name] = (self.run_case(case, places), places, original_bytes(case, places))
        return out

    def places(self, case):
        letters = [c for c in "DEFGHIJKLMNOPQRSTUVWXY"]
        drives = {}
        for letter, _ in drive_items(case):
            drives[letter] = letters.pop(0) + ":"
        root = "C:\\e2e\\" + case.name
        return Places(root, root + "\\commands.txt", root + "\\results.txt", drives, "C:\\",
                      letters.pop(0) + ":\\", "e2e\\root")

    def run_case(self, case, places):
        outcome = Outcome()
        base = os.path.join(self.work, case.name)
        os.makedirs(base)
        volume_c = os.path.join(base, "C")
        drives = {}  # case-relative folder (upper case) -> (host folder, letter)
        for letter, rel in drive_items(case):
            drives[rel.upper()] = (os.path.join(base, "drive-" + letter), places.drives[letter][0])

        def host_of(rel):
            for folder, (host, _) in drives.items():
                if rel.upper() == folder or rel.upper().startswith(folder + "\\"):
                    return os.path.join(host, *rel[len(folder):].split("\\"))
            return os.path.join(volume_c, "e2e", case.name, *rel.split("\\"))

        os.makedirs(host_of(""))
        with open(host_of("commands.txt"), "wb") as f:
            f.write(command_bytes(case, places))
        run_lines = make_host_setup(case, places, host_of, posix_attributes)
        # linkbatch reads its command file, and meets it under other names,
        # on the host; the volume's copy only lists it.
        routes = {"COMMANDS.TXT": "commands.txt"}
        for kind, fields in map(parse_item, case.setup):
            if kind == "hardlink" and places.expand(fields[1]).upper() in routes:
                routes[places.expand(fields[0]).upper()] = places.expand(fields[0])
        command = [self.tool, "--volume", "C:=" + volume_c]
        for rel in routes.values():
            command += ["--route", f"{places.root}\\{rel}={host_of(rel)}"]
        for host, letter in drives.values():
            command += ["--volume", f"{letter}:={host}"]
        command += ["--volume", places.volume2[:2], "--share", f"\\\\{places.unc}={places.root}"]
        command += ["--cd", places.root + ("\\" + case.cwd if case.cwd else "")]
        machine, faults = split_sim_options([places.expand(o) for o in case.sim])
        if case.kill:
            faults += ["--kill-at", f"WriteFile:{case.kill + 1}"]
        command += machine + ["--show", "--dump-reparse", "--dump-data"]
        args = case_args(case, places)
        setup_results = os.path.join(base, "setup-results.txt")
        if run_lines:
            setup = os.path.join(base, "setup.txt")
            with open(setup, "wb") as f:
                f.write(encode_lines(run_lines))
            if not 1 <= len(args) <= 2:
                outcome.failure = "a case with a set-up run gives the sim backend 1 or 2 arguments"
                return outcome
            command += [setup, setup_results, "--then", args[0]] + args[1:] + faults
        else:
            command += faults + ["--"] + args
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        stdout = run.stdout.decode("utf-8", "replace").split("\n")
        stderr = run.stderr.decode("utf-8", "replace").strip()
        exits = [i for i, line in enumerate(stdout) if line.startswith("exit code: ")]
        # Anything on standard error is a set-up the tool refused or skipped,
        # a fault that never came due, a handle the run left open, or a use
        # the simulation does not model.
        if stderr or not exits:
            outcome.failure = f"linkbatch-sim ended with {run.returncode}: {stderr}"
            return outcome
        if run_lines:
            outcome.setup_failure = setup_records_failure(read_host_file(setup_results))
        outcome.exit = int(stdout[exits[-1]].split(": ")[1])
        after = max(i for i in range(exits[-1]) if stdout[i] == "after:")
        start = exits[-2] + 1 if len(exits) > 1 else stdout.index("before:") + 1
        for line in stdout[start:after]:
            tree_line = re.match(r"^[A-Z]:\\.*\t", line) or line.startswith("  ")
            if not (line.startswith(("then: ", "killed at ")) or (len(exits) == 1 and tree_line)):
                outcome.printed.append(line)
        nodes = parse_sim_trees(stdout[after + 1:exits[-1]])
        prefix = places.root.upper() + "\\"
        for full, node in nodes.items():
            if full == places.root.upper():
                outcome.tree.add("", node)
            elif full.startswith(prefix):
                outcome.tree.add(full[len(prefix):], node)
        for folder, (_, letter) in drives.items():
            for full, node in nodes.items():
                if full.startswith(letter + ":\\"):
                    rel = full[3:]
                    outcome.tree.add(folder + ("\\" + rel if rel else ""), node)
        outcome.tree.count_children()
        for rel in routes.values():
            data = read_host_file(host_of(rel))
            if data is None:
                outcome.tree.nodes.pop(rel.upper(), None)
            else:
                outcome.tree.add(rel, Node("file", data=data))
        outcome.tree.add_file("{commands}", read_host_file(host_of("commands.txt")))
        results = args[1:2]
        if results:
            routed = outcome.tree.get(results[0][len(places.root) + 1:]) \
                if results[0].upper().startswith(places.root.upper() + "\\") else None
            if routed is not None and results[0][len(places.root) + 1:].upper() in routes:
                outcome.results = routed.data
            elif is_machine_path(results[0]):
                node = nodes.get(results[0].upper())
                outcome.results = node.data if node is not None and node.kind == "file" else None
            else:
                outcome.results = read_host_file(results[0])
            outcome.tree.add_file("{results}", outcome.results)
        return outcome


def is_machine_path(path):
    """What linkbatch-sim makes on the simulated machine, not on the host."""
    return path.startswith("\\") or (len(path) >= 2 and path[1] == ":" and path[0].isalpha())


# --------------------------------------------------------------- Wine backends

class HostRunBackend:
    """What the backends that run the real executable share: the case
    folders on this machine's own file system, set up and read back by the
    driver."""

    def case_root(self, case):
        return os.path.join(self.work, "cases", case.name)

    def files(self, case):
        return os.path.join(self.work, "files", case.name)

    def kill_run(self, case, command, results_host, cwd):
        """Starts the run, ends it from outside once its results file holds
        case.kill records, and returns the Outcome (exit code unchecked)."""
        outcome = Outcome()
        proc = subprocess.Popen(command, cwd=cwd, env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 300
        try:
            while proc.poll() is None and time.monotonic() < deadline:
                data = read_host_file(results_host) or b""
                if data.count(b"\r\x00\n\x00") >= case.kill:
                    break
                time.sleep(0.01)
            ended = proc.poll() is not None
        finally:
            proc.kill()
            proc.wait()
        if ended:
            outcome.failure = f"the run ended before its results file held {case.kill} records"
        return outcome


class WineBackend(HostRunBackend):
    """The real executable under Wine, the case folders on the host seen
    through drive Z:, drive letters mapped in the prefix's dosdevices."""

    LETTERS = "DEFGHIJKLMNOPQRSTUVWXY"

    def __init__(self, name, exe, setup_exe, work):
        self.name = name
        self.exe = exe
        self.setup_exe = setup_exe or exe
        self.work = work
        self.env = dict(os.environ)
        self.env.setdefault("WINEDEBUG", "-all")
        prefix = self.env.get("WINEPREFIX", os.path.expanduser("~/.wine"))
        self.dosdevices = os.path.join(prefix, "dosdevices")
        self.wine = WINE64 if os.access(WINE64, os.X_OK) else shutil.which("wine64") or "wine"
        for c in self.LETTERS:
            # A letter an interrupted run left mapped to one of its cases.
            link = os.path.join(self.dosdevices, c.lower() + ":")
            target = os.readlink(link) if os.path.islink(link) else ""
            if "e2e" in target and ("/cases/" in target or "/files/" in target):
                os.unlink(link)
        self.free = [c for c in self.LETTERS
                     if not os.path.lexists(os.path.join(self.dosdevices, c.lower() + ":"))]

    @staticmethod
    def win(path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def missing(self, case):
        if "sim-only" in case.needs:
            return "needs what only the simulated machine offers"
        # Wine keeps read-only as a missing write permission, which root
        # passes: run as root, Wine opens such a file for writing.
        if os.geteuid() == 0 and any(parse_item(i)[0] == "readonly" for i in case.setup):
            return "run as root, Wine cannot keep a file read-only"
        return None

    def letters_needed(self, case):
        return len(drive_items(case)) + 1

    def places(self, case, letters):
        root = self.win(self.case_root(case))
        drives = {sym: letters[i] + ":" for i, (sym, _) in enumerate(drive_items(case))}
        return Places(root, root + "\\commands.txt", root + "\\results.txt", drives, "Z:\\",
                      letters[-1] + ":\\",
                      "localhost\\Z$" + root[2:])

    def host_of_windows(self, path, mapping):
        """The host path of a Windows path on Z: or a mapped letter, or None."""
        if len(path) < 3 or path[1:3] != ":\\":
            return None
        letter = path[0].upper()
        if letter == "Z":
            top = "/"
        elif letter in mapping:
            top = mapping[letter]
        else:
            return None
        return os.path.join(top, *[p for p in path[3:].split("\\") if p])

    def prepare(self, case, letters):
        """Makes the case's folders and files; returns what running it needs."""
        places = self.places(case, letters)
        root = self.case_root(case)
        os.makedirs(root)
        os.makedirs(self.files(case))

        def host_of(rel):
            return os.path.join(root, *[p for p in rel.split("\\") if p])

        with open(host_of("commands.txt"), "wb") as f:
            f.write(command_bytes(case, places))
        run_lines = make_host_setup(case, places, host_of, posix_attributes)
        mapping = {places.drives[sym][0]: host_of(rel) for sym, rel in drive_items(case)}
        volume2 = os.path.join(self.files(case), "volume2")
        os.makedirs(volume2)
        mapping[letters[-1]] = volume2
        setup = None
        if run_lines:
            setup = os.path.join(self.files(case), "setup.txt")
            with open(setup, "wb") as f:
                f.write(encode_lines(run_lines))
        cwd = host_of(places.expand(case.cwd)) if case.cwd else root
        return {"places": places, "mapping": mapping, "setup": setup, "cwd": cwd,
                "args": case_args(case, places)}

    def quote(self, text, env):
        """text as one quoted batch-file word: inline when it is plain ASCII,
        else through an environment variable, which cmd expands to UTF-16."""
        if all(0x20 <= ord(c) < 0x7f for c in text):
            return '"' + text.replace("%", "%%") + '"'
        name = f"LBARG{len(env)}"
        env[name] = text
        return f'"%{name}%"'

    def map_letters(self, mapping):
        for letter, target in mapping.items():
            link = os.path.join(self.dosdevices, letter.lower() + ":")
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(target, link)

    def unmap_letters(self, mapping):
        for letter in mapping:
            link = os.path.join(self.dosdevices, letter.lower() + ":")
            if os.path.islink(link):
                os.unlink(link)

    def run(self, cases):
        os.makedirs(os.path.join(self.work, "cases"))
        os.makedirs(os.path.join(self.work, "files"))
        # One server for the whole run: each program start then finds it.
        subprocess.run(["wineserver", "-p10"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        results = {}
        batch = []
        letters = list(self.free)
        for case in cases:
            if case.kill is not None:
                continue
            if self.letters_needed(case) > len(letters):
                self.run_batch(batch, results)
                batch, letters = [], list(self.free)
            if self.letters_needed(case) > len(letters):
                raise Broken(f"{case.name} needs more drive letters than Wine has free")
            batch.append((case, letters[:self.letters_needed(case)]))
            letters = letters[self.letters_needed(case):]
        self.run_batch(batch, results)
        for case in cases:
            if case.kill is not None:
                self.run_killed(case, results)
        return results

    def run_batch(self, batch, results):
        if not batch:
            return
        env = dict(self.env)
        script = ["@echo off"]
        prepared = []
        mapping = {}
        for case, letters in batch:
            try:
                p = self.prepare(case, letters)
            except (Broken, OSError) as e:
                outcome = Outcome()
                outcome.failure = f"set-up: {e}"
                results[case.name] = (outcome, None, {})
                continue
            prepared.append((case, p))
            mapping.update(p["mapping"])
            script.append(f"cd /d {self.quote(self.win(p['cwd']), env)}")
            script.append(f"echo lbcase {case.name}")
            if p["setup"]:
                script.append(" ".join(self.quote(a, env) for a in (
                    self.win(self.setup_exe), self.win(p["setup"]),
                    self.win(os.path.join(self.files(case), "setup-results.txt")))) + " >nul")
            script.append(" ".join([self.quote(self.win(self.exe), env)] +
                                   [self.quote(a, env) for a in p["args"]]))
            script.append("echo lbexit %ERRORLEVEL%")
        bat = os.path.join(self.work, "files", f"batch-{len(results)}.bat")
        with open(bat, "w", newline="\r\n", encoding="ascii") as f:
            f.write("\n".join(script) + "\n")
        self.map_letters(mapping)
        try:
            run = subprocess.run([self.wine, "cmd", "/c", self.win(bat)], env=env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, timeout=120 + 30 * len(prepared))
            out = run.stdout.decode("latin-1")
        except subprocess.TimeoutExpired as e:
            out = (e.stdout or b"").decode("latin-1")
        finally:
            self.unmap_letters(mapping)
        exits, printed, current = {}, {}, None
        for line in out.splitlines():
            if line.startswith("lbcase "):
                current = line[7:].strip()
                printed[current] = []
            elif line.startswith("lbexit ") and current:
                exits[current] = int(line[7:].strip()) & 0xFFFFFFFF
                current = None
            elif current and line.strip():
                printed[current].append(line.strip())
        for case, p in prepared:
            outcome = self.read_back(case, p)
            if case.name not in exits:
                outcome.failure = "no exit code came back from cmd (the batch stopped or timed out)"
            outcome.exit = exits.get(case.name)
            outcome.printed = printed.get(case.name, [])
            results[case.name] = (outcome, p["places"], original_bytes(case, p["places"]))

    def read_back(self, case, p, outcome=None):
        outcome = outcome or Outcome()
        if p["setup"]:
            outcome.setup_failure = setup_records_failure(
                read_host_file(os.path.join(self.files(case), "setup-results.txt")))
        outcome.tree = read_tree(self.case_root(case), sorted_listdir, os.lstat, None,
                                 read_host_file)
        outcome.tree.add_file("{commands}", read_host_file(os.path.join(self.case_root(case),
                                                                        "commands.txt")))
        if len(p["args"]) >= 2:
            host = self.host_of_windows(p["args"][1], p["mapping"])
            outcome.results = read_host_file(host) if host else None
            outcome.tree.add_file("{results}", outcome.results)
        return outcome

    def run_killed(self, case, results):
        letters = self.free[:self.letters_needed(case)]
        p = self.prepare(case, letters)
        if p["setup"]:
            outcome = Outcome()
            outcome.failure = "a killed case cannot have a set-up run"
        else:
            self.map_letters(p["mapping"])
            try:
                host = self.host_of_windows(p["args"][1], p["mapping"]) if len(p["args"]) > 1 else None
                if not host:
                    raise Broken("a killed case needs a results file")
                outcome = self.kill_run(case, [self.wine, self.exe] + p["args"], host, p["cwd"])
            finally:
                self.unmap_letters(p["mapping"])
            self.read_back(case, p, outcome)
        results[case.name] = (outcome, p["places"], original_bytes(case, p["places"]))


def sorted_listdir(path):
    return sorted(os.listdir(path))


# --------------------------------------------------------------- Windows backend

def windows_places(work, case, letters, volume2):
    """The placeholders of a case on Windows: the case folder under the
    scratch folder `work` (a Windows path), drive letters from `letters`
    (the last is not used here), the volume that holds the folder, and the
    folder again through the volume's administrative share on this machine."""
    import ntpath
    root = ntpath.join(work, "cases", case.name)
    drives = {sym: letters[i] + ":" for i, (sym, _) in enumerate(drive_items(case))}
    drive = ntpath.splitdrive(root)[0]
    return Places(root, root + "\\commands.txt",
                  root + "\\results.txt", drives, drive + "\\", volume2,
                  "localhost\\" + drive[0] + "$" + root[len(drive):])


def win32():
    """kernel32 through ctypes, with the argument types the calls need."""
    import ctypes
    from ctypes import wintypes
    k = ctypes.WinDLL("kernel32", use_last_error=True)
    k.CreateFileW.restype = wintypes.HANDLE
    k.CreateFileW.argtypes = [wintypes.LPCWSTR, wintypes.DWORD, wintypes.DWORD, ctypes.c_void_p,
                              wintypes.DWORD, wintypes.DWORD, wintypes.HANDLE]
    k.DeviceIoControl.argtypes = [wintypes.HANDLE, wintypes.DWORD, ctypes.c_void_p, wintypes.DWORD,
                                  ctypes.c_void_p, wintypes.DWORD, ctypes.POINTER(wintypes.DWORD),
                                  ctypes.c_void_p]
    k.CloseHandle.argtypes = [wintypes.HANDLE]
    k.GetFileAttributesW.argtypes = [wintypes.LPCWSTR]
    k.GetFileAttributesW.restype = wintypes.DWORD
    k.SetFileAttributesW.argtypes = [wintypes.LPCWSTR, wintypes.DWORD]
    k.DeleteVolumeMountPointW.argtypes = [wintypes.LPCWSTR]
    k.GetVolumeInformationW.argtypes = [wintypes.LPCWSTR, wintypes.LPWSTR, wintypes.DWORD,
                                        ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                                        wintypes.LPWSTR, wintypes.DWORD]
    k.GetDriveTypeW.argtypes = [wintypes.LPCWSTR]
    return k


def windows_read_reparse(path):
    """The raw reparse data of the entry itself (FSCTL_GET_REPARSE_POINT)."""
    import ctypes
    from ctypes import wintypes
    k = win32()
    handle = k.CreateFileW(path, 0x80, 7, None, 3, 0x02000000 | 0x00200000, None)
    if handle in (None, ctypes.c_void_p(-1).value):
        return b""
    try:
        buffer = ctypes.create_string_buffer(16384)
        returned = wintypes.DWORD(0)
        if not k.DeviceIoControl(handle, 0x000900A8, None, 0, buffer, len(buffer),
                                 ctypes.byref(returned), None):
            return b""
        return buffer.raw[:returned.value]
    finally:
        k.CloseHandle(handle)


def windows_attributes(path, kind):
    k = win32()
    current = k.GetFileAttributesW(path)
    bit = FILE_ATTRIBUTE_HIDDEN if kind == "hidden" else FILE_ATTRIBUTE_READONLY
    if not k.SetFileAttributesW(path, (current & ~0x80) | bit):
        raise OSError(f"cannot make {path} {kind}")


def windows_remove_tree(top):
    """Removes a scratch tree without ever entering a reparse point: a
    junction or link goes as itself, a mounted volume is unmounted first, and
    read-only entries are made writable. A mount of this machine's own system
    volume may sit in the tree; following it would empty the volume."""
    k = win32()
    if not os.path.lexists(top):
        return
    attrs = os.lstat(top).st_file_attributes
    if attrs & FILE_ATTRIBUTE_READONLY:
        k.SetFileAttributesW(top, attrs & ~FILE_ATTRIBUTE_READONLY)
    if attrs & FILE_ATTRIBUTE_REPARSE_POINT:
        if attrs & FILE_ATTRIBUTE_DIRECTORY:
            if parse_reparse(windows_read_reparse(top), True)[0] == "mount":
                k.DeleteVolumeMountPointW(top.rstrip("\\") + "\\")
            os.rmdir(top)
        else:
            os.unlink(top)
    elif attrs & FILE_ATTRIBUTE_DIRECTORY:
        for name in os.listdir(top):
            windows_remove_tree(os.path.join(top, name))
        os.rmdir(top)
    else:
        os.unlink(top)


def windows_capabilities(work):
    """What this Windows machine offers the cases (needs:)."""
    import ctypes
    import winreg
    caps = {"elevated": bool(ctypes.windll.shell32.IsUserAnAdmin())}
    probe = os.path.join(work, "symlink-probe")
    try:
        os.symlink(work, probe, target_is_directory=True)
        os.rmdir(probe)
        caps["symlink"] = True
    except OSError:
        caps["symlink"] = False
    try:
        with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE,
                            r"SOFTWARE\Microsoft\Windows\CurrentVersion\AppModelUnlock") as key:
            developer_mode = winreg.QueryValueEx(key, "AllowDevelopmentWithoutDevLicense")[0] == 1
    except OSError:
        developer_mode = False
    privileges = subprocess.run(["whoami", "/priv", "/fo", "csv"], stdout=subprocess.PIPE,
                                text=True, errors="replace").stdout
    caps["devmode"] = developer_mode and "SeCreateSymbolicLinkPrivilege" not in privileges
    caps["volume2"] = None
    k = win32()
    mask = ctypes.windll.kernel32.GetLogicalDrives()
    own = os.path.splitdrive(work)[0].upper()
    caps["free"] = [c for c in WineBackend.LETTERS if not mask & (1 << (ord(c) - ord("A")))]
    for i in range(26):
        letter = chr(ord("A") + i)
        if mask & (1 << i) and letter + ":" != own and k.GetDriveTypeW(letter + ":\\") == 3 \
                and windows_file_system(letter + ":\\") == "NTFS":
            caps["volume2"] = letter + ":\\"
            break
    return caps


def windows_file_system(root):
    import ctypes
    name = ctypes.create_unicode_buffer(64)
    if not win32().GetVolumeInformationW(root, None, 0, None, None, None, name, 64):
        return None
    return name.value


class WindowsBackend(HostRunBackend):
    """linkbatch.exe run directly on a scratch folder of this machine's NTFS
    volume; drive letters are subst drives of folders of the case."""

    name = "windows"
    REASONS = {
        "sim-only": "needs what only the simulated machine offers",
        "elevated": "needs an elevated administrator (run from an elevated PowerShell)",
        "symlink": "needs symbolic links: an elevated administrator or Developer Mode",
        "volume2": "needs a second fixed NTFS volume",
        "devmode": "needs Developer Mode on and the symbolic-link privilege not held",
    }

    def __init__(self, exe, setup_exe, work):
        self.exe = exe
        self.setup_exe = setup_exe or exe
        self.work = os.path.realpath(work)
        self.env = dict(os.environ)
        self.caps = windows_capabilities(self.work)

    def missing(self, case):
        for cap in case.needs:
            if cap == "sim-only" or not self.caps.get(cap):
                return self.REASONS[cap]
        if len(drive_items(case)) > len(self.caps["free"]):
            return "needs more free drive letters than this machine has"
        return None

    def run(self, cases):
        results = {}
        for case in cases:
            places = windows_places(self.work, case, self.caps["free"], self.caps["volume2"])
            try:
                outcome = self.run_case(case, places)
            except (OSError, ValueError, Broken, subprocess.SubprocessError) as e:
                outcome = Outcome()
                outcome.failure = f"the run could not be carried out: {e}"
            results[case.name] = (outcome, places, original_bytes(case, places))
        return results

    def run_case(self, case, places):
        root = places.root
        files = os.path.join(self.work, "files", case.name)
        os.makedirs(root)
        os.makedirs(files)

        def host_of(rel):
            return os.path.join(root, *[p for p in rel.split("\\") if p])

        with open(places.commands, "wb") as f:
            f.write(command_bytes(case, places))
        run_lines = make_host_setup(case, places, host_of, windows_attributes)
        substs = []
        outcome = Outcome()
        try:
            for sym, rel in drive_items(case):
                letter = places.drives[sym]
                subprocess.run(["subst", letter, host_of(rel)], check=True, stdout=subprocess.DEVNULL)
                substs.append(letter)
            cwd = host_of(places.expand(case.cwd)) if case.cwd else root
            if run_lines:
                setup, setup_results = os.path.join(files, "setup.txt"), os.path.join(files, "setup-results.txt")
                with open(setup, "wb") as f:
                    f.write(encode_lines(run_lines))
                subprocess.run([self.setup_exe, setup, setup_results], cwd=cwd, timeout=300,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                outcome.setup_failure = setup_records_failure(read_host_file(setup_results))
            args = case_args(case, places)
            if case.kill is not None:
                if len(args) < 2:
                    raise Broken("a killed case needs a results file")
                outcome = self.kill_run(case, [self.exe] + args, args[1], cwd)
            else:
                run = subprocess.run([self.exe] + args, cwd=cwd, timeout=300, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                outcome.exit = run.returncode & 0xFFFFFFFF
                outcome.printed = [l for l in run.stdout.decode("utf-8", "replace").splitlines() if l.strip()]
            outcome.tree = read_tree(root, sorted_listdir, os.lstat, windows_read_reparse,
                                     read_host_file, lambda st: st.st_file_attributes)
            outcome.tree.add_file("{commands}", read_host_file(places.commands))
            if len(args) >= 2:
                outcome.results = read_host_file(args[1]) if os.path.isfile(args[1]) else None
                outcome.tree.add_file("{results}", outcome.results)
        finally:
            for letter in substs:
                subprocess.run(["subst", letter, "/d"], stdout=subprocess.DEVNULL)
            windows_remove_tree(root)
        return outcome


# --------------------------------------------------------------- the run

def run_backend(backend, cases, report):
    """Runs the cases; prints one line per case and the summary. Returns the
    number of failures."""
    counts = {"pass": 0, "fail": 0, "skip": 0, "declared": 0}
    runnable = []
    for case in cases:
        reason = backend.missing(case)
        if reason:
            counts["skip"] += 1
            report(f"skip {case.name}: {reason}")
        else:
            runnable.append(case)
    outcomes = backend.run(runnable)
    for case in runnable:
        outcome, places, texts = outcomes[case.name]
        status, details = judge(case, backend.name, outcome, places, texts)
        counts[status] += 1
        word = {"pass": "ok  ", "fail": "FAIL", "declared": "diff"}[status]
        report(f"{word} {case.name}" + (f": {details[0]}" if status == "declared" else ""))
        if status == "fail":
            for d in details:
                report("       " + d)
    report(f"{counts['pass']} passed, {counts['fail']} failed, {counts['skip']} skipped, "
           f"{counts['declared']} declared differences")
    return counts["fail"]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--backend", required=True, choices=BACKENDS)
    ap.add_argument("--exe", help="linkbatch.exe (Wine, Windows) or linkbatch-sim (sim)")
    ap.add_argument("--setup-exe", help="the executable that runs set-up lines (default --exe)")
    ap.add_argument("--filter", default="", help="only cases whose name holds this text")
    ap.add_argument("--work", help="scratch folder (default: a new temporary one)")
    ap.add_argument("--cases", default=os.path.join(HERE, "cases"))
    ap.add_argument("--keep", action="store_true", help="leave the scratch folder")
    a = ap.parse_args()
    try:
        cases = [c for c in load_cases(a.cases) if a.filter in c.name]
    except CaseError as e:
        print(f"case file error: {e}")
        return 1
    exe = a.exe or default_exe(a.backend)
    if not exe or not os.path.exists(exe):
        print(f"SKIP: {exe or 'the executable'} is not built (see tests/e2e/README.md)")
        return SKIP
    setup_exe = a.setup_exe if a.setup_exe and os.path.exists(a.setup_exe) else None
    work = a.work or tempfile.mkdtemp(prefix="linkbatch-e2e-")
    remove_tree = windows_remove_tree if os.name == "nt" else posix_remove_tree
    remove_tree(work)
    os.makedirs(work)
    try:
        backend = make_backend(a.backend, os.path.abspath(exe),
                               os.path.abspath(setup_exe) if setup_exe else None, work)
        if isinstance(backend, str):
            print("SKIP: " + backend)
            return SKIP
        failed = run_backend(backend, cases, lambda text: print(text, flush=True))
    finally:
        if not a.keep:
            remove_tree(work)
    return 1 if failed else 0


def default_exe(backend):
    if backend == "windows":
        return os.path.join(SOURCE, "build", "mingw-x64", "linkbatch.exe")
    if backend == "sim":
        return os.path.join(SOURCE, "build", "host", "tools", "linkbatch-sim", "linkbatch-sim")
    if backend.startswith("wine-"):
        return os.path.join(SOURCE, "build", "mingw-" + backend[5:], "linkbatch.exe")
    return None


def make_backend(name, exe, setup_exe, work):
    """The backend, or why it cannot run here."""
    if name == "sim":
        return SimBackend(exe, work)
    if name.startswith("wine-"):
        if not shutil.which("wine64") and not os.access(WINE64, os.X_OK):
            return "Wine is not installed"
        arches = subprocess.run([os.path.join(SOURCE, "tests", "wine", "wine_arches.sh")],
                                stdout=subprocess.PIPE, text=True).stdout.split()
        if name[5:] not in arches:
            return f"Wine here runs {' '.join(arches) or 'no'} programs, not {name[5:]}"
        backend = WineBackend(name, exe, setup_exe, work)
        if not os.path.isdir(backend.dosdevices):
            return f"no Wine prefix at {os.path.dirname(backend.dosdevices)} (tests/wine/wine_prefix.sh makes one)"
        return backend
    if os.name != "nt":
        return "the windows backend runs on Windows"
    file_system = windows_file_system(os.path.splitdrive(os.path.realpath(work))[0] + "\\")
    if file_system != "NTFS":
        return f"the scratch folder {work} is on {file_system}, not NTFS"
    return WindowsBackend(exe, setup_exe, work)


if __name__ == "__main__":
    sys.exit(main())
