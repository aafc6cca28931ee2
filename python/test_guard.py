"""The internal-failure guard, through the test build's vorn._fail hook.

Internal failures cannot be provoked through the shipped functions, so the
test build of the module adds _fail(kind), which fails inside the same guard
that wraps every entry point.
"""

import contextlib
import io
import os
import resource
import signal
import subprocess
import sys
import unittest

import vorn


def panic_of(kind):
    try:
        vorn._fail(kind)
    except BaseException as error:  # PanicException is deliberately no Exception
        return error
    raise AssertionError("no failure raised")


class PanicExceptionType(unittest.TestCase):
    def test_failure_text_becomes_the_one_argument(self):
        error = panic_of("message")
        self.assertEqual(error.args, ("hook failure \ufffd",))

    def test_class_is_a_base_exception_named_pyo3_runtime_panic_exception(self):
        panic = type(panic_of("message"))
        self.assertEqual(panic.__module__, "pyo3_runtime")
        self.assertEqual(panic.__qualname__, "PanicException")
        self.assertEqual(panic.__mro__, (panic, BaseException, object))
        self.assertFalse(issubclass(panic, Exception))
        self.assertIn("BaseException", panic.__doc__)

    def test_class_is_created_once(self):
        self.assertIs(type(panic_of("message")), type(panic_of("opaque")))

    def test_failure_without_text_gets_the_generic_text(self):
        self.assertEqual(panic_of("opaque").args, ("internal failure without a message",))

    def test_result_the_interpreter_cannot_create_prints_its_reason(self):
        printed = io.StringIO()
        with contextlib.redirect_stderr(printed):
            error = panic_of("result")
        self.assertEqual(error.args, ("Python API call failed",))
        self.assertIn("UnicodeDecodeError", printed.getvalue())
        self.assertIsNone(sys.exc_info()[1])

    def test_module_stays_usable_after_a_failure(self):
        panic_of("message")
        self.assertEqual(vorn.version(), "0.1.0")
        self.assertIn('"findings":[]', vorn.analyze(os.path.dirname(__file__)))


class FailureWhileRaising(unittest.TestCase):
    def test_process_ends_with_the_boundary_message(self):
        # The child is meant to abort: it must leave no core file behind.
        done = subprocess.run(
            [sys.executable, "-c", "import vorn; vorn._fail('raising'); print('survived')"],
            capture_output=True, text=True, env=os.environ,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
        self.assertEqual(done.returncode, -signal.SIGABRT)
        self.assertEqual(done.stdout, "")
        self.assertIn("uncaught panic at ffi boundary\n", done.stderr)
        self.assertNotIn("Traceback", done.stderr)


if __name__ == "__main__":
    unittest.main()
