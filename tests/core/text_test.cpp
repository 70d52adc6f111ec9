#include "core/text.h"

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(Text, SanitizeForLogTable) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"", ""},
      {"a\tb", "a\\x09b"},
      {"line\r\nnext", "line\\x0d\\x0anext"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"\x1f\x20\x7e\x7f", "\\x1f ~\\x7f"},
      {"\xc2\x80", "\\u{0080}"},                              // first C1
      {"\xc2\x9f", "\\u{009f}"},                              // last C1
      {"\xc2\xa0", "\xc2\xa0"},                               // no-break space is not C1
      {"\xd8\x9c", "\\u{061c}"},                              // Arabic letter mark
      {"\xe2\x80\x8a\xe2\x80\x8b", "\xe2\x80\x8a\\u{200b}"},  // U+200A kept, U+200B escaped
      {"\xe2\x80\x8f\xe2\x80\x90", "\\u{200f}\xe2\x80\x90"},
      {"\xe2\x80\xa9\xe2\x80\xaa", "\xe2\x80\xa9\\u{202a}"},  // U+2029 kept
      {"\xe2\x80\xae\xe2\x80\xaf", "\\u{202e}\xe2\x80\xaf"},
      {"\xe2\x81\xa0\xe2\x81\xa4\xe2\x81\xa5", "\\u{2060}\\u{2064}\xe2\x81\xa5"},  // U+2065 kept
      {"\xe2\x81\xa6\xe2\x81\xa9\xe2\x81\xaa", "\\u{2066}\\u{2069}\xe2\x81\xaa"},
      {"\xef\xbb\xbf", "\\u{feff}"},
      {"back\\x09slash", "back\\x09slash"},
      {"caf\xc3\xa9 \xf0\x9f\x94\x91", "caf\xc3\xa9 \xf0\x9f\x94\x91"},
      {"bad\xff\xc3", "bad\\xff\\xc3"},     // invalid bytes escaped one by one
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // an encoded surrogate is not text
  };
  for (const auto& c : cases) EXPECT_EQ(sanitize_for_log(c.in), c.out) << debug_quote(c.in);
}

TEST(Text, Utf8ErrorsMatchTheDecoderTexts) {
  struct Case {
    std::string in;
    std::string display;
  };
  const Case cases[] = {
      {"ab\xff", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xe2\x82", "incomplete utf-8 byte sequence from index 0"},
      {"x\xe2\x82y", "invalid utf-8 sequence of 2 bytes from index 1"},
      {"\xf0\x9f\x94z", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"\xc0\xaf", "invalid utf-8 sequence of 1 bytes from index 0"},          // overlong
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
  };
  for (const auto& c : cases) {
    auto e = check_utf8(c.in);
    ASSERT_FALSE(e) << c.display;
    EXPECT_EQ(e.error().display(), c.display);
  }
  EXPECT_TRUE(check_utf8("plain \xe2\x80\x94 text \xf0\x9f\x94\x91"));
  EXPECT_EQ(check_utf8("ab\xff").error().debug(), "Utf8Error { valid_up_to: 2, error_len: Some(1) }");
  EXPECT_EQ(check_utf8("\xe2\x82").error().debug(), "Utf8Error { valid_up_to: 0, error_len: None }");
  EXPECT_EQ(utf8_lossy("a\xffz\xe2\x82"), "a\xef\xbf\xbdz\xef\xbf\xbd");
}

TEST(Text, TrimUsesUnicodeWhiteSpace) {
  EXPECT_EQ(trim_ws(" \t\r\n x y \xc2\xa0\xe3\x80\x80\xe2\x80\xa8"), "x y");
  EXPECT_EQ(trim_ws("\xc2\x85z\xe2\x80\x8b"), "z\xe2\x80\x8b");  // U+200B is not white space
  EXPECT_EQ(trim_ws("   "), "");
  EXPECT_EQ(trim_ws("\xff "), "\xff");
}

TEST(Text, DebugQuote) {
  EXPECT_EQ(debug_quote("plain"), "\"plain\"");
  EXPECT_EQ(debug_quote(std::string("q\"b\\n\n\r\t\0e\x1b\x7f'\u2014", 16)),
            "\"q\\\"b\\\\n\\n\\r\\t\\0e\\u{1b}\\u{7f}'\u2014\"");
}

TEST(Text, OsErrorText) {
  EXPECT_EQ(os_error_text(ENOENT), std::string(std::strerror(ENOENT)) + " (os error " + std::to_string(ENOENT) + ")");
}

}  // namespace
}  // namespace qb
