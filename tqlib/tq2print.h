// Console tracing: diagnostic lines on standard output, one block per trace
// point, serialised by one process-wide mutex so lines of concurrent threads
// never mix. PRETTY turns a function signature into the short "place" label of
// a journal entry. Nothing parses this output.
#pragma once

#include <QMutex>
#include <QString>
#include <QVariant>

// The one mutex that guards trace output.
QMutex &PRINTMUTEX();
// Line head: ">>-->HH:mm:ss.zzz file#line => function: ".
void PRINTPOS(const char *file, int line, const char *function);
// "label = ", or "~~ ~~ ~~" when the label's text is empty.
void PRINTNAME(const QVariant &label);
// The value rendered by its type (JSON indented, lists joined, bytes as text).
void PRINT(const QVariant &value);
// PRINT, a line feed and a flush.
void PRINTLN(const QVariant &value);
// "bool MXZfsrep::alload(TQ2Journals&, QJsonObject&) const" at 253 gives
// "MXZfsrep::alload#253". Reentrant; prints nothing.
QString PRETTY(const char *signature, int line);

// The place label of the current function at the current line.
#define TQ2PLACE() PRETTY(Q_FUNC_INFO, __LINE__)

// One whole trace block: lock, head, label, value, unlock.
#define TQ2TRACE(label, value)                                  \
    do {                                                        \
        QMutexLocker tq2TraceLocker(&PRINTMUTEX());             \
        PRINTPOS(__FILE__, __LINE__, __FUNCTION__);             \
        PRINTNAME(QVariant(label));                             \
        PRINTLN(QVariant::fromValue(value));                    \
    } while (0)
