"""Run with the virtual environment's interpreter in isolated mode (-I): the
module, its stub package and the tools come from the environment the
wheel was installed into, and the installed metadata agrees with the module."""

import importlib.metadata
import pathlib
import subprocess
import sys
import sysconfig
import unittest

import axiolink
import axiolink_ext


class InstalledTest(unittest.TestCase):
    site = pathlib.Path(sysconfig.get_path("platlib")).resolve()

    def test_modules_come_from_site_packages(self):
        for module in (axiolink, axiolink_ext):
            self.assertEqual(pathlib.Path(module.__file__).resolve().parent, self.site)
        self.assertEqual(axiolink_ext.__version__, axiolink.__version__)

    def test_metadata_version_is_the_module_version(self):
        self.assertEqual(importlib.metadata.version("axiolink"), axiolink.__version__)

    def test_metadata_names_home_page_authors_and_licence(self):
        # What `pip show axiolink` prints as Home-page (from a Homepage project
        # URL), Author and License-Expression.
        metadata = importlib.metadata.metadata("axiolink")
        urls = dict(url.split(", ", 1) for url in metadata.get_all("Project-URL") or [])
        self.assertRegex(urls.get("Homepage", ""), r"^https://\S+$")
        self.assertTrue(metadata.get("Author") or metadata.get("Author-email"))
        self.assertEqual(metadata.get("License-Expression"), "MIT")

    def test_stub_packages_are_installed(self):
        for stubs in (self.site / "axiolink-stubs", self.site / "axiolink_ext-stubs"):
            self.assertTrue((stubs / "__init__.pyi").is_file())
            self.assertTrue((stubs / "py.typed").is_file())

    def test_tools_are_on_the_environment_path(self):
        scripts = pathlib.Path(sysconfig.get_path("scripts"))
        for tool, option in (("dm-emulator", "--motor"), ("dmctl", "scan")):
            with self.subTest(tool=tool):
                out = subprocess.run([scripts / tool, "--help"], capture_output=True, text=True,
                                     timeout=30)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertIn(option, out.stdout)

if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
