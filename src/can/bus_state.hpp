// The state of a CAN bus as a controller sees it, from the two places the kernel tells it:
//
// - error frames (CAN_RAW_ERR_FILTER): a controller that changes state sends one (CAN_ERR_CRTL
//   with warning or passive bits, CAN_ERR_BUSOFF, CAN_ERR_RESTARTED after a restart); vcan has no
//   controller, so there they only come when a program writes one;
// - the link itself over rtnetlink (RTM_GETLINK): whether it is up and, for a `type can` link
//   (a real controller), IFLA_LINKINFO → IFLA_INFO_DATA → IFLA_CAN_STATE.
//
// The rule that joins them (BusStateRule::current): a link that is down (or gone) is Stopped;
// otherwise the source that changed last wins: an error frame seen after the link's state last
// changed, or the link's state when it changed after the last error frame. A link with no state
// of its own (vcan) shows the last error frame's state, Unknown before any. On a real
// controller both agree; the rule matters where error frames are written by a program (tests,
// replayed logs), which must neither be hidden by an unchanging link state nor outlive the
// controller's next change.
#pragma once

#include <linux/can/error.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "can/can_frame.hpp"

namespace varnex {

enum class BusState : uint8_t { Unknown, Active, Warning, Passive, BusOff, Stopped };

// "unknown", "active", "warning", "passive", "bus-off", "stopped".
const char* bus_state_name(BusState state);

// The error classes a CAN device always reads, whether or not error frames reach its receives:
// the ones that say the controller's state (the non-blocking device's task reads them on its
// socket, the blocking device on a StateFrameSocket). Receives that asked for error frames get
// every class (CAN_ERR_MASK).
inline constexpr uint32_t kStateErrorClasses = CAN_ERR_CRTL | CAN_ERR_BUSOFF | CAN_ERR_RESTARTED;

// The names of what an error frame reports, in the order of linux/can/error.h's classes:
//   "tx-timeout", "lost-arbitration", "controller-overflow", "controller-warning",
//   "controller-passive", "controller-active", "controller-problem" (CAN_ERR_CRTL without a
//   detail), "protocol-violation", "transceiver", "no-ack", "bus-off", "bus-error", "restarted",
//   "error-counters"
// `message.id` is the error class (parse_can_frame keeps its 29 bits); the controller's detail
// is data[1]. Empty for a frame that is not an error frame.
std::vector<const char*> error_class_names(const CanMessage& message);

// The bus state an error frame reports, if it reports one: bus-off, else passive, else warning
// (CAN_ERR_CRTL's detail bits), else active (CAN_ERR_CRTL_ACTIVE or CAN_ERR_RESTARTED).
std::optional<BusState> state_from_error_frame(const CanMessage& message);

// One reading of a link over rtnetlink.
struct LinkReading {
  bool present = false;                  // an interface of that name exists
  bool up = false;                       // IFF_UP
  std::optional<BusState> kernel_state;  // IFLA_CAN_STATE of a `type can` link
};

// The reading in one RTM_NEWLINK message (the netlink header first); nothing when it is not one.
// The CAN states map as ERROR-ACTIVE → Active, ERROR-WARNING → Warning, ERROR-PASSIVE → Passive,
// BUS-OFF → BusOff, STOPPED and SLEEPING → Stopped.
std::optional<LinkReading> parse_link_message(std::span<const uint8_t> message);

// Asks the kernel for the link `interface` (one RTM_GETLINK request on a netlink route socket,
// opened and closed per call: a bus state is asked for seldom). Absent: present false. A netlink
// failure reads as a link that is up with no state of its own, so error frames still count.
LinkReading read_link(const std::string& interface);

// The rule above, fed by a device's receive paths (error frames) and by its bus_state() calls
// (link readings). Safe to share between threads; its lock is a leaf.
class BusStateRule {
 public:
  // An error frame was read. Frames that report no state change nothing.
  void saw_error_frame(const CanMessage& message);
  // The state now, given a fresh reading of the link.
  BusState current(const LinkReading& link);

 private:
  std::mutex mutex_;     // a leaf (common/lock_order.hpp): held only to compare and store
  uint64_t events_ = 0;  // orders the two sources' changes
  std::optional<BusState> frame_state_;
  uint64_t frame_event_ = 0;
  bool link_read_ = false;
  std::optional<BusState> kernel_state_;
  uint64_t kernel_event_ = 0;
};

// What a CAN device does with the error frames its sockets read: each one's state goes to the
// rule; it reaches the device's receives only when its class is one they asked for.
class ErrorFrames {
 public:
  // `delivered`: the error classes the receives get (0: none, CAN_ERR_MASK: all).
  explicit ErrorFrames(uint32_t delivered) : delivered_(delivered & CAN_ERR_MASK) {}

  uint32_t delivered() const { return delivered_; }
  // The classes the device's sockets receive: those delivered and those that say a state.
  uint32_t error_mask() const { return delivered_ | kStateErrorClasses; }
  // A frame read: true when it goes on to the receives (every frame that is not an error frame).
  bool passes(const CanMessage& message) {
    if (!message.error) return true;
    rule_.saw_error_frame(message);
    return (message.id & delivered_) != 0;
  }
  BusStateRule& rule() { return rule_; }
  // The bus state now (reads the link: one netlink round trip).
  BusState bus_state(const std::string& interface) { return rule_.current(read_link(interface)); }

 private:
  const uint32_t delivered_;
  BusStateRule rule_;
};

}  // namespace varnex
