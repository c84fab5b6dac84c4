"""Keeping's cost: run-hotfix.exe at 2,000 files with and without keeping.

Usage: keeping_bench.py --build-dir DIR --base-launcher EXE [--wine LOADER] [--repeat N] [--cpu N|all]

In a fresh 64-bit Wine prefix laid out as bench.py lays out its 2,000-file
payload (product type 1, both views, install folders that already hold
every file), with SHA256SUMS beside the package, it times through
bench_runner, in rounds that turn the order against drift. Before each
run, untimed, every install file gets its original content back, which
differs from the shipped file's (a file that already holds the shipped
content is not an original, and is not kept):
  * base:  --base-launcher, a launcher built without keeping;
  * keep:  the launcher's test build from DIR (it reads Wine's one owner
           of every object as the Administrators), with the store deleted
           before each run, so that it keeps all 2,000 install files;
  * again: the same with the store of an earlier run, which holds them
           all: nothing more is kept, but the plan is still found and the
           record read.
Each run copies the same files over the same files, so every run of the
hotfix does the same work. Prints the medians and their ratios to base.
"""

import argparse
import hashlib
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path, PureWindowsPath

from bench import COPY_PAIRS, FILE_SIZE, PRODUCT_KEY, REGISTRY, BenchError, Payload, Prefix, pin, work_root

STORE = PureWindowsPath(r"C:\ProgramData\VELTRANE")
PACKAGE = PureWindowsPath(r"C:\bench\package")
PAYLOAD = Payload("2,000 files of 4 KiB", 2000, False)
SHIPPED = bytes(range(256)) * (FILE_SIZE // 256)
ORIGINAL = bytes(reversed(SHIPPED))


def lay_out(prefix, build_dir, base_launcher):
    for key, name, value_type, data, view in REGISTRY:
        prefix.wine("reg", "add", PRODUCT_KEY + key, "/v", name, "/t", value_type, "/d", data, f"/reg:{view}", "/f")
    package = prefix.unix_path(PACKAGE)
    (package / "modules").mkdir(parents=True)
    shutil.copy(build_dir / "qxhotfix.exe", package)
    shutil.copy(build_dir / "run-hotfix_faults.exe", package / "keeping.exe")
    shutil.copy(base_launcher, package / "base.exe")
    shutil.copy(build_dir / "bench" / "bench_runner.exe", package)
    for shipped, install in COPY_PAIRS:
        prefix.unix_path(install).mkdir(parents=True, exist_ok=True)
        (package / "modules" / shipped).mkdir()
        for name in PAYLOAD.file_names(shipped):
            (package / "modules" / shipped / name).write_bytes(SHIPPED)
    files = [package / "qxhotfix.exe"] + sorted(p for p in (package / "modules").rglob("*") if p.is_file())
    (package / "SHA256SUMS").write_text("".join(
        f"{hashlib.sha256(p.read_bytes()).hexdigest()}  {p.relative_to(package).as_posix()}\n" for p in files))


def install_originals(prefix):
    for shipped, install in COPY_PAIRS:
        for name in PAYLOAD.file_names(shipped):
            (prefix.unix_path(install) / name).write_bytes(ORIGINAL)


def run(prefix, launcher, keep_store):
    install_originals(prefix)
    if not keep_store:
        shutil.rmtree(prefix.unix_path(STORE), ignore_errors=True)
    words = prefix.wine(PACKAGE / "bench_runner.exe", "time", PACKAGE / launcher).split()
    for log in prefix.drive_c.glob("users/*/Temp/qx913hotfix2_*.log"):
        log.unlink()
    if len(words) < 4 or words[-1] != "0":
        raise BenchError(f"{launcher}: unexpected output {' '.join(words)!r}")
    return float(words[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True, type=Path)
    parser.add_argument("--base-launcher", required=True, type=Path)
    parser.add_argument("--wine", default="/usr/lib/wine/wine64")
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--cpu")
    options = parser.parse_args()
    root = Path(tempfile.mkdtemp(prefix="qxhotfix-keeping.", dir=work_root(None)))
    prefix = Prefix(root, options.wine)
    try:
        print(f"Running on {pin(options.cpu)}", flush=True)
        prefix.boot()
        lay_out(prefix, options.build_dir.resolve(), options.base_launcher)
        kinds = [("base", "base.exe", True), ("keep", "keeping.exe", False), ("again", "keeping.exe", True)]
        for _, launcher, keep_store in kinds:
            run(prefix, launcher, keep_store)
        samples = {name: [] for name, _, _ in kinds}
        started = time.monotonic()
        for round_index in range(options.repeat):
            shift = round_index % len(kinds)
            for name, launcher, keep_store in kinds[shift:] + kinds[:shift]:
                samples[name].append(run(prefix, launcher, keep_store))
        base = statistics.median(samples["base"])
        print(f"{options.repeat} rounds in {time.monotonic() - started:.0f} s; median ms, ratio to base, spread:")
        for name, values in samples.items():
            median = statistics.median(values)
            print(f"  {name:6} {median:8.0f} {median / base:5.2f}  {min(values):.0f}-{max(values):.0f}")
    except BenchError as error:
        print(f"keeping_bench: {error}", file=sys.stderr)
        return 1
    finally:
        prefix.close()
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
