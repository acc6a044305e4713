#pragma once
// A fresh directory for one test, removed with everything in it on destruction.
#include <string>

namespace testsupport {

class TempDir {
 public:
  // Under /tmp unless another parent is given: /tmp is reachable by every user, which
  // the tests that drop privileges rely on (TMPDIR may name a private directory).
  explicit TempDir(const std::string& parent = "/tmp");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace testsupport
