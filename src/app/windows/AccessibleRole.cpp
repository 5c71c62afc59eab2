#include "app/windows/AccessibleRole.h"

#include <QAbstractButton>
#include <QAccessibleWidget>

namespace {

const char* const kRoleProperty = "oqAccessibleRole";

// A checkable push button told as a radio button.
class RadioButtonAccessible : public QAccessibleWidget {
public:
    explicit RadioButtonAccessible(QAbstractButton* button)
        : QAccessibleWidget(button, QAccessible::RadioButton)
    {
    }
    QAbstractButton* button() const { return static_cast<QAbstractButton*>(widget()); }
    QString text(QAccessible::Text t) const override
    {
        QString text = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && text.isEmpty())
            text = button()->text().remove(QLatin1Char('&'));
        return text;
    }
    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.checkable = true;
        state.checked = button()->isChecked();
        return state;
    }
    QStringList actionNames() const override { return button()->isEnabled() ? QStringList{pressAction()} : QStringList{}; }
    void doAction(const QString& name) override
    {
        if (name == pressAction() && button()->isEnabled())
            button()->click();
    }
};

QAccessibleInterface* roleAccessible(const QString&, QObject* object)
{
    const QVariant role = object ? object->property(kRoleProperty) : QVariant();
    if (!role.isValid() || !object->isWidgetType())
        return nullptr;
    if (auto* button = qobject_cast<QAbstractButton*>(object); button && role.toInt() == QAccessible::RadioButton)
        return new RadioButtonAccessible(button);
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Role(role.toInt()));
}

} // namespace

void setAccessibleRole(QWidget* widget, QAccessible::Role role)
{
    QAccessible::installFactory(roleAccessible);
    widget->setProperty(kRoleProperty, int(role));
}
