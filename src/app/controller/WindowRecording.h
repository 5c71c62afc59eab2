#pragma once
// The window's side of the recording: its settings as the recording's options (again at each
// change), which every counter plugged in records into through its own recorder, downloads stored
// as they arrive, an opened protocol offered for adding, and the MQTT status for Preferences (each
// counter's, the shown one's first). The recording itself is the one oqtool
// uses (recording/Recording.h); the reading on screen never waits for it.
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

#include "recording/Recording.h"

class DeviceMenu;
class OQAppDelegate;
class OQDevice;
class ProtocolWindow;

class WindowRecording : public QObject {
    Q_OBJECT
public:
    // Records into `path` (empty: the default history file).
    explicit WindowRecording(OQAppDelegate* controller, const QString& path = {}, QObject* parent = nullptr);
    // The counters' recorders say `offline`; what is pending is written.
    ~WindowRecording() override;

    QString path() const { return m_path; }

    // Downloads are stored as they arrive; opened files are offered for adding.
    void watch(DeviceMenu* menu);
    // Stores the intervals of the protocol in `window`.
    void storeProtocol(ProtocolWindow* window);
    // Asks whether to add the protocol in `window` when some of its intervals are not stored yet.
    void offerImport(ProtocolWindow* window);
    // Answers the question of offerImport() without asking (tests): true adds, false skips.
    void setImportAnswer(std::optional<bool> answer) { m_importAnswer = answer; }

    // For people: off, waiting for a counter, connected, retrying or refused with the cause; with
    // several counters a line each, the shown one's first.
    QString status() const { return m_status; }

signals:
    void statusChanged(const QString& status);
    // Why the history is not written now; empty once it is again.
    void historyTroubleChanged(const QString& trouble);
    // On the main thread, when a protocol's intervals are in: how many were new, of how many.
    void protocolStored(int stored, int total);

private:
    void settingChanged(const QString& key);
    // The status from the options, else from the counters' publishers.
    void updateStatus();
    // The settings as options; the MQTT part left empty, with `why` set, when it cannot publish.
    oq::recording::Options options(QString& why) const;
    void restart();
    void setStatus(const QString& status);

    QPointer<OQAppDelegate> m_controller;
    QString m_path;
    std::unique_ptr<oq::recording::Recording> m_recording;
    std::optional<bool> m_importAnswer;
    QString m_optionsStatus; // why nothing is published, or that it is off; empty when it publishes
    QString m_status;
    oq::history::Writer::TroubleCallback m_historyTrouble;
};
