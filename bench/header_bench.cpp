// What one request head costs a worker before anything is sent upstream: the parse with the head
// limits, then the passes over its fields (Host check, reference scan and injection, leftover
// check, hop-by-hop strip). The vault answers at once, so only the proxy's own work is measured.
//   ParseAndInjectMaxHead     the largest head the tunnel takes: 100 fields, just under the byte limit
//   ParseRefused              a head at the byte limit of ~70,000 short fields: refused at the 101st
//   InjectManyFields/<n>      the passes alone over many distinct names and one reference, as if
//                             no field cap stood in front of them
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <fmt/format.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "proxy/http/http_parser.h"
#include "proxy/inject/inject.h"
#include "proxy/intercept/tunnel.h"
#include "support/fake_vault.h"

namespace {

namespace asio = boost::asio;

constexpr const char* kHost = "bench.test";
const qb::TunnelLimits kLimits;

qb::test::FakeVault& vault() {
  static qb::test::FakeVault* v = [] {
    auto* f = new qb::test::FakeVault();
    f->add_entry(qb::test::make_entry("api", {"https://bench.test"}, {qb::test::make_field("token", "s3cret")}));
    return f;
  }();
  return *v;
}

// A GET head of `fields` fields (Host and one reference among them) of about `bytes` bytes.
std::string make_head(std::size_t fields, std::size_t bytes) {
  std::string head = fmt::format("GET /v1/items?page=2 HTTP/1.1\r\nHost: {}\r\n", kHost);
  head += "Authorization: Bearer quorbelt://api/token\r\n";
  const std::size_t others = fields - 2;
  const std::size_t room = bytes > head.size() + 2 ? bytes - head.size() - 2 : 0;
  for (std::size_t i = 0; i < others; ++i) {
    std::string name = fmt::format("x{}", i);
    // Line: name ": " value CRLF.
    const std::size_t line = room / others;
    const std::size_t value = line > name.size() + 4 ? line - name.size() - 4 : 1;
    head += name + ": " + std::string(value, 'v') + "\r\n";
  }
  head += "\r\n";
  return head;
}

// A head of `bytes` bytes made of as many distinct three-letter names with empty values as fit.
std::string make_short_head(std::size_t bytes, std::size_t* fields) {
  static constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string head = fmt::format("GET /v1/items HTTP/1.1\r\nHost: {}\r\n", kHost);
  head += "Authorization: Bearer quorbelt://api/token\r\n";
  *fields = 2;
  for (std::size_t i = 0; head.size() + 6 + 2 <= bytes; ++i, ++*fields) {
    const std::size_t n = kAlphabet.size();
    head += kAlphabet[i % n];
    head += kAlphabet[i / n % n];
    head += kAlphabet[i / n / n % n];
    head += ":\r\n";
  }
  head += "\r\n";
  return head;
}

struct Parsed {
  bool ok = false;
  qb::RequestHead head;
};

Parsed parse(const std::string& bytes) {
  qb::StreamParser<true> p;
  p.header_limit(static_cast<std::uint32_t>(kLimits.max_head_bytes));
  p.body_limit(boost::none);
  p.max_fields = kLimits.max_header_fields;
  boost::beast::error_code ec;
  p.put(asio::buffer(bytes), ec);
  Parsed out;
  if (ec || !p.is_header_done()) return out;
  out.ok = true;
  out.head.method = p.method;
  auto target = qb::parse_request_target(p.target);
  if (target) out.head.path_and_query = target->path_and_query;
  for (auto& f : p.headers.fields()) out.head.headers.push_back(qb::HeadField{std::move(f.name), std::move(f.value)});
  return out;
}

asio::awaitable<void> prepare(qb::RequestHead* head, qb::InjectOutcome* out) {
  auto task = qb::prepare_request(vault(), kHost, "https://bench.test/v1/items", "https://bench.test/v1/items", *head);
  *out = co_await std::move(task);
}

// The request service's passes over one head, then the strip the upstream client makes.
bool inject_and_strip(asio::io_context& io, qb::RequestHead& head) {
  qb::InjectOutcome out;
  asio::co_spawn(io, prepare(&head, &out), asio::detached);
  io.restart();
  io.run();
  if (!out.forward) return false;
  qb::HeaderList list;
  for (auto& f : head.headers) list.add(std::move(f.name), std::move(f.value));
  qb::strip_hop_by_hop(list);
  benchmark::DoNotOptimize(list.fields().data());
  return true;
}

void BM_ParseAndInjectMaxHead(benchmark::State& state) {
  const std::string bytes = make_head(kLimits.max_header_fields, kLimits.max_head_bytes - 64);
  asio::io_context io;
  for (auto _ : state) {
    Parsed p = parse(bytes);
    if (!p.ok || p.head.headers.size() != kLimits.max_header_fields) {
      state.SkipWithError("the largest allowed head was refused");
      return;
    }
    if (!inject_and_strip(io, p.head)) {
      state.SkipWithError("injection failed");
      return;
    }
  }
  state.counters["head_bytes"] = static_cast<double>(bytes.size());
}
BENCHMARK(BM_ParseAndInjectMaxHead)->Unit(benchmark::kMicrosecond);

void BM_ParseRefusedManyFields(benchmark::State& state) {
  std::size_t fields = 0;
  const std::string bytes = make_short_head(kLimits.max_head_bytes - 64, &fields);
  for (auto _ : state) {
    Parsed p = parse(bytes);
    if (p.ok) {
      state.SkipWithError("a head over the field cap was taken");
      return;
    }
  }
  state.counters["head_bytes"] = static_cast<double>(bytes.size());
  state.counters["fields"] = static_cast<double>(fields);
}
BENCHMARK(BM_ParseRefusedManyFields)->Unit(benchmark::kMicrosecond);

void BM_InjectManyFields(benchmark::State& state) {
  const auto fields = static_cast<std::size_t>(state.range(0));
  qb::RequestHead base;
  base.method = "GET";
  base.path_and_query = "/v1/items";
  base.headers.push_back({"Host", kHost});
  base.headers.push_back({"Authorization", "Bearer quorbelt://api/token"});
  for (std::size_t i = 2; i < fields; ++i) base.headers.push_back({fmt::format("x{}", i), "v"});
  asio::io_context io;
  for (auto _ : state) {
    state.PauseTiming();
    qb::RequestHead head = base;
    state.ResumeTiming();
    if (!inject_and_strip(io, head)) {
      state.SkipWithError("injection failed");
      return;
    }
  }
}
BENCHMARK(BM_InjectManyFields)->Arg(100)->Arg(65'000)->Unit(benchmark::kMicrosecond);

}  // namespace
