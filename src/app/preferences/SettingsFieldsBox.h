#pragma once
// A group of text options, each written to its settings key when its field is left: a text that
// cannot be used is refused with a message and not stored, an empty one removes the key, and
// another writer's change shows unless the user is typing there. A status line at the bottom is
// set from outside by whoever uses the options.
#include <QGroupBox>

#include <functional>
#include <vector>

class QFormLayout;
class QLabel;
class QLineEdit;

class SettingsFieldsBox : public QGroupBox {
    Q_OBJECT
public:
    // Why the last text typed was refused; empty otherwise.
    QString inputMessage() const;
    QString status() const;

public slots:
    void setStatus(const QString& text);

protected:
    // Makes a typed text ready to store (a full path, say), or says why it cannot be used.
    using Check = std::function<QString(QString& value)>;

    SettingsFieldsBox(const QString& title, QWidget* parent);
    QFormLayout* form() const { return m_form; }
    QLineEdit* addField(const QString& key, const QString& label, const QString& placeholder, Check check = {});
    // The message and status lines, below the box's own rows.
    void addStatusLines(const QString& statusName, const QString& status);
    // The text as a full path: whoever reads the file may run in another folder.
    static QString fullPath(const QString& path);

private:
    struct Field {
        QLineEdit* edit;
        QString key;
        Check check;
    };
    void commit(const Field& field);
    void refresh();

    QFormLayout* m_form = nullptr;
    std::vector<Field> m_fields;
    QLabel* m_message = nullptr;
    QLabel* m_status = nullptr;
};
