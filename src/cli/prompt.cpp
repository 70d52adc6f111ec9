#include "cli/prompt.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fmt/format.h>

#include "core/bytes.h"
#include "core/output.h"
#include "core/text.h"

extern char** environ;

namespace qb {
namespace {

constexpr std::size_t kReadChunk = 4096;

Result<SecretBytes, int> read_failure(int errnum) { return {boost::system::in_place_error, errnum}; }

// Ctrl-C while echo is off: the handler only writes to a pipe (async-signal-safe), whichever thread
// it lands on; the reader polls that pipe next to standard input and gives up, so the main road can
// turn echo back on before the signal is raised again with its default action.
int g_sigint_pipe[2] = {-1, -1};

extern "C" void on_sigint(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_sigint_pipe[1], &byte, 1);
  errno = saved;
}

class SigintTrap {
 public:
  SigintTrap() {
    if (g_sigint_pipe[0] < 0 && ::pipe2(g_sigint_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      g_sigint_pipe[0] = g_sigint_pipe[1] = -1;
      return;
    }
    drain();
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the read must come back
    installed_ = ::sigaction(SIGINT, &sa, &old_) == 0;
  }
  ~SigintTrap() {
    if (installed_) ::sigaction(SIGINT, &old_, nullptr);
  }
  SigintTrap(const SigintTrap&) = delete;
  SigintTrap& operator=(const SigintTrap&) = delete;

  int fd() const { return installed_ ? g_sigint_pipe[0] : -1; }
  bool fired() const {
    if (!installed_) return false;
    pollfd p{g_sigint_pipe[0], POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
  }
  // Dies of SIGINT as if no handler had been installed.
  [[noreturn]] void reraise() {
    ::signal(SIGINT, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(SIGINT);
    ::_exit(128 + SIGINT);
  }

 private:
  static void drain() {
    char sink[64];
    while (::read(g_sigint_pipe[0], sink, sizeof sink) > 0) {
    }
  }
  struct sigaction old_ {};
  bool installed_ = false;
};

// Turns echo back on when released, if this prompt turned it off.
class EchoGuard {
 public:
  explicit EchoGuard(std::span<const char* const> candidates) : candidates_(candidates) {}
  ~EchoGuard() { restore_echo_on_drop(); }
  EchoGuard(const EchoGuard&) = delete;
  EchoGuard& operator=(const EchoGuard&) = delete;

  void arm() { echo_off_ = true; }
  void restore_echo_on_drop() {
    if (!echo_off_) return;
    echo_off_ = false;
    set_terminal_echo(true, candidates_);
    write_stderr("\n");  // the user's Enter was not echoed
  }

 private:
  std::span<const char* const> candidates_;
  bool echo_off_ = false;
};

bool run_stty(const char* path, const char* arg) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // The program ignores SIGPIPE for itself; the tool gets the default back.
  sigset_t def, mask;
  sigemptyset(&def);
  sigaddset(&def, SIGPIPE);
  sigemptyset(&mask);
  posix_spawnattr_setsigdefault(&attr, &def);
  posix_spawnattr_setsigmask(&attr, &mask);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  char* argv[] = {const_cast<char*>(path), const_cast<char*>(arg), nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, path, &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

Result<SecretBytes, int> LineReader::read_line(int cancel_fd) {
  // End of input holds for this line only: at a terminal Ctrl-D ends one prompt, and the next one
  // waits for the user again.
  bool eof = false;
  std::size_t scanned = 0;
  for (;;) {
    const auto nl = std::find(buf_.begin() + scanned, buf_.end(), std::uint8_t{'\n'});
    if (nl != buf_.end() || eof) {
      const std::size_t len = nl != buf_.end() ? static_cast<std::size_t>(nl - buf_.begin()) + 1 : buf_.size();
      SecretBytes line(std::span<const std::uint8_t>(buf_.data(), len));
      const std::size_t rest = buf_.size() - len;
      if (rest > 0) std::memmove(buf_.data(), buf_.data() + len, rest);
      buf_.resize(rest);
      return line;
    }
    scanned = buf_.size();

    if (cancel_fd >= 0) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {cancel_fd, POLLIN, 0}};
      const int n = ::poll(fds, 2, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return read_failure(errno);
      }
      if (fds[1].revents & POLLIN) return read_failure(EINTR);
      if (fds[0].revents == 0) continue;
    }

    std::array<std::uint8_t, kReadChunk> chunk;
    const ssize_t got = ::read(fd_, chunk.data(), chunk.size());
    if (got < 0) {
      const int e = errno;
      if (e == EINTR) continue;
      return read_failure(e);
    }
    if (got == 0) {
      eof = true;
      continue;
    }
    buf_.append(std::span<const std::uint8_t>(chunk.data(), static_cast<std::size_t>(got)));
    secure_wipe(chunk.data(), chunk.size());
  }
}

LineReader& stdin_reader() {
  static LineReader reader(0);
  return reader;
}

bool set_terminal_echo(bool on, std::span<const char* const> candidates) {
  const char* arg = on ? "echo" : "-echo";
  for (const char* path : candidates) {
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (run_stty(path, arg)) return true;
  }
  return false;
}

bool set_terminal_echo(bool on) { return set_terminal_echo(on, kSttyCandidates); }

ProxyError stdin_read_error(int errnum) {
  return proxy_error_new(codes::QB_5004, fmt::format("read stdin: {}", os_error_text(errnum)));
}

ProxyError stdin_not_utf8_error() {
  return proxy_error_new(codes::QB_5004, "read stdin: stream did not contain valid UTF-8");
}

ProxyResult<SecretBytes> prompt_secret(std::string_view prompt, LineReader& reader,
                                       std::span<const char* const> stty_candidates) {
  const bool tty = ::isatty(reader.fd()) == 1;
  Result<SecretBytes, int> line = SecretBytes{};
  {
    EchoGuard guard(stty_candidates);
    std::optional<SigintTrap> trap;
    if (tty) {
      write_stderr(fmt::format("{} ", prompt));
      trap.emplace();
      if (!set_terminal_echo(false, stty_candidates)) {
        if (trap->fired()) trap->reraise();
        std::string paths;
        for (const char* p : stty_candidates) paths += paths.empty() ? std::string(p) : fmt::format(" or {}", p);
        return proxy_error_new(
            codes::QB_5004,
            fmt::format("refusing to prompt: terminal echo could not be disabled (no working stty at {}), so your "
                        "input would be visible on screen, in scrollback, and to a screen-share. Pipe the value in "
                        "instead (echo is not involved on a non-TTY stdin), e.g. `quorbelt-proxy init < token.txt`",
                        paths));
      }
      guard.arm();
    }
    line = reader.read_line(trap ? trap->fd() : -1);
    guard.restore_echo_on_drop();
    if (trap && trap->fired()) trap->reraise();
  }
  if (!line) return stdin_read_error(line.error());
  // Text is what the reader hands on; bytes that are not UTF-8 are a read failure.
  if (!is_utf8(line->text())) {
    return stdin_not_utf8_error();
  }
  const std::string_view trimmed = trim_ws(line->text());
  return SecretBytes(as_bytes(trimmed));
}

ProxyResult<SecretBytes> prompt_secret(std::string_view prompt) {
  return prompt_secret(prompt, stdin_reader(), kSttyCandidates);
}

}  // namespace qb
