#!/usr/bin/env python3
"""The README's Python results reader, taken from README.md as it stands, run
on a results file linkbatch-sim wrote: every record restored (a lone
surrogate printed, not raised) and the exit code from the end record; then
on the same file cut off inside a record: the whole records, no exit code."""
import os
import subprocess
import sys
import tempfile


def reader_source(readme):
    """The indented block after the paragraph that opens with "Python (" in
    the section "Results file"."""
    lines = open(readme, encoding="utf-8").read().split("\n")
    at = next(i for i in range(lines.index("### Results file"), len(lines))
              if lines[i].startswith("Python ("))
    at = lines.index("", at) + 1
    end = next(i for i in range(at, len(lines)) if lines[i] and not lines[i].startswith("    "))
    return "\n".join(line[4:] for line in lines[at:end])


def main(tool, readme):
    with tempfile.TemporaryDirectory(prefix="linkbatch-reader-") as work:
        with open(os.path.join(work, "reader.py"), "w", encoding="utf-8") as f:
            f.write(reader_source(readme))
        lines = [' k "C:\\none" "-"', ' c "C:\\dst\ud800\uffff" "C:\\src"']
        with open(os.path.join(work, "commands.txt"), "wb") as f:
            f.write("".join(l + "\r\n" for l in lines).encode("utf-16-le", "surrogatepass"))
        subprocess.run([tool, "--mkdir", "C:\\src\\a", "--mkdir", "C:\\src\\b", "commands.txt",
                        "results.txt"], cwd=work, capture_output=True, timeout=60)
        env = dict(os.environ, PYTHONIOENCODING="utf-8")
        want = ("1 k ran 2 \n2 c failed 3 C:\\dst\\ud800\uffff\\a\n"
                "2 c failed 3 C:\\dst\\ud800\uffff\\b\n2 c ran 3 \nexit code 3\n")
        path = os.path.join(work, "results.txt")
        data = open(path, "rb").read()
        # Cut off inside the clone's ran record, as a killed run leaves it.
        cut = data[:data.rindex("2\tc\tran".encode("utf-16-le")) + 6]
        cut_want = want.split("2 c ran")[0] + "exit code unknown: the run was cut off\n"
        failed = 0
        for name, content, expected in (("whole", data, want), ("cut off", cut, cut_want)):
            open(path, "wb").write(content)
            run = subprocess.run([sys.executable, "reader.py"], cwd=work, env=env,
                                 capture_output=True, timeout=60)
            got = (run.returncode, run.stdout.decode("utf-8"), run.stderr.decode("utf-8", "replace"))
            if got != (0, expected, ""):
                failed += 1
                print("%s file: %r, expected %r" % (name, got, (0, expected, "")))
        print("%d passed, %d failed" % (2 - failed, failed))
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
