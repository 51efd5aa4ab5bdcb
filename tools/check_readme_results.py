#!/usr/bin/env python3
"""Holds the README's table of common results per letter to the end-to-end
cases, in both directions:

- every code the README names for a letter comes from at least one case
  whose line with that letter gives it;
- every code a case's line gives is named for its letter, or for a letter
  the row refers to ("as `k`").

What a line gives is what the case itself expects, the result Windows
gives (declared differences of other backends are not counted): the
records `N|L|ran|CODE`, or, without records, the exit code when the last
line is a well-formed command. Cases that inject faults, end the process
from outside or name their own arguments are left out: their codes say
nothing about a letter.

    check_readme_results.py [README] [CASES-FOLDER]

Exit status 0 when both directions hold, 1 with each difference printed.
Standard library only.
"""
import os
import re
import sys

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
E2E = os.path.join(SOURCE, "tests", "e2e")
sys.path.insert(0, E2E)
import run  # noqa: E402  the case format's own parser

LETTERS = "cdfjklmn"
FAULT_OPTIONS = ("--fail", "--fail-nth", "--kill-at")


def readme_table(text):
    """{letter: (explicit codes, letters referred to, the row's letters)}
    from the rows of the table under "| Letter | Common results |"."""
    table = {}
    lines = text.split("\n")
    try:
        start = lines.index("| Letter | Common results |")
    except ValueError:
        raise SystemExit("README: no '| Letter | Common results |' table")
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        letters = re.findall(r"`([a-z])`", cells[0])
        codes, refers = set(), set()
        for item in cells[1].split(";"):
            m = re.match(r"\s*(\d+(?:\s*(?:,|or)\s*\d+)*)\b", item)
            if m:
                codes.update(int(c) for c in re.findall(r"\d+", m.group(1)))
            refers.update(re.findall(r"\bas `([a-z])`", item))
        for letter in letters:
            table[letter] = (codes, refers, tuple(letters))
    return table


def well_formed(line):
    """The letter of a command line the runner would run, or None: position
    1 a known letter, the first path up to the first quotation mark at
    position 5 or later, two characters, the second path up to the next
    quotation mark after its first character, and no U+0000 in a path."""
    if len(line) < 2 or line[1] not in LETTERS:
        return None
    first_end = line.find('"', 5)
    if first_end < 0:
        return None
    second = first_end + 3
    second_end = line.find('"', second + 1)
    if second_end < 0:
        return None
    if "\0" in line[4:first_end] or "\0" in line[second:second_end]:
        return None
    return line[1]


def case_results(case):
    """(letter, code) pairs the case's own expectations give."""
    if case.kill is not None or case.args is not None:
        return []
    # A results file asked for but not checked: the exit code may be the
    # results file's own failure, not a line's.
    if case.results and not isinstance(case.expect.records, list):
        return []
    if any(opt.split("=")[0] in FAULT_OPTIONS for opt in case.sim):
        return []
    if isinstance(case.expect.records, list):
        out = []
        for record in case.expect.records:
            fields = record.split("|")
            if len(fields) == 4 and fields[2] == "ran" and fields[1] in LETTERS:
                out.append((fields[1], int(fields[3])))
        return out
    if case.expect.exit is None or not case.commands:
        return []
    letter = well_formed(run.expand_units(case.commands[-1]))
    return [(letter, case.expect.exit)] if letter else []


def check(readme_text, cases):
    table = readme_table(readme_text)
    problems = []
    for letter in LETTERS:
        if letter not in table:
            problems.append(f"README: no row for `{letter}`")
    given = {}
    for case in cases:
        for letter, code in case_results(case):
            given.setdefault((letter, code), []).append(case.name)
    # A row shared by letters (`d`, `f`) is shown by a case of any of them.
    for letter, (codes, _, row) in sorted(table.items()):
        if letter != row[0]:
            continue
        for code in sorted(codes):
            if not any((each, code) in given for each in row):
                problems.append(f"README lists {code} for `{'`, `'.join(row)}`, but no case's line gives it")
    none = (set(), set(), ())
    for (letter, code), names in sorted(given.items()):
        codes, refers, _ = table.get(letter, none)
        allowed = set(codes)
        for other in refers:
            allowed |= table.get(other, none)[0]
        if code not in allowed:
            problems.append(f"{names[0]}: its {letter} line gives {code}, which the README does not list for `{letter}`")
    return problems


def main(argv):
    readme = argv[1] if len(argv) > 1 else os.path.join(SOURCE, "README.md")
    folder = argv[2] if len(argv) > 2 else os.path.join(E2E, "cases")
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    problems = check(text, run.load_cases(folder))
    for p in problems:
        print(p)
    print(f"{len(problems)} differences between the README's results table and the cases")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
