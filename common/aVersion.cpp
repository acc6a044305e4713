#include "common/aVersion.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {
struct Feature {
  const char* name;
  const char* description;
};
const Feature kFeatures[NUM_FEATS] = {{"VERSION", "Version Query API"}};
}  // namespace

bool aVersion_IsLegacyFormat(uint32_t packed) {
  const uint32_t major = packed >> 28;
  const uint32_t minor = (packed >> 24) & 0xF;
  return major < 2 || (major == 2 && minor < 15);
}

uint8_t aVersion_ParseMajor(uint32_t packed) {
  return static_cast<uint8_t>(aVersion_IsLegacyFormat(packed) ? packed >> 28 : packed >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t packed) {
  return static_cast<uint8_t>(aVersion_IsLegacyFormat(packed) ? (packed >> 24) & 0xF : packed >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t packed) {
  return aVersion_IsLegacyFormat(packed) ? packed & 0xFFFFFF : packed & 0xFF;
}

int aVersion_ParseString(uint32_t packed, char* buffer, uint64_t size) {
  if (buffer == nullptr || size == 0) {
    return std::snprintf(nullptr, 0, "%d.%d.%u", aVersion_ParseMajor(packed), aVersion_ParseMinor(packed),
                         aVersion_ParsePatch(packed));
  }
  return std::snprintf(buffer, size, "%d.%d.%u", aVersion_ParseMajor(packed), aVersion_ParseMinor(packed),
                       aVersion_ParsePatch(packed));
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14)) {
    return 0x2F000000u | static_cast<uint32_t>(major) << 16 | static_cast<uint32_t>(minor) << 8 | patch;
  }
  return static_cast<uint32_t>(major) << 28 | (static_cast<uint32_t>(minor) & 0xF) << 24 | patch;
}

bool aVersion_IsAtLeastCompare(uint32_t a, uint32_t b, uint32_t c, uint32_t x, uint32_t y, uint32_t z) {
  const uint8_t fa = static_cast<uint8_t>(a), fb = static_cast<uint8_t>(b), fc = static_cast<uint8_t>(c);
  const uint8_t fx = static_cast<uint8_t>(x), fy = static_cast<uint8_t>(y), fz = static_cast<uint8_t>(z);
  if (fa != fx) return fa > fx;
  if (fb != fy) return fb > fy;
  return fc >= fz;
}

uint8_t aVersion_GetMajor() { return aVERSION_MAJOR; }
uint8_t aVersion_GetMinor() { return aVERSION_MINOR; }
uint32_t aVersion_GetPatch() { return aVERSION_PATCH; }

const char* aVersion_GetString() {
  static char text[15];
  static std::once_flag built;
  std::call_once(built, [] {
    std::snprintf(text, sizeof text, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PHASE, aVERSION_PATCH);
  });
  return text;
}

bool aVersion_IsAtLeast(uint32_t major, uint32_t minor, uint32_t patch) {
  return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor, patch);
}

bool aVersion_HasFeature(const char* name) {
  if (name == nullptr) return false;
  for (const Feature& f : kFeatures) {
    if (std::strcmp(f.name, name) == 0) return true;
  }
  return false;
}

char* aVersion_GetFeatureList() {
  std::string text;
  for (int i = 0; i < NUM_FEATS; i++) {
    if (i > 0) text += "\n";
    text += kFeatures[i].name;
    text += " - ";
    text += kFeatures[i].description;
  }
  char* list = new char[text.size() + 1];
  std::memcpy(list, text.c_str(), text.size() + 1);
  return list;
}

void aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr) return;
  delete[] *list;
  *list = nullptr;
}
