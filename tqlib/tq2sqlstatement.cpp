#include "tq2sqlstatement.h"

#include <QJsonValue>
#include <QString>
#include <QVarLengthArray>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Whole numbers within the 32-bit range are bound as integers, so 3.0 is the
// integer 3 while 2.5 and 5e9 stay reals.
bool isInt32(double number)
{
    return number >= std::numeric_limits<qint32>::min()
        && number <= std::numeric_limits<qint32>::max()
        && number == std::trunc(number);
}

void bindValue(sqlite3_stmt *stmt, int index, const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        sqlite3_bind_int64(stmt, index, value.toBool() ? 1 : 0);
        break;
    case QJsonValue::Double: {
        const double number = value.toDouble();
        if (isInt32(number))
            sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(number));
        else
            sqlite3_bind_double(stmt, index, number);
        break;
    }
    case QJsonValue::String: {
        const QByteArray text = value.toString().toUtf8();
        sqlite3_bind_text(stmt, index, text.constData(), text.size(), SQLITE_TRANSIENT);
        break;
    }
    default: // null, array, object, undefined: left NULL
        break;
    }
}

void bindDeclaredDefault(sqlite3_stmt *stmt, int index, const QString &type)
{
    if (type == QLatin1String("string") || type == QLatin1String("text"))
        sqlite3_bind_text(stmt, index, "", 0, SQLITE_STATIC);
    else if (type == QLatin1String("int") || type == QLatin1String("integer")
             || type == QLatin1String("double"))
        sqlite3_bind_int64(stmt, index, 0);
}

} // namespace

TQ2SqlStatement::~TQ2SqlStatement()
{
    sqlite3_finalize(m_stmt);
}

int TQ2SqlStatement::prepare(sqlite3 *db, const char *sql, int bytes, const char **tail)
{
    sqlite3_finalize(m_stmt);
    m_stmt = nullptr;
    return sqlite3_prepare_v2(db, sql, bytes, &m_stmt, tail);
}

void TQ2SqlStatement::bind(const QJsonObject &values, const QJsonObject &declared)
{
    sqlite3_clear_bindings(m_stmt);
    const int count = sqlite3_bind_parameter_count(m_stmt);
    for (int index = 1; index <= count; ++index) {
        const char *rawName = sqlite3_bind_parameter_name(m_stmt, index);
        if (!rawName || !rawName[0])
            continue; // a nameless "?" parameter has no value to look up
        const QString name = QString::fromUtf8(rawName + 1);
        const auto given = values.constFind(name);
        if (given != values.constEnd()) {
            bindValue(m_stmt, index, given.value());
            continue;
        }
        const auto typed = declared.constFind(name);
        if (typed != declared.constEnd())
            bindDeclaredDefault(m_stmt, index, typed.value().toString());
    }
}

int TQ2SqlStatement::step()
{
    return sqlite3_step(m_stmt);
}

void TQ2SqlStatement::reset()
{
    sqlite3_reset(m_stmt);
}

namespace {

QString columnKey(sqlite3_stmt *stmt, int column)
{
    return QString::fromUtf8(sqlite3_column_name(stmt, column)).toLower();
}

} // namespace

QJsonObject TQ2SqlStatement::row() const
{
    QJsonObject row;
    const int columns = sqlite3_column_count(m_stmt);
    for (int column = 0; column < columns; ++column) {
        const QString key = columnKey(m_stmt, column);
        switch (sqlite3_column_type(m_stmt, column)) {
        case SQLITE_FLOAT:
            row.insert(key, sqlite3_column_double(m_stmt, column));
            break;
        case SQLITE_TEXT: {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
            row.insert(key, QString::fromUtf8(text, sqlite3_column_bytes(m_stmt, column)));
            break;
        }
        case SQLITE_INTEGER:
            row.insert(key, sqlite3_column_int(m_stmt, column));
            break;
        default: // SQLITE_NULL, SQLITE_BLOB
            break;
        }
    }
    return row;
}

void TQ2SqlStatement::readColumns()
{
    const int columns = sqlite3_column_count(m_stmt);
    m_blank = QJsonObject();
    for (int column = 0; column < columns; ++column)
        m_blank.insert(columnKey(m_stmt, column), QJsonValue());
    m_slot.assign(size_t(columns), 0);
    for (int column = 0; column < columns; ++column)
        m_slot[size_t(column)] = int(m_blank.constFind(columnKey(m_stmt, column)) - m_blank.constBegin());
}

QJsonObject TQ2SqlStatement::filledRow() const
{
    QJsonObject row = m_blank;
    const QJsonObject::iterator first = row.begin(); // the one copy of the blank row
    QVarLengthArray<bool, 32> given(m_blank.size());
    std::fill(given.begin(), given.end(), false);
    const int columns = std::min(int(m_slot.size()), sqlite3_column_count(m_stmt));
    for (int column = 0; column < columns; ++column) {
        const int slot = m_slot[size_t(column)];
        switch (sqlite3_column_type(m_stmt, column)) {
        case SQLITE_FLOAT:
            (first + slot).value() = sqlite3_column_double(m_stmt, column);
            break;
        case SQLITE_TEXT: {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
            (first + slot).value() = QString::fromUtf8(text, sqlite3_column_bytes(m_stmt, column));
            break;
        }
        case SQLITE_INTEGER:
            (first + slot).value() = sqlite3_column_int(m_stmt, column);
            break;
        default: // SQLITE_NULL, SQLITE_BLOB: no key, unless another column gives one
            continue;
        }
        given[slot] = true;
    }
    for (int slot = given.size() - 1; slot >= 0; --slot) {
        if (!given[slot])
            row.erase(row.begin() + slot);
    }
    return row;
}
