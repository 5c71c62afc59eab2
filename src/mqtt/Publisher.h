#pragma once
// Publishes one counter's readings to an MQTT broker, on a network thread of its own ("OQMqtt");
// the caller hands readings in and never waits.
//
//   - On every connection: the discovery configs (retained), then `online` (retained) on the
//     availability topic, whose last will is a retained `offline`; then the readings, QoS 1, each
//     also retained on its quantity's own topic.
//   - Readings taken while the broker is away wait in the backlog and go out in order with their
//     own times when it is back. Within one connection a reading is sent once; one that was in
//     flight when a connection broke is sent again on the next (a subscriber drops duplicates by
//     time).
//   - A failed or lost connection is retried after 1, 2, 4 … 60 modelled seconds (the time seam); a
//     refusal (password, certificate, TLS or not) only every 10 minutes, as it will not mend itself.
//   - Every change of state is logged once and reported once; a refusal repeated on each retry is
//     not repeated in the log.
#include <QString>

#include <functional>
#include <memory>

#include "history/HistoryTypes.h"
#include "mqtt/Backlog.h"
#include "mqtt/Broker.h"
#include "mqtt/Credentials.h"
#include "mqtt/Messages.h"

namespace oq::mqtt {

enum class State { Connecting, Connected, Retrying, Refused };

enum class Cause {
    None,
    UnknownHost,        // detail: the host
    ConnectionRefused,  // nothing listens there
    ConnectionLost,
    NoAnswer,           // the broker did not answer the connection in time
    BadCredentials,     // wrong user name or password
    NotAuthorised,
    CertificateRefused, // the broker's certificate is not trusted
    Tls,                // another TLS failure; detail: what OpenSSL said
    Protocol,           // the broker sent what MQTT does not allow
    BadPrefix,          // detail: the prefix
    Other,              // detail: the system's words
    NotTls,             // mqtts:// to a port that broke off the TLS handshake
    WantsTls,           // mqtt:// to a port that closed without answering (a TLS port, most likely)
    CaFile,             // the CA file holds no certificate (or cannot be read); detail: its path
    Unacknowledged,     // connected, but what was sent has not been acknowledged in time
};

struct Status {
    State state = State::Connecting;
    Cause cause = Cause::None;
    QString detail;
    bool operator==(const Status&) const = default;

    // For people, in their language: "Connected to mqtt://host:1883", "Retrying: …", "Refused: …".
    QString text(const Broker& broker) const;
    // The same in fixed English, for logs.
    QString logText(const Broker& broker) const;
};

struct PublisherOptions {
    Broker broker;
    QString caFile; // for mqtts: the CA to trust; empty: the system's
    Credentials credentials;
    QString prefix = kDefaultPrefix;
    bool discovery = true;
    QString discoveryPrefix = kDefaultDiscoveryPrefix;
    Station station;
    QString displayUnit;            // "Sv", "rem"; empty: the counter's
    double firstRetrySeconds = 1.0; // modelled, doubled after each failure
    double maxRetrySeconds = 60.0;
    double answerSeconds = 30.0;    // modelled wait for the broker's answer to a connection
    double ackSeconds = 30.0;       // modelled wait for an acknowledgement before the status says it is missing
    int keepAliveSeconds = 60;
    std::size_t window = 100;       // readings sent and not yet acknowledged, at most
};

class Publisher {
public:
    // Called on the network thread at each change of status.
    using StatusCallback = std::function<void(const Status&)>;

    // Connects at once. A null `backlog` is a MemoryBacklog.
    explicit Publisher(PublisherOptions options, std::unique_ptr<Backlog> backlog = {}, StatusCallback onStatus = {});
    // Says `offline` when connected (a second at most) and ends the thread. Readings still waiting
    // are given up; flush() first to send them.
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // Ends the network thread as the destructor does and hands over the readings still waiting, for
    // a publisher with other options to send; publish() is not called afterwards.
    std::unique_ptr<Backlog> stop();

    void publish(history::Reading reading);
    // Waits, at most `timeoutSeconds` of real time, until the broker has acknowledged every reading
    // handed in so far. False when it has not.
    bool flush(double timeoutSeconds);

    Status status() const;
    // Readings not yet acknowledged (in a history backlog, those in memory and one for the rest).
    std::size_t waiting() const;
    // Readings the broker acknowledged (each counted once per acknowledgement).
    quint64 acknowledged() const;
    // Readings that will never reach the broker: those the backlog had to give up while it was
    // away. After stop() the count goes with the backlog handed over.
    quint64 dropped() const;
    const PublisherOptions& options() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Why these options cannot publish (a prefix with wildcards, …), for people; empty when they can.
QString optionsProblem(const PublisherOptions& options);

} // namespace oq::mqtt
