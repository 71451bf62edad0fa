// Output files that appear under their names only once they are complete,
// and names with a frame number in them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

namespace tarsk::cli {

// A file written under a temporary name in its own directory and renamed
// to its name by commit(), so that a failed or interrupted run leaves
// nothing half-written behind, and an older file of that name untouched.
// "-" is standard output; a device or pipe (such as /dev/null) that exists
// under the name is written directly. Every failure is reported here, with
// the name, and makes the functions return false.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

  bool open(const std::string &path);
  bool write(std::span<const uint8_t> bytes);
  // Flushes, closes and renames; after it the destructor leaves the file.
  bool commit();
  // Reports a failed write to stream() by others (from errno); false.
  bool failed();
  FILE *stream() const { return file_; }
  const std::string &path() const { return path_; }
  bool is_stdout() const { return path_ == "-"; }

 private:
  void fail(const char *what);
  void discard();

  std::string path_, temp_;
  FILE *file_ = nullptr;
  int slot_ = -1;  // in the list of files removed on an interrupt
};

// Whether existing files may be replaced: not unless the command line said
// so (-y), as ffmpeg has it; -n says never, whatever came before it.
void set_overwrite(bool allowed);
// Whether `path` may be written: true unless it names an existing file
// (not a device or pipe) and overwriting is not allowed, which it says.
bool may_write(const std::string &path);

// Writes a whole file through an OutputFile.
bool write_file(const std::string &path, std::span<const uint8_t> bytes);

// A name with a frame number in it, printf style: "frame%d.png" or
// "frame%04d.png"; "%%" stands for "%". parse() returns nothing for a name
// without exactly one number in it, or with another % code.
class NamePattern {
 public:
  static std::optional<NamePattern> parse(const std::string &name);
  std::string format(uint64_t number) const;

 private:
  std::string before_, after_;
  int width_ = 0;
};

}  // namespace tarsk::cli
