#include "tests/support/TempDir.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace testsupport {

TempDir::TempDir(const std::string& parent) {
  const std::string pattern = parent + "/updater-test-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed under " + parent);
  path_ = name.data();
}

TempDir::~TempDir() {
  // Symbolic links inside are removed as links, never followed out of the tree.
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace testsupport
