// Native encryption as the simulator plays it: which values the encryption
// properties take, how `zfs create` sets a dataset up (a new encryption root
// or a child inheriting its parent's key), where key material is read from,
// and the values `zfs get` shows. No data is really encrypted: a key is
// kept as a digest, so a wrong passphrase is refused and a raw stream
// carries the digest to the receiving side.
//
//   $ zfs get -H -o property,value,source encryption,keylocation,keyformat,encryptionroot,keystatus tank/enc
//   encryption	aes-256-gcm	-
//   keylocation	file:///etc/enc.key	local
//   keyformat	passphrase	-
//   encryptionroot	tank/enc	-
//   keystatus	available	-
#pragma once

#include "simpool.h"
#include "simprops.h"

#include <map>
#include <string>

namespace zsim {

class SimCrypto {
public:
    // The encryption property names `zfs create -o` takes and how they show.
    static bool isCryptoProp(const std::string &canonicalName);
    // "on" -> "aes-256-gcm", a suite -> itself, "off" -> ""; false otherwise
    // with the `zfs set`-style reason.
    static bool suite(const std::string &value, std::string &out, std::string &reason);
    // A `zfs set`/`create -o` check of keyformat and keylocation values.
    static bool validValue(const std::string &prop, const std::string &value, std::string &reason);

    // Reads the key `keylocation` names ("prompt": standard input, first
    // line; "file:///path") and checks it against `keyformat`; `newKey`
    // adds the length checks of a key being set. On success `digest` is the
    // key's digest; on failure `reason` is OpenZFS' text ("Passphrase too
    // short (min 8).").
    static bool readKey(const std::string &keyformat, const std::string &keylocation, bool newKey,
                        std::string &digest, std::string &reason);

    // Sets up the encryption of a dataset `zfs create` makes below `parent`
    // (null for none) from the -o properties `props` (canonical names; the
    // encryption ones are taken out, keylocation stays for a new root).
    // `selfId`: the new dataset's id. False with the text after
    // "cannot create '<name>': ".
    static bool setUpCreate(SimPool &pool, SimDataset *parent, uint64_t selfId,
                            std::map<std::string, std::string> &props, SimCrypt &out, std::string &reason);

    // The encryption root of an encrypted dataset, null for an unencrypted one.
    static SimDataset *root(SimPool &pool, SimDataset &ds);
    // Whether the data of `ds` can be read: unencrypted, or its root's key loaded.
    static bool readable(SimPool &pool, SimDataset &ds);

    // encryption, keylocation, keyformat, encryptionroot, keystatus.
    static SimValue value(SimPool &pool, SimDataset &ds, bool snapshot, const std::string &prop);
};

} // namespace zsim
