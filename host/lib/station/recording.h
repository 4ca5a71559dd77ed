// Recordings of a serial line: the raw bytes as they arrived, with their
// arrival times, so that a run can be fed again through the same decoding.
//
// File format, version 1 (all numbers little-endian):
//   header, 16 bytes:
//     0  8  magic "GSREC\r\n\x1a" (47 53 52 45 43 0D 0A 1A)
//     8  2  version, 1
//    10  2  header size in bytes, 16 (records start there)
//    12  4  line speed in baud when recorded (0: not a serial line)
//   then records, one per read from the line, until the end of the file:
//     0  8  arrival time in nanoseconds since the session started
//     8  4  byte count n, 1 .. 1048576
//    12  n  the bytes
// Arrival times never decrease, and never jump more than kMaxRecordGapNs
// (an hour) from one record to the next. A file that breaks any of this is
// refused with the byte offset where it goes wrong.
//
// A recording is read once, front to back, so a pipe or a FIFO serves as
// well as a file; what comes before a broken record can still be used.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace station {

inline constexpr std::array<std::uint8_t, 8> kRecordingMagic = {'G', 'S', 'R', 'E', 'C', '\r', '\n', 0x1A};
inline constexpr std::uint16_t kRecordingVersion = 1;
inline constexpr std::size_t kRecordingHeaderSize = 16;
inline constexpr std::size_t kRecordHeaderSize = 12;
inline constexpr std::uint32_t kMaxRecordBytes = 1u << 20;
// A larger step in arrival time is a damaged time field, not a pause: a
// flipped high byte would otherwise make a replay wait for days.
inline constexpr std::uint64_t kMaxRecordGapNs = 3600ull * 1'000'000'000ull;

struct Chunk {
  std::uint64_t time_ns = 0;  // arrival time since the session started
  std::vector<std::uint8_t> bytes;
};

class RecordingWriter {
 public:
  RecordingWriter() = default;
  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;
  ~RecordingWriter() { close(); }

  // Creates `path` and writes the header; false with `error` set. An
  // existing file is never replaced or truncated (`exists` tells that case
  // apart); a device or a FIFO that exists is written as it stands.
  bool open(const std::string& path, std::uint32_t baud, std::string& error, bool* exists = nullptr);
  // One record; bytes longer than a record holds are split. Records are
  // buffered and go out whole by flush().
  bool write(std::uint64_t time_ns, std::span<const std::uint8_t> bytes);
  // False on a write error: the recording is then closed, cut back to its
  // last whole record, and error() says why.
  bool flush();
  // Flushes and closes; false when the end could not be written.
  bool close();
  bool is_open() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }
  // The size of the file up to its last whole record written out.
  std::uint64_t size_written() const { return written_; }

 private:
  bool fail(const std::string& why);
  int fd_ = -1;
  std::string path_;
  std::string error_;
  std::vector<std::uint8_t> buffer_;     // whole records not yet written
  std::vector<std::size_t> record_ends_;  // where each buffered record ends
  std::uint64_t written_ = 0;
};

class RecordingReader {
 public:
  RecordingReader() = default;
  RecordingReader(const RecordingReader&) = delete;
  RecordingReader& operator=(const RecordingReader&) = delete;
  ~RecordingReader();

  // Opens `path` (a file, a FIFO, /dev/fd/N) and reads its header; false
  // with `error` set.
  bool open(const std::string& path, std::string& error);
  // The next record: true with `chunk` filled; false at the end (error
  // empty) or on a malformed record ("at byte N: ..." in `error`).
  bool next(Chunk& chunk, std::string& error);
  std::uint32_t baud() const { return baud_; }
  std::uint64_t offset() const { return offset_; }

 private:
  bool fail(std::uint64_t at, const std::string& what, std::string& error);
  std::FILE* file_ = nullptr;
  std::string path_;
  std::uint32_t baud_ = 0;
  std::uint64_t offset_ = 0;
  std::uint64_t last_time_ = 0;
  bool first_ = true;
};

}  // namespace station
