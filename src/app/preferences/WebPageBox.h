#pragma once
// The preferences' web page: on or off, where it listens and the access token's file, each
// written to its settings key when the field is left (an address that cannot be listened on is
// refused with a message and not stored), and a status line set by whoever serves it.
#include <QGroupBox>

class QCheckBox;
class QLabel;
class QLineEdit;

class WebPageBox : public QGroupBox {
    Q_OBJECT
public:
    explicit WebPageBox(QWidget* parent = nullptr);

    QCheckBox* switchBox() const { return m_switch; }
    QLineEdit* listenField() const { return m_listen; }
    QLineEdit* tokenFileField() const { return m_tokenFile; }
    QString inputMessage() const;
    QString status() const;

public slots:
    void setStatus(const QString& text);

private:
    void commit(QLineEdit* field, const QString& key);
    void refresh();

    QCheckBox* m_switch = nullptr;
    QLineEdit* m_listen = nullptr;
    QLineEdit* m_tokenFile = nullptr;
    QLabel* m_message = nullptr;
    QLabel* m_status = nullptr;
};
