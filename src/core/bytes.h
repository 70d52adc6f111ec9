// Text seen as the bytes it is made of, for the byte interfaces of the crypto and codec layers.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace qb {

// No copy: the view lives as long as the text.
inline std::span<const std::uint8_t> as_bytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace qb
