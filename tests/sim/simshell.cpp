#include "simshell.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

SimShell::SimShell()
{
    char tmpl[] = "/tmp/zfssim-test.XXXXXX";
    m_dir = mkdtemp(tmpl);
    m_root = m_dir + "/root";
}

SimShell::~SimShell()
{
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(m_dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_dir, ec);
}

SimShell::Result SimShell::run(const std::string &script) const
{
    writeFile(m_dir + "/script.sh", script);
    const std::string bin = std::string(ZFSREP_BINARY_DIR) + "/sim";
    const std::string cmd = "cd '" + m_dir + "' && ZFS_SIM_ROOT='" + m_root + "' PATH='" + bin +
                            "':\"$PATH\" /bin/sh '" + m_dir + "/script.sh' </dev/null >'" + m_dir + "/out' 2>'" +
                            m_dir + "/err'";
    Result r;
    int status = system(cmd.c_str());
    r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = slurp(m_dir + "/out");
    r.err = slurp(m_dir + "/err");
    return r;
}

std::string SimShell::ok(const std::string &script) const
{
    Result r = run(script);
    EXPECT_EQ(r.rc, 0) << script << "\nstderr: " << r.err;
    return r.out;
}

std::string SimShell::data(const std::string &name) const
{
    std::string out = ok("zfs sim-path '" + name + "'");
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

std::map<std::string, std::string> SimShell::tree(const std::string &dir)
{
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string rel = fs::relative(it->path(), dir).string();
        if (it->is_symlink(ec))
            out[rel] = "link:" + fs::read_symlink(it->path(), ec).string();
        else if (it->is_directory(ec))
            out[rel] = "dir";
        else
            out[rel] = "file:" + slurp(it->path().string());
    }
    return out;
}

void SimShell::writeFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}
