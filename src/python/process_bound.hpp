// The value of a Python object whose C++ state belongs to the process that made it: a device
// served by a task on that process's runtime, a motor group and its devices.
//
// In a child made by fork() that task, the runtime's threads and whoever held the value's locks
// at the fork stayed in the parent, so the child never uses its copy: the classes raise the
// core's "belongs to the parent process" error on every call, and dropping the object in the
// child leaks the value instead of destroying it (its destructor would wake the parent's task on
// the child's dead copy of the runtime, or wait for a lock nobody will release). The socket it
// holds stays open in the child until the child exits, which does not disturb the parent.
#pragma once

#include <new>
#include <utility>

#include "runtime/process.hpp"

namespace varnex::py {

template <class T>
class ProcessBound {
 public:
  explicit ProcessBound(T value) : value_(std::move(value)) {}
  ProcessBound(const ProcessBound&) = delete;
  ProcessBound& operator=(const ProcessBound&) = delete;
  ~ProcessBound() {
    if (!born_.inherited()) value_.~T();
  }

  bool inherited() const noexcept { return born_.inherited(); }

  // The value; in a child, only to read what never changes (names for the error) or to renew.
  T& get() noexcept { return value_; }
  const T& get() const noexcept { return value_; }

  // Replaces an inherited value by make(old), made in this process; the old one is left as it
  // is (not destroyed). The GIL serialises callers.
  template <class Make>
  void renew(Make&& make) {
    T fresh = std::forward<Make>(make)(value_);
    new (&value_) T(std::move(fresh));
    born_ = rt::ProcessStamp();
  }

 private:
  rt::ProcessStamp born_;
  union {
    T value_;  // destroyed only in the process that made it
  };
};

}  // namespace varnex::py
