#include "simrecvcrypt.h"

#include "simcrypto.h"
#include "simnames.h"

namespace zsim {

bool SimRecvCrypt::isKeyParam(const std::string &prop)
{
    return prop == "encryption" || prop == "keyformat" || prop == "keylocation" || prop == "pbkdf2iters";
}

std::map<std::string, std::string> SimRecvCrypt::keyOptions(const SimRecvOptions &o)
{
    std::map<std::string, std::string> out;
    for (const auto &p : o.setProps)
        if (isKeyParam(p.first))
            out[p.first] = p.second;
    return out;
}

std::string SimRecvCrypt::optionRefusal(const SimRecvOptions &o, const SimRecvBegin &b, SimPool *pool,
                                        const std::string &fs)
{
    if (b.raw) {
        for (const auto &p : o.setProps)
            if (isKeyParam(p.first))
                return "encryption property '" + p.first + "' cannot be set or excluded for raw streams.";
        for (const auto &p : o.excludeProps)
            if (isKeyParam(p))
                return "encryption property '" + p + "' cannot be set or excluded for raw streams.";
        return std::string();
    }
    std::map<std::string, std::string> props = keyOptions(o);
    const bool incremental = b.fromguid != 0;
    if (props.empty() || (incremental && o.package))
        return std::string(); // a package's incremental streams ignore them
    // A plain stream can be encrypted on receive: -o encryption=...
    // -o keyformat=... -o keylocation=file://... make the new file system
    // an encryption root (standard input carries the stream).
    if (incremental)
        return "encryption property '" + props.begin()->first + "' cannot be set for incremental streams.";
    auto l = props.find("keylocation");
    if ((l != props.end() && l->second == "prompt") || (props.count("keyformat") && l == props.end()))
        return "Cannot use 'prompt' keylocation because stdin is in use.";
    std::string reason;
    SimCrypt probe;
    if (pool)
        SimCrypto::setUpCreate(*pool, pool->dataset(SimNames::parentOf(fs)), 0, props, probe, reason);
    return reason;
}

std::string SimRecvCrypt::incrementalRefusal(SimPool &pool, SimDataset &ds, const SimRecvBegin &b, bool early)
{
    if (early)
        return b.raw && !ds.encrypted() ? "cannot perform raw receive on top of existing unencrypted dataset"
                                        : std::string();
    SimDataset *root = SimCrypto::root(pool, ds);
    if (!root)
        return std::string();
    if (!b.raw)
        return root->crypt.keyLoaded ? std::string() : "inherited key must be loaded";
    return root->crypt.keyDigest == b.crypt.keyDigest ? std::string() : "encryption key does not match existing key";
}

std::string SimRecvCrypt::replaceRefusal(const SimDataset &ds, const SimRecvBegin &b)
{
    if (!b.raw && !ds.encrypted())
        return std::string();
    return "zfs receive -F cannot be used to destroy an encrypted filesystem or overwrite an unencrypted one with "
           "an encrypted one";
}

std::string SimRecvCrypt::createRefusal(SimPool &pool, SimDataset &parent, const SimRecvBegin &b)
{
    return !b.raw && !SimCrypto::readable(pool, parent) ? "inherited key must be loaded" : std::string();
}

// A raw stream brings its own encryption (sharing the key of an encryption
// root received in the same package, else becoming an encryption root whose
// key is not loaded); a plain stream is encrypted below an encrypted parent
// (with its key) or by -o encryption=... on the top file system.
bool SimRecvCrypt::setUp(SimPool &pool, SimDataset &ds, const SimRecvOptions &o, const SimRecvBegin &b, bool isTop,
                         std::string &error)
{
    ds.crypt = SimCrypt();
    ds.local.erase("keylocation");
    if (b.raw && !b.crypt.suite.empty()) {
        SimDataset *root = b.encrootTarget.empty() ? nullptr : pool.dataset(b.encrootTarget);
        ds.crypt.suite = b.crypt.suite;
        ds.crypt.keyformat = b.crypt.keyformat;
        if (root && root != &ds && root->encrypted() && root->crypt.rootId == root->id) {
            ds.crypt.rootId = root->id;
        } else {
            ds.crypt.rootId = ds.id;
            ds.crypt.keyDigest = b.crypt.keyDigest;
            ds.local["keylocation"] = "prompt";
        }
        return true;
    }
    SimDataset *parent = pool.dataset(SimNames::parentOf(ds.name));
    std::map<std::string, std::string> props = keyOptions(o);
    if (!b.raw && isTop && !props.empty()) {
        if (!SimCrypto::setUpCreate(pool, parent, ds.id, props, ds.crypt, error))
            return false;
        ds.local["keylocation"] = props["keylocation"];
        return true;
    }
    if (SimDataset *root = parent ? SimCrypto::root(pool, *parent) : nullptr) {
        ds.crypt.suite = parent->crypt.suite;
        ds.crypt.keyformat = root->crypt.keyformat;
        ds.crypt.rootId = root->id;
    }
    return true;
}

} // namespace zsim
