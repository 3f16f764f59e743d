#include "tq2error.h"

#include <QMetaEnum>

QString TQ2Error::toErrid(int code)
{
    const QMetaEnum meta = QMetaEnum::fromType<ERRORCODE>();
    const char *key = meta.valueToKey(code);
    return key ? QString::fromLatin1(key) : QString();
}
