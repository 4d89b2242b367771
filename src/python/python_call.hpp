// One Python call made in the background: the ForeignCall behind run_async.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>

#include "python/py_ref.hpp"
#include "tasks/background_call.hpp"

namespace varnex::py {

// Takes the function and the argument tuple (GIL held). invoke(), on a blocking-pool thread,
// takes the GIL, calls func(*args), turns a raised exception into its text, releases both
// references and the GIL. Never takes the GIL once the interpreter is finalizing.
std::unique_ptr<ForeignCall> make_python_call(PyRef func, PyRef args);

// The exception that is set, normalised, as a new reference (null if none); the error indicator
// is cleared. The GIL must be held.
PyRef take_exception() noexcept;

// str(object) and getattr(object, name): new references, or null with a Python error set. Made
// through without_thread_exit (gil.hpp), as they may run Python code. The GIL must be held.
PyRef str_of(PyObject* object) noexcept;
PyRef attribute(PyObject* object, const char* name) noexcept;

// What becomes of characters that UTF-8 cannot encode (lone surrogates) in a text taken from
// Python; each caller names its rule.
enum class Unencodable : std::uint8_t {
  Replaced,      // each becomes '?' (timer diagnostics: the line keeps the rest of the text)
  FailsLikeStr,  // the text counts as a str() that failed (a background call's error text)
};

// Appends the UTF-8 text of the str `text` to `out`; false (nothing appended, no error set) when
// it cannot be encoded under `unencodable`. The GIL must be held.
bool utf8_of(PyObject* text, std::string& out, Unencodable unencodable);

// "<qualified type name>: <str(exception)>" for `exception` (not null): __qualname__ of its type,
// else the type's tp_name; "<exception str() failed>" stands in for a str() that raises or
// cannot be encoded. Errors met on the way are cleared. The GIL must be held.
std::string exception_text(PyObject* exception, Unencodable unencodable);

// exception_text (Unencodable::FailsLikeStr) of the exception that is set, which is cleared;
// "<unknown>: <exception str() failed>" when none is set. The GIL must be held.
std::string take_exception_text();

// A Python object as a ForeignValue, released by release_reference (deferred_release.hpp).
ForeignValue to_foreign_value(PyRef object);

}  // namespace varnex::py
