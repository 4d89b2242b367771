#include "tasks/background_call.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/completion.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

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
ForeignValue int_value(int v) {
  return ForeignValue(new int(v), ForeignValueDeleter{&release_int});
}

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

// Waits for the call to complete; false after `limit`.
bool completes(const BackgroundCall& call, std::chrono::seconds limit = 10s) {
  return rt::wait_for_completion(call.completed(), rt::Clock::now() + limit) == rt::WaitEnd::Done;
}

int int_of(const ForeignValue* value) {
  return value != nullptr && *value ? *static_cast<int*>(value->get()) : -1;
}

// The job run directly on the test thread, as the pool runs it.
std::shared_ptr<BackgroundCall> run_here(std::shared_ptr<FakeCall::Record> record,
                                         std::function<CallOutcome()> body,
                                         std::function<void(BackgroundCall&)> before = {}) {
  auto call = std::make_shared<BackgroundCall>(1);
  if (before) before(*call);
  FakeCall foreign(std::move(record), std::move(body));
  call->run_job(foreign);
  return call;
}

TEST(BackgroundCallJob, StoresTheValueOrTheErrorThenCompletes) {
  auto record = std::make_shared<FakeCall::Record>();
  auto returned = run_here(record, [] { return int_value(42); });
  EXPECT_EQ(record->invocations.load(), 1);
  EXPECT_TRUE(returned->is_completed());
  EXPECT_TRUE(returned->settled().is_set());
  EXPECT_FALSE(returned->skipped());
  EXPECT_EQ(int_of(returned->value()), 42);
  EXPECT_EQ(returned->error(), nullptr);

  auto raised =
      run_here(record, [] { return CallOutcome(CallError("ValueError: bad", int_value(13))); });
  ASSERT_NE(raised->error(), nullptr);
  EXPECT_EQ(raised->error()->text, "ValueError: bad");
  EXPECT_EQ(int_of(&raised->error()->exception), 13);
  EXPECT_EQ(raised->value(), nullptr);

  auto failed =
      run_here(record, []() -> CallOutcome { throw std::runtime_error("no memory for the call"); });
  ASSERT_NE(failed->error(), nullptr);
  EXPECT_EQ(failed->error()->text, "no memory for the call");
}

TEST(BackgroundCallJob, CancelledOrStoppedBeforeItBeginsSkipsTheCallButStillCompletes) {
  for (bool cancel : {true, false}) {
    auto record = std::make_shared<FakeCall::Record>();
    auto call = run_here(
        record, [] { return int_value(1); },
        [cancel](BackgroundCall& c) {
          if (cancel) {
            c.cancel();
          } else {
            c.run()->request_stop();  // what stop_all does
          }
        });
    EXPECT_EQ(record->invocations.load(), 0);
    EXPECT_TRUE(call->is_completed());
    EXPECT_TRUE(call->skipped());
    EXPECT_EQ(call->value(), nullptr);
    EXPECT_EQ(call->error(), nullptr);
  }
}

TEST(BackgroundCallJob, DoneCallbacksRunOnceAfterTheEndOrAtOnceWhenAdded) {
  auto record = std::make_shared<FakeCall::Record>();
  int runs = 0;
  bool saw_completed = false;
  auto call = run_here(
      record, [] { return int_value(1); },
      [&](BackgroundCall& c) {
        ASSERT_TRUE(c.done_callbacks().add([&runs, &saw_completed, &c] {
          ++runs;
          saw_completed = c.is_completed();
        }));
      });
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(saw_completed);
  EXPECT_FALSE(call->done_callbacks().add([] {}));  // ended: the caller runs it itself
}

TEST(BackgroundCall, RunsOnThePoolRegistersAndCountsUntilItHasEnded) {
  TaskManager registry;
  Gate gate;
  auto record = std::make_shared<FakeCall::Record>();
  rt::Completion begun;
  auto call = start_background_call(std::make_unique<FakeCall>(record,
                                                               [&gate, &begun] {
                                                                 begun.set();
                                                                 gate.pass();
                                                                 return int_value(7);
                                                               }),
                                    registry);
  EXPECT_GT(call->task_id(), 0u);
  EXPECT_EQ(registry.status_summary(), (StatusSummary{0, 1, 0, 1}));
  ASSERT_TRUE(begun.wait_until(rt::Clock::now() + 10s));
  registry.stop_all();  // too late to skip it: it runs to its end and is waited for
  EXPECT_FALSE(registry.wait_all(0ms));
  gate.open();
  EXPECT_TRUE(registry.wait_all(10'000ms));
  EXPECT_TRUE(call->is_completed());
  EXPECT_EQ(registry.status_summary(), (StatusSummary{0, 0, 1, 1}));
  EXPECT_FALSE(record->on_worker.load());
}

std::atomic<int> g_released_tracked{0};
void release_tracked(void* p) {
  delete static_cast<int*>(p);
  ++g_released_tracked;
}

TEST(BackgroundCall, ADroppedHandleKeepsTheEntryUntilTheCallEndsButNotItsValue) {
  TaskManager registry;
  Gate gate;
  const int before = g_released_tracked.load();
  auto record = std::make_shared<FakeCall::Record>();
  auto call = start_background_call(
      std::make_unique<FakeCall>(record,
                                 [&gate] {
                                   gate.pass();
                                   return ForeignValue(new int(3),
                                                       ForeignValueDeleter{&release_tracked});
                                 }),
      registry);
  const std::uint64_t id = call->task_id();
  std::weak_ptr<BackgroundCall> weak = call;
  call.reset();
  registry.release_task(id);  // what the handle does when it goes
  EXPECT_EQ(registry.total_count(), 1u);
  EXPECT_EQ(registry.running_count(), 1u);
  gate.open();
  EXPECT_TRUE(registry.wait_all(10'000ms));
  EXPECT_EQ(registry.total_count(), 0u);
  // The job drops the last holder right after the end, and the value with it: the registry
  // never keeps an outcome alive.
  const auto end = rt::Clock::now() + 10s;
  while (!weak.expired() && rt::Clock::now() < end) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(g_released_tracked.load(), before + 1);
}

// More slow calls than workers: other runtime tasks must still run, because the calls occupy
// blocking-pool threads, not workers. A call may also block on the runtime itself.
TEST(BackgroundCall, SlowCallsDoNotStallTheRuntimeAndMayBlockOnIt) {
  TaskManager registry;
  Gate gate;
  auto record = std::make_shared<FakeCall::Record>();
  const unsigned n = rt::Runtime::get().workers().size() + 2;
  std::vector<std::shared_ptr<BackgroundCall>> calls;
  std::atomic<unsigned> entered{0};
  rt::Completion all_entered;
  for (unsigned i = 0; i < n; ++i) {
    calls.push_back(start_background_call(
        std::make_unique<FakeCall>(record,
                                   [&, i] {
                                     rt::block_on(rt::sleep_for(
                                         1ms));  // block_on works on the blocking pool
                                     if (++entered == n) all_entered.set();
                                     gate.pass();
                                     return int_value(static_cast<int>(i));
                                   }),
        registry));
  }
  ASSERT_TRUE(all_entered.wait_until(rt::Clock::now() + 10s));
  // Every call is now blocked; a task spawned on the workers still completes.
  auto ticker = rt::spawn([]() -> rt::Task<int> {
    co_await rt::sleep_for(5ms);
    co_return 1;
  }());
  EXPECT_EQ(rt::block_on(ticker.join()), 1);
  gate.open();
  for (unsigned i = 0; i < n; ++i) {
    ASSERT_TRUE(completes(*calls[i]));
    EXPECT_EQ(int_of(calls[i]->value()), static_cast<int>(i));
  }
}

}  // namespace
}  // namespace varnex
