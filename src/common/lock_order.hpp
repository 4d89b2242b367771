// The module's lock order, in one place.
//
// A thread that holds a lock may wait for another only when the other comes later in this list.
// Waiting for one that comes earlier, or for the GIL while holding a lock listed after it, can
// deadlock: some other thread may hold that one and be waiting for ours. Trying a lock (a
// try_lock that does not wait) is always allowed. A lock that is not listed is a leaf: held for
// a few instructions, never while waiting for anything.
//
//   rank  lock                      who holds it, and what its holder may wait for
//   ----  ------------------------  -----------------------------------------------------------
//   10    CAN receive turn          a CAN device's receive mutex, one per device, held by a
//                                   blocking receive from the moment it waits for a frame until
//                                   it has handed the frame over. Its holder may wait for the GIL
//                                   (the main thread runs signal handlers during the wait, and a
//                                   frame is handed over with the GIL held). So no thread waits
//                                   for a receive turn while holding the GIL: a receive called
//                                   with the GIL that finds another receive in progress releases
//                                   the GIL first (can/receive_turn.hpp). Turns of different
//                                   devices may nest (a signal handler receiving on another
//                                   device).
//   20    GIL                       the interpreter lock: held by every call from Python, taken by
//                                   the module's threads for each call into Python.
//   30    task registry             TaskManager's reader-writer lock (register, count, stop_all).
//   40    CAN socket slot           a blocking CAN device's current socket (replaced when its
//                                   interface comes back).
//   50    CAN send path             a non-blocking CAN device's decision who writes a frame.
//   60    CAN receive path          a non-blocking CAN device's decision who reads a frame.
//   70    call callbacks            a background call's done callbacks (its result slots are
//                                   written once, before it ends, and read without a lock).
//   80    repeat limiter            a RepeatLimiter's counts; it writes diagnostics while held.
//   85    diagnostic target         where the lines go (set_diagnostic_handler, log_to); held
//                                   while the queue's consumer is switched with it.
//   90    diagnostic queue          the queue of lines for a Python diagnostic handler (leaf).
//
// The runtime's own locks (run queues, channels, completions, readiness, timers, pools) are
// leaves below all of these.
//
// Test builds (VARNEX_LOCK_RANK_CHECKS) check the order: every wait for a listed lock, and every
// wait for the GIL by the module's code, is checked against the locks the thread holds, and a
// violation aborts the process with a line naming both locks. The GIL is not tracked as held; the
// Python binding tells the checker how to ask the interpreter (set_gil_probe). Other builds
// compile the checks out.
#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>

namespace varnex {

enum class LockRank : std::uint8_t {
  CanReceiveTurn = 10,
  Gil = 20,
  TaskRegistry = 30,
  CanSocketSlot = 40,
  CanSendPath = 50,
  CanReceivePath = 60,
  CallCallbacks = 70,
  RepeatLimiter = 80,
  DiagnosticTarget = 85,
  DiagnosticQueue = 90,
};

// The name of a rank, as the checker prints it.
const char* lock_name(LockRank rank) noexcept;

namespace lock_order {

#ifdef VARNEX_LOCK_RANK_CHECKS
inline constexpr bool kChecked = true;
// Before a thread waits for a lock of `rank` (or, for LockRank::Gil, for the GIL): aborts with a
// message when the thread holds a lock that must not be held across that wait.
void before_wait(LockRank rank) noexcept;
// The thread now holds / no longer holds a lock of `rank` (its innermost of that rank).
void acquired(LockRank rank) noexcept;
void released(LockRank rank) noexcept;
// How the checker asks whether the calling thread holds the GIL; null (the default): never.
void set_gil_probe(bool (*holds_gil)() noexcept) noexcept;
#else
inline constexpr bool kChecked = false;
inline void before_wait(LockRank) noexcept {}
inline void acquired(LockRank) noexcept {}
inline void released(LockRank) noexcept {}
inline void set_gil_probe(bool (*)() noexcept) noexcept {}
#endif

}  // namespace lock_order

// A std::mutex with its place in the order. Use as a std::mutex (lock_guard, unique_lock; with a
// condition variable, std::condition_variable_any).
template <LockRank Rank>
class RankedMutex {
 public:
  void lock() {
    lock_order::before_wait(Rank);
    mutex_.lock();
    lock_order::acquired(Rank);
  }
  bool try_lock() {
    if (!mutex_.try_lock()) return false;
    lock_order::acquired(Rank);
    return true;
  }
  void unlock() {
    lock_order::released(Rank);
    mutex_.unlock();
  }

 private:
  std::mutex mutex_;
};

// A std::shared_mutex with its place in the order.
template <LockRank Rank>
class RankedSharedMutex {
 public:
  void lock() {
    lock_order::before_wait(Rank);
    mutex_.lock();
    lock_order::acquired(Rank);
  }
  void unlock() {
    lock_order::released(Rank);
    mutex_.unlock();
  }
  void lock_shared() {
    lock_order::before_wait(Rank);
    mutex_.lock_shared();
    lock_order::acquired(Rank);
  }
  void unlock_shared() {
    lock_order::released(Rank);
    mutex_.unlock_shared();
  }

 private:
  std::shared_mutex mutex_;
};

// Marks a lock of `Rank` held by the calling thread for its scope, for locks the thread holds
// through a guard object of their own (an async mutex's guard).
template <LockRank Rank>
class RankedHold {
 public:
  RankedHold() noexcept { lock_order::acquired(Rank); }
  ~RankedHold() { lock_order::released(Rank); }
  RankedHold(const RankedHold&) = delete;
  RankedHold& operator=(const RankedHold&) = delete;
};

}  // namespace varnex
