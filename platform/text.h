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
int wcompareNoCase(const char16_t* a, const char16_t* b);   // units compared after wlower
// One-to-one lower-casing of ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic and full-width
// Latin letters; other units are returned unchanged. Null pointers read as empty text.
char16_t wlower(char16_t c);
void wlowerInPlace(char16_t* s);

// printf-style formatting into a UTF-16 buffer of cap units; always terminates, cuts to fit.
// Conversions: %d %i %u %x %X %c %s (char16_t*) %S (char*) %hs (char*) %f with precision,
// %% and the flags '0', '-', width and precision (%.8x, %08x, %.2f, %5d). Also: flags '+', ' ',
// '#', '*' for width or precision, %o %p %e %g, the sizes hh h l ll z t j I64 and %ls/%ws
// (UTF-16). 8-bit text is read as UTF-8; a precision on %s bounds how much of the argument is
// read. %n stores nothing. An unknown conversion is copied as it stands.
// Returns the number of units written without the terminator (0 when cap is 0).
int wformat(char16_t* dst, size_t cap, const char16_t* fmt, ...);
int wformatv(char16_t* dst, size_t cap, const char16_t* fmt, va_list ap);

// The platform's decimal wide-string-to-long: optional blanks, sign, digits; 0 without digits.
// The module's long is 32 bits: values beyond it are clamped to -2147483648 .. 2147483647.
long wtol(const char16_t* s);

// Conversions for the layers around the program (files on the host, logs, terminals).
// Surrogate pairs are joined; an unpaired surrogate or invalid UTF-8 becomes U+FFFD.
std::string toUtf8(const char16_t* s);
std::string toUtf8(const std::u16string& s);
std::u16string fromUtf8(const std::string& s);

}  // namespace plat
