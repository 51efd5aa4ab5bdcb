#!/usr/bin/env python3
"""End-to-end runs of a real Windows executable under Wine.

Every case writes a real UTF-16LE command file, runs linkbatch.exe on it
through a batch file (so cmd reports the full 32-bit exit code, not just
the low byte that the Wine loader passes on), and records the exit code and
the state of the directories the case cares about. The transcript is
compared case by case with expected-e2e.txt, which holds for both the x64
and the x86 executable; every case is reported with the architecture it ran
on. --update rewrites the file from this run.

Exit code 77: the executable is not built, Wine is missing, or Wine cannot
run this architecture (the test is skipped).
"""
import argparse
import contextlib
import os
import shutil
import subprocess
import sys
import time

SKIP = 77
LINE_UNITS = 8191  # the longest line one read delivers
HERE = os.path.dirname(os.path.abspath(__file__))
# The 64-bit loader starts programs of both architectures (it hands a 32-bit
# one to the 32-bit loader). Debian's `wine` script starts the 32-bit loader
# first, which under qemu (enable_i386.sh) costs seconds even for a 64-bit
# program.
WINE64 = "/usr/lib/wine/wine64"
WINE = WINE64 if os.access(WINE64, os.X_OK) else "wine"


def win(path):
    """The Wine view of a host path (drive Z: is the host root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def cmd_line(letter, p1, p2="x", lead=" ", end="\r\n"):
    return f'{lead}{letter} "{p1}" "{p2}"{end}'


class Runner:
    def __init__(self, exe, work):
        self.exe = os.path.abspath(exe)
        self.work = os.path.abspath(work)
        self.env = dict(os.environ)
        self.env.setdefault("WINEDEBUG", "-all")
        self.out = []
        self.case_dir = None

    # ---------------------------------------------------------- set-up
    def case(self, name):
        self.name = name
        self.case_dir = os.path.join(self.work, name)
        os.makedirs(self.case_dir)
        return self.case_dir

    def dir(self, rel, files=()):
        path = os.path.join(self.case_dir, rel)
        os.makedirs(path, exist_ok=True)
        for f in files:
            with open(os.path.join(path, f), "w") as fh:
                fh.write("x")
        return win(path)

    def missing(self, rel):
        return win(os.path.join(self.case_dir, rel))

    @contextlib.contextmanager
    def drive(self, letter, rel):
        """Maps drive letter to a directory of the case for the duration:
        a symbolic link in the prefix's dosdevices, removed afterwards."""
        prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))  # Wine's default
        dosdevices = os.path.join(prefix, "dosdevices")
        link = os.path.join(dosdevices, letter.lower() + ":")
        if os.path.lexists(link):
            os.unlink(link)  # left by an interrupted run
        os.symlink(os.path.join(self.case_dir, rel), link)
        try:
            yield letter.upper() + ":"
        finally:
            os.unlink(link)

    def write(self, text, bom=False, raw=None):
        path = os.path.join(self.case_dir, "commands.txt")
        data = raw if raw is not None else (("\ufeff" if bom else "") + text).encode("utf-16-le")
        with open(path, "wb") as fh:
            fh.write(data)
        return path

    # ---------------------------------------------------------- running
    def wine(self, args, cwd=None):
        # Standard error is not captured: a wineserver started by this call
        # inherits it and keeps a pipe open for seconds after the program ends.
        proc = subprocess.run([WINE] + args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL, env=self.env, cwd=cwd or self.case_dir,
                              timeout=120)
        return proc.returncode, proc.stdout.decode("utf-8", errors="replace")

    def run_full(self, args, cwd=None):
        """Runs the executable through cmd; returns the full exit code."""
        bat = os.path.join(self.case_dir, "run.bat")
        quoted = " ".join(f'"{a}"' for a in args)
        with open(bat, "w", newline="\r\n") as fh:
            fh.write(f'@"{win(self.exe)}" {quoted}\n@echo linkbatch-exit=%ERRORLEVEL%\n')
        _, out = self.wine(["cmd", "/c", win(bat)], cwd=cwd)
        code = None
        for line in out.splitlines():
            if line.startswith("linkbatch-exit="):
                code = int(line.split("=", 1)[1].strip()) & 0xFFFFFFFF
            elif line.strip():
                # The program never prints; anything else is a defect.
                self.record(f"printed {line.strip()!r}")
        if code is None:
            raise RuntimeError(f"{self.name}: no exit code from cmd: {out!r}")
        return code

    def run_direct(self, args):
        """Runs the executable straight from the Wine loader: only the low
        byte of the exit code survives."""
        rc, _ = self.wine([self.exe] + list(args))
        return rc

    def record(self, text):
        self.out.append(f"{self.name}: {text}")

    def state(self, *rels):
        parts = []
        for rel in rels:
            path = os.path.join(self.case_dir, rel)
            if os.path.isdir(path):
                parts.append(f"{rel}=dir")
            elif os.path.exists(path):
                parts.append(f"{rel}=file")
            else:
                parts.append(f"{rel}=absent")
        return " ".join(parts)

    def commands(self, text, *watch, bom=False, raw=None, cwd=None):
        path = self.write(text, bom=bom, raw=raw)
        code = self.run_full([win(path)], cwd=cwd)
        shown = f"exit={code}"
        if watch:
            shown += " " + self.state(*watch)
        self.record(shown)


def cases(r):
    # Argument count: no argument or two give -1; the loader passes on 255.
    r.case("args-none")
    r.record(f"exit={r.run_full([])} low-byte={r.run_direct([])}")
    r.case("args-three")
    path = r.write(cmd_line("k", r.dir("d")))
    three = [win(path), r.missing("results.txt"), win(path)]
    r.record(f"exit={r.run_full(three)} low-byte={r.run_direct(three)} "
             f"{r.state('d', 'results.txt')}")

    # A command file that cannot be opened, or holds no known letter: 1.
    r.case("file-missing")
    r.record(f"exit={r.run_full([r.missing('nothere.txt')])}")
    r.case("file-empty")
    r.commands("")
    r.case("file-bom-only")
    r.commands("", bom=True)
    r.case("letters-unknown-and-upper-case")
    d = r.dir("d")
    r.commands(cmd_line("K", d) + cmd_line("x", d) + cmd_line("D", d, d), "d")

    # Removing a directory: the result is RemoveDirectoryW's.
    r.case("k-empty-bom-crlf")
    r.commands(cmd_line("k", r.dir("d"), lead=""), "d", bom=True)
    r.case("k-empty-lf")
    r.commands(cmd_line("k", r.dir("d"), end="\n"), "d")
    r.case("k-not-empty")
    r.commands(cmd_line("k", r.dir("d", files=["f"])), "d")
    r.case("k-missing")
    r.commands(cmd_line("k", r.missing("d")), "d")
    r.case("k-missing-parent")
    r.commands(cmd_line("k", r.missing("p/d")), "p")
    r.case("k-a-file")
    r.dir(".", files=["f"])
    r.commands(cmd_line("k", r.missing("f")), "f")
    r.case("k-relative-one-character")
    r.dir("d")
    r.commands(cmd_line("k", "d"), "d", cwd=r.case_dir)

    # Line handling: last line without a line feed, trailing text, the last
    # known letter decides.
    r.case("last-line-without-line-feed")
    r.commands(cmd_line("x", "y") + cmd_line("k", r.dir("d"), end=""), "d")
    r.case("text-after-second-quote")
    r.commands(f' k "{r.dir("d")}" "x" and a comment\r\n', "d")
    r.case("fail-then-succeed")
    r.commands(cmd_line("k", r.missing("gone")) + cmd_line("k", r.dir("d")), "d")
    r.case("succeed-then-fail")
    r.commands(cmd_line("k", r.dir("d")) + cmd_line("k", r.missing("gone")), "d")
    r.case("unknown-letter-keeps-result")
    r.commands(cmd_line("k", r.missing("gone")) + cmd_line("q", r.dir("d")), "d")

    # A known letter without its closing quotation marks: 13, nothing done.
    r.case("malformed-first-path-unclosed")
    d = r.dir("d")
    r.commands(f' k "{d}\r\n', "d")
    r.case("malformed-second-path-unclosed")
    d = r.dir("d")
    r.commands(f' k "{d}" "x\r\n', "d")
    r.case("malformed-short-line")
    r.commands(' k "\r\n')
    r.case("malformed-then-unknown")
    d = r.dir("d")
    r.commands(f' k "{d}\r\n' + cmd_line("x", d), "d")
    r.case("malformed-unknown-letter-ignored")
    d = r.dir("d")
    r.commands(cmd_line("k", d) + ' x "unclosed\r\n', "d")

    # A line longer than one read is still one line: a valid-looking line in
    # its tail must not run.
    r.case("long-line-tail-not-run")
    d = r.dir("d")
    head = " x" + "a" * (LINE_UNITS - 2)
    r.commands(head + cmd_line("k", d), "d")
    # Lines just at the read limit: the next line is a line of its own.
    for total in (LINE_UNITS, LINE_UNITS + 1):
        r.case(f"line-of-{total}-units-then-k")
        d = r.dir("d")
        r.commands(" x" + "a" * (total - 4) + "\r\n" + cmd_line("k", d), "d")
    r.case("long-line-then-line")
    d = r.dir("d")
    e = r.dir("e")
    r.commands(head + cmd_line("k", d) + cmd_line("k", e), "d", "e")

    # The operations Wine only partly implements: the codes it gives are
    # recorded, what is left on disk too.
    r.case("j-new-directory")
    r.commands(cmd_line("j", r.missing("link"), r.dir("target")), "link", "target")
    r.case("j-existing-empty-directory")
    r.commands(cmd_line("j", r.dir("link"), r.dir("target")), "link")
    r.case("j-not-empty")
    r.commands(cmd_line("j", r.dir("link", files=["f"]), r.dir("target")), "link")
    r.case("l-not-empty")
    r.commands(cmd_line("l", r.dir("link", files=["f"]), r.dir("target")), "link")
    r.case("l-missing")
    r.commands(cmd_line("l", r.missing("link"), r.dir("target")), "link")
    r.case("m-root-on-directory")
    r.commands(cmd_line("m", "C:\\", r.dir("mnt")), "mnt")
    r.case("n-plain-directory")
    r.commands(cmd_line("n", r.dir("mnt")), "mnt")
    r.case("c-directories-only")
    r.dir("src/a/b")
    r.dir("src/c")
    r.dir("dst")
    r.commands(cmd_line("c", r.missing("dst"), r.missing("src")), "dst/a/b", "dst/c")

    # Clone roots: a drive root as source or destination, and roots written
    # with a trailing backslash, give the same skeleton as plain roots. Only
    # directories are asserted: Wine 8's CreateSymbolicLinkW reports success
    # and makes no link. Wine also accepts "\\?\X:\\" (an empty component
    # after the root) where Windows refuses it, so these runs cannot show
    # that the clone never forms such a path; the unit tests on the
    # simulation are the judge of that.
    r.case("c-source-drive-root")
    r.dir("r/a/b")
    r.dir("r/c")
    r.dir("q/mirror")
    with r.drive("q", "q") as q, r.drive("r", "r") as src:
        r.commands(cmd_line("c", q + "\\mirror", src + "\\"), "q/mirror/a/b", "q/mirror/c")
    r.case("c-destination-drive-root")
    r.dir("src/a/b")
    r.dir("src/c")
    r.dir("q")
    with r.drive("q", "q") as q:
        r.commands(cmd_line("c", q + "\\", r.missing("src")), "q/a/b", "q/c")
    r.case("c-trailing-backslashes")
    r.dir("src/a/b")
    r.dir("src/c")
    r.dir("dst")
    r.commands(cmd_line("c", r.missing("dst") + "\\", r.missing("src") + "\\"), "dst/a/b", "dst/c")


def by_case(lines):
    """Transcript lines grouped by case name, in order of first appearance."""
    grouped = {}
    for line in lines:
        grouped.setdefault(line.split(": ", 1)[0], []).append(line)
    return grouped


def compare(arch, got_lines, want_lines):
    """Reports every case on its own line, prefixed with the architecture;
    returns the number of cases that differ from the expected transcript."""
    got, want = by_case(got_lines), by_case(want_lines)
    bad = 0
    for name, lines in got.items():
        if lines == want.get(name):
            print(f"{arch} ok   " + " | ".join(lines))
        else:
            bad += 1
            print(f"{arch} FAIL {name}")
            for line in want.get(name, ["(no expected line)"]):
                print(f"       expected {line}")
            for line in lines:
                print(f"       got      {line}")
    for name in want:
        if name not in got:
            bad += 1
            print(f"{arch} FAIL {name}: expected but not run")
    return bad


# ---------------------------------------------------------------------------
# Results file (second argument): its records, its creation, and a run killed
# part way. Kept apart from the cases above so that each block can change on
# its own.

def read_results(r, path):
    """The records of a results file, checked for its byte-order mark and
    CR LF line ends; the case directory's Windows path reads as <case>."""
    with open(path, "rb") as fh:
        data = fh.read()
    if not data.startswith(b"\xff\xfe"):
        r.record("results file without a byte-order mark")
        return []
    text = data[2:].decode("utf-16-le")
    if not text.endswith("\r\n") or "\n" in text.replace("\r\n", ""):
        r.record("results file not made of CR LF lines")
    return [line.replace(win(r.case_dir), "<case>")
            for line in text.split("\r\n")[:-1]]


def with_results(r, text, *watch):
    """Runs a command file with a results file; records the exit code, the
    watched paths and each record, tabs shown as |."""
    path = r.write(text)
    results = os.path.join(r.case_dir, "results.txt")
    code = r.run_full([win(path), win(results)])
    r.record(f"exit={code} {r.state(*watch)}".rstrip())
    if os.path.exists(results):
        for line in read_results(r, results):
            r.record("  " + line.replace("\t", "|"))
    else:
        r.record("  no results file")


def results_cases(r):
    r.case("results-every-disposition")
    with_results(r, cmd_line("k", r.dir("a")) + cmd_line("k", r.missing("gone")) +
                 cmd_line("K", r.dir("b")) + "\r\n" + "\n" + f' k "{r.dir("b")}\r\n' +
                 cmd_line("k", r.dir("b"), end=""), "a", "b")
    r.case("results-long-line-is-one-record")
    d = r.dir("d")
    with_results(r, " x" + "a" * (2 * LINE_UNITS) + "\r\n" + cmd_line("k", d), "d")
    r.case("results-clone-failures")
    r.dir("src/a/b")
    r.dir("src/c")
    with_results(r, cmd_line("c", r.missing("nodst"), r.missing("src")), "nodst")
    r.case("results-replaces-existing-file")
    with open(os.path.join(r.case_dir, "results.txt"), "wb") as fh:
        fh.write(b"x" * 4096)
    with_results(r, "")
    r.case("results-cannot-be-created")
    d = r.dir("d")
    path = r.write(cmd_line("k", d))
    r.record(f"exit={r.run_full([win(path), r.missing('nodir/results.txt')])} "
             f"{r.state('d', 'nodir')}")
    r.case("results-is-a-directory")
    d = r.dir("d")
    path = r.write(cmd_line("k", d))
    r.record(f"exit={r.run_full([win(path), r.dir('out')])} {r.state('d')}")
    r.case("results-command-file-missing")
    r.record(f"exit={r.run_full([r.missing('nothere.txt'), r.missing('results.txt')])} "
             f"{r.state('results.txt')}")
    killed_run(r)


def killed_run(r):
    """A run killed part way leaves only whole records, numbered from 1
    without a gap, at least as many as had been seen before the kill."""
    r.case("results-killed-part-way")
    lines = 400000
    path = r.write("".join(cmd_line("k", f"C:\\linkbatch-none-{i}") for i in range(lines)))
    results = os.path.join(r.case_dir, "results.txt")
    proc = subprocess.Popen([WINE, r.exe, win(path), win(results)], env=r.env, cwd=r.case_dir,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    seen = 0
    try:
        deadline = time.monotonic() + 120
        while proc.poll() is None and time.monotonic() < deadline:
            if os.path.exists(results):
                seen = os.path.getsize(results) // 40
                if seen >= 200:
                    break
            time.sleep(0.01)
        finished = proc.poll() is not None
    finally:
        proc.kill()
        proc.wait()
    subprocess.run(["wineserver", "-w"], env=r.env, timeout=120)
    records = read_results(r, results) if os.path.exists(results) else []
    numbers = [rec.split("\t")[0] for rec in records[1:]]
    whole = all(rec.split("\t")[1:] == ["k", "ran", "2"] for rec in records[1:])
    in_order = numbers == [str(i) for i in range(1, len(numbers) + 1)]
    head = records[:1] == ["linkbatch-results\t2"]
    r.record(f"finished-before-kill={finished} head={head} "
             f"whole={whole} numbered-from-1={in_order} "
             f"at-least-seen={len(numbers) >= seen} fewer-than-all={len(numbers) < lines}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--arch", choices=("x64", "x86"), required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--expected", required=True)
    ap.add_argument("--update", action="store_true")
    args = ap.parse_args()
    if not os.path.exists(args.exe):
        print(f"SKIP: {args.exe} not built (cmake --build --preset mingw-{args.arch})")
        return SKIP
    if shutil.which("wine") is None:
        print("SKIP: wine is not installed")
        return SKIP
    arches = subprocess.run([os.path.join(HERE, "wine_arches.sh")], stdout=subprocess.PIPE,
                            text=True, check=True).stdout.split()
    if args.arch not in arches:
        print(f"SKIP: Wine here runs {' '.join(arches) or 'no'} programs, not {args.arch} "
              f"(make deps installs wine32)")
        return SKIP

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    r = Runner(args.exe, args.work)
    cases(r)
    results_cases(r)
    shutil.rmtree(args.work, ignore_errors=True)

    if args.update:
        with open(args.expected, "w") as fh:
            fh.writelines(line + "\n" for line in r.out)
        print(f"wrote {len(r.out)} lines to {args.expected}")
        return 0
    with open(args.expected) as fh:
        want = [line.rstrip("\n") for line in fh if line.strip() and not line.startswith("#")]
    bad = compare(args.arch, r.out, want)
    total = len(by_case(r.out))
    print(f"{args.arch}: {total - bad} of {total} cases as expected")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
