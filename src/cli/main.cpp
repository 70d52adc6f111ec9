#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "core/output.h"
#include "core/owner_file.h"
#include "core/runtime.h"

namespace {

// Before anything else: a write to a closed pipe must fail rather than kill the process, and a
// closed standard descriptor must not be taken by the next file opened (a secret file would
// otherwise become standard output).
void process_startup() {
  ::signal(SIGPIPE, SIG_IGN);
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) {
      qb::UniqueFd opened(::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY));
      if (opened.get() == fd) {
        opened.release();  // it took the free number itself and stays open
      } else if (opened.valid()) {
        ::dup2(opened.get(), fd);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  process_startup();
  auto workers = qb::worker_threads_from_env();
  if (!workers) {
    qb::write_stderr(workers.error().display() + "\n");
    return 1;
  }
  std::vector<std::string> args(argv, argv + argc);
  int status = 1;
  {
    auto rt = qb::Runtime::build(*workers);
    if (!rt) {
      qb::write_stderr(rt.error().display() + "\n");
      return 1;
    }
    status = qb::run_main(**rt, std::move(args));
  }
  return status;
}
