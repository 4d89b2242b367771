#include "can/bus_state.hpp"

#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include "common/unique_fd.hpp"

namespace varnex {

const char* bus_state_name(BusState state) {
  switch (state) {
    case BusState::Unknown:
      return "unknown";
    case BusState::Active:
      return "active";
    case BusState::Warning:
      return "warning";
    case BusState::Passive:
      return "passive";
    case BusState::BusOff:
      return "bus-off";
    case BusState::Stopped:
      return "stopped";
  }
  return "unknown";
}

namespace {

constexpr uint8_t kCrtlWarning = CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING;
constexpr uint8_t kCrtlPassive = CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE;
constexpr uint8_t kCrtlOverflow = CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_TX_OVERFLOW;

uint8_t controller_detail(const CanMessage& message) {
  return message.data.size() > 1 ? message.data[1] : 0;
}

}  // namespace

std::vector<const char*> error_class_names(const CanMessage& message) {
  std::vector<const char*> names;
  if (!message.error) return names;
  const uint32_t classes = message.id;
  if (classes & CAN_ERR_TX_TIMEOUT) names.push_back("tx-timeout");
  if (classes & CAN_ERR_LOSTARB) names.push_back("lost-arbitration");
  if (classes & CAN_ERR_CRTL) {
    const uint8_t detail = controller_detail(message);
    if (detail & kCrtlOverflow) names.push_back("controller-overflow");
    if (detail & kCrtlWarning) names.push_back("controller-warning");
    if (detail & kCrtlPassive) names.push_back("controller-passive");
    if (detail & CAN_ERR_CRTL_ACTIVE) names.push_back("controller-active");
    if ((detail & (kCrtlOverflow | kCrtlWarning | kCrtlPassive | CAN_ERR_CRTL_ACTIVE)) == 0) {
      names.push_back("controller-problem");
    }
  }
  if (classes & CAN_ERR_PROT) names.push_back("protocol-violation");
  if (classes & CAN_ERR_TRX) names.push_back("transceiver");
  if (classes & CAN_ERR_ACK) names.push_back("no-ack");
  if (classes & CAN_ERR_BUSOFF) names.push_back("bus-off");
  if (classes & CAN_ERR_BUSERROR) names.push_back("bus-error");
  if (classes & CAN_ERR_RESTARTED) names.push_back("restarted");
  if (classes & CAN_ERR_CNT) names.push_back("error-counters");
  return names;
}

std::optional<BusState> state_from_error_frame(const CanMessage& message) {
  if (!message.error) return std::nullopt;
  const uint32_t classes = message.id;
  const uint8_t detail = (classes & CAN_ERR_CRTL) ? controller_detail(message) : 0;
  if (classes & CAN_ERR_BUSOFF) return BusState::BusOff;
  if (detail & kCrtlPassive) return BusState::Passive;
  if (detail & kCrtlWarning) return BusState::Warning;
  if ((detail & CAN_ERR_CRTL_ACTIVE) || (classes & CAN_ERR_RESTARTED)) return BusState::Active;
  return std::nullopt;
}

namespace {

// The attributes of one netlink attribute block, walked with every length checked: a reply is
// the kernel's, but a truncated or odd one must end the walk, not read past the buffer.
class Attributes {
 public:
  explicit Attributes(std::span<const uint8_t> block) : block_(block) {}

  // The payload of the first attribute of `type` (the nested flag ignored).
  std::optional<std::span<const uint8_t>> find(uint16_t type) const {
    std::span<const uint8_t> rest = block_;
    while (rest.size() >= sizeof(rtattr)) {
      rtattr header;
      std::memcpy(&header, rest.data(), sizeof header);
      if (header.rta_len < sizeof(rtattr) || header.rta_len > rest.size()) return std::nullopt;
      if ((header.rta_type & NLA_TYPE_MASK) == type) {
        return rest.subspan(RTA_LENGTH(0), header.rta_len - RTA_LENGTH(0));
      }
      const std::size_t step = RTA_ALIGN(header.rta_len);
      if (step >= rest.size()) return std::nullopt;
      rest = rest.subspan(step);
    }
    return std::nullopt;
  }

 private:
  std::span<const uint8_t> block_;
};

std::optional<BusState> from_can_state(uint32_t state) {
  switch (state) {
    case CAN_STATE_ERROR_ACTIVE:
      return BusState::Active;
    case CAN_STATE_ERROR_WARNING:
      return BusState::Warning;
    case CAN_STATE_ERROR_PASSIVE:
      return BusState::Passive;
    case CAN_STATE_BUS_OFF:
      return BusState::BusOff;
    case CAN_STATE_STOPPED:
    case CAN_STATE_SLEEPING:
      return BusState::Stopped;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<LinkReading> parse_link_message(std::span<const uint8_t> message) {
  nlmsghdr header;
  if (message.size() < sizeof header) return std::nullopt;
  std::memcpy(&header, message.data(), sizeof header);
  if (header.nlmsg_type != RTM_NEWLINK || header.nlmsg_len > message.size() ||
      header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
    return std::nullopt;
  }
  ifinfomsg info;
  std::memcpy(&info, message.data() + NLMSG_HDRLEN, sizeof info);
  LinkReading reading;
  reading.present = true;
  reading.up = (info.ifi_flags & IFF_UP) != 0;
  const std::size_t attributes_at = NLMSG_LENGTH(NLMSG_ALIGN(sizeof(ifinfomsg)));
  if (header.nlmsg_len <= attributes_at) return reading;
  const Attributes link(message.subspan(attributes_at, header.nlmsg_len - attributes_at));
  const auto link_info = link.find(IFLA_LINKINFO);
  if (!link_info) return reading;
  const Attributes info_block(*link_info);
  const auto kind = info_block.find(IFLA_INFO_KIND);
  // The kind is "can" with its terminating zero; vcan, vxcan and the rest keep no bus state.
  if (!kind || kind->size() < 3 || std::memcmp(kind->data(), "can", 3) != 0 ||
      (kind->size() > 3 && (*kind)[3] != 0)) {
    return reading;
  }
  const auto data = info_block.find(IFLA_INFO_DATA);
  if (!data) return reading;
  const auto state = Attributes(*data).find(IFLA_CAN_STATE);
  if (!state || state->size() < sizeof(uint32_t)) return reading;
  uint32_t value;
  std::memcpy(&value, state->data(), sizeof value);
  reading.kernel_state = from_can_state(value);
  return reading;
}

LinkReading read_link(const std::string& interface) {
  const unsigned index = if_nametoindex(interface.c_str());
  if (index == 0) return LinkReading{};
  const LinkReading unreadable{true, true, std::nullopt};
  UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!fd) return unreadable;
  // The kernel answers at once; the bound only keeps a kernel that never does from hanging
  // the caller.
  const timeval bound{1, 0};
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);

  struct {
    nlmsghdr header;
    ifinfomsg info;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.info.ifi_family = AF_UNSPEC;
  request.info.ifi_index = static_cast<int>(index);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd.get(), &request, request.header.nlmsg_len, 0,
               reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
    return unreadable;
  }
  // A link's message with its statistics is a few kilobytes. On the heap, per call: a
  // thread_local buffer would be laid out and zeroed in every thread the process starts.
  std::vector<uint8_t> buffer(32 * 1024);
  uint8_t* const reply = buffer.data();  // operator new's alignment suits nlmsghdr
  ssize_t n;
  do {
    n = ::recv(fd.get(), reply, buffer.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n < static_cast<ssize_t>(sizeof(nlmsghdr))) return unreadable;
  nlmsghdr header;
  std::memcpy(&header, reply, sizeof header);
  if (header.nlmsg_type == NLMSG_ERROR) {
    // The link went between the lookup and the request.
    nlmsgerr error;
    if (static_cast<std::size_t>(n) >= NLMSG_LENGTH(sizeof error)) {
      std::memcpy(&error, reply + NLMSG_HDRLEN, sizeof error);
      if (error.error == -ENODEV) return LinkReading{};
    }
    return unreadable;
  }
  std::optional<LinkReading> reading =
      parse_link_message(std::span<const uint8_t>(reply, static_cast<std::size_t>(n)));
  return reading ? *reading : unreadable;
}

void BusStateRule::saw_error_frame(const CanMessage& message) {
  const std::optional<BusState> state = state_from_error_frame(message);
  if (!state) return;
  std::lock_guard lock(mutex_);
  frame_state_ = state;
  frame_event_ = ++events_;
}

BusState BusStateRule::current(const LinkReading& link) {
  std::lock_guard lock(mutex_);
  if (!link_read_) {
    // The state the link had when first asked counts as older than every error frame seen
    // before: nobody saw when it began.
    link_read_ = true;
    kernel_state_ = link.kernel_state;
  } else if (link.kernel_state != kernel_state_) {
    kernel_state_ = link.kernel_state;
    kernel_event_ = ++events_;
  }
  if (!link.present || !link.up) return BusState::Stopped;
  if (frame_state_ && (!kernel_state_ || frame_event_ > kernel_event_)) return *frame_state_;
  if (kernel_state_) return *kernel_state_;
  return BusState::Unknown;
}

}  // namespace varnex
