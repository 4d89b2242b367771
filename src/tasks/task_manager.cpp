#include "tasks/task_manager.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

#include "runtime/process.hpp"
#include "runtime/time.hpp"

namespace varnex {

void TaskManager::register_task(std::uint64_t id, std::shared_ptr<RunState> run, TaskKind kind) {
  TaskEntry entry{kind, std::move(run)};
  std::unique_lock lock(mutex_);
  auto [it, added] = entries_.try_emplace(id, std::move(entry));
  if (!added) {
    if (it->second.released) released_.fetch_sub(1, std::memory_order_relaxed);
    it->second = std::move(entry);
  }
}

void TaskManager::unregister_task(std::uint64_t id) {
  std::unique_lock lock(mutex_);
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  if (it->second.released) released_.fetch_sub(1, std::memory_order_relaxed);
  entries_.erase(it);
}

void TaskManager::release_task(std::uint64_t id) {
  std::unique_lock lock(mutex_);
  auto it = entries_.find(id);
  if (it == entries_.end() || it->second.released) return;
  if (it->second.run->ended()) {
    entries_.erase(it);
    return;
  }
  it->second.released = true;
  released_.fetch_add(1, std::memory_order_relaxed);
}

void TaskManager::drop_released_ended() const {
  if (released_.load(std::memory_order_relaxed) == 0) return;
  std::unique_lock lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.released && it->second.run->ended()) {
      released_.fetch_sub(1, std::memory_order_relaxed);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

template <class Pred>
std::size_t TaskManager::count_if(Pred pred) const {
  drop_released_ended();
  std::shared_lock lock(mutex_);
  std::size_t n = 0;
  for (const auto& [id, entry] : entries_) {
    if (pred(entry)) ++n;
  }
  return n;
}

std::size_t TaskManager::running_count() const {
  return count_if([](const TaskEntry& e) { return !e.run->ended(); });
}

std::size_t TaskManager::total_count() const {
  return count_if([](const TaskEntry&) { return true; });
}

std::size_t TaskManager::timer_count() const {
  return count_if([](const TaskEntry& e) { return e.kind == TaskKind::Timer && !e.run->ended(); });
}

std::size_t TaskManager::async_task_count() const {
  return count_if(
      [](const TaskEntry& e) { return e.kind == TaskKind::AsyncTask && !e.run->ended(); });
}

StatusSummary TaskManager::status_summary() const {
  drop_released_ended();
  std::shared_lock lock(mutex_);
  StatusSummary s;
  for (const auto& [id, entry] : entries_) {
    if (entry.run->ended()) {
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
  // The stop flag goes first, so a timer registered meanwhile still sees it before its first call.
  stop_flag_.store(true, std::memory_order_release);
  std::shared_lock lock(mutex_);
  for (auto& [id, entry] : entries_) entry.run->request_stop();
}

std::vector<std::shared_ptr<RunState>> TaskManager::not_ended() const {
  drop_released_ended();
  std::vector<std::shared_ptr<RunState>> runs;
  const RunState* waiting = RunState::current();
  std::shared_lock lock(mutex_);
  for (const auto& [id, entry] : entries_) {
    if (!entry.run->ended() && entry.run.get() != waiting) runs.push_back(entry.run);
  }
  return runs;
}

bool TaskManager::wait_all(std::optional<std::chrono::nanoseconds> limit) const {
  return wait_all(limit, {}) == rt::WaitEnd::Done;
}

rt::WaitEnd TaskManager::wait_all(std::optional<std::chrono::nanoseconds> limit,
                                  const rt::InterruptCheck& interrupted) const {
  const std::optional<rt::Instant> deadline = limit ? rt::deadline_after(*limit) : std::nullopt;
  // Everything must end, so waiting for each in turn ends when the last one does. Entries added
  // meanwhile are found by the next pass.
  for (;;) {
    std::vector<std::shared_ptr<RunState>> runs = not_ended();
    if (runs.empty()) return rt::WaitEnd::Done;
    for (const std::shared_ptr<RunState>& run : runs) {
      const rt::WaitEnd end = rt::wait_for_completion(run->ended_event(), deadline, interrupted);
      if (end != rt::WaitEnd::Done) return end;
    }
  }
}

std::vector<std::pair<std::uint64_t, TaskKind>> TaskManager::running_entries() const {
  drop_released_ended();
  std::vector<std::pair<std::uint64_t, TaskKind>> running;
  {
    std::shared_lock lock(mutex_);
    for (const auto& [id, entry] : entries_) {
      if (!entry.run->ended()) running.emplace_back(id, entry.kind);
    }
  }
  std::sort(running.begin(), running.end());
  return running;
}

std::size_t TaskManager::cleanup() {
  std::vector<TaskEntry> removed;
  {
    std::unique_lock lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (!it->second.run->ended()) {
        ++it;
        continue;
      }
      if (it->second.released) released_.fetch_sub(1, std::memory_order_relaxed);
      removed.push_back(std::move(it->second));
      it = entries_.erase(it);
    }
  }
  return removed.size();  // the run states are dropped after the lock is released
}

Result<bool> TaskManager::reset_stop() {
  std::vector<std::pair<std::uint64_t, TaskKind>> running;
  {
    std::unique_lock lock(mutex_);
    for (const auto& [id, entry] : entries_) {
      if (!entry.run->ended()) running.emplace_back(id, entry.kind);
    }
    if (running.empty()) return stop_flag_.exchange(false, std::memory_order_acq_rel);
  }
  std::sort(running.begin(), running.end());
  return Error::runtime("reset_stop refused: still running: " + describe_running(running) +
                        "; stop and wait for them first (shutdown_all)");
}

std::string describe_running(const std::vector<std::pair<std::uint64_t, TaskKind>>& running) {
  if (running.empty()) return "nothing";
  constexpr std::size_t kNamed = 10;
  std::string text;
  for (std::size_t i = 0; i < running.size() && i < kNamed; ++i) {
    if (i > 0) text += ", ";
    text += running[i].second == TaskKind::Timer ? "timer " : "background call ";
    text += std::to_string(running[i].first);
  }
  if (running.size() > kNamed) text += " and " + std::to_string(running.size() - kNamed) + " more";
  return text;
}

namespace {
// Never destroyed: timer threads may read the stop flag while the process exits. A child made
// by fork() starts with an empty registry: what the parent registered runs in the parent.
constinit rt::PerProcess<TaskManager> managers;
}  // namespace

TaskManager& task_manager() { return managers.get(); }

}  // namespace varnex
