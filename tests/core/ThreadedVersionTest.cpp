#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/aVersion.h"

namespace {

TEST(ThreadedVersion, StringBuiltOnceUnderConcurrentFirstCalls) {
  std::vector<std::thread> threads;
  std::vector<std::string> seen(8);
  for (size_t i = 0; i < seen.size(); i++) threads.emplace_back([&seen, i] { seen[i] = aVersion_GetString(); });
  for (auto& t : threads) t.join();
  for (const auto& s : seen) EXPECT_EQ(s, "2.12.3");
}

}  // namespace
