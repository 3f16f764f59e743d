#include "simusage.h"

#include "simversion.h"

#include <cstdio>
#include <map>

namespace zsim {

std::string SimUsage::synopsis(const std::string &tool, const std::string &command)
{
    static const std::map<std::string, std::string> zfs = {
        {"create", "\tcreate [-Pnpuv] [-o property=value] ... <filesystem>\n"
                   "\tcreate [-Pnpsv] [-b blocksize] [-o property=value] ... -V <size> <volume>\n"},
        {"destroy", "\tdestroy [-fnpRrv] <filesystem|volume>\n"
                    "\tdestroy [-dnpRrv] <filesystem|volume>@<snap>[%<snap>][,...]\n"
                    "\tdestroy <filesystem|volume>#<bookmark>\n"},
        {"bookmark", "\tbookmark <snapshot|bookmark> <newbookmark>\n"},
        {"snapshot", "\tsnapshot [-r] [-o property=value] ... <filesystem|volume>@<snap> ...\n"},
        {"rename", "\trename [-f] <filesystem|volume|snapshot> <filesystem|volume|snapshot>\n"
                   "\trename -p [-f] <filesystem|volume> <filesystem|volume>\n"
                   "\trename -u [-f] <filesystem> <filesystem>\n"
                   "\trename -r <snapshot> <snapshot>\n"},
        {"list", "\tlist [-Hp] [-j [--json-int]] [-r|-d max] [-o property[,...]] [-s property]...\n"
                 "\t    [-S property]... [-t type[,...]] [filesystem|volume|snapshot] ...\n"},
        {"set", "\tset [-u] <property=value> ... <filesystem|volume|snapshot> ...\n"},
        {"get", "\tget [-rHp] [-j [--json-int]] [-d max] [-o \"all\" | field[,...]]\n"
                "\t    [-t type[,...]] [-s source[,...]]\n"
                "\t    <\"all\" | property[,...]> [filesystem|volume|snapshot|bookmark] ...\n"},
        {"inherit", "\tinherit [-rS] <property> <filesystem|volume|snapshot> ...\n"},
        {"send", "\tsend [-DLPbcehnpsVvw] [-i|-I snapshot]\n"
                 "\t     [-R [-X dataset[,dataset]...]]     <snapshot>\n"
                 "\tsend [-DnVvPLecw] [-i snapshot|bookmark] <filesystem|volume|snapshot>\n"
                 "\tsend [-DnPpVvLec] [-i bookmark|snapshot] --redact <bookmark> <snapshot>\n"
                 "\tsend [-nVvPe] -t <receive_resume_token>\n"
                 "\tsend [-PnVv] --saved filesystem\n"},
        {"receive", "\treceive [-FhMnsuv] [-o <property>=<value>] ... [-x <property>] ...\n"
                    "\t    <filesystem|volume|snapshot>\n"
                    "\treceive [-FhMnsuv] [-d | -e] [-o <property>=<value>] ... \n"
                    "\t    [-x <property>] ... <filesystem>\n"
                    "\treceive -A <filesystem|volume>\n"},
        {"hold", "\thold [-r] <tag> <snapshot> ...\n"},
        {"holds", "\tholds [-rHp] <snapshot> ...\n"},
        {"release", "\trelease [-r] <tag> <snapshot> ...\n"},
        {"version", "\tversion [-j]\n"},
        {"load-key", "\tload-key [-rn] [-L <keylocation>] <-a | filesystem|volume>\n"},
        {"unload-key", "\tunload-key [-r] <-a | filesystem|volume>\n"},
    };
    static const std::map<std::string, std::string> zpool = {
        {"create", "\tcreate [-fnd] [-o property=value] ... \n"
                   "\t    [-O file-system-property=value] ... \n"
                   "\t    [-m mountpoint] [-R root] <pool> <vdev> ...\n"},
        {"destroy", "\tdestroy [-f] <pool>\n"},
        {"list", "\tlist [-gHLpPv] [-o property[,...]] [-j [--json-int, --json-pool-key-guid]] ...\n"
                 "\t    [-T d|u] [pool] [interval [count]]\n"},
        {"version", "\tversion [-j]\n"},
    };
    const auto &table = tool == "zpool" ? zpool : zfs;
    auto it = table.find(command);
    std::string text;
    if (it != table.end()) {
        text = it->second;
    } else {
        for (const auto &kv : table)
            text += kv.second;
    }
    return SimVersion::current().hasJson() ? text : withoutJson(text);
}

std::string SimUsage::withoutJson(std::string text)
{
    // " [-j [--json-int]]", " [-j [--json-int, --json-pool-key-guid]]", " [-j]"
    for (size_t at; (at = text.find(" [-j")) != std::string::npos;) {
        size_t end = at + 1;
        int depth = 0;
        for (; end < text.size(); end++) {
            depth += text[end] == '[' ? 1 : text[end] == ']' ? -1 : 0;
            if (depth == 0)
                break;
        }
        text.erase(at, end + 1 - at);
    }
    return text;
}

int SimUsage::fail(const std::string &tool, const std::string &command, const std::string &message)
{
    std::string out;
    if (!message.empty())
        out += message + "\n";
    out += "usage:\n" + synopsis(tool, command);
    if (tool == "zfs")
        out += "\nFor the property list, run: zfs set|get\n"
               "\nFor the delegated permission list, run: zfs allow|unallow\n"
               "\nFor further help on a command or topic, run: zfs help [<topic>]\n";
    fputs(out.c_str(), stderr);
    return 2;
}

int SimUsage::internal(const std::string &error)
{
    fprintf(stderr, "internal error: %s\n", error.c_str());
    return 1;
}

} // namespace zsim
