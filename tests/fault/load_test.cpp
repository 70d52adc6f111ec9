// The real binary under load and faults on loopback: thousands of tunnels left in every way, a
// slow-loris agent, and a primary gate that stops in the middle of a load. Afterwards the process
// must be alive, hold no more descriptors, permits, slots or memory than before, and have printed
// no secret.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "crypto/codecs.h"
#include "fault/harness.h"
#include "support/enrol_blob.h"
#include "support/https_test_server.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_gate.h"

namespace qb {
namespace {

using fault::AgentJob;
using fault::AgentResult;
using fault::Child;
using fault::Leave;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

std::string random_hex(std::size_t bytes) { return encode_hex(test::random_bytes_vec(bytes)); }

// One entry bound to the URL (127.0.0.1 unless given) whose single field holds value.
std::string entry_result(const std::string& label, const std::string& value,
                         const std::string& url = "https://127.0.0.1") {
  return fmt::format(R"([{{"entry_id":"e1","title":"api","data":{{"fields":[{{"label":"{}","value":"{}","tier":1}}],)"
                     R"("urls":["{}"]}}}}])",
                     label, value, url);
}

void script_gate(test::TestGate& gate, const std::string& token_value, const std::string& match_value,
                 const std::string& url = "https://127.0.0.1") {
  gate.set_answer("search.query", test::answer_result(entry_result("token", token_value, url)));
  gate.set_answer("ext.match", test::answer_result(entry_result("api_key", match_value, url)));
}

const std::vector<std::pair<std::string, std::string>> kReference = {{"Authorization", "Bearer quorbelt://api/token"}};

// An enrolled installation next to a copy of the binary, with the private-network opt-in that a
// loopback upstream needs. Every secret it sees is kept for the output check.
class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::trust_test_gate_ca(); }

  void enrol(const test::TestGate& primary, const test::TestGate* replica = nullptr) {
    exe_ = dir_ / "quorbelt-proxy";
    std::filesystem::copy_file(QB_BINARY, exe_);
    ::chmod(exe_.c_str(), 0755);
    test::write_file(dir_ / "proxy-allow-private", "", 0600);
    const std::string pop = fmt::format("127.0.0.1:{}", primary.port());
    test::BlobFields f = test::sample_fields(pop);
    f.pop_pub = encode_hex(primary.node_pub().bytes);
    f.agent_id = random_hex(16);
    f.l2 = random_hex(16);
    if (replica) {
      f.replica_host = fmt::format("127.0.0.1:{}", replica->port());
      f.replica_pub = encode_hex(replica->node_pub().bytes);
    }
    const auto e = test::seal_enrolment(test::blob_json(f));
    secrets_.insert(secrets_.end(), {*f.agent_id, *f.l2, e.key, e.blob});
    test::ProcessOptions opts;
    opts.args = {"init"};
    opts.cwd = dir_.path();
    opts.stdin_data = e.blob + "\n" + e.key + "\n";
    opts.env_set["QUORBELT_PROXY_CONFIRM_VAULT"] = pop;
    auto r = test::run_process(exe_, opts);
    ASSERT_EQ(r.status, 0) << r.err;
    outputs_ += r.out + r.err;
  }

  std::map<std::string, std::string> serve_env(std::uint16_t port) const {
    std::map<std::string, std::string> env{{"QUORBELT_PROXY_PORT", std::to_string(port)}};
    if (const char* t = std::getenv("QB_FAULT_TUNABLES")) env["GLIBC_TUNABLES"] = t;
    return env;
  }

  void start_serve(std::uint16_t upstream_port) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      const std::uint16_t port = test::closed_loopback_port();
      serve_ = std::make_unique<Child>(exe_, std::vector<std::string>{"serve"}, dir_.path(), serve_env(port), "");
      if (serve_->wait_for_out("Point your agent at:", std::chrono::seconds(20))) {
        target_.proxy_port = port;
        break;
      }
      outputs_ += serve_->out() + serve_->err();
      serve_.reset();  // the port was taken in between: try another
    }
    ASSERT_TRUE(serve_) << outputs_;
    const std::string token = test::read_file(dir_ / "proxy-auth");
    target_.proxy_authorization = "Basic " + encode_base64("quorbelt:" + token);
    target_.ca_pem = test::read_file(dir_ / "ca-cert.pem");
    target_.upstream_port = upstream_port;
    secrets_.insert(secrets_.end(), {token, target_.proxy_authorization.substr(6)});
    // The CA key's base64 lines.
    const std::string key = test::read_file(dir_ / "ca-key.pem");
    for (std::size_t at = 0; at < key.size();) {
      auto end = key.find('\n', at);
      if (end == std::string::npos) end = key.size();
      const std::string line = key.substr(at, end - at);
      if (line.size() >= 16 && line.rfind("-----", 0) != 0) secrets_.push_back(line);
      at = end + 1;
    }
  }

  // Stops serve with SIGINT (status 0) and checks that no secret was printed by any run.
  void TearDown() override {
    if (serve_) {
      serve_->signal(SIGINT);
      const int status = serve_->wait(std::chrono::seconds(30));
      const std::string err = serve_->err();
      EXPECT_EQ(status, 0) << "last output: " << err.substr(err.size() - std::min<std::size_t>(err.size(), 3000));
      outputs_ += serve_->out() + err;
    }
    for (const auto& s : secrets_) {
      ASSERT_FALSE(s.empty());
      EXPECT_EQ(outputs_.find(s), std::string::npos) << "a secret was printed: " << s;
    }
  }

  pid_t pid() const { return serve_->pid(); }

  // Waits until the descriptors that are not pooled connections come back to the count given.
  fault::FdCensus settled_fds(std::size_t others, const std::vector<std::uint16_t>& pooled_ports) {
    const auto until = Clock::now() + seconds(30);
    fault::FdCensus c = fault::fd_census(pid(), pooled_ports);
    while (c.others() != others && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      c = fault::fd_census(pid(), pooled_ports);
    }
    return c;
  }

  // Waits until the proxy holds no agent connection: the next agent then lands on the worker
  // context the last one had, with its idle upstream connections.
  bool wait_agents_gone() {
    const auto until = Clock::now() + seconds(15);
    while (fault::connections_on(pid(), target_.proxy_port) > 0) {
      if (Clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  // The baseline: the quietest of a few censuses, so that a descriptor some thread holds for a
  // moment (a look-up, a closing connection) is not taken for part of the idle process.
  fault::FdCensus baseline_fds(const std::vector<std::uint16_t>& pooled_ports) {
    fault::FdCensus best = fault::fd_census(pid(), pooled_ports);
    for (int i = 0; i < 10; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const fault::FdCensus c = fault::fd_census(pid(), pooled_ports);
      if (c.others() < best.others()) best = c;
    }
    return best;
  }

  // 64 CONNECTs at once all get through (every connection permit is free), then 512 tunnels are
  // held at the same time (every tunnel slot is free).
  void expect_every_permit_and_slot_free() {
    std::vector<AgentJob> burst(64, AgentJob{Leave::AfterHandshake});
    const auto results = fault::run_agents(target_, burst, seconds(30));
    for (const auto& r : results) EXPECT_TRUE(r.connect_status == 200 && r.tls) << r.connect_status << r.error;
    fault::HeldTunnels held(target_, 512);
    EXPECT_EQ(held.established(seconds(60)), 512u);
    for (const auto& r : held.release()) EXPECT_EQ(r.connect_status, 200) << r.error;
  }

  test::TempDir dir_;
  std::filesystem::path exe_;
  std::unique_ptr<Child> serve_;
  fault::ProxyTarget target_;
  std::vector<std::string> secrets_;
  std::string outputs_;
};

using FaultLoad = Installed;

// 2000 tunnels at once, each left in one of ten ways, with the URL-match answers coming after the gate
// agent's 15 s call limit for a few agents beside them when slow_gate is set.
void storm(const fault::ProxyTarget& target, const fault::LoopbackUpstream& upstream, const std::string& token_value,
           bool slow_gate) {
  constexpr std::size_t kStorm = 2000;
  const Leave ways[] = {Leave::AtOnce,         Leave::MidConnect, Leave::AfterConnect, Leave::MidHandshake,
                        Leave::AfterHandshake, Leave::MidHead,    Leave::MidBody,      Leave::Complete};
  std::vector<AgentJob> jobs;
  for (std::size_t i = 0; i < kStorm; ++i) {
    AgentJob j{ways[i % 10 < 8 ? i % 10 : 7], "/ok", kReference};
    j.headers.emplace_back("X-Req", std::to_string(i));
    if (i % 10 == 7) j.requests = 2;     // keep-alive
    if (i % 10 == 8) j.path = "/reset";  // the upstream resets mid-body
    jobs.push_back(std::move(j));
  }
  if (slow_gate) {
    for (int i = 0; i < 4; ++i) jobs.push_back(AgentJob{Leave::Complete, "/slow-gate", {{"X-Req", "slow"}}});
  }
  const std::size_t seen_before = upstream.seen_count();
  const auto results = fault::run_agents(target, jobs, seconds(60));

  std::size_t complete = 0;
  for (std::size_t i = 0; i < kStorm; ++i) {
    const auto& r = results[i];
    if (jobs[i].leave != Leave::Complete) continue;
    ASSERT_EQ(r.connect_status, 200) << i << " " << r.error;
    if (jobs[i].path == "/reset") {
      // Either the head arrives and the body is cut short (never padded out or completed), or the reset
      // came before the head and the agent gets an error response.
      ASSERT_LE(r.statuses.size(), 1u);
      if (!r.statuses.empty() && r.statuses[0] == 200) {
        EXPECT_LT(r.bodies[0].size(), 100000u);
        EXPECT_FALSE(r.error.empty());
      } else {
        EXPECT_TRUE(r.statuses.empty() || r.statuses[0] >= 500) << r.statuses[0];
      }
      continue;
    }
    ASSERT_EQ(r.statuses, std::vector<int>(jobs[i].requests, 200)) << i << " " << r.error;
    for (const auto& b : r.bodies) EXPECT_EQ(b, "ok");
    ++complete;
  }
  EXPECT_EQ(complete, 400u);
  // The slow gate: answered with an error, nothing forwarded.
  for (std::size_t i = kStorm; i < jobs.size(); ++i) {
    ASSERT_EQ(results[i].statuses.size(), 1u) << results[i].error;
    EXPECT_GE(results[i].statuses[0], 500);
  }
  std::size_t forwarded_ok = 0;
  const auto seen = upstream.seen();
  for (std::size_t i = seen_before; i < seen.size(); ++i) {
    const auto& s = seen[i];
    EXPECT_NE(s.headers.count("x-req") ? s.headers.at("x-req") : "", "slow");
    if (s.target == "/ok" && s.method == "GET") {
      EXPECT_EQ(s.headers.at("authorization"), "Bearer " + token_value);
      ++forwarded_ok;
    }
  }
  EXPECT_EQ(forwarded_ok, 200 * 2 + 200u);  // keep-alive pairs and single requests
}

TEST_F(FaultLoad, TwoThousandTunnelsLeftInEveryWayReturnEverything) {
  auto gate = std::make_unique<test::TestGate>();
  const std::string token_value = "tok-" + random_hex(12);
  const std::string match_value = "key-" + random_hex(12);
  secrets_.insert(secrets_.end(), {token_value, match_value});
  script_gate(*gate, token_value, match_value);
  fault::LoopbackUpstream upstream;
  enrol(*gate);
  ASSERT_NO_FATAL_FAILURE(start_serve(upstream.port()));
  const std::vector<std::uint16_t> pooled{gate->port(), upstream.port()};

  // Warm up the leaf cache and both pools, then take the starting point.
  auto warm = fault::run_agents(target_, {AgentJob{Leave::Complete, "/ok", kReference}}, seconds(30));
  ASSERT_EQ(warm[0].statuses, std::vector<int>{200}) << warm[0].error << serve_->err();
  const auto fds_before = baseline_fds(pooled);
  const std::string fds_listing_before = fault::fd_listing(pid());
  const std::size_t rss_before = fault::rss_kib(pid());

  test::GateAnswer slow = test::answer_result(entry_result("api_key", match_value));
  slow.delay = std::chrono::milliseconds(17'000);
  gate->set_answer("ext.match", slow);
  ASSERT_NO_FATAL_FAILURE(storm(target_, upstream, token_value, true));
  const std::size_t rss_peak = fault::rss_kib(pid());
  settled_fds(fds_before.others(), pooled);
  const std::size_t rss_first = fault::rss_kib(pid());
  // A second round reuses what the first one freed: growth here is a leak, not the allocator's cache.
  ASSERT_NO_FATAL_FAILURE(storm(target_, upstream, token_value, false));
  settled_fds(fds_before.others(), pooled);
  const std::size_t rss_second = fault::rss_kib(pid());

  // The gate stops: requests are answered with an error and nothing reaches the upstream.
  const std::size_t seen_before_stop = upstream.seen_count();
  const std::uint16_t gate_port = gate->port();
  gate.reset();
  std::vector<AgentJob> unreachable(50, AgentJob{Leave::Complete, "/ok", kReference});
  for (const auto& r : fault::run_agents(target_, unreachable, seconds(60))) {
    ASSERT_EQ(r.statuses.size(), 1u) << r.error;
    EXPECT_GE(r.statuses[0], 500);
  }
  EXPECT_EQ(upstream.seen_count(), seen_before_stop);

  ASSERT_TRUE(serve_->running()) << serve_->err();
  const auto fds_after = settled_fds(fds_before.others(), {gate_port, upstream.port()});
  EXPECT_EQ(fds_after.others(), fds_before.others())
      << "before " << fds_before.total << " (" << fds_before.pooled << " pooled), after " << fds_after.total << " ("
      << fds_after.pooled << " pooled)\n"
      << fds_listing_before << "after:\n"
      << fault::fd_listing(pid());
  // Pooled connections stay within the pools' own bounds: the gate agent keeps 3 idle handles per host
  // (each with a socket pair), the upstream pool at most one connection per tunnel.
  EXPECT_LE(fds_after.unix_sockets, 2u * 3u);
  EXPECT_LE(fds_after.pooled, 512u);

  expect_every_permit_and_slot_free();
  ASSERT_TRUE(serve_->running()) << serve_->err();

  RecordProperty("rss_kib", fmt::format("start {} peak {} after one round {} after two {}", rss_before, rss_peak,
                                        rss_first, rss_second));
  RecordProperty("fds", fmt::format("before {}+{} pooled+{} pairs, after {}+{} pooled+{} pairs", fds_before.others(),
                                    fds_before.pooled, fds_before.unix_sockets, fds_after.others(), fds_after.pooled,
                                    fds_after.unix_sockets));
  // Freed memory need not go back to the system, but a second round must not add much to the first,
  // and neither may end far above the start.
  EXPECT_LT(rss_second, rss_first + (rss_first - std::min(rss_first, rss_before)) / 2 + 16 * 1024)
      << "start " << rss_before << " peak " << rss_peak << " after one round " << rss_first;
  EXPECT_LT(rss_second, rss_before + 192 * 1024) << "start " << rss_before << " peak " << rss_peak;
}

TEST_F(FaultLoad, SlowLorisAgentsAreCutAtThePreambleDeadline) {
  test::TestGate gate;
  script_gate(gate, "tok-" + random_hex(12), "key-" + random_hex(12));
  fault::LoopbackUpstream upstream;
  enrol(gate);
  ASSERT_NO_FATAL_FAILURE(start_serve(upstream.port()));
  const std::vector<std::uint16_t> pooled{gate.port(), upstream.port()};
  const auto fds_before = baseline_fds(pooled);

  // Every connection permit taken by an agent that sends one byte a second.
  constexpr int kLoris = 64;
  const std::string head = "CONNECT 127.0.0.1:443 HTTP/1.1\r\nProxy-Authorization: " + target_.proxy_authorization;
  std::vector<int> socks;
  for (int i = 0; i < kLoris; ++i) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(target_.proxy_port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socks.push_back(s);
  }
  std::vector<std::optional<Clock::duration>> cut(kLoris);
  const auto start = Clock::now();
  for (std::size_t sent = 0; Clock::now() - start < seconds(25); ++sent) {
    bool all_cut = true;
    for (int i = 0; i < kLoris; ++i) {
      if (cut[i]) continue;
      all_cut = false;
      ::send(socks[i], head.data() + sent % head.size(), 1, MSG_NOSIGNAL);
    }
    if (all_cut) break;
    std::this_thread::sleep_for(seconds(1));
    for (int i = 0; i < kLoris; ++i) {
      if (cut[i]) continue;
      pollfd p{socks[i], POLLIN, 0};
      char c;
      if (::poll(&p, 1, 0) == 1 && ::recv(socks[i], &c, 1, MSG_DONTWAIT) <= 0) cut[i] = Clock::now() - start;
    }
  }
  for (int i = 0; i < kLoris; ++i) {
    ASSERT_TRUE(cut[i]) << "agent " << i << " still connected";
    EXPECT_GE(*cut[i], seconds(9));  // the deadline, not something earlier, ended it
  }
  for (int s : socks) ::close(s);
  EXPECT_TRUE(serve_->wait_for_err("QB-5071: CONNECT read timed out\n", kLoris, seconds(5))) << serve_->err();

  const auto fds_after = settled_fds(fds_before.others(), pooled);
  EXPECT_EQ(fds_after.others(), fds_before.others());
  expect_every_permit_and_slot_free();
  ASSERT_TRUE(serve_->running());
}

TEST_F(FaultLoad, PrimaryGateStopsMidLoadAndTheReplicaTakesOverCleanly) {
  auto primary = std::make_unique<test::TestGate>();
  test::TestGate replica;
  const std::string primary_value = "primary-" + random_hex(12);
  const std::string replica_value = "replica-" + random_hex(12);
  secrets_.insert(secrets_.end(), {primary_value, replica_value});
  script_gate(*primary, primary_value, "pm-" + random_hex(8));
  script_gate(replica, replica_value, "rm-" + random_hex(8));
  fault::LoopbackUpstream upstream;
  enrol(*primary, &replica);
  ASSERT_NO_FATAL_FAILURE(start_serve(upstream.port()));

  constexpr std::size_t kRequests = 600;
  std::vector<AgentJob> jobs;
  for (std::size_t i = 0; i < kRequests; ++i)
    jobs.push_back(AgentJob{Leave::Complete, "/ok", {kReference[0], {"X-Req", std::to_string(i)}}});
  std::vector<AgentResult> results;
  std::thread load([&] { results = fault::run_agents(target_, jobs, seconds(90)); });
  const auto until = Clock::now() + seconds(60);
  while (upstream.seen_count() < kRequests / 3 && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::size_t seen_at_stop = upstream.seen_count();
  primary.reset();
  load.join();

  // Nothing lost: every agent got its answer, and the upstream saw each request exactly once.
  for (std::size_t i = 0; i < kRequests; ++i) {
    ASSERT_EQ(results[i].statuses, std::vector<int>{200}) << i << " " << results[i].error;
    EXPECT_EQ(results[i].bodies[0], "ok");
  }
  // Nothing misdirected: each credential is one of the two gates' own values, never a mix or a reference.
  std::set<std::string> ids;
  std::size_t from_primary = 0, from_replica = 0;
  for (const auto& s : upstream.seen()) {
    ASSERT_TRUE(s.headers.count("x-req"));
    EXPECT_TRUE(ids.insert(s.headers.at("x-req")).second) << "twice: " << s.headers.at("x-req");
    const std::string auth = s.headers.count("authorization") ? s.headers.at("authorization") : "";
    if (auth == "Bearer " + primary_value) {
      ++from_primary;
    } else if (auth == "Bearer " + replica_value) {
      ++from_replica;
    } else {
      ADD_FAILURE() << "unexpected credential: " << auth;
    }
  }
  EXPECT_EQ(ids.size(), kRequests);
  EXPECT_GE(from_primary, seen_at_stop);
  EXPECT_GT(from_replica, 0u);
  RecordProperty("credentials", fmt::format("primary {} replica {}", from_primary, from_replica));
  ASSERT_TRUE(serve_->running());
}

// The upstream client through the binary: its pool under a low descriptor limit, requests never
// sent twice, and the answers that are upstream failures.
using FaultUpstream = Installed;

constexpr std::string_view kFailedBody = "QB-5070: upstream connection failed\n";

std::size_t sockets_to(pid_t pid, const std::vector<std::uint16_t>& ports) {
  return fault::fd_census(pid, ports).pooled;
}

// Waits until the count of sockets to the ports is at most n; the last count.
std::size_t wait_sockets_at_most(pid_t pid, const std::vector<std::uint16_t>& ports, std::size_t n) {
  const auto until = Clock::now() + seconds(15);
  std::size_t c = sockets_to(pid, ports);
  while (c > n && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c = sockets_to(pid, ports);
  }
  return c;
}

TEST_F(FaultUpstream, ManyHostsUnderALowDescriptorLimitLeaveTheProxyWorking) {
  test::TestGate gate;
  const std::string token_value = "tok-" + random_hex(12);
  secrets_.push_back(token_value);
  script_gate(gate, token_value, "key-" + random_hex(12));
  // More pool keys than the pool's bound of 128, and than a limit of 256 descriptors leaves room for.
  constexpr std::size_t kHosts = 300;
  auto upstream = std::make_unique<fault::LoopbackUpstream>(fault::LoopbackOptions{.ports = kHosts});
  const std::vector<std::uint16_t> ports = upstream->ports();
  enrol(gate);
  ASSERT_NO_FATAL_FAILURE(start_serve(ports[0]));
  const rlimit low{256, 256};
  ASSERT_EQ(::prlimit(pid(), RLIMIT_NOFILE, &low, nullptr), 0);
  // Pooled connections to the gate are not the upstream pool's.
  std::vector<std::uint16_t> pooled = ports;
  pooled.push_back(gate.port());
  const auto before = baseline_fds(pooled);

  for (std::size_t i = 0; i < kHosts; ++i) {
    fault::ProxyTarget t = target_;
    t.upstream_port = ports[i];
    const auto r = fault::run_agents(t, {AgentJob{Leave::Complete, "/ok", kReference}}, seconds(30));
    ASSERT_EQ(r[0].statuses, std::vector<int>{200}) << i << " " << r[0].error << serve_->err();
    // One context's pool throughout, so that its oldest are the ones closed.
    ASSERT_TRUE(wait_agents_gone()) << fault::fd_listing(pid());
  }
  const std::size_t idle = sockets_to(pid(), ports);
  EXPECT_LE(idle, 128u) << fault::fd_listing(pid());
  EXPECT_GE(idle, 100u);  // the bound, not something else, limited the pool
  // The oldest were closed to make room.
  EXPECT_EQ(sockets_to(pid(), {ports.front()}), 0u);
  EXPECT_EQ(sockets_to(pid(), {ports.back()}), 1u);
  EXPECT_EQ(settled_fds(before.others(), pooled).others(), before.others()) << fault::fd_listing(pid());

  // An ordinary request still works.
  const auto r = fault::run_agents(target_, {AgentJob{Leave::Complete, "/ok", kReference}}, seconds(30));
  ASSERT_EQ(r[0].statuses, std::vector<int>{200}) << r[0].error << serve_->err();
  EXPECT_EQ(r[0].bodies[0], "ok");

  // The servers close every connection: the proxy drops its side without any further request.
  EXPECT_EQ(upstream->connections(), kHosts + 1);
  upstream.reset();
  EXPECT_EQ(wait_sockets_at_most(pid(), ports, 0), 0u) << fault::fd_listing(pid());
  EXPECT_EQ(settled_fds(before.others(), pooled).others(), before.others()) << fault::fd_listing(pid());
}

TEST_F(FaultUpstream, RequestThatFailsAfterItWasWrittenIsNotSentAgain) {
  test::TestGate gate;
  script_gate(gate, "tok-" + random_hex(12), "key-" + random_hex(12));
  fault::LoopbackUpstream upstream;
  enrol(gate);
  ASSERT_NO_FATAL_FAILURE(start_serve(upstream.port()));
  // A pooled connection, then a request on it that the server reads and answers by closing.
  const auto first = fault::run_agents(target_, {AgentJob{Leave::Complete, "/ok"}}, seconds(30));
  ASSERT_EQ(first[0].statuses, std::vector<int>{200}) << first[0].error << serve_->err();
  ASSERT_EQ(upstream.connections(), 1u);
  ASSERT_TRUE(wait_agents_gone()) << fault::fd_listing(pid());
  AgentJob del{Leave::Complete, "/close"};
  del.method = "DELETE";
  const auto r = fault::run_agents(target_, {del}, seconds(30));
  ASSERT_EQ(r[0].statuses, std::vector<int>{502}) << r[0].error << serve_->err();
  EXPECT_EQ(r[0].bodies[0], kFailedBody);
  std::size_t deletes = 0;
  for (const auto& s : upstream.seen()) deletes += s.method == "DELETE" && s.target == "/close";
  EXPECT_EQ(deletes, 1u);
  EXPECT_EQ(upstream.connections(), 1u);  // the pooled one was taken, and no other opened to retry
  EXPECT_TRUE(serve_->wait_for_err(fmt::format("QB-5070: upstream https://127.0.0.1:{}/close: ", upstream.port()), 1,
                                   seconds(5)))
      << serve_->err();
}

TEST_F(FaultUpstream, SwitchingProtocolsIsAnUpstreamFailureAndItsConnectionIsClosed) {
  test::TestGate gate;
  const std::string token_value = "tok-" + random_hex(12);
  secrets_.push_back(token_value);
  script_gate(gate, token_value, "key-" + random_hex(12));
  fault::LoopbackUpstream upstream;
  enrol(gate);
  ASSERT_NO_FATAL_FAILURE(start_serve(upstream.port()));
  // The next request, from another tunnel, must not go into the switched stream.
  AgentJob job{Leave::Complete, "/switch", kReference};
  const auto r = fault::run_agents(target_, {job}, seconds(30));
  ASSERT_EQ(r[0].statuses, std::vector<int>{502}) << r[0].error << serve_->err();
  EXPECT_EQ(r[0].bodies[0], kFailedBody);
  const auto until = Clock::now() + seconds(10);
  while (upstream.switched_closed() == 0 && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(upstream.switched_closed(), 1u);
  const auto next = fault::run_agents(target_, {AgentJob{Leave::Complete, "/ok", kReference}}, seconds(30));
  ASSERT_EQ(next[0].statuses, std::vector<int>{200}) << next[0].error << serve_->err();
  EXPECT_EQ(upstream.after_switch(), "");
  EXPECT_EQ(upstream.connections(), 2u);
  ASSERT_EQ(upstream.seen().size(), 2u);
  EXPECT_EQ(upstream.seen()[1].headers.at("authorization"), "Bearer " + token_value);
  EXPECT_TRUE(serve_->wait_for_err(fmt::format("QB-5070: upstream https://127.0.0.1:{}/switch: unexpected 101 "
                                               "Switching Protocols: protocol upgrades are not carried\n",
                                               upstream.port()),
                                   1, seconds(5)))
      << serve_->err();
}

TEST_F(FaultUpstream, ResponseHeadOfMoreThanAHundredFieldsIsAnUpstreamFailure) {
  test::TestGate gate;
  script_gate(gate, "tok-" + random_hex(12), "key-" + random_hex(12));
  fault::LoopbackUpstream upstream;
  enrol(gate);
  ASSERT_NO_FATAL_FAILURE(start_serve(upstream.port()));
  struct Case {
    int fields;
    int status;
  };
  for (const Case c : {Case{100, 200}, Case{101, 502}, Case{5000, 502}}) {
    SCOPED_TRACE(c.fields);
    const auto r =
        fault::run_agents(target_, {AgentJob{Leave::Complete, fmt::format("/fields/{}", c.fields)}}, seconds(30));
    ASSERT_EQ(r[0].statuses, std::vector<int>{c.status}) << r[0].error << serve_->err();
    EXPECT_EQ(r[0].bodies[0], c.status == 200 ? "ok" : kFailedBody);
  }
  EXPECT_TRUE(serve_->wait_for_err("response head has more than 100 header fields\n", 2, seconds(5))) << serve_->err();
}

TEST_F(FaultUpstream, CertificateNamingTheHostOnlyInItsCommonNameGetsNoSecret) {
  test::TestGate gate;
  const std::string token_value = "tok-" + random_hex(12);
  const std::string match_value = "key-" + random_hex(12);
  secrets_.insert(secrets_.end(), {token_value, match_value});
  script_gate(gate, token_value, match_value, "https://localhost");
  // From the trusted test root, CN=localhost and no subjectAltName.
  const test::TestCert leaf = test::make_test_leaf(test::test_gate_ca(), "localhost", "");
  fault::LoopbackUpstream upstream({.leaf_cert_pem = leaf.cert_pem, .leaf_key_pem = leaf.key_pem});
  enrol(gate);
  ASSERT_NO_FATAL_FAILURE(start_serve(upstream.port()));
  target_.upstream_host = "localhost";
  const auto r = fault::run_agents(target_, {AgentJob{Leave::Complete, "/ok", kReference}}, seconds(30));
  ASSERT_EQ(r[0].statuses, std::vector<int>{502}) << r[0].error << serve_->err();
  EXPECT_EQ(r[0].bodies[0], kFailedBody);
  EXPECT_EQ(upstream.seen_count(), 0u);
  EXPECT_TRUE(serve_->wait_for_err("certificate verify failed", 1, seconds(5))) << serve_->err();
}

}  // namespace
}  // namespace qb
