#!/usr/bin/env python3
"""Writes a linkbatch command file (UTF-16LE) from readable text.

usage: make-demo-cmd.py [--no-bom] [--check] [SOURCE [OUTPUT]]
       (defaults: demo.txt and demo.cmd next to this script)
With --check, OUTPUT is not written but compared: status 1 if it differs.

Each non-blank SOURCE line that does not start with '#' is one command, such
as   d "C:\\link" "C:\\target"   . linkbatch reads the command letter at
position 1 of every line, so each line gets one leading character (a space)
in front. With a byte-order mark (the default, as PowerShell writes), the
mark is position 0 of the first line and takes the place of that line's
leading character. Lines end in CR LF.
"""
import os
import sys


def commands(text):
    """The command lines of readable text: blank and '#' lines dropped."""
    return [line.strip() for line in text.splitlines()
            if line.strip() and not line.strip().startswith("#")]


def encode(lines, bom=True):
    """UTF-16LE bytes of a command file holding these command lines."""
    out = []
    for i, line in enumerate(lines):
        lead = "\ufeff" if (bom and i == 0) else " "
        out.append(lead + line + "\r\n")
    if bom and not lines:
        out.append("\ufeff")
    return "".join(out).encode("utf-16-le")


def main(argv):
    bom = True
    check = False
    args = []
    for a in argv:
        if a == "--no-bom":
            bom = False
        elif a == "--check":
            check = True
        elif a in ("-h", "--help"):
            print(__doc__)
            return 0
        else:
            args.append(a)
    if len(args) > 2:
        print(__doc__, file=sys.stderr)
        return 2
    here = os.path.dirname(os.path.abspath(__file__))
    source = args[0] if args else os.path.join(here, "demo.txt")
    output = args[1] if len(args) > 1 else os.path.splitext(source)[0] + ".cmd"
    with open(source, encoding="utf-8") as f:
        data = encode(commands(f.read()), bom)
    if check:
        try:
            with open(output, "rb") as f:
                current = f.read() == data
        except OSError:
            current = False
        if not current:
            print("%s is not what %s makes; run make-demo-cmd.py" % (output, source),
                  file=sys.stderr)
        return 0 if current else 1
    with open(output, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
