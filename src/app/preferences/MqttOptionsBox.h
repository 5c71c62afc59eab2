#pragma once
// The preferences' MQTT options: the broker's address, the topics' prefix, the CA file for a
// broker whose certificate a private CA signed, and Home Assistant discovery, each written to its settings key when the field is left (a text that cannot be used
// is refused with a message and not stored), and a status line set from outside by whoever
// publishes.
#include <QGroupBox>

class QCheckBox;
class QLabel;
class QLineEdit;

class MqttOptionsBox : public QGroupBox {
    Q_OBJECT
public:
    explicit MqttOptionsBox(QWidget* parent = nullptr);

    QLineEdit* brokerField() const { return m_broker; }
    QLineEdit* prefixField() const { return m_prefix; }
    QLineEdit* caFileField() const { return m_caFile; }
    QCheckBox* discoveryBox() const { return m_discovery; }
    // Why the last text typed was refused; empty otherwise.
    QString inputMessage() const;
    QString status() const;

public slots:
    // "Connected to …", "Retrying …: cause", "Refused by …: cause".
    void setStatus(const QString& text);

private:
    void commit(QLineEdit* field, const QString& key);
    void refresh();

    QLineEdit* m_broker = nullptr;
    QLineEdit* m_prefix = nullptr;
    QLineEdit* m_caFile = nullptr;
    QCheckBox* m_discovery = nullptr;
    QLabel* m_message = nullptr;
    QLabel* m_status = nullptr;
};
