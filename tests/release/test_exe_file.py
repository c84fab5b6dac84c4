"""Checks the built qxhotfix.exe, qxlogsummary.exe and run-hotfix.exe from their bytes,
without running them: what Windows reads before a program starts (machine,
subsystem, imports, manifest) and what Explorer and administrators see
(version, icon).

Usage: test_exe_file.py EXE SUMMARY_EXE LAUNCHER_EXE [unittest options]
"""

import struct
import sys
import unittest
import xml.etree.ElementTree as ET

from pe_image import (DIR_DELAY_IMPORT, RT_GROUP_ICON, RT_ICON, RT_MANIFEST, RT_VERSION,
                      PeImage, VersionBlock)

EXE = SUMMARY_EXE = LAUNCHER_EXE = None
JAPANESE = 0x0411
# shell32 is not among them: it is loaded only to show the log, so that a
# silent run does not pay for it.
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "ole32.dll", "msvcrt.dll"}
# The log summary reads files and writes text: nothing but the basics.
SUMMARY_ALLOWED_DLLS = {"kernel32.dll", "msvcrt.dll"}
# The launcher also sets access lists and computes checksums (advapi32), and
# reads the product's registry values with the exe's own code (ole32).
LAUNCHER_ALLOWED_DLLS = {"kernel32.dll", "advapi32.dll", "ole32.dll", "msvcrt.dll"}

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
TRUST_NAMESPACES = {"urn:schemas-microsoft-com:asm.v2", ASM_V3}
WINDOWS_SETTINGS_2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"

# Every element of the manifest: path of local names, accepted namespaces,
# attributes and text. Windows ignores an element in the wrong namespace.
EXPECTED_MANIFEST = [
    ("assembly", {ASM_V1}, {"manifestVersion": "1.0"}, ""),
    ("assembly/trustInfo", TRUST_NAMESPACES, {}, ""),
    ("assembly/trustInfo/security", TRUST_NAMESPACES, {}, ""),
    ("assembly/trustInfo/security/requestedPrivileges", TRUST_NAMESPACES, {}, ""),
    ("assembly/trustInfo/security/requestedPrivileges/requestedExecutionLevel",
     TRUST_NAMESPACES, {"level": "requireAdministrator", "uiAccess": "false"}, ""),
    ("assembly/application", {ASM_V3}, {}, ""),
    ("assembly/application/windowsSettings", {ASM_V3}, {}, ""),
    ("assembly/application/windowsSettings/dpiAware", {WINDOWS_SETTINGS_2005}, {}, "true"),
]


def manifest_elements(text):
    """[(path, namespace, attributes, text)] in document order."""
    found = []

    def walk(element, parent):
        namespace, _, local = element.tag[1:].partition("}")
        path = f"{parent}/{local}" if parent else local
        found.append((path, namespace, dict(element.attrib), (element.text or "").strip()))
        for child in element:
            walk(child, path)

    walk(ET.fromstring(text), "")
    return found


def execution_level(manifest):
    """The requestedExecutionLevel a manifest asks for."""
    for element in ET.fromstring(manifest).iter():
        if element.tag.endswith("}requestedExecutionLevel"):
            return element.attrib.get("level")
    return None


class ShippedExesTest(unittest.TestCase):
    """What every exe in the zip must be: a 32-bit console program for
    Vista that needs no run-time DLL beside it."""

    def shipped(self):
        # exe, DLLs it may import, execution level its manifest asks for
        return [(EXE, ALLOWED_DLLS, "requireAdministrator"),
                (SUMMARY_EXE, SUMMARY_ALLOWED_DLLS, "asInvoker"),
                (LAUNCHER_EXE, LAUNCHER_ALLOWED_DLLS, "requireAdministrator")]

    def test_headers_and_imports(self):
        for path, allowed, level in self.shipped():
            with self.subTest(path), open(path, "rb") as f:
                pe = PeImage(f.read())
                self.assertEqual(pe.machine, 0x14C, "i386")
                self.assertEqual(pe.magic, 0x10B, "PE32")
                self.assertEqual(pe.subsystem, 3, "console subsystem")
                self.assertFalse(pe.characteristics & 0x2000, "an exe, not a DLL")
                # Vista is Windows 6.0; a higher version here makes it refuse to start.
                self.assertLessEqual(pe.os_version, (6, 0))
                self.assertLessEqual(pe.subsystem_version, (6, 0))
                self.assertEqual(pe.timestamp, 0, "no link time stamp, for reproducible builds")
                # Static: no libstdc++, libgcc or libwinpthread DLL to ship.
                dlls = {name.lower() for name in pe.imported_dlls()}
                self.assertIn("kernel32.dll", dlls)
                self.assertLessEqual(dlls, allowed, f"unexpected: {sorted(dlls - allowed)}")
                self.assertEqual(pe.directory(DIR_DELAY_IMPORT), (0, 0), "no delay-loaded DLLs")
                manifests = [data for (t, name, _), data in pe.resources().items()
                             if t == RT_MANIFEST and name == 1]
                self.assertEqual(len(manifests), 1)
                self.assertEqual(execution_level(manifests[0]), level)


class ExeFileTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE, "rb") as f:
            cls.pe = PeImage(f.read())
        cls.resources = cls.pe.resources()

    def resources_of(self, rtype):
        return {(name, lang): data for (t, name, lang), data in self.resources.items()
                if t == rtype}

    def test_manifest(self):
        manifests = self.resources_of(RT_MANIFEST)
        # Only the manifest with id 1 is the one the loader applies to an exe.
        self.assertEqual([name for name, _ in manifests], [1])
        text = next(iter(manifests.values()))
        elements = manifest_elements(text)
        self.assertEqual([e[0] for e in elements], [e[0] for e in EXPECTED_MANIFEST],
                         "the manifest declares exactly these elements")
        for (path, namespace, attributes, value), (_, namespaces, want_attributes, want) in zip(
                elements, EXPECTED_MANIFEST):
            with self.subTest(path):
                self.assertIn(namespace, namespaces)
                self.assertEqual(attributes, want_attributes)
                self.assertEqual(value, want)

    def test_version_resource(self):
        # exe, its description and file name
        cases = [(EXE, "Quorvex Hotfix", "qxhotfix.exe"),
                 (LAUNCHER_EXE, "Quorvex Hotfix launcher for deployment tools", "run-hotfix.exe")]
        for path, description, name in cases:
            with self.subTest(name), open(path, "rb") as f:
                self.check_version_resource(PeImage(f.read()).resources(), description, name)

    def check_version_resource(self, resources, description, name):
        versions = {(n, lang): data for (t, n, lang), data in resources.items() if t == RT_VERSION}
        self.assertEqual(list(versions), [(1, JAPANESE)])
        info = VersionBlock(next(iter(versions.values())))
        self.assertEqual(info.key, "VS_VERSION_INFO")
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from(
            "<6I", info.value)
        self.assertEqual(signature, 0xFEEF04BD)

        def dotted(ms, ls):
            return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"

        self.assertEqual(dotted(file_ms, file_ls), "9.1.3.6")
        self.assertEqual(dotted(product_ms, product_ls), "9.1.3.0")

        tables = info.child("StringFileInfo").children
        self.assertEqual([t.key for t in tables], ["041104B0"], "one Japanese UTF-16 table")
        strings = {s.key: s.text() for s in tables[0].children}
        expected = {
            "FileDescription": description,
            "ProductName": "Quorvex",
            "InternalName": name,
            "OriginalFilename": name,
            "FileVersion": "9.1.3.6",
            "ProductVersion": "9.1.3.0",
        }
        self.assertEqual({k: strings.get(k) for k in expected}, expected)

        translation = info.child("VarFileInfo").child("Translation")
        self.assertEqual(struct.unpack("<HH", translation.value), (JAPANESE, 1200))

    def test_icon_group(self):
        groups = self.resources_of(RT_GROUP_ICON)
        self.assertEqual(len(groups), 1, "one icon group")
        group = next(iter(groups.values()))
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((reserved, kind), (0, 1))
        icons = {name: data for name, data in self.resources_of(RT_ICON).items()}
        sizes = []
        for i in range(count):
            width, height, _, _, _, bits, size, icon_id = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * i)
            pixels = width or 256  # 0 stands for 256
            sizes.append(pixels)
            with self.subTest(pixels=pixels):
                self.assertEqual((width, height, bits), (width, width, 32))
                image = [data for (name, _), data in icons.items() if name == icon_id]
                self.assertEqual(len(image), 1, f"icon {icon_id} of the group exists")
                self.assertEqual(len(image[0]), size)
                self.assertEqual(image_size_and_depth(image[0]), (pixels, 32))
        self.assertEqual(sizes, [256, 48, 32, 16])


def image_size_and_depth(image):
    """(width, bits per pixel) of an icon image, stored as PNG or as a DIB."""
    if image.startswith(b"\x89PNG\r\n\x1a\n"):
        width, height, depth, colour_type = struct.unpack_from(">IIBB", image, 16)
        if width != height or colour_type != 6:  # 6: RGBA
            return None
        return width, depth * 4
    header, width, height, _, bits = struct.unpack_from("<IiiHH", image)
    # A DIB icon's height covers the colour image and the AND mask.
    if header != 40 or height != 2 * width:
        return None
    return width, bits


if __name__ == "__main__":
    EXE, SUMMARY_EXE, LAUNCHER_EXE = sys.argv.pop(1), sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
