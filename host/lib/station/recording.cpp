#include "recording.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace station {

namespace {

// Records go out in writes of about this size, and at every flush().
constexpr std::size_t kFlushBytes = std::size_t{64} * 1024;

void put_le(std::uint8_t* out, std::uint64_t v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t get_le(const std::uint8_t* in, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(in[i]) << (8 * i);
  return v;
}

}  // namespace

bool RecordingWriter::open(const std::string& path, std::uint32_t baud, std::string& error, bool* exists) {
  close();
  if (exists != nullptr) *exists = false;
  // A regular file is created, never reused; a device or a FIFO is a stream
  // that is written as it stands.
  struct stat st {};
  const bool special = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
  fd_ = ::open(path.c_str(), special ? O_WRONLY | O_CLOEXEC : O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    if (errno == EEXIST && exists != nullptr) *exists = true;
    error = errno == EEXIST ? path + " exists: a recording never replaces a file; choose another name"
                            : "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  error_.clear();
  written_ = 0;
  buffer_.assign(kRecordingHeaderSize, 0);
  std::copy(kRecordingMagic.begin(), kRecordingMagic.end(), buffer_.begin());
  put_le(buffer_.data() + 8, kRecordingVersion, 2);
  put_le(buffer_.data() + 10, kRecordingHeaderSize, 2);
  put_le(buffer_.data() + 12, baud, 4);
  record_ends_.assign(1, kRecordingHeaderSize);
  if (!flush()) {
    error = "cannot write " + path + ": " + error_;
    if (!special) (void)::unlink(path.c_str());  // nothing recorded: leave no empty file
    return false;
  }
  return true;
}

bool RecordingWriter::write(std::uint64_t time_ns, std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) return false;
  while (!bytes.empty()) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), kMaxRecordBytes);
    std::uint8_t head[kRecordHeaderSize];
    put_le(head, time_ns, 8);
    put_le(head + 8, n, 4);
    buffer_.insert(buffer_.end(), head, head + sizeof head);
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    record_ends_.push_back(buffer_.size());
    bytes = bytes.subspan(n);
  }
  return buffer_.size() < kFlushBytes || flush();
}

bool RecordingWriter::fail(const std::string& why) {
  // Whatever part of a record reached the file goes again, so the file
  // ends at its last whole record (a device cannot be cut: nothing to do).
  const int cut = ::ftruncate(fd_, static_cast<off_t>(written_));
  (void)cut;
  (void)::close(fd_);
  fd_ = -1;
  buffer_.clear();
  record_ends_.clear();
  error_ = why;
  return false;
}

bool RecordingWriter::flush() {
  if (fd_ < 0) return false;
  std::size_t done = 0;
  std::size_t whole = 0;  // records entirely written
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string why = n < 0 ? std::strerror(errno) : "nothing written";
      while (whole < record_ends_.size() && record_ends_[whole] <= done) ++whole;
      written_ += whole == 0 ? 0 : record_ends_[whole - 1];
      return fail(why);
    }
    done += static_cast<std::size_t>(n);
  }
  written_ += buffer_.size();
  buffer_.clear();
  record_ends_.clear();
  return true;
}

bool RecordingWriter::close() {
  if (fd_ < 0) return error_.empty();
  const bool flushed = flush();
  if (!flushed) return false;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!closed) error_ = std::strerror(errno);
  return closed;
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
  first_ = true;
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
  if (!first_ && time < last_time_) return fail(offset_, "arrival time goes back", error);
  if (!first_ && time - last_time_ > kMaxRecordGapNs)
    return fail(offset_, "arrival time jumps " + std::to_string((time - last_time_) / 1'000'000'000u) +
                             " s ahead (more than an hour after the record before: a damaged time field)",
                error);
  chunk.time_ns = time;
  chunk.bytes.resize(n);
  if (std::fread(chunk.bytes.data(), 1, n, file_) != n) return fail(offset_, "record cut short", error);
  last_time_ = time;
  first_ = false;
  offset_ += sizeof head + n;
  return true;
}

}  // namespace station
