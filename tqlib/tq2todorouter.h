// Base of every RPC router. A published RPC method is a slot
//   void name(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject)
// found by the request's "cmd" through the meta-object system and invoked
// directly on the calling thread. A router without such a slot asks its
// child routers in turn, depth first. A slot named "__LS__" + command is
// found by doCall, which the local server tries before doSlot. Every router
// answers "help_interfaces", the listing of all published methods.
//
// Thread safety: lookups run on several connection threads at once; the
// child list is guarded by a mutex and iterated on a copy. Methods run on the
// caller's thread and must be safe to run concurrently with themselves.
// Children are not owned and must outlive the router's use of them.
#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMetaMethod>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>
#include <mutex>

class TQ2Cabinet;
class TQ2Journals;

class TQ2TodoRouter : public QObject
{
    Q_OBJECT
public:
    // The argument list every published method has (normalised).
    static const char *const MethodSuffix; // "(QJsonObject*,QJsonObject,TQ2Cabinet*)"

    explicit TQ2TodoRouter(QObject *parent = nullptr);
    ~TQ2TodoRouter() override;

    // Appends `router` unless it is null or already a child.
    void add(TQ2TodoRouter *router);
    // Removes the first occurrence of `router`.
    void del(TQ2TodoRouter *router);
    QList<TQ2TodoRouter *> list() const;

    // Sets "err" = code and, when `message` is not empty, "errmsg".
    void inject(QJsonObject *retObject, int code, const QString &message) const;

    // Help entries (name -> help object) of this router's published methods,
    // then of every child's, depth first; names already in `out` are kept.
    // Calls each method with {"help": 1}.
    void allInterfaces(QJsonObject &out);
    // Names of the published methods of this router and its children, depth
    // first, without calling them.
    void allInterfaces(QStringList &out) const;

    virtual QString routerId() const;
    // Receives the service configuration; the base accepts it and does nothing.
    virtual bool loadConfigure(TQ2Journals &journals, const QJsonObject &config);
    // Invokes the slot named by the trimmed "cmd" here or in a child. True when
    // a method ran (whatever it reported into `envObject`); false for a blank
    // "cmd" (nothing written) or an unknown one ("err" = 9885 in retObject).
    virtual bool doSlot(QJsonObject *retObject, const QJsonObject &cmdObject, TQ2Cabinet *envObject);
    // As doSlot for the slot named "__LS__" + the trimmed "cmd".
    virtual bool doCall(QJsonObject *retObject, const QJsonObject &cmdObject, TQ2Cabinet *envObject);

protected slots:
    // Lists every published method of the tree under "results"; sets code 0.
    void help_interfaces(QJsonObject *retObject, QJsonObject cmdObject, TQ2Cabinet *envObject);

protected:
    QString id;

private:
    // The methods of this router's class with the published argument list,
    // read from the meta-object once (the class of an object never changes).
    struct MethodTable {
        QHash<QString, int> byName;          // name -> index; the most derived class wins
        QVector<QMetaMethod> inIndexOrder;   // every such method, base classes first
        bool hasLsMethods = false;           // any "__LS__" method at all
    };
    const MethodTable &methods() const;

    bool dispatch(const QString &name, QJsonObject *retObject, const QJsonObject &cmdObject,
                  TQ2Cabinet *envObject, bool viaCall);

    mutable std::mutex mutex;
    QList<TQ2TodoRouter *> children;
    mutable std::once_flag tableOnce;
    mutable std::unique_ptr<MethodTable> table;

    // The help_interfaces listing of this router's tree and its compact
    // JSON, valid while no router anywhere has been added or removed since
    // (the listing calls every method with "help", whose answer is its
    // fixed help text).
    std::mutex listingMutex;
    quint64 listingGeneration = 0;
    QJsonObject listing;
    QByteArray listingJson;
};
