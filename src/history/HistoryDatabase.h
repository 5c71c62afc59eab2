#pragma once
// The history database file: where it lives, opening it (WAL, the schema brought up to date by
// forward migrations), and telling a damaged file from a full disk. One Database is one Qt SQL
// connection and must be used on the thread that opened it.
#include <QSqlDatabase>
#include <QString>

#include <memory>
#include <optional>

class QSqlError;

namespace oq::history {

// $XDG_DATA_HOME/oq-online/history.sqlite3, with ~/.local/share for an unset XDG_DATA_HOME.
QString defaultPath();

// The schema version this build writes.
int schemaVersion();

enum class Access {
    // Creates a missing file, migrates, and moves a damaged file aside to start a new one. Another
    // program's database is refused and left as it is.
    Write,
    // Read-only. A missing, damaged, empty or foreign file is reported and left alone.
    Read,
};

class Database {
public:
    // Nothing, with `problem` set, when the file cannot be used. `movedAside` receives where a
    // damaged file was kept (Write only), or stays empty.
    static std::unique_ptr<Database> open(const QString& path, Access access, QString* problem,
        QString* movedAside = nullptr);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    QSqlDatabase& sql() { return m_db; }
    const QString& path() const { return m_path; }

    // The id of the counter with `serial`; made when new and `create` is set. Nothing when it is
    // unknown or could not be made (`error` set).
    std::optional<qint64> counterId(const QString& serial, bool create, QSqlError* error = nullptr);
    // Runs one statement; false with `error` set when it failed.
    bool exec(const QString& statement, QSqlError* error = nullptr);

    // The file is not a database, or a damaged one.
    static bool isDamage(const QSqlError& error);
    // The statement's content was refused (a constraint, a value out of range), not the file.
    static bool isRefusal(const QSqlError& error);
    static QString describe(const QSqlError& error);
    // The key a counter is stored under: the empty text for one that names no serial.
    static QString storedSerial(const QString& serial);

private:
    enum class Ownership { Empty, Ours, Foreign };
    Database(const QString& path, const QString& connection, Access access, bool immutable);
    bool prepare(Access access, QSqlError* error, QString* problem);
    std::optional<Ownership> isOurs(QSqlError* error, int* version);
    bool migrate(QSqlError* error, QString* problem);
    // exec(), asked again for up to five seconds while the file is busy.
    bool execWaiting(const QString& statement, QSqlError* error);

    QString m_path;
    QString m_connection;
    QSqlDatabase m_db;
};

} // namespace oq::history
