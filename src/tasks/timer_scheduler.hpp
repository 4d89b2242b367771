// The normal engine: every normal timer of the process, called on the runtime's blocking pool.
//
// The pool threads that serve the timers take turns in two roles (a leader/followers scheme):
//   leader  at most one: waits (a timed wait on a condition variable) for the earliest deadline,
//           then takes what is due (TimerSchedule::take_due). If the ticks joined a batch that
//           another thread runs, it waits again; otherwise it runs the new batch itself, so a
//           call never hops from the thread that woke for it to another one. Before it does, it
//           asks the pool for another thread to lead meanwhile, unless its batch holds the only
//           timer there is (then nothing else waits, and no second thread wakes at all).
//   runner  calls its batch: enters the gate once (the GIL, through the callbacks), then for each
//           timer checks for a stop, takes the tick, calls, counts, and puts the timer back to
//           wait for its next tick. A call that leaves an error line has it reported with the
//           gate left, then the gate is entered again for the rest. Then it leads again, or goes
//           back to the pool if another thread leads.
// With one timer that is one wake-up and one entry of the gate per tick, on one thread; with a
// thousand, one wake-up and one entry of the gate per batch of ticks due together.
//
// The tick rule is the runtime interval's (rt::next_tick with 5 ms kept on the grid): the first
// tick is due at once; a tick taken at most 5 ms late keeps the grid, a later one makes the
// timer skip the grid points already passed. A tick is taken when its call begins.
//
// Locking: mutex_ guards the schedule and the roles. Timer starts take it (on any thread, maybe
// holding the GIL), and so do drivers and runners (a runner holds its gate, the GIL, while it
// takes it). While it is held nothing is called, no gate is entered, no other lock of the module
// is taken and nothing is waited for except by the leader in its wait, which releases it. The
// blocking pool is asked for a thread after it is released. Everything lives in one object
// reached through one pointer (normal_timer_scheduler), so a forked child, which has none of the
// threads, can abandon it (not unlock or destroy it) and start afresh.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/result.hpp"
#include "tasks/timer_loops.hpp"
#include "tasks/timer_schedule.hpp"

namespace varnex {

class TimerScheduler {
 public:
  // The clock, the wait and the threads; the runtime's in the process, a fake one in tests.
  class Platform {
   public:
    virtual ~Platform() = default;
    virtual rt::Instant now() = 0;
    // Waits on `cv` (with `lock` held, released meanwhile) until notified or past `deadline`
    // (none: no limit). May return early.
    virtual void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                      std::optional<rt::Instant> deadline) = 0;
    // Runs `job` on another thread (a blocking-pool thread). Throws when none can be had.
    virtual void start_thread(std::function<void()> job) = 0;
  };

  explicit TimerScheduler(Platform& platform) noexcept : platform_(platform) {}
  TimerScheduler(const TimerScheduler&) = delete;
  TimerScheduler& operator=(const TimerScheduler&) = delete;

  // Schedules a timer whose first tick is due at once. Never blocks beyond the lock above.
  // A Fatal error when no thread could be had to serve it; it is then not scheduled.
  Status add(std::shared_ptr<TimerRun> timer, std::chrono::nanoseconds period,
             std::shared_ptr<TickCallback> callback, const std::atomic<bool>& stop_flag);

 private:
  // A driver thread's body: lead, run what it took, lead again while nobody else does.
  void drive() noexcept;
  void lead(std::unique_lock<std::mutex>& lock) noexcept;
  // Calls `batch`; with `lock` held on entry and on return.
  void run(std::unique_lock<std::mutex>& lock, const BatchRef& batch) noexcept;
  // One timer's tick, with no lock held. False when the timer is over.
  bool tick(ScheduledTimer& timer, CallGate* gate, bool& entered) noexcept;
  // Back to waiting for its next tick; with the lock held. `busy`: the calling runner has more
  // to call, so it cannot lead soon. True when the caller must start_driver().
  bool put_back(TimerSlot timer, bool busy);
  // A driver thread is wanted when no thread leads and none is on its way; with the lock held.
  // True when the caller must call start_driver() once the lock is released.
  bool claim_driver_start() noexcept;
  // Without the lock. An error when no thread could be had.
  Status start_driver() noexcept;

  Platform& platform_;
  std::mutex mutex_;
  std::condition_variable leader_wake_;
  TimerSchedule schedule_;
  bool leader_ = false;
  std::optional<rt::Instant> leader_until_;  // when the leader's wait ends; none: no limit
  unsigned starting_ = 0;                    // driver threads asked for, not yet driving
};

// The scheduler of the process's normal timers, on the shared runtime's blocking pool (built by
// the first one). Created on first use, never destroyed.
TimerScheduler& normal_timer_scheduler();

}  // namespace varnex
