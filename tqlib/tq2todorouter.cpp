#include "tq2todorouter.h"

#include "tq2cabinet.h"
#include "tq2error.h"
#include "tq2utils.h"

#include <QJsonDocument>
#include <QMetaMethod>

const char *const TQ2TodoRouter::MethodSuffix = "(QJsonObject*,QJsonObject,TQ2Cabinet*)";

namespace {

const char kHelpInterfaces[] =
    R"json({"cmd": "help_interfaces", "comment": "获取接口的使用说明",)json"
    R"json( "params": {"cmd": "接口名(可选)"},)json"
    R"json( "params-comment": {"cmd": "可选的接口名, 不指定时显示所有接口的使用说明"}})json";
const char kNoParams[] = "本接口没有参数";
const char kTokenRequired[] = "登录成功时返回的token";
const char kTokenOptional[] = "允许不传token，但已登录时建议传入";
const char kNoComment[] = "<<此接口没有提供使用说明>>";

bool isPublished(const QMetaMethod &method)
{
    return !method.name().startsWith('_')
           && method.methodSignature().endsWith(TQ2TodoRouter::MethodSuffix);
}

void invoke(QObject *router, const QMetaMethod &method, QJsonObject *retObject,
            const QJsonObject &cmdObject, TQ2Cabinet *envObject)
{
    method.invoke(router, Qt::DirectConnection, Q_ARG(QJsonObject *, retObject),
                  Q_ARG(QJsonObject, cmdObject), Q_ARG(TQ2Cabinet *, envObject));
}

} // namespace

TQ2TodoRouter::TQ2TodoRouter(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<TQ2Cabinet *>("TQ2Cabinet*");
}

TQ2TodoRouter::~TQ2TodoRouter() = default;

void TQ2TodoRouter::add(TQ2TodoRouter *router)
{
    if (!router || router == this)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    if (!children.contains(router))
        children.append(router);
}

void TQ2TodoRouter::del(TQ2TodoRouter *router)
{
    std::lock_guard<std::mutex> lock(mutex);
    children.removeOne(router);
}

QList<TQ2TodoRouter *> TQ2TodoRouter::list() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return children;
}

void TQ2TodoRouter::inject(QJsonObject *retObject, int code, const QString &message) const
{
    if (!retObject)
        return;
    retObject->insert(QStringLiteral("err"), code);
    if (!message.isEmpty())
        retObject->insert(QStringLiteral("errmsg"), message);
}

QString TQ2TodoRouter::routerId() const { return id; }

bool TQ2TodoRouter::loadConfigure(TQ2Journals &, const QJsonObject &) { return true; }

bool TQ2TodoRouter::doSlot(QJsonObject *retObject, const QJsonObject &cmdObject, TQ2Cabinet *envObject)
{
    const QString name = cmdObject.value(QStringLiteral("cmd")).toString().trimmed();
    if (name.isEmpty())
        return false;
    return dispatch(name, retObject, cmdObject, envObject, false);
}

bool TQ2TodoRouter::doCall(QJsonObject *retObject, const QJsonObject &cmdObject, TQ2Cabinet *envObject)
{
    const QString name = cmdObject.value(QStringLiteral("cmd")).toString().trimmed();
    if (name.isEmpty())
        return false;
    return dispatch(QStringLiteral("__LS__") + name, retObject, cmdObject, envObject, true);
}

bool TQ2TodoRouter::dispatch(const QString &method, QJsonObject *retObject, const QJsonObject &cmdObject,
                             TQ2Cabinet *envObject, bool viaCall)
{
    QJsonObject scratch; // methods may always write through retObject
    if (!retObject)
        retObject = &scratch;
    const QByteArray signature = method.toUtf8() + MethodSuffix;
    const int index = metaObject()->indexOfMethod(signature.constData());
    if (index >= 0) {
        invoke(this, metaObject()->method(index), retObject, cmdObject, envObject);
        return true;
    }
    for (TQ2TodoRouter *child : list()) {
        if (viaCall ? child->doCall(retObject, cmdObject, envObject)
                    : child->doSlot(retObject, cmdObject, envObject))
            return true;
    }
    retObject->insert(QStringLiteral("err"), TQ2Error::ERR_MISSING);
    return false;
}

void TQ2TodoRouter::allInterfaces(QJsonObject &out)
{
    const QMetaObject *meta = metaObject();
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        const QString name = QString::fromLatin1(method.name());
        if (out.contains(name) || !isPublished(method))
            continue;
        QJsonObject help;
        TQ2Cabinet scratch;
        invoke(this, method, &help, QJsonObject{{QStringLiteral("help"), 1}}, &scratch);
        if (toBool(help.value(QStringLiteral("unpublished"))))
            continue;
        if (help.contains(QStringLiteral("comment"))) {
            if (!help.contains(QStringLiteral("params")))
                help.insert(QStringLiteral("params-comment"), QString::fromUtf8(kNoParams));
            if (help.contains(QStringLiteral("token"))) {
                help.insert(QStringLiteral("token"), QString::fromUtf8(kTokenRequired));
                help.insert(QStringLiteral("token-comment"), QString::fromUtf8(kTokenRequired));
            } else {
                help.insert(QStringLiteral("token-comment"), QString::fromUtf8(kTokenOptional));
            }
        } else {
            help = QJsonObject{{QStringLiteral("comment"), QString::fromUtf8(kNoComment)}};
        }
        help.insert(QStringLiteral("cmd"), name);
        out.insert(name, help);
    }
    for (TQ2TodoRouter *child : list())
        child->allInterfaces(out);
}

void TQ2TodoRouter::allInterfaces(QStringList &out) const
{
    const QMetaObject *meta = metaObject();
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        const QString name = QString::fromLatin1(method.name());
        if (!out.contains(name) && isPublished(method))
            out.append(name);
    }
    for (const TQ2TodoRouter *child : list())
        child->allInterfaces(out);
}

void TQ2TodoRouter::help_interfaces(QJsonObject *retObject, QJsonObject, TQ2Cabinet *envObject)
{
    QJsonObject out{{QStringLiteral("help_interfaces"),
                     QJsonDocument::fromJson(QByteArray(kHelpInterfaces)).object()}};
    allInterfaces(out);
    if (retObject)
        retObject->insert(QStringLiteral("results"), out);
    if (envObject)
        envObject->setErr(TQ2Error::ERR_SUCCEED, QString());
}
