#include "simzfsrecv.h"

#include "simargs.h"
#include "simcrypto.h"
#include "simfaults.h"
#include "simnames.h"
#include "simprops.h"
#include "simrecvresume.h"
#include "simrecvsession.h"
#include "simstreamformat.h"
#include "simstreamreader.h"
#include "simtext.h"
#include "simusage.h"
#include "simzfsdestroy.h"

#include <cstdio>
#include <map>
#include <unistd.h>

namespace zsim {

namespace {

using F = SimStreamFormat;
using Options = SimRecvOptions;
using Begin = SimRecvBegin;
using Action = SimRecvAction;
using Decision = SimRecvDecision;

// -F with an incremental package: snapshots the sender no longer has are
// destroyed (a held one is renamed out of the way and the receive fails in
// the end); snapshots the sender renamed follow the new name.
bool prune(SimRoot &root, const Options &o, const F::Lines &pkg, const std::string &top, bool &heldKept)
{
    std::string error;
    if (!root.open(true, error)) {
        fprintf(stderr, "internal error: %s\n", error.c_str());
        return false;
    }
    std::map<std::string, std::map<uint64_t, std::string>> source; // fs -> guid -> name
    for (const auto &l : pkg)
        if (l.size() >= 4 && l[0] == "snap") {
            uint64_t g = 0;
            SimText::toU64(l[3], g);
            source[l[1]][g] = l[2];
        } else if (l.size() >= 2 && l[0] == "fs") {
            source[l[1]];
        }
    int renamed = 0;
    for (const auto &fsEntry : source) {
        SimRoot::Found f = root.find(SimRecvApply::mapTarget(o, fsEntry.first, top));
        if (!f.ds)
            continue;
        std::vector<SimSnap> snaps = f.ds->snaps;
        for (const auto &s : snaps) {
            auto g = fsEntry.second.find(s.guid);
            if (g != fsEntry.second.end()) {
                if (g->second != s.name && !f.ds->snap(g->second))
                    f.ds->snap(s.name)->name = g->second;
                continue;
            }
            if (!o.force)
                continue;
            if (!s.holds.empty()) {
                f.ds->snap(s.name)->name = "recv-" + std::to_string(getpid()) + "-" + std::to_string(++renamed);
                heldKept = true;
                continue;
            }
            if (!SimZfsDestroy::removeSnapshot(root, *f.pool, *f.ds, s.id, error)) {
                fprintf(stderr, "internal error: %s\n", error.c_str());
                return false;
            }
        }
        f.pool->txg++;
        if (!root.save(*f.pool, error)) {
            fprintf(stderr, "internal error: %s\n", error.c_str());
            return false;
        }
    }
    root.close();
    return true;
}


bool readHeader(SimStreamReader &in, uint32_t &type, uint64_t &length, std::string &payload, bool first)
{
    std::string header;
    const bool complete = in.read(header, F::kHeaderSize);
    if (header.size() >= 4 && F::getU32(header.data()) != F::kMagic) {
        fputs("cannot receive: invalid stream (bad magic number)\n", stderr);
        return false;
    }
    if (!complete) {
        fputs(first ? "cannot receive: failed to read from stream\n"
                    : "cannot receive incremental stream: incomplete stream\n",
              stderr);
        return false;
    }
    if (F::getU32(header.data()) != F::kMagic) {
        fputs("cannot receive: invalid stream (bad magic number)\n", stderr);
        return false;
    }
    type = F::getU32(header.data() + 4);
    length = F::getU64(header.data() + 8);
    if ((type != F::PkgBegin && type != F::Begin && type != F::PkgEnd) || length > (64u << 20)) {
        fputs("cannot receive: invalid stream (bad record type)\n", stderr);
        return false;
    }
    if (!in.read(payload, length)) {
        fputs("cannot receive: failed to read from stream\n", stderr);
        return false;
    }
    return true;
}

} // namespace

int SimZfsRecv::run(SimRoot &root, const std::vector<std::string> &args)
{
    SimArgs parser(args);
    std::string error;
    if (!parser.parse("FhMnsuvdeo:x:A", {}, error))
        return SimUsage::fail("zfs", "receive", error);
    Options o;
    bool abort = false;
    for (const auto &opt : parser.options()) {
        switch (opt.id) {
        case 'F': o.force = true; break;
        case 'u': o.noMount = true; break;
        case 'v': o.verbose = true; break;
        case 'n': o.dryRun = true; break;
        case 's': o.resumable = true; break;
        case 'd':
        case 'e': o.prefixMode = (char)opt.id; break;
        case 'A': abort = true; break;
        case 'o':
        case 'x': {
            const size_t eq = opt.arg.find('=');
            if (opt.id == 'o' && (eq == std::string::npos || eq == 0))
                return SimUsage::fail("zfs", "receive", "missing '=' for property=value argument");
            const std::string prop = SimProps::canonical(opt.id == 'o' ? opt.arg.substr(0, eq) : opt.arg);
            std::string reason;
            if (prop.empty()) {
                reason = "invalid property '" + (opt.id == 'o' ? opt.arg.substr(0, eq) : opt.arg) + "'";
            } else if (opt.id == 'o') {
                const std::string value = opt.arg.substr(eq + 1);
                const bool crypto = prop == "encryption" || prop == "keyformat" || prop == "keylocation";
                if (crypto ? SimCrypto::validValue(prop, value, reason)
                           : SimProps::validateSet(prop, value, false, reason))
                    o.setProps.push_back({prop, opt.arg.substr(eq + 1)});
            } else {
                o.excludeProps.insert(prop);
            }
            if (!reason.empty()) {
                fprintf(stderr, "cannot receive: %s\n", reason.c_str());
                return 1;
            }
            break;
        }
        }
    }
    if (abort)
        return SimRecvResume::abort(root, parser.operands());
    const auto &ops = parser.operands();
    if (ops.size() != 1)
        return SimUsage::fail("zfs", "receive", ops.empty() ? "missing snapshot argument" : "too many arguments");
    o.target = ops[0];
    if (isatty(STDIN_FILENO)) {
        fputs("Error: Backup stream can not be read from a terminal.\nYou must redirect standard input.\n", stderr);
        return 1;
    }
    SimFaults faults(root.faultsDir());
    SimStreamReader::stopOnSignals();
    SimStreamReader in(STDIN_FILENO, faults.number("recv-rate"), faults.number("recv-stall"));
    SimRecvSession session(root, o, in);
    uint32_t type;
    uint64_t length;
    std::string payload;
    in.startSum();
    if (!readHeader(in, type, length, payload, true))
        return 1;
    if (type == F::Begin)
        return session.receive(payload, "") ? 0 : 1;
    if (type != F::PkgBegin) {
        fputs("cannot receive: invalid stream (bad record type)\n", stderr);
        return 1;
    }
    o.package = true;
    const F::Lines pkg = F::decodeLines(payload);
    const std::string top = F::field(pkg, "top");
    if (SimNames::isSnapshot(o.target)) {
        fprintf(stderr, "cannot receive: invalid name '%s': a replication stream needs a file system as target\n",
                o.target.c_str());
        return 1;
    }
    bool heldKept = false;
    if (!F::field(pkg, "fromsnap").empty() && !o.dryRun && !prune(root, o, pkg, top, heldKept))
        return 1;
    while (true) {
        in.startSum();
        if (!readHeader(in, type, length, payload, false))
            return 1;
        if (type == F::PkgEnd)
            break;
        if (type != F::Begin) {
            fputs("cannot receive: invalid stream (bad record type)\n", stderr);
            return 1;
        }
        if (!session.receive(payload, top))
            return 1;
    }
    return heldKept ? 1 : 0;
}

} // namespace zsim