// The proxy's only road to the vault: three asynchronous operations, each returning a lazy task.
// Texts are taken by value so a task never refers to its caller's buffers. Under g++ 12, name the
// task before awaiting it (auto task = vault.search(std::move(q)); co_await std::move(task);):
// a temporary argument inside a co_await expression is destroyed twice when the awaiting
// coroutine is dropped while suspended there.
#pragma once

#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "core/errors.h"
#include "vault/records.h"

namespace qb {

class VaultClient {
 public:
  virtual ~VaultClient() = default;

  // Entries whose title equals the query exactly.
  virtual boost::asio::awaitable<ProxyResult<SearchResponse>> search(std::string query) = 0;
  // Entries the vault matches to a request URL, as the vault lists them.
  virtual boost::asio::awaitable<ProxyResult<std::vector<Entry>>> match_url(std::string url) = 0;
  // The plaintext of a tier-2 field value; done locally, no vault round trip.
  virtual boost::asio::awaitable<ProxyResult<SecretString>> decrypt(std::string label, std::string ciphertext) = 0;
};

}  // namespace qb
