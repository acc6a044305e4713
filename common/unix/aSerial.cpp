#include "common/unix/aSerial.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "common/transport/aCOBS.h"

namespace {

struct aSerialStream {
  int32_t baudIndex;
  char path[aSERIAL_MAX_PATH + 1];
  int fd;           // -1 while closed
  termios saved;
  termios current;
  bool haveSaved;
  uint16_t check;
};

bool aVALIDSS(const aSerialStream* s) { return s != nullptr && s->check == aSERIAL_CHECK; }

// The rates a serial line can be set to; a row's position is its baud-rate index.
struct BaudRow {
  uint32_t rate;
  speed_t speed;
};
constexpr BaudRow kBaudRates[] = {
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};
constexpr int32_t kBaudCount = static_cast<int32_t>(sizeof kBaudRates / sizeof kBaudRates[0]);

speed_t sSpeed(int32_t index) { return index >= 0 && index < kBaudCount ? kBaudRates[index].speed : B0; }

aErr sOpen(aSerialStream* s, bool parity, uint32_t dataBitsMode, uint32_t stopBitsMode) {
  s->fd = open(s->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (s->fd < 0) {
    const int e = errno;
    s->fd = -1;
    return e == ENOENT ? aErrNotFound : e == EACCES ? aErrPermission : aErrIO;
  }
  // Blocking mode with VMIN = VTIME = 0: a read returns at once with what is there.
  if (fcntl(s->fd, F_SETFL, 0) != 0) return aErrIO;
  if (tcgetattr(s->fd, &s->saved) != 0) return aErrIO;
  s->haveSaved = true;
  termios t = s->saved;
  t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  t.c_oflag = 0;
  t.c_cflag = CLOCAL | CREAD | (dataBitsMode == 1 ? CS7 : CS8);
  if (parity) t.c_cflag |= PARENB;
  if (stopBitsMode == 1) t.c_cflag |= CSTOPB;
  t.c_lflag = 0;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  const speed_t speed = sSpeed(s->baudIndex);
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return aErrIO;
  if (tcsetattr(s->fd, TCSANOW, &t) != 0) return aErrIO;
  s->current = t;
  if (tcflush(s->fd, TCIOFLUSH) != 0) return aErrIO;
  return aErrNone;
}

aErr sSerialGet(uint8_t* byte, void* reference) {
  aSerialStream* s = static_cast<aSerialStream*>(reference);
  if (!aVALIDSS(s) || byte == nullptr) return aErrParam;
  for (;;) {
    const ssize_t n = read(s->fd, byte, 1);
    if (n == 1) return aErrNone;
    if (n == 0) return aErrNotReady;
    if (errno == EINTR) continue;
    return errno == EAGAIN ? aErrNotReady : aErrIO;
  }
}

aErr sSerialWrite(const uint8_t* data, uint64_t length, void* reference) {
  aSerialStream* s = static_cast<aSerialStream*>(reference);
  if (!aVALIDSS(s) || data == nullptr) return aErrParam;
  ssize_t n;
  do {
    n = write(s->fd, data, length);
  } while (n < 0 && errno == EINTR);
  if (n < 0 || static_cast<uint64_t>(n) != length) return aErrIO;
  if (tcdrain(s->fd) != 0 && errno != EINTR) return aErrIO;
  return aErrNone;
}

aErr sSerialPut(const uint8_t* byte, void* reference) { return sSerialWrite(byte, 1, reference); }

aErr sSerialDelete(void* reference) {
  aSerialStream* s = static_cast<aSerialStream*>(reference);
  if (!aVALIDSS(s)) return aErrParam;
  if (s->fd >= 0) {
    if (s->haveSaved) tcsetattr(s->fd, TCSANOW, &s->saved);
    close(s->fd);
    s->fd = -1;
  }
  std::memset(&s->saved, 0, sizeof s->saved);
  std::memset(&s->current, 0, sizeof s->current);
  s->check = 0;
  delete s;
  return aErrNone;
}

// Input shows on the port's descriptor.
int sSerialWaitDescriptor(const void* reference) {
  const aSerialStream* s = static_cast<const aSerialStream*>(reference);
  return aVALIDSS(s) ? s->fd : -1;
}

// Writes wait until the line has drained: they are left to the link's writer thread.
const aStreamOps kSerialOps = {sSerialGet,           sSerialPut, sSerialWrite, sSerialDelete, /*pending*/ nullptr,
                               sSerialWaitDescriptor, /*promptWrites*/ false, /*connection*/ nullptr};

aErr sMakeRecord(const char* path, int32_t baudIndex, uint32_t dataBitsMode, uint32_t stopBitsMode,
                 aStream** stream, aSerialStream** record) {
  if (path == nullptr || stream == nullptr || dataBitsMode > 1 || stopBitsMode > 1) return aErrResource;
  *stream = nullptr;
  // A path longer than the record holds would name another port: refuse it.
  if (std::strlen(path) > aSERIAL_MAX_PATH) return aErrResource;
  aSerialStream* s = new (std::nothrow) aSerialStream();
  if (s == nullptr) return aErrResource;
  std::strcpy(s->path, path);
  s->baudIndex = baudIndex;
  s->fd = -1;
  s->check = aSERIAL_CHECK;
  *record = s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* path, int32_t baudIndex, bool parity, uint32_t dataBitsMode,
                          uint32_t stopBitsMode, aStream** stream) {
  aSerialStream* s = nullptr;
  aErr e = sMakeRecord(path, baudIndex, dataBitsMode, stopBitsMode, stream, &s);
  if (e != aErrNone) return e;
  // Opened first: the stream asks for the descriptor to wait on as it is made.
  e = sOpen(s, parity, dataBitsMode, stopBitsMode);
  if (e != aErrNone) {
    sSerialDelete(s);
    return e;
  }
  aStream* made = aStream_CreateWith(kSerialOps, s);
  if (made == nullptr) {
    sSerialDelete(s);
    return aErrResource;
  }
  *stream = made;
  return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* path, int32_t baudIndex, bool parity,
                                     uint32_t dataBitsMode, uint32_t stopBitsMode, aStream** stream) {
  aSerialStream* s = nullptr;
  aErr e = sMakeRecord(path, baudIndex, dataBitsMode, stopBitsMode, stream, &s);
  if (e != aErrNone) return e;
  e = sOpen(s, parity, dataBitsMode, stopBitsMode);
  if (e != aErrNone) {
    sSerialDelete(s);
    return e;
  }
  e = aStream_CreateCobsOver(kSerialOps, s, stream);
  if (e != aErrNone) {
    sSerialDelete(s);
    return e;
  }
  return aErrNone;
}

int32_t aSerial_BaudIndex(uint32_t rate) {
  for (int32_t i = 0; i < kBaudCount; i++)
    if (kBaudRates[i].rate == rate) return i;
  return -1;
}

uint32_t aSerial_BaudRate(int32_t index) { return index >= 0 && index < kBaudCount ? kBaudRates[index].rate : 0; }
