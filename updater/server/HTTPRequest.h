#pragma once
// One HTTP or HTTPS GET through libcurl's easy interface.
#include <cstddef>
#include <map>
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
// trust store; no setting turns that off.
struct HTTPLimits {
  long connectTimeoutMs = 15000;  // TCP and TLS connection set-up
  long lowSpeedLimit = 1;         // bytes per second under which a transfer counts as stalled...
  long lowSpeedTimeS = 30;        // ...for this many seconds in a row: it is then aborted
  size_t maxBodySize = 128u * 1024u * 1024u;  // a larger body aborts the transfer
};

class HTTPRequest {
public:
  // Throws std::runtime_error on any transfer failure; an HTTP status other than 200
  // is returned, not thrown.
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
