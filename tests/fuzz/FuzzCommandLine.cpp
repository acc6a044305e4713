// libFuzzer target: the command line. The input's NUL-separated words after the program
// name go through the option parser and the parameter parsing as main runs them. The
// parser may only move words (every word of the command line is there afterwards,
// once), and each accepted parameter must hold what an oracle of the target's own reads
// from the word that set it.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "updater/cli/CLI_Display.h"
#include "updater/cli/Log.h"
#include "updater/cli/Parameters.h"

namespace {

CLI_Display* display = nullptr;

// The value of a text of digits of that base within 32 bits; false otherwise.
bool digitsValue(const std::string& text, unsigned base, uint32_t& value) {
  uint64_t v = 0;
  for (char c : text) {
    const int d = std::isdigit(static_cast<unsigned char>(c))    ? c - '0'
                  : std::isxdigit(static_cast<unsigned char>(c)) ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                                                                  : 99;
    if (d >= static_cast<int>(base)) return false;
    v = v * base + static_cast<unsigned>(d);
    if (v > UINT32_MAX) return false;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  display = new CLI_Display();
  display->mute_messages(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words = {"Updater"};
  std::string word;
  for (size_t i = 0; i < size && words.size() < 64; i++) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (words.size() < 64) words.push_back(word);

  // The word helpers on every word: a value exactly when the word is all digits.
  for (const std::string& w : words) {
    char* end = nullptr;
    uint32_t want = 0;
    const uint32_t decimal = _get_int_arg(w.c_str(), &end);
    if (digitsValue(w, 10, want) ? (decimal != want || *end != '\0') : (decimal != 0 || (end != nullptr && *end == '\0' && !w.empty())))
      std::abort();
    const uint32_t hex = _get_hex_arg(w.c_str(), &end);
    if (digitsValue(w, 16, want) ? (hex != want || *end != '\0') : hex != 0) std::abort();
  }

  std::vector<std::vector<char>> storage;
  for (const std::string& w : words) storage.emplace_back(w.c_str(), w.c_str() + w.size() + 1);
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  const std::vector<char*> before = argv;
  Parameters p;
  const int result = _get_params(*display, static_cast<int>(argv.size()), argv.data(), &p);
  Log::package_bitmask = 0;
  if (result != 0 && result != 1) std::abort();

  // Only moved: the same words, each once.
  std::vector<char*> a = before, b = argv;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  if (a != b) std::abort();
  if (result == 0 && !p.commands.IsSet(CMD_HELP)) {
    if (!p.build.empty()) {
      uint32_t value = 0;
      if (!digitsValue(p.build, 10, value) || std::to_string(value) != p.build) std::abort();
    }
    if (p.link != LINK_USB && p.link != LINK_TCPIP && p.link != LINK_RECOVER) std::abort();
    for (size_t i = 0; i + 1 < before.size(); i++) {
      // A -i that was taken names a directory.
      if (std::strcmp(before[i], "-i") == 0 && p.storeRoot.empty() && !p.commands.IsSet(CMD_HELP)) std::abort();
    }
  }
  return 0;
}
