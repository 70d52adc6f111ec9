// "init" through the real binary: piped secrets, the confirmation variable, refusals that leave the
// directory as it was, and the prompts at a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "cli/config.h"
#include "core/errors.h"
#include "support/enrol_blob.h"
#include "support/process.h"
#include "support/temp_dir.h"

extern char** environ;

namespace qb {
namespace {

using test::ProcessOptions;
using Clock = std::chrono::steady_clock;

constexpr const char* kConfirmVar = "QUORBELT_PROXY_CONFIRM_VAULT";
const std::string kPop = "pop.example.com";

std::string bad_blob_line(std::string_view detail) {
  return "QB-5005: bad enrollment blob: " + CliError(catalogue::QB_2001, std::string(detail)).debug() + "\n";
}

class Init : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = dir_ / "quorbelt-proxy";
    std::filesystem::copy_file(QB_BINARY, exe_);
    ::chmod(exe_.c_str(), 0755);
  }
  // stdin is always given; the confirmation variable only when asked for.
  test::ProcessResult init(const std::string& stdin_data, const char* confirm = nullptr) {
    ProcessOptions opts;
    opts.args = {"init"};
    opts.cwd = dir_.path();
    opts.stdin_data = stdin_data;
    if (confirm) {
      opts.env_set[kConfirmVar] = confirm;
    } else {
      opts.env_unset.push_back(kConfirmVar);
    }
    return test::run_process(exe_, opts);
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::filesystem::path conf() const { return dir_ / "quorbelt.conf"; }
  std::string summary(const std::string& replica = "") const {
    std::string s = "Enrolled against vault https://" + kPop + "\n";
    if (!replica.empty()) s += "Replica " + replica + "\n";
    return s + "Vault ID 0100000000000abc\nConfig " + conf().string() +
           "\nTry: quorbelt-proxy ca > ca.pem   then   quorbelt-proxy serve\n";
  }

  test::TempDir dir_;
  std::filesystem::path exe_;
};

TEST_F(Init, PipedBlobAndKeyWriteAConfigThatOpens) {
  const auto e = test::seal_enrolment(test::blob_json(test::sample_fields(kPop)));
  auto r = init(e.blob + "\n" + e.key + "\n", "  POP.Example.COM \t");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");  // no prompt off a terminal
  EXPECT_EQ(r.out, summary());
  EXPECT_EQ(test::file_mode(conf()), 0600u);
  EXPECT_EQ(entries(), (std::vector<std::string>{"quorbelt-proxy", "quorbelt.conf"}));
  auto cfg = open_config(conf());
  ASSERT_TRUE(cfg) << cfg.error().display();
  EXPECT_EQ(cfg->vault_url, "https://" + kPop);
  EXPECT_EQ(cfg->vault_gate_pub, test::node_key_hex(1));

  // Enrolled: a second init is refused, whatever it is given.
  auto again = init(e.blob + "\n" + e.key + "\n", kPop.c_str());
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "QB-5006: " + conf().string() + " already exists; delete it to re-initialize\n");
}

TEST_F(Init, AReplicaIsNamedBeforeTheConfigIsWritten) {
  test::BlobFields f = test::sample_fields(kPop);
  f.replica_host = "replica.example.com/";
  f.replica_pub = test::node_key_hex(2);
  const auto e = test::seal_enrolment(test::blob_json(f));
  auto r = init(e.blob + "\r\n" + e.key, kPop.c_str());  // CRLF, and no final line feed
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, summary("https://replica.example.com"));
  EXPECT_EQ(r.err.rfind("WARNING: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("'replica.example.com'"), std::string::npos) << r.err;
  auto cfg = open_config(conf());
  ASSERT_TRUE(cfg);
  EXPECT_EQ(cfg->replica_url, "https://replica.example.com");
}

TEST_F(Init, RefusalsWriteNothing) {
  const std::string json = test::blob_json(test::sample_fields(kPop));
  const auto good = test::seal_enrolment(json);
  const auto other = test::seal_enrolment(json);
  const std::string not_authentic =
      bad_blob_line("enrollment blob did not authenticate \u2014 wrong key or corrupt blob");
  test::BlobFields no_pub = test::sample_fields(kPop);
  no_pub.pop_pub.reset();
  const auto old = test::seal_enrolment(test::blob_json(no_pub));
  const std::string unset =
      "QB-5005: refusing to enroll non-interactively without confirming the vault host. This blob would bind the "
      "agent to 'pop.example.com', which the key does not vouch for. If that is your vault, re-run with "
      "QUORBELT_PROXY_CONFIRM_VAULT='pop.example.com'.\n";
  struct Case {
    std::string name, stdin_data;
    const char* confirm;
    std::string err;
  };
  const Case cases[] = {
      {"nothing piped", "", kPop.c_str(), "QB-5005: enrollment key is required\n"},
      {"blob only", good.blob + "\n", kPop.c_str(), "QB-5005: enrollment key is required\n"},
      {"wrong key", good.blob + "\n" + other.key + "\n", kPop.c_str(), not_authentic},
      {"key of 31 bytes", good.blob + "\n" + test::base64url(test::random_bytes_vec(31)) + "\n", kPop.c_str(),
       bad_blob_line("enrollment key must be 32 bytes (base64url of a 256-bit key)")},
      {"no pop_pub", old.blob + "\n" + old.key + "\n", kPop.c_str(),
       bad_blob_line("this enrollment blob carries no POP key or a retired X25519 one \u2014 make a new client blob "
                     "in the vault and connect again")},
      {"variable unset", good.blob + "\n" + good.key + "\n", nullptr, unset},
      {"variable mismatched", good.blob + "\n" + good.key + "\n", " evil.example\x1b[2J ",
       "QB-5005: refusing to enroll: the token names vault host 'pop.example.com' but QUORBELT_PROXY_CONFIRM_VAULT "
       "says 'evil.example\\x1b[2J'. If 'pop.example.com' is genuinely your vault, set "
       "QUORBELT_PROXY_CONFIRM_VAULT to it; if it is not, the token is not from your vault \u2014 do not use it.\n"},
      {"variable a prefix", good.blob + "\n" + good.key + "\n", "pop.example", ""},
  };
  for (const auto& c : cases) {
    auto r = init(c.stdin_data, c.confirm);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
    if (!c.err.empty()) {
      EXPECT_EQ(r.err, c.err) << c.name;
    } else {
      EXPECT_EQ(r.err.rfind("QB-5005: refusing to enroll: ", 0), 0u) << c.name << r.err;
    }
    EXPECT_EQ(entries(), std::vector<std::string>{"quorbelt-proxy"}) << c.name;
  }
}

TEST_F(Init, ASymbolicLinkAtTheConfigPathIsRefused) {
  std::filesystem::create_symlink(dir_ / "elsewhere", conf());
  const auto e = test::seal_enrolment(test::blob_json(test::sample_fields(kPop)));
  auto r = init(e.blob + "\n" + e.key + "\n", kPop.c_str());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "QB-5003: " + conf().string() + " is a symlink; refusing to write through it\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "elsewhere"));
  EXPECT_TRUE(std::filesystem::is_symlink(conf()));

  // A link to an existing file counts as an existing configuration.
  test::write_file(dir_ / "elsewhere", "x");
  r = init(e.blob + "\n" + e.key + "\n", kPop.c_str());
  EXPECT_EQ(r.err, "QB-5006: " + conf().string() + " already exists; delete it to re-initialize\n");
  EXPECT_EQ(test::read_file(dir_ / "elsewhere"), "x");
}

// The binary on a pseudo-terminal as its controlling terminal and standard input; standard output
// and standard error go to pipes.
class OnTerminal {
 public:
  OnTerminal(const std::filesystem::path& exe, const std::filesystem::path& cwd) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) throw std::runtime_error("no pty");
    const std::string slave = ::ptsname(master_);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      if (!std::string_view(*e).starts_with(std::string(kConfirmVar) + "=")) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string prog = exe.string(), word = "init";
    char* argv[] = {prog.data(), word.data(), nullptr};

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::setsid();
      const int s = ::open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
      if (s < 0) ::_exit(126);
      ::dup2(s, 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      if (s > 2) ::close(s);
      ::signal(SIGINT, SIG_DFL);
      if (::chdir(cwd.c_str()) != 0) ::_exit(127);
      ::execve(argv[0], argv, envp.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~OnTerminal() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    ::close(master_);
    ::close(out_);
    ::close(err_);
  }

  // Reads standard error until it holds `text` (from where the last wait ended).
  ::testing::AssertionResult wait_for_stderr(const std::string& text) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (err_text_.find(text, err_seen_) == std::string::npos) {
      if (Clock::now() > deadline || !pump(err_, err_text_)) {
        return ::testing::AssertionFailure() << "no " << text << " in " << err_text_;
      }
    }
    err_seen_ = err_text_.find(text, err_seen_) + text.size();
    return ::testing::AssertionSuccess();
  }
  bool echo_on() const {
    termios t{};
    ::tcgetattr(master_, &t);
    return (t.c_lflag & ECHO) != 0;
  }
  ::testing::AssertionResult wait_for_echo(bool on) const {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (echo_on() != on) {
      if (Clock::now() > deadline) return ::testing::AssertionFailure() << "echo stayed " << !on;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ::testing::AssertionSuccess();
  }
  void type(const std::string& text) {
    ASSERT_EQ(::write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // What the terminal showed (echoed input), read so far.
  std::string screen() {
    std::string s;
    char buf[4096];
    pollfd p{master_, POLLIN, 0};
    while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      s.append(buf, static_cast<std::size_t>(n));
    }
    return s;
  }
  // The exit status, reading the output meanwhile; a child still running after the limit fails
  // the test and is killed.
  int wait(std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = Clock::now() + limit;
    int st = 0;
    for (;;) {
      const pid_t r = ::waitpid(pid_, &st, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) break;
      if (Clock::now() > deadline) {
        ADD_FAILURE() << "the child did not exit within " << limit.count() << " s; killed";
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
        break;
      }
      pump(err_, err_text_, 5);
      pump(out_, out_text_, 5);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    // Whatever is left; a descriptor some other process still holds open ends at the limit.
    const auto drained = Clock::now() + std::chrono::seconds(5);
    while (pump(err_, err_text_) && Clock::now() < drained) {
    }
    while (pump(out_, out_text_) && Clock::now() < drained) {
    }
    return status_;
  }
  const std::string& err() const { return err_text_; }
  const std::string& out() const { return out_text_; }

 private:
  static bool pump(int fd, std::string& into, int poll_ms = 100) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, poll_ms) < 0) return false;
    if (p.revents == 0) return true;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    into.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  int master_ = -1, out_ = -1, err_ = -1;
  pid_t pid_ = -1;
  int status_ = -1;
  std::string err_text_, out_text_;
  std::size_t err_seen_ = 0;
};

const std::string kBlobPrompt = "Paste enrollment blob, then press Enter: ";
const std::string kKeyPrompt = "Enrollment key: ";
const std::string kQuestion = "  Enroll against pop.example.com? [yes/no] ";

TEST_F(Init, AtATerminalSecretsAreReadWithEchoOffAndTheHostConfirmed) {
  const auto e = test::seal_enrolment(test::blob_json(test::sample_fields(kPop)));
  OnTerminal t(exe_, dir_.path());
  ASSERT_TRUE(t.wait_for_stderr(kBlobPrompt));
  ASSERT_TRUE(t.wait_for_echo(false));
  t.type(e.blob + "\n");
  ASSERT_TRUE(t.wait_for_stderr("\n" + kKeyPrompt));
  ASSERT_TRUE(t.wait_for_echo(false));
  t.type(e.key + "\n");
  ASSERT_TRUE(t.wait_for_stderr(kQuestion));
  EXPECT_TRUE(t.echo_on());  // restored before the question
  t.type(" Y \n");
  EXPECT_EQ(t.wait(), 0) << t.err();
  EXPECT_EQ(t.err(), kBlobPrompt + "\n" + kKeyPrompt + "\n" +
                         "\n  This token enrolls the agent against vault:\n\n      pop.example.com\n\n"
                         "  Your key authenticated the blob \u2014 NOT this host. If you did not get\n"
                         "  this blob from your own vault operator, answering yes hands your\n"
                         "  agent's credential resolution to whoever did.\n" +
                         kQuestion);
  EXPECT_EQ(t.out(), summary());
  const std::string screen = t.screen();
  EXPECT_EQ(screen.find(e.blob.substr(0, 40)), std::string::npos);  // never shown
  EXPECT_EQ(screen.find(e.key), std::string::npos);
  EXPECT_NE(screen.find(" Y "), std::string::npos);  // the answer is echoed
  EXPECT_TRUE(t.echo_on());
  EXPECT_TRUE(std::filesystem::exists(conf()));
}

TEST_F(Init, AtATerminalAnythingButYesDeclines) {
  test::BlobFields f = test::sample_fields(kPop);
  f.replica_host = "replica\x1b.example.com";  // named, sanitised, before the question
  const auto e = test::seal_enrolment(test::blob_json(f));
  for (const std::string answer : {"yess\n", "\n", "\x04"}) {  // the last is end of input
    OnTerminal t(exe_, dir_.path());
    ASSERT_TRUE(t.wait_for_stderr(kBlobPrompt));
    ASSERT_TRUE(t.wait_for_echo(false));
    t.type(e.blob + "\n");
    ASSERT_TRUE(t.wait_for_stderr(kKeyPrompt));
    ASSERT_TRUE(t.wait_for_echo(false));
    t.type(e.key + "\n");
    ASSERT_TRUE(t.wait_for_stderr(kQuestion));
    t.type(answer);
    EXPECT_EQ(t.wait(), 1);
    EXPECT_TRUE(
        t.err().ends_with("  agent's credential resolution to whoever did.\n"
                          "  Gate calls can also fail over to the replica it names: replica\\x1b.example.com\n" +
                          kQuestion +
                          "QB-5005: enrollment declined; nothing was written. Vault 'pop.example.com' was "
                          "not trusted.\n"))
        << t.err();
    EXPECT_FALSE(std::filesystem::exists(conf()));
  }
}

// Ctrl-D at the blob prompt ends that prompt only: the key prompt still waits for typing.
TEST_F(Init, AtATerminalEndOfInputEndsOnePromptOnly) {
  const auto e = test::seal_enrolment(test::blob_json(test::sample_fields(kPop)));
  OnTerminal t(exe_, dir_.path());
  ASSERT_TRUE(t.wait_for_stderr(kBlobPrompt));
  ASSERT_TRUE(t.wait_for_echo(false));
  t.type("\x04");
  ASSERT_TRUE(t.wait_for_stderr("\n" + kKeyPrompt));
  ASSERT_TRUE(t.wait_for_echo(false));
  t.type(e.key + "\n");
  EXPECT_EQ(t.wait(), 1);
  // The empty blob fails at its opening, after the key was read.
  EXPECT_EQ(t.err(), kBlobPrompt + "\n" + kKeyPrompt + "\n" +
                         bad_blob_line("enrollment blob did not authenticate \u2014 wrong key or corrupt blob"));
  EXPECT_TRUE(t.echo_on());
  EXPECT_FALSE(std::filesystem::exists(conf()));
}

TEST_F(Init, AtATerminalAnAnswerThatIsNotUtf8IsAReadFailure) {
  const auto e = test::seal_enrolment(test::blob_json(test::sample_fields(kPop)));
  OnTerminal t(exe_, dir_.path());
  ASSERT_TRUE(t.wait_for_stderr(kBlobPrompt));
  ASSERT_TRUE(t.wait_for_echo(false));
  t.type(e.blob + "\n");
  ASSERT_TRUE(t.wait_for_stderr(kKeyPrompt));
  ASSERT_TRUE(t.wait_for_echo(false));
  t.type(e.key + "\n");
  ASSERT_TRUE(t.wait_for_stderr(kQuestion));
  t.type("y\xff\n");
  EXPECT_EQ(t.wait(), 1);
  EXPECT_TRUE(t.err().ends_with(kQuestion + "QB-5004: read stdin: stream did not contain valid UTF-8\n")) << t.err();
  EXPECT_FALSE(std::filesystem::exists(conf()));
}

TEST_F(Init, CtrlCWhileEchoIsOffRestoresEcho) {
  OnTerminal t(exe_, dir_.path());
  ASSERT_TRUE(t.wait_for_stderr(kBlobPrompt));
  ASSERT_TRUE(t.wait_for_echo(false));
  t.type("half a blo\x03");
  EXPECT_EQ(t.wait(), 128 + SIGINT);
  EXPECT_TRUE(t.echo_on());
  EXPECT_EQ(t.err(), kBlobPrompt + "\n");
  EXPECT_FALSE(std::filesystem::exists(conf()));
}

TEST_F(Init, AtATerminalAnExistingConfigIsRefusedBeforeAnyPrompt) {
  test::write_file(conf(), "enrolled");
  OnTerminal t(exe_, dir_.path());
  EXPECT_EQ(t.wait(), 1);
  EXPECT_EQ(t.err(), "QB-5006: " + conf().string() + " already exists; delete it to re-initialize\n");
  EXPECT_EQ(test::read_file(conf()), "enrolled");
}

}  // namespace
}  // namespace qb
