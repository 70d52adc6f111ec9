#include "proxy/http/ip_literal.h"

#include <arpa/inet.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/address.hpp>

#include "proxy/front/ip_asio.h"

namespace qb {
namespace {

// The literal forms every caller has met: plain and compressed IPv6, dotted tails, brackets,
// zones, leading zeros, stray signs and spaces, overlong groups.
const std::vector<std::string> kForms = {
    "0.0.0.0",
    "127.0.0.1",
    "255.255.255.255",
    "1.2.3.4",
    "01.2.3.4",
    "1.2.3.04",
    "1.2.3.00",
    "256.1.1.1",
    "1.2.3",
    "1.2.3.4.5",
    "1.2.3.4.",
    ".1.2.3.4",
    "1..2.3",
    "1.2.3.4 ",
    " 1.2.3.4",
    "+1.2.3.4",
    "1.2.3.-4",
    "1234.1.1.1",
    "0x7f.0.0.1",
    "127.1",
    "1.2.3.4:80",
    "::",
    "::1",
    "1::",
    "1:2:3:4:5:6:7:8",
    "1:2:3:4:5:6:7::",
    "::2:3:4:5:6:7:8",
    "::1:2:3:4:5:6:7:8",
    "1:2:3:4:5:6:7:8:9",
    "1:2:3:4:5:6:7",
    "1::2::3",
    ":::",
    ":1",
    "1:",
    "1::2:",
    ":1::",
    "::ffff:127.0.0.1",
    "::ffff:1.2.3.04",
    "::ffff:256.0.0.1",
    "::1.2.3.4",
    "1:2:3:4:5:6:1.2.3.4",
    "1:2:3:4:5:6:7:1.2.3.4",
    "1.2.3.4::",
    "::1.2.3.4:1",
    "::a.2.3.4",
    "::1.2.3",
    "FE80::ABCD",
    "fe80::1%eth0",
    "fe80::1%1",
    "[::1]",
    "[::1]:80",
    "::1]",
    "00000::1",
    "0000::1",
    "12345::",
    "::ffff",
    "ffff::ffff:ffff:ffff",
    "g::1",
    "::1 ",
    " ::1",
    "1:2:3:4:5:6:7:8%",
    "",
    ":",
    ".",
    "%",
    "a",
    "2001:db8::/32",
    "::1:1.2.3.4.5",
    "1::1.2.3.4",
    "1:2::3:4:5:6:7:8",
    "1:2:3:4:5:6:7:8::",
    "1:2:3:4:5::1.2.3.4",
    "1:2:3:4:5:6::1.2.3.4",
};

std::optional<std::vector<std::uint8_t>> platform(int family, const std::string& text) {
  std::array<std::uint8_t, 16> out{};
  if (::inet_pton(family, text.c_str(), out.data()) != 1) return std::nullopt;
  return std::vector<std::uint8_t>(out.begin(), out.begin() + (family == AF_INET ? 4 : 16));
}

std::optional<std::vector<std::uint8_t>> ours(const std::optional<IpAddress>& a) {
  if (!a) return std::nullopt;
  return std::vector<std::uint8_t>(a->bytes().begin(), a->bytes().end());
}

void expect_agreement(const std::string& text) {
  const auto v4 = parse_ipv4_literal(text);
  const auto v6 = parse_ipv6_literal(text);
  EXPECT_EQ(ours(v4), platform(AF_INET, text)) << '"' << text << '"';
  EXPECT_EQ(ours(v6), platform(AF_INET6, text)) << '"' << text << '"';
  if (v4) {
    EXPECT_TRUE(v4->is_v4());
  }
  if (v6) {
    EXPECT_TRUE(v6->is_v6());
  }
  EXPECT_EQ(parse_ip_literal(text), v4 ? v4 : v6) << text;
}

// The checks these parsers replaced were the C library's inet_pton, byte for byte.
TEST(IpLiteral, AgreesWithThePlatformParser) {
  for (const auto& text : kForms) expect_agreement(text);
  // Every short text over the characters that matter, so no corner of "::" or a dotted tail is missed.
  const std::string alphabet = "01f:.";
  std::vector<std::string> level = {""};
  for (int len = 1; len <= 6; ++len) {
    std::vector<std::string> next;
    for (const auto& s : level)
      for (char c : alphabet) next.push_back(s + c);
    for (const auto& s : next) expect_agreement(s);
    level = std::move(next);
  }
}

TEST(IpLiteral, EmbeddedNulIsNoLiteral) {
  EXPECT_FALSE(parse_ip_literal(std::string("1.2.3.4\0", 8)));
  EXPECT_FALSE(parse_ip_literal(std::string("::1\0x", 5)));
  EXPECT_FALSE(parse_ipv6_with_zone(std::string("::1\0%1", 6)));
}

TEST(IpLiteral, ZoneIsWhatFollowsTheFirstPercent) {
  struct Case {
    const char* text;
    bool literal;
    std::optional<std::string_view> zone;
  };
  for (const Case& c : {Case{"fe80::1", true, std::nullopt}, Case{"fe80::1%eth0", true, "eth0"},
                        Case{"fe80::1%", true, ""}, Case{"fe80::1%a%b", true, "a%b"}, Case{"%1", false, {}},
                        Case{"1.2.3.4%1", false, {}}, Case{"[::1]%1", false, {}}, Case{"::1%", true, ""}}) {
    const auto z = parse_ipv6_with_zone(c.text);
    ASSERT_EQ(z.has_value(), c.literal) << c.text;
    if (z) {
      EXPECT_EQ(z->zone, c.zone) << c.text;
    }
  }
}

// The upstream connector read hosts with Asio's make_address; the replacement must read every
// form the same way, zone and scope included.
TEST(IpLiteral, ConnectableLiteralReadsAsAsioDid) {
  std::vector<std::string> hosts = kForms;
  for (const char* h :
       {"fe80::1%lo", "fe80::1%1", "fe80::1%", "fe80::1%nosuchif", "ff02::1%lo", "ff02::1%3x", "::1%7", "::1%-1",
        "::1%lo", "2001:db8::1%99", "1.2.3.4%1", "example.com", "localhost", "::ffff:1.2.3.4%2", "fe80::1%%"}) {
    hosts.emplace_back(h);
  }
  for (const auto& host : hosts) {
    boost::system::error_code ec;
    const auto expected = boost::asio::ip::make_address(host, ec);
    const auto got = connectable_address_literal(host);
    ASSERT_EQ(got.has_value(), !ec) << host;
    if (!got) continue;
    EXPECT_EQ(*got, expected) << host;  // compares the scope too
    if (got->is_v6()) {
      EXPECT_EQ(got->to_v6().scope_id(), expected.to_v6().scope_id()) << host;
    }
  }
}

TEST(IpLiteral, AsioConversionsKeepTheBytes) {
  EXPECT_EQ(to_asio(*parse_ip_literal("10.1.2.3")), boost::asio::ip::make_address("10.1.2.3"));
  EXPECT_EQ(to_asio(*parse_ip_literal("2001:db8::1")), boost::asio::ip::make_address("2001:db8::1"));
  EXPECT_EQ(to_asio_v6(*parse_ip_literal("fe80::1"), 5).scope_id(), 5u);
}

TEST(IpLiteral, Ports) {
  struct Case {
    const char* text;
    std::optional<std::uint16_t> digits;   // parse_port_digits
    std::optional<std::uint16_t> signed_;  // parse_port: one '+' allowed
  };
  for (const Case& c : {
           Case{"0", 0, 0},
           Case{"65535", 65535, 65535},
           Case{"65536", {}, {}},
           Case{"99999999999999999999", {}, {}},
           Case{"00000000000000000080", 80, 80},
           Case{"+1", {}, 1},
           Case{"++1", {}, {}},
           Case{"+", {}, {}},
           Case{"-1", {}, {}},
           Case{" 1", {}, {}},
           Case{"1 ", {}, {}},
           Case{"", {}, {}},
           Case{"0x50", {}, {}},
       }) {
    EXPECT_EQ(parse_port_digits(c.text), c.digits) << c.text;
    EXPECT_EQ(parse_port(c.text), c.signed_) << c.text;
  }
  EXPECT_FALSE(parse_port_digits(std::string_view("8\0", 2)));
}

TEST(IpLiteral, DecimalU32) {
  EXPECT_EQ(parse_decimal_u32("4294967295"), 4294967295u);
  EXPECT_EQ(parse_decimal_u32("0004294967295"), 4294967295u);
  for (const char* bad : {"4294967296", "", "+1", "-1", " 1", "1x"}) EXPECT_FALSE(parse_decimal_u32(bad)) << bad;
}

}  // namespace
}  // namespace qb
