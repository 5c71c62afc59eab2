#pragma once
// The record callback table through which the dump parsers report every field and event.
//
// The parsers (parse_v, parse_prot and the calibration reader) are plain functions over fixed
// static buffers: a line table, a 64 KiB memory image and one 256-byte message buffer. They are
// NOT reentrant. Run one parse at a time; the bridges in OQParser.h serialise their callers with a
// mutex, and anyone calling the raw functions directly must do the same.
//
// Texts handed to callbacks are terminated strings valid only during the call. A null slot is
// skipped.
#include <cstdint>

// Bad-data codes: the parse goes on with the value noted.
enum BD_E : int {
    BD_SERIAL_RANGE = 1,  // serial number outside 6240..150000; passed on unchanged
    BD_TIME_OF_DAY = 2,   // time record out of range; sanitised to 01:23:44
    BD_DATE = 3,          // date out of range; sanitised to 26 April 1986
    BD_TUBE = 4,          // unknown tube letter; "unknown"
    BD_POWER = 5,         // unknown power-supply letter; "unknown"
    BD_FEATURES = 6,      // one-character features text; "unknown"
    BD_CONFIG_A = 7,      // old dump, first configuration byte not 5A/A5/FF; ignored
    BD_CONFIG_B = 8,      // old dump, second configuration byte not 5A/A5/FF; ignored
};

struct parser_callbacks {
    void (*cb_sw_version)(const char* text);
    void (*cb_bad_data)(BD_E code, uint8_t sanitized);
    void (*cb_version_line)(const char* line);
    void (*cb_fw_version)(const char* text);
    void (*cb_fw_tube)(const char* text);
    void (*cb_type)(const char* text);
    void (*cb_features)(const char* text);
    void (*cb_serial_number)(const char* text);
    void (*cb_date)(const char* text);
    void (*cb_time)(const char* text);
    void (*cb_hw_info)(const char* text);
    void (*cb_statc)(const char* text);
    void (*cb_cal_tube)(const char* text);
    void (*cb_valid_bytes)(uint16_t bytes);
    void (*cb_overflow)();
    void (*cb_dose_alarm)();
    void (*cb_dose_rate_alarm)();
    void (*cb_truncated_interval)(int64_t now, uint32_t seconds);
    void (*cb_new_interval)(uint32_t seconds);
    void (*cb_new_time)(int64_t time); // device wall clock read as UTC
    void (*cb_new_cds)(uint8_t cds);
    void (*cb_pulses)(int64_t end, uint64_t pulses, uint32_t seconds);
    void (*cb_dose_rate)(float uSvPerHour); // negative: no rate
};

// Reads the counter's version record, one line without its line end, cutting it into tokens in
// place. Returns null on success or a message ("parse_v: ..."); a formatted message lives in the
// shared message buffer until the next parse. `version` is written once derived, even when a later
// check fails; `validBytes` only when the size field passes (callers preset 0).
const char* parse_v(const parser_callbacks* cb, char* line, float* version, uint16_t* validBytes);
