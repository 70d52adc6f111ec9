#include "vault/field_decrypt.h"

#include <cstdint>
#include <exception>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/runtime_async.h"
#include "core/text.h"
#include "crypto/codecs.h"
#include "crypto/primitives.h"

namespace qb {
namespace {

constexpr std::string_view kInfoPrefix = "quorbelt-field-";
constexpr std::size_t kFieldKeyLen = 32;

ProxyError decrypt_error(std::string_view label, const QuorbeltError& err) {
  return ProxyError{codes::QB_5036, fmt::format("decrypt {}: {}", label, err.debug())};
}

ProxyError task_error(std::string_view what) {
  return ProxyError{codes::QB_5036, fmt::format("decrypt task: {}", what)};
}

}  // namespace

ProxyResult<SecretString> run_field_decrypt(FieldDecryptJob job) {
  auto sealed = decode_base64(job.ciphertext);
  if (!sealed) return decrypt_error(job.label, catalogue::QB_0002);

  std::vector<std::uint8_t> info;
  info.reserve(kInfoPrefix.size() + job.label.size());
  info.insert(info.end(), kInfoPrefix.begin(), kInfoPrefix.end());
  info.insert(info.end(), job.label.begin(), job.label.end());
  // Key and plaintext are wiping buffers; the l2 copy goes with the job.
  const SecretBytes key = hkdf_sha256(job.l2.span(), std::nullopt, info, kFieldKeyLen);

  auto plain = aead_decrypt(key.span(), *sealed);
  if (!plain) return decrypt_error(job.label, plain.error());
  if (!check_utf8(plain->text())) return decrypt_error(job.label, catalogue::QB_0006);
  return SecretString(plain->text());
}

boost::asio::awaitable<ProxyResult<SecretString>> spawn_field_decrypt(BlockingPool& pool, FieldDecryptJob job) {
  // An exception must not escape onto a pool thread; it is reported as the job's failure.
  auto work = [job = std::move(job)]() mutable -> ProxyResult<SecretString> {
    try {
      return run_field_decrypt(std::move(job));
    } catch (const std::exception& e) {
      return task_error(fmt::format("task panicked with message {}", debug_quote(e.what())));
    } catch (...) {
      return task_error("task panicked");
    }
  };
  co_return co_await spawn_blocking(pool, std::move(work));
}

}  // namespace qb
