// What encryption means for `zfs recv` (see SimCrypto, SimRecvApply): the
// refusals OpenZFS gives for raw streams and encrypted destinations, the
// encryption a received file system gets (a raw stream's own, the parent's
// key, or a new root set up by -o encryption=... on a plain stream). Each
// refusal is the text after the stream prefix ("cannot receive incremental
// stream: "), without newline; "" when the stream may go on.
#pragma once

#include "simpool.h"
#include "simrecvapply.h"

#include <map>
#include <string>

namespace zsim {

class SimRecvCrypt {
public:
    // Properties that belong to the key: -o/-x of them is not allowed with a
    // raw stream, -o of them encrypts a plain one.
    static bool isKeyParam(const std::string &prop);
    // The -o options that set up encryption (canonical name -> value).
    static std::map<std::string, std::string> keyOptions(const SimRecvOptions &o);

    // Before anything else: -o/-x of key properties with a raw stream, and
    // the checks of -o encryption=... on a plain one (`pool` may be null).
    static std::string optionRefusal(const SimRecvOptions &o, const SimRecvBegin &b, SimPool *pool,
                                     const std::string &fs);
    // An incremental stream into `ds`: a raw one needs an encrypted
    // destination with the same key, a plain one into an encrypted
    // destination its key loaded. `early`: the check libzfs makes before
    // the kernel sees the stream (raw onto unencrypted).
    static std::string incrementalRefusal(SimPool &pool, SimDataset &ds, const SimRecvBegin &b, bool early);
    // A full stream with -F over existing `ds`.
    static std::string replaceRefusal(const SimDataset &ds, const SimRecvBegin &b);
    // A plain full stream creating a file system below `parent`.
    static std::string createRefusal(SimPool &pool, SimDataset &parent, const SimRecvBegin &b);

    // Gives a file system a full stream created or replaced its encryption.
    static bool setUp(SimPool &pool, SimDataset &ds, const SimRecvOptions &o, const SimRecvBegin &b, bool isTop,
                      std::string &error);
};

} // namespace zsim
