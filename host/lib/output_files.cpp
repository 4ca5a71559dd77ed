#include "output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace files {

namespace fs = std::filesystem;

namespace {

bool stat_of(const std::string& path, struct stat& st) { return ::stat(path.c_str(), &st) == 0; }

fs::path normalised(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
  return ec ? fs::absolute(path).lexically_normal() : p.lexically_normal();
}

std::string folder_of(const std::string& path) {
  const fs::path parent = fs::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

// The process's umask, read without changing it for good.
mode_t current_umask() {
  const mode_t m = ::umask(0);
  ::umask(m);
  return m;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  const bool ea = stat_of(a, sa);
  const bool eb = stat_of(b, sb);
  if (ea && eb) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  if (ea != eb) return false;
  return normalised(a) == normalised(b);
}

std::string check_outputs(const std::vector<Named>& inputs, const std::vector<Named>& outputs) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const Named& out = outputs[i];
    const std::string who = out.option + " " + out.path;
    if (out.path.empty()) return out.option + ": no file named";
    for (const Named& in : inputs)
      if (!in.path.empty() && same_file(out.path, in.path))
        return who + ": is the file that " + in.option + " reads; choose another name";
    for (std::size_t j = 0; j < i; ++j)
      if (same_file(out.path, outputs[j].path))
        return who + ": is also the output of " + outputs[j].option + "; give each output its own file";
    struct stat st {};
    if (stat_of(out.path, st)) {
      if (S_ISDIR(st.st_mode)) return who + ": is a folder";
      if (S_ISREG(st.st_mode) && ::access(out.path.c_str(), W_OK) != 0) return who + ": is read-only";
      if (!S_ISREG(st.st_mode)) continue;  // a device or a pipe is written as it stands
    }
    std::string folder = folder_of(out.path);
    struct stat dir {};
    std::string why;
    if (!stat_of(folder, dir) || !S_ISDIR(dir.st_mode)) {
      why = " does not exist";
    } else if (::access(folder.c_str(), W_OK | X_OK) != 0) {
      why = " cannot be written";
    }
    if (!why.empty()) return who + ": the folder " + folder.append(why);
  }
  return "";
}

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  struct stat st {};
  if (stat_of(path_, st) && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    // A device or a pipe (/dev/stdout, a FIFO) cannot be replaced: written
    // directly, its write errors are still reported.
    file_ = std::fopen(path_.c_str(), "w");
    if (!file_) throw std::runtime_error(path_ + ": cannot write: " + std::strerror(errno));
    return;
  }
  const fs::path p(path_);
  // Built by appending: GCC 12 at -O3 misreads `"." + string` as an
  // overlapping copy (-Wrestrict) and the release build stops there.
  std::string name(1, '.');
  name += p.filename().string();
  name += ".XXXXXX";
  std::string pattern = (fs::path(folder_of(path_)) / name).string();
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) throw std::runtime_error(path_ + ": cannot write: " + std::strerror(errno));
  // mkstemp makes the file private; the finished file gets the usual mode.
  (void)::fchmod(fd, 0666 & ~current_umask());
  temp_ = pattern;
  file_ = ::fdopen(fd, "w");
  if (!file_) {
    const int err = errno;
    ::close(fd);
    ::unlink(temp_.c_str());
    throw std::runtime_error(path_ + ": cannot write: " + std::strerror(err));
  }
}

AtomicFile::~AtomicFile() {
  if (file_) (void)std::fclose(file_);
  if (!temp_.empty()) (void)::unlink(temp_.c_str());
}

bool AtomicFile::failed() const { return file_ == nullptr || std::ferror(file_) != 0; }

void AtomicFile::commit() {
  if (!file_) throw std::runtime_error(path_ + ": already closed");
  const bool write_failed = std::fflush(file_) != 0 || std::ferror(file_) != 0;
  const int err = errno;
  const bool close_failed = std::fclose(file_) != 0;
  file_ = nullptr;
  if (write_failed || close_failed) {
    throw std::runtime_error(path_ + ": write failed: " + std::strerror(write_failed ? err : errno));
  }
  if (temp_.empty()) return;
  if (::rename(temp_.c_str(), path_.c_str()) != 0)
    throw std::runtime_error(path_ + ": cannot put the file in place: " + std::strerror(errno));
  temp_.clear();
}

}  // namespace files
