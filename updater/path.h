// Path joining for the tool's own classes.
#ifndef UPDATER_PATH_H
#define UPDATER_PATH_H

#include <string>
#include <string_view>

namespace path_detail {
inline void append(std::string&) {}
template <typename... Rest>
void append(std::string& out, std::string_view part, const Rest&... rest) {
    out += '/';
    out += part;
    append(out, rest...);
}
} // namespace path_detail

// Joins the components with "/". A separator is always put between two
// components, even when one of them already ends or begins with one.
template <typename... Rest>
std::string BuildPath(std::string_view first, const Rest&... rest) {
    std::string out(first);
    path_detail::append(out, std::string_view(rest)...);
    return out;
}

#endif
