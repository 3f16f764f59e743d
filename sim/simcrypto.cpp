#include "simcrypto.h"

#include "simfiles.h"
#include "simtext.h"

#include <cctype>
#include <cstdio>
#include <unistd.h>

namespace zsim {

namespace {

const char *const kSuites[] = {"aes-128-ccm", "aes-192-ccm", "aes-256-ccm",
                               "aes-128-gcm", "aes-192-gcm", "aes-256-gcm"};

// FNV-1a over the key format and material, as 16 hex digits.
std::string digestOf(const std::string &keyformat, const std::string &material)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : keyformat + '\0' + material) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char out[17];
    snprintf(out, sizeof out, "%016llx", (unsigned long long)h);
    return out;
}

std::string readStdin()
{
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(STDIN_FILENO, buf, sizeof buf)) > 0)
        text.append(buf, (size_t)n);
    return text;
}

} // namespace

bool SimCrypto::isCryptoProp(const std::string &name)
{
    return name == "encryption" || name == "keyformat" || name == "keylocation" || name == "encryptionroot" ||
           name == "keystatus";
}

bool SimCrypto::suite(const std::string &value, std::string &out, std::string &reason)
{
    if (value == "off") {
        out.clear();
        return true;
    }
    if (value == "on") {
        out = "aes-256-gcm";
        return true;
    }
    for (const char *s : kSuites)
        if (value == s) {
            out = value;
            return true;
        }
    reason = "'encryption' must be one of 'on | off | aes-128-ccm | aes-192-ccm | aes-256-ccm | aes-128-gcm | "
             "aes-192-gcm | aes-256-gcm'";
    return false;
}

bool SimCrypto::validValue(const std::string &prop, const std::string &value, std::string &reason)
{
    if (prop == "encryption") {
        std::string ignored;
        return suite(value, ignored, reason);
    }
    if (prop == "keyformat") {
        if (value == "none" || value == "raw" || value == "hex" || value == "passphrase")
            return true;
        reason = "'keyformat' must be one of 'none | raw | hex | passphrase'";
        return false;
    }
    if (prop == "keylocation") {
        if (value == "prompt" || value == "none" || (value.rfind("file:///", 0) == 0 && value.size() > 8))
            return true;
        reason = "'keylocation' must be 'prompt', 'none', or a URI";
        return false;
    }
    reason = "'" + prop + "' is readonly";
    return false;
}

bool SimCrypto::readKey(const std::string &keyformat, const std::string &keylocation, bool newKey,
                        std::string &digest, std::string &reason)
{
    std::string material, error;
    if (keylocation == "prompt") {
        material = readStdin();
    } else if (keylocation.rfind("file://", 0) == 0) {
        if (!SimFiles::readAll(keylocation.substr(7), material, error)) {
            reason = "Failed to open key material file: No such file or directory";
            return false;
        }
    } else {
        reason = "Invalid keylocation.";
        return false;
    }
    if (keyformat != "raw") {
        const size_t nl = material.find('\n');
        if (nl != std::string::npos)
            material.resize(nl);
    }
    if (keyformat == "passphrase" && newKey) {
        if (material.size() < 8) {
            reason = "Passphrase too short (min 8).";
            return false;
        }
        if (material.size() > 512) {
            reason = "Passphrase too long (max 512).";
            return false;
        }
    } else if (keyformat == "hex") {
        if (material.size() != 64) {
            reason = material.size() < 64 ? "Hex key too short (expected 64)." : "Hex key too long (expected 64).";
            return false;
        }
        for (char c : material)
            if (!isxdigit((unsigned char)c)) {
                reason = "Invalid hex character detected.";
                return false;
            }
    } else if (keyformat == "raw" && material.size() != 32) {
        reason = material.size() < 32 ? "Raw key too short (expected 32)." : "Raw key too long (expected 32).";
        return false;
    }
    digest = digestOf(keyformat, material);
    return true;
}

bool SimCrypto::setUpCreate(SimPool &pool, SimDataset *parent, uint64_t selfId,
                            std::map<std::string, std::string> &props, SimCrypt &out, std::string &reason)
{
    auto take = [&](const char *name, std::string &value) {
        auto it = props.find(name);
        if (it == props.end())
            return false;
        value = it->second;
        if (std::string(name) != "keylocation")
            props.erase(it);
        return true;
    };
    std::string encryption, keyformat, keylocation;
    const bool localCrypt = take("encryption", encryption);
    const bool hasFormat = take("keyformat", keyformat) && keyformat != "none";
    const bool hasLocation = take("keylocation", keylocation);
    SimDataset *parentRoot = parent ? root(pool, *parent) : nullptr;
    std::string suiteName = parentRoot ? parent->crypt.suite : std::string();
    if (localCrypt && !suite(encryption, suiteName, reason))
        return false;
    out = SimCrypt();
    if (suiteName.empty()) {
        if (hasFormat || hasLocation) {
            reason = "Encryption must be turned on to set encryption properties.";
            return false;
        }
        return true;
    }
    if ((!parentRoot && !hasFormat && !hasLocation) || (hasLocation && !hasFormat)) {
        reason = "Keyformat required for new encryption root.";
        return false;
    }
    out.suite = suiteName;
    if (!hasFormat) {
        // A child sharing its parent's key, which must be loaded.
        if (!parentRoot->crypt.keyLoaded) {
            reason = "encryption root's key is not loaded or provided";
            return false;
        }
        out.keyformat = parentRoot->crypt.keyformat;
        out.rootId = parentRoot->id;
        return true;
    }
    if (!hasLocation)
        keylocation = "prompt";
    props["keylocation"] = keylocation;
    if (!readKey(keyformat, keylocation, true, out.keyDigest, reason))
        return false;
    out.keyformat = keyformat;
    out.rootId = selfId;
    out.keyLoaded = true;
    return true;
}

SimDataset *SimCrypto::root(SimPool &pool, SimDataset &ds)
{
    if (!ds.encrypted())
        return nullptr;
    if (ds.crypt.rootId == ds.id)
        return &ds;
    SimDataset *r = pool.datasetById(ds.crypt.rootId);
    return r ? r : &ds;
}

bool SimCrypto::readable(SimPool &pool, SimDataset &ds)
{
    SimDataset *r = root(pool, ds);
    return !r || r->crypt.keyLoaded;
}

SimValue SimCrypto::value(SimPool &pool, SimDataset &ds, bool snapshot, const std::string &prop)
{
    SimValue v;
    SimDataset *r = root(pool, ds);
    if (prop == "encryption") {
        v.value = r ? ds.crypt.suite : "off";
        v.source = r ? "NONE" : "DEFAULT";
    } else if (prop == "keyformat") {
        v.value = r ? ds.crypt.keyformat : "none";
        v.source = r ? "NONE" : "DEFAULT";
    } else if (prop == "keylocation") {
        auto l = ds.local.find("keylocation");
        if (r == &ds && !snapshot && l != ds.local.end()) {
            v.value = l->second;
            v.source = "LOCAL";
        } else {
            v.value = "none";
            v.source = snapshot ? "NONE" : "DEFAULT";
        }
    } else if (prop == "encryptionroot") {
        v.value = r ? r->name : "-";
    } else if (prop == "keystatus") {
        v.value = r ? (r->crypt.keyLoaded ? "available" : "unavailable") : "none";
    }
    return v;
}

} // namespace zsim
