// One connection's bytes through the local server's dispatch into the RPC
// methods, on an engine whose process runner is a fake: no process is ever
// started and the database and event log live in a temporary directory.
//
// Input: the JSON text of a request, optionally followed by a NUL byte, a
// status byte and the output every tool run answers with (the fake runner
// replays it for each command). The request is framed as a datagram and read
// back the way a connection reads it.
#include "fakerunner.h"
#include "fuzzcheck.h"
#include "mxzfsrep.h"
#include "requestrouter.h"
#include "sshlogin.h"
#include "tq2cabinet.h"
#include "tq2journals.h"
#include "tq2localserver.h"
#include "tq2rpcpacket.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

// A fresh engine every so many requests keeps the mission table small.
constexpr int kRequestsPerEngine = 2000;

struct Service {
    explicit Service(const QString &directory)
    {
        engine.setRunner(std::make_shared<FakeRunner>());
        engine.setDatabasePath(directory + QStringLiteral("/zfsrep.db"));
        engine.events().open(directory + QStringLiteral("/tarnlog.db"));
        // zfsrep_hostkey_forget tidies this file after the fake ssh-keygen.
        SshLogin::setKnownHostsFile(directory + QStringLiteral("/zfsrep.known_hosts"));
        TQ2Journals journals;
        FUZZ_CHECK(router.loadConfigure(journals, QJsonObject()));
        server.add(&router);
    }
    MXZfsrep engine;
    RequestRouter router{engine};
    TQ2LocalServer server;
};

QTemporaryDir *directory = nullptr;
std::unique_ptr<Service> service;
int served = 0;

Service &current()
{
    if (!service || served >= kRequestsPerEngine) {
        service.reset();
        QDir(directory->path()).removeRecursively();
        QDir().mkpath(directory->path());
        service = std::make_unique<Service>(directory->path());
        served = 0;
    }
    ++served;
    return *service;
}

QByteArray datagram(const QByteArray &json)
{
    QByteArray out("\0tq\x01\x01", 5);
    const quint32 n = quint32(json.size());
    for (int i = 0; i < 4; ++i)
        out.append(char((n >> (8 * i)) & 0xFF));
    out.append(4, '\0');
    out.append(3, '\xFF');
    return out + json;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    static QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid());
    directory = &dir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const int nul = input.indexOf('\0');
    const QByteArray json = nul < 0 ? input : input.left(nul);
    const QByteArray tail = nul < 0 ? QByteArray() : input.mid(nul + 1);

    Service &service = current();
    auto runner = std::make_shared<FakeRunner>();
    if (!tail.isEmpty())
        runner->respond(QString(), tail.at(0) & 1, tail.mid(1), (tail.at(0) & 1) ? tail.mid(1) : QByteArray());
    service.engine.setRunner(runner);

    QByteArray buffer = datagram(json);
    TQ2RpcPacket request;
    if (request.fromDatagram(buffer) != TQ2RpcPacket::Complete || request.isKeepAlive())
        return 0;
    TQ2Cabinet cabinet;
    QJsonObject response{{QStringLiteral("err"), 9999}};
    service.server.doCall(&response, request.object, &cabinet);
    cabinet.toRetObject(response, false);
    FUZZ_CHECK(response.value(QStringLiteral("err")).isDouble());
    FUZZ_CHECK(runner->spawns().isEmpty());
    // The answer must travel back to the client.
    QByteArray answer = TQ2RpcPacket(response).toDatagram();
    TQ2RpcPacket back;
    FUZZ_CHECK(back.fromDatagram(answer) == TQ2RpcPacket::Complete);
    return 0;
}
