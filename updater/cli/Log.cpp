#include "updater/cli/Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

uint32_t Log::package_bitmask = 0;
bool Log::timestamped = false;
FILE* Log::fh = nullptr;

void Log::log(uint32_t mask, const char* format, ...) {
  if (mask != 0 && (mask & package_bitmask) == 0) return;
  if (format == nullptr) return;
  if (timestamped && std::strlen(format) > 10) {
    char stamp[64];
    std::time_t now = std::time(nullptr);
    std::tm utc;
    if (gmtime_r(&now, &utc) != nullptr && std::strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc) > 0)
      std::printf("%s%s", stamp, SEPARATOR);
  }
  // One buffer per call and one stdio write, so lines of two threads never mix
  // within a call.
  char buffer[2048];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  size_t length = static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1;
  FILE* out = fh;
  if (out != nullptr && length > 0) std::fwrite(buffer, 1, length, out);
}

void Log::SetOutput(FILE* stream) { fh = stream; }

void Log::ActivatePackage(uint32_t bits) { package_bitmask |= bits; }

void Log::DeactivatePackage(uint32_t bits) { package_bitmask &= ~bits; }
