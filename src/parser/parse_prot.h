#pragma once
// The protocol memory dump parser. Not reentrant: it works in the static line table below, a
// static 64 KiB memory image and the shared message buffer (see parser_callbacks.h).
#include "parser/parser_callbacks.h"

inline constexpr int PARSER_MAX_LINES = 2485;
inline constexpr int PARSER_LINE_SIZE = 123; // 122 characters and the terminator

// The caller fills lines 0..n-1 (cut at line ends, trimmed of spaces and tabs) before parse_prot.
extern char parser_lines[PARSER_MAX_LINES][PARSER_LINE_SIZE];

// Parses the dump held in the first `lineCount` lines of the table. Returns null on success or a
// message ("parse_prot: ...", "parse_v: ...", "parse_cd...: ..." or "end of dump reached").
const char* parse_prot(const parser_callbacks* cb, int lineCount);

// The parser's identification text, reported first through cb_sw_version.
const char* parser_sw_version();
