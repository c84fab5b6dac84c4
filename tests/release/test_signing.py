"""Signing through the build: with a throwaway self-signed certificate given in
cache variables, and then in environment variables with a passphrase-protected
key, the packaged exe carries a signature that osslsigncode accepts; the two
give the same bytes; and removing the signature gives back the exe as built.
A timestamp from a throwaway local timestamp authority keeps the signature
trusted after the certificate expires; a timestamp server that does not
answer stops the packaging. Settings that cannot sign stop the configuration.

Usage: test_signing.py SOURCE_DIR WORK_DIR [unittest options]
"""

import calendar
import hashlib
import os
import re
import socket
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

    def verify(self, exe, *options):
        # Self-signed: the certificate is its own certification authority.
        return self.osslsigncode("verify", "-CAfile", self.cert, *options, "-in", exe)

    def write(self, name, data):
        path = os.path.join(WORK, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_signed_package(self):
        env = build_tree.environment(SOURCE_DATE_EPOCH=str(self.epoch))
        build_tree.configure(SOURCE, self.build, build_tree.SAMPLE_PAYLOAD,
                             f"-DQX_SIGN_CERT={self.cert}", f"-DQX_SIGN_KEY={self.key}", env=env)
        output = build_tree.build_package(self.build, env=env)
        self.assertIn(f"Signing qxhotfix.exe, qxlogsummary.exe and run-hotfix.exe with {self.cert}, not timestamped",
                      output)
        for program in ("qxhotfix.exe", "qxlogsummary.exe", "run-hotfix.exe"):
            self.assertIn(f"{program}: signed", output)

        exe, sums, zip_bytes = self.packaged()
        self.assertNotEqual(PeImage(exe).directory(DIR_SECURITY)[1], 0)
        self.assertIn(f"{hashlib.sha256(exe).hexdigest()}  qxhotfix.exe\n", sums)
        signed = self.write("signed.exe", exe)
        verify = self.verify(signed)
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

    def test_timestamped_package(self):
        tsa_cert, tsa_key = (os.path.join(WORK, name) for name in ("tsa.pem", "tsa-key.pem"))
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=qxhotfix throwaway test timestamp authority",
                "-addext", "keyUsage=critical,digitalSignature",
                "-addext", "extendedKeyUsage=critical,timeStamping",
                "-keyout", tsa_key, "-out", tsa_cert)
        # The build's time is a commit's, a day before the certificates were
        # made; the timestamp must still give the time of signing.
        self.epoch -= 86400
        self.zip_time = time.gmtime(self.epoch)[:6]
        env = build_tree.environment(SOURCE_DATE_EPOCH=str(self.epoch))
        signing = (build_tree.SAMPLE_PAYLOAD, f"-DQX_SIGN_CERT={self.cert}",
                   f"-DQX_SIGN_KEY={self.key}")
        zip_path = os.path.join(self.build, build_tree.PACKAGE_ZIP)
        build_tree.configure(SOURCE, self.build, *signing, env=env)
        build_tree.build_package(self.build, env=env)
        untimestamped = self.write("untimestamped.exe", self.packaged()[0])

        # A server that refuses the connection: no exe, no zip, not even the last one.
        with socket.socket() as closed_port:
            closed_port.bind(("127.0.0.1", 0))
            url = f"http://127.0.0.1:{closed_port.getsockname()[1]}/"
            build_tree.configure(SOURCE, self.build, *signing,
                                 f"-DQX_SIGN_TIMESTAMP_URL={url}", env=env)
            with self.assertRaises(AssertionError) as failed:
                build_tree.build_package(self.build, env=env)
        self.assertIn(f"timestamped by {url}", str(failed.exception))
        self.assertFalse(os.path.exists(zip_path), "no zip is left from the build before")

        help_text = self.osslsigncode("sign", "--help").stdout
        if "-TSA-certs" not in help_text:
            self.skipTest("this osslsigncode has no local timestamp authority (-TSA-certs, "
                          "version 2.7 or later): the timestamp was not checked")
        build_tree.configure(SOURCE, self.build, *signing, "-DQX_SIGN_TIMESTAMP_URL=",
                             f"-DQX_SIGN_TSA_CERT={tsa_cert}", f"-DQX_SIGN_TSA_KEY={tsa_key}",
                             env=env)
        before = int(time.time())
        output = build_tree.build_package(self.build, env=env)
        after = int(time.time())
        self.assertIn(f"timestamped by the local authority {tsa_cert}", output)
        exe, sums, _ = self.packaged()
        self.assertIn(f"{hashlib.sha256(exe).hexdigest()}  qxhotfix.exe\n", sums)
        timestamped = self.write("timestamped.exe", exe)
        verify = self.verify(timestamped, "-TSA-CAfile", tsa_cert)
        self.assertEqual(verify.returncode, 0, verify.stdout)
        self.assertIn("Timestamp Server Signature verification: ok", verify.stdout)
        stamped = re.search(r"Timestamp time: (\w+ +\d+ [\d:]+ \d+) GMT", verify.stdout)
        self.assertIsNotNone(stamped, verify.stdout)
        stamped = calendar.timegm(time.strptime(stamped.group(1), "%b %d %H:%M:%S %Y"))
        self.assertTrue(before <= stamped <= after, (before, stamped, after))
        unsigned = os.path.join(WORK, "unsigned.exe")
        self.assertEqual(self.osslsigncode("remove-signature", "-in", timestamped,
                                           "-out", unsigned).returncode, 0)
        with open(unsigned, "rb") as a, open(os.path.join(self.build, "qxhotfix.exe"), "rb") as b:
            self.assertTrue(a.read() == b.read(), "the timestamp changes nothing but the signature")

        # Three days on, the certificate has expired: only the timestamp keeps
        # the signature trusted.
        later = str(self.epoch + 3 * 86400)
        verify = self.verify(timestamped, "-TSA-CAfile", tsa_cert, "-time", later)
        self.assertEqual(verify.returncode, 0, verify.stdout)
        self.assertIn("Signature verification: ok", verify.stdout)
        verify = self.verify(untimestamped, "-time", later)
        self.assertNotEqual(verify.returncode, 0, verify.stdout)
        self.assertIn("certificate has expired", verify.stdout)

    def test_settings_that_cannot_sign_stop_the_configuration(self):
        tsa = os.path.join(WORK, "tsa.pem")
        with open(tsa, "w") as f:
            f.write("present, and never read\n")
        signer = {"QX_SIGN_CERT": self.cert, "QX_SIGN_KEY": self.key}
        # (case, cache variables, environment variables, message)
        cases = [
            ("certificate without its key", {"QX_SIGN_CERT": self.cert}, {},
             "Signing needs both QX_SIGN_CERT and QX_SIGN_KEY"),
            ("passphrase file not named by an absolute path", signer,
             {"QX_SIGN_PASSWORD_FILE": "password.txt"},
             "password.txt is not an absolute path to an existing file"),
            ("local timestamp authority without its key", signer | {"QX_SIGN_TSA_CERT": tsa}, {},
             "needs both QX_SIGN_TSA_CERT and QX_SIGN_TSA_KEY"),
            ("timestamp server and local authority at once",
             signer | {"QX_SIGN_TSA_CERT": tsa, "QX_SIGN_TSA_KEY": tsa,
                       "QX_SIGN_TIMESTAMP_URL": "http://tsa.invalid/"}, {},
             "QX_SIGN_TIMESTAMP_URL or with QX_SIGN_TSA_CERT, not both"),
        ]
        for case, cache, environment, message in cases:
            with self.subTest(case):
                # Every variable is set, so that no case inherits the cache of the one before.
                options = [f"-D{name}={cache.get(name, '')}"
                           for name in build_tree.SIGNING_VARIABLES]
                result = build_tree.configure(SOURCE, self.build, *options, check=False,
                                              env=build_tree.environment(**environment))
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, " ".join(result.stdout.split()))


if __name__ == "__main__":
    SOURCE, WORK = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
