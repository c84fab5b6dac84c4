"""Checks of the benchmark's own parts, run by ctest under Wine.

The environment names the programs: QX_BENCH_RUNNER, QX_COPY_FLOOR,
QX_COPY_FLOOR_DLLS,
QX_WINE_RUN (the script that runs a Windows program in the test prefix) and
QX_WINE (the Wine loader for their build).
"""

import os
import re
import subprocess
import tempfile
import unittest
from pathlib import Path

import bench


def windows_path(path):
    """Wine's drive Z: is the Unix root."""
    return "Z:" + str(path).replace("/", "\\")


def run_runner(*arguments):
    command = [os.environ["QX_WINE_RUN"], os.environ["QX_WINE"], os.environ["QX_BENCH_RUNNER"], *arguments]
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout


class CopyFloorThroughRunnerTest(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="bench test ", dir=os.environ.get("QX_BENCH_TEST_WORK")))
        self.source = self.work / "shipped folder"
        self.target = self.work / "install folder"
        self.source.mkdir()
        self.target.mkdir()
        (self.source / "sub folder").mkdir()
        for name in ("a.dll", "b c.dll", "noext"):
            (self.source / name).write_bytes(name.encode() * 100)
        (self.target / "a.dll").write_bytes(b"old")
        # Each floor bare and with the check before the copies.
        self.floors = [[windows_path(os.environ[name]), *check] for name in ("QX_COPY_FLOOR", "QX_COPY_FLOOR_DLLS")
                       for check in ([], ["--check"])]

    def tearDown(self):
        for path in sorted(self.work.rglob("*"), reverse=True):
            path.rmdir() if path.is_dir() else path.unlink()
        self.work.rmdir()

    def test_arguments_with_blanks_and_trailing_backslashes_reach_the_program(self):
        shapes = {"time": r"elapsed_ms \d+\.\d+ exit 0", "memory": r"peak_private_kib [1-9]\d* samples [1-9]\d* exit 0"}
        for mode, shape in shapes.items():
            for floor in self.floors:
                with self.subTest(mode=mode, floor=floor):
                    (self.target / "a.dll").write_bytes(b"old")
                    code, output = run_runner(mode, *floor, windows_path(self.source) + "\\",
                                              windows_path(self.target) + "\\")
                    self.assertEqual(code, 0, output)
                    self.assertRegex(output.strip(), "^" + shape + "$")
                    self.assertEqual(sorted(p.name for p in self.target.iterdir()), ["a.dll", "b c.dll", "noext"])
                    self.assertEqual((self.target / "a.dll").read_bytes(), b"a.dll" * 100)

    def test_a_failed_copy_shows_in_the_exit_code(self):
        for floor in self.floors:
            with self.subTest(floor=floor):
                code, output = run_runner("time", *floor, windows_path(self.source),
                                          windows_path(self.work / "missing"))
                self.assertEqual(code, 0, output)
                self.assertRegex(output.strip(), r" exit 1$")


class PayloadTest(unittest.TestCase):
    def test_names_are_distinct_and_long_names_have_sixty_characters(self):
        for payload in bench.PAYLOADS:
            with self.subTest(payload=payload.label):
                names = [name for shipped, _ in bench.COPY_PAIRS for name in payload.file_names(shipped)]
                self.assertEqual(len(names), payload.count)
                self.assertEqual(len(set(name.lower() for name in names)), payload.count)
                if payload.long_names:
                    self.assertEqual({len(name) for name in names}, {bench.LONG_NAME_LENGTH})
                self.assertTrue(all(re.fullmatch(r"[0-9a-z_]+\.dll", name) for name in names))


if __name__ == "__main__":
    unittest.main()
