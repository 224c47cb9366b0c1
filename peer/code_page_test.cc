#include "peer/code_page.h"

#include "gtest/gtest.h"

namespace peer {
namespace {

TEST(CodePageTest, EncodesWhatWindows1252Holds) {
  struct Case {
    const char* utf8;
    std::string bytes;
  } cases[] = {
      {"", ""},
      {"Hello, 1!", "Hello, 1!"},
      {"Café", "Caf\xE9"},
      {"€ ‚ Œ ™ Ÿ", "\x80 \x82 \x8C \x99 \x9F"},
      {"\u00A0¡ÿ", "\xA0\xA1\xFF"},
      {"\u0081\u008D\u009D", "\x81\x8D\x9D"},  // undefined bytes: read back as these controls
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    std::string out, error;
    ASSERT_TRUE(Utf8ToWindows1252(c.utf8, &out, &error)) << error;
    EXPECT_EQ(out, c.bytes);
  }
}

TEST(CodePageTest, RefusesNamingTheCharacterOrTheByte) {
  struct Case {
    const char* name;
    std::string utf8;
    const char* says;
  } cases[] = {
      {"CJK", "ok 日本", "\"日\" (U+65E5), which the device's code page (Windows-1252) cannot hold"},
      {"beyond the BMP", "\xF0\x9F\x98\x80", "(U+1F600)"},
      {"Latin Extended", "Ł", "(U+0141)"},
      {"a C1 control Windows-1252 replaces", "\u0080", "(U+0080)"},
      {"NUL", std::string("a\0b", 3), "NUL"},
      {"cut short", "ab\xC3", "not UTF-8 at byte 3"},
      {"lone continuation", "\x80", "not UTF-8 at byte 1"},
      {"overlong", "\xC0\xAF", "not UTF-8 at byte 1"},
      {"surrogate", "x\xED\xA0\x80", "not UTF-8 at byte 2"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", "not UTF-8 at byte 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out, error;
    EXPECT_FALSE(Utf8ToWindows1252(c.utf8, &out, &error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace peer
