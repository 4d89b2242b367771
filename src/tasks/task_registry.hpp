// The process-wide registry of running timers and background calls.
//
// The registry does not own what it lists. Each timer or background call shares a running flag
// with its entry; the registry only reads and clears that flag and never cancels, joins or awaits
// anything. Entries leave the map when their handle is destroyed (unregister_task) or through
// cleanup().
//
// Locking: one reader-writer lock guards the map's structure. register/unregister/cleanup take it
// for writing; counting, status and stop_all take it for reading. The flags are atomics. No
// sleep happens and no callback runs while the lock is held, so a caller that holds the GIL while
// waiting for the lock never blocks a lock holder.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <unordered_map>

namespace varnex {

enum class TaskKind : std::uint8_t {
  Timer = 0,      // a started timer
  AsyncTask = 1,  // a background call
};

using RunningFlag = std::shared_ptr<std::atomic<bool>>;

struct TaskEntry {
  TaskKind kind;
  RunningFlag running;  // set while the item is meant to run; clear counts as stopped
  // The item's join-handle slot, kept alive as long as the entry exists. The registry never
  // reads it, so it holds it type-erased.
  std::shared_ptr<void> task_slot;
};

// Counts from one pass over the entries; running_timers + running_tasks + stopped == total.
struct StatusSummary {
  std::size_t running_timers = 0;
  std::size_t running_tasks = 0;
  std::size_t stopped = 0;
  std::size_t total = 0;

  bool operator==(const StatusSummary&) const = default;
};

enum class WaitOutcome : std::uint8_t {
  AllStopped,   // no entry's running flag is set
  TimedOut,     // the time limit passed first
  Interrupted,  // the interrupt check asked to stop waiting
};

class TaskManager {
 public:
  // wait_all polls the running flags at this interval with plain thread sleeps.
  static constexpr std::chrono::milliseconds kPollInterval{10};

  TaskManager() = default;
  TaskManager(const TaskManager&) = delete;
  TaskManager& operator=(const TaskManager&) = delete;

  // Adds an entry (its running flag is normally set). An entry already stored under the id is
  // replaced; ids come from next_task_id(), so that does not happen.
  void register_task(std::uint64_t id, RunningFlag running, std::shared_ptr<void> task_slot,
                     TaskKind kind);
  // Removes the entry of `id`; an unknown id is ignored.
  void unregister_task(std::uint64_t id);

  // Entries whose running flag is set.
  std::size_t running_count() const;
  // All entries, stopped ones included.
  std::size_t total_count() const;
  // Timer entries whose running flag is set.
  std::size_t timer_count() const;
  // AsyncTask entries whose running flag is set.
  std::size_t async_task_count() const;
  StatusSummary status_summary() const;

  // Sets the stop flag (for good), then clears every entry's running flag. Removes nothing and
  // interrupts nothing: a timer ends at its next check, a call in progress runs to its end.
  void stop_all();

  // Waits until no entry's running flag is set. Without a limit it waits as long as that takes;
  // with a limit T it returns false once T has passed (checked before each sleep), so a limit of
  // 0 with a running entry returns false at once. Returns true at once, without sleeping, when
  // nothing runs. Holds the lock only for each count, never across a sleep.
  bool wait_all(std::optional<std::uint64_t> timeout_ms) const;

  // The same wait, calling `interrupted` after every sleep; when it returns true the wait ends
  // with WaitOutcome::Interrupted. The Python layer uses it to let Ctrl+C end a wait.
  WaitOutcome wait_all(std::optional<std::uint64_t> timeout_ms,
                       const std::function<bool()>& interrupted) const;

  // Removes every entry whose running flag is clear; running entries stay. Returns how many
  // were removed.
  std::size_t cleanup();

  // Set by the first stop_all and never cleared. Timer loops read it before every call.
  const std::atomic<bool>& stop_flag() const { return stop_flag_; }
  bool stop_requested() const { return stop_flag_.load(std::memory_order_acquire); }

 private:
  template <class Pred>
  std::size_t count_if(Pred pred) const;

  mutable std::shared_mutex mutex_;
  std::unordered_map<std::uint64_t, TaskEntry> entries_;
  std::atomic<bool> stop_flag_{false};
};

// The registry of the process, created by its first user and never destroyed (background threads
// may still use it while the process exits).
TaskManager& task_manager();

}  // namespace varnex
