// The emulated USB bridge over a socketpair, with this test as the kernel's USB/IP host controller:
// enumeration, the FTDI driver's vendor requests, the bulk IN stream with its status bytes, the
// latency timer, FIFO overflow while nothing is fetched, unlink, and unplug.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Clock.h"
#include "sim/usbip/SimUsbIp.h"

using namespace oq::sim;

namespace {

using SetupPacket = std::array<uint8_t, 8>;

SetupPacket setup(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length)
{
    return {type, request, uint8_t(value), uint8_t(value >> 8), uint8_t(index), uint8_t(index >> 8), uint8_t(length),
        uint8_t(length >> 8)};
}

void put32(QByteArray& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char(v >> shift);
}

uint32_t get32(const QByteArray& b, int at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | uint8_t(b[at + i]);
    return v;
}

struct Reply {
    uint32_t command = 0;
    int32_t status = 0;
    int32_t actual = 0;
    QByteArray data;
};

// The host controller's side, written from the message layout independently of the bridge's codec.
class Kernel {
public:
    explicit Kernel(int fd) : m_fd(fd) {}
    ~Kernel() { ::close(m_fd); }

    uint32_t submit(uint32_t ep, bool in, int32_t length, const SetupPacket& s = {}, const QByteArray& data = {}, bool split = false)
    {
        const uint32_t seq = m_next++;
        QByteArray m;
        for (const uint32_t v : {1u, seq, 0x10002u, in ? 1u : 0u, ep, 0u, uint32_t(length), 0u, 0u, 0u})
            put32(m, v);
        m.append(reinterpret_cast<const char*>(s.data()), 8);
        m += data;
        if (in)
            m_in.insert(seq);
        // A header may reach the device in pieces.
        send(split ? m.left(7) : m);
        if (split) {
            oq::clock::sleepFor(0.005);
            send(m.mid(7));
        }
        return seq;
    }

    uint32_t unlink(uint32_t victim)
    {
        const uint32_t seq = m_next++;
        QByteArray m;
        for (const uint32_t v : {2u, seq, 0x10002u, 0u, 0u, victim})
            put32(m, v);
        m.append(48 - m.size(), '\0');
        send(m);
        return seq;
    }

    // The answer to `seq`; none within `seconds`.
    std::optional<Reply> wait(uint32_t seq, double seconds = 10)
    {
        const double end = oq::clock::now() + seconds;
        while (!m_replies.count(seq) && oq::clock::now() < end && read(20)) {
        }
        const auto it = m_replies.find(seq);
        if (it == m_replies.end())
            return std::nullopt;
        Reply r = it->second;
        m_replies.erase(it);
        return r;
    }

    Reply control(const SetupPacket& s, const QByteArray& out = {}, bool split = false)
    {
        const bool in = s[0] & 0x80;
        const auto r = wait(submit(0, in, in ? (s[6] | (s[7] << 8)) : int32_t(out.size()), s, out, split));
        return r.value_or(Reply{0, -999, 0, {}});
    }

    // The device closed its end.
    bool closed(double seconds = 10)
    {
        const double end = oq::clock::now() + seconds;
        while (!m_closed && oq::clock::now() < end)
            read(20);
        return m_closed;
    }

    bool hasReply(uint32_t seq) const { return m_replies.count(seq) > 0; }
    void poll() { read(0); }

private:
    void send(const QByteArray& m) { ASSERT_EQ(::send(m_fd, m.constData(), size_t(m.size()), MSG_NOSIGNAL), m.size()); }

    bool read(int ms)
    {
        pollfd p {m_fd, POLLIN, 0};
        if (::poll(&p, 1, ms) > 0) {
            char buf[4096];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0)
                m_closed = true;
            else
                m_buffer.append(buf, n);
        }
        while (m_buffer.size() >= 48) {
            Reply r;
            r.command = get32(m_buffer, 0);
            const uint32_t seq = get32(m_buffer, 4);
            r.status = int32_t(get32(m_buffer, 20));
            r.actual = r.command == 3 ? int32_t(get32(m_buffer, 24)) : 0;
            const int data = m_in.count(seq) && r.command == 3 ? r.actual : 0;
            if (m_buffer.size() < 48 + data)
                break;
            r.data = m_buffer.mid(48, data);
            m_buffer.remove(0, 48 + data);
            m_replies[seq] = r;
        }
        return !m_closed;
    }

    int m_fd;
    uint32_t m_next = 1;
    std::set<uint32_t> m_in;
    std::map<uint32_t, Reply> m_replies;
    QByteArray m_buffer;
    bool m_closed = false;
};

QByteArray utf16(const char* text)
{
    QByteArray d;
    d += char(2 + 2 * qstrlen(text));
    d += char(3);
    for (const char* p = text; *p; ++p)
        d += QByteArray(1, *p) + '\0';
    return d;
}

constexpr uint16_t kBaud9600 = 0x4138;   // 312.5
constexpr uint16_t kBaud460800 = 0x4006; // 6.5
constexpr uint16_t kData7E1 = 0x0207;

int serve(SimUsbIp& usb)
{
    int pair[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    usb.serve(pair[0]);
    return pair[1];
}

} // namespace

TEST(SimUsbIpTest, EnumerationAndVendorRequests)
{
    CounterConfig config;
    config.serial = QStringLiteral("98765");
    auto counter = std::make_shared<SimCounter>(config);
    SimUsbIp usb(counter, {});
    Kernel k(serve(usb));

    const QByteArray device("\x12\x01\x00\x02\x00\x00\x00\x08\x03\x04\x78\xd6\x00\x06\x01\x02\x03\x01", 18);
    struct Row {
        const char* what;
        SetupPacket setup;
        QByteArray out;
        int32_t status;
        QByteArray in; // the answer's data, or its first bytes when `prefix`
        bool prefix = false;
    };
    const Row rows[] = {
        {"device descriptor", setup(0x80, 6, 0x0100, 0, 64), {}, 0, device},
        {"first 8 bytes of it", setup(0x80, 6, 0x0100, 0, 8), {}, 0, device.left(8)},
        {"configuration header", setup(0x80, 6, 0x0200, 0, 9), {}, 0, QByteArray("\x09\x02\x20\x00\x01\x01\x00\xa0\x2d", 9)},
        {"whole configuration", setup(0x80, 6, 0x0200, 0, 255), {}, 0,
            QByteArray("\x09\x02\x20\x00\x01\x01\x00\xa0\x2d\x09\x04\x00\x00\x02\xff\xff\xff\x02"
                       "\x07\x05\x81\x02\x40\x00\x00\x07\x05\x02\x02\x40\x00\x00", 32)},
        {"languages", setup(0x80, 6, 0x0300, 0, 255), {}, 0, QByteArray("\x04\x03\x09\x04", 4)},
        {"serial from the counter", setup(0x80, 6, 0x0303, 0x0409, 255), {}, 0, utf16("98765")},
        {"no such string", setup(0x80, 6, 0x0309, 0x0409, 255), {}, -32, {}},
        {"no device qualifier", setup(0x80, 6, 0x0600, 0, 10), {}, -32, {}},
        {"set configuration", setup(0x00, 9, 1, 0, 0), {}, 0, {}},
        {"get configuration", setup(0x80, 8, 0, 0, 1), {}, 0, QByteArray("\x01", 1)},
        {"reset", setup(0x40, 0, 0, 0, 0), {}, 0, {}},
        {"modem control", setup(0x40, 1, 0x0303, 0, 0), {}, 0, {}},
        {"flow control", setup(0x40, 2, 0, 0, 0), {}, 0, {}},
        {"modem status", setup(0xc0, 5, 0, 0, 2), {}, 0, QByteArray("\x31\x60", 2)},
        {"default latency", setup(0xc0, 10, 0, 0, 1), {}, 0, QByteArray("\x10", 1)},
        {"set latency", setup(0x40, 9, 2, 0, 0), {}, 0, {}},
        {"latency as set", setup(0xc0, 10, 0, 0, 1), {}, 0, QByteArray("\x02", 1)},
        {"EEPROM word", setup(0xc0, 0x90, 0, 0x0a, 2), {}, 0, QByteArray(2, '\0')},
        {"baud 460800", setup(0x40, 3, kBaud460800, 0, 0), {}, 0, {}},
        {"7E1", setup(0x40, 4, kData7E1, 0, 0), {}, 0, {}},
        {"vendor OUT with data, in pieces", setup(0x40, 0x33, 0, 0, 3), QByteArray("abc"), 0, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const bool split = !row.out.isEmpty();
        const Reply r = k.control(row.setup, row.out, split);
        EXPECT_EQ(r.command, 3u);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(row.prefix ? r.data.left(row.in.size()) : r.data, row.in);
        EXPECT_EQ(r.actual, (row.setup[0] & 0x80) ? r.data.size() : r.status == 0 ? row.out.size() : 0);
    }
    // 460800 set by the driver is 461,538 at the bridge: the counter hears it.
    EXPECT_EQ(counter->hostSettings(), LineSettings::counter(460800));
    k.control(setup(0x40, 3, kBaud9600, 0, 0));
    EXPECT_EQ(counter->hostSettings().baud, 9600);
    EXPECT_FALSE(k.closed(0.05));
}

TEST(SimUsbIpTest, StreamLatencyOverflowUnlinkAndUnplug)
{
    // At 9600 baud the test keeps up on a loaded machine; the bridge's logic is the same at any speed.
    CounterConfig config;
    config.baud = 9600;
    config.responseDelay = 0;
    config.profile.kind = ProfileSpec::Constant;
    config.valueInterval = 0.05;
    auto counter = std::make_shared<SimCounter>(config);
    QByteArray dump;
    for (int i = 0; dump.size() < 1400; ++i)
        dump += QByteArray::number(1000 + i) + " abcdefghijklmnopqrstuvwxyz\r\n";
    counter->setCommand('b', [dump](SimCounter::Context& c) {
        c.send(dump);
        c.markDump();
    });
    BridgeOptions options;
    options.parityErrors = {5};
    options.unplugAfterDumpBytes = 1000;
    SimUsbIp usb(counter, options);
    auto k = std::make_unique<Kernel>(serve(usb));
    k->control(setup(0x40, 3, kBaud9600, 0, 0));
    k->control(setup(0x40, 4, kData7E1, 0, 0));
    k->control(setup(0x40, 9, 2, 0, 0));

    // Nothing waits: the latency timer answers with the two status bytes alone.
    const auto idle = k->wait(k->submit(1, true, 64));
    ASSERT_TRUE(idle);
    EXPECT_EQ(idle->data, QByteArray("\x31\x60", 2));

    // Unlink: a pending request is dropped and never answered; a finished one is left alone.
    const uint32_t pending = k->submit(1, true, 64);
    const auto dropped = k->wait(k->unlink(pending));
    ASSERT_TRUE(dropped);
    EXPECT_EQ(dropped->command, 4u);
    EXPECT_EQ(dropped->status, -104);
    const uint32_t done = k->submit(1, true, 64);
    ASSERT_TRUE(k->wait(done));
    EXPECT_EQ(k->wait(k->unlink(done))->status, 0);
    EXPECT_FALSE(k->hasReply(pending));

    // Reads the bulk IN endpoint with two requests in flight, as usb-serial does, until `enough`.
    std::vector<QByteArray> packets;
    QByteArray data;
    std::deque<uint32_t> inFlight;
    const auto fetch = [&](const std::function<bool()>& enough) {
        while (!enough()) {
            while (inFlight.size() < 2)
                inFlight.push_back(k->submit(1, true, 64));
            const auto r = k->wait(inFlight.front(), 5);
            if (!r)
                return;
            inFlight.pop_front();
            EXPECT_LE(r->data.size(), 64);
            EXPECT_GE(r->data.size(), 2);
            EXPECT_EQ(r->data.at(0), '\x31');
            packets.push_back(r->data);
            data += r->data.mid(2);
        }
    };
    const auto settle = [&] {
        while (!inFlight.empty()) {
            const auto r = k->wait(inFlight.front(), 5);
            inFlight.pop_front();
            ASSERT_TRUE(r);
            packets.push_back(r->data);
            data += r->data.mid(2);
        }
    };

    // A value stream trickles in at 9600 baud: the 2 ms latency timer sends it in short packets,
    // and only the packet that carries character 5 has the parity-error bit.
    k->submit(2, false, 1, {}, "R");
    fetch([&] { return data.size() >= 26; });
    k->submit(2, false, 1, {}, "X");
    const double quiet = oq::clock::now() + 0.1; // the line in progress arrives whole
    fetch([&] { return oq::clock::now() > quiet; });
    settle();
    ASSERT_EQ(data.size() % 13, 0) << data.toStdString();
    EXPECT_EQ(data, QByteArray("0,120 uSv/h\r\n").repeated(data.size() / 13));
    qsizetype at = 0, shortPackets = 0;
    for (const QByteArray& p : packets) {
        const qsizetype n = p.size() - 2;
        EXPECT_EQ(bool(p.at(1) & 0x04), n > 0 && at <= 5 && 5 < at + n) << "characters " << at << " to " << at + n;
        EXPECT_EQ(p.at(1) & ~0x04, 0x60);
        shortPackets += n > 0 && n < 62;
        at += n;
    }
    EXPECT_GT(shortPackets, 1);

    // At a speed the counter does not talk, it hears noise.
    k->control(setup(0x40, 3, kBaud460800, 0, 0));
    k->submit(2, false, 1, {}, "v");
    fetch([&] { return counter->commandLog().size() >= 3; });
    settle();
    EXPECT_EQ(counter->commandLog(), (QStringList{"R", "X", "~"}));
    k->control(setup(0x40, 3, kBaud9600, 0, 0));

    // A dump: full packets while fetched; nothing lost until the host stops fetching; then the
    // FIFO keeps its 256 characters, the rest is lost and the next packet says so; after 1000
    // characters of the dump the bridge is pulled out.
    k->control(setup(0x40, 9, 255, 0, 0));
    packets.clear();
    data.clear();
    k->submit(2, false, 1, {}, "b");
    fetch([&] { return data.size() >= 300; });
    settle();
    EXPECT_EQ(usb.stats().lost.load(), 0);
    for (size_t i = 0; i < packets.size(); ++i)
        EXPECT_EQ(packets[i].size(), 64) << "packet " << i;
    const qsizetype beforePause = data.size();
    const size_t firstAfterPause = packets.size();
    for (int i = 0; i < 500 && usb.stats().lost.load() < 40; ++i)
        oq::clock::sleepFor(0.01);
    fetch([&] { return data.size() >= 1000; });
    EXPECT_TRUE(k->closed());
    EXPECT_FALSE(counter->plugged());
    // One gap, right behind what the FIFO held: nothing was lost once the host fetched again.
    const qint64 lost = usb.stats().lost.load();
    ASSERT_GT(lost, 0);
    EXPECT_EQ(data.size(), 1000);
    EXPECT_EQ(usb.stats().dumpCharacters.load(), 1000);
    const qsizetype kept = beforePause + SimFtBridge::kFifoSize;
    EXPECT_EQ(data.left(kept), dump.left(kept));
    EXPECT_EQ(data.mid(kept), dump.mid(kept + lost, 1000 - kept));
    ASSERT_GT(packets.size(), firstAfterPause);
    EXPECT_EQ(packets[firstAfterPause].at(1), '\x62');
    EXPECT_EQ(packets.back().at(1), '\x60');

    // Plugged in again: enumerates as a freshly powered bridge.
    k = std::make_unique<Kernel>(serve(usb));
    EXPECT_TRUE(usb.plugged());
    EXPECT_EQ(k->control(setup(0xc0, 10, 0, 0, 1)).data, QByteArray("\x10", 1));
    EXPECT_TRUE(counter->plugged());
    usb.unplug();
    EXPECT_TRUE(k->closed());
}
