// The run state of one timer or background call, shared by its handle, its body and its
// registry entry.
//
// It answers two questions. Is it meant to run (no stop was requested)? And has it ended: does
// no code of it run, and will none run again? A body brackets each call of user code with
// begin_call()/end_call(); a stop requested in between takes effect at end_call(), one
// requested outside a call at once for a timer (an idle timer between ticks has ended the
// moment it is stopped) and, for a background call, when its body sees it and skips the call.
// All transitions are on one atomic word, so a stop racing with the start or the end of a call
// is decided exactly once, and `ended` is set exactly once, after the last call's effects.
//
// In a child made by fork() a run of the parent is over: its loop or call stayed in the parent.
// There it reads as stopped and ended, a stop does nothing, and waiting for its end returns at
// once, without touching anything a parent thread may have held at the fork.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/completion.hpp"
#include "runtime/process.hpp"

namespace varnex {

class RunState {
 public:
  enum class Kind : std::uint8_t {
    Timer,  // ends when stopped outside a call
    Call,   // ends when its body finishes (a stop only prevents a call not yet begun)
    Loop,   // a loop of the module's own (no user code): ends when the loop says so (finish()),
            // after its last action; a stop wakes it through stop_event()
  };

  explicit RunState(Kind kind) noexcept : kind_(kind) {}
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;

  Kind kind() const noexcept { return kind_; }

  // For good; never interrupts a call in progress. Safe from any thread, any number of times.
  void request_stop() noexcept;
  bool stop_requested() const noexcept {
    return (bits_.load(std::memory_order_acquire) & kStop) != 0 || born_.inherited();
  }
  // Set by the first request_stop(), so that a body sleeping between its actions wakes for it.
  const rt::Completion& stop_event() const noexcept { return stopped_; }

  // Before a call: false (and nothing begun) once a stop was requested.
  bool begin_call() noexcept;
  // After the call begun last: a timer stopped meanwhile ends here.
  void end_call() noexcept;
  // The body will run no more user code.
  void finish() noexcept { ended_.set(); }

  bool ended() const noexcept { return ended_.is_set() || born_.inherited(); }
  const rt::Completion& ended_event() const noexcept {
    return born_.inherited() ? already_ended() : ended_;
  }
  // Made in a parent process (see above).
  bool inherited() const noexcept { return born_.inherited(); }

  // Marks the calling thread as running a call of `run` for its scope, so that a wait for every
  // run made from inside that call (a shutdown from a timer's callback) does not wait for the
  // run that is waiting.
  class CallScope {
   public:
    explicit CallScope(const RunState& run) noexcept : saved_(current_) { current_ = &run; }
    ~CallScope() { current_ = saved_; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

   private:
    const RunState* saved_;
  };
  // The run whose call the calling thread is making, if any.
  static const RunState* current() noexcept { return current_; }

 private:
  static constexpr std::uint8_t kStop = 1;
  static constexpr std::uint8_t kInCall = 2;

  static thread_local const RunState* current_;
  // Set for good: the end of every run inherited from a parent process.
  static const rt::Completion& already_ended() noexcept;

  const Kind kind_;
  const rt::ProcessStamp born_;
  std::atomic<std::uint8_t> bits_{0};
  rt::Completion stopped_;
  rt::Completion ended_;
};

}  // namespace varnex
