// "init": binds this proxy to a vault from an enrolment blob and key.
//
// The blob is base64url of nonce(12) || AES-256-GCM ciphertext || tag(16) under the 32-byte key;
// its plaintext is a JSON object with agent_id, l2, vault_id, pop, pop_pub and optionally
// replica_host and replica_pub. The key authenticates the blob, not the host it names, so the user
// confirms the vault host before anything is written.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "cli/config.h"
#include "core/errors.h"

namespace qb {

// "https://" and the host, trimmed of white space and of every trailing "/".
std::string base_url_from_host(std::string_view host);

// Steps from the two secrets to the Config: key and blob decoded, the blob opened and read, its
// members checked, a fresh device_id drawn. Refusals are QB-5005 "enrollment key is required" or
// "bad enrollment blob: {debug of a QB-2001 CliError}".
ProxyResult<Config> config_from_enrolment(std::string_view blob, std::string_view key);

// At a terminal: the warning on standard error and a yes/no answer from standard input. Off a
// terminal: QUORBELT_PROXY_CONFIRM_VAULT must name the host (ASCII case ignored, trimmed). A
// non-empty replica_host is named too, since gate calls fail over to it.
ProxyResult<void> confirm_vault_host(std::string_view host, std::string_view replica_host = {});

// The whole enrolment into the configuration file at config_file, once the executable's directory
// has been checked: refuses an existing file or a symbolic link there before reading anything.
ProxyResult<void> enrol_into(const std::filesystem::path& config_file);

}  // namespace qb
