#include "app/preferences/WebPageBox.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

#include "app/preferences/SwitchPreference.h"
#include "platform/SafeFile.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "web/WebServer.h"

namespace {
QString text(const char* key) { return oq::localized(QString::fromLatin1(key)); }
} // namespace

WebPageBox::WebPageBox(QWidget* parent)
    : QGroupBox(text("preferences.web.group"), parent)
{
    namespace keys = oq::settings;
    auto* form = new QFormLayout(this);
    m_switch = makeSwitchPreference(keys::WebPage, text("preferences.web.switch"), false, this);
    form->addRow(m_switch);
    m_listen = new QLineEdit(this);
    m_listen->setObjectName(keys::WebListen);
    m_listen->setPlaceholderText(text("preferences.web.listen_placeholder"));
    form->addRow(text("preferences.web.listen"), m_listen);
    m_tokenFile = new QLineEdit(this);
    m_tokenFile->setObjectName(keys::WebTokenFile);
    m_tokenFile->setPlaceholderText(text("preferences.web.token_placeholder"));
    form->addRow(text("preferences.web.token"), m_tokenFile);
    m_message = new QLabel(this);
    m_message->setWordWrap(true);
    m_message->setVisible(false);
    form->addRow(m_message);
    m_status = new QLabel(text("preferences.web.off"), this);
    m_status->setWordWrap(true);
    m_status->setObjectName(QStringLiteral("WebStatus"));
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(m_status);

    connect(m_listen, &QLineEdit::editingFinished, this, [this] { commit(m_listen, oq::settings::WebListen); });
    connect(m_tokenFile, &QLineEdit::editingFinished, this, [this] { commit(m_tokenFile, oq::settings::WebTokenFile); });
    connect(&oq::SettingsStore::shared(), &oq::SettingsStore::changed, this, [this](const QString& key) {
        if (key == oq::settings::WebListen || key == oq::settings::WebTokenFile)
            refresh();
    });
    refresh();
}

QString WebPageBox::inputMessage() const { return m_message->text(); }
QString WebPageBox::status() const { return m_status->text(); }

void WebPageBox::setStatus(const QString& text)
{
    m_status->setText(text);
    m_status->setAccessibleName(text);
}

void WebPageBox::refresh()
{
    auto& store = oq::SettingsStore::shared();
    for (const auto& [field, key] : {std::pair{m_listen, oq::settings::WebListen}, std::pair{m_tokenFile, oq::settings::WebTokenFile}}) {
        if (!(field->hasFocus() && field->isModified()))
            field->setText(store.stringForKey(key));
        field->setModified(false);
    }
}

void WebPageBox::commit(QLineEdit* field, const QString& key)
{
    if (!field->isModified())
        return;
    field->setModified(false);
    QString value = field->text().trimmed();
    QString why;
    if (!value.isEmpty()) {
        if (key == oq::settings::WebListen) {
            QString address;
            quint16 port = 0;
            if (!oq::web::parseListen(value, &address, &port))
                why = text("preferences.web.bad_listen").arg(value);
        } else {
            // The token is read again at each start, wherever the program was started: kept by its full path.
            if (value.startsWith(QLatin1String("~/")))
                value = oq::files::homeFolder() + value.mid(1);
            value = QFileInfo(value).absoluteFilePath();
        }
    }
    m_message->setText(why);
    m_message->setVisible(!why.isEmpty());
    if (!why.isEmpty())
        return;
    auto& store = oq::SettingsStore::shared();
    if (value.isEmpty())
        store.removeObject(key);
    else
        store.setString(key, value);
}

// Its own moc output, so programs without windows that link this library do not take it in.
#include "moc_WebPageBox.cpp"
