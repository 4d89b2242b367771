#include "tasks/timer_thread.hpp"

#include <pthread.h>

#include <utility>

#include "common/os_error.hpp"
#include "runtime/thread_util.hpp"

namespace varnex {

Status start_timer_thread(std::string name, std::function<void()> body, const char* what) {
  pthread_t thread;
  const int rc = rt::create_named_thread(name, std::move(body), &thread);
  if (rc != 0) return Error::fatal(std::string(what) + ": " + os_error_text(rc));
  pthread_detach(thread);
  return {};
}

}  // namespace varnex
