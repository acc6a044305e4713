#pragma once
// Model numbers of the device family and the names BIRD files carry for them.
#include <cstdint>

const char* aDefs_GetModelName(uint32_t model);
