// Internals of ML-KEM-768 that tests reach directly; not for use outside the KEM.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qb::mlkem768::detail {

inline constexpr int kN = 256;
inline constexpr std::int16_t kQ = 3329;
using Poly = std::array<std::int16_t, kN>;

// SHAKE128 output taken by SampleNTT at first: 4 blocks of 168 bytes.
inline constexpr std::size_t kSampleFirstBytes = 4 * 168;

// SampleNTT over SHAKE128(seed), where seed is rho || two index bytes. first_bytes is the output
// length tried first; the result does not depend on it.
void sample_ntt(Poly& out, std::span<const std::uint8_t, 34> seed, std::size_t first_bytes = kSampleFirstBytes);

}  // namespace qb::mlkem768::detail
