#include "can/can_log_recording.hpp"

#include <linux/can.h>
#include <linux/can/error.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "runtime/clock.hpp"

namespace varnex {

namespace {

int64_t micros_since_epoch(std::chrono::system_clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
}

// The record a log line describes, as the socket takes it.
can_frame frame_of(const LogRecord& record) {
  can_frame frame;
  std::memset(&frame, 0, sizeof frame);
  frame.can_id =
      record.id | (record.extended ? CAN_EFF_FLAG : 0) | (record.remote ? CAN_RTR_FLAG : 0);
  frame.len = static_cast<uint8_t>(record.data.size());
  if (!record.remote) std::copy(record.data.begin(), record.data.end(), frame.data);
  return frame;
}

}  // namespace

// ---- CanLogTask ----

CanLogTask::~CanLogTask() { stop(); }

void CanLogTask::start() {
  thread_ = std::thread([this] {
    outcome_ = run();
    finished_.set();
  });
}

Error CanLogTask::inherited_error() {
  return Error::runtime(
      "this recording or replay belongs to the parent process (it was inherited through fork); "
      "start a new one in this process");
}

void CanLogTask::stop() {
  if (inherited()) {
    // The thread, and whoever held mutex_ at the fork, stayed in the parent: touch neither.
    // The thread's handle is let go without a join (a join here would wait for ever).
    std::call_once(joined_, [this] { new std::thread(std::move(thread_)); });
    return;
  }
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wakeup_.notify_all();
  // Whoever comes first joins; the others find it joined (or wait for that join to end).
  std::call_once(joined_, [this] {
    if (thread_.joinable()) thread_.join();
  });
}

// ---- CanLogRecording ----

Result<std::shared_ptr<CanLogRecording>> CanLogRecording::start(
    std::shared_ptr<CanDeviceAsync> device, std::shared_ptr<CanLogFileWriter> log,
    std::optional<std::chrono::nanoseconds> duration, bool takes_all) {
  // A closed log would end the recording at its first frame, the error seen only by wait().
  if (!log->is_open()) return log->closed_error();
  const std::optional<rt::Instant> end = duration ? rt::deadline_after(*duration) : std::nullopt;
  std::shared_ptr<CanLogRecording> recording(new CanLogRecording(device, std::move(log), end));
  if (!device->attach_tap(recording->tap_, takes_all)) {
    return Error::runtime(device->interface() + " is already being recorded");
  }
  try {
    recording->CanLogTask::start();
  } catch (...) {
    // No thread will detach the tap: do it here, or the device would be recorded for ever.
    device->detach_tap(recording->tap_.get());
    throw;
  }
  return recording;
}

CanLogRecording::~CanLogRecording() { stop(); }

void CanLogRecording::seen(const CanMessage& message,
                           std::chrono::system_clock::time_point read_at) {
  bool was_empty;
  {
    std::lock_guard lock(mutex_);
    was_empty = seen_.empty();
    seen_.push_back(Seen{message, read_at});
  }
  // The thread sleeps only on an empty batch; waking it for every frame would cost a futex call
  // each.
  if (was_empty) wakeup_.notify_one();
}

Status CanLogRecording::run() {
  std::vector<Seen> batch;
  rt::Instant last_flush = rt::Clock::now();
  bool unflushed = false;  // lines wait in the log's buffer
  Status outcome;
  for (;;) {
    bool ending;
    {
      std::unique_lock lock(mutex_);
      // Wakes for a frame or a stop; else at the end, or when written lines are due in the file.
      std::optional<rt::Instant> deadline = end_;
      if (unflushed) {
        const rt::Instant flush_due = last_flush + kFlushPeriod;
        deadline = deadline ? std::min(*deadline, flush_due) : flush_due;
      }
      const auto ready = [&] {
        return stop_ || !seen_.empty() || (deadline && rt::Clock::now() >= *deadline);
      };
      if (deadline) {
        wakeup_.wait_until(lock, *deadline, ready);
      } else {
        wakeup_.wait(lock, ready);
      }
      ending = stop_ || (end_ && rt::Clock::now() >= *end_);
      batch.swap(seen_);
    }
    if (ending) {
      // No frame comes after this, so what the device read before is all in `batch` or `seen_`.
      device_->detach_tap(tap_.get());
      std::lock_guard lock(mutex_);
      batch.insert(batch.end(), std::make_move_iterator(seen_.begin()),
                   std::make_move_iterator(seen_.end()));
      seen_.clear();
    }
    unflushed = unflushed || !batch.empty();
    outcome = write(batch);
    batch.clear();
    if (!outcome) break;
    if (ending || (unflushed && rt::Clock::now() - last_flush >= kFlushPeriod)) {
      outcome = log_->flush();
      last_flush = rt::Clock::now();
      unflushed = false;
      if (!outcome || ending) break;
    }
  }
  device_->detach_tap(tap_.get());  // after a write error
  return outcome;
}

Status CanLogRecording::write(const std::vector<Seen>& batch) {
  LogRecord record;
  record.interface = device_->interface();
  for (const Seen& seen : batch) {
    record.timestamp_us = micros_since_epoch(seen.read_at);
    record.id = seen.message.id;
    record.data = seen.message.data;
    record.extended = seen.message.extended;
    record.remote = seen.message.remote;
    record.error = seen.message.error;
    if (Status wrote = log_->write(record); !wrote) return wrote;
    frames_.fetch_add(1, std::memory_order_acq_rel);
  }
  return {};
}

// ---- CanLogReplay ----

std::shared_ptr<CanLogReplay> CanLogReplay::start(std::shared_ptr<CanLogFileReader> log,
                                                  std::shared_ptr<CanDeviceAsync> device,
                                                  double speed) {
  std::shared_ptr<CanLogReplay> replay(new CanLogReplay(std::move(log), std::move(device), speed));
  replay->CanLogTask::start();
  return replay;
}

CanLogReplay::~CanLogReplay() { stop(); }

bool CanLogReplay::sleep_until(rt::Instant due) {
  std::unique_lock lock(mutex_);
  wakeup_.wait_until(lock, due, [&] { return stop_; });
  return !stop_;
}

Status CanLogReplay::run() {
  std::optional<int64_t> first_us;
  rt::Instant started{};
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stop_) return {};
    }
    Result<std::optional<LogRecord>> next = log_->next();
    if (!next) return std::move(next).error();
    if (!next->has_value()) return {};
    const LogRecord& record = **next;
    if (record.error) continue;
    if (!first_us) {
      first_us = record.timestamp_us;
      started = rt::Clock::now();
    }
    // A log written out of order (or edited) sends its late lines at once.
    const double gap_us =
        static_cast<double>(std::max<int64_t>(0, record.timestamp_us - *first_us)) / speed_;
    const auto offset =
        std::chrono::nanoseconds(static_cast<int64_t>(std::min(gap_us * 1e3, 9e18)));
    if (!sleep_until(started + offset)) return {};
    if (Status sent = device_->send_frame_nonblocking(frame_of(record)); !sent) return sent;
    frames_.fetch_add(1, std::memory_order_acq_rel);
  }
}

}  // namespace varnex
