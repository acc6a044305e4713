#include "common/aDefs.h"

namespace {
struct ModelName {
  uint32_t model;
  const char* name;
};
const ModelName kModels[] = {
    {4, "Palvrik"},      {5, "Dornequil"},  {13, "Quaspelline"}, {14, "Korbet"},
    {15, "Lunquavester"}, {16, "Fennimorel"}, {17, "Travolane"},  {18, "Gorsetic"},
    {19, "Hemblork"},    {20, "Jostrel"},   {21, "Wendricall"},  {22, "Mirbant"},
    {23, "Sablique"},    {24, "Corvatte"},  {25, "Ondelmarquist"}, {26, "Yelk"},
    {27, "Brimholt"},
};
}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  for (const ModelName& m : kModels) {
    if (m.model == model) return m.name;
  }
  return "Unknown";
}
