#include <string>

#include <gtest/gtest.h>

#include "core/errors.h"
#include "proxy/http/http_types.h"

namespace qb {
namespace {

// The error that reports a body failure quotes it: a limit with its code, a failed read or write
// as its words alone, never with an empty code's ": " in front.
TEST(BodyError, QuotedWithItsCodeOnlyWhenALimitPassed) {
  struct Case {
    BodyError error;
    const char* text;
  };
  const Case cases[] = {
      {BodyError(ProxyError(codes::QB_5072, "idle")), "QB-5072: idle"},
      {BodyError(ProxyError(codes::QB_5073, "")), "QB-5073: "},
      {BodyError("connection closed"), "connection closed"},
      {BodyError(std::string("QB-5070: quoted words stay as they are")), "QB-5070: quoted words stay as they are"},
      {BodyError(""), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.text(), c.text);
}

}  // namespace
}  // namespace qb
