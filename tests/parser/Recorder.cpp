#include "Recorder.h"

#include <cinttypes>

#include "platform/CLocale.h"

namespace parser_test {

std::vector<std::string>& calls()
{
    static std::vector<std::string> c;
    return c;
}

namespace {
void add(const char* slot, const std::string& value) { calls().push_back(std::string(slot) + " " + value); }
std::string fmt(const char* f, auto... args)
{
    char buf[128];
    oq::cSnprintf(buf, sizeof buf, f, args...);
    return buf;
}

const parser_callbacks kTable = {
    [](const char* t) { add("sw_version", t); },
    [](BD_E code, uint8_t s) { add("bad_data", fmt("%d %u", int(code), unsigned(s))); },
    [](const char* t) { add("version_line", t); },
    [](const char* t) { add("fw_version", t); },
    [](const char* t) { add("fw_tube", t); },
    [](const char* t) { add("type", t); },
    [](const char* t) { add("features", t); },
    [](const char* t) { add("serial_number", t); },
    [](const char* t) { add("date", t); },
    [](const char* t) { add("time", t); },
    [](const char* t) { add("hw_info", t); },
    [](const char* t) { add("statc", t); },
    [](const char* t) { add("cal_tube", t); },
    [](uint16_t n) { add("valid_bytes", std::to_string(n)); },
    [] { add("overflow", ""); },
    [] { add("dose_alarm", ""); },
    [] { add("dose_rate_alarm", ""); },
    [](int64_t now, uint32_t s) { add("truncated_interval", fmt("%" PRId64 " %u", now, s)); },
    [](uint32_t s) { add("new_interval", std::to_string(s)); },
    [](int64_t t) { add("new_time", std::to_string(t)); },
    [](uint8_t c) { add("new_cds", std::to_string(c)); },
    [](int64_t end, uint64_t n, uint32_t s) { add("pulses", fmt("%" PRId64 " %" PRIu64 " %u", end, n, s)); },
    [](float r) { add("dose_rate", fmt("%.6g", double(r))); },
};
} // namespace

const parser_callbacks* recorder()
{
    calls().clear();
    return &kTable;
}

std::vector<std::string> callsOf(const std::string& slot)
{
    std::vector<std::string> out;
    const std::string prefix = slot + " ";
    for (const auto& c : calls()) {
        if (c.compare(0, prefix.size(), prefix) == 0)
            out.push_back(c.substr(prefix.size()));
    }
    return out;
}

} // namespace parser_test
