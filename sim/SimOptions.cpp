#include "SimOptions.h"

#include <QCommandLineParser>
#include <QFile>

#include <functional>
#include <vector>

#ifdef OQ_HAVE_SIM_DUMP
#include "sim/dump/DumpWriter.h"
#endif

namespace oq::sim {
namespace {

struct Option {
    const char* name;
    const char* value; // nullptr: a switch
    const char* help;
};

const std::vector<Option>& options()
{
    static const std::vector<Option> list = {
        {"baud", "N", "speed the counter talks at: 460800 (default) or 9600"},
        {"version", "TOKEN", "firmware version token, e.g. 7.14Lb07"},
        {"serial", "N", "serial number (of the first counter; the others count up from it)"},
        {"counters", "N", "N counters, each on a pseudo-terminal of its own (paths printed one a line)"},
        {"size", "HEX", "valid protocol bytes in the version record"},
        {"version-record", "TEXT", "answer to \"v\" as it stands"},
        {"dump", "FILE", "dump text the counter holds (sections v h s c b)"},
        {"full-memory", nullptr, "hold a full memory: FFFF bytes of one-minute counts"},
        {"unit", "sv|rem", "unit of the value lines"},
        {"prefix", "auto|none|m|u", "unit prefix of the value lines"},
        {"decimals", "N", "decimals of the value lines"},
        {"profile", "SPEC", "constant:RATE, walk[:SEED] or script:FILE (rates in uSv/h)"},
        {"interval", "S", "seconds between value lines (1)"},
        {"start", "MODE", "idle, pc, rate or dose: what it does before it is spoken to"},
        {"start-dose", "USV", "dose accumulated before the start"},
        {"response-delay", "S", "seconds before an answer starts"},
        {"relaxed", nullptr, "answer v c h s b t also outside PC mode"},
        {"seed", "N", "seed of the garbage bytes"},
        {"silent", nullptr, "answer nothing"},
        {"pc-unconfirmed", "N", "first N \"P\" answers lack the confirmation (-1: all)"},
        {"pc-silent", nullptr, "do not answer \"P\""},
        {"garbage", "P", "chance per line of garbage bytes before it"},
        {"cut-line", "N", "line N (from 0) stops in the middle, then silence"},
        {"resume-after-cut", nullptr, "go on talking after the cut line"},
        {"no-line-ends", nullptr, "value lines without line ends"},
        {"unplug-after-lines", "N", "pulled out after N value lines"},
        {"unplug-after", "S", "pulled out S seconds after the start"},
        {"stop-delay", "S", "a stream goes on S seconds after \"X\" or \"P\""},
        {"time-lines", "N", "lines before the clock confirmation"},
        {"time-never-confirms", nullptr, "never confirm the clock"},
        {"time-scale", "F", "modelled time runs F times real time (0.01: 100x faster)"},
        {"usbip-attach", "[PORT]", "behind an emulated USB bridge at vhci-hcd PORT (default: first free); needs root"},
        {"usb-serial", "TEXT", "USB serial number of the bridge (default: the counter's)"},
        {"parity-error", "N,...", "bridge: character N of a value stream (from R or D) arrives with a parity error"},
        {"unplug-after-dump-bytes", "N", "bridge: pulled out after N characters of a dump"},
        {"line-slowdown", "F", "characters take F times their time on the wire (reported with every result)"},
    };
    return list;
}

} // namespace

QString simOptionsHelp()
{
    QString text = QStringLiteral("Usage: oq-counter-sim [options]\n"
                                  "Serves a simulated Orbel-Quist counter on a pseudo-terminal and prints its path.\n"
                                  "With --usbip-attach it is plugged in behind an emulated FT232R bridge through the\n"
                                  "kernel's USB/IP host controller (modprobe vhci-hcd) and becomes /dev/ttyUSB*; then\n"
                                  "SIGUSR1 pulls it out and SIGUSR2 plugs it in again, and every unplug and the exit\n"
                                  "report the characters the bridge delivered and lost.\n\n");
    for (const Option& o : options()) {
        QString head = QStringLiteral("  --%1").arg(QLatin1String(o.name));
        if (o.value)
            head += QLatin1Char(' ') + QLatin1String(o.value);
        text += head.leftJustified(27) + QLatin1Char(' ') + QLatin1String(o.help) + QLatin1Char('\n');
    }
    text += QStringLiteral("  --help                    this text\n");
    return text;
}

QString parseSimOptions(const QStringList& arguments, SimProgramOptions& out)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const Option& o : options()) {
        if (o.value)
            parser.addOption(QCommandLineOption(QLatin1String(o.name), QString(), QLatin1String(o.value)));
        else
            parser.addOption(QCommandLineOption(QLatin1String(o.name)));
    }
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("help"), QStringLiteral("h")}));
    // The port of --usbip-attach may be left out.
    QStringList args = arguments;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--usbip-attach") && (i + 1 == args.size() || args[i + 1].startsWith(QLatin1Char('-'))))
            args.insert(i + 1, QStringLiteral("auto"));
    }
    if (!parser.parse(args))
        return parser.errorText();
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first());
    out.help = parser.isSet(QStringLiteral("help"));

    QString error;
    const auto value = [&parser](const char* name) { return parser.value(QLatin1String(name)); };
    const auto set = [&parser](const char* name) { return parser.isSet(QLatin1String(name)); };
    const auto number = [&](const char* name, auto& target, double min, double max) {
        if (!set(name) || !error.isEmpty())
            return;
        bool ok = false;
        const double v = value(name).toDouble(&ok);
        if (!ok || v < min || v > max)
            error = QStringLiteral("--%1: not a number from %2 to %3: %4").arg(QLatin1String(name)).arg(min).arg(max).arg(value(name));
        else
            target = static_cast<std::remove_reference_t<decltype(target)>>(v);
    };
    const auto readFile = [&error](const QString& path) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
            return QString();
        }
        return QString::fromLatin1(f.readAll());
    };

    CounterConfig& c = out.counter;
    Faults& f = c.faults;
    number("baud", c.baud, 300, 4000000);
    if (set("version"))
        c.version = value("version");
    if (set("serial"))
        c.serial = value("serial");
    if (set("size")) {
        bool ok = false;
        c.protocolLength = int(value("size").toUInt(&ok, 16) & 0xFFFF);
        if (!ok)
            error = QStringLiteral("--size: not a hexadecimal number: %1").arg(value("size"));
    }
    if (set("version-record"))
        c.versionRecord = value("version-record");
    if (set("dump"))
        c.deviceDump = readFile(value("dump"));
    if (set("full-memory")) {
#ifdef OQ_HAVE_SIM_DUMP
        QString why;
        if (const auto dump = writeDump(fullMemorySpec(), &why))
            c.deviceDump = QString::fromLatin1(dump->deviceDump);
        else
            error = QStringLiteral("--full-memory: %1").arg(why);
#else
        error = QStringLiteral("--full-memory: built without the dump writer");
#endif
    }
    if (set("unit")) {
        const QString u = value("unit").toLower();
        if (u == QLatin1String("sv"))
            c.format.unit = Unit::Sv;
        else if (u == QLatin1String("rem"))
            c.format.unit = Unit::Rem;
        else
            error = QStringLiteral("--unit: sv or rem");
    }
    if (set("prefix")) {
        const QString p = value("prefix");
        if (p == QLatin1String("auto"))
            c.format.prefix = Prefix::Auto;
        else if (p == QLatin1String("none"))
            c.format.prefix = Prefix::None;
        else if (p == QLatin1String("m"))
            c.format.prefix = Prefix::Milli;
        else if (p == QLatin1String("u"))
            c.format.prefix = Prefix::Micro;
        else
            error = QStringLiteral("--prefix: auto, none, m or u");
    }
    number("decimals", c.format.decimals, 0, 12);
    if (set("profile")) {
        const QString spec = value("profile");
        const QString kind = spec.section(QLatin1Char(':'), 0, 0);
        const QString arg = spec.section(QLatin1Char(':'), 1);
        bool ok = true;
        if (kind == QLatin1String("constant")) {
            c.profile.kind = ProfileSpec::Constant;
            c.profile.value = arg.toDouble(&ok);
        } else if (kind == QLatin1String("walk")) {
            c.profile.kind = ProfileSpec::Walk;
            if (!arg.isEmpty())
                c.profile.seed = arg.toUInt(&ok);
        } else if (kind == QLatin1String("script")) {
            c.profile.kind = ProfileSpec::Script;
            c.profile.script = readFile(arg).split(QLatin1Char('\n'));
        } else {
            ok = false;
        }
        if (!ok && error.isEmpty())
            error = QStringLiteral("--profile: constant:RATE, walk[:SEED] or script:FILE");
    }
    number("interval", c.valueInterval, 0.001, 86400);
    if (set("start")) {
        const QString m = value("start");
        if (m == QLatin1String("idle"))
            c.startMode = Mode::Idle;
        else if (m == QLatin1String("pc"))
            c.startMode = Mode::PcMode;
        else if (m == QLatin1String("rate"))
            c.startMode = Mode::OnlineRate;
        else if (m == QLatin1String("dose"))
            c.startMode = Mode::OnlineDose;
        else
            error = QStringLiteral("--start: idle, pc, rate or dose");
    }
    number("start-dose", c.startDose, 0, 1e12);
    number("response-delay", c.responseDelay, 0, 60);
    c.strictPcMode = !set("relaxed");
    number("seed", c.seed, 0, 4294967295.0);
    f.silent = set("silent");
    number("pc-unconfirmed", f.pcUnconfirmed, -1, 1e9);
    f.pcSilent = set("pc-silent");
    number("garbage", f.garbage, 0, 1);
    number("cut-line", f.cutLine, -1, 1e12);
    f.resumeAfterCut = set("resume-after-cut");
    f.noLineEnds = set("no-line-ends");
    number("unplug-after-lines", f.unplugAfterLines, -1, 1e12);
    number("unplug-after", f.unplugAfter, -1, 1e9);
    number("stop-delay", f.stopDelay, 0, 3600);
    number("time-lines", f.timeOtherLines, 0, 1000);
    f.timeConfirm = !set("time-never-confirms");
    number("time-scale", out.timeScale, 1e-6, 1e6);
    if (set("usbip-attach")) {
        bool ok = true;
        const QString port = value("usbip-attach");
        out.usbipPort = port == QLatin1String("auto") ? -1 : port.toInt(&ok);
        if (!ok || *out.usbipPort < -1)
            error = QStringLiteral("--usbip-attach: a port number or auto");
    }
    if (set("usb-serial"))
        out.bridge.serial = value("usb-serial");
    if (set("parity-error")) {
        for (const QString& n : value("parity-error").split(QLatin1Char(','))) {
            bool ok = false;
            const qint64 index = n.toLongLong(&ok);
            if (!ok || index < 0)
                error = QStringLiteral("--parity-error: character numbers from 0, separated by commas");
            out.bridge.parityErrors.insert(index);
        }
    }
    number("unplug-after-dump-bytes", out.bridge.unplugAfterDumpBytes, 0, 1e12);
    number("line-slowdown", c.lineSlowdown, 1, 1000);
    number("counters", out.counters, 1, 64);
    if (out.counters > 1 && out.usbipPort && error.isEmpty())
        error = QStringLiteral("--counters: only on pseudo-terminals");
    return error;
}

} // namespace oq::sim
