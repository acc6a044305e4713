#pragma once
// Packed firmware versions and the library's own version and features.
#include <cstdint>

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 3
#define aVERSION_PHASE "."
#define NUM_FEATS 1

bool aVersion_IsLegacyFormat(uint32_t packed);
uint8_t aVersion_ParseMajor(uint32_t packed);
uint8_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);
int aVersion_ParseString(uint32_t packed, char* buffer, uint64_t size);
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsAtLeastCompare(uint32_t a, uint32_t b, uint32_t c, uint32_t x, uint32_t y, uint32_t z);
uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint32_t aVersion_GetPatch();
const char* aVersion_GetString();
bool aVersion_IsAtLeast(uint32_t major, uint32_t minor, uint32_t patch);
bool aVersion_HasFeature(const char* name);
char* aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char** list);
