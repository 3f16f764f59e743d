#include "simlistformat.h"

#include "simjson.h"

#include <algorithm>

namespace zsim {

std::string SimListFormat::json(const std::string &command, const std::vector<SimListRow> &rows, bool jsonInt)
{
    SimJson j;
    j.beginObject();
    j.outputVersion(command);
    j.key("datasets");
    j.beginObject();
    for (const auto &row : rows) {
        j.key(row.name);
        j.beginObject();
        j.key("name");
        j.string(row.name);
        j.key("type");
        j.string(row.type);
        j.key("pool");
        j.string(row.pool);
        j.key("createtxg");
        j.maybeNumber(row.createtxg, jsonInt);
        if (row.type == "SNAPSHOT") {
            j.key("dataset");
            j.string(row.dataset);
            j.key("snapshot_name");
            j.string(row.snapshotName);
        }
        j.key("properties");
        j.beginObject();
        for (const auto &p : row.properties) {
            j.key(p.first);
            j.beginObject();
            j.key("value");
            j.maybeNumber(p.second.value, jsonInt);
            j.key("source");
            j.beginObject();
            j.key("type");
            j.string(p.second.source);
            j.key("data");
            j.string(p.second.source == "INHERITED" ? p.second.from : "-");
            j.endObject();
            j.endObject();
        }
        j.endObject();
        j.endObject();
    }
    j.endObject();
    j.endObject();
    return j.text() + "\n";
}

std::string SimListFormat::table(const std::vector<std::string> &headers, const std::vector<bool> &rightAlign,
                                 const std::vector<size_t> &minWidth,
                                 const std::vector<std::vector<std::string>> &cells, bool scripted)
{
    std::string out;
    if (scripted) {
        for (const auto &row : cells) {
            for (size_t c = 0; c < row.size(); c++) {
                if (c)
                    out += '\t';
                out += row[c];
            }
            out += '\n';
        }
        return out;
    }
    if (cells.empty())
        return out;
    std::vector<size_t> width(headers.size());
    for (size_t c = 0; c < headers.size(); c++) {
        width[c] = std::max(headers[c].size(), c < minWidth.size() ? minWidth[c] : 0);
        for (const auto &row : cells)
            width[c] = std::max(width[c], row[c].size());
    }
    auto line = [&](const std::vector<std::string> &row) {
        for (size_t c = 0; c < row.size(); c++) {
            if (c)
                out += "  ";
            const size_t pad = width[c] - row[c].size();
            const bool last = c + 1 == row.size();
            if (rightAlign[c]) {
                out.append(pad, ' ');
                out += row[c];
            } else {
                out += row[c];
                if (!last)
                    out.append(pad, ' ');
            }
        }
        out += '\n';
    };
    line(headers);
    for (const auto &row : cells)
        line(row);
    return out;
}

} // namespace zsim
