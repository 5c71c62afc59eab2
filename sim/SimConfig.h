#pragma once
// Settings of one simulated counter: firmware, speed, units, radiation profile and faults.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace oq::sim {

// What the counter is doing.
enum class Mode { Idle, PcMode, OnlineRate, OnlineDose };

// One side's serial settings. The counter always talks 7E1; the computer may be set otherwise,
// and then each side sees the other's bytes garbled.
struct LineSettings {
    int baud = 9600;
    int dataBits = 8;
    char parity = 'N'; // 'N', 'E' or 'O'
    int stopBits = 1;

    static LineSettings counter(int baud) { return {baud, 7, 'E', 1}; }
    // Start bit, data bits, parity bit, stop bits: 10 bits for 7E1.
    double charSeconds() const { return (1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits) / double(baud > 0 ? baud : 9600); }
    bool operator==(const LineSettings&) const = default;
};

// The most simulated counters one --simulate N plugs in, in the window and in oqtool alike.
constexpr int kMaxSimulatedCounters = 64;

enum class Unit { Sv, Rem };
enum class Prefix { Auto, None, Milli, Micro };

// How value lines are written: "0,123 uSv/h", "12,5 mrem", "0,000123 Sv/h".
struct ValueFormat {
    Unit unit = Unit::Sv;
    Prefix prefix = Prefix::Auto;
    int decimals = -1; // -1: 3 for sievert, 1 for rem, more when a fixed prefix needs them
};

// Where the dose rate comes from, in uSv/h, one sample per value line.
struct ProfileSpec {
    enum Kind { Constant, Walk, Script };
    Kind kind = Walk;
    double value = 0.12;  // Constant: the rate; Walk: the background level
    uint32_t seed = 1;    // Walk
    // Script: one entry per value line, repeated from the start at the end. A number (decimal point
    // or comma) is a rate; any other text is sent as the line itself. Empty lines and "#" lines
    // are skipped.
    QStringList script;
};

struct Faults {
    bool silent = false;          // receives commands, answers nothing, streams nothing
    int pcUnconfirmed = 0;        // the first N "P" answers lack "PC-Mode gestartet"; -1: all of them
    bool pcSilent = false;        // "P" is not answered at all (firmware without PC mode)
    double garbage = 0;           // chance per line of a burst of garbage bytes before it
    long cutLine = -1;            // the N-th line sent (from 0) stops in the middle ...
    bool resumeAfterCut = false;  // ... and the counter then falls silent, unless this is set
    bool noLineEnds = false;      // value lines without "\r\n"
    long unplugAfterLines = -1;   // pulled out after this many value lines
    double unplugAfter = -1;      // pulled out this many seconds after it was plugged in
    double stopDelay = 0;         // seconds a stream goes on after "X" or "P"
    int timeOtherLines = 0;       // lines sent after the time command before the confirmation
    bool timeConfirm = true;      // false: the clock command is never confirmed
};

struct CounterConfig {
    int baud = 460800;            // 460800, or 9600 for a counter that answers only at that speed
    // The version record's fields; empty ones come from the dump's "v" section.
    QString version;              // version token, e.g. "7.14Lb07"
    QString serial;
    int protocolLength = -1;      // valid protocol bytes; -1: from the dump
    QString versionRecord;        // the whole record, sent as it stands (overrides the fields)
    // The dump the counter holds: sections "v", "h", "s", "c", "b" as a stored dump text has them.
    // Empty: a small built-in dump.
    QString deviceDump;
    ProfileSpec profile;
    ValueFormat format;
    double valueInterval = 1.0;   // seconds between value lines
    double responseDelay = 0.002; // seconds from a command to the start of its answer
    // Characters take this many times their time on the wire, both ways: for a computer that cannot
    // fetch at line rate (a virtual machine without acceleration). Every report names it.
    double lineSlowdown = 1.0;
    double startDose = 0;         // uSv accumulated before the dose stream starts
    Mode startMode = Mode::Idle;  // Mode::OnlineRate: streams before anyone talks to it
    bool strictPcMode = true;     // "v", "c", "h", "s", "b" and "t" only in PC mode
    uint32_t seed = 1;            // garbage bytes
    Faults faults;
};

} // namespace oq::sim
