#!/usr/bin/env python3
"""Assembles the distributable zip of the hotfix.

The zip holds qxhotfix.exe, the fleet tools beside it (qxlogsummary.exe, the
launcher run-hotfix.exe and run-hotfix.cmd, which starts the launcher) and SHA256SUMS at the top, and the
five shipped folders under modules/, each always present (the exe ends every run with exit
code 1 when one is missing), filled from a payload folder laid out the same
way. The exe copies only plain files that lie directly in those five folders,
so anything else in the payload stops the packaging instead of being shipped
and silently ignored.

The sample payload made for demonstrations (--sample-payload) holds
placeholder files that would overwrite the product's own: a payload that is
that folder, or holds any of its files, is refused unless
--allow-sample-payload says that the zip is for a demonstration.

The output depends only on the file contents and the given epoch: entries are
in a fixed order, with the epoch as their time and fixed permissions.

Usage: make_package.py --exe FILE --summary-exe FILE --launcher-exe FILE --wrapper FILE
                       --payload DIR --epoch SECONDS --output ZIP
                       [--sample-payload DIR [--allow-sample-payload]]
"""

import argparse
import hashlib
import os
import stat
import struct
import sys
import tempfile
import time
import zipfile
import zlib

SHIPPED_FOLDERS = ("181235_bin", "181235_bin_x64", "bin", "bin_x64", "zfa_act")
MODULES = "modules"
EXE_NAME = "qxhotfix.exe"
SUMMARY_EXE_NAME = "qxlogsummary.exe"
LAUNCHER_EXE_NAME = "run-hotfix.exe"
WRAPPER_NAME = "run-hotfix.cmd"
SUMS_NAME = "SHA256SUMS"

# Names Windows cannot create, whatever the extension.
RESERVED_NAMES = {"CON", "PRN", "AUX", "NUL"} | {
    f"{device}{n}" for device in ("COM", "LPT") for n in range(1, 10)}
FORBIDDEN_CHARACTERS = set('<>:"/\\|?*')


class PayloadError(Exception):
    """The payload cannot be shipped; the message lists every problem."""


def windows_name_problem(name):
    """Why a file of this name would not reach the install folder intact, or None."""
    if any(not " " <= c <= "~" for c in name):
        # Unzip tools on Windows disagree on the encoding of such names.
        return "its name is not plain ASCII"
    bad = sorted(FORBIDDEN_CHARACTERS.intersection(name))
    if bad:
        return "its name holds " + " ".join(bad) + ", which Windows does not allow"
    if name.endswith((" ", ".")):
        return "its name ends with a blank or a dot, which Windows drops"
    if name.split(".")[0].upper().rstrip() in RESERVED_NAMES:
        return "its name is a Windows device name"
    return None


def collect_payload(payload_dir):
    """Maps each shipped folder to its sorted (name, path) files.

    Raises PayloadError naming every entry the exe would not copy.
    """
    if not os.path.isdir(payload_dir):
        raise PayloadError(f"payload folder {payload_dir} does not exist")
    problems = []
    folders = {folder: [] for folder in SHIPPED_FOLDERS}
    expected = ", ".join(f"{MODULES}/{folder}/" for folder in SHIPPED_FOLDERS)

    for entry in sorted(os.listdir(payload_dir)):
        if entry != MODULES:
            problems.append(f"{entry}: unexpected entry; the payload holds only {MODULES}/")
    modules_dir = os.path.join(payload_dir, MODULES)
    if os.path.lexists(modules_dir) and not os.path.isdir(modules_dir):
        problems.append(f"{MODULES}: not a folder")
    elif os.path.isdir(modules_dir):
        for folder in sorted(os.listdir(modules_dir)):
            where = f"{MODULES}/{folder}"
            path = os.path.join(modules_dir, folder)
            if folder not in folders:
                problems.append(f"{where}: unexpected entry; the shipped folders are {expected}")
                continue
            if not os.path.isdir(path):
                problems.append(f"{where}: not a folder")
                continue
            seen = {}
            for name in sorted(os.listdir(path)):
                file_path = os.path.join(path, name)
                if os.path.isdir(file_path):
                    problems.append(f"{where}/{name}: a sub-folder, which the exe never copies")
                    continue
                if not os.path.isfile(file_path):
                    problems.append(f"{where}/{name}: not a plain file")
                    continue
                reason = windows_name_problem(name)
                if reason:
                    problems.append(f"{where}/{name}: {reason}")
                    continue
                twin = seen.setdefault(name.lower(), name)
                if twin != name:
                    problems.append(f"{where}/{name}: same name as {twin} on Windows, "
                                    "where case does not count")
                    continue
                folders[folder].append((name, file_path))

    if not problems and not any(folders.values()):
        problems.append(f"no file in any shipped folder; expected files in {expected}")
    if problems:
        raise PayloadError("\n".join(problems))
    return folders


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).digest()


def sample_payload_problems(payload_dir, folders, sample_dir):
    """Why the payload is, or holds placeholder files of, the sample payload;
    empty when it does not."""
    if os.path.realpath(payload_dir) == os.path.realpath(sample_dir):
        return [f"{payload_dir} is the sample payload, whose files are placeholders"]
    placeholders = {file_digest(os.path.join(folder, name))
                    for folder, _, names in os.walk(sample_dir) for name in names}
    return [f"{MODULES}/{folder}/{name}: a placeholder file of the sample payload {sample_dir}"
            for folder in SHIPPED_FOLDERS for name, path in folders[folder]
            if file_digest(path) in placeholders]


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def with_crlf(text):
    """Batch text with CR LF line ends, which cmd needs to find its labels
    reliably, however the file was checked out."""
    return text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def package_entries(exe_bytes, tools, folders):
    """The zip's entries in order, as (name, bytes), and None for a folder.
    tools: (name, bytes) of the files that ship beside the exe."""
    tree = [(f"{MODULES}/", None)]
    for folder in SHIPPED_FOLDERS:
        tree.append((f"{MODULES}/{folder}/", None))
        tree.extend((f"{MODULES}/{folder}/{name}", read_file(path))
                    for name, path in folders[folder])
    top = [(EXE_NAME, exe_bytes)] + list(tools)
    return top + [(SUMS_NAME, sha256sums(top + tree))] + tree


def sha256sums(entries):
    """sha256sum's format: every file's digest and path, one per line."""
    lines = [f"{hashlib.sha256(data).hexdigest()}  {name}\n"
             for name, data in entries if data is not None]
    return "".join(lines).encode("ascii")


def zip_time(epoch):
    # Zip times are local times without a zone; UTC makes them the same on
    # every build machine. 1980 is the format's first year.
    return max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))


def deflates(data):
    """Whether deflating makes the data smaller (tiny files grow)."""
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    return len(packer.compress(data) + packer.flush()) < len(data)


def write_zip(entries, output, epoch):
    """Writes the zip through a temporary file, so a failure leaves no zip."""
    date_time = zip_time(epoch)
    folder = os.path.dirname(os.path.abspath(output))
    fd, temp = tempfile.mkstemp(dir=folder, suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f, zipfile.ZipFile(f, "w") as z:
            for name, data in entries:
                info = zipfile.ZipInfo(name, date_time)
                info.create_system = 3  # Unix, so the permissions below are read
                if data is None:
                    info.external_attr = (stat.S_IFDIR | 0o755) << 16 | 0x10  # MS-DOS folder
                    z.writestr(info, b"")
                else:
                    info.external_attr = (stat.S_IFREG | 0o644) << 16
                    if deflates(data):
                        info.compress_type = zipfile.ZIP_DEFLATED
                    z.writestr(info, data, compresslevel=9)
        os.chmod(temp, 0o644)
        os.replace(temp, output)
    except BaseException:
        os.unlink(temp)
        raise


def is_signed(exe_bytes):
    """Whether the PE file carries an Authenticode certificate table."""
    try:
        pe = struct.unpack_from("<I", exe_bytes, 0x3C)[0]
        magic = struct.unpack_from("<H", exe_bytes, pe + 24)[0]
        directories = pe + 24 + (96 if magic == 0x10B else 112)
        _, size = struct.unpack_from("<II", exe_bytes, directories + 4 * 8)
    except struct.error:
        return False
    return exe_bytes[:2] == b"MZ" and size > 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--summary-exe", required=True)
    parser.add_argument("--launcher-exe", required=True)
    parser.add_argument("--wrapper", required=True)
    parser.add_argument("--payload", required=True)
    parser.add_argument("--epoch", required=True, type=int)
    parser.add_argument("--output", required=True)
    parser.add_argument("--sample-payload")
    parser.add_argument("--allow-sample-payload", action="store_true")
    args = parser.parse_args(argv)

    # A stale zip must not outlive a payload that no longer packages.
    if os.path.exists(args.output):
        os.unlink(args.output)
    if not args.payload:
        print("error: no payload folder given: configure with -DQX_PAYLOAD_DIR=<folder holding "
              "modules/>, or with -DQX_ALLOW_SAMPLE_PAYLOAD=ON to package the sample payload "
              "for a demonstration", file=sys.stderr)
        return 1
    try:
        folders = collect_payload(args.payload)
        sample = []
        if args.sample_payload:
            sample = sample_payload_problems(args.payload, folders, args.sample_payload)
        if sample and not args.allow_sample_payload:
            raise PayloadError("\n".join(sample + [
                "the sample payload is for demonstrations only: configure with "
                "-DQX_PAYLOAD_DIR=<folder of the real files>, or with "
                "-DQX_ALLOW_SAMPLE_PAYLOAD=ON for a demonstration"]))
    except PayloadError as e:
        print(f"error: payload {args.payload} cannot be packaged:", file=sys.stderr)
        for line in str(e).splitlines():
            print(f"  {line}", file=sys.stderr)
        return 1

    exe_bytes = read_file(args.exe)
    summary_bytes = read_file(args.summary_exe)
    launcher_bytes = read_file(args.launcher_exe)
    tools = [(SUMMARY_EXE_NAME, summary_bytes), (LAUNCHER_EXE_NAME, launcher_bytes),
             (WRAPPER_NAME, with_crlf(read_file(args.wrapper)))]
    entries = package_entries(exe_bytes, tools, folders)
    write_zip(entries, args.output, args.epoch)

    print(f"{EXE_NAME}: {'signed' if is_signed(exe_bytes) else 'NOT signed'}")
    print(f"{SUMMARY_EXE_NAME}: {'signed' if is_signed(summary_bytes) else 'NOT signed'}")
    print(f"{LAUNCHER_EXE_NAME}: {'signed' if is_signed(launcher_bytes) else 'NOT signed'}")
    if sample:
        print("payload: the SAMPLE payload, for demonstrations only")
    for folder in SHIPPED_FOLDERS:
        print(f"{MODULES}/{folder}/: {len(folders[folder])} file(s)")
    digest = hashlib.sha256(read_file(args.output)).hexdigest()
    print(f"{args.output}\n  sha256 {digest}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
