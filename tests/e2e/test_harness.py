"""Checks of the end-to-end harness and its Windows tools: a fixture that is
not written as asked, or a log check that lets a bad line through, would
make the product's tests pass for the wrong reason."""

import os
import tempfile
import unittest
from pathlib import Path
from unittest import mock

import harness
from harness import HarnessError, LogFormatError

PREFIXES = {}
KEY = "Software\\VELTRANE\\HarnessCheck"


def setUpModule():
    PREFIXES.update(harness.open_prefixes(["win64", "win32"]))


def tearDownModule():
    harness.close_prefixes(PREFIXES)


class ParseLogTests(unittest.TestCase):
    GOOD = "2026/12/08 04:39:02,634,"

    def test_accepts_prefixed_crlf_lines_behind_one_bom(self):
        data = harness.BOM + f"{self.GOOD}[info]: a, b\r\n{self.GOOD}\u65e5\U0001f600\r\n".encode()
        log = harness.parse_log(data)
        self.assertEqual(log.lines, ["[info]: a, b", "\u65e5\U0001f600"])
        self.assertTrue(log.has_bom)
        self.assertEqual(log.bom_count, 1)
        self.assertEqual(log.entries[0].time.microsecond, 634000)

    def test_rejects_malformed_logs(self):
        for case, data in [
            ("no final CR LF", f"{self.GOOD}text".encode()),
            ("LF only", f"{self.GOOD}one\n{self.GOOD}two\r\n".encode()),
            ("CR inside", f"{self.GOOD}one\rtwo\r\n".encode()),
            ("no prefix", b"[info]: text\r\n"),
            ("no comma after milliseconds", b"2026/12/08 04:39:02,634 text\r\n"),
            ("two-digit milliseconds", b"2026/12/08 04:39:02,63,text\r\n"),
            ("month 13", b"2026/13/08 04:39:02,634,text\r\n"),
            ("not UTF-8", self.GOOD.encode() + b"\xff\r\n"),
            ("cut UTF-8 sequence", self.GOOD.encode() + harness.BOM[:2] + b"\r\n"),
        ]:
            with self.subTest(case), self.assertRaises(LogFormatError):
                harness.parse_log(data)

    def test_log_name_time(self):
        self.assertEqual(str(harness.log_name_time("qx913hotfix2_20261208_043902.log")), "2026-12-08 04:39:02")
        for bad in ["qx913hotfix2_20261208_0439.log", "QX913HOTFIX2_20261208_043902.log",
                    "qx913hotfix2_20261308_043902.log", "qx913hotfix2_20261208_043902.log.txt"]:
            self.assertIsNone(harness.log_name_time(bad), bad)


class WorkFolderTests(unittest.TestCase):
    """Modules started side by side must not trip over each other's work."""

    def setUp(self):
        self.root = Path(tempfile.mkdtemp())
        self.addCleanup(harness.remove_tree, self.root)

    def test_each_module_has_a_folder_of_its_own(self):
        self.assertNotEqual(harness.module_work_root("test_gates"), harness.module_work_root("test_apply"))

    def test_clearing_tolerates_files_that_go_meanwhile(self):
        stale = self.root / "999999999-x"
        (stale / "prefix-win64").mkdir(parents=True)
        (stale / "prefix-win64" / "file").write_bytes(b"x")
        unlink = os.unlink

        def removed_by_another_cleaner_first(path, *args, **kwargs):
            unlink(path, *args, **kwargs)
            raise FileNotFoundError(path)

        with mock.patch("os.unlink", side_effect=removed_by_another_cleaner_first):
            harness._clear_stale_work(self.root)
        harness._clear_stale_work(self.root / "never-there")
        self.assertFalse(stale.exists())

    def test_clearing_removes_only_folders_of_dead_processes(self):
        mine = self.root / f"{os.getpid()}-x"
        dead = self.root / "999999999-x"
        for folder in (mine, dead):
            folder.mkdir()
        harness._clear_stale_work(self.root)
        self.assertEqual([entry.name for entry in self.root.iterdir()], [mine.name])


class ToolStartTests(unittest.TestCase):
    """A start that Wine fails is tried again; a tool's own failure is not."""

    def run_tool(self, script):
        starts = Path(tempfile.mkdtemp()) / "starts"
        self.addCleanup(harness.remove_tree, starts.parent)
        command = ["sh", "-c", f"echo start >> '{starts}'; {script.format(starts=starts)}"]
        with mock.patch("sys.stderr"):
            returncode, _, stderr = harness._run_tool("regfixture", command, dict(os.environ), 10)
        return returncode, stderr, len(starts.read_text().split())

    def test_only_wines_start_failure_is_tried_once_more(self):
        # The first start fails as each case says; a second start succeeds.
        first_fails = "[ $(wc -l < '{starts}') -ge 2 ] || {{ %s; }}"
        for case, failure, expected in [
            ("Wine's start failure", "echo '0024:err:virtual:map_shared_user_data "
                                     "failed to map the shared user data: c0000018' >&2; exit 1", (0, 2)),
            ("a silent exit code 1", "exit 1", (1, 1)),
            ("the tool's own error", "echo 'regfixture: line 1: bad' >&2; exit 1", (1, 1)),
            ("Wine's message with another exit code", "echo 'failed to map the shared user data' >&2; exit 3",
             (3, 1)),
        ]:
            with self.subTest(case):
                returncode, _, starts = self.run_tool(first_fails % failure)
                self.assertEqual((returncode, starts), expected)


class PrefixTestCase(unittest.TestCase):
    arch = "win64"

    def setUp(self):
        self.prefix = PREFIXES[self.arch]
        self.prefix.reset()


class RegistryFixtureTests(PrefixTestCase):
    # (value name, type, raw bytes): what the reader tests need, stored as is.
    VALUES = [
        ("odd count", harness.REG_SZ, b"A\x00B"),
        ("no terminator", harness.REG_SZ, "abc".encode("utf-16-le")),
        ("embedded null", harness.REG_SZ, "a\0b\0".encode("utf-16-le")),
        ("empty", harness.REG_SZ, b""),
        ("only a terminator", harness.REG_SZ, b"\x00\x00"),
        ("expand", harness.REG_EXPAND_SZ, harness.utf16("%TEMP%\\x")),
        ("qword", harness.REG_QWORD, (9).to_bytes(8, "little")),
        ("big endian", harness.REG_DWORD_BIG_ENDIAN, b"\x00\x00\x00\x09"),
        ("multi", harness.REG_MULTI_SZ, "a\0b\0\0".encode("utf-16-le")),
        ("odd type", 0x12345678, b"\x01"),
        ("big", harness.REG_BINARY, bytes(range(256)) * 4096),
        ("with % and @ and #", harness.REG_DWORD, b"\x01\x00\x00\x00"),
        ("\u65e5\u672c \U0001f600", harness.REG_SZ, harness.utf16("\u00c4")),
        ("", harness.REG_SZ, harness.utf16("default value")),
    ]

    def test_values_are_stored_byte_for_byte_in_the_view_asked(self):
        batch = self.prefix.registry()
        for name, value_type, data in self.VALUES:
            batch.set(32, KEY + "\\with space", name, value_type, data)
        batch.apply()
        check = self.prefix.registry()
        for name, value_type, data in self.VALUES:
            check.expect(32, KEY + "\\with space", name, value_type, data)
            check.expect(64, harness.physical_key("win64", 32, KEY + "\\with space"), name, value_type, data)
        check.absent(64, KEY).apply()

    def test_each_view_is_written_and_deleted_alone(self):
        self.prefix.registry().dword(32, KEY, "View", 32).dword(64, KEY, "View", 64).apply()
        self.prefix.registry().expect(32, KEY, "View", harness.REG_DWORD, (32).to_bytes(4, "little")) \
            .expect(64, KEY, "View", harness.REG_DWORD, (64).to_bytes(4, "little")).apply()
        self.prefix.registry().delete(64, KEY).apply()
        self.prefix.registry().absent(64, KEY).expect(32, KEY, "View", harness.REG_DWORD,
                                                       (32).to_bytes(4, "little")).apply()
        self.prefix.registry().unset(32, KEY, "View").apply()
        self.prefix.registry().absent(32, KEY, "View").apply()

    def test_failures_name_the_batch_line(self):
        for batch, message in [
            (self.prefix.registry().expect(32, KEY, "Missing", harness.REG_DWORD, b"\0\0\0\0"), "line 1"),
            (self.prefix.registry().dword(32, KEY, "X", 1).expect(32, KEY, "X", harness.REG_DWORD, b"\2\0\0\0"),
             "line 2: value is type 4 with 01000000"),
            (self.prefix.registry().dword(32, KEY, "X", 1).absent(32, KEY), "line 2: key exists"),
        ]:
            with self.subTest(message), self.assertRaisesRegex(HarnessError, message):
                batch.apply()


class Win32RegistryFixtureTests(PrefixTestCase):
    arch = "win32"

    def test_a_32_bit_machine_has_one_view(self):
        self.prefix.registry().dword(64, KEY, "One", 1).apply()
        self.prefix.registry().expect(32, KEY, "One", harness.REG_DWORD, (1).to_bytes(4, "little")).apply()
        self.prefix.registry().delete(32, KEY).apply()
        self.prefix.registry().absent(64, KEY).apply()


class ProgramTests(PrefixTestCase):
    def test_paths_map_both_ways(self):
        unix = self.prefix.unix_path("C:\\qxe2e\\a b\\c.txt")
        self.assertEqual(unix, self.prefix.drive_c / "qxe2e" / "a b" / "c.txt")
        self.assertEqual(self.prefix.windows_path(unix), "C:\\qxe2e\\a b\\c.txt")
        tool = (harness.TOOLS_DIR / "runjob.exe").resolve()
        self.assertEqual(self.prefix.windows_path(tool), "Z:" + str(tool).replace("/", "\\"))

    def test_run_returns_the_exit_code(self):
        result = self.prefix.run("C:\\windows\\system32\\cmd.exe", ["/c", "exit 7"])
        self.assertEqual(result.exit_code, 7)

    def test_run_passes_the_command_line_exactly(self):
        records_unix, records_windows = self.prefix.new_folder("viewer")
        command_line = 'notepad  "C:\\a b"  c\\"d'
        self.prefix.run("C:\\windows\\system32\\notepad.exe", command_line=command_line,
                        env={"QX_VIEWER_RECORD": records_windows})
        [record] = harness.read_viewer_records(records_unix)
        self.assertEqual(record.command_line, command_line)
        self.assertEqual(record.arguments, '"C:\\a b"  c\\"d')
        self.assertIsNone(record.file_bytes)

    def test_run_waits_for_what_the_program_started(self):
        records_unix, records_windows = self.prefix.new_folder("viewer")
        # cmd starts the stub without waiting for it and ends at once.
        self.prefix.run("C:\\windows\\system32\\cmd.exe", ["/c", "start", "notepad.exe", "C:\\windows\\win.ini"],
                        env={"QX_VIEWER_RECORD": records_windows})
        [record] = harness.read_viewer_records(records_unix)
        self.assertEqual(record.file_bytes, (self.prefix.drive_c / "windows" / "win.ini").read_bytes())

    def test_run_ends_a_program_that_overstays(self):
        unix, windows = self.prefix.new_folder("held")
        (unix / "f").write_bytes(b"")
        with self.assertRaisesRegex(HarnessError, "timed out"):
            self.prefix.run(harness.TOOLS_DIR / "holdfile.exe", [windows + "f", "20000"], timeout=1)

    def test_hold_file_denies_other_opens(self):
        unix, windows = self.prefix.new_folder("held")
        (unix / "f").write_bytes(b"x")
        with self.prefix.hold_file(windows + "f"):
            with self.assertRaisesRegex(HarnessError, "error 32"):
                with self.prefix.hold_file(windows + "f", 0):
                    pass
        with self.prefix.hold_file(windows + "f", 0):
            pass


load_tests = harness.load_machine_tests

if __name__ == "__main__":
    unittest.main()
