#include "cli/serve_setup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/scoped_env.h"
#include "support/stderr_capture.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using test::StderrCapture;

TEST(ServeSetup, ProxyTokenIsCreatedOnceAndReadTrimmed) {
  test::TempDir dir;
  auto created = load_or_create_proxy_token(dir.path());
  ASSERT_TRUE(created) << created.error().display();
  EXPECT_EQ(created->size(), 64u);
  EXPECT_EQ(created->find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(test::read_file(dir / "proxy-auth"), *created);  // no line end
  EXPECT_EQ(test::file_mode(dir / "proxy-auth"), 0600u);
  EXPECT_EQ(*load_or_create_proxy_token(dir.path()), *created);

  test::write_file(dir / "proxy-auth", "  secret-token\n", 0600);
  EXPECT_EQ(*load_or_create_proxy_token(dir.path()), "secret-token");
}

TEST(ServeSetup, ProxyTokenRefusals) {
  test::TempDir dir;
  const std::string p = (dir / "proxy-auth").string();
  test::write_file(dir / "proxy-auth", " \n\t", 0600);
  EXPECT_EQ(load_or_create_proxy_token(dir.path()).error().display(),
            "QB-5009: " + p + " is empty; delete it to regenerate");
  test::write_file(dir / "proxy-auth", "tok\xff", 0600);
  EXPECT_EQ(load_or_create_proxy_token(dir.path()).error().display(),
            "QB-5009: " + p + " not UTF-8: invalid utf-8 sequence of 1 bytes from index 3");
  test::write_file(dir / "proxy-auth", "tok", 0644);
  EXPECT_EQ(load_or_create_proxy_token(dir.path()).error().code, "QB-5009");
}

TEST(ServeSetup, PrivateNetworkOptIn) {
  test::TempDir dir;
  const std::string file = (dir / "proxy-allow-private").string();
  EXPECT_FALSE(read_private_network_opt_in(dir.path()));  // absent

  test::write_file(dir / "proxy-allow-private", "", 0600);
  EXPECT_TRUE(read_private_network_opt_in(dir.path()));

  ::chmod(file.c_str(), 0644);
  {
    StderrCapture err;
    EXPECT_FALSE(read_private_network_opt_in(dir.path()));
    EXPECT_EQ(err.text(), "WARNING: " + file +
                              " is group/other-accessible (mode 644); ignoring the private-network opt-in. chmod 600 "
                              "it to enable.\n");
  }
  ::chmod(file.c_str(), 0600);
  ::chmod(dir.path().c_str(), 0770);
  {
    StderrCapture err;
    EXPECT_FALSE(read_private_network_opt_in(dir.path()));
    EXPECT_EQ(err.text(), "WARNING: " + dir.path().string() +
                              " is group/other-writable (mode 770); ignoring the private-network opt-in, because "
                              "anyone who can write that directory can create the opt-in file. chmod go-w it to "
                              "enable.\n");
  }
  ::chmod(dir.path().c_str(), 0700);

  // A link to a good file, or a directory, is ignored without a word.
  std::filesystem::remove(dir / "proxy-allow-private");
  test::write_file(dir / "real", "", 0600);
  std::filesystem::create_symlink(dir / "real", dir / "proxy-allow-private");
  {
    StderrCapture err;
    EXPECT_FALSE(read_private_network_opt_in(dir.path()));
    EXPECT_EQ(err.text(), "");
  }
  std::filesystem::remove(dir / "proxy-allow-private");
  std::filesystem::create_directory(dir / "proxy-allow-private");
  EXPECT_FALSE(read_private_network_opt_in(dir.path()));

  if (::geteuid() == 0) {
    // Owner mismatch needs the power to give the file away.
    std::filesystem::remove(dir / "proxy-allow-private");
    test::write_file(dir / "proxy-allow-private", "", 0600);
    ASSERT_EQ(::chown(file.c_str(), 12345, 12345), 0);
    StderrCapture err;
    EXPECT_FALSE(read_private_network_opt_in(dir.path()));
    EXPECT_EQ(err.text(), "WARNING: " + file +
                              " is owned by uid 12345 but its directory by uid 0; ignoring the "
                              "private-network opt-in.\n");
  }
}

TEST(ServeSetup, LoopbackHosts) {
  struct Case {
    const char* host;
    bool loopback;
  };
  for (const Case& c :
       {Case{"127.0.0.1", true}, Case{"127.1.2.3", true}, Case{"::1", true}, Case{"0:0:0:0:0:0:0:1", true},
        Case{"localhost", true}, Case{"LOCALHOST", false}, Case{"[::1]", false}, Case{"0.0.0.0", false},
        Case{"::ffff:127.0.0.1", false}, Case{"128.0.0.1", false}, Case{"", false}, Case{"::1%lo", false}}) {
    EXPECT_EQ(is_loopback_host(c.host), c.loopback) << c.host;
  }
}

TEST(ServeSetup, BindPolicy) {
  EXPECT_TRUE(check_bind_policy("127.0.0.1", false));
  auto refused = check_bind_policy("0.0.0.0", false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display(),
            "QB-5010: refusing to bind 0.0.0.0: not loopback and the proxy has no transport TLS, so its Basic-auth "
            "token would cross the network in cleartext. Bind 127.0.0.1 or ::1, or create an owner-only "
            "proxy-allow-private file next to the binary only if 0.0.0.0 is a trusted private network "
            "(VPN/Tailscale).");
  StderrCapture err;
  EXPECT_TRUE(check_bind_policy("0.0.0.0", true));
  EXPECT_TRUE(check_bind_policy("::1", true));
  EXPECT_EQ(err.text(),
            "WARNING: binding 0.0.0.0 (not loopback) with the proxy-allow-private opt-in present. This proxy injects "
            "live credentials and authenticates with a plaintext Basic token (no transport TLS); only expose it on a "
            "trusted private network.\n");
}

TEST(ServeSetup, SocketAddressLiterals) {
  struct Case {
    const char* text;
    const char* endpoint;  // nullptr: not a literal
    unsigned long scope = 0;
  };
  for (const Case& c : {
           Case{"127.0.0.1:1983", "127.0.0.1:1983"},
           Case{"127.0.0.1:01983", "127.0.0.1:1983"},
           Case{"[::1]:0", "[::1]:0"},
           Case{"[::1%1]:1983", "[::1%1]:1983", 1},
           Case{"[fe80::1%4294967295]:80", "[fe80::1%4294967295]:80", 4294967295ul},
           Case{"127.0.0.1:+1983", nullptr},  // for the resolver
           Case{"[::1]:+1983", nullptr},
           Case{"127.0.0.1:65536", nullptr},
           Case{"127.0.0.1:", nullptr},
           Case{"::1:1983", nullptr},
           Case{"[::1%lo]:1983", nullptr},  // a zone by name goes to the resolver
           Case{"[::1%]:1983", nullptr},
           Case{"[::1%+1]:1983", nullptr},
           Case{"[::1%4294967296]:1983", nullptr},
           Case{"[127.0.0.1]:1983", nullptr},
           Case{"localhost:1983", nullptr},
           Case{"127.0.0.1:65535", "127.0.0.1:65535"},
           Case{"[::ffff:1.2.3.4]:0080", "[::ffff:1.2.3.4]:80"},
           Case{"[::1%01]:80", "[::1%1]:80", 1},
           Case{"[::1]:", nullptr},
           Case{"[::1]: 1", nullptr},
           Case{"[::1]:65536", nullptr},
           Case{"[::1]", nullptr},
           Case{"[::1%1%2]:80", nullptr},
           Case{"127.0.0.01:80", nullptr},
           Case{"127.1:80", nullptr},
           Case{" 127.0.0.1:80", nullptr},
       }) {
    const auto ep = socket_address_literal(c.text);
    if (c.endpoint == nullptr) {
      EXPECT_FALSE(ep) << c.text;
      continue;
    }
    ASSERT_TRUE(ep) << c.text;
    std::ostringstream shown;
    shown << *ep;
    EXPECT_EQ(shown.str(), c.endpoint) << c.text;
    if (ep->address().is_v6()) {
      EXPECT_EQ(ep->address().to_v6().scope_id(), c.scope) << c.text;
    }
  }
}

// Only literals reach the system resolver here.
TEST(ServeSetup, ResolverPathPorts) {
  struct Case {
    const char* text;
    const char* endpoint;  // nullptr: refused with the error
    const char* error = "";
  };
  for (const Case& c : {
           Case{"127.0.0.1:+1983", "127.0.0.1:1983"},
           Case{"::1:1983", "[::1]:1983"},
           Case{"::1:+0", "[::1]:0"},
           Case{"127.0.0.1:+", nullptr, "invalid port value"},
           Case{"127.0.0.1:++1983", nullptr, "invalid port value"},
           Case{"127.0.0.1:-1983", nullptr, "invalid port value"},
           Case{"127.0.0.1:+65536", nullptr, "invalid port value"},
           Case{"127.0.0.1: 1983", nullptr, "invalid port value"},
           Case{"127.0.0.1", nullptr, "invalid socket address"},
           Case{"127.0.0.1:00065535", "127.0.0.1:65535"},
           Case{"127.0.0.1:", nullptr, "invalid port value"},
           Case{"127.0.0.1:65536", nullptr, "invalid port value"},
           Case{"127.0.0.1:1 ", nullptr, "invalid port value"},
       }) {
    const auto r = resolve_listen_address(c.text);
    if (c.endpoint == nullptr) {
      EXPECT_FALSE(r) << c.text;
      if (!r) {
        EXPECT_EQ(r.error().detail, c.error) << c.text;
      }
      continue;
    }
    ASSERT_TRUE(r) << c.text << ": " << r.error().detail;
    ASSERT_FALSE(r->empty()) << c.text;
    std::ostringstream shown;
    shown << r->front();
    EXPECT_EQ(shown.str(), c.endpoint) << c.text;
  }
}

TEST(ServeSetup, ListenAddressAndBanner) {
  {
    test::ScopedEnv env;
    env.unset("QUORBELT_PROXY_LISTEN").set("QUORBELT_PROXY_PORT", "");
    auto a = listen_address_from_env();
    EXPECT_EQ(a.text, "127.0.0.1:");  // a set value is used as given, even empty
    env.set("QUORBELT_PROXY_LISTEN", "::1").unset("QUORBELT_PROXY_PORT");
    EXPECT_EQ(listen_address_from_env().text, "::1:1983");
  }

  const auto lines = banner_lines("127.0.0.1:1983", "/opt/qb/proxy-auth");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Point your agent at:  HTTPS_PROXY=http://quorbelt:<token>@127.0.0.1:1983\n");
  EXPECT_EQ(lines[1], "  Token redacted above; it is stored 0600 at /opt/qb/proxy-auth.\n");
  EXPECT_EQ(lines[2], "  e.g.  export HTTPS_PROXY=\"http://quorbelt:$(cat /opt/qb/proxy-auth)@127.0.0.1:1983\"\n");
}

}  // namespace
}  // namespace qb
