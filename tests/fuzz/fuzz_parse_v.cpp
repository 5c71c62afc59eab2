// libFuzzer target: one version line through parse_v.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "parser/parser_callbacks.h"

namespace {
volatile size_t g_sink;
void touch(const char* t) { g_sink = g_sink + std::strlen(t); }

const parser_callbacks kTable = {
    touch, [](BD_E c, uint8_t s) { g_sink = g_sink + size_t(c) + s; }, touch, touch, touch, touch, touch, touch,
    touch, touch, touch, touch, touch,
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> line(data, data + size);
    line.push_back('\0');
    float version = 0;
    uint16_t validBytes = 0;
    if (const char* message = parse_v(&kTable, line.data(), &version, &validBytes))
        touch(message);
    return 0;
}
