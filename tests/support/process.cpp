#include "support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "core/owner_file.h"

extern char** environ;

namespace qb::test {

bool forbid_new_threads() {
  const rlimit one{1, 1};
  if (::geteuid() == 0) {
    // An id well above any account's, different for each process.
    const auto id = static_cast<uid_t>(200000 + ::getpid() % 100000);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(id, id, id) != 0) return false;
    if (::setrlimit(RLIMIT_NPROC, &one) != 0) return false;
    return ::setresuid(id, id, id) == 0;
  }
  return ::setrlimit(RLIMIT_NPROC, &one) == 0;
}

ProcessResult run_process(const std::filesystem::path& program, const ProcessOptions& opts) {
  // Read end first, write end second, as pipe2 fills them.
  UniqueFd in[2], out[2], err[2];
  for (UniqueFd* ends : {in, out, err}) {
    int raw[2];
    if (::pipe2(raw, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    ends[0] = UniqueFd(raw[0]);
    ends[1] = UniqueFd(raw[1]);
  }

  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    std::string kv(*e);
    const std::string key = kv.substr(0, kv.find('='));
    bool drop = opts.env_set.count(key) > 0;
    for (const auto& u : opts.env_unset) drop = drop || u == key;
    if (!drop) env_strings.push_back(kv);
  }
  for (const auto& [k, v] : opts.env_set) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argv_strings{program.string()};
  argv_strings.insert(argv_strings.end(), opts.args.begin(), opts.args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(in[0].get(), 0);
    if (opts.close_stdout) {
      ::close(1);
    } else {
      ::dup2(out[1].get(), 1);
    }
    ::dup2(err[1].get(), 2);
    // Only 0, 1 and 2 go to the child: an inherited listener of the test would keep its port open.
#if defined(__linux__)
    ::close_range(3, ~0U, 0);
#else
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
#endif
    if (opts.cwd && ::chdir(opts.cwd->c_str()) != 0) ::_exit(127);
    if (opts.no_new_threads && !forbid_new_threads()) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  in[0].reset();
  out[1].reset();
  err[1].reset();

  ProcessResult r;
  std::size_t written = 0;
  UniqueFd& in_fd = in[1];
  ::fcntl(in_fd.get(), F_SETFL, O_NONBLOCK);
  if (opts.stdin_data.empty()) in_fd.reset();
  UniqueFd* fds[2] = {&out[0], &err[0]};
  std::string* sinks[2] = {&r.out, &r.err};
  const auto deadline = std::chrono::steady_clock::now() + opts.timeout;
  while (fds[0]->valid() || fds[1]->valid()) {
    pollfd p[3];
    int n = 0;
    for (int i = 0; i < 2; ++i)
      if (fds[i]->valid()) p[n++] = {fds[i]->get(), POLLIN, 0};
    if (in_fd.valid()) p[n++] = {in_fd.get(), POLLOUT, 0};
    const int rc = ::poll(p, n, 200);
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (rc <= 0) continue;
    for (int k = 0; k < n; ++k) {
      if (!p[k].revents) continue;
      if (in_fd.valid() && p[k].fd == in_fd.get()) {
        const ssize_t w = ::write(in_fd.get(), opts.stdin_data.data() + written, opts.stdin_data.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if (w < 0 && errno != EAGAIN) written = opts.stdin_data.size();
        if (written >= opts.stdin_data.size()) in_fd.reset();
        continue;
      }
      for (int i = 0; i < 2; ++i) {
        if (!fds[i]->valid() || p[k].fd != fds[i]->get()) continue;
        char buf[4096];
        const ssize_t got = ::read(fds[i]->get(), buf, sizeof buf);
        if (got > 0) {
          sinks[i]->append(buf, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
          fds[i]->reset();
        }
      }
    }
  }
  in_fd.reset();
  for (UniqueFd* fd : fds) fd->reset();
  // The output can end before the child does (it closed its descriptors): the wait is bounded
  // by the same limit.
  int status = 0;
  for (;;) {
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid || (got < 0 && errno != EINTR)) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    ::poll(nullptr, 0, 5);
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

}  // namespace qb::test
