"""The module vorn as an importer sees it: attributes, signatures, identity."""

import importlib
import inspect
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

# Imported first, so that this (the main) interpreter owns the module before
# any sub-interpreter tries to.
import vorn

try:
    import _testcapi  # not in every build of CPython
except ImportError:
    _testcapi = None

ANALYZE_DOC = (
    "Analyse all source files under `path` and return a JSON string.\n\n"
    "The JSON object matches the `vorn_core::Report` schema.\n\n"
    "# Errors\n\n"
    "Raises `ValueError` if the engine fails or the result cannot be serialised."
)


class ModuleAttributes(unittest.TestCase):
    def test_module_names_its_two_functions_in_all(self):
        self.assertEqual(vorn.__name__, "vorn")
        self.assertEqual(vorn.__doc__, "The `vorn` Python module.")
        self.assertIs(type(vorn.__all__), list)
        self.assertEqual(vorn.__all__, ["analyze", "version"])
        self.assertFalse(hasattr(vorn, "_fail"), "the test-only hook must not ship")

    def test_functions_are_builtins_bound_to_the_module(self):
        for name in vorn.__all__:
            function = getattr(vorn, name)
            self.assertEqual(type(function).__name__, "builtin_function_or_method")
            self.assertEqual(function.__name__, name)
            self.assertEqual(function.__module__, "vorn")
            self.assertIs(function.__self__, vorn)

    def test_signatures_and_docstrings_are_exact(self):
        self.assertEqual(vorn.analyze.__text_signature__, "(path)")
        self.assertEqual(vorn.analyze.__doc__, ANALYZE_DOC)
        self.assertEqual(vorn.version.__text_signature__, "()")
        self.assertEqual(vorn.version.__doc__, "Return the vorn package version string.")
        parameters = list(inspect.signature(vorn.analyze).parameters.values())
        self.assertEqual([p.name for p in parameters], ["path"])
        self.assertIs(parameters[0].kind, inspect.Parameter.POSITIONAL_OR_KEYWORD)
        self.assertEqual(list(inspect.signature(vorn.version).parameters), [])


class Library(unittest.TestCase):
    @unittest.skipIf(shutil.which("readelf") is None, "needs readelf")
    def test_library_names_no_python_library(self):
        dynamic = subprocess.run(["readelf", "-d", vorn.__file__], capture_output=True, text=True,
                                 check=True).stdout
        needed = [line for line in dynamic.splitlines() if "(NEEDED)" in line]
        self.assertTrue(needed, dynamic)
        self.assertFalse([line for line in needed if "libpython" in line])


class Version(unittest.TestCase):
    def test_returns_a_fresh_version_string(self):
        first = vorn.version()
        self.assertEqual(first, "0.1.0")
        self.assertIs(type(first), str)
        self.assertEqual(vorn.version(), "0.1.0")

    def test_refuses_every_argument_before_running(self):
        with self.assertRaisesRegex(TypeError, r"^vorn\.version\(\) takes no arguments \(1 given\)$"):
            vorn.version(1)
        with self.assertRaisesRegex(TypeError, r"^vorn\.version\(\) takes no keyword arguments$"):
            vorn.version(x=1)
        self.assertEqual(vorn.version(), "0.1.0")


class Reimport(unittest.TestCase):
    def test_importing_again_returns_the_same_module_unchanged(self):
        all_before = vorn.__all__
        del sys.modules["vorn"]
        try:
            again = importlib.import_module("vorn")
        finally:
            sys.modules["vorn"] = vorn
        self.assertIs(again, vorn)
        self.assertIs(vorn.__all__, all_before)
        self.assertEqual(vorn.__all__, ["analyze", "version"])
        self.assertIs(importlib.reload(vorn), vorn)
        self.assertEqual(vorn.__all__, ["analyze", "version"])


@unittest.skipIf(_testcapi is None, "this CPython has no _testcapi to start a sub-interpreter")
class SubInterpreter(unittest.TestCase):
    def run_in_legacy_subinterpreter(self, code):
        # An isolated sub-interpreter runs the initialiser (which then claims
        # the module for it) and only afterwards refuses a single-phase module
        # itself; a legacy one leaves the refusal to the module's own check.
        self.assertEqual(_testcapi.run_in_subinterp(textwrap.dedent(code)), 0)

    def test_second_interpreter_gets_import_error_and_first_keeps_working(self):
        with tempfile.TemporaryDirectory() as folder:
            out = os.path.join(folder, "out")
            self.run_in_legacy_subinterpreter(f"""
                try:
                    import vorn
                    outcome = "imported"
                except BaseException as error:
                    outcome = type(error).__name__ + "|" + str(error)
                with open({out!r}, "w", encoding="utf-8") as file:
                    file.write(outcome)
            """)
            with open(out, encoding="utf-8") as file:
                outcome = file.read()
        kind, _, message = outcome.partition("|")
        self.assertEqual(kind, "ImportError")
        prefix = "PyO3 modules do not yet support subinterpreters, see "
        self.assertTrue(message.startswith(prefix + "https://"), message)
        self.assertNotIn(" ", message[len(prefix):])

        self.assertEqual(vorn.version(), "0.1.0")
        self.assertIn('"schema_version":1', vorn.analyze(os.path.dirname(__file__)))
        del sys.modules["vorn"]
        try:
            self.assertIs(importlib.import_module("vorn"), vorn)
        finally:
            sys.modules["vorn"] = vorn


if __name__ == "__main__":
    unittest.main()
