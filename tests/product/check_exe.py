#!/usr/bin/env python3
"""The form of the built Tarvex.exe: architecture, console subsystem, system DLLs only, the manifest resource.

Usage: check_exe.py EXE ARCH OBJDUMP   (ARCH is X86 or amd64)
"""
import re
import subprocess
import sys
import unittest

EXE, ARCH, OBJDUMP = sys.argv[1:4]

# DLLs that every Windows installation has; anything else would have to be shipped beside the exe.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "comdlg32.dll", "ole32.dll", "uxtheme.dll",
    "winmm.dll", "msvcrt.dll", "advapi32.dll", "shell32.dll", "shlwapi.dll",
}


def headers():
    return subprocess.run([OBJDUMP, "-p", EXE], check=True, capture_output=True, text=True).stdout


class ExeForm(unittest.TestCase):
    def test_architecture_and_subsystem(self):
        text = headers()
        machine = {"X86": "pei-i386", "amd64": "pei-x86-64"}[ARCH]
        self.assertIn("file format " + machine, text)
        self.assertRegex(text, r"Subsystem\s+00000003\s+\(Windows CUI\)")

    def test_imports_only_system_dlls(self):
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers())}
        self.assertTrue(dlls, "no import table found")
        self.assertEqual(dlls - SYSTEM_DLLS, set(), "imports a DLL that Windows does not ship")

    def test_manifest_is_resource_24_id_1_with_the_common_controls_only(self):
        text = headers()
        # Resource type 24 (RT_MANIFEST) with the single name id 1.
        self.assertRegex(text, r"Entry: ID: 0x000018, .*\n.*Name Table: .*IDs: 1\n\S+\s+Entry: ID: 0x000001,")
        data = open(EXE, "rb").read()
        start = data.find(b"<assembly")
        self.assertGreater(start, 0)
        manifest = data[start:data.find(b"</assembly>", start)].decode("utf-8")
        self.assertEqual(manifest.count("<dependentAssembly>"), 1)
        self.assertIn('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"', manifest)
        self.assertIn('processorArchitecture="%s" publicKeyToken="6595b64144ccf1df"' % ARCH, manifest)
        for absent in ("requestedExecutionLevel", "dpiAware", "dpiAwareness", "trustInfo"):
            self.assertNotIn(absent, manifest)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
