#include "tools/hmdevice_values.h"

#include <cstring>
#include <limits>

#include <gtest/gtest.h>

namespace hmdevice {
namespace {

TEST(NumberParsing, SignedWidthsAndBitPatterns) {
  struct Case {
    const char* text;
    int bits;
    bool ok;
    int64_t value;
  } cases[] = {
      {"0", 16, true, 0},
      {"-32768", 16, true, -32768},
      {"32767", 16, true, 32767},
      {"32768", 16, false, 0},
      {"-32769", 16, false, 0},
      {"0x7fff", 16, true, 32767},
      {"0xFFFF", 16, true, -1},  // hex is the bit pattern
      {"0x8000", 16, true, -32768},
      {"0x10000", 16, false, 0},
      {"-0x10", 16, true, -16},
      {"-2147483648", 32, true, std::numeric_limits<int32_t>::min()},
      {"2147483648", 32, false, 0},
      {"0xFFFFFFFF", 32, true, -1},
      {"-9223372036854775808", 64, true, std::numeric_limits<int64_t>::min()},
      {"0xFFFFFFFFFFFFFFFF", 64, true, -1},
      {"", 16, false, 0},
      {"-", 16, false, 0},
      {"0x", 16, false, 0},
      {"--1", 16, false, 0},
      {"+1", 16, false, 0},
      {"12a", 16, false, 0},
      {" 1", 16, false, 0},
      {"0xg", 16, false, 0},
  };
  for (const Case& c : cases) {
    Result<int64_t> result = ParseSigned(c.text, c.bits);
    EXPECT_EQ(result.ok(), c.ok) << "case " << c.text << "/" << c.bits << ": " << result.error();
    if (c.ok && result.ok()) {
      EXPECT_EQ(result.value(), c.value) << "case " << c.text;
    }
    if (!c.ok) {
      EXPECT_FALSE(result.error().empty()) << "case " << c.text;
    }
  }
}

TEST(NumberParsing, UnsignedAndMessageWords) {
  EXPECT_EQ(ParseU32("4294967295").value(), 0xFFFFFFFFu);
  EXPECT_EQ(ParseU32("0x8000").value(), 0x8000u);
  EXPECT_FALSE(ParseU32("4294967296").ok());
  EXPECT_FALSE(ParseU32("-1").ok());
  EXPECT_FALSE(ParseU32("99999999999999999999999").ok());  // past 64 bits
  EXPECT_EQ(ParseUnsigned("18446744073709551615", std::numeric_limits<uint64_t>::max()).value(),
            std::numeric_limits<uint64_t>::max());

  // A message argument may be written signed or unsigned.
  EXPECT_EQ(ParseWord32("-1").value(), 0xFFFFFFFFu);
  EXPECT_EQ(ParseWord32("4294967295").value(), 0xFFFFFFFFu);
  EXPECT_EQ(ParseWord32("0xFFFFFFFF").value(), 0xFFFFFFFFu);
  EXPECT_FALSE(ParseWord32("-2147483649").ok());
}

TEST(HexBytes, RoundTripAndRejects) {
  Result<std::vector<uint8_t>> bytes = ParseHexBytes("00aBfF10");
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(bytes.value(), (std::vector<uint8_t>{0x00, 0xAB, 0xFF, 0x10}));
  EXPECT_EQ(FormatHex(bytes.value()), "00abff10");
  EXPECT_TRUE(ParseHexBytes("").ok());
  EXPECT_TRUE(ParseHexBytes("").value().empty());
  EXPECT_FALSE(ParseHexBytes("abc").ok());
  EXPECT_FALSE(ParseHexBytes("zz").ok());
  EXPECT_FALSE(ParseHexBytes("0x00").ok());
}

TEST(Utf, ConvertsBothWaysAndRefusesMalformedInput) {
  const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A é € 😀
  Result<std::u16string> wide = Utf8ToUtf16(text);
  ASSERT_TRUE(wide.ok());
  EXPECT_EQ(wide.value(), (std::u16string{u'A', 0x00E9, 0x20AC, 0xD83D, 0xDE00}));
  EXPECT_EQ(Utf16ToUtf8(wide.value()), text);

  const char* malformed[] = {
      "\x80",              // stray continuation
      "\xC3",              // truncated
      "\xE2\x82",          // truncated
      "\xC0\xAF",          // overlong
      "\xED\xA0\x80",      // surrogate encoded in UTF-8
      "\xF4\x90\x80\x80",  // past U+10FFFF
      "\xFF",
  };
  for (const char* bad : malformed) {
    EXPECT_FALSE(Utf8ToUtf16(bad).ok()) << "case " << FormatHex(reinterpret_cast<const uint8_t*>(bad), std::strlen(bad));
  }
  // A lone surrogate from the store cannot be UTF-8; it becomes U+FFFD.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'x', 0xD800, u'y'}), "x\xEF\xBF\xBDy");
}

TEST(PropertyArguments, ParseEveryType) {
  struct Case {
    const char* argument;
    bool ok;
    const char* formatted;  // FormatPropertyValue of the result
  } cases[] = {
      {"0x10002=-5", true, "-5"},           // I2
      {"0x10002=40000", false, ""},         // I2 out of range
      {"0x10003=-2147483648", true, "-2147483648"},
      {"0x10012=65535", true, "65535"},     // UI2
      {"0x10012=-1", false, ""},
      {"0x10013=0xFFFFFFFF", true, "4294967295"},  // UI4
      {"0x10013=4294967296", false, ""},
      {"0x1000B=1", true, "1"},             // BOOL
      {"0x1000B=2", false, ""},
      {"0x10005=2.5", true, "2.5"},         // R8
      {"0x10005=-1e300", true, "-1e+300"},
      {"0x10005=inf", false, ""},
      {"0x10005=", false, ""},
      {"0x10040=132000000000000000", true, "132000000000000000"},  // FILETIME
      {"0x1001F=hello world", true, "hello world"},                // LPWSTR
      {"0x1001F=", true, ""},
      {"0x1001F=a=b", true, "a=b"},  // only the first '=' splits
      {"0x1001F=\xC3", false, ""},
      {"0x10041=00ff", true, "00ff"},  // BLOB
      {"0x10041=", true, ""},
      {"0x10041=0", false, ""},
      {"0x10007=1", false, ""},  // unknown type
      {"65539=7", true, "7"},    // decimal identifier 0x10003
      {"0x10003", false, ""},    // no '='
      {"=1", false, ""},
  };
  for (const Case& c : cases) {
    Result<Property> result = ParsePropertyArgument(c.argument);
    EXPECT_EQ(result.ok(), c.ok) << "case " << c.argument << ": " << result.error();
    if (c.ok && result.ok()) {
      EXPECT_EQ(FormatPropertyValue(result.value()), c.formatted) << "case " << c.argument;
    }
  }
}

TEST(PropertyArguments, RefusesAPropertyGivenTwice) {
  Result<std::vector<Property>> result = ParsePropertyArguments({"0x10003=1", "0x10013=2", "0x10003=3"});
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.error().find("0x00010003"), std::string::npos) << result.error();
}

TEST(ImportLines, AcceptWellFormedLinesAndNameTheFault) {
  Result<std::vector<Property>> good = ParseImportLine(
      R"({"props":[{"id":65538,"value":-3},{"id":65567,"value":"Ann"},{"id":65601,"value":"0a0b"},)"
      R"({"id":65541,"value":1.5},{"id":65547,"value":true},{"id":65600,"value":18446744073709551615}]})");
  ASSERT_TRUE(good.ok()) << good.error();
  ASSERT_EQ(good.value().size(), 6u);
  EXPECT_EQ(good.value()[0].integer, -3);
  EXPECT_EQ(good.value()[1].text, u"Ann");
  EXPECT_EQ(good.value()[2].bytes, (std::vector<uint8_t>{0x0A, 0x0B}));
  EXPECT_EQ(good.value()[3].real, 1.5);
  EXPECT_EQ(good.value()[4].integer, 1);
  EXPECT_EQ(good.value()[5].filetime, std::numeric_limits<uint64_t>::max());
  EXPECT_TRUE(ParseImportLine(R"({"props":[]})").ok());

  const char* bad[] = {
      "",
      "{",
      "[]",
      R"({"rows":[]})",
      R"({"props":{}})",
      R"({"props":[{"id":65538}]})",
      R"({"props":[{"id":"65538","value":1}]})",
      R"({"props":[{"id":-1,"value":1}]})",
      R"({"props":[{"id":4294967296,"value":1}]})",
      R"({"props":[{"id":65538,"value":32768}]})",        // I2 range
      R"({"props":[{"id":65538,"value":1.5}]})",          // not an integer
      R"({"props":[{"id":65555,"value":-1}]})",           // UI4 negative
      R"({"props":[{"id":65567,"value":5}]})",            // LPWSTR not a string
      R"({"props":[{"id":65567,"value":"a\u0000b"}]})",   // NUL would cut the string
      R"({"props":[{"id":65601,"value":"xyz"}]})",        // BLOB not hex
      R"({"props":[{"id":65547,"value":2}]})",            // BOOL
      R"({"props":[{"id":65543,"value":1}]})",            // unknown type 7
      R"({"props":[{"id":65538,"value":1},{"id":65538,"value":2}]})",
  };
  for (const char* line : bad) {
    Result<std::vector<Property>> result = ParseImportLine(line);
    EXPECT_FALSE(result.ok()) << "case " << line;
    EXPECT_FALSE(result.error().empty()) << "case " << line;
  }
}

TEST(Properties, SurviveTheTripThroughTheStoreForm) {
  Result<std::vector<Property>> parsed = ParsePropertyArguments(
      {"0x10002=-2", "0x20003=-70000", "0x30012=65535", "0x40013=4000000000", "0x5000B=1",
       "0x60005=0.25", "0x70040=0x0102030405060708", "0x8001F=\xE2\x82\xAC", "0x90041=beef",
       "0xA0041="});
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  const std::vector<Property> original = parsed.value();
  PropertyBlock block(parsed.value());
  ASSERT_EQ(block.count(), original.size());
  EXPECT_EQ(block.data()[6].val.filetime.dwHighDateTime, 0x01020304u);
  EXPECT_EQ(block.data()[6].val.filetime.dwLowDateTime, 0x05060708u);
  EXPECT_EQ(block.data()[7].val.lpwstr[1], 0);  // NUL-terminated for the store
  EXPECT_EQ(block.data()[9].val.blob.dwCount, 0u);

  for (size_t i = 0; i < original.size(); ++i) {
    Property back = PropertyFromCe(block.data()[i]);
    EXPECT_EQ(FormatPropertyValue(back), FormatPropertyValue(original[i])) << "case " << i;
    nlohmann::json json = PropertyToJson(back);
    EXPECT_EQ(json["id"], original[i].id) << "case " << i;
    EXPECT_EQ(json["type"], original[i].type()) << "case " << i;
    // What rec list prints, rec import reads back.
    Result<Property> reread = PropertyFromJson(json);
    ASSERT_TRUE(reread.ok()) << "case " << i << ": " << reread.error();
    EXPECT_EQ(FormatPropertyValue(reread.value()), FormatPropertyValue(original[i])) << "case " << i;
  }
  EXPECT_EQ(PropertyToJson(original[0])["value"], -2);
  EXPECT_EQ(PropertyToJson(original[3])["value"], 4000000000u);
  EXPECT_EQ(PropertyToJson(original[7])["value"], "\xE2\x82\xAC");
  EXPECT_EQ(PropertyToJson(original[8])["value"], "beef");
}

}  // namespace
}  // namespace hmdevice
