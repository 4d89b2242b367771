#include "runtime/diagnostic_queue.hpp"

#include <system_error>
#include <utility>

#include "runtime/thread_util.hpp"

namespace varnex::rt {

DiagnosticQueue::DiagnosticQueue(Deliver deliver, Fallback fallback, std::size_t capacity)
    : deliver_(std::move(deliver)),
      fallback_(fallback ? std::move(fallback) : Fallback(&write_fd2)),
      capacity_(capacity) {
  if (int error = create_named_thread("varnex-diag", [this] { run(); }, &thread_); error != 0) {
    throw std::system_error(error, std::generic_category(), "diagnostic delivery thread");
  }
}

DiagnosticQueue::~DiagnosticQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  pthread_join(thread_, nullptr);
}

std::vector<std::string> DiagnosticQueue::split_lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (!line.empty()) lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

void DiagnosticQueue::push(std::string_view text) {
  std::vector<std::string> lines = split_lines(text);
  std::vector<std::string> overflow;
  {
    std::lock_guard lock(mutex_);
    // Once closed, lines are written under the lock so that they keep their order behind the
    // pending ones being drained.
    if (closed_) {
      fall_back(lines);
      return;
    }
    for (std::string& line : lines) {
      if (pending_.size() >= capacity_) {
        overflow.push_back(std::move(line));
      } else {
        pending_.push_back(std::move(line));
      }
    }
  }
  wake_.notify_one();
  fall_back(overflow);
}

void DiagnosticQueue::drain_to_fallback() {
  std::lock_guard lock(mutex_);
  // A batch still in the consumer's hands is written too: at process exit the delivery thread
  // may be parked for good on its way into the interpreter.
  const std::vector<std::string> in_flight = std::move(in_flight_);
  in_flight_.clear();
  close_locked(in_flight);
}

// Nothing pushed after this may pass the lines written here.
void DiagnosticQueue::close_locked(const std::vector<std::string>& in_flight) {
  closed_ = true;
  fall_back(in_flight);
  for (const std::string& line : pending_) fallback_(line + "\n");
  pending_.clear();
}

void DiagnosticQueue::fall_back(const std::vector<std::string>& lines) const {
  for (const std::string& line : lines) fallback_(line + "\n");
}

void DiagnosticQueue::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (pending_.empty()) return;  // stopping with nothing left
    in_flight_.assign(std::make_move_iterator(pending_.begin()),
                      std::make_move_iterator(pending_.end()));
    pending_.clear();
    const std::vector<std::string> batch = in_flight_;
    lock.unlock();
    const bool delivered = deliver_(batch);
    lock.lock();
    const bool drained = in_flight_.empty();  // drain_to_fallback wrote it meanwhile
    in_flight_.clear();
    if (!delivered) close_locked(drained ? std::vector<std::string>{} : batch);
  }
}

}  // namespace varnex::rt
