#pragma once
// What the library does to the whole process by using CZMQ, kept in one place.
//
// Signals: CZMQ takes over SIGINT and SIGTERM at its first use unless told not to; from
// then on Ctrl-C and SIGTERM no longer end the program, and after one interrupt every
// ZeroMQ loop of the process stops for good. The library switches CZMQ's handler off
// before its own first CZMQ call, so the program's signal handling stays its own.
//
// Exit: CZMQ's own exit handler closes every socket still open and aborts when one is
// still in use (a live client link, a running discovery). The library registers an exit
// handler of its own after CZMQ's, so that it runs first and stops the library's live
// ZeroMQ users before CZMQ tears its context down.
#include <cstdint>
#include <memory>

// Call before any CZMQ call of the library. Idempotent and thread-safe.
void aZSys_Init();

// A live ZeroMQ user of the library: something that owns CZMQ sockets or actors.
class aZSysUser {
 public:
  virtual ~aZSysUser() = default;
  // Called at most once, at process exit, on the exiting thread: end the work and close
  // every socket, bounded in time (a few seconds at most).
  virtual void stopForExit() = 0;
};

// Registers a user (and calls aZSys_Init). The registry keeps a share of it until it is
// removed, so stopForExit never runs on a freed object. Removing twice is harmless.
uint64_t aZSys_AddUser(std::shared_ptr<aZSysUser> user);
void aZSys_RemoveUser(uint64_t token);
// Number of registered users (for tests).
uint64_t aZSys_UserCount();
// True once the exit handler has begun: new ZeroMQ users must not start any more.
bool aZSys_Exiting();
