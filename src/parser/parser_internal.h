#pragma once
// Helpers shared by the parser units. Not for use outside src/parser.
#include <cstddef>
#include <cstdint>

#include "parser/parser_callbacks.h"

#define PARSER_CB(cb, slot, ...)                                                                   \
    do {                                                                                           \
        if ((cb) != nullptr && (cb)->slot != nullptr)                                              \
            (cb)->slot(__VA_ARGS__);                                                               \
    } while (0)

namespace parser_detail {

inline constexpr size_t kMessageSize = 256;

// Formats into the shared message buffer (cut at 255 characters) and returns it.
const char* message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Splits `line` in place at spaces and tabs; at most `max` tokens; returns the count.
int tokenize(char* line, char** tokens, int max);

// Value of one hex digit, or -1.
inline int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One 2-character pair read as a hex number that stops at the first non-digit ("7G" is 7, "G7" is
// 0). `p` may point at the terminator; nothing past it is read.
inline uint8_t hexPair(const char* p)
{
    const int hi = hexDigit(p[0]);
    if (hi < 0)
        return 0;
    const int lo = hexDigit(p[1]);
    return lo < 0 ? uint8_t(hi) : uint8_t(hi * 16 + lo);
}

// Reads a whole hex text, most significant digit first, stopping at the first non-digit; the
// result wraps modulo 2^64, so its low bits are exact.
uint64_t readHex(const char* text);

// Serial-number range check shared by the version record and the old dump format.
void checkSerial(const parser_callbacks* cb, const char* serial);

} // namespace parser_detail
