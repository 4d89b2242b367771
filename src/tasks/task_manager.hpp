// The process-wide registry of timers and background calls.
//
// The registry does not own what it lists: each entry shares the item's RunState. It counts an
// item as running until the item has ended (no code of it runs or will run), asks items to stop
// and waits for them to end; it never cancels, joins or interrupts anything.
//
// An entry leaves the map through unregister_task (at once), release_task (its handle is gone:
// at once if the item has ended, else as soon as it has, so that nothing in progress escapes
// wait_all) or cleanup().
//
// Locking: one reader-writer lock guards the map's structure. Adding and removing take it for
// writing; counting, status and stop_all for reading. No wait happens and no callback runs
// while it is held, so a caller that holds the GIL while waiting for the lock never blocks a
// holder.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/lock_order.hpp"
#include "common/result.hpp"
#include "runtime/completion.hpp"
#include "tasks/run_state.hpp"

namespace varnex {

enum class TaskKind : std::uint8_t {
  Timer = 0,      // a started timer
  AsyncTask = 1,  // a background call
};

struct TaskEntry {
  TaskKind kind;
  std::shared_ptr<RunState> run;
  bool released = false;  // its handle is gone: it leaves once it has ended
};

// Counts from one pass over the entries; running_timers + running_tasks + stopped == total.
struct StatusSummary {
  std::size_t running_timers = 0;
  std::size_t running_tasks = 0;
  std::size_t stopped = 0;
  std::size_t total = 0;

  bool operator==(const StatusSummary&) const = default;
};

class TaskManager {
 public:
  TaskManager() = default;
  TaskManager(const TaskManager&) = delete;
  TaskManager& operator=(const TaskManager&) = delete;

  // Adds an entry. One already stored under the id is replaced; ids come from next_task_id(),
  // so that does not happen.
  void register_task(std::uint64_t id, std::shared_ptr<RunState> run, TaskKind kind);
  // Removes the entry of `id` at once; an unknown id is ignored.
  void unregister_task(std::uint64_t id);
  // The handle of `id` is gone: the entry leaves now if the item has ended, else once it has.
  void release_task(std::uint64_t id);

  // Entries that have not ended.
  std::size_t running_count() const;
  // All entries, ended ones included.
  std::size_t total_count() const;
  // Timer entries that have not ended.
  std::size_t timer_count() const;
  // AsyncTask entries that have not ended.
  std::size_t async_task_count() const;
  StatusSummary status_summary() const;

  // Sets the stop flag (for good), then asks every entry to stop. Removes nothing and
  // interrupts nothing: a timer's call in progress and a call already begun run to their end.
  void stop_all();

  // Waits until every entry has ended, waking as each one ends. Called from inside a timer's or
  // a background call's own call, it does not wait for that one (it cannot end meanwhile). With a
  // limit T it returns false once T has passed, so a limit of 0 with an entry not ended returns
  // false at once; without one it waits as long as that takes. Returns true at once when nothing
  // runs.
  bool wait_all(std::optional<std::chrono::nanoseconds> limit) const;

  // The same wait, calling `interrupted` at least every rt::kInterruptCheckPeriod; when it
  // returns true the wait ends with rt::WaitEnd::Interrupted (Done: every entry has ended;
  // TimedOut: the limit passed first). The Python layer uses it to let Ctrl+C end a wait.
  rt::WaitEnd wait_all(std::optional<std::chrono::nanoseconds> limit,
                       const rt::InterruptCheck& interrupted) const;

  // The entries that have not ended, by id (ascending), with their kinds.
  std::vector<std::pair<std::uint64_t, TaskKind>> running_entries() const;

  // Removes every entry that has ended; the others stay. Returns how many were removed.
  std::size_t cleanup();

  // Clears the stop flag, so that timers started from now on run again (a REPL, a notebook or
  // a test suite that shut down once). Only once nothing runs: while an entry has not ended
  // (a call still in progress after the stop, a timer started since) it fails (kind Runtime)
  // with "reset_stop refused: still running: <what>; stop and wait for them first (shutdown_all)"
  // and changes nothing. True when a stop was cleared, false when none was in effect.
  // Checked under the write lock, so no entry can be registered between the check and the clear.
  Result<bool> reset_stop();

  // Set by stop_all; cleared only by reset_stop. Timer loops read it before every call.
  const std::atomic<bool>& stop_flag() const { return stop_flag_; }
  bool stop_requested() const { return stop_flag_.load(std::memory_order_acquire); }

 private:
  template <class Pred>
  std::size_t count_if(Pred pred) const;
  // Removes released entries that have ended; cheap when there are none.
  void drop_released_ended() const;
  std::vector<std::shared_ptr<RunState>> not_ended() const;

  mutable RankedSharedMutex<LockRank::TaskRegistry> mutex_;
  mutable std::unordered_map<std::uint64_t, TaskEntry> entries_;
  mutable std::atomic<std::size_t> released_{0};  // released entries still in the map
  std::atomic<bool> stop_flag_{false};
};

// "background call 3, timer 5, ..." (the first ten, then "and N more"), or "nothing".
std::string describe_running(const std::vector<std::pair<std::uint64_t, TaskKind>>& running);

// The registry of the process, created by its first user and never destroyed (background threads
// may still use it while the process exits). A child made by fork() gets an empty one, with its
// stop flag clear, as a new process would.
TaskManager& task_manager();

}  // namespace varnex
