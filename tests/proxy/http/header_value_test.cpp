#include <string>

#include <gtest/gtest.h>

#include "proxy/http/http_types.h"

namespace qb {
namespace {

// The three rules differ exactly at the control bytes, DEL and the bytes above ASCII.
TEST(HeaderValue, RulesByByte) {
  struct Case {
    char byte;
    bool no_line_breaks;
    bool no_controls;
    bool visible;
  };
  for (const Case& c : {
           Case{'a', true, true, true},
           Case{' ', true, true, true},
           Case{'~', true, true, true},
           Case{'\t', true, true, true},
           Case{'\r', false, false, false},
           Case{'\n', false, false, false},
           Case{'\0', false, false, false},
           Case{'\x01', true, false, false},
           Case{'\x1f', true, false, false},
           Case{'\x7f', true, false, false},
           Case{'\x80', true, true, false},
           Case{'\xff', true, true, false},
       }) {
    const std::string value = std::string("x") + c.byte + "y";
    const auto shown = static_cast<int>(static_cast<unsigned char>(c.byte));
    EXPECT_EQ(is_safe_header_value(value), c.no_line_breaks) << shown;
    EXPECT_EQ(is_valid_header_value(value), c.no_controls) << shown;
    EXPECT_EQ(is_visible_text(value), c.visible) << shown;
  }
  EXPECT_TRUE(is_safe_header_value(""));
  EXPECT_TRUE(is_valid_header_value(""));
  EXPECT_TRUE(is_visible_text(""));
}

}  // namespace
}  // namespace qb
