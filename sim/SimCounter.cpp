#include "SimCounter.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

#include "platform/Clock.h"

namespace oq::sim {
namespace {

constexpr unsigned char kEsc = 0x1B;
// A multi-byte command whose next byte is this late is abandoned.
constexpr double kCollectGap = 5.0;
// A stream that nobody looked at for long produces no more than this many lines at once.
constexpr int kMaxCatchUpLines = 64;
constexpr qsizetype kCommandLogLimit = 4096;

// Noise is never a line end, also not once a terminal strips it to seven bits.
unsigned char noLineEnd(unsigned char c)
{
    const unsigned char low = c & 0x7F;
    return low == '\r' || low == '\n' ? static_cast<unsigned char>(c | 0x40) : c;
}

// A byte sent at one speed and sampled at another: outside ASCII.
unsigned char garbled(unsigned char c) { return noLineEnd(static_cast<unsigned char>(0x80 | ((c * 37 + 11) & 0x7F))); }

QString commandName(unsigned char c)
{
    if (c == kEsc)
        return QStringLiteral("ESC");
    if (c >= 0x20 && c < 0x7F)
        return QString(QLatin1Char(char(c)));
    return QStringLiteral("0x%1").arg(c, 2, 16, QLatin1Char('0'));
}

double versionNumber(const QString& token)
{
    static const QRegularExpression number(QStringLiteral("^\\d*\\.?\\d*"));
    return number.match(token).captured(0).toDouble();
}

// "ddMMyyHHmmss" with the year in this century.
std::optional<QDateTime> parseClock(const QByteArray& digits)
{
    if (digits.size() != 12)
        return std::nullopt;
    int v[6];
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        v[i] = digits.mid(2 * i, 2).toInt(&ok);
        if (!ok || !std::isdigit(static_cast<unsigned char>(digits[2 * i])))
            return std::nullopt;
    }
    const QDate date(2000 + v[2], v[1], v[0]);
    const QTime time(v[3], v[4], v[5]);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time);
}

} // namespace

SimCounter::SimCounter(CounterConfig config)
    : m_config(std::move(config))
{
    installCommands();
    std::lock_guard lock(m_mutex);
    resetLocked(oq::clock::now());
}

SimCounter::~SimCounter() = default;

void SimCounter::resetLocked(double now)
{
    loadDumpLocked();
    m_wire.clear();
    m_received.clear();
    m_unreadAnswer = 0;
    m_lineFree = now;
    m_pluggedAt = now;
    m_mode = Mode::Idle;
    m_stream = Mode::Idle;
    m_muted = m_config.faults.silent;
    m_nextValue = now + m_config.valueInterval;
    m_stopAt = -1;
    m_unplugAt = -1;
    m_dumpUntil = -1;
    m_dose = m_config.startDose;
    m_valueLines = 0;
    m_linesSent = 0;
    m_pcRequests = 0;
    m_collector.reset();
    m_clockBase = QDateTime::currentDateTime();
    m_clockRef = now;
    m_profile = RadiationProfile(m_config.profile);
    m_rng.seed(m_config.seed);
    if (m_config.startMode == Mode::OnlineRate || m_config.startMode == Mode::OnlineDose)
        m_stream = m_config.startMode;
    else
        m_mode = m_config.startMode;
}

void SimCounter::loadDumpLocked()
{
    m_dump = splitDeviceDump(m_config.deviceDump.isEmpty() ? builtinDeviceDump() : m_config.deviceDump);
}

// --- Commands ---

void SimCounter::installCommands()
{
    const auto inPcMode = [](Context& c) { return !c.config().strictPcMode || c.mode() == Mode::PcMode; };

    m_commands['X'] = [](Context& c) {
        const bool wasPc = c.mode() == Mode::PcMode;
        c.stopStream();
        c.setMode(Mode::Idle);
        if (wasPc)
            c.send("\r\nPC-Mode beendet\r\n");
    };
    m_commands['P'] = [](Context& c) {
        c.stopStream();
        c.setMode(Mode::PcMode);
        const Faults& f = c.config().faults;
        if (f.pcSilent)
            return;
        if (f.pcUnconfirmed < 0 || c.pcRequests() <= f.pcUnconfirmed)
            c.send("\r\nUnbekannter Befehl\r\n");
        else
            c.send("\r\nPC-Mode gestartet\r\n");
    };
    m_commands['v'] = [inPcMode](Context& c) {
        if (inPcMode(c))
            c.send("\r\n" + c.versionRecord().toLatin1() + "\r\n");
    };
    m_commands['R'] = [](Context& c) { c.startStream(Mode::OnlineRate); };
    m_commands['D'] = [](Context& c) { c.startStream(Mode::OnlineDose); };
    const auto section = [inPcMode](QByteArray DumpSections::*part) {
        return [inPcMode, part](Context& c) {
            if (inPcMode(c) && !(c.dump().*part).isEmpty())
                c.send(c.dump().*part);
        };
    };
    m_commands['c'] = section(&DumpSections::calibration);
    m_commands['h'] = section(&DumpSections::hwInfo);
    m_commands['s'] = section(&DumpSections::statc);
    m_commands['b'] = [inPcMode](Context& c) {
        if (!inPcMode(c) || !c.dump().hasProtocol)
            return;
        c.send("\r\n" + c.dump().header + "\r\n" + c.dump().protocol);
        c.markDump();
    };
    m_commands[kEsc] = [](Context& c) {
        if (c.dumpRunning())
            c.cancelOutput();
    };
    // "t" and 14 more characters: ddMMyyHHmmss and "\r\n".
    m_commands['t'] = [inPcMode](Context& c) {
        if (!inPcMode(c))
            return;
        c.collect(14, [](Context& c, const QByteArray& rest) {
            const Faults& f = c.config().faults;
            for (int i = 0; i < f.timeOtherLines; ++i)
                c.send("?\r\n");
            const auto when = rest.endsWith("\r\n") ? parseClock(rest.left(12)) : std::nullopt;
            if (!when) {
                c.send("Eingabefehler\r\n");
                return;
            }
            c.setClock(*when);
            if (f.timeConfirm)
                c.send("Datum und Zeit gestellt\r\n");
        });
    };
}

void SimCounter::setCommand(unsigned char command, Handler handler)
{
    std::lock_guard lock(m_mutex);
    if (handler)
        m_commands[command] = std::move(handler);
    else
        m_commands.erase(command);
}

Mode SimCounter::Context::mode() const { return m_counter.m_stream != Mode::Idle ? m_counter.m_stream : m_counter.m_mode; }

void SimCounter::Context::setMode(Mode mode)
{
    if (mode == Mode::OnlineRate || mode == Mode::OnlineDose)
        startStream(mode);
    else
        m_counter.m_mode = mode;
}

const CounterConfig& SimCounter::Context::config() const { return m_counter.m_config; }
const DumpSections& SimCounter::Context::dump() const { return m_counter.m_dump; }

void SimCounter::Context::send(const QByteArray& text) { m_counter.queueLocked(text, m_time + m_counter.m_config.responseDelay); }

void SimCounter::Context::startStream(Mode mode)
{
    m_counter.m_stream = mode;
    m_counter.m_stopAt = -1;
    m_counter.m_nextValue = m_time + m_counter.m_config.valueInterval;
}

void SimCounter::Context::stopStream()
{
    if (m_counter.m_stream == Mode::Idle)
        return;
    if (m_counter.m_config.faults.stopDelay > 0) {
        if (m_counter.m_stopAt < 0)
            m_counter.m_stopAt = m_time + m_counter.m_config.faults.stopDelay;
    } else {
        m_counter.m_stream = Mode::Idle;
    }
}

void SimCounter::Context::cancelOutput()
{
    auto& wire = m_counter.m_wire;
    // What is on the wire by now still arrives; the rest is dropped.
    for (Segment& seg : wire) {
        const qsizetype sent = std::clamp<qsizetype>(qsizetype(std::floor((m_time - seg.start) / seg.charTime)), 0, seg.bytes.size());
        seg.bytes.truncate(std::max(sent, seg.pos));
    }
    std::erase_if(wire, [](const Segment& seg) { return seg.pos >= seg.bytes.size(); });
    m_counter.m_lineFree = wire.empty() ? m_time : wire.back().start + double(wire.back().bytes.size()) * wire.back().charTime;
    m_counter.m_dumpUntil = -1;
}

void SimCounter::Context::collect(int count, std::function<void(Context&, const QByteArray&)> done)
{
    m_counter.m_collector = Collector{count, {}, m_time, std::move(done), m_counter.m_log.size() - 1};
}

QString SimCounter::Context::versionRecord() const { return m_counter.versionRecordLocked(m_time); }
QDateTime SimCounter::Context::clock() const { return m_counter.clockLocked(m_time); }

void SimCounter::Context::setClock(const QDateTime& value)
{
    m_counter.m_clockBase = value;
    m_counter.m_clockRef = m_time;
}

int SimCounter::Context::pcRequests() const { return m_counter.m_pcRequests; }
void SimCounter::Context::markDump() { m_counter.m_dumpUntil = m_counter.m_lineFree; }
bool SimCounter::Context::dumpRunning() const { return m_time < m_counter.m_dumpUntil; }

// --- Line ---

void SimCounter::receiveLocked(unsigned char byte, bool garbledByte, double at)
{
    if (m_collector) {
        if (at - m_collector->lastByte > kCollectGap) {
            m_collector.reset();
        } else {
            m_collector->bytes += char(garbledByte ? garbled(byte) : byte);
            m_collector->lastByte = at;
            if (--m_collector->remaining > 0)
                return;
            Collector done = std::move(*m_collector);
            m_collector.reset();
            if (done.logIndex >= 0 && done.logIndex < m_log.size())
                m_log[done.logIndex] += QString::fromLatin1(done.bytes);
            if (!m_muted) {
                Context context(*this, at);
                done.done(context, done.bytes);
            }
            return;
        }
    }
    // A counter left running for days keeps only its recent commands.
    if (m_log.size() >= kCommandLogLimit) {
        m_log.remove(0, kCommandLogLimit / 4);
        if (m_collector)
            m_collector->logIndex -= kCommandLogLimit / 4;
    }
    if (garbledByte) {
        m_log << QStringLiteral("~");
        return;
    }
    m_log << commandName(byte);
    checkProtocolLocked(byte);
    if (byte == 'P')
        ++m_pcRequests;
    if (m_muted)
        return;
    const auto it = m_commands.find(byte);
    if (it == m_commands.end())
        return;
    Context context(*this, at);
    const Handler handler = it->second; // a handler may replace itself
    handler(context);
}

void SimCounter::checkProtocolLocked(unsigned char command)
{
    const QString name = commandName(command);
    const bool answerOnLine = std::any_of(m_wire.begin(), m_wire.end(), [](const Segment& s) { return s.answer && s.pos < s.bytes.size(); });
    // ESC is how a host stops an answer that is still coming.
    if (command != kEsc && (answerOnLine || m_unreadAnswer > 0))
        m_violations << QStringLiteral("%1 while the answer to %2 is outstanding").arg(name, m_lastAnswered);
    if (m_stream != Mode::Idle && m_stopAt < 0 && command != 'X') {
        m_violations << (command == 'R' || command == 'D' ? QStringLiteral("%1 starts a second stream").arg(name)
                                                          : QStringLiteral("%1 while a stream runs, not ended by X").arg(name));
    }
    m_lastAnswered = name;
}

QStringList SimCounter::protocolViolations() const
{
    std::lock_guard lock(m_mutex);
    return m_violations;
}

void SimCounter::queueRawLocked(const QByteArray& bytes, double at, bool answer)
{
    if (bytes.isEmpty())
        return;
    const double charTime = lineLocked().charSeconds() * m_config.lineSlowdown;
    const double start = std::max(at, m_lineFree);
    m_bytesSent += bytes.size();
    m_lineFree = start + bytes.size() * charTime;
    if (!m_wire.empty()) {
        Segment& last = m_wire.back();
        if (last.answer == answer && last.charTime == charTime
            && std::fabs(last.start + last.bytes.size() * charTime - start) < charTime * 1e-3) {
            last.bytes += bytes;
            return;
        }
    }
    m_wire.push_back({bytes, 0, start, charTime, answer});
}

QByteArray SimCounter::garbageLocked()
{
    std::uniform_int_distribution<int> count(1, 8), byte(0, 255);
    QByteArray junk;
    for (int n = count(m_rng); n > 0; --n) {
        junk += char(noLineEnd(static_cast<unsigned char>(byte(m_rng))));
    }
    return junk;
}

void SimCounter::queueLocked(const QByteArray& text, double at, bool answer)
{
    qsizetype from = 0;
    while (from < text.size() && !m_muted) {
        const qsizetype end = text.indexOf("\r\n", from);
        const qsizetype next = end < 0 ? text.size() : end + 2;
        const QByteArray line = text.mid(from, next - from);
        from = next;
        const Faults& f = m_config.faults;
        if (f.garbage > 0 && std::uniform_real_distribution<double>(0, 1)(m_rng) < f.garbage)
            queueRawLocked(garbageLocked(), at, answer);
        if (m_linesSent++ == f.cutLine) {
            const QByteArray body = line.endsWith("\r\n") ? line.chopped(2) : line;
            queueRawLocked(body.left(std::max<qsizetype>(1, body.size() / 2)), at, answer);
            if (!f.resumeAfterCut) {
                m_muted = true;
                m_stream = Mode::Idle;
            }
            continue;
        }
        queueRawLocked(line, at, answer);
    }
}

void SimCounter::emitValueLineLocked(double at)
{
    const RadiationProfile::Sample sample = m_profile.next();
    m_dose += sample.rate * m_config.valueInterval / 3600.0;
    QByteArray line = !sample.raw.isEmpty() ? sample.raw
        : m_stream == Mode::OnlineDose     ? formatValue(m_dose, false, m_config.format)
                                           : formatValue(sample.rate, true, m_config.format);
    if (!m_config.faults.noLineEnds)
        line += "\r\n";
    queueLocked(line, at, false);
    ++m_valueLines;
    if (m_config.faults.unplugAfterLines >= 0 && m_valueLines >= m_config.faults.unplugAfterLines && m_unplugAt < 0)
        m_unplugAt = m_lineFree;
}

void SimCounter::advanceLocked(double now)
{
    if (!m_plugged)
        return;
    const Faults& f = m_config.faults;
    if (f.unplugAfter >= 0 && now >= m_pluggedAt + f.unplugAfter) {
        unplugLocked();
        return;
    }
    const double interval = std::max(m_config.valueInterval, 1e-3);
    while (m_stream != Mode::Idle) {
        if (m_stopAt >= 0 && m_nextValue >= m_stopAt) {
            m_stream = Mode::Idle;
            m_stopAt = -1;
            break;
        }
        if (m_nextValue > now)
            break;
        m_nextValue = std::max(m_nextValue, now - kMaxCatchUpLines * interval);
        emitValueLineLocked(m_nextValue);
        m_nextValue += interval;
    }
    if (m_stopAt >= 0 && now >= m_stopAt) {
        m_stream = Mode::Idle;
        m_stopAt = -1;
    }
    const bool mismatch = !(m_host == lineLocked());
    while (!m_wire.empty()) {
        Segment& seg = m_wire.front();
        const qsizetype arrived = std::clamp<qsizetype>(qsizetype(std::floor((now - seg.start) / seg.charTime + 1e-9)), 0, seg.bytes.size());
        for (; seg.pos < arrived; ++seg.pos) {
            if (m_received.size() >= kReceiveCapacity)
                continue;
            const unsigned char c = static_cast<unsigned char>(seg.bytes[seg.pos]);
            m_received += char(mismatch ? garbled(c) : c);
            if (seg.answer)
                m_unreadAnswer = m_received.size();
        }
        if (seg.pos < seg.bytes.size())
            break;
        m_wire.pop_front();
    }
    if (m_unplugAt >= 0 && now >= m_unplugAt)
        unplugLocked();
}

void SimCounter::hostWrite(const QByteArray& bytes)
{
    {
        std::lock_guard lock(m_mutex);
        const double now = oq::clock::now();
        advanceLocked(now);
        if (m_plugged) {
            const bool mismatch = !(m_host == lineLocked());
            const double charTime = m_host.charSeconds() * m_config.lineSlowdown;
            double at = now;
            for (const char c : bytes) {
                at += charTime;
                receiveLocked(static_cast<unsigned char>(c), mismatch, at);
            }
        }
    }
    notifyUnplug();
}

void SimCounter::hostConfigure(const LineSettings& settings)
{
    {
        std::lock_guard lock(m_mutex);
        advanceLocked(oq::clock::now());
        m_host = settings;
    }
    notifyUnplug();
}

LineSettings SimCounter::hostSettings() const
{
    std::lock_guard lock(m_mutex);
    return m_host;
}

qsizetype SimCounter::hostAvailable()
{
    qsizetype n = 0;
    {
        std::lock_guard lock(m_mutex);
        advanceLocked(oq::clock::now());
        n = m_received.size();
    }
    notifyUnplug();
    return n;
}

QByteArray SimCounter::hostRead(qsizetype max)
{
    QByteArray out;
    {
        std::lock_guard lock(m_mutex);
        advanceLocked(oq::clock::now());
        out = m_received.left(std::max<qsizetype>(0, max));
        m_received.remove(0, out.size());
        m_unreadAnswer = std::max<qsizetype>(0, m_unreadAnswer - out.size());
    }
    notifyUnplug();
    return out;
}

void SimCounter::hostPurge()
{
    {
        std::lock_guard lock(m_mutex);
        advanceLocked(oq::clock::now());
        m_received.clear();
        m_unreadAnswer = 0;
    }
    notifyUnplug();
}

std::optional<double> SimCounter::nextEvent()
{
    std::lock_guard lock(m_mutex);
    if (!m_plugged)
        return std::nullopt;
    std::optional<double> next;
    const auto consider = [&next](double t) {
        if (t >= 0 && (!next || t < *next))
            next = t;
    };
    if (!m_wire.empty())
        consider(m_wire.front().start + double(m_wire.front().pos + 1) * m_wire.front().charTime);
    if (m_stream != Mode::Idle)
        consider(m_nextValue);
    consider(m_stopAt);
    consider(m_unplugAt);
    if (m_config.faults.unplugAfter >= 0)
        consider(m_pluggedAt + m_config.faults.unplugAfter);
    return next;
}

// --- Plugging ---

void SimCounter::unplugLocked()
{
    if (!m_plugged)
        return;
    m_plugged = false;
    m_wire.clear();
    m_received.clear();
    m_unreadAnswer = 0;
    m_stream = Mode::Idle;
    m_collector.reset();
    m_unplugPending = true;
}

void SimCounter::notifyUnplug()
{
    std::function<void()> handler;
    {
        std::lock_guard lock(m_mutex);
        if (!m_unplugPending)
            return;
        m_unplugPending = false;
        handler = m_unplugHandler;
    }
    if (handler)
        handler();
}

bool SimCounter::plugged() const
{
    std::lock_guard lock(m_mutex);
    return m_plugged;
}

void SimCounter::unplug()
{
    {
        std::lock_guard lock(m_mutex);
        unplugLocked();
    }
    notifyUnplug();
}

void SimCounter::replug()
{
    std::lock_guard lock(m_mutex);
    m_plugged = true;
    m_unplugPending = false;
    resetLocked(oq::clock::now());
}

void SimCounter::setUnplugHandler(std::function<void()> handler)
{
    std::lock_guard lock(m_mutex);
    m_unplugHandler = std::move(handler);
}

// --- Settings and inspection ---

CounterConfig SimCounter::config() const
{
    std::lock_guard lock(m_mutex);
    return m_config;
}

void SimCounter::updateConfig(const std::function<void(CounterConfig&)>& change)
{
    {
        std::lock_guard lock(m_mutex);
        advanceLocked(oq::clock::now());
        const QString dump = m_config.deviceDump;
        const ProfileSpec profile = m_config.profile;
        change(m_config);
        if (m_config.deviceDump != dump)
            loadDumpLocked();
        if (m_config.profile.kind != profile.kind || m_config.profile.value != profile.value
            || m_config.profile.seed != profile.seed || m_config.profile.script != profile.script)
            m_profile = RadiationProfile(m_config.profile);
        m_muted = m_config.faults.silent;
    }
    notifyUnplug();
}

void SimCounter::setDeviceDump(const QString& text)
{
    updateConfig([&text](CounterConfig& c) { c.deviceDump = text; });
}

Mode SimCounter::mode() const
{
    std::lock_guard lock(m_mutex);
    return m_stream != Mode::Idle ? m_stream : m_mode;
}

QDateTime SimCounter::clockLocked(double now) const { return m_clockBase.addMSecs(qint64(std::llround((now - m_clockRef) * 1000.0))); }

QDateTime SimCounter::clock() const
{
    std::lock_guard lock(m_mutex);
    return clockLocked(oq::clock::now());
}

QString SimCounter::versionRecordLocked(double now) const
{
    if (!m_config.versionRecord.isEmpty())
        return m_config.versionRecord;
    static const QRegularExpression blanks(QStringLiteral("[ \t]+"));
    const QStringList tokens = m_dump.version.split(blanks, Qt::SkipEmptyParts);
    const bool full = tokens.size() >= 6;
    const QString version = !m_config.version.isEmpty() ? m_config.version : tokens.size() > 1 ? tokens.at(1) : QStringLiteral("7.14Lb07");
    const double v = versionNumber(version);
    if (v < 6.0195)
        return QStringLiteral("Version ") + version;
    const QString serial = serialLocked();
    const QString size = m_config.protocolLength >= 0
        ? QStringLiteral("%1").arg(m_config.protocolLength & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper()
        : full ? tokens.at(tokens.size() - 3) : QStringLiteral("0007");
    const QDateTime now_ = clockLocked(now);
    QStringList record{QStringLiteral("Version"), version};
    if (v >= 6.9 && v < 7.0215)
        record << (tokens.size() >= 7 ? tokens.at(2) : QStringLiteral("HW3"));
    record << serial << size << now_.toString(QStringLiteral("dd.MM.yy")) << now_.toString(QStringLiteral("HH:mm:ss"));
    return record.join(QLatin1Char(' '));
}

QString SimCounter::serialLocked() const
{
    if (!m_config.serial.isEmpty())
        return m_config.serial;
    static const QRegularExpression blanks(QStringLiteral("[ \t]+"));
    const QStringList tokens = m_dump.version.split(blanks, Qt::SkipEmptyParts);
    return tokens.size() >= 6 ? tokens.at(tokens.size() - 4) : QStringLiteral("12345");
}

QString SimCounter::serialNumber() const
{
    std::lock_guard lock(m_mutex);
    return serialLocked();
}

QString SimCounter::versionRecord() const
{
    std::lock_guard lock(m_mutex);
    return versionRecordLocked(oq::clock::now());
}

QStringList SimCounter::commandLog() const
{
    std::lock_guard lock(m_mutex);
    return m_log;
}

qint64 SimCounter::bytesSent() const
{
    std::lock_guard lock(m_mutex);
    return m_bytesSent;
}

} // namespace oq::sim
