#include "tq2todorouter.h"

#include "tq2cabinet.h"
#include "tq2error.h"
#include "tq2utils.h"

#include <QJsonDocument>
#include <QMetaMethod>

#include <atomic>

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
const char kLsPrefix[] = "__LS__";

// Bumped whenever any router's children change, so that cached listings of
// every tree are rebuilt (starts at 1: a listing of generation 0 is none).
std::atomic<quint64> treeGeneration{1};

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
    ++treeGeneration;
}

void TQ2TodoRouter::del(TQ2TodoRouter *router)
{
    std::lock_guard<std::mutex> lock(mutex);
    children.removeOne(router);
    ++treeGeneration;
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

const TQ2TodoRouter::MethodTable &TQ2TodoRouter::methods() const
{
    std::call_once(tableOnce, [this] {
        auto built = std::make_unique<MethodTable>();
        const QMetaObject *meta = metaObject();
        for (int i = 0; i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            if (!method.methodSignature().endsWith(MethodSuffix))
                continue;
            const QString name = QString::fromLatin1(method.name());
            built->byName.insert(name, i);
            built->inIndexOrder.append(method);
            built->hasLsMethods = built->hasLsMethods || name.startsWith(QLatin1String(kLsPrefix));
        }
        table = std::move(built);
    });
    return *table;
}

bool TQ2TodoRouter::doSlot(QJsonObject *retObject, const QJsonObject &cmdObject, TQ2Cabinet *envObject)
{
    const QString name = cmdObject.value(QLatin1String("cmd")).toString().trimmed();
    if (name.isEmpty())
        return false;
    return dispatch(name, retObject, cmdObject, envObject, false);
}

bool TQ2TodoRouter::doCall(QJsonObject *retObject, const QJsonObject &cmdObject, TQ2Cabinet *envObject)
{
    const QString name = cmdObject.value(QLatin1String("cmd")).toString().trimmed();
    if (name.isEmpty())
        return false;
    return dispatch(name, retObject, cmdObject, envObject, true);
}

bool TQ2TodoRouter::dispatch(const QString &name, QJsonObject *retObject, const QJsonObject &cmdObject,
                             TQ2Cabinet *envObject, bool viaCall)
{
    QJsonObject scratch; // methods may always write through retObject
    if (!retObject)
        retObject = &scratch;
    // The lookup runs for every request on every router of the tree: a hash
    // of the class's methods built once, rather than the meta-object's
    // search by signature text.
    const MethodTable &own = methods();
    int index = -1;
    if (!viaCall)
        index = own.byName.value(name, -1);
    else if (own.hasLsMethods)
        index = own.byName.value(QLatin1String(kLsPrefix) + name, -1);
    if (index >= 0) {
        invoke(this, metaObject()->method(index), retObject, cmdObject, envObject);
        return true;
    }
    for (TQ2TodoRouter *child : list()) {
        if (viaCall ? child->doCall(retObject, cmdObject, envObject)
                    : child->doSlot(retObject, cmdObject, envObject))
            return true;
    }
    retObject->insert(QLatin1String("err"), TQ2Error::ERR_MISSING);
    return false;
}

void TQ2TodoRouter::allInterfaces(QJsonObject &out)
{
    for (const QMetaMethod &method : methods().inIndexOrder) {
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
    for (const QMetaMethod &method : methods().inIndexOrder) {
        const QString name = QString::fromLatin1(method.name());
        if (!out.contains(name) && isPublished(method))
            out.append(name);
    }
    for (const TQ2TodoRouter *child : list())
        child->allInterfaces(out);
}

void TQ2TodoRouter::help_interfaces(QJsonObject *retObject, QJsonObject, TQ2Cabinet *envObject)
{
    QJsonObject out;
    QByteArray json;
    {
        std::lock_guard<std::mutex> lock(listingMutex);
        const quint64 generation = treeGeneration.load();
        if (listingGeneration != generation) {
            static const QJsonObject ownHelp = QJsonDocument::fromJson(QByteArray(kHelpInterfaces)).object();
            listing = QJsonObject{{QStringLiteral("help_interfaces"), ownHelp}};
            allInterfaces(listing);
            listingJson = QJsonDocument(listing).toJson(QJsonDocument::Compact);
            listingGeneration = generation;
        }
        out = listing;
        json = listingJson;
    }
    if (retObject)
        retObject->insert(QStringLiteral("results"), out);
    if (envObject) {
        envObject->setErr(TQ2Error::ERR_SUCCEED, QString());
        if (retObject)
            envObject->setResultsJson(json);
    }
}
