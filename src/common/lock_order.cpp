#include "common/lock_order.hpp"

#include <atomic>
#include <cstdlib>
#include <string>

#include "common/fd2.hpp"

namespace varnex {

const char* lock_name(LockRank rank) noexcept {
  switch (rank) {
    case LockRank::CanReceiveTurn:
      return "a CAN receive turn";
    case LockRank::Gil:
      return "the GIL";
    case LockRank::TaskRegistry:
      return "the task registry";
    case LockRank::CanSocketSlot:
      return "a CAN socket slot";
    case LockRank::CanSendPath:
      return "a CAN send path";
    case LockRank::CanReceivePath:
      return "a CAN receive path";
    case LockRank::CallCallbacks:
      return "a call's done callbacks";
    case LockRank::RepeatLimiter:
      return "a repeat limiter";
    case LockRank::DiagnosticTarget:
      return "the diagnostic target";
    case LockRank::DiagnosticQueue:
      return "the diagnostic queue";
  }
  return "an unknown lock";
}

#ifdef VARNEX_LOCK_RANK_CHECKS
namespace lock_order {

namespace {

// Deeper nesting than this is itself a fault worth stopping at.
constexpr int kMaxHeld = 16;

struct Held {
  LockRank ranks[kMaxHeld];
  int count = 0;
};

thread_local Held held;
std::atomic<bool (*)() noexcept> gil_probe{nullptr};

[[noreturn]] void violation(const std::string& what) noexcept {
  write_fd2("varnex lock order violation: " + what +
            " (the order is written in src/common/lock_order.hpp)\n");
  std::abort();
}

bool nests(LockRank rank) { return rank == LockRank::CanReceiveTurn; }

}  // namespace

void before_wait(LockRank rank) noexcept {
  for (int i = 0; i < held.count; ++i) {
    const LockRank h = held.ranks[i];
    if (h > rank || (h == rank && !nests(rank))) {
      violation(std::string("waiting for ") + lock_name(rank) + " while holding " + lock_name(h));
    }
  }
  if (rank < LockRank::Gil) {
    bool (*probe)() noexcept = gil_probe.load(std::memory_order_acquire);
    if (probe != nullptr && probe()) {
      violation(std::string("waiting for ") + lock_name(rank) +
                " while holding the GIL (the holder of " + lock_name(rank) +
                " may wait for the GIL)");
    }
  }
}

void acquired(LockRank rank) noexcept {
  if (held.count == kMaxHeld) violation("more than 16 locks held at once");
  held.ranks[held.count++] = rank;
}

void released(LockRank rank) noexcept {
  for (int i = held.count - 1; i >= 0; --i) {
    if (held.ranks[i] == rank) {
      for (int j = i; j + 1 < held.count; ++j) held.ranks[j] = held.ranks[j + 1];
      --held.count;
      return;
    }
  }
  violation(std::string("releasing ") + lock_name(rank) + " that this thread does not hold");
}

void set_gil_probe(bool (*holds_gil)() noexcept) noexcept {
  gil_probe.store(holds_gil, std::memory_order_release);
}

}  // namespace lock_order
#endif

}  // namespace varnex
