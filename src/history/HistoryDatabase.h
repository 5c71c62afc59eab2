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
    // Creates a missing file, migrates, and moves a damaged file aside to start a new one.
    Write,
    // A missing or damaged file is reported and left alone.
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

private:
    Database(const QString& path, const QString& connection);
    bool prepare(Access access, QSqlError* error, QString* problem);
    bool migrate(QSqlError* error, QString* problem);

    QString m_path;
    QString m_connection;
    QSqlDatabase m_db;
};

} // namespace oq::history
