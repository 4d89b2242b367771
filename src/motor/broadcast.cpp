#include "motor/broadcast.hpp"

#include <sys/prctl.h>

#include <cmath>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "runtime/clock.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/repeat_limiter.hpp"
#include "runtime/time.hpp"
#include "tasks/precision_sleep.hpp"
#include "tasks/timer_format.hpp"
#include "tasks/timer_period.hpp"

namespace varnex::motor {

namespace {

constexpr const char* kOrigin = "Motor.start_broadcast()";

// The broadcasts of the process that may still run, for stop_every_broadcast. The mutex guards
// the list only; it is a leaf (nothing is called while it is held) and is never held while a
// broadcast is waited for.
std::mutex g_live_mutex;
std::vector<std::weak_ptr<TimerRun>>& live_broadcasts() {
  // Never destroyed: the process's exit may still walk it.
  static auto* const live = new std::vector<std::weak_ptr<TimerRun>>();
  return *live;
}

void add_live(const std::shared_ptr<TimerRun>& run) {
  std::lock_guard lock(g_live_mutex);
  std::vector<std::weak_ptr<TimerRun>>& live = live_broadcasts();
  std::erase_if(live, [](const std::weak_ptr<TimerRun>& w) {
    const std::shared_ptr<TimerRun> r = w.lock();
    return !r || r->run.ended();
  });
  live.push_back(run);
}

std::vector<std::uint8_t> bytes_of(const FrameData& frame) {
  return std::vector<std::uint8_t>(frame.begin(), frame.end());
}

// Sleeps until `spin_window` before `deadline` (waking at once for a stop), then spins to it.
// True when the run was stopped meanwhile.
bool wait_for_deadline(const RunState& run, rt::Instant deadline,
                       std::chrono::nanoseconds spin_window) {
  if (run.stop_event().wait_until(deadline - spin_window)) return true;
  rt::Instant now = rt::Clock::now();
  while (now < deadline) {
    cpu_relax();
    now = rt::Clock::now();
  }
  return run.stop_requested();
}

class Loop {
 public:
  Loop(const BroadcastParts& parts, const BroadcastTiming& timing, TimerRun& run)
      : parts_(parts), timing_(timing), run_(run) {}

  // One period's work: the watchdog, then the frame as the board holds it now.
  void send_period() {
    if (timing_.watchdog) check_watchdog();
    const FrameData frame = parts_.board->frame();  // no allocation per period
    Result<CanLink::Sent> sent = parts_.link->send_now(parts_.host, frame);
    if (sent && sent.value() == CanLink::Sent::Written) {
      run_.tick_count.fetch_add(1, std::memory_order_acq_rel);
      parts_.board->note_sent();
    } else {
      skip(1, sent ? std::string("no room to write it at once (transmit queue full or frames "
                                 "queued ahead)")
                   : sent.error().message);
    }
    skips_.flush();
  }

  void skip(std::uint64_t periods, const std::string& reason) {
    parts_.counters->skipped.fetch_add(periods, std::memory_order_relaxed);
    if (!reason.empty()) {
      skips_.report("[Motor] broadcast skipped a period: " + reason, DiagnosticLevel::Warning,
                    {{"can_id", std::uint64_t{parts_.host}}});
    }
  }

  // The end with a watchdog: the safe frame last, written at once or else queued (the device
  // writes it in turn once there is room; a safe frame late is still safe).
  void send_safe_frame() {
    const FrameData safe = parts_.board->make_safe(parts_.devices->snapshot());
    Result<CanLink::Sent> sent = parts_.link->send_now(parts_.host, safe);
    if (sent && sent.value() == CanLink::Sent::Written) return;
    Status queued = sent ? parts_.link->send(parts_.host, bytes_of(safe)) : Status(sent.error());
    if (!queued) {
      write_stderr(DiagnosticLevel::Error,
                   "[Motor] broadcast ended, but its safe frame could not be sent: " +
                       queued.error().message + "\n",
                   {{"can_id", std::uint64_t{parts_.host}}});
    }
  }

 private:
  void check_watchdog() {
    const rt::Instant now = rt::Clock::now();
    TargetBoard& board = *parts_.board;
    // Lock-free on every period; the board's lock only when it looks quiet.
    if (board.tripped() || now - board.last_feed() < *timing_.watchdog) return;
    if (!board.trip_if_quiet(now, *timing_.watchdog, parts_.devices->snapshot())) return;
    parts_.counters->watchdog_trips.fetch_add(1, std::memory_order_relaxed);
    write_stderr(
        DiagnosticLevel::Warning,
        "[Motor] watchdog: no target set for " +
            format_shortest_positional(std::chrono::duration<double>(*timing_.watchdog).count()) +
            " s; targets made safe (speed and current 0, position held)\n",
        {{"can_id", std::uint64_t{parts_.host}}});
  }

  const BroadcastParts& parts_;
  const BroadcastTiming& timing_;
  TimerRun& run_;
  RepeatLimiter skips_;
};

}  // namespace

Result<BroadcastTiming> broadcast_timing(const BroadcastOptions& options) {
  const TimerPrecision precision =
      options.realtime ? TimerPrecision::Realtime : TimerPrecision::High;
  if (Status ok = check_timer_frequency(options.frequency_hz, precision); !ok) {
    return std::move(ok).error();
  }
  Result<std::chrono::nanoseconds> period = period_from_frequency(options.frequency_hz);
  if (!period) return std::move(period).error();
  BroadcastTiming timing{period.value(), options.realtime ? kRealtimeBroadcastSpin : kBroadcastSpin,
                         std::nullopt};
  if (options.watchdog_s) {
    const double s = *options.watchdog_s;
    // Longer than 10^9 s is no limit anyone means; it also keeps the conversion in range.
    if (!(s > 0.0) || !std::isfinite(s) || s > 1e9) {
      return Error::value("watchdog must be a positive, finite number of seconds");
    }
    timing.watchdog =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(s));
    if (*timing.watchdog <= std::chrono::nanoseconds::zero())
      timing.watchdog = std::chrono::nanoseconds(1);
  }
  if (Status ok = check_thread_scheduling(options.scheduling); !ok) return std::move(ok).error();
  return timing;
}

void run_broadcast(const BroadcastParts& parts, const BroadcastTiming& timing, TimerRun& run,
                   const std::atomic<bool>& stop_flag) {
  Loop loop(parts, timing, run);
  rt::Instant due = rt::Clock::now();  // the first period is now
  for (;;) {
    if (stop_flag.load(std::memory_order_acquire)) run.run.request_stop();
    if (run.run.stop_requested()) break;
    loop.send_period();
    const rt::Instant next = due + timing.period;
    if (wait_for_deadline(run.run, next, timing.spin_window)) break;
    // The timer threads' rule: woken more than a period late, the grid points that passed are
    // skipped (and counted), not sent in a burst; the grid keeps its phase.
    const rt::Instant following = rt::next_tick(next, rt::Clock::now(), timing.period,
                                                rt::MissedTicks::kept_within_a_period());
    const std::int64_t missed = (following - next) / timing.period - 1;
    if (missed > 0) loop.skip(static_cast<std::uint64_t>(missed), {});
    due = following - timing.period;
  }
  if (timing.watchdog) loop.send_safe_frame();
  run.run.finish();
}

Result<TimerHandle> start_broadcast(BroadcastParts parts, const BroadcastOptions& options,
                                    std::uint64_t task_id, TaskManager& registry) {
  Result<BroadcastTiming> timing = broadcast_timing(options);
  if (!timing) return std::move(timing).error();
  auto run = std::make_shared<TimerRun>(RunState::Kind::Loop);
  registry.register_task(task_id, std::shared_ptr<RunState>(run, &run->run), TaskKind::Timer);
  // From here, dropping the handle undoes the registration.
  TimerHandle handle(run, task_id, options.frequency_hz,
                     options.realtime ? TimerPrecision::Realtime : TimerPrecision::High, registry,
                     {}, kOrigin);
  const std::atomic<bool>& stop_flag = registry.stop_flag();
  auto body = [parts = std::move(parts), timing = timing.value(), run, &stop_flag] {
    // The wake-up of each period is the one timing this thread has: no slack on its sleeps.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    run_broadcast(parts, timing, *run, stop_flag);
  };
  Status started = start_timer_thread("broadcast-" + std::to_string(task_id), std::move(body),
                                      "Failed to spawn broadcast thread", options.scheduling);
  if (!started) return std::move(started).error();
  add_live(run);
  return handle;
}

void stop_every_broadcast(std::chrono::milliseconds limit) {
  std::vector<std::shared_ptr<TimerRun>> runs;
  {
    std::lock_guard lock(g_live_mutex);
    for (const std::weak_ptr<TimerRun>& w : live_broadcasts()) {
      if (std::shared_ptr<TimerRun> run = w.lock()) runs.push_back(std::move(run));
    }
  }
  for (const std::shared_ptr<TimerRun>& run : runs) run->run.request_stop();
  const rt::Instant deadline = rt::Clock::now() + limit;
  for (const std::shared_ptr<TimerRun>& run : runs) run->run.ended_event().wait_until(deadline);
}

}  // namespace varnex::motor
