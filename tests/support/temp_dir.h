// A fresh directory for one test, removed with everything in it afterwards.
#pragma once

#include <string>

namespace testsupport {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& rel) const { return path_ + "/" + rel; }
  // Writes a file (creating parent directories) with exactly these bytes.
  void write(const std::string& rel, const std::string& content) const;
  std::string read(const std::string& rel) const;
  bool exists(const std::string& rel) const;

 private:
  std::string path_;
};

// Runs the test body with this directory as the working directory.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::string& dir);
  ~ScopedChdir();
  ScopedChdir(const ScopedChdir&) = delete;
  ScopedChdir& operator=(const ScopedChdir&) = delete;

 private:
  std::string old_;
};

// Whole-file helpers for assertions.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

}  // namespace testsupport
