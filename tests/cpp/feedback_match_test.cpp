// The rule that decides which received frames are a driver's feedback, as its table states it.
#include "motor/feedback_match.hpp"

#include <gtest/gtest.h>

using varnex::CanMessage;
using varnex::motor::is_feedback_frame_for;

namespace {

const std::vector<uint8_t> kEight(8, 0);

struct Case {
  uint32_t node_id;
  CanMessage frame;  // {id, data, extended, remote, error}
  bool feedback;
};

}  // namespace

TEST(FeedbackMatch, OnlyDataFramesOnTheNodeIdInItsOwnFormatWithEightBytes) {
  const Case cases[] = {
      {0x201, {0x201, kEight}, true},
      {0x201, {0x201, std::vector<uint8_t>(7, 0)}, false},
      {0x201, {0x202, kEight}, false},
      {0x201, {0x201, kEight, false, true}, false},
      {0x201, {0x201, {}, false, true}, false},
      {0x201, {0x201, kEight, true}, false},
      {0x201, {0x201, kEight, false, false, true}, false},
      {0x10201, {0x10201, kEight, true}, true},
      {0x10201, {0x10201, kEight, true, true}, false},
      {0x7FF, {0x7FF, kEight}, true},
      {0x7FF, {0x7FF, kEight, true}, false},
      {0x800, {0x800, kEight, true}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_feedback_frame_for(c.frame, c.node_id), c.feedback)
        << std::hex << "node 0x" << c.node_id << " frame 0x" << c.frame.id
        << " extended=" << c.frame.extended << " remote=" << c.frame.remote
        << " error=" << c.frame.error << " length=" << c.frame.data.size();
  }
}
