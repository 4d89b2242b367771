#include "tasks/timer_thread.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <future>
#include <memory>
#include <utility>

#include "common/os_error.hpp"
#include "runtime/thread_util.hpp"

namespace varnex {

namespace {

// "0-1", "0,2-3": the CPUs the calling thread may run on.
std::string allowed_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return "?";
  std::string out;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &set)) continue;
    int last = cpu;
    while (last + 1 < CPU_SETSIZE && CPU_ISSET(last + 1, &set)) ++last;
    if (!out.empty()) out += ',';
    out += std::to_string(cpu);
    if (last > cpu) out += "-" + std::to_string(last);
    cpu = last;
  }
  return out;
}

std::string rtprio_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) != 0) return "unknown";
  if (limit.rlim_cur == RLIM_INFINITY) return "unlimited";
  return std::to_string(limit.rlim_cur);
}

Error not_permitted(int priority) {
  return Error::permission(
      "SCHED_FIFO priority " + std::to_string(priority) +
      " is not permitted for this process (it lacks CAP_SYS_NICE and its rtprio limit is " +
      rtprio_limit() +
      "). Grant it with one of: the capability (sudo setcap cap_sys_nice+ep on the Python "
      "executable, or run as root); an rtprio limit for the user in "
      "/etc/security/limits.conf, e.g. '@robot - rtprio 90' (log in again); LimitRTPRIO=90 "
      "in the [Service] section of a systemd service");
}

// On the new thread, to itself.
Status apply(const ThreadScheduling& scheduling) {
  if (scheduling.cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(*scheduling.cpu, &set);
    const int rc = pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    if (rc == EINVAL) {
      return Error::value("cpu " + std::to_string(*scheduling.cpu) +
                          " is not available to this process (it may run on " + allowed_cpus() +
                          ")");
    }
    if (rc != 0) return Error::os(os_error_text(rc));
  }
  if (scheduling.priority) {
    sched_param param{};
    param.sched_priority = *scheduling.priority;
    const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (rc == EPERM) return not_permitted(*scheduling.priority);
    if (rc != 0) return Error::os(os_error_text(rc));
  }
  return {};
}

}  // namespace

Status check_thread_scheduling(const ThreadScheduling& scheduling) {
  if (scheduling.priority &&
      (*scheduling.priority < kMinFifoPriority || *scheduling.priority > kMaxFifoPriority)) {
    return Error::value("priority must be from 1 to 99 (SCHED_FIFO), got " +
                        std::to_string(*scheduling.priority));
  }
  if (scheduling.cpu && (*scheduling.cpu < 0 || *scheduling.cpu >= CPU_SETSIZE)) {
    return Error::value("cpu must be a CPU number from 0 to " + std::to_string(CPU_SETSIZE - 1) +
                        ", got " + std::to_string(*scheduling.cpu));
  }
  return {};
}

Status start_timer_thread(std::string name, std::function<void()> body, const char* what,
                          const ThreadScheduling& scheduling) {
  if (Status valid = check_thread_scheduling(scheduling); !valid) return valid;
  pthread_t thread;
  if (scheduling.empty()) {
    const int rc = rt::create_named_thread(name, std::move(body), &thread);
    if (rc != 0) return Error::fatal(std::string(what) + ": " + os_error_text(rc));
    pthread_detach(thread);
    return {};
  }
  // The body stays here until the thread has placed itself, so that a refused placement drops
  // it on this thread, as a refused thread does.
  auto held = std::make_shared<std::function<void()>>(std::move(body));
  auto placed = std::make_shared<std::promise<Status>>();
  std::future<Status> outcome = placed->get_future();
  const int rc = rt::create_named_thread(
      name,
      [held, placed, scheduling] {
        Status applied = apply(scheduling);
        if (!applied) {
          placed->set_value(std::move(applied));  // the caller drops the body
          return;
        }
        std::function<void()> run = std::move(*held);
        placed->set_value({});
        run();
      },
      &thread);
  if (rc != 0) return Error::fatal(std::string(what) + ": " + os_error_text(rc));
  pthread_detach(thread);
  Status applied = outcome.get();
  if (!applied) *held = nullptr;
  return applied;
}

}  // namespace varnex
