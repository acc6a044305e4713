#pragma once
// Where the independent Python peers live (tests/linkserver/peers).
#include <string>

namespace lstest {

inline std::string peerScript(const std::string& name) { return std::string(LINKSERVER_PEERS_DIR) + "/" + name; }

}  // namespace lstest
