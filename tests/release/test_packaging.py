"""Packaging rules and the zip's layout, on payloads made up for each case.

Usage: test_packaging.py MAKE_PACKAGE_PY [unittest options]
"""

import hashlib
import importlib.util
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

SCRIPT = None
package = None  # make_package, loaded from SCRIPT

FOLDERS = ["181235_bin", "181235_bin_x64", "bin", "bin_x64", "zfa_act"]
EPOCH = 1767323046  # 2026-01-02 03:04:06 UTC (zip times have 2-second steps)
EXE = b"MZ stand-in for the exe"
SUMMARY_EXE = b"MZ stand-in for the log summary"
LAUNCHER_EXE = b"MZ stand-in for the launcher"
# Line ends as a checkout may leave them: cmd needs CR LF throughout.
WRAPPER = b"@echo off\r\ncall :label\n:label\r\nexit /b 0\n"


def make_payload(root, layout):
    """layout: {relative path: bytes for a file, None for a folder}."""
    os.makedirs(root)
    for path, content in layout.items():
        full = os.path.join(root, path)
        if content is None:
            os.makedirs(full, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(content)


class Scratch(unittest.TestCase):
    def setUp(self):
        temp = tempfile.TemporaryDirectory()
        self.addCleanup(temp.cleanup)
        self.dir = temp.name
        self.count = 0

    def payload(self, layout):
        self.count += 1
        root = os.path.join(self.dir, f"payload{self.count}")
        make_payload(root, layout)
        return root


class PayloadRulesTest(Scratch):
    # (case, payload, files per shipped folder when it packages)
    ACCEPTED = [
        ("every folder filled",
         {f"modules/{f}/{f}.dll": f.encode() for f in FOLDERS} | {"modules/bin/b.txt": b"b"},
         {f: [f"{f}.dll"] for f in FOLDERS} | {"bin": ["b.txt", "bin.dll"]}),
        ("missing folders filled in",
         {"modules/bin/a.dll": b"a"},
         {f: [] for f in FOLDERS} | {"bin": ["a.dll"]}),
        ("empty shipped folders allowed",
         {"modules/zfa_act/z.dll": b"z", "modules/bin": None, "modules/bin_x64": None},
         {f: [] for f in FOLDERS} | {"zfa_act": ["z.dll"]}),
        ("hidden files are files like any other",
         {"modules/bin/.keep": b""},
         {f: [] for f in FOLDERS} | {"bin": [".keep"]}),
    ]

    # (case, payload, text every problem line must hold, in order)
    REFUSED = [
        ("stray top-level file",
         {"modules/bin/a.dll": b"a", "readme.txt": b"r"},
         ["readme.txt: unexpected entry"]),
        ("stray top-level folder",
         {"modules/bin/a.dll": b"a", "docs/x.txt": b"x"},
         ["docs: unexpected entry"]),
        ("unknown shipped folder",
         {"modules/bin64/a.dll": b"a"},
         ["modules/bin64: unexpected entry"]),
        ("shipped folder in the wrong case",
         {"modules/BIN/a.dll": b"a"},
         ["modules/BIN: unexpected entry"]),
        ("file directly in modules",
         {"modules/bin/a.dll": b"a", "modules/a.dll": b"a"},
         ["modules/a.dll: unexpected entry"]),
        ("shipped folder that is a file",
         {"modules/bin": b"not a folder"},
         ["modules/bin: not a folder"]),
        ("modules that is a file",
         {"modules": b"not a folder"},
         ["modules: not a folder"]),
        ("nested sub-folder",
         {"modules/bin/a.dll": b"a", "modules/bin/x86/b.dll": b"b"},
         ["modules/bin/x86: a sub-folder"]),
        ("empty nested sub-folder",
         {"modules/zfa_act/z.dll": b"z", "modules/zfa_act/old": None},
         ["modules/zfa_act/old: a sub-folder"]),
        ("names that differ only in case",
         {"modules/bin/Core.dll": b"1", "modules/bin/core.DLL": b"2"},
         ["modules/bin/core.DLL: same name as Core.dll"]),
        ("no file anywhere",
         {"modules/bin": None},
         ["no file in any shipped folder"]),
        ("empty payload", {}, ["no file in any shipped folder"]),
        ("every problem reported",
         {"extra": None, "modules/bin/sub/a.dll": b"a", "modules/other": None},
         ["extra: unexpected", "modules/bin/sub: a sub-folder", "modules/other: unexpected"]),
    ]

    # (file name, problem when Windows cannot take it)
    NAMES = [
        ("qxcore.dll", None),
        ("with blank.dll", None),
        ("con.dll", "device name"),
        ("LPT1", "device name"),
        ("console.dll", None),
        ("a:b.dll", "Windows does not allow"),
        ("back\\slash.dll", "Windows does not allow"),
        ("what?.dll", "Windows does not allow"),
        ("trailing.", "ends with a blank or a dot"),
        ("trailing ", "ends with a blank or a dot"),
        ("caf\u00e9.dll", "not plain ASCII"),
        ("tab\tname.dll", "not plain ASCII"),
    ]

    def test_accepted_payloads(self):
        for case, layout, expected in self.ACCEPTED:
            with self.subTest(case):
                folders = package.collect_payload(self.payload(layout))
                self.assertEqual({f: [n for n, _ in files] for f, files in folders.items()},
                                 expected)

    def test_refused_payloads(self):
        for case, layout, expected in self.REFUSED:
            with self.subTest(case):
                with self.assertRaises(package.PayloadError) as raised:
                    package.collect_payload(self.payload(layout))
                lines = str(raised.exception).splitlines()
                self.assertEqual(len(lines), len(expected), lines)
                for line, text in zip(lines, expected):
                    self.assertIn(text, line)

    def test_missing_payload_folder(self):
        with self.assertRaisesRegex(package.PayloadError, "does not exist"):
            package.collect_payload(os.path.join(self.dir, "nowhere"))

    def test_file_names_windows_can_take(self):
        for name, problem in self.NAMES:
            with self.subTest(name):
                reason = package.windows_name_problem(name)
                if problem is None:
                    self.assertIsNone(reason)
                else:
                    self.assertIn(problem, reason or "")
        # The same check stops the packaging.
        with self.assertRaisesRegex(package.PayloadError, "modules/bin/aux.dll: .*device"):
            package.collect_payload(self.payload({"modules/bin/aux.dll": b"a"}))


class SamplePayloadTest(Scratch):
    SAMPLE = {"modules/bin/qxlicense.dll": b"qxlicense placeholder",
              "modules/181235_bin/qxcore.dll": b"qxcore placeholder"}
    REAL = {"modules/bin/qxlicense.dll": b"MZ real licenser",
            "modules/181235_bin/qxcore.dll": b"MZ real core"}

    def test_placeholders_found_by_place_and_by_content(self):
        sample = self.payload(self.SAMPLE)
        link = os.path.join(self.dir, "link-to-sample")
        os.symlink(sample, link)
        # (case, payload folder, text of each problem line, in order)
        cases = [
            ("the sample folder itself", sample, ["is the sample payload"]),
            ("a link to it", link, ["is the sample payload"]),
            ("a copy of it", self.payload(self.SAMPLE),
             ["modules/181235_bin/qxcore.dll: a placeholder file of the sample payload",
              "modules/bin/qxlicense.dll: a placeholder file of the sample payload"]),
            ("one placeholder among real files",
             self.payload(self.REAL | {"modules/zfa_act/z.dll": b"qxcore placeholder"}),
             ["modules/zfa_act/z.dll: a placeholder file"]),
            ("real files under the placeholders' names", self.payload(self.REAL), []),
        ]
        for case, payload, expected in cases:
            with self.subTest(case):
                folders = package.collect_payload(payload)
                problems = package.sample_payload_problems(payload, folders, sample)
                self.assertEqual(len(problems), len(expected), problems)
                for line, text in zip(problems, expected):
                    self.assertIn(text, line)


class ZipTest(Scratch):
    LAYOUT = {"modules/bin/b.dll": b"b" * 500, "modules/bin/a.dll": b"a",
              "modules/zfa_act/z.dll": b"z"}

    def run_script(self, payload, output, exe=EXE):
        paths = []
        for name, data in (("qxhotfix.exe", exe), ("qxlogsummary.exe", SUMMARY_EXE),
                           ("run-hotfix.exe", LAUNCHER_EXE), ("run-hotfix.cmd", WRAPPER)):
            paths.append(os.path.join(self.dir, name))
            with open(paths[-1], "wb") as f:
                f.write(data)
        return subprocess.run(
            [sys.executable, SCRIPT, "--exe", paths[0], "--summary-exe", paths[1],
             "--launcher-exe", paths[2], "--wrapper", paths[3], "--payload", payload,
             "--epoch", str(EPOCH), "--output", output],
            capture_output=True, text=True)

    def test_layout_and_checksums(self):
        output = os.path.join(self.dir, "out.zip")
        result = self.run_script(self.payload(self.LAYOUT), output)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("qxhotfix.exe: NOT signed", result.stdout)
        self.assertIn("qxlogsummary.exe: NOT signed", result.stdout)
        self.assertIn("run-hotfix.exe: NOT signed", result.stdout)
        with zipfile.ZipFile(output) as z:
            infos = z.infolist()
            self.assertEqual([i.filename for i in infos], [
                "qxhotfix.exe", "qxlogsummary.exe", "run-hotfix.exe", "run-hotfix.cmd", "SHA256SUMS",
                "modules/",
                "modules/181235_bin/", "modules/181235_bin_x64/",
                "modules/bin/", "modules/bin/a.dll", "modules/bin/b.dll",
                "modules/bin_x64/", "modules/zfa_act/", "modules/zfa_act/z.dll"])
            for info in infos:
                with self.subTest(info.filename):
                    self.assertEqual(info.date_time, (2026, 1, 2, 3, 4, 6))
                    folder = info.filename.endswith("/")
                    self.assertEqual(info.external_attr >> 16, 0o40755 if folder else 0o100644)
                    self.assertEqual(info.external_attr & 0x10, 0x10 if folder else 0)
            self.assertEqual(z.read("qxhotfix.exe"), EXE)
            self.assertEqual(z.read("qxlogsummary.exe"), SUMMARY_EXE)
            self.assertEqual(z.read("run-hotfix.exe"), LAUNCHER_EXE)
            self.assertEqual(z.read("run-hotfix.cmd"),
                             b"@echo off\r\ncall :label\r\n:label\r\nexit /b 0\r\n")
            self.assertEqual(z.read("modules/bin/b.dll"), b"b" * 500)
            self.assertEqual(z.getinfo("modules/bin/b.dll").compress_type, zipfile.ZIP_DEFLATED)
            self.assertEqual(z.getinfo("modules/bin/a.dll").compress_type, zipfile.ZIP_STORED)

            sums = z.read("SHA256SUMS").decode("ascii").splitlines()
            files = [i.filename for i in infos
                     if not i.filename.endswith("/") and i.filename != "SHA256SUMS"]
            self.assertEqual(sums, [f"{hashlib.sha256(z.read(name)).hexdigest()}  {name}"
                                    for name in files])

    def test_same_bytes_whatever_the_payload_files_dates_and_modes(self):
        first, second = (os.path.join(self.dir, name) for name in ("1.zip", "2.zip"))
        payload = self.payload(self.LAYOUT)
        self.assertEqual(self.run_script(payload, first).returncode, 0)
        for n, path in enumerate(["modules/bin/a.dll", "modules/zfa_act/z.dll"]):
            full = os.path.join(payload, path)
            os.utime(full, (1000000 * n, 1000000 * n))
            os.chmod(full, 0o600 + n)
        self.assertEqual(self.run_script(payload, second).returncode, 0)
        with open(first, "rb") as a, open(second, "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_refused_payload_leaves_no_zip(self):
        output = os.path.join(self.dir, "out.zip")
        self.assertEqual(self.run_script(self.payload(self.LAYOUT), output).returncode, 0)
        stray = self.payload(self.LAYOUT | {"modules/bin/x86/a.dll": b"a"})
        result = self.run_script(stray, output)
        self.assertEqual(result.returncode, 1)
        self.assertIn("modules/bin/x86: a sub-folder", result.stderr)
        self.assertFalse(os.path.exists(output), "the zip of an earlier payload is gone")
        self.assertEqual([n for n in os.listdir(self.dir) if n.endswith(".tmp")], [])

    def test_signed_exe_reported(self):
        # A PE32 header whose certificate table (directory 4) is not empty.
        exe = bytearray(0x200)
        exe[:2] = b"MZ"
        exe[0x3C:0x40] = (0x80).to_bytes(4, "little")
        exe[0x80:0x84] = b"PE\0\0"
        exe[0x98:0x9A] = (0x10B).to_bytes(2, "little")
        exe[0x98 + 96 + 32 + 4:0x98 + 96 + 32 + 8] = (0x100).to_bytes(4, "little")
        result = self.run_script(self.payload(self.LAYOUT), os.path.join(self.dir, "s.zip"),
                                 exe=bytes(exe))
        self.assertIn("qxhotfix.exe: signed", result.stdout)


if __name__ == "__main__":
    SCRIPT = sys.argv.pop(1)
    loader_spec = importlib.util.spec_from_file_location("make_package", SCRIPT)
    package = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(package)
    unittest.main()
