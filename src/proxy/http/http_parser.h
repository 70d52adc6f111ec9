// A streaming HTTP/1.1 parser over Beast's basic_parser that keeps the head in a HeaderList
// (Beast's own field container refuses values above 64 KiB by throwing) and copies body bytes
// straight into the reader's buffer. Include only from .cpp files that use Beast.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

#include "proxy/http/http_types.h"

namespace qb {

template <bool isRequest>
class StreamParser final : public boost::beast::http::basic_parser<isRequest> {
 public:
  std::string method;
  std::string target;
  unsigned status = 0;
  std::string reason;
  unsigned version = 11;
  HeaderList headers;
  // The most header fields a head may carry (0: no limit). One more fails the parse with
  // header_limit and sets too_many_fields.
  std::size_t max_fields = 0;
  bool too_many_fields = false;

  // Where the next body bytes go; got() tells how many arrived there.
  void set_output(char* p, std::size_t n) {
    out_ = p;
    size_ = n;
    used_ = 0;
  }
  std::size_t got() const { return used_; }

  // Parses the body bytes already in `in` into the output, without waiting for more; returns got().
  // A parse failure goes into *failure, for the caller's next read to report.
  template <class DynamicBuffer>
  std::size_t put_buffered(DynamicBuffer& in, boost::beast::error_code* failure) {
    while (in.size() > 0 && !this->is_done()) {
      boost::beast::error_code ec;
      const std::size_t used = this->put(in.data(), ec);
      in.consume(used);
      if (ec == boost::beast::http::error::need_buffer || ec == boost::beast::http::error::need_more) break;
      if (ec) {
        *failure = ec;
        break;
      }
      if (used == 0) break;
    }
    return used_;
  }

 private:
  using error_code = boost::beast::error_code;
  using sv = boost::beast::string_view;

  void on_request_impl(boost::beast::http::verb, sv m, sv t, int v, error_code&) override {
    method = std::string(m);
    target = std::string(t);
    version = v == 10 ? 10 : 11;
  }
  void on_response_impl(int code, sv r, int v, error_code&) override {
    status = static_cast<unsigned>(code);
    reason = std::string(r);
    version = v == 10 ? 10 : 11;
  }
  void on_field_impl(boost::beast::http::field, sv name, sv value, error_code& ec) override {
    if (max_fields != 0 && headers.fields().size() >= max_fields) {
      too_many_fields = true;
      ec = boost::beast::http::error::header_limit;
      return;
    }
    headers.add(std::string(name), std::string(value));
  }
  void on_header_impl(error_code&) override {}
  void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) override {}
  std::size_t on_body_impl(sv body, error_code& ec) override { return take(body, ec); }
  void on_chunk_header_impl(std::uint64_t, sv, error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, sv body, error_code& ec) override { return take(body, ec); }
  void on_finish_impl(error_code&) override {}

  std::size_t take(sv body, error_code& ec) {
    std::size_t n = std::min(body.size(), size_ - used_);
    if (n > 0) std::memcpy(out_ + used_, body.data(), n);
    used_ += n;
    if (n < body.size()) ec = boost::beast::http::error::need_buffer;
    return n;
  }

  char* out_ = nullptr;
  std::size_t size_ = 0;
  std::size_t used_ = 0;
};

// The peer ended the connection between messages without a word: a close, not a failure.
inline bool is_quiet_close(const boost::system::error_code& ec) {
  return ec == boost::beast::http::error::end_of_stream || ec == boost::asio::ssl::error::stream_truncated ||
         ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset;
}

}  // namespace qb
