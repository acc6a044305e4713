// libFuzzer target: an update server's reply body on arbitrary bytes, through every
// operation's answer taking, the build-list ordering and the base64 decoder.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "updater/server/UpdateServerRequest.h"
#include "updater/server/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  if (UpdateServerRequest::SplitReply("Fuzz", "http://127.0.0.1/cgi/u", body, lines)) {
    std::string build, version, bird;
    UpdateServerRequest::TakeQueryBuild(lines, build, version);
    UpdateServerRequest::TakeBird(lines, bird);
    std::map<std::string, std::string> builds;
    UpdateServerRequest::TakeBuildList("Fuzz", lines, builds);
    for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds))
      UpdateServerRequest::SplitTallowickVersion(entry.second);
    uint32_t serial = 0, number = 0;
    UpdateServerRequest::TakeRecoveryInfo("Fuzz", lines, &serial, &number);
    size_t length = 0;
    std::free(base64_decode(bird.c_str(), bird.size(), &length));
  }
  size_t length = 0;
  uint8_t* decoded = base64_decode(body.data(), body.size(), &length);
  if (decoded != nullptr) {
    size_t encodedLength = 0;
    char* again = base64_encode(decoded, length, &encodedLength);
    // Whatever the decoder accepts encodes back to text of the same length.
    if (again == nullptr || encodedLength != size) std::abort();
    std::free(again);
    std::free(decoded);
  }
  return 0;
}
