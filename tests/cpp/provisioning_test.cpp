// Drives ensure_can_interface against scripted `ip` and `sudo` programs placed first (and
// alone) on PATH. Each fake logs its arguments to <dir>/log and answers from files in <dir>:
// query.out (the query's stdout), <prog>.<command>.rc (exit status), <prog>.<command>.action
// (shell sourced before exiting), where <command> is query, down, bitrate or up.
#include "can/provisioning.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/diagnostics.hpp"

namespace fs = std::filesystem;
using varnex::ErrorKind;
using varnex::Status;

namespace {

constexpr const char* kCommandKey =
    "case \"$*\" in\n"
    "  *\"-details link show \"*) key=query ;;\n"
    "  *\" type can bitrate \"*) key=bitrate ;;\n"
    "  *\" down\") key=down ;;\n"
    "  *\" up\") key=up ;;\n"
    "  *) key=other ;;\n"
    "esac\n";

const std::string kFakeIp = std::string(
                                "#!/bin/sh\n"
                                "PATH=/usr/bin:/bin\n"
                                "dir=${0%/*}\n"
                                "echo \"ip $*\" >> \"$dir/log\"\n") +
                            kCommandKey +
                            "if [ $key = query ]; then\n"
                            "  wc -c > \"$dir/query.stdin\"\n"
                            "  [ -f \"$dir/query.out\" ] && cat \"$dir/query.out\"\n"
                            "fi\n"
                            "[ -f \"$dir/ip.$key.action\" ] && . \"$dir/ip.$key.action\"\n"
                            // Like the real ip, it says why on stderr when it fails.
                            "if [ -f \"$dir/ip.$key.rc\" ]; then\n"
                            "  echo \"ip complains on stderr\" >&2\n"
                            "  exit $(cat \"$dir/ip.$key.rc\")\n"
                            "fi\n"
                            "exit 0\n";

const std::string kFakeSudo = std::string(
                                  "#!/bin/sh\n"
                                  "PATH=/usr/bin:/bin\n"
                                  "dir=${0%/*}\n"
                                  "echo \"sudo $*\" >> \"$dir/log\"\n"
                                  "echo \"sudo ran: $*\" >&2\n") +
                              kCommandKey +
                              "[ -f \"$dir/sudo.$key.action\" ] && . \"$dir/sudo.$key.action\"\n"
                              "[ -f \"$dir/sudo.$key.rc\" ] && exit $(cat \"$dir/sudo.$key.rc\")\n"
                              "exit 0\n";

constexpr const char* kHardwareUp =
    "3: can0: <NOARP,UP,LOWER_UP,ECHO> mtu 16 qdisc pfifo_fast state UP mode DEFAULT group default "
    "qlen 10\n"
    "    link/can  promiscuity 0 minmtu 0 maxmtu 0 \n"
    "    can state ERROR-ACTIVE (berr-counter tx 0 rx 0) restart-ms 0 \n"
    "\t  bitrate 1000000 sample-point 0.750\n"
    "\t  tq 12 prop-seg 29 phase-seg1 30 phase-seg2 20 sjw 1\n";

constexpr const char* kHardwareDown =
    "3: can0: <NOARP,ECHO> mtu 16 qdisc pfifo_fast state DOWN mode DEFAULT group default qlen 10\n"
    "    link/can  promiscuity 0 minmtu 0 maxmtu 0 \n"
    "    can state STOPPED restart-ms 0 \n"
    "\t  bitrate 1000000 sample-point 0.750\n";

constexpr const char* kVcanUp =
    "2: vcan0: <NOARP,UP,LOWER_UP> mtu 72 qdisc noqueue state UNKNOWN mode DEFAULT group default "
    "qlen 1000\n"
    "    link/can  promiscuity 0  allmulti 0 minmtu 0 maxmtu 0 \n"
    "    vcan numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 \n";

constexpr const char* kVcanDown =
    "2: vcan0: <NOARP> mtu 72 qdisc noqueue state DOWN mode DEFAULT group default qlen 1000\n"
    "    link/can  promiscuity 0  allmulti 0 minmtu 0 maxmtu 0 \n"
    "    vcan numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 \n";

const std::string kCan0Notice =
    "[CAN] Interface 'can0' needs configuration (up=false, bitrate=1000000), configuring...\n";
const std::string kSudoNotice = "[CAN] Need elevated privileges, requesting sudo...\n";

void write_file(const fs::path& path, const std::string& content, mode_t mode = 0644) {
  // Close-on-exec and closed before use, so no child holds the script open for writing (ETXTBSY).
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ASSERT_EQ(::fchmod(fd, mode), 0);
  ::close(fd);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Points a standard stream at `replacement` until destroyed.
class Redirect {
 public:
  Redirect(int target, int replacement) : target_(target), saved_(::dup(target)) {
    ::dup2(replacement, target);
  }
  ~Redirect() {
    ::dup2(saved_, target_);
    ::close(saved_);
  }

 private:
  int target_;
  int saved_;
};

struct Outcome {
  Status status;
  std::string stderr_text;
};

class Provisioning : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "varnex-provisioning-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::create_directory(dir_ / "bin");
    install("ip", kFakeIp);
    install("sudo", kFakeSudo);
    const char* path = std::getenv("PATH");
    saved_path_ = path ? path : "";
    ::setenv("PATH", (dir_ / "bin").c_str(), 1);
  }

  void TearDown() override {
    ::setenv("PATH", saved_path_.c_str(), 1);
    fs::remove_all(dir_);
  }

  void install(const std::string& name, const std::string& script) {
    write_file(dir_ / "bin" / name, script, 0755);
  }
  void remove(const std::string& name) { fs::remove(dir_ / "bin" / name); }
  void answer(const std::string& file, const std::string& content) {
    write_file(dir_ / "bin" / file, content);
  }

  std::vector<std::string> log() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_ / "bin" / "log");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string bin_file(const std::string& name) const { return read_file(dir_ / "bin" / name); }
  // The line a failed sudo pass ends with: what to do, for `setup`, with our user and our ip.
  std::string advice(const std::string& interface, const std::string& setup) const {
    const passwd* me = ::getpwuid(::geteuid());
    return "[CAN] To fix: bring '" + interface +
           "' up before the program starts (as root: " + setup +
           "), or, for a service, allow its user to run ip through sudo without a "
           "password (in /etc/sudoers.d/: " +
           std::string(me->pw_name) + " ALL=(root) NOPASSWD: " + (dir_ / "bin" / "ip").string() +
           ")\n";
  }

  // Runs the real function with fd 2 sent to a file, and returns what was written there.
  Outcome provision(const std::string& interface, uint32_t bitrate = varnex::kCanBitrate) {
    const fs::path capture = dir_ / "stderr";
    const int fd = ::open(capture.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    varnex::flush_stderr();
    Status status = [&] {
      Redirect to_file(2, fd);
      Status provisioned = varnex::ensure_can_interface(interface, bitrate, time_limit_);
      varnex::flush_stderr();  // the notices are written by the diagnostic queue's thread
      return provisioned;
    }();
    ::close(fd);
    return {std::move(status), read_file(capture)};
  }

  fs::path dir_;
  std::string saved_path_;
  std::chrono::milliseconds time_limit_ = varnex::kIpTimeLimit;
};

void expect_error(const Status& status, const std::string& message) {
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind, ErrorKind::Os);
  EXPECT_EQ(status.error().message, message);
}

using Log = std::vector<std::string>;

TEST_F(Provisioning, InterfaceAlreadyUpAtTheBitrateRunsNothingMore) {
  answer("query.out", kHardwareUp);
  const Outcome out = provision("can0");
  EXPECT_TRUE(out.status.ok());
  EXPECT_EQ(log(), (Log{"ip -details link show dev can0"}));
  EXPECT_EQ(out.stderr_text, "");
}

TEST_F(Provisioning, DownInterfaceGetsTheThreeCommands) {
  answer("query.out", kHardwareDown);
  const Outcome out = provision("can0");
  EXPECT_TRUE(out.status.ok());
  EXPECT_EQ(log(),
            (Log{"ip -details link show dev can0", "ip link set dev can0 down",
                 "ip link set dev can0 type can bitrate 1000000", "ip link set dev can0 up"}));
  EXPECT_EQ(out.stderr_text, kCan0Notice);
}

TEST_F(Provisioning, NoticeShowsAWrongOrMissingBitrate) {
  answer("query.out", "3: can0: <NOARP,UP,LOWER_UP>\n\t  bitrate 500000 sample-point 0.875\n");
  EXPECT_EQ(
      provision("can0").stderr_text,
      "[CAN] Interface 'can0' needs configuration (up=true, bitrate=500000), configuring...\n");
  answer("query.out", "3: can1: <NOARP,UP,LOWER_UP>\n    can state STOPPED\n");
  EXPECT_EQ(provision("can1").stderr_text,
            "[CAN] Interface 'can1' needs configuration (up=true, bitrate=none), configuring...\n");
  EXPECT_EQ(log().size(), 8u);
}

TEST_F(Provisioning, VirtualInterfaceThatIsUpNeedsNothing) {
  answer("query.out", kVcanUp);
  const Outcome out = provision("vcan0");
  EXPECT_TRUE(out.status.ok());
  EXPECT_EQ(log(), (Log{"ip -details link show dev vcan0"}));
  EXPECT_EQ(out.stderr_text, "");
}

TEST_F(Provisioning, VirtualInterfaceThatIsDownIsOnlyBroughtUp) {
  answer("query.out", kVcanDown);
  const Outcome out = provision("vcan0");
  EXPECT_TRUE(out.status.ok());
  EXPECT_EQ(log(), (Log{"ip -details link show dev vcan0", "ip link set dev vcan0 up"}));
  EXPECT_EQ(
      out.stderr_text,
      "[CAN] Interface 'vcan0' needs configuration (up=false, bitrate=none), configuring...\n");
}

TEST_F(Provisioning, VirtualInterfaceFallsBackToSudoForBringingItUp) {
  answer("query.out", kVcanDown);
  answer("ip.up.rc", "2");
  answer("sudo.up.rc", "1");
  const Outcome out = provision("vcan0");
  expect_error(out.status, "'sudo ip link set dev vcan0 up' failed");
  EXPECT_EQ(log(), (Log{"ip -details link show dev vcan0", "ip link set dev vcan0 up",
                        "sudo ip link set dev vcan0 up"}));
  EXPECT_EQ(
      out.stderr_text,
      "[CAN] Interface 'vcan0' needs configuration (up=false, bitrate=none), configuring...\n" +
          kSudoNotice + "sudo ran: ip link set dev vcan0 up\n" +
          advice("vcan0", "ip link set dev vcan0 up"));
}

TEST_F(Provisioning, FailedDirectCommandRestartsFromTheFirstUnderSudo) {
  answer("query.out", kHardwareDown);
  answer("ip.down.rc", "2");
  const Outcome out = provision("can0");
  EXPECT_TRUE(out.status.ok());
  EXPECT_EQ(log(), (Log{"ip -details link show dev can0", "ip link set dev can0 down",
                        "sudo ip link set dev can0 down",
                        "sudo ip link set dev can0 type can bitrate 1000000",
                        "sudo ip link set dev can0 up"}));
  // sudo shares our stderr, so its own lines appear after the notice.
  EXPECT_EQ(out.stderr_text, kCan0Notice + kSudoNotice +
                                 "sudo ran: ip link set dev can0 down\n"
                                 "sudo ran: ip link set dev can0 type can bitrate 1000000\n"
                                 "sudo ran: ip link set dev can0 up\n");
}

TEST_F(Provisioning, DirectPassStopsAtTheFailingCommand) {
  answer("query.out", kHardwareDown);
  answer("ip.bitrate.rc", "2");
  EXPECT_TRUE(provision("can0").status.ok());
  EXPECT_EQ(
      log(),
      (Log{"ip -details link show dev can0", "ip link set dev can0 down",
           "ip link set dev can0 type can bitrate 1000000", "sudo ip link set dev can0 down",
           "sudo ip link set dev can0 type can bitrate 1000000", "sudo ip link set dev can0 up"}));
}

TEST_F(Provisioning, FailingSudoCommandIsNamedAndStopsThePass) {
  answer("query.out", "3: can0: <NOARP,ECHO>\n    can state STOPPED\n");
  answer("ip.bitrate.rc", "2");
  answer("sudo.bitrate.rc", "1");
  const Outcome out = provision("can0");
  expect_error(out.status, "'sudo ip link set dev can0 type can bitrate 1000000' failed");
  EXPECT_EQ(log(),
            (Log{"ip -details link show dev can0", "ip link set dev can0 down",
                 "ip link set dev can0 type can bitrate 1000000", "sudo ip link set dev can0 down",
                 "sudo ip link set dev can0 type can bitrate 1000000"}));
}

TEST_F(Provisioning, SudoCommandKilledBySignalFails) {
  answer("query.out", kHardwareDown);
  answer("ip.down.rc", "1");
  answer("sudo.up.action", "kill -TERM $$\n");
  expect_error(provision("can0").status, "'sudo ip link set dev can0 up' failed");
}

TEST_F(Provisioning, ANonCanInterfaceIsRefusedAndLeftAlone) {
  answer("query.out",
         "1: lo: <LOOPBACK,UP,LOWER_UP> mtu 65536 qdisc noqueue state UNKNOWN\n"
         "    link/loopback 00:00:00:00:00:00 brd 00:00:00:00:00:00 promiscuity 0\n");
  const Outcome out = provision("lo");
  expect_error(out.status, "Interface 'lo' is not a CAN interface (link/loopback)");
  EXPECT_EQ(log(), (Log{"ip -details link show dev lo"}));
  EXPECT_EQ(out.stderr_text, "");
}

TEST_F(Provisioning, UnsuccessfulQueryMeansNoSuchInterface) {
  answer("ip.query.rc", "1");
  const Outcome out = provision("nosuch0");
  expect_error(out.status, "CAN interface 'nosuch0' does not exist");
  EXPECT_EQ(log(), (Log{"ip -details link show dev nosuch0"}));
  EXPECT_EQ(out.stderr_text, "");
}

TEST_F(Provisioning, QueryKilledBySignalMeansNoSuchInterface) {
  answer("query.out", kHardwareUp);
  answer("ip.query.action", "kill -KILL $$\n");
  expect_error(provision("can0").status, "CAN interface 'can0' does not exist");
  EXPECT_EQ(log(), (Log{"ip -details link show dev can0"}));
}

TEST_F(Provisioning, MissingIpIsAStartFailureNotAnExitStatus) {
  remove("ip");
  const Outcome out = provision("can0");
  expect_error(out.status, "Failed to run ip: No such file or directory (os error 2)");
  EXPECT_EQ(out.stderr_text, "");
}

TEST_F(Provisioning, NonExecutableIpIsAStartFailure) {
  write_file(dir_ / "bin" / "ip", kFakeIp, 0644);
  expect_error(provision("can0").status, "Failed to run ip: Permission denied (os error 13)");
  EXPECT_EQ(log(), Log{});
}

TEST_F(Provisioning, IpThatCannotBeStartedForADirectCommandFallsBackToSudo) {
  answer("query.out", kHardwareDown);
  answer("ip.query.action", "rm -f \"$0\"\n");
  EXPECT_TRUE(provision("can0").status.ok());
  EXPECT_EQ(log(), (Log{"ip -details link show dev can0", "sudo ip link set dev can0 down",
                        "sudo ip link set dev can0 type can bitrate 1000000",
                        "sudo ip link set dev can0 up"}));
}

TEST_F(Provisioning, MissingSudoIsAStartFailure) {
  answer("query.out", kHardwareDown);
  answer("ip.down.rc", "1");
  remove("sudo");
  const Outcome out = provision("can0");
  expect_error(
      out.status,
      "Failed to run 'sudo ip link set dev can0 down': No such file or directory (os error 2)");
  EXPECT_EQ(out.stderr_text,
            kCan0Notice + kSudoNotice +
                advice("can0", "ip link set dev can0 up type can bitrate 1000000"));
}

TEST_F(Provisioning, QueryGetsEmptyStdinWhileSudoSharesOurs) {
  answer("query.out", kHardwareDown);
  answer("ip.down.rc", "1");
  answer("sudo.down.action", "read line; echo \"sudo read: $line\" >&2\n");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "secret\n", 7), 7);
  ::close(fds[1]);
  Outcome out = [&] {
    Redirect stdin_from_pipe(0, fds[0]);
    return provision("can0");
  }();
  ::close(fds[0]);
  EXPECT_TRUE(out.status.ok());
  EXPECT_EQ(bin_file("query.stdin"), "0\n");
  EXPECT_NE(out.stderr_text.find("sudo ran: ip link set dev can0 down\nsudo read: secret\n"),
            std::string::npos)
      << out.stderr_text;
}

TEST_F(Provisioning, LargeOutputOnBothStreamsDoesNotDeadlock) {
  answer("query.out", kHardwareUp);
  // Well beyond a pipe's buffer on each stream, stderr first.
  answer("ip.query.action",
         "head -c 1000000 /dev/zero | tr '\\0' e >&2\n"
         "head -c 1000000 /dev/zero | tr '\\0' o\n");
  const Outcome out = provision("can0");
  EXPECT_TRUE(out.status.ok());
  EXPECT_EQ(out.stderr_text, "");
}

// ---- another bit rate ----

TEST(CanBitrate, OnlyTheUsualRatesAreAccepted) {
  for (const int64_t rate :
       {10000, 20000, 50000, 100000, 125000, 250000, 500000, 800000, 1000000}) {
    const varnex::Result<uint32_t> checked = varnex::check_can_bitrate(rate);
    ASSERT_TRUE(checked.ok()) << rate;
    EXPECT_EQ(static_cast<int64_t>(checked.value()), rate);
  }
  const std::string rates =
      "use one of 10000, 20000, 50000, 100000, 125000, 250000, 500000, 800000, 1000000 (bit/s)";
  for (const int64_t rate : {int64_t{0}, int64_t{-500000}, int64_t{500001}, int64_t{83333},
                             int64_t{2000000}, int64_t{1000000} + (int64_t{1} << 32)}) {
    const varnex::Result<uint32_t> checked = varnex::check_can_bitrate(rate);
    ASSERT_FALSE(checked.ok()) << rate;
    EXPECT_EQ(checked.error(), varnex::Error::value("bitrate " + std::to_string(rate) +
                                                    " is not supported: " + rates));
  }
}

TEST_F(Provisioning, AnotherRateIsCheckedSetAndNamedWhereTheDefaultIs) {
  // Up at 1 Mbit/s is not ready for 500 kbit/s: reconfigured at the requested rate.
  answer("query.out", kHardwareUp);
  Outcome out = provision("can0", 500000);
  EXPECT_TRUE(out.status.ok());
  EXPECT_EQ(log(),
            (Log{"ip -details link show dev can0", "ip link set dev can0 down",
                 "ip link set dev can0 type can bitrate 500000", "ip link set dev can0 up"}));
  EXPECT_EQ(
      out.stderr_text,
      "[CAN] Interface 'can0' needs configuration (up=true, bitrate=1000000), configuring...\n");

  // Up at the requested rate: nothing more runs.
  answer(
      "query.out",
      "3: can0: <NOARP,UP,LOWER_UP,ECHO>\n    link/can\n\t  bitrate 500000 sample-point 0.875\n");
  out = provision("can0", 500000);
  EXPECT_TRUE(out.status.ok());
  EXPECT_EQ(log().size(), 5u);
  EXPECT_EQ(out.stderr_text, "");

  // A failed sudo pass names the requested rate in the error and in the advice.
  answer("ip.down.rc", "1");
  answer("sudo.bitrate.rc", "1");
  out = provision("can0", 125000);
  expect_error(out.status, "'sudo ip link set dev can0 type can bitrate 125000' failed");
  EXPECT_EQ(
      out.stderr_text,
      "[CAN] Interface 'can0' needs configuration (up=true, bitrate=500000), configuring...\n" +
          kSudoNotice +
          "sudo ran: ip link set dev can0 down\n"
          "sudo ran: ip link set dev can0 type can bitrate 125000\n" +
          advice("can0", "ip link set dev can0 up type can bitrate 125000"));

  // A virtual interface has no rate to set, whatever is asked.
  answer("query.out", kVcanUp);
  EXPECT_TRUE(provision("vcan0", 250000).status.ok());
  EXPECT_EQ(log().back(), "ip -details link show dev vcan0");
}

TEST_F(Provisioning, AnUnsupportedRateRunsNothing) {
  answer("query.out", kHardwareDown);
  const Outcome out = provision("can0", 33333);
  ASSERT_FALSE(out.status.ok());
  EXPECT_EQ(out.status.error().kind, ErrorKind::Value);
  EXPECT_EQ(log(), Log{});
  EXPECT_EQ(out.stderr_text, "");
}

// ---- runs that cannot hang, and runs whose status is lost ----

bool alive(pid_t pid) { return ::kill(pid, 0) == 0; }

pid_t pid_in(const fs::path& file) { return static_cast<pid_t>(std::stol(read_file(file))); }

// SIGCHLD ignored, as daemons often do: the kernel reaps children itself and no exit status is
// ever seen.
class SigchldIgnored {
 public:
  SigchldIgnored() : previous_(std::signal(SIGCHLD, SIG_IGN)) {}
  ~SigchldIgnored() { std::signal(SIGCHLD, previous_); }

 private:
  void (*previous_)(int);
};

TEST_F(Provisioning, WithSigchldIgnoredEachRunIsJudgedByWhatItWroteOnStderr) {
  SigchldIgnored ignored;
  answer("query.out", kHardwareDown);
  answer("ip.bitrate.rc", "2");  // says why on stderr: a failure, so sudo follows
  EXPECT_TRUE(provision("can0").status.ok());
  EXPECT_EQ(
      log(),
      (Log{"ip -details link show dev can0", "ip link set dev can0 down",
           "ip link set dev can0 type can bitrate 1000000", "sudo ip link set dev can0 down",
           "sudo ip link set dev can0 type can bitrate 1000000", "sudo ip link set dev can0 up"}));
  answer("ip.query.rc", "1");
  expect_error(provision("nosuch0").status, "CAN interface 'nosuch0' does not exist");
}

TEST_F(Provisioning, TheNameAlwaysFollowsDevSoAKeywordIsANameToo) {
  answer("query.out", kVcanDown);
  EXPECT_TRUE(provision("up").status.ok());
  EXPECT_EQ(log(), (Log{"ip -details link show dev up", "ip link set dev up up"}));
}

TEST_F(Provisioning, AGrandchildHoldingThePipesDoesNotHoldTheCall) {
  answer("query.out", kHardwareUp);
  answer("ip.query.action", "sleep 60 & echo $! > \"$dir/grandchild\"\n");
  EXPECT_TRUE(provision("can0").status.ok());
  const pid_t grandchild = pid_in(dir_ / "bin" / "grandchild");
  EXPECT_TRUE(alive(grandchild)) << "the call waited for the grandchild to end";
  ::kill(grandchild, SIGKILL);
}

TEST_F(Provisioning, AnIpRunPastItsTimeLimitIsKilledAndNamed) {
  time_limit_ = std::chrono::milliseconds(300);
  answer("query.out", kHardwareDown);
  answer("ip.query.action", "echo $$ > \"$dir/ip.pid\"; exec sleep 60\n");
  expect_error(provision("can0").status,
               "'ip -details link show dev can0' did not finish within 300 ms and was killed");
  EXPECT_FALSE(alive(pid_in(dir_ / "bin" / "ip.pid")));

  // A direct command that hangs fails the call: sudo would not help it.
  fs::remove(dir_ / "bin" / "ip.query.action");
  answer("ip.down.action", "exec sleep 60\n");
  expect_error(provision("can0").status,
               "'ip link set dev can0 down' did not finish within 300 ms and was killed");
  EXPECT_EQ(log().back(), "ip link set dev can0 down");
}

TEST_F(Provisioning, AnInterruptEndsTheWaitAndTheChild) {
  answer("query.out", kHardwareUp);
  answer("ip.query.action", "echo $$ > \"$dir/ip.pid\"; exec sleep 60\n");
  int checks = 0;
  // True once the child has had a few checks' time to start and note its pid.
  varnex::ProvisioningInterrupt interrupt(
      [&] { return ++checks > 5 && fs::exists(dir_ / "bin" / "ip.pid"); });
  expect_error(provision("can0").status, "Provisioning of 'can0' was interrupted");
  EXPECT_TRUE(interrupt.fired());
  EXPECT_FALSE(alive(pid_in(dir_ / "bin" / "ip.pid")));
}

}  // namespace
