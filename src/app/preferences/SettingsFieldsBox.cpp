#include "app/preferences/SettingsFieldsBox.h"

#include <algorithm>

#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

#include "platform/SafeFile.h"
#include "platform/SettingsStore.h"

SettingsFieldsBox::SettingsFieldsBox(const QString& title, QWidget* parent)
    : QGroupBox(title, parent)
    , m_form(new QFormLayout(this))
{
    connect(&oq::SettingsStore::shared(), &oq::SettingsStore::changed, this, [this](const QString& key) {
        if (std::any_of(m_fields.begin(), m_fields.end(), [&](const Field& f) { return f.key == key; }))
            refresh();
    });
}

QLineEdit* SettingsFieldsBox::addField(const QString& key, const QString& label, const QString& placeholder, Check check)
{
    auto* edit = new QLineEdit(this);
    edit->setObjectName(key);
    edit->setPlaceholderText(placeholder);
    m_form->addRow(label, edit);
    m_fields.push_back({edit, key, std::move(check)});
    connect(edit, &QLineEdit::editingFinished, this, [this, i = m_fields.size() - 1] { commit(m_fields[i]); });
    refresh();
    return edit;
}

void SettingsFieldsBox::addStatusLines(const QString& statusName, const QString& status)
{
    m_message = new QLabel(this);
    m_message->setWordWrap(true);
    m_message->setVisible(false);
    m_form->addRow(m_message);
    m_status = new QLabel(status, this);
    m_status->setWordWrap(true);
    m_status->setObjectName(statusName);
    m_form->addRow(m_status);
}

QString SettingsFieldsBox::inputMessage() const { return m_message->text(); }
QString SettingsFieldsBox::status() const { return m_status->text(); }

void SettingsFieldsBox::setStatus(const QString& text)
{
    m_status->setText(text);
    m_status->setAccessibleName(text);
}

QString SettingsFieldsBox::fullPath(const QString& path)
{
    return QFileInfo(path.startsWith(QLatin1String("~/")) ? oq::files::homeFolder() + path.mid(1) : path).absoluteFilePath();
}

void SettingsFieldsBox::refresh()
{
    auto& store = oq::SettingsStore::shared();
    for (const Field& f : m_fields) {
        // Leave a field alone while the user is typing in it.
        if (!(f.edit->hasFocus() && f.edit->isModified()))
            f.edit->setText(store.stringForKey(f.key));
        f.edit->setModified(false);
    }
}

void SettingsFieldsBox::commit(const Field& field)
{
    if (!field.edit->isModified())
        return;
    field.edit->setModified(false);
    QString value = field.edit->text().trimmed();
    const QString why = value.isEmpty() || !field.check ? QString() : field.check(value);
    m_message->setText(why);
    m_message->setVisible(!why.isEmpty());
    if (!why.isEmpty())
        return;
    auto& store = oq::SettingsStore::shared();
    if (value.isEmpty())
        store.removeObject(field.key);
    else
        store.setString(field.key, value);
}

// Its own moc output, so programs without windows that link this library do not take it in.
#include "moc_SettingsFieldsBox.cpp"
