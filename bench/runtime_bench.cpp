// Runtime micro-benchmarks: spawn-to-run latency, spawned tasks per second, a wake-up through
// the channel across threads, block_on round trips and timer lateness.
//   tools/dev-build build/bench -DVARNEX_BUILD_BENCH=ON && build/bench/runtime_bench
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include "runtime/channel.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

using namespace std::chrono_literals;
using namespace varnex::rt;

namespace {

struct Percentiles {
  double p50, p99, max;
};

Percentiles summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[v.size() * 99 / 100], v.back()};
}

double us_since(Instant start, Instant end) {
  return std::chrono::duration<double, std::micro>(end - start).count();
}

void spawn_latency() {
  std::vector<double> samples;
  for (int i = 0; i < 5000; ++i) {
    auto started = std::make_shared<std::atomic<int64_t>>(0);
    Instant t0 = Clock::now();
    auto task = [](std::shared_ptr<std::atomic<int64_t>> s) -> Task<void> {
      s->store(Clock::now().time_since_epoch().count());
      co_return;
    };
    auto h = spawn(task(started));
    block_on(h.join());
    samples.push_back(us_since(t0, Instant(Clock::duration(started->load()))));
  }
  auto p = summarise(samples);
  std::printf("spawn -> first run (from a plain thread): p50 %.1f us  p99 %.1f us  max %.1f us\n",
              p.p50, p.p99, p.max);
}

void tasks_per_second() {
  constexpr int kTasks = 200000;
  std::atomic<int> done{0};
  auto task = [](std::atomic<int>& d) -> Task<void> {
    d.fetch_add(1, std::memory_order_relaxed);
    co_return;
  };
  Instant t0 = Clock::now();
  for (int i = 0; i < kTasks; ++i) spawn(task(done));
  while (done.load() < kTasks) std::this_thread::sleep_for(100us);
  double s = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("spawned tasks run to completion: %.0f tasks/s (%d tasks, detached)\n", kTasks / s,
              kTasks);
}

void channel_ping() {
  auto [tx, rx] = make_channel<Instant>();
  std::vector<double> samples;
  auto receiver = [](Receiver<Instant> r, std::vector<double>& out) -> Task<void> {
    auto op = r.recv_op();
    for (;;) {
      auto v = co_await wait(op);
      if (!v) co_return;
      out.push_back(us_since(*v, Clock::now()));
    }
  };
  auto h = spawn(receiver(std::move(rx), samples));
  for (int i = 0; i < 5000; ++i) {
    (void)tx.send(Clock::now());
    std::this_thread::sleep_for(200us);
  }
  { auto drop = std::move(tx); }
  block_on(h.join());
  auto p = summarise(samples);
  std::printf("channel send (plain thread) -> parked task resumed: p50 %.1f us  p99 %.1f us\n",
              p.p50, p.p99);
}

void block_on_round_trip() {
  auto noop = []() -> Task<int> { co_return 1; };
  constexpr int kRounds = 100000;
  Instant t0 = Clock::now();
  int sum = 0;
  for (int i = 0; i < kRounds; ++i) sum += block_on(noop());
  std::printf("block_on of a ready task: %.2f us per call (%d)\n",
              us_since(t0, Clock::now()) / kRounds, sum);
}

void sleep_lateness() {
  std::vector<double> samples;
  for (int i = 0; i < 500; ++i) {
    Instant due = Clock::now() + 2ms;
    block_on(sleep_until(due));
    samples.push_back(us_since(due, Clock::now()));
  }
  auto p = summarise(samples);
  std::printf("sleep_until lateness (2 ms sleeps): p50 %.1f us  p99 %.1f us  max %.1f us\n", p.p50,
              p.p99, p.max);
}

}  // namespace

int main() {
  Runtime::get();
  std::printf("workers: %u\n", Runtime::get().workers().size());
  spawn_latency();
  tasks_per_second();
  channel_ping();
  block_on_round_trip();
  sleep_lateness();
}
