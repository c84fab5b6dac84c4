"""Two builds of the same tree, copied to two different paths and built in
clean folders, give byte-identical qxhotfix.exe and zip. With no certificate
given, the exe is shipped unsigned and the build says so. The sample payload
they package is refused until the build is told that it is for a
demonstration.

Usage: test_reproducible.py SOURCE_DIR WORK_DIR [unittest options]
"""

import os
import sys
import unittest
import zipfile

import build_tree
from pe_image import DIR_SECURITY, PeImage
from test_exe_file import ALLOWED_DLLS

SOURCE = WORK = None


def first_difference(a, b):
    if len(a) != len(b):
        return f"sizes {len(a)} and {len(b)}"
    at = next(i for i in range(len(a)) if a[i] != b[i])
    return f"first difference at offset {at:#x}"


class ReproducibleTest(unittest.TestCase):
    def test_two_builds_give_the_same_bytes(self):
        build_tree.clean_folder(WORK)
        # Different lengths too, so that no path can hide in padding.
        trees = [os.path.join(WORK, "a", "src"), os.path.join(WORK, "second", "qxhotfix-copy")]
        outputs, files = [], []
        for tree in trees:
            build_tree.copy_source(SOURCE, tree)
            build = os.path.join(tree, "build")
            build_tree.configure(tree, build, build_tree.SAMPLE_PAYLOAD)
            outputs.append(build_tree.build_package(build))
            found = {}
            for name in ("qxhotfix.exe", "qxlogsummary.exe", "run-hotfix.exe", build_tree.PACKAGE_ZIP):
                with open(os.path.join(build, name), "rb") as f:
                    found[name] = f.read()
            files.append(found)

        for name in files[0]:
            with self.subTest(name):
                a, b = files[0][name], files[1][name]
                if a != b:
                    self.fail(f"{name} differs: {first_difference(a, b)}")

        exe = files[0]["qxhotfix.exe"]
        self.assertIn("Not signing qxhotfix.exe: no certificate given", outputs[0])
        self.assertIn("qxhotfix.exe: NOT signed", outputs[0])
        self.assertIn("payload: the SAMPLE payload, for demonstrations only", outputs[0])
        with zipfile.ZipFile(os.path.join(trees[0], "build", build_tree.PACKAGE_ZIP)) as z:
            self.assertEqual(z.read("qxhotfix.exe"), exe, "the unsigned exe is packaged as built")
        pe = PeImage(exe)
        self.assertEqual(pe.timestamp, 0)
        self.assertEqual(pe.directory(DIR_SECURITY), (0, 0), "no signature")
        self.assertLessEqual({n.lower() for n in pe.imported_dlls()}, ALLOWED_DLLS)
        self.check_sample_payload_refused(trees[0], os.path.join(trees[0], "build"))
        build_tree.clean_folder(WORK)  # kept only when the test fails

    def check_sample_payload_refused(self, tree, build):
        zip_path = os.path.join(build, build_tree.PACKAGE_ZIP)
        sample = os.path.join(tree, "demo", "payload")
        # (payload folder configured, text of the refusal)
        for payload, refusal in [
                ("", "no payload folder given: configure with -DQX_PAYLOAD_DIR="),
                (sample, f"{sample} is the sample payload")]:
            with self.subTest(payload=payload):
                build_tree.configure(tree, build, "-DQX_PAYLOAD_DIR=", build_tree.SAMPLE_PAYLOAD)
                build_tree.build_package(build)
                build_tree.configure(tree, build, f"-DQX_PAYLOAD_DIR={payload}",
                                     "-DQX_ALLOW_SAMPLE_PAYLOAD=OFF")
                with self.assertRaises(AssertionError) as failed:
                    build_tree.build_package(build)
                self.assertIn(refusal, str(failed.exception))
                self.assertIn("-DQX_ALLOW_SAMPLE_PAYLOAD=ON", str(failed.exception))
                self.assertFalse(os.path.exists(zip_path), "the zip built before is gone")


if __name__ == "__main__":
    SOURCE, WORK = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
