// Listing the members of a group walks its directory once and looks into each member directory
// for its marker. Goal: getMemberPaths within 2x of a plain walk that does the same with
// directory iteration alone, at N = 10,000 result directories.

#include <benchmark/benchmark.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <string>

#include "talvo2/i_node_group.hpp"
#include "talvo2/i_path_iterator.hpp"

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

void BM_BaselineDirectoryWalk(benchmark::State& state) {
    Group group(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::size_t found = 0;
        for (const fs::directory_entry& member : fs::directory_iterator(group.root)) {
            if (!fs::is_directory(member.status())) continue;
            for (const fs::directory_entry& file : fs::directory_iterator(member.path())) {
                if (file.path().extension() == ".talvo" && fs::is_regular_file(file.status())) {
                    ++found;
                    break;
                }
            }
        }
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_BaselineDirectoryWalk)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
