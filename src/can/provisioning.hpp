// Making sure a CAN network interface is up and runs at the system's bit rate before a socket
// is opened on it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include "common/result.hpp"
#include "runtime/completion.hpp"

namespace varnex {

// The bit rate the system runs its CAN buses at unless a device is given another.
inline constexpr uint32_t kCanBitrate = 1000000;

// The rates a device may ask for instead: the usual CAN rates, in bit/s. Anything else is
// refused before an interface is touched (a controller would take many odd rates, or round
// them, and a bus of nodes at slightly different rates fails in ways hard to trace).
inline constexpr std::array<uint32_t, 9> kCanBitrates{10000,  20000,  50000,  100000, 125000,
                                                      250000, 500000, 800000, 1000000};

// `requested` when it is one of kCanBitrates, else unsupported_bitrate_error(its decimal text).
Result<uint32_t> check_can_bitrate(int64_t requested);
// ValueError "bitrate <shown> is not supported: use one of 10000, 20000, 50000, 100000, 125000,
// 250000, 500000, 800000, 1000000 (bit/s)"; `shown` is the rate as the caller wrote it (for a
// number too large for check_can_bitrate).
Error unsupported_bitrate_error(const std::string& shown);

// How long one run of `ip` may take before it is killed: generous, as `ip` answers within
// milliseconds unless the kernel's network configuration is stuck. The sudo pass has no limit,
// since sudo may wait for a password typed on the terminal.
inline constexpr std::chrono::seconds kIpTimeLimit{10};

// Queries `ip -details link show dev <interface>` and, unless the interface is up at
// `bitrate`, runs `ip link set dev <interface> down`, `... type can bitrate <bitrate>`, `... up`;
// if any of those fails, runs all three again through `sudo` (which may prompt on the terminal).
// A virtual interface (vcan, vxcan) has no bit rate: it is only brought up when it is down.
// The name always follows `dev`, so that one such as "up" is never read as a keyword.
// Programs are found through PATH. Progress lines go to standard error ("[CAN] ...").
// Blocks the calling thread until every child has exited (not until their output ends), each
// `ip` run at most `ip_time_limit`; keeps no state between calls.
//
// A process that ignores SIGCHLD never learns its children's exit status; a run is then judged
// by its output: it succeeded when it wrote nothing on its standard error (and, for the query,
// printed the link). A sudo command, whose output is not seen, then counts as succeeded.
//
// A `bitrate` not in kCanBitrates is check_can_bitrate's ValueError, before anything runs.
// Other errors (all ErrorKind::Os), exactly:
//   "Failed to run ip: <os error text>"                 ip could not be started for the query
//   "CAN interface '<interface>' does not exist"         the query did not succeed
//   "'ip <args>' did not finish within 10 s and was killed"   a run took too long
//   "Failed to run 'sudo ip <args>': <os error text>"    a sudo command could not be started
//   "'sudo ip <args>' failed"                            a sudo command did not succeed
//   "Provisioning of '<interface>' was interrupted"      a ProvisioningInterrupt asked
// where <args> is the command's arguments joined with blanks, e.g. "link set dev can0 down".
Status ensure_can_interface(const std::string& interface, uint32_t bitrate = kCanBitrate,
                            std::chrono::milliseconds ip_time_limit = kIpTimeLimit);

// While one lives on a thread, ensure_can_interface on that thread runs `interrupted` at least
// every rt::kInterruptCheckPeriod as it waits for a child; when it returns true the child is
// killed and the call fails (fired() then says so). The device constructors take no check of
// their own, so a caller that must stay interruptible (a Python main thread, for Ctrl+C) sets
// one around them. An empty check does nothing.
class ProvisioningInterrupt {
 public:
  explicit ProvisioningInterrupt(rt::InterruptCheck interrupted);
  ~ProvisioningInterrupt();
  ProvisioningInterrupt(const ProvisioningInterrupt&) = delete;
  ProvisioningInterrupt& operator=(const ProvisioningInterrupt&) = delete;

  bool fired() const { return fired_; }

  // The innermost one on the calling thread, or null.
  static ProvisioningInterrupt* current();
  // Runs the check; true (and fired() from then on) when it asks to stop.
  bool check();
  bool has_check() const { return static_cast<bool>(interrupted_); }

 private:
  rt::InterruptCheck interrupted_;
  ProvisioningInterrupt* outer_;
  bool fired_ = false;
};

}  // namespace varnex
