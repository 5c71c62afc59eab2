// libFuzzer target: a calibration section and dose rates. The first byte picks the firmware, the
// rest are the section's lines.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "parser/parse_cal.h"

using namespace parser_detail;

namespace {
const float kVersions[] = {5.12f, 6.00f, 6.02f, 6.04f, 6.07f, 6.50f, 6.95f, 7.05f, 7.09f, 6.90f, 7.00f, 7.14f};
std::vector<std::string> g_lines;
const char* lineAt(int i) { return i >= 0 && size_t(i) < g_lines.size() ? g_lines[size_t(i)].c_str() : nullptr; }
volatile float g_sink;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const float v = kVersions[data[0] % (sizeof kVersions / sizeof kVersions[0])];
    g_lines.clear();
    std::string current;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == '\n') {
            g_lines.push_back(current);
            current.clear();
        } else if (current.size() < 122) {
            current += char(data[i]);
        }
    }
    g_lines.push_back(current);

    Calibration cal;
    int pos = 0;
    if (double(v) <= 6.0115)
        selectBuiltin(nullptr, cal, v);
    else if (parseCalibration(nullptr, cal, v, lineAt, pos))
        return 0;
    const uint64_t pulses[] = {0, 1, 600, 65535, uint64_t(2047) << 29, (uint64_t(2047) << 29) + 0xFFFFFFFFu};
    const uint32_t seconds[] = {1, 10, 60, 604800, 0xFFFFFFFFu};
    for (uint64_t n : pulses) {
        for (uint32_t d : seconds) {
            g_sink = doseRate(cal, 0, n, d);
            g_sink = doseRate(cal, 1, n, d);
        }
    }
    return 0;
}
