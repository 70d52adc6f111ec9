// An HTTPS upstream on 127.0.0.1 for proxy tests: it records what arrives and answers by path.
//   /echo            reads the whole body, answers 200 with a text listing the request (head and
//                    the body's size and SHA-256), plus Set-Cookie, Keep-Alive, Connection headers
//   /stream-echo     answers at once (chunked) and sends the body back as it arrives
//   /download?n=N    N bytes of a fixed pattern, with Content-Length (add &chunked=1 for chunked)
//   /slow-head       sends nothing until release() (or the server stops)
//   /stall-body      a head announcing 1000 bytes and 10 of them, then nothing until release()
//   /early-413       413 at once without reading the body, then closes
// HEAD requests get the head that GET would have, without a body.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/https_test_server.h"

namespace qb::test {

struct EchoRecord {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;
  std::size_t body_size = 0;
  std::string body_sha256;     // lower-case hex
  std::size_t connection = 0;  // 1 for the first connection accepted, and so on

  bool has_header(std::string_view name) const;
  std::string header(std::string_view name) const;  // first value, "" when absent
};

struct EchoOptions {
  // Closes a connection that stays idle this long between requests (0: never).
  std::chrono::milliseconds idle_close{0};
};

class EchoUpstream {
 public:
  explicit EchoUpstream(const TestCert& leaf, EchoOptions options = {});
  ~EchoUpstream();
  EchoUpstream(const EchoUpstream&) = delete;
  EchoUpstream& operator=(const EchoUpstream&) = delete;

  std::uint16_t port() const;
  std::vector<EchoRecord> requests() const;
  std::size_t connections() const;
  // Lets /slow-head and /stall-body go on.
  void release();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// The bytes /download?n=N sends, and the SHA-256 (hex) of any text.
std::string download_pattern(std::size_t n);
std::string sha256_hex(std::string_view data);

}  // namespace qb::test
