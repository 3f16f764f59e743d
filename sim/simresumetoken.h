// The receive_resume_token of an interrupted `zfs recv -s`: where the
// receiver stopped in which snapshot stream. It is printed by `zfs get
// receive_resume_token` on the receiving side and handed to `zfs send -t` on
// the sending side, which continues the stream from there.
//
// The text has OpenZFS' outer shape, "1-<checksum>-<length>-<hex payload>",
// all hexadecimal; the payload is the simulator's own (name=value lines, not
// a compressed nvlist), so only the simulator reads its tokens:
//   1-5ac1d2e97f3a0b11-5d-66726f6d677569643d...
// Pure; no state.
#pragma once

#include <cstdint>
#include <string>

namespace zsim {

struct SimResumeToken {
    uint64_t fromguid = 0;  // 0 for a full stream
    uint64_t object = 0;    // records of the stream the receiver holds whole
    uint64_t offset = 0;    // bytes it holds of the file record that follows
    uint64_t bytes = 0;     // stream bytes received so far
    uint64_t toguid = 0;
    std::string toname;     // the sender's snapshot, "tank/data@b"
    bool rawok = false;     // the stream was raw; `zfs send -t` sends raw again

    std::string encode() const;
    // False with OpenZFS' reason ("resume token is corrupt (invalid
    // format)", ...) when `text` is no token of this simulator.
    bool decode(const std::string &text, std::string &reason);

    // What `zfs send -nv -t` prints before its estimate:
    //   resume token contents:
    //   nvlist version: 0
    //   	fromguid = 0x595d9f81aa9dddab
    //   	object = 0x1
    //   	offset = 0x0
    //   	bytes = 0x0
    //   	toguid = 0x854f02a2dd32cf0d
    //   	toname = pool1/test@b
    std::string contents() const;
};

} // namespace zsim
