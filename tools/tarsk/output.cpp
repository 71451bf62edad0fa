#include "output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <utility>

#include "cli.h"

namespace tarsk::cli {

namespace {

// Temporary files to remove when the process is interrupted: the handler
// may only use what is safe in a signal handler, hence plain pointers in a
// fixed table, each set and cleared by its OutputFile.
std::array<std::atomic<const char *>, 16> interrupt_list{};

void remove_on_interrupt(int sig) {
  for (auto &slot : interrupt_list)
    if (const char *name = slot.load()) unlink(name);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

int enlist(const char *name) {
  static const bool installed = [] {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, remove_on_interrupt);
    return true;
  }();
  (void)installed;
  for (size_t i = 0; i < interrupt_list.size(); ++i) {
    const char *expected = nullptr;
    if (interrupt_list[i].compare_exchange_strong(expected, name)) return static_cast<int>(i);
  }
  return -1;  // a full table only loses the clean-up on an interrupt
}

void delist(int slot) {
  if (slot >= 0) interrupt_list[static_cast<size_t>(slot)].store(nullptr);
}

// Permissions a new file gets from open(): mkstemp's own are 0600.
mode_t creation_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

bool overwrite_allowed = false;

}  // namespace

void set_overwrite(bool allowed) { overwrite_allowed = allowed; }

bool may_write(const std::string &path) {
  struct stat st {};
  if (overwrite_allowed || path == "-" || lstat(path.c_str(), &st) != 0) return true;
  if (S_ISDIR(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) ||
      S_ISSOCK(st.st_mode))
    return true;  // what writing to it means is for open() to say
  error(path + " exists; give -y to replace it");
  return false;
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  if (file_ != nullptr && file_ != stdout) std::fclose(file_);
  file_ = nullptr;
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    delist(slot_);
    slot_ = -1;
    temp_.clear();
  }
}

void OutputFile::fail(const char *what) {
  const int e = errno;
  error(std::string(what) + " " + (is_stdout() ? "standard output" : path_) + ": " +
        std::strerror(e));
}

bool OutputFile::failed() {
  fail("cannot write");
  return false;
}

bool OutputFile::open(const std::string &path) {
  path_ = path;
  if (is_stdout()) {
    file_ = stdout;
    return true;
  }
  if (!may_write(path)) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      fail("cannot write");
      return false;
    }
    if (!S_ISREG(st.st_mode)) {  // a device or a pipe: nothing to rename
      file_ = std::fopen(path.c_str(), "wb");
      if (file_ == nullptr) fail("cannot write");
      return file_ != nullptr;
    }
  }
  const std::filesystem::path final_path(path);
  std::string name =
      (final_path.parent_path() / ("." + final_path.filename().string() + ".XXXXXX")).string();
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    fail("cannot write");
    return false;
  }
  temp_ = name;
  slot_ = enlist(temp_.c_str());
  fchmod(fd, creation_mode());
  file_ = fdopen(fd, "wb");
  if (file_ == nullptr) {
    close(fd);
    fail("cannot write");
    discard();
    return false;
  }
  return true;
}

bool OutputFile::write(std::span<const uint8_t> bytes) {
  if (bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size())
    return true;
  fail("cannot write");
  return false;
}

bool OutputFile::commit() {
  if (std::fflush(file_) != 0 || std::ferror(file_)) {
    fail("cannot write");
    return false;
  }
  if (file_ == stdout) return true;
  FILE *file = std::exchange(file_, nullptr);
  if (std::fclose(file) != 0) {
    fail("cannot write");
    discard();
    return false;
  }
  if (temp_.empty()) return true;
  if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
    fail("cannot write");
    discard();
    return false;
  }
  delist(slot_);
  slot_ = -1;
  temp_.clear();
  return true;
}

bool write_file(const std::string &path, std::span<const uint8_t> bytes) {
  OutputFile file;
  return file.open(path) && file.write(bytes) && file.commit();
}

std::optional<NamePattern> NamePattern::parse(const std::string &name) {
  NamePattern pattern;
  bool found = false;
  std::string *part = &pattern.before_;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '%') {
      *part += name[i];
      continue;
    }
    if (i + 1 < name.size() && name[i + 1] == '%') {
      *part += '%';
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (j < name.size() && std::isdigit(static_cast<unsigned char>(name[j]))) ++j;
    if (found || j >= name.size() || name[j] != 'd' || j - i > 4) return std::nullopt;
    if (j > i + 1) pattern.width_ = std::stoi(name.substr(i + 1, j - i - 1));
    found = true;
    part = &pattern.after_;
    i = j;
  }
  if (!found) return std::nullopt;
  return pattern;
}

std::string NamePattern::format(uint64_t number) const {
  std::string digits = std::to_string(number);
  if (digits.size() < static_cast<size_t>(width_))
    digits.insert(0, static_cast<size_t>(width_) - digits.size(), '0');
  return before_ + digits + after_;
}

}  // namespace tarsk::cli
