#pragma once
// The preferences window: display unit, alarm thresholds and alarm colours. Every change is
// written to the settings store at once; there is nothing to confirm. Create it once and show it
// again when asked; closing only hides it. Like the colour manager, it follows the shared settings
// store chosen before its construction.
//
// What it needs from the application controller comes in from outside, so this library does not
// depend on the device link or the application:
//   - the unit the current counter displays ("Sv", "rem", or a null text with no counter), through
//     the DeviceUnitSource given at construction; it is asked whenever the window needs a strategy
//     that follows the counter;
//   - every change of the controller's effective display unit, pushed in through setDisplayUnit()
//     (connect the controller's change signal to it, and call it once after creation).
#include <QDialog>
#include <QPointer>

#include <array>
#include <functional>
#include <memory>

#include "readings/NumberFormatter.h"
#include "readings/UnitStrategies.h"

class QAbstractButton;
class QButtonGroup;
class MqttOptionsBox;
class WebPageBox;
class QColorDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QScrollArea;

class LivoraPreferencesWindow : public QDialog {
    Q_OBJECT
    Q_PROPERTY(bool onlyShowBarColors READ onlyShowBarColors WRITE setOnlyShowBarColors)
public:
    using DeviceUnitSource = std::function<QString()>;

    // Tags of the three unit buttons.
    enum UnitTag { DeviceUnitTag = 1, SvUnitTag = 2, RemUnitTag = 3 };

    explicit LivoraPreferencesWindow(DeviceUnitSource deviceUnit = {}, QWidget* parent = nullptr);
    ~LivoraPreferencesWindow() override;

    // The strategy the threshold fields read and write through; never null.
    PreferenceUnitStrategy* unitStrategy() const { return m_unitStrategy.get(); }
    void setUnitStrategy(std::unique_ptr<PreferenceUnitStrategy> strategy);
    // A new strategy matching the unit the counter displays: rem for "rem", otherwise sievert.
    std::unique_ptr<PreferenceUnitStrategy> deviceStrategy() const;

    QRadioButton* deviceUnitButton() const { return m_deviceUnitButton; }
    QRadioButton* svUnitButton() const { return m_svUnitButton; }
    QRadioButton* remUnitButton() const { return m_remUnitButton; }

    // When set, only the bar colours are offered.
    bool onlyShowBarColors() const { return m_onlyShowBarColors; }
    void setOnlyShowBarColors(bool only);

    QLineEdit* thresholdField(oq::Threshold threshold) const { return m_fields[size_t(threshold)].edit; }
    QLabel* thresholdUnitLabel(oq::Threshold threshold) const { return m_fields[size_t(threshold)].unit; }
    // The swatch of one of the nine colour keys, or null.
    QPushButton* colorSwatch(const QString& key) const;
    // Broker, prefix, discovery and the publisher's status line.
    MqttOptionsBox* mqttBox() const { return m_mqttBox; }
    // On/off, address, token file and the server's status line.
    WebPageBox* webBox() const { return m_webBox; }
    // The message shown when a typed threshold was refused; empty otherwise.
    QString inputMessage() const;

    // The colour picker all swatches share; created by the first swatch that opens it.
    static QColorDialog* sharedColorDialog();
    static bool sharedColorDialogExists();

    // Shows the window (again) and brings it to the front.
    void showWindow();

public slots:
    // Reads the stored display unit into the buttons and the strategy; runs once at construction.
    void windowDidLoad();
    void chooseUnit(QAbstractButton* sender);
    // "Sv" or "rem" pick that strategy; anything else follows the counter. The buttons stay as they are.
    void setDisplayUnit(const QString& unit);
    // Closes the shared colour picker if there is one.
    void windowWillClose();
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

signals:
    void unitStrategyChanged();

private:
    struct Field {
        QLineEdit* edit = nullptr;
        QLabel* unit = nullptr;
    };
    struct Swatch {
        QString key;
        QPushButton* button = nullptr;
    };

    void buildUi();
    // Sizes the window to its contents, within the screen it opens on.
    void fitToScreen();
    void refreshField(oq::Threshold threshold);
    void refreshFields();
    void refreshSwatch(const Swatch& swatch);
    void commitField(oq::Threshold threshold);
    void showInputMessage(const QString& message);
    void openColorDialog(const QString& key);
    void settingChanged(const QString& key);
    void restoreDefaultColors();

    DeviceUnitSource m_deviceUnit;
    std::unique_ptr<PreferenceUnitStrategy> m_unitStrategy;
    oq::FloatingPointFormatter m_formatter;
    bool m_onlyShowBarColors = false;

    QButtonGroup* m_unitGroup = nullptr;
    QRadioButton* m_deviceUnitButton = nullptr;
    QRadioButton* m_svUnitButton = nullptr;
    QRadioButton* m_remUnitButton = nullptr;
    std::array<Field, 4> m_fields;
    QLabel* m_message = nullptr;
    std::vector<Swatch> m_swatches;
    std::vector<QWidget*> m_nonBarColorWidgets;
    MqttOptionsBox* m_mqttBox = nullptr;
    WebPageBox* m_webBox = nullptr;
    QScrollArea* m_scroll = nullptr;
    bool m_fitted = false;
    // The key the shared colour picker writes to while this window drives it.
    QString m_activeColorKey;
};
