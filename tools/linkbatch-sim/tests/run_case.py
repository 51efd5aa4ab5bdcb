#!/usr/bin/env python3
"""Runs linkbatch-sim on one case and compares what it printed.

A case is a set of files in cases/ sharing one name:
  NAME.args    the arguments, one per line ('#' lines are comments); the
               placeholders {cmd} (NAME.txt as a command file), {examples}
               (the repository's examples/), {missing} (a path that does not
               exist), {symtree} (a host tree holding a symbolic link),
               {hosttree} (a host tree of names Windows refuses, a file with
               data and a second name of it) and {results} (a results file
               in the case's scratch directory) are filled in
  NAME.txt     optional: the command lines, readable, turned into UTF-16LE
               by examples/make-demo-cmd.py (with a byte-order mark unless
               NAME.nobom exists)
  NAME.out     optional: standard output, exactly (absent: must be empty)
  NAME.status  the exit status
  NAME.err     optional: one text per line that standard error must contain,
               or, after a leading '!', must not contain
  NAME.results optional: the results file's records, one a line; the file
               must be UTF-16LE with a byte-order mark and CR LF line ends
               (absent: the run must leave no results file)
"""
import argparse
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile


def load_generator(source):
    path = os.path.join(source, "examples", "make-demo-cmd.py")
    module_spec = importlib.util.spec_from_file_location("make_demo_cmd", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def check_results(base, path):
    """What is wrong with the results file the run left, as a list."""
    want_file = base + ".results"
    if not os.path.exists(want_file):
        return ["a results file was written"] if os.path.exists(path) else []
    if not os.path.exists(path):
        return ["no results file was written"]
    with open(path, "rb") as f:
        data = f.read()
    if not data.startswith(b"\xff\xfe"):
        return ["the results file has no byte-order mark"]
    got = data[2:].decode("utf-16-le")
    want = read(want_file).replace("\n", "\r\n")
    if got != want:
        return ["results file differs:\n--- expected\n%s--- got\n%s---" % (want, got)]
    return []


def check_listed(listed, cases):
    """The build lists its cases by name; a case in the folder that the list
    lacks, or a listed one that is missing, would silently not run."""
    want = set(n for n in listed.split(",") if n)
    have = set(os.path.splitext(f)[0] for f in os.listdir(cases) if f.endswith(".args"))
    if want == have:
        print("all %d cases are listed" % len(have))
        return 0
    for n in sorted(have - want):
        print("case %s is in %s but not listed in CMakeLists.txt" % (n, cases))
    for n in sorted(want - have):
        print("case %s is listed but %s.args does not exist" % (n, n))
    return 1


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--tool")
    p.add_argument("--source")
    p.add_argument("--case")
    p.add_argument("--listed", help="comma-separated case names the build runs")
    p.add_argument("--cases", help="the cases folder to compare --listed with")
    a = p.parse_args()
    if a.listed is not None:
        return check_listed(a.listed, a.cases)
    if not (a.tool and a.source and a.case):
        p.error("--tool, --source and --case are required")
    base = os.path.splitext(a.case)[0]
    name = os.path.basename(base)
    work = tempfile.mkdtemp(prefix="linkbatch-sim-case-")
    try:
        places = {"examples": os.path.join(a.source, "examples"),
                  "missing": os.path.join(work, "no-such-file.cmd"),
                  "results": os.path.join(work, "results.txt")}
        if os.path.exists(base + ".txt"):
            generator = load_generator(a.source)
            bom = not os.path.exists(base + ".nobom")
            data = generator.encode(generator.commands(read(base + ".txt")), bom)
            places["cmd"] = os.path.join(work, name + ".cmd")
            with open(places["cmd"], "wb") as f:
                f.write(data)
        symtree = os.path.join(work, "symtree")
        os.makedirs(os.path.join(symtree, "real"))
        with open(os.path.join(symtree, "real", "file.txt"), "w") as f:
            f.write("x")
        os.symlink("real", os.path.join(symtree, "link"))
        places["symtree"] = symtree
        hosttree = os.path.join(work, "hosttree")
        os.makedirs(os.path.join(hosttree, "con"))
        for bad in (b"nul", b"aux.c", b"bad-\xff"):
            open(os.path.join(hosttree.encode(), bad), "w").close()
        with open(os.path.join(hosttree, "data.txt"), "w") as f:
            f.write("hi")
        os.link(os.path.join(hosttree, "data.txt"), os.path.join(hosttree, "second.txt"))
        places["hosttree"] = hosttree

        args = []
        for line in read(base + ".args").splitlines():
            if line.startswith("#") or not line:
                continue
            for key, value in places.items():
                line = line.replace("{" + key + "}", value)
            args.append(line)
        run = subprocess.run([a.tool] + args, capture_output=True, timeout=60)
        out = run.stdout.decode("utf-8", "replace")
        err = run.stderr.decode("utf-8", "replace")

        failures = []
        want_status = int(read(base + ".status").strip())
        if run.returncode != want_status:
            failures.append("status %d, expected %d" % (run.returncode, want_status))
        want_out = read(base + ".out") if os.path.exists(base + ".out") else ""
        if out != want_out:
            failures.append("standard output differs:\n--- expected\n%s--- got\n%s---"
                            % (want_out, out))
        if os.path.exists(base + ".err"):
            for line in read(base + ".err").splitlines():
                if not line:
                    continue
                if line.startswith("!"):
                    if line[1:] in err:
                        failures.append("standard error holds %r" % line[1:])
                elif line not in err:
                    failures.append("standard error lacks %r" % line)
        failures += check_results(base, places["results"])
        if failures:
            print("case %s failed: %s" % (name, " ".join(args)))
            for f in failures:
                print(f)
            print("standard error was:\n" + err)
            return 1
        print("case %s passed" % name)
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
