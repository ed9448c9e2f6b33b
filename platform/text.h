#pragma once
// UTF-16 text as the program uses it: NUL-terminated char16_t buffers of fixed size.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

size_t wlen(const char16_t* s);
// Copies src into dst (capacity in units, including the terminator); cuts to fit, always terminates.
void wcopy(char16_t* dst, size_t cap, const char16_t* src);
int wcompare(const char16_t* a, const char16_t* b);         // ordinal
int wcompareNoCase(const char16_t* a, const char16_t* b);   // ASCII case folding
char16_t wlower(char16_t c);
void wlowerInPlace(char16_t* s);

// printf-style formatting into a UTF-16 buffer of cap units; always terminates, cuts to fit.
// Conversions: %d %i %u %x %X %c %s (char16_t*) %S (char*) %hs (char*) %f with precision,
// %% and the flags '0', '-', width and precision (%.8x, %08x, %.2f, %5d).
// Returns the number of units written without the terminator.
int wformat(char16_t* dst, size_t cap, const char16_t* fmt, ...);
int wformatv(char16_t* dst, size_t cap, const char16_t* fmt, va_list ap);

// The platform's decimal wide-string-to-long: optional blanks, sign, digits; 0 without digits.
long wtol(const char16_t* s);

// Conversions for the layers around the program (files on the host, logs, terminals).
std::string toUtf8(const char16_t* s);
std::string toUtf8(const std::u16string& s);
std::u16string fromUtf8(const std::string& s);

}  // namespace plat
