// Runs shell scripts against a private simulator state root: `zfs` and
// `zpool` on PATH are the simulator from the build tree, ZFS_SIM_ROOT points
// into a temporary directory that is removed afterwards.
#pragma once

#include <map>
#include <string>

class SimShell {
public:
    struct Result {
        int rc = -1;
        std::string out;
        std::string err;
    };

    SimShell();
    ~SimShell();
    SimShell(const SimShell &) = delete;
    SimShell &operator=(const SimShell &) = delete;

    // Runs `script` with /bin/sh (stdin /dev/null, cwd the temporary
    // directory); returns its exit status and output.
    Result run(const std::string &script) const;
    // Like run(), but fails the current test when the script fails.
    std::string ok(const std::string &script) const;

    const std::string &dir() const { return m_dir; }
    const std::string &root() const { return m_root; }
    // Directory of a dataset's live files (or a snapshot's files).
    std::string data(const std::string &name) const;

    // Every file, directory and link below `dir`: path -> kind and content.
    static std::map<std::string, std::string> tree(const std::string &dir);
    static void writeFile(const std::string &path, const std::string &content);

private:
    std::string m_dir;
    std::string m_root;
};
