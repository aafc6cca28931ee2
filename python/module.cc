// The extension module vorn: the analysis core as CPython 3.12 sees it.
//
//   import vorn
//   vorn.__all__          # ["analyze", "version"]
//   vorn.analyze(path)    # the report of the tree (or file) at path, as JSON text
//   vorn.version()        # "0.1.0"
//
// analyze raises TypeError for a bad argument, the interpreter's own
// UnicodeEncodeError for a path that UTF-8 cannot encode, ValueError when the
// run or the writing of its report fails, and MemoryError when memory runs
// out. Any other failure inside the module becomes
// pyo3_runtime.PanicException (a BaseException): no C++ exception ever
// crosses into the interpreter.
//
// The module is defined single-phase and is owned by the first interpreter
// that initialises it; its object lives until the process ends, so a re-import
// hands out the same object and another interpreter gets ImportError. The
// interpreter lock is held throughout every call, the run included: the
// engine's workers never touch a Python object.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <expected>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "base/text.h"
#include "core/config.h"
#include "core/engine.h"
#include "core/report.h"

namespace vorn {
namespace {

constexpr int kApiVersion = 1013;  // CPython 3.12's module API version
constexpr std::string_view kVersion = "0.1.0";
constexpr std::string_view kNoExceptionSet = "attempted to fetch exception but none was set";
constexpr std::string_view kApiCallFailed = "Python API call failed";
constexpr std::string_view kUnnamedFailure = "internal failure without a message";
constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";
constexpr std::string_view kSubinterpreters =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

// An owned reference, released when the handle goes, so that no early return
// leaks one. Borrowed references stay plain pointers.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : object_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

// A failure that the module itself detects inside an entry point and that no
// Python exception describes; the guard turns it into PanicException.
class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

#ifdef VORN_TEST_HOOKS
// Test builds only: makes the next exception message fail to be created, the
// one failure the guard cannot recover from.
bool fail_next_message = false;
#endif

// Failing while an exception is being raised leaves nothing sound to report
// to the caller, so the process ends.
[[noreturn]] void end_process() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

PyObject* message_object(std::string_view message) {
#ifdef VORN_TEST_HOOKS
  if (std::exchange(fail_next_message, false)) return nullptr;
#endif
  // "replace" only matters for a failure's own text, which may carry raw
  // path bytes; every other message is valid UTF-8 already.
  return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
}

// Raises `type` with `message` as its one argument; returns NULL for the
// caller to hand back. Ends the process when the message cannot be created.
PyObject* raise_error(PyObject* type, std::string_view message) noexcept {
  try {
    Ref text(message_object(message));
    if (!text) end_process();
    PyErr_SetObject(type, text.get());
  } catch (...) {
    end_process();
  }
  return nullptr;
}

// Hands on the exception the interpreter set for a failed call, or says that
// it set none.
PyObject* raise_pending() noexcept {
  if (!PyErr_Occurred()) return raise_error(PyExc_SystemError, kNoExceptionSet);
  return nullptr;
}

// pyo3_runtime.PanicException, created on first use and kept for the process.
// Every caller holds the interpreter lock, which orders the creation.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when native code of the vorn module, called from Python, fails internally.\n\n"
        "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
        "typically propagates all the way up and ends the interpreter.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(std::string_view message) noexcept {
  try {
    // Whatever the interpreter had pending belongs to the failed call.
    PyErr_Clear();
    PyObject* type = panic_exception_type();
    if (type == nullptr) end_process();
    raise_error(type, message);
  } catch (...) {
    end_process();
  }
}

// Runs an entry point's `body`, turning any C++ exception that leaves it into
// PanicException, except memory running out: that is MemoryError, as when the
// interpreter itself cannot allocate. Unwinding releases what the body built
// before the raise.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    // Raising it needs no memory: the interpreter keeps instances ready.
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic(kUnnamedFailure);
  }
  return nullptr;
}

// A result object the caller cannot do without: the interpreter's reason for
// not creating it is printed, and the call fails as an internal failure.
PyObject* required_result(PyObject* result) {
  if (result == nullptr) {
    PyErr_PrintEx(0);
    throw InternalFailure(std::string(kApiCallFailed));
  }
  return result;
}

PyObject* new_str(std::string_view utf8) {
  return required_result(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
}

// The UTF-8 text of `text`, a str; nothing (and no pending exception) when it
// holds a character UTF-8 cannot encode.
std::optional<std::string_view> utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

// The qualified name of `object`'s type, as the interpreter reports it.
std::string type_name(PyObject* object) {
  Ref name(PyType_GetQualName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return std::string(kUnknownTypeName);
  }
  const auto text = utf8_of(name.get());
  return std::string(text ? *text : kUnknownTypeName);
}

// "'{type}' object cannot be converted to '{target}'"
std::string conversion_text(PyObject* object, std::string_view target) {
  return "'" + type_name(object) + "' object cannot be converted to '" + std::string(target) + "'";
}

// The str() text of a keyword name with every character UTF-8 cannot encode
// (a lone surrogate) shown as one replacement character per byte of its
// surrogate-passing encoding.
std::string display_text(PyObject* object) {
  Ref text(required_result(PyObject_Str(object)));
  if (const auto utf8 = utf8_of(text.get())) return std::string(*utf8);
  Ref bytes(required_result(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass")));
  return vorn_base::lossy_utf8(std::string_view(
      PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

// ---- analyze ----------------------------------------------------------------

// The `path` argument from a fast call, or NULL with TypeError raised.
// The checks run in a fixed order and the first failing one decides the text.
PyObject* bind_path(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 1) {
    return raise_error(PyExc_TypeError, "analyze() takes 1 positional arguments but " +
                                            std::to_string(nargs) + " were given");
  }
  PyObject* path = nargs == 1 ? args[0] : nullptr;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    const auto text = PyUnicode_Check(name) ? utf8_of(name) : std::nullopt;
    if (!text || *text != "path") {
      return raise_error(PyExc_TypeError, "analyze() got an unexpected keyword argument '" +
                                              display_text(name) + "'");
    }
    if (path != nullptr) {
      return raise_error(PyExc_TypeError, "analyze() got multiple values for argument 'path'");
    }
    path = args[nargs + i];
  }
  if (path == nullptr) {
    return raise_error(PyExc_TypeError, "analyze() missing 1 required positional argument: 'path'");
  }
  return path;
}

// Runs the core on `root` with an empty engine and the default configuration,
// all of which is released on return: the report's JSON text, or the message
// of the ValueError to raise.
std::expected<std::string, std::string> run_analysis(std::string_view root) {
  const vorn_core::Engine engine;
  const vorn_core::Config config;
  auto report = engine.analyze_path(root, config);
  if (!report) return std::unexpected("analysis failed: " + report.error().text());
  std::string json;
  if (auto written = vorn_core::serialize(*report, json); !written) {
    return std::unexpected("serialisation failed: " + written.error());
  }
  return json;
}

PyObject* analyze(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* path = bind_path(args, nargs, kwnames);
    if (path == nullptr) return nullptr;
    // A str subclass counts as a str; only its content is read, never its methods.
    if (!PyUnicode_Check(path)) {
      return raise_error(PyExc_TypeError, "argument 'path': " + conversion_text(path, "PyString"));
    }
    // The str's own UTF-8 form, used in place. A lone surrogate leaves the
    // interpreter's UnicodeEncodeError pending, which is handed on unchanged.
    Py_ssize_t size = 0;
    const char* root = PyUnicode_AsUTF8AndSize(path, &size);
    if (root == nullptr) return nullptr;
    const auto json = run_analysis(std::string_view(root, static_cast<std::size_t>(size)));
    if (!json) return raise_error(PyExc_ValueError, json.error());
    return new_str(*json);
  });
}

// ---- version ----------------------------------------------------------------

PyObject* version(PyObject*, PyObject*) noexcept {
  return guarded([] { return new_str(kVersion); });
}

#ifdef VORN_TEST_HOOKS
// ---- test-only failures -----------------------------------------------------

// _fail(kind): provokes one kind of internal failure. Built only into the
// test copy of the module, never into the shipped one.
PyObject* fail(PyObject*, PyObject* kind) noexcept {
  return guarded([&]() -> PyObject* {
    const auto text = PyUnicode_Check(kind) ? utf8_of(kind) : std::nullopt;
    if (text == "message") throw std::runtime_error("hook failure \xff");
    if (text == "opaque") throw 7;
    // Bytes the interpreter refuses to decode stand for a result it cannot create.
    if (text == "result") return new_str("\xff");
    if (text == "raising") {
      fail_next_message = true;
      throw std::runtime_error("hook failure");
    }
    return raise_error(PyExc_ValueError, "unknown failure kind");
  });
}
#endif

// ---- the module -------------------------------------------------------------

PyMethodDef analyze_record = {
    "analyze",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyze)),
    METH_FASTCALL | METH_KEYWORDS,
    "analyze(path)\n--\n\n"
    "Analyse all source files under `path` and return a JSON string.\n\n"
    "The JSON object matches the `vorn_core::Report` schema.\n\n"
    "# Errors\n\n"
    "Raises `ValueError` if the engine fails or the result cannot be serialised.",
};

PyMethodDef version_record = {
    "version",
    version,
    METH_NOARGS,
    "version()\n--\n\nReturn the vorn package version string.",
};

#ifdef VORN_TEST_HOOKS
PyMethodDef fail_record = {"_fail", fail, METH_O,
                           "_fail(kind)\n--\n\nProvoke an internal failure."};
#endif

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "vorn",
    "The `vorn` Python module.",
    0,        // no module state
    nullptr,  // the functions are added by the initialiser
    nullptr,  // single-phase: no slots
    nullptr,
    nullptr,
    nullptr,
};

// The id of the interpreter that first initialised the module, -1 before.
std::atomic<std::int64_t> owning_interpreter{-1};
// The module, once created; a strong reference kept until the process ends.
PyObject* module_object = nullptr;

// The module's __all__, created empty when missing; NULL with an exception
// raised when it exists but is no list, or cannot be read.
PyObject* all_list(PyObject* module) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    Ref created(PyList_New(0));
    if (!created || PyObject_SetAttrString(module, "__all__", created.get()) < 0) return nullptr;
    return created.release();
  }
  if (!PyList_Check(all.get())) {
    return raise_error(PyExc_TypeError, conversion_text(all.get(), "PyList"));
  }
  return all.release();
}

// Binds the function of `record` to `module` and lists it in __all__; false
// with an exception raised on failure.
bool add_function(PyObject* module, PyMethodDef& record) {
  Ref module_name(PyModule_GetNameObject(module));
  Ref function(module_name ? PyCFunction_NewEx(&record, module, module_name.get()) : nullptr);
  Ref name(function ? PyObject_GetAttrString(function.get(), "__name__") : nullptr);
  if (!name) {
    raise_pending();
    return false;
  }
  if (!PyUnicode_Check(name.get())) {
    raise_error(PyExc_TypeError, conversion_text(name.get(), "PyString"));
    return false;
  }
  Ref all(all_list(module));
  if (!all) return false;
  return PyList_Append(all.get(), name.get()) == 0 &&
         PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* initialise() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return raise_pending();
  std::int64_t owner = -1;
  if (!owning_interpreter.compare_exchange_strong(owner, id) && owner != id) {
    return raise_error(PyExc_ImportError, kSubinterpreters);
  }
  if (module_object != nullptr) return Py_NewRef(module_object);

  Ref module(PyModule_Create2(&definition, kApiVersion));
  if (!module) return raise_pending();
  if (!add_function(module.get(), analyze_record) || !add_function(module.get(), version_record)) {
    return nullptr;
  }
#ifdef VORN_TEST_HOOKS
  if (!add_function(module.get(), fail_record)) return nullptr;
#endif
  // Creating the module may have run Python code that imported it already.
  if (module_object == nullptr) module_object = module.release();
  return Py_NewRef(module_object);
}

}  // namespace
}  // namespace vorn

PyMODINIT_FUNC PyInit_vorn() {
  return vorn::guarded(vorn::initialise);
}
