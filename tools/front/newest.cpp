#include "newest.hpp"

#include <algorithm>
#include <boost/filesystem.hpp>
#include <ctime>

#include "talvo2/talvo2.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo_front {

bool existsOnDisk(const std::string& path) {
    boost::system::error_code error;
    return boost::filesystem::exists(boost::filesystem::symlink_status(path, error));
}

std::string nodeKindAt(const std::string& path) {
    const std::wstring where = ulib_2_18::from_utf8(path);
    if (talvo2::IProject::probe(where.c_str())) return "project";
    if (talvo2::IExperiment::probe(where.c_str())) return "experiment";
    if (talvo2::IResultDirectory::probe(where.c_str())) return "result";
    return "";
}

std::optional<NumberedName> NumberedName::parse(const std::string& pattern) {
    const std::size_t at = pattern.find('@');
    if (at == std::string::npos || pattern.find('{') != std::string::npos) return std::nullopt;
    const std::size_t end = pattern.find_first_not_of('@', at);
    NumberedName name;
    name.m_prefix = pattern.substr(0, at);
    name.m_suffix = end == std::string::npos ? "" : pattern.substr(end);
    name.m_width = (end == std::string::npos ? pattern.size() : end) - at;
    if (name.m_suffix.find('@') != std::string::npos) return std::nullopt;
    return name;
}

std::optional<unsigned long long> NumberedName::numberOf(const std::string& name) const {
    if (name.size() < m_prefix.size() + m_suffix.size() + m_width ||
        name.compare(0, m_prefix.size(), m_prefix) != 0 ||
        name.compare(name.size() - m_suffix.size(), m_suffix.size(), m_suffix) != 0)
        return std::nullopt;
    const std::string digits =
        name.substr(m_prefix.size(), name.size() - m_prefix.size() - m_suffix.size());
    if (digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoull(digits);
}

std::vector<std::string> newestMatches(const std::string& pattern, std::size_t count,
                                       const std::string& kind) {
    namespace fs = boost::filesystem;
    const fs::path given(pattern);
    const std::optional<NumberedName> numbered = NumberedName::parse(given.filename().string());
    if (!numbered) return {};
    const fs::path parent = given.has_parent_path() ? given.parent_path() : fs::path(".");
    struct Match {
        unsigned long long number;
        std::time_t changed;
        std::string path;
    };
    std::vector<Match> matches;
    boost::system::error_code error;
    for (fs::directory_iterator it(parent, error), stop; !error && it != stop;
         it.increment(error)) {
        const std::optional<unsigned long long> number =
            numbered->numberOf(it->path().filename().string());
        if (!number) continue;
        const std::string found = nodeKindAt(it->path().string());
        if (found.empty() || (!kind.empty() && found != kind)) continue;
        boost::system::error_code ignored;
        matches.push_back({*number, fs::last_write_time(it->path(), ignored), it->path().string()});
    }
    std::sort(matches.begin(), matches.end(), [](const Match& a, const Match& b) {
        return a.number != b.number ? a.number > b.number : a.changed > b.changed;
    });
    std::vector<std::string> newest;
    for (std::size_t i = 0; i < matches.size() && i < count; ++i) newest.push_back(matches[i].path);
    return newest;
}

std::string newestMatch(const std::string& pattern, const std::string& kind) {
    const std::vector<std::string> newest = newestMatches(pattern, 1, kind);
    return newest.empty() ? "" : newest.front();
}

corekit2::sptr_t<talvo2::INode> openAnyKind(const std::string& path, bool literal) {
    const std::wstring where = ulib_2_18::from_utf8(path);
    if (talvo2::IProject::probe(where.c_str()))
        return talvo2::IProject::open(where.c_str(), nullptr);
    if (talvo2::IExperiment::probe(where.c_str()))
        return talvo2::IExperiment::open(where.c_str(), nullptr);
    return talvo2::ResultDirectoryManager::open(where.c_str(), literal, nullptr);
}

std::optional<std::pair<std::string, std::string>> comparedPaths(const std::string& first,
                                                                 const std::string& second,
                                                                 bool& literal,
                                                                 std::size_t& matched) {
    // Newest by number: one pattern compares its two highest numbers, not the two greatest
    // names (r999 is not newer than r1000).
    if (!literal && second.empty() && !existsOnDisk(first)) {
        const std::vector<std::string> newest = newestMatches(first, 2, "result");
        matched = newest.size();
        if (matched < 2) return std::nullopt;
        literal = true;
        return std::make_pair(newest[0], newest[1]);
    }
    std::pair<std::string, std::string> paths(first, second.empty() ? first : second);
    matched = 2;
    if (literal) return paths;
    for (std::string* path : {&paths.first, &paths.second}) {
        if (existsOnDisk(*path)) continue;
        const std::string newest = newestMatch(*path, "result");
        if (!newest.empty()) *path = newest;
    }
    return paths;
}

}  // namespace talvo_front
