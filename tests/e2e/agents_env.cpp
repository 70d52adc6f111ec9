#include "e2e/agents_env.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <thread>

#include <fmt/format.h>

#include "crypto/codecs.h"
#include "support/echo_upstream.h"
#include "support/enrol_blob.h"
#include "support/https_test_server.h"
#include "support/process.h"

extern char** environ;

namespace qb::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Also "localhost": https-proxy-agent checks an IP-literal target's certificate against "localhost",
// so the Node.js agent is sent there by name.
constexpr const char* kLoopbackUrls = R"("https://127.0.0.1","https://localhost")";

std::string read_or_empty(const std::filesystem::path& p) {
  std::error_code ec;
  if (!std::filesystem::exists(p, ec)) return {};
  return test::read_file(p);
}

test::GateAnswer entry_answer(const char* id, const char* title, const char* label, const char* value,
                              const char* url) {
  return test::answer_result(fmt::format(
      R"([{{"entry_id":"{}","title":"{}","data":{{"fields":[{{"label":"{}","value":"{}","tier":1}}],"urls":[{}]}}}}])",
      id, title, label, value, url));
}

}  // namespace

Background::Background(const std::filesystem::path& program, Options options) : opts_(std::move(options)) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    const std::string kv(*e);
    const std::string key = kv.substr(0, kv.find('='));
    bool drop = opts_.env_set.count(key) > 0;
    for (const auto& u : opts_.env_unset) drop = drop || u == key;
    if (!drop) env_strings.push_back(kv);
  }
  for (const auto& [k, v] : opts_.env_set) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_strings{program.string()};
  argv_strings.insert(argv_strings.end(), opts_.args.begin(), opts_.args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  const int out = ::open(opts_.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = ::open(opts_.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out < 0 || err < 0 || in < 0) throw std::runtime_error("background: cannot open its files");
  group_ = opts_.own_group;
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("background: fork failed");
  if (pid_ == 0) {
    if (group_) ::setpgid(0, 0);
    ::signal(SIGINT, SIG_DFL);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!opts_.cwd.empty() && ::chdir(opts_.cwd.c_str()) != 0) ::_exit(127);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  if (group_) ::setpgid(pid_, pid_);  // also here, so that a signal sent at once reaches the group
  ::close(out);
  ::close(err);
  ::close(in);
}

Background::~Background() { stop(); }

bool Background::running() {
  if (status_ >= 0) return false;
  int st = 0;
  const pid_t r = ::waitpid(pid_, &st, WNOHANG);
  if (r == 0) return true;
  status_ = r == pid_ ? (WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st)) : 127;
  return false;
}

bool Background::wait_for_output(const std::string& text, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    const bool alive = running();
    if (out().find(text) != std::string::npos) return true;
    if (!alive) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int Background::stop(std::chrono::seconds grace) {
  if (!running()) return status_;
  const pid_t target = group_ ? -pid_ : pid_;
  ::kill(target, SIGINT);
  const auto deadline = Clock::now() + grace;
  while (running() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (running()) {
    ::kill(target, SIGKILL);
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  if (group_) ::kill(-pid_, SIGKILL);  // anything the group's leader left behind
  return status_;
}

std::string Background::out() const { return read_or_empty(opts_.out); }
std::string Background::err() const { return read_or_empty(opts_.err); }

std::vector<std::string> agent_env_unset() {
  return {"HTTPS_PROXY",         "https_proxy",  "HTTP_PROXY",     "http_proxy",
          "ALL_PROXY",           "all_proxy",    "NO_PROXY",       "no_proxy",
          "SSL_CERT_FILE",       "SSL_CERT_DIR", "CURL_CA_BUNDLE", "REQUESTS_CA_BUNDLE",
          "NODE_EXTRA_CA_CERTS", "NODE_OPTIONS", "NODE_PATH",      "PYTHONPATH",
          "PYTHONHOME",          "CURL_HOME",    "GIT_SSL_CAINFO", "GIT_SSL_CAPATH",
          "GIT_SSL_NO_VERIFY",   "WGETRC"};
}

SystemUnderTest::SystemUnderTest() : gate_(std::make_unique<test::TestGate>()) {
  gate_->set_answer("search.query", test::answer_result("[]"));
  gate_->set_search_answer("api", entry_answer("e1", "api", "token", kRefSecret, kLoopbackUrls));
  gate_->set_search_answer("billing",
                           entry_answer("e3", "billing", "token", kUnboundSecret, R"("https://billing.example.com")"));
  gate_->set_answer("ext.match", entry_answer("e2", "match", "api_key", kMatchSecret, kLoopbackUrls));

  Background::Options up;
  up.args = {"--ca-out", (dir_ / "upstream-ca.pem").string()};
  up.cwd = dir_.path();
  up.out = dir_ / "upstream.out";
  up.err = dir_ / "upstream.err";
  upstream_ = std::make_unique<Background>(QB_ECHO_UPSTREAM, up);
  if (!upstream_->wait_for_output("\nca ")) {
    throw std::runtime_error("echo upstream did not start: " + upstream_->err());
  }
  const std::string banner = upstream_->out();
  upstream_url_ = banner.substr(4, banner.find('\n') - 4);
  test::write_file(roots(), test::test_gate_ca().cert_pem + test::read_file(dir_ / "upstream-ca.pem"));

  std::filesystem::create_directory(install_dir());
  ::chmod(install_dir().c_str(), 0700);
  std::filesystem::copy_file(QB_BINARY, install_dir() / "quorbelt-proxy");
  ::chmod((install_dir() / "quorbelt-proxy").c_str(), 0755);

  test::BlobFields f = test::sample_fields(gate_host());
  f.pop_pub = encode_hex(gate_->node_pub().bytes);
  const auto e = test::seal_enrolment(test::blob_json(f));
  enrolment_ = e.blob + "\n" + e.key + "\n";
}

SystemUnderTest::~SystemUnderTest() {
  serve_.reset();
  upstream_.reset();
}

std::string SystemUnderTest::gate_host() const { return fmt::format("127.0.0.1:{}", gate_->port()); }

std::string SystemUnderTest::enrolment_text() const { return enrolment_; }

std::string SystemUnderTest::proxy_url() const {
  std::string token = test::read_file(install_dir() / "proxy-auth");
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
  return fmt::format("http://quorbelt:{}@127.0.0.1:{}", token, proxy_port_);
}

std::string SystemUnderTest::enrol() {
  test::ProcessOptions opts;
  opts.args = {"init"};
  opts.cwd = dir_.path();
  opts.stdin_data = enrolment_;
  opts.env_set["QUORBELT_PROXY_CONFIRM_VAULT"] = gate_host();
  auto r = test::run_process(install_dir() / "quorbelt-proxy", opts);
  return r.status == 0 ? std::string() : fmt::format("init exited {}: {}", r.status, r.err);
}

std::string SystemUnderTest::serve() {
  test::write_file(install_dir() / "proxy-allow-private", "", 0600);
  test::ProcessOptions ca;
  ca.args = {"ca"};
  ca.cwd = dir_.path();
  auto r = test::run_process(install_dir() / "quorbelt-proxy", ca);
  if (r.status != 0) return "ca failed: " + r.err;
  test::write_file(proxy_ca(), r.out);

  std::string last;
  // The chosen port may be taken between choosing and binding: then try another.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::uint16_t port = test::closed_loopback_port();
    Background::Options o;
    o.args = {"serve"};
    o.cwd = dir_.path();
    o.env_set = {{"QUORBELT_PROXY_PORT", std::to_string(port)}, {"SSL_CERT_FILE", roots().string()}};
    o.env_unset = agent_env_unset();
    o.env_unset.erase(std::find(o.env_unset.begin(), o.env_unset.end(), "SSL_CERT_FILE"));
    o.out = dir_ / "serve.out";
    o.err = dir_ / "serve.err";
    serve_ = std::make_unique<Background>(install_dir() / "quorbelt-proxy", o);
    if (serve_->wait_for_output(" listening on ")) {
      proxy_port_ = port;
      return {};
    }
    serve_->stop();
    last = serve_->err();
    if (last.find("QB-5010: bind") == std::string::npos) break;
  }
  return "serve did not start: " + last;
}

std::string download_sha256(std::size_t n) { return test::sha256_hex(test::download_pattern(n)); }

}  // namespace qb::e2e
