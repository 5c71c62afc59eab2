#pragma once
// A device that records the operations sent to it and lets a test drive its state.
#include <QStringList>

#include "device/OQDevice.h"

class TestDevice : public OQDevice {
    Q_OBJECT
public:
    explicit TestDevice(bool usb = true)
        : m_usb(usb)
    {
        setConnected(true);
        setBusy(true);
    }

    bool usbConnected() const override { return m_usb; }
    void startRateMode() override { calls << QStringLiteral("startRateMode"); }
    void startDoseMode() override { calls << QStringLiteral("startDoseMode"); }
    void stopOnlineMode(std::function<void()> completion) override
    {
        calls << QStringLiteral("stopOnlineMode");
        pendingStop = std::move(completion);
    }

    // Runs the completion of the last stopOnlineMode, as the device does once the counter stopped.
    void completeStop()
    {
        if (auto c = std::exchange(pendingStop, nullptr))
            c();
    }

    using OQDevice::setBusy;
    using OQDevice::setConnected;
    using OQDevice::setError;
    using OQDevice::setFailed;
    using OQDevice::setOnlineMode;
    using OQDevice::setOnlineUnit;
    using OQDevice::setOnlineValue;
    using OQDevice::setProgress;

    QStringList calls;
    std::function<void()> pendingStop;

private:
    bool m_usb;
};
