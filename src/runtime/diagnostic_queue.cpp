#include "runtime/diagnostic_queue.hpp"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <utility>

#include "runtime/diagnostics.hpp"
#include "runtime/thread_util.hpp"

namespace varnex::rt {
namespace {

DiagnosticLine dropped_line(uint64_t count, bool to_consumer) {
  return {std::to_string(count) + " diagnostic lines dropped: " +
              (to_consumer ? "the diagnostic handler fell behind" : "standard error is full"),
          DiagnosticLevel::Warning,
          {},
          {}};
}

// What fd 2 gets for a line: the line, then its detail.
std::string fd2_text(const DiagnosticLine& line) {
  std::string text = line.text + "\n";
  if (!line.detail.empty()) text += line.detail + "\n";
  return text;
}

}  // namespace

DiagnosticQueue::DiagnosticQueue(Write write, std::size_t capacity)
    : write_(write ? std::move(write) : Write(&write_fd2_until)), capacity_(capacity) {}

DiagnosticQueue::~DiagnosticQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (!started_ || no_thread_) return;
  }
  wake_.notify_one();
  pthread_join(thread_, nullptr);
}

std::vector<std::string> DiagnosticQueue::split_lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

void DiagnosticQueue::start_locked() {
  started_ = true;
  if (create_named_thread(
          "varnex-diag", [this] { run(); }, &thread_) != 0)
    no_thread_ = true;
}

void DiagnosticQueue::push(std::string_view text, DiagnosticLevel level,
                           const DiagnosticFields& fields, std::string detail) {
  std::vector<DiagnosticLine> lines;
  for (std::string& line : split_lines(text)) lines.push_back({std::move(line), level, fields, {}});
  if (lines.empty()) return;
  lines.back().detail = std::move(detail);
  std::unique_lock lock(mutex_);
  if (stopping_) return;
  if (!started_) start_locked();
  if (no_thread_) {
    // Without a writer nothing may wait: a line goes out now if fd 2 has room, else it is lost.
    for (const DiagnosticLine& line : lines) (void)write_(fd2_text(line), Clock::now());
    return;
  }
  const bool to_consumer = to_consumer_locked();
  for (DiagnosticLine& line : lines) {
    if (line.text.empty() && line.detail.empty() && to_consumer) continue;
    if (pending_.size() >= capacity_) {
      ++dropped_;
      continue;
    }
    note_drops_locked();
    pending_.push_back({std::move(line), to_consumer ? consumer_ : nullptr});
    ++accepted_;
  }
  lock.unlock();
  wake_.notify_one();
}

// The note takes the place of the dropped lines: after the lines queued before them, before
// those queued after. It may take the queue one line past its capacity.
void DiagnosticQueue::note_drops_locked() {
  if (dropped_ == 0) return;
  const bool to_consumer = to_consumer_locked();
  pending_.push_back(
      {dropped_line(std::exchange(dropped_, 0), to_consumer), to_consumer ? consumer_ : nullptr});
  ++accepted_;
}

void DiagnosticQueue::set_consumer(Deliver deliver) {
  std::shared_ptr<const Deliver> next =
      deliver ? std::make_shared<const Deliver>(std::move(deliver)) : nullptr;
  std::lock_guard lock(mutex_);
  consumer_ = std::move(next);
}

bool DiagnosticQueue::flush(std::chrono::milliseconds stall_limit) {
  std::unique_lock lock(mutex_);
  if (to_consumer_locked()) return true;
  const uint64_t target = accepted_;
  while (done_ < target) {
    const uint64_t seen = done_;
    if (!changed_.wait_for(lock, stall_limit, [&] { return done_ >= target || done_ != seen; })) {
      return false;
    }
  }
  return true;
}

void DiagnosticQueue::finish_at_exit() {
  std::unique_lock lock(mutex_);
  consumer_gone_ = true;
  if (delivering_ && !exit_writing_) {
    std::vector<DiagnosticLine> lines = std::move(in_flight_);
    in_flight_.clear();
    taken_at_exit_ = true;
    note_drops_locked();
    for (Entry& entry : pending_) lines.push_back(std::move(entry.line));
    pending_.clear();
    exit_writing_ = true;
    write_lines(lock, lines, kExitStallLimit);
    exit_writing_ = false;
    wake_.notify_one();
  }
  // A writer still in the consumer cannot help with what comes later; the process is ending.
  if (delivering_) return;
  lock.unlock();
  flush(kExitStallLimit);
}

bool DiagnosticQueue::write_lines(std::unique_lock<RankedMutex<LockRank::DiagnosticQueue>>& lock,
                                  const std::vector<DiagnosticLine>& lines,
                                  std::optional<std::chrono::milliseconds> stall_limit) {
  bool all = true;
  std::size_t next = 0;
  while (next < lines.size()) {
    // Whole lines per write, so that another writer's output (Python's own stderr) can only
    // come between lines; a pipe takes up to PIPE_BUF bytes in one piece.
    std::string chunk = fd2_text(lines[next++]);
    std::size_t count = 1;
    while (next < lines.size()) {
      std::string more = fd2_text(lines[next]);
      if (chunk.size() + more.size() > PIPE_BUF) break;
      chunk += more;
      ++next;
      ++count;
    }
    lock.unlock();
    const std::optional<Instant> give_up_at =
        stall_limit ? std::optional<Instant>(Clock::now() + *stall_limit) : std::nullopt;
    const bool written = all && write_(chunk, give_up_at);
    lock.lock();
    all = all && written;  // once fd 2 stalls past the limit, the rest is given up at once
    done_ += count;
    changed_.notify_all();
  }
  return all;
}

void DiagnosticQueue::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return !exit_writing_ && (stopping_ || !pending_.empty()); });
    if (pending_.empty()) {
      note_drops_locked();           // drops met while the last lines were written: say so now
      if (pending_.empty()) return;  // stopping with nothing left
    }
    // The lines at the front that share a destination.
    const std::shared_ptr<const Deliver> consumer = pending_.front().consumer;
    std::vector<DiagnosticLine> batch;
    while (!pending_.empty() && pending_.front().consumer == consumer) {
      batch.push_back(std::move(pending_.front().line));
      pending_.pop_front();
    }
    if (consumer && !consumer_gone_) {
      in_flight_ = batch;
      delivering_ = true;
      lock.unlock();
      const bool delivered = (*consumer)(batch);
      lock.lock();
      delivering_ = false;
      in_flight_.clear();
      if (std::exchange(taken_at_exit_, false)) continue;  // written (and counted) at exit
      if (delivered) {
        done_ += batch.size();
        changed_.notify_all();
      } else {
        consumer_gone_ = true;
        write_lines(lock, batch, std::nullopt);
      }
    } else {
      write_lines(lock, batch, std::nullopt);
    }
    if (pending_.empty()) note_drops_locked();
  }
}

namespace {

std::atomic<DiagnosticQueue*> process_queue{nullptr};

void flush_at_process_exit() {
  if (DiagnosticQueue* queue = process_queue.load(std::memory_order_acquire))
    queue->finish_at_exit();
}

}  // namespace

DiagnosticQueue& diagnostic_queue() {
  if (DiagnosticQueue* queue = process_queue.load(std::memory_order_acquire)) return *queue;
  auto* fresh = new DiagnosticQueue();  // starts no thread until its first line
  DiagnosticQueue* expected = nullptr;
  if (!process_queue.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
    delete fresh;
    return *expected;
  }
  // Once per process: a forked child inherits both registrations.
  static std::atomic<bool> registered{false};
  if (!registered.exchange(true)) {
    std::atexit(&flush_at_process_exit);
    pthread_atfork(nullptr, nullptr, &forget_diagnostic_queue_after_fork);
  }
  return *fresh;
}

void forget_diagnostic_queue_after_fork() {
  process_queue.store(nullptr, std::memory_order_release);  // the old one is left as it is
}

}  // namespace varnex::rt
