// Recording a CanDeviceAsync into a log file, and replaying a log onto one. Each runs on a
// thread of its own, so that neither the runtime's workers nor the caller wait for the file,
// and each ends by stop(), by its own end (the duration, the end of the log) or by an error.
//
// Recording: the device hands every frame it reads to the recording as it reads it (a FrameTap,
// stamped then), whoever takes it afterwards; the frames still reach the device's receives
// unless the recording takes them all. The thread writes them in batches through the log's
// buffer, so the device's task only appends to a vector under a leaf lock: a slow disk holds up
// the log, never the bus. What the thread has not written yet waits in memory.
//
// Replay: the thread sends the log's frames in order, each at its recorded time after the first
// one (divided by `speed`), sleeping to an absolute deadline on the monotonic clock so that the
// gaps do not drift. Error frames are not sent (they are a controller's reports, not traffic).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "can/can_device_async.hpp"
#include "can/can_log_file.hpp"
#include "common/result.hpp"
#include "runtime/completion.hpp"
#include "runtime/process.hpp"

namespace varnex {

// What a recording and a replay share: how to stop one, wait for it and learn how it went.
class CanLogTask {
 public:
  CanLogTask(const CanLogTask&) = delete;
  CanLogTask& operator=(const CanLogTask&) = delete;
  virtual ~CanLogTask();

  // Asks the thread to end and waits for it (a recording writes what it holds first).
  void stop();
  // Set once the thread has ended.
  const rt::Completion& finished() const { return finished_; }
  // Frames recorded or sent so far.
  uint64_t frames() const { return frames_.load(std::memory_order_acquire); }
  // Once finished: the error that ended it, if any.
  const Status& outcome() const { return outcome_; }
  // True in a child made by fork(): the thread runs in the parent, and stop() leaves it alone.
  bool inherited() const { return born_.inherited(); }
  // What a child gets for using one (ErrorKind::Runtime).
  static Error inherited_error();

 protected:
  CanLogTask() = default;
  // Starts the thread; the derived class's constructor calls it last.
  void start();
  // The thread's work, returning its outcome; it ends early once stop_requested().
  virtual Status run() = 0;
  // Wakes the thread for a stop (it waits on wakeup_ under mutex_ otherwise).
  bool stop_requested() const { return stop_; }

  std::mutex mutex_;                // a leaf: held for a few instructions
  std::condition_variable wakeup_;  // a frame to write, or stop
  bool stop_ = false;               // guarded by mutex_
  std::atomic<uint64_t> frames_{0};

 private:
  const rt::ProcessStamp born_;
  std::thread thread_;
  std::once_flag joined_;
  Status outcome_;  // written by the thread before finished_ is set
  rt::Completion finished_;
};

// The device holds the recording's tap, not the recording: the handle's owners alone keep the
// recording alive, so dropping the last handle stops it (the destructor joins the thread) and
// the thread never ends up holding the last reference to the object it runs in. The tap points
// back at the recording only while attached, and the recording detaches it on its thread before
// that thread ends.
class CanLogRecording final : public CanLogTask {
 public:
  // Starts recording `device` into `log` for `duration` (none: until stopped). With `takes_all`
  // the device's receives get no frames meanwhile (see CanDeviceAsync::attach_tap). Error
  // (ErrorKind::Runtime) when the device is already being recorded:
  //   "<interface> is already being recorded"
  // and the log's closed_error() when it is closed.
  static Result<std::shared_ptr<CanLogRecording>> start(
      std::shared_ptr<CanDeviceAsync> device, std::shared_ptr<CanLogFileWriter> log,
      std::optional<std::chrono::nanoseconds> duration, bool takes_all);
  ~CanLogRecording() override;

  // The longest the thread lets written lines wait in the log's buffer.
  static constexpr std::chrono::milliseconds kFlushPeriod{200};

 private:
  struct Seen {
    CanMessage message;
    std::chrono::system_clock::time_point read_at;
  };
  class Tap final : public FrameTap {
   public:
    explicit Tap(CanLogRecording& recording) : recording_(recording) {}
    void seen(const CanMessage& message, std::chrono::system_clock::time_point read_at) override {
      recording_.seen(message, read_at);
    }

   private:
    CanLogRecording& recording_;
  };

  CanLogRecording(std::shared_ptr<CanDeviceAsync> device, std::shared_ptr<CanLogFileWriter> log,
                  std::optional<rt::Instant> end)
      : device_(std::move(device)),
        log_(std::move(log)),
        end_(end),
        tap_(std::make_shared<Tap>(*this)) {}
  void seen(const CanMessage& message, std::chrono::system_clock::time_point read_at);
  Status run() override;
  Status write(const std::vector<Seen>& batch);

  const std::shared_ptr<CanDeviceAsync> device_;
  const std::shared_ptr<CanLogFileWriter> log_;
  const std::optional<rt::Instant> end_;
  const std::shared_ptr<Tap> tap_;
  std::vector<Seen> seen_;  // guarded by mutex_
};

class CanLogReplay final : public CanLogTask {
 public:
  // Starts sending the frames of `log` on `device`, `speed` times faster than recorded (a
  // positive finite number; the caller checks it).
  static std::shared_ptr<CanLogReplay> start(std::shared_ptr<CanLogFileReader> log,
                                             std::shared_ptr<CanDeviceAsync> device, double speed);
  ~CanLogReplay() override;

 private:
  CanLogReplay(std::shared_ptr<CanLogFileReader> log, std::shared_ptr<CanDeviceAsync> device,
               double speed)
      : log_(std::move(log)), device_(std::move(device)), speed_(speed) {}
  Status run() override;
  // Sleeps until `due` or a stop; false on a stop.
  bool sleep_until(rt::Instant due);

  const std::shared_ptr<CanLogFileReader> log_;
  const std::shared_ptr<CanDeviceAsync> device_;
  const double speed_;
};

}  // namespace varnex
