// read_msg2 on an initiator state made by write_msg1 to a fixed responder key: arbitrary bytes
// never open, a real reply opens to its payload, and any changed byte of it is refused.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "crypto/ml_kem768.h"
#include "crypto/noise.h"
#include "crypto/noise_responder.h"
#include "fuzz_check.h"

namespace {

using namespace qb;
using namespace qb::noise;

template <std::size_t N>
std::array<std::uint8_t, N> filled(std::uint8_t b) {
  std::array<std::uint8_t, N> a;
  a.fill(b);
  return a;
}

const ResponderKeys& keys() {
  static const ResponderKeys* k = [] {
    const auto d = filled<32>(0x21), z = filled<32>(0x22), s = filled<32>(0x23);
    auto kp = mlkem768::keygen_internal(d, z);
    auto made = make_responder_keys(s, kp);
    if (!made) fuzz::fail("responder keys", __FILE__, __LINE__);
    return new ResponderKeys(std::move(*made));
  }();
  return *k;
}

Msg1 first_message() {
  static const auto s = filled<32>(0x31), e = filled<32>(0x32), m = filled<32>(0x33);
  static const std::uint8_t payload[] = {0x10, '{', '}'};
  auto m1 = qb::noise::detail::write_msg1_with(keys().pub, s, payload, e, m);
  if (!m1) fuzz::fail("write_msg1", __FILE__, __LINE__);
  return std::move(*m1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 65536) return 0;
  ByteView input(data, size);

  {
    Msg1 m1 = first_message();
    auto r = read_msg2(std::move(m1.state), input);
    QB_FUZZ_CHECK(!r);
    if (size < kMsg2MinLen) {
      QB_FUZZ_CHECK(r.error().code == "QB-0010");
    } else if (data[0] != 0x04) {
      // Only an uncompressed point is a point here.
      QB_FUZZ_CHECK(r.error().code == "QB-0027");
    } else {
      QB_FUZZ_CHECK(r.error().code == "QB-0027" || r.error().code == "QB-0003");
    }
    QB_FUZZ_CHECK(!m1.state.symmetric().has_key());
  }

  // The input as the reply payload of a real exchange.
  Msg1 m1 = first_message();
  auto opened = read_msg1(keys(), m1.bytes);
  QB_FUZZ_CHECK(opened);
  static const auto e2 = filled<32>(0x41);
  auto m2 = qb::noise::detail::write_msg2_with(std::move(opened->state), input, e2);
  QB_FUZZ_CHECK(m2 && m2->size() == size + kMsg2MinLen);
  std::vector<std::uint8_t> changed = *m2;

  auto got = read_msg2(std::move(m1.state), *m2);
  QB_FUZZ_CHECK(got);
  QB_FUZZ_CHECK(std::equal(got->begin(), got->end(), input.begin(), input.end()));

  Msg1 again = first_message();
  std::size_t at = size == 0 ? 0 : (data[0] * 257u + size) % changed.size();
  changed[at] ^= 0x01;
  auto refused = read_msg2(std::move(again.state), changed);
  QB_FUZZ_CHECK(!refused);
  return 0;
}
