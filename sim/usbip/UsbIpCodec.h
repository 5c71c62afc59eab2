#pragma once
// The USB/IP messages a virtual host controller exchanges with the device end of its socket:
// requests in (CMD_SUBMIT, CMD_UNLINK), answers out (RET_SUBMIT, RET_UNLINK). Big-endian 48-byte
// headers; an OUT request's data follows its header, an IN answer's data follows its header.
#include <QByteArray>

#include <array>
#include <cstdint>
#include <optional>

namespace oq::sim::usbip {

constexpr uint32_t kCmdSubmit = 1;
constexpr uint32_t kCmdUnlink = 2;
constexpr uint32_t kRetSubmit = 3;
constexpr uint32_t kRetUnlink = 4;
constexpr int kHeaderSize = 48;
constexpr int32_t kStall = -32;          // -EPIPE
constexpr int32_t kConnReset = -104;     // -ECONNRESET: an unlinked request dropped
// No single transfer of this device is near this; more is a broken peer, not a request.
constexpr int32_t kMaxTransfer = 1 << 20;

struct Request {
    uint32_t command = 0;
    uint32_t seqnum = 0;
    uint32_t devid = 0;
    bool in = false;
    uint32_t ep = 0;
    // CMD_SUBMIT
    uint32_t transferFlags = 0;
    int32_t length = 0;
    int32_t numberOfPackets = 0;
    std::array<uint8_t, 8> setup {};
    QByteArray data; // OUT data
    // CMD_UNLINK
    uint32_t unlinkSeqnum = 0;
};

// Splits a byte stream into requests, however it was chunked.
class RequestReader {
public:
    void feed(const char* bytes, qsizetype count) { m_buffer.append(bytes, count); }
    // The next complete request; nothing while one is still incomplete. Sets `broken` on a stream
    // that cannot be a host's (an unknown command, a negative or absurd length).
    std::optional<Request> next();
    bool broken() const { return m_broken; }

private:
    QByteArray m_buffer;
    bool m_broken = false;
};

QByteArray encodeRetSubmit(uint32_t seqnum, int32_t status, int32_t actualLength, const QByteArray& inData = {});
QByteArray encodeRetUnlink(uint32_t seqnum, int32_t status);

} // namespace oq::sim::usbip
