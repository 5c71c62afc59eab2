#pragma once
// The preferences' alert options: a notification on level changes, the alarm sound at danger,
// running on with the window closed, and starting at login. Each box writes its setting at once
// and follows every other writer of it.
#include <QGroupBox>

class QCheckBox;

class AlertOptionsBox : public QGroupBox {
    Q_OBJECT
public:
    explicit AlertOptionsBox(QWidget* parent = nullptr);

    // The box of one of the alert option keys (SettingsKeys.h), or null.
    QCheckBox* optionBox(const QString& key) const;

private:
    std::vector<std::pair<QString, QCheckBox*>> m_boxes;
};
