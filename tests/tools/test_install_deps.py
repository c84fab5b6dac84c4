"""tools/install-deps.sh against stand-ins for dpkg, dpkg-query and apt-get on
PATH that fail as a Debian mirror in mid-sync makes them fail.

Argument: the repository root.
"""

import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(sys.argv.pop(1)) if len(sys.argv) > 1 else Path(__file__).resolve().parents[2]

# Each stand-in records its arguments, one call a line, and answers as the
# case's environment says.
STAND_INS = {
    "dpkg-query": '[ "$QX_MISSING" = none ] && echo "install ok installed"; exit 0',
    "dpkg": 'echo "dpkg $*" >> "$QX_CALLS"; [ "$1" = --print-foreign-architectures ] && echo i386; exit 0',
    "apt-get": """echo "apt-get $*" >> "$QX_CALLS"
case "$1" in
update)
    [ "$QX_UPDATE" = ok ] && exit 0
    echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100;;
esac
case " $* " in
*" -t "*) [ "$QX_RELEASE_INSTALL" = ok ] && exit 0;;
*) [ "$QX_INSTALL" = ok ] && exit 0;;
esac
echo " wine32:i386 : Depends: libssl3:i386 but it is not going to be installed"
echo "E: Unable to correct problems, you have held broken packages." >&2
exit 100
""",
}


class InstallDepsTest(unittest.TestCase):
    def run_script(self, missing="some", update="fail", install="fail", release_install="fail"):
        work = Path(tempfile.mkdtemp(prefix="install-deps "))
        self.addCleanup(subprocess.run, ["rm", "-rf", str(work)])
        for name, body in STAND_INS.items():
            (work / name).write_text("#!/bin/bash\n" + body)
            (work / name).chmod(0o755)
        calls = work / "calls"
        environment = dict(os.environ, PATH=f"{work}:{os.environ['PATH']}", QX_CALLS=str(calls),
                           QX_MISSING=missing, QX_UPDATE=update, QX_INSTALL=install,
                           QX_RELEASE_INSTALL=release_install)
        done = subprocess.run(["bash", str(ROOT / "tools/install-deps.sh")], env=environment,
                              capture_output=True, text=True, timeout=60)
        installs = [line for line in calls.read_text().splitlines() if line.startswith("apt-get install")] \
            if calls.exists() else []
        return done, calls.read_text() if calls.exists() else "", installs

    def test_nothing_missing_asks_no_package_tool(self):
        done, calls, _ = self.run_script(missing="none")
        self.assertEqual((done.returncode, calls, done.stdout, done.stderr), (0, "", "", ""))

    def test_mirror_in_mid_sync(self):
        # (update, install, install from the release) -> exit code, installs tried
        cases = {
            "update fails, install works": (("fail", "ok", "fail"), 0, 1),
            "update and install fail, the release's own packages work": (("fail", "fail", "ok"), 0, 2),
            "update works, install needs the release's own packages": (("ok", "fail", "ok"), 0, 2),
            "every install fails": (("fail", "fail", "fail"), 1, 2),
        }
        for name, ((update, install, release_install), code, tries) in cases.items():
            with self.subTest(name):
                done, _, installs = self.run_script(update=update, install=install, release_install=release_install)
                self.assertEqual(done.returncode, code, done.stderr)
                self.assertEqual(len(installs), tries, installs)
                if tries == 2:
                    self.assertIn(" -t ", installs[1])
                    self.assertNotIn(" -t ", installs[0])
                self.assertEqual("apt-get update failed for some package indexes" in done.stderr, update == "fail")

    def test_giving_up_names_what_failed_and_says_to_try_later(self):
        done, _, _ = self.run_script()
        self.assertEqual(done.returncode, 1)
        self.assertIn("binary-i386/Packages.xz", done.stderr)
        self.assertIn("wine32:i386 : Depends: libssl3:i386", done.stderr)
        self.assertIn("running this again later usually helps", done.stderr)


if __name__ == "__main__":
    unittest.main()
