#include "can/can_log_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/os_error.hpp"

namespace varnex {

namespace {

Error open_error(const std::string& path, int errnum) {
  return Error::os("Cannot open log file '" + path + "': " + os_error_text(errnum));
}

}  // namespace

Result<std::shared_ptr<CanLogFileWriter>> CanLogFileWriter::create(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) return open_error(path, errno);
  return std::shared_ptr<CanLogFileWriter>(new CanLogFileWriter(path, std::move(fd)));
}

CanLogFileWriter::~CanLogFileWriter() { (void)close(); }

Status CanLogFileWriter::write(const LogRecord& record) {
  Result<std::string> line = format_log_line(record);
  if (!line) return std::move(line).error();
  std::lock_guard lock(mutex_);
  if (!fd_) return closed_error();
  buffer_.append(line.value());
  buffer_.push_back('\n');
  ++lines_;
  if (buffer_.size() >= kBufferSize) return write_out();
  return {};
}

Status CanLogFileWriter::flush() {
  std::lock_guard lock(mutex_);
  if (!fd_) return {};
  return write_out();
}

Status CanLogFileWriter::close() {
  std::lock_guard lock(mutex_);
  if (!fd_) return {};
  Status wrote = write_out();
  fd_.reset();
  return wrote;
}

bool CanLogFileWriter::is_open() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(fd_);
}

Error CanLogFileWriter::closed_error() const {
  return Error::value("log file '" + path_ + "' is closed");
}

uint64_t CanLogFileWriter::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

Status CanLogFileWriter::write_out() {
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_.get(), buffer_.data() + done, buffer_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int errnum = errno;
      buffer_.erase(0, done);  // what was written stays written; the rest is kept for a retry
      return Error::os("Cannot write log file '" + path_ + "': " + os_error_text(errnum));
    }
    done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
  return {};
}

Result<std::shared_ptr<CanLogFileReader>> CanLogFileReader::open(const std::string& path) {
  std::ifstream file(path);
  if (!file.is_open()) return open_error(path, errno != 0 ? errno : ENOENT);
  return std::shared_ptr<CanLogFileReader>(new CanLogFileReader(path, std::move(file)));
}

Result<std::optional<LogRecord>> CanLogFileReader::next() {
  std::lock_guard lock(mutex_);
  std::string line;
  while (std::getline(file_, line)) {
    ++line_number_;
    Result<ParsedLine> parsed = parse_log_line(line);
    if (!parsed) {
      return Error::value(path_ + ", line " + std::to_string(line_number_) + ": " +
                          parsed.error().message);
    }
    if (!parsed->blank) return std::optional<LogRecord>(std::move(parsed->record));
  }
  if (file_.bad()) return Error::os("Cannot read log file '" + path_ + "'");
  return std::optional<LogRecord>();
}

}  // namespace varnex
