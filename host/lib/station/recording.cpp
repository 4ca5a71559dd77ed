#include "recording.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace station {

namespace {

void put_le(std::uint8_t* out, std::uint64_t v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t get_le(const std::uint8_t* in, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(in[i]) << (8 * i);
  return v;
}

}  // namespace

bool RecordingWriter::open(const std::string& path, std::uint32_t baud, std::string& error) {
  close();
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  std::uint8_t header[kRecordingHeaderSize] = {};
  std::copy(kRecordingMagic.begin(), kRecordingMagic.end(), header);
  put_le(header + 8, kRecordingVersion, 2);
  put_le(header + 10, kRecordingHeaderSize, 2);
  put_le(header + 12, baud, 4);
  path_ = path;
  bytes_ = 0;
  if (std::fwrite(header, 1, sizeof header, file_) != sizeof header || std::fflush(file_) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    close();
    return false;
  }
  return true;
}

bool RecordingWriter::write(std::uint64_t time_ns, std::span<const std::uint8_t> bytes) {
  if (file_ == nullptr) return false;
  while (!bytes.empty()) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), kMaxRecordBytes);
    std::uint8_t head[kRecordHeaderSize];
    put_le(head, time_ns, 8);
    put_le(head + 8, n, 4);
    if (std::fwrite(head, 1, sizeof head, file_) != sizeof head) return false;
    if (std::fwrite(bytes.data(), 1, n, file_) != n) return false;
    bytes_ += n;
    bytes = bytes.subspan(n);
  }
  return true;
}

bool RecordingWriter::flush() { return file_ != nullptr && std::fflush(file_) == 0; }

bool RecordingWriter::close() {
  if (file_ == nullptr) return true;
  const bool failed = std::ferror(file_) != 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  return closed && !failed;
}

RecordingReader::~RecordingReader() {
  if (file_ != nullptr) (void)std::fclose(file_);  // read only: nothing to lose
}

bool RecordingReader::fail(std::uint64_t at, const std::string& what, std::string& error) {
  error = path_ + ": at byte " + std::to_string(at) + ": " + what;
  return false;
}

bool RecordingReader::open(const std::string& path, std::string& error) {
  if (file_ != nullptr) (void)std::fclose(file_);  // read only: nothing to lose
  path_ = path;
  offset_ = 0;
  last_time_ = 0;
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::uint8_t header[kRecordingHeaderSize];
  const std::size_t got = std::fread(header, 1, sizeof header, file_);
  const std::size_t magic = std::min(got, kRecordingMagic.size());
  if (!std::equal(header, header + magic, kRecordingMagic.begin()) || got < kRecordingMagic.size())
    return fail(0, "not a ground-station recording (bad magic)", error);
  if (got < sizeof header) return fail(got, "header cut short", error);
  const auto version = get_le(header + 8, 2);
  if (version != kRecordingVersion)
    return fail(8, "recording version " + std::to_string(version) + " is not supported (this program reads version " +
                       std::to_string(kRecordingVersion) + ")",
                error);
  const auto header_size = get_le(header + 10, 2);
  if (header_size < kRecordingHeaderSize) return fail(10, "header size " + std::to_string(header_size) + " too small", error);
  baud_ = static_cast<std::uint32_t>(get_le(header + 12, 4));
  // A later minor revision may add header fields: skip them, but they must
  // be there (a seek past the end would take a cut header for an empty file).
  std::uint8_t skipped[256];
  for (std::uint64_t at = got; at < header_size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof skipped, header_size - at));
    const std::size_t n = std::fread(skipped, 1, want, file_);
    at += n;
    if (n < want) return fail(at, "header cut short", error);
  }
  offset_ = header_size;
  return true;
}

bool RecordingReader::next(Chunk& chunk, std::string& error) {
  error.clear();
  if (file_ == nullptr) return false;
  std::uint8_t head[kRecordHeaderSize];
  const std::size_t got = std::fread(head, 1, sizeof head, file_);
  if (got == 0) return false;  // the end
  if (got < sizeof head) return fail(offset_, "record header cut short", error);
  const std::uint64_t time = get_le(head, 8);
  const auto n = static_cast<std::uint32_t>(get_le(head + 8, 4));
  if (n == 0 || n > kMaxRecordBytes) return fail(offset_ + 8, "record byte count " + std::to_string(n) + " out of range", error);
  if (time < last_time_) return fail(offset_, "arrival time goes back", error);
  chunk.time_ns = time;
  chunk.bytes.resize(n);
  if (std::fread(chunk.bytes.data(), 1, n, file_) != n) return fail(offset_, "record cut short", error);
  last_time_ = time;
  offset_ += sizeof head + n;
  return true;
}

bool check_recording(const std::string& path, std::uint64_t& records, std::uint64_t& bytes, std::string& error) {
  RecordingReader reader;
  if (!reader.open(path, error)) return false;
  records = 0;
  bytes = 0;
  Chunk chunk;
  while (reader.next(chunk, error)) {
    ++records;
    bytes += chunk.bytes.size();
  }
  return error.empty();
}

}  // namespace station
