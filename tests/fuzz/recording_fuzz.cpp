// Fuzz target for the ground station's recording reader. The input is taken
// as a recording file. The reader either refuses it, naming a byte offset
// within the file, or reads it to the end (its times never going back nor
// jumping more than the bound); then what it read, written again
// by the recording writer, gives back the same bytes (the header's size field
// aside: header fields of a later revision are skipped and not written back).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "fuzz_check.h"
#include "recording.h"

namespace {

void check(bool ok, const char* what) { fuzz::check(ok, "recording", what); }

std::string temp_path(const char* what) {
  return (std::filesystem::temp_directory_path() /
          ("recording_fuzz." + std::to_string(::getpid()) + "." + what + ".gsrec"))
      .string();
}

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  check(out.good(), "cannot write the input file");
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "...: at byte N: ..." with N within the file.
void check_refusal(const std::string& error, std::size_t size) {
  const auto at = error.find(": at byte ");
  check(at != std::string::npos, "a refusal names no byte offset");
  const std::uint64_t offset = std::stoull(error.substr(at + 10));
  check(offset <= size, "a refusal names an offset past the end of the file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string input_path = temp_path("in");
  static const std::string output_path = temp_path("out");
  write_file(input_path, data, size);

  station::RecordingReader reader;
  std::string error;
  if (!reader.open(input_path, error)) {
    check_refusal(error, size);
    return 0;
  }
  std::vector<station::Chunk> chunks;
  station::Chunk chunk;
  while (reader.next(chunk, error)) {
    check(!chunk.bytes.empty() && chunk.bytes.size() <= station::kMaxRecordBytes, "a record's size out of range");
    check(chunks.empty() || chunk.time_ns >= chunks.back().time_ns, "arrival times go back");
    check(chunks.empty() || chunk.time_ns - chunks.back().time_ns <= station::kMaxRecordGapNs, "arrival times jump");
    chunks.push_back(chunk);
  }
  if (!error.empty()) {
    check_refusal(error, size);
    return 0;
  }
  check(reader.offset() == size, "accepted, but the reader did not end at the end of the file");

  // Accepted: written again, the recording is the same file.
  check(size >= station::kRecordingHeaderSize, "accepted without a whole header");
  const std::size_t header_size = data[10] | (data[11] << 8);
  check(size >= header_size, "accepted a header longer than the file");
  std::filesystem::remove(output_path);  // the writer never replaces a file
  station::RecordingWriter writer;
  check(writer.open(output_path, reader.baud(), error), "cannot open the output file");
  for (const auto& c : chunks) check(writer.write(c.time_ns, c.bytes), "cannot write a record");
  check(writer.close(), "cannot close the output file");
  std::vector<std::uint8_t> expected(data, data + station::kRecordingHeaderSize);
  expected[10] = station::kRecordingHeaderSize;
  expected[11] = 0;
  expected.insert(expected.end(), data + header_size, data + size);
  check(read_file(output_path) == expected, "what was read does not write back to the same bytes");
  return 0;
}
