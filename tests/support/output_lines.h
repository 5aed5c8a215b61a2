// The program's output as lines that stay the same from run to run: the command echo
// left out, progress dots and timing figures cut off.
#pragma once

#include "support/e2e.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {
namespace output {

// Output lines after the command echo ("Code: .... done (1.2ms)" -> "Code:  done",
// "..... passed" -> " passed", "Total time 1.2s" -> "Total time").
inline std::vector<std::string> lines(const run_result &r)
{
    std::vector<std::string> result;
    std::istringstream in(r.body());
    std::string line;
    if (r.out.find("Command:\n") != std::string::npos) {
        std::getline(in, line);  // "Command:"
        std::getline(in, line);  // the arguments
    }
    while (std::getline(in, line)) {
        size_t at = line.find(" done (");
        if (at != std::string::npos)
            line = line.substr(0, at + 5);
        if (line.compare(0, 11, "Total time ") == 0)
            line = "Total time";
        std::string cleaned;
        for (size_t i = 0; i < line.size(); i++) {
            bool run_start = line[i] == '.' && (i == 0 || line[i - 1] == ' ');
            if (run_start)
                while (i + 1 < line.size() && line[i + 1] == '.')
                    i++;
            else
                cleaned += line[i];
        }
        result.push_back(cleaned);
    }
    return result;
}

inline bool has_line(const run_result &r, const std::string &line)
{
    auto all = lines(r);
    return std::find(all.begin(), all.end(), line) != all.end();
}

inline int count_lines(const run_result &r, const std::string &line)
{
    auto all = lines(r);
    return (int)std::count(all.begin(), all.end(), line);
}

// True when every wanted line occurs, in this order (other lines may lie between).
inline bool lines_in_order(const run_result &r, const std::vector<std::string> &wanted)
{
    auto all = lines(r);
    auto at = all.begin();
    for (auto &w : wanted) {
        at = std::find(at, all.end(), w);
        if (at == all.end())
            return false;
        ++at;
    }
    return true;
}

}  // namespace output
}  // namespace e2e
