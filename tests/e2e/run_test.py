#!/usr/bin/env python3
"""What the end-to-end driver does that no backend here exercises: the
windows backend's path mapping and tree reading (through the same functions,
over a file system given as data), and the verdicts a passing table never
reaches (a declared difference that stopped happening, a torn record)."""
import os
import stat
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools")]
import check_readme_results  # noqa: E402
import run  # noqa: E402


def reparse(tag, substitute, printed):
    """Reparse data in Microsoft's layout: substitute name, then print name."""
    head = 20 if tag == run.IO_REPARSE_TAG_SYMLINK else 16
    sub, pr = substitute.encode("utf-16-le"), printed.encode("utf-16-le")
    body = (len(sub)).to_bytes(2, "little")  # substitute: offset 0
    names = sub + b"\0\0" + pr + b"\0\0"
    fields = (0).to_bytes(2, "little") + body + (len(sub) + 2).to_bytes(2, "little") + \
        len(pr).to_bytes(2, "little") + (b"\0" * 4 if head == 20 else b"")
    data = fields + names
    return tag.to_bytes(4, "little") + len(data).to_bytes(2, "little") + b"\0\0" + data


class Stat:
    def __init__(self, attributes):
        self.st_file_attributes = attributes
        # What Windows' lstat gives a directory link: no directory mode.
        self.st_mode = stat.S_IFDIR if attributes == run.FILE_ATTRIBUTE_DIRECTORY else stat.S_IFREG


class WindowsBackendFunctions(unittest.TestCase):
    # The placeholders name the case folder under the scratch folder, its
    # volume, and the same folder through the volume's administrative share.
    def test_places(self):
        case = run.Case("c-x", "here")
        case.setup = ["dir q", "drive Q: q"]
        p = run.windows_places("C:\\Users\\me\\Temp\\e2e", case, ["R", "S"], "D:\\")
        self.assertEqual(p.root, "C:\\Users\\me\\Temp\\e2e\\cases\\c-x")
        self.assertEqual(p.commands, "C:\\Users\\me\\Temp\\e2e\\cases\\c-x\\commands.txt")
        self.assertEqual(p.expand("{results}|{volume}|{volume2}|{Q:}\\|\\\\{unc}\\src"),
                         "C:\\Users\\me\\Temp\\e2e\\cases\\c-x\\results.txt|C:\\|D:\\|R:\\|"
                         "\\\\localhost\\C$\\Users\\me\\Temp\\e2e\\cases\\c-x\\src")

    # Each kind of link shows its print name, a mount its volume; data whose
    # names run past its end is the bare tag.
    def test_reparse_data(self):
        self.assertEqual(run.parse_reparse(reparse(run.IO_REPARSE_TAG_MOUNT_POINT, "\\??\\C:\\t", "C:\\t"), True),
                         ("junction", "C:\\t"))
        volume = "\\??\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\"
        self.assertEqual(run.parse_reparse(reparse(run.IO_REPARSE_TAG_MOUNT_POINT, volume, ""), True),
                         ("mount", volume))
        link = reparse(run.IO_REPARSE_TAG_SYMLINK, "\\??\\C:\\f", "C:\\f")
        self.assertEqual(run.parse_reparse(link, False), ("symlink-file", "C:\\f"))
        self.assertEqual(run.parse_reparse(link, True), ("symlink-dir", "C:\\f"))
        self.assertEqual(run.parse_reparse(link[:-6], True), ("reparse:0xa000000c", None))

    # The walk enters plain directories only; a directory link is known by
    # its attributes, not its mode; files carry their bytes.
    def test_tree(self):
        D, R = run.FILE_ATTRIBUTE_DIRECTORY, run.FILE_ATTRIBUTE_REPARSE_POINT
        fs = {"/r": (D, ["a", "j", "l"]), "/r/a": (D, ["f"]), "/r/a/f": (0, None),
              "/r/j": (D | R, ["inside"]), "/r/l": (D | R, None)}
        data = {"/r/j": reparse(run.IO_REPARSE_TAG_MOUNT_POINT, "\\??\\C:\\t", "C:\\t"),
                "/r/l": reparse(run.IO_REPARSE_TAG_SYMLINK, "\\??\\C:\\s", "C:\\s")}
        tree = run.read_tree("/r", lambda p: fs[p][1], lambda p: Stat(fs[p][0]), data.get,
                             lambda p: b"bytes of " + p.encode(), lambda st: st.st_file_attributes)
        self.assertEqual({k: v.show() for k, v in tree.nodes.items()},
                         {"": "dir", "A": "dir", "A\\F": "file", "J": "junction -> C:\\t",
                          "L": "symlink-dir -> C:\\s"})
        self.assertEqual(tree.get("a\\F").data, b"bytes of /r/a/f")
        self.assertEqual(tree.get("").children, 3)


class Verdicts(unittest.TestCase):
    def setUp(self):
        path = os.path.join(os.environ.get("TMPDIR", "/tmp"), "e2e-run-test.case")
        with open(path, "w") as f:
            f.write("case j\ncommands:\n   j \"{root}\\j\" \"{root}\\t\"\nexit: 0\ntree:\n"
                    "  j  junction -> {root}\\t\non wine-x64: no reparse points\n  exit: 50\n"
                    "  tree:\n    j  absent\n")
        self.case = run.parse_file(path)[0]
        os.unlink(path)
        self.places = run.Places("Z:\\r", "c", "Z:\\r\\results.txt", {}, "Z:\\", None, "u")

    def verdict(self, backend, code, tree):
        outcome = run.Outcome()
        outcome.exit = code
        for path, node in tree.items():
            outcome.tree.add(path, node)
        return run.judge(self.case, backend, outcome, self.places, {})[0]

    # A declared difference holds only while the backend differs; one that
    # stopped happening fails, as does a result that is neither.
    def test_declared_difference(self):
        junction = {"j": run.Node("junction", "Z:\\r\\t")}
        self.assertEqual(self.verdict("wine-x64", 50, {}), "declared")
        self.assertEqual(self.verdict("wine-x64", 0, junction), "fail")
        self.assertEqual(self.verdict("wine-x64", 5, {}), "fail")
        self.assertEqual(self.verdict("sim", 0, junction), "pass")
        self.assertEqual(self.verdict("sim", 50, {}), "fail")

    # A killed run's file may hold more records than were seen, never a torn
    # one or a gap.
    def test_killed_records(self):
        def file(*records):
            return "\ufeff".encode("utf-16-le") + "".join(r + "\r\n" for r in records).encode("utf-16-le")
        want = ["linkbatch-results|1", "1|k|ran|2"]
        whole = file("linkbatch-results\t1", "1\tk\tran\t2", "2\tk\tran\t2")
        self.assertEqual(run.check_records(want, whole, 3), [])
        self.assertTrue(run.check_records(want, whole + "3\tk".encode("utf-16-le"), 3))
        self.assertTrue(run.check_records(want, file("linkbatch-results\t1", "1\tk\tran\t2",
                                                     "3\tk\tran\t2"), 3))
        self.assertTrue(run.check_records(want, whole, 4))


# The README's results table against the cases, both ways: a code no case
# gives, a code no row lists, and a shared row or "as `k`" that covers one.
class ReadmeResults(unittest.TestCase):
    README = ("| Letter | Common results |\n|---|---|\n| `d`, `f` | 0; 3 folder missing |\n"
              "| `k` | 0; 2 or 145 missing or full |\n| `l` | 4392 too long; as `k` |\n")

    def case(self, line, code):
        case = run.Case("x" + line[1], "here")
        case.commands, case.expect.exit = [line], code
        return case

    def test_both_directions(self):
        cases = [self.case(' d "a" "b"', 0), self.case(' f "a" "b"', 3), self.case(' k "a" "b"', 2),
                 self.case(' k "a" "b"', 145), self.case(' l "a" "b"', 4392), self.case(' l "a" "b"', 2)]
        text = self.README + "| `c` | 0 |\n| `j` | 0 |\n| `m` | 0 |\n| `n` | 0 |\n"
        problems = check_readme_results.check(text, cases + [self.case(' k "a" "b"', 5),
                                                     self.case(' k "a" "b', 99)])
        self.assertEqual(len([p for p in problems if "gives 5" in p]), 1)
        self.assertEqual(len([p for p in problems if "lists 0 for `c`" in p]), 1)
        self.assertFalse([p for p in problems if "`d`" in p or "`f`" in p or "`l`" in p or "99" in p])


if __name__ == "__main__":
    unittest.main()
