#include "simzfssend.h"

#include "simargs.h"
#include "simfaults.h"
#include "simsendplan.h"
#include "simstreamformat.h"
#include "simstreamwriter.h"
#include "simtext.h"
#include "simusage.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace zsim {

namespace {

std::string clock()
{
    return SimText::date(time(nullptr), "%H:%M:%S");
}

bool sendStream(SimRoot &root, SimStreamWriter &out, const SimSubstream &s)
{
    using F = SimStreamFormat;
    out.startSum();
    if (!out.write(F::header(F::Begin, s.begin.size()) + s.begin))
        return false;
    uint64_t record = 0;
    for (const auto &path : s.frees)
        if (record++ >= s.skip && !out.write(F::header(F::Free, path.size()) + path))
            return false;
    const std::string dataDir = root.store(*s.pool, *s.ds).snapDataDir(s.to->id) + "/";
    for (const auto &e : s.entries) {
        if (record++ < s.skip)
            continue;
        if (record - 1 == s.skip && s.tailOffset > 0) {
            if (!out.write(F::tailMeta(e.mode, e.mtime, e.size, s.tailOffset, e.path)) ||
                !out.writeFile(dataDir + e.path, e.size - s.tailOffset, s.tailOffset))
                return false;
            continue;
        }
        const uint32_t type = e.type == 'd' ? F::Dir : e.type == 'l' ? F::Symlink : F::File;
        if (!out.write(F::header(type, F::entryLength(e.type, e.size, e.path, e.target)) +
                       F::entryMeta(e.type, e.mode, e.mtime, e.size, e.path, e.target)))
            return false;
        if (e.type == 'f' && !out.writeFile(dataDir + e.path, e.size))
            return false;
    }
    if (!out.write(F::header(F::End, F::kDigestSize)))
        return false;
    return out.write(out.endSum());
}

} // namespace

int SimZfsSend::run(SimRoot &root, const std::vector<std::string> &args)
{
    enum { Raw = 1001, Props, DryRun, Verbose, Parsable, Replicate };
    SimArgs parser(args);
    std::string error;
    const std::vector<SimLongOpt> longs = {
        {"raw", 'w', false},       {"props", 'p', false},     {"dryrun", 'n', false},
        {"verbose", 'v', false},   {"parsable", 'P', false},  {"replicate", 'R', false},
        {"compressed", 'c', false}, {"large-block", 'L', false}, {"embed", 'e', false},
        {"holds", 'h', false},     {"backup", 'b', false},    {"dedup", 'D', false},
    };
    if (!parser.parse("DLPRbcehnpvwi:I:t:", longs, error))
        return SimUsage::fail("zfs", "send", error);
    SimSendRequest req;
    std::string resumeToken;
    bool dryRun = false, parsable = false, noResume = false;
    int verbosity = 0;
    for (const auto &o : parser.options()) {
        switch (o.id) {
        case 'i':
        case 'I':
            if (!req.from.empty())
                return SimUsage::fail("zfs", "send", "invalid option combination: -i and -I");
            req.from = o.arg;
            req.intermediates = o.id == 'I';
            break;
        case 't': resumeToken = o.arg; break;
        case 'R': req.replicate = true; break;
        case 'b':
        case 'h': noResume = true; break;
        case 'p': req.props = true; break;
        case 'w': req.raw = true; break;
        case 'n': dryRun = true; break;
        case 'v': verbosity++; break;
        case 'P': parsable = true; break;
        }
    }
    if (parsable && verbosity == 0)
        verbosity = 1;
    const auto &ops = parser.operands();
    if (!resumeToken.empty()) {
        if (!req.from.empty() || req.replicate || req.props || noResume)
            return SimUsage::fail("zfs", "send", "invalid flags combined with -t");
        if (!ops.empty())
            return SimUsage::fail("zfs", "send", "too many arguments");
    } else if (ops.empty()) {
        return SimUsage::fail("zfs", "send", "missing snapshot argument");
    }
    if (ops.size() > 1)
        return SimUsage::fail("zfs", "send", "too many arguments");
    if (resumeToken.empty())
        req.snapshot = ops[0];
    if (!dryRun && isatty(STDOUT_FILENO)) {
        fputs("Error: Stream can not be written to a terminal.\nYou must redirect standard output.\n", stderr);
        return 1;
    }
    if (!root.open(false, error)) {
        fprintf(stderr, "internal error: %s\n", error.c_str());
        return 1;
    }
    SimSendPlan plan;
    std::string message;
    int status = 1;
    bool ok = false;
    if (resumeToken.empty()) {
        ok = plan.build(root, req, message, status);
    } else {
        // $ zfs send -nvP -t 1-...   (stdout)
        // resume token contents:
        // nvlist version: 0
        // 	object = 0x3 ...
        // full	tank/data@a	622740
        // size	622740
        SimResumeToken token;
        std::string reason;
        if (!token.decode(resumeToken, reason)) {
            fprintf(stderr, "cannot resume send: %s\n", reason.c_str());
            return 1;
        }
        if (verbosity > 0)
            fputs(token.contents().c_str(), dryRun ? stdout : stderr);
        fflush(stdout);
        ok = plan.buildResume(root, token, message);
        if (ok && !plan.streams().empty())
            req.snapshot = plan.streams().front().ds->name + "@" + plan.streams().front().to->name;
    }
    fputs(message.c_str(), stderr);
    if (!ok)
        return status;
    for (const auto &w : plan.warnings())
        fputs(w.c_str(), stderr);
    const std::string summary = verbosity > 0 ? SimSendPlan::dryRunText(plan.lines(), parsable) : std::string();
    if (dryRun) {
        fputs(summary.c_str(), stdout);
        return plan.warnings().empty() ? 0 : 1;
    }
    fputs(summary.c_str(), stderr);
    // The snapshots' files never change, so the lock is not needed while
    // the data flows.
    root.close();

    SimFaults faults(root.faultsDir());
    SimStreamWriter out(STDOUT_FILENO, faults.number("send-rate"), faults.number("send-cut"),
                        faults.number("send-stall"));
    std::string current = req.snapshot;
    if (verbosity > 0) {
        if (!parsable)
            fprintf(stderr, "TIME        SENT   SNAPSHOT %s\n", req.snapshot.c_str());
        out.progress = [&](uint64_t bytes) {
            if (parsable)
                fprintf(stderr, "%s\t%llu\t%s\n", clock().c_str(), (unsigned long long)bytes, current.c_str());
            else
                fprintf(stderr, "%s   %5s   %s\n", clock().c_str(), SimText::niceNum(bytes).c_str(), current.c_str());
        };
    }
    using F = SimStreamFormat;
    bool sent = true;
    if (plan.isPackage())
        sent = out.write(F::header(F::PkgBegin, plan.packageHeader().size()) + plan.packageHeader());
    for (const auto &s : plan.streams()) {
        if (!sent)
            break;
        current = s.ds->name + "@" + s.to->name;
        sent = sendStream(root, out, s);
    }
    if (sent && plan.isPackage())
        sent = out.write(F::header(F::PkgEnd, 0));
    if (sent)
        sent = out.flush();
    if (!sent) {
        const std::string reason = out.wasCut() ? "Input/output error" : out.error();
        fprintf(stderr, "warning: cannot send '%s': %s\n", current.c_str(), reason.c_str());
        return 1;
    }
    return plan.warnings().empty() ? 0 : 1;
}

} // namespace zsim
