#pragma once
// Diagnostic log of the updater: categories of text written to one stream.
//
// Every component writes its diagnostics through Log::log with its category bit;
// the user activates categories with -X. A mask of 0 is always written. Nothing is
// written until main points the log at a stream (standard error).
#include <cstdint>
#include <cstdio>

class Log {
public:
  // Category bits, named as the -X usage text names them. 0x100 is listed there
  // a second time as "DEBUG_Network"; here it carries the name of the link work
  // it serves.
  static constexpr uint32_t DEBUG_Updater = 0x1;
  static constexpr uint32_t DEBUG_History = 0x2;
  static constexpr uint32_t DEBUG_Attributes = 0x4;
  static constexpr uint32_t DEBUG_BirdFile = 0x8;
  static constexpr uint32_t DEBUG_Network = 0x10;
  static constexpr uint32_t DEBUG_ServerComm = 0x20;
  static constexpr uint32_t DEBUG_Network_Link = 0x100;
  static constexpr uint32_t DEBUG_Network_SR = 0x200;
  static constexpr uint32_t DEBUG_Network_FIRM = 0x400;
  static constexpr uint32_t DEBUG_NXPSerial = 0x1000;
  static constexpr uint32_t DEBUG_NXPSerial_E = 0x2000;
  static constexpr uint32_t DEBUG_NXPSerial_SR = 0x4000;
  static constexpr uint32_t DEBUG_APP = 0x10000;
  static constexpr uint32_t DEBUG_iMXSerial = 0x10000000;

  static constexpr const char* TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
  static constexpr const char* SEPARATOR = " | ";

  Log() {}
  ~Log() {}

  // Writes the formatted text (cut to 2047 characters, nothing added) to the
  // stream in one write when mask is 0 or shares a bit with the active set.
  static void log(uint32_t mask, const char* format, ...) __attribute__((format(printf, 2, 3)));

  static void SetOutput(FILE* stream);
  static void ActivatePackage(uint32_t bits);
  static void DeactivatePackage(uint32_t bits);

  // Written only while the command line is parsed, before any other thread exists.
  static uint32_t package_bitmask;
  static bool timestamped;
  static FILE* fh;
};
