"""A simulated installation for end-to-end runs: install folders holding
old files, shipped folders with a payload beside a copy of the exe, and the
registry values that name them; with the log lines a run is expected to
write about it.
"""

import re
import subprocess
import tempfile

# Pair number: shipped sub-folder, kind of install folder, registry view.
PAIRS = {
    1: ("bin_x64", "licenser", 64),
    2: ("bin", "licenser", 32),
    3: ("zfa_act", "activator", 32),
    4: ("181235_bin_x64", "module", 64),
    5: ("181235_bin", "module", 32),
}
ALL_PAIRS = (1, 2, 3, 4, 5)

HEADER = ["[info]: Silent Mode", "[info]: MajorVersion, 9, MinorVersion, 1, PatchVersion, 3"]
SUCCESS = "[info]: Hotfix is successful."
NO_INSTALL_BIN_PATH = "[error]: Unable to get the Quorvex InstallBinPath."
NO_ACTIVATOR_PATH = "[error]: Unable to get LicenseActivator Path."
ERROR_LINE = re.compile(r"^\[error\]: (CopyFile|FindFirstFile|FindNextFile), GetLastError, 0x[0-9a-f]{8}$")

PATH_NOT_FOUND = "0x00000003"
ACCESS_DENIED = "0x00000005"
SHARING_VIOLATION = "0x00000020"


def copy_entry(name, result):
    return f'[info]: CopyFile, "{name}", result , {result}, '


def copy_error(code):
    return f"[error]: CopyFile, GetLastError, {code}"


def default_payload():
    """Two files in each shipped folder: one of the folder's own name, one
    whose name every folder shares."""
    return {sub: {f"{sub}.dll": f"new {sub}.dll".encode(), "common.txt": f"new common of {sub}".encode()}
            for sub, _, _ in PAIRS.values()}


def planned_pairs(arch, product_type):
    x64 = arch == "win64"
    return [pair for pair, planned in ((1, product_type == 1 and x64), (2, product_type == 1),
                                       (3, product_type == 1), (4, x64), (5, True)) if planned]


def snapshot(root):
    """Every file and folder under root: relative path -> bytes, or None for
    a folder."""
    tree = {}
    for path in sorted(root.rglob("*")):
        tree[path.relative_to(root).as_posix()] = None if path.is_dir() else path.read_bytes()
    return tree


_chattr_allowed = None


def chattr_allowed(folder):
    """Whether this user may set the Linux immutable flag in folder's file
    system."""
    global _chattr_allowed
    if _chattr_allowed is None:
        with tempfile.NamedTemporaryFile(dir=folder) as probe:
            done = subprocess.run(["chattr", "+i", probe.name], capture_output=True, check=False)
            _chattr_allowed = done.returncode == 0
            subprocess.run(["chattr", "-i", probe.name], capture_output=True, check=False)
    return _chattr_allowed


class Installation:
    """One case's world in one prefix.

    The install folders live under one root: bin64\\ and bin32\\ (each with a
    licensers\\ folder) and zfa\\; on a 32-bit machine only bin32\\ and zfa\\.
    Each pair's destination holds an old copy of every file of its payload
    and a keep.dat that the hotfix does not ship. In the registry,
    InstallBinPath of the 64-bit view and ActivatorPath lack the trailing
    backslash that the program adds; InstallBinPath of the 32-bit view has
    it. With shared_bin both views name the same folder.
    """

    def __init__(self, prefix, payload=None, exe_suffix="", install_suffix="", shared_bin=False, exe=None,
                 exe_at=None, install_at=None):
        """exe: the program to copy as qxhotfix.exe; exe_at and install_at:
        (unix Path, Windows path ending with a backslash) of existing folders
        to use instead of fresh ones."""
        self.prefix = prefix
        self.x64 = prefix.arch == "win64"
        self.exe = prefix.exe_folder_at(*exe_at, exe) if exe_at else prefix.exe_folder(exe_suffix, exe)
        self.payload = default_payload() if payload is None else payload
        self.root_unix, self.root = install_at or prefix.new_folder("install", install_suffix)
        bin32 = self.root + "bin32\\"
        self.bin = {32: bin32, 64: bin32 if shared_bin else self.root + "bin64\\"}
        self.zfa = self.root + "zfa\\"
        self._lay_out_payload()
        self._lay_out_install()
        self.before = snapshot(self.root_unix)

    # Folders.

    def source(self, pair):
        return f"{self.exe.windows}modules\\{PAIRS[pair][0]}\\"

    def destination(self, pair):
        _, kind, view = PAIRS[pair]
        if kind == "activator":
            return self.zfa
        return self.bin[view] + ("licensers\\" if kind == "licenser" else "")

    def unix(self, windows_path):
        return self.prefix.unix_path(windows_path)

    def existing_pairs(self):
        return ALL_PAIRS if self.x64 else (2, 3, 5)

    def _lay_out_payload(self):
        for sub, files in self.payload.items():
            if files is None:
                continue
            folder = self.exe.unix / "modules" / sub
            folder.mkdir(parents=True)
            for name, data in files.items():
                (folder / name).parent.mkdir(parents=True, exist_ok=True)
                (folder / name).write_bytes(data)

    def _lay_out_install(self):
        for pair in self.existing_pairs():
            folder = self.unix(self.destination(pair))
            folder.mkdir(parents=True, exist_ok=True)
            (folder / "keep.dat").write_bytes(b"not shipped")
            for name in self.shipped_files(pair):
                (folder / name).write_bytes(b"old " + name.encode())

    def shipped_files(self, pair):
        """The plain files lying directly in a pair's shipped folder."""
        files = self.payload.get(PAIRS[pair][0]) or {}
        return sorted(name for name in files if "/" not in name)

    # Registry.

    def registry(self, product_type=1):
        """The product's values as an installer leaves them; the caller may
        add to the batch before applying it."""
        batch = self.prefix.registry().release(9, 1, 3)
        if product_type is not None:
            batch.product_type(product_type)
        batch.install_bin_path(32, self.bin[32])
        if self.x64:
            batch.install_bin_path(64, self.bin[64].rstrip("\\"))
        return batch.activator_path(self.zfa.rstrip("\\"))

    # Expectations.

    def resolution_lines(self, pair):
        _, kind, view = PAIRS[pair]
        if kind == "activator":
            lines = [f'[info]: LicenseActivator Path, "{self.zfa}"', f'[info]: ZFA Install Path, "{self.zfa}"']
        else:
            label = "x64" if view == 64 else "x86"
            lines = [f'[info]: Quorvex InstallBinPath({label}), "{self.bin[view]}"']
            if kind == "licenser":
                lines.append(f'[info]: Quorvex Licenser Install Path, "{self.destination(pair)}"')
            else:
                lines.append(f'[info]: Quorvex Module Install Path, "{self.destination(pair)}"')
        return lines + [f'[info]: Modules Path, "{self.source(pair)}"']

    def expected_tree(self, copied):
        """The install tree after copying, in order, the files named in
        copied: (pair, names) tuples."""
        tree = dict(self.before)
        for pair, names in copied:
            relative = self.unix(self.destination(pair)).relative_to(self.root_unix).as_posix()
            for name in names:
                tree[f"{relative}/{name}"] = self.payload[PAIRS[pair][0]][name]
        return tree

    def tree(self):
        return snapshot(self.root_unix)
