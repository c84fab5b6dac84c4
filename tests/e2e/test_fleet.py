"""End-to-end tests of a fleet roll-out: deploy/run-hotfix.cmd run by Wine's
cmd around real runs of the hotfix on several "machines", collecting their
logs into a share, and qxlogsummary.exe summarising the share, real logs
changed as killed and appended runs leave them, and hostile files.

Every machine is a fresh installation in the one 64-bit prefix; its name
is set in cmd's environment, since Wine sets COMPUTERNAME itself.
"""

import csv
import io
import os
import shutil
import unittest
from pathlib import Path
from types import SimpleNamespace

import harness
from installation import Installation, planned_pairs

PREFIXES = {}
SUMMARY_EXE = Path(os.environ.get("QX_LOGSUMMARY_EXE") or harness.REPO / "build" / "qxlogsummary.exe")
WRAPPER = harness.REPO / "deploy" / "run-hotfix.cmd"
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


def setUpModule():
    PREFIXES.update(harness.open_prefixes(["win64"]))


def tearDownModule():
    harness.close_prefixes(PREFIXES)


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
        # A file in use: the copy is refused, nothing was copied before it.
        install = cls.installation(payload={"181235_bin": {"held.dll": b"new"}, "181235_bin_x64": {}})
        with prefix.hold_file(install.destination(5) + "held.dll"):
            cls.deploy_to("PC02", install=install)
        cls.deploy_to("PC03", release=(9, 1, 2))
        # An exe folder too long for the log's path: the log goes to the
        # temporary folder, where an earlier run's log lies too.
        unix, windows = prefix.new_folder("runs")
        parts = ["d" * 53] * 4
        unix.joinpath(*parts).mkdir(parents=True)
        install = cls.installation(exe_at=(unix.joinpath(*parts), windows + "\\".join(parts) + "\\"))
        (prefix.temp_unix / DECOYS[1]).write_bytes(b"an earlier run")
        cls.deploy_to("PC04", install=install)
        cls.deploy_to("PC05", share=cls.share + "missing")
        cls.deploy_to("PC06", release=(9, 1, 2), share="")

    @classmethod
    def installation(cls, **options):
        install = Installation(cls.prefix, **options)
        shutil.copyfile(WRAPPER, install.exe.unix / "run-hotfix.cmd")
        return install

    @classmethod
    def deploy_to(cls, name, install=None, product_type=None, release=(9, 1, 3), share=None, decoys=False):
        """Runs the wrapper as the machine `name` would, with the share given
        (None: the fleet's share, "": none)."""
        install = install or cls.installation()
        cls.prefix.registry().remove_product().apply()
        install.registry(product_type).release(*release).apply()
        for decoy in DECOYS if decoys else ():
            (install.exe.unix / decoy).write_bytes(b"an earlier run")
        temp_before = set(cls.prefix.temp_unix.glob("qx913hotfix2_*"))
        share = cls.share.rstrip("\\") if share is None else share
        arguments = f' "{share}"' if share else ""
        line = f'cmd.exe /c set COMPUTERNAME={name}& "{install.exe.windows}run-hotfix.cmd"{arguments}'
        exit_code = cls.prefix.run(CMD, command_line=line, timeout=60).exit_code
        logs = [log for log in install.exe.logs() if log.name not in DECOYS]
        logs += set(cls.prefix.temp_unix.glob("qx913hotfix2_*")) - temp_before
        if len(logs) != 1:
            raise AssertionError(f"{name}: expected one log of the run, found {logs}")
        cls.machines[name] = SimpleNamespace(install=install, exit_code=exit_code, log=logs[0])

    def summarize(self, *folders):
        """Runs qxlogsummary.exe with its output redirected to a file, as an
        administrator would; returns (exit code, output bytes, stderr)."""
        out_unix, out_windows = self.prefix.new_folder("summary")
        command = harness.windows_command_line([self.prefix.windows_path(SUMMARY_EXE), *folders])
        result = self.prefix.run(CMD, command_line=f"cmd.exe /c {command} > {out_windows}summary.csv", timeout=120)
        return result.exit_code, (out_unix / "summary.csv").read_bytes(), result.stderr

    def files_copied(self, machine, product_type):
        install = self.machines[machine].install
        return str(sum(len(install.shipped_files(pair)) for pair in planned_pairs("win64", product_type)))

    def expected_row(self, machine, **changes):
        """The row of a whole silent run on machine, as logged in the share."""
        install, log = self.machines[machine].install, self.machines[machine].log
        row = {"machine": machine, "file": f"{self.share}{machine}_{log.name}",
               "started": harness.parse_log(log.read_bytes()).entries[0].time.isoformat(" ", "milliseconds"),
               "user": self.prefix.user_name, "exe_path": install.exe.exe_windows, "mode": "silent",
               "release": "9.1.3", "product_type": "0", "files_copied": "0", "outcome": "applied", "error": "",
               "meaning": ""}
        row.update(changes)
        return row

    def test_wrapper_returns_the_exit_code_and_collects_the_runs_log(self):
        # machine, exit code, collected
        cases = [("PC01", 0, True), ("PC02", 1, True), ("PC03", 1, True), ("PC04", 0, True),
                 ("PC05", 0, False), ("PC06", 1, False)]
        for name, exit_code, collected in cases:
            with self.subTest(name):
                machine = self.machines[name]
                self.assertEqual(machine.exit_code, exit_code)
                copy = self.share_unix / f"{name}_{machine.log.name}"
                self.assertEqual(copy.exists(), collected)
                if collected:
                    self.assertEqual(copy.read_bytes(), machine.log.read_bytes())
        self.assertEqual(self.machines["PC04"].log.parent, self.prefix.temp_unix)
        self.assertEqual(len(list(self.share_unix.iterdir())), 4)

    def test_summary_of_collected_real_and_cut_logs(self):
        pc01, pc03 = (self.machines[name].log.read_bytes() for name in ("PC01", "PC03"))
        variants_unix, variants = self.prefix.new_folder("variants")
        # Runs started in the same second append to one file.
        (variants_unix / "PC07_qx913hotfix2_appended.log").write_bytes(pc03 + pc01[len(harness.BOM):])
        # Killed: the log ends in the middle of a line, without a final entry.
        lines = pc01.split(b"\r\n")
        cut = len(lines) - 5  # among the copies
        (variants_unix / "PC08_qx913hotfix2_killed.log").write_bytes(b"\r\n".join(lines[:cut + 1])[:-20])

        exit_code, output, _ = self.summarize(self.share, variants)

        applied = self.expected_row("PC01", product_type="1", files_copied=self.files_copied("PC01", 1))
        not_applicable = self.expected_row("PC03", release="9.1.2", product_type="", outcome="not applicable",
                                           error=NOT_APPLICABLE)
        expected = [
            applied,
            self.expected_row("PC02", outcome="failed", error=HELD_COPY, meaning="(not empty)"),
            not_applicable,
            self.expected_row("PC04", files_copied=self.files_copied("PC04", None)),
            dict(not_applicable, machine="PC07", file=f"{variants}PC07_qx913hotfix2_appended.log"),
            dict(applied, machine="PC07", file=f"{variants}PC07_qx913hotfix2_appended.log"),
            dict(applied, machine="PC08", file=f"{variants}PC08_qx913hotfix2_killed.log", outcome="incomplete",
                 files_copied=str(sum(line.endswith(b"result , 1, ") for line in lines[:cut]))),
        ]
        rows = csv_records(output)
        # The system's text for the code; Wine's words differ from Windows'.
        self.assertNotEqual(rows[1]["meaning"], "")
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
        exe_path = self.machines["PC01"].install.exe.exe_windows
        self.assertEqual(by_machine["PC14"]["exe_path"], BAD_UTF8_CLEANED + exe_path)
        self.assertEqual(by_machine["PC21"]["error"], "CreateFile, GetLastError, 0x00000020")
        self.assertNotEqual(by_machine["PC21"]["meaning"], "")

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


load_tests = harness.load_machine_tests

if __name__ == "__main__":
    unittest.main()
