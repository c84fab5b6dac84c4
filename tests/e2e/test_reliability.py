"""End-to-end tests of runs that meet faults: memory running out at any
allocation, a log file held by another process, two runs at once, runs
killed or interrupted part-way, hostile registry data, and paths longer
than MAX_PATH. Whatever happens, a run must
end by itself, report a failure as 1 and never as 0, leave every installed
file either old or new, and keep its log well formed.
"""

import contextlib
import csv
import datetime
import io
import os
import random
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path

import harness
from installation import PAIRS, SUCCESS, Installation, planned_pairs

PREFIXES = {}
FAULTS_EXE = Path(os.environ.get("QX_FAULTS_EXE") or harness.REPO / "build" / "qxhotfix_faults.exe")
UNEXPECTED_ERROR = "[error]: The run stopped on an unexpected error."
LOCK_NAME = "Global\\qxhotfix-9.1.3-apply"
SILENT = "[info]: Silent Mode"
INTERRUPTED = "[error]: The run was interrupted."
GAVE_UP = "[error]: Another hotfix run did not finish in time."


def long_name_payload(count, length=195):
    """count files spread over the five shipped folders, with names of
    length characters: their copy entries overflow the log's buffer."""
    payload = {}
    for sub, _, _ in PAIRS.values():
        payload[sub] = {f"{sub}_{index:04d}_".ljust(length - 4, "n") + ".dll": b"new"
                        for index in range(count // len(PAIRS))}
    return payload


def setUpModule():
    PREFIXES.update(harness.open_prefixes(["win64"]))


def tearDownModule():
    harness.close_prefixes(PREFIXES)


class ReliabilityTestCase(unittest.TestCase):
    maxDiff = None

    def world(self, **options):
        self.prefix = PREFIXES["win64"]
        self.prefix.reset()
        return Installation(self.prefix, **options)

    def applied_tree(self, install, product_type=1):
        pairs = planned_pairs(install.prefix.arch, product_type)
        return install.expected_tree((pair, install.shipped_files(pair)) for pair in pairs)

    def assert_each_file_old_or_new(self, install, tree):
        applied = self.applied_tree(install)
        self.assertEqual(tree.keys(), applied.keys())
        for path, data in tree.items():
            self.assertIn(data, (install.before[path], applied[path]), path)

    def assert_logs_well_formed(self, run):
        """Every log line whole and UTF-8, one byte-order mark per file."""
        for path in run.log_paths:
            data = path.read_bytes()
            if data:
                self.assertEqual(data.count(harness.BOM), 1, path)
            lines = harness.parse_log(data).lines
            for line in lines:
                self.assertRegex(line, r"^(#InitialInfo,|\[info\]: |\[error\]: )")


class AllocationFailureTest(ReliabilityTestCase):
    """The k-th allocation of a complete run fails, for every k up to the
    number of allocations a clean run makes."""

    def restore(self, install):
        for relative, data in install.before.items():
            path = install.root_unix / relative
            if data is not None:
                path.write_bytes(data)
        for log in install.exe.logs():
            log.unlink()

    def test_every_allocation_failing_in_turn(self):
        install = self.world(exe=FAULTS_EXE)
        install.registry().apply()
        marker_unix, marker_windows = self.prefix.new_folder("markers")
        marker = marker_unix / "injected"
        failures = 0
        for k in range(1, 2000):
            self.restore(install)
            if marker.exists():
                marker.unlink()
            env = {"QX_FAIL_ALLOCATION": str(k), "QX_FAULT_MARKER": marker_windows + "injected"}
            run = harness.run_hotfix(install.exe, ["/s"], env=env)
            tree = install.tree()
            with self.subTest(k=k):
                self.assertIn(run.exit_code, (0, 1))
                self.assert_each_file_old_or_new(install, tree)
                if run.exit_code == 0:
                    self.assertEqual(tree, self.applied_tree(install))
                    self.assertEqual(run.lines[-1], SUCCESS)
                self.assert_logs_well_formed(run)
            if not marker.exists():
                # The run made fewer than k allocations: it was a clean run.
                self.assertEqual(run.exit_code, 0)
                break
            failures += 1
        else:
            self.fail("the run never finished without an injected failure")
        self.assertGreater(failures, 50, "too few allocations seen: is the seam linked?")

    def test_failure_inside_the_run_is_reported_as_such(self):
        """A failure after the log is started ends with the error entry and 1."""
        install = self.world(exe=FAULTS_EXE)
        install.registry().apply()
        clean = harness.run_hotfix(install.exe, ["/s"])
        self.assertEqual(clean.exit_code, 0)
        for log in install.exe.logs():
            log.unlink()
        # Late enough to be past the first entries, early enough to be before
        # the last copy: a path of the copy plan.
        run = harness.run_hotfix(install.exe, ["/s"], env={"QX_FAIL_ALLOCATION": "60"})
        self.assertEqual(run.exit_code, 1)
        self.assertEqual(run.lines[-1], UNEXPECTED_ERROR)


def log_names_around(moment, seconds):
    return [harness.log_name_for(moment + datetime.timedelta(seconds=offset)) for offset in range(seconds)]


class LockedLogTest(ReliabilityTestCase):
    """Another process holds the log file without sharing when the run
    writes it, or keeps it open for reading. The run's file name is fixed
    when it starts, so every name the run may choose in the next seconds is
    held."""

    def applied_log_lines(self, install):
        """The lines of the one log the run wrote, checked to open and end as
        an applied run's do."""
        written = [log for log in install.exe.logs() if log.stat().st_size]
        self.assertEqual(len(written), 1)
        lines = harness.parse_log(written[0].read_bytes()).lines
        self.assertEqual(lines[0], f"#InitialInfo,{install.exe.exe_windows},{self.prefix.user_name}")
        self.assertEqual(lines[-1], SUCCESS)
        return lines

    @contextlib.contextmanager
    def hold_log_names(self, install, milliseconds, read=False):
        with contextlib.ExitStack() as stack:
            names = log_names_around(datetime.datetime.now(), 4)
            for name in names:
                stack.enter_context(self.prefix.hold_file(install.exe.windows + name, milliseconds, create=True,
                                                          read=read))
            yield
        for name in names:
            path = install.exe.unix / name
            if path.exists() and path.stat().st_size == 0:
                path.unlink()

    def test_held_briefly_the_lines_still_arrive(self):
        install = self.world()
        install.registry().apply()
        with self.hold_log_names(install, 1000):
            run = harness.run_hotfix(install.exe, ["/s"])
        self.assertEqual(run.exit_code, 0)
        self.applied_log_lines(install)
        self.assertEqual(install.tree(), self.applied_tree(install))

    def test_read_by_a_viewer_for_the_whole_run_every_line_arrives(self):
        install = self.world(payload=many_files_payload(500))
        install.registry().apply()
        with self.hold_log_names(install, 120000, read=True):
            run = harness.run_hotfix(install.exe, ["/s"], timeout=120)
        self.assertEqual(run.exit_code, 0)
        lines = self.applied_log_lines(install)
        copied = sum(len(install.shipped_files(pair)) for pair in planned_pairs("win64", 1))
        self.assertEqual(sum(line.endswith("result , 1, ") for line in lines), copied)

    def test_held_while_the_buffer_overflows_the_run_waits_once_not_per_entry(self):
        install = self.world(payload=long_name_payload(3000))
        install.registry().apply()
        free = harness.run_hotfix(install.exe, ["/s"], timeout=120)
        for log in install.exe.logs():
            log.unlink()
        with self.hold_log_names(install, 300000):
            run = harness.run_hotfix(install.exe, ["/s"], timeout=120)
        self.assertEqual((free.exit_code, run.exit_code), (0, 0))
        # About two seconds of waiting during the copies, two before the
        # lock is let go and two at exit; slower under load, but far from
        # a wait per entry.
        self.assertLess(run.result.seconds, free.result.seconds + 25, (free.result.seconds, run.result.seconds))
        # Held for the whole run: nothing could reach the file.
        self.assertEqual([log for log in install.exe.logs() if log.stat().st_size], [])
        self.assertEqual(install.tree(), self.applied_tree(install))

    def test_held_for_long_the_run_still_ends_promptly_with_its_outcome(self):
        install = self.world()
        install.registry().apply()
        with self.hold_log_names(install, 10000):
            started = time.monotonic()
            run = harness.run_hotfix(install.exe, ["/s"])
            seconds = time.monotonic() - started
        self.assertEqual(run.exit_code, 0)
        self.assertLess(seconds, 6)
        self.assertEqual(install.tree(), self.applied_tree(install))


def leave_free(unix_folder, free_bytes):
    """Shrinks the tmpfs on the folder to what it holds plus free_bytes."""
    stats = os.statvfs(unix_folder)
    used = (stats.f_blocks - stats.f_bfree) * stats.f_frsize
    subprocess.run(["mount", "-o", f"remount,size={used + free_bytes}", str(unix_folder)], check=True)


class FullDiskTest(ReliabilityTestCase):
    """The exe's folder fills up while the log is written: room for the
    writes during the first copies, not for the rest and the one at exit."""

    def test_log_keeps_whole_lines_in_order_and_each_once(self):
        unix, windows = PREFIXES["win64"].new_folder("disk")
        with harness.small_file_system(unix):
            install = self.world(payload=long_name_payload(3000), exe_at=(unix, windows))
            install.registry().apply()
            leave_free(unix, 640 * 1024)
            run = harness.run_hotfix(install.exe, ["/s"], timeout=120)
            data = run.log_bytes
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(install.tree(), self.applied_tree(install))
        log = harness.parse_log(data)
        self.assertEqual(log.bom_count, 1)
        self.assertEqual(log.lines[0], f"#InitialInfo,{install.exe.exe_windows},{self.prefix.user_name}")
        copies = [line for line in log.lines if line.startswith("[info]: CopyFile, ")]
        self.assertEqual(len(set(copies)), len(copies))
        times = [entry.time for entry in log.entries]
        self.assertEqual(times, sorted(times))
        # Writes fitted until the disk was full; the final one did not, and
        # its lines are lost.
        self.assertGreater(len(copies), 0)
        self.assertNotIn(SUCCESS, log.lines)


class PlatformFaultTest(ReliabilityTestCase):
    """Failures the platform will not produce on demand, made by the fault
    build: a folder listing that breaks, another run that keeps the lock."""

    def test_broken_listing_stops_the_run(self):
        install = self.world(exe=FAULTS_EXE)
        install.registry(2).apply()
        run = harness.run_hotfix(install.exe, ["/s"], env={"QX_FIND_NEXT_ERROR": "0x1f"})
        self.assertEqual(run.exit_code, 1)
        # Every folder is resolved first; the first listing, pair 4's, breaks.
        self.assertEqual(run.lines[-2:], [f'[info]: Modules Path, "{install.source(5)}"',
                                          "[error]: FindNextFile, GetLastError, 0x0000001f"])
        self.assertEqual(install.tree(), install.before)

    def test_lock_kept_too_long_gives_up_before_anything_is_copied(self):
        install = self.world(exe=FAULTS_EXE)
        install.registry().apply()
        with self.prefix.hold_mutex(LOCK_NAME):
            run = harness.run_hotfix(install.exe, ["/s"], env={"QX_LOCK_WAIT_MS": "300"})
        self.assertEqual(run.exit_code, 1)
        self.assertEqual(run.lines[1:], [SILENT, WAITING, GAVE_UP])
        self.assertEqual(install.tree(), install.before)

    def test_lock_that_another_account_made_is_opened_waited_for_and_then_applied(self):
        install = self.world(exe=FAULTS_EXE)
        install.registry().apply()
        # Making the lock is refused as Windows refuses it to an account
        # that the existing lock does not grant full access.
        with self.prefix.hold_mutex(LOCK_NAME, milliseconds=2000):
            run = harness.run_hotfix(install.exe, ["/s"], env={"QX_LOCK_CREATE_DENIED": "1"})
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.lines[1:3], [SILENT, WAITING])
        self.assertGreater(run.result.seconds, 1.5, "did not wait for the other run's lock")
        self.assertEqual(run.lines[-1], SUCCESS)
        self.assertEqual(install.tree(), self.applied_tree(install))

    def test_write_that_cannot_be_cut_back_leaves_a_cut_line_and_nothing_twice(self):
        install = self.world(exe=FAULTS_EXE)
        install.registry().apply()
        # The first write of the log's text stops after 300 bytes, and cutting
        # it back fails: the file takes nothing more in this run.
        run = harness.run_hotfix(install.exe, ["/s"], env={"QX_LOG_WRITE_LIMIT": "300", "QX_LOG_CUT_ERROR": "5"})
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(install.tree(), self.applied_tree(install))
        data = run.log_bytes
        self.assertEqual(len(data), len(harness.BOM) + 300)
        whole, _, cut = data[len(harness.BOM):].rpartition(b"\r\n")
        lines = harness.parse_log(harness.BOM + whole + b"\r\n").lines
        self.assertEqual(lines[0], f"#InitialInfo,{install.exe.exe_windows},{self.prefix.user_name}")
        self.assertEqual(len(set(lines)), len(lines))
        self.assertNotIn(b"#InitialInfo", cut)

    def test_lock_that_cannot_be_a_runs_is_logged_and_the_run_goes_on_at_once(self):
        # descriptor of the lock held by another process, code logged
        cases = {
            "refuses this account": ("O:BAD:", "0x00000005"),
            # Any user may make the name first: its lock is no run's.
            "owned by a user": ("O:BUD:(A;;GA;;;WD)", "0x0000051b"),
        }
        for name, (descriptor, code) in cases.items():
            with self.subTest(name):
                install = self.world()
                install.registry().apply()
                with self.prefix.hold_mutex(LOCK_NAME, descriptor):
                    run = harness.run_hotfix(install.exe, ["/s"])
                self.assertEqual(run.exit_code, 0)
                self.assertEqual(run.lines[1:3], [SILENT, "[info]: Running without the single-run lock, GetLastError, "
                                                          + code])
                self.assertEqual(run.lines[-1], SUCCESS)
                self.assertLess(run.result.seconds, 20, "waited for a lock that no run holds")
                self.assertEqual(install.tree(), self.applied_tree(install))


class ConcurrentRunsTest(ReliabilityTestCase):
    """Two or three runs started together from the same folder."""

    def test_each_applies_and_keeps_its_lines(self):
        install = self.world()
        install.registry().apply()
        for attempt, count in enumerate((2, 2, 3)):
            with self.subTest(attempt=attempt, runs=count):
                runs = [None] * count
                barrier = threading.Barrier(count)

                def start(index):
                    barrier.wait()
                    runs[index] = harness.run_hotfix(install.exe, ["/s"])

                threads = [threading.Thread(target=start, args=(index,)) for index in range(count)]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join()
                self.assertEqual([run.exit_code for run in runs], [0] * count)
                self.assertEqual(install.tree(), self.applied_tree(install))
                # However their lines mix in a file that the two share.
                exit_code, rows = summarize(self.prefix, install.exe.logs())
                copied = str(sum(len(install.shipped_files(pair)) for pair in planned_pairs("win64", 1)))
                self.assertEqual((exit_code, [(row["outcome"], row["files_copied"]) for row in rows]),
                                 (0, [("applied", copied)] * count))
                lines = []
                for log in install.exe.logs():
                    data = log.read_bytes()
                    self.assertEqual(data.count(harness.BOM), 1, log)
                    lines += harness.parse_log(data).lines
                    log.unlink()
                self.assertEqual(sum(line.startswith("#InitialInfo,") for line in lines), count)
                self.assertEqual(lines.count(SUCCESS), count)
                single = self.single_run_line_count(install)
                self.assertEqual(len(lines), count * single + lines.count(WAITING))

    def test_a_run_that_gives_up_waiting_keeps_its_own_row_in_a_shared_log(self):
        # Both wait 1.5 s: whichever runs second gives up while the first
        # still copies, after the first's lines have begun to reach the file.
        install = self.world(exe=FAULTS_EXE, payload=many_files_payload(8000))
        install.registry().apply()
        copied = str(sum(len(install.shipped_files(pair)) for pair in planned_pairs("win64", 1)))
        for _ in range(3):
            barrier = threading.Barrier(2)
            codes = []

            def start():
                barrier.wait()
                codes.append(harness.run_hotfix(install.exe, ["/s"], env={"QX_LOCK_WAIT_MS": "1500"}, timeout=120)
                             .exit_code)

            threads = [threading.Thread(target=start) for _ in range(2)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            logs = install.exe.logs()
            if len(logs) == 1:
                break
            for log in logs:
                log.unlink()
        else:
            self.skipTest("the two runs never started in the same second")
        self.assertEqual(sorted(codes), [0, 1])
        exit_code, rows = summarize(self.prefix, logs)
        self.assertEqual((exit_code, sorted((row["outcome"], row["files_copied"], row["error"]) for row in rows)),
                         (1, [("applied", copied, ""), ("failed", "0", GAVE_UP[len("[error]: "):])]))

    def single_run_line_count(self, install):
        run = harness.run_hotfix(install.exe, ["/s"])
        count = len(run.lines)
        for log in install.exe.logs():
            log.unlink()
        return count


WAITING = "[info]: Waiting for another hotfix run to finish."


def many_files_payload(count):
    """count small files spread over the five shipped folders."""
    return {sub: {f"m{index:05d}.dll": b"new" for index in range(count // len(PAIRS))} for sub, _, _ in PAIRS.values()}


class BackgroundRun:
    """A run of qxhotfix.exe that goes on while the test works, until the
    test kills it as a deployment tool's time-out would: the job that runs
    it is closed, which ends it at once."""

    def __init__(self, folder):
        self.folder = folder
        command = [harness.WINE, str(harness.TOOLS_DIR / "runjob.exe"), "600000",
                   harness._hex_argument(folder.exe_windows),
                   harness._hex_argument(harness.windows_command_line([folder.exe_windows, "/s"]))]
        self.process = subprocess.Popen(command, env=folder.prefix.environment(), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def running(self):
        return self.process.poll() is None

    def kill(self):
        """Ends the run; returns the moment it was ended."""
        self.process.kill()
        self.process.wait(timeout=30)
        return time.time()

    def lines(self):
        """The lines of its log that have reached the file whole."""
        logs = self.folder.logs()
        if not logs:
            return []
        data = logs[0].read_bytes()
        return harness.parse_log(data[:data.rfind(b"\r\n") + 2]).lines if b"\r\n" in data else []


def summarize(prefix, logs):
    """qxlogsummary.exe's exit code and rows for copies of the logs."""
    folder_unix, folder = prefix.new_folder("logs")
    for log in logs:
        (folder_unix / log.name).write_bytes(log.read_bytes())
    exit_code, output, _ = harness.run_log_summary(prefix, folder)
    return exit_code, list(csv.DictReader(io.StringIO(output.decode("utf-8-sig"), newline="")))


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class KilledRunTest(ReliabilityTestCase):
    """Runs ended from outside part-way leave a log of what they did, up to
    about a second before their end."""

    def test_killed_while_copying_or_while_waiting_for_that_run(self):
        install = self.world(payload=many_files_payload(40000))
        install.registry().apply()
        copying = BackgroundRun(install.exe)
        waiting = None
        try:
            self.assertTrue(wait_until(lambda: any(line.startswith("[info]: CopyFile") for line in copying.lines()),
                                       60), "no copy entry reached the file while the run copied")
            waiting = BackgroundRun(self.prefix.exe_folder())
            self.assertTrue(wait_until(lambda: WAITING in waiting.lines(), 30),
                            f"the waiting run left no waiting entry: {waiting.lines()}")
            self.assertTrue(copying.running(), "the copying run ended before it could be killed")
            waiting.kill()
            killed = copying.kill()
        finally:
            for run in (copying, waiting):
                if run and run.running():
                    run.kill()
        self.assertEqual(waiting.lines(), [f"#InitialInfo,{waiting.folder.exe_windows},{self.prefix.user_name}",
                                           SILENT, WAITING])

        data = install.exe.logs()[0].read_bytes()
        self.assertTrue(data.endswith(b"\r\n"), "the killed run's log ends in a cut line")
        log = harness.parse_log(data)
        self.assertNotIn(SUCCESS, log.lines)
        last = log.entries[-1]
        self.assertTrue(last.text.startswith("[info]: CopyFile, "), last.text)
        self.assertGreater(last.time.timestamp(), killed - 2.5, "the log's last line is older than about 2 s")
        copied = sum(line.endswith("result , 1, ") for line in log.lines)
        self.assertGreater(copied, 0)
        self.assert_summarized_as_incomplete(install.exe.logs()[0], copied)

    def assert_summarized_as_incomplete(self, log, copied):
        exit_code, rows = summarize(self.prefix, [log])
        self.assertEqual(exit_code, 1)
        self.assertEqual([(row["outcome"], row["files_copied"]) for row in rows], [("incomplete", str(copied))])

    def test_interrupted_while_waiting_says_so_once_and_last(self):
        for presses in ("1", "2"):
            with self.subTest(presses=presses):
                install = self.world()
                install.registry().apply()
                with self.prefix.hold_mutex(LOCK_NAME):
                    run = harness.run_hotfix(install.exe, ["/s"], env={"QX_RUNJOB_CTRL_C_AFTER_MS": "1500",
                                                                       "QX_RUNJOB_CTRL_C_PRESSES": presses})
                # Windows ends the process with STATUS_CONTROL_C_EXIT; Wine 8's
                # default console handler ends it with 0, so the code is not checked.
                self.assertEqual(run.lines[1:], [SILENT, WAITING, INTERRUPTED])
                self.assertEqual(install.tree(), install.before)

    def test_killed_inside_a_long_copy_leaves_the_lines_logged_before_it(self):
        # 200 small files, then one of 3 GiB (sparse here, but copied in
        # full), which takes seconds: no entry arrives meanwhile.
        first = PAIRS[planned_pairs("win64", 1)[0]][0]
        payload = {sub: {f"{sub}.dll": b"new"} for sub, _, _ in PAIRS.values()}
        payload[first] = {f"s{index:03d}.dll": b"new" for index in range(200)}
        install = self.world(payload=payload)
        with open(install.exe.unix / "modules" / first / "zz_big.dll", "wb") as big:
            big.truncate(3 << 30)
        install.registry().apply()
        copy = install.unix(install.destination(planned_pairs("win64", 1)[0])) / "zz_big.dll"
        run = BackgroundRun(install.exe)
        try:
            self.assertTrue(wait_until(copy.exists, 60), "the long copy never started")
            # Every small copy was logged before the long copy began: more
            # than a second before the kill.
            time.sleep(1.5)
            self.assertTrue(run.running(), "the long copy ended before the run could be killed")
            run.kill()
        finally:
            if run.running():
                run.kill()
            copy.unlink(missing_ok=True)
        lines = run.lines()
        self.assertNotIn(SUCCESS, lines)
        self.assertEqual(sum(line.startswith('[info]: CopyFile, "s') for line in lines), 200, lines[-3:])


# Hostile registry data: every value the program reads, every type, odd and
# large sizes, contents without terminator, with embedded nulls, with
# unpaired surrogates and with line breaks.
VALUES = [
    # name, key, view, kind
    ("MajorVersion", harness.SYSTEM_INFO_KEY, 32, "release"),
    ("MinorVersion", harness.SYSTEM_INFO_KEY, 32, "release"),
    ("PatchVersion", harness.SYSTEM_INFO_KEY, 32, "release"),
    ("ProductType", harness.PRODUCT_KEY, 32, "type"),
    ("InstallBinPath", harness.PRODUCT_KEY, 32, "folder"),
    ("InstallBinPath", harness.PRODUCT_KEY, 64, "folder"),
    ("ActivatorPath", harness.ACTIVATOR_KEY, 32, "folder"),
]
TYPES = [harness.REG_SZ, harness.REG_EXPAND_SZ, harness.REG_MULTI_SZ, harness.REG_BINARY, harness.REG_DWORD,
         harness.REG_DWORD_BIG_ENDIAN, harness.REG_QWORD]
SIZES = [0, 1, 2, 3, 4, 5, 7, 8, 9, 63, 258, 1001, 65535, 1 << 20]
RELEASE = {"MajorVersion": 9, "MinorVersion": 1, "PatchVersion": 3}


def hostile_bytes(rng, size):
    style = rng.choice(["random", "text", "text-embedded-null", "surrogates", "line-breaks", "zeros"])
    if style == "random":
        return bytes(rng.getrandbits(8) for _ in range(min(size, 4096))) * (size // 4096 + 1)
    units = {
        "text": "C:\\Quorvex\\bin",
        "text-embedded-null": "C:\\qx\0hidden",
        "surrogates": "C:\\\ud800x\udc00y\U0001F600",
        "line-breaks": "C:\\x\r\n2026/01/01 00:00:00,000,[info]: Hotfix is successful.\r\n",
        "zeros": "\0",
    }[style]
    data = units.encode("utf-16-le", "surrogatepass")
    return (data * (size // max(len(data), 1) + 1))[:size]


class HostileRegistryTest(ReliabilityTestCase):
    SEED = 913
    CASES = 300

    def expected_exit(self, kind, name, value_type, data):
        if kind == "release":
            applicable = value_type == harness.REG_DWORD and data == RELEASE[name].to_bytes(4, "little")
            return 0 if applicable else 1
        if kind == "type":
            return 0
        return None  # a folder: 1 when it names nothing usable; not predicted

    def test_random_values(self):
        rng = random.Random(self.SEED)
        install = self.world()
        for number in range(self.CASES):
            name, key, view, kind = rng.choice(VALUES)
            value_type = rng.choice(TYPES)
            data = hostile_bytes(rng, rng.choice(SIZES))
            case = f"case {number}: {name} (view {view}) type {value_type} size {len(data)} {data[:24]!r}"
            install.registry().set(view, key, name, value_type, data).apply()
            run = harness.run_hotfix(install.exe, ["/s"])
            with self.subTest(case):
                self.assertIn(run.exit_code, (0, 1))
                expected = self.expected_exit(kind, name, value_type, data)
                if expected is not None:
                    self.assertEqual(run.exit_code, expected)
                self.assert_logs_well_formed(run)
                self.assertEqual(run.lines[-1] == SUCCESS, run.exit_code == 0)
            for log in run.log_paths:
                log.unlink()
            install.registry().apply()  # back to the installer's values


class LongPathTest(ReliabilityTestCase):
    """Folders whose paths pass MAX_PATH (260 characters)."""

    PARTS = ["d" * 60] * 5

    def long_folder(self, kind):
        unix, windows = PREFIXES["win64"].new_folder(kind)
        unix = unix.joinpath(*self.PARTS)
        unix.mkdir(parents=True)
        return unix, windows + "\\".join(self.PARTS) + "\\"

    def test_executable_in_a_long_folder(self):
        install = self.world(exe_at=self.long_folder("runs"))
        self.assertGreater(len(install.exe.exe_windows), 300)
        install.registry().apply()
        temp_logs = set(self.prefix.temp_unix.glob("qx913hotfix2_*"))
        exit_code = self.run_directly(install.exe.exe_windows)
        self.assertEqual(exit_code, 0)
        self.assertEqual(install.tree(), self.applied_tree(install))
        # A log path past MAX_PATH could not be opened on Windows: the log
        # goes to the temporary folder, and names the whole long path.
        self.assertEqual(install.exe.logs(), [])
        logs = set(self.prefix.temp_unix.glob("qx913hotfix2_*")) - temp_logs
        self.assertEqual(len(logs), 1)
        lines = harness.parse_log(logs.pop().read_bytes()).lines
        self.assertEqual(lines[0], f"#InitialInfo,{install.exe.exe_windows},{self.prefix.user_name}")
        self.assertIn(f'[info]: Modules Path, "{install.exe.windows}modules\\bin\\"', lines)
        self.assertEqual(lines[-1], SUCCESS)

    def run_directly(self, exe_windows):
        """Runs a program whose path is too long for CreateProcess's
        application name, as Wine's loader takes it."""
        with tempfile.TemporaryFile() as output:
            done = subprocess.run([harness.WINE, exe_windows, "/s"], env=self.prefix.environment(),
                                  stdin=subprocess.DEVNULL, stdout=output, stderr=output, timeout=60, check=False)
        return done.returncode

    def test_install_folders_in_a_long_folder(self):
        install = self.world(install_at=self.long_folder("install"))
        install.registry().apply()
        run = harness.run_hotfix(install.exe, ["/s"])
        if run.exit_code == 0:
            self.assertEqual(install.tree(), self.applied_tree(install))
        else:
            # Where the platform refuses the long path, the copy failed.
            self.assertRegex(run.lines[-1], r"^\[error\]: CopyFile, GetLastError, 0x[0-9a-f]{8}$")
            self.assert_each_file_old_or_new(install, install.tree())


load_tests = harness.load_machine_tests

if __name__ == "__main__":
    unittest.main()
