#include "runrecord.h"

QJsonObject RunRecord::toJson() const
{
    return QJsonObject{
        {QStringLiteral("runno"), runno},     {QStringLiteral("msnno"), msnno},
        {QStringLiteral("caption"), caption}, {QStringLiteral("action"), action},
        {QStringLiteral("kind"), kind},       {QStringLiteral("started"), started},
        {QStringLiteral("ended"), ended},     {QStringLiteral("outcome"), outcome},
        {QStringLiteral("error"), error},     {QStringLiteral("bytes"), bytes},
        {QStringLiteral("rate"), rate},       {QStringLiteral("base"), base},
        {QStringLiteral("target"), target},
        {QStringLiteral("prunedsource"), prunedSource}, {QStringLiteral("prunedtarget"), prunedTarget},
        {QStringLiteral("target"), target},   {QStringLiteral("file"), file},
    };
}
