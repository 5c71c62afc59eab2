#pragma once
// printf-style formatting for log calls, with "%@" for any object's description.
#include <QByteArray>
#include <QString>
#include <QVariant>

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace oq {
class ErrorRecord;
}

// One argument of a log format, kept with enough type to honour its conversion.
struct LGArg {
    enum Kind { Int, UInt, Double, Pointer, Text } kind = Text;
    long long i = 0;
    unsigned long long u = 0;
    double d = 0;
    const void* p = nullptr;
    QString text;

    LGArg(bool v) : kind(Int), i(v ? 1 : 0), text(v ? QStringLiteral("YES") : QStringLiteral("NO")) {}
    template <std::signed_integral T> LGArg(T v) : kind(Int), i(v), text(QString::number(v)) {}
    template <std::unsigned_integral T> LGArg(T v) : kind(UInt), u(v), text(QString::number(v)) {}
    template <std::floating_point T> LGArg(T v) : kind(Double), d(v), text(QString::number(double(v), 'g', 17)) {}
    LGArg(const char* s) : kind(Text), text(s ? QString::fromUtf8(s) : QStringLiteral("(null)")) {}
    LGArg(char* s) : LGArg(static_cast<const char*>(s)) {}
    LGArg(const QString& s) : kind(Text), text(s) {}
    LGArg(const QByteArray& s) : kind(Text), text(QString::fromUtf8(s)) {}
    LGArg(const std::string& s) : kind(Text), text(QString::fromStdString(s)) {}
    LGArg(std::string_view s) : kind(Text), text(QString::fromUtf8(s.data(), qsizetype(s.size()))) {}
    LGArg(const QVariant& v) : kind(Text), text(v.isValid() ? v.toString() : QStringLiteral("(null)")) {}
    LGArg(std::nullptr_t) : kind(Pointer), text(QStringLiteral("(null)")) {}
    LGArg(const oq::ErrorRecord& e);
    // Any other pointer: its address for %p, and "(null)" or the address for %@.
    template <typename T>
        requires(!std::is_same_v<std::remove_cv_t<T>, char>)
    LGArg(T* v) : kind(Pointer), p(v), text(v ? QStringLiteral("0x%1").arg(quintptr(v), 0, 16) : QStringLiteral("(null)")) {}
    // Objects that describe themselves.
    template <typename T>
        requires requires(const T& t) { { t.description() } -> std::convertible_to<QString>; }
    LGArg(const T& v) : kind(Text), text(v.description()) {}
};

// Formats `format` with `args`. Conversions: %@ %s %d %i %u %ld %lu %lld %llu %x %X %o %c %f %e %g
// %p %% with flags, width and precision. A missing argument prints nothing; surplus arguments are ignored.
QString LGFormat(const char* format, std::initializer_list<LGArg> args);
