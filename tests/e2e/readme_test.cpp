// Runs "init" and "serve" exactly as the README tells a user to: the shell blocks marked
// "<!-- readme-test: NAME -->" are taken from the README and run with bash, with only the README's
// example names (vault host, port, upstream) replaced by this test's loopback ones.
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "e2e/agents_env.h"
#include "support/https_test_server.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace qb::e2e {
namespace {

// The shell block after the marker; empty when the README has none.
std::string readme_block(const std::string& readme, const std::string& name) {
  const std::string marker = "<!-- readme-test: " + name + " -->";
  const auto at = readme.find(marker);
  if (at == std::string::npos) return {};
  const auto open = readme.find("```sh\n", at);
  if (open == std::string::npos) return {};
  const auto body = open + 6;
  const auto close = readme.find("\n```", body);
  if (close == std::string::npos) return {};
  return readme.substr(body, close - body + 1);
}

// Replaces every occurrence; false when the text has none (the README no longer says it).
bool replace_all(std::string& text, const std::string& from, const std::string& to) {
  bool found = false;
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
    found = true;
  }
  return found;
}

TEST(Readme, InitAndServeRunAsWritten) {
  const std::string readme = test::read_file(QB_README);
  std::string enrol = readme_block(readme, "enrol");
  std::string serve = readme_block(readme, "serve");
  std::string agent = readme_block(readme, "agent");
  ASSERT_NE(enrol, "") << "the README lost its marked enrol block";
  ASSERT_NE(serve, "") << "the README lost its marked serve block";
  ASSERT_NE(agent, "") << "the README lost its marked agent block";

  SystemUnderTest sys;
  const auto home = sys.dir() / "home";
  const auto download = sys.dir() / "download";  // where the user has the built executable
  std::filesystem::create_directory(home);
  std::filesystem::create_directory(download);
  ::chmod(home.c_str(), 0700);
  std::filesystem::copy_file(QB_BINARY, download / "quorbelt-proxy");
  ::chmod((download / "quorbelt-proxy").c_str(), 0755);
  test::write_file(home / "enrolment.txt", sys.enrolment_text());

  ASSERT_TRUE(replace_all(enrol, "vault.example.com", sys.gate_host())) << enrol;
  test::ProcessOptions o;
  o.args = {"-euo", "pipefail", "-c", enrol};
  o.cwd = download;
  o.env_set = {{"HOME", home.string()}};
  o.env_unset = {"QUORBELT_PROXY_CONFIRM_VAULT", "QUORBELT_PROXY_PORT", "QUORBELT_PROXY_LISTEN"};
  auto r = test::run_process("/bin/bash", o);
  ASSERT_EQ(r.status, 0) << enrol << r.out << r.err;
  EXPECT_NE(r.out.find("Enrolled against vault https://" + sys.gate_host() + "\n"), std::string::npos) << r.out;
  const auto installed = home / "quorbelt";
  EXPECT_EQ(test::file_mode(installed / "quorbelt.conf"), 0600u);
  EXPECT_NE(test::read_file(installed / "ca.pem").find("-----BEGIN CERTIFICATE-----"), std::string::npos);
  // Only because this test's upstream is on loopback.
  test::write_file(installed / "proxy-allow-private", "", 0600);

  std::unique_ptr<Background> proxy;
  std::uint16_t port = 0;
  for (int attempt = 0; attempt < 8 && !proxy; ++attempt) {
    port = test::closed_loopback_port();
    Background::Options b;
    b.args = {"-euo", "pipefail", "-c", serve};
    b.cwd = download;
    b.env_set = {{"HOME", home.string()},
                 {"QUORBELT_PROXY_PORT", std::to_string(port)},
                 {"SSL_CERT_FILE", sys.roots().string()}};
    b.env_unset = {"SSL_CERT_DIR", "QUORBELT_PROXY_LISTEN", "HTTPS_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"};
    b.out = sys.dir() / "readme-serve.out";
    b.err = sys.dir() / "readme-serve.err";
    b.own_group = true;
    proxy = std::make_unique<Background>("/bin/bash", b);
    if (!proxy->wait_for_output(" listening on ")) {
      const std::string err = proxy->err();
      proxy.reset();
      ASSERT_NE(err.find("QB-5010: bind"), std::string::npos) << serve << err;
    }
  }
  ASSERT_TRUE(proxy) << "no free port for serve";
  const std::string listen = "127.0.0.1:" + std::to_string(port);

  // The export line the README gives is the one the banner suggests.
  std::string export_line = agent.substr(0, agent.find('\n'));
  ASSERT_TRUE(replace_all(export_line, "~/", home.string() + "/")) << export_line;
  ASSERT_TRUE(replace_all(export_line, "127.0.0.1:1983", listen)) << export_line;
  EXPECT_NE(proxy->out().find("  e.g.  " + export_line + "\n"), std::string::npos) << proxy->out();

  ASSERT_TRUE(replace_all(agent, "127.0.0.1:1983", listen)) << agent;
  ASSERT_TRUE(replace_all(agent, "https://api.example.com", sys.upstream())) << agent;
  o.args = {"-euo", "pipefail", "-c", agent};
  o.env_unset = agent_env_unset();
  auto a = test::run_process("/bin/bash", o);
  ASSERT_EQ(a.status, 0) << agent << a.err;
  const auto echo = nlohmann::json::parse(a.out, nullptr, false);
  ASSERT_FALSE(echo.is_discarded()) << a.out;
  bool injected = false;
  for (const auto& h : echo["headers"]) injected = injected || h[1] == std::string("Bearer ") + kRefSecret;
  EXPECT_TRUE(injected) << a.out;

  EXPECT_EQ(proxy->stop(), 0) << "serve stops on Ctrl-C with status 0";
}

}  // namespace
}  // namespace qb::e2e
