#include "tests/usb/SimNodeFrontEnd.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace usbemu {

SimNodeFrontEnd::SimNodeFrontEnd(devsim::Device& module, int nodeFd) : module_(module), node_(nodeFd) {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
  module_.setWakeup([this] {
    char one = 1;
    if (write(wake_[1], &one, 1) < 0) {
    }  // full pipe: a wake-up is pending anyway
  });
  module_.connected();
  thread_ = std::thread([this] { run(); });
}

SimNodeFrontEnd::~SimNodeFrontEnd() {
  stopping_ = true;
  char one = 1;
  if (write(wake_[1], &one, 1) < 0) {
  }
  thread_.join();
  module_.setWakeup(nullptr);
  module_.disconnected();
  for (int fd : wake_)
    if (fd >= 0) close(fd);
}

void SimNodeFrontEnd::run() {
  while (!stopping_) {
    pollfd waiters[2] = {{node_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    int timeout = static_cast<int>(module_.msUntilNextEvent(100));
    if (poll(waiters, 2, timeout) < 0) continue;
    if (waiters[1].revents & POLLIN) {
      char drain[64];
      while (read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if (waiters[0].revents & POLLIN) {
      uint8_t bytes[256];
      ssize_t n = read(node_, bytes, sizeof bytes);
      if (n > 0) module_.feedBytes(bytes, static_cast<size_t>(n));
    }
    for (const devsim::Chunk& chunk : module_.takeDue()) {
      size_t done = 0;
      while (done < chunk.bytes.size()) {
        ssize_t n = write(node_, chunk.bytes.data() + done, chunk.split ? 1 : chunk.bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
    }
  }
}

}  // namespace usbemu
