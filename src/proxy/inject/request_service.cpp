#include "proxy/inject/request_service.h"

#include "core/output.h"
#include "proxy/http/authority.h"
#include "proxy/inject/inject.h"

namespace qb {

namespace asio = boost::asio;

asio::awaitable<ServiceDecision> VaultRequestService::decide(IncomingRequest& req,
                                                             const std::string& connect_authority) {
  RequestUrls urls = request_urls(req.parsed, connect_authority);

  RequestHead head;
  head.method = req.method;
  // A CONNECT inside the tunnel names its target in authority form; it is checked like any other.
  if (req.parsed.form == TargetForm::Absolute || req.parsed.form == TargetForm::Authority) {
    head.target_authority = std::string(req.parsed.host_port());
  }
  if (req.parsed.form == TargetForm::Origin || req.parsed.form == TargetForm::Absolute) {
    head.path_and_query = req.parsed.path_and_query;
  }
  head.headers.reserve(req.headers.fields().size());
  for (auto& f : req.headers.fields()) head.headers.push_back(HeadField{std::move(f.name), std::move(f.value)});

  auto task = prepare_request(*vault_, connect_authority, urls.lookup_url, urls.log_url, head);
  InjectOutcome outcome = co_await std::move(task);
  if (!outcome.forward) {
    if (!outcome.log_line.empty()) write_stderr(outcome.log_line);
    co_return ServiceDecision(static_error_response(outcome.status, outcome.error_text));
  }

  ForwardRequest f;
  f.method = std::move(req.method);
  f.version = req.version;
  // Whole fields, so a value that carries a credential keeps its wipe on release.
  for (auto& h : head.headers) f.headers.fields().push_back(std::move(h));
  f.body = std::move(req.body);
  f.upstream_url = std::move(urls.upstream_url);
  f.log_url = std::move(urls.log_url);
  co_return ServiceDecision(std::move(f));
}

}  // namespace qb
