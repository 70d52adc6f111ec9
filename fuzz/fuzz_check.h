// Shared by the fuzz targets: a property check that stops the run with a message, and a way to
// drive one coroutine to its end on a private io_context.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

namespace qb::fuzz {

// abort() rather than a return value: libFuzzer saves the input as a crash.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "property violated at %s:%d: %s\n", file, line, what);
  std::abort();
}

#define QB_FUZZ_CHECK(cond)                                   \
  do {                                                        \
    if (!(cond)) ::qb::fuzz::fail(#cond, __FILE__, __LINE__); \
  } while (0)

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

inline bool holds_crlf_nul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos; }

// The task's value; an escaped exception is a fault in itself.
template <class T>
T run_task(boost::asio::awaitable<T> task) {
  boost::asio::io_context io;
  std::optional<T> out;
  boost::asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T v) {
    if (e) fail("coroutine threw", __FILE__, __LINE__);
    out.emplace(std::move(v));
  });
  io.run();
  if (!out) fail("coroutine did not finish", __FILE__, __LINE__);
  return std::move(*out);
}

}  // namespace qb::fuzz
