// Reading the state of a CAN network interface from `ip -details link show <name>` output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnex {

struct LinkState {
  // The flag list (between the first "<" and the next ">") has a piece exactly "UP".
  bool up = false;
  // The decimal number right after "bitrate " on the first line that contains "bitrate ";
  // absent when there is no such line, no digits follow, or the number exceeds 32 bits.
  std::optional<uint32_t> bitrate;
  // A details line starts with the word "vcan" or "vxcan": a virtual interface, which has
  // no bit timing and must not be asked to set one.
  bool is_virtual = false;
  // The type named by the first "link/<type>" line ("can", "ether", "loopback"); empty when the
  // output has none. Anything but "can" is not a CAN interface and must not be reconfigured.
  std::string link_type;

  bool operator==(const LinkState&) const = default;
};

// Never fails: anything not recognised leaves the defaults (down, no bit rate, not virtual).
// Works on the raw bytes; only ASCII is examined, so bytes that are not valid UTF-8 cannot
// change the result.
LinkState parse_ip_link_details(std::string_view output);

}  // namespace varnex
