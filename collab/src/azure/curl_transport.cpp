#include "collab/azure/curl_transport.hpp"

#include <curl/curl.h>

#include <array>
#include <charconv>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "collab/errors.hpp"

namespace collab::azure {

namespace {

// Process-wide pool of curl easy handles over one share handle.  The share holds the
// connection cache, DNS cache and TLS session cache, so keep-alive connections outlive the
// handle and the transport object that opened them.  Created on first use (never during
// static initialisation); released at exit.
class CurlPool {
 public:
  static CurlPool& instance() {
    static CurlPool pool;
    return pool;
  }

  CURL* acquire() {
    CURL* handle = nullptr;
    CURLSH* share = nullptr;
    {
      std::lock_guard lock(mutex_);
      ++leased_;
      share = share_;
      if (!idle_.empty()) {
        handle = idle_.back();
        idle_.pop_back();
      }
    }
    if (handle) {
      curl_easy_reset(handle);
    } else {
      handle = curl_easy_init();
      if (!handle) throw std::runtime_error("curl_easy_init failed");
    }
    curl_easy_setopt(handle, CURLOPT_SHARE, share);
    return handle;
  }

  void release(CURL* handle) {
    std::lock_guard lock(mutex_);
    --leased_;
    if (idle_.size() < kMaxIdle) {
      idle_.push_back(handle);
      return;
    }
    curl_easy_cleanup(handle);
  }

  // Closes the kept-alive connections by starting the share afresh; only when no transfer is
  // under way, as every handle in use holds the share.
  void closeIdle() {
    std::lock_guard lock(mutex_);
    if (leased_ != 0) return;
    for (CURL* handle : idle_) curl_easy_cleanup(handle);
    idle_.clear();
    curl_share_cleanup(share_);
    share_ = newShare();
  }

  CurlPool(const CurlPool&) = delete;
  CurlPool& operator=(const CurlPool&) = delete;

 private:
  static constexpr std::size_t kMaxIdle = 8;

  CurlPool() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    share_ = newShare();
  }

  CURLSH* newShare() {
    CURLSH* share = curl_share_init();
    if (!share) throw std::runtime_error("curl_share_init failed");
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &CurlPool::lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &CurlPool::unlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    return share;
  }

  ~CurlPool() {
    for (CURL* handle : idle_) curl_easy_cleanup(handle);
    curl_share_cleanup(share_);
    curl_global_cleanup();
  }

  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<CurlPool*>(self)->locks_[static_cast<std::size_t>(data)].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<CurlPool*>(self)->locks_[static_cast<std::size_t>(data)].unlock();
  }

  std::mutex mutex_;
  std::vector<CURL*> idle_;
  std::size_t leased_ = 0;
  CURLSH* share_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;
};

// Borrows a handle for one transfer and gives it back whatever happens.
class HandleLease {
 public:
  HandleLease() : handle_(CurlPool::instance().acquire()) {}
  ~HandleLease() { CurlPool::instance().release(handle_); }
  HandleLease(const HandleLease&) = delete;
  HandleLease& operator=(const HandleLease&) = delete;
  CURL* get() const noexcept { return handle_; }

 private:
  CURL* handle_;
};

struct UrlDeleter {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
struct CurlStringDeleter {
  void operator()(char* text) const noexcept { curl_free(text); }
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw InvalidValueError("cannot read CA file '" + path + "'");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The CA bundle this libcurl trusts by default (empty when it has none compiled in).
std::string systemCaBundlePath() {
  HandleLease lease;
  char* path = nullptr;
  if (curl_easy_getinfo(lease.get(), CURLINFO_CAINFO, &path) == CURLE_OK && path) return path;
  return {};
}

bool isRetryable(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_SSL_CONNECT_ERROR:
      return true;
    default:
      return false;
  }
}

std::string trim(std::string_view text) {
  const char* blanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(blanks);
  return std::string(text.substr(first, last - first + 1));
}

size_t writeBody(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// Adds one received header line to `headers`.
void addHeaderLine(std::string_view line, HttpHeaders& headers) {
  if (line.rfind("HTTP/", 0) == 0) {
    // A new status line: an interim (1xx) answer came first, its headers do not count.
    headers = HttpHeaders{};
  } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t') && !headers.empty()) {
    // Obsolete line folding: continues the previous field.
    auto fields = headers.fields();
    fields.back().second += " " + trim(line);
    HttpHeaders rebuilt;
    for (auto& [n, v] : fields) rebuilt.add(std::move(n), std::move(v));
    headers = std::move(rebuilt);
  } else if (std::size_t colon = line.find(':'); colon != std::string_view::npos) {
    headers.add(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  }
}

// Counts how often libcurl is about to put the request on a connection.  libcurl sends a
// request again by itself when a reused connection closes before any answer; the server may
// well have received it, and the retry policy above never hears of it.  Every send after the
// first is therefore refused here, and the transfer fails as a dropped connection that the
// caller may repeat, as an attempt it counts and logs, or not.
struct SendGate {
  int sends = 0;
  bool refusedResend = false;
};

int beforeSend(void* gate, char*, char*, int, int) {
  auto* state = static_cast<SendGate*>(gate);
  if (++state->sends == 1) return CURL_PREREQFUNC_OK;
  state->refusedResend = true;
  return CURL_PREREQFUNC_ABORT;
}

}  // namespace

CurlTransport::CurlTransport(CurlTransportOptions options) : options_(std::move(options)) {
  if (options_.extraCaFile) {
    std::string extra = readFile(*options_.extraCaFile);
    std::string system = systemCaBundlePath();
    if (!system.empty()) {
      std::ifstream in(system, std::ios::binary);
      if (in) {
        std::ostringstream text;
        text << in.rdbuf();
        caBundle_ = text.str();
        if (!caBundle_.empty() && caBundle_.back() != '\n') caBundle_ += '\n';
      }
    }
    caBundle_ += extra;
  }
}

CurlTransport::~CurlTransport() = default;

namespace {

// One transfer on one easy handle, driven through a multi handle of its own so that the caller
// can return between sending the request and reading the answer.  Everything libcurl points
// into (the URL, header list, body, buffers) lives here, at a fixed address.
class CurlTransfer final : public PendingSend {
 public:
  CurlTransfer(const HttpRequest& request, std::unique_ptr<CURLU, UrlDeleter> url,
               const CurlTransportOptions& options, const std::string& caBundle, bool direct)
      : method_(request.method),
        url_(std::move(url)),
        displayUrl_(request.url),
        body_(request.body),
        stop_(options.stop) {
    CURL* h = lease_.get();
    curl_easy_setopt(h, CURLOPT_CURLU, url_.get());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    // The metadata service answers on the host itself; a proxy would only see the request.
    if (direct) curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // Handles are pooled: set (or clear) the flag on every send.
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, request.freshConnection ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caBundle.empty()) {
      curl_blob blob{const_cast<char*>(caBundle.data()), caBundle.size(), CURL_BLOB_COPY};
      curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob);
    }
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(options.connectTimeout.count()));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, options.lowSpeedLimit);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.lowSpeedTime.count()));
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    // Large reads: a list page is about a megabyte, and every read is a system call.
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReadBuffer);
    if (options.acceptCompressed) curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText_);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response_.body);
    if (request.expectedBodySize > 0)
      reserveBody(request.expectedBodySize + request.expectedBodySize / 8);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &writeHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &beforeSend);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &gate_);

    if (method_ == "GET") {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else if (method_ == "HEAD") {
      curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else {
      if (method_ != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method_.c_str());
      if (method_ == "POST" || !body_.empty()) {
        // POSTFIELDS (even empty) makes curl send Content-Length, 0 for a body-less POST.
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body_.data());
      }
    }

    for (const auto& [name, value] : request.headers.fields()) {
      appendHeader(value.empty() ? name + ";" : name + ": " + value);
    }
    // curl would label a body-less or untyped POST as a form; send no type unless one is set.
    if (method_ != "GET" && method_ != "HEAD" && !request.headers.contains("Content-Type")) {
      appendHeader("Content-Type:");
    }
    // No "Expect: 100-continue" round trip before larger bodies.
    appendHeader("Expect:");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers_.get());

    multi_ = curl_multi_init();
    if (!multi_) throw std::bad_alloc();
    if (curl_multi_add_handle(multi_, h) != CURLM_OK) {
      curl_multi_cleanup(multi_);
      throw std::runtime_error("curl_multi_add_handle failed");
    }
    // Connects (or takes a kept-alive connection) and sends as far as it can without waiting.
    poll();
  }

  ~CurlTransfer() override {
    // Removing a transfer still under way closes its connection; the handle goes back to the
    // pool, so drop every pointer into this object first.
    CURL* h = lease_.get();
    curl_multi_remove_handle(multi_, h);
    curl_multi_cleanup(multi_);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(h, CURLOPT_CURLU, nullptr);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, nullptr);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, nullptr);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
  }

  void poll() override {
    if (done_) return;
    int running = 0;
    if (CURLMcode code = curl_multi_perform(multi_, &running); code != CURLM_OK) {
      fail(curl_multi_strerror(code));
      return;
    }
    if (running == 0) collect();
  }

  HttpResponse finish() override {
    // A signal usually ends the poll at once (EINTR); the slice bounds the wait otherwise.
    const int slice = stop_ ? 100 : 1000;
    while (!done_) {
      poll();
      if (done_) break;
      if (stop_ && stop_()) {
        throw TransportError(method_, displayUrl_,
                             "abandoned before the answer came: the run was asked to stop",
                             /*retryable=*/false);
      }
      int ready = 0;
      if (CURLMcode code = curl_multi_poll(multi_, nullptr, 0, slice, &ready); code != CURLM_OK) {
        fail(curl_multi_strerror(code));
      }
    }
    if (gate_.refusedResend) {
      throw TransportError(method_, displayUrl_,
                           "the connection closed without an answer (a kept-alive connection "
                           "that the server had dropped); not sent again",
                           /*retryable=*/true);
    }
    if (result_ != CURLE_OK) {
      std::string detail = failure_.empty() ? curl_easy_strerror(result_) : failure_;
      if (failure_.empty() && errorText_[0] != '\0') detail += ": " + std::string(errorText_);
      throw TransportError(method_, displayUrl_, detail, failure_.empty() && isRetryable(result_));
    }
    long status = 0;
    curl_easy_getinfo(lease_.get(), CURLINFO_RESPONSE_CODE, &status);
    response_.status = static_cast<int>(status);
    return std::move(response_);
  }

 private:
  static constexpr long kReadBuffer = 256 * 1024;

  static size_t writeHeader(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<CurlTransfer*>(self);
    std::string_view line(data, size * count);
    if (line.rfind("HTTP/", 0) != 0 && line.size() > 15 &&
        equalsIgnoreCase(line.substr(0, 15), "content-length:")) {
      // Room for the whole body up front rather than growing it block by block.
      std::size_t length = 0;
      std::string_view digits = line.substr(15);
      while (!digits.empty() && (digits.front() == ' ' || digits.front() == '\t')) {
        digits.remove_prefix(1);
      }
      auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
      if (error == std::errc() && end != digits.data()) transfer->reserveBody(length);
    }
    addHeaderLine(line, transfer->response_.headers);
    return size * count;
  }

  // Room for `length` bytes of body and a little more: the readers parse a body in place
  // when there are a few dozen spare bytes after it, and copy it otherwise.
  void reserveBody(std::size_t length) {
    if (length > kLargestReservation) return;
    response_.body.reserve(length + kBodySlack);
  }

  void appendHeader(const std::string& line) {
    curl_slist* head = curl_slist_append(headers_.get(), line.c_str());
    if (!head) throw std::bad_alloc();
    headers_.release();  // `head` is the same list, grown (or the first node)
    headers_.reset(head);
  }

  void collect() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == lease_.get()) {
        result_ = message->data.result;
      }
    }
    done_ = true;
  }

  void fail(const char* detail) {
    failure_ = std::string("libcurl: ") + detail;
    result_ = CURLE_FAILED_INIT;
    done_ = true;
  }

  static constexpr std::size_t kLargestReservation = std::size_t{256} << 20;
  static constexpr std::size_t kBodySlack = 128;

  HandleLease lease_;
  std::string method_;
  std::unique_ptr<CURLU, UrlDeleter> url_;
  std::string displayUrl_;
  std::string body_;
  std::function<bool()> stop_;
  std::unique_ptr<curl_slist, SlistDeleter> headers_;
  char errorText_[CURL_ERROR_SIZE] = {0};
  SendGate gate_;
  CURLM* multi_ = nullptr;
  HttpResponse response_;
  bool done_ = false;
  CURLcode result_ = CURLE_OK;
  std::string failure_;
};

// The parsed URL of `request`, checked: http(s) only, and plain http to loopback only (or to
// the instance metadata service, without a bearer token, when `options` allow it).
std::unique_ptr<CURLU, UrlDeleter> checkedUrl(const HttpRequest& request,
                                              const CurlTransportOptions& options, bool& metadata) {
  std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url) throw std::bad_alloc();
  if (curl_url_set(url.get(), CURLUPART_URL, request.url.c_str(), 0) != CURLUE_OK) {
    throw InvalidValueError("not a valid URL: '" + redactUrl(request.url) + "'");
  }
  char* rawScheme = nullptr;
  char* rawHost = nullptr;
  curl_url_get(url.get(), CURLUPART_SCHEME, &rawScheme, 0);
  std::unique_ptr<char, CurlStringDeleter> scheme(rawScheme);
  curl_url_get(url.get(), CURLUPART_HOST, &rawHost, 0);
  std::unique_ptr<char, CurlStringDeleter> host(rawHost);
  std::string schemeText = scheme ? scheme.get() : "";
  std::string hostText = host ? host.get() : "";
  if (schemeText != "https" && schemeText != "http") {
    throw InvalidValueError("unsupported URL scheme '" + schemeText + "' in " +
                            redactUrl(request.url) + ": only https (and http to loopback)");
  }
  metadata = options.instanceMetadata && schemeText == "http" &&
             hostText == kInstanceMetadataHost && !request.headers.contains("Authorization");
  if (schemeText == "http" && !isLoopbackHost(hostText) && !metadata) {
    throw InvalidValueError("refusing plain http to non-loopback host '" + hostText + "' (" +
                            request.method + " " + redactUrl(request.url) +
                            "): Azure endpoints must use https");
  }
  return url;
}

}  // namespace

std::unique_ptr<PendingSend> CurlTransport::start(const HttpRequest& request) {
  bool metadata = false;
  auto url = checkedUrl(request, options_, metadata);
  auto transfer = std::make_unique<CurlTransfer>(request, std::move(url), options_, caBundle_,
                                                 /*direct=*/metadata);
  return transfer;
}

HttpResponse CurlTransport::send(const HttpRequest& request) { return start(request)->finish(); }

void closeIdleConnections() { CurlPool::instance().closeIdle(); }

}  // namespace collab::azure
