"""End-to-end test harness: runs qxhotfix.exe in throwaway Wine prefixes.

Python 3 standard library only. A test module makes one prefix per
architecture for the whole module (booting one takes 10 to 20 seconds) and
resets it between tests; a persistent wineserver keeps every later Wine
process start at a few hundredths of a second.

    import harness

    def setUpModule():
        global PREFIXES
        PREFIXES = harness.open_prefixes(["win64", "win32"])  # booted together

    def tearDownModule():
        harness.close_prefixes(PREFIXES)

    class SomeTest(unittest.TestCase):
        def setUp(self):
            self.prefix = PREFIXES["win64"]
            self.prefix.reset()                    # product key, temp logs, records
            self.folder = self.prefix.exe_folder()  # fresh folder with qxhotfix.exe

        def test_something(self):
            self.prefix.registry().release(9, 1, 3).apply()
            run = harness.run_hotfix(self.folder, ["/s"])
            run.exit_code, run.lines, run.viewer_records

What it offers:

    open_prefixes, close_prefixes   boot prefixes together, stop and delete them
    WinePrefix.reset()              product key gone (both views), temp logs and
                                    viewer records cleared, viewer stub in place
    WinePrefix.exe_folder()         a fresh C:\\qxe2e\\runs\\NNN folder with the exe;
                                    exe_folder_at() for a folder of your own
    WinePrefix.new_folder(kind)     a fresh empty C:\\qxe2e\\<kind>\\NNN folder
    WinePrefix.registry()           a RegistryBatch: set (any type, raw bytes),
                                    dword, qword, sz, expand_sz, key, unset,
                                    delete, expect, absent and the product's
                                    release, product_type, install_bin_path,
                                    activator_path, remove_product; apply()
                                    runs the whole batch in one process
    WinePrefix.run()                any Windows program: exact command line,
                                    env, cwd, timeout; waits for the processes
                                    it started too; returns the exit code
    WinePrefix.hold_file()          a file held open without sharing (error 32),
                                    or for reading only, as a log viewer does
    WinePrefix.load_module()        a DLL kept loaded by another process
    HELD_MODULE                     a DLL that load_module can load, copied into place
    WinePrefix.hold_mutex()         a named mutex owned, with an access list
    WinePrefix.unix_path(), windows_path(), map_drive(), map_share(), temp_windows,
    temp_unix, user_name, views, install_viewer(), remove_viewer()
    run_hotfix()                    a HotfixRun: exit_code, log_paths, log_path,
                                    log_bytes, log (ParsedLog), lines, entries,
                                    viewer_records
    parse_log(), log_name_time(), log_name_for(), read_viewer_records(),
    physical_key(), immutable(), wait_for_second_start()

Paths come from the environment that ctest sets, with defaults for running
by hand from a build in <repo>/build:

    QX_HOTFIX_EXE   the qxhotfix.exe to test
    QX_TOOLS_DIR    the folder of regfixture.exe, viewer_stub.exe,
                    holdfile.exe, heldmodule.dll, runjob.exe and exit_code.exe
    QX_LOGSUMMARY_EXE, QX_LAUNCHER_EXE  qxlogsummary.exe and the launcher's
                    test build run-hotfix_faults.exe, which reads Wine's one
                    owner of every object as the Administrators
    QX_WINE         the Wine loader for that build (default: the wine
                    wrapper for a 32-bit exe, /usr/lib/wine/wine64 for a
                    64-bit one)
    QX_E2E_MACHINE  the machine whose cases run: win64 or win32 (default:
                    both); cases that need no prefix count as win64 cases
    QX_E2E_WORK     where prefixes are made (default: the system temp folder)
    QX_E2E_KEEP     set to 1 to keep the prefixes for a look afterwards

Machines: every test class names the machine it plays in its arch
attribute, and a module sets load_tests = harness.load_machine_tests. A
64-bit build (what runs on hosts that cannot run 32-bit code) plays only
the 64-bit machine: the win32 cases are then skipped, counted, and the
reason printed once. machine_test_classes() makes one class per machine
from a mixin.

Registry views: a view is 32 or 64. In a win64 prefix the 32-bit view of
HKLM\\Software lives under HKLM\\Software\\Wow6432Node (see physical_key); a
win32 prefix has one registry, and a write to "the 64-bit view" lands in it
too, as the flag is ignored on 32-bit Windows.
"""

import atexit
import concurrent.futures
import contextlib
import datetime
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path, PureWindowsPath

REPO = Path(__file__).resolve().parents[2]
HOTFIX_EXE = Path(os.environ.get("QX_HOTFIX_EXE") or REPO / "build" / "qxhotfix.exe")
TOOLS_DIR = Path(os.environ.get("QX_TOOLS_DIR") or REPO / "build" / "tests" / "tools")
HELD_MODULE = TOOLS_DIR / "heldmodule.dll"
WORK_ROOT = Path(os.environ.get("QX_E2E_WORK") or Path(tempfile.gettempdir()) / "qxhotfix-e2e")
KEEP_PREFIXES = os.environ.get("QX_E2E_KEEP") == "1"
MACHINES = ("win64", "win32")


def pe_bits(path):
    """64 for a PE32+ image, 32 for any other (a PE32 image, or none yet)."""
    try:
        with open(path, "rb") as image:
            header = image.read(4096)
    except OSError:
        return 32
    if len(header) < 0x40:
        return 32
    offset = int.from_bytes(header[0x3C:0x40], "little")
    return 64 if header[offset + 24:offset + 26] == b"\x0b\x02" else 32


BUILD_BITS = pe_bits(HOTFIX_EXE)
WINE = os.environ.get("QX_WINE") or ("/usr/lib/wine/wine64" if BUILD_BITS == 64 else "wine")
SELECTED_MACHINES = tuple(os.environ.get("QX_E2E_MACHINE", " ".join(MACHINES)).split())

VENDOR_KEY = "Software\\VELTRANE"
PRODUCT_KEY = VENDOR_KEY + "\\TQR3"
SYSTEM_INFO_KEY = PRODUCT_KEY + "\\SystemInfo"
ACTIVATOR_KEY = PRODUCT_KEY + "\\Licenseactivator"

REG_SZ = 1
REG_EXPAND_SZ = 2
REG_BINARY = 3
REG_DWORD = 4
REG_DWORD_BIG_ENDIAN = 5
REG_MULTI_SZ = 7
REG_QWORD = 11

BOM = b"\xef\xbb\xbf"
# The descriptor a run gives its lock: owned by the Administrators.
RUN_LOCK_ACCESS_LIST = "O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)"
LOG_NAME_PATTERN = re.compile(r"^qx913hotfix2_(\d{4})(\d{2})(\d{2})_(\d{2})(\d{2})(\d{2})\.log$")
LINE_PREFIX_PATTERN = re.compile(r"^(\d{4})/(\d{2})/(\d{2}) (\d{2}):(\d{2}):(\d{2}),(\d{3}),")
LINE_PREFIX_LENGTH = 24

# Wine processes never show a window here; the mono and gecko installers
# and the menu builder are not wanted in a test prefix.
_QUIET_DLLS = "mscoree=;mshtml=;winemenubuilder.exe=d"
_RUN_DLLS = _QUIET_DLLS + ";notepad.exe=n"
_BOOT_TIMEOUT = 300
_STUB_FOLDERS = ("windows", "windows/system32", "windows/syswow64")


class HarnessError(AssertionError):
    """The harness or a tool failed; the test cannot say anything."""


class LogFormatError(AssertionError):
    """A log file is not lines of "<24-character time prefix><text>\\r\\n"."""


# --------------------------------------------------------------------------
# Log files and viewer records


class LogEntry:
    """One log line: its time prefix, read as a local time, and its text."""

    def __init__(self, time, text):
        self.time = time
        self.text = text

    def __repr__(self):
        return f"LogEntry({self.time.isoformat()}, {self.text!r})"


class ParsedLog:
    """A log file's bytes split into checked lines.

    bom_count counts the byte-order marks anywhere in the file; has_bom says
    the file starts with one.
    """

    def __init__(self, data):
        self.data = data
        self.has_bom = data.startswith(BOM)
        self.bom_count = data.count(BOM)
        self.entries = _parse_lines(data[len(BOM):] if self.has_bom else data)

    @property
    def lines(self):
        """The lines without their time prefix and CR LF."""
        return [entry.text for entry in self.entries]


def parse_log(data):
    """ParsedLog of a log file's bytes; LogFormatError unless every line is
    the time prefix "%04d/%02d/%02d %02d:%02d:%02d,%03d," with a valid date,
    UTF-8 text without line breaks, and CR LF (the last line too). A byte-
    order mark is taken off the front only."""
    return ParsedLog(data)


def _parse_lines(body):
    if not body:
        return []
    if not body.endswith(b"\r\n"):
        raise LogFormatError(f"the log does not end with CR LF: ...{body[-40:]!r}")
    entries = []
    for number, raw in enumerate(body[:-2].split(b"\r\n"), start=1):
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise LogFormatError(f"line {number} is not UTF-8 ({error}): {raw!r}") from None
        if "\r" in line or "\n" in line:
            raise LogFormatError(f"line {number} holds a line break that is not CR LF: {line!r}")
        match = LINE_PREFIX_PATTERN.match(line)
        if not match:
            raise LogFormatError(f"line {number} lacks the time prefix: {line!r}")
        year, month, day, hour, minute, second, millisecond = (int(part) for part in match.groups())
        try:
            stamp = datetime.datetime(year, month, day, hour, minute, second, millisecond * 1000)
        except ValueError:
            raise LogFormatError(f"line {number} has an impossible time: {line!r}") from None
        entries.append(LogEntry(stamp, line[LINE_PREFIX_LENGTH:]))
    return entries


def log_name_time(name):
    """The local time that a log file's name holds, or None when the name is
    not exactly "qx913hotfix2_YYYYMMDD_hhmmss.log"."""
    match = LOG_NAME_PATTERN.match(name)
    if not match:
        return None
    try:
        return datetime.datetime(*(int(part) for part in match.groups()))
    except ValueError:
        return None


def log_name_for(moment):
    """The log file name for a local datetime."""
    return moment.strftime("qx913hotfix2_%Y%m%d_%H%M%S.log")


# 1970-01-01 in 100-nanosecond units since 1601-01-01.
_FILETIME_UNIX_EPOCH = 116444736000000000


class ViewerRecord:
    """What one start of the viewer stub saw.

    arguments:    the command line after the program name, unparsed
    command_line: the whole command line
    program:      the stub's own path (which notepad.exe was started)
    file_bytes:   the bytes of the file that the arguments name, read when
                  the stub got going; None when it could not be read, and
                  then file_error holds the Windows error code
    created_ns:   when the stub's process was created (Unix epoch, ns).
                  The stub reads the file some milliseconds after that, and
                  the program that started it may have gone on writing
                  meanwhile; a file whose st_mtime_ns is not later than
                  created_ns was complete when the viewer was started.
    """

    def __init__(self, folder):
        self.folder = folder
        self.number = int(folder.name)
        self.arguments = _read_text(folder / "arguments.txt")
        self.command_line = _read_text(folder / "command_line.txt")
        self.program = _read_text(folder / "program.txt")
        data = folder / "file.bin"
        self.file_bytes = data.read_bytes() if data.exists() else None
        error = folder / "file_error.txt"
        self.file_error = int(error.read_text()) if error.exists() else None
        self.created_ns = (int(_read_text(folder / "created.txt")) - _FILETIME_UNIX_EPOCH) * 100

    def __repr__(self):
        return f"ViewerRecord({self.number}, program={self.program!r}, arguments={self.arguments!r})"


def _read_text(path):
    return path.read_bytes().decode("utf-8")


def read_viewer_records(folder):
    """The records that the viewer stub left in a Unix folder, in order."""
    if not folder.exists():
        return []
    records = []
    for entry in sorted((e for e in folder.iterdir() if e.name.isdigit()), key=lambda e: int(e.name)):
        if not (entry / "done").exists():
            raise HarnessError(f"viewer record {entry} is incomplete")
        records.append(ViewerRecord(entry))
    return records


# --------------------------------------------------------------------------
# Registry fixtures


def _escape_field(text):
    """A key or value name as one regfixture field."""
    if text == "":
        return "@"
    escaped = []
    for character in text:
        if character in " \t\r\n%@#" or ord(character) < 0x20:
            escaped.extend(f"%{byte:02X}" for byte in character.encode("utf-8"))
        else:
            escaped.append(character)
    return "".join(escaped)


def _hex(data):
    return data.hex() if data else "-"


def utf16(text, terminated=True):
    """The UTF-16LE bytes of a registry string, with its terminator unless
    terminated is false."""
    return (text + ("\0" if terminated else "")).encode("utf-16-le")


class RegistryBatch:
    """Registry operations collected and then run by one regfixture start.

    Every writer returns the batch, so calls chain. view is 32 or 64; the
    product helpers take views, a tuple, defaulting to the 32-bit view,
    which is the one the 32-bit program reads by default.
    """

    def __init__(self, prefix):
        self.prefix = prefix
        self.operations = []

    def _add(self, *fields):
        self.operations.append(" ".join(fields))
        return self

    @staticmethod
    def _view(view):
        if view not in (32, 64):
            raise ValueError(f"a registry view is 32 or 64, not {view!r}")
        return str(view)

    def set(self, view, key, name, value_type, data):
        """A value of any type with exactly these bytes (no terminator added)."""
        return self._add("set", self._view(view), _escape_field(key), _escape_field(name), str(value_type), _hex(data))

    def dword(self, view, key, name, number):
        return self.set(view, key, name, REG_DWORD, (number & 0xFFFFFFFF).to_bytes(4, "little"))

    def qword(self, view, key, name, number):
        return self.set(view, key, name, REG_QWORD, (number & (2**64 - 1)).to_bytes(8, "little"))

    def sz(self, view, key, name, text, terminated=True):
        return self.set(view, key, name, REG_SZ, utf16(text, terminated))

    def expand_sz(self, view, key, name, text):
        return self.set(view, key, name, REG_EXPAND_SZ, utf16(text))

    def key(self, view, key):
        """Creates a key with no values."""
        return self._add("key", self._view(view), _escape_field(key))

    def unset(self, view, key, name):
        """Deletes one value; a missing one is fine."""
        return self._add("unset", self._view(view), _escape_field(key), _escape_field(name))

    def delete(self, view, key):
        """Deletes a key tree; a missing one is fine."""
        return self._add("delete", self._view(view), _escape_field(key))

    def expect(self, view, key, name, value_type, data):
        """Makes apply() fail unless the value is exactly this."""
        return self._add("expect", self._view(view), _escape_field(key), _escape_field(name), str(value_type),
                         _hex(data))

    def absent(self, view, key, name=None):
        """Makes apply() fail unless the key (or the value) is missing."""
        fields = ["absent", self._view(view), _escape_field(key)]
        if name is not None:
            fields.append(_escape_field(name))
        return self._add(*fields)

    # The product's values.

    def remove_product(self):
        """Deletes HKLM\\Software\\VELTRANE in both views."""
        return self.delete(32, VENDOR_KEY).delete(64, VENDOR_KEY)

    def release(self, major, minor, patch, views=(32,)):
        for view in views:
            self.dword(view, SYSTEM_INFO_KEY, "MajorVersion", major)
            self.dword(view, SYSTEM_INFO_KEY, "MinorVersion", minor)
            self.dword(view, SYSTEM_INFO_KEY, "PatchVersion", patch)
        return self

    def product_type(self, number, views=(32,)):
        for view in views:
            self.dword(view, PRODUCT_KEY, "ProductType", number)
        return self

    def install_bin_path(self, view, folder):
        return self.sz(view, PRODUCT_KEY, "InstallBinPath", folder)

    def activator_path(self, folder, views=(32,)):
        for view in views:
            self.sz(view, ACTIVATOR_KEY, "ActivatorPath", folder)
        return self

    def apply(self):
        """Runs the batch; HarnessError with regfixture's message on failure."""
        if self.operations:
            self.prefix.run_regfixture(self.operations)
        self.operations = []
        return self


def physical_key(prefix_arch, view, key):
    """Where a key of HKLM lives as the 64-bit view sees it: in a win64
    prefix the 32-bit view of Software\\X is Software\\Wow6432Node\\X."""
    parts = key.split("\\")
    if prefix_arch == "win64" and view == 32 and parts[0].lower() == "software" and len(parts) > 1:
        return "\\".join([parts[0], "Wow6432Node"] + parts[1:])
    return key


# --------------------------------------------------------------------------
# Wine prefixes


class RunResult:
    def __init__(self, exit_code, stdout, stderr, seconds):
        self.exit_code = exit_code
        self.stdout = stdout
        self.stderr = stderr
        self.seconds = seconds


def _run_captured(command, env, timeout):
    """Runs a Unix command; returns (exit code, stdout bytes, stderr bytes).
    The output goes through files, not pipes: Wine's own background
    processes, started by whichever program needs them first, inherit the
    output handles and would keep a pipe open for as long as the server
    lives."""
    with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
        completed = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                                   timeout=timeout, check=False)
        stdout.seek(0)
        stderr.seek(0)
        return completed.returncode, stdout.read(), stderr.read()


def _said_on_stderr(stderr):
    """A tool's reason for failing. Every tool reports its own failures and
    crashes on stderr; nothing there means that Wine ended it before its
    code ran or after it returned."""
    text = stderr.decode("utf-8", errors="replace") if isinstance(stderr, bytes) else stderr
    return text.strip() or "nothing on stderr: Wine ended the program outside its own code"


# Wine's own error messages, for the tools whose stderr is read only when
# they fail: they tell why Wine could not start or run one.
_TOOL_WINEDEBUG = "-all,err+all"


# What Wine says when it could not start a program at all; it happens now
# and then under load, before any code of the program runs.
_WINE_START_FAILURE = rb"failed to map the shared user data"


def _wine_failed_start(tool, returncode, stderr):
    """True when Wine failed the start of a tool: it ended with exit code 1
    and Wine's own start-failure message on stderr. Any other failure, a
    silent one included, is the tool's own and is not tried again."""
    if isinstance(stderr, str):
        stderr = stderr.encode()
    if returncode != 1 or not re.search(_WINE_START_FAILURE, stderr):
        return False
    print(f"harness: Wine failed a start of {tool} (exit code 1; Wine said: "
          f"{stderr.decode(errors='replace').strip()}); trying again", file=sys.stderr)
    return True


def _run_tool(tool, command, env, timeout):
    """_run_captured for one of the test tools; a start that Wine failed is
    tried again, once."""
    returncode, stdout, stderr = _run_captured(command, env, timeout)
    if _wine_failed_start(tool, returncode, stderr):
        returncode, stdout, stderr = _run_captured(command, env, timeout)
    return returncode, stdout, stderr


def _hex_argument(text):
    return text.encode("utf-8").hex() if text else "-"


def windows_command_line(words):
    """A command line that the C run-time splits back into these words."""
    return subprocess.list2cmdline(list(words))


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _make_writable_and_retry(function, path, excinfo):
    # Something else removed it first: gone is what was wanted.
    if isinstance(excinfo[1], FileNotFoundError):
        return
    # A test may leave a folder immutable (chattr +i) when it dies early.
    for target in (path, os.path.dirname(path)):
        subprocess.run(["chattr", "-i", target], stderr=subprocess.DEVNULL, check=False)
    try:
        function(path)
    except FileNotFoundError:
        pass


def remove_tree(path):
    """Deletes a folder tree, immutable folders included; a tree that is
    already gone, or goes while this runs, is no error."""
    if os.path.lexists(path):
        shutil.rmtree(path, onerror=_make_writable_and_retry)


def _clear_stale_work(root):
    """Removes what test processes that have died left under root, the work
    folder of one module. A folder that vanishes meanwhile is skipped."""
    try:
        entries = list(root.iterdir())
    except FileNotFoundError:
        return
    for entry in entries:
        match = re.match(r"^(\d+)-", entry.name)
        if not match or _pid_alive(int(match.group(1))) or not entry.is_dir():
            continue
        for prefix_dir in entry.glob("prefix-*"):
            env = dict(os.environ, WINEPREFIX=str(prefix_dir))
            subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           check=False)
        remove_tree(entry)


def module_work_root(module):
    """The work folder of one test module and its selected machines. ctest
    runs modules side by side: each one clears only what an earlier run of
    itself left behind, never another module's folder."""
    return WORK_ROOT / f"{module}.{'-'.join(SELECTED_MACHINES)}"


class WinePrefix:
    """A fresh Wine prefix of one architecture ("win64" or "win32") with a
    persistent wineserver and the viewer stub installed as notepad.exe.

    The test's own files live under C:\\qxe2e in the prefix: exe folders in
    runs\\, viewer records in viewer\\, fixture batches in fixtures\\.
    """

    def __init__(self, arch, work_dir):
        if arch not in ("win64", "win32"):
            raise ValueError(f"arch is win64 or win32, not {arch!r}")
        self.arch = arch
        self.path = Path(work_dir) / f"prefix-{arch}"
        self.drive_c = self.path / "drive_c"
        self.work_unix = self.drive_c / "qxe2e"
        self.work_windows = "C:\\qxe2e\\"
        self.temp_windows = None
        self.user_name = None
        self._counter = 0
        self._lock = threading.Lock()
        self._server_running = False
        self._closed = False

    # Life cycle.

    @property
    def views(self):
        """The registry views that differ in this prefix."""
        return (32, 64) if self.arch == "win64" else (32,)

    def environment(self, extra=None):
        """The environment of every Wine process started in this prefix."""
        env = {name: value for name, value in os.environ.items()
               if not name.startswith("WINE") and name not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(WINEPREFIX=str(self.path), WINEARCH=self.arch, WINEDEBUG="-all", WINEDLLOVERRIDES=_RUN_DLLS)
        if extra:
            env.update(extra)
        return env

    def open(self):
        """Boots the prefix, starts its server and installs the stub."""
        self.path.mkdir(parents=True)
        atexit.register(self.close)
        boot_env = self.environment({"WINEDLLOVERRIDES": _QUIET_DLLS})
        self._check([WINE, "wineboot", "-i"], boot_env, _BOOT_TIMEOUT, "wineboot -i")
        # Lets the boot's own processes finish before the prefix is used.
        self._check(["wineserver", "-w"], boot_env, _BOOT_TIMEOUT, "wineserver -w")
        # The server goes into the background holding whatever output it was
        # given, so it gets none that anybody waits on.
        self._server_running = True
        subprocess.run(["wineserver", "-p"], env=boot_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=True)
        self.install_viewer()
        for sub in ("runs", "viewer", "fixtures", "install"):
            (self.work_unix / sub).mkdir(parents=True, exist_ok=True)
        self._learn_identity()
        return self

    def _viewer_paths(self):
        return [self.drive_c / folder / "notepad.exe" for folder in _STUB_FOLDERS if (self.drive_c / folder).is_dir()]

    def install_viewer(self):
        """Puts the viewer stub in place of notepad.exe wherever Wine may
        look for it: a 32-bit program on a 64-bit prefix asks for system32
        and is sent to syswow64."""
        stub = (TOOLS_DIR / "viewer_stub.exe").read_bytes()
        for path in self._viewer_paths():
            path.write_bytes(stub)

    def remove_viewer(self):
        """Leaves the prefix without any notepad.exe, so that starting the
        viewer fails; reset() puts the stub back."""
        for path in self._viewer_paths():
            path.unlink(missing_ok=True)

    def _check(self, command, env, timeout, what):
        # No pipes: a wineserver that the command starts would hold them open.
        completed = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, timeout=timeout, check=False)
        if completed.returncode != 0:
            raise HarnessError(f"{what} failed with exit code {completed.returncode} in {self.path}")

    def _learn_identity(self):
        """The temporary folder and user name that programs here are given."""
        result = self.run("C:\\windows\\system32\\cmd.exe", ["/c", "echo %TEMP%^|%USERNAME%"], timeout=120)
        text = result.stdout.strip().splitlines()[-1] if result.stdout.strip() else ""
        temp, _, user = text.partition("|")
        if not temp or not user:
            raise HarnessError(f"cannot tell the prefix's temp folder and user: {result.stdout!r}")
        self.temp_windows = temp.rstrip("\\") + "\\"
        self.user_name = user
        self.temp_unix.mkdir(parents=True, exist_ok=True)

    def close(self):
        """Stops the server and deletes the prefix (unless QX_E2E_KEEP=1)."""
        if self._closed:
            return
        self._closed = True
        if self._server_running:
            subprocess.run(["wineserver", "-k"], env=self.environment(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60, check=False)
            self._server_running = False
        if not KEEP_PREFIXES:
            remove_tree(self.path)

    def reset(self):
        """Back to a clean state between tests: no product key in either
        view, no log files in the temp folder, no viewer records, the viewer
        stub in place. Exe folders of earlier tests stay; each test makes
        its own."""
        self.registry().remove_product().apply()
        for entry in self.temp_unix.iterdir():
            if entry.name.lower().startswith("qx913hotfix2_"):
                entry.unlink()
        remove_tree(self.work_unix / "viewer")
        (self.work_unix / "viewer").mkdir()
        if not all(path.exists() for path in self._viewer_paths()):
            self.install_viewer()

    # Paths.

    def _drives(self):
        drives = {}
        for link in (self.path / "dosdevices").iterdir():
            if len(link.name) == 2 and link.name[1] == ":":
                drives[link.name[0].upper()] = link.resolve()
        return drives

    def unix_path(self, windows_path):
        """The Unix path of a Windows path on one of the prefix's drives
        (letters as given; no case folding)."""
        path = PureWindowsPath(windows_path)
        if not path.drive or len(path.drive) != 2:
            raise ValueError(f"not a drive path: {windows_path!r}")
        root = self._drives().get(path.drive[0].upper())
        if root is None:
            raise ValueError(f"drive {path.drive} is not mapped in {self.path}")
        return root.joinpath(*path.parts[1:])

    def windows_path(self, unix_path):
        """The Windows path of a Unix path, through the drive that maps the
        longest part of it (C: for anything under drive_c, else Z:)."""
        target = Path(unix_path).resolve()
        best = None
        for letter, root in self._drives().items():
            if target == root or root in target.parents:
                if best is None or len(root.parts) > len(best[1].parts):
                    best = (letter, root)
        if best is None:
            raise ValueError(f"{unix_path} is on no drive of {self.path}")
        relative = target.relative_to(best[1])
        return f"{best[0]}:\\" + "\\".join(relative.parts)

    @property
    def temp_unix(self):
        return self.unix_path(self.temp_windows)

    def _next_number(self):
        with self._lock:
            self._counter += 1
            return self._counter

    def new_folder(self, kind, suffix=""):
        """A fresh, empty folder C:\\qxe2e\\<kind>\\<number><suffix>; returns
        (unix Path, Windows path ending with a backslash)."""
        name = f"{self._next_number():03d}{suffix}"
        unix = self.work_unix / kind / name
        unix.mkdir(parents=True)
        return unix, f"{self.work_windows}{kind}\\{name}\\"

    def exe_folder(self, suffix="", exe=None):
        """A fresh folder holding a copy of qxhotfix.exe (or of exe)."""
        unix, windows = self.new_folder("runs", suffix)
        return self.exe_folder_at(unix, windows, exe)

    def exe_folder_at(self, unix, windows, exe=None):
        """Copies qxhotfix.exe (or exe) into an existing folder; windows is
        its Windows path ending with a backslash."""
        shutil.copyfile(Path(exe or HOTFIX_EXE), unix / "qxhotfix.exe")
        return ExeFolder(self, unix, windows)

    def map_share(self, server, share, unix_folder):
        """Makes \\\\server\\share name a Unix folder; returns that path
        with a trailing backslash."""
        link = self.path / "dosdevices" / "unc" / server / share
        link.parent.mkdir(parents=True, exist_ok=True)
        if link.is_symlink():
            link.unlink()
        link.symlink_to(Path(unix_folder).resolve())
        return f"\\\\{server}\\{share}\\"

    def map_drive(self, letter, unix_folder):
        """Makes a drive letter name a Unix folder; returns its root, "X:\\"."""
        link = self.path / "dosdevices" / f"{letter.lower()}:"
        if link.is_symlink():
            link.unlink()
        link.symlink_to(Path(unix_folder).resolve())
        return f"{letter.upper()}:\\"

    # Programs.

    def run(self, application, args=(), *, command_line=None, env=None, cwd=None, timeout=30):
        """Runs a Windows program and waits for it and every process it
        started (a viewer, say) to end. application is a Windows path or a
        Unix Path. The command line is command_line exactly when given (its
        first word is what the program sees as argv[0]); otherwise the
        application's Windows path and args, quoted as the C run-time
        expects. cwd is a Windows path. Returns a RunResult with the
        program's exit code; HarnessError when it cannot be started or does
        not end within timeout seconds."""
        if isinstance(application, Path):
            application = self.windows_path(application)
        if command_line is None:
            command_line = windows_command_line([application, *args])
        arguments = [str(int(timeout * 1000)), _hex_argument(application), _hex_argument(command_line)]
        if cwd is not None:
            arguments.append(_hex_argument(cwd))
        started = time.monotonic()
        returncode, stdout, stderr = _run_tool("runjob", [WINE, str(TOOLS_DIR / "runjob.exe"), *arguments],
                                               self.environment(env), timeout + 30)
        seconds = time.monotonic() - started
        stdout = stdout.decode("utf-8", errors="replace")
        stderr = stderr.decode("utf-8", errors="replace")
        match = re.search(r"^exit-code (\d+)\r?$", stdout, re.MULTILINE)
        if returncode != 0 or not match:
            raise HarnessError(f"running {command_line!r} failed (runjob {returncode}): {_said_on_stderr(stderr)}")
        stdout = stdout[:match.start()] + stdout[match.end():].lstrip("\r\n")
        return RunResult(int(match.group(1)), stdout, stderr, seconds)

    def run_regfixture(self, operations):
        """Runs regfixture on a list of batch lines."""
        unix, windows = self.new_folder("fixtures")
        (unix / "batch.txt").write_text("\n".join(operations) + "\n", encoding="utf-8")
        command = [WINE, str(TOOLS_DIR / "regfixture.exe"), windows + "batch.txt"]
        returncode, _, stderr = _run_tool("regfixture", command, self.environment({"WINEDEBUG": _TOOL_WINEDEBUG}), 60)
        if returncode != 0:
            raise HarnessError(f"regfixture failed ({returncode}): {_said_on_stderr(stderr)}\n"
                               "batch:\n" + "\n".join(operations))

    def registry(self):
        """A RegistryBatch for this prefix; call apply() to write it."""
        return RegistryBatch(self)

    def hold_file(self, windows_path, milliseconds=30000, create=False, read=False, delete=False):
        """Holds a file open without sharing (holdfile.exe) inside the with
        block; every other open of it fails with error 32 meanwhile. With
        read, holds it open for reading only and sharing every way, as a
        log viewer does; with delete, for reading and deleting, sharing
        every way, as a sync client or a scanner that may move it does.
        The hold ends when the block ends, or after milliseconds at the
        latest."""
        options = ((["--create"] if create else []) + (["--read"] if read else [])
                   + (["--delete"] if delete else []))
        return self._hold(options + [windows_path, str(milliseconds)], windows_path)

    def load_module(self, windows_path, milliseconds=30000):
        """Keeps a DLL loaded (holdfile.exe --load) inside the with block, as
        a running program keeps its modules: writing it fails with error 32
        meanwhile. The file must be a DLL of the tools' bitness, such as a
        copy of HELD_MODULE."""
        return self._hold(["--load", windows_path, str(milliseconds)], windows_path)

    def hold_mutex(self, name, access_list=RUN_LOCK_ACCESS_LIST, milliseconds=30000):
        """Makes and owns a named mutex, with a descriptor in SDDL ("-": the
        default one; by default a run's own), inside the with block, as
        another run holds its lock; the hold ends with the block or after
        milliseconds."""
        return self._hold(["--mutex", access_list, name, str(milliseconds)], name)

    @contextlib.contextmanager
    def _hold(self, arguments, what):
        command = [WINE, str(TOOLS_DIR / "holdfile.exe"), *arguments]
        for attempt in (1, 2):
            with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
                process = subprocess.Popen(command, env=self.environment({"WINEDEBUG": _TOOL_WINEDEBUG}),
                                           stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)
                try:
                    deadline = time.monotonic() + 60
                    while not _file_text(stdout).startswith("held") and process.poll() is None:
                        if time.monotonic() > deadline:
                            raise HarnessError(f"holdfile did not report holding {what}")
                        time.sleep(0.005)
                    if not _file_text(stdout).startswith("held"):
                        if attempt == 1 and _wine_failed_start("holdfile", process.poll(), _file_text(stderr)):
                            continue
                        raise HarnessError(f"holdfile could not hold {what} (exit code {process.poll()}): "
                                           f"{_said_on_stderr(_file_text(stderr))}")
                    yield process
                    return
                finally:
                    if process.poll() is None:
                        process.kill()
                    process.wait(timeout=30)


def _file_text(file):
    # pread leaves the offset alone: the writing child shares it.
    return os.pread(file.fileno(), 1 << 16, 0).decode("utf-8", errors="replace")


# --------------------------------------------------------------------------
# Machines


def machine_skip_reason(arch):
    """Why this build cannot play the machine, or None when it can."""
    if arch == "win32" and BUILD_BITS == 64:
        return ("the exe under test is the 64-bit build, which runs where 32-bit code cannot, and it cannot "
                "play a 32-bit machine")
    return None


def machine_of(test):
    return getattr(test, "arch", None) or "win64"


def _flatten(suite):
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            yield from _flatten(test)
        else:
            yield test


def load_machine_tests(loader, standard_tests, pattern):
    """unittest's load_tests hook for the e2e modules: keeps the cases of the
    selected machines and skips those of a machine this build cannot play,
    counting them and printing the reason once."""
    suite = unittest.TestSuite()
    skipped = {}
    for test in _flatten(standard_tests):
        arch = machine_of(test)
        if arch not in SELECTED_MACHINES:
            continue
        reason = machine_skip_reason(arch)
        if reason:
            type(test).__unittest_skip__ = True
            type(test).__unittest_skip_why__ = f"needs a {arch} machine"
            skipped[arch] = skipped.get(arch, 0) + 1
        suite.addTest(test)
    for arch, count in skipped.items():
        print(f"e2e: {count} cases of the {arch} machine skipped: {machine_skip_reason(arch)}", file=sys.stderr)
    return suite


def machine_test_classes(namespace, mixins, base, arches=MACHINES):
    """Adds to namespace one class per mixin and machine, named
    <mixin>_<arch>, with the mixin's tests run on base for that machine."""
    for mixin in mixins:
        for arch in arches:
            name = f"{mixin.__name__}_{arch}"
            # The module decides which setUpModule runs for the class.
            namespace[name] = type(name, (mixin, base), {"arch": arch, "__module__": namespace["__name__"]})


def open_prefixes(arches, module=None):
    """Boots one prefix per architecture, all at once, in a work folder of
    this process under the calling module's work folder; returns
    {arch: WinePrefix}. Architectures that are not selected, or that this
    build cannot play, are left out: their cases do not run."""
    arches = [arch for arch in arches if arch in SELECTED_MACHINES and not machine_skip_reason(arch)]
    if not arches:
        return {}
    # The caller is the module's setUpModule.
    root = module_work_root(module or sys._getframe(1).f_globals["__name__"])
    root.mkdir(parents=True, exist_ok=True)
    _clear_stale_work(root)
    # A test program stopped from outside (a ctest timeout) still cleans up.
    if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
        signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    work_dir = Path(tempfile.mkdtemp(prefix=f"{os.getpid()}-", dir=root))
    atexit.register(lambda: None if KEEP_PREFIXES else remove_tree(work_dir))
    prefixes = {arch: WinePrefix(arch, work_dir) for arch in arches}
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(prefixes)) as pool:
        futures = [pool.submit(prefix.open) for prefix in prefixes.values()]
        errors = [future.exception() for future in futures if future.exception()]
    if errors:
        close_prefixes(prefixes)
        raise errors[0]
    return prefixes


def close_prefixes(prefixes):
    for prefix in prefixes.values():
        prefix.close()


# --------------------------------------------------------------------------
# Runs of qxhotfix.exe


class ExeFolder:
    """A test's folder holding qxhotfix.exe. windows ends with a backslash."""

    def __init__(self, prefix, unix, windows):
        self.prefix = prefix
        self.unix = unix
        self.windows = windows
        self.exe_unix = unix / "qxhotfix.exe"
        self.exe_windows = windows + "qxhotfix.exe"

    def listing(self):
        return sorted(entry.name for entry in self.unix.iterdir())

    def logs(self):
        return _log_files(self.unix)


def _log_files(folder):
    return sorted(entry for entry in folder.iterdir() if entry.name.lower().startswith("qx913hotfix2_"))


def _snapshot(paths):
    return {path: (path.stat().st_size, path.stat().st_mtime_ns) for path in paths}


class HotfixRun:
    """What one run of qxhotfix.exe left behind.

    exit_code       the process exit code
    log_paths       log files (names starting "qx913hotfix2_") in the exe
                    folder, then those the run created or changed in the
                    temp folder
    viewer_records  the viewer stub's records of this run, in order
    started, ended  wall-clock times around the run (seconds since the epoch)
    """

    def __init__(self, folder, exit_code, log_paths, viewer_records, started, ended, result):
        self.folder = folder
        self.exit_code = exit_code
        self.log_paths = log_paths
        self.viewer_records = viewer_records
        self.started = started
        self.ended = ended
        self.result = result
        self._parsed = None

    @property
    def log_path(self):
        """The one log file; AssertionError when there is not exactly one."""
        if len(self.log_paths) != 1:
            raise AssertionError(f"expected one log file, found {[str(p) for p in self.log_paths]}")
        return self.log_paths[0]

    @property
    def log_windows_path(self):
        return self.folder.prefix.windows_path(self.log_path)

    @property
    def log_bytes(self):
        return self.log_path.read_bytes()

    @property
    def log(self):
        """The ParsedLog of the one log file, as it was after the run."""
        if self._parsed is None:
            self._parsed = parse_log(self.log_bytes)
        return self._parsed

    @property
    def lines(self):
        """The log's lines without time prefix and CR LF."""
        return self.log.lines

    @property
    def entries(self):
        return self.log.entries


def run_hotfix(folder, args=(), *, command_line=None, cwd=None, env=None, timeout=30):
    """Runs folder's qxhotfix.exe with args (or the exact command_line) and
    waits for it and any viewer it started. Each run gets its own viewer
    record folder (QX_VIEWER_RECORD)."""
    prefix = folder.prefix
    records_unix, records_windows = prefix.new_folder("viewer")
    temp_before = _snapshot(_log_files(prefix.temp_unix))
    extra = dict(env or {}, QX_VIEWER_RECORD=records_windows.rstrip("\\"))
    started = time.time()
    result = prefix.run(folder.exe_windows, args, command_line=command_line, env=extra, cwd=cwd, timeout=timeout)
    ended = time.time()
    temp_after = _snapshot(_log_files(prefix.temp_unix))
    changed_in_temp = [path for path, state in temp_after.items() if temp_before.get(path) != state]
    return HotfixRun(folder, result.exit_code, folder.logs() + sorted(changed_in_temp),
                     read_viewer_records(records_unix), started, ended, result)


@contextlib.contextmanager
def immutable(path):
    """Makes a file or folder unwritable inside the with block with the Linux
    immutable flag: Wine running as root ignores read-only attributes, but
    not this. Skips the test when chattr is not permitted here."""
    completed = subprocess.run(["chattr", "+i", str(path)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               check=False)
    if completed.returncode != 0:
        raise unittest.SkipTest(f"chattr +i is not permitted here: {completed.stderr.decode(errors='replace').strip()}")
    try:
        yield path
    finally:
        subprocess.run(["chattr", "-i", str(path)], check=True)


SUMMARY_EXE = Path(os.environ.get("QX_LOGSUMMARY_EXE") or REPO / "build" / "qxlogsummary.exe")
LAUNCHER_EXE = Path(os.environ.get("QX_LAUNCHER_EXE") or REPO / "build" / "run-hotfix_faults.exe")


def run_log_summary(prefix, *folders):
    """Runs qxlogsummary.exe on the folders with its output redirected to a
    file, as an administrator would; returns (exit code, output bytes,
    stderr)."""
    out_unix, out_windows = prefix.new_folder("summary")
    command = windows_command_line([prefix.windows_path(SUMMARY_EXE), *folders])
    result = prefix.run("C:\\windows\\system32\\cmd.exe",
                        command_line=f"cmd.exe /c {command} > {out_windows}summary.csv", timeout=120)
    return result.exit_code, (out_unix / "summary.csv").read_bytes(), result.stderr


@contextlib.contextmanager
def small_file_system(unix_folder, size="64m"):
    """A tmpfs of the size given mounted on the folder inside the with
    block; skips the test where mounting is not permitted."""
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(unix_folder)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False)
    if done.returncode != 0:
        raise unittest.SkipTest(f"mounting a tmpfs is not permitted here: {done.stderr.decode(errors='replace')}")
    try:
        yield
    finally:
        subprocess.run(["umount", "-l", str(unix_folder)], check=False)


def wait_for_second_start(latest_fraction=0.3):
    """Sleeps until early in a wall-clock second, so that what follows at
    once runs within that second."""
    fraction = time.time() % 1
    if fraction > latest_fraction:
        time.sleep(1.0 - fraction + 0.01)
