// Leaf certificate minting (cache miss) and the cached look-up, as a tunnel's set-up pays them.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "proxy/intercept/ca.h"

namespace {

std::shared_ptr<qb::CaState> bench_ca() {
  static std::shared_ptr<qb::CaState> ca = [] {
    char dir[] = "/tmp/qb-leaf-bench-XXXXXX";
    std::shared_ptr<qb::CaState> out;
    if (::mkdtemp(dir) == nullptr) return out;
    auto r = qb::load_or_create_ca(dir);
    if (r) out = *r;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return out;
  }();
  return ca;
}

void BM_MintFreshLeaf(benchmark::State& state) {
  auto ca = bench_ca();
  if (!ca) {
    state.SkipWithError("no CA");
    return;
  }
  std::size_t i = 0;
  for (auto _ : state) {
    // A new host each time, so every call mints (the cache holds the ones before).
    auto leaf = qb::mint_leaf_blocking(*ca, fmt::format("h{}.bench.test", i++));
    if (!leaf) state.SkipWithError("minting failed");
    benchmark::DoNotOptimize(leaf);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_MintFreshLeaf)->Unit(benchmark::kMicrosecond);

void BM_CachedLeaf(benchmark::State& state) {
  auto ca = bench_ca();
  if (!ca || !qb::mint_leaf_blocking(*ca, "cached.bench.test")) {
    state.SkipWithError("no CA");
    return;
  }
  for (auto _ : state) {
    auto leaf = qb::mint_leaf_blocking(*ca, "cached.bench.test");
    benchmark::DoNotOptimize(leaf);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_CachedLeaf)->Unit(benchmark::kMicrosecond);

}  // namespace
