#include <unistd.h>

#include <ctime>
#include <cwchar>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "corekit2/bag_file.hpp"
#include "corekit2/host.hpp"
#include "propstore2/product.hpp"
#include "sysinfo/isa_table.hpp"
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
variant_bag_t savedSection(const sptr_t<INode>& node) {
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
        out << log.substr(std::wcslen(r.getPath())) << ' ';
    return out.str();
}

TEST(ResultMetadataTest, StoredMissingAndMistypedValues) {
    // ISA_NONE and CPU_TYPE_UNKNOWN are 0.
    const std::wstring rest = L"|0|-1|(null)|0 0 0 0|0 0 0|0 0 0 0 0||";  // from isa on
    const std::wstring logs = L"/application.log /collector.log /command.log ";
    const std::wstring defaults = L"unknown|unknown unknown" + rest + logs;
    // Text where numbers belong and numbers where text belong read as missing.
    Values mistyped;
    for (const wchar_t* key : {L"hostname", L"os", L"isa", L"collectionCommand", L"CPUBrandName",
                               L"applicationLog", L"collectorLog", L"commandLog"})
        mistyped[key] = variant_t(int32_t{7});
    for (const wchar_t* key :
         {L"mpirank", L"collectionTimeBegin", L"collectionTimeEnd", L"finalizationTimeBegin",
          L"finalizationTimeEnd", L"logicalCPUCount", L"physicalCoreCount",
          L"processorPackageCount", L"CPUFrequency", L"CPUFamily", L"CPUModel", L"CPUStepping"})
        mistyped[key] = variant_t(std::wstring(L"12"));
    const Values stored = {{L"hostname", variant_t(L"")},
                           {L"os", variant_t(L"linux")},
                           {L"isa", variant_t(L"sse4_2")},
                           {L"mpirank", variant_t(int32_t{3})},
                           {L"CPUFrequency", variant_t(int64_t{3400000000LL})},
                           {L"CPUFamily", variant_t(int32_t{6})},
                           {L"CPUModel", variant_t(int32_t{85})},
                           {L"CPUBrandName", variant_t(L"  Brand  ")},
                           {L"collectionTimeBegin", variant_t(uint64_t{1700000000})}};
    // Only "linux" and "windows" have a display form; extensions are read from their exact
    // abbreviations only.
    const auto os = [](const wchar_t* name, const wchar_t* isa) {
        return withTalvo({{L"os", variant_t(name)}, {L"isa", variant_t(isa)}});
    };
    const std::pair<variant_bag_t, std::wstring> cases[] = {
        {variant_bag_t(), defaults},
        {withTalvo({}), defaults},
        {withTalvo(mistyped), defaults},
        {withTalvo(stored), L"|linux Linux*|" + std::to_wstring(SystemInfo::ISA_SSE4_2) +
                                L"|3|(null)|1700000000 0 0 0|0 0 0|3400000000 6 85 0 " +
                                std::to_wstring(SystemInfo::CPU_TYPE_11) + L"|  Brand  |" + logs},
        {os(L"windows", L"avx512f"), L"unknown|windows Windows*" + rest + logs},
        {os(L"Linux", L"AVX2"), L"unknown|Linux Linux" + rest + logs},
        {os(L"macos", L"r\u00e9sultat"), L"unknown|macos macos" + rest + logs},
    };
    for (const auto& [bag, expected] : cases) {
        TempDir dir;
        fs::create_directories(dir.path() / "r000");
        const std::wstring marker = dir.wide(L"r000/r000.talvo");
        ASSERT_EQ(corekit2::save_variant_bag(bag, marker.c_str()), corekit2::BAG_OK);
        const auto result = ResultDirectoryManager::open(marker.c_str(), false, nullptr);
        ASSERT_TRUE(result);
        EXPECT_EQ(metadataOf(*result), expected);
    }
}

TEST(ResultMetadataTest, SettersChangeTheBagUntilSaved) {
    TempDir dir;
    const sptr_t<IResultDirectory> result = test::createResult(dir.wide(L"r000"));
    ASSERT_TRUE(result);
    const long long before = std::time(nullptr);
    result->setCollectionTimeBegin(1);  // 1 stands for now
    result->setCollectionTimeEnd(0);    // 0 is stored as 0
    result->setFinalizationTimeEnd(1234);
    EXPECT_GE(result->getCollectionTimeBegin(), before);
    EXPECT_LE(result->getCollectionTimeBegin(), static_cast<long long>(std::time(nullptr)));
    EXPECT_EQ(result->getCollectionTimeEnd(), 0);
    result->setCollectorCommand(nullptr);
    EXPECT_STREQ(result->getCollectorCommand(), L"");
    result->setApplicationLog(L"/var/log/app.log");  // appended, never taken as absolute
    EXPECT_EQ(result->getApplicationLog(), dir.wide(L"r000/var/log/app.log"));
    result->setCommandLog(nullptr);
    EXPECT_EQ(result->getCommandLog(), dir.wide(L"r000"));
    // A name that climbs is appended as stored (such names once made the getters loop forever).
    result->setCollectorLog(L"a/../../../c.log");
    EXPECT_EQ(result->getCollectorLog(), dir.wide(L"r000/a/../../../c.log"));
    EXPECT_TRUE(result->isModified());

    // Nothing reaches the disk before the save; then times are unsigned 64-bit, text is text.
    EXPECT_EQ(savedSection(result).get<variant_t>(L"collectionCommand"), nullptr);
    ASSERT_TRUE(result->save());
    const variant_bag_t saved = savedSection(result);
    EXPECT_EQ(saved.get_variant(L"collectionTimeBegin").type(), corekit2::VT_UINT64);
    EXPECT_EQ(saved.get_variant(L"finalizationTimeEnd").get_uint64(), 1234u);
    EXPECT_EQ(saved.get_variant(L"collectorLog").get_wstring(), L"a/../../../c.log");
}

TEST(ResultMetadataTest, VariablesLiveUnderTalvoVariablesOfACopiedBag) {
    variant_bag_t creation = withTalvo({{L"timestamp", variant_t(uint64_t{42})}});
    creation.put(L"own", variant_t(L"caller's"));
    ResultVariableBag variables(&creation);
    variables.putVariable(ResultVariableBag::VAR_AT, variant_t(L"node7"));
    variables.putVariable(ResultVariableBag::VAR_AT, variant_t(int32_t{3}));  // replaces, any type
    variables.putVariable(nullptr, variant_t(L"x"));                          // ignored
    creation.put(L"later", variant_t(true));  // the wrapper holds a copy

    variant_bag_t expected =
        withTalvo({{L"timestamp", variant_t(uint64_t{42})}}, {{L"at", variant_t(int32_t{3})}});
    expected.put(L"own", variant_t(L"caller's"));
    EXPECT_TRUE(variables.getVariables() == expected);
    EXPECT_EQ(variables.getVariable(L"at"), variant_t(int32_t{3}));
    const variant_bag_t onlyTalvo = withTalvo({});
    for (const ResultVariableBag& bag :
         {ResultVariableBag(), ResultVariableBag(&onlyTalvo), variables}) {
        for (const wchar_t* absent : {L"unknown", static_cast<const wchar_t*>(nullptr)}) {
            EXPECT_FALSE(bag.hasVariable(absent));
            EXPECT_TRUE(bag.getVariable(absent).empty());
        }
    }
}

// What the kernel says about this machine, read independently of the library.
struct KernelView {
    std::string brand;
    std::set<std::string> flags, packages;
    std::set<std::pair<std::string, std::string>> cores;
};

KernelView readCpuinfo() {
    KernelView view;
    std::ifstream file("/proc/cpuinfo");
    std::string package;
    for (std::string line; std::getline(file, line);) {
        const std::size_t colon = line.find(':');
        std::istringstream words(colon == std::string::npos ? "" : line.substr(colon + 1));
        std::string value;
        std::getline(words >> std::ws, value);
        if (line.rfind("model name", 0) == 0) view.brand = value;
        if (line.rfind("physical id", 0) == 0) view.packages.insert(package = value);
        if (line.rfind("core id", 0) == 0) view.cores.insert({package, value});
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream flags(value);
        for (std::string flag; flags >> flag;) view.flags.insert(flag == "pni" ? "sse3" : flag);
    }
    return view;
}

// The abbreviation that the flags the kernel lists make the highest: AVX over SSE over MMX.
std::wstring expectedIsa(const std::set<std::string>& flags) {
    SystemInfo::IsaExtensions mmx = SystemInfo::ISA_NONE, sse = mmx, avx = mmx;
    for (const std::string& flag : flags) {
        const IsaTableEntry* row = findIsaRow(nullptr, flag.c_str());
        if (!row) continue;
        SystemInfo::IsaExtensions& family = row->isa >= SystemInfo::ISA_AVX   ? avx
                                            : row->isa >= SystemInfo::ISA_SSE ? sse
                                                                              : mmx;
        if (row->isa > family) family = row->isa;
    }
    return SystemInfo::getIsaAbbreviationAsString(avx ? avx : sse ? sse : mmx);
}

TEST(ResultMetadataTest, NewNodesRecordThisMachine) {
    const uint64_t before = std::time(nullptr);
    TempDir dir;
    // Stale machine values in the caller's bag are replaced; its own values stay (variables
    // too: CreateNamesEachResultOrFailsLeavingNothing).
    variant_bag_t bag =
        withTalvo({{L"hostname", variant_t(L"stale.example")}, {L"mine", variant_t(int32_t{5})}});
    bag.put(L"other", variant_t(L"kept"));
    const auto result =
        ResultDirectoryManager::create(dir.wide(L"r@@@").c_str(), false, &bag, false, nullptr);
    const auto project = IProject::create(dir.wide(L"p").c_str(), nullptr, false);
    const auto experiment = IExperiment::create(dir.wide(L"e").c_str(), nullptr);
    ASSERT_TRUE(result && project && experiment);
    variant_bag_t marker;
    ASSERT_EQ(corekit2::load_variant_bag(marker, result->getMarkerFilePath(), nullptr),
              corekit2::BAG_OK);
    EXPECT_EQ(marker.get_variant(L"other").get_wstring(), L"kept");
    variant_bag_t machine = savedSection(result);
    EXPECT_EQ(machine.get_variant(L"mine").get_int32(), 5);
    machine.remove<variant_t>(L"mine");

    // Every kind of node records the same machine, each at its own time.
    EXPECT_GE(machine.get_variant(L"timestamp").get_uint64(), before);
    for (const sptr_t<INode>& node : {sptr_t<INode>(project), sptr_t<INode>(experiment)}) {
        variant_bag_t section = savedSection(node);
        EXPECT_GE(section.get_variant(L"timestamp").get_uint64(), before);
        section.put(L"timestamp", machine.get_variant(L"timestamp"));
        EXPECT_TRUE(section == machine) << ulib_2_18::to_utf8(node->getMarkerFilePath());
    }

    const KernelView kernel = readCpuinfo();
    EXPECT_EQ(machine.get_variant(L"os").get_wstring(), L"linux");
    EXPECT_EQ(machine.get_variant(L"hostname").get_wstring(), corekit2::get_fq_host_name());
    EXPECT_EQ(machine.get_variant(L"product").get_wstring(),
              propstore2::IProductLocations::get()->getName(propstore2::PRODUCT_NAME));
    EXPECT_EQ(machine.get_variant(L"buildNumber").type(), corekit2::VT_INT32);
    EXPECT_EQ(machine.get_variant(L"CPUFrequency").type(), corekit2::VT_INT64);
    EXPECT_EQ(machine.get_variant(L"CPUFamily").type(), corekit2::VT_INT32);
    EXPECT_EQ(machine.get_variant(L"mpirank").type(), corekit2::VT_EMPTY);
    EXPECT_EQ(result->getLogicalCPUCount(), ::sysconf(_SC_NPROCESSORS_ONLN));
    if (!kernel.cores.empty()) {
        EXPECT_EQ(result->getProcessorCoreCount(), static_cast<int>(kernel.cores.size()));
        EXPECT_EQ(result->getProcessorPackageCount(), static_cast<int>(kernel.packages.size()));
    }
#if defined(__x86_64__) || defined(__i386__)
    std::string brand = ulib_2_18::to_utf8(result->getCPUBrandName());
    brand.erase(0, brand.find_first_not_of(' '));
    brand.erase(brand.find_last_not_of(' ') + 1);
    EXPECT_EQ(brand, kernel.brand);
    EXPECT_EQ(machine.get_variant(L"isa").get_wstring(), expectedIsa(kernel.flags));
    EXPECT_GT(result->getCPUFrequency(), 0);
#endif
}

}  // namespace
}  // namespace talvo2
