#include "platform/utf.h"

#include <string>

#include "gtest/gtest.h"

namespace {

// UTF-16 to UTF-8, both ways of treating a lone surrogate. (UTF-8 to UTF-16
// is tested through the code-page conversions that use it.)
TEST(Utf, Utf16ToUtf8StrictAndReplacing) {
  struct Case {
    const char* name;
    std::u16string wide;
    bool strict_ok;
    std::string replacing;
  } cases[] = {
      {"ascii", u"abc", true, "abc"},
      {"two and three bytes", u"\u00FC\u20AC", true, "\xC3\xBC\xE2\x82\xAC"},
      {"a pair", u"\U0001F600", true, "\xF0\x9F\x98\x80"},
      {"a lone high surrogate at the end", std::u16string(u"a") + char16_t(0xD83D), false,
       "a\xEF\xBF\xBD"},
      {"a lone low surrogate", std::u16string(u"a") + char16_t(0xDE00) + u"b", false,
       "a\xEF\xBF\xBD" "b"},
      {"a high surrogate before a letter", std::u16string(1, char16_t(0xD83D)) + u"b", false,
       "\xEF\xBF\xBD" "b"},
  };
  for (const Case& c : cases) {
    std::string strict = "kept:";
    EXPECT_EQ(platform::AppendUtf16AsUtf8(c.wide, &strict, true), c.strict_ok) << c.name;
    if (c.strict_ok) {
      EXPECT_EQ(strict, "kept:" + c.replacing) << c.name;
    }
    EXPECT_EQ(platform::Utf16ToUtf8(c.wide), c.replacing) << c.name;
  }
}

}  // namespace
