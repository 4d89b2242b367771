// Log files in the candump log format (can/can_log.hpp): a writer with a buffer of its own and a
// reader that numbers its lines. Each is safe to share between threads (a recording thread
// writes while Python writes too; a replay reads while Python iterates); calls are serialised.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "can/can_log.hpp"
#include "common/result.hpp"
#include "common/unique_fd.hpp"

namespace varnex {

class CanLogFileWriter {
 public:
  // Lines are written out once this much has gathered, and by flush().
  static constexpr std::size_t kBufferSize = 64 * 1024;

  // Creates (or empties) the file. Error (ErrorKind::Os):
  //   "Cannot open log file '<path>': <os error text>"
  static Result<std::shared_ptr<CanLogFileWriter>> create(const std::string& path);

  CanLogFileWriter(const CanLogFileWriter&) = delete;
  CanLogFileWriter& operator=(const CanLogFileWriter&) = delete;
  ~CanLogFileWriter();  // writes what is buffered; an error then is lost (close() reports it)

  // Appends the record's line: format_log_line's errors (nothing is written), a write error
  // ("Cannot write log file '<path>': <os error text>"), or once closed
  // "log file '<path>' is closed" (ErrorKind::Value).
  Status write(const LogRecord& record);
  // Writes out what is buffered.
  Status flush();
  // Writes out what is buffered and closes the file; closing again does nothing.
  Status close();

  const std::string& path() const { return path_; }
  uint64_t lines() const;
  bool is_open() const;
  // What a closed writer answers: "log file '<path>' is closed" (ErrorKind::Value).
  Error closed_error() const;

 private:
  CanLogFileWriter(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  Status write_out();  // with mutex_ held

  const std::string path_;
  mutable std::mutex mutex_;  // held over the file's writes; never while waiting for another lock
  UniqueFd fd_;
  std::string buffer_;
  uint64_t lines_ = 0;
};

class CanLogFileReader {
 public:
  // Error (ErrorKind::Os): "Cannot open log file '<path>': <os error text>"
  static Result<std::shared_ptr<CanLogFileReader>> open(const std::string& path);

  // The next frame; nothing at the end of the file. A line that is not a frame:
  //   "<path>, line <n>: <what parse_log_line says>" (ErrorKind::Value)
  // and the reader stays on the next line. A read failure: "Cannot read log file ..." (Os).
  Result<std::optional<LogRecord>> next();

  const std::string& path() const { return path_; }

 private:
  CanLogFileReader(std::string path, std::ifstream file)
      : path_(std::move(path)), file_(std::move(file)) {}

  const std::string path_;
  std::mutex mutex_;  // held over the file's reads; never while waiting for another lock
  std::ifstream file_;
  uint64_t line_number_ = 0;
};

}  // namespace varnex
