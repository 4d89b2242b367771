// The fixed-rate broadcast of a motor group: a thread of the module's own that sends the group's
// target frame every period, with no call into the embedding language per period, and the
// optional deadman watchdog.
//
// Each period: if the watchdog is armed and nothing was set or fed for its limit, the targets
// become safe (target_board.hpp) and one line says so:
//   "[Motor] watchdog: no target set for <limit> s; targets made safe (speed and current 0,
//    position held)"
// then the frame as the board holds it at that moment goes out with CanLink::send_now. A frame
// that cannot be written at once (frames queued ahead, no room, ENOBUFS, link down) is not
// queued: the period is skipped and counted, with at most one line per reason and second:
//   "[Motor] broadcast skipped a period: <reason>"
// so a stalled bus never builds a backlog of stale targets, and once it is back the next period
// sends the targets as they are then.
//
// Timing: the thread waits for each deadline on the monotonic clock (an absolute deadline, so
// the rate never drifts), sleeping until `spin_window` before it and spinning the rest. A wake
// later than a whole period skips (and counts) the grid points that passed instead of sending a
// burst: every period either sent its frame (the run's tick count) or was skipped.
//
// End: the loop ends when its run is stopped (the handle, the registry's stop_all, the group's
// close or destruction, the process's exit) or the registry's stop flag is set. With a watchdog
// the targets are then made safe and the safe frame is the last frame it sends (written at once,
// else queued behind what is queued). Only then does the run count as ended, so a wait for it
// (wait_all, close) returns after the safe frame was handed over. No end survives SIGKILL, a
// signal whose default action ends the process, or a power loss: only the drivers' own command
// timeouts help there.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "common/result.hpp"
#include "motor/can_link.hpp"
#include "motor/device_list.hpp"
#include "motor/target_board.hpp"
#include "tasks/task_manager.hpp"
#include "tasks/timer_handle.hpp"
#include "tasks/timer_thread.hpp"

namespace varnex::motor {

// How long before each deadline the broadcast thread stops sleeping and spins. Chosen by
// measurement (bench/broadcast_timing.cpp, 1 kHz on the development machine): a thread that only
// sleeps wakes about 0.1 ms late (p50); a 0.1 ms spin absorbs that for about 0.005 CPU, 0.2 ms
// (realtime) also most of the rest for about 0.1 CPU, while 0.3 ms costs 0.2 and gains nothing.
// The spin only runs when the wake-up comes early, so a machine that wakes late pays nothing.
inline constexpr std::chrono::nanoseconds kBroadcastSpin{100'000};
inline constexpr std::chrono::nanoseconds kRealtimeBroadcastSpin{200'000};

struct BroadcastOptions {
  double frequency_hz = 0.0;
  bool realtime = false;
  std::optional<double> watchdog_s;  // seconds; none: no watchdog
  ThreadScheduling scheduling;
};

// The group's counts, over all its broadcasts.
struct BroadcastCounters {
  std::atomic<std::uint64_t> skipped{0};  // periods that sent no frame
  std::atomic<std::uint64_t> watchdog_trips{0};
};

// What the loop uses; it holds its own references, so it never depends on the group.
struct BroadcastParts {
  std::shared_ptr<CanLink> link;
  std::shared_ptr<TargetBoard> board;
  std::shared_ptr<DeviceList> devices;
  std::shared_ptr<BroadcastCounters> counters;
  std::uint32_t host = 0;
};

// The loop's timing, fixed at start.
struct BroadcastTiming {
  std::chrono::nanoseconds period;
  std::chrono::nanoseconds spin_window;
  std::optional<std::chrono::nanoseconds> watchdog;
};

// Checks the options before anything starts (ValueError texts): the timer frequency rules with
// realtime as for precision_timer, a usable period, "watchdog must be a positive, finite number
// of seconds", the scheduling ranges. The timing they give.
Result<BroadcastTiming> broadcast_timing(const BroadcastOptions& options);

// The body of the broadcast thread (see above), run on the calling thread until the run ends.
void run_broadcast(const BroadcastParts& parts, const BroadcastTiming& timing, TimerRun& run,
                   const std::atomic<bool>& stop_flag);

// Registers a broadcast under `task_id` as a Timer entry, starts its thread
// ("broadcast-<id>", placed by the options' scheduling) and returns the handle, not yet adopted.
// Errors: those of broadcast_timing, the refused thread (Fatal "Failed to spawn broadcast
// thread: ...") or placement (PermissionError, ValueError); nothing runs or stays registered
// then.
Result<TimerHandle> start_broadcast(BroadcastParts parts, const BroadcastOptions& options,
                                    std::uint64_t task_id, TaskManager& registry = task_manager());

// Stops every broadcast of the process and waits (at most `limit` in all) until each has sent
// its last frame: the module calls it when the interpreter exits.
void stop_every_broadcast(std::chrono::milliseconds limit);

}  // namespace varnex::motor
