#include "common/transport/aZSys.h"

#include <czmq.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace {

struct Registry {
  std::mutex lock;
  uint64_t next = 1;
  std::map<uint64_t, std::shared_ptr<aZSysUser>> users;   // by token: creation order
};

// Never destroyed: the exit handler and late removals (static destructors of the
// program) may still reach it while the process ends.
Registry& sRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

std::atomic<bool> sExiting{false};

void sStopLiveUsers() {
  sExiting = true;
  std::vector<std::shared_ptr<aZSysUser>> live;
  {
    Registry& r = sRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    for (auto it = r.users.rbegin(); it != r.users.rend(); ++it) live.push_back(it->second);
    r.users.clear();
  }
  // Newest first: a user made later may depend on one made earlier, never the reverse.
  for (auto& user : live) user->stopForExit();
}

}  // namespace

void aZSys_Init() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Before anything else of CZMQ runs: with no handler set, CZMQ never installs its
    // own for SIGINT and SIGTERM.
    zsys_handler_set(nullptr);
    zsys_init();
    // Registered after CZMQ's exit handler (zsys_init registers it), so it runs first.
    std::atexit(sStopLiveUsers);
  });
}

uint64_t aZSys_AddUser(std::shared_ptr<aZSysUser> user) {
  aZSys_Init();
  if (!user) return 0;
  Registry& r = sRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  const uint64_t token = r.next++;
  r.users.emplace(token, std::move(user));
  return token;
}

void aZSys_RemoveUser(uint64_t token) {
  std::shared_ptr<aZSysUser> removed;   // released outside the lock
  Registry& r = sRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.users.find(token);
  if (it == r.users.end()) return;
  removed = std::move(it->second);
  r.users.erase(it);
}

uint64_t aZSys_UserCount() {
  Registry& r = sRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  return r.users.size();
}

bool aZSys_Exiting() { return sExiting.load(); }
