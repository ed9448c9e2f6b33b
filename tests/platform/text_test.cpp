// UTF-16 text helpers: the formatter, cut-to-fit copies, decimal conversion, lower-casing and
// UTF-8 conversions.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"

namespace {

using plat::wformat;

std::string show(const std::u16string& s) { return plat::toUtf8(s); }

// Formats into a heap buffer of exactly cap units, so that a write past its end is caught.
std::u16string formatted(size_t cap, const std::function<int(char16_t*, size_t)>& call,
                         int* result = nullptr) {
  auto buf = std::make_unique<char16_t[]>(cap);
  const int n = call(buf.get(), cap);
  if (result != nullptr) *result = n;
  return std::u16string(buf.get());
}

struct FormatCase {
  const char* what;
  std::function<int(char16_t*, size_t)> call;
  std::u16string expected;
};

TEST(TextFormat, ConversionsFlagsWidthsAndPrecisions) {
  const std::vector<FormatCase> cases = {
      {"%d negative", [](char16_t* b, size_t c) { return wformat(b, c, u"%d", -5); }, u"-5"},
      {"%i", [](char16_t* b, size_t c) { return wformat(b, c, u"%i", 42); }, u"42"},
      {"%d of a u32 above 2^31 reads signed",
       [](char16_t* b, size_t c) { return wformat(b, c, u"%d", uint32_t{0xFFFFFFFF}); }, u"-1"},
      {"%d INT_MIN", [](char16_t* b, size_t c) { return wformat(b, c, u"%d", INT_MIN); },
       u"-2147483648"},
      {"%u", [](char16_t* b, size_t c) { return wformat(b, c, u"%u", 4294967295u); },
       u"4294967295"},
      {"%x", [](char16_t* b, size_t c) { return wformat(b, c, u"%x", 0xBEEFu); }, u"beef"},
      {"%X", [](char16_t* b, size_t c) { return wformat(b, c, u"%X", 0xBEEFu); }, u"BEEF"},
      {"%.8x", [](char16_t* b, size_t c) { return wformat(b, c, u"%.8x", 0x80000u); },
       u"00080000"},
      {"%08x", [](char16_t* b, size_t c) { return wformat(b, c, u"%08x", 0x1234u); },
       u"00001234"},
      {"%.8x of a value with 8 digits",
       [](char16_t* b, size_t c) { return wformat(b, c, u"%.8x", 0xFFFFFFFFu); }, u"ffffffff"},
      {"%5d", [](char16_t* b, size_t c) { return wformat(b, c, u"%5d", 42); }, u"   42"},
      {"%-5d", [](char16_t* b, size_t c) { return wformat(b, c, u"%-5d|", 42); }, u"42   |"},
      {"%05d negative", [](char16_t* b, size_t c) { return wformat(b, c, u"%05d", -42); },
       u"-0042"},
      {"%-05d ignores 0", [](char16_t* b, size_t c) { return wformat(b, c, u"%-05d|", 7); },
       u"7    |"},
      {"%8.3d", [](char16_t* b, size_t c) { return wformat(b, c, u"%8.3d", 7); }, u"     007"},
      {"%.0d of 0", [](char16_t* b, size_t c) { return wformat(b, c, u"[%.0d]", 0); }, u"[]"},
      {"%#x", [](char16_t* b, size_t c) { return wformat(b, c, u"%#x", 255u); }, u"0xff"},
      {"%+d", [](char16_t* b, size_t c) { return wformat(b, c, u"%+d", 3); }, u"+3"},
      {"%*d", [](char16_t* b, size_t c) { return wformat(b, c, u"%*d", 4, 1); }, u"   1"},
      {"%lld", [](char16_t* b, size_t c) { return wformat(b, c, u"%lld", LLONG_MIN); },
       u"-9223372036854775808"},
      {"%I64x",
       [](char16_t* b, size_t c) { return wformat(b, c, u"%I64x", 0x123456789ABCDEFull); },
       u"123456789abcdef"},
      {"%hd", [](char16_t* b, size_t c) { return wformat(b, c, u"%hd", 70000); }, u"4464"},
      {"%.2f KB", [](char16_t* b, size_t c) { return wformat(b, c, u"%.2f KB", 512.0); },
       u"512.00 KB"},
      {"%.2f rounds",
       [](char16_t* b, size_t c) { return wformat(b, c, u"%.2f", 1234567 / 1024.0); },
       u"1205.63"},
      {"%f default precision", [](char16_t* b, size_t c) { return wformat(b, c, u"%f", 1.5); },
       u"1.500000"},
      {"%8.2f", [](char16_t* b, size_t c) { return wformat(b, c, u"%8.2f", -3.14159); },
       u"   -3.14"},
      {"%c", [](char16_t* b, size_t c) { return wformat(b, c, u"%c", u'x'); }, u"x"},
      {"%c beyond Latin-1", [](char16_t* b, size_t c) { return wformat(b, c, u"%c", u'\u20AC'); },
       u"\u20AC"},
      {"%3c", [](char16_t* b, size_t c) { return wformat(b, c, u"%3c", u'x'); }, u"  x"},
      {"%s", [](char16_t* b, size_t c) { return wformat(b, c, u"<%s>", u"wide"); }, u"<wide>"},
      {"%ls", [](char16_t* b, size_t c) { return wformat(b, c, u"%ls", u"wide"); }, u"wide"},
      {"%S", [](char16_t* b, size_t c) { return wformat(b, c, u"%S", "narrow"); }, u"narrow"},
      {"%hs", [](char16_t* b, size_t c) { return wformat(b, c, u"%hs", "narrow"); }, u"narrow"},
      {"%hs reads UTF-8",
       [](char16_t* b, size_t c) { return wformat(b, c, u"%hs", "caf\xC3\xA9"); }, u"caf\u00E9"},
      {"%.3s", [](char16_t* b, size_t c) { return wformat(b, c, u"%.3s", u"abcdef"); }, u"abc"},
      {"%-6s", [](char16_t* b, size_t c) { return wformat(b, c, u"%-6s|", u"ab"); }, u"ab    |"},
      {"%6s", [](char16_t* b, size_t c) { return wformat(b, c, u"%6s", u"ab"); }, u"    ab"},
      {"%s null", [](char16_t* b, size_t c) {
         return wformat(b, c, u"%s", static_cast<const char16_t*>(nullptr));
       }, u"(null)"},
      {"%%", [](char16_t* b, size_t c) { return wformat(b, c, u"Validating File %d%%", 50); },
       u"Validating File 50%"},
      {"unknown conversion copied",
       [](char16_t* b, size_t c) { return wformat(b, c, u"a%qb", 1); }, u"a%qb"},
      {"lone % at the end", [](char16_t* b, size_t c) { return wformat(b, c, u"50%"); }, u"50%"},
      {"several arguments in order",
       [](char16_t* b, size_t c) {
         return wformat(b, c, u"Image Start: %.8x\nImage Len: %.8x (%d)", 0x80000u, 0x1F000u,
                        0x1F000);
       },
       u"Image Start: 00080000\nImage Len: 0001f000 (126976)"},
      {"mixed text and numbers",
       [](char16_t* b, size_t c) {
         return wformat(b, c, u"Ver:\t%d.%d %s (CE %d.%d)", 1, 3, u"BETA, Build 7", 5, 0);
       },
       u"Ver:\t1.3 BETA, Build 7 (CE 5.0)"},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.what);
    int n = -1;
    const std::u16string got = formatted(256, c.call, &n);
    EXPECT_EQ(show(got), show(c.expected));
    EXPECT_EQ(n, static_cast<int>(c.expected.size()));
  }
}

TEST(TextFormat, CutsToFitWithoutWritingPastTheBuffer) {
  const auto call = [](char16_t* b, size_t c) {
    return wformat(b, c, u"%s-%08x-%d-%.2f", u"abcdef", 0xABCu, -12345, 2.5);
  };
  const std::u16string full = u"abcdef-00000abc--12345-2.50";
  for (size_t cap = 1; cap <= full.size() + 2; ++cap) {
    SCOPED_TRACE(cap);
    int n = -1;
    const std::u16string got = formatted(cap, call, &n);
    const size_t expect = std::min(full.size(), cap - 1);
    EXPECT_EQ(show(got), show(full.substr(0, expect)));
    EXPECT_EQ(n, static_cast<int>(expect));
  }
  // Huge widths and precisions against a small buffer.
  EXPECT_EQ(formatted(4, [](char16_t* b, size_t c) { return wformat(b, c, u"%500d", 1); }),
            u"   ");
  EXPECT_EQ(formatted(4, [](char16_t* b, size_t c) { return wformat(b, c, u"%.400f", 1e300); }),
            u"100");
  EXPECT_EQ(formatted(3, [](char16_t* b, size_t c) { return wformat(b, c, u"%-400s", u"x"); }),
            u"x ");
  // A capacity of 0 writes nothing at all.
  char16_t untouched[1] = {u'#'};
  EXPECT_EQ(wformat(untouched, 0, u"%d", 5), 0);
  EXPECT_EQ(untouched[0], u'#');
}

TEST(TextFormat, PrecisionBoundsHowMuchOfAStringIsRead) {
  // Fixed-size fields without a terminator: the precision keeps the reader inside them.
  auto wide = std::make_unique<char16_t[]>(4);
  for (int i = 0; i < 4; ++i) wide[i] = static_cast<char16_t>(u'a' + i);
  auto narrow = std::make_unique<char[]>(3);
  for (int i = 0; i < 3; ++i) narrow[i] = static_cast<char>('x' + i);
  const char16_t* w = wide.get();
  const char* s = narrow.get();
  EXPECT_EQ(formatted(16, [w](char16_t* b, size_t c) { return wformat(b, c, u"%.4s", w); }),
            u"abcd");
  EXPECT_EQ(formatted(16, [s](char16_t* b, size_t c) { return wformat(b, c, u"%.3hs", s); }),
            u"xyz");
}

TEST(TextCopy, CutsToFitAndAlwaysTerminates) {
  const char16_t* src = u"\\USB HD\\IMAGES\\nk.bin";
  const size_t len = plat::wlen(src);
  EXPECT_EQ(len, 21u);
  for (size_t cap = 1; cap <= len + 2; ++cap) {
    SCOPED_TRACE(cap);
    auto buf = std::make_unique<char16_t[]>(cap);
    std::fill(buf.get(), buf.get() + cap, u'#');
    plat::wcopy(buf.get(), cap, src);
    const size_t expect = std::min(len, cap - 1);
    EXPECT_EQ(buf[expect], 0);
    EXPECT_EQ(std::u16string(buf.get()), std::u16string(src).substr(0, expect));
  }
  char16_t one[1] = {u'#'};
  plat::wcopy(one, 0, src);
  EXPECT_EQ(one[0], u'#');
  plat::wcopy(one, 1, nullptr);
  EXPECT_EQ(one[0], 0);
}

TEST(TextWtol, ParsesLikeTheModulesConversion) {
  struct Case {
    const char16_t* text;
    long expected;
  };
  const Case cases[] = {
      {u"5000", 5000},
      {u"5000 /fu", 5000},
      {u"  \t-42x", -42},
      {u"+7", 7},
      {u"", 0},
      {u"x12", 0},
      {u"- 5", 0},
      {u"0x10", 0},
      {u"007", 7},
      {u"2147483647", 2147483647},
      {u"2147483648", 2147483647},
      {u"99999999999999999999999", 2147483647},
      {u"-2147483648", -2147483647L - 1},
      {u"-99999999999", -2147483647L - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(show(c.text));
    EXPECT_EQ(plat::wtol(c.text), c.expected);
  }
}

TEST(TextCase, LowerCasingAndComparisons) {
  char16_t line[] = u"/U \\USB HD\\Images\\NK.BIN /RC5000 \u00C0\u00C9\u00D6\u00DE \u00D7\u00DF";
  plat::wlowerInPlace(line);
  EXPECT_EQ(show(line), show(u"/u \\usb hd\\images\\nk.bin /rc5000 \u00E0\u00E9\u00F6\u00FE "
                             u"\u00D7\u00DF"));
  EXPECT_EQ(plat::wlower(u'\u0178'), u'\u00FF');  // Y with diaeresis
  EXPECT_EQ(plat::wlower(u'\u0410'), u'\u0430');  // Cyrillic A
  EXPECT_EQ(plat::wlower(u'\u0394'), u'\u03B4');  // Greek Delta
  EXPECT_EQ(plat::wlower(u'1'), u'1');

  EXPECT_EQ(plat::wcompareNoCase(u"NK.BIN", u"nk.bin"), 0);
  EXPECT_EQ(plat::wcompareNoCase(u"\u00C4rger", u"\u00E4RGER"), 0);
  EXPECT_LT(plat::wcompareNoCase(u"a", u"B"), 0);
  EXPECT_GT(plat::wcompareNoCase(u"abc", u"AB"), 0);
  EXPECT_NE(plat::wcompare(u"NK.BIN", u"nk.bin"), 0);
  EXPECT_LT(plat::wcompare(u"B", u"a"), 0);
  EXPECT_LT(plat::wcompare(u"ab", u"abc"), 0);
  EXPECT_GT(plat::wcompare(u"\uFFFF", u"a"), 0);  // units compare unsigned
  EXPECT_EQ(plat::wcompare(u"same", u"same"), 0);
}

TEST(TextUtf, ConversionsReplaceInvalidInputAndKeepPairs) {
  struct Case {
    const char* what;
    std::string utf8;
    std::u16string utf16;
  };
  const std::vector<Case> decode = {
      {"ASCII", "nk.bin", u"nk.bin"},
      {"two bytes", "\xC3\xA9", u"\u00E9"},
      {"three bytes", "\xE2\x82\xAC", u"\u20AC"},
      {"four bytes to a pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"highest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"stray continuation", "a\x80" "b", u"a\uFFFDb"},
      {"overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"overlong three bytes", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"cut sequence", "\xE2\x82", u"\uFFFD"},
      {"cut sequence then ASCII", "\xE2\x82x", u"\uFFFDx"},
      {"invalid lead", "\xFF", u"\uFFFD"},
  };
  for (const Case& c : decode) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(show(plat::fromUtf8(c.utf8)), show(c.utf16));
  }
  EXPECT_EQ(plat::toUtf8(std::u16string(u"a\xD800" u"b")), "a\xEF\xBF\xBD" "b");  // lone high
  EXPECT_EQ(plat::toUtf8(std::u16string(u"\xDC00")), "\xEF\xBF\xBD");             // lone low
  EXPECT_EQ(plat::toUtf8(std::u16string(u"\xD800")), "\xEF\xBF\xBD");             // high at end
  EXPECT_EQ(plat::toUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(plat::toUtf8(static_cast<const char16_t*>(nullptr)), "");

  // Every unit that is not a surrogate, and a spread of pairs, come back unchanged.
  std::u16string all;
  for (char32_t c = 1; c < 0x10000; ++c) {
    if (c < 0xD800 || c > 0xDFFF) all += static_cast<char16_t>(c);
  }
  for (char32_t c = 0x10000; c <= 0x10FFFF; c += 0x777) {
    all += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    all += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  }
  EXPECT_TRUE(plat::fromUtf8(plat::toUtf8(all)) == all);
}

}  // namespace
