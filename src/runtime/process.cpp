#include "runtime/process.hpp"

#include <pthread.h>

namespace varnex::rt {

namespace {

std::atomic<std::uint64_t> generation{0};

void on_fork_child() noexcept { generation.fetch_add(1, std::memory_order_acq_rel); }

// Registered when the module (or a test program) is loaded, before any object can take a stamp.
// pthread_atfork cannot fail for lack of anything but memory at load time; a failure would leave
// children using the parent's state, as without it.
const bool registered = pthread_atfork(nullptr, nullptr, &on_fork_child) == 0;

}  // namespace

std::uint64_t process_generation() noexcept {
  (void)registered;
  return generation.load(std::memory_order_acquire);
}

}  // namespace varnex::rt
