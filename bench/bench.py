"""Benchmark: qxhotfix.exe against bare copy loops, in a fresh 64-bit Wine prefix.

Run it through bench/run.sh, which builds the programs first. Python 3
standard library only.

In one run, with medians over --repeat repetitions:
  * qxhotfix.exe /s applying payloads of 0, 2,000 (4 KiB, short names) and
    20,000 (4 KiB, 60-character names) files over the five shipped folders,
    product type 1 with both registry views set, into install folders that
    already hold every file, so that each copy overwrites;
  * copy_floor.exe copying the same folder pairs with nothing else: the floor;
  * copy_floor_dlls.exe, the same loop in a process that also loads and
    calls the system DLLs that qxhotfix imports (advapi32, ole32): the
    floor with the DLLs' start-up, which under Wine costs about 11 ms;
  * both floors with --check, which first opens every existing install
    file for writing and closes it, as qxhotfix checks every file before
    its first copy: the floors that the targets are held against;
  * the peak private memory of both, from separate runs (sampling it slows
    the program down);
  * log_bench.exe: the log's cost per entry with its buffer nearly empty and
    nearly full, and its entries per second.

The programs come from one build folder: the shipped 32-bit build where
Wine's 32-bit loader runs, else the 64-bit build of the same sources
(bench/run.sh chooses, through tools/host-bits.sh); --wine names the loader.

The prefix lives in a temporary folder (tmpfs /dev/shm when there is room,
so that the disk's write-back does not add to the noise) and is deleted at
the end unless --keep is given.

Every Wine process, the wineserver included, runs on one CPU (--cpu). Each
file operation is a round trip to the wineserver; across two virtual CPUs
every one of them wakes an idle CPU, which made each copy up to seven times
dearer on a quiet machine, varies with the host's load, and would swamp the
differences measured here.
"""

import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path, PureWindowsPath

# Shipped folder and install folder of each copy pair, in the hotfix's order
# on a 64-bit machine with product type 1.
COPY_PAIRS = (
    ("bin_x64", r"C:\Program Files\Quorvex\bin\licensers"),
    ("bin", r"C:\Program Files (x86)\Quorvex\bin\licensers"),
    ("zfa_act", r"C:\Program Files (x86)\Quorvex\ZFA"),
    ("181235_bin_x64", r"C:\Program Files\Quorvex\bin"),
    ("181235_bin", r"C:\Program Files (x86)\Quorvex\bin"),
)
PRODUCT_KEY = r"HKLM\Software\VELTRANE\TQR3"
REGISTRY = (  # key under the product, value, type, data, view
    (r"\SystemInfo", "MajorVersion", "REG_DWORD", "9", "32"),
    (r"\SystemInfo", "MinorVersion", "REG_DWORD", "1", "32"),
    (r"\SystemInfo", "PatchVersion", "REG_DWORD", "3", "32"),
    ("", "ProductType", "REG_DWORD", "1", "32"),
    ("", "InstallBinPath", "REG_SZ", r"C:\Program Files (x86)\Quorvex\bin", "32"),
    (r"\Licenseactivator", "ActivatorPath", "REG_SZ", r"C:\Program Files (x86)\Quorvex\ZFA", "32"),
    ("", "InstallBinPath", "REG_SZ", r"C:\Program Files\Quorvex\bin", "64"),
)
FILE_SIZE = 4096
LONG_NAME_LENGTH = 60
TMPFS_ROOM = 4 << 30  # the prefix takes about 1.6 GB

# qxhotfix against the checking floor with the same DLLs for 2,000 files,
# and against the bare checking floor for 20,000, where the DLLs' start-up
# no longer counts.
TARGET_RATIOS = {2000: ("copy_floor_dlls_check", 1.05), 20000: ("copy_floor_check", 1.10)}
TARGET_LOG_RATIO = 1.5
TARGET_MEMORY_MIB = 4.0

# Wine processes never show a window here; no mono or gecko installers.
WINE_DLL_OVERRIDES = "mscoree=;mshtml=;winemenubuilder.exe=d"


class BenchError(Exception):
    """A program of the benchmark failed: its numbers would mean nothing."""


class Payload:
    """Files spread evenly over the five shipped folders."""

    def __init__(self, label, count, long_names):
        self.label = label
        self.count = count
        self.long_names = long_names
        self.folder = PureWindowsPath(r"C:\bench") / f"payload{count}"

    def file_names(self, shipped):
        for index in range(self.count // len(COPY_PAIRS)):
            if self.long_names:
                stem = f"{shipped}_{index:05d}_quorvex_replacement_component_library"
                yield stem[: LONG_NAME_LENGTH - 4].ljust(LONG_NAME_LENGTH - 4, "x") + ".dll"
            else:
                yield f"{shipped}_{index:04d}.dll"


PAYLOADS = (
    Payload("no files", 0, False),
    Payload("2,000 files of 4 KiB", 2000, False),
    Payload("20,000 files, 60-char names", 20000, True),
)


class Prefix:
    """A fresh 64-bit Wine prefix with a persistent wineserver."""

    def __init__(self, root, wine):
        self.loader = wine
        self.path = root / "prefix"
        self.drive_c = self.path / "drive_c"
        self.env = dict(os.environ, WINEPREFIX=str(self.path), WINEARCH="win64", WINEDEBUG="-all",
                        WINEDLLOVERRIDES=WINE_DLL_OVERRIDES)

    def boot(self):
        subprocess.run([self.loader, "wineboot", "-i"], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, check=True)
        # A server that stays up keeps each later process start short.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)

    def unix_path(self, windows_path):
        parts = PureWindowsPath(windows_path).parts
        assert parts[0].upper() == "C:\\", windows_path
        return self.drive_c.joinpath(*parts[1:])

    def wine(self, *arguments):
        """Runs a Windows program to its end and returns its standard output."""
        # Through files, not pipes: the services that Wine starts on the way
        # inherit a pipe and keep it open, so reading it would never end.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run([self.loader, *map(str, arguments)], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err).returncode
            out.seek(0)
            err.seek(0)
            if code != 0:
                raise BenchError(f"wine {' '.join(map(str, arguments))}: exit {code}\n{err.read().decode()}")
            return out.read().decode()


class Bench:
    def __init__(self, prefix, build_dir):
        self.prefix = prefix
        self.build_dir = build_dir
        self.tools = PureWindowsPath(r"C:\bench\tools")

    # ---- set-up

    def set_up(self):
        for key, name, value_type, data, view in REGISTRY:
            self.prefix.wine("reg", "add", PRODUCT_KEY + key, "/v", name, "/t", value_type, "/d", data,
                             f"/reg:{view}", "/f")
        tools = self.prefix.unix_path(self.tools)
        tools.mkdir(parents=True)
        for program in ("copy_floor", "copy_floor_dlls", "bench_runner", "log_bench"):
            shutil.copy(self.build_dir / "bench" / f"{program}.exe", tools)
        content = bytes(range(256)) * (FILE_SIZE // 256)
        for payload in PAYLOADS:
            folder = self.prefix.unix_path(payload.folder)
            modules = folder / "modules"
            modules.mkdir(parents=True)
            shutil.copy(self.build_dir / "qxhotfix.exe", folder)
            for shipped, install in COPY_PAIRS:
                source = modules / shipped
                target = self.prefix.unix_path(install)
                source.mkdir()
                target.mkdir(parents=True, exist_ok=True)
                # The install folder already holds each file: every copy overwrites.
                for name in payload.file_names(shipped):
                    (source / name).write_bytes(content)
                    (target / name).write_bytes(content)

    # ---- the programs

    def hotfix_command(self, payload):
        return [payload.folder / "qxhotfix.exe", "/s"]

    def floor_command(self, payload, program="copy_floor", check=False):
        command = [self.tools / f"{program}.exe"] + (["--check"] if check else [])
        for shipped, install in COPY_PAIRS:
            command += [payload.folder / "modules" / shipped, install]
        return command

    def remove_logs(self, payload):
        for log in self.prefix.unix_path(payload.folder).glob("qx913hotfix2_*.log"):
            log.unlink()

    def run(self, mode, payload, command):
        """One run through bench_runner: (number, exit code)."""
        words = self.prefix.wine(self.tools / "bench_runner.exe", mode, *command).split()
        self.remove_logs(payload)
        if len(words) < 4 or words[-2] != "exit":
            raise BenchError(f"bench_runner {mode} {command[0]}: unexpected output {' '.join(words)!r}")
        if words[-1] != "0":
            raise BenchError(f"{command[0]} exited with {words[-1]}")
        return float(words[1])

    def check_hotfix_applies(self, payload):
        """A first, untimed run, also proving that every file is copied."""
        self.prefix.wine(*self.hotfix_command(payload))
        logs = list(self.prefix.unix_path(payload.folder).glob("qx913hotfix2_*.log"))
        text = b"".join(log.read_bytes() for log in logs).decode("utf-8-sig")
        self.remove_logs(payload)
        copied = text.count(", result , 1, ")
        if copied != payload.count or "[info]: Hotfix is successful." not in text:
            raise BenchError(f"{payload.label}: the hotfix copied {copied} files, not {payload.count}")

    def commands(self, payload):
        """The programs timed, by name."""
        return {"copy_floor": self.floor_command(payload),
                "copy_floor_dlls": self.floor_command(payload, "copy_floor_dlls"),
                "copy_floor_check": self.floor_command(payload, check=True),
                "copy_floor_dlls_check": self.floor_command(payload, "copy_floor_dlls", check=True),
                "qxhotfix": self.hotfix_command(payload)}

    def warm_up(self):
        for payload in PAYLOADS:
            self.check_hotfix_applies(payload)
            for command in self.commands(payload).values():
                self.prefix.wine(*command)

    def measure(self, mode, repeat, progress):
        """Samples per payload and program, run in an order that turns each
        round against drift."""
        samples = {payload.count: {name: [] for name in PROGRAMS} for payload in PAYLOADS}
        for round_index in range(repeat):
            for payload in PAYLOADS:
                runs = list(self.commands(payload).items())
                shift = round_index % len(runs)
                for name, command in runs[shift:] + runs[:shift]:
                    samples[payload.count][name].append(self.run(mode, payload, command))
            progress(f"{mode} round {round_index + 1}/{repeat}")
        return samples

    def log_costs(self):
        words = self.prefix.wine(self.tools / "log_bench.exe").split()
        return {key: float(value) for key, value in zip(words[::2], words[1::2])}


# ---- report


PROGRAMS = ("copy_floor", "copy_floor_dlls", "copy_floor_check", "copy_floor_dlls_check", "qxhotfix")
FLOORS = PROGRAMS[:-1]


def machine(wine):
    model = "unknown CPU"
    with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    version = subprocess.run([wine, "--version"], capture_output=True, text=True).stdout.strip()
    return f"{os.cpu_count()} cores, {model}, {version}, Linux {platform.release()}"


def load():
    return "load average " + ", ".join(f"{value:.2f}" for value in os.getloadavg())


def verdict(met):
    return "met" if met else "MISSED"


def spread(values):
    return f"{min(values):.0f}-{max(values):.0f}"


def report(times, memory, log, repeat, memory_repeat):
    print()
    print(f"Wall time of the whole process, median of {repeat} (min-max), ms:")
    print(f"  {'payload':<29} " + " ".join(f"{name:>21}" for name in PROGRAMS))
    medians = {}
    for payload in PAYLOADS:
        samples = times[payload.count]
        medians[payload.count] = {name: statistics.median(samples[name]) for name in PROGRAMS}
        print(f"  {payload.label:<29} " + " ".join(
            f"{medians[payload.count][name]:9.0f} ({spread(samples[name]):>9})" for name in PROGRAMS))
    print(f"  {'qxhotfix against:':<29} " + " ".join(f"{name:>21}" for name in FLOORS))
    for payload in PAYLOADS:
        row = medians[payload.count]
        print(f"  {payload.label:<29} " + " ".join(f"{row['qxhotfix'] / row[name]:21.3f}" for name in FLOORS))
    small, large = medians[2000], medians[20000]
    # Milliseconds over 18,000 more files, as microseconds per file.
    print(f"  each file more, from 2,000 to 20,000: copy_floor {(large['copy_floor'] - small['copy_floor']) / 18:.0f} us, "
          f"qxhotfix {(large['qxhotfix'] - small['qxhotfix']) / 18:.0f} us")
    # The first pass alone: what checking every file before the copies costs.
    for payload in PAYLOADS[1:]:
        row = medians[payload.count]
        cost = (row["copy_floor_check"] - row["copy_floor"]) * 1000 / payload.count
        print(f"  the check, {payload.label}: {cost:.0f} us per file (copy_floor_check - copy_floor)")

    print(f"Peak private memory, median of {memory_repeat}, KiB:")
    print(f"  {'payload':<29} {'copy_floor':>10} {'qxhotfix':>10} {'above':>10}")
    above = {}
    for payload in PAYLOADS:
        floor, hotfix = (statistics.median(memory[payload.count][name]) for name in ("copy_floor", "qxhotfix"))
        above[payload.count] = (hotfix - floor) / 1024
        print(f"  {payload.label:<29} {floor:10.0f} {hotfix:10.0f} {hotfix - floor:10.0f}")

    print("Diagnostic log, in process (log_bench, 200,000 entries):")
    print(f"  one ~100-character entry: {log['entry_ns_nearly_empty'] / 1000:.2f} us with the buffer nearly empty, "
          f"{log['entry_ns_nearly_full'] / 1000:.2f} us nearly full")
    print(f"  {log['entries_per_second']:,.0f} entries per second, file writes included")

    print("Targets:")
    for count, (floor, target) in TARGET_RATIOS.items():
        ratio = medians[count]["qxhotfix"] / medians[count][floor]
        print(f"  qxhotfix/{floor}, {count:,} files: {ratio:.3f} <= {target}  {verdict(ratio <= target)}")
    log_ratio = log["full_empty_ratio"]
    print(f"  log entry, nearly full/nearly empty: {log_ratio:.3f} <= {TARGET_LOG_RATIO}"
          f"  {verdict(log_ratio <= TARGET_LOG_RATIO)}")
    worst = max(above.values())
    print(f"  peak private memory above copy_floor: {worst:.2f} MiB <= {TARGET_MEMORY_MIB:.0f} MiB"
          f"  {verdict(worst <= TARGET_MEMORY_MIB)}")


def work_root(requested):
    if requested:
        return Path(requested)
    shm = Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK) and shutil.disk_usage(shm).free > TMPFS_ROOM:
        return shm
    return Path(tempfile.gettempdir())


def pin(cpu):
    """Keeps this process and every Wine process it starts, the wineserver
    included, on one CPU; returns what the runs use."""
    if cpu == "all":
        return "all CPUs"
    chosen = int(cpu) if cpu else max(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {chosen})
    return f"CPU {chosen} only"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True, type=Path, help="a configured and built build folder")
    parser.add_argument("--wine", default="wine", help="the Wine loader for that build's programs")
    parser.add_argument("--repeat", type=int, default=21, help="timed runs of each program per payload")
    parser.add_argument("--memory-repeat", type=int, default=3, help="memory runs of each program per payload")
    parser.add_argument("--work", help="where to make the prefix (default: /dev/shm or the temp folder)")
    parser.add_argument("--keep", action="store_true", help="keep the prefix for a look afterwards")
    parser.add_argument("--cpu", help="the CPU to run on, or 'all' (default: the last one)")
    options = parser.parse_args()

    def progress(text):
        print(f"== {text} ({load()})", flush=True)

    root = Path(tempfile.mkdtemp(prefix="qxhotfix-bench.", dir=work_root(options.work)))
    prefix = Prefix(root, options.wine)
    started = time.monotonic()
    try:
        print(f"Machine: {machine(options.wine)}; running on {pin(options.cpu)}")
        print(f"Timed: {options.build_dir / 'qxhotfix.exe'}, through {options.wine}")
        progress(f"making a fresh 64-bit Wine prefix in {root}")
        prefix.boot()
        bench = Bench(prefix, options.build_dir.resolve())
        progress("laying out the registry, the payloads and the installed files")
        bench.set_up()
        progress("first runs: checking that every file is copied")
        bench.warm_up()
        times = bench.measure("time", options.repeat, progress)
        memory = bench.measure("memory", options.memory_repeat, progress)
        progress("log_bench")
        log = bench.log_costs()
        progress(f"done in {time.monotonic() - started:.0f} s")
        report(times, memory, log, options.repeat, options.memory_repeat)
    except BenchError as error:
        print(f"bench: {error}", file=sys.stderr)
        return 1
    finally:
        prefix.close()
        if options.keep:
            print(f"Prefix kept: {prefix.path}")
        else:
            shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
