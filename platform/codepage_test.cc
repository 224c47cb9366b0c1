#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/kernel.h"

namespace {

std::u16string ToWide(UINT code_page, const std::string& bytes, DWORD flags = 0) {
  int needed = MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()),
                                   nullptr, 0);
  std::u16string out(static_cast<size_t>(needed), u'\0');
  if (needed == 0) return out;
  int written = MultiByteToWideChar(code_page, flags, bytes.data(),
                                    static_cast<int>(bytes.size()), out.data(), needed);
  EXPECT_EQ(written, needed);
  return out;
}

std::string ToBytes(UINT code_page, const std::u16string& wide, BOOL* used_default = nullptr) {
  int needed = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()),
                                   nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(needed), '\0');
  if (needed == 0) return out;
  int written = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()),
                                    out.data(), needed, nullptr, used_default);
  EXPECT_EQ(written, needed);
  return out;
}

TEST(CodePageTest, AnsiIsWindows1252BothWays) {
  struct Case {
    const char* name;
    std::string bytes;
    std::u16string wide;
  } cases[] = {
      {"ascii", "Inbox", u"Inbox"},
      {"latin-1 letters", "Gr\xFC\xDF" "e \xE9t\xE9", u"Grüße été"},
      {"euro and quotes", "\x80 \x93x\x94 \x85", u"€ “x” …"},
      {"the rest of 0x80 to 0x9F", "\x8A\x8C\x8E\x99\x9A\x9C\x9E\x9F\x83\x88\x98",
       u"ŠŒŽ™šœžŸƒˆ˜"},
      {"bytes the code page leaves undefined", "\x81\x8D\x8F\x90\x9D",
       u"\u0081\u008D\u008F\u0090\u009D"},
      {"no-break space and y-diaeresis", "\xA0\xFF", u"\u00A0ÿ"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToWide(CP_ACP, c.bytes), c.wide) << "case " << c.name;
    BOOL used_default = TRUE;
    EXPECT_EQ(ToBytes(CP_ACP, c.wide, &used_default), c.bytes) << "case " << c.name;
    EXPECT_FALSE(used_default) << "case " << c.name;
  }
}

TEST(CodePageTest, CharactersTheAnsiCodePageLacksBecomeTheDefault) {
  struct Case {
    const char* name;
    std::u16string wide;
    std::string bytes;
  } cases[] = {
      {"greek", u"αβ", "??"},
      {"cjk among latin", u"a中b", "a?b"},
      {"a surrogate pair is one character", u"x\U0001F600y", "x?y"},
      {"a lone surrogate", std::u16string(u"a") + char16_t(0xD800) + u"b", "a?b"},
      {"latin extended without best fit", u"Ā", "?"},
  };
  for (const Case& c : cases) {
    BOOL used_default = FALSE;
    EXPECT_EQ(ToBytes(CP_ACP, c.wide, &used_default), c.bytes) << "case " << c.name;
    EXPECT_TRUE(used_default) << "case " << c.name;
  }
  const char star = '*';
  char out[4] = {};
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"aω", 2, out, sizeof(out), &star, nullptr), 2);
  EXPECT_EQ(std::string(out, 2), "a*");
}

TEST(CodePageTest, ALengthOfMinusOneCountsTheNulAndASizeOfZeroOnlyMeasures) {
  // The folder-name check: no output buffer, the string's length -1.
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"Inbox", -1, nullptr, 0, nullptr, nullptr), 6);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"", -1, nullptr, 0, nullptr, nullptr), 1);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"中文", -1, nullptr, 0, nullptr, nullptr), 3);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "Alarm", -1, nullptr, 0), 6);

  // Converting a NUL-terminated string into a zero-filled buffer, the way
  // the alarm strings are converted: the measure, then the conversion.
  const char* source = "Caf\xE9";
  int needed = MultiByteToWideChar(CP_ACP, 0, source, -1, nullptr, 0);
  ASSERT_EQ(needed, 5);
  WCHAR buffer[8] = {};
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, source, -1, buffer, needed), 5);
  EXPECT_EQ(std::u16string(buffer), u"Café");
}

TEST(CodePageTest, TooSmallAnOutputFailsWithinItsBounds) {
  WCHAR wide[4];
  for (WCHAR& w : wide) w = u'#';
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abcdef", -1, wide, 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(wide[3], u'#');  // nothing past the given size

  char bytes[4] = {'#', '#', '#', '#'};
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abcdef", 6, bytes, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(bytes[3], '#');
}

TEST(CodePageTest, RejectsBadArguments) {
  WCHAR wide[4];
  char bytes[4];
  BOOL used = FALSE;
  // Each call's result and last error.
  struct Outcome {
    int result;
    DWORD error;
  };
  auto mb = [&](UINT cp, DWORD flags, const char* s, int n, LPWSTR d, int dn) {
    SetLastError(0);
    int r = MultiByteToWideChar(cp, flags, s, n, d, dn);
    return Outcome{r, GetLastError()};
  };
  auto wc = [&](UINT cp, DWORD flags, LPCWSTR s, int n, char* d, int dn, BOOL* u) {
    SetLastError(0);
    int r = WideCharToMultiByte(cp, flags, s, n, d, dn, nullptr, u);
    return Outcome{r, GetLastError()};
  };
  struct Case {
    const char* name;
    Outcome got;
    DWORD error;
  } cases[] = {
      {"null source", mb(CP_ACP, 0, nullptr, -1, wide, 4), ERROR_INVALID_PARAMETER},
      {"zero length", mb(CP_ACP, 0, "a", 0, wide, 4), ERROR_INVALID_PARAMETER},
      {"length -2", mb(CP_ACP, 0, "a", -2, wide, 4), ERROR_INVALID_PARAMETER},
      {"null output with a size", mb(CP_ACP, 0, "a", 1, nullptr, 4), ERROR_INVALID_PARAMETER},
      {"unknown code page", mb(437, 0, "a", 1, wide, 4), ERROR_INVALID_PARAMETER},
      {"unknown flag", mb(CP_ACP, 0x1000, "a", 1, wide, 4), ERROR_INVALID_FLAGS},
      {"wide null source", wc(CP_ACP, 0, nullptr, -1, bytes, 4, nullptr),
       ERROR_INVALID_PARAMETER},
      {"utf-8 with used_default", wc(CP_UTF8, 0, u"a", 1, bytes, 4, &used),
       ERROR_INVALID_PARAMETER},
      {"strict utf-8 input", mb(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, wide, 4),
       ERROR_NO_UNICODE_TRANSLATION},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.got.result, 0) << "case " << c.name;
    EXPECT_EQ(c.got.error, c.error) << "case " << c.name;
  }
}

TEST(CodePageTest, Utf8RoundTripsAndReplacesMalformedInput) {
  const std::u16string wide = u"Grüße € 中 \U0001F600";
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xE4\xB8\xAD \xF0\x9F\x98\x80";
  EXPECT_EQ(ToBytes(CP_UTF8, wide), utf8);
  EXPECT_EQ(ToWide(CP_UTF8, utf8), wide);

  struct Case {
    const char* name;
    std::string bytes;
    std::u16string wide;
  } cases[] = {
      {"stray continuation", "a\x80z", u"a\uFFFDz"},
      {"truncated at the end", "a\xE2\x82", u"a\uFFFD"},
      {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80!", u"\uFFFD!"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToWide(CP_UTF8, c.bytes), c.wide) << "case " << c.name;
  }
}

}  // namespace
