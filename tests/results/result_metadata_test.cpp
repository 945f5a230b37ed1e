#include <unistd.h>

#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "corekit2/bag_file.hpp"
#include "corekit2/host.hpp"
#include "propstore2/product.hpp"
#include "talvo2/result_variable_bag.hpp"
#include "ulib_2_18/text.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using corekit2::variant_bag_t;
using corekit2::variant_t;
using test::TempDir;
using Values = std::map<std::wstring, variant_t>;

// A bag holding `values` in its "talvo" section and `variables` in that section's "variables".
variant_bag_t withTalvo(const Values& values, const Values& variables = {}) {
    variant_bag_t bag;
    variant_bag_t* talvo = bag.put(L"talvo", variant_bag_t());
    for (const auto& [key, value] : values) talvo->put(key, value);
    if (variables.empty()) return bag;
    variant_bag_t* section = talvo->put(L"variables", variant_bag_t());
    for (const auto& [key, value] : variables) section->put(key, value);
    return bag;
}

// The "talvo" section a node wrote to its marker file.
variant_bag_t saved(const sptr_t<INode>& node) {
    variant_bag_t bag;
    EXPECT_EQ(corekit2::load_variant_bag(bag, node->getMarkerFilePath(), nullptr),
              corekit2::BAG_OK);
    const variant_bag_t* talvo = bag.get<variant_bag_t>(L"talvo");
    return talvo ? *talvo : variant_bag_t();
}

// Every metadata getter's answer on one line; log paths relative to the result.
std::wstring metadataOf(IResultDirectory& r) {
    std::wostringstream out;
    const wchar_t* command = r.getCollectorCommand();
    out << r.getCreationHostName() << '|' << r.getCreationOs(false) << ' ' << r.getCreationOs(true)
        << '|' << r.getCreationIsa() << '|' << r.getMpiRank() << '|'
        << (command ? command : L"(null)") << '|' << r.getCollectionTimeBegin() << ' '
        << r.getCollectionTimeEnd() << ' ' << r.getFinalizationTimeBegin() << ' '
        << r.getFinalizationTimeEnd() << '|' << r.getLogicalCPUCount() << ' '
        << r.getProcessorCoreCount() << ' ' << r.getProcessorPackageCount() << '|'
        << r.getCPUFrequency() << ' ' << r.getCPUFamily() << ' ' << r.getCPUModel() << ' '
        << r.getCPUStepping() << ' ' << r.getCPUName() << '|' << r.getCPUBrandName() << '|';
    for (const std::wstring& log : {r.getApplicationLog(), r.getCollectorLog(), r.getCommandLog()})
        out << log.substr(std::wstring(r.getPath()).size()) << ' ';
    return out.str();
}

TEST(ResultMetadataTest, StoredMissingMistypedAndSetValues) {
    // ISA_NONE and CPU_TYPE_UNKNOWN are 0.
    const std::wstring rest = L"|0|-1|(null)|0 0 0 0|0 0 0|0 0 0 0 0||";  // from isa on
    const std::wstring logs = L"/application.log /collector.log /command.log ";
    // The last three are mistyped: text where numbers belong and numbers where text belong read
    // as missing.
    const Values stored = {{L"hostname", variant_t(L"")},
                           {L"os", variant_t(L"linux")},
                           {L"isa", variant_t(L"sse4_2")},
                           {L"mpirank", variant_t(int32_t{3})},
                           {L"CPUFrequency", variant_t(int64_t{3400000000LL})},
                           {L"CPUFamily", variant_t(int32_t{6})},
                           {L"CPUModel", variant_t(int32_t{85})},
                           {L"CPUBrandName", variant_t(L"  Brand  ")},
                           {L"collectionTimeBegin", variant_t(uint64_t{1700000000})},
                           {L"collectionCommand", variant_t(int32_t{7})},
                           {L"commandLog", variant_t(int32_t{7})},
                           {L"logicalCPUCount", variant_t(L"12")}};
    // Only "linux" and "windows" have a display form; extensions are read from exact names only.
    const auto os = [](const wchar_t* name, const wchar_t* isa) {
        return withTalvo({{L"os", variant_t(name)}, {L"isa", variant_t(isa)}});
    };
    const std::pair<variant_bag_t, std::wstring> cases[] = {
        {withTalvo(stored), L"|linux Linux*|" + std::to_wstring(SystemInfo::ISA_SSE4_2) +
                                L"|3|(null)|1700000000 0 0 0|0 0 0|3400000000 6 85 0 " +
                                std::to_wstring(SystemInfo::CPU_TYPE_11) + L"|  Brand  |" + logs},
        {os(L"windows", L"avx512f"), L"unknown|windows Windows*" + rest + logs},
        {os(L"Linux", L"AVX2"), L"unknown|Linux Linux" + rest + logs},
        {os(L"macos", L"r\u00e9sultat"), L"unknown|macos macos" + rest + logs},
        {variant_bag_t(), L"unknown|unknown unknown" + rest + logs},  // the setters' below
    };
    TempDir dir;
    sptr_t<IResultDirectory> result;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        fs::create_directories(dir.path() / std::to_string(i) / "r");
        const std::wstring marker = dir.wide(std::to_wstring(i) + L"/r/r.talvo");
        ASSERT_EQ(corekit2::save_variant_bag(cases[i].first, marker.c_str()), corekit2::BAG_OK);
        result = ResultDirectoryManager::open(marker.c_str(), false, nullptr);
        ASSERT_TRUE(result);
        EXPECT_EQ(metadataOf(*result), cases[i].second);
    }

    // Setters fill the bag (section too) until saved; log names stay as given (climbing ones hung).
    result->setCollectorCommand(nullptr);
    result->setCollectionTimeBegin(2);
    result->setCollectionTimeEnd(0);  // 0 is stored as 0
    result->setFinalizationTimeBegin(3);
    result->setFinalizationTimeEnd(1234);
    result->setApplicationLog(L"/a.log");
    result->setCollectorLog(L"a/../../c.log");
    result->setCommandLog(nullptr);
    EXPECT_EQ(metadataOf(*result),
              L"unknown|unknown unknown|0|-1||2 0 3 1234|0 0 0|0 0 0 0 0||/a.log /a/../../c.log  ");
    EXPECT_TRUE(result->isModified());
    EXPECT_EQ(saved(result).get<variant_t>(L"collectionCommand"), nullptr);
    const long long before = std::time(nullptr);
    result->setCollectionTimeBegin(1);  // 1 stands for now
    EXPECT_GE(result->getCollectionTimeBegin(), before);
    EXPECT_LE(result->getCollectionTimeBegin(), static_cast<long long>(std::time(nullptr)));
    ASSERT_TRUE(result->save());
    EXPECT_EQ(saved(result).get_variant(L"finalizationTimeEnd"), variant_t(uint64_t{1234}));
}

TEST(ResultMetadataTest, VariablesLiveUnderTalvoVariablesOfACopiedBag) {
    variant_bag_t bag = withTalvo({{L"timestamp", variant_t(uint64_t{42})}});
    ResultVariableBag variables(&bag);
    variables.putVariable(ResultVariableBag::VAR_AT, variant_t(L"node7"));
    variables.putVariable(ResultVariableBag::VAR_AT, variant_t(int32_t{3}));  // replaces, any type
    variables.putVariable(nullptr, variant_t(L"x"));                          // ignored
    bag.put(L"later", variant_t(true));  // the wrapper holds a copy

    EXPECT_TRUE(variables.getVariables() == withTalvo({{L"timestamp", variant_t(uint64_t{42})}},
                                                      {{L"at", variant_t(int32_t{3})}}));
    EXPECT_TRUE(variables.hasVariable(L"at"));
    EXPECT_EQ(variables.getVariable(L"at"), variant_t(int32_t{3}));
    // No bag, a "talvo" section without variables, an unknown or null name: nothing.
    for (const ResultVariableBag& each : {ResultVariableBag(), ResultVariableBag(&bag), variables})
        for (const wchar_t* absent : {L"unknown", static_cast<const wchar_t*>(nullptr)})
            EXPECT_TRUE(!each.hasVariable(absent) && each.getVariable(absent).empty());
}

TEST(ResultMetadataTest, NewNodesRecordThisMachine) {
    const uint64_t before = std::time(nullptr);
    TempDir dir;
    const variant_bag_t bag = withTalvo({{L"hostname", variant_t(L"stale")}});  // is replaced
    const auto result =
        ResultDirectoryManager::create(dir.wide(L"r@@@").c_str(), false, &bag, false, nullptr);
    const auto project = IProject::create(dir.wide(L"p").c_str(), nullptr, false);
    const auto experiment = IExperiment::create(dir.wide(L"e").c_str(), nullptr);
    ASSERT_TRUE(result && project && experiment);
    const variant_bag_t machine = saved(result);

    // Every kind of node records the same machine, each at the time it was made.
    EXPECT_GE(machine.get_variant(L"timestamp").get_uint64(), before);
    for (const sptr_t<INode>& node : {sptr_t<INode>(project), sptr_t<INode>(experiment)}) {
        variant_bag_t section = saved(node);
        section.put(L"timestamp", machine.get_variant(L"timestamp"));
        EXPECT_TRUE(section == machine) << ulib_2_18::to_utf8(node->getMarkerFilePath());
    }

    EXPECT_EQ(machine.get_variant(L"os").get_wstring(), L"linux");
    EXPECT_EQ(machine.get_variant(L"hostname").get_wstring(), corekit2::get_fq_host_name());
    EXPECT_EQ(machine.get_variant(L"product").get_wstring(),
              propstore2::IProductLocations::get()->getName(propstore2::PRODUCT_NAME));
    EXPECT_EQ(machine.get_variant(L"buildNumber").type(), corekit2::VT_INT32);
    EXPECT_EQ(result->getLogicalCPUCount(), ::sysconf(_SC_NPROCESSORS_ONLN));

    // What the kernel says about this machine, read independently of the library.
    std::string brand, flags, package;
    std::set<std::string> packages, cores;
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        const std::size_t colon = line.find(": ");
        const std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
        if (line.rfind("model name", 0) == 0) brand = value;
        if (line.rfind("physical id", 0) == 0) packages.insert(package = value);
        if (line.rfind("core id", 0) == 0) cores.insert(package + "/" + value);
        if (line.rfind("flags", 0) == 0) flags = " " + value + " ";
    }
    if (!cores.empty()) {
        EXPECT_EQ(result->getProcessorCoreCount(), static_cast<int>(cores.size()));
        EXPECT_EQ(result->getProcessorPackageCount(), static_cast<int>(packages.size()));
    }
#if defined(__x86_64__) || defined(__i386__)
    std::string recorded = ulib_2_18::to_utf8(result->getCPUBrandName());
    recorded.erase(0, recorded.find_first_not_of(' '));
    recorded.erase(recorded.find_last_not_of(' ') + 1);
    EXPECT_EQ(recorded, brand);
    // The highest extension listed, AVX over SSE over MMX; the kernel calls SSE3 "pni".
    std::string isa;
    for (const char* flag :
         {"mmx", "sse", "sse2", "pni", "ssse3", "sse4_1", "sse4_2", "avx", "avx2", "avx512f"})
        if (flags.find(" " + std::string(flag) + " ") != std::string::npos) isa = flag;
    isa = isa == "pni" ? "sse3" : isa == "avx512f" ? "avx512" : isa;
    EXPECT_EQ(ulib_2_18::to_utf8(machine.get_variant(L"isa").get_wstring()), isa);
    EXPECT_GT(result->getCPUFrequency(), 0);
#endif
}

}  // namespace
}  // namespace talvo2
