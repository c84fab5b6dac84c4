"""Configures and builds the project in a build folder of a test's own, for
the tests that check what the build itself produces."""

import os
import shutil
import subprocess

PACKAGE_ZIP = "qxhotfix-9.1.3.6.zip"
SIGNING_VARIABLES = ("QX_SIGN_CERT", "QX_SIGN_KEY", "QX_SIGN_PASSWORD_FILE",
                     "QX_SIGN_TIMESTAMP_URL", "QX_SIGN_TSA_CERT", "QX_SIGN_TSA_KEY")
# The tests' builds package the sample payload, which needs saying so.
SAMPLE_PAYLOAD = "-DQX_ALLOW_SAMPLE_PAYLOAD=ON"


def clean_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def environment(**extra):
    """The caller's environment without any signing settings, plus extra."""
    env = {k: v for k, v in os.environ.items() if k not in SIGNING_VARIABLES}
    env.update(extra)
    return env


def run(command, env=None, check=True):
    result = subprocess.run(command, env=env or environment(), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if check and result.returncode != 0:
        raise AssertionError(f"{' '.join(command)} failed ({result.returncode}):\n"
                             f"{result.stdout}")
    return result


def configure(source, build, *options, env=None, check=True):
    return run(["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release", *options],
               env=env, check=check)


def build_package(build, env=None):
    """Builds only the exe and the zip; returns the build's output."""
    return run(["cmake", "--build", build, "--target", "package_zip",
                "-j", str(os.cpu_count() or 2)], env=env).stdout


def _git_listing(source):
    """The files git would check in, or None where the tree is no checkout
    or git is not installed (a tree unpacked from a source archive)."""
    try:
        listing = subprocess.run(
            ["git", "-C", source, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    except OSError:
        return None
    return listing.stdout.decode().split("\0") if listing.returncode == 0 else None


def copy_source(source, destination):
    """Copies the checked-out tree as it stands, without build folders or .git."""
    names = _git_listing(source)
    if names is None:
        shutil.copytree(source, destination,
                        ignore=shutil.ignore_patterns(".git", "build", "build-*"))
        return
    for name in names:
        path = os.path.join(source, name)
        if name and os.path.isfile(path):  # tracked files deleted in the tree are left out
            target = os.path.join(destination, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(path, target)
