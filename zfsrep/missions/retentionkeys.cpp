#include "retentionkeys.h"

#include "retentionrule.h"

#include <QJsonValue>

namespace RetentionKeys {

QString problem(const QJsonObject &fields)
{
    for (const QString &key : {QStringLiteral("keepsource"), QStringLiteral("keeptarget")}) {
        const QJsonValue value = fields.value(key);
        if (value.isUndefined() || value.isNull())
            continue;
        const QString prefix = QStringLiteral("参数无效: ") + key + QStringLiteral(": ");
        if (!value.isString())
            return prefix + QStringLiteral("a rule text such as \"10,1d30d\"");
        RetentionRule rule;
        QString error;
        if (!RetentionRule::parse(value.toString(), rule, error))
            return prefix + error;
    }
    const QJsonValue carry = fields.value(QStringLiteral("carry"));
    if (!carry.isUndefined() && !carry.isNull()) {
        const QString text = carry.isString() ? carry.toString().trimmed() : QStringLiteral("?");
        if (!text.isEmpty() && text != QLatin1String("all") && text != QLatin1String("series"))
            return QStringLiteral("参数无效: carry: \"%1\" (all or series)").arg(text.left(40));
    }
    return QString();
}

} // namespace RetentionKeys
