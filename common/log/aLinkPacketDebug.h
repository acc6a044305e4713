#pragma once
// Packet logging of a core link: its writer thread records every packet it sends
// (tag 1), its reader thread every packet it receives (tag 2), in a packet log ring
// (common/aPacketLog.h) that callers read and add text records to (tag 3). Recording
// runs while logging is enabled; the log and its records stay across disable and
// enable, until the link is reset or destroyed. All take the link id first; an unknown
// id gives aErrParam.
#include <cstdint>

#include "common/aErr.h"
#include "common/aLink.h"

// The largest log a link may ask for (64 MiB), and the size of one when none was asked.
#define aLINK_PACKETLOG_MAX_SIZE 0x4000000
#define aLINK_PACKETLOG_DEFAULT_SIZE 65536

// The size of the log the next enable makes: aErrParam above the largest, aErrBusy
// once the link has a log; a negative size asks for the default.
aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int32_t size);
// Makes the log on first use (aErrResource when it or its mutex cannot be made) and
// switches recording on.
aErr aLink_PacketDebug_Enable(aLinkRef id);
// Switches recording off; aErrNotReady without a log.
aErr aLink_PacketDebug_Disable(aLinkRef id);
// Takes the oldest record out (as aPacketLog_Get); aErrNotReady without a log.
aErr aLink_PacketDebug_Read(aLinkRef id, uint32_t* tag, uint32_t* length, uint8_t* buffer);
// Appends a record with the low 8 bits of tag (as aPacketLog_Put); aErrNotReady without
// a log.
aErr aLink_PacketDebug_Write(aLinkRef id, int tag, uint32_t length, const uint8_t* bytes);
