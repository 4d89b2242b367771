// The process an object belongs to, and the module's process-wide state across fork().
//
// After fork() only the forking thread goes on in the child: the runtime's reactor, workers and
// blocking pool, every timer thread and the module's helper threads stay behind in the parent,
// and any lock one of them held at that moment stays locked in the child for ever. So the child
// never touches what it inherited:
//   - every process-wide object of the module is a PerProcess<T>: the child's first user gets a
//     new one, and the parent's copy is left alone (its memory is simply never freed);
//   - whatever belongs to one process (a run state, a socket registered with a reactor, a device
//     served by a task) takes a ProcessStamp when it is made and asks inherited() before it
//     touches its threads or locks.
// Each fork() bumps the process generation (a pthread_atfork child handler, which only
// increments an atomic, so it is safe in the child of a multithreaded process); nothing else
// runs at the fork. New state (a thread, a pool, a registry) is covered by the same rule as soon
// as it is a PerProcess or checks a stamp.
#pragma once

#include <atomic>
#include <cstdint>

namespace varnex::rt {

// 0 in the process that loaded the module, incremented in the child by each fork().
std::uint64_t process_generation() noexcept;

// The generation an object was made in.
class ProcessStamp {
 public:
  ProcessStamp() noexcept : generation_(process_generation()) {}

  // True in a child made by fork() after the object was made: its threads and the holders of
  // its locks were left in the parent.
  bool inherited() const noexcept { return generation_ != process_generation(); }

 private:
  std::uint64_t generation_;
};

// A process-wide object: made by its first user in each process (a child made by fork() gets a
// new one on first use, whatever state the parent's was in), never destroyed. T's constructor
// must not start threads or take locks of the module: two first users may both build one, and
// the loser's copy is destroyed unused. Constant-initialised, so it may be used at any time,
// from any thread, static destruction included.
template <class T>
class PerProcess {
 public:
  constexpr PerProcess() noexcept = default;
  PerProcess(const PerProcess&) = delete;
  PerProcess& operator=(const PerProcess&) = delete;

  T& get() {
    const std::uint64_t generation = process_generation();
    Copy* current = copy_.load(std::memory_order_acquire);
    if (current != nullptr && current->generation == generation) return current->value;
    return make(current, generation);
  }

 private:
  struct Copy {
    explicit Copy(std::uint64_t g) : generation(g) {}
    const std::uint64_t generation;
    Copy* parents = nullptr;  // the copies it replaced: kept, and reachable (leak checkers)
    T value;
  };

  T& make(Copy* current, std::uint64_t generation) {
    auto* fresh = new Copy(generation);
    // The parent's copy (if any) is replaced, never freed: a thread that no longer exists may
    // have been inside it.
    for (;;) {
      fresh->parents = current;
      if (copy_.compare_exchange_weak(current, fresh, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
        return fresh->value;
      }
      if (current != nullptr && current->generation == generation) {
        delete fresh;  // another first user won
        return current->value;
      }
    }
  }

  std::atomic<Copy*> copy_{nullptr};
};

}  // namespace varnex::rt
