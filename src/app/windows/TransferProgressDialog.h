#pragma once
// A window-modal progress dialog that follows a device's progress record, including the record
// the device puts in place when an exchange begins. Its Cancel button only emits
// cancelRequested(); whoever runs the exchange decides what cancelling means.
#include <QDialog>
#include <QPointer>

#include <memory>

#include "device/OQDevice.h"

class QLabel;
class QProgressBar;
class QPushButton;

class TransferProgressDialog : public QDialog {
    Q_OBJECT
public:
    explicit TransferProgressDialog(QWidget* parent);

    // Follows `device`'s progress record from now on.
    void follow(const std::shared_ptr<OQDevice>& device);
    // Follows `record` (work of the application's own, not bound to a device); nullptr: none.
    void followRecord(oq::ProgressRecord* record);
    // An indeterminate wait with `text`, not bound to any record.
    void showWaiting(const QString& text, bool cancellable);

    // The highest share of the work shown, in percent, since the last showWaiting.
    int highestPercent() const { return m_highestPercent; }
    QString labelText() const;
    QProgressBar* bar() const { return m_bar; }
    QPushButton* cancelButton() const { return m_cancel; }

signals:
    void cancelRequested();

protected:
    // Escape and the window's close button ask to cancel instead of hiding the dialog.
    void reject() override;

private:
    void rebind();
    void bind(oq::ProgressRecord* record);
    void nameBar();
    void update();

    std::weak_ptr<OQDevice> m_device;
    QPointer<oq::ProgressRecord> m_record;
    QList<QMetaObject::Connection> m_connections;
    QMetaObject::Connection m_deviceConnection;
    QLabel* m_label = nullptr;
    QProgressBar* m_bar = nullptr;
    QPushButton* m_cancel = nullptr;
    int m_highestPercent = 0;
};
