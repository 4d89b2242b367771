#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/runtime.hpp"
#include "runtime/time.hpp"
#include "tasks/background_call.hpp"

namespace varnex {
namespace {

using namespace std::chrono_literals;

// A gate that calls wait on until the test opens it.
class Gate {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void pass() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Values handed out as ForeignValue: an int on the heap, counted when released.
std::atomic<int> g_released_values{0};
void release_int(void* p) {
  delete static_cast<int*>(p);
  ++g_released_values;
}
ForeignValue int_value(int v) { return ForeignValue(new int(v), ForeignValueDeleter{&release_int}); }

// A call whose behaviour is a lambda; records how it ran and when it is destroyed.
class FakeCall final : public ForeignCall {
 public:
  struct Record {
    std::atomic<int> invocations{0};
    std::atomic<bool> on_worker{false};
    std::atomic<bool> destroyed{false};
  };
  FakeCall(std::shared_ptr<Record> record, std::function<CallOutcome()> body)
      : record_(std::move(record)), body_(std::move(body)) {}
  ~FakeCall() override { record_->destroyed = true; }

  CallOutcome invoke() override {
    ++record_->invocations;
    record_->on_worker = rt::this_thread_context().drives_tasks;
    return body_();
  }

 private:
  std::shared_ptr<Record> record_;
  std::function<CallOutcome()> body_;
};

CallRunState fresh_state() {
  return CallRunState{std::make_shared<std::atomic<bool>>(false),
                      std::make_shared<std::atomic<bool>>(false),
                      std::make_shared<std::atomic<bool>>(true),
                      std::make_shared<rt::AsyncMutexed<ForeignValue>>(),
                      std::make_shared<rt::AsyncMutexed<std::optional<std::string>>>(),
                      std::make_shared<rt::AsyncMutexed<ForeignValue>>(),
                      std::make_shared<std::atomic<bool>>(false),
                      std::make_shared<DoneCallbacks>()};
}

// Waits (polling, as the Python handle does) until the flag is set; false after `limit`.
bool eventually(const std::atomic<bool>& flag, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!flag.load()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

int stored_int(const ResultSlot& slot) {
  auto guard = slot->mutex().lock_blocking();
  return slot->value_unsafe() ? *static_cast<int*>(slot->value_unsafe().get()) : -1;
}
std::optional<std::string> stored_error(const ErrorSlot& slot) {
  auto guard = slot->mutex().lock_blocking();
  return slot->value_unsafe();
}

TEST(BackgroundCallBody, StoresTheValueRunsOffTheWorkersThenMarksCompletedAndNotRunning) {
  auto record = std::make_shared<FakeCall::Record>();
  CallRunState state = fresh_state();
  rt::block_on(run_call_body(state, std::make_shared<FakeCall>(record, [] { return int_value(42); })));
  EXPECT_EQ(record->invocations.load(), 1);
  EXPECT_FALSE(record->on_worker.load());
  EXPECT_TRUE(record->destroyed.load());
  EXPECT_TRUE(state.completed->load());
  EXPECT_FALSE(state.running->load());
  EXPECT_FALSE(state.cancelled->load());
  EXPECT_EQ(stored_int(state.result), 42);
  EXPECT_EQ(stored_error(state.error), std::nullopt);
}

TEST(BackgroundCallBody, StoresTheErrorTextAndObjectAndNoValue) {
  auto record = std::make_shared<FakeCall::Record>();
  CallRunState state = fresh_state();
  rt::block_on(run_call_body(state, std::make_shared<FakeCall>(record, [] {
    return CallOutcome(CallError("ValueError: bad", int_value(13)));
  })));
  EXPECT_TRUE(state.completed->load());
  EXPECT_FALSE(state.skipped->load());
  EXPECT_EQ(stored_error(state.error), "ValueError: bad");
  EXPECT_EQ(stored_int(state.exception), 13);
  EXPECT_EQ(stored_int(state.result), -1);
}

TEST(BackgroundCallBody, DoneCallbacksRunOnceOffTheWorkersOrAtOnceWhenAdded) {
  auto record = std::make_shared<FakeCall::Record>();
  CallRunState state = fresh_state();
  struct Seen {
    std::atomic<int> runs{0};
    std::atomic<bool> on_worker{true};
    Gate ran;
  };
  auto seen = std::make_shared<Seen>();  // the job may still be ending when the test goes on
  ASSERT_TRUE(state.done->add([seen] {
    seen->on_worker = rt::this_thread_context().drives_tasks;
    ++seen->runs;
    seen->ran.open();
  }));
  rt::block_on(run_call_body(state, std::make_shared<FakeCall>(record, [] { return int_value(1); })));
  seen->ran.pass();
  EXPECT_EQ(seen->runs.load(), 1);
  EXPECT_FALSE(seen->on_worker.load());
  EXPECT_FALSE(state.done->add([] {}));  // ended: the caller runs it itself
  EXPECT_TRUE(state.done->empty());
}

TEST(BackgroundCallBody, CancelledOrStoppedBeforeItRunsSkipsTheCallButStillCompletes) {
  for (bool cancel : {true, false}) {
    auto record = std::make_shared<FakeCall::Record>();
    CallRunState state = fresh_state();
    if (cancel) {
      state.cancelled->store(true);
    } else {
      state.running->store(false);  // what stop_all does
    }
    rt::block_on(run_call_body(state, std::make_shared<FakeCall>(record, [] { return int_value(1); })));
    EXPECT_EQ(record->invocations.load(), 0);
    EXPECT_TRUE(record->destroyed.load());
    EXPECT_TRUE(state.completed->load());
    EXPECT_FALSE(state.running->load());
    EXPECT_TRUE(state.skipped->load());
    EXPECT_EQ(stored_int(state.result), -1);
    EXPECT_EQ(stored_error(state.error), std::nullopt);
  }
}

TEST(BackgroundCallBody, AFailingCallBecomesItsErrorText) {
  auto record = std::make_shared<FakeCall::Record>();
  CallRunState state = fresh_state();
  rt::block_on(run_call_body(state, std::make_shared<FakeCall>(record, []() -> CallOutcome {
    throw std::runtime_error("no memory for the call");
  })));
  EXPECT_TRUE(state.completed->load());
  EXPECT_EQ(stored_error(state.error), "no memory for the call");
}

TEST(BackgroundCall, RegistersAnAsyncTaskThatClearsItsRunningFlagAtTheEnd) {
  TaskManager registry;
  Gate gate;
  auto record = std::make_shared<FakeCall::Record>();
  BackgroundCall call = start_background_call(std::make_unique<FakeCall>(record, [&gate] {
    gate.pass();
    return int_value(7);
  }), registry);
  EXPECT_GT(call.task_id, 0u);
  EXPECT_EQ(registry.total_count(), 1u);
  EXPECT_EQ(registry.async_task_count(), 1u);
  EXPECT_FALSE(call.is_completed());
  gate.open();
  ASSERT_TRUE(eventually(*call.completed));
  EXPECT_EQ(stored_int(call.result), 7);
  // running is cleared right after completed, by the same body.
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (registry.running_count() != 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(registry.running_count(), 0u);
  EXPECT_EQ(registry.status_summary(), (StatusSummary{0, 0, 1, 1}));
}

TEST(BackgroundCall, IdsIncreaseAndCancelDoesNotTouchTheRunningFlag) {
  TaskManager registry;
  Gate gate;
  auto record = std::make_shared<FakeCall::Record>();
  auto blocked = [&gate] {
    gate.pass();
    return int_value(0);
  };
  BackgroundCall first = start_background_call(std::make_unique<FakeCall>(record, blocked), registry);
  BackgroundCall second = start_background_call(std::make_unique<FakeCall>(record, blocked), registry);
  EXPECT_GT(second.task_id, first.task_id);
  first.cancel();
  EXPECT_TRUE(first.is_cancelled());
  EXPECT_EQ(registry.async_task_count(), 2u);  // a cancelled call that runs still counts
  gate.open();
  ASSERT_TRUE(eventually(*first.completed));
  ASSERT_TRUE(eventually(*second.completed));
}

TEST(BackgroundCall, TheLastHolderReleasesTheValueOnce) {
  TaskManager registry;
  const int before = g_released_values.load();
  auto record = std::make_shared<FakeCall::Record>();
  {
    BackgroundCall call =
        start_background_call(std::make_unique<FakeCall>(record, [] { return int_value(3); }), registry);
    ASSERT_TRUE(eventually(*call.completed));
    ASSERT_TRUE(eventually(record->destroyed));
    registry.unregister_task(call.task_id);
    EXPECT_EQ(g_released_values.load(), before);
  }
  EXPECT_EQ(g_released_values.load(), before + 1);
}

// More slow calls than workers: other runtime tasks must still run, because the calls occupy
// blocking-pool threads, not workers. A call may also block on the runtime itself.
TEST(BackgroundCall, SlowCallsDoNotStallTheRuntimeAndMayBlockOnIt) {
  TaskManager registry;
  Gate gate;
  auto record = std::make_shared<FakeCall::Record>();
  const unsigned n = rt::Runtime::get().workers().size() + 2;
  std::vector<BackgroundCall> calls;
  std::atomic<int> entered{0};
  for (unsigned i = 0; i < n; ++i) {
    calls.push_back(start_background_call(std::make_unique<FakeCall>(record, [&, i] {
      rt::block_on(rt::sleep_for(1ms));  // block_on works on the blocking pool
      ++entered;
      gate.pass();
      return int_value(static_cast<int>(i));
    }), registry));
  }
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (entered.load() < static_cast<int>(n) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(entered.load(), static_cast<int>(n));
  // Every call is now blocked; a task spawned on the workers still completes.
  auto ticker = rt::spawn([]() -> rt::Task<int> {
    co_await rt::sleep_for(5ms);
    co_return 1;
  }());
  EXPECT_EQ(rt::block_on(ticker.join()), 1);
  gate.open();
  for (auto& call : calls) ASSERT_TRUE(eventually(*call.completed));
  for (unsigned i = 0; i < n; ++i) EXPECT_EQ(stored_int(calls[i].result), static_cast<int>(i));
  EXPECT_FALSE(record->on_worker.load());
}

}  // namespace
}  // namespace varnex
