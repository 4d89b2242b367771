// The queue every diagnostic line passes through: order, line splitting, a producer that never
// waits for a full standard error, the count of what had to be dropped, and the lines a
// consumer can no longer take at exit.
#include "runtime/diagnostic_queue.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/completion.hpp"

using varnex::rt::DiagnosticQueue;
using varnex::rt::Instant;
using Lines = std::vector<std::string>;
using Delivered = std::vector<varnex::DiagnosticLine>;
using varnex::DiagnosticLevel;

namespace {

// Standard error for a queue: records what is written; while held, a write waits (until its
// give-up time, if it has one) as on a pipe that nobody reads.
class FakeStderr {
 public:
  DiagnosticQueue::Write writer() {
    return [this](std::string_view text, std::optional<Instant> give_up_at) {
      std::unique_lock lock(mutex_);
      ++waiting_;
      changed_.notify_all();
      auto free = [this] { return !held_; };
      const bool room = give_up_at ? changed_.wait_until(lock, *give_up_at, free)
                                   : (changed_.wait(lock, free), true);
      --waiting_;
      if (room) written_.append(text);
      return room;
    };
  }
  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }
  void wait_until_a_write_waits() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return waiting_ > 0; });
  }
  std::string text() {
    std::lock_guard lock(mutex_);
    return written_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  int waiting_ = 0;
  std::string written_;
};

std::string numbered(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) text += std::to_string(i) + "\n";
  return text;
}

}  // namespace

TEST(DiagnosticQueue, LinesGoWhereTheyWereHeadedWhenPushedInOrder) {
  // fd 2 gets the text as given; a consumer gets its non-empty lines.
  EXPECT_EQ(DiagnosticQueue::split_lines("\n[varnex] Received SIGINT\n"),
            (Lines{"", "[varnex] Received SIGINT"}));
  EXPECT_EQ(DiagnosticQueue::split_lines("a\n\nb"), (Lines{"a", "", "b"}));
  EXPECT_EQ(DiagnosticQueue::split_lines("\n"), Lines{""});

  FakeStderr err;
  Delivered delivered;
  const varnex::DiagnosticFields fields{{"task_id", std::uint64_t{3}}, {"timer", std::string("f")}};
  {
    DiagnosticQueue queue(err.writer());
    queue.push("before\n");
    queue.push("failed\n", DiagnosticLevel::Error, fields, "Traceback:\n  boom");
    queue.set_consumer([&](const Delivered& lines) {
      delivered.insert(delivered.end(), lines.begin(), lines.end());
      return true;
    });
    for (int i = 0; i < 200; ++i) queue.push("\nline " + std::to_string(i) + "\n");
    // Each line keeps the level, details and detail text it was pushed with.
    queue.push("one\ntwo\n", DiagnosticLevel::Info, fields, "after two");
    queue.set_consumer({});
    queue.push("\nafter\n");
    EXPECT_TRUE(queue.flush(std::chrono::seconds(30)));
    EXPECT_EQ(err.text(), "before\nfailed\nTraceback:\n  boom\n\nafter\n");
  }
  ASSERT_EQ(delivered.size(), 202u);
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(delivered[i], (varnex::DiagnosticLine{
                                "line " + std::to_string(i), DiagnosticLevel::Warning, {}, {}}));
  }
  EXPECT_EQ(delivered[200], (varnex::DiagnosticLine{"one", DiagnosticLevel::Info, fields, ""}));
  EXPECT_EQ(delivered[201],
            (varnex::DiagnosticLine{"two", DiagnosticLevel::Info, fields, "after two"}));
}

TEST(DiagnosticQueue, AFullStderrHoldsNoProducerAndWhatDidNotFitIsCountedInPlace) {
  FakeStderr err;
  err.hold();
  DiagnosticQueue queue(err.writer(), 3);
  queue.push("0\n");
  err.wait_until_a_write_waits();  // the writer has line 0 and waits for room
  // None of these waits: three fit, the other three are dropped and counted.
  queue.push(numbered(1, 7));
  EXPECT_FALSE(queue.flush(std::chrono::milliseconds(50)));  // nothing gets through meanwhile
  err.release();
  ASSERT_TRUE(queue.flush(std::chrono::seconds(30)));
  queue.push("7\n");
  ASSERT_TRUE(queue.flush(std::chrono::seconds(30)));
  EXPECT_EQ(err.text(), "0\n1\n2\n3\n3 diagnostic lines dropped: standard error is full\n7\n");
}

TEST(DiagnosticQueue, AtExitTheLinesAConsumerHoldsOrCannotTakeGoToStderrInOrder) {
  // Consumer gone: the refused batch and everything after it go to fd 2, in order.
  {
    FakeStderr err;
    int calls = 0;
    {
      DiagnosticQueue queue(err.writer());
      queue.set_consumer([&](const Delivered&) { return ++calls > 1; });
      queue.push(numbered(0, 50));
      queue.push("50\n");
    }  // destruction handles what is pending
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(err.text(), numbered(0, 51));
  }
  // Consumer stuck (the interpreter finalized while the writer was in the handler): the exit
  // writes the batch it holds and the pending lines, then later lines; nothing is lost.
  FakeStderr err;
  varnex::rt::Completion entered;
  varnex::rt::Completion release;
  {
    DiagnosticQueue queue(err.writer());
    queue.set_consumer([&](const Delivered&) {
      entered.set();
      release.wait_until(std::nullopt);
      return false;
    });
    queue.push("held\n");
    entered.wait_until(std::nullopt);
    queue.push("p1\np2\n");
    queue.finish_at_exit();
    EXPECT_EQ(err.text(), "held\np1\np2\n");
    release.set();
    queue.push("late\n");
  }
  EXPECT_EQ(err.text(), "held\np1\np2\nlate\n");
}
