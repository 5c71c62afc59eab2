#pragma once
// The preferences' web page: on or off, where it listens and the access token's file, with the
// status line set by whoever serves it.
#include "app/preferences/SettingsFieldsBox.h"

class QCheckBox;

class WebPageBox : public SettingsFieldsBox {
    Q_OBJECT
public:
    explicit WebPageBox(QWidget* parent = nullptr);

    QCheckBox* switchBox() const { return m_switch; }
    QLineEdit* listenField() const { return m_listen; }
    QLineEdit* tokenFileField() const { return m_tokenFile; }

private:
    QCheckBox* m_switch = nullptr;
    QLineEdit* m_listen = nullptr;
    QLineEdit* m_tokenFile = nullptr;
};
