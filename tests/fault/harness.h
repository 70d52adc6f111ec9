// Loopback pieces for driving the real binary under faults and load: a child process with its
// output collected, views of /proc, an HTTPS upstream that can reset mid-body, and agents that
// open tunnels and leave them in every way.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/bounded_thread.h"

namespace qb::fault {

// A program started with pipes for its three standard streams; stdin gets the data and is closed.
class Child {
 public:
  Child(const std::filesystem::path& program, const std::vector<std::string>& args, const std::filesystem::path& cwd,
        const std::map<std::string, std::string>& env_set, const std::string& stdin_data);
  ~Child();  // kills and reaps a child still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int sig) const;
  // The exit status, or 128 + signal; -1 when the limit passed first.
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
  bool running();
  std::string out() const;
  std::string err() const;
  // Waits until standard output holds the text (false when the child ended or the limit passed).
  bool wait_for_out(std::string_view text, std::chrono::milliseconds limit);
  // Waits until standard error holds the text at least count times.
  bool wait_for_err(std::string_view text, std::size_t count, std::chrono::milliseconds limit);

 private:
  void collect();
  pid_t pid_ = -1;
  int status_ = -1;
  bool reaped_ = false;
  int out_fd_ = -1;
  int err_fd_ = -1;
  mutable std::mutex mu_;
  std::string out_;
  std::string err_;
  test::BoundedThread reader_;
};

std::size_t count_of(std::string_view haystack, std::string_view needle);

// The process's open descriptors, split into sockets connected to one of the given loopback
// ports (pooled connections to the gate or upstream) and everything else.
struct FdCensus {
  std::size_t total = 0;
  std::size_t pooled = 0;
  std::size_t unix_sockets = 0;  // an idle pooled gate handle keeps one socket pair, connected or not
  std::size_t others() const { return total - pooled - unix_sockets; }
};
FdCensus fd_census(pid_t pid, const std::vector<std::uint16_t>& pooled_ports);
// The process's TCP connections on that local port, listeners left out.
std::size_t connections_on(pid_t pid, std::uint16_t local_port);
// One line per descriptor: its link, and for TCP sockets the ports and state (for failure messages).
std::string fd_listing(pid_t pid);
// VmRSS in KiB.
std::size_t rss_kib(pid_t pid);

// A request the upstream received.
struct UpstreamSeen {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // lower-case names, last value
};

struct LoopbackOptions {
  std::string leaf_cert_pem;  // with leaf_key_pem; empty: a leaf from the test gate's CA for the loopback names
  std::string leaf_key_pem;
  std::size_t ports = 1;  // listeners, all serving alike
};

// HTTPS on 127.0.0.1 with a leaf from the test gate's CA, one thread for all connections.
//   /reset     a head announcing 100000 bytes, 1000 of them, then a TCP reset
//   /close     closes the connection without an answer
//   /switch    101 Switching Protocols, then reads until the proxy closes
//   /fields/N  200 with the body "ok" in a head of N header fields
//   other      200 with the body "ok", after reading the request body
class LoopbackUpstream {
 public:
  explicit LoopbackUpstream(LoopbackOptions options = {});
  ~LoopbackUpstream();
  LoopbackUpstream(const LoopbackUpstream&) = delete;
  LoopbackUpstream& operator=(const LoopbackUpstream&) = delete;

  std::uint16_t port() const;  // the first listener's
  std::vector<std::uint16_t> ports() const;
  std::vector<UpstreamSeen> seen() const;
  std::size_t seen_count() const;
  std::size_t connections() const;  // accepted, over all listeners
  // After a 101: the bytes that arrived on switched connections, and how many the proxy closed.
  std::string after_switch() const;
  std::size_t switched_closed() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// How an agent leaves its tunnel.
enum class Leave {
  AtOnce,          // TCP connect, then close
  MidConnect,      // half a CONNECT head
  AfterConnect,    // after the 200, before any TLS
  MidHandshake,    // after the first bytes of a ClientHello
  AfterHandshake,  // TLS up, no request
  MidHead,         // half a request head
  MidBody,         // a POST announcing 100000 bytes, 1000 sent
  Complete,        // every request answered in full
  Hold,            // TLS up, kept open until the tunnels are released
};

struct AgentJob {
  Leave leave = Leave::Complete;
  std::string path = "/ok";
  std::vector<std::pair<std::string, std::string>> headers;  // request headers besides Host
  int requests = 1;                                          // on one connection, for Complete
  std::string method = "GET";                                // for Complete
};

struct AgentResult {
  int connect_status = 0;  // 0: no reply to CONNECT
  bool tls = false;
  std::vector<int> statuses;
  std::vector<std::string> bodies;
  std::string error;
};

struct ProxyTarget {
  std::uint16_t proxy_port = 0;
  std::string proxy_authorization;          // the whole header value
  std::string ca_pem;                       // the proxy's CA certificate
  std::string upstream_host = "127.0.0.1";  // the CONNECT target, with the port below
  std::uint16_t upstream_port = 0;
};

// Runs every job at once on one thread; each job gives up after the limit.
std::vector<AgentResult> run_agents(const ProxyTarget& target, const std::vector<AgentJob>& jobs,
                                    std::chrono::seconds limit);

// Opens n tunnels at once (Leave::Hold) and keeps them until destroyed.
class HeldTunnels {
 public:
  HeldTunnels(const ProxyTarget& target, std::size_t n);
  ~HeldTunnels();
  HeldTunnels(const HeldTunnels&) = delete;
  HeldTunnels& operator=(const HeldTunnels&) = delete;
  // Waits until every tunnel is up or has failed; the number up.
  std::size_t established(std::chrono::seconds limit);
  std::vector<AgentResult> release();

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
  test::BoundedThread thread_;
  std::vector<AgentResult> results_;
};

}  // namespace qb::fault
