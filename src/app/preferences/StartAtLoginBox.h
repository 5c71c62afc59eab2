#pragma once
// Preferences > "Start at login": writes or removes the session's autostart entry for this program.
// The entry starts it with --hidden, which keeps the window closed only while "keep running" is on,
// so turning that option off needs no second write here.
#include <QCheckBox>

class StartAtLoginBox : public QCheckBox {
public:
    // `program`: what the entry runs; by default this process's own executable.
    explicit StartAtLoginBox(QWidget* parent = nullptr, QString program = {});

protected:
    // The entry may have changed behind our back (deleted by hand, or by the desktop's own settings).
    void showEvent(QShowEvent* event) override;

private:
    void readEntry();
    void write(bool on);

    QString m_program;
};
