#pragma once
// The byte stream of the device link core: four transport callbacks, a reference for
// them, and an unget ring that makes reads all-or-nothing while a transport is not ready.
//
// A stream has no lock. A link's reader thread alone reads it and its writer thread
// alone writes it; creation and destruction happen while neither runs.
#include <cstdint>
#include "common/aErr.h"

// Delivers one byte: aErrNotReady when none is available yet, aErrEOF at the end.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
// Sends one byte.
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* reference);
// Sends a block of bytes.
typedef aErr (*aStreamWriteProc)(const uint8_t* data, uint64_t length, void* reference);
// Releases the transport behind the stream.
typedef aErr (*aStreamDeleteProc)(void* reference);
// True while the transport holds input it has already taken off its descriptor.
typedef bool (*aStreamPendingProc)(const void* reference);
// The descriptor to wait on for input, or -1 (see aStreamOps).
typedef int (*aStreamWaitProc)(const void* reference);
// The number of the connection the transport is on now (see aStreamOps).
typedef uint64_t (*aStreamConnectionProc)(const void* reference);

// Everything a transport is to the stream object, given whole when it makes its stream:
// one table per transport (static, shared by all its streams), as libusb's back ends
// fill one operations table. A member may be null: no such operation. Written as one
// brace list of every member: a list a member short does not compile
// (-Wmissing-field-initializers with -Werror).
struct aStreamOps {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  // True while the transport holds input it already took off its descriptor (a reader
  // must take it before it waits); null: it never does.
  aStreamPendingProc pending;
  // The descriptor poll() reports readable when input may have arrived, asked once as
  // the stream is made (it must stay the same for the stream's life); null, or -1: none,
  // the stream can only be asked (a read that waits by itself, as USB's does).
  aStreamWaitProc waitDescriptor;
  // A write never waits on the device beyond the transport's own bounded time-out (a
  // non-blocking socket), so a caller may write in place of the link's writer thread.
  bool promptWrites;
  // For a transport that makes a new connection by itself when its connection is lost (a
  // socket): the number of the connection it is on, from aStream_NewConnectionNumber, so
  // that a user can tell it still talks in the session it began. Null: the transport has
  // one connection for its life, and the stream's own number stands for it.
  aStreamConnectionProc connection;
};

#define aSTREAM_CHECK 0x4321
#define aSTREAM_UNGET_CHUNK 512

struct aStream {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  void* reference;
  // Unget ring: allocated on the first push-back, grown by aSTREAM_UNGET_CHUNK bytes
  // whenever it would become full.
  uint8_t* ungetBuffer;
  uint32_t ungetCount;
  uint64_t ungetCapacity;
  uint64_t ungetRead;
  uint64_t ungetWrite;
  uint16_t check;   // aSTREAM_CHECK while live, 0 once destroyed
  // Readiness, from the transport's table when the stream is made (aStreamOps), so that
  // a reader can wait without knowing the transport.
  int waitFd;
  aStreamPendingProc pending;
  bool promptWrites;
  aStreamConnectionProc connection;
  uint64_t number;   // from aStream_NewConnectionNumber, as the stream is made
};

#define aVALIDSTREAM(s) ((s) != nullptr && (s)->check == aSTREAM_CHECK)

// A transport's stream: its table and its own record. Returns null when no memory is
// left (nothing of the transport is released then).
aStream* aStream_CreateWith(const aStreamOps& ops, void* reference);
// A stream of four callbacks alone (any may be null), as a caller makes one: it can
// only be asked (waitFd -1, no pending input) and its writes may wait.
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* reference);
// True when a read would find input without waiting: bytes in the unget ring, or input
// the transport holds already.
bool aStream_InputPending(const aStream* stream);
// A number no other connection of this process has had or will have (never 0).
uint64_t aStream_NewConnectionNumber();
// The number of the connection the stream is on now: the transport's, or the stream's
// own when the transport never connects again by itself. It changes whenever the stream
// starts over on a new connection, so bytes on either side of a change belong to
// different sessions with the device. 0 for an invalid stream.
uint64_t aStream_Connection(const aStream* stream);
// Calls del(reference) when present and returns its result (aErrNone without one),
// frees the stream; aErrParam for an invalid stream. *stream is set to null either way.
aErr aStream_Destroy(aStream** stream);

// Reads exactly length bytes. aErrNotReady: nothing is copied and the bytes already
// taken are kept for the next read. aErrEOF: the bytes that did arrive are copied to the
// start of buffer. Any other error: nothing is copied and the bytes taken are gone.
// A read of 0 bytes is aErrNone.
aErr aStream_Read(aStream* stream, void* buffer, uint64_t length);
// Writes length bytes: one write() call for more than one byte when the transport has
// write, else put() per byte (write() for a single byte when there is no put).
aErr aStream_Write(aStream* stream, const void* data, uint64_t length);

// Pushes bytes back onto the unget ring: reads take them before anything from the
// transport, after any bytes the ring already holds, in the order pushed.
// All or nothing: aErrMemory when the ring cannot grow, and then nothing is pushed.
aErr aStream_Unget(aStream* stream, uint8_t byte);
aErr aStream_UngetBytes(aStream* stream, const void* data, uint64_t length);
// Number of bytes waiting in the unget ring.
uint64_t aStream_UngetCount(const aStream* stream);

// Reads until the terminator has been read (it is consumed, not stored), the buffer
// holds size bytes, or the data ends. *length (when given) receives the stored count.
aErr aStream_ReadRecord(aStream* stream, void* buffer, uint64_t* length, uint64_t size,
                        const void* terminator, uint64_t terminatorLength);
aErr aStream_WriteRecord(aStream* stream, const void* data, uint64_t dataLength,
                         const void* terminator, uint64_t terminatorLength);
// A record ended by one zero byte, read into at most size - 1 bytes and terminated.
// The string readers need size >= 2 (aErrParam otherwise); ReadRecord needs size >= 1.
aErr aStream_ReadCString(aStream* stream, char* buffer, uint64_t size);
aErr aStream_WriteCString(aStream* stream, const char* string);
// A record ended by the characters of terminator (without its zero byte).
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, uint64_t size,
                               const char* terminator);
// Writes string, then terminator including its zero byte.
aErr aStream_WriteCStringRecord(aStream* stream, const char* string, const char* terminator);

// Moves bytes from from's get (its unget ring is not consulted) to to's put until get
// reports aErrEOF (aErrNone) or another error, or a put fails.
aErr aStream_Flush(aStream* from, aStream* to);

// File-backed streams. Any failure returns aErrResource and leaves nothing open.
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);
