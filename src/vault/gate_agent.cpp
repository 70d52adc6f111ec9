#include "vault/gate_agent.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fmt/format.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "crypto/openssl_ptr.h"
#include "tls/trust_roots.h"

namespace qb {

namespace {

struct EasyFree {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistFree {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct UrlFree {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct CurlFree {
  void operator()(char* p) const { curl_free(p); }
};

using Easy = std::unique_ptr<CURL, EasyFree>;

// curl calls this for every new TLS connection, after its own CA handling: our store replaces it.
CURLcode install_store(CURL*, void* ssl_ctx, void* store) {
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(ssl_ctx), static_cast<X509_STORE*>(store));
  return CURLE_OK;
}

// TLS 1.2 suites: ECDHE key exchange with an AEAD cipher only. TLS 1.3 keeps the library's suites.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305";

// The gate's name must be in the certificate's subjectAltName, matched whole label by whole label:
// no fall-back to the subject's common name, no partial wildcards ("f*.example.com").
constexpr unsigned kHostFlags = X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;

struct Origin {
  std::string key;   // connections are pooled per scheme, host and port
  std::string host;  // as the certificate must name it: lower case, an IPv6 literal without brackets
  bool tls = false;
};

Origin origin_of(std::string_view url) {
  std::unique_ptr<CURLU, UrlFree> u(curl_url());
  std::string text(url);
  if (!u || curl_url_set(u.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return Origin{text, {}, false};
  auto part = [&](CURLUPart which, unsigned flags) {
    char* raw = nullptr;
    if (curl_url_get(u.get(), which, &raw, flags) != CURLUE_OK) return std::string();
    std::unique_ptr<char, CurlFree> owned(raw);
    return std::string(raw);
  };
  std::string host = part(CURLUPART_HOST, CURLU_PUNYCODE);
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  std::string scheme = part(CURLUPART_SCHEME, 0);
  Origin o;
  o.key = fmt::format("{}://{}:{}", scheme, host, part(CURLUPART_PORT, CURLU_DEFAULT_PORT));
  o.tls = scheme == "https";
  o.host = host.size() >= 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
  return o;
}

bool is_ip_literal(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

struct CallState {
  CURL* handle = nullptr;
  const Origin* origin = nullptr;
  bool name_refused = false;
  std::size_t cap = 0;
  std::size_t max_head = 0;
  std::size_t head_bytes = 0;
  bool head_complete = false;
  bool head_too_large = false;
  bool over_cap = false;
  long status = 0;
  std::string body;
};

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto& st = *static_cast<CallState*>(user);
  std::size_t len = size * count;
  if (st.head_complete) return len;  // trailers
  std::string_view line(data, len);
  if (line.starts_with("HTTP/")) st.head_bytes = 0;  // a new head, after an interim 1xx one
  st.head_bytes += len;
  if (st.head_bytes > st.max_head) {
    st.head_too_large = true;
    return 0;
  }
  if (line == "\r\n" || line == "\n") {
    long code = 0;
    curl_easy_getinfo(st.handle, CURLINFO_RESPONSE_CODE, &code);
    if (code >= 200) {
      st.head_complete = true;
      st.status = code;
      // The body of a refused status is of no use to the caller: stop here.
      if (code > 299) return 0;
    }
  }
  return len;
}

// Runs once the connection is up, new or reused, before the request goes out: the chain has been
// verified by then; here the leaf must name the gate.
int check_name(void* user, char*, char*, int, int) {
  auto& st = *static_cast<CallState*>(user);
  if (!st.origin->tls) return CURL_PREREQFUNC_OK;
  curl_tlssessioninfo* info = nullptr;
  if (curl_easy_getinfo(st.handle, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info ||
      info->backend != CURLSSLBACKEND_OPENSSL || !info->internals) {
    st.name_refused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  X509* leaf = SSL_get0_peer_certificate(static_cast<SSL*>(info->internals));
  const std::string& host = st.origin->host;
  const int named = !leaf                 ? 0
                    : is_ip_literal(host) ? X509_check_ip_asc(leaf, host.c_str(), 0)
                                          : X509_check_host(leaf, host.data(), host.size(), kHostFlags, nullptr);
  if (named == 1) return CURL_PREREQFUNC_OK;
  st.name_refused = true;
  return CURL_PREREQFUNC_ABORT;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto& st = *static_cast<CallState*>(user);
  std::size_t len = size * count;
  if (len > st.cap - st.body.size()) {
    st.over_cap = true;
    return 0;
  }
  st.body.append(data, len);
  return len;
}

std::optional<std::string> process_env(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

}  // namespace

[[noreturn]] void throw_exception_from_error(const GateAgentError& e, const boost::source_location& loc) {
  std::fprintf(stderr, "unchecked gate agent error at %s:%u: %s\n", loc.file_name(), static_cast<unsigned>(loc.line()),
               e.text.c_str());
  std::abort();
}

GateProxySettings gate_proxy_from_env(const EnvLookup& lookup) {
  const EnvLookup& get = lookup ? lookup : EnvLookup(process_env);
  GateProxySettings out;
  for (const char* name : {"ALL_PROXY", "all_proxy", "HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy"}) {
    auto v = get(name);
    if (v && !v->empty()) {
      out.proxy = *v;
      break;
    }
  }
  for (const char* name : {"NO_PROXY", "no_proxy"}) {
    if (auto v = get(name)) {
      out.no_proxy = *v;
      break;
    }
  }
  return out;
}

struct ShareFree {
  void operator()(CURLSH* s) const { curl_share_cleanup(s); }
};

// TLS sessions shared by the agent's handles: over the idle bound, a call opens a new connection,
// and resuming a session the agent already holds spares it the certificate chain and its checks.
class SessionShare {
 public:
  SessionShare() : share_(curl_share_init()) {
    if (!share_) return;
    curl_share_setopt(share_.get(), CURLSHOPT_LOCKFUNC, lock);
    curl_share_setopt(share_.get(), CURLSHOPT_UNLOCKFUNC, unlock);
    curl_share_setopt(share_.get(), CURLSHOPT_USERDATA, static_cast<void*>(this));
    if (curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK) share_.reset();
  }
  // Null when curl could not make one: each handle then keeps its own sessions.
  CURLSH* get() const { return share_.get(); }

 private:
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<SessionShare*>(self)->mutex_of(data).lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<SessionShare*>(self)->mutex_of(data).unlock();
  }
  std::mutex& mutex_of(curl_lock_data data) { return data == CURL_LOCK_DATA_SSL_SESSION ? sessions_mu_ : share_mu_; }

  std::mutex sessions_mu_;
  std::mutex share_mu_;  // curl's own lock of the share object
  std::unique_ptr<CURLSH, ShareFree> share_;
};

struct GateAgent::Impl {
  GateAgentSettings settings;
  UniquePtr<X509_STORE> store;
  // Before the handles: it must outlive every one of them.
  SessionShare sessions;

  struct Idle {
    std::string key;
    Easy handle;
    std::chrono::steady_clock::time_point since;
  };
  std::mutex mu;
  std::deque<Idle> idle;  // oldest first

  Easy new_handle() const {
    Easy h(curl_easy_init());
    if (!h) return h;
    CURL* c = h.get();
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 0L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(settings.call_timeout.count()));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connect_timeout.count()));
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_SSL_CIPHER_LIST, kTls12Ciphers);
    // No CA file or directory of curl's own: the store installed below is the whole trust.
    curl_easy_setopt(c, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(c, CURLOPT_PROXY_CAINFO, nullptr);
    curl_easy_setopt(c, CURLOPT_PROXY_CAPATH, nullptr);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, install_store);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, static_cast<void*>(store.get()));
    if (sessions.get() != nullptr) curl_easy_setopt(c, CURLOPT_SHARE, sessions.get());
    // Always set, so that curl never consults the environment by its own rule.
    curl_easy_setopt(c, CURLOPT_PROXY, settings.proxy.proxy.c_str());
    curl_easy_setopt(c, CURLOPT_NOPROXY, settings.proxy.no_proxy.c_str());
    curl_easy_setopt(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // One connection per handle: the pool of handles is the pool of connections.
    curl_easy_setopt(c, CURLOPT_MAXCONNECTS, 1L);
    curl_easy_setopt(c, CURLOPT_MAXAGE_CONN, static_cast<long>(settings.idle_timeout.count()));
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, settings.buffer_bytes);
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, settings.buffer_bytes);
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    // Sends "Accept-Encoding: gzip"; the body callback sees the decoded bytes, so the cap is on those.
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "gzip");
    curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, check_name);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    return h;
  }

  Easy acquire(const std::string& key) {
    std::vector<Easy> stale;  // closed outside the lock
    Easy found;
    {
      std::lock_guard lock(mu);
      auto now = std::chrono::steady_clock::now();
      while (!idle.empty() && now - idle.front().since >= settings.idle_timeout) {
        stale.push_back(std::move(idle.front().handle));
        idle.pop_front();
      }
      for (auto it = idle.rbegin(); it != idle.rend(); ++it) {
        if (it->key == key) {
          found = std::move(it->handle);
          idle.erase(std::next(it).base());
          break;
        }
      }
    }
    stale.clear();
    return found ? std::move(found) : new_handle();
  }

  void release(std::string key, Easy h) {
    std::vector<Easy> dropped;
    {
      std::lock_guard lock(mu);
      idle.push_back(Idle{std::move(key), std::move(h), std::chrono::steady_clock::now()});
      const std::string& k = idle.back().key;
      auto same = std::count_if(idle.begin(), idle.end(), [&](const Idle& i) { return i.key == k; });
      if (static_cast<std::size_t>(same) > settings.max_idle_per_host) {
        auto oldest = std::find_if(idle.begin(), idle.end(), [&](const Idle& i) { return i.key == k; });
        dropped.push_back(std::move(oldest->handle));
        idle.erase(oldest);
      }
      while (idle.size() > settings.max_idle) {
        dropped.push_back(std::move(idle.front().handle));
        idle.pop_front();
      }
    }
  }
};

GateAgent::GateAgent(GateAgentSettings settings) : impl_(std::make_unique<Impl>()) {
  static std::once_flag curl_ready;
  std::call_once(curl_ready, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  impl_->store = trust_store_of(settings.roots);
  impl_->settings = std::move(settings);
}

GateAgent::~GateAgent() = default;

Result<GateResponse, GateAgentError> GateAgent::post(std::string_view url, std::optional<std::string_view> content_type,
                                                     std::string_view body, std::size_t body_cap) const {
  if (!impl_->store) return GateAgentError{GatePhase::BeforeHead, "the trust store could not be built"};
  const Origin origin = origin_of(url);
  std::string key = origin.key;
  Easy h = impl_->acquire(key);
  if (!h) return GateAgentError{GatePhase::BeforeHead, "the HTTP client could not be created"};
  CURL* c = h.get();

  // "Expect:" keeps curl from waiting for a 100-continue on large bodies; an empty "Content-Type:" drops
  // curl's form type when the caller names none.
  std::unique_ptr<curl_slist, SlistFree> headers(curl_slist_append(nullptr, "Expect:"));
  std::string type_line = content_type ? fmt::format("Content-Type: {}", *content_type) : "Content-Type:";
  curl_slist* more = headers ? curl_slist_append(headers.get(), type_line.c_str()) : nullptr;
  if (!more) return GateAgentError{GatePhase::BeforeHead, "out of memory building the request headers"};

  std::string url_text(url);
  CallState st;
  st.handle = c;
  st.origin = &origin;
  st.cap = body_cap;
  st.max_head = impl_->settings.max_head_bytes;
  char errbuf[CURL_ERROR_SIZE] = {};

  curl_easy_setopt(c, CURLOPT_URL, url_text.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &st);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &st);
  curl_easy_setopt(c, CURLOPT_PREREQDATA, &st);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);

  CURLcode rc = curl_easy_perform(c);

  // Nothing of this call may outlive it inside the pooled handle.
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, nullptr);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(c, CURLOPT_PREREQDATA, nullptr);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
  // A connection whose certificate does not name the gate is not kept.
  if (st.name_refused) {
    h.reset();
    return GateAgentError{GatePhase::BeforeHead,
                          fmt::format("SSL: no subjectAltName of the gate's certificate matches {}", origin.host)};
  }
  impl_->release(std::move(key), std::move(h));

  auto client_text = [&] { return errbuf[0] ? std::string(errbuf) : std::string(curl_easy_strerror(rc)); };
  if (st.head_complete && (st.status < 200 || st.status > 299)) return GateResponse{st.status, {}};
  if (rc == CURLE_OK) {
    if (!st.head_complete) return GateAgentError{GatePhase::BeforeHead, "the response had no head"};
    return GateResponse{st.status, std::move(st.body)};
  }
  if (st.head_complete) {
    if (st.over_cap)
      return GateAgentError{GatePhase::Body, fmt::format("response body longer than {} bytes", body_cap)};
    return GateAgentError{GatePhase::Body, client_text()};
  }
  if (st.head_too_large) {
    return GateAgentError{GatePhase::BeforeHead, fmt::format("response head longer than {} bytes", st.max_head)};
  }
  return GateAgentError{GatePhase::BeforeHead, client_text()};
}

const GateAgent& gate_agent() {
  // Built once and never freed: blocking jobs may still be calling it while the process exits.
  static const GateAgent* agent = new GateAgent(GateAgentSettings{gate_roots(), gate_proxy_from_env()});
  return *agent;
}

}  // namespace qb
