#include "core/errors.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(Errors, QuorbeltErrorDisplayAndDebug) {
  EXPECT_EQ(catalogue::QB_0005.display(), "QB-0005: An unexpected internal error occurred.");
  EXPECT_EQ(catalogue::QB_0005.debug(),
            "QuorbeltError { code: \"QB-0005\", user_msg: \"An unexpected internal error occurred.\", "
            "tech_msg: \"Internal invariant violated \u2014 this is a bug in Quorbelt\", resolution: \"Report "
            "this error code to security@quorbelt.io.\", severity: Bug, component: Crypto }");
  EXPECT_EQ(catalogue::QB_2004.debug().find("severity: Error, component: Cli }") != std::string::npos, true);
}

TEST(Errors, CliErrorDisplayUsesDetailOrUserMessage) {
  EXPECT_EQ(CliError(catalogue::QB_2004).display(), "QB-2004: Config file is corrupt.");
  EXPECT_EQ(CliError(catalogue::QB_2004, "bad mac").display(), "QB-2004: bad mac");
  EXPECT_EQ(CliError(catalogue::QB_2003).debug(),
            "CliError { err: QuorbeltError { code: \"QB-2003\", user_msg: \"Config file not found.\", tech_msg: "
            "\"Sidecar config file missing or unreadable\", resolution: \"Run 'quorbelt-cli init <token>' to "
            "initialize.\", severity: Error, component: Cli }, detail: \"\" }");
}

TEST(Errors, DebugEscapesDetailText) {
  const CliError e(catalogue::QB_2001, "a \"quoted\"\\path\n\ttab\r\x1b end \u2014 ok's");
  EXPECT_NE(e.debug().find("detail: \"a \\\"quoted\\\"\\\\path\\n\\ttab\\r\\u{1b} end \u2014 ok's\""),
            std::string::npos)
      << e.debug();
}

TEST(Errors, ProxyErrorFromGateCarriesBothCodes) {
  const ProxyError p = proxy_error_from_gate(CliError(catalogue::QB_2047, "HTTP 500 from POST /gate"));
  EXPECT_EQ(p.display(), "QB-5050: QB-2047: HTTP 500 from POST /gate");
  EXPECT_EQ(p.debug(), "ProxyError { code: \"QB-5050\", detail: \"QB-2047: HTTP 500 from POST /gate\" }");
  EXPECT_EQ(proxy_error_from_config(CliError(catalogue::QB_2004)).display(), "QB-5002: QB-2004: Config file is corrupt.");
}

struct Row {
  const char* code;
  Component component;
  Severity severity;
  const char* user_msg;
  const char* tech_msg;
  const char* resolution_start;
};

TEST(Errors, CatalogueHoldsEveryRow) {
  const Row rows[] = {
      {"QB-0001", Component::Crypto, Severity::Error, "Encryption key has an invalid length.",
       "Key must be 16 or 32 bytes (use the _l1 API for 8-byte keys)", "This usually means a corrupt config file."},
      {"QB-0002", Component::Crypto, Severity::Error, "Could not read the encrypted data.",
       "Base64 decoding failed on field ciphertext", "The encrypted entry may be corrupt."},
      {"QB-0003", Component::Crypto, Severity::Error,
       "Could not decrypt. The data may be corrupt or the wrong key was used.",
       "AES-GCM authentication tag did not verify", "Verify you are using the correct vault and agent token."},
      {"QB-0004", Component::Crypto, Severity::Error, "The token is invalid or corrupt.",
       "Token structure does not match expected QBT format", "Re-issue the agent token"},
      {"QB-0005", Component::Crypto, Severity::Bug, "An unexpected internal error occurred.",
       "Internal invariant violated \u2014 this is a bug in Quorbelt", "Report this error code to "},
      {"QB-0006", Component::Crypto, Severity::Error, "Decrypted data is not valid text.",
       "UTF-8 validation failed on decrypted plaintext", "The entry may have been corrupted."},
      {"QB-0008", Component::Crypto, Severity::Error, "Config file is corrupt or truncated.",
       "QRB1 file shorter than minimum header size (4 + 16 + 12 + 16 = 48 bytes)", "Re-initialize: run"},
      {"QB-0009", Component::Crypto, Severity::Error, "Config file is not in Quorbelt format.",
       "QRB1 magic bytes do not match \u2014 expected 'QRB1' header", "The config file may have been overwritten."},
      {"QB-0010", Component::Crypto, Severity::Error, "Encrypted data is truncated.",
       "AES-GCM ciphertext shorter than nonce(12) + tag(16) = 28 bytes", "The encrypted data was corrupted"},
      {"QB-0011", Component::Crypto, Severity::Error, "Enrollment token contains invalid characters.",
       "Enrollment token is not valid base64url", "Copy the enrollment token exactly"},
      {"QB-0012", Component::Crypto, Severity::Error, "Enrollment token is corrupt or expired.",
       "Enrollment token decryption or parsing failed", "Generate a new enrollment token"},
      {"QB-0018", Component::Crypto, Severity::Error, "Secure randomness is not available.",
       "The CSPRNG (OS / host_random_bytes) failed to supply bytes", "This is a platform fault."},
      {"QB-0027", Component::Crypto, Severity::Error, "The server's key is not valid. Nothing was sent.",
       "key agreement refused a key (P-256 point not on the curve, scalar out of range, or ML-KEM key malformed)",
       "Check the configured gate/POP Noise public key"},
      {"QB-0031", Component::Crypto, Severity::Error,
       "This client was set up with an older enrolment blob. Make a new one in your vault and connect again.",
       "enrolment blob without pop_pub (the home POP's node public key), or with a retired 64-hex X25519 pop_pub; "
       "blobs minted before the P-256 + ML-KEM channel are refused",
       "The enrolment blob carries the home POP's node public key"},
      {"QB-2001", Component::Cli, Severity::Error, "Enrollment token is invalid.", "Token base64/AEAD/length rejection",
       "Copy the token exactly from the vault UI."},
      {"QB-2002", Component::Cli, Severity::Error, "Could not write the config file.", "Sidecar config write failed",
       "Check filesystem permissions on the binary's directory."},
      {"QB-2003", Component::Cli, Severity::Error, "Config file not found.", "Sidecar config file missing or unreadable",
       "Run 'quorbelt-cli init <token>' to initialize."},
      {"QB-2004", Component::Cli, Severity::Error, "Config file is corrupt.",
       "Sidecar config HMAC/AEAD verification failed", "Delete the config file and re-initialize"},
      {"QB-2047", Component::Cli, Severity::Error, "The vault returned an error.", "Vault returned non-2xx status",
       "Check the vault logs or contact the vault operator."},
      {"QB-2110", Component::Cli, Severity::Error, "Content exceeds the size limit.",
       "Content size exceeds the limit for this input", "Split the content into smaller entries."},
  };
  ASSERT_EQ(std::size(catalogue::all), std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const QuorbeltError& e = catalogue::all[i];
    const Row& r = rows[i];
    SCOPED_TRACE(r.code);
    EXPECT_EQ(e.code, r.code);
    EXPECT_EQ(e.component, r.component);
    EXPECT_EQ(e.severity, r.severity);
    EXPECT_EQ(e.user_msg, r.user_msg);
    EXPECT_EQ(e.tech_msg, r.tech_msg);
    EXPECT_EQ(e.resolution.substr(0, std::string_view(r.resolution_start).size()), r.resolution_start);
  }
}

}  // namespace
}  // namespace qb
