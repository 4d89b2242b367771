// Diagnostic lines handed to a consumer (a Python handler) instead of fd 2.
//
// Producers are any thread, often one holding a lock of the module or running on a runtime
// worker's loop; neither may call into Python. So push() only appends to a FIFO under a leaf
// mutex, and one thread of the queue's own hands the lines to the consumer in the order pushed,
// with no lock of ours held.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <pthread.h>

#include "common/diagnostics.hpp"
#include "common/lock_order.hpp"

namespace varnex::rt {

class DiagnosticQueue final : public DiagnosticSink {
 public:
  // Hands over a batch of lines (no line feeds), in order. False when the consumer is gone for
  // good (the interpreter finalizes): the batch and every later line then go to the fallback.
  using Deliver = std::function<bool(const std::vector<std::string>& lines)>;
  // Writes text as write_stderr would without routing (the tests substitute their own).
  using Fallback = std::function<void(std::string_view text)>;
  // Pending lines beyond this go to the fallback at once rather than growing without bound
  // behind a slow consumer.
  static constexpr std::size_t kDefaultCapacity = 4096;

  explicit DiagnosticQueue(Deliver deliver, Fallback fallback = {},
                           std::size_t capacity = kDefaultCapacity);
  DiagnosticQueue(const DiagnosticQueue&) = delete;
  DiagnosticQueue& operator=(const DiagnosticQueue&) = delete;
  // Delivers what is pending, then ends the thread. Throws std::system_error from the
  // constructor when the OS refuses the thread.
  ~DiagnosticQueue();

  // Queues each non-empty line of `text`. Never waits for the consumer.
  void push(std::string_view text) override;
  // Writes every line not yet delivered (the batch in the consumer's hands included) to the
  // fallback, and every later one there directly: the consumer can no longer be reached
  // (process exit).
  void drain_to_fallback();

  // The lines of `text` without their line feeds; empty lines (a message that starts with a
  // line feed to stand apart on a terminal) are dropped.
  static std::vector<std::string> split_lines(std::string_view text);

 private:
  void run();
  void fall_back(const std::vector<std::string>& lines) const;
  void close_locked(const std::vector<std::string>& in_flight);

  const Deliver deliver_;
  const Fallback fallback_;
  const std::size_t capacity_;
  RankedMutex<LockRank::DiagnosticQueue> mutex_;
  std::condition_variable_any wake_;
  std::deque<std::string> pending_;
  std::vector<std::string> in_flight_;  // the batch the consumer has, until it returns
  bool stopping_ = false;
  bool closed_ = false;  // consumer gone: everything goes to the fallback, under the mutex
  pthread_t thread_{};  // signals blocked, as on the runtime's other threads
};

}  // namespace varnex::rt
