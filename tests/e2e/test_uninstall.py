"""End-to-end tests of taking the hotfix back: run-hotfix.exe keeps what the
hotfix replaces in its store, and run-hotfix.exe /uninstall puts it back.

Each case applies the hotfix with the launcher to a fresh installation, as
test_fleet does, and checks the install folders byte for byte, the store,
the exit codes and the lines on standard error. The launcher under test is
the test build, which reads Wine's one owner of every object as the
Administrators (QX_STORE_ACCOUNT names another account instead).
"""

import concurrent.futures
import os
import time
import unittest
from pathlib import Path

import harness
from installation import Installation, PAIRS, planned_pairs
from test_fleet import csv_records, lay_out_launcher, run_launcher, write_checksums

PREFIXES = {}
STORE = "C:\\ProgramData\\VELTRANE\\qx913hotfix2\\"
NOT_APPLIED = "run-hotfix: the hotfix was not applied through the launcher on this machine: nothing to remove"
NOTHING_RESTORED = "run-hotfix: nothing was restored: "
STORE_REFUSED = f'run-hotfix: cannot use the store "{STORE}": '
USERS = "S-1-5-32-545"
UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\qx913hotfix2"
REG = "C:\\windows\\system32\\reg.exe"
RETRY = 1618
FAULTS_EXE = Path(os.environ.get("QX_FAULTS_EXE") or harness.REPO / "build" / "qxhotfix_faults.exe")
RUN_LOCK = "Global\\qxhotfix-9.1.3-apply"


def setUpModule():
    PREFIXES.update(harness.open_prefixes(["win64", "win32"]))


def tearDownModule():
    harness.close_prefixes(PREFIXES)


class UninstallTestCase(unittest.TestCase):
    """Runs in the prefix of its arch."""

    arch = None
    maxDiff = None

    def setUp(self):
        self.prefix = PREFIXES[self.arch]
        self.prefix.reset()
        self.store = self.prefix.unix_path(STORE)
        harness.remove_tree(self.store.parent)
        # An entry of an earlier case; reg.exe fails when there is none.
        self.prefix.run(REG, ["delete", UNINSTALL_KEY, "/f", "/reg:32"])

    def installation(self, product_type=1, **options):
        install = Installation(self.prefix, **options)
        # One shipped file that the installation never had.
        (install.unix(install.destination(5)) / "181235_bin.dll").unlink()
        install.before = install.tree()
        lay_out_launcher(install.exe.unix)
        self.prefix.registry().remove_product().apply()
        install.registry(product_type).apply()
        return install

    def apply(self, install, share="", env=None, exit_code=0):
        result = run_launcher(self.prefix, install.exe.windows, share, env=env)
        self.assertEqual(result.exit_code, exit_code, result.stderr)
        return result

    def uninstall(self, install, share="", env=None):
        arguments = ["/uninstall"] + ([share] if share else [])
        return self.prefix.run(install.exe.windows + "run-hotfix.exe", arguments, cwd=install.exe.windows, env=env,
                               timeout=90)

    def recorded(self):
        """The record's lines after its first, as (state, destination)."""
        lines = (self.store / "record.txt").read_bytes().decode("utf-8").split("\r\n")
        self.assertTrue(lines[0].startswith("qx913hotfix2 kept files, "), lines[0])
        self.assertEqual(lines[-1], "")
        return [(line.split("\t")[0], line.split("\t")[3]) for line in lines[1:-1]]

    def registered(self):
        """The hotfix's entry in Programs and Features, in the 32-bit view,
        as {name: data as reg.exe prints it}; None when there is none."""
        result = self.prefix.run(REG, ["query", UNINSTALL_KEY, "/reg:32"])
        if result.exit_code != 0:
            return None
        values = {}
        for line in result.stdout.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) == 3 and parts[1].startswith("REG_"):
                values[parts[0]] = parts[2]
        return values

    def assert_taken_back(self, install):
        result = self.uninstall(install)
        self.assertEqual((result.exit_code, result.stderr), (0, ""))
        self.assertEqual(install.tree(), install.before)
        self.assertFalse(self.store.exists(), "the store is removed")

    def assert_refused(self, install, result, line):
        self.assertEqual(result.exit_code, 1, result.stderr)
        self.assertEqual(result.stderr.splitlines(), [line])


class TakeBackTests:
    def test_apply_then_uninstall_leaves_every_install_folder_as_it_was(self):
        for product_type in (1, 2):
            with self.subTest(product_type=product_type):
                self.setUp()
                install = self.installation(product_type)
                self.apply(install)
                pairs = planned_pairs(self.arch, product_type)
                self.assertEqual(install.tree(), install.expected_tree(
                    [(pair, install.shipped_files(pair)) for pair in pairs]))
                # The launcher's plan is the exe's: every file it copied, in its order.
                expected = [install.destination(pair) + name for pair in pairs for name in install.shipped_files(pair)]
                recorded = self.recorded()
                self.assertEqual(sorted(destination for _, destination in recorded), sorted(expected))
                self.assertEqual([destination for state, destination in recorded if state == "new"],
                                 [install.destination(5) + "181235_bin.dll"])
                self.assert_taken_back(install)

    def test_apply_twice_then_uninstall_brings_back_the_first_originals(self):
        install = self.installation()
        self.apply(install)
        for path in (install.exe.unix / "modules").rglob("*"):
            if path.is_file():
                path.write_bytes(b"second " + path.read_bytes())
        write_checksums(install.exe.unix)
        self.apply(install)
        self.assert_taken_back(install)

    def test_uninstall_without_a_store_exits_0_and_says_so(self):
        install = self.installation()
        result = self.uninstall(install)
        self.assertEqual((result.exit_code, result.stderr.splitlines()), (0, [NOT_APPLIED]))
        self.assertEqual(install.tree(), install.before)

    def test_a_file_changed_after_the_hotfix_restores_nothing(self):
        install = self.installation()
        self.apply(install)
        # The last file in the record's order: nothing before it may come back.
        changed = self.recorded()[-1][1]
        self.prefix.unix_path(changed).write_bytes(b"a later update")
        after = install.tree()
        result = self.uninstall(install)
        self.assert_refused(install, result, f'{NOTHING_RESTORED}"{changed}" has changed since the hotfix')
        self.assertEqual(install.tree(), after)
        self.assertTrue((self.store / "record.txt").exists())

    def test_a_good_run_registers_and_the_entrys_own_uninstall_command_takes_it_back(self):
        install = self.installation()
        self.apply(install)
        uninstall = f'"{STORE}run-hotfix.exe" /uninstall'
        entry = self.registered()
        self.assertGreater(int(entry.pop("EstimatedSize"), 16), 0)
        self.assertEqual(entry, {
            "DisplayName": "Quorvex 9.1.3 Hotfix", "DisplayVersion": "9.1.3.6", "Publisher": "Quorvex Support",
            "InstallDate": time.strftime("%Y%m%d"), "InstallLocation": STORE, "UninstallString": uninstall,
            "QuietUninstallString": uninstall, "NoModify": "0x1", "NoRepair": "0x1"})
        # The next good run replaces the entry whole.
        self.prefix.run(REG, ["add", UNINSTALL_KEY, "/v", "Stray", "/d", "left", "/f", "/reg:32"])
        self.apply(install)
        self.assertNotIn("Stray", self.registered())
        # Run as Programs and Features runs it: from the store, which it removes.
        result = self.prefix.run(STORE + "run-hotfix.exe", ["/uninstall"], cwd=install.exe.windows, timeout=90)
        self.assertEqual((result.exit_code, result.stderr), (0, ""))
        self.assertEqual(install.tree(), install.before)
        self.assertFalse(self.store.exists(), "the store is removed")
        self.assertIsNone(self.registered(), "the entry is removed")

    def test_a_failed_run_registers_nothing_and_an_entry_without_a_store_is_removed(self):
        install = self.installation()
        self.prefix.registry().release(9, 1, 4).apply()
        self.apply(install, exit_code=1)
        self.assertIsNone(self.registered())
        self.prefix.run(REG, ["add", UNINSTALL_KEY, "/v", "DisplayVersion", "/d", "9.1.3.6", "/f", "/reg:32"])
        result = self.uninstall(install)
        self.assertEqual(result.exit_code, 0, result.stderr)
        self.assertIn("has no store: removing the entry", result.stderr)
        self.assertIsNone(self.registered())

    def test_a_changed_kept_file_restores_nothing(self):
        install = self.installation()
        self.apply(install)
        after = install.tree()
        (self.store / "1.kept").write_bytes(b"changed in the store")
        result = self.uninstall(install)
        first = self.recorded()[0][1]
        self.assert_refused(install, result, f'{NOTHING_RESTORED}the kept copy of "{first}" has changed')
        self.assertEqual(install.tree(), after)


class MachineOnlyTests:
    def test_both_views_naming_one_folder_bring_back_the_file_before_the_hotfix(self):
        install = self.installation(shared_bin=True)
        self.apply(install)
        self.assertEqual(len(self.recorded()), len({d for _, d in self.recorded()}))
        self.assert_taken_back(install)

    def test_a_module_loaded_by_a_running_program_asks_for_a_retry_and_changes_nothing(self):
        # The shipped module and the installed one are both loadable: the
        # installed one is the same DLL with bytes after its image.
        module = harness.HELD_MODULE.read_bytes()
        payload = {sub: {f"{sub}.dll": f"new {sub}.dll".encode()} for sub, _, _ in PAIRS.values()}
        payload["181235_bin"]["zz_held.dll"] = module
        install = self.installation(payload=payload)
        held = install.destination(5) + "zz_held.dll"
        self.prefix.unix_path(held).write_bytes(module + b"the installed release")
        install.before = install.tree()
        with self.prefix.load_module(held):
            self.apply(install, exit_code=RETRY)
        self.assertEqual(install.tree(), install.before)
        self.assertIsNone(self.registered(), "no entry for a run that failed")
        # Once the program is closed, the retry applies.
        self.apply(install)
        after = install.tree()
        with self.prefix.load_module(held):
            result = self.uninstall(install)
        self.assertEqual(result.exit_code, RETRY, result.stderr)
        self.assertIn("zz_held.dll", result.stderr)
        self.assertIn("error 32", result.stderr)
        self.assertEqual(install.tree(), after)
        self.assertIsNotNone(self.registered(), "the entry stays while the hotfix does")

    def test_a_lock_held_past_the_wait_asks_for_a_retry(self):
        install = self.installation(exe=FAULTS_EXE)
        with self.prefix.hold_mutex(RUN_LOCK):
            self.apply(install, env={"QX_LOCK_WAIT_MS": "300"}, exit_code=RETRY)
        self.assertEqual(install.tree(), install.before)
        self.assertIsNone(self.registered())

    def test_a_file_that_cannot_be_kept_stops_the_launcher_before_the_run(self):
        install = self.installation()
        held = install.destination(5) + "181235_bin.dll"
        self.prefix.unix_path(held).write_bytes(b"old, held")
        install.before = install.tree()
        temp_logs = set(self.prefix.temp_unix.glob("qx913hotfix2_*"))
        with self.prefix.hold_file(held):
            result = self.apply(install, exit_code=1)
        self.assertEqual(result.stderr.splitlines(), [f'run-hotfix: cannot keep "{held}", error 32'])
        self.assertEqual(install.tree(), install.before, "nothing ran")
        self.assertEqual(set(self.prefix.temp_unix.glob("qx913hotfix2_*")), temp_logs, "no run, no log")
        self.assertEqual(list(self.store.iterdir()), [], "nothing kept")

    def test_a_run_stopped_half_way_by_a_failure_only_the_copy_meets_is_taken_back(self):
        # Pair 4 ships a long copy, new to its folder; pair 5's second file
        # is held without sharing in the launcher's folder once keeping is
        # done, so the hotfix's copy of it fails after what came before.
        payload = {sub: {f"{sub}.dll": f"new {sub}.dll".encode()} for sub, _, _ in PAIRS.values()}
        payload["181235_bin"]["zz.dll"] = b"new zz.dll"
        install = self.installation(payload=payload)
        with open(install.exe.unix / "modules" / "181235_bin_x64" / "long.dat", "wb") as long_copy:
            long_copy.truncate(1 << 30)
        write_checksums(install.exe.unix)
        with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
            launched = pool.submit(run_launcher, self.prefix, install.exe.windows)
            staged = self.staged_when_kept(launched, "modules/181235_bin/zz.dll")
            with self.prefix.hold_file(self.prefix.windows_path(staged)):
                result = launched.result()
        # A file in use, if only the staged one: deployment tools retry.
        self.assertEqual(result.exit_code, RETRY, result.stderr)
        half_way = install.tree()
        self.assertNotEqual(half_way, install.before, "the run copied some files")
        self.assertEqual(half_way["bin32/181235_bin.dll"], b"new 181235_bin.dll")
        self.assertEqual(half_way["bin32/zz.dll"], b"old zz.dll")
        self.assert_taken_back(install)

    def staged_when_kept(self, launched, relative):
        """The launcher's staged copy of a shipped file, once the record is
        written: keeping is done, and the hotfix is about to run."""
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not launched.done():
            staged = list(self.prefix.temp_unix.glob(f"qx*/{relative}"))
            if staged and (self.store / "record.txt").exists():
                return staged[0]
            time.sleep(0.01)
        self.fail("the launcher never got to its run")

    def test_a_squatted_store_is_never_used(self):
        install = self.installation()
        self.store.mkdir(parents=True)
        (self.store / "record.txt").write_bytes(b"planted")
        for command in (self.apply, self.uninstall):
            with self.subTest(command.__name__):
                env = {"QX_STORE_ACCOUNT": USERS}
                result = (self.apply(install, env=env, exit_code=1) if command == self.apply
                          else self.uninstall(install, env=env))
                self.assert_refused(install, result, STORE_REFUSED + "it is owned by another account")
                self.assertEqual(install.tree(), install.before, "nothing ran")
                self.assertEqual((self.store / "record.txt").read_bytes(), b"planted")

    def test_a_store_that_is_a_link_is_never_used_nor_its_target_touched(self):
        install = self.installation()
        target_unix, _ = self.prefix.new_folder("elsewhere")
        (target_unix / "record.txt").write_bytes(b"not the store's")
        self.store.parent.mkdir(parents=True)
        self.store.symlink_to(target_unix, target_is_directory=True)
        result = self.apply(install, exit_code=1)
        self.assert_refused(install, result, STORE_REFUSED + "it is a link")
        result = self.uninstall(install)
        self.assert_refused(install, result, STORE_REFUSED + "it is a link")
        self.assertEqual(install.tree(), install.before, "nothing ran")
        self.assertEqual([path.name for path in target_unix.iterdir()], ["record.txt"])
        self.assertEqual((target_unix / "record.txt").read_bytes(), b"not the store's")

    def test_the_summary_gives_the_removal_a_row_of_its_own(self):
        install = self.installation()
        share_unix, share = self.prefix.new_folder("share")
        self.apply(install, share)
        recorded = self.recorded()
        result = self.uninstall(install, share)
        self.assertEqual((result.exit_code, result.stderr), (0, ""))
        logs = sorted(path.name for path in share_unix.iterdir())
        self.assertEqual(len(logs), 2, logs)
        self.assertRegex(logs[1], r"_qx913hotfix2_uninstall_\d{8}_\d{6}\.log$")
        removal = harness.parse_log((share_unix / logs[1]).read_bytes())
        restored = [entry.text for entry in removal.entries if entry.text.startswith("[info]: RestoreFile")]
        deleted = [entry.text for entry in removal.entries if entry.text.startswith("[info]: DeleteFile")]
        self.assertEqual(len(restored) + len(deleted), len(recorded))
        self.assertEqual(deleted, [f'[info]: DeleteFile, "{install.destination(5)}181235_bin.dll", result , 1, '])
        self.assertEqual(removal.entries[-1].text, "[info]: Hotfix is removed.")
        code, output, _ = harness.run_log_summary(self.prefix, share)
        rows = csv_records(output)
        self.assertEqual([(row["mode"], row["outcome"], row["files_copied"]) for row in rows],
                         [("silent", "applied", str(len(recorded))), ("uninstall", "removed", "0")])
        self.assertEqual(code, 1, "a removed hotfix is not an applied one")


harness.machine_test_classes(globals(), (TakeBackTests,), UninstallTestCase)
harness.machine_test_classes(globals(), (MachineOnlyTests,), UninstallTestCase, arches=("win64",))

load_tests = harness.load_machine_tests
