"""vorn.analyze as a caller sees it: reports, argument errors, run errors."""

import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import threading
import unittest
import unittest.mock

import vorn

EMPTY_REPORT = (
    '{"schema_version":1,"findings":[],"scores":{"maintainability":100.0,"security":100.0,'
    '"complexity":100.0,"documentation":100.0,"test_smell":100.0},"stats":{"files_scanned":0,'
    '"parse_failures":0,"elapsed_ms":0,"suppressed":0,"cache_hits":0}}'
)


def without_elapsed(report):
    """The report with its one varying number set to 0."""
    normalised, count = re.subn(r'"elapsed_ms":\d+,', '"elapsed_ms":0,', report)
    assert count == 1, report
    return normalised


def missing(path):
    return f"analysis failed: io: {path}: IO error for operation on {path}: No such file or directory (os error 2)"


class Tree(unittest.TestCase):
    """Each test gets a small tree of files no language claims."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.root = self.folder.name
        os.makedirs(os.path.join(self.root, "src", "deep"))
        for name in ("src/a.py", "src/deep/b.rs", "README", ".hidden.py"):
            pathlib.Path(self.root, name).write_text("x = 1\n")


class Reports(Tree):
    def test_directory_gives_the_empty_report(self):
        report = vorn.analyze(self.root)
        self.assertIs(type(report), str)
        self.assertEqual(without_elapsed(report), EMPTY_REPORT)
        self.assertEqual(list(json.loads(report)), ["schema_version", "findings", "scores", "stats"])

    def test_keyword_form_equals_positional_form(self):
        self.assertEqual(without_elapsed(vorn.analyze(path=self.root)),
                         without_elapsed(vorn.analyze(self.root)))

    def test_single_file_root_gives_the_empty_report(self):
        self.assertEqual(without_elapsed(vorn.analyze(os.path.join(self.root, "src", "a.py"))),
                         EMPTY_REPORT)

    def test_str_subclass_is_analysed_by_its_content(self):
        class Tricky(str):
            def __str__(self):
                return "elsewhere"

            def __fspath__(self):
                return "elsewhere"

            def encode(self, *args, **kwargs):
                raise AssertionError("must not be called")

        self.assertEqual(without_elapsed(vorn.analyze(Tricky(self.root))), EMPTY_REPORT)
        gone = os.path.join(self.root, "gone")
        with self.assertRaises(ValueError) as caught:
            vorn.analyze(Tricky(gone))
        self.assertEqual(str(caught.exception), missing(gone))

    def test_each_call_runs_afresh(self):
        target = os.path.join(self.root, "src")
        self.assertEqual(without_elapsed(vorn.analyze(target)), EMPTY_REPORT)
        os.rename(target, target + ".moved")
        with self.assertRaises(ValueError) as caught:
            vorn.analyze(target)
        self.assertEqual(str(caught.exception), missing(target))

    def test_calls_from_many_threads_all_succeed(self):
        results, errors = [], []
        gone = os.path.join(self.root, "gone")

        def work(index):
            for _ in range(5):
                try:
                    results.append(vorn.analyze(self.root if index % 2 else gone))
                except ValueError as error:
                    errors.append(str(error))

        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual([without_elapsed(r) for r in results], [EMPTY_REPORT] * 20)
        self.assertEqual(errors, [missing(gone)] * 20)


class SmallStacks(Tree):
    def test_analyze_runs_in_a_thread_with_a_small_stack(self):
        # Every walk reads the git configuration; make this one find a
        # setting, its global file, and a repository with an ignore file.
        home = os.path.join(self.root, "home")
        os.makedirs(os.path.join(self.root, ".git"))
        os.makedirs(home)
        pathlib.Path(home, ".gitconfig").write_text("[core]\n\texcludesfile = ~/ignore\n")
        pathlib.Path(home, "ignore").write_text("*.log\n")
        pathlib.Path(self.root, "src", ".gitignore").write_text("deep/\n")
        environment = {"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config")}
        results = []
        with unittest.mock.patch.dict(os.environ, environment):
            previous = threading.stack_size(64 * 1024)
            try:
                thread = threading.Thread(target=lambda: results.append(vorn.analyze(self.root)))
                thread.start()
                thread.join()
            finally:
                threading.stack_size(previous)
        self.assertEqual([without_elapsed(report) for report in results], [EMPTY_REPORT])


class RootsAsWritten(Tree):
    """The root reaches the walk exactly as written: its errors show it so."""

    def setUp(self):
        super().setUp()
        self.previous = os.getcwd()
        os.chdir(self.root)
        self.addCleanup(os.chdir, self.previous)

    def test_dot_slash_and_dash_roots_give_the_empty_report(self):
        for root in (".", "./", "./src", "src/", "./src/deep", "-"):
            with self.subTest(root=root):
                self.assertEqual(without_elapsed(vorn.analyze(root)), EMPTY_REPORT)

    def test_roots_are_neither_normalised_nor_expanded(self):
        for root in ("./nope", "nope", "./src/../nope", "~/nope", "src//nope", ""):
            with self.subTest(root=root):
                with self.assertRaises(ValueError) as caught:
                    vorn.analyze(root)
                self.assertEqual(str(caught.exception), missing(root))
                self.assertEqual(caught.exception.args, (missing(root),))


class RunErrors(Tree):
    def test_root_below_a_file_is_a_value_error(self):
        root = os.path.join(self.root, "README", "x")
        with self.assertRaises(ValueError) as caught:
            vorn.analyze(root)
        self.assertEqual(str(caught.exception),
                         f"analysis failed: io: {root}: IO error for operation on {root}: "
                         "Not a directory (os error 20)")

    def test_root_holding_a_nul_byte_is_refused_not_truncated(self):
        # The part before the NUL exists; a walk of it would wrongly succeed.
        # The message keeps the whole root, NUL included.
        root = self.root + "\0/elsewhere"
        with self.assertRaises(ValueError) as caught:
            vorn.analyze(root)
        self.assertEqual(str(caught.exception),
                         f"analysis failed: io: {root}: IO error for operation on {root}: "
                         "file name contained an unexpected NUL byte")

    @unittest.skipIf(os.geteuid() == 0, "permissions do not bind the superuser")
    def test_unreadable_directory_is_a_value_error(self):
        locked = os.path.join(self.root, "src", "deep")
        os.chmod(locked, 0)
        self.addCleanup(os.chmod, locked, 0o755)
        with self.assertRaises(ValueError) as caught:
            vorn.analyze(self.root)
        self.assertEqual(str(caught.exception),
                         f"analysis failed: io: {locked}: IO error for operation on {locked}: "
                         "Permission denied (os error 13)")

    def test_bad_ignore_line_above_the_root_is_a_value_error(self):
        pathlib.Path(self.root, ".ignore").write_text("src/{a\n")
        with self.assertRaises(ValueError) as caught:
            vorn.analyze(os.path.join(self.root, "src"))
        message = str(caught.exception)
        self.assertTrue(message.startswith(f"analysis failed: io: {self.root}/.ignore: line 1: "
                                           "error parsing glob 'src/{a': "), message)
        # The same line inside the walked tree does not end the run.
        self.assertEqual(without_elapsed(vorn.analyze(self.root)), EMPTY_REPORT)

    def test_module_stays_usable_after_errors(self):
        for bad in ((), (1,), ("nope",), ("\ud800",)):
            with self.assertRaises((TypeError, ValueError)):
                vorn.analyze(*bad)
        self.assertEqual(without_elapsed(vorn.analyze(self.root)), EMPTY_REPORT)


# A child interpreter that limits itself as asked (after importing all it
# needs), analyses the root twice, setting RAYON_NUM_THREADS in between, and
# prints the threads it then has and what came of the second call: the report
# or the name of the exception. The pool's workers outlive the calls, so the
# threads left are all it ever had.
CHILD = r"""
import os, resource, sys
import vorn
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
root, kind, value = sys.argv[1], sys.argv[2], int(sys.argv[3])
if kind == "nproc":
    if os.geteuid() == 0:  # the limit does not bind the superuser
        try:
            os.setgroups([]); os.setgid(65534); os.setuid(65534)
        except OSError as error:
            sys.stdout.write(f"0 cannot drop privileges: {error}"); os._exit(0)
    resource.setrlimit(resource.RLIMIT_NPROC, (value, value))
elif kind == "as":
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (value << 20),) * 2)
for call in (1, 2):
    try:
        outcome = vorn.analyze(root)
    except BaseException as error:
        outcome = type(error).__name__
    os.environ["RAYON_NUM_THREADS"] = "64"
sys.stdout.write(f"{len(os.listdir('/proc/self/task'))} {outcome}")
sys.stdout.flush()
os._exit(0)  # no exit handlers: the sanitizers' leak check needs a thread
"""

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


class ThreadsAndLimits(unittest.TestCase):
    """The worker count from the environment, and what limits on threads or
    memory do to a call: it goes on with fewer threads, or raises."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.root = self.folder.name
        # Readable by the unprivileged user the thread limits run as.
        os.chmod(self.root, 0o755)
        for top in range(4):
            for sub in range(8):
                folder = os.path.join(self.root, f"top{top}", f"sub{sub}")
                os.makedirs(folder)
                for name in ("a.py", "b.rs", ".gitignore"):
                    pathlib.Path(folder, name).write_text("x\n")
        self.report = without_elapsed(vorn.analyze(self.root))

    def child(self, root=None, kind="none", value=0, **variables):
        """The threads of the child and the outcome of its second call."""
        environment = {name: value for name, value in os.environ.items()
                       if not name.startswith("RAYON_")}
        environment.update(variables)
        done = subprocess.run([sys.executable, "-c", CHILD, root or self.root, kind, str(value)],
                              capture_output=True, text=True, env=environment, timeout=120)
        self.assertEqual((done.returncode, done.stderr), (0, ""), done.stdout)
        threads, outcome = done.stdout.split(" ", 1)
        if outcome.startswith("cannot drop privileges"):
            self.skipTest(outcome)
        if outcome.startswith("{"):
            outcome = without_elapsed(outcome)
        return int(threads), outcome

    def test_the_variables_set_how_many_threads_work_read_once(self):
        for variables, threads in (({"RAYON_NUM_THREADS": "1"}, 1),
                                   ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, 3),
                                   ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "+2"}, 2)):
            with self.subTest(**variables):
                self.assertEqual(self.child(**variables), (threads, self.report))
        most, outcome = self.child()
        self.assertLessEqual(most, len(os.sched_getaffinity(0)))
        self.assertEqual(outcome, self.report)

    def test_a_thread_limit_leaves_fewer_threads_and_the_same_report(self):
        for limit in (1, 2, 4, 6):
            with self.subTest(limit=limit):
                self.assertEqual(self.child(kind="nproc", value=limit, RAYON_NUM_THREADS="8")[1],
                                 self.report)

    @unittest.skipIf(SANITIZED, "the address sanitizer needs more address space than any limit")
    def test_an_address_space_limit_gives_the_report_or_memory_error(self):
        for room in (2, 16, 64, 256, 1024):
            with self.subTest(room=room):
                outcome = self.child(kind="as", value=room, RAYON_NUM_THREADS="8")[1]
                self.assertIn(outcome, (self.report, "MemoryError"))
        # Listing this folder cannot fit in one more MiB.
        wide = os.path.join(self.root, "wide")
        os.mkdir(wide)
        for i in range(5000):
            pathlib.Path(wide, f"entry-with-a-longish-name-{i:06d}").touch()
        self.assertEqual(self.child(wide, kind="as", value=1)[1], "MemoryError")


class Outer:
    class Inner:
        pass


class Binding(unittest.TestCase):
    def assertTypeError(self, message, *args, **kwargs):
        with self.assertRaises(TypeError) as caught:
            vorn.analyze(*args, **kwargs)
        self.assertIs(type(caught.exception), TypeError)
        self.assertEqual(caught.exception.args, (message,))

    def test_positional_count_is_checked_before_keywords(self):
        for args, kwargs in ((("a", "b"), {}), (("a", "b"), {"path": "c"}),
                             (("a", "b"), {"extra": 1}), (("a", "b", "c"), {"x": 1})):
            with self.subTest(args=args, kwargs=kwargs):
                self.assertTypeError(
                    f"analyze() takes 1 positional arguments but {len(args)} were given",
                    *args, **kwargs)

    def test_missing_path(self):
        self.assertTypeError("analyze() missing 1 required positional argument: 'path'")

    def test_path_given_twice(self):
        self.assertTypeError("analyze() got multiple values for argument 'path'", "a", path="b")
        self.assertTypeError("analyze() got multiple values for argument 'path'", "a", path="b", extra=1)

    def test_unexpected_keywords_are_named_in_call_order(self):
        for kwargs, name in (({"pth": "a"}, "pth"), ({"path": "a", "extra": 1}, "extra"),
                             ({"extra": 1, "path": "a"}, "extra"), ({"Path": "a"}, "Path"),
                             ({"path ": "a"}, "path "), ({"pathx": "a"}, "pathx")):
            with self.subTest(kwargs=kwargs):
                self.assertTypeError(f"analyze() got an unexpected keyword argument '{name}'", **kwargs)
        self.assertTypeError("analyze() got an unexpected keyword argument 'extra'", "a", extra=1)

    def test_lone_surrogate_in_a_keyword_shows_as_replacement_characters(self):
        self.assertTypeError("analyze() got an unexpected keyword argument '\ufffd\ufffd\ufffd'",
                             **{"\ud800": 1})
        self.assertTypeError("analyze() got an unexpected keyword argument 'pa\ufffd\ufffd\ufffdth'",
                             **{"pa\udfffth": 1})

    def test_non_str_paths_are_refused_by_type_name(self):
        class Unnamed:
            pass

        Unnamed.__qualname__ = "\ud800"
        for value, name in ((pathlib.PurePosixPath("a"), "PurePosixPath"), (pathlib.Path("."), "PosixPath"),
                            (b"a", "bytes"), (None, "NoneType"), (1, "int"),
                            (Outer.Inner(), "Outer.Inner"), (Unnamed(), "<failed to extract type name>")):
            with self.subTest(name=name):
                self.assertTypeError(f"argument 'path': '{name}' object cannot be converted to 'PyString'", value)
        self.assertTypeError("argument 'path': 'bytes' object cannot be converted to 'PyString'", path=b"a")

    def test_unencodable_path_raises_the_interpreters_own_error(self):
        with self.assertRaises(UnicodeEncodeError) as caught:
            vorn.analyze("a\ud800")
        self.assertEqual(str(caught.exception),
                         "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed")


if __name__ == "__main__":
    unittest.main()
