// Errors travel as values that carry the exact text Python will see.
// Only the binding layer turns an Error into an exception (ErrorKind picks the type).
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace varnex {

enum class ErrorKind {
  Os,          // OSError: CAN interface, socket and frame failures
  Value,       // ValueError: rejected argument values
  Type,        // TypeError
  Runtime,     // RuntimeError: a background call that failed
  Timeout,     // TimeoutError: a wait that ran out of time
  Fatal,       // the module's internal error (derives from BaseException)
  Permission,  // PermissionError: the process lacks a right (real-time scheduling)
};

struct Error {
  ErrorKind kind;
  std::string message;

  static Error os(std::string m) { return {ErrorKind::Os, std::move(m)}; }
  static Error value(std::string m) { return {ErrorKind::Value, std::move(m)}; }
  static Error type(std::string m) { return {ErrorKind::Type, std::move(m)}; }
  static Error runtime(std::string m) { return {ErrorKind::Runtime, std::move(m)}; }
  static Error timeout(std::string m) { return {ErrorKind::Timeout, std::move(m)}; }
  static Error fatal(std::string m) { return {ErrorKind::Fatal, std::move(m)}; }
  static Error permission(std::string m) { return {ErrorKind::Permission, std::move(m)}; }

  bool operator==(const Error&) const = default;
};

// A value or an Error. Result<void> carries only success or an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  T* operator->() { return &value(); }
  T& operator*() & { return value(); }

  const Error& error() const& {
    assert(!ok());
    return std::get<1>(v_);
  }
  Error&& error() && {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), ok_(false) {}

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const Error& error() const& {
    assert(!ok_);
    return error_;
  }
  Error&& error() && {
    assert(!ok_);
    return std::move(error_);
  }

 private:
  Error error_{ErrorKind::Os, {}};
  bool ok_ = true;
};

using Status = Result<void>;

}  // namespace varnex
