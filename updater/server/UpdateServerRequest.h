#pragma once
// The update server's protocol as the updater speaks it: one GET on "/cgi/u" per
// request, a query per operation, plain-text replies whose first line begins "ok".
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

// True when the version (second member) of a is newer than that of b; false when
// either does not split into three numbers.
bool _sortVersion(const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b);

// Why the last request of a thread failed: transfer is set when the server could not be
// reached or the transfer broke off (unreachable, too slow, refused TLS peer), clear
// when the server answered with a refusal; text is one line for the user.
struct ServerFailure {
  bool transfer = false;
  std::string text;
  // ": " and the text, to end a message with; empty when there is no text.
  std::string suffix() const { return text.empty() ? std::string() : ": " + text; }
};

class UpdateServerRequest {
public:
  // The failure of the last request made on the calling thread (empty text after a
  // request that succeeded).
  static const ServerFailure& LastFailure();

  // A null url means the default server ("http://" host "/cgi/u").
  static bool ping(const char* url);
  static bool QueryBuild(uint32_t serial, std::string& build, std::string& version, const char* url);
  static bool GetBuild(uint32_t serial, const char* fw, const char* bld, std::string& bird, const char* url,
                       bool noCal);
  static bool GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds, const char* url);
  static bool GetRecoveryInfo(const uint32_t* fingerprint, uint32_t* serial, uint32_t* build, const char* url);

  static std::vector<std::string> SplitTallowickVersion(const std::string& version);
  // Newest version first; builds whose versions do not split into three numbers come
  // last, and equal versions keep the order of their build texts.
  static std::list<std::pair<std::string, std::string>> SortBuildsByVersion(
      const std::map<std::string, std::string>& builds);

  static const char* DefaultURL();
  static const char* DefaultSecureURL();

  // Reply handling, apart from the transfer. SplitReply cuts a body into its non-empty
  // lines (up to a NUL) and is false, logged with the name and url, when there is no
  // line or the first does not begin with "ok".
  static bool SplitReply(const char* name, const std::string& url, const std::string& body,
                         std::vector<std::string>& lines);
  static void TakeQueryBuild(const std::vector<std::string>& lines, std::string& build, std::string& version);
  static void TakeBird(const std::vector<std::string>& lines, std::string& bird);
  static void TakeBuildList(const char* name, const std::vector<std::string>& lines,
                            std::map<std::string, std::string>& builds);
  // Serial number (hexadecimal) and build (as strtoul reads base 0) from lines 2 and 3;
  // an output is set only from a line that RecoveryInfoIsValid accepts.
  static void TakeRecoveryInfo(const char* name, const std::vector<std::string>& lines, uint32_t* serial,
                               uint32_t* build);
  static bool RecoveryInfoIsValid(const std::vector<std::string>& lines);
  // A whole line as one number within 32 bits, blanks around it allowed: base 16 (an
  // "0x" prefix allowed), or base 0 ("0x" hexadecimal, a leading "0" octal, else
  // decimal). False for anything else: a sign, junk after the digits, more than 32 bits.
  static bool ParseReplyNumber(const std::string& text, int base, uint32_t& value);
};
