#pragma once
// The role assistive technology is told for a widget, where Qt's own is not the right one: a pair
// of exclusive push buttons are radio buttons, a plot is a chart, a label that tells of a change
// is a notification.
#include <QAccessible>

class QWidget;

// Call before anything else is set on `widget`: its first change already makes its accessible
// interface, which is then kept.
void setAccessibleRole(QWidget* widget, QAccessible::Role role);
