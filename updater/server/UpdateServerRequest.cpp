#include "updater/server/UpdateServerRequest.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <tuple>

#include "common/aVersion.h"
#include "BuildConfig.h"
#include "updater/server/HTTPRequest.h"
#include "updater/cli/Log.h"

namespace {

constexpr uint32_t kLog = Log::DEBUG_ServerComm;

const std::string default_url = std::string("http://") + UPDATER_DEFAULT_SERVER_HOST + "/cgi/u";
const std::string default_secure_url = std::string("https://") + UPDATER_DEFAULT_SERVER_HOST + "/cgi/u";

typedef std::map<std::string, std::string> Query;

std::string hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// Each thread's own: the download asks on a worker thread while the main thread waits.
thread_local ServerFailure lastFailure;

void fail(bool transfer, const std::string& text) {
  lastFailure.transfer = transfer;
  lastFailure.text = text;
}

// Performs one request: false (logged, and kept as the thread's last failure) on a
// transfer failure, a status other than 200 or a reply that is not "ok"; otherwise the
// reply's lines.
bool exchange(const char* name, const char* url, Query& query, std::vector<std::string>& lines) {
  fail(false, std::string());
  try {
    HTTPResponse response = HTTPRequest::GET(url != nullptr ? url : default_url.c_str(), query);
    if (response.get_status() != 200) {
      if (std::strcmp(name, "ping") == 0)
        Log::log(kLog, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()), response.get_response().c_str());
      else
        Log::log(kLog, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                 response.get_response().c_str());
      fail(false, "HTTP status " + std::to_string(response.get_status()));
      return false;
    }
    if (!UpdateServerRequest::SplitReply(name, response.get_request(), response.get_response(), lines)) {
      fail(false, "the reply does not begin with \"ok\"");
      return false;
    }
    return true;
  } catch (const HTTPFailure& e) {
    Log::log(kLog, "%s ==> [%s]\n", name, e.what());
    fail(true, e.reason());
    return false;
  } catch (const std::exception& e) {
    Log::log(kLog, "%s ==> [%s]\n", name, e.what());
    fail(true, e.what());
    return false;
  }
}

// Converts one version piece the way std::stoi does; false when it cannot.
bool versionPiece(const std::string& piece, uint8_t& value) {
  try {
    value = static_cast<uint8_t>(std::stoi(piece));
    return true;
  } catch (const std::exception& e) {
    Log::log(kLog, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
    return false;
  }
}

// (major, minor, patch), each its low 8 bits; false when the version does not split
// into three convertible pieces.
bool versionKey(const std::string& version, std::tuple<uint8_t, uint8_t, uint8_t>& key) {
  const std::vector<std::string> pieces = UpdateServerRequest::SplitTallowickVersion(version);
  if (pieces.size() != 3) return false;
  uint8_t major = 0, minor = 0, patch = 0;
  if (!versionPiece(pieces[0], major) || !versionPiece(pieces[1], minor) || !versionPiece(pieces[2], patch))
    return false;
  key = std::make_tuple(major, minor, patch);
  return true;
}

}  // namespace

const ServerFailure& UpdateServerRequest::LastFailure() { return lastFailure; }

const char* UpdateServerRequest::DefaultURL() { return default_url.c_str(); }
const char* UpdateServerRequest::DefaultSecureURL() { return default_secure_url.c_str(); }

bool UpdateServerRequest::SplitReply(const char* name, const std::string& url, const std::string& body,
                                     std::vector<std::string>& lines) {
  lines.clear();
  // The body is text: it ends at its first NUL, as a C string would.
  const size_t end = body.find('\0') == std::string::npos ? body.size() : body.find('\0');
  size_t start = 0;
  while (start < end) {
    size_t stop = body.find('\n', start);
    if (stop == std::string::npos || stop > end) stop = end;
    if (stop > start) lines.push_back(body.substr(start, stop - start));
    start = stop + 1;
  }
  if (lines.empty() || lines[0].compare(0, 2, "ok") != 0) {
    Log::log(kLog, "ServerCommClass: %s failed [%s]\n", name, url.c_str());
    return false;
  }
  return true;
}

void UpdateServerRequest::TakeQueryBuild(const std::vector<std::string>& lines, std::string& build,
                                         std::string& version) {
  if (lines.size() > 1) build = lines[1];
  if (lines.size() > 2) version = lines[2].substr(0, lines[2].find('\r'));
}

void UpdateServerRequest::TakeBird(const std::vector<std::string>& lines, std::string& bird) {
  bird.clear();
  if (lines.size() > 1) bird = lines[1];
}

void UpdateServerRequest::TakeBuildList(const char* name, const std::vector<std::string>& lines,
                                        std::map<std::string, std::string>& builds) {
  static const char* const cuts = ";\r\n";
  for (size_t i = 1; i < lines.size(); i++) {
    const std::string& line = lines[i];
    if (line.size() < 3) continue;
    Log::log(kLog, "%s processing entry: [%s]\n", name, line.c_str());
    std::vector<std::string> pieces;
    size_t start = line.find_first_not_of(cuts);
    while (start != std::string::npos && pieces.size() < 2) {
      const size_t stop = line.find_first_of(cuts, start);
      pieces.push_back(line.substr(start, stop == std::string::npos ? std::string::npos : stop - start));
      start = stop == std::string::npos ? stop : line.find_first_not_of(cuts, stop);
    }
    if (pieces.empty()) continue;
    const std::string version = pieces.size() > 1 ? pieces[1] : std::string();
    builds.emplace(pieces[0], version);  // the first line for a build wins
    Log::log(kLog, "%s [%.10s][%.10s]\n", name, pieces[0].c_str(), version.c_str());
  }
}

void UpdateServerRequest::TakeRecoveryInfo(const char* name, const std::vector<std::string>& lines, uint32_t* serial,
                                           uint32_t* build) {
  uint32_t value = 0;
  if (lines.size() > 1 && serial != nullptr && ParseReplyNumber(lines[1], 16, value)) *serial = value;
  if (lines.size() > 2 && build != nullptr && ParseReplyNumber(lines[2], 0, value)) *build = value;
  Log::log(kLog, "%s [%.20s][%.20s][%.20s]\n", name, lines.size() > 0 ? lines[0].c_str() : "",
           lines.size() > 1 ? lines[1].c_str() : "", lines.size() > 2 ? lines[2].c_str() : "");
}

bool UpdateServerRequest::RecoveryInfoIsValid(const std::vector<std::string>& lines) {
  uint32_t value = 0;
  return (lines.size() < 2 || ParseReplyNumber(lines[1], 16, value)) &&
         (lines.size() < 3 || ParseReplyNumber(lines[2], 0, value));
}

bool UpdateServerRequest::ParseReplyNumber(const std::string& text, int base, uint32_t& value) {
  size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) at++;
  size_t end = text.size();
  while (end > at && std::isspace(static_cast<unsigned char>(text[end - 1]))) end--;
  if (at == end) return false;
  unsigned radix = base == 16 ? 16 : 10;
  if (base == 16 && end - at > 1 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
    at += 2;  // strtoul takes the prefix in base 16 as well
    if (at == end) return false;
  } else if (base == 0 && end - at > 1 && text[at] == '0') {
    // As strtoul reads base 0: "0x" starts a hexadecimal number, a leading "0" an octal one.
    if (text[at + 1] == 'x' || text[at + 1] == 'X') {
      radix = 16;
      at += 2;
      if (at == end) return false;
    } else {
      radix = 8;
    }
  }
  uint64_t number = 0;
  for (size_t i = at; i < end; i++) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned digit = 16;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit >= radix) return false;
    number = number * radix + digit;
    if (number > UINT32_MAX) return false;
  }
  value = static_cast<uint32_t>(number);
  return true;
}

bool UpdateServerRequest::ping(const char* url) {
  Query query = {{"op", "hi"}, {"rv", "2"}};
  std::vector<std::string> lines;
  return exchange("ping", url, query, lines);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& version, const char* url) {
  Query query = {{"op", "qu"}, {"sn", hex8(serial)}};
  std::vector<std::string> lines;
  if (!exchange("QueryBuild", url, query, lines)) return false;
  TakeQueryBuild(lines, build, version);
  return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const char* fw, const char* bld, std::string& bird,
                                   const char* url, bool noCal) {
  Query query = {{"bld", bld != nullptr ? bld : ""},
                 {"fw", fw != nullptr ? fw : ""},
                 {"no_cal", noCal ? "true" : "false"},
                 {"op", "bird"},
                 {"sn", hex8(serial)}};
  std::vector<std::string> lines;
  if (!exchange("GetBuild", url, query, lines)) return false;
  TakeBird(lines, bird);
  return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds, const char* url) {
  builds.clear();
  Query query = {{"op", "builds"}, {"sn", hex8(serial)}};
  std::vector<std::string> lines;
  if (!exchange("GetBuildList", url, query, lines)) return false;
  TakeBuildList("GetBuildList", lines, builds);
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t* fingerprint, uint32_t* serial, uint32_t* build,
                                          const char* url) {
  if (fingerprint == nullptr) {
    Log::log(kLog, "%s ==> [%s]\n", "GetRecoveryInfo", "no fingerprint");
    return false;
  }
  // Blanks between the words: the query's escaping sends each as "%20".
  const std::string fp = hex8(fingerprint[0]) + " " + hex8(fingerprint[1]) + " " + hex8(fingerprint[2]) + " " +
                         hex8(fingerprint[3]);
  Query query = {{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
  std::vector<std::string> lines;
  if (!exchange("GetRecoveryInfo", url, query, lines)) return false;
  // A serial number or build that is no number within 32 bits is a bad reply, never
  // the low bits of one or the number its first digits make.
  if (!RecoveryInfoIsValid(lines)) {
    Log::log(kLog, "%s ==> [%s]\n", "GetRecoveryInfo", "bad serial number or build");
    fail(false, "the reply's serial number or build is not a number");
    return false;
  }
  TakeRecoveryInfo("GetRecoveryInfo", lines, serial, build);
  return true;
}

std::vector<std::string> UpdateServerRequest::SplitTallowickVersion(const std::string& version) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    const size_t dot = version.find('.', start);
    pieces.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (pieces.size() != 3) pieces.clear();
  return pieces;
}

bool _sortVersion(const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) {
  std::tuple<uint8_t, uint8_t, uint8_t> ka, kb;
  if (!versionKey(a.second, ka) || !versionKey(b.second, kb)) return false;
  return !aVersion_IsAtLeastCompare(std::get<0>(kb), std::get<1>(kb), std::get<2>(kb), std::get<0>(ka),
                                    std::get<1>(ka), std::get<2>(ka));
}

std::list<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
  // Each entry gets its key once; the sort then runs on a total order of the keys
  // (a valid version before none, newer before older), which a relation that leaves
  // unconvertible versions unordered against everything would not be.
  struct Keyed {
    bool valid;
    std::tuple<uint8_t, uint8_t, uint8_t> key;
    std::pair<std::string, std::string> entry;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(builds.size());
  for (const auto& entry : builds) {
    Keyed k{false, std::make_tuple(0, 0, 0), entry};
    k.valid = versionKey(entry.second, k.key);
    keyed.push_back(std::move(k));
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& x, const Keyed& y) {
    if (x.valid != y.valid) return x.valid;
    return x.valid && x.key > y.key;
  });
  std::list<std::pair<std::string, std::string>> sorted;
  for (Keyed& k : keyed) sorted.push_back(std::move(k.entry));
  return sorted;
}
