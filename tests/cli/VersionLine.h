#pragma once
// The version line: "Updater (Version: 2.12.3 " then a build date "Mmm dd yyyy"
// (day padded with a blank), ")" and a line end.
#include <cctype>
#include <cstring>
#include <string>

namespace clitest {

// Length of the version line at the start of text, 0 when it does not start with one.
inline size_t VersionLineLength(const std::string& text) {
  const std::string prefix = "Updater (Version: 2.12.3 ";
  if (text.compare(0, prefix.size(), prefix) != 0) return 0;
  const std::string date = text.substr(prefix.size(), 11);
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  bool month = false;
  for (const char* m : months) month = month || date.compare(0, 3, m) == 0;
  auto digit = [&](size_t i) { return i < date.size() && std::isdigit(static_cast<unsigned char>(date[i])); };
  if (date.size() != 11 || !month || date[3] != ' ' || !(date[4] == ' ' || digit(4)) || !digit(5) ||
      date[6] != ' ' || !digit(7) || !digit(8) || !digit(9) || !digit(10))
    return 0;
  const size_t end = prefix.size() + 11;
  if (text.compare(end, 2, ")\n") != 0) return 0;
  return end + 2;
}

}  // namespace clitest
