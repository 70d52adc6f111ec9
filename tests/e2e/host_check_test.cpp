// The Host check through the real binary, with curl sending request targets of its own choosing
// inside the tunnel and no Host header, so that the target alone names the host.
#include <filesystem>
#include <memory>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "e2e/agents_env.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace qb::e2e {
namespace {

TEST(HostCheckEndToEnd, TheTargetsHostIsTheUrisHost) {
  SystemUnderTest sys;
  ASSERT_EQ(sys.enrol(), "");
  ASSERT_EQ(sys.serve(), "");
  const std::string authority = sys.upstream().substr(std::string_view("https://").size());
  const std::string body = (sys.dir() / "curl-body").string();

  struct Case {
    std::string method;
    std::string target;
    int status;
    std::string logged_host;  // in the QB-5070 line when refused
  };
  const Case cases[] = {
      {"GET", fmt::format("https://user:pw@{}/hc-userinfo", authority), 200, ""},
      {"GET", fmt::format("https://{}@evil.example/hc-evil", authority), 502, "evil.example"},
      {"CONNECT", "other.example:443", 502, "other.example"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    test::ProcessOptions o;
    o.args = {"-sS",
              "--cacert",
              sys.proxy_ca().string(),
              "--proxy",
              sys.proxy_url(),
              "-o",
              body,
              "-w",
              "%{http_code}",
              "-X",
              c.method,
              "-H",
              "Host:",
              "--request-target",
              c.target,
              sys.upstream() + "/"};
    o.env_unset = agent_env_unset();
    o.timeout = std::chrono::seconds(60);
    auto r = test::run_process("/usr/bin/curl", o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::atoi(r.out.c_str()), c.status) << test::read_file(body);
    if (c.status == 502) {
      EXPECT_EQ(test::read_file(body), "QB-5070: request Host does not match CONNECT target\n");
      EXPECT_NE(sys.serve_err().find(fmt::format("QB-5070: request Host {} does not match CONNECT target {}\n",
                                                 c.logged_host, authority)),
                std::string::npos)
          << sys.serve_err();
    }
  }
  const std::string seen = sys.upstream_log();
  EXPECT_NE(seen.find("GET /hc-userinfo"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("hc-evil"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("CONNECT"), std::string::npos) << seen;
  EXPECT_EQ(sys.serve_err().find("user:pw"), std::string::npos);
}

}  // namespace
}  // namespace qb::e2e
