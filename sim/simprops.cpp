#include "simprops.h"

#include "simcrypto.h"
#include "simrecvresume.h"
#include "simtext.h"

#include <map>

namespace zsim {

namespace {

// 0 for a snapshot whose files could not be read.
uint64_t lookup(const std::map<uint64_t, uint64_t> &byId, uint64_t id)
{
    auto it = byId.find(id);
    return it == byId.end() ? 0 : it->second;
}

} // namespace

const std::vector<SimPropDef> &SimProps::all()
{
    static const std::vector<SimPropDef> defs = {
        {"type", "TYPE", 's', true, true, false, false, nullptr},
        {"creation", "CREATION", 'd', true, true, false, false, nullptr},
        {"used", "USED", 'b', true, true, false, false, nullptr},
        {"available", "AVAIL", 'b', true, false, false, false, nullptr},
        {"referenced", "REFER", 'b', true, true, false, false, nullptr},
        {"compressratio", "RATIO", 'r', true, true, false, false, nullptr},
        {"mounted", "MOUNTED", 'i', true, false, false, false, nullptr},
        {"quota", "QUOTA", 'b', true, false, true, false, "0"},
        {"reservation", "RESERV", 'b', true, false, true, false, "0"},
        {"recordsize", "RECSIZE", 'b', true, false, true, true, "131072"},
        {"mountpoint", "MOUNTPOINT", 's', true, false, true, true, nullptr},
        {"sharenfs", "SHARENFS", 's', true, false, true, true, "off"},
        {"checksum", "CHECKSUM", 'i', true, false, true, true, "on"},
        {"compression", "COMPRESS", 'i', true, false, true, true, "off"},
        {"atime", "ATIME", 'i', true, false, true, true, "on"},
        {"devices", "DEVICES", 'i', true, false, true, true, "on"},
        {"setuid", "SETUID", 'i', true, false, true, true, "on"},
        {"readonly", "RDONLY", 'i', true, false, true, true, "off"},
        {"canmount", "CANMOUNT", 'i', true, false, true, false, "on"},
        {"sharesmb", "SHARESMB", 's', true, false, true, true, "off"},
        {"usedbysnapshots", "USEDSNAP", 'b', true, false, false, false, nullptr},
        {"usedbydataset", "USEDDS", 'b', true, false, false, false, nullptr},
        {"usedbychildren", "USEDCHILD", 'b', true, false, false, false, nullptr},
        {"usedbyrefreservation", "USEDREFRESERV", 'b', true, false, false, false, nullptr},
        {"userrefs", "USERREFS", 'n', false, true, false, false, nullptr},
        {"logicalused", "LUSED", 'b', true, true, false, false, nullptr},
        {"logicalreferenced", "LREFER", 'b', true, true, false, false, nullptr},
        {"encryption", "ENCRYPTION", 'i', true, true, false, false, nullptr},
        {"keylocation", "KEYLOCATION", 's', true, false, true, false, "none"},
        {"keyformat", "KEYFORMAT", 'i', true, false, false, false, nullptr},
        {"encryptionroot", "ENCROOT", 's', true, true, false, false, nullptr},
        {"keystatus", "KEYSTATUS", 'i', true, true, false, false, nullptr},
        {"guid", "GUID", 'n', true, true, false, false, nullptr},
        {"createtxg", "CREATETXG", 'n', true, true, false, false, nullptr},
        {"refcompressratio", "REFRATIO", 'r', true, true, false, false, nullptr},
        {"receive_resume_token", "RESUMETOK", 's', true, false, false, false, nullptr},
        {"written", "WRITTEN", 'b', true, false, false, false, nullptr},
        {"name", "NAME", 's', true, true, false, false, nullptr},
    };
    return defs;
}

const SimPropDef *SimProps::find(const std::string &name)
{
    static const std::map<std::string, std::string> aliases = {
        {"avail", "available"},    {"refer", "referenced"},        {"ratio", "compressratio"},
        {"compress", "compression"}, {"rdonly", "readonly"},       {"reserv", "reservation"},
        {"recsize", "recordsize"}, {"lused", "logicalused"},       {"lrefer", "logicalreferenced"},
        {"refratio", "refcompressratio"}, {"usedsnap", "usedbysnapshots"}, {"usedds", "usedbydataset"},
        {"usedchild", "usedbychildren"}, {"usedrefreserv", "usedbyrefreservation"},
    };
    auto a = aliases.find(name);
    const std::string &canon = a == aliases.end() ? name : a->second;
    for (const auto &d : all())
        if (canon == d.name)
            return &d;
    return nullptr;
}

bool SimProps::isUserProp(const std::string &name)
{
    return name.find(':') != std::string::npos;
}

std::string SimProps::canonical(const std::string &name)
{
    if (isUserProp(name))
        return name;
    const SimPropDef *d = find(name);
    return d ? d->name : std::string();
}

std::string SimProps::column(const std::string &name)
{
    const SimPropDef *d = find(name);
    return d ? d->column : SimText::upper(name);
}

bool SimProps::rightAligned(const std::string &name)
{
    const SimPropDef *d = find(name);
    return d && (d->kind == 'b' || d->kind == 'n' || d->kind == 'd' || d->kind == 'r');
}

std::string SimProps::sourceText(const SimValue &v)
{
    if (v.source == "DEFAULT")
        return "default";
    if (v.source == "LOCAL")
        return "local";
    if (v.source == "RECEIVED")
        return "received";
    if (v.source == "INHERITED")
        return "inherited from " + v.from;
    return "-";
}

bool SimProps::validateSet(const std::string &prop, const std::string &value, bool snapshot,
                           std::string &reason)
{
    if (isUserProp(prop))
        return true;
    const SimPropDef *d = find(prop);
    if (!d) {
        reason = "invalid property '" + prop + "'";
        return false;
    }
    if (!d->settable) {
        reason = "'" + std::string(d->name) + "' is readonly";
        return false;
    }
    if (snapshot) {
        reason = "this property can not be modified for snapshots";
        return false;
    }
    const std::string name = d->name;
    auto oneOf = [&](std::initializer_list<const char *> words) {
        for (const char *w : words)
            if (value == w)
                return true;
        std::string list;
        for (const char *w : words)
            list += std::string(list.empty() ? "" : " | ") + w;
        reason = "'" + name + "' must be one of '" + list + "'";
        return false;
    };
    if (name == "mountpoint") {
        if (value == "none" || value == "legacy" || (!value.empty() && value[0] == '/'))
            return true;
        reason = "'mountpoint' must be an absolute path, 'none', or 'legacy'";
        return false;
    }
    if (name == "canmount")
        return oneOf({"on", "off", "noauto"});
    if (name == "keylocation")
        return SimCrypto::validValue(name, value, reason);
    if (name == "sharenfs" || name == "sharesmb")
        return true; // "on", "off" or the share options, passed on as they are
    if (name == "atime" || name == "readonly" || name == "devices" || name == "setuid")
        return oneOf({"on", "off"});
    if (name == "compression")
        return oneOf({"on", "off", "lzjb", "gzip", "gzip-1", "gzip-2", "gzip-3", "gzip-4", "gzip-5",
                      "gzip-6", "gzip-7", "gzip-8", "gzip-9", "zle", "lz4", "zstd", "zstd-fast"});
    if (name == "checksum")
        return oneOf({"on", "off", "fletcher2", "fletcher4", "sha256", "noparity", "sha512",
                       "skein", "edonr", "blake3"});
    uint64_t bytes;
    if (value == "none" || SimText::parseSize(value, bytes))
        return true;
    reason = "bad numeric value '" + value + "'";
    return false;
}

SimValue SimProps::inherited(SimPool &pool, SimDataset &ds, const std::string &prop,
                             const char *defaultValue)
{
    SimValue v;
    for (SimDataset *cur = &ds; cur;) {
        auto l = cur->local.find(prop);
        auto r = cur->inheritForced.count(prop) ? cur->received.end() : cur->received.find(prop);
        if (l != cur->local.end() || r != cur->received.end()) {
            v.value = l != cur->local.end() ? l->second : r->second;
            if (cur == &ds)
                v.source = l != cur->local.end() ? "LOCAL" : "RECEIVED";
            else {
                v.source = "INHERITED";
                v.from = cur->name;
            }
            return v;
        }
        size_t slash = cur->name.rfind('/');
        cur = slash == std::string::npos ? nullptr : pool.dataset(cur->name.substr(0, slash));
    }
    if (defaultValue) {
        v.value = defaultValue;
        v.source = "DEFAULT";
    } else {
        v.value = "-";
    }
    return v;
}

SimValue SimProps::mountpoint(SimPool &pool, SimDataset &ds)
{
    SimValue v = inherited(pool, ds, "mountpoint", nullptr);
    if (v.source == "NONE") {
        v.value = "/" + ds.name;
        v.source = "DEFAULT";
    } else if (v.source == "INHERITED" && !v.value.empty() && v.value[0] == '/') {
        std::string rest = ds.name.substr(v.from.size()); // "/sub"
        v.value = v.value == "/" ? rest : v.value + rest;
    }
    return v;
}

SimValue SimProps::value(SimPool &pool, SimDataset &ds, SimSnap *snap, const std::string &prop,
                         bool parsable)
{
    SimValue v;
    if (isUserProp(prop) && snap) {
        // A snapshot's own value, else its dataset's (which a snapshot
        // shows as inherited from that dataset).
        auto own = snap->props.find(prop);
        if (own != snap->props.end()) {
            v.value = own->second;
            v.source = "LOCAL";
            return v;
        }
        v = inherited(pool, ds, prop, nullptr);
        if (v.source == "LOCAL" || v.source == "RECEIVED") {
            v.source = "INHERITED";
            v.from = ds.name;
        }
        if (v.source == "NONE")
            v.value = "-";
        return v;
    }
    if (isUserProp(prop))
        return inherited(pool, ds, prop, nullptr);
    const SimPropDef *d = find(prop);
    if (!d || (snap ? !d->onSnap : !d->onFs)) {
        v.value = "-";
        return v;
    }
    const std::string name = d->name;
    auto bytes = [&](uint64_t n) { return parsable ? std::to_string(n) : SimText::niceNum(n); };
    if (name == "name") {
        v.value = snap ? ds.name + "@" + snap->name : ds.name;
    } else if (name == "type") {
        v.value = snap ? "snapshot" : "filesystem";
    } else if (name == "creation") {
        int64_t t = snap ? snap->creation : ds.creation;
        v.value = parsable ? std::to_string(t) : SimText::creationDate(t);
    } else if (name == "used" || name == "logicalused") {
        v.value = bytes(snap ? lookup(m_space.usage(pool, ds).snapUsed, snap->id) : m_space.used(pool, ds));
    } else if (name == "available") {
        v.value = bytes(m_space.available(pool));
    } else if (name == "referenced" || name == "logicalreferenced") {
        const SimSpaceUsage &u = m_space.usage(pool, ds);
        v.value = bytes(snap ? lookup(u.snapReferenced, snap->id) : u.liveReferenced);
    } else if (name == "compressratio" || name == "refcompressratio") {
        v.value = parsable ? "1.00" : "1.00x";
    } else if (name == "mounted") {
        v.value = ds.mounted ? "yes" : "no";
    } else if (name == "mountpoint") {
        v = mountpoint(pool, ds);
    } else if (name == "usedbysnapshots") {
        v.value = bytes(m_space.usage(pool, ds).snapshotsUsed);
    } else if (name == "usedbydataset") {
        v.value = bytes(m_space.usage(pool, ds).liveReferenced);
    } else if (name == "usedbychildren") {
        v.value = bytes(m_space.usedByChildren(pool, ds));
    } else if (name == "written") {
        v.value = bytes(m_space.written(pool, ds));
    } else if (name == "usedbyrefreservation") {
        v.value = bytes(0);
    } else if (name == "userrefs") {
        v.value = std::to_string(snap->holds.size());
    } else if (SimCrypto::isCryptoProp(name)) {
        v = SimCrypto::value(pool, ds, snap != nullptr, name);
    } else if (name == "guid") {
        v.value = std::to_string(snap ? snap->guid : ds.guid);
    } else if (name == "receive_resume_token") {
        v.value = SimRecvResume::tokenText(ds);
    } else if (name == "createtxg") {
        v.value = std::to_string(snap ? snap->createtxg : ds.createtxg);
    } else if (d->settable) {
        v = d->inherits ? inherited(pool, ds, name, d->defaultValue) : SimValue();
        if (!d->inherits) {
            auto l = ds.local.find(name);
            auto r = ds.inheritForced.count(name) ? ds.received.end() : ds.received.find(name);
            if (l != ds.local.end()) {
                v.value = l->second;
                v.source = "LOCAL";
            } else if (r != ds.received.end()) {
                v.value = r->second;
                v.source = "RECEIVED";
            } else {
                v.value = d->defaultValue;
                v.source = "DEFAULT";
            }
        }
        if (d->kind == 'b') {
            uint64_t n = 0;
            if (v.value != "none")
                SimText::parseSize(v.value, n);
            if ((name == "quota" || name == "reservation") && n == 0)
                v.value = parsable ? "0" : "none";
            else
                v.value = bytes(n);
        }
    }
    return v;
}

} // namespace zsim
