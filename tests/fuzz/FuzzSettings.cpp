// libFuzzer target: an attribute file's text through the reader the store uses, then
// saved and read again: what was loaded must load back equal, and saving it again must
// give the same text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "updater/store/KeyValueStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  KeyValueStore first;
  first.LoadText(text);
  const std::string saved = first.SavedText();
  KeyValueStore second;
  second.LoadText(saved);
  if (second.entries != first.entries) std::abort();
  if (second.SavedText() != saved) std::abort();
  // Loaded entries are ones Add takes as they are.
  KeyValueStore third;
  for (const auto& entry : first.entries)
    if (!third.Add(entry.first.c_str(), entry.second) && entry.first.find('\0') == std::string::npos) std::abort();
  return 0;
}
