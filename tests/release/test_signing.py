"""Signing through the build: with a throwaway self-signed certificate given in
cache variables, and then in environment variables with a passphrase-protected
key, the packaged exe carries a signature that osslsigncode accepts; the two
give the same bytes; and removing the signature gives back the exe as built.

Usage: test_signing.py SOURCE_DIR WORK_DIR [unittest options]
"""

import hashlib
import os
import subprocess
import sys
import time
import unittest
import zipfile

import build_tree
from pe_image import DIR_SECURITY, PeImage

SOURCE = WORK = None
MONTHS = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


class SigningTest(unittest.TestCase):
    def setUp(self):
        build_tree.clean_folder(WORK)
        self.cert, self.key, self.locked_key, self.password = (
            os.path.join(WORK, name)
            for name in ("cert.pem", "key.pem", "key-locked.pem", "password.txt"))
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=qxhotfix throwaway test signer",
                "-addext", "keyUsage=critical,digitalSignature",
                "-addext", "extendedKeyUsage=codeSigning",
                "-keyout", self.key, "-out", self.cert)
        with open(self.password, "w") as f:
            f.write("not a secret\n")
        openssl("pkey", "-in", self.key, "-aes256", "-passout", f"file:{self.password}",
                "-out", self.locked_key)
        self.build = os.path.join(WORK, "build")
        # The build time, as a release build sets it: within the certificate's
        # validity, and even, since zip times have 2-second steps.
        self.epoch = (int(time.time()) + 2) & ~1
        t = time.gmtime(self.epoch)
        self.zip_time = t[:6]
        self.signing_time = (f"Signing time: {MONTHS[t.tm_mon - 1]} {t.tm_mday:2d} "
                             f"{t.tm_hour:02d}:{t.tm_min:02d}:{t.tm_sec:02d} {t.tm_year} GMT")

    def packaged(self):
        """(signed exe, SHA256SUMS text, whole zip) as packaged."""
        path = os.path.join(self.build, build_tree.PACKAGE_ZIP)
        with zipfile.ZipFile(path) as z:
            exe, sums = z.read("qxhotfix.exe"), z.read("SHA256SUMS").decode()
            self.assertEqual({i.date_time for i in z.infolist()}, {self.zip_time})
        with open(path, "rb") as f:
            return exe, sums, f.read()

    def osslsigncode(self, *args):
        return subprocess.run(["osslsigncode", *args], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)

    def test_signed_package(self):
        env = build_tree.environment(SOURCE_DATE_EPOCH=str(self.epoch))
        build_tree.configure(SOURCE, self.build, build_tree.SAMPLE_PAYLOAD,
                             f"-DQX_SIGN_CERT={self.cert}", f"-DQX_SIGN_KEY={self.key}", env=env)
        output = build_tree.build_package(self.build, env=env)
        self.assertIn(f"Signing qxhotfix.exe with {self.cert}", output)
        self.assertIn("qxhotfix.exe: signed", output)

        exe, sums, zip_bytes = self.packaged()
        self.assertNotEqual(PeImage(exe).directory(DIR_SECURITY)[1], 0)
        self.assertIn(f"{hashlib.sha256(exe).hexdigest()}  qxhotfix.exe\n", sums)
        signed = os.path.join(WORK, "signed.exe")
        with open(signed, "wb") as f:
            f.write(exe)
        # Self-signed: the certificate is its own certification authority.
        verify = self.osslsigncode("verify", "-CAfile", self.cert, "-in", signed)
        self.assertEqual(verify.returncode, 0, verify.stdout)
        self.assertIn("Signature verification: ok", verify.stdout)
        self.assertIn(self.signing_time, verify.stdout)

        # The signature is all that signing added.
        unsigned = os.path.join(WORK, "unsigned.exe")
        self.assertEqual(self.osslsigncode("remove-signature", "-in", signed,
                                           "-out", unsigned).returncode, 0)
        with open(unsigned, "rb") as a, open(os.path.join(self.build, "qxhotfix.exe"), "rb") as b:
            self.assertTrue(a.read() == b.read(), "the signed exe is the built exe plus a signature")

        # The same certificate from the environment, its key locked: the same bytes.
        env = build_tree.environment(QX_SIGN_CERT=self.cert, QX_SIGN_KEY=self.locked_key,
                                     QX_SIGN_PASSWORD_FILE=self.password,
                                     SOURCE_DATE_EPOCH=str(self.epoch))
        build_tree.configure(SOURCE, self.build, "-DQX_SIGN_CERT=", "-DQX_SIGN_KEY=", env=env)
        output = build_tree.build_package(self.build, env=env)
        self.assertIn("Signing qxhotfix.exe", output)
        self.assertTrue(self.packaged()[2] == zip_bytes, "signing again gives the same zip")

        # Back to no certificate: the exe is packaged unsigned again.
        env = build_tree.environment(SOURCE_DATE_EPOCH=str(self.epoch))
        build_tree.configure(SOURCE, self.build, "-DQX_SIGN_CERT=", "-DQX_SIGN_KEY=", env=env)
        output = build_tree.build_package(self.build, env=env)
        self.assertIn("Not signing qxhotfix.exe", output)
        self.assertEqual(PeImage(self.packaged()[0]).directory(DIR_SECURITY), (0, 0))

    def test_certificate_without_key_stops_the_configuration(self):
        result = build_tree.configure(SOURCE, self.build, f"-DQX_SIGN_CERT={self.cert}",
                                      check=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("Signing needs both QX_SIGN_CERT and QX_SIGN_KEY", result.stdout)


if __name__ == "__main__":
    SOURCE, WORK = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
