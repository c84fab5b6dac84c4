"""End-to-end tests of a run's frame: the silent switch, the release and
product-type gates, the exit code, the log file and the viewer, run by the
real qxhotfix.exe in a 64-bit and a 32-bit Wine prefix."""

import datetime
import shutil
import unittest

import harness
from harness import PRODUCT_KEY, SYSTEM_INFO_KEY

PREFIXES = {}

NORMAL = "[info]: Normal Mode"
SILENT = "[info]: Silent Mode"
NOT_APPLICABLE = "[error]: This Version of Quorvex is not applicable."
SUCCESS = "[info]: Hotfix is successful."


def setUpModule():
    PREFIXES.update(harness.open_prefixes(["win64", "win32"]))


def tearDownModule():
    harness.close_prefixes(PREFIXES)


def release_line(major, minor, patch):
    return f"[info]: MajorVersion, {major}, MinorVersion, {minor}, PatchVersion, {patch}"


class GateTestCase(unittest.TestCase):
    """Runs in the prefix of its arch, reset, with a fresh exe folder."""

    arch = None

    def setUp(self):
        self.prefix = PREFIXES[self.arch]
        self.prefix.reset()
        self.folder = self.prefix.exe_folder()

    def run_hotfix(self, *args, folder=None, **options):
        return harness.run_hotfix(folder or self.folder, args, **options)

    def initial_info(self, folder=None):
        return f"#InitialInfo,{(folder or self.folder).exe_windows},{self.prefix.user_name}"

    def install_applicable(self, product_type=2, folder=None):
        """Release 9.1.3 with an install folder in each view and empty
        shipped folders beside the exe: a run that passes the gates, copies
        nothing and succeeds. Returns the lines that the copy plan logs."""
        folder = folder or self.folder
        install_unix, install_windows = self.prefix.new_folder("install")
        batch = self.prefix.registry().release(9, 1, 3)
        if product_type is not None:
            batch.product_type(product_type)
        plan = []
        # Pair 4 (64-bit view) comes before pair 5 (default view).
        for view, label, shipped in ((64, "x64", "181235_bin_x64"), (32, "x86", "181235_bin")):
            if view not in self.prefix.views:
                continue
            (install_unix / label).mkdir()
            (folder.unix / "modules" / shipped).mkdir(parents=True)
            installed = install_windows + label
            batch.install_bin_path(view, installed)
            plan += [f'[info]: Quorvex InstallBinPath({label}), "{installed}\\"',
                     f'[info]: Quorvex Module Install Path, "{installed}\\"',
                     f'[info]: Modules Path, "{folder.windows}modules\\{shipped}\\"']
        batch.apply()
        return plan

    def assertViewerCount(self, run, count):
        self.assertEqual(len(run.viewer_records), count, run.viewer_records)


class ReleaseGateTests:
    def test_release_9_1_3_is_applied(self):
        plan = self.install_applicable()
        run = self.run_hotfix()
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.lines, [self.initial_info(), NORMAL, release_line(9, 1, 3), "[info]: ProductType, 2",
                                     *plan, SUCCESS])
        self.assertViewerCount(run, 1)

    # (case, change to an applicable registry, release numbers logged)
    NOT_APPLICABLE_CASES = [
        ("9.1.4", lambda b: b.release(9, 1, 4), (9, 1, 4)),
        ("9.2.3", lambda b: b.release(9, 2, 3), (9, 2, 3)),
        ("8.1.3", lambda b: b.release(8, 1, 3), (8, 1, 3)),
        ("9.1.2", lambda b: b.release(9, 1, 2), (9, 1, 2)),
        ("major as REG_SZ", lambda b: b.sz(32, SYSTEM_INFO_KEY, "MajorVersion", "9"), (0, 1, 3)),
        ("major as REG_BINARY",
         lambda b: b.set(32, SYSTEM_INFO_KEY, "MajorVersion", harness.REG_BINARY, bytes([9, 0, 0, 0])), (0, 1, 3)),
        ("major as REG_QWORD", lambda b: b.qword(32, SYSTEM_INFO_KEY, "MajorVersion", 9), (0, 1, 3)),
        ("major as REG_DWORD_BIG_ENDIAN",
         lambda b: b.set(32, SYSTEM_INFO_KEY, "MajorVersion", harness.REG_DWORD_BIG_ENDIAN, bytes([9, 0, 0, 0])),
         (0, 1, 3)),
        ("major REG_DWORD of 8 bytes",
         lambda b: b.set(32, SYSTEM_INFO_KEY, "MajorVersion", harness.REG_DWORD, bytes([9, 0, 0, 0, 0, 0, 0, 0])),
         (0, 1, 3)),
        ("major REG_DWORD of 3 bytes",
         lambda b: b.set(32, SYSTEM_INFO_KEY, "MajorVersion", harness.REG_DWORD, bytes([9, 0, 0])), (0, 1, 3)),
        ("major 0xFFFFFFFF logged signed", lambda b: b.dword(32, SYSTEM_INFO_KEY, "MajorVersion", 0xFFFFFFFF),
         (-1, 1, 3)),
        ("patch missing", lambda b: b.unset(32, SYSTEM_INFO_KEY, "PatchVersion"), (9, 1, 0)),
        ("no release at all", lambda b: b.delete(32, SYSTEM_INFO_KEY), (0, 0, 0)),
        ("no product key at all", lambda b: b.remove_product(), (0, 0, 0)),
    ]

    def test_other_releases_stop_before_the_product_type(self):
        cases = list(self.NOT_APPLICABLE_CASES)
        if self.arch == "win64":
            # The release is read in the default (32-bit) view only.
            cases.append(("9.1.3 in the 64-bit view only",
                          lambda b: b.delete(32, PRODUCT_KEY).release(9, 1, 3, views=(64,)).product_type(2, (64,)),
                          (0, 0, 0)))
        for case, change, logged in cases:
            with self.subTest(case):
                self.prefix.reset()
                self.folder = self.prefix.exe_folder()
                self.install_applicable()
                change(self.prefix.registry()).apply()
                run = self.run_hotfix()
                self.assertEqual(run.exit_code, 1)
                self.assertEqual(run.lines, [self.initial_info(), NORMAL, release_line(*logged), NOT_APPLICABLE])
                self.assertViewerCount(run, 1)

    # (case, change to an applicable registry, product type logged)
    PRODUCT_TYPE_CASES = [
        ("missing", lambda b: b.unset(32, PRODUCT_KEY, "ProductType"), 0),
        ("0xFFFFFFFF logged signed", lambda b: b.dword(32, PRODUCT_KEY, "ProductType", 0xFFFFFFFF), -1),
        ("1 as REG_SZ", lambda b: b.sz(32, PRODUCT_KEY, "ProductType", "1"), 0),
        ("1 as REG_QWORD", lambda b: b.qword(32, PRODUCT_KEY, "ProductType", 1), 0),
        ("1 as REG_BINARY", lambda b: b.set(32, PRODUCT_KEY, "ProductType", harness.REG_BINARY, bytes([1, 0, 0, 0])),
         0),
    ]

    def test_product_type_is_logged_as_read(self):
        # Anything but a REG_DWORD 1 plans no licenser or activator pairs,
        # which this install could not satisfy.
        for case, change, logged in self.PRODUCT_TYPE_CASES:
            with self.subTest(case):
                self.prefix.reset()
                self.folder = self.prefix.exe_folder()
                plan = self.install_applicable()
                change(self.prefix.registry()).apply()
                run = self.run_hotfix("/s")
                self.assertEqual(run.lines, [self.initial_info(), SILENT, release_line(9, 1, 3),
                                             f"[info]: ProductType, {logged}", *plan, SUCCESS])
                self.assertEqual(run.exit_code, 0)

    def test_product_type_is_read_in_the_default_view_only(self):
        if self.arch != "win64":
            self.skipTest("a 32-bit machine has one registry view")
        # (32-bit view value or None, 64-bit view value or None, logged)
        for in32, in64, logged in [(2, 1, 2), (None, 1, 0), (0, 2, 0)]:
            with self.subTest(in32=in32, in64=in64):
                self.prefix.reset()
                self.folder = self.prefix.exe_folder()
                plan = self.install_applicable(product_type=None)
                batch = self.prefix.registry()
                if in32 is not None:
                    batch.product_type(in32, views=(32,))
                if in64 is not None:
                    batch.product_type(in64, views=(64,))
                batch.apply()
                run = self.run_hotfix("/s")
                self.assertEqual(run.lines[3], f"[info]: ProductType, {logged}")
                self.assertEqual(run.lines[4:], [*plan, SUCCESS])
                self.assertEqual(run.exit_code, 0)


class SilentSwitchTests:
    # (arguments after the program name, silent)
    SWITCH_CASES = [
        ([], False),
        (["/s"], True),
        (["/S"], True),
        (["other", "/S"], True),
        (["/s", "more"], True),
        (["a", "b", "c", "/s"], True),
        (["-s"], False),
        (["-S"], False),
        (["/silent"], False),
        (["/sx"], False),
        (["s"], False),
        (["//s"], False),
        ([" /s"], False),
        (["/s "], False),
        # Only A to Z fold: LATIN SMALL LETTER LONG S is "S" to Unicode.
        (["/\u017f"], False),
    ]

    # (whole command line, silent): the first word is argv[0], never a switch.
    COMMAND_LINE_CASES = [
        ("/s", False),
        ("/S", False),
        ("/s /S", True),
        ('qxhotfix.exe "/s"', True),
    ]

    def test_switch_decides_mode_and_viewer(self):
        cases = [(args, None, silent) for args, silent in self.SWITCH_CASES]
        cases += [((), line, silent) for line, silent in self.COMMAND_LINE_CASES]
        for args, command_line, silent in cases:
            with self.subTest(args=args, command_line=command_line):
                run = self.run_hotfix(*args, command_line=command_line)
                # No release installed: the run fails, and opens the viewer
                # all the same unless it is silent.
                self.assertEqual(run.exit_code, 1)
                self.assertEqual(run.lines, [self.initial_info(), SILENT if silent else NORMAL,
                                             release_line(0, 0, 0), NOT_APPLICABLE])
                self.assertViewerCount(run, 0 if silent else 1)
                run.log_path.unlink()

    def test_silent_run_succeeds_without_viewer(self):
        plan = self.install_applicable()
        run = self.run_hotfix("/S")
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.lines, [self.initial_info(), SILENT, release_line(9, 1, 3), "[info]: ProductType, 2",
                                     *plan, SUCCESS])
        self.assertViewerCount(run, 0)


class LogFileTests:
    def test_log_file_name_place_and_lines(self):
        # A folder name that needs UTF-8 beyond ASCII, a surrogate pair
        # included, and holds what a format string would take for directives.
        self.folder = self.prefix.exe_folder(" Ärger \u65e5\u672c \U0001f600 %s%n%d")
        run = self.run_hotfix("/s")
        self.assertEqual(run.exit_code, 1)

        self.assertEqual(len(run.log_paths), 1, run.log_paths)
        self.assertEqual(run.log_path.parent, self.folder.unix)
        name_time = harness.log_name_time(run.log_path.name)
        self.assertIsNotNone(name_time, run.log_path.name)
        started = datetime.datetime.fromtimestamp(int(run.started))
        ended = datetime.datetime.fromtimestamp(run.ended)
        self.assertTrue(started <= name_time <= ended, (started, name_time, ended))
        # The probe left nothing behind.
        self.assertEqual(self.folder.listing(), sorted(["qxhotfix.exe", run.log_path.name]))

        log = run.log
        self.assertTrue(log.has_bom)
        self.assertEqual(log.bom_count, 1)
        self.assertEqual(run.log_bytes.count(b"\r\n"), len(log.entries))
        self.assertEqual(run.lines, [self.initial_info(), SILENT, release_line(0, 0, 0), NOT_APPLICABLE])
        times = [entry.time for entry in log.entries]
        self.assertEqual(times, sorted(times))
        # The name holds the time the log started, to the second; the first
        # line was written at that moment or a little later.
        self.assertLessEqual(name_time, times[0])
        self.assertLess(times[0] - name_time, datetime.timedelta(seconds=2))
        self.assertLessEqual(times[-1], ended)

    def test_times_are_local(self):
        # Tokyo keeps no daylight saving time: always nine hours ahead of UTC.
        tokyo = datetime.timezone(datetime.timedelta(hours=9))
        before = datetime.datetime.now(tokyo).replace(tzinfo=None, microsecond=0)
        run = self.run_hotfix("/s", env={"TZ": "Asia/Tokyo"})
        after = datetime.datetime.now(tokyo).replace(tzinfo=None)
        name_time = harness.log_name_time(run.log_path.name)
        self.assertTrue(before <= name_time <= after, (before, name_time, after))
        for entry in run.entries:
            self.assertTrue(before <= entry.time <= after, (before, entry, after))

    def test_existing_templog_survives(self):
        kept = b"not a probe\r\n"
        (self.folder.unix / "templog.log").write_bytes(kept)
        run = self.run_hotfix("/s")
        self.assertEqual((self.folder.unix / "templog.log").read_bytes(), kept)
        self.assertEqual(run.log_path.parent, self.folder.unix)
        self.assertEqual(self.folder.listing(), sorted(["qxhotfix.exe", "templog.log", run.log_path.name]))

    def test_templog_in_use_does_not_move_the_log(self):
        (self.folder.unix / "templog.log").write_bytes(b"held\r\n")
        with self.prefix.hold_file(self.folder.windows + "templog.log"):
            run = self.run_hotfix("/s")
        self.assertEqual(run.log_path.parent, self.folder.unix)
        self.assertEqual(run.lines[-1], NOT_APPLICABLE)

    def test_unwritable_exe_folder_logs_to_temp(self):
        with harness.immutable(self.folder.unix):
            run = self.run_hotfix()
            self.assertEqual(self.folder.listing(), ["qxhotfix.exe"])
        self.assertEqual(len(run.log_paths), 1, run.log_paths)
        self.assertEqual(run.log_path.parent, self.prefix.temp_unix)
        self.assertIsNotNone(harness.log_name_time(run.log_path.name), run.log_path.name)
        self.assertEqual(run.lines, [self.initial_info(), NORMAL, release_line(0, 0, 0), NOT_APPLICABLE])
        self.assertViewerCount(run, 1)
        self.assertEqual(run.viewer_records[0].arguments, self.prefix.temp_windows + run.log_path.name)
        self.assertEqual(sorted(p.name for p in self.prefix.temp_unix.iterdir()
                                if p.name.lower().startswith("qx913hotfix2_")), [run.log_path.name])

    def test_exe_in_the_root_of_a_drive(self):
        unix, _ = self.prefix.new_folder("drives")
        self.folder = self.prefix.exe_folder_at(unix, self.prefix.map_drive("q", unix))
        run = self.run_hotfix()
        self.assertEqual(run.log_path.parent, unix)
        self.assertEqual(run.lines, ["#InitialInfo,Q:\\qxhotfix.exe," + self.prefix.user_name, NORMAL,
                                     release_line(0, 0, 0), NOT_APPLICABLE])
        self.assertEqual(run.viewer_records[0].arguments, "Q:\\" + run.log_path.name)

    def test_no_log_anywhere_leaves_the_outcome_alone(self):
        self.install_applicable()
        with harness.immutable(self.prefix.temp_unix), harness.immutable(self.folder.unix):
            run = self.run_hotfix()
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.log_paths, [])
        self.assertViewerCount(run, 1)
        self.assertTrue(run.viewer_records[0].arguments.startswith(self.prefix.temp_windows + "qx913hotfix2_"))
        self.assertIsNone(run.viewer_records[0].file_bytes)

    def test_log_file_in_use_loses_the_lines_not_the_outcome(self):
        for _ in range(3):
            folder = self.prefix.exe_folder()
            self.install_applicable(folder=folder)
            harness.wait_for_second_start()
            name = harness.log_name_for(datetime.datetime.now())
            (folder.unix / name).write_bytes(b"")
            with self.prefix.hold_file(folder.windows + name):
                run = self.run_hotfix("/s", folder=folder)
            if [path.name for path in folder.logs()] == [name]:
                break
        else:
            self.skipTest("the run never started in the second of the held file")
        self.assertEqual(run.exit_code, 0)
        self.assertEqual((folder.unix / name).read_bytes(), b"")

    def test_runs_in_the_same_second_share_one_file(self):
        for _ in range(3):
            folder = self.prefix.exe_folder()
            harness.wait_for_second_start()
            first = self.run_hotfix("/s", folder=folder)
            first_bytes = first.log_bytes
            second = self.run_hotfix("/s", folder=folder)
            if len(second.log_paths) == 1:
                break
        else:
            self.skipTest("two runs never fell into one second")
        one_run = [self.initial_info(folder), SILENT, release_line(0, 0, 0), NOT_APPLICABLE]
        self.assertEqual(second.log_bytes[:len(first_bytes)], first_bytes)
        self.assertEqual(second.log.bom_count, 1)
        self.assertEqual(second.lines, one_run + one_run)

    def test_existing_log_file_is_appended(self):
        # (what the file held before the run, whether the run adds a mark)
        for before, adds_bom in [(b"", True), (b"earlier run\r\n", False), (harness.BOM + b"earlier\r\n", False),
                                 (b"\xff\xfeU\x00", False)]:
            with self.subTest(before=before):
                folder = self.prefix.exe_folder()
                # Every name the run could choose in the next seconds.
                now = datetime.datetime.now().replace(microsecond=0)
                names = [harness.log_name_for(now + datetime.timedelta(seconds=s)) for s in range(-1, 30)]
                for name in names:
                    (folder.unix / name).write_bytes(before)
                run = self.run_hotfix("/s", folder=folder)
                changed = [p for p in folder.logs() if p.read_bytes() != before]
                self.assertEqual(len(changed), 1, changed)
                self.assertEqual(sorted(p.name for p in folder.logs()), sorted(names))
                data = changed[0].read_bytes()
                self.assertEqual(data[:len(before)], before)
                added = data[len(before):]
                self.assertEqual(added.startswith(harness.BOM), adds_bom)
                self.assertEqual(harness.parse_log(added).lines,
                                 [self.initial_info(folder), SILENT, release_line(0, 0, 0), NOT_APPLICABLE])
                self.assertEqual(run.exit_code, 1)


class ViewerTests:
    def test_viewer_gets_the_unquoted_log_path_and_the_whole_run(self):
        self.folder = self.prefix.exe_folder(" with  spaces")
        plan = self.install_applicable()
        run = self.run_hotfix()
        self.assertEqual(run.exit_code, 0)
        self.assertViewerCount(run, 1)
        record = run.viewer_records[0]
        self.assertEqual(record.arguments, run.log_windows_path)
        # The buffered lines reach the file before the viewer starts, and
        # nothing is written after.
        self.assertLessEqual(run.log_path.stat().st_mtime_ns, record.created_ns)
        self.assertEqual(record.file_bytes, run.log_bytes)
        self.assertEqual(harness.parse_log(record.file_bytes).lines[-len(plan) - 1:], [*plan, SUCCESS])

    def test_viewer_that_cannot_start_leaves_the_outcome_alone(self):
        plan = self.install_applicable()
        self.prefix.remove_viewer()
        self.addCleanup(self.prefix.install_viewer)
        run = self.run_hotfix()
        self.assertEqual(run.exit_code, 0)
        self.assertViewerCount(run, 0)
        self.assertEqual(run.lines[-len(plan) - 1:], [*plan, SUCCESS])

    def test_viewer_is_the_system_notepad(self):
        # A notepad.exe planted beside the exe or in the current folder must
        # not be the one started.
        cwd_unix, cwd_windows = self.prefix.new_folder("cwd")
        stub = harness.TOOLS_DIR / "viewer_stub.exe"
        for planted in (self.folder.unix / "notepad.exe", cwd_unix / "notepad.exe"):
            shutil.copyfile(stub, planted)
        run = self.run_hotfix(cwd=cwd_windows)
        self.assertEqual(run.log_path.parent, self.folder.unix)
        self.assertEqual([entry.name for entry in cwd_unix.iterdir()], ["notepad.exe"])
        self.assertViewerCount(run, 1)
        program = run.viewer_records[0].program.lower()
        if harness.BUILD_BITS == 64 or self.arch == "win32":
            self.assertEqual(program, "c:\\windows\\system32\\notepad.exe")
        else:
            # The 32-bit exe on a 64-bit machine asks for System32 and may be
            # sent to SysWOW64; which path the started stub reports is the
            # platform's matter.
            self.assertIn(program, ["c:\\windows\\system32\\notepad.exe", "c:\\windows\\syswow64\\notepad.exe"])


harness.machine_test_classes(globals(), (ReleaseGateTests, SilentSwitchTests, LogFileTests, ViewerTests),
                             GateTestCase)
load_tests = harness.load_machine_tests

if __name__ == "__main__":
    unittest.main()
