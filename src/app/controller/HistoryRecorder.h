#pragma once
// Keeps what the application shows in the history database: every reading of the counter (unless
// switched off in Preferences), every protocol downloaded, and a stored protocol that the user
// agrees to add when opening it. The writing happens on the history's own thread; the reading on
// screen never waits for it.
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

#include "history/HistoryTypes.h"

class DeviceMenu;
class OQAppDelegate;
class ProtocolWindow;
class QWidget;

namespace oq::history {
class Writer;
}

class HistoryRecorder : public QObject {
    Q_OBJECT
public:
    // Records into `path` (empty: the default history file).
    explicit HistoryRecorder(OQAppDelegate* controller, const QString& path = {}, QObject* parent = nullptr);
    // Writes what is pending.
    ~HistoryRecorder() override;

    QString path() const { return m_path; }
    // Made at first use.
    oq::history::Writer& writer();

    // Downloads are stored as they arrive; opened files are offered for adding.
    void watch(DeviceMenu* menu);
    // Stores the intervals of the protocol in `window`.
    void storeProtocol(ProtocolWindow* window);
    // Asks whether to add the protocol in `window` when some of its intervals are not stored yet.
    void offerImport(ProtocolWindow* window);

    // Answers the question of offerImport() without asking (tests): true adds, false skips.
    void setImportAnswer(std::optional<bool> answer) { m_importAnswer = answer; }

signals:
    // Every reading shown, recorded or not, with the counter's firmware version.
    void readingTaken(const oq::history::Reading& reading, const QString& firmware);
    // On the main thread, when a protocol's intervals are in: how many were new, of how many.
    void protocolStored(int stored, int total);

private:
    void valueChanged();

    QPointer<OQAppDelegate> m_controller;
    QString m_path;
    std::unique_ptr<oq::history::Writer> m_writer;
    std::optional<bool> m_importAnswer;
};
