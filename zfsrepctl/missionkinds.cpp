#include "missionkinds.h"

namespace MissionKinds {

namespace {

struct Kind {
    const char *flag;
    const char *companion;
    const char *word;
};
const Kind kKinds[] = {{"", "", "mission"},
                       {"--send", "--to", "send"},
                       {"--pull", "--into", "pull"},
                       {"--export", "--dir", "export"},
                       {"--restore", "--into", "restore"},
                       {"--mirror", "--into", "mirror"}};

const Kind &kindOf(int action) { return kKinds[action >= 1 && action <= kLastAction ? action : 0]; }

int bit(int action) { return 1 << action; }

// Which kinds a flag belongs to (0: every kind).
int kindMask(const QString &flag)
{
    if (flag == QLatin1String("--to"))
        return bit(1);
    if (flag == QLatin1String("--dir"))
        return bit(3);
    // A hook runs around the mission's own snapshot on this machine.
    if (flag == QLatin1String("--hook"))
        return bit(1) | bit(3);
    if (flag == QLatin1String("--keep-source"))
        return bit(1) | bit(3) | bit(5);
    if (flag == QLatin1String("--keep-target") || flag == QLatin1String("--carry"))
        return bit(1) | bit(5);
    if (flag == QLatin1String("--into"))
        return bit(2) | bit(4) | bit(5);
    if (flag == QLatin1String("--user") || flag == QLatin1String("--port") || flag == QLatin1String("--password-fd")
        || flag == QLatin1String("--ask-password") || flag == QLatin1String("--no-password"))
        return bit(1) | bit(2) | bit(5);
    return 0;
}

} // namespace

QString kindFlag(int action) { return QLatin1String(kindOf(action).flag); }

QString companionFlag(int action) { return QLatin1String(kindOf(action).companion); }

QString word(int action) { return QLatin1String(kindOf(action).word); }

QString kindFlagList()
{
    QStringList flags;
    for (int action = 1; action <= kLastAction; ++action)
        flags << kindFlag(action);
    return flags.join(QStringLiteral(", "));
}

bool flagsFit(const QStringList &given, int action, QString &error)
{
    for (const QString &flag : given) {
        const int mask = kindMask(flag);
        if (mask != 0 && !(mask & bit(action))) {
            error = QStringLiteral("%1 does not apply to %2 missions").arg(flag, word(action));
            return false;
        }
    }
    return true;
}

} // namespace MissionKinds
