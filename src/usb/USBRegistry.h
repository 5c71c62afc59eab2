#pragma once
// The USB device registry as the monitor sees it. Devices that match the criteria arrive through
// one first-match subscription that is read like an iterator; a reported device can be watched for
// general-interest messages (above all its termination); a device attached before start can be
// opened, made to re-enumerate and closed. Every status is 0 on success.
//
// This class keeps the bookkeeping that every registry shares (handles, the arrival queue, the
// interest subscriptions, open state); a concrete registry only feeds it attachments and
// detachments from its own source (udev, the simulated bus) through attach() and detach().
// Everything runs on the thread that created the registry; deliveries go through its event loop.
#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>

class USBRegistry : public QObject {
    Q_OBJECT
public:
    using Service = uint32_t; // one handle on one matched device; 0 is none
    using Iterator = uint32_t;
    using Subscription = uint32_t;
    using Status = int32_t;
    using ArrivalCallback = std::function<void(Iterator)>;
    using InterestCallback = std::function<void(Service service, uint32_t message, quintptr argument)>;

    // The class of whole USB devices (as opposed to their interfaces).
    static constexpr const char* kDeviceClass = "usb_device";

    // General-interest messages.
    static constexpr uint32_t MessageServiceIsTerminated = 0xE0000010;
    static constexpr uint32_t MessageServicePropertyChange = 0xE0000130;

    // Failure statuses.
    static constexpr Status StatusBadArgument = Status(0xE00002C2);
    static constexpr Status StatusNoDevice = Status(0xE00002C0);
    static constexpr Status StatusExclusiveAccess = Status(0xE00002C5);
    static constexpr Status StatusNotOpen = Status(0xE00002CD);
    static constexpr Status StatusNotFound = Status(0xE00002F0);
    static constexpr Status StatusNoInterface = Status(0x80004002); // negative result code

    // What a registry knows about one attached device.
    struct Entry {
        QString path; // identity within the registry: the sysfs path, a simulated slot
        QString deviceClass;
        int32_t idVendor = 0;
        int32_t idProduct = 0;
        std::optional<uint64_t> entryID; // the same for the arrival and the removal of one attachment
        std::optional<uint32_t> locationID;
        std::optional<QString> name;
    };

    // The steps that can fail; a registry may make any of them fail (see fault()).
    enum class Step { EntryID, Name, PlugIn, QueryInterface, LocationID, Open, ReEnumerate, Close, Interest };

    explicit USBRegistry(QObject* parent = nullptr);
    ~USBRegistry() override;

    // Sets the criteria: device class, vendor and product. False when they cannot be made.
    virtual bool createMatching(const QString& deviceClass, int32_t idVendor, int32_t idProduct);
    // Subscribes to first matches. The iterator yields the devices attached already; the callback
    // runs on the event loop when more devices match, but only after the iterator was read to its end.
    Iterator addMatchingNotification(ArrivalCallback callback);
    // The next matched device, or 0 at the end. The caller releases every service it is given.
    Service iteratorNext(Iterator iterator);

    Status entryID(Service service, uint64_t* id);
    Status entryName(Service service, QString* name);
    Status createPlugIn(Service service);
    // A result code: negative on failure.
    Status queryInterface(Service service);
    Status locationID(Service service, uint32_t* location);
    // Exclusive: a device open through one service cannot be opened again until closed or detached.
    Status open(Service service);
    // Ends this attachment; the device arrives again shortly after. The device must be open.
    Status reEnumerate(Service service, uint32_t options);
    Status close(Service service);
    // The subscription keeps the service's data alive until it is released.
    Status addInterestNotification(Service service, InterestCallback callback, Subscription* subscription);
    void releaseSubscription(Subscription subscription);
    void releaseService(Service service);

    // Handles still held (services and subscriptions), for leak checks.
    size_t handleCount() const { return m_services.size() + m_subscriptions.size(); }

protected:
    // A device appeared; it is queued as an arrival when it matches the criteria. The same
    // attachment announced again is ignored.
    void attach(const Entry& entry);
    // A device left: its watchers are told it is terminated.
    void detach(const QString& path);
    // Any other general-interest message for the watchers of an attached device.
    void post(const QString& path, uint32_t message, quintptr argument = 0);
    bool isAttached(const QString& path) const { return m_attached.contains(path); }

    // Called once by addMatchingNotification: attach the devices present now.
    virtual void enumerateAttached() {}
    // A status other than 0 makes that step fail; the default never fails.
    virtual Status fault(Step) const { return 0; }

private:
    struct ServiceRecord {
        Entry entry;
        int references = 1;
    };
    struct SubscriptionRecord {
        Service service = 0;
        InterestCallback callback;
    };

    bool matches(const Entry& entry) const;
    uint32_t newHandle();
    const Entry* entryFor(Service service) const;
    template <typename T>
    Status read(Service service, Step step, std::optional<T> Entry::*field, T* out) const;
    void retain(Service service);
    void drop(const QString& path);
    void deliver(const QString& path, uint32_t message, quintptr argument);
    void armIfPending();

    struct Criteria {
        QString deviceClass;
        int32_t idVendor = 0;
        int32_t idProduct = 0;
    };
    std::optional<Criteria> m_criteria;
    std::map<QString, Entry> m_attached;
    std::map<QString, Entry> m_reEnumerating;
    std::map<Service, QString> m_openServices; // outlives a released service: the device stays open
    std::map<Service, ServiceRecord> m_services;
    std::map<Subscription, SubscriptionRecord> m_subscriptions;
    std::deque<Entry> m_pending;
    Iterator m_iterator = 0;
    ArrivalCallback m_arrival;
    bool m_armed = false;
    bool m_firePosted = false;
    uint32_t m_nextHandle = 0xA003;
};
