#include "UsbIpCodec.h"

#include <cstring>

namespace oq::sim::usbip {
namespace {

constexpr int kIsoDescriptorSize = 16;
constexpr int32_t kMaxPackets = 1024;

uint32_t u32(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

void put32(QByteArray& out, uint32_t v)
{
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(b, 4);
}

QByteArray header(uint32_t command, uint32_t seqnum)
{
    QByteArray h;
    h.reserve(kHeaderSize);
    put32(h, command);
    put32(h, seqnum);
    put32(h, 0); // devid, direction and ep are not looked at in answers
    put32(h, 0);
    put32(h, 0);
    return h;
}

} // namespace

std::optional<Request> RequestReader::next()
{
    if (m_broken || m_buffer.size() < kHeaderSize)
        return std::nullopt;
    const char* p = m_buffer.constData();
    Request r;
    r.command = u32(p);
    r.seqnum = u32(p + 4);
    r.devid = u32(p + 8);
    r.in = u32(p + 12) != 0;
    r.ep = u32(p + 16);
    qsizetype size = kHeaderSize;
    if (r.command == kCmdSubmit) {
        r.transferFlags = u32(p + 20);
        r.length = int32_t(u32(p + 24));
        r.numberOfPackets = int32_t(u32(p + 32));
        std::memcpy(r.setup.data(), p + 40, 8);
        if (r.length < 0 || r.length > kMaxTransfer || r.numberOfPackets < 0 || r.numberOfPackets > kMaxPackets) {
            m_broken = true;
            return std::nullopt;
        }
        if (!r.in)
            size += r.length;
        // Isochronous packet descriptors: none of this device's endpoints use them, but they are
        // part of the stream.
        size += qsizetype(r.numberOfPackets) * kIsoDescriptorSize;
        if (m_buffer.size() < size)
            return std::nullopt;
        if (!r.in)
            r.data = m_buffer.mid(kHeaderSize, r.length);
    } else if (r.command == kCmdUnlink) {
        r.unlinkSeqnum = u32(p + 20);
    } else {
        m_broken = true;
        return std::nullopt;
    }
    m_buffer.remove(0, size);
    return r;
}

QByteArray encodeRetSubmit(uint32_t seqnum, int32_t status, int32_t actualLength, const QByteArray& inData)
{
    QByteArray out = header(kRetSubmit, seqnum);
    put32(out, uint32_t(status));
    put32(out, uint32_t(actualLength));
    put32(out, 0); // start_frame
    put32(out, 0); // number_of_packets
    put32(out, 0); // error_count
    out.append(kHeaderSize - out.size(), '\0');
    out += inData;
    return out;
}

QByteArray encodeRetUnlink(uint32_t seqnum, int32_t status)
{
    QByteArray out = header(kRetUnlink, seqnum);
    put32(out, uint32_t(status));
    out.append(kHeaderSize - out.size(), '\0');
    return out;
}

} // namespace oq::sim::usbip
