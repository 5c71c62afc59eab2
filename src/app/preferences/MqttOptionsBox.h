#pragma once
// The preferences' MQTT options: the broker's address, the topics' prefix, the CA file for a
// broker whose certificate a private CA signed, and Home Assistant discovery, with the status line
// set by whoever publishes.
#include "app/preferences/SettingsFieldsBox.h"

class QCheckBox;

class MqttOptionsBox : public SettingsFieldsBox {
    Q_OBJECT
public:
    explicit MqttOptionsBox(QWidget* parent = nullptr);

    QLineEdit* brokerField() const { return m_broker; }
    QLineEdit* prefixField() const { return m_prefix; }
    QLineEdit* caFileField() const { return m_caFile; }
    QCheckBox* discoveryBox() const { return m_discovery; }

private:
    QLineEdit* m_broker = nullptr;
    QLineEdit* m_prefix = nullptr;
    QLineEdit* m_caFile = nullptr;
    QCheckBox* m_discovery = nullptr;
};
