#include "proxy/intercept/ca_pem.h"

#include <optional>

#include <fmt/format.h>

#include "core/bytes.h"
#include "crypto/codecs.h"

namespace qb {
namespace {

std::string_view trim_ascii(std::string_view s) {
  const auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
  while (!s.empty() && ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && ws(s.back())) s.remove_suffix(1);
  return s;
}

ProxyError malformed(std::string_view step, std::string_view what) {
  return proxy_error_new(codes::QB_5008, fmt::format("{}: {}", step, what));
}

}  // namespace

SecretBytes pem_encode(std::string_view label, std::span<const std::uint8_t> der) {
  std::string b64 = encode_base64(der);
  const std::string begin = fmt::format("-----BEGIN {}-----\n", label);
  const std::string end = fmt::format("-----END {}-----\n", label);
  SecretBytes out;
  out.reserve(begin.size() + b64.size() + b64.size() / 64 + 1 + end.size());
  out.append(as_bytes(begin));
  for (std::size_t i = 0; i < b64.size(); i += 64) {
    out.append(as_bytes(std::string_view(b64).substr(i, 64)));
    out.push_back('\n');
  }
  out.append(as_bytes(end));
  secure_wipe(b64);
  return out;
}

ProxyResult<std::optional<PemSection>> pem_first_section(std::string_view text, std::string_view step,
                                                         std::string_view label) {
  std::string current;
  bool inside = false;
  SecretBytes body;
  body.reserve(text.size());
  std::size_t line_no = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    const std::string_view line = trim_ascii(text.substr(pos, nl - pos));
    pos = nl + 1;
    ++line_no;
    if (!inside) {
      if (line.size() >= 16 && line.starts_with("-----BEGIN ") && line.ends_with("-----")) {
        current = std::string(line.substr(11, line.size() - 16));
        inside = true;
        body.clear();
      }
      continue;
    }
    if (line.starts_with("-----END ")) {
      if (line != fmt::format("-----END {}-----", current)) {
        return malformed(step, fmt::format("line {}: section end \"-----END {}-----\" expected", line_no, current));
      }
      auto der = decode_base64(body.text());
      if (!der) {
        return malformed(step,
                         fmt::format("base64 decode error in the \"{}\" section: {}", current, der.error().display()));
      }
      SecretBytes bytes{std::span<const std::uint8_t>(*der)};
      secure_wipe(*der);
      if (label.empty() || label == current) return std::optional<PemSection>(PemSection{current, std::move(bytes)});
      inside = false;
      continue;
    }
    body.append(as_bytes(line));
  }
  if (inside) return malformed(step, fmt::format("section end \"-----END {}-----\" missing", current));
  return std::optional<PemSection>();
}

}  // namespace qb
