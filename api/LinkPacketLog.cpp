// Packet log files: the core link records its traffic in its packet log, and a logger
// thread moves the records into a text file, one line each.
#include <cstdio>
#include <cstring>

#include "api/Link.h"
#include "api/LinkImpl.h"
#include "common/log/aLinkPacketDebug.h"
#include "common/log/aPacketLog.h"
#include "common/unix/aTime.h"

namespace Quenlark {
namespace Tallowick {

namespace {

// An idle logger pauses 5 ms at first and longer the longer it stays idle, up to 40 ms:
// two hundred wake-ups a second would cost an idle program more than it should. The
// ring holds far more than 40 ms of traffic at the rates a link sustains.
constexpr aTime kIdlePauseMs = 5;
constexpr aTime kLongestIdlePauseMs = 40;
// Only the logger thread runs the callback: its pause is its own.
thread_local aTime tIdlePause = kIdlePauseMs;
const uint8_t kStartMarker[] = {'S', 'T', 'A', 'R', 'T', '\0'};

void loggerCallback(aFile* file, uint32_t parameter) { Link::impl::readDebugBuffer(file, parameter); }

}  // namespace

void Link::impl::readDebugBuffer(void* file, uint32_t coreLinkId) {
  // Room for the longest record there can be, so that no record sticks at the head of
  // the log for want of buffer.
  uint8_t record[aPACKETLOG_MAX_RECORD];
  uint32_t tag = 0, length = sizeof record;
  if (aLink_PacketDebug_Read(coreLinkId, &tag, &length, record) != aErrNone) {
    // Empty, or the link's log gone (reset, disconnect): either way nothing to do
    // for a while. Returning at once would spin the thread.
    aTime_MSSleep(tIdlePause);
    tIdlePause = tIdlePause * 2 < kLongestIdlePauseMs ? tIdlePause * 2 : kLongestIdlePauseMs;
    return;
  }
  tIdlePause = kIdlePauseMs;
  // The whole line goes out in one write: the file is unbuffered, and a busy link must
  // not wait for one write per byte.
  char line[16 + aPACKETLOG_MAX_RECORD * 5 + 2];
  int used = std::snprintf(line, sizeof line, "%u %s ", length, tag == aPACKETLOG_TAG_OUT ? ">" : "<");
  size_t at = used > 0 ? static_cast<size_t>(used) : 0;
  for (uint32_t i = 0; i < length; i++) {
    if (tag == aPACKETLOG_TAG_TEXT) {
      line[at++] = static_cast<char>(record[i]);
    } else {
      used = std::snprintf(line + at, sizeof line - at, "0x%X ", record[i]);
      at += used > 0 ? static_cast<size_t>(used) : 0;
    }
  }
  line[at++] = '\r';
  line[at++] = '\n';
  aFile_Write(static_cast<aFile*>(file), line, at, nullptr);
}

void Link::impl::resumePacketLog() {
  if (packetLogger != nullptr && packetLogger->enabled.load() == 1 && coreLink != 0)
    aLink_PacketDebug_Enable(coreLink);
}

aErr Link::enablePacketLog(const char* path) {
  if (path == nullptr) return aErrParam;
  impl& d = *m_impl;
  if (d.coreLink == 0) return aErrConfiguration;
  const aErr enabled = aLink_PacketDebug_Enable(d.coreLink);
  if (enabled != aErrNone) return enabled;
  // A logger made for an earlier core link (before a reconnection) reads a log that is
  // gone: a new one takes over the same file.
  if (d.packetLogger != nullptr && d.packetLogger->parameter != d.coreLink) {
    const aErr stopped = aLogger_Destroy(&d.packetLogger);
    if (stopped != aErrNone) return stopped;
  }
  if (d.packetLogger == nullptr) {
    const std::string file = d.packetLogPath.empty() ? std::string(path) : d.packetLogPath;
    d.packetLogger = aLogger_Create(d.coreLink, loggerCallback, file.c_str());
    if (d.packetLogger == nullptr) {
      aLink_PacketDebug_Disable(d.coreLink);
      return aErrIO;
    }
    d.packetLogPath = file;
  }
  const aErr result = aLogger_Enable(d.packetLogger);
  if (result == aErrNone) aLink_PacketDebug_Write(d.coreLink, aPACKETLOG_TAG_TEXT, sizeof kStartMarker, kStartMarker);
  return result;
}

aErr Link::disablePacketLog() {
  impl& d = *m_impl;
  if (d.coreLink == 0) return aErrConfiguration;
  aLink_PacketDebug_Disable(d.coreLink);
  return aLogger_Disable(d.packetLogger);
}

}  // namespace Tallowick
}  // namespace Quenlark
