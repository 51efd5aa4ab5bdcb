#!/usr/bin/env python3
"""Runs the conformance probe on the simulated host and under Wine and
compares the two transcripts line by line.

A line that differs must be listed in the known-differences file together
with the reason; anything else fails the comparison. The x64 and the x86
build of the probe are compared each on its own run, against the same list.
Exit code 77 means the Windows build or Wine is not available, or Wine here
cannot run that architecture (the test is then skipped).
"""
import argparse
import difflib
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77


def load_known(path):
    """Entries of the known-differences file.

    Each entry is three lines in this order:
        reason: why the two sides differ and which one Windows agrees with
        host: <the simulated line, or '-' when the host has no such line>
        wine: <the Wine line, or '-' when Wine has no such line>
    Blank lines and lines starting with '#' separate entries.
    """
    entries = []
    reason = host = None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            key, _, value = line.partition(": ")
            if key == "reason":
                reason, host = value, None
            elif key == "host" and reason is not None:
                host = value
            elif key == "wine" and reason is not None and host is not None:
                entries.append({
                    "reason": reason,
                    "host": None if host == "-" else host,
                    "wine": None if value == "-" else value,
                    "used": 0,
                })
                reason = host = None
            else:
                sys.exit(f"{path}:{number}: expected 'reason: ', 'host: ' or 'wine: ' in order")
    return entries


def run(cmd, env=None):
    # Standard error goes to a file, not a pipe: a wineserver started by the
    # call inherits it and would hold a pipe open for seconds afterwards.
    with tempfile.TemporaryFile() as err:
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=err,
                              stdin=subprocess.DEVNULL, env=env, timeout=300)
        err.seek(0)
        errors = err.read().decode("utf-8", errors="replace")
    text = proc.stdout.decode("utf-8", errors="replace").replace("\r\n", "\n")
    return proc.returncode, text.splitlines(), errors


def match(entries, host, wine):
    for e in entries:
        if e["host"] == host and e["wine"] == wine:
            e["used"] += 1
            return e
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", required=True, help="host build of the probe")
    ap.add_argument("--exe", required=True, help="Windows build of the probe")
    ap.add_argument("--arch", choices=("x64", "x86"), required=True,
                    help="architecture of the Windows build")
    ap.add_argument("--wine-arches", required=True,
                    help="script printing the architectures Wine runs here")
    ap.add_argument("--known", required=True, help="known-differences file")
    ap.add_argument("--work", required=True, help="scratch directory for the Wine run")
    args = ap.parse_args()

    if not os.path.exists(args.exe):
        print(f"SKIP: {args.exe} not built (cmake --build --preset mingw-{args.arch})")
        return SKIP
    wine = shutil.which("wine")
    if wine is None:
        print("SKIP: wine is not installed")
        return SKIP
    arches = subprocess.run([args.wine_arches], stdout=subprocess.PIPE, text=True,
                            check=True).stdout.split()
    if args.arch not in arches:
        print(f"SKIP: Wine here runs {' '.join(arches) or 'no'} programs, not {args.arch}")
        return SKIP

    # Both scratch roots end in "scratch", so path tails agree.
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    wine_root = "Z:" + os.path.abspath(args.work).replace("/", "\\") + "\\scratch"
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")

    host_rc, host_lines, host_err = run([args.host, "C:\\scratch"])
    wine_rc, wine_lines, wine_err = run([wine, args.exe, wine_root], env)
    shutil.rmtree(args.work, ignore_errors=True)

    out_dir = os.path.dirname(os.path.abspath(args.work))
    with open(os.path.join(out_dir, "conformance-host.txt"), "w") as f:
        f.write("\n".join(host_lines) + "\n")
    with open(os.path.join(out_dir, f"conformance-wine-{args.arch}.txt"), "w") as f:
        f.write("\n".join(wine_lines) + "\n")

    failures = []
    if wine_rc != 0:
        failures.append(f"the Wine run exited with {wine_rc}: {wine_err.strip()}")
    if host_rc != 0:
        failures.append(f"the host run exited with {host_rc}: {host_err.strip()}")

    entries = load_known(args.known)
    applied = []
    matcher = difflib.SequenceMatcher(a=host_lines, b=wine_lines, autojunk=False)
    for op, h1, h2, w1, w2 in matcher.get_opcodes():
        if op == "equal":
            continue
        hs, ws = host_lines[h1:h2], wine_lines[w1:w2]
        pairs = list(zip(hs, ws))
        pairs += [(h, None) for h in hs[len(ws):]]
        pairs += [(None, w) for w in ws[len(hs):]]
        for h, w in pairs:
            e = match(entries, h, w)
            if e is not None:
                applied.append((h, w, e["reason"]))
            else:
                failures.append(f"host: {h if h is not None else '-'}\n  wine: {w if w is not None else '-'}")

    same = sum(size for _, _, size in matcher.get_matching_blocks())
    print(f"{args.arch}: {same} lines identical, {len(applied)} known differences applied")
    for h, w, reason in applied:
        print(f"known: {reason}\n  host: {h if h is not None else '-'}\n  wine: {w if w is not None else '-'}")
    for e in entries:
        if e["used"] == 0:
            print(f"note: known difference not seen in this run: {e['reason']}")
    if failures:
        print(f"\n{len(failures)} unexplained differences:")
        for f in failures:
            print("  " + f)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
