"""End-to-end tests of a fleet roll-out: run-hotfix.exe (the launcher) around
real runs of the hotfix on several "machines", collecting their logs into a
share, and qxlogsummary.exe summarising the share, real logs appended to one
another as runs of one second leave them, and hostile files. A really killed
run's log is summarized in test_reliability.

Most machines are fresh installations in the one 64-bit prefix. The
launcher is started as deployment tools start it: by its full path, in the
package's folder; through cmd only where a case sets TMP, which Wine takes
from the prefix, not from the Unix environment. Every machine of a prefix
has the prefix's computer name, so the share tells runs apart by their
log names. Two machines that share one package folder get a prefix each.
"""

import concurrent.futures
import contextlib
import csv
import hashlib
import io
import os
import re
import shutil
import unittest
from types import SimpleNamespace

import harness
from installation import Installation, default_payload, planned_pairs, snapshot

PREFIXES = {}
SHIM = harness.REPO / "deploy" / "run-hotfix.cmd"
STAND_IN = harness.TOOLS_DIR / "exit_code.exe"
CMD = "C:\\windows\\system32\\cmd.exe"
COLUMNS = ["machine", "file", "started", "user", "exe_path", "mode", "release", "product_type", "files_copied",
           "outcome", "error", "meaning"]
NOT_APPLICABLE = "This Version of Quorvex is not applicable."
HELD_COPY = "CopyFile, GetLastError, 0x00000020"
# Each ill-formed sequence (its longest valid start, or one byte) and each
# control character as U+FFFD; well-formed characters kept.
BAD_UTF8 = b"\xff|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|\xe5\x90|\x01\t|\xc3\xa9\xf0\x9d\x84\x9e|\xe5\x90"
BAD_UTF8_CLEANED = "|".join("\ufffd" * n for n in (1, 2, 3, 4, 1, 2)) + "|\u00e9\U0001d11e|\ufffd"
# Log names that lie about when they were written: neither is this run's.
DECOYS = ("qx913hotfix2_20200101_000000.log", "qx913hotfix2_20991231_235959.log")
STAGING_FAILED = "run-hotfix: cannot stage the package"
NOT_MATCHING = "run-hotfix: the package does not match SHA256SUMS: "
PRIVATE_FOLDER = re.compile(r"^qx[0-9a-f]{16}$")
# The log the launcher keeps: the exe's name with its private folder's.
KEPT_LOG = re.compile(r"^qx913hotfix2_\d{8}_\d{6}_(qx[0-9a-f]{16})\.log$")
# A temporary folder (with its backslash) this long leaves no room for the
# log's path in the launcher's private folder (at least "qx<16 digits>\\"
# more), but room in the temporary folder itself, and for one-letter
# shipped files.
LONG_TEMP_LENGTH = 225
COMPUTER = {}


def setUpModule():
    PREFIXES.update(harness.open_prefixes(["win64"]))
    result = PREFIXES["win64"].run(CMD, ["/c", "echo %COMPUTERNAME%"])
    COMPUTER["name"] = result.stdout.strip()


def tearDownModule():
    harness.close_prefixes(PREFIXES)


def private_folders(temp_unix):
    """The launcher's private folders left in a temporary folder."""
    return sorted(entry.name for entry in temp_unix.iterdir() if entry.is_dir() and PRIVATE_FOLDER.match(entry.name))


def write_checksums(package_unix):
    """Lists what the launcher stages in SHA256SUMS, as the packaging does."""
    files = [package_unix / "qxhotfix.exe"] + sorted(path for path in (package_unix / "modules").rglob("*")
                                                       if path.is_file())
    lines = [f"{hashlib.sha256(path.read_bytes()).hexdigest()}  {path.relative_to(package_unix).as_posix()}\n"
             for path in files]
    (package_unix / "SHA256SUMS").write_text("".join(lines), encoding="utf-8")


def lay_out_launcher(package_unix, checksums=True):
    """Puts the launcher and its shim beside a package's exe, with a
    SHA256SUMS of the package unless checksums is False."""
    shutil.copyfile(harness.LAUNCHER_EXE, package_unix / "run-hotfix.exe")
    shutil.copyfile(SHIM, package_unix / "run-hotfix.cmd")
    if checksums:
        write_checksums(package_unix)


def run_launcher(prefix, package_windows, share="", temp=None, env=None):
    """Runs run-hotfix.exe in the package's folder as a deployment tool does;
    temp is a Windows folder for TMP. Returns the RunResult."""
    launcher = package_windows + "run-hotfix.exe"
    arguments = [share] if share else []
    if temp is None:
        return prefix.run(launcher, arguments, cwd=package_windows, env=env, timeout=90)
    command = harness.windows_command_line([launcher, *arguments])
    return prefix.run(CMD, command_line=f"cmd.exe /c set TMP={temp}& {command}", cwd=package_windows, env=env,
                      timeout=90)


def collected_name(log):
    """The name of a kept log's copy in the share."""
    return f"{COMPUTER['name']}_{log.name}"


def exe_path_of(log):
    """The exe path that a log's first line names."""
    first = harness.parse_log(log.read_bytes()).entries[0].text
    return first[len("#InitialInfo,"):].rsplit(",", 1)[0]


def csv_records(data):
    """The rows of the summary's output as dicts; AssertionError unless it is
    UTF-8 with a byte-order mark, CR LF lines and the expected header."""
    if not data.startswith(harness.BOM):
        raise AssertionError(f"no byte-order mark: {data[:20]!r}")
    text = data[len(harness.BOM):].decode("utf-8")
    if set("\r\n") & set(text.replace("\r\n", "")) or not text.endswith("\r\n"):
        raise AssertionError("a line that does not end with CR LF")
    header, *rows = csv.reader(io.StringIO(text, newline=""))
    if header != COLUMNS or any(len(row) != len(COLUMNS) for row in rows):
        raise AssertionError(f"not the summary's columns: {header}")
    return [dict(zip(COLUMNS, row)) for row in rows]


class FleetTest(unittest.TestCase):
    arch = "win64"
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        prefix = cls.prefix = PREFIXES["win64"]
        prefix.reset()
        cls.share_unix, cls.share = prefix.new_folder("share")
        cls.machines = {}

        cls.deploy_to("PC01", product_type=1, decoys=True)
        # A file in use: the copy is refused, nothing was copied before it. A
        # loaded module, which the launcher can keep (a file that it cannot
        # read stops the launcher before the run: see test_uninstall).
        module = harness.HELD_MODULE.read_bytes()
        install = cls.installation(payload={"181235_bin": {"held.dll": module}, "181235_bin_x64": {}})
        (install.unix(install.destination(5)) / "held.dll").write_bytes(module)
        with prefix.load_module(install.destination(5) + "held.dll"):
            cls.deploy_to("PC02", install=install)
        cls.deploy_to("PC03", release=(9, 1, 2))
        # A temporary folder too long for the log's path in the private
        # folder: the exe logs into the temporary folder itself.
        unix, windows = prefix.new_folder("tmp")
        tail = "t" * (LONG_TEMP_LENGTH - len(windows) - 1)
        (unix / tail).mkdir()
        long_temp = (unix / tail, windows + tail + "\\")
        install = cls.installation(payload={"181235_bin": {"a": b"new a"}, "181235_bin_x64": {"b": b"new b"}})
        cls.deploy_to("PC04", install=install, temp=long_temp)
        cls.deploy_to("PC05", share=cls.share + "missing")
        cls.deploy_to("PC06", release=(9, 1, 2), share="")
        # For the summary: the collected logs under their machines' names.
        cls.collected_unix, cls.collected = prefix.new_folder("collected")
        for name in ("PC01", "PC02", "PC03"):
            shutil.copyfile(cls.machines[name].log, cls.collected_unix / f"{name}_{cls.machines[name].log.name}")

    @classmethod
    def installation(cls, checksums=True, **options):
        install = Installation(cls.prefix, **options)
        lay_out_launcher(install.exe.unix, checksums)
        return install

    @classmethod
    def deploy_to(cls, name, install=None, product_type=None, release=(9, 1, 3), share=None, decoys=False,
                  temp=None):
        """Runs the launcher as the machine `name` would, with the share given
        (None: the fleet's share, "": none) and the temporary folder given
        as (unix, windows) (None: the prefix's)."""
        install = install or cls.installation()
        cls.prefix.registry().remove_product().apply()
        install.registry(product_type).release(*release).apply()
        for decoy in DECOYS if decoys else ():
            (install.exe.unix / decoy).write_bytes(b"an earlier run")
        temp_unix = temp[0] if temp else cls.prefix.temp_unix
        temp_before = set(temp_unix.glob("qx913hotfix2_*"))
        package_before = snapshot(install.exe.unix)
        share = cls.share.rstrip("\\") if share is None else share
        result = run_launcher(cls.prefix, install.exe.windows, share, temp[1] if temp else None)
        logs = sorted(set(temp_unix.glob("qx913hotfix2_*")) - temp_before)
        if len(logs) != 1:
            raise AssertionError(f"{name}: expected one log of the run, found {logs}")
        cls.machines[name] = SimpleNamespace(install=install, exit_code=result.exit_code, stderr=result.stderr,
                                             log=logs[0], exe_path=exe_path_of(logs[0]),
                                             package_changed=snapshot(install.exe.unix) != package_before,
                                             private_folders=private_folders(temp_unix))

    def summarize(self, *folders):
        """Runs qxlogsummary.exe with its output redirected to a file, as an
        administrator would; returns (exit code, output bytes, stderr)."""
        return harness.run_log_summary(self.prefix, *folders)

    def files_copied(self, machine, product_type):
        install = self.machines[machine].install
        return str(sum(len(install.shipped_files(pair)) for pair in planned_pairs("win64", product_type)))

    def expected_row(self, machine, **changes):
        """The row of a whole silent run on machine, as logged in the share."""
        log = self.machines[machine].log
        row = {"machine": machine, "file": f"{self.collected}{machine}_{log.name}",
               "started": harness.parse_log(log.read_bytes()).entries[0].time.isoformat(" ", "milliseconds"),
               "user": self.prefix.user_name, "exe_path": self.machines[machine].exe_path, "mode": "silent",
               "release": "9.1.3", "product_type": "0", "files_copied": "0", "outcome": "applied", "error": "",
               "meaning": ""}
        row.update(changes)
        return row

    def test_launcher_runs_a_private_copy_returns_its_exit_code_and_keeps_its_own_log(self):
        # machine, exit code, collected
        # A file in use asks deployment tools for a retry (1618).
        cases = [("PC01", 0, True), ("PC02", 1618, True), ("PC03", 1, True), ("PC04", 0, False),
                 ("PC05", 0, False), ("PC06", 1, False)]
        private_exe = re.compile(r"^(.+\\)(qx[0-9a-f]{16})\\qxhotfix\.exe$")
        for name, exit_code, collected in cases:
            with self.subTest(name):
                machine = self.machines[name]
                self.assertEqual(machine.exit_code, exit_code)
                copy = self.share_unix / collected_name(machine.log)
                self.assertEqual(copy.exists(), collected)
                if collected:
                    self.assertEqual(copy.read_bytes(), machine.log.read_bytes())
                    self.assertEqual(machine.stderr, "")
                # Run from a private folder in the temporary folder, which is gone.
                ran_from = private_exe.match(machine.exe_path)
                self.assertIsNotNone(ran_from, machine.exe_path)
                self.assertEqual(self.prefix.unix_path(ran_from.group(1)), machine.log.parent)
                if name != "PC04":
                    # The kept log is named after the private folder it came from.
                    self.assertEqual(KEPT_LOG.match(machine.log.name).group(1), ran_from.group(2))
                self.assertEqual(machine.private_folders, [])
                self.assertFalse(machine.package_changed, "the package folder gained or lost something")
        self.assertEqual(self.machines["PC04"].log.parent.parent.parent, self.prefix.work_unix / "tmp")
        self.assertIn("the run left no log in", self.machines["PC04"].stderr)
        self.assertIn("could not copy the log", self.machines["PC05"].stderr)
        self.assertEqual(len(list(self.share_unix.iterdir())), 3)

    def test_any_package_and_share_path(self):
        # folder name suffixes of the package and of the share. The share's
        # path passes 260 characters in the last case; for the package's see
        # the unit tests of the path helper.
        cases = [(" a&b (c)^d!e",) * 2, (" \u00e9\u65e5\u672c \u0416",) * 2, (" 100% %OS%",) * 2,
                 (" 100% %OS%", " " + "l" * 240)]
        for package_suffix, share_suffix in cases:
            with self.subTest(package=package_suffix, share=share_suffix[:20]):
                install = self.installation(exe_suffix=package_suffix)
                share_unix, share = self.prefix.new_folder("share", share_suffix)
                self.prefix.registry().remove_product().apply()
                install.registry().apply()
                before = snapshot(install.exe.unix)
                result = run_launcher(self.prefix, install.exe.windows, share)
                self.assertEqual((result.exit_code, result.stderr), (0, ""))
                self.assertEqual(install.tree(), install.expected_tree(
                    [(pair, install.shipped_files(pair)) for pair in planned_pairs("win64", 1)]))
                [collected] = share_unix.iterdir()
                kept = self.prefix.temp_unix / collected.name[len(COMPUTER["name"]) + 1:]
                self.assertEqual(collected.read_bytes(), kept.read_bytes())
                self.assertEqual(snapshot(install.exe.unix), before)

    def test_read_only_package_folder_gains_nothing(self):
        install = self.installation()
        self.prefix.registry().remove_product().apply()
        install.registry().apply()
        share_unix, share = self.prefix.new_folder("share")
        # A read-only shipped file stays read-only in the private folder,
        # which must still go.
        (install.exe.unix / "modules" / "bin" / "bin.dll").chmod(0o444)
        before = snapshot(install.exe.unix)
        with harness.immutable(install.exe.unix):
            result = run_launcher(self.prefix, install.exe.windows, share)
        self.assertEqual((result.exit_code, result.stderr), (0, ""))
        self.assertEqual(snapshot(install.exe.unix), before)
        self.assertEqual(len(list(share_unix.iterdir())), 1)
        self.assertEqual(private_folders(self.prefix.temp_unix), [])

    def test_failed_staging_or_package_check_exits_1_with_one_line_runs_nothing_and_leaves_nothing(self):
        def without(name):
            def remove(install):
                target = install.exe.unix / name
                shutil.rmtree(target) if target.is_dir() else target.unlink()
            return remove

        def changed(install):
            (install.exe.unix / "modules" / "181235_bin" / "common.txt").write_bytes(b"tampered")

        def extra(install):
            (install.exe.unix / "modules" / "bin" / "planted.dll").write_bytes(b"planted")

        @contextlib.contextmanager
        def held_shipped_file(install):
            with self.prefix.hold_file(install.source(5) + "common.txt"):
                yield

        # case: (change to the package, context around the run, TMP, start of the line)
        cases = {
            "no modules folder": (without("modules"), contextlib.nullcontext, None,
                                  STAGING_FAILED + ": no modules folder in"),
            "no exe": (without("qxhotfix.exe"), contextlib.nullcontext, None, STAGING_FAILED + ": no qxhotfix.exe in"),
            "no temporary folder": (None, contextlib.nullcontext, self.prefix.work_windows + "nowhere",
                                    STAGING_FAILED + ": the temporary folder"),
            "a shipped file that cannot be read": (None, held_shipped_file, None, STAGING_FAILED + ": copying"),
            "a changed file": (changed, contextlib.nullcontext, None,
                               NOT_MATCHING + "modules\\181235_bin\\common.txt has changed"),
            "a missing file": (without("modules/bin/bin.dll"), contextlib.nullcontext, None,
                               NOT_MATCHING + "modules/bin/bin.dll is missing"),
            "an extra file": (extra, contextlib.nullcontext, None,
                              NOT_MATCHING + "modules\\bin\\planted.dll is not listed"),
            "an unreadable SHA256SUMS": (lambda install: (install.exe.unix / "SHA256SUMS").write_bytes(b"junk\n"),
                                         contextlib.nullcontext, None, "run-hotfix: cannot read the checksum list"),
        }
        for name, (change, around, temp, message) in cases.items():
            with self.subTest(name):
                install = self.installation()
                self.prefix.registry().remove_product().apply()
                install.registry().apply()
                if change:
                    change(install)
                share_unix, share = self.prefix.new_folder("share")
                temp_before = sorted(self.prefix.temp_unix.iterdir())
                with around(install):
                    result = run_launcher(self.prefix, install.exe.windows, share, temp)
                self.assertEqual(result.exit_code, 1, result.stderr)
                self.assertEqual(result.stderr.splitlines(), [result.stderr.strip()], "one line")
                self.assertTrue(result.stderr.startswith(message), result.stderr)
                self.assertEqual(install.tree(), install.before, "nothing ran")
                self.assertEqual(sorted(self.prefix.temp_unix.iterdir()), temp_before)
                self.assertFalse((self.prefix.work_unix / "nowhere").exists())
                self.assertEqual(list(share_unix.iterdir()), [])

    def test_a_package_without_sha256sums_says_so_and_runs(self):
        install = self.installation(checksums=False)
        self.prefix.registry().remove_product().apply()
        install.registry().apply()
        result = run_launcher(self.prefix, install.exe.windows)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(result.stderr.splitlines(),
                         [f'run-hotfix: no SHA256SUMS in "{install.exe.windows}": the package is not checked'])
        self.assertEqual(install.tree(), install.expected_tree(
            [(pair, install.shipped_files(pair)) for pair in planned_pairs("win64", 1)]))

    def test_a_listed_file_in_a_sub_folder_of_a_shipped_folder_is_not_staged_and_the_run_goes_on(self):
        install = self.installation(checksums=False)
        (install.exe.unix / "modules" / "bin" / "sub").mkdir()
        (install.exe.unix / "modules" / "bin" / "sub" / "inner.dll").write_bytes(b"never copied")
        write_checksums(install.exe.unix)  # lists modules/bin/sub/inner.dll too
        self.prefix.registry().remove_product().apply()
        install.registry().apply()
        result = run_launcher(self.prefix, install.exe.windows)
        self.assertEqual((result.exit_code, result.stderr), (0, ""))
        self.assertEqual(install.tree(), install.expected_tree(
            [(pair, install.shipped_files(pair)) for pair in planned_pairs("win64", 1)]))

    def stand_in_package(self):
        """A package whose qxhotfix.exe is the exit_code stand-in."""
        unix, windows = self.prefix.new_folder("runs")
        shutil.copyfile(STAND_IN, unix / "qxhotfix.exe")
        (unix / "modules" / "bin").mkdir(parents=True)
        lay_out_launcher(unix)
        return unix, windows

    def test_the_exit_code_passes_unchanged(self):
        _, package = self.stand_in_package()
        for code in (0, 1, 7, 0xC0000005):
            with self.subTest(code=hex(code)):
                result = run_launcher(self.prefix, package, env={"QX_EXIT_CODE": str(code)})
                self.assertEqual((result.exit_code, result.stderr), (code, ""))

    def test_the_shim_passes_the_arguments_and_the_exit_code(self):
        _, package = self.stand_in_package()
        share_unix, share = self.prefix.new_folder("share", " a b")
        # An inherited ERRORLEVEL variable must not stand in for the exit code.
        result = self.prefix.run(CMD, command_line=f'cmd.exe /c set ERRORLEVEL=5& run-hotfix.cmd "{share}"',
                                 cwd=package, env={"QX_EXIT_CODE": "7"}, timeout=90)
        self.assertEqual((result.exit_code, result.stderr), (7, ""))
        [collected] = share_unix.iterdir()
        self.assertEqual(collected.read_bytes(), b"exit_code stand-in\r\n")

    def test_summary_of_collected_and_appended_logs(self):
        pc01, pc03 = (self.machines[name].log.read_bytes() for name in ("PC01", "PC03"))
        variants_unix, variants = self.prefix.new_folder("variants")
        # Runs started in the same second append to one file.
        (variants_unix / "PC07_qx913hotfix2_appended.log").write_bytes(pc03 + pc01[len(harness.BOM):])
        # A killed run's log: see the killed-run test of test_reliability.

        exit_code, output, _ = self.summarize(self.collected, variants)

        applied = self.expected_row("PC01", product_type="1", files_copied=self.files_copied("PC01", 1))
        not_applicable = self.expected_row("PC03", release="9.1.2", product_type="", outcome="not applicable",
                                           error=NOT_APPLICABLE)
        expected = [
            applied,
            self.expected_row("PC02", outcome="failed", error=HELD_COPY, meaning="(not empty)"),
            not_applicable,
            dict(not_applicable, machine="PC07", file=f"{variants}PC07_qx913hotfix2_appended.log"),
            dict(applied, machine="PC07", file=f"{variants}PC07_qx913hotfix2_appended.log"),
        ]
        rows = csv_records(output)
        # The system's text for the code (Wine's words differ from Windows'),
        # then what to do about a file in use.
        self.assertRegex(rows[1]["meaning"], r"^.+ Close the product, then run the hotfix again\.$")
        rows[1]["meaning"] = "(not empty)"
        self.assertEqual(rows, expected)
        self.assertEqual(exit_code, 1)

    def test_hostile_files_give_their_best_row_and_the_others_still_come_out(self):
        good = self.machines["PC01"].log.read_bytes()
        body = good[len(harness.BOM):]
        head, success = body.rsplit(b"\r\n", 2)[0] + b"\r\n", body.rsplit(b"\r\n", 2)[1] + b"\r\n"
        copy = b'2026/12/08 04:51:22,463,[info]: CopyFile, "qxcore.dll", result , 1, \r\n'
        copies = (100 << 20) // len(copy)
        folder_unix, folder = self.prefix.new_folder("hostile")
        # name: (bytes, None for a folder; outcome of each row, none when no row)
        cases = {
            "PC10_qx913hotfix2_good.log": (good, ["applied"]),
            "PC11_qx913hotfix2_no_bom.log": (body, ["applied"]),
            "PC12_qx913hotfix2_cr_only.log": (body.replace(b"\r\n", b"\r"), ["applied"]),
            "PC13_qx913hotfix2_lf_only.log": (body.replace(b"\r\n", b"\n"), ["applied"]),
            "PC14_qx913hotfix2_bad_utf8.log": (body.replace(b"#InitialInfo,", b"#InitialInfo," + BAD_UTF8, 1),
                                               ["applied"]),
            "PC15_qx913hotfix2_cut.log": (good[:-5], ["incomplete"]),
            "PC16_qx913hotfix2_100MB.log": (head + copy * copies + success, ["applied"]),
            "PC17_qx913hotfix2_one_line.log": (copy[:32] + b"x" * (8 << 20), ["incomplete"]),
            "PC18_qx913hotfix2_binary.log": (os.urandom(1 << 20), ["unreadable"]),
            "PC19_qx913hotfix2_empty.log": (b"", ["unreadable"]),
            "PC20_qx913hotfix2_utf16.log": (good.decode("utf-8").encode("utf-16"), ["unreadable"]),
            "PC21_qx913hotfix2_in_use.log": (good, ["unreadable"]),
            "PC22_qx913hotfix2_folder.log": (None, []),
            "qx913hotfix2_20261208_045122.log.txt": (good, []),
        }
        for name, (data, _) in cases.items():
            if data is None:
                (folder_unix / name).mkdir()
            else:
                (folder_unix / name).write_bytes(data)

        with self.prefix.hold_file(folder + "PC21_qx913hotfix2_in_use.log"):
            exit_code, output, _ = self.summarize(folder)

        rows = csv_records(output)
        self.assertEqual(exit_code, 1)
        for name, (_, outcomes) in cases.items():
            with self.subTest(name):
                self.assertEqual([row["outcome"] for row in rows if row["file"] == folder + name], outcomes)
        by_machine = {row["machine"]: row for row in rows}
        self.assertEqual(by_machine["PC16"]["files_copied"], str(int(by_machine["PC10"]["files_copied"]) + copies))
        self.assertEqual(by_machine["PC14"]["exe_path"], BAD_UTF8_CLEANED + self.machines["PC01"].exe_path)
        self.assertEqual(by_machine["PC21"]["error"], "CreateFile, GetLastError, 0x00000020")
        self.assertNotEqual(by_machine["PC21"]["meaning"], "")

    def test_output_cut_by_a_full_disk_exits_2_with_a_message(self):
        logs_unix, logs = self.prefix.new_folder("many")
        for number in range(40):
            shutil.copyfile(self.machines["PC01"].log, logs_unix / f"PC{number:02d}_{self.machines['PC01'].log.name}")
        out_unix, out = self.prefix.new_folder("full")
        command = harness.windows_command_line([self.prefix.windows_path(harness.SUMMARY_EXE), logs])
        # One page: the 40 rows need about 12 KiB.
        with harness.small_file_system(out_unix, "4k"):
            result = self.prefix.run(CMD, command_line=f"cmd.exe /c {command} > {out}summary.csv", timeout=120)
            written = (out_unix / "summary.csv").stat().st_size
        self.assertEqual(result.exit_code, 2)
        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
        self.assertIn("qxlogsummary: the summary could not be written whole, error 112", result.stderr)
        self.assertLessEqual(written, 4096)

    def test_exit_codes_and_messages(self):
        only_applied_unix, only_applied = self.prefix.new_folder("applied")
        shutil.copyfile(self.machines["PC01"].log, only_applied_unix / self.machines["PC01"].log.name)
        empty = self.prefix.new_folder("empty")[1]
        missing = self.prefix.work_windows + "missing"
        # arguments, exit code, rows, text on standard error
        cases = [
            ([], 2, None, "usage: qxlogsummary FOLDER..."),
            (["/?"], 2, None, "usage: qxlogsummary FOLDER..."),
            ([only_applied], 0, 1, ""),
            ([empty], 2, 0, "no qx913hotfix2 log found"),
            ([missing], 2, 0, f"cannot read the folder {missing}"),
            ([self.machines["PC01"].install.exe.exe_windows], 2, 0, "cannot read the folder"),
            ([missing, only_applied], 2, 1, f"cannot read the folder {missing}"),
        ]
        for arguments, exit_code, rows, message in cases:
            with self.subTest(arguments):
                code, output, stderr = self.summarize(*arguments)
                self.assertEqual(code, exit_code)
                self.assertIn(message, stderr)
                if rows is None:
                    self.assertEqual(output, b"")
                else:
                    self.assertEqual(len(csv_records(output)), rows)


class SharedPackageTest(unittest.TestCase):
    """Two machines, a prefix each, map one file server's folder: the package
    as drive P: and the log share as \\\\fileserver\\qxlogs. They run the
    launcher from the package in the same second, with different product
    types, so that their logs differ."""

    arch = "win64"
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        first = PREFIXES["win64"]
        first.reset()
        second = cls.second = harness.WinePrefix("win64", first.path.parent / "second-machine")
        try:
            second.open()
        except BaseException:
            second.close()
            raise
        fileserver = first.path.parent / "fileserver"
        cls.package_unix, cls.share_unix = fileserver / "qxhotfix", fileserver / "qxlogs"
        cls.package_unix.mkdir(parents=True)
        cls.share_unix.mkdir()
        cls.machines = []
        # name, prefix, product type
        for name, prefix, product_type in (("PCA", first, 1), ("PCB", second, 2)):
            package = prefix.map_drive("p", fileserver) + "qxhotfix\\"
            share = prefix.map_share("fileserver", "qxlogs", cls.share_unix)
            # The first lays out the package; the second finds it there.
            payload = None if not cls.machines else {sub: None for sub in default_payload()}
            install = Installation(prefix, payload=payload, exe_at=(cls.package_unix, package))
            install.payload = default_payload()
            install.registry(product_type).apply()
            cls.machines.append(SimpleNamespace(name=name, prefix=prefix, product_type=product_type,
                                                install=install, package=package, share=share))
        lay_out_launcher(cls.package_unix)

    @classmethod
    def tearDownClass(cls):
        cls.second.close()

    def run_together(self, machines):
        """Runs the launcher on the machines in one wall-clock second (as near
        as it gets); returns their RunResults and the logs new in each
        machine's temporary folder."""
        temps = {machine.prefix.temp_unix for machine in machines}
        before = {temp: set(temp.glob("qx913hotfix2_*")) for temp in temps}
        harness.wait_for_second_start()
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(machines)) as pool:
            futures = [pool.submit(run_launcher, m.prefix, m.package, m.share) for m in machines]
            results = [future.result() for future in futures]
        return results, {temp: sorted(set(temp.glob("qx913hotfix2_*")) - before[temp]) for temp in temps}

    def test_two_runs_on_one_machine_in_the_same_second_keep_both_logs(self):
        machine = self.machines[0]
        for attempt in range(3):
            results, logs = self.run_together([machine, machine])
            logs = logs[machine.prefix.temp_unix]
            self.assertEqual([(result.exit_code, result.stderr) for result in results], [(0, "")] * 2)
            self.assertEqual(len(logs), 2, logs)
            for log in logs:
                lines = harness.parse_log(log.read_bytes()).lines
                self.assertEqual(sum(line.startswith("#InitialInfo,") for line in lines), 1, "one run")
                self.assertEqual((self.share_unix / collected_name(log)).read_bytes(), log.read_bytes())
            self.assertEqual(private_folders(machine.prefix.temp_unix), [])
            if logs[0].name[:len("qx913hotfix2_YYYYMMDD_hhmmss")] == logs[1].name[:len("qx913hotfix2_YYYYMMDD_hhmmss")]:
                return
        self.fail(f"the two runs never started in the same second: {[log.name for log in logs]}")

    def test_each_machine_runs_and_collects_its_own_copy_in_the_same_second(self):
        package_before = snapshot(self.package_unix)
        for attempt in range(3):
            for collected in self.share_unix.iterdir():
                collected.unlink()
            results, new_logs = self.run_together(self.machines)
            logs = [new_logs[machine.prefix.temp_unix][0] for machine in self.machines]
            for machine, result, log in zip(self.machines, results, logs):
                with self.subTest(machine=machine.name, attempt=attempt):
                    self.assertEqual((result.exit_code, result.stderr), (0, ""))
                    collected = self.share_unix / collected_name(log)
                    self.assertEqual(collected.read_bytes(), log.read_bytes())
                    lines = harness.parse_log(log.read_bytes()).lines
                    self.assertEqual(sum(line.startswith("#InitialInfo,") for line in lines), 1, "one run")
                    self.assertIn(f"[info]: ProductType, {machine.product_type}", lines)
                    self.assertEqual(lines[-1], "[info]: Hotfix is successful.")
                    install = machine.install
                    self.assertEqual(install.tree(), install.expected_tree(
                        [(pair, install.shipped_files(pair)) for pair in planned_pairs("win64", machine.product_type)]))
                    self.assertEqual(private_folders(machine.prefix.temp_unix), [])
            self.assertEqual(len(list(self.share_unix.iterdir())), 2)
            self.assertEqual(snapshot(self.package_unix), package_before, "the package folder changed")
            if logs[0].name[:len("qx913hotfix2_YYYYMMDD_hhmmss")] == logs[1].name[:len("qx913hotfix2_YYYYMMDD_hhmmss")]:
                return
        self.fail(f"the two machines never started in the same second: {[log.name for log in logs]}")


load_tests = harness.load_machine_tests

if __name__ == "__main__":
    unittest.main()
