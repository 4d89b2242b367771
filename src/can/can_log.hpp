// The candump log format: one text line per frame, as `candump -l` writes it and `canplayer`
// and python-can's can.LogReader read it.
//
//   (1733822400.123456) can0 123#DEADBEEF     standard frame: 3 hex digits, data in hex
//   (1733822400.123456) can0 00000800#01      extended frame: 8 hex digits (29-bit id)
//   (1733822400.123456) can0 123#             no data
//   (1733822400.123456) can0 456#R            remote request, length 0
//   (1733822400.123456) can0 456#R4           remote request for 4 bytes
//   (1733822400.123456) can0 20000080#0000000000000000
//                                             error frame: CAN_ERR_FLAG | error class, 8 digits
//
// The time stamp is seconds since the epoch (the clock of time.time()) with six decimals. Data
// is written in upper case without separators. The reader is more lenient, as hand-written logs
// need: hex digits of either case, '.' between data bytes, 1 to 3 id digits for a standard frame
// and 4 to 8 for an extended one, any number of decimals (kept to the microsecond), a trailing
// direction field (" R" or " T", as newer candump versions add) and blank lines. It refuses CAN
// FD frames ("##"), which this module does not send or receive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace varnex {

// One line of a log.
struct LogRecord {
  int64_t timestamp_us = 0;  // microseconds since the epoch
  std::string interface;
  uint32_t id = 0;            // without flag bits; an error frame's error class
  std::vector<uint8_t> data;  // a remote request: zeros, as many as it asks for
  bool extended = false;
  bool remote = false;
  bool error = false;

  bool operator==(const LogRecord&) const = default;
};

// The line for `record`, without the line feed. Errors (ErrorKind::Value), checked in order:
//   "interface name must be one word: '<name>'"   empty, or holds a blank or a control character
//   "Payload is larger than CAN maximum of 8 bytes"
//   "CAN ID too large"                            above 0x1FFFFFFF
//   "standard CAN id above 0x7FF: 0x<id>"         not extended, not an error frame
//   "time stamp before the epoch"                 negative
Result<std::string> format_log_line(const LogRecord& record);

// What one line holds: a record, or nothing for a blank line.
struct ParsedLine {
  bool blank = false;
  LogRecord record;
};

// The record of one line (without its line feed; a carriage return before it is allowed).
// Errors (ErrorKind::Value) say what is wrong, without the line number (the caller adds it):
// "no time stamp in parentheses", "bad time stamp '<text>'", "no interface name", "no frame",
// "no '#' in frame '<text>'", "bad CAN id '<text>'", "bad data '<text>'",
// "CAN FD frames are not supported", "unexpected text after the frame: '<text>'".
Result<ParsedLine> parse_log_line(std::string_view line);

}  // namespace varnex
