#pragma once
// Calibration data: the "c" section of a dump and the dose-rate computation. Internal to the dump
// parser; the state lives in the parse, not in static storage.
#include <cstdint>

#include "parser/parser_callbacks.h"

namespace parser_detail {

struct Cdi {
    uint32_t limit = 0; // applies to rate values up to and including this
    uint16_t numerator = 0;
    uint16_t denominator = 0;
    uint16_t correction = 0;
    bool wide = false; // correction product shifted by 16 instead of 8
};

struct Cds {
    Cdi entries[8];
    int count = 0;
};

struct BuiltinSegment {
    uint32_t limit; // 0: the last segment, without upper limit
    float slope;
    uint32_t base;
};

struct BuiltinTable {
    float bound;
    const char* tube;
    const BuiltinSegment* segments;
    int count;
};

struct Calibration {
    uint32_t multiplier = 64;
    int adjust = 0; // J: factor 1 + J/64
    uint32_t defaultLimit = 0;
    Cds sets[2];
    const BuiltinTable* builtin = nullptr; // set for old firmware instead of the sets
};

// Access to the lines of the dump being parsed; null beyond the last.
using LineAt = const char* (*)(int index);

// Old firmware: picks the built-in table for `version` and reports its tube.
void selectBuiltin(const parser_callbacks* cb, Calibration& cal, float version);

// Reads the section that starts at line `pos` (the line after the "c" marker); on success `pos`
// is past the last calibration line. Returns null or a message.
const char* parseCalibration(const parser_callbacks* cb, Calibration& cal, float version, LineAt lineAt, int& pos);

// uSv/h for `pulses` in `seconds`, through the built-in table or set `activeSet`; -1 when no
// entry applies or the divisor is 0.
float doseRate(const Calibration& cal, int activeSet, uint64_t pulses, uint32_t seconds);

} // namespace parser_detail
