#pragma once
// Another program's SQLite file: one table of its own, none of ours. Returns its bytes, so a test
// can show the file was left as it was; empty when it could not be made.
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

inline QByteArray writeForeignDatabase(const QString& path)
{
    const QString connection = QStringLiteral("foreign-") + path;
    bool made = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        made = db.open() && QSqlQuery(db).exec(QStringLiteral("CREATE TABLE notes(text TEXT)"));
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    QFile file(path);
    return made && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
