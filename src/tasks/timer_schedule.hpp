// The bookkeeping of the normal timers: who waits for which deadline, and which ticks are
// called together. Plain data, no threads and no clock of its own (every time is passed in), so
// its rules are tested with made-up times; the TimerScheduler (timer_scheduler.hpp) guards it
// with its lock and runs it.
//
// A timer is in exactly one place at a time: waiting for its deadline, queued in a batch, or in
// the hands of the thread calling it. So no timer is ever called twice at once, and a timer whose
// call is still running is not due again until the call has ended (the tick rule then decides
// whether its late tick is served or skipped).
//
// A batch is a list of taken ticks that one thread (its runner) calls one after the other under
// one entry of their gate (the GIL). Ticks that come due join a batch of their gate that has not
// entered it yet, or that is calling briskly; only when there is none does a new batch start. A
// batch whose call in progress has run for kHandOverAfter is stuck: it takes no more ticks, and
// the ones it has not begun are taken from it for another thread, so that a slow call holds
// back the ticks queued behind it by about that long at most.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "runtime/clock.hpp"
#include "tasks/timer_loops.hpp"

namespace varnex {

// One normal timer as the scheduler holds it between two calls.
struct ScheduledTimer {
  std::shared_ptr<TimerRun> timer;
  std::shared_ptr<TickCallback> callback;
  const std::atomic<bool>* stop_flag;
  std::chrono::nanoseconds period;
  CallGate* gate;   // callback->gate(), asked once
  rt::Instant due;  // the deadline of the next tick to take
};
using TimerSlot = std::unique_ptr<ScheduledTimer>;

struct TimerBatch {
  explicit TimerBatch(CallGate* g, rt::Instant formed) : gate(g), since(formed) {}
  CallGate* gate;
  std::deque<TimerSlot> queue;  // taken, not begun
  bool calling = false;         // its runner has entered the gate
  rt::Instant since;            // when it was formed; once calling, when its current call began
};
using BatchRef = std::shared_ptr<TimerBatch>;

class TimerSchedule {
 public:
  static constexpr std::chrono::milliseconds kHandOverAfter{5};

  // Waits for timer->due.
  void add(TimerSlot timer);

  // No timer waits and no batch has one queued.
  bool empty() const noexcept { return waiting_.empty() && batches_.empty(); }
  std::size_t waiting() const noexcept { return waiting_.size(); }
  // `batch` holds the only timer there is: nothing else would wait while it is called.
  bool holds_only(const TimerBatch& batch) const noexcept;
  // Some batch is not done: its runner will come back to lead.
  bool has_batches() const noexcept { return !batches_.empty(); }
  // Takes `timer` back while it waits (a start that found no thread to serve it).
  TimerSlot remove(const ScheduledTimer* timer);

  // When to look again: the earliest deadline, or the moment a batch with ticks queued would
  // become stuck. None: nothing to look for (only batches entering their gate for long).
  std::optional<rt::Instant> wake_at(rt::Instant now) const;

  // Takes the ticks due at `now` and those a stuck batch has not begun, and queues them in
  // batches (joining one where the rules above allow). Returns the batches it had to start,
  // for the caller to run; empty when every tick joined a batch or nothing was due.
  std::vector<BatchRef> take_due(rt::Instant now);

  // The runner of `batch` has entered its gate (or found it closed for good) at `now`.
  // True when the batch has ticks queued, so that it could become stuck: a leader waiting past
  // `now` + kHandOverAfter should look again.
  bool begin(TimerBatch& batch, rt::Instant now);

  // The next timer for the runner of `batch` to call, its call beginning at `now`; null once
  // the batch is done (it then takes no more ticks).
  TimerSlot next(TimerBatch& batch, rt::Instant now);

 private:
  bool stuck(const TimerBatch& batch, rt::Instant now) const noexcept;
  TimerBatch* open_batch_for(CallGate* gate, rt::Instant now) noexcept;

  std::vector<TimerSlot> waiting_;  // a min-heap on `due`
  std::vector<BatchRef> batches_;   // every batch not yet done, oldest first
};

}  // namespace varnex
