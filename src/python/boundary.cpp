#include "python/boundary.hpp"

#include <cxxabi.h>

#include <exception>
#include <new>

#include "python/gil.hpp"

namespace varnex::py::detail {

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrOccurred&) {
    if (!PyErr_Occurred()) {
      set_error(Error::fatal("an error was reported without a Python exception set"));
    }
  } catch (abi::__forced_unwind&) {
    // CPython is ending this thread during finalization and the unwind was not caught at the
    // CPython call (see gil.hpp). Returning would end the catch without rethrowing (terminate);
    // rethrowing would leave a noexcept boundary (terminate). Park the thread instead.
    park_thread_forever();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_error(Error::fatal(e.what()));
  } catch (...) {
    set_error(Error::fatal("unknown C++ exception"));
  }
}

}  // namespace varnex::py::detail
