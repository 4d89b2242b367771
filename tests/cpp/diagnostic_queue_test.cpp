// The queue that hands diagnostic lines to a Python handler: order, line splitting, and that
// no line is lost when the consumer goes away or falls behind.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/diagnostics.hpp"
#include "runtime/completion.hpp"
#include "runtime/diagnostic_queue.hpp"

using varnex::rt::DiagnosticQueue;
using Lines = std::vector<std::string>;

TEST(DiagnosticQueue, RoutedWritesReachTheConsumerAsLinesInOrder) {
  EXPECT_EQ(DiagnosticQueue::split_lines("\n[varnex] Received SIGINT\n"),
            Lines{"[varnex] Received SIGINT"});
  EXPECT_EQ(DiagnosticQueue::split_lines("a\n\nb"), (Lines{"a", "b"}));
  EXPECT_TRUE(DiagnosticQueue::split_lines("\n").empty());

  Lines delivered;
  Lines fallback;
  {
    DiagnosticQueue queue([&](const Lines& lines) {
      delivered.insert(delivered.end(), lines.begin(), lines.end());
      return true;
    }, [&](std::string_view text) { fallback.emplace_back(text); });
    varnex::route_diagnostics(&queue);
    for (int i = 0; i < 200; ++i) varnex::write_stderr("\nline " + std::to_string(i) + "\n");
    varnex::route_diagnostics(nullptr);
  }  // destruction delivers what is pending
  ASSERT_EQ(delivered.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(delivered[i], "line " + std::to_string(i));
  EXPECT_TRUE(fallback.empty());
}

TEST(DiagnosticQueue, LinesGoToTheFallbackInOrderOnceTheConsumerIsGoneOrBehind) {
  // Consumer gone: the refused batch and everything after it fall back, in order.
  Lines fallback;
  int calls = 0;
  {
    DiagnosticQueue queue([&](const Lines&) { return ++calls > 1; },
                          [&](std::string_view text) { fallback.emplace_back(text); });
    for (int i = 0; i < 50; ++i) queue.push(std::to_string(i) + "\n");
  }
  EXPECT_EQ(calls, 1);
  ASSERT_EQ(fallback.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(fallback[i], std::to_string(i) + "\n");

  // Consumer stuck: lines beyond the capacity fall back at once; at exit the drain writes the
  // batch it holds and the pending ones; nothing is lost.
  fallback.clear();
  varnex::rt::Completion entered;
  varnex::rt::Completion release;
  {
    DiagnosticQueue queue([&](const Lines&) {
      entered.set();
      release.wait_until(std::nullopt);
      return true;
    }, [&](std::string_view text) { fallback.emplace_back(text); }, 2);
    queue.push("held\n");
    entered.wait_until(std::nullopt);
    queue.push("p1\np2\nover\n");
    EXPECT_EQ(fallback, Lines{"over\n"});
    queue.drain_to_fallback();
    queue.push("late\n");
    release.set();
  }
  EXPECT_EQ(fallback, (Lines{"over\n", "held\n", "p1\n", "p2\n", "late\n"}));
}
