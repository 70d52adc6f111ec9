#include "cli/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>

#include <fmt/format.h>

#include "cli/install_dir.h"
#include "core/bytes.h"
#include "core/owner_file.h"
#include "core/text.h"
#include "crypto/codecs.h"
#include "crypto/ids.h"
#include "crypto/primitives.h"

namespace qb {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'Q', 'R', 'B', '1'};
constexpr std::size_t kMacLen = 16;
constexpr std::size_t kSealedOffset = 4 + kMacLen;

constexpr StringRecordShape::Member kMembers[] = {
    {"vault_url", true, false},    {"vault_gate_pub", false, false},
    {"replica_url", false, false}, {"replica_gate_pub", false, false},
    {"vault_id", true, false},     {"agent_id", true, false},
    {"l2", true, false},           {"device_id", true, false},
};
void wipe_text(std::string& s) noexcept { secure_wipe(s); }
constexpr StringRecordShape kConfigShape{"Config", kMembers, true, wipe_text};

void append(SecretBytes& out, std::string_view s) { out.append(as_bytes(s)); }

// serde_json's string escaping: quote, backslash and control characters only.
void append_json_string(SecretBytes& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        append(out, "\\\"");
        break;
      case '\\':
        append(out, "\\\\");
        break;
      case '\b':
        append(out, "\\b");
        break;
      case '\f':
        append(out, "\\f");
        break;
      case '\n':
        append(out, "\\n");
        break;
      case '\r':
        append(out, "\\r");
        break;
      case '\t':
        append(out, "\\t");
        break;
      default:
        if (c < 0x20) {
          const char esc[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
          append(out, std::string_view(esc, sizeof esc));
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

CliError write_error(std::string detail) { return CliError(catalogue::QB_2002, std::move(detail)); }

ProxyError mode_error(const std::string& p, mode_t mode) {
  return proxy_error_new(
      codes::QB_5009, fmt::format("{} is group/other-accessible (mode {:o}); it holds the agent key. Fix: chmod 600 {}",
                                  p, mode & 0777, p));
}

// Everything after the path and mode checks; errors are the catalogue rows the serve start-up wraps.
CliResult<Config> read_and_check(int fd, const std::string& p) {
  SecretBytes file;
  std::array<std::uint8_t, 8192> buf{};
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      secure_wipe(buf.data(), buf.size());
      return CliError(catalogue::QB_2003, fmt::format("reading {}: {}", p, os_error_text(err)));
    }
    if (n == 0) break;
    file.append(std::span<const std::uint8_t>(buf.data(), static_cast<std::size_t>(n)));
  }
  secure_wipe(buf.data(), buf.size());

  auto json = unseal_config(file.span());
  if (!json) return CliError(catalogue::QB_2004, fmt::format("config decrypt failed: {}", json.error().display()));
  auto cfg = parse_config_json(json->text());
  if (!cfg) return CliError(catalogue::QB_2004, fmt::format("config JSON parse: {}", cfg.error().display()));

  if (auto id = parse_hex_id(cfg->vault_id); !id) {
    return CliError(
        catalogue::QB_2004,
        fmt::format("vault_id is not a 16-hex vault id ({}); a config from before the id change: enrol again",
                    display(id.error())));
  }
  QB_TRY_VOID(decode_hex_field(cfg->l2, "l2"));
  QB_TRY_VOID(decode_hex_field(cfg->agent_id, "agent_id"));
  QB_TRY_VOID(decode_hex_field(cfg->device_id, "device_id"));
  return std::move(*cfg);
}

}  // namespace

Config::~Config() {
  for (std::string* s :
       {&vault_url, &vault_gate_pub, &replica_url, &replica_gate_pub, &vault_id, &agent_id, &l2, &device_id}) {
    secure_wipe(*s);
  }
}

CliResult<SecretBytes> encode_config_json(const Config& cfg) {
  const std::pair<std::string_view, const std::string*> members[] = {
      {"vault_url", &cfg.vault_url},
      {"vault_gate_pub", &cfg.vault_gate_pub},
      {"replica_url", &cfg.replica_url},
      {"replica_gate_pub", &cfg.replica_gate_pub},
      {"vault_id", &cfg.vault_id},
      {"agent_id", &cfg.agent_id},
      {"l2", &cfg.l2},
      {"device_id", &cfg.device_id},
  };
  SecretBytes out;
  // Room for everything up front, so the buffer never reallocates while it holds key material.
  std::size_t room = 2;
  for (const auto& [name, value] : members) room += name.size() + value->size() * 6 + 6;
  out.reserve(room);
  out.push_back('{');
  bool first = true;
  for (const auto& [name, value] : members) {
    if (value->empty() && (name == "replica_url" || name == "replica_gate_pub")) continue;
    // A text that is not UTF-8 would make a file that no reader accepts.
    if (auto ok = check_utf8(*value); !ok) {
      return write_error(fmt::format("encoding config JSON: {} in {}", ok.error().display(), name));
    }
    if (!first) out.push_back(',');
    first = false;
    append_json_string(out, name);
    out.push_back(':');
    append_json_string(out, *value);
  }
  out.push_back('}');
  return out;
}

Result<Config, JsonError> parse_config_json(std::string_view json) {
  QB_TRY(auto m, parse_string_record(json, kConfigShape));
  Config cfg{std::move(m[0].text), std::move(m[1].text), std::move(m[2].text), std::move(m[3].text),
             std::move(m[4].text), std::move(m[5].text), std::move(m[6].text), std::move(m[7].text)};
  return cfg;
}

CryptoResult<SecretBytes> unseal_config(std::span<const std::uint8_t> file) {
  if (file.size() < kConfigHeaderLen) return catalogue::QB_0008;
  if (!std::equal(kMagic.begin(), kMagic.end(), file.begin())) return catalogue::QB_0009;
  const auto sealed = file.subspan(kSealedOffset);
  {
    const SecretArray<16> mac_key = derive_config_mac_key();
    const HmacTag tag = hmac_sha256(mac_key.span(), sealed);
    if (!digest_eq(ByteView(tag.data(), kMacLen), file.subspan(4, kMacLen))) return catalogue::QB_0003;
  }
  const SecretArray<16> key = derive_config_key();
  return aead_decrypt(key.span(), sealed);
}

CliResult<std::vector<std::uint8_t>> seal_config(const Config& cfg) {
  QB_TRY(auto json, encode_config_json(cfg));
  CryptoResult<std::vector<std::uint8_t>> sealed = [&] {
    const SecretArray<16> key = derive_config_key();
    return aead_encrypt(key.span(), json.span());
  }();
  json.clear();
  if (!sealed) return write_error("QRB1 pack failed");

  const SecretArray<16> mac_key = derive_config_mac_key();
  const HmacTag tag = hmac_sha256(mac_key.span(), *sealed);
  std::vector<std::uint8_t> out;
  out.reserve(kSealedOffset + sealed->size());
  out.insert(out.end(), kMagic.begin(), kMagic.end());
  out.insert(out.end(), tag.begin(), tag.begin() + kMacLen);
  out.insert(out.end(), sealed->begin(), sealed->end());
  return out;
}

ProxyResult<Config> open_config(const std::filesystem::path& path) {
  const std::string p = path_text(path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    return proxy_error_new(codes::QB_5009,
                           fmt::format("{} is a symlink \u2014 refuse to follow it (holds the agent key)", p));
  }
  if (::stat(path.c_str(), &st) != 0) {
    return proxy_error_new(codes::QB_5001, fmt::format("{} not found. Run: quorbelt-proxy init", p));
  }
  if (::lstat(path.c_str(), &st) != 0) {
    return proxy_error_new(codes::QB_5009, fmt::format("stat {}: {}", p, os_error_text(errno)));
  }
  if (S_ISLNK(st.st_mode)) return proxy_error_new(codes::QB_5009, fmt::format("{} is a symlink \u2014 refuse", p));
  if ((st.st_mode & 077) != 0) return mode_error(p, st.st_mode);

  // O_NONBLOCK: a FIFO at the path must be refused, not waited on.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    return proxy_error_from_config(
        CliError(catalogue::QB_2003, fmt::format("opening {}: {}", p, os_error_text(errno))));
  }
  // The file read is judged again through its descriptor, in case the path changed under us.
  if (::fstat(fd.get(), &st) != 0) {
    return proxy_error_new(codes::QB_5009, fmt::format("stat {}: {}", p, os_error_text(errno)));
  }
  if (!S_ISREG(st.st_mode)) {
    return proxy_error_new(codes::QB_5009, fmt::format("{} is not a regular file \u2014 refuse", p));
  }
  if ((st.st_mode & 077) != 0) return mode_error(p, st.st_mode);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);

  auto cfg = read_and_check(fd.get(), p);
  if (!cfg) return proxy_error_from_config(cfg.error());
  return std::move(*cfg);
}

CliResult<void> write_config_atomic(const std::filesystem::path& path, const Config& cfg) {
  if (auto parent = parent_of(path); parent && !parent->empty()) {
    std::error_code ec;
    std::filesystem::create_directories(*parent, ec);
    if (ec) return write_error(fmt::format("creating {} failed: {}", path_text(*parent), os_error_text(ec.value())));
    struct stat st {};
    if (::lstat(parent->c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      return write_error(
          fmt::format("config parent {} is a symlink \u2014 refuse to write through it", path_text(*parent)));
    }
  }

  QB_TRY(auto sealed, seal_config(cfg));

  const auto parent = parent_of(path);
  if (!parent) return write_error("config path has no parent");
  // The last component, trailing slashes ignored as parent_of ignores them.
  std::string name = path.native();
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  if (const auto slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
  if (name.empty() || name == "." || name == ".." || !is_utf8(name)) name = "config";
  const std::filesystem::path tmp = *parent / fmt::format(".{}.tmp", name);

  const std::filesystem::path dir = parent->empty() ? std::filesystem::path(".") : *parent;
  if (auto w = write_file_atomic(tmp, path, dir, sealed); !w) {
    switch (w.error().step) {
      case FileStep::Open:
        return write_error(fmt::format("creating temp config: {}", w.error().text));
      case FileStep::Rename:
        return write_error(fmt::format("renaming temp config to {}: {}", path_text(path), w.error().text));
      default:
        return write_error(fmt::format("writing temp config: {}", w.error().text));
    }
  }
  return {};
}

}  // namespace qb
