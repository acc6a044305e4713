#pragma once
// The threads of this process, for tests that check which threads a call starts and
// ends.
//
// A joined thread can stay listed in /proc/self/task for a moment after its join has
// returned: the kernel wakes the joiner before it takes the ending thread off the
// list, and on a loaded machine that moment grows. So threads are told apart by id
// against a baseline (a thread that was still ending when the baseline was taken does
// not count when it goes), and a test waits, bounded, for threads to end. A thread is
// listed as soon as its start returns: that needs no wait.
#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

namespace testsupport {

inline std::set<int> threadIds() {
  std::set<int> ids;
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return ids;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ids.insert(std::atoi(e->d_name));
  closedir(d);
  return ids;
}

class ThreadBaseline {
 public:
  ThreadBaseline() : ids_(threadIds()) {}

  // The threads listed now that the baseline did not list.
  std::set<int> started() const {
    std::set<int> fresh;
    for (int id : threadIds())
      if (ids_.count(id) == 0) fresh.insert(id);
    return fresh;
  }
  // Waits until every thread started since the baseline has gone; false at the
  // time-out.
  bool allEnded(int timeoutMs = 5000) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!started().empty()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

 private:
  std::set<int> ids_;
};

}  // namespace testsupport
