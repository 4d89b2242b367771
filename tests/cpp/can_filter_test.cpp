#include "can/can_filter.hpp"

#include <gtest/gtest.h>

#include <vector>

using varnex::CanFilter;
using varnex::CanFilterSpec;
using varnex::ErrorKind;
using varnex::kernel_filters;
using varnex::make_can_filters;

namespace {

std::string refusal(std::vector<CanFilterSpec> specs) {
  auto made = make_can_filters(specs);
  if (made.ok()) return "accepted";
  EXPECT_EQ(made.error().kind, ErrorKind::Value);
  return made.error().message;
}

// Whether the kernel passes a frame with this id word: (word & mask) == (id & mask).
bool passes(const can_filter& f, uint32_t word) {
  return (word & f.can_mask) == (f.can_id & f.can_mask);
}

}  // namespace

TEST(CanFilter, RefusesIdsAndMasksBeyondTheirRangeNamingTheFilter) {
  EXPECT_EQ(refusal({{0x1FFFFFFF, 0x1FFFFFFF, true}, {0x20000000, 0, std::nullopt}}),
            "filters[1]: can_id must be 0 to 0x1FFFFFFF (29 bits), got 0x20000000");
  EXPECT_EQ(refusal({{0, 0x80000000, std::nullopt}}),
            "filters[0]: can_mask must be 0 to 0x1FFFFFFF (29 bits), got 0x80000000");
  EXPECT_EQ(refusal({{0x800, 0x7FF, false}}),
            "filters[0]: can_id must be 0 to 0x7FF (11 bits) for a standard filter "
            "(extended=False), got 0x800");
  // Without the format, or extended, a 29-bit id is a filter; a wide mask on a standard one too.
  EXPECT_EQ(
      refusal({{0x800, 0x7FF, std::nullopt}, {0x800, 0x7FF, true}, {0x7FF, 0x1FFFFFFF, false}}),
      "accepted");
}

TEST(CanFilter, AcceptsTheKernelsLimitAndNoMore) {
  EXPECT_EQ(refusal(std::vector<CanFilterSpec>(varnex::kMaxCanFilters)), "accepted");
  EXPECT_EQ(refusal(std::vector<CanFilterSpec>(varnex::kMaxCanFilters + 1)),
            "filters: at most 512 filters, got 513");
  EXPECT_EQ(refusal({}), "accepted");
}

TEST(CanFilter, TheFormatDecidesWhichFramesOfAnIdPass) {
  auto made = make_can_filters(std::vector<CanFilterSpec>{
      {0x123, 0x7FF, std::nullopt}, {0x123, 0x7FF, false}, {0x123, 0x7FF, true}});
  ASSERT_TRUE(made.ok());
  EXPECT_EQ(made->at(1).format, CanFilter::Format::Standard);
  std::vector<can_filter> k = kernel_filters(*made);
  ASSERT_EQ(k.size(), 3u);
  const uint32_t standard = 0x123, extended = 0x123 | CAN_EFF_FLAG, remote = 0x123 | CAN_RTR_FLAG;
  EXPECT_TRUE(passes(k[0], standard));
  EXPECT_TRUE(passes(k[0], extended));
  EXPECT_TRUE(passes(k[1], standard));
  EXPECT_FALSE(passes(k[1], extended));
  EXPECT_FALSE(passes(k[2], standard));
  EXPECT_TRUE(passes(k[2], extended));
  EXPECT_TRUE(passes(k[1], remote));  // a remote request of the id is not told apart
  EXPECT_FALSE(passes(k[0], 0x124));
}
