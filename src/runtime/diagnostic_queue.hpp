// The one way diagnostic lines leave the module: a FIFO that one thread of its own empties, to
// a consumer (the Python handler of set_diagnostic_handler) when one is set, else to fd 2.
//
// Producers are any thread, often one holding a lock of the module or running on a runtime
// worker's loop, a timer's thread or a device's task; none of them may wait for fd 2 (a pipe
// that nobody reads for a while would stop every such loop) nor call into Python. So push() only
// appends under a leaf mutex, and the writer thread does the rest, in the order pushed, with no
// lock of ours held.
//
// Bounded: at most `capacity` lines wait. Lines that find the queue full are dropped and
// counted, and one line in their place says how many, once the queue has room again:
//   "N diagnostic lines dropped: standard error is full"
//   "N diagnostic lines dropped: the diagnostic handler fell behind"   (with a consumer)
// The writer waits for room on fd 2 as long as it takes; only flush() and the exit path bound
// their waits, by the time without progress.
//
// Lines still appear at process exit: an atexit handler writes what is queued (flush), and
// finish_at_exit() writes lines a consumer can no longer take (the interpreter has finalized
// while the writer was in the handler). A forked child has no writer thread; the queue is created
// anew in it on first use (see forget_diagnostic_queue_after_fork).
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/diagnostic_line.hpp"
#include "common/lock_order.hpp"
#include "runtime/clock.hpp"

namespace varnex::rt {

class DiagnosticQueue {
 public:
  // Hands over a batch of lines, in order, each with its level, details and trailing detail
  // text. False when the consumer is gone for good (the interpreter finalizes): the batch and
  // every later line then go to fd 2.
  using Deliver = std::function<bool(const std::vector<DiagnosticLine>& lines)>;
  // Writes `text` to standard error, waiting for room until `give_up_at` (none: as long as it
  // takes). False when it gave up with the text not (wholly) written.
  using Write = std::function<bool(std::string_view text, std::optional<Instant> give_up_at)>;

  static constexpr std::size_t kDefaultCapacity = 4096;
  // How long flush() at exit waits for fd 2 to take anything more before the rest is given up.
  static constexpr std::chrono::milliseconds kExitStallLimit{1000};

  // The thread starts with the first line. `write` defaults to fd 2 (the tests substitute their
  // own).
  explicit DiagnosticQueue(Write write = {}, std::size_t capacity = kDefaultCapacity);
  DiagnosticQueue(const DiagnosticQueue&) = delete;
  DiagnosticQueue& operator=(const DiagnosticQueue&) = delete;
  // Writes or delivers what is pending, then ends the thread. (The process's queue is never
  // destroyed; this is for the tests' own.)
  ~DiagnosticQueue();

  // Queues each non-empty line of `text`, at `level` with `fields`; `detail` (a traceback)
  // follows the last one. Never waits but for the queue's mutex.
  void push(std::string_view text, DiagnosticLevel level = DiagnosticLevel::Warning,
            const DiagnosticFields& fields = {}, std::string detail = {});

  // Lines pushed from now on go to `deliver` (empty: to fd 2 again).
  void set_consumer(Deliver deliver);

  // Waits until every line queued for fd 2 before the call has been written, or until fd 2 has
  // taken nothing for `stall_limit`. True when all were written. Lines going to a consumer are
  // not waited for (a Python thread waiting here with the GIL would hold the handler up).
  bool flush(std::chrono::milliseconds stall_limit);

  // The consumer is gone for good (the interpreter has finalized). When the writer is inside it,
  // possibly for ever, the lines it holds and the pending ones are written to fd 2 by the
  // calling thread; then, as flush(kExitStallLimit), what the writer has left.
  void finish_at_exit();

  // The lines of `text` without their line feeds (none after a final one). Empty lines (a
  // message that starts with a line feed to stand apart on a terminal) are kept for fd 2,
  // which gets the text as given, but not handed to a consumer.
  static std::vector<std::string> split_lines(std::string_view text);

 private:
  void run();
  void start_locked();
  // Writes lines to fd 2 in writes of whole lines (at most PIPE_BUF bytes where lines allow),
  // counting each write as done; the mutex is released meanwhile. False when `give_up_at`
  // passed first.
  bool write_lines(std::unique_lock<RankedMutex<LockRank::DiagnosticQueue>>& lock,
                   const std::vector<DiagnosticLine>& lines,
                   std::optional<std::chrono::milliseconds> stall_limit);
  void note_drops_locked();
  bool to_consumer_locked() const { return consumer_ && !consumer_gone_; }

  // A line and the consumer it was pushed for (null: fd 2).
  struct Entry {
    DiagnosticLine line;
    std::shared_ptr<const Deliver> consumer;
  };

  const Write write_;
  const std::size_t capacity_;

  // Guards everything below. A leaf lock: producers take it while holding any lock of the
  // module; nothing is taken while it is held, and it is never held while fd 2 is written or
  // the consumer runs.
  RankedMutex<LockRank::DiagnosticQueue> mutex_;
  std::condition_variable_any wake_;     // the writer: lines to handle, or stop
  std::condition_variable_any changed_;  // flushers: lines done
  std::deque<Entry> pending_;
  std::vector<DiagnosticLine> in_flight_;    // the batch the consumer has, until it returns
  bool delivering_ = false;                  // the writer is inside the consumer
  bool taken_at_exit_ = false;               // finish_at_exit wrote the batch the consumer had
  bool exit_writing_ = false;                // finish_at_exit is writing: the writer waits
  uint64_t dropped_ = 0;                     // lines refused since the last note
  uint64_t accepted_ = 0;                    // lines queued so far (notes included)
  uint64_t done_ = 0;                        // of those, written, delivered or given up
  std::shared_ptr<const Deliver> consumer_;  // null: fd 2
  bool consumer_gone_ = false;
  bool started_ = false;
  bool no_thread_ = false;  // the OS refused the thread: lines are written only if fd 2 has room
  bool stopping_ = false;
  pthread_t thread_{};  // signals blocked, as on the runtime's other threads
};

// The process's queue, created on first use (thread-safe); its writer thread starts with the
// first line. Never destroyed.
DiagnosticQueue& diagnostic_queue();

// In a forked child: forgets the parent's queue without touching it (its thread does not exist
// in the child and its mutex may have been held by a thread that does not either), so that the
// next line creates a new one. A consumer set before the fork is not carried over: lines go to
// fd 2 until one is set again. Registered with pthread_atfork when the first queue is created.
void forget_diagnostic_queue_after_fork();

}  // namespace varnex::rt
