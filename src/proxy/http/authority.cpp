#include "proxy/http/authority.h"

#include <fmt/format.h>

#include "core/text.h"

namespace qb {

Authority split_authority(std::string_view text) {
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']', 1);
    if (close != std::string_view::npos) {
      Authority a{std::string(text.substr(1, close - 1)), 443};
      const std::string_view rest = text.substr(close + 1);
      if (!rest.empty() && rest.front() == ':') a.port = parse_port(rest.substr(1)).value_or(443);
      return a;
    }
  }
  const std::size_t first = text.find(':');
  if (first == std::string_view::npos) return {std::string(text), 443};
  if (text.find(':', first + 1) != std::string_view::npos) return {std::string(text), 443};
  return {std::string(text.substr(0, first)), parse_port(text.substr(first + 1)).value_or(443)};
}

RequestUrls request_urls(const RequestTarget& target, const std::string& authority) {
  std::string pq;
  if (target.form == TargetForm::Origin || target.form == TargetForm::Absolute) pq = target.path_and_query;
  if (pq.empty() || pq.front() == '?') pq.insert(pq.begin(), '/');
  std::string path(pq.substr(0, pq.find('?')));
  RequestUrls u;
  u.upstream_url = fmt::format("https://{}{}", authority, pq);
  u.lookup_url = fmt::format("https://{}{}", authority, path);
  u.log_url = sanitize_for_log(u.lookup_url);
  return u;
}

}  // namespace qb
