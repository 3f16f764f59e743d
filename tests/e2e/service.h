// The real zfsrep binary run inside the testbed, and zfsrepctl calls to it.
#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>

#include <memory>

class Service
{
public:
    // Writes a configuration file with `config` and starts
    // `zfsrep --cfg FILE` (with `extraArgs`). Does not wait.
    void start(const QJsonObject &config, const QStringList &extraArgs = {});
    // Starts zfsrep with exactly these arguments.
    void startWithArgs(const QStringList &args);
    // Waits until the socket answers help_interfaces.
    bool waitUntilServing(int timeoutMs = 15000);
    // Sends `signal` and waits for the exit; the exit code, or -1 when it
    // did not end in time.
    int stop(int signal, int timeoutMs = 15000);
    // Waits for the process to end by itself.
    int waitForExit(int timeoutMs = 15000);
    bool isRunning() const;
    void signal(int signal);
    // Everything it printed so far.
    QByteArray output();

    QString socket() const { return socketPath; }
    // The service's process id, 0 when it does not run.
    qint64 pid() const { return process ? process->processId() : 0; }

    struct Call {
        int exitCode = -1;
        QJsonObject response;
    };
    // zfsrepctl --socket SOCKET CMD --json PARAMS
    Call ctl(const QString &cmd, const QJsonObject &params = QJsonObject()) const;

    // Removes the service's database, event log and socket so a test starts
    // from an empty appliance.
    static void resetState();

    ~Service();

private:
    std::unique_ptr<QProcess> process;
    QString socketPath = QStringLiteral("/tarn/run/zfsrep-e2e.sock");
    QByteArray printed;
};
