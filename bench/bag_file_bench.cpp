// Marker files are read whenever a node is opened and written on every save, and collectors on
// many machines open results in tight loops. Goals, for a typical result marker of a few dozen
// values on one core: load under 100 us, atomic save (with fsync) under 5 ms, MD5 of the first
// 4096 bytes under 20 us.

#include <benchmark/benchmark.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <string>

#include "corekit2/bag_file.hpp"
#include "corekit2/md5.hpp"

namespace {

namespace fs = boost::filesystem;
using corekit2::variant_bag_t;
using corekit2::variant_t;

// Roughly what a finalized result records about itself.
variant_bag_t typicalMarkerBag() {
    variant_bag_t bag;
    variant_bag_t talvo;
    talvo.put(L"timestamp", variant_t(uint64_t{1780000000}));
    talvo.put(L"hostname", variant_t(L"node0042.cluster.example.org"));
    talvo.put(L"os", variant_t(L"Linux 6.1.0-18-amd64 x86_64"));
    talvo.put(L"product", variant_t(L"Talvo 2.0.0 (build 1)"));
    talvo.put(L"mpirank", variant_t(int32_t{17}));
    talvo.put(L"cpuBrand", variant_t(L"Example(R) Processor 9000 @ 3.20GHz"));
    for (int i = 0; i < 12; ++i)
        talvo.put(L"counter" + std::to_wstring(i), variant_t(int64_t{i} * 1000003));
    variant_bag_t variables;
    variables.put(L"hostname", variant_t(L"node0042"));
    variables.put(L"jobid", variant_t(L"123456"));
    talvo.put(L"variables", variables);
    bag.put(L"talvo", talvo);
    variant_bag_t collector;
    collector.put(L"commandLine",
                  variant_t(L"collector -run -- ./app --size 4096 --iterations 100"));
    collector.put(L"collectionBegin", variant_t(int64_t{1780000000}));
    collector.put(L"collectionEnd", variant_t(int64_t{1780000360}));
    bag.put(L"collector", collector);
    return bag;
}

struct Scratch {
    Scratch() : dir(fs::temp_directory_path() / fs::unique_path("talvo2-bench-%%%%-%%%%")) {
        fs::create_directories(dir);
    }
    ~Scratch() { fs::remove_all(dir); }
    std::wstring file(const std::string& name) const {
        const std::string path = (dir / name).string();
        return std::wstring(path.begin(), path.end());
    }
    fs::path dir;
};

void BM_LoadMarkerBag(benchmark::State& state) {
    Scratch scratch;
    const std::wstring file = scratch.file("r000.talvo");
    corekit2::save_variant_bag(typicalMarkerBag(), file.c_str());
    for (auto _ : state) {
        variant_bag_t bag;
        if (corekit2::load_variant_bag(bag, file.c_str(), "") != corekit2::BAG_OK)
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(bag);
    }
}
BENCHMARK(BM_LoadMarkerBag);

void BM_SaveMarkerBagAtomically(benchmark::State& state) {
    Scratch scratch;
    const std::wstring file = scratch.file("r000.talvo");
    const variant_bag_t bag = typicalMarkerBag();
    for (auto _ : state) {
        if (corekit2::save_variant_bag(bag, file.c_str()) != corekit2::BAG_OK)
            state.SkipWithError("save failed");
    }
}
BENCHMARK(BM_SaveMarkerBagAtomically)->Unit(benchmark::kMicrosecond);

void BM_RenderBagToString(benchmark::State& state) {
    const variant_bag_t bag = typicalMarkerBag();
    for (auto _ : state) {
        variant_t text;
        corekit2::save_variant_bag_to_string(bag, &text);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_RenderBagToString);

void BM_Md5OfMarkerHead(benchmark::State& state) {
    Scratch scratch;
    const std::wstring file = scratch.file("big.bin");
    std::ofstream((scratch.dir / "big.bin").string(), std::ios::binary)
        << std::string(64 * 1024, 'x');
    for (auto _ : state) {
        corekit2::md5_t digest;
        digest.update_from_file(corekit2::path_t(file), 4096);
        benchmark::DoNotOptimize(digest.get_digest_base16());
    }
}
BENCHMARK(BM_Md5OfMarkerHead);

}  // namespace
