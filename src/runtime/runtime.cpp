#include "runtime/runtime.hpp"

#include <mutex>
#include <system_error>

#include "common/os_error.hpp"
#include "runtime/process.hpp"
#include "runtime/thread_util.hpp"

namespace varnex::rt {

ThreadContext& this_thread_context() {
  thread_local ThreadContext context;
  return context;
}

namespace {

struct Instance {
  std::mutex mutex;
  std::atomic<Runtime*> runtime{nullptr};
  std::string failure;  // set once building failed; never retried
};

// Never destroyed: threads use it until exit. A child made by fork() builds its own runtime on
// first use; the parent's threads did not come along.
constinit PerProcess<Instance> instances;

Instance& instance() { return instances.get(); }

}  // namespace

Runtime::Runtime(unsigned workers) : workers_(workers) {}

bool Runtime::exists() { return instance().runtime.load(std::memory_order_acquire) != nullptr; }

Runtime& Runtime::get() {
  Instance& i = instance();
  if (Runtime* r = i.runtime.load(std::memory_order_acquire)) return *r;
  std::lock_guard lock(i.mutex);
  if (Runtime* r = i.runtime.load(std::memory_order_acquire)) return *r;
  if (!i.failure.empty()) {
    throw FatalError("The task runtime failed to initialise earlier: " + i.failure);
  }
  try {
    auto* runtime = new Runtime(available_cpus());
    runtime->reactor_.start();
    runtime->workers_.start();
    i.runtime.store(runtime, std::memory_order_release);
    return *runtime;
  } catch (const std::system_error& e) {
    i.failure = os_error_text(e.code().value());
  } catch (const FatalError& e) {
    i.failure = e.what();
  }
  throw FatalError("Failed to create the task runtime: " + i.failure);
}

}  // namespace varnex::rt
