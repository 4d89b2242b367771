#include "can/can_log.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "can/can_log_file.hpp"

using varnex::ErrorKind;
using varnex::format_log_line;
using varnex::LogRecord;
using varnex::parse_log_line;

namespace {

LogRecord frame(uint32_t id, std::vector<uint8_t> data, bool extended = false, bool remote = false,
                bool error = false) {
  return LogRecord{1733822400123456, "can0", id, std::move(data), extended, remote, error};
}

// Lines as candump -l writes them, and the frames they stand for: each is checked both ways.
const struct {
  const char* line;
  LogRecord record;
} kLines[] = {
    {"(1733822400.123456) can0 123#DEADBEEF", frame(0x123, {0xDE, 0xAD, 0xBE, 0xEF})},
    {"(1733822400.123456) can0 000#", frame(0x000, {})},
    {"(1733822400.123456) can0 7FF#0102030405060708", frame(0x7FF, {1, 2, 3, 4, 5, 6, 7, 8})},
    {"(1733822400.123456) can0 00000123#00", frame(0x123, {0}, true)},
    {"(1733822400.123456) can0 1FFFFFFF#", frame(0x1FFFFFFF, {}, true)},
    {"(1733822400.123456) can0 456#R", frame(0x456, {}, false, true)},
    {"(1733822400.123456) can0 456#R4", frame(0x456, {0, 0, 0, 0}, false, true)},
    {"(1733822400.123456) can0 00012345#R8", frame(0x12345, std::vector<uint8_t>(8), true, true)},
    {"(1733822400.123456) can0 20000080#0000000000000000",
     frame(0x80, std::vector<uint8_t>(8), false, false, true)},
};

}  // namespace

TEST(CanLog, LinesAsCandumpWritesThemBothWays) {
  for (const auto& [line, record] : kLines) {
    SCOPED_TRACE(line);
    auto formatted = format_log_line(record);
    ASSERT_TRUE(formatted.ok()) << formatted.error().message;
    EXPECT_EQ(formatted.value(), line);
    auto parsed = parse_log_line(line);
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    EXPECT_FALSE(parsed->blank);
    EXPECT_EQ(parsed->record, record);
  }
}

TEST(CanLog, TimeStampsKeepSixDecimals) {
  LogRecord record = frame(0x1, {});
  record.timestamp_us = 5;  // leading zeros of the fraction stay
  EXPECT_EQ(format_log_line(record).value(), "(0.000005) can0 001#");
  record.timestamp_us = -1;
  EXPECT_EQ(format_log_line(record).error().message, "time stamp before the epoch");
}

TEST(CanLog, ReaderTakesWhatHandWrittenLogsHold) {
  const struct {
    const char* line;
    LogRecord record;
  } lenient[] = {
      {"  (1733822400.1234567)\tcan0 123#de.ad.be.ef\r", frame(0x123, {0xDE, 0xAD, 0xBE, 0xEF})},
      {"(1733822400.123456) can0 12#01 R", frame(0x12, {1})},
      {"(1733822400.123456) can0 1234#01 T", frame(0x1234, {1}, true)},
      {"(1733822400.123456) can0 456#r2", frame(0x456, {0, 0}, false, true)},
      {"(1733822400.123456) can0 123#1122334455667788_F",
       frame(0x123, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})},
  };
  for (const auto& [line, record] : lenient) {
    SCOPED_TRACE(line);
    auto parsed = parse_log_line(line);
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    EXPECT_EQ(parsed->record, record);
  }
  auto whole = parse_log_line("(7) vcan1 001#");
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(whole->record.timestamp_us, 7000000);
  EXPECT_EQ(whole->record.interface, "vcan1");
  EXPECT_TRUE(parse_log_line(" \t\r")->blank);
}

TEST(CanLog, MalformedLinesSayWhatIsWrong) {
  const struct {
    const char* line;
    const char* message;
  } bad[] = {
      {"1733822400.123456 can0 123#00", "no time stamp in parentheses"},
      {"(17338x2400.1) can0 123#00", "bad time stamp '17338x2400.1'"},
      {"(1.) can0 123#00", "bad time stamp '1.'"},
      {"(99999999999999999999.0) can0 123#00", "bad time stamp '99999999999999999999.0'"},
      {"(1.0)", "no interface name"},
      {"(1.0) can0", "no frame"},
      {"(1.0) can0 12300", "no '#' in frame '12300'"},
      {"(1.0) can0 800#00", "bad CAN id '800'"},
      {"(1.0) can0 #00", "bad CAN id ''"},
      {"(1.0) can0 123456789#00", "bad CAN id '123456789'"},
      {"(1.0) can0 2000008G#00", "bad CAN id '2000008G'"},
      {"(1.0) can0 40000000#00", "bad CAN id '40000000'"},
      {"(1.0) can0 A0000080#00", "bad CAN id 'A0000080'"},
      {"(1.0) can0 123#0", "bad data '0'"},
      {"(1.0) can0 123#0G", "bad data '0G'"},
      {"(1.0) can0 123#..00", "bad data '..00'"},
      {"(1.0) can0 123#R9", "bad data 'R9'"},
      {"(1.0) can0 123#01_F", "bad data '01_F'"},
      {"(1.0) can0 123#010203040506070809", "Payload is larger than CAN maximum of 8 bytes"},
      {"(1.0) can0 123##0112233", "CAN FD frames are not supported"},
      {"(1.0) can0 123#00 X", "unexpected text after the frame: 'X'"},
      {"(1.0) can0 123#00 R extra", "unexpected text after the frame: 'R extra'"},
  };
  for (const auto& [line, message] : bad) {
    SCOPED_TRACE(line);
    auto parsed = parse_log_line(line);
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error().kind, ErrorKind::Value);
    EXPECT_EQ(parsed.error().message, message);
  }
}

TEST(CanLog, WriterRefusesFramesNoLineCanHold) {
  LogRecord spaced = frame(0x1, {});
  spaced.interface = "can 0";
  EXPECT_EQ(format_log_line(spaced).error().message, "interface name must be one word: 'can 0'");
  EXPECT_EQ(format_log_line(frame(0x1, std::vector<uint8_t>(9))).error().message,
            "Payload is larger than CAN maximum of 8 bytes");
  EXPECT_EQ(format_log_line(frame(0x20000000, {}, true)).error().message, "CAN ID too large");
  EXPECT_EQ(format_log_line(frame(0x800, {})).error().message,
            "standard CAN id above 0x7FF: 0x800");
}

TEST(CanLogFile, WrittenLinesReadBackWithLineNumbersForBadOnes) {
  char path[] = "/tmp/can_log_test_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    auto writer = varnex::CanLogFileWriter::create(path);
    ASSERT_TRUE(writer.ok());
    for (const auto& entry : kLines) ASSERT_TRUE(writer.value()->write(entry.record).ok());
    EXPECT_EQ(writer.value()->lines(), std::size(kLines));
    ASSERT_TRUE(writer.value()->close().ok());
    EXPECT_EQ(writer.value()->write(kLines[0].record).error().message,
              std::string("log file '") + path + "' is closed");
  }
  std::ofstream(path, std::ios::app) << "\n(1.0) can0 XYZ#00\n(2.0) can0 001#\n";
  auto reader = varnex::CanLogFileReader::open(path);
  ASSERT_TRUE(reader.ok());
  for (const auto& entry : kLines) {
    auto next = reader.value()->next();
    ASSERT_TRUE(next.ok() && next->has_value());
    EXPECT_EQ(**next, entry.record);
  }
  auto bad = reader.value()->next();  // the blank line is skipped, but counted
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, std::string(path) + ", line " +
                                     std::to_string(std::size(kLines) + 2) + ": bad CAN id 'XYZ'");
  auto after = reader.value()->next();  // reading goes on after a bad line
  ASSERT_TRUE(after.ok() && after->has_value());
  EXPECT_EQ((*after)->timestamp_us, 2000000);
  EXPECT_FALSE(reader.value()->next()->has_value());
  std::remove(path);
  EXPECT_EQ(
      varnex::CanLogFileReader::open(path).error().message,
      std::string("Cannot open log file '") + path + "': No such file or directory (os error 2)");
}
