// Coded errors: catalogue rows, catalogue errors with a detail, and proxy errors.
#pragma once

#include <cstdint>
#include <source_location>
#include <string>
#include <string_view>

#include "core/result.h"

namespace qb {

enum class Severity : std::uint8_t { Error = 0, Bug = 1 };
enum class Component : std::uint8_t { Crypto = 0, Vault, Cli, Browser, Mobile, Proxy, Admin, Sync };

std::string_view debug_name(Severity s);
std::string_view debug_name(Component c);

// A catalogue row. Its texts are static; copies are cheap.
struct QuorbeltError {
  std::string_view code;
  std::string_view user_msg;
  std::string_view tech_msg;
  std::string_view resolution;
  Severity severity;
  Component component;

  // Not an aggregate, so that a result of text never mistakes a text for an error.
  constexpr QuorbeltError() : QuorbeltError({}, {}, {}, {}, Severity::Error, Component::Crypto) {}
  constexpr QuorbeltError(std::string_view code_, std::string_view user, std::string_view tech, std::string_view res,
                          Severity sev, Component comp)
      : code(code_), user_msg(user), tech_msg(tech), resolution(res), severity(sev), component(comp) {}

  std::string display() const;
  std::string debug() const;
};

// A catalogue row with a run-time detail.
struct CliError {
  QuorbeltError err;
  std::string detail;

  CliError() = default;
  explicit CliError(QuorbeltError e, std::string d = {}) : err(e), detail(std::move(d)) {}

  std::string display() const;
  std::string debug() const;
};

// What code may decide on about a proxy error; the texts stay for people. Set where the error is
// made, never read back from its text.
enum class ProxyErrorKind : std::uint8_t {
  Other = 0,
  GateUnreachable,  // the gate could not be sent to: "POST /gate: ..."
  GateHttpStatus,   // the gate answered outside 200 to 299: "gate refused handshake (HTTP ...)"
  GateNamedOutage,  // the gate's own error code or message names one of the two failures above
};

// An error of the 5000 series with a detail text.
struct ProxyError {
  std::string_view code;  // "QB-5" and three digits, static
  std::string detail;
  ProxyErrorKind kind = ProxyErrorKind::Other;  // not part of either text

  ProxyError() = default;
  ProxyError(std::string_view c, std::string d, ProxyErrorKind k = ProxyErrorKind::Other)
      : code(c), detail(std::move(d)), kind(k) {}

  std::string display() const;
  std::string debug() const;
};

ProxyError proxy_error_new(std::string_view code, std::string_view detail);
// The gate call's conversion: QB-5050 with the CliError's display text.
ProxyError proxy_error_from_gate(const CliError& e);
// The serve start-up's conversion of configuration errors: QB-5002.
ProxyError proxy_error_from_config(CliError&& e);

// Calling .value() on a failed result is a programming error here; results are checked first.
[[noreturn]] void throw_exception_from_error(const QuorbeltError& e, const boost::source_location& loc);
[[noreturn]] void throw_exception_from_error(const CliError& e, const boost::source_location& loc);
[[noreturn]] void throw_exception_from_error(const ProxyError& e, const boost::source_location& loc);

template <class T>
using ProxyResult = Result<T, ProxyError>;
template <class T>
using CliResult = Result<T, CliError>;
template <class T>
using CryptoResult = Result<T, QuorbeltError>;

namespace catalogue {

#define QB_ROW(name, code, comp, sev, user, tech, res) \
  inline constexpr QuorbeltError name{code, user, tech, res, Severity::sev, Component::comp};

QB_ROW(QB_0001, "QB-0001", Crypto, Error, "Encryption key has an invalid length.",
       "Key must be 16 or 32 bytes (use the _l1 API for 8-byte keys)",
       "This usually means a corrupt config file. Re-initialize with a fresh enrollment token.")
QB_ROW(QB_0002, "QB-0002", Crypto, Error, "Could not read the encrypted data.",
       "Base64 decoding failed on field ciphertext",
       "The encrypted entry may be corrupt. Re-save the entry from the vault UI.")
QB_ROW(QB_0003, "QB-0003", Crypto, Error, "Could not decrypt. The data may be corrupt or the wrong key was used.",
       "AES-GCM authentication tag did not verify",
       "Verify you are using the correct vault and agent token. If the problem persists, the entry may "
       "need to be re-saved by a vault admin.")
QB_ROW(QB_0004, "QB-0004", Crypto, Error, "The token is invalid or corrupt.",
       "Token structure does not match expected QBT format",
       "Re-issue the agent token from the vault UI (Agents page).")
QB_ROW(QB_0005, "QB-0005", Crypto, Bug, "An unexpected internal error occurred.",
       "Internal invariant violated \u2014 this is a bug in Quorbelt",
       "Report this error code to security@quorbelt.io.")
QB_ROW(QB_0006, "QB-0006", Crypto, Error, "Decrypted data is not valid text.",
       "UTF-8 validation failed on decrypted plaintext",
       "The entry may have been corrupted. Re-save the entry from the vault UI.")
QB_ROW(QB_0008, "QB-0008", Crypto, Error, "Config file is corrupt or truncated.",
       "QRB1 file shorter than minimum header size (4 + 16 + 12 + 16 = 48 bytes)",
       "Re-initialize: run 'quorbelt-proxy init' or 'quorbelt-cli init' with a fresh enrollment token.")
QB_ROW(QB_0009, "QB-0009", Crypto, Error, "Config file is not in Quorbelt format.",
       "QRB1 magic bytes do not match \u2014 expected 'QRB1' header",
       "The config file may have been overwritten. Re-initialize with a fresh enrollment token.")
QB_ROW(QB_0010, "QB-0010", Crypto, Error, "Encrypted data is truncated.",
       "AES-GCM ciphertext shorter than nonce(12) + tag(16) = 28 bytes",
       "The encrypted data was corrupted in transit or storage. Re-save the entry.")
QB_ROW(QB_0011, "QB-0011", Crypto, Error, "Enrollment token contains invalid characters.",
       "Enrollment token is not valid base64url",
       "Copy the enrollment token exactly as shown in the vault UI. Do not modify it.")
QB_ROW(QB_0012, "QB-0012", Crypto, Error, "Enrollment token is corrupt or expired.",
       "Enrollment token decryption or parsing failed",
       "Generate a new enrollment token from the vault UI (Agents page).")
QB_ROW(QB_0018, "QB-0018", Crypto, Error, "Secure randomness is not available.",
       "The CSPRNG (OS / host_random_bytes) failed to supply bytes",
       "This is a platform fault. Restart the browser or app; report it if it persists.")
QB_ROW(QB_0027, "QB-0027", Crypto, Error, "The server's key is not valid. Nothing was sent.",
       "key agreement refused a key (P-256 point not on the curve, scalar out of range, or ML-KEM key "
       "malformed)",
       "Check the configured gate/POP Noise public key: a P-256 key (65 bytes) plus an ML-KEM-768 key "
       "(1184 bytes).")
QB_ROW(QB_0031, "QB-0031", Crypto, Error,
       "This client was set up with an older enrolment blob. Make a new one in your vault and connect "
       "again.",
       "enrolment blob without pop_pub (the home POP's node public key), or with a retired 64-hex X25519 "
       "pop_pub; blobs minted before the P-256 + ML-KEM channel are refused",
       "The enrolment blob carries the home POP's node public key (pop_pub: P-256 + ML-KEM-768, 2498 "
       "hex) and every client (CLI, proxy, extension) seals to it; there is no compiled-in key. Blobs "
       "without one (before 2026-10-04) or with an X25519 key (before the channel change) cannot reach "
       "a POP. Make a new client blob in the vault (Clients, Issue enrollment) and connect again.")
QB_ROW(QB_2001, "QB-2001", Cli, Error, "Enrollment token is invalid.", "Token base64/AEAD/length rejection",
       "Copy the token exactly from the vault UI. Generate a new one if needed.")
QB_ROW(QB_2002, "QB-2002", Cli, Error, "Could not write the config file.", "Sidecar config write failed",
       "Check filesystem permissions on the binary's directory.")
QB_ROW(QB_2003, "QB-2003", Cli, Error, "Config file not found.", "Sidecar config file missing or unreadable",
       "Run 'quorbelt-cli init <token>' to initialize.")
QB_ROW(QB_2004, "QB-2004", Cli, Error, "Config file is corrupt.", "Sidecar config HMAC/AEAD verification failed",
       "Delete the config file and re-initialize with 'quorbelt-cli init <token>'.")
QB_ROW(QB_2047, "QB-2047", Cli, Error, "The vault returned an error.", "Vault returned non-2xx status",
       "Check the vault logs or contact the vault operator.")
QB_ROW(QB_2110, "QB-2110", Cli, Error, "Content exceeds the size limit.",
       "Content size exceeds the limit for this input", "Split the content into smaller entries.")

#undef QB_ROW

// Every row, in code order.
inline constexpr QuorbeltError all[] = {QB_0001, QB_0002, QB_0003, QB_0004, QB_0005, QB_0006, QB_0008,
                                        QB_0009, QB_0010, QB_0011, QB_0012, QB_0018, QB_0027, QB_0031,
                                        QB_2001, QB_2002, QB_2003, QB_2004, QB_2047, QB_2110};

}  // namespace catalogue

// The 5000-series codes.
namespace codes {
inline constexpr std::string_view QB_5001 = "QB-5001";
inline constexpr std::string_view QB_5002 = "QB-5002";
inline constexpr std::string_view QB_5003 = "QB-5003";
inline constexpr std::string_view QB_5004 = "QB-5004";
inline constexpr std::string_view QB_5005 = "QB-5005";
inline constexpr std::string_view QB_5006 = "QB-5006";
inline constexpr std::string_view QB_5007 = "QB-5007";
inline constexpr std::string_view QB_5008 = "QB-5008";
inline constexpr std::string_view QB_5009 = "QB-5009";
inline constexpr std::string_view QB_5010 = "QB-5010";
inline constexpr std::string_view QB_5030 = "QB-5030";
inline constexpr std::string_view QB_5031 = "QB-5031";
inline constexpr std::string_view QB_5032 = "QB-5032";
inline constexpr std::string_view QB_5033 = "QB-5033";
inline constexpr std::string_view QB_5034 = "QB-5034";
inline constexpr std::string_view QB_5035 = "QB-5035";
inline constexpr std::string_view QB_5036 = "QB-5036";
inline constexpr std::string_view QB_5037 = "QB-5037";
inline constexpr std::string_view QB_5038 = "QB-5038";
inline constexpr std::string_view QB_5050 = "QB-5050";
inline constexpr std::string_view QB_5051 = "QB-5051";
inline constexpr std::string_view QB_5052 = "QB-5052";
inline constexpr std::string_view QB_5053 = "QB-5053";
inline constexpr std::string_view QB_5054 = "QB-5054";
inline constexpr std::string_view QB_5070 = "QB-5070";
inline constexpr std::string_view QB_5071 = "QB-5071";
inline constexpr std::string_view QB_5072 = "QB-5072";
inline constexpr std::string_view QB_5073 = "QB-5073";
inline constexpr std::string_view QB_5074 = "QB-5074";
}  // namespace codes

}  // namespace qb
