// Receive filters: which frames a CAN device's socket is given at all. The kernel applies them
// (CAN_RAW_FILTER) before a frame is queued for the socket, so a frame they exclude costs the
// device nothing: no wake-up, no read, no room in its receive buffer.
//
// A frame passes when it matches any filter of the list:
//     (frame's id & can_mask) == (can_id & can_mask)
// and, for a filter limited to one format, the frame has that format. This is python-can's rule
// for its "can_filters", "extended" included: a filter without it matches both formats.
//
// No list (nullopt) means every data frame, as a socket without filters gets; an empty list
// means no frame at all (a device that only sends), as the kernel reads it. python-can reads an
// empty list as "everything": we keep the kernel's meaning, which has a use the other lacks.
#pragma once

#include <linux/can.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/result.hpp"

namespace varnex {

// The most filters a list may hold: the kernel's own limit (CAN_RAW_FILTER_MAX).
inline constexpr std::size_t kMaxCanFilters = 512;

struct CanFilter {
  enum class Format : uint8_t {
    Any,       // standard and extended frames
    Standard,  // only 11-bit identifiers
    Extended,  // only 29-bit identifiers
  };
  uint32_t can_id = 0;
  uint32_t can_mask = 0;
  Format format = Format::Any;

  bool operator==(const CanFilter&) const = default;
};

// nullopt: no filter, every data frame; else the list (empty: nothing).
using CanFilters = std::optional<std::vector<CanFilter>>;

// One filter as a caller spells it, before it is checked: `extended` absent matches both formats.
struct CanFilterSpec {
  uint64_t can_id = 0;
  uint64_t can_mask = 0;
  std::optional<bool> extended;
};

// The filters for `specs`, or the first rule they break (ErrorKind::Value), checked in order:
//   "filters: at most 512 filters, got <N>"
//   "filters[<i>]: can_id must be 0 to 0x1FFFFFFF (29 bits), got 0x<ID>"
//   "filters[<i>]: can_mask must be 0 to 0x1FFFFFFF (29 bits), got 0x<MASK>"
//   "filters[<i>]: can_id must be 0 to 0x7FF (11 bits) for a standard filter (extended=False), got
//   0x<ID>"
// A mask may have bits above 0x7FF for a standard filter: standard identifiers have them clear.
Result<std::vector<CanFilter>> make_can_filters(std::span<const CanFilterSpec> specs);

// The kernel's form of `filters`: the format flag goes into the id and the mask, so that a
// filter limited to one format compares it.
std::vector<can_filter> kernel_filters(std::span<const CanFilter> filters);

}  // namespace varnex
