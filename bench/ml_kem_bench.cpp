// ML-KEM-768 timings (reported, never asserted).
#include <benchmark/benchmark.h>

#include "crypto/ml_kem768.h"

namespace {

namespace kem = qb::mlkem768;

kem::KeyPair fresh_keys(benchmark::State& state) {
  auto kp = kem::keygen();
  if (!kp) {
    state.SkipWithError("key generation failed");
    return kem::KeyPair{};
  }
  return *kp;
}

void BM_MlKem768KeyGen(benchmark::State& state) {
  for (auto _ : state) {
    auto kp = kem::keygen();
    benchmark::DoNotOptimize(kp);
  }
}
BENCHMARK(BM_MlKem768KeyGen);

void BM_MlKem768Encapsulate(benchmark::State& state) {
  const kem::KeyPair kp = fresh_keys(state);
  for (auto _ : state) {
    auto enc = kem::encapsulate(kp.ek);
    benchmark::DoNotOptimize(enc);
  }
}
BENCHMARK(BM_MlKem768Encapsulate);

// Decapsulation runs the same work whether the ciphertext is genuine or rejected.
void BM_MlKem768Decapsulate(benchmark::State& state) {
  const kem::KeyPair kp = fresh_keys(state);
  auto enc = kem::encapsulate(kp.ek);
  if (!enc) {
    state.SkipWithError("encapsulation failed");
    return;
  }
  kem::Ciphertext c = enc->ciphertext;
  if (state.range(0) != 0) c[0] ^= 1;
  for (auto _ : state) {
    auto k = kem::decapsulate(kp.dk, c);
    benchmark::DoNotOptimize(k);
  }
}
BENCHMARK(BM_MlKem768Decapsulate)->ArgName("tampered")->Arg(0)->Arg(1);

}  // namespace
