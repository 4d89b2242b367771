// The reactor: one thread that waits in epoll for socket readiness, the timer deadline
// (a timerfd armed to the earliest registered deadline) and the signal pipe, and turns
// each event into wake-ups. It never runs task code itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/unique_fd.hpp"
#include "runtime/clock.hpp"
#include "runtime/waker.hpp"

namespace varnex::rt {

enum class Interest : uint8_t { Read = 0, Write = 1 };

// Readiness of one file descriptor, as last reported by epoll (edge-triggered). Readiness is
// cleared only by the user after an operation would block, and only if no event arrived
// since it was observed, so an edge can never be lost between the failed call and the clear.
// Several parties may wait for the same readiness (a socket's own task and a thread reading it
// directly): an event wakes them all.
class IoRegistration {
 public:
  struct Ready {
    uint64_t tick;
  };

  // Ready now (returns the tick to pass to clear_ready), or keeps the waker.
  std::optional<Ready> poll_ready(Interest interest, const Waker& waker);
  void clear_ready(Interest interest, Ready observed);

  void on_event(uint32_t epoll_events);

 private:
  std::mutex mutex_;
  bool readable_ = false;
  bool writable_ = false;
  uint64_t tick_ = 0;
  std::vector<Waker> read_wakers_;
  std::vector<Waker> write_wakers_;
};

class Reactor {
 public:
  // A timer is found by its deadline and a sequence number, so cancelling one that already
  // fired (and was removed) is a harmless miss.
  using TimerKey = std::pair<Instant, uint64_t>;

  // Throws std::system_error when a descriptor cannot be created; the ones already made are
  // closed again. A started reactor is never destroyed: its thread runs until the process ends.
  Reactor();
  Reactor(const Reactor&) = delete;
  Reactor& operator=(const Reactor&) = delete;

  void start();  // starts the reactor thread; throws std::system_error

  // Registers fd for edge-triggered read and write readiness. The registration stays until
  // deregister(); call that before closing fd.
  std::shared_ptr<IoRegistration> register_fd(int fd);  // throws std::system_error
  void deregister_fd(int fd);

  TimerKey add_timer(Instant deadline, Waker waker);
  void cancel_timer(TimerKey key);

  int signal_pipe_write_fd() const { return signal_write_.get(); }

 private:
  void run();
  void fire_timers();
  void arm_timerfd_locked();
  void drain_signal_pipe();

  UniqueFd epoll_fd_;
  UniqueFd timer_fd_;
  UniqueFd signal_read_;
  UniqueFd signal_write_;

  std::mutex timers_mutex_;
  std::map<TimerKey, Waker> timers_;
  uint64_t next_timer_id_ = 0;
  std::optional<Instant> armed_for_;

  std::mutex io_mutex_;
  std::unordered_map<int, std::shared_ptr<IoRegistration>> io_;
};

}  // namespace varnex::rt
