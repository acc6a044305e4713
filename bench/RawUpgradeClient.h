#pragma once
// The floor of an update: a single-threaded client without the library that speaks the
// upgrade exchange over one raw TCP socket, sending the same packets in the same order
// as `Updater -U` does (update_bench checks that against the module's packet trace).
// Every request but route-on and REBOOT draws exactly one reply from the module; the
// client reads it straight off the socket.
#include <cstdint>
#include <string>
#include <vector>

namespace rawclient {

struct Block {
  uint32_t address = 0;
  uint8_t flags = 0;
  std::vector<uint8_t> bytes;   // the block's bytes after its address, as sent
};

struct Plan {
  uint8_t module = 0x04;
  std::vector<Block> loader;
  std::vector<Block> firmware;
  bool ueiPooled = false;   // firmware pieces as UEI byte sequences, one write each
};

struct Result {
  bool ok = false;
  std::string error;
  long roundTrips = 0;
  double seconds = 0;             // from connect to REBOOT sent
  double droppedMs = 0;           // when the module's end of the connection was seen
                                  // closed after REBOOT (steady clock, ms since its epoch)
  long contextSwitches = 0;       // of the client's thread over that time
  double cpuSeconds = 0;          // the client's thread, user and system
};

// Connects to 127.0.0.1:port, runs the exchange, and reads on after REBOOT until the
// module drops the connection. Every read waits at most 2 s.
Result run(uint16_t port, const Plan& plan);

}  // namespace rawclient
