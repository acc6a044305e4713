#include "updater/server/HTTPRequest.h"

#include <curl/curl.h>
#include <pthread.h>
#include <signal.h>

#include <cstdint>
#include <ctime>
#include <stdexcept>

#include "updater/cli/Log.h"

namespace {

constexpr uint32_t kLog = Log::DEBUG_ServerComm;

HTTPLimits gLimits;

struct Receiver {
  HTTPResponse* response;
  size_t limit;
  bool overflow;
};

size_t _rcv_data(void* bytes, size_t size, size_t count, void* reference) {
  Receiver* receiver = static_cast<Receiver*>(reference);
  const size_t length = size * count;
  const int shown = length < 100 ? static_cast<int>(length) : 100;
  Log::log(kLog, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size), static_cast<int>(count),
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(receiver->response) & 0xFFFFFFFFu), shown,
           static_cast<const char*>(bytes));
  if (receiver->response->response.size() + length > receiver->limit) {
    // Returning less than was handed in makes libcurl abort the transfer.
    receiver->overflow = true;
    Log::log(kLog, "rcv_data returns %d\n", 0);
    return 0;
  }
  receiver->response->process(static_cast<const char*>(bytes), length);
  Log::log(kLog, "rcv_data returns %d\n", static_cast<int>(length));
  return length;
}

// With CURLOPT_NOSIGNAL libcurl leaves SIGPIPE alone, and a peer that closes its end
// while TLS data is written would kill the process. The signal is blocked on this
// thread for the transfer and one raised meanwhile is taken off before unblocking.
class SigpipeGuard {
public:
  SigpipeGuard() {
    sigemptyset(&pipeSet_);
    sigaddset(&pipeSet_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    wasPending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    blocked_ = pthread_sigmask(SIG_BLOCK, &pipeSet_, &previous_) == 0;
  }
  ~SigpipeGuard() {
    if (!blocked_) return;
    if (!wasPending_) {
      const struct timespec zero = {0, 0};
      while (sigtimedwait(&pipeSet_, nullptr, &zero) == SIGPIPE) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
  sigset_t pipeSet_;
  sigset_t previous_;
  bool wasPending_ = false;
  bool blocked_ = false;
};

}  // namespace

std::string HTTPFailure::reason() const {
  std::string text = tooSlow ? std::string("the server was too slow: ") + what() : std::string(what());
  if (!detail.empty() && detail != what()) text += " (" + detail + ")";
  return text;
}

HTTPResponse::HTTPResponse(const char* url) : request(url != nullptr ? url : "") {}

const char* HTTPResponse::get_request() const { return request.c_str(); }
long HTTPResponse::get_status() const { return status; }
std::string& HTTPResponse::get_response() { return response; }
void HTTPResponse::set_status(long value) { status = value; }
void HTTPResponse::process(const char* bytes, size_t length) {
  if (bytes != nullptr && length > 0) response.append(bytes, length);
}

void HTTPRequest::SetLimits(const HTTPLimits& limits) { gLimits = limits; }
HTTPLimits HTTPRequest::GetLimits() { return gLimits; }

std::string HTTPRequest::Escape(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += ch;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  return out;
}

std::string HTTPRequest::BuildURL(const char* url, const std::map<std::string, std::string>& query) {
  std::string full = url != nullptr ? url : "";
  if (!query.empty()) {
    full += "?";
    for (const auto& entry : query) full += Escape(entry.first) + "=" + Escape(entry.second) + "&";
  }
  return full;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& query) {
  CURL* curl = curl_easy_init();
  const std::string full = BuildURL(url, query);
  HTTPResponse response(full.c_str());
  if (curl == nullptr) throw std::runtime_error("Could not create curl instance");

  const HTTPLimits limits = gLimits;
  Receiver receiver{&response, limits.maxBodySize, false};
  char detail[CURL_ERROR_SIZE];
  detail[0] = '\0';
  CURLcode code = CURLE_OK;
  // Stops at the first option that fails.
  auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl_easy_setopt(curl, option, value);
  };
  set(CURLOPT_ERRORBUFFER, detail);
  set(CURLOPT_WRITEFUNCTION, &_rcv_data);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&receiver));
  set(CURLOPT_URL, full.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  // The firmware comes through this connection: the peer has to prove who it is.
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_SSL_VERIFYSTATUS, 0L);
  // The download runs on a worker thread: no signals for time-outs there.
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
  set(CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedLimit);
  set(CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTimeS);
  // However steadily a server trickles, the request ends by this deadline.
  set(CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs);

  if (code == CURLE_OK) {
    Log::log(kLog, "GET(%s)\n", full.c_str());
    SigpipeGuard guard;
    code = curl_easy_perform(curl);
  }
  if (code == CURLE_OK) {
    long status = 0;
    code = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (code == CURLE_OK) response.set_status(status);
  }
  curl_easy_cleanup(curl);
  if (receiver.overflow)
    throw std::runtime_error("Reply larger than " + std::to_string(limits.maxBodySize) + " bytes");
  if (code != CURLE_OK) throw HTTPFailure(curl_easy_strerror(code), detail, code == CURLE_OPERATION_TIMEDOUT);
  return response;
}
