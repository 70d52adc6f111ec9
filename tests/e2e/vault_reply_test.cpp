// A vault reply that does not decode must not carry its values to the agent or the log: through the
// real binary, a URL-match reply with a credential where a record belongs, or of the wrong type, gives
// the agent a 502 naming only the wrong value's type, and the proxy logs no part of the value either.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "e2e/agents_env.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace qb::e2e {
namespace {

using Clock = std::chrono::steady_clock;

class VaultReplyTexts : public ::testing::Test {
 protected:
  void SetUp() override {
    sys_ = std::make_unique<SystemUnderTest>();
    ASSERT_EQ(sys_->enrol(), "");
    ASSERT_EQ(sys_->serve(), "");
  }

  struct Fetched {
    int status = 0;
    std::string body;
  };

  Fetched fetch(const std::string& path) {
    const std::string body = (sys_->dir() / "curl-body").string();
    test::ProcessOptions o;
    o.args = {"-sS", "--cacert",     sys_->proxy_ca().string(), "--proxy", sys_->proxy_url(), "-o", body,
              "-w",  "%{http_code}", sys_->upstream() + path};
    o.cwd = sys_->dir().path();
    o.env_unset = agent_env_unset();
    o.timeout = std::chrono::seconds(60);
    auto r = test::run_process("/usr/bin/curl", o);
    EXPECT_EQ(r.status, 0) << r.err;
    return Fetched{std::atoi(r.out.c_str()), test::read_file(body)};
  }

  // The proxy writes its log line after the response; wait for it a while.
  std::string log_with(const std::string& text) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string log = sys_->serve_err();
    while (log.find(text) == std::string::npos && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      log = sys_->serve_err();
    }
    return log;
  }

  std::unique_ptr<SystemUnderTest> sys_;
};

TEST_F(VaultReplyTexts, MatchReplyValuesReachNeitherTheAgentNorTheLog) {
  const std::string urls = R"("https://127.0.0.1","https://localhost")";
  // Parts of six characters or more, which no port number or other text of the exchange holds.
  struct LeakCase {
    const char* path;
    std::string result;
    const char* text;
    const char* value_parts[3];
  };
  const LeakCase cases[] = {
      // A field given as a bare string where its record belongs.
      {"/leak-string",
       fmt::format(R"([{{"entry_id":"e2","title":"match","data":{{"fields":["leaky-match-0008"],"urls":[{}]}}}}])",
                   urls),
       "QB-5050: match shape: invalid type: string, expected struct Field",
       {"leaky", "match-0008", "-0008"}},
      // The credential given as a number.
      {"/leak-integer",
       fmt::format(
           R"([{{"entry_id":"e2","title":"match","data":{{"fields":[{{"label":"api_key","value":918273645}}],"urls":[{}]}}}}])",
           urls),
       "QB-5050: match shape: invalid type: integer, expected a string",
       {"918273645", "918273", "273645"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    sys_->gate().set_answer("ext.match", test::answer_result(c.result));
    const Fetched got = fetch(c.path);
    EXPECT_EQ(got.status, 502);
    EXPECT_NE(got.body.find(c.text), std::string::npos) << got.body;
    const std::string log = log_with(fmt::format("injection failed for {}{}", sys_->upstream(), c.path));
    EXPECT_NE(log.find(fmt::format("{}: injection failed for {}{}", c.text, sys_->upstream(), c.path)),
              std::string::npos)
        << log;
    for (const char* part : c.value_parts) {
      EXPECT_EQ(got.body.find(part), std::string::npos) << got.body;
      EXPECT_EQ(log.find(part), std::string::npos) << log;
    }
    EXPECT_EQ(sys_->upstream_log().find(c.path), std::string::npos) << "a refused request reached the upstream";
  }
}

}  // namespace
}  // namespace qb::e2e
