#include "can/provisioning.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <vector>

#include "can/child_process.hpp"
#include "can/ip_link_parse.hpp"
#include "common/os_error.hpp"
#include "runtime/diagnostics.hpp"

namespace varnex {
namespace {

using Args = std::vector<std::string>;

thread_local ProvisioningInterrupt* innermost = nullptr;

std::string join(const Args& args) {
  std::string joined;
  for (const std::string& arg : args) {
    if (!joined.empty()) joined += ' ';
    joined += arg;
  }
  return joined;
}

Args with_program(const char* program, const Args& args) {
  Args argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

ChildLimits limits(std::optional<std::chrono::milliseconds> time_limit) {
  ChildLimits limits{time_limit, {}};
  if (ProvisioningInterrupt* scope = ProvisioningInterrupt::current();
      scope && scope->has_check()) {
    limits.interrupted = [scope] { return scope->check(); };
  }
  return limits;
}

Error interrupted_error(const std::string& interface) {
  return Error::os("Provisioning of '" + interface + "' was interrupted");
}

Error timed_out_error(const Args& args, std::chrono::milliseconds limit) {
  // Whole seconds where the limit is whole seconds, as the documented limit is.
  const auto ms = limit.count();
  const std::string shown =
      ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
  return Error::os("'ip " + join(args) + "' did not finish within " + shown + " and was killed");
}

// A run that ended without a verdict of its own: killed at its time limit or interrupted.
std::optional<Error> cut_short(const ChildRun& run, const Args& args, const std::string& interface,
                               std::chrono::milliseconds limit) {
  if (run.end == ChildEnd::TimedOut) return timed_out_error(args, limit);
  if (run.end == ChildEnd::Interrupted) return interrupted_error(interface);
  return std::nullopt;
}

// The direct attempt's own failures are not reported: they only decide whether sudo is needed.
// A run cut short is reported, though: sudo would not help an `ip` that hangs.
Result<bool> run_directly(const std::vector<Args>& commands, const std::string& interface,
                          std::chrono::milliseconds limit) {
  for (const Args& args : commands) {
    const ChildRun run = run_child(with_program("ip", args), ChildStdio::Captured, limits(limit));
    if (std::optional<Error> error = cut_short(run, args, interface, limit)) return *error;
    if (!run.succeeded()) return false;
  }
  return true;
}

// Where PATH finds `program`, or the bare name (a sudo rule needs the full path).
std::string path_of(std::string_view program) {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "";
  while (!dirs.empty()) {
    const std::size_t end = dirs.find(':');
    std::string candidate(dirs.substr(0, end));
    if (!candidate.empty()) {
      candidate += '/';
      candidate += program;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    if (end == std::string_view::npos) break;
    dirs.remove_prefix(end + 1);
  }
  return std::string(program);
}

std::string user_name() {
  if (const passwd* entry = ::getpwuid(::geteuid());
      entry != nullptr && entry->pw_name != nullptr) {
    return entry->pw_name;
  }
  return std::to_string(::geteuid());
}

// The one line that says what to do when the interface could not be configured even through
// sudo: configure it before the program starts, or let the program's user run ip through sudo
// without a password (a service has no terminal to type one on).
void advise_after_sudo_failure(const std::string& interface, bool is_virtual, uint32_t bitrate) {
  const std::string setup = is_virtual ? "ip link set dev " + interface + " up"
                                       : "ip link set dev " + interface + " up type can bitrate " +
                                             std::to_string(bitrate);
  write_stderr(DiagnosticLevel::Error,
               "[CAN] To fix: bring '" + interface +
                   "' up before the program starts (as root: " + setup +
                   "), or, for a service, allow its user to run ip through sudo "
                   "without a password (in /etc/sudoers.d/: " +
                   user_name() + " ALL=(root) NOPASSWD: " + path_of("ip") + ")\n",
               {{"interface", interface}});
}

Status run_with_sudo(const std::vector<Args>& commands, const std::string& interface) {
  write_stderr(DiagnosticLevel::Info, "[CAN] Need elevated privileges, requesting sudo...\n",
               {{"interface", interface}});
  // sudo shares our standard error: the notice must be out before its prompt.
  flush_stderr();
  for (const Args& args : commands) {
    Args argv{"sudo", "ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ChildRun run = run_child(argv, ChildStdio::Inherited, limits(std::nullopt));
    if (run.start_error != 0) {
      return Error::os("Failed to run 'sudo ip " + join(args) +
                       "': " + os_error_text(run.start_error));
    }
    if (run.end == ChildEnd::Interrupted) return interrupted_error(interface);
    if (!run.succeeded()) return Error::os("'sudo ip " + join(args) + "' failed");
  }
  return {};
}

}  // namespace

Error unsupported_bitrate_error(const std::string& shown) {
  std::string rates;
  for (const uint32_t rate : kCanBitrates) {
    if (!rates.empty()) rates += ", ";
    rates += std::to_string(rate);
  }
  return Error::value("bitrate " + shown + " is not supported: use one of " + rates + " (bit/s)");
}

Result<uint32_t> check_can_bitrate(int64_t requested) {
  for (const uint32_t rate : kCanBitrates) {
    if (requested == rate) return rate;
  }
  return unsupported_bitrate_error(std::to_string(requested));
}

ProvisioningInterrupt::ProvisioningInterrupt(rt::InterruptCheck interrupted)
    : interrupted_(std::move(interrupted)), outer_(innermost) {
  innermost = this;
}

ProvisioningInterrupt::~ProvisioningInterrupt() { innermost = outer_; }

ProvisioningInterrupt* ProvisioningInterrupt::current() { return innermost; }

bool ProvisioningInterrupt::check() {
  if (!fired_ && interrupted_ && interrupted_()) fired_ = true;
  return fired_;
}

Status ensure_can_interface(const std::string& interface, uint32_t bitrate,
                            std::chrono::milliseconds ip_time_limit) {
  if (Result<uint32_t> checked = check_can_bitrate(bitrate); !checked) {
    return std::move(checked).error();
  }
  const Args query_args{"-details", "link", "show", "dev", interface};
  const ChildRun query =
      run_child(with_program("ip", query_args), ChildStdio::Captured, limits(ip_time_limit));
  if (query.start_error != 0)
    return Error::os("Failed to run ip: " + os_error_text(query.start_error));
  if (std::optional<Error> error = cut_short(query, query_args, interface, ip_time_limit))
    return *error;
  // Without an exit status, an answer without a link in it is no answer.
  const bool found = query.end == ChildEnd::StatusUnknown
                         ? query.succeeded() && !query.output.empty()
                         : query.succeeded();
  if (!found) return Error::os("CAN interface '" + interface + "' does not exist");

  const LinkState state = parse_ip_link_details(query.output);
  // Reconfiguring is only ever meant for CAN interfaces: taking "eth0" or "lo" down because a
  // wrong name was passed would cut the machine off.
  if (!state.link_type.empty() && state.link_type != "can") {
    return Error::os("Interface '" + interface + "' is not a CAN interface (link/" +
                     state.link_type + ")");
  }
  // A virtual interface has no bit timing ("type can bitrate" is refused), so it only needs
  // to be up; asking it for a bit rate would fail on every call, even under sudo.
  const bool ready = state.is_virtual ? state.up : state.up && state.bitrate == bitrate;
  if (ready) return {};

  write_stderr(DiagnosticLevel::Info,
               "[CAN] Interface '" + interface +
                   "' needs configuration (up=" + (state.up ? "true" : "false") +
                   ", bitrate=" + (state.bitrate ? std::to_string(*state.bitrate) : "none") +
                   "), configuring...\n",
               {{"interface", interface}});

  std::vector<Args> commands;
  if (state.is_virtual) {
    commands = {{"link", "set", "dev", interface, "up"}};
  } else {
    commands = {
        {"link", "set", "dev", interface, "down"},
        {"link", "set", "dev", interface, "type", "can", "bitrate", std::to_string(bitrate)},
        {"link", "set", "dev", interface, "up"},
    };
  }
  Result<bool> direct = run_directly(commands, interface, ip_time_limit);
  if (!direct) return std::move(direct).error();
  if (direct.value()) return {};
  Status elevated = run_with_sudo(commands, interface);
  // An interrupted run (Ctrl+C) failed for no fault of the set-up: nothing to advise.
  if (!elevated && elevated.error() != interrupted_error(interface)) {
    advise_after_sudo_failure(interface, state.is_virtual, bitrate);
  }
  return elevated;
}

}  // namespace varnex
