#include "cli/enrol.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

#include <fmt/format.h>

#include "cli/prompt.h"
#include "core/json_strict.h"
#include "core/output.h"
#include "core/text.h"
#include "crypto/codecs.h"
#include "crypto/ids.h"
#include "crypto/node_key.h"
#include "crypto/primitives.h"

namespace qb {
namespace {

constexpr std::string_view kHttps = "https://";

// The code of the first failed check (a catalogue row's, or QB-0028 which has none).
using CheckResult = Result<void, std::string_view>;

std::string_view detail_for_code(std::string_view code) {
  if (code == catalogue::QB_0011.code) return "enrollment blob or key is not base64url";
  if (code == catalogue::QB_0001.code) return "enrollment key must be 32 bytes (base64url of a 256-bit key)";
  if (code == "QB-0028") return "enrollment blob carries an old-form vault id \u2014 mint a new blob";
  if (code == catalogue::QB_0031.code) {
    return "this enrollment blob carries no POP key or a retired X25519 one \u2014 make a new client blob in the "
           "vault and connect again";
  }
  return "enrollment blob did not authenticate \u2014 wrong key or corrupt blob";
}

ProxyError bad_blob(std::string_view detail) {
  const CliError cli(catalogue::QB_2001, std::string(detail));
  return proxy_error_new(codes::QB_5005, fmt::format("bad enrollment blob: {}", cli.debug()));
}

// The decrypted blob's members, in their order. Unknown members are skipped; pop_pub may be null.
enum BlobMember : std::size_t { kAgentId, kL2, kVaultId, kPop, kPopPub, kReplicaHost, kReplicaPub, kMemberCount };
constexpr StringRecordShape::Member kBlobMembers[] = {
    {"agent_id", true, false},     {"l2", true, false},      {"vault_id", true, false},
    {"pop", true, false},          {"pop_pub", false, true}, {"replica_host", false, false},
    {"replica_pub", false, false},
};
constexpr StringRecordShape kBlobRecord{"BlobJson", kBlobMembers, /*deny_unknown=*/false};

// Wipes the member texts when they go: agent_id and l2 are key material.
struct BlobFields {
  std::vector<StringMember> m;
  ~BlobFields() {
    for (auto& s : m) secure_wipe(s.text);
  }
  const StringMember& operator[](BlobMember i) const { return m[i]; }
};

struct Decoded {
  BlobFields fields;
  std::uint64_t vault_id = 0;
  SecretArray<16> agent_id;
  SecretArray<16> l2;
};

Result<Decoded, std::string_view> open_blob(std::string_view blob, std::string_view key) {
  auto key_bytes = decode_enrolment_token(key);
  if (!key_bytes) return key_bytes.error().code;
  if (key_bytes->size() != 32) return catalogue::QB_0001.code;

  auto sealed = decode_enrolment_token(blob);
  if (!sealed) return sealed.error().code;
  // Whatever the opening says, the answer is one: not authentic.
  auto plain = aead_decrypt(key_bytes->span(), sealed->span());
  if (!plain) return catalogue::QB_0012.code;

  auto members = parse_string_record(plain->text(), kBlobRecord);
  if (!members) return catalogue::QB_0012.code;
  Decoded d;
  d.fields.m = std::move(*members);
  const BlobFields& f = d.fields;

  const std::string_view pop_pub = trim_ws(f[kPopPub].text);
  if (!f[kPopPub].present || pop_pub.empty() || pop_pub.size() == 64) return catalogue::QB_0031.code;
  if (!is_channel_key_hex(pop_pub)) return catalogue::QB_0012.code;
  const std::string_view replica_pub = trim_ws(f[kReplicaPub].text);
  if (!replica_pub.empty() && !is_channel_key_hex(replica_pub)) return catalogue::QB_0012.code;

  auto agent_id = decode_hex16(f[kAgentId].text);
  if (!agent_id) return agent_id.error().code;
  auto l2 = decode_hex16(f[kL2].text);
  if (!l2) return l2.error().code;
  auto vault_id = parse_hex_id(f[kVaultId].text);
  if (!vault_id) return std::string_view("QB-0028");
  d.agent_id = *agent_id;
  d.l2 = *l2;
  d.vault_id = *vault_id;
  return d;
}

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view strip_trailing_slashes(std::string_view s) {
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return s;
}

std::string_view host_of(std::string_view url) { return url.starts_with(kHttps) ? url.substr(kHttps.size()) : url; }

ProxyResult<void> confirm_at_terminal(std::string_view host, std::string_view replica_host) {
  const std::string shown = sanitize_for_log(host);
  std::string text = fmt::format(
      "\n  This token enrolls the agent against vault:\n\n      {}\n\n"
      "  Your key authenticated the blob \u2014 NOT this host. If you did not get\n"
      "  this blob from your own vault operator, answering yes hands your\n"
      "  agent's credential resolution to whoever did.\n",
      shown);
  if (!replica_host.empty()) {
    text +=
        fmt::format("  Gate calls can also fail over to the replica it names: {}\n", sanitize_for_log(replica_host));
  }
  text += fmt::format("  Enroll against {}? [yes/no] ", shown);
  write_stderr(text);

  auto line = stdin_reader().read_line();
  if (!line) return stdin_read_error(line.error());
  if (!is_utf8(line->text())) {
    return stdin_not_utf8_error();
  }
  const std::string_view answer = trim_ws(line->text());
  if (iequals_ascii(answer, "yes") || iequals_ascii(answer, "y")) return {};
  return proxy_error_new(codes::QB_5005,
                         fmt::format("enrollment declined; nothing was written. Vault '{}' was not trusted.", shown));
}

ProxyResult<void> confirm_from_env(std::string_view host) {
  const std::string shown = sanitize_for_log(host);
  const char* raw = std::getenv("QUORBELT_PROXY_CONFIRM_VAULT");
  if (raw == nullptr || !is_utf8(raw)) {
    return proxy_error_new(
        codes::QB_5005,
        fmt::format("refusing to enroll non-interactively without confirming the vault host. This blob would bind "
                    "the agent to '{}', which the key does not vouch for. If that is your vault, re-run with "
                    "QUORBELT_PROXY_CONFIRM_VAULT='{}'.",
                    shown, shown));
  }
  const std::string_view said = trim_ws(raw);
  if (iequals_ascii(said, host)) return {};
  return proxy_error_new(
      codes::QB_5005,
      fmt::format("refusing to enroll: the token names vault host '{}' but QUORBELT_PROXY_CONFIRM_VAULT says '{}'. "
                  "If '{}' is genuinely your vault, set QUORBELT_PROXY_CONFIRM_VAULT to it; if it is not, the token "
                  "is not from your vault \u2014 do not use it.",
                  shown, sanitize_for_log(said), shown));
}

}  // namespace

std::string base_url_from_host(std::string_view host) {
  return fmt::format("https://{}", strip_trailing_slashes(trim_ws(host)));
}

ProxyResult<Config> config_from_enrolment(std::string_view blob, std::string_view key) {
  if (trim_ws(key).empty()) return proxy_error_new(codes::QB_5005, "enrollment key is required");
  auto d = open_blob(blob, key);
  if (!d) return bad_blob(detail_for_code(d.error()));
  const BlobFields& f = d->fields;

  const std::string_view pop = trim_ws(f[kPop].text);
  if (pop.empty() || pop.find('\n') != std::string_view::npos)
    return bad_blob("enrollment blob carried an empty pop/host");

  Config cfg;
  cfg.vault_url = base_url_from_host(f[kPop].text);
  cfg.vault_gate_pub = lower_ascii(trim_ws(f[kPopPub].text));
  const std::string_view replica_host = strip_trailing_slashes(trim_ws(f[kReplicaHost].text));
  if (!replica_host.empty()) {
    cfg.replica_url = base_url_from_host(replica_host);
    cfg.replica_gate_pub = std::string(trim_ws(f[kReplicaPub].text));
  }
  cfg.vault_id = Hex16(d->vault_id).str();
  cfg.agent_id = encode_hex(d->agent_id.span());
  cfg.l2 = encode_hex(d->l2.span());
  SecretArray<16> device;
  if (auto ok = random_bytes(device.span()); !ok) return bad_blob(fmt::format("RNG failure: {}", ok.error().debug()));
  cfg.device_id = encode_hex(device.span());
  return cfg;
}

ProxyResult<void> confirm_vault_host(std::string_view host, std::string_view replica_host) {
  if (::isatty(0) == 1) return confirm_at_terminal(host, replica_host);
  return confirm_from_env(host);
}

ProxyResult<void> enrol_into(const std::filesystem::path& config_file) {
  const std::string shown_path = path_text(config_file);
  struct stat st {};
  if (::stat(config_file.c_str(), &st) == 0) {
    return proxy_error_new(codes::QB_5006, fmt::format("{} already exists; delete it to re-initialize", shown_path));
  }
  if (::lstat(config_file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    return proxy_error_new(codes::QB_5003, fmt::format("{} is a symlink; refusing to write through it", shown_path));
  }

  QB_TRY(auto blob, prompt_secret("Paste enrollment blob, then press Enter:"));
  QB_TRY(auto key, prompt_secret("Enrollment key:"));

  auto cfg = config_from_enrolment(blob.text(), key.text());
  blob.clear();
  key.clear();
  if (!cfg) return cfg.error();

  const std::string_view replica_host = cfg->replica_url.empty() ? std::string_view() : host_of(cfg->replica_url);
  QB_TRY_VOID(confirm_vault_host(host_of(cfg->vault_url), replica_host));
  if (!replica_host.empty() && ::isatty(0) != 1) {
    write_stderr(
        fmt::format("WARNING: gate calls of this agent can fail over to the replica host '{}' named by "
                    "the blob\n",
                    sanitize_for_log(replica_host)));
  }

  if (auto ok = write_config_atomic(config_file, *cfg); !ok) {
    return proxy_error_new(codes::QB_5003, ok.error().display());
  }

  write_stdout(fmt::format("Enrolled against vault {}\n", sanitize_for_log(cfg->vault_url)));
  if (!cfg->replica_url.empty()) write_stdout(fmt::format("Replica {}\n", sanitize_for_log(cfg->replica_url)));
  write_stdout(fmt::format("Vault ID {}\n", sanitize_for_log(cfg->vault_id)));
  write_stdout(fmt::format("Config {}\n", shown_path));
  write_stdout("Try: quorbelt-proxy ca > ca.pem   then   quorbelt-proxy serve\n");
  return {};
}

}  // namespace qb
