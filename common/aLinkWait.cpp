// How the read role waits when its stream has nothing yet. Each transport says what to
// wait on in the table it makes its stream with (aStreamOps; aStream's waitFd and
// pending check): a descriptor
// to poll() beside the link's own wake-up descriptors, or none, when the stream can
// only be asked (a read that waits by itself, as USB's does, or a caller's stream).
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "common/internal/aLinkRecord.h"

namespace {

// Streams that can only be asked get a short pause between empty reads: enough to keep
// the reader off the CPU.
constexpr int kAskedStreamPauseMs = 1;
// A descriptor that reports hang-up or error keeps poll() from waiting at all.
constexpr int kHangupPauseMs = 20;

void sDrain(int fd) {
  uint64_t count;
  if (read(fd, &count, sizeof count) < 0) {
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

int sMs(uint32_t ms) { return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms); }

}  // namespace

void aLink_Pause(aLink* link, uint32_t timeoutMs) {
  if (link->wakeFd < 0) {
    aTime_MSSleep(timeoutMs);   // no wake-up descriptor could be made: a plain wait
    return;
  }
  pollfd p{link->wakeFd, POLLIN, 0};
  if (sPoll(&p, 1, sMs(timeoutMs)) > 0) sDrain(link->wakeFd);
}

void aLink_Wake(aLink* link) {
  if (link->wakeFd < 0) return;
  const uint64_t one = 1;
  if (write(link->wakeFd, &one, sizeof one) < 0) {
    // The counter only saturates when a wake-up is pending already.
  }
}

void aLink_SetLeave(aLink* link, bool set) {
  if (link->leaveFd < 0) return;
  if (!set) {
    sDrain(link->leaveFd);
    return;
  }
  const uint64_t one = 1;
  if (write(link->leaveFd, &one, sizeof one) < 0) {
    // Already set.
  }
}

void aLink_WaitForInput(aLink* link, uint32_t timeoutMs) {
  aStream* stream = link->stream;
  if (!aVALIDSTREAM(stream)) {
    aLink_Pause(link, timeoutMs);
    return;
  }
  if (stream->waitFd < 0) {
    aLink_Pause(link, timeoutMs < kAskedStreamPauseMs ? timeoutMs : kAskedStreamPauseMs);
    return;
  }
  pollfd fds[2] = {{stream->waitFd, POLLIN, 0}, {link->wakeFd, POLLIN, 0}};
  const nfds_t count = link->wakeFd >= 0 ? 2 : 1;
  if (sPoll(fds, count, sMs(timeoutMs)) <= 0) return;
  if (count == 2 && (fds[1].revents & POLLIN)) sDrain(link->wakeFd);
  if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[0].revents & POLLIN))
    aLink_Pause(link, timeoutMs < kHangupPauseMs ? timeoutMs : kHangupPauseMs);
}

bool aLink_WaitAsCaller(aLink* link, uint32_t timeoutMs) {
  aStream* stream = link->stream;
  if (aStream_InputPending(stream)) return false;
  // leaveFd is level-triggered: whoever set it clears it, never the caller.
  pollfd fds[2] = {{stream->waitFd, POLLIN, 0}, {link->leaveFd, POLLIN, 0}};
  const nfds_t count = link->leaveFd >= 0 ? 2 : 1;
  if (sPoll(fds, count, sMs(timeoutMs)) <= 0) return false;
  if (count == 2 && (fds[1].revents & POLLIN)) return true;
  if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[0].revents & POLLIN) && count == 2) {
    // A hung-up descriptor keeps poll() from waiting; a pause keeps the caller off the
    // CPU while its reads find nothing.
    pollfd leave{link->leaveFd, POLLIN, 0};
    return sPoll(&leave, 1, timeoutMs < kHangupPauseMs ? sMs(timeoutMs) : kHangupPauseMs) > 0;
  }
  return false;
}
