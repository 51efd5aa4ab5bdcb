#!/usr/bin/env python3
"""The README's Python results reader, taken from README.md as it stands, run
on a results file that linkbatch-sim wrote: the records in order with every
field restored (a lone surrogate printed, not raised), the exit code from the
end record; and, on the same file cut off inside a record, only the whole
records and no exit code."""
import os
import shutil
import subprocess
import sys
import tempfile


def reader_source(readme):
    """The indented block after the paragraph that opens with "Python (" in
    the section "Results file"."""
    lines = open(readme, encoding="utf-8").read().split("\n")
    start = lines.index("### Results file")
    at = next(i for i in range(start, len(lines)) if lines[i].startswith("Python ("))
    while lines[at].strip():
        at += 1
    block = []
    for line in lines[at + 1:]:
        if line and not line.startswith("    "):
            break
        block.append(line[4:])
    return "\n".join(block)


def main():
    tool, readme = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="linkbatch-reader-")
    try:
        return check(tool, readme, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def check(tool, readme, work):
    reader = os.path.join(work, "reader.py")
    with open(reader, "w", encoding="utf-8") as f:
        f.write(reader_source(readme))
    lines = [' k "C:\\none" "-"', ' c "C:\\dst\ud800\uffff" "C:\\src"']
    with open(os.path.join(work, "commands.txt"), "wb") as f:
        f.write("".join(line + "\r\n" for line in lines).encode("utf-16-le", "surrogatepass"))
    subprocess.run([tool, "--mkdir", "C:\\src\\a", "--mkdir", "C:\\src\\b", "commands.txt",
                    "results.txt"], cwd=work, check=False, capture_output=True, timeout=60)
    env = dict(os.environ, PYTHONIOENCODING="utf-8")

    def read():
        run = subprocess.run([sys.executable, reader], cwd=work, env=env, capture_output=True,
                             timeout=60)
        return run.returncode, run.stdout.decode("utf-8"), run.stderr.decode("utf-8", "replace")

    failures = []
    want = ("1 k ran 2 \n"
            "2 c failed 3 C:\\dst\\ud800\uffff\\a\n"
            "2 c failed 3 C:\\dst\\ud800\uffff\\b\n"
            "2 c ran 3 \n"
            "exit code 3\n")
    got = read()
    if got != (0, want, ""):
        failures.append("whole file: %r, expected %r" % (got, (0, want, "")))
    # Cut off inside the clone's ran record, as a killed run leaves it.
    path = os.path.join(work, "results.txt")
    data = open(path, "rb").read()
    cut = data.rindex("2\tc\tran".encode("utf-16-le")) + 6
    open(path, "wb").write(data[:cut])
    want = want.split("2 c ran")[0] + "exit code unknown: the run was cut off\n"
    got = read()
    if got != (0, want, ""):
        failures.append("cut-off file: %r, expected %r" % (got, (0, want, "")))
    for f in failures:
        print(f)
    print("%d passed, %d failed" % (2 - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
