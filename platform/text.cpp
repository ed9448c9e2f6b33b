// UTF-16 text helpers: lengths, copies, comparisons, lower-casing, printf-style formatting,
// decimal conversion and UTF-8 <-> UTF-16.
#include "platform/text.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace plat {

size_t wlen(const char16_t* s) {
  if (s == nullptr) return 0;
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

void wcopy(char16_t* dst, size_t cap, const char16_t* src) {
  if (dst == nullptr || cap == 0) return;
  size_t n = 0;
  if (src != nullptr) {
    while (n + 1 < cap && src[n] != 0) {
      dst[n] = src[n];
      ++n;
    }
  }
  dst[n] = 0;
}

int wcompare(const char16_t* a, const char16_t* b) {
  static const char16_t empty[1] = {0};
  if (a == nullptr) a = empty;
  if (b == nullptr) b = empty;
  for (;; ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
    if (*a == 0) return 0;
  }
}

int wcompareNoCase(const char16_t* a, const char16_t* b) {
  static const char16_t empty[1] = {0};
  if (a == nullptr) a = empty;
  if (b == nullptr) b = empty;
  for (;; ++a, ++b) {
    const char16_t ca = wlower(*a);
    const char16_t cb = wlower(*b);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

// Simple one-to-one lower-casing: ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic and the
// full-width Latin letters. Everything else is returned unchanged.
char16_t wlower(char16_t c) {
  const unsigned u = c;
  auto to = [](unsigned v) { return static_cast<char16_t>(v); };
  if (u < 0x80) return (u >= 'A' && u <= 'Z') ? to(u + 32) : c;
  if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return to(u + 32);
  if (u >= 0x100 && u <= 0x17F) {
    if (u == 0x130) return u'i';
    if (u == 0x178) return to(0xFF);
    if ((u >= 0x100 && u <= 0x137) || (u >= 0x14A && u <= 0x177))
      return (u % 2 == 0) ? to(u + 1) : c;
    if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E))
      return (u % 2 == 1) ? to(u + 1) : c;
    return c;
  }
  if (u >= 0x386 && u <= 0x3AB) {
    if (u >= 0x391 && u <= 0x3AB && u != 0x3A2) return to(u + 32);
    if (u == 0x386) return to(0x3AC);
    if (u >= 0x388 && u <= 0x38A) return to(u + 37);
    if (u == 0x38C) return to(0x3CC);
    if (u == 0x38E || u == 0x38F) return to(u + 63);
    return c;
  }
  if (u >= 0x400 && u <= 0x40F) return to(u + 80);
  if (u >= 0x410 && u <= 0x42F) return to(u + 32);
  if (u >= 0xFF21 && u <= 0xFF3A) return to(u + 32);
  return c;
}

void wlowerInPlace(char16_t* s) {
  if (s == nullptr) return;
  for (; *s != 0; ++s) *s = wlower(*s);
}

// ---------------------------------------------------------------------------------------------
// Formatting

namespace {

// Output into a fixed buffer: keeps one unit for the terminator and drops what does not fit.
struct Sink {
  char16_t* dst;
  size_t cap;
  size_t pos = 0;
  bool full = false;

  void put(char16_t c) {
    if (pos + 1 < cap) {
      dst[pos++] = c;
    } else {
      full = true;
    }
  }
  void repeat(char16_t c, long n) {
    for (; n > 0 && !full; --n) put(c);
  }
};

struct Spec {
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  bool alt = false;
  long width = 0;
  long precision = -1;  // -1: none given
};

enum class Length { None, Char, Short, Long, LongLong, Size, PtrDiff, Max, LongDouble, Wide };

// Pads a field of n units to the conversion's width, calling body to produce the units.
template <class Body>
void field(Sink& out, const Spec& spec, long n, Body body) {
  const long pad = spec.width > n ? spec.width - n : 0;
  if (!spec.left) out.repeat(u' ', pad);
  body();
  if (spec.left) out.repeat(u' ', pad);
}

void formatInteger(Sink& out, const Spec& spec, unsigned long long magnitude, bool negative,
                   unsigned base, bool upper, bool isSigned) {
  char digits[64];
  int n = 0;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (unsigned long long v = magnitude; v != 0; v /= base) digits[n++] = set[v % base];
  if (magnitude == 0 && spec.precision != 0) digits[n++] = '0';

  char prefix[3] = {};
  int prefixLen = 0;
  if (isSigned) {
    if (negative) {
      prefix[prefixLen++] = '-';
    } else if (spec.plus) {
      prefix[prefixLen++] = '+';
    } else if (spec.space) {
      prefix[prefixLen++] = ' ';
    }
  } else if (spec.alt && magnitude != 0) {
    if (base == 16) {
      prefix[prefixLen++] = '0';
      prefix[prefixLen++] = upper ? 'X' : 'x';
    } else if (base == 8 && (spec.precision <= n)) {
      prefix[prefixLen++] = '0';
    }
  }
  long zeros = spec.precision > n ? spec.precision - n : 0;
  long total = prefixLen + zeros + n;
  if (spec.zero && !spec.left && spec.precision < 0 && spec.width > total) {
    zeros += spec.width - total;
    total = spec.width;
  }
  field(out, spec, total, [&] {
    for (int i = 0; i < prefixLen; ++i) out.put(static_cast<char16_t>(prefix[i]));
    out.repeat(u'0', zeros);
    for (int i = n - 1; i >= 0; --i) out.put(static_cast<char16_t>(digits[i]));
  });
}

// Floating-point conversions go through the C library, which rounds correctly; the result is
// plain ASCII.
void formatFloat(Sink& out, const Spec& spec, char conv, long double value, bool isLong) {
  char fmt[48];
  size_t k = 0;
  fmt[k++] = '%';
  if (spec.left) fmt[k++] = '-';
  if (spec.zero) fmt[k++] = '0';
  if (spec.plus) fmt[k++] = '+';
  if (spec.space) fmt[k++] = ' ';
  if (spec.alt) fmt[k++] = '#';
  fmt[k++] = '*';
  fmt[k++] = '.';
  fmt[k++] = '*';
  if (isLong) fmt[k++] = 'L';
  fmt[k++] = conv;
  fmt[k] = 0;
  const int width = static_cast<int>(spec.width);
  const int precision = spec.precision < 0 ? 6 : static_cast<int>(spec.precision);
  std::string text(64, '\0');
  for (;;) {
    int n = isLong ? std::snprintf(text.data(), text.size(), fmt, width, precision, value)
                   : std::snprintf(text.data(), text.size(), fmt, width, precision,
                                   static_cast<double>(value));
    if (n < 0) return;
    if (static_cast<size_t>(n) < text.size()) {
      text.resize(static_cast<size_t>(n));
      break;
    }
    text.assign(static_cast<size_t>(n) + 1, '\0');
  }
  for (char c : text) {
    if (out.full) break;
    out.put(static_cast<char16_t>(static_cast<unsigned char>(c)));
  }
}

size_t boundedLen(const char16_t* s, long limit) {
  size_t n = 0;
  while ((limit < 0 || n < static_cast<size_t>(limit)) && s[n] != 0) ++n;
  return n;
}

size_t boundedLen(const char* s, long limit) {
  size_t n = 0;
  while ((limit < 0 || n < static_cast<size_t>(limit)) && s[n] != 0) ++n;
  return n;
}

long clampLong(long long v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < -static_cast<long long>(INT_MAX)) return -INT_MAX;
  return static_cast<long>(v);
}

}  // namespace

int wformatv(char16_t* dst, size_t cap, const char16_t* fmt, va_list ap) {
  if (dst == nullptr || cap == 0) return 0;
  Sink out{dst, cap};
  if (fmt == nullptr) fmt = u"";
  // Work on a copy so that the caller's list can be read with va_arg portably.
  va_list args;
  va_copy(args, ap);
  const char16_t* p = fmt;
  while (*p != 0 && !out.full) {
    if (*p != u'%') {
      out.put(*p++);
      continue;
    }
    const char16_t* start = p++;
    Spec spec;
    for (;; ++p) {
      if (*p == u'-') {
        spec.left = true;
      } else if (*p == u'0') {
        spec.zero = true;
      } else if (*p == u'+') {
        spec.plus = true;
      } else if (*p == u' ') {
        spec.space = true;
      } else if (*p == u'#') {
        spec.alt = true;
      } else {
        break;
      }
    }
    if (*p == u'*') {
      const int w = va_arg(args, int);
      if (w < 0) {
        spec.left = true;
        spec.width = -static_cast<long long>(w) > INT_MAX ? INT_MAX : -w;
      } else {
        spec.width = w;
      }
      ++p;
    } else {
      long long w = 0;
      while (*p >= u'0' && *p <= u'9') w = w * 10 + (*p++ - u'0'), w = w > INT_MAX ? INT_MAX : w;
      spec.width = clampLong(w);
    }
    if (*p == u'.') {
      ++p;
      if (*p == u'*') {
        const int pr = va_arg(args, int);
        spec.precision = pr < 0 ? -1 : pr;
        ++p;
      } else {
        long long pr = 0;
        while (*p >= u'0' && *p <= u'9')
          pr = pr * 10 + (*p++ - u'0'), pr = pr > INT_MAX ? INT_MAX : pr;
        spec.precision = clampLong(pr);
      }
    }
    Length length = Length::None;
    switch (*p) {
      case u'h':
        ++p;
        length = Length::Short;
        if (*p == u'h') ++p, length = Length::Char;
        break;
      case u'l':
        ++p;
        length = Length::Long;
        if (*p == u'l') ++p, length = Length::LongLong;
        break;
      case u'w':
        ++p;
        length = Length::Wide;
        break;
      case u'L':
        ++p;
        length = Length::LongDouble;
        break;
      case u'z':
        ++p;
        length = Length::Size;
        break;
      case u't':
        ++p;
        length = Length::PtrDiff;
        break;
      case u'j':
        ++p;
        length = Length::Max;
        break;
      case u'I':
        if (p[1] == u'6' && p[2] == u'4') {
          p += 3;
          length = Length::LongLong;
        } else if (p[1] == u'3' && p[2] == u'2') {
          p += 3;
        } else {
          ++p;
          length = Length::Size;
        }
        break;
      default:
        break;
    }
    const char16_t conv = *p;
    if (conv == 0) {
      // A lone '%' (with or without flags) at the end is copied as it stands.
      for (const char16_t* q = start; q < p && !out.full; ++q) out.put(*q);
      break;
    }
    ++p;
    switch (conv) {
      case u'%':
        out.put(u'%');
        break;
      case u'd':
      case u'i': {
        long long v;
        switch (length) {
          case Length::Char: v = static_cast<signed char>(va_arg(args, int)); break;
          case Length::Short: v = static_cast<short>(va_arg(args, int)); break;
          case Length::Long: v = va_arg(args, long); break;
          case Length::LongLong: v = va_arg(args, long long); break;
          case Length::Size: v = static_cast<long long>(va_arg(args, size_t)); break;
          case Length::PtrDiff: v = va_arg(args, ptrdiff_t); break;
          case Length::Max: v = va_arg(args, intmax_t); break;
          default: v = va_arg(args, int); break;
        }
        const bool negative = v < 0;
        const unsigned long long magnitude =
            negative ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        formatInteger(out, spec, magnitude, negative, 10, false, true);
        break;
      }
      case u'u':
      case u'x':
      case u'X':
      case u'o': {
        unsigned long long v;
        switch (length) {
          case Length::Char: v = static_cast<unsigned char>(va_arg(args, unsigned)); break;
          case Length::Short: v = static_cast<unsigned short>(va_arg(args, unsigned)); break;
          case Length::Long: v = va_arg(args, unsigned long); break;
          case Length::LongLong: v = va_arg(args, unsigned long long); break;
          case Length::Size: v = va_arg(args, size_t); break;
          case Length::PtrDiff: v = static_cast<unsigned long long>(va_arg(args, ptrdiff_t)); break;
          case Length::Max: v = va_arg(args, uintmax_t); break;
          default: v = va_arg(args, unsigned); break;
        }
        const unsigned base = conv == u'u' ? 10 : conv == u'o' ? 8 : 16;
        formatInteger(out, spec, v, false, base, conv == u'X', false);
        break;
      }
      case u'p': {
        const void* v = va_arg(args, void*);
        Spec ps = spec;
        ps.precision = static_cast<long>(sizeof(void*) * 2);
        formatInteger(out, ps, reinterpret_cast<uintptr_t>(v), false, 16, true, false);
        break;
      }
      case u'c':
      case u'C': {
        // %c takes a UTF-16 unit; %C and %hc take an 8-bit character.
        const int v = va_arg(args, int);
        const bool narrow = (conv == u'C' && length != Length::Long && length != Length::Wide) ||
                            length == Length::Short;
        const char16_t c = narrow ? static_cast<char16_t>(static_cast<unsigned char>(v))
                                  : static_cast<char16_t>(v);
        field(out, spec, 1, [&] { out.put(c); });
        break;
      }
      case u's':
      case u'S': {
        // %s takes UTF-16 text; %S and %hs take 8-bit text (read as UTF-8). %ls and %ws are
        // UTF-16 whatever the letter's case.
        const bool narrow = (conv == u'S' && length != Length::Long && length != Length::Wide) ||
                            length == Length::Short;
        if (narrow) {
          const char* s = va_arg(args, const char*);
          if (s == nullptr) s = "(null)";
          const std::u16string text = fromUtf8(std::string(s, boundedLen(s, spec.precision)));
          size_t n = text.size();
          if (spec.precision >= 0 && n > static_cast<size_t>(spec.precision))
            n = static_cast<size_t>(spec.precision);
          field(out, spec, static_cast<long>(n), [&] {
            for (size_t i = 0; i < n && !out.full; ++i) out.put(text[i]);
          });
        } else {
          const char16_t* s = va_arg(args, const char16_t*);
          if (s == nullptr) s = u"(null)";
          const size_t n = boundedLen(s, spec.precision);
          field(out, spec, static_cast<long>(n > LONG_MAX ? LONG_MAX : n), [&] {
            for (size_t i = 0; i < n && !out.full; ++i) out.put(s[i]);
          });
        }
        break;
      }
      case u'f':
      case u'F':
      case u'e':
      case u'E':
      case u'g':
      case u'G':
      case u'a':
      case u'A': {
        const bool isLong = length == Length::LongDouble;
        const long double v = isLong ? va_arg(args, long double) : va_arg(args, double);
        formatFloat(out, spec, static_cast<char>(conv), v, isLong);
        break;
      }
      case u'n':
        // Never written to: the argument is consumed and nothing is stored.
        (void)va_arg(args, void*);
        break;
      default:
        // An unknown conversion is copied as it stands.
        for (const char16_t* q = start; q < p && !out.full; ++q) out.put(*q);
        break;
    }
  }
  va_end(args);
  dst[out.pos] = 0;
  return static_cast<int>(out.pos);
}

int wformat(char16_t* dst, size_t cap, const char16_t* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = wformatv(dst, cap, fmt, ap);
  va_end(ap);
  return n;
}

// Results outside the module's 32-bit long are clamped to its limits, as the C library's wcstol
// clamps on the module.
long wtol(const char16_t* s) {
  if (s == nullptr) return 0;
  while (*s == u' ' || (*s >= u'\t' && *s <= u'\r')) ++s;
  bool negative = false;
  if (*s == u'+' || *s == u'-') negative = *s++ == u'-';
  long long v = 0;
  const long long limit = static_cast<long long>(INT32_MAX) + 1;
  for (; *s >= u'0' && *s <= u'9'; ++s) {
    v = v * 10 + (*s - u'0');
    if (v > limit) v = limit;
  }
  if (negative) v = -v;
  if (v > INT32_MAX) v = INT32_MAX;
  return static_cast<long>(v);
}

// ---------------------------------------------------------------------------------------------
// UTF-8 <-> UTF-16

namespace {

void appendUtf8(std::string& out, char32_t cp) {
  auto b = [](unsigned v) { return static_cast<char>(static_cast<unsigned char>(v)); };
  const unsigned u = cp;
  if (u < 0x80) {
    out += b(u);
  } else if (u < 0x800) {
    out += b(0xC0 | (u >> 6));
    out += b(0x80 | (u & 0x3F));
  } else if (u < 0x10000) {
    out += b(0xE0 | (u >> 12));
    out += b(0x80 | ((u >> 6) & 0x3F));
    out += b(0x80 | (u & 0x3F));
  } else {
    out += b(0xF0 | (u >> 18));
    out += b(0x80 | ((u >> 12) & 0x3F));
    out += b(0x80 | ((u >> 6) & 0x3F));
    out += b(0x80 | (u & 0x3F));
  }
}

std::string utf8Of(const char16_t* s, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00u));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      appendUtf8(out, 0xFFFD);  // a surrogate without its partner
    } else {
      appendUtf8(out, c);
    }
  }
  return out;
}

}  // namespace

std::string toUtf8(const char16_t* s) {
  if (s == nullptr) return {};
  return utf8Of(s, wlen(s));
}

std::string toUtf8(const std::u16string& s) { return utf8Of(s.data(), s.size()); }

// Invalid input (stray continuation bytes, overlong forms, encoded surrogates, values above
// U+10FFFF, cut sequences) gives one U+FFFD for each maximal invalid part.
std::u16string fromUtf8(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  const size_t n = s.size();
  auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  size_t i = 0;
  while (i < n) {
    const unsigned b0 = byte(i);
    if (b0 < 0x80) {
      out += static_cast<char16_t>(b0);
      ++i;
      continue;
    }
    int need;
    unsigned cp;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      need = 1;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      need = 2;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
      if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      need = 3;
      cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;  // no overlong forms
      if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < need; ++k, ++j) {
      const unsigned lower = k == 0 ? lo : 0x80;
      const unsigned upper = k == 0 ? hi : 0xBF;
      if (j >= n || byte(j) < lower || byte(j) > upper) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (byte(j) & 0x3F);
    }
    if (!ok) {
      out += u'\uFFFD';
      i = j;  // the maximal part that was valid so far is replaced as one
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i = j;
  }
  return out;
}

}  // namespace plat
