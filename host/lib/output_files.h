// Output files a user can trust: every output of a run is checked before
// the run starts (its folder exists and is writable, it names neither an
// input nor another output of the same run), and is written to a temporary
// file beside it that takes the name only when complete. A failed run thus
// never leaves a half-written or empty file behind, nor destroys an input.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace files {

// The same file by identity (device and inode) when both exist; otherwise
// the same absolute, normalised path ("./a.csv" and "a.csv", "d/../a.csv").
bool same_file(const std::string& a, const std::string& b);

// A run's files, named by the option that gave each (for the messages).
struct Named {
  std::string option;  // e.g. "--csv"
  std::string path;
};

// The first reason the outputs cannot be written as asked, or "" when they
// can: an empty path, a folder that does not exist or cannot be written,
// an output that is a folder or a special file, an output that names one
// of the inputs or another output. Nothing is created.
std::string check_outputs(const std::vector<Named>& inputs, const std::vector<Named>& outputs);

// A file written under a temporary name in its own folder and renamed into
// place by commit(). Destroyed without a commit, it removes the temporary
// file and leaves whatever stood at the path untouched.
class AtomicFile {
 public:
  // Opens the temporary file; throws std::runtime_error naming `path` when
  // it cannot.
  explicit AtomicFile(std::string path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  std::FILE* stream() const { return file_; }
  const std::string& path() const { return path_; }
  const std::string& temp_path() const { return temp_; }
  // Whether a write has failed so far (a full disk, say): the caller can
  // stop at once instead of writing on into a file that will be refused.
  bool failed() const;
  // Flushes, closes and renames into place; throws std::runtime_error naming
  // the path (and removes the temporary file) when any write failed.
  void commit();

 private:
  std::string path_;
  std::string temp_;
  std::FILE* file_ = nullptr;
};

}  // namespace files
