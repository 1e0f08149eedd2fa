// A temporary directory removed with everything in it when the fixture goes.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace qm::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A test with a temporary directory and the path of a workspace in it (not created).
class InTempDir : public ::testing::Test {
 protected:
  TempDir tmp;
  const std::string ws = tmp.join("ws");
};

// Reads a whole file; empty when missing.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
// Runs a shell command and returns its standard output.
std::string run_command(const std::string& command);

}  // namespace qm::test
