#pragma once
// Small helpers shared by the updater's tests: temporary directories, work done in a
// child process (dropped privileges, file-size limits, private mount namespaces), and
// the test certificate authority.
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string sub(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

std::string readText(const std::string& path);
void writeText(const std::string& path, const std::string& text);
bool exists(const std::string& path);
std::vector<std::string> listDirectory(const std::string& path);  // names, "." and ".." left out

// Runs fn in a forked child and returns its result (the child's exit status), or -1
// when the child died or did not end within timeoutMs (it is then killed).
int runInChild(const std::function<int()>& fn, int timeoutMs = 30000);

// Child result meaning "this environment cannot do it": the caller skips.
constexpr int kUnsupported = 77;

// Runs fn in a child that sees caFile in place of the system's CA bundle, inside a
// mount namespace of its own (the machine's store is never touched). kUnsupported
// when no mount namespace can be made here.
int runTrustingCA(const std::string& caFile, const std::function<int()>& fn, int timeoutMs = 60000);

// The test certificate authority, made once per process with openssl in a temporary
// directory: ca.pem, server.pem/.key (127.0.0.1, localhost), wrongname.pem/.key.
const std::string& testCADirectory();

}  // namespace testsupport
