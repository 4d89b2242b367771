// The broadcast thread's timing and CPU on this machine, without a bus: the loop of
// Motor.start_broadcast runs over a link that only notes when each frame would be written. It
// compares the spin windows a broadcast could use (0: sleep only, the default; 100 µs:
// realtime=True; others for the choice), and SCHED_FIFO, with and without a CPU hog beside it on
// the same CPU. Lateness = the write's clock reading minus its grid point, in µs; CPU = the
// broadcast thread's own CPU time over the run.
//   tools/dev-build build/bench -DVARNEX_BUILD_BENCH=ON && build/bench/broadcast_timing [seconds]
// (as root for the priority rows; bus-facing figures come from bench/broadcast.py in the VM).
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "motor/broadcast.hpp"

using namespace std::chrono_literals;
using namespace varnex;
using namespace varnex::motor;

namespace {

// Notes the time of every frame, on the broadcast thread; never waits.
class TimingLink final : public CanLink {
 public:
  Status send(uint32_t, std::vector<uint8_t>) override { return {}; }
  Result<Sent> send_now(uint32_t, std::span<const uint8_t>) override {
    const rt::Instant now = rt::Clock::now();
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    stamps.push_back(now);
    if (stamps.size() == 1) cpu_first = cpu;
    cpu_last = cpu;
    return Sent::Written;
  }
  rt::Task<std::optional<CanMessage>> receive(uint64_t) override { co_return std::nullopt; }

  std::vector<rt::Instant> stamps;  // written by the broadcast thread only, read after it ended
  timespec cpu_first{}, cpu_last{};
};

double seconds(const timespec& a, const timespec& b) {
  return static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
}

void row(const char* name, std::chrono::nanoseconds spin, std::optional<int> priority, int cpu,
         double run_s) {
  auto link = std::make_shared<TimingLink>();
  BroadcastParts parts{link, std::make_shared<TargetBoard>(), std::make_shared<DeviceList>(),
                       std::make_shared<BroadcastCounters>(), 0x100};
  const BroadcastTiming timing{1ms, spin, std::nullopt};
  auto run = std::make_shared<TimerRun>(RunState::Kind::Loop);
  static const std::atomic<bool> never{false};
  rt::Instant origin;
  std::thread thread([&] {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    if (priority) {
      sched_param p{};
      p.sched_priority = *priority;
      if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) != 0) std::printf("  (priority refused)\n");
    }
    origin = rt::Clock::now();
    run_broadcast(parts, timing, *run, never);
  });
  std::this_thread::sleep_for(std::chrono::duration<double>(run_s));
  run->run.request_stop();
  thread.join();
  const std::vector<rt::Instant>& t = link->stamps;
  // The loop's first grid point is its start (read just after `origin`); it never writes before a
  // grid point and keeps the grid's phase when it skips one.
  std::vector<double> late;
  for (const rt::Instant& at : t) {
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(at - origin).count();
    late.push_back(static_cast<double>(since % 1'000'000) / 1000.0);
  }
  std::sort(late.begin(), late.end());
  const double served = static_cast<double>(t.size()) / (run_s * 1000.0) * 100.0;
  std::printf("| %-44s | %7.1f | %7.1f | %8.1f | %6.1f %% | %.3f |\n", name, late[late.size() / 2],
              late[late.size() * 99 / 100], late.back(), served,
              seconds(link->cpu_first, link->cpu_last) / run_s);
}

}  // namespace

int main(int argc, char** argv) {
  const double run_s = argc > 1 ? std::atof(argv[1]) : 3.0;
  cpu_set_t allowed;
  sched_getaffinity(0, sizeof allowed, &allowed);
  int cpu = 0;
  for (int c = 0; c < CPU_SETSIZE; ++c) {
    if (CPU_ISSET(c, &allowed)) cpu = c;
  }
  std::printf("broadcast loop at 1 kHz on CPU %d, %.0f s per row (lateness in µs)\n\n", cpu, run_s);
  std::printf("| %-44s | %7s | %7s | %8s | %8s | %s |\n", "loop", "p50", "p99", "max", "served", "CPU");
  std::printf("|---|---|---|---|---|---|\n");
  for (int hog = 0; hog < 2; ++hog) {
    std::atomic<bool> hogging{hog == 1};
    std::thread hogger([&] {
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(cpu, &set);
      pthread_setaffinity_np(pthread_self(), sizeof set, &set);
      while (hogging.load(std::memory_order_relaxed)) {
      }
    });
    const char* h = hog ? ", hog on its CPU" : "";
    char name[96];
    for (int spin_us : {0, 50, 100, 200, 300}) {
      std::snprintf(name, sizeof name, "spin %d us%s", spin_us, h);
      row(name, std::chrono::microseconds(spin_us), std::nullopt, cpu, run_s);
    }
    std::snprintf(name, sizeof name, "spin 0 us, SCHED_FIFO 80%s", h);
    row(name, 0ns, 80, cpu, run_s);
    hogging = false;
    hogger.join();
  }
}
