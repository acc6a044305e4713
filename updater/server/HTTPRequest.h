#pragma once
// One HTTP or HTTPS GET through libcurl's easy interface.
#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>

class HTTPResponse {
public:
  explicit HTTPResponse(const char* url);

  const char* get_request() const;
  long get_status() const;
  // The body, NUL-terminated; writable so that callers may cut it in place.
  std::string& get_response();
  void set_status(long value);
  void process(const char* bytes, size_t length);

  std::string request;
  long status = 0;
  std::string response;
};

// Bounds of every transfer. HTTPS peers are always verified against the system's
// trust store; no setting turns that off. A slow real link (a few kB/s) passes the
// rate, and the deadline leaves room for the largest firmware file at such a rate; a
// stalled or trickling server is given up within the rate's window.
struct HTTPLimits {
  long connectTimeoutMs = 15000;  // TCP and TLS connection set-up
  long lowSpeedLimit = 1024;      // bytes per second under which a transfer counts as stalled...
  long lowSpeedTimeS = 20;        // ...for this many seconds in a row: it is then aborted
  long totalTimeoutMs = 300000;   // the whole request, connection included
  size_t maxBodySize = 128u * 1024u * 1024u;  // a larger body aborts the transfer
};

// A transfer that failed: what() is libcurl's text for the result code; detail is
// libcurl's own description of this failure (may be empty); tooSlow is set when a
// time limit ended it.
class HTTPFailure : public std::runtime_error {
public:
  HTTPFailure(const std::string& text, const std::string& detailText, bool slow)
      : std::runtime_error(text), detail(detailText), tooSlow(slow) {}
  // One line for the user: the reason, libcurl's description after it.
  std::string reason() const;

  std::string detail;
  bool tooSlow;
};

class HTTPRequest {
public:
  // Throws std::runtime_error (HTTPFailure for libcurl's failures) on any transfer
  // failure; an HTTP status other than 200 is returned, not thrown.
  static HTTPResponse GET(const char* url, std::map<std::string, std::string>& query);

  // The full URL of a request: url, then "?" and key=value& for every entry in key
  // order. Keys and values are percent-encoded except for the unreserved characters
  // (letters, digits, "-", ".", "_", "~"), so ordinary values travel unchanged.
  static std::string BuildURL(const char* url, const std::map<std::string, std::string>& query);
  static std::string Escape(const std::string& text);

  // The limits start at their defaults; tests shorten them. Set before any request.
  static void SetLimits(const HTTPLimits& limits);
  static HTTPLimits GetLimits();
};
