#include "tests/support/SimProcess.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace testsupport {

SimProcess::~SimProcess() { stop(2000); }

bool SimProcess::start(const std::string& program, const std::vector<std::string>& args, int timeoutMs) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  process_ = std::make_unique<BackgroundProcess>(argv);
  unsigned port = 0;
  // "tcp 127.0.0.1 <port>" comes before "ready".
  if (!process_->running() || !process_->waitFor("ready", 1, timeoutMs) ||
      std::sscanf(process_->first("tcp", 0).c_str(), "127.0.0.1 %u", &port) != 1) {
    std::string said;
    for (const std::string& line : process_->lines()) said += line + "\n";
    error_ = program + " did not come up: " + said + process_->errors();
    stop(1000);
    return false;
  }
  port_ = static_cast<int>(port);
  return true;
}

bool SimProcess::stop(int timeoutMs) {
  if (!process_) return true;
  const bool clean = process_->stop(timeoutMs);
  process_.reset();
  return clean;
}

bool SimProcess::signal(int number) { return process_ && process_->signal(number); }

long statValue(const std::string& statsPath, const std::string& key) {
  std::ifstream in(statsPath);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + "=") == 0) return std::strtol(line.c_str() + key.size() + 1, nullptr, 0);
  }
  return -1;
}

}  // namespace testsupport
