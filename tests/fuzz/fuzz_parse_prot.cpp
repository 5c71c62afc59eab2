// libFuzzer target: a dump, cut into lines, through the line table and parse_prot.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "parser/parse_prot.h"

namespace {
volatile uint64_t g_sink;
void touch(const char* t) { g_sink = g_sink + std::strlen(t); }

const parser_callbacks kTable = {
    touch,
    [](BD_E c, uint8_t s) { g_sink = g_sink + uint64_t(c) + s; },
    touch, touch, touch, touch, touch, touch, touch, touch, touch, touch, touch,
    [](uint16_t n) { g_sink = g_sink + n; },
    [] { g_sink = g_sink + 1; },
    [] { g_sink = g_sink + 2; },
    [] { g_sink = g_sink + 3; },
    [](int64_t t, uint32_t s) { g_sink = g_sink + uint64_t(t) + s; },
    [](uint32_t s) { g_sink = g_sink + s; },
    [](int64_t t) { g_sink = g_sink + uint64_t(t); },
    [](uint8_t c) { g_sink = g_sink + c; },
    [](int64_t t, uint64_t n, uint32_t s) { g_sink = g_sink + uint64_t(t) + n + s; },
    [](float r) { g_sink = g_sink + uint64_t(r > 0 && r < 1e18f ? r : 0); },
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int n = 0;
    size_t pos = 0;
    while (pos < size && n < PARSER_MAX_LINES) {
        const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data + pos, '\n', size - pos));
        size_t len = (end ? size_t(end - data) : size) - pos;
        const size_t next = pos + len + 1;
        if (len > 0 && data[pos + len - 1] == '\r')
            --len;
        len = std::min(len, size_t(PARSER_LINE_SIZE - 1));
        std::memcpy(parser_lines[n], data + pos, len);
        parser_lines[n][len] = '\0';
        ++n;
        pos = next;
    }
    if (const char* message = parse_prot(&kTable, n))
        touch(message);
    return 0;
}
