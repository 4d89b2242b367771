#include "tasks/task_registry.hpp"

#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace varnex {

namespace {

bool is_set(const RunningFlag& flag) { return flag->load(std::memory_order_acquire); }

// A limit too large for the clock's nanosecond count never runs out in practice.
std::chrono::nanoseconds limit_from_ms(std::uint64_t ms) {
  constexpr auto kMaxMs = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::nanoseconds::max())
          .count());
  if (ms >= kMaxMs) return std::chrono::nanoseconds::max();
  return std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

}  // namespace

void TaskManager::register_task(std::uint64_t id, RunningFlag running,
                                std::shared_ptr<void> task_slot, TaskKind kind) {
  TaskEntry entry{kind, std::move(running), std::move(task_slot)};
  {
    std::unique_lock lock(mutex_);
    std::swap(entries_[id], entry);
  }
  // A replaced entry (now in `entry`) is dropped here, outside the lock: releasing a slot may
  // run arbitrary destructors.
}

void TaskManager::unregister_task(std::uint64_t id) {
  TaskEntry removed{};
  {
    std::unique_lock lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return;
    removed = std::move(it->second);
    entries_.erase(it);
  }
}

template <class Pred>
std::size_t TaskManager::count_if(Pred pred) const {
  std::shared_lock lock(mutex_);
  std::size_t n = 0;
  for (const auto& [id, entry] : entries_) {
    if (pred(entry)) ++n;
  }
  return n;
}

std::size_t TaskManager::running_count() const {
  return count_if([](const TaskEntry& e) { return is_set(e.running); });
}

std::size_t TaskManager::total_count() const {
  std::shared_lock lock(mutex_);
  return entries_.size();
}

std::size_t TaskManager::timer_count() const {
  return count_if(
      [](const TaskEntry& e) { return e.kind == TaskKind::Timer && is_set(e.running); });
}

std::size_t TaskManager::async_task_count() const {
  return count_if(
      [](const TaskEntry& e) { return e.kind == TaskKind::AsyncTask && is_set(e.running); });
}

StatusSummary TaskManager::status_summary() const {
  std::shared_lock lock(mutex_);
  StatusSummary s;
  for (const auto& [id, entry] : entries_) {
    if (!is_set(entry.running)) {
      ++s.stopped;
    } else if (entry.kind == TaskKind::AsyncTask) {
      ++s.running_tasks;
    } else {
      ++s.running_timers;
    }
  }
  s.total = entries_.size();
  return s;
}

void TaskManager::stop_all() {
  // The stop flag goes first, so a timer registered while the flags are cleared still sees it.
  stop_flag_.store(true, std::memory_order_release);
  std::shared_lock lock(mutex_);
  for (auto& [id, entry] : entries_) entry.running->store(false, std::memory_order_release);
}

bool TaskManager::wait_all(std::optional<std::uint64_t> timeout_ms) const {
  return wait_all(timeout_ms, {}) == WaitOutcome::AllStopped;
}

WaitOutcome TaskManager::wait_all(std::optional<std::uint64_t> timeout_ms,
                                  const std::function<bool()>& interrupted) const {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  if (!timeout_ms) {
    while (running_count() != 0) {
      std::this_thread::sleep_for(kPollInterval);
      if (interrupted && interrupted()) return WaitOutcome::Interrupted;
    }
    return WaitOutcome::AllStopped;
  }
  const auto limit = limit_from_ms(*timeout_ms);
  if (running_count() == 0) return WaitOutcome::AllStopped;
  for (;;) {
    if (Clock::now() - start >= limit) return WaitOutcome::TimedOut;
    std::this_thread::sleep_for(kPollInterval);
    if (interrupted && interrupted()) return WaitOutcome::Interrupted;
    if (running_count() == 0) return WaitOutcome::AllStopped;
  }
}

std::size_t TaskManager::cleanup() {
  std::vector<TaskEntry> removed;
  {
    std::unique_lock lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (is_set(it->second.running)) {
        ++it;
      } else {
        removed.push_back(std::move(it->second));
        it = entries_.erase(it);
      }
    }
  }
  return removed.size();  // the entries are dropped after the lock is released
}

TaskManager& task_manager() {
  // Never destroyed: timer threads may read the stop flag while the process exits.
  static TaskManager* const manager = new TaskManager();
  return *manager;
}

}  // namespace varnex
