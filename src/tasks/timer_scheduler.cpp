#include "tasks/timer_scheduler.hpp"

#include <exception>
#include <utility>

#include "runtime/process.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace varnex {

namespace {

class PoolPlatform final : public TimerScheduler::Platform {
 public:
  rt::Instant now() override { return rt::Clock::now(); }
  void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
            std::optional<rt::Instant> deadline) override {
    if (deadline) {
      cv.wait_until(lock, *deadline);
    } else {
      cv.wait(lock);
    }
  }
  void start_thread(std::function<void()> job) override {
    rt::Runtime::get().blocking_pool().submit(std::move(job));
  }
};

}  // namespace

Status TimerScheduler::add(std::shared_ptr<TimerRun> timer, std::chrono::nanoseconds period,
                           std::shared_ptr<TickCallback> callback,
                           const std::atomic<bool>& stop_flag) {
  CallGate* gate = callback->gate();
  auto slot = std::make_unique<ScheduledTimer>(ScheduledTimer{
      std::move(timer), std::move(callback), &stop_flag, period, gate, platform_.now()});
  const ScheduledTimer* added = slot.get();
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    const rt::Instant due = slot->due;
    schedule_.add(std::move(slot));
    if (leader_) {
      if (!leader_until_ || due < *leader_until_) leader_wake_.notify_one();
    } else {
      start = claim_driver_start();
    }
  }
  if (!start) return {};
  Status started = start_driver();
  if (started) return {};
  TimerSlot taken_back;
  {
    std::lock_guard lock(mutex_);
    // A runner that will lead again, or a driver another start got going, serves it after all.
    if (leader_ || starting_ > 0 || schedule_.has_batches()) return {};
    taken_back = schedule_.remove(added);
  }
  return started;
}

bool TimerScheduler::claim_driver_start() noexcept {
  if (leader_ || starting_ > 0) return false;
  ++starting_;
  return true;
}

Status TimerScheduler::start_driver() noexcept {
  try {
    platform_.start_thread([this] { drive(); });
    return {};
  } catch (const std::exception& e) {
    std::lock_guard lock(mutex_);
    --starting_;
    return Error::fatal(e.what());
  }
}

void TimerScheduler::drive() noexcept {
  std::unique_lock lock(mutex_);
  --starting_;
  lead(lock);
}

void TimerScheduler::lead(std::unique_lock<std::mutex>& lock) noexcept {
  for (;;) {
    if (leader_ || schedule_.empty()) return;
    leader_ = true;
    std::vector<BatchRef> started;
    while (!schedule_.empty()) {
      const rt::Instant now = platform_.now();
      const std::optional<rt::Instant> wake = schedule_.wake_at(now);
      if (!wake || *wake > now) {
        leader_until_ = wake;
        platform_.wait(lock, leader_wake_, wake);
        leader_until_.reset();
        continue;
      }
      started = schedule_.take_due(now);
      if (!started.empty()) break;
    }
    leader_ = false;
    if (started.empty()) return;  // nothing left; the next timer start asks for a driver

    // Batches of other gates get threads of their own (or run after this one).
    std::vector<BatchRef> here{started.front()};
    for (std::size_t i = 1; i < started.size(); ++i) {
      BatchRef batch = started[i];
      lock.unlock();
      try {
        platform_.start_thread([this, batch] {
          std::unique_lock runner_lock(mutex_);
          run(runner_lock, batch);
          lead(runner_lock);
        });
      } catch (const std::exception&) {
        here.push_back(batch);
      }
      lock.lock();
    }
    if (!schedule_.holds_only(*started.front()) && claim_driver_start()) {
      lock.unlock();
      (void)start_driver();  // without one, this thread leads again after its batch
      lock.lock();
    }
    for (const BatchRef& batch : here) run(lock, batch);
  }
}

void TimerScheduler::run(std::unique_lock<std::mutex>& lock, const BatchRef& batch) noexcept {
  CallGate* gate = batch->gate;
  lock.unlock();
  bool entered = gate == nullptr || gate->enter();
  lock.lock();
  // A leader waiting past the moment this batch could become stuck looks again.
  if (schedule_.begin(*batch, platform_.now()) && leader_ &&
      (!leader_until_ || *leader_until_ > batch->since + TimerSchedule::kHandOverAfter)) {
    leader_wake_.notify_one();
  }
  std::vector<TimerSlot> over;
  for (;;) {
    TimerSlot timer = schedule_.next(*batch, platform_.now());
    if (!timer) break;
    lock.unlock();
    const bool goes_on = tick(*timer, gate, entered);
    lock.lock();
    if (!goes_on) {
      over.push_back(std::move(timer));
    } else if (put_back(std::move(timer), !batch->queue.empty())) {
      lock.unlock();
      (void)start_driver();
      lock.lock();
    }
  }
  // A leader waiting for nothing more goes back to the pool.
  if (leader_ && schedule_.empty()) leader_wake_.notify_one();
  lock.unlock();
  if (gate != nullptr && entered) gate->leave();
  over.clear();  // the ended timers' callbacks go without the gate and without the lock
  lock.lock();
}

bool TimerScheduler::tick(ScheduledTimer& timer, CallGate* gate, bool& entered) noexcept {
  RunState& run = timer.timer->run;
  if (!entered) {  // the gate is closed for good (the interpreter is finalizing)
    run.request_stop();
    run.finish();
    return false;
  }
  if (!may_call(run, *timer.stop_flag)) {
    run.finish();
    return false;
  }
  const rt::Instant taken = platform_.now();
  bool callable = true;
  std::string text;
  {
    RunState::CallScope scope(run);
    if (gate != nullptr) {
      text = timer.callback->call_entered();
    } else {
      callable = timer.callback->call();
    }
  }
  if (!text.empty()) {
    // Reported as a call on its own reports it: with the gate left.
    gate->leave();
    timer.callback->report(std::move(text));
    entered = gate->enter();
  }
  if (callable) {
    timer.timer->tick_count.fetch_add(1, std::memory_order_acq_rel);
  } else {
    run.request_stop();
  }
  run.end_call();
  if (!callable || run.stop_requested()) {
    run.finish();
    return false;
  }
  timer.due = rt::next_tick(timer.due, taken, timer.period, rt::Interval::kMissedTicks);
  return true;
}

bool TimerScheduler::put_back(TimerSlot timer, bool busy) {
  const rt::Instant due = timer->due;
  schedule_.add(std::move(timer));
  if (leader_) {
    if (!leader_until_ || due < *leader_until_) leader_wake_.notify_one();
    return false;
  }
  return busy && claim_driver_start();
}

namespace {

// The platform lives beside its scheduler, never destroyed: the pool threads that drive the
// timers may still wake and read the clock while the process runs its exit handlers.
struct ProcessScheduler {
  PoolPlatform platform;
  TimerScheduler scheduler{platform};
};
// A child made by fork() gets a scheduler of its own on first use: the parent's timers and
// driver threads did not come along, and its mutex may be held by one of them.
constinit rt::PerProcess<ProcessScheduler> schedulers;

}  // namespace

TimerScheduler& normal_timer_scheduler() { return schedulers.get().scheduler; }

}  // namespace varnex
