#include "can/provisioning.hpp"

#include <vector>

#include "can/child_process.hpp"
#include "can/ip_link_parse.hpp"
#include "common/diagnostics.hpp"
#include "common/os_error.hpp"

namespace varnex {
namespace {

using Args = std::vector<std::string>;

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

// The direct attempt's own failures are not reported: they only decide whether sudo is needed.
bool run_directly(const std::vector<Args>& commands) {
  for (const Args& args : commands) {
    if (!run_child(with_program("ip", args), ChildStdio::Captured).succeeded) return false;
  }
  return true;
}

Status run_with_sudo(const std::vector<Args>& commands) {
  write_stderr("[CAN] Need elevated privileges, requesting sudo...\n");
  // sudo shares our standard error: the notice must be out before its prompt.
  flush_stderr();
  for (const Args& args : commands) {
    Args argv{"sudo", "ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ChildRun run = run_child(argv, ChildStdio::Inherited);
    if (run.start_error != 0) {
      return Error::os("Failed to run 'sudo ip " + join(args) + "': " + os_error_text(run.start_error));
    }
    if (!run.succeeded) return Error::os("'sudo ip " + join(args) + "' failed");
  }
  return {};
}

}  // namespace

Status ensure_can_interface(const std::string& interface) {
  const ChildRun query =
      run_child({"ip", "-details", "link", "show", interface}, ChildStdio::Captured);
  if (query.start_error != 0) return Error::os("Failed to run ip: " + os_error_text(query.start_error));
  if (!query.succeeded) return Error::os("CAN interface '" + interface + "' does not exist");

  const LinkState state = parse_ip_link_details(query.output);
  // Reconfiguring is only ever meant for CAN interfaces: taking "eth0" or "lo" down because a
  // wrong name was passed would cut the machine off.
  if (!state.link_type.empty() && state.link_type != "can") {
    return Error::os("Interface '" + interface + "' is not a CAN interface (link/" +
                     state.link_type + ")");
  }
  // A virtual interface has no bit timing ("type can bitrate" is refused), so it only needs
  // to be up; asking it for a bit rate would fail on every call, even under sudo.
  const bool ready = state.is_virtual ? state.up : state.up && state.bitrate == kCanBitrate;
  if (ready) return {};

  write_stderr("[CAN] Interface '" + interface + "' needs configuration (up=" +
               (state.up ? "true" : "false") + ", bitrate=" +
               (state.bitrate ? std::to_string(*state.bitrate) : "none") + "), configuring...\n");

  std::vector<Args> commands;
  if (state.is_virtual) {
    commands = {{"link", "set", interface, "up"}};
  } else {
    commands = {
        {"link", "set", interface, "down"},
        {"link", "set", interface, "type", "can", "bitrate", std::to_string(kCanBitrate)},
        {"link", "set", interface, "up"},
    };
  }
  if (run_directly(commands)) return {};
  return run_with_sudo(commands);
}

}  // namespace varnex
