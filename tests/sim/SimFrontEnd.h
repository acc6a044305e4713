#pragma once
// Transports that carry a simulated module's bytes: a loopback TCP listener and the
// master side of a pty pair speaking COBS frames with CRC-8. Each runs one thread that
// waits in poll() for host bytes, knob changes and the device's next due event.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/SimDevice.h"

namespace devsim {

class FrontEnd {
 public:
  explicit FrontEnd(Device& device);
  virtual ~FrontEnd();
  FrontEnd(const FrontEnd&) = delete;
  FrontEnd& operator=(const FrontEnd&) = delete;

  Device& device() { return device_; }

 protected:
  // Runs fn on the front end's thread and waits (bounded) for it.
  void post(std::function<void()> fn);
  void start();
  void stop();

  // Hooks for the transport, all called on the front end's thread.
  virtual int listenFd() { return -1; }
  virtual void onListenReadable() {}
  virtual int dataFd() = 0;
  virtual void onDataReadable() = 0;
  virtual void writeChunk(const Chunk& chunk) = 0;
  // After each round's due writes.
  virtual void afterWrites() {}

  void writeAll(int fd, const uint8_t* bytes, size_t length, bool split);

  Device& device_;

 private:
  void run();
  void wake();

  int wakeFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::mutex postMutex_;
  std::vector<std::function<void()>> posted_;
  std::thread thread_;
};

// Listens on 127.0.0.1 (port 0 picks a free one). By default accepting a new connection
// replaces the current one, as a module that restarts its network task would; the
// accept policy makes it a module busy with one host instead.
class TcpFrontEnd : public FrontEnd {
 public:
  enum class Accept {
    kReplace,   // a new connection replaces the current one
    kOneHost,   // while a connection is served, new ones are accepted and closed at once
    kNone,      // every connection is accepted and closed at once (busy with someone unseen)
  };

  TcpFrontEnd(Device& device, uint16_t port = 0, Accept policy = Accept::kReplace);
  ~TcpFrontEnd() override;

  uint16_t port() const { return port_; }
  bool ok() const { return port_ != 0; }
  // Orderly close (FIN) or reset (RST) of the current connection.
  void closeConnection();
  void resetConnection();
  // Stops or resumes listening: while stopped, connections are refused.
  void setListening(bool listening);
  // Stops reading from the connection: the host's writes fill the socket buffers.
  void setReading(bool reading);
  bool hasConnection();
  void setAccept(Accept policy);
  // From a handler, on the front end's own thread: another host takes the module. Once
  // the replies due now are written, the served connection is closed as a newer one
  // replacing it would close it, and meanwhile (what the other host does) runs before
  // anything more is read; the next connection is taken as ever.
  void takeOverAfterReplies(std::function<void()> meanwhile);
  // Connections accepted and closed at once by the policy, since the front end was made.
  uint32_t turnedAway() const { return turnedAway_.load(); }

 protected:
  int listenFd() override { return listenFd_; }
  void onListenReadable() override;
  int dataFd() override { return reading_ ? connFd_ : -1; }
  void onDataReadable() override;
  void writeChunk(const Chunk& chunk) override;
  void afterWrites() override;

 private:
  bool openListener();
  void dropConnection(bool reset);

  uint16_t port_ = 0;
  int listenFd_ = -1;
  int connFd_ = -1;
  std::atomic<bool> reading_{true};
  std::atomic<Accept> accept_;
  std::atomic<uint32_t> turnedAway_{0};
  std::function<void()> takeOver_;   // front end's thread only
};

// "replace", "one-host" or "none", as the programs' --accept option names the policies.
bool parseAccept(const std::string& text, TcpFrontEnd::Accept& policy);

// Opens a pty pair; the host opens slavePath() as its serial port. The simulator keeps
// the slave open too, so that the master never sees a hang-up between host sessions.
class PtyFrontEnd : public FrontEnd {
 public:
  explicit PtyFrontEnd(Device& device);
  ~PtyFrontEnd() override;

  const std::string& slavePath() const { return slavePath_; }
  bool ok() const { return masterFd_ >= 0; }

 protected:
  int dataFd() override { return masterFd_; }
  void onDataReadable() override;
  void writeChunk(const Chunk& chunk) override;

 private:
  int masterFd_ = -1;
  int slaveFd_ = -1;
  std::string slavePath_;
  FrameReader frames_;
};

}  // namespace devsim
