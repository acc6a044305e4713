// How a link's reader waits when its stream has nothing yet. TCP and serial streams
// answer "not ready" at once, so the reader waits in poll() on their descriptor (and on
// its wake-up descriptor) instead of asking again without pause.
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "common/aCOBS.h"
#include "common/internal/aLinkRecord.h"
#include "common/aSocket.h"
#include "common/unix/aSerial.h"

namespace {

// Streams whose readiness cannot be seen (USB waits inside its own reads; callers'
// streams) get a short pause: enough to keep the reader off the CPU.
constexpr int kUnknownStreamPauseMs = 1;
// A descriptor that reports hang-up or error keeps poll() from waiting at all.
constexpr int kHangupPauseMs = 20;

int sDescriptor(aStreamGetProc get, void* reference, bool* pending) {
  int fd = aSocket_Descriptor(get, reference, pending);
  if (fd < 0) fd = aSerial_Descriptor(get, reference);
  return fd;
}

void sDrainWake(int wakeFd) {
  uint64_t count;
  if (read(wakeFd, &count, sizeof count) < 0) {
    // Nothing was pending.
  }
}

int sPoll(pollfd* fds, nfds_t count, int timeout) {
  int rc;
  do {
    rc = poll(fds, count, timeout);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

}  // namespace

void aLink_Pause(aLink* link, uint32_t timeoutMs) {
  pollfd p{link->wakeFd, POLLIN, 0};
  if (link->wakeFd < 0) {
    aTime_MSSleep(timeoutMs);
    return;
  }
  if (sPoll(&p, 1, static_cast<int>(timeoutMs)) > 0) sDrainWake(link->wakeFd);
}

void aLink_Wake(aLink* link) {
  if (link->wakeFd < 0) return;
  const uint64_t one = 1;
  if (write(link->wakeFd, &one, sizeof one) < 0) {
    // The counter only saturates when a wake-up is pending already.
  }
}

void aLink_WaitForInput(aLink* link, uint32_t timeoutMs) {
  aStream* stream = link->stream;
  if (!aVALIDSTREAM(stream)) {
    aLink_Pause(link, timeoutMs);
    return;
  }
  if (aStream_UngetCount(stream) > 0) return;
  bool pending = false;
  int fd = sDescriptor(stream->get, stream->reference, &pending);
  if (fd < 0) {
    aStreamGetProc innerGet = nullptr;
    void* innerReference = nullptr;
    if (aCOBS_Inner(stream, &innerGet, &innerReference, &pending)) {
      bool innerPending = false;
      fd = sDescriptor(innerGet, innerReference, &innerPending);
      pending = pending || innerPending;
    }
  }
  if (pending) return;
  if (fd < 0) {
    aLink_Pause(link, timeoutMs < kUnknownStreamPauseMs ? timeoutMs : kUnknownStreamPauseMs);
    return;
  }
  pollfd fds[2] = {{fd, POLLIN, 0}, {link->wakeFd, POLLIN, 0}};
  const nfds_t count = link->wakeFd >= 0 ? 2 : 1;
  if (sPoll(fds, count, static_cast<int>(timeoutMs)) <= 0) return;
  if (count == 2 && (fds[1].revents & POLLIN)) sDrainWake(link->wakeFd);
  if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[0].revents & POLLIN))
    aLink_Pause(link, timeoutMs < kHangupPauseMs ? timeoutMs : kHangupPauseMs);
}
