#include "SimFtBridge.h"

#include <algorithm>
#include <cmath>

#include "platform/Clock.h"

namespace oq::sim {
namespace {

using usbip::Request;

constexpr uint8_t kEndpointIn = 1;
constexpr uint8_t kEndpointOut = 2;

// Modem status: the low nibble reads 1; CTS and DSR are up, as the counter holds them.
constexpr uint8_t kModemStatus = 0x01 | 0x10 | 0x20;
constexpr uint8_t kLineIdle = 0x60; // transmitter holding register and shift register empty
constexpr uint8_t kLineOverrun = 0x02;
constexpr uint8_t kLineParity = 0x04;

// A counter's UART takes a few percent of speed error; 460800 meets the bridge's 461,538.
constexpr double kBaudTolerance = 0.03;

void putString(QByteArray& d, const QString& text)
{
    d += char(2 + 2 * text.size());
    d += char(3);
    for (const QChar c : text) {
        d += char(c.unicode() & 0xFF);
        d += char(c.unicode() >> 8);
    }
}

std::optional<QByteArray> descriptor(uint8_t type, uint8_t index, const QString& serial)
{
    const auto lo = [](int v) { return char(v & 0xFF); };
    const auto hi = [](int v) { return char((v >> 8) & 0xFF); };
    QByteArray d;
    switch (type) {
    case 1: { // device
        const char device[] = {18, 1, 0x00, 0x02, 0, 0, 0, 8, lo(SimFtBridge::kVendorId), hi(SimFtBridge::kVendorId),
            lo(SimFtBridge::kProductId), hi(SimFtBridge::kProductId), 0x00, 0x06, 1, 2, 3, 1};
        return QByteArray(device, sizeof device);
    }
    case 2: { // configuration, its interface and both endpoints
        const char config[] = {9, 2, 32, 0, 1, 1, 0, char(0xA0), 45,
            9, 4, 0, 0, 2, char(0xFF), char(0xFF), char(0xFF), 2,
            7, 5, char(0x80 | kEndpointIn), 2, SimFtBridge::kPacketSize, 0, 0,
            7, 5, kEndpointOut, 2, SimFtBridge::kPacketSize, 0, 0};
        return QByteArray(config, sizeof config);
    }
    case 3:
        switch (index) {
        case 0: return QByteArray("\x04\x03\x09\x04", 4); // US English
        case 1: putString(d, QStringLiteral("FTDI")); return d;
        case 2: putString(d, QStringLiteral("Orbel-Quist Counter")); return d;
        case 3: putString(d, serial); return d;
        default: return std::nullopt;
        }
    default:
        return std::nullopt; // no device qualifier: full speed only
    }
}

int baudFromDivisor(uint16_t value, uint16_t index)
{
    static constexpr double kFraction[8] = {0, 0.5, 0.25, 0.125, 0.375, 0.625, 0.75, 0.875};
    const int whole = value & 0x3FFF;
    const int code = (value >> 14) | ((index & 1) << 2);
    if (whole == 0 && code == 0)
        return 3000000;
    if (whole == 1 && code == 0)
        return 2000000;
    return int(std::lround(3000000.0 / (whole + kFraction[code])));
}

} // namespace

SimFtBridge::SimFtBridge(std::shared_ptr<SimCounter> counter, BridgeOptions options, Stats& stats)
    : m_counter(std::move(counter))
    , m_options(std::move(options))
    , m_stats(stats)
{
    if (m_options.serial.isEmpty())
        m_options.serial = m_counter->serialNumber();
    m_line = {9600, 8, 'N', 1};
    applyLine();
    m_lastPacket = oq::clock::now();
}

void SimFtBridge::handle(const Request& r, QByteArray& out)
{
    if (r.command == usbip::kCmdUnlink) {
        const auto it = std::find_if(m_in.begin(), m_in.end(), [&r](const InRequest& q) { return q.seqnum == r.unlinkSeqnum; });
        const bool pending = it != m_in.end();
        if (pending)
            m_in.erase(it);
        out += usbip::encodeRetUnlink(r.seqnum, pending ? usbip::kConnReset : 0);
        return;
    }
    if (r.ep == 0) {
        control(r, out);
    } else if (r.ep == kEndpointIn && r.in) {
        m_in.push_back({r.seqnum, r.length});
    } else if (r.ep == kEndpointOut && !r.in) {
        pull(); // what came before the write counts before it
        m_counter->hostWrite(r.data);
        m_streamCharacters = r.data.contains('R') || r.data.contains('D') ? 0 : -1;
        m_dumpDelivered = r.data.contains('b') ? 0 : -1;
        if (m_dumpDelivered == 0) {
            m_dumpStart = oq::clock::now();
            m_stats.dumpCharacters = 0;
            m_stats.dumpSeconds = 0;
        }
        out += usbip::encodeRetSubmit(r.seqnum, 0, int32_t(r.data.size()));
    } else {
        out += usbip::encodeRetSubmit(r.seqnum, usbip::kStall, 0);
    }
}

void SimFtBridge::control(const Request& r, QByteArray& out)
{
    const uint8_t type = r.setup[0];
    const uint8_t request = r.setup[1];
    const uint16_t value = uint16_t(r.setup[2] | (r.setup[3] << 8));
    const uint16_t index = uint16_t(r.setup[4] | (r.setup[5] << 8));
    const uint16_t wanted = uint16_t(r.setup[6] | (r.setup[7] << 8));
    bool ok = true;
    QByteArray reply;
    switch (type & 0x60) {
    case 0x00: // standard
        if (request == 6 && type == 0x80) {
            const auto d = descriptor(uint8_t(value >> 8), uint8_t(value & 0xFF), m_options.serial);
            ok = d.has_value();
            if (ok)
                reply = *d;
        } else if (request == 0 && (type & 0x80)) {
            reply = QByteArray(2, '\0'); // status: bus powered, no halt
        } else if (request == 8 && type == 0x80) {
            reply = QByteArray(1, char(m_configuration));
        } else if (request == 9 && type == 0x00) {
            m_configuration = uint8_t(value);
        } else if (type & 0x80) {
            ok = false;
        }
        break;
    case 0x40: // vendor
        vendorRequest(request, value, index, ok, reply);
        break;
    default:
        ok = (type & 0x80) == 0;
        break;
    }
    if (!ok) {
        out += usbip::encodeRetSubmit(r.seqnum, usbip::kStall, 0);
        return;
    }
    if (type & 0x80) {
        reply.truncate(std::min<qsizetype>({reply.size(), wanted, r.length}));
        out += usbip::encodeRetSubmit(r.seqnum, 0, int32_t(reply.size()), reply);
    } else {
        out += usbip::encodeRetSubmit(r.seqnum, 0, int32_t(r.data.size()));
    }
}

void SimFtBridge::vendorRequest(uint8_t request, uint16_t value, uint16_t index, bool& ok, QByteArray& reply)
{
    switch (request) {
    case 0: // reset; 1 purges what was received, 2 what is to be sent (which goes out at once here)
        if (value == 0 || value == 1) {
            pull();
            m_fifo.clear();
            m_fifoMarks.clear();
            m_counter->hostPurge();
        }
        break;
    case 1: // modem control
    case 2: // flow control: the counter's line has none
        break;
    case 3:
        m_bridgeBaud = baudFromDivisor(value, index);
        applyLine();
        break;
    case 4: {
        static constexpr char kParity[5] = {'N', 'O', 'E', 'M', 'S'};
        const int stop = (value >> 11) & 7;
        m_line.dataBits = value & 0xFF;
        m_line.parity = kParity[std::min((value >> 8) & 7, 4)];
        m_line.stopBits = stop == 0 ? 1 : 2;
        m_break = (value >> 14) & 1;
        applyLine();
        break;
    }
    case 5:
        reply = QByteArray(1, char(kModemStatus)) + char(kLineIdle);
        break;
    case 9:
        m_latencyMs = std::max(1, value & 0xFF);
        break;
    case 10:
        reply = QByteArray(1, char(m_latencyMs));
        break;
    case 0x90: // EEPROM word: blank, so no pin is taken for a GPIO
        reply = QByteArray(2, '\0');
        break;
    default:
        ok = true;
        break;
    }
}

void SimFtBridge::applyLine()
{
    pull();
    m_stats.baud = m_bridgeBaud;
    const int counterBaud = m_counter->config().baud;
    LineSettings heard = m_line;
    heard.baud = std::abs(m_bridgeBaud - counterBaud) <= counterBaud * kBaudTolerance ? counterBaud : m_bridgeBaud;
    if (m_break)
        heard.baud = 0; // a held break is no character at any speed
    m_counter->hostConfigure(heard);
}

void SimFtBridge::pull()
{
    const QByteArray arrived = m_counter->hostRead(SimCounter::kReceiveCapacity);
    for (const char c : arrived) {
        m_fifo += c;
        m_fifoMarks.push_back(m_streamCharacters >= 0 && m_options.parityErrors.count(m_streamCharacters++) > 0);
    }
    if (!m_counter->plugged())
        m_wantsUnplug = true;
}

QByteArray SimFtBridge::takePackets(int32_t length)
{
    QByteArray data;
    // A request shorter than a packet still gets the status bytes and what fits beside them.
    int32_t room = std::max(length, int32_t(2));
    do {
        const int32_t packet = std::min<int32_t>(room, kPacketSize);
        qsizetype n = std::min<qsizetype>(std::min(packet - 2, kPacketData), m_fifo.size());
        if (m_dumpDelivered >= 0) {
            if (m_options.unplugAfterDumpBytes >= 0) {
                n = std::min(n, m_options.unplugAfterDumpBytes - m_dumpDelivered);
                m_wantsUnplug = m_dumpDelivered + n >= m_options.unplugAfterDumpBytes;
            }
            m_dumpDelivered += n;
            if (n > 0) {
                m_stats.dumpCharacters = m_dumpDelivered;
                m_stats.dumpSeconds = oq::clock::now() - m_dumpStart;
            }
        }
        const bool parity = std::any_of(m_fifoMarks.begin(), m_fifoMarks.begin() + n, [](bool b) { return b; });
        data += char(kModemStatus);
        data += char(kLineIdle | (m_overrun ? kLineOverrun : 0) | (parity ? kLineParity : 0));
        data += m_fifo.left(n);
        m_fifo.remove(0, n);
        m_fifoMarks.erase(m_fifoMarks.begin(), m_fifoMarks.begin() + n);
        m_overrun = false;
        m_stats.delivered += n;
        room -= packet;
        if (n < kPacketData || m_wantsUnplug)
            break; // a short packet ends the transfer
    } while (room >= kPacketSize);
    return data;
}

void SimFtBridge::service(QByteArray& out)
{
    // A request that waited since the last look was the host fetching; whatever piled up
    // meanwhile is this program's delay.
    const bool fetching = !m_in.empty();
    pull();
    const double now = oq::clock::now();
    while (!m_in.empty() && !m_wantsUnplug) {
        const bool full = m_fifo.size() >= kPacketData;
        if (!full && now < m_lastPacket + m_latencyMs / 1000.0)
            break;
        const InRequest r = m_in.front();
        m_in.pop_front();
        const QByteArray data = takePackets(r.length);
        out += usbip::encodeRetSubmit(r.seqnum, 0, int32_t(data.size()), data);
        m_lastPacket = now;
    }
    m_late = std::clamp<qsizetype>(m_fifo.size() - kFifoSize, 0, m_late);
    if (m_fifo.size() <= kFifoSize + m_late)
        return;
    if (fetching) {
        m_late = m_fifo.size() - kFifoSize;
        m_stats.lateMost = std::max<qint64>(m_stats.lateMost.load(), m_late);
        return;
    }
    m_stats.lost += m_fifo.size() - kFifoSize - m_late;
    m_fifo.truncate(kFifoSize + m_late);
    m_fifoMarks.resize(size_t(m_fifo.size()));
    m_overrun = true;
}

std::optional<double> SimFtBridge::nextDue()
{
    if (m_in.empty())
        return std::nullopt;
    double due = m_lastPacket + m_latencyMs / 1000.0;
    if (const auto next = m_counter->nextEvent())
        due = std::min(due, *next);
    return due;
}

} // namespace oq::sim
