#include <unistd.h>

#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "corekit2/bag_file.hpp"
#include "corekit2/host.hpp"
#include "node/creation_metadata.hpp"
#include "propstore2/product.hpp"
#include "sysinfo/isa_table.hpp"
#include "ulib_2_18/text.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using corekit2::variant_bag_t;
using corekit2::variant_t;
using test::TempDir;

// A result whose marker holds exactly `bag`, opened.
sptr_t<IResultDirectory> resultWith(const TempDir& dir, const variant_bag_t& bag) {
    fs::create_directories(dir.path() / "r000");
    const std::wstring marker = dir.wide(L"r000/r000") + getResultExtension(false);
    EXPECT_EQ(corekit2::save_variant_bag(bag, marker.c_str()), corekit2::BAG_OK);
    return ResultDirectoryManager::open(dir.wide(L"r000").c_str(), false, nullptr);
}

variant_bag_t withTalvo(const std::map<std::wstring, variant_t>& values) {
    variant_bag_t bag;
    variant_bag_t* talvo = bag.put(L"talvo", variant_bag_t());
    for (const auto& [key, value] : values) talvo->put(key, value);
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

void expectDefaults(IResultDirectory& result, const TempDir& dir) {
    EXPECT_STREQ(result.getCreationHostName(), L"unknown");
    EXPECT_STREQ(result.getCreationOs(false), L"unknown");
    EXPECT_STREQ(result.getCreationOs(true), L"unknown");
    EXPECT_EQ(result.getCreationIsa(), SystemInfo::ISA_NONE);
    EXPECT_EQ(result.getMpiRank(), -1);
    EXPECT_EQ(result.getCollectorCommand(), nullptr);
    EXPECT_EQ(result.getCollectionTimeBegin(), 0);
    EXPECT_EQ(result.getCollectionTimeEnd(), 0);
    EXPECT_EQ(result.getFinalizationTimeBegin(), 0);
    EXPECT_EQ(result.getFinalizationTimeEnd(), 0);
    EXPECT_EQ(result.getLogicalCPUCount(), 0);
    EXPECT_EQ(result.getProcessorCoreCount(), 0);
    EXPECT_EQ(result.getProcessorPackageCount(), 0);
    EXPECT_EQ(result.getCPUFrequency(), 0);
    EXPECT_EQ(result.getCPUFamily(), 0);
    EXPECT_EQ(result.getCPUModel(), 0);
    EXPECT_EQ(result.getCPUStepping(), 0);
    EXPECT_EQ(result.getCPUName(), SystemInfo::CPU_TYPE_UNKNOWN);
    EXPECT_EQ(result.getCPUBrandName(), L"");
    EXPECT_EQ(result.getApplicationLog(), dir.wide(L"r000/application.log"));
    EXPECT_EQ(result.getCollectorLog(), dir.wide(L"r000/collector.log"));
    EXPECT_EQ(result.getCommandLog(), dir.wide(L"r000/command.log"));
}

TEST(ResultMetadataTest, MissingAndMistypedValuesReadAsDefaults) {
    {
        TempDir dir;
        sptr_t<IResultDirectory> result = resultWith(dir, variant_bag_t());
        ASSERT_TRUE(result);
        expectDefaults(*result, dir);
    }
    {
        TempDir dir;
        sptr_t<IResultDirectory> result = resultWith(dir, withTalvo({}));
        ASSERT_TRUE(result);
        expectDefaults(*result, dir);
    }
    {
        // Text where numbers belong and numbers where text belongs.
        TempDir dir;
        std::map<std::wstring, variant_t> values;
        for (const wchar_t* key :
             {L"hostname", L"os", L"isa", L"collectionCommand", L"CPUBrandName", L"applicationLog",
              L"collectorLog", L"commandLog"})
            values[key] = variant_t(int32_t{7});
        for (const wchar_t* key :
             {L"mpirank", L"collectionTimeBegin", L"collectionTimeEnd", L"finalizationTimeBegin",
              L"finalizationTimeEnd", L"logicalCPUCount", L"physicalCoreCount",
              L"processorPackageCount", L"CPUFrequency", L"CPUFamily", L"CPUModel", L"CPUStepping"})
            values[key] = variant_t(std::wstring(L"12"));
        sptr_t<IResultDirectory> result = resultWith(dir, withTalvo(values));
        ASSERT_TRUE(result);
        expectDefaults(*result, dir);
    }
}

TEST(ResultMetadataTest, StoredValuesAndTheirDisplayForms) {
    TempDir dir;
    sptr_t<IResultDirectory> result =
        resultWith(dir, withTalvo({{L"hostname", variant_t(L"")},
                                   {L"os", variant_t(L"linux")},
                                   {L"isa", variant_t(L"sse4_2")},
                                   {L"mpirank", variant_t(int32_t{3})},
                                   {L"CPUFrequency", variant_t(int64_t{3400000000LL})},
                                   {L"CPUFamily", variant_t(int32_t{6})},
                                   {L"CPUModel", variant_t(int32_t{85})},
                                   {L"CPUBrandName", variant_t(L"  Brand  ")},
                                   {L"collectionTimeBegin", variant_t(uint64_t{1700000000})}}));
    ASSERT_TRUE(result);
    EXPECT_STREQ(result->getCreationHostName(), L"");  // empty stays empty
    EXPECT_STREQ(result->getCreationOs(false), L"linux");
    EXPECT_STREQ(result->getCreationOs(true), L"Linux*");
    EXPECT_EQ(result->getCreationIsa(), SystemInfo::ISA_SSE4_2);
    EXPECT_EQ(result->getMpiRank(), 3);
    EXPECT_EQ(result->getCPUFrequency(), 3400000000LL);
    EXPECT_EQ(result->getCPUName(), SystemInfo::CPU_TYPE_11);
    EXPECT_EQ(result->getCPUBrandName(), L"  Brand  ");
    EXPECT_EQ(result->getCollectionTimeBegin(), 1700000000LL);

    const std::map<std::wstring, std::wstring> display = {{L"windows", L"Windows*"},
                                                          {L"Linux", L"Linux"},
                                                          {L"LINUX", L"LINUX"},
                                                          {L"macos", L"macos"}};
    for (const auto& [stored, shown] : display) {
        TempDir other;
        sptr_t<IResultDirectory> node = resultWith(other, withTalvo({{L"os", variant_t(stored)}}));
        ASSERT_TRUE(node);
        EXPECT_EQ(std::wstring(node->getCreationOs(true)), shown);
        EXPECT_EQ(std::wstring(node->getCreationOs(false)), stored);
    }
    // Abbreviations only, exactly spelt.
    for (const wchar_t* isa : {L"avx512f", L"AVX2", L"", L"r\u00e9sultat"}) {
        TempDir other;
        sptr_t<IResultDirectory> node = resultWith(other, withTalvo({{L"isa", variant_t(isa)}}));
        ASSERT_TRUE(node);
        EXPECT_EQ(node->getCreationIsa(), SystemInfo::ISA_NONE);
    }
}

TEST(ResultMetadataTest, SettersChangeTheBagUntilSaved) {
    TempDir dir;
    sptr_t<IResultDirectory> result = resultWith(dir, variant_bag_t());
    ASSERT_TRUE(result);
    const long long before = std::time(nullptr);
    result->setCollectionTimeBegin(1);  // 1 stands for now
    result->setCollectionTimeEnd(0);    // 0 is stored as 0
    result->setFinalizationTimeBegin(-5);
    result->setFinalizationTimeEnd(1234);
    EXPECT_GE(result->getCollectionTimeBegin(), before);
    EXPECT_LE(result->getCollectionTimeBegin(), static_cast<long long>(std::time(nullptr)));
    EXPECT_EQ(result->getCollectionTimeEnd(), 0);
    EXPECT_EQ(result->getFinalizationTimeBegin(), -5);
    EXPECT_EQ(result->getFinalizationTimeEnd(), 1234);

    result->setCollectorCommand(nullptr);
    EXPECT_STREQ(result->getCollectorCommand(), L"");
    result->setCollectorCommand(L"collect -r r@@@ ./app \u7d50\u679c");
    EXPECT_STREQ(result->getCollectorCommand(), L"collect -r r@@@ ./app \u7d50\u679c");
    result->setCollectorLog(L"logs/c.log");
    EXPECT_EQ(result->getCollectorLog(), dir.wide(L"r000/logs/c.log"));
    result->setApplicationLog(L"/var/log/app.log");  // appended, never taken as absolute
    EXPECT_EQ(result->getApplicationLog(), dir.wide(L"r000/var/log/app.log"));
    result->setCommandLog(nullptr);
    EXPECT_EQ(result->getCommandLog(), dir.wide(L"r000"));
    // Names that climb are appended as stored (they once made the getters loop forever).
    for (const wchar_t* climbing : {L"../c.log", L"a/../c.log", L"a/../../../c.log"}) {
        result->setCollectorLog(climbing);
        EXPECT_EQ(result->getCollectorLog(), dir.wide(L"r000/") + climbing);
    }
    result->setCollectorLog(L"logs/c.log");
    EXPECT_TRUE(result->isModified());

    // Types on disk: times unsigned 64-bit, text as text.
    const variant_bag_t unsaved = savedSection(result);
    EXPECT_EQ(unsaved.get<variant_t>(L"collectionCommand"), nullptr);
    ASSERT_TRUE(result->save());
    const variant_bag_t saved = savedSection(result);
    ASSERT_NE(saved.get<variant_t>(L"collectionTimeBegin"), nullptr);
    EXPECT_EQ(saved.get<variant_t>(L"collectionTimeBegin")->type(), corekit2::VT_UINT64);
    EXPECT_EQ(saved.get<variant_t>(L"finalizationTimeEnd")->get_uint64(), 1234u);
    EXPECT_STREQ(saved.get<variant_t>(L"collectorLog")->get_wstr(), L"logs/c.log");

    sptr_t<ISearchDirectories> search = result->getSearchDirectories();
    EXPECT_TRUE(search);
    EXPECT_NE(search.get(), result->getSearchDirectories().get());
}

TEST(ResultMetadataTest, CreationBagKeepsVariablesAndReplacesStaleValues) {
    variant_bag_t bag;
    variant_bag_t* talvo = bag.put(L"talvo", variant_bag_t());
    talvo->put(L"hostname", variant_t(L"stale.example"));
    talvo->put(L"mine", variant_t(int32_t{5}));
    variant_bag_t* variables = talvo->put(L"variables", variant_bag_t());
    variables->put(L"run", variant_t(L"7"));
    bag.put(L"other", variant_t(L"kept"));
    writeCreationMetadata(bag);
    talvo = bag.get<variant_bag_t>(L"talvo");
    ASSERT_NE(talvo, nullptr);
    EXPECT_EQ(talvo->get_variant(L"hostname").get_wstring(), corekit2::get_fq_host_name());
    EXPECT_EQ(talvo->get_variant(L"mine").get_int32(), 5);
    ASSERT_NE(talvo->get<variant_bag_t>(L"variables"), nullptr);
    EXPECT_EQ(talvo->get<variant_bag_t>(L"variables")->get_variant(L"run").get_wstring(), L"7");
    EXPECT_EQ(bag.get_variant(L"other").get_wstring(), L"kept");
    EXPECT_EQ(talvo->get_variant(L"mpirank").type(), corekit2::VT_EMPTY);
}

// What the kernel says about this machine, read independently of the library.
struct KernelView {
    std::string brand;
    std::set<std::string> flags;
    std::set<std::pair<std::string, std::string>> cores;
    std::set<std::string> packages;
};

KernelView readCpuinfo() {
    KernelView view;
    std::ifstream file("/proc/cpuinfo");
    std::string line;
    std::string package;
    auto value = [](const std::string& text) {
        const std::size_t colon = text.find(':');
        std::string v = colon == std::string::npos ? "" : text.substr(colon + 1);
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.erase(0, 1);
        return v;
    };
    while (std::getline(file, line)) {
        if (line.rfind("model name", 0) == 0) view.brand = value(line);
        if (line.rfind("physical id", 0) == 0) view.packages.insert(package = value(line));
        if (line.rfind("core id", 0) == 0) view.cores.insert({package, value(line)});
        if (line.rfind("flags", 0) == 0) {
            std::istringstream words(value(line));
            for (std::string flag; words >> flag;) view.flags.insert(flag == "pni" ? "sse3" : flag);
        }
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
    const SystemInfo::IsaExtensions top = avx != SystemInfo::ISA_NONE   ? avx
                                          : sse != SystemInfo::ISA_NONE ? sse
                                                                        : mmx;
    return SystemInfo::getIsaAbbreviationAsString(top);
}

std::string trimmed(std::string text) {
    while (!text.empty() && text.front() == ' ') text.erase(0, 1);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

TEST(ResultMetadataTest, NewNodesRecordThisMachine) {
    TempDir dir;
    const long long before = std::time(nullptr);
    sptr_t<IResultDirectory> result =
        ResultDirectoryManager::create(dir.wide(L"r@@@").c_str(), false, nullptr, false, nullptr);
    sptr_t<IProject> project = IProject::create(dir.wide(L"p").c_str(), nullptr, false);
    sptr_t<IExperiment> experiment = IExperiment::create(dir.wide(L"e").c_str(), nullptr);
    ASSERT_TRUE(result && project && experiment);
    const KernelView kernel = readCpuinfo();
    const long logical = ::sysconf(_SC_NPROCESSORS_ONLN);

    for (const sptr_t<INode>& node :
         {sptr_t<INode>(result), sptr_t<INode>(project), sptr_t<INode>(experiment)}) {
        const variant_bag_t talvo = savedSection(node);
        SCOPED_TRACE(ulib_2_18::to_utf8(node->getMarkerFilePath()));
        EXPECT_EQ(talvo.get_variant(L"os").get_wstring(), L"linux");
        EXPECT_EQ(talvo.get_variant(L"hostname").get_wstring(), corekit2::get_fq_host_name());
        EXPECT_EQ(talvo.get_variant(L"product").get_wstring(),
                  propstore2::IProductLocations::get()->getName(propstore2::PRODUCT_NAME));
        EXPECT_EQ(talvo.get_variant(L"buildNumber").type(), corekit2::VT_INT32);
        EXPECT_GE(static_cast<long long>(talvo.get_variant(L"timestamp").get_uint64()), before);
        EXPECT_EQ(talvo.get_variant(L"logicalCPUCount").get_int32(), logical);
        EXPECT_EQ(talvo.get_variant(L"CPUFrequency").type(), corekit2::VT_INT64);
        EXPECT_EQ(talvo.get_variant(L"CPUFamily").type(), corekit2::VT_INT32);
        EXPECT_EQ(talvo.get_variant(L"mpirank").type(), corekit2::VT_EMPTY);
        if (!kernel.cores.empty()) {
            EXPECT_EQ(talvo.get_variant(L"physicalCoreCount").get_int32(),
                      static_cast<int32_t>(kernel.cores.size()));
            EXPECT_EQ(talvo.get_variant(L"processorPackageCount").get_int32(),
                      static_cast<int32_t>(kernel.packages.size()));
        }
#if defined(__x86_64__) || defined(__i386__)
        EXPECT_EQ(trimmed(ulib_2_18::to_utf8(talvo.get_variant(L"CPUBrandName").get_wstring())),
                  kernel.brand);
        EXPECT_EQ(talvo.get_variant(L"isa").get_wstring(), expectedIsa(kernel.flags));
        EXPECT_GT(talvo.get_variant(L"CPUFrequency").get_int64(), 0);
#endif
    }
    EXPECT_EQ(result->getMpiRank(), -1);
    EXPECT_EQ(result->getLogicalCPUCount(), logical);
    EXPECT_STREQ(result->getCreationOs(true), L"Linux*");
    EXPECT_EQ(result->getCreationIsa(),
              SystemInfo::getIsaType(ulib_2_18::to_utf8(expectedIsa(kernel.flags)).c_str()));
}

}  // namespace
}  // namespace talvo2
