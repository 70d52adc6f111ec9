// One gate call (Noise handshake with ML-KEM, HTTPS POST, reply opened) to a local test gate,
// from one thread and from several at once, as the proxy's request tasks make them.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "support/test_gate.h"
#include "vault/gate_call.h"
#include "vault/gate_rpc.h"

namespace {

std::string token() {
  static const std::string t = [] {
    const std::uint8_t l1[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::uint8_t agent[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    auto r = qb::mint_wire_token(l1, agent, 42);
    return r ? *r : std::string();
  }();
  return t;
}

qb::test::TestGate& gate() {
  static std::unique_ptr<qb::test::TestGate> g = [] {
    auto out = std::make_unique<qb::test::TestGate>();
    out->set_answer("search.query",
                    qb::test::answer_result(R"([{"entry_id":"e1","title":"api","data":{"fields":[{"label":"token",)"
                                            R"("value":"s3cret-value","tier":1}],"urls":["https://127.0.0.1"]}}])"));
    return out;
  }();
  return *g;
}

void BM_GateRpc(benchmark::State& state) {
  auto& g = gate();
  const nlohmann::json params = {{"exact", true}, {"q", "api"}};
  for (auto _ : state) {
    auto r = qb::gate_rpc("search.query", token(), params, g.url(), g.node_pub().bytes, qb::test::test_gate_agent());
    if (!r) {
      state.SkipWithError(r.error().display().c_str());
      break;
    }
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  if (state.thread_index() == 0) {
    state.counters["tls_connections"] = static_cast<double>(g.connection_count());
    state.counters["gate_requests"] = static_cast<double>(g.request_count());
    state.counters["tls_resumed"] = static_cast<double>(g.resumed_connections());
  }
}
BENCHMARK(BM_GateRpc)->Unit(benchmark::kMicrosecond)->UseRealTime()->Threads(1)->Threads(16);

}  // namespace
