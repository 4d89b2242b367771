// The Python class AsyncHandle: the handle of one background call started by RunAsync.
#pragma once

#include <memory>

#include "python/py_ref.hpp"
#include "tasks/background_call.hpp"

namespace varnex::py {

// A new AsyncHandle over a started call (GIL held). If it cannot be created, the call leaves the
// registry (it goes on running) and PyErrOccurred is thrown.
PyRef new_async_handle(std::shared_ptr<BackgroundCall> call);

}  // namespace varnex::py
