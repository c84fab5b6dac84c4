"""End-to-end tests of applying the hotfix in real 64-bit and 32-bit Wine
prefixes: which folder pairs a run plans, how it finds their folders in the
registry and beside the exe, and how it copies each pair.

Every case builds a fresh world (exe folder with a payload in its shipped
folders, install folders holding old files, registry values naming them)
and checks the exit code, every file under the install folders, and the
log's lines without their time prefix. The copy entries of one pair are
compared as a set: the order of a folder listing is the platform's.
"""

import subprocess
import unittest

import harness
from installation import (ACCESS_DENIED, HEADER, NO_ACTIVATOR_PATH, NO_INSTALL_BIN_PATH,
                          PAIRS, PATH_NOT_FOUND, SHARING_VIOLATION, SUCCESS, Installation, chattr_allowed,
                          copy_entry, copy_error, default_payload, planned_pairs)

PREFIXES = {}


def setUpModule():
    PREFIXES.update(harness.open_prefixes(["win64", "win32"]))


def tearDownModule():
    harness.close_prefixes(PREFIXES)


class ApplyTestCase(unittest.TestCase):
    """Runs in the prefix of its arch."""

    arch = None
    maxDiff = None

    def world(self, **options):
        self.prefix = PREFIXES[self.arch]
        self.prefix.reset()
        return Installation(self.prefix, **options)

    def run_hotfix(self, install):
        return harness.run_hotfix(install.exe, ["/s"])

    def body(self, run, product_type):
        """The lines after the initial information, mode, release and
        product type, which are checked here."""
        initial_info = f"#InitialInfo,{run.folder.exe_windows},{self.prefix.user_name}"
        product_type_line = f"[info]: ProductType, {product_type or 0}"
        self.assertEqual(run.lines[:4], [initial_info] + HEADER + [product_type_line])
        return run.lines[4:]

    def take_resolutions(self, lines, install, pairs):
        expected = [line for pair in pairs for line in install.resolution_lines(pair)]
        self.assertEqual(lines[:len(expected)], expected)
        return lines[len(expected):]

    def take_copies(self, lines, install, pair):
        """Checks that the next entries copy every file of the pair, in any
        order, and returns the lines after them."""
        names = install.shipped_files(pair)
        self.assertEqual(set(lines[:len(names)]), {copy_entry(name, 1) for name in names}, f"pair {pair}")
        return lines[len(names):]

    def apply_and_check(self, install, product_type=None):
        install.registry(product_type).apply()
        run = self.run_hotfix(install)
        self.assertEqual(run.exit_code, 0, run.lines)
        pairs = planned_pairs(self.prefix.arch, product_type)
        rest = self.take_resolutions(self.body(run, product_type), install, pairs)
        for pair in pairs:
            rest = self.take_copies(rest, install, pair)
        self.assertEqual(rest, [SUCCESS])
        self.assertEqual(install.tree(), install.expected_tree((p, install.shipped_files(p)) for p in pairs))
        return run

    def refused_run(self, install, refused, code, refused_pair=5, product_type=None):
        """Checks a run that stops at a file of refused_pair whose copy
        would be refused (refused None allows any file of the pair): after
        the resolutions come only that copy's two entries, and no install
        folder changed, as the check comes before the first copy."""
        install.registry(product_type).apply()
        run = self.run_hotfix(install)
        self.assertEqual(run.exit_code, 1)
        rest = self.take_resolutions(self.body(run, product_type), install,
                                     planned_pairs(self.prefix.arch, product_type))
        names = [refused] if refused else install.shipped_files(refused_pair)
        self.assertEqual(len(rest), 2, rest)
        self.assertIn(rest[0], [copy_entry(name, 0) for name in names])
        self.assertEqual(rest[1], copy_error(code))
        self.assertEqual(install.tree(), install.before)

    def make_immutable(self, unix_path):
        if not chattr_allowed(unix_path.parent):
            self.skipTest("chattr +i is not permitted here, so the platform cannot be made to refuse a copy")
        subprocess.run(["chattr", "+i", str(unix_path)], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-i", str(unix_path)], check=True)


class PlanTests:
    """The pairs planned for each machine and product type, all applied."""

    CASES = [
        ("win64", 1, [1, 2, 3, 4, 5]),
        ("win32", 1, [2, 3, 5]),
        ("win64", 2, [4, 5]),
        ("win64", None, [4, 5]),
        ("win32", None, [5]),
    ]

    def test_plans(self):
        for arch, product_type, pairs in self.CASES:
            if arch != self.arch:
                continue
            with self.subTest(product_type=product_type):
                self.assertEqual(planned_pairs(arch, product_type), pairs)
                install = self.world()
                install.registry(product_type).apply()
                run = self.run_hotfix(install)
                self.assertEqual(run.exit_code, 0)
                rest = self.take_resolutions(self.body(run, product_type), install, pairs)
                for pair in pairs:
                    rest = self.take_copies(rest, install, pair)
                self.assertEqual(rest, [SUCCESS])
                expected = install.expected_tree((pair, install.shipped_files(pair)) for pair in pairs)
                self.assertEqual(install.tree(), expected)


class UnresolvedFolderTests:
    """A folder that the registry does not name usably stops the run before
    any file is copied, even when earlier pairs were resolved."""

    CASES = [
        # name, arch, product type, registry change, pairs resolved, last entries
        ("InstallBinPath as REG_EXPAND_SZ", "win32", 1,
         lambda batch, i: batch.expand_sz(32, harness.PRODUCT_KEY, "InstallBinPath", i.bin[32]),
         [], ['[info]: Quorvex InstallBinPath(x86), ""', NO_INSTALL_BIN_PATH]),
        ("InstallBinPath an empty REG_SZ", "win32", None,
         lambda batch, i: batch.sz(32, harness.PRODUCT_KEY, "InstallBinPath", ""),
         [], ['[info]: Quorvex InstallBinPath(x86), ""', NO_INSTALL_BIN_PATH]),
        ("InstallBinPath only in the 32-bit view, product type 1", "win64", 1,
         lambda batch, i: batch.unset(64, harness.PRODUCT_KEY, "InstallBinPath"),
         [], ['[info]: Quorvex InstallBinPath(x64), ""', NO_INSTALL_BIN_PATH]),
        ("InstallBinPath only in the 32-bit view, product type 2", "win64", 2,
         lambda batch, i: batch.unset(64, harness.PRODUCT_KEY, "InstallBinPath"),
         [], ['[info]: Quorvex InstallBinPath(x64), ""', NO_INSTALL_BIN_PATH]),
        ("InstallBinPath only in the 64-bit view", "win64", 2,
         lambda batch, i: batch.unset(32, harness.PRODUCT_KEY, "InstallBinPath"),
         [4], ['[info]: Quorvex InstallBinPath(x86), ""', NO_INSTALL_BIN_PATH]),
        ("ActivatorPath missing", "win64", 1,
         lambda batch, i: batch.unset(32, harness.ACTIVATOR_KEY, "ActivatorPath"),
         [1, 2], ['[info]: LicenseActivator Path, ""', NO_ACTIVATOR_PATH]),
        ("ActivatorPath only in the 64-bit view", "win64", 1,
         lambda batch, i: batch.unset(32, harness.ACTIVATOR_KEY, "ActivatorPath").activator_path(
             i.zfa, views=(64,)),
         [1, 2], ['[info]: LicenseActivator Path, ""', NO_ACTIVATOR_PATH]),
    ]

    def test_unresolved_folders(self):
        for name, arch, product_type, change, resolved, last in self.CASES:
            if arch != self.arch:
                continue
            with self.subTest(name):
                install = self.world()
                change(install.registry(product_type), install).apply()
                run = self.run_hotfix(install)
                self.assertEqual(run.exit_code, 1)
                rest = self.take_resolutions(self.body(run, product_type), install, resolved)
                self.assertEqual(rest, last)
                self.assertEqual(install.tree(), install.before)


# A payload for the cases that any machine plays: only pair 5 copies files,
# and pair 4, planned on a 64-bit machine, has an empty shipped folder.
def pair_5_payload(files):
    return {"181235_bin": files, "181235_bin_x64": {}}


class CopyContentTests:
    """What one pair copies."""

    def test_every_plain_file_and_no_folder(self):
        files = {
            "hidden.dll": b"hidden", "system.dll": b"system", "readonly.dll": b"read-only",
            "noextension": b"no full stop", ".startswithdot": b"leading full stop", "replaced.dll": b"replaced",
            "sub/inner.dll": b"in a sub-folder", "folder.dll/inner.dll": b"in a folder with an extension",
        }
        install = self.world(payload=pair_5_payload(files))
        source = install.source(5)
        for flag, name in (("+h", "hidden.dll"), ("+s", "system.dll"), ("+r", "readonly.dll")):
            self.prefix.run("C:\\windows\\system32\\attrib.exe", [flag, source + name])
        self.assertIn("readonly.dll", install.shipped_files(5))
        self.apply_and_check(install)
        # No folder of the payload reaches the install folder.
        self.assertFalse(install.unix(install.destination(5) + "sub").exists())
        self.assertFalse(install.unix(install.destination(5) + "folder.dll").exists())


    def test_hidden_and_system_files_apply_again(self):
        files = {"hidden.dll": b"hidden", "system.dll": b"system", "plain.dll": b"plain"}
        install = self.world(payload=pair_5_payload(files))
        source = install.source(5)
        for flag, name in (("+h", "hidden.dll"), ("+s", "system.dll")):
            self.prefix.run("C:\\windows\\system32\\attrib.exe", [flag, source + name])
        # The first run copies them hidden and system; the same package then
        # replaces them again. Each run gets a log of its own.
        self.apply_and_check(install).log_path.unlink()
        self.apply_and_check(install)


class CopyFailureTests:
    """A file whose copy would be refused or an unlistable shipped folder
    stops the run with exit code 1 before the first copy: no install
    folder changes."""

    TWO_FILES = pair_5_payload({"a.dll": b"new a", "b.dll": b"new b"})

    def test_destination_folder_missing(self):
        install = self.world(payload=self.TWO_FILES)
        install.bin[32] = install.root + "missing\\"
        self.refused_run(install, None, PATH_NOT_FOUND)

    def test_read_only_destination_file(self):
        install = self.world(payload=self.TWO_FILES)
        target = install.unix(install.destination(5) + "b.dll")
        self.prefix.run("C:\\windows\\system32\\attrib.exe", ["+r", install.destination(5) + "b.dll"])
        # Wine lets root overwrite a read-only file; the flag makes it refuse.
        self.make_immutable(target)
        self.refused_run(install, "b.dll", ACCESS_DENIED)

    def test_destination_file_in_use(self):
        install = self.world(payload=self.TWO_FILES)
        with self.prefix.hold_file(install.destination(5) + "b.dll"):
            self.refused_run(install, "b.dll", SHARING_VIOLATION)

    def test_module_in_use_in_the_last_pair(self):
        payload = default_payload()
        payload["181235_bin"]["common.dll"] = b"new common.dll"
        install = self.world(payload=payload)
        module = install.destination(5) + "common.dll"
        install.unix(module).write_bytes(harness.HELD_MODULE.read_bytes())
        install.before = install.tree()
        with self.prefix.load_module(module):
            self.refused_run(install, "common.dll", SHARING_VIOLATION, product_type=1)

    def test_module_of_the_last_pair_held_with_delete_access(self):
        # A sync client or a scanner holds it sharing every way; the copy's
        # own open shares no deletion, so the copy would fail part-way.
        payload = default_payload()
        payload["181235_bin"]["common.dll"] = b"new common.dll"
        install = self.world(payload=payload)
        held = install.destination(5) + "common.dll"
        install.unix(held).write_bytes(b"old common.dll")
        install.before = install.tree()
        with self.prefix.hold_file(held, delete=True):
            self.refused_run(install, "common.dll", SHARING_VIOLATION, product_type=1)

    def test_shipped_folder_is_a_file(self):
        payload = default_payload()
        payload["181235_bin"] = None
        install = self.world(payload=payload)
        (install.exe.unix / "modules" / "181235_bin").write_bytes(b"not a folder")
        install.registry(None).apply()
        run = self.run_hotfix(install)
        self.assertEqual(run.exit_code, 1)
        rest = self.take_resolutions(self.body(run, None), install, planned_pairs(self.arch, None))
        # The code differs between Windows and Wine; only its form is fixed.
        self.assertEqual(len(rest), 1, rest)
        self.assertRegex(rest[0], r"^\[error\]: FindFirstFile, GetLastError, 0x[0-9a-f]{8}$")
        self.assertEqual(install.tree(), install.before)


class TwoViewTest(ApplyTestCase):
    """Cases that need the 64-bit machine's two registry views."""

    arch = "win64"

    def test_empty_shipped_folder(self):
        payload = default_payload()
        payload["181235_bin_x64"] = {}
        install = self.world(payload=payload)
        self.apply_and_check(install, product_type=2)

    def test_later_pair_wins_when_both_views_name_one_folder(self):
        payload = {sub: {"shared.dll": f"from {sub}".encode()} for sub, _, _ in PAIRS.values()}
        install = self.world(payload=payload, shared_bin=True)
        self.apply_and_check(install, product_type=1)
        self.assertEqual(install.unix(install.destination(2) + "shared.dll").read_bytes(), b"from bin")
        self.assertEqual(install.unix(install.destination(5) + "shared.dll").read_bytes(), b"from 181235_bin")

    def test_non_ascii_paths_in_the_log(self):
        payload = default_payload()
        payload["bin"]["名前\U0002000b.dll"] = b"non-ASCII name"
        install = self.world(payload=payload, exe_suffix="実行\U0001d11e", install_suffix="日本語\U0002000b")
        self.assertIn("日本語\U0002000b", install.bin[64])
        run = self.apply_and_check(install, product_type=1)
        self.assertIn(f'[info]: Quorvex InstallBinPath(x64), "{install.bin[64]}"', run.lines)
        self.assertIn(copy_entry("名前\U0002000b.dll", 1), run.lines)

    def test_failure_in_pair_4_changes_no_pair(self):
        payload = default_payload()
        payload["181235_bin_x64"]["held.dll"] = b"new held"
        install = self.world(payload=payload)
        with self.prefix.hold_file(install.destination(4) + "held.dll"):
            self.refused_run(install, "held.dll", SHARING_VIOLATION, refused_pair=4, product_type=1)

    def test_exe_at_the_root_of_a_drive(self):
        prefix = PREFIXES[self.arch]
        unix, _ = prefix.new_folder("drives")
        install = self.world(exe_at=(unix, prefix.map_drive("q", unix)))
        self.assertEqual(install.source(5), "Q:\\modules\\181235_bin\\")
        self.apply_and_check(install, product_type=1)

    def test_exe_on_a_share_reported_without_its_leading_backslashes(self):
        # Wine cannot start a program as \\server\share\... (error 66) and
        # reports one started as \\?\UNC\server\share\... by the relative
        # path UNC\server\share\...: the run must not read shipped folders
        # relative to the current directory then.
        prefix = PREFIXES[self.arch]
        unix, _ = prefix.new_folder("share")
        share = prefix.map_share("qxserver", "hotfix", unix)
        install = self.world(exe_at=(unix, share))
        install.registry(2).apply()
        run = self.prefix.run("\\\\?\\UNC" + share[1:] + "qxhotfix.exe", ["/s"])
        self.assertEqual(run.exit_code, 1)
        [log] = [path for path in self.prefix.temp_unix.glob("qx913hotfix2_*.log")]
        lines = harness.parse_log(log.read_bytes()).lines
        self.assertEqual(lines[0], f"#InitialInfo,UNC{share[1:]}qxhotfix.exe,{self.prefix.user_name}")
        self.assertEqual(lines[-2:], [f'[info]: Quorvex Module Install Path, "{install.bin[64]}"',
                                      "[error]: Unable to get the module path."])
        self.assertEqual(install.tree(), install.before)

    def test_shipped_folder_missing(self):
        payload = default_payload()
        payload["181235_bin"] = None
        install = self.world(payload=payload)
        install.registry(2).apply()
        run = self.run_hotfix(install)
        self.assertEqual(run.exit_code, 1)
        rest = self.take_resolutions(self.body(run, 2), install, [4, 5])
        self.assertEqual(rest, [f"[error]: FindFirstFile, GetLastError, {PATH_NOT_FOUND}"])
        self.assertEqual(install.tree(), install.before)


harness.machine_test_classes(globals(), (PlanTests, UnresolvedFolderTests, CopyContentTests, CopyFailureTests),
                             ApplyTestCase)
load_tests = harness.load_machine_tests

if __name__ == "__main__":
    unittest.main()
