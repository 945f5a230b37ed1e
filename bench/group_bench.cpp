// Listing the members of a group walks its directory once and looks into each member directory
// for its marker.
//
// BM_GroupMemberPaths: INodeGroup::getMemberPaths of a folder of N results.
// BM_GroupOpenMembers: the same in a project, then each member opened (INodeGroup::openNode) and
// released:
//   what iterating a group's members costs a front end (bench/python_overhead.py compares it).
// BM_FloorListing: the same found raw: getdents64 of the group, and for each member directory
//   (d_type) openat, getdents64 for a regular ".talvo" file, close.

#include <benchmark/benchmark.h>
#include <fcntl.h>

#include <boost/filesystem.hpp>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "raw_dir.hpp"

#include "talvo2/i_node_group.hpp"
#include "talvo2/i_path_iterator.hpp"
#include "talvo2/i_project.hpp"

namespace {

namespace fs = boost::filesystem;

struct Group {
    explicit Group(int results)
        : root(fs::temp_directory_path() / fs::unique_path("talvo2-group-%%%%-%%%%")) {
        for (int i = 0; i < results; ++i) {
            const std::string name = "r" + std::to_string(i);
            fs::create_directories(root / name);
            std::ofstream(((root / name) / (name + ".talvo")).string()) << "<variant_bag/>";
            std::ofstream(((root / name) / "data.txt").string()) << "x";
        }
    }
    ~Group() { fs::remove_all(root); }
    fs::path root;
};

void BM_GroupMemberPaths(benchmark::State& state) {
    Group group(static_cast<int>(state.range(0)));
    const std::string path = group.root.string();
    const auto nodes = talvo2::INodeGroup::open(std::wstring(path.begin(), path.end()).c_str());
    for (auto _ : state) {
        const auto members = nodes->getMemberPaths();
        if (members->getCount() != static_cast<uint32_t>(state.range(0)))
            state.SkipWithError("wrong member count");
    }
}
BENCHMARK(BM_GroupMemberPaths)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_GroupOpenMembers(benchmark::State& state) {
    Group group(static_cast<int>(state.range(0)));
    const std::string path = group.root.string();
    // Members are opened through their owner: the folder becomes a project.
    const auto project =
        talvo2::IProject::create(std::wstring(path.begin(), path.end()).c_str(), nullptr, false);
    const auto nodes = project ? project->getNodeGroup() : nullptr;
    if (!nodes) return state.SkipWithError("no project");
    for (auto _ : state) {
        const auto members = nodes->getMemberPaths();
        uint32_t opened = 0;
        while (const wchar_t* member = members->next()) opened += nodes->openNode(member) ? 1 : 0;
        if (opened != static_cast<uint32_t>(state.range(0))) state.SkipWithError("open failed");
    }
}
BENCHMARK(BM_GroupOpenMembers)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_FloorListing(benchmark::State& state) {
    Group group(static_cast<int>(state.range(0)));
    const int root = ::open(group.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::vector<char> outer(1 << 16);
    std::vector<char> inner(1 << 12);
    for (auto _ : state) {
        std::size_t found = 0;
        bench::scanDirectory(root, outer, [&](const char* name, unsigned char type) {
            if (type != DT_DIR || name[0] == '.') return;
            const int member = ::openat(root, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            bool marked = false;
            bench::scanDirectory(member, inner, [&marked](const char* file, unsigned char kind) {
                const std::size_t length = std::strlen(file);
                marked |= kind == DT_REG && length > 6 &&
                          std::memcmp(file + length - 6, ".talvo", 6) == 0;
            });
            ::close(member);
            found += marked;
        });
        if (found != static_cast<std::size_t>(state.range(0)))
            state.SkipWithError("wrong member count");
    }
    ::close(root);
}
BENCHMARK(BM_FloorListing)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
