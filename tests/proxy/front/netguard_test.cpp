#include "proxy/front/netguard.h"

#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/address.hpp>

#include "core/runtime.h"
#include "core/runtime_async.h"
#include "proxy/front/netguard_async.h"

namespace qb {
namespace {

namespace ip = boost::asio::ip;

ip::address addr(const char* text) { return ip::make_address(text); }

struct Verdict {
  const char* ip;
  bool blocked;
};

// For every range: its first and last address, and the neighbours just outside (which may lie in
// another range).
const Verdict kV4Boundaries[] = {
    // 169.254.169.254/32
    {"169.254.169.254", true},
    {"169.254.169.253", true},
    {"169.254.169.255", true},
    // 127.0.0.0/8
    {"127.0.0.0", true},
    {"127.255.255.255", true},
    {"126.255.255.255", false},
    {"128.0.0.0", false},
    // 10.0.0.0/8
    {"10.0.0.0", true},
    {"10.255.255.255", true},
    {"9.255.255.255", false},
    {"11.0.0.0", false},
    // 172.16.0.0/12
    {"172.16.0.0", true},
    {"172.31.255.255", true},
    {"172.15.255.255", false},
    {"172.32.0.0", false},
    // 192.168.0.0/16
    {"192.168.0.0", true},
    {"192.168.255.255", true},
    {"192.167.255.255", false},
    {"192.169.0.0", false},
    // 169.254.0.0/16
    {"169.254.0.0", true},
    {"169.254.255.255", true},
    {"169.253.255.255", false},
    {"169.255.0.0", false},
    // 100.64.0.0/10
    {"100.64.0.0", true},
    {"100.127.255.255", true},
    {"100.63.255.255", false},
    {"100.128.0.0", false},
    // 0.0.0.0/8
    {"0.0.0.0", true},
    {"0.255.255.255", true},
    {"1.0.0.0", false},
    // 255.255.255.255/32
    {"255.255.255.255", true},
    {"255.255.255.254", true},
    // 224.0.0.0/4
    {"224.0.0.0", true},
    {"239.255.255.255", true},
    {"223.255.255.255", false},
    // 240.0.0.0/4
    {"240.0.0.0", true},
    // 192.0.2.0/24
    {"192.0.2.0", true},
    {"192.0.2.255", true},
    {"192.0.1.255", false},
    {"192.0.3.0", false},
    // 198.51.100.0/24
    {"198.51.100.0", true},
    {"198.51.100.255", true},
    {"198.51.99.255", false},
    {"198.51.101.0", false},
    // 203.0.113.0/24
    {"203.0.113.0", true},
    {"203.0.113.255", true},
    {"203.0.112.255", false},
    {"203.0.114.0", false},
    // 192.0.0.0/24
    {"192.0.0.0", true},
    {"192.0.0.255", true},
    {"191.255.255.255", false},
    {"192.0.1.0", false},
    // 198.18.0.0/15
    {"198.18.0.0", true},
    {"198.19.255.255", true},
    {"198.17.255.255", false},
    {"198.20.0.0", false},
    // the rest of the listed cases
    {"127.0.0.1", true},
    {"10.1.2.3", true},
    {"192.168.1.1", true},
    {"100.64.0.1", true},
    {"239.1.2.3", true},
    {"250.0.0.1", true},
    {"192.0.2.7", true},
    {"198.18.0.1", true},
    {"172.32.0.1", false},
    {"100.128.0.1", false},
    {"198.20.0.1", false},
    {"8.8.8.8", false},
    {"1.1.1.1", false},
};

const Verdict kV6Boundaries[] = {
    // fd00:ec2::254/128
    {"fd00:ec2::254", true},
    {"fd00:ec2::253", true},
    {"fd00:ec2::255", true},
    // ::1/128
    {"::1", true},
    {"::2", true},
    // fe80::/10
    {"fe80::", true},
    {"febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true},
    {"fe7f:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
    {"fec0::", false},
    // fc00::/7
    {"fc00::", true},
    {"fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true},
    {"fbff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
    {"fe00::", false},
    // ::/128
    {"::", true},
    // ff00::/8
    {"ff00::", true},
    {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true},
    {"feff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
    // 2001:db8::/32
    {"2001:db8::", true},
    {"2001:db8:ffff:ffff:ffff:ffff:ffff:ffff", true},
    {"2001:db7:ffff:ffff:ffff:ffff:ffff:ffff", false},
    {"2001:db9::", false},
    // 2002::/16
    {"2002::", true},
    {"2002:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true},
    {"2001:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
    {"2003::", false},
    // 64:ff9b::/96
    {"64:ff9b::", true},
    {"64:ff9b::ffff:ffff", true},
    {"64:ff9a:ffff:ffff:ffff:ffff:ffff:ffff", false},
    {"64:ff9b::1:0:0", false},
    // 64:ff9b:1::/48
    {"64:ff9b:1::", true},
    {"64:ff9b:1:ffff:ffff:ffff:ffff:ffff", true},
    {"64:ff9b:0:ffff:ffff:ffff:ffff:ffff", false},
    {"64:ff9b:2::", false},
    // 2001::/32
    {"2001::", true},
    {"2001:0:ffff:ffff:ffff:ffff:ffff:ffff", true},
    {"2000:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
    {"2001:1::", false},
    // ::/96
    {"::ffff:ffff", true},
    {"::1:0:0", false},
    // the rest of the listed cases
    {"fe80::1", true},
    {"fd12::1", true},
    {"ff02::1", true},
    {"2001:db8::1", true},
    {"64:ff9b:2::1", false},
    {"2606:4700:4700::1111", false},
    {"2a00:1450:4001::1", false},
};

TEST(GuardBlockedIp, RangeBoundaries) {
  for (const auto& c : kV4Boundaries) {
    auto a = addr(c.ip);
    ASSERT_TRUE(a.is_v4()) << c.ip;
    EXPECT_EQ(is_blocked_ip(a), c.blocked) << c.ip;
  }
  for (const auto& c : kV6Boundaries) {
    auto a = addr(c.ip);
    ASSERT_TRUE(a.is_v6()) << c.ip;
    EXPECT_EQ(is_blocked_ip(a), c.blocked) << c.ip;
  }
}

TEST(GuardBlockedIp, MappedFormIsJudgedByItsIpv4AddressAlone) {
  for (const auto& c : kV4Boundaries) {
    auto mapped = ip::make_address_v6(ip::v4_mapped, addr(c.ip).to_v4());
    EXPECT_EQ(is_blocked_ip(mapped), c.blocked) << mapped.to_string();
    EXPECT_EQ(is_blocked_ip(ip::address(mapped)), c.blocked) << mapped.to_string();
  }
  EXPECT_TRUE(is_blocked_ip(addr("::ffff:127.0.0.1")));
  EXPECT_TRUE(is_blocked_ip(addr("::ffff:169.254.169.254")));
  EXPECT_FALSE(is_blocked_ip(addr("::ffff:8.8.8.8")));
  // The table alone does not know the mapped form.
  EXPECT_FALSE(in_blocked_table(addr("::ffff:127.0.0.1")));
}

TEST(GuardBlockedIp, EmbeddedFormsAreBlockedWhateverTheyCarry) {
  const char* cases[] = {
      "2002:0808:0808::1",
      "2002:7f00:0001::",  // 6to4, public and loopback
      "64:ff9b::8.8.8.8",
      "64:ff9b::127.0.0.1",
      "64:ff9b::a9fe:a9fe",
      "64:ff9b:1::8.8.8.8",
      "64:ff9b:1::10.0.0.1",
      "64:ff9b:1:abcd::1",
      "2001:0:4136:e378:8000:63bf:3fff:fdd2",  // Teredo
      "::8.8.8.8",
      "::127.0.0.1",
      "::169.254.169.254",
  };
  for (const char* c : cases) EXPECT_TRUE(is_blocked_ip(addr(c))) << c;
}

TEST(GuardBlockedIp, ConcurrentFirstUseSeesTheWholeTable) {
  // Each test runs in a fresh process under ctest, so these threads race to build the table.
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (const auto& c : kV4Boundaries)
        if (is_blocked_ip(addr(c.ip)) != c.blocked) ++wrong;
      for (const auto& c : kV6Boundaries)
        if (is_blocked_ip(addr(c.ip)) != c.blocked) ++wrong;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(GuardBlockedIp, NextAllowedAddrSkipsBlocked) {
  std::vector<ip::address> list = {addr("10.0.0.1"), addr("8.8.8.8"), addr("::1"), addr("2606:4700::1")};
  std::size_t cursor = 0;
  auto a = next_allowed_addr(list, cursor);
  ASSERT_TRUE(a);
  EXPECT_EQ(*a, addr("8.8.8.8"));
  a = next_allowed_addr(list, cursor);
  ASSERT_TRUE(a);
  EXPECT_EQ(*a, addr("2606:4700::1"));
  EXPECT_FALSE(next_allowed_addr(list, cursor));
  EXPECT_FALSE(next_allowed_addr(list, cursor));
}

std::string blocked_text(const std::string& host) {
  return "QB-5070: " + host + " resolves only to blocked (private/link-local/IMDS) addresses";
}

class GuardResolver : public ::testing::Test {
 protected:
  ResolveResult resolve(bool allow_private, std::string host, GuardedResolver::Lookup lookup = {}) {
    GuardedResolver resolver(rt_.blocking(), allow_private, std::move(lookup));
    rt_.main_context().restart();
    return block_on(rt_, resolver.resolve(std::move(host)));
  }

  Runtime rt_{1, 4};
};

std::vector<ip::address> addrs(std::initializer_list<const char*> texts) {
  std::vector<ip::address> out;
  for (const char* t : texts) out.push_back(addr(t));
  return out;
}

TEST_F(GuardResolver, KeepsAllowedAddressesInLookupOrder) {
  auto answer = addrs({"10.0.0.1", "8.8.8.8", "::1", "2606:4700::1", "169.254.169.254", "1.1.1.1", "fe80::1"});
  std::string asked;
  auto lookup = [&](const std::string& host) -> ResolveResult {
    asked = host;
    return answer;
  };

  auto r = resolve(false, "mixed.example", lookup);
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(*r, addrs({"8.8.8.8", "2606:4700::1", "1.1.1.1"}));
  EXPECT_EQ(asked, "mixed.example");

  auto all = resolve(true, "mixed.example", lookup);
  ASSERT_TRUE(all) << all.error().message;
  EXPECT_EQ(*all, answer);
}

TEST_F(GuardResolver, OnlyBlockedOrEmptyAnswerIsRefused) {
  for (auto answer : {addrs({"127.0.0.1", "::1", "::ffff:10.0.0.1"}), addrs({})}) {
    auto r = resolve(false, "internal.example", [&](const std::string&) -> ResolveResult { return answer; });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, blocked_text("internal.example"));
    EXPECT_EQ(r.error().code, std::errc::permission_denied);
  }
  // With the opt-in an empty answer stays empty for the connector to report.
  auto r = resolve(true, "internal.example", [](const std::string&) -> ResolveResult { return addrs({}); });
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->empty());
}

TEST_F(GuardResolver, LookupErrorPassesUnchanged) {
  for (bool allow : {false, true}) {
    auto r = resolve(allow, "x.example", [](const std::string&) -> ResolveResult {
      return ResolveError{std::error_code(EAI_AGAIN, gai_category()), "temporary failure"};
    });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "temporary failure");
    EXPECT_EQ(r.error().code, std::error_code(EAI_AGAIN, gai_category()));
  }
}

TEST_F(GuardResolver, LookupRunsOnTheBlockingPool) {
  std::thread::id lookup_thread;
  auto r = resolve(false, "pool.example", [&](const std::string&) -> ResolveResult {
    lookup_thread = std::this_thread::get_id();
    return addrs({"8.8.8.8"});
  });
  ASSERT_TRUE(r);
  EXPECT_NE(lookup_thread, std::thread::id());
  EXPECT_NE(lookup_thread, std::this_thread::get_id());  // the I/O context runs on this thread
}

TEST_F(GuardResolver, SystemLoopbackDroppedWithoutOptIn) {
  for (const char* host : {"localhost", "127.0.0.1", "::1"}) {
    auto r = resolve(false, host);
    ASSERT_FALSE(r) << host;
    EXPECT_EQ(r.error().message, blocked_text(host));
    EXPECT_EQ(r.error().code, std::errc::permission_denied);
  }
}

TEST_F(GuardResolver, SystemLoopbackKeptWithOptIn) {
  for (const char* host : {"localhost", "127.0.0.1", "::1"}) {
    auto r = resolve(true, host);
    ASSERT_TRUE(r) << host << ": " << r.error().message;
    ASSERT_FALSE(r->empty()) << host;
    for (const auto& a : *r) EXPECT_TRUE(a.is_loopback()) << host << " gave " << a.to_string();
  }
  auto one = resolve(true, "127.0.0.1");
  ASSERT_TRUE(one);
  EXPECT_EQ(*one, addrs({"127.0.0.1"}));  // one answer per address, not one per socket type
}

TEST_F(GuardResolver, SystemLookupKeepsTheScopeOfALinkLocalLiteral) {
  auto r = resolve(true, "fe80::1%lo");
  if (!r) GTEST_SKIP() << "no interface lo: " << r.error().message;
  ASSERT_EQ(r->size(), 1u);
  ASSERT_TRUE((*r)[0].is_v6());
  EXPECT_NE((*r)[0].to_v6().scope_id(), 0u);
}

TEST_F(GuardResolver, NameThatDoesNotResolveGivesTheLookupError) {
  // A label longer than 63 bytes cannot be put into a DNS query, so the look-up fails locally.
  std::string host = std::string(70, 'a') + ".invalid";
  for (bool allow : {false, true}) {
    auto r = resolve(allow, host);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message.find("QB-5070"), std::string::npos) << r.error().message;
    EXPECT_EQ(r.error().message.rfind("failed to lookup address information: ", 0), 0u) << r.error().message;
    EXPECT_EQ(r.error().code.category(), gai_category());
  }
  auto nul = resolve(false, std::string("local\0host", 10));
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().code, std::errc::invalid_argument);
}

}  // namespace
}  // namespace qb
