// Every exported operation that takes a path, name, pattern or text, given arguments that cannot
// be used: each must answer them as its row says, throw nothing, and write nothing on disk.

#include <limits.h>
#include <sys/stat.h>

#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using RDM = ResultDirectoryManager;
using IRD = IResultDirectory;

// Label ("null" stands for a null pointer) and text.
using Inputs = std::vector<std::pair<std::string, std::wstring>>;
const Inputs kInputs = []() -> Inputs {
    std::wstring deep;  // relative, PATH_MAX characters of short elements
    while (deep.size() < PATH_MAX) deep += L"d/";
    deep.resize(PATH_MAX);
    return {{"null", L""},
            {"empty", L""},
            {"PATH_MAX", deep},
            {"beyond PATH_MAX", deep + L"/" + deep},
            {"element beyond NAME_MAX", std::wstring(NAME_MAX + 1, L'n')},
            {"high surrogate", std::wstring(L"r") + wchar_t(0xD800)},
            {"low surrogate", std::wstring(1, wchar_t(0xDFFF)) + L"@@@"},
            {"beyond U+10FFFF", std::wstring(L"r") + wchar_t(0x110000)},
            {"CON", L"CON"},
            {"..", L".."},
            {"colon", L"a:b"},
            {"star", L"r*"},
            {"nine @", L"r@@@@@@@@@"}};
}();

// Per input: OK if taken (or failing leaving OK), else the error; NO for "no" and nothing to tell.
using Codes = std::vector<error_t>;
constexpr error_t NO = error_t(~0u), EP = EmptyPattern, IP = InvalidPath, NF = NotFound,
                  PE = ParameterError, FE = FileError, OF = OperationFailed, AE = AlreadyExists,
                  RC = ReservedCharacters, DN = ReservedDeviceName, TL = TooLongPlaceholder;
// Columns: null, "", PATH_MAX, beyond it, beyond NAME_MAX, 3 unencodable, CON, .., :, *, nine @.
const Codes kCreate = {EP, EP, OF, OF, OF, IP, IP, IP, DN, AE, RC, RC, TL};
const Codes kOpen = {IP, NF, NF, NF, NF, IP, IP, IP, DN, NF, RC, RC, PE};
// Flag and node names are literal and may hold any character but "/": only escapes are refused.
const Codes kName = {PE, PE, PE, PE, FE, PE, PE, PE, OK, PE, OK, OK, OK};
const Codes kTaken(13, OK), kNo(13, NO);

const auto query = [](bool yes) { return yes ? OK : NO; };
const auto answer = [](const auto& taken) { return taken ? OK : RDM::getLastError(); };
// `codes` with the answers to some inputs, by label, changed.
const auto but = [](Codes codes, const std::map<std::string, error_t>& changes) {
    for (size_t i = 0; i < kInputs.size(); ++i)
        if (changes.count(kInputs[i].first)) codes[i] = changes.at(kInputs[i].first);
    return codes;
};
// Creators settling into a directory take "..". Bases are not swept: a bad one anchors nothing.
const Codes kSettling = but(kCreate, {{"..", OK}});
// A node made all the same is taken back; one settled into a directory (..) only what it wrote.
const auto made = [](const auto& node) {
    if (!node) return answer(node);
    fs::remove(test::utf8Path(node->getMarkerFilePath()));
    if (node->isLinked()) fs::remove(test::utf8Path(node->getLinkFilePath()));
    ::rmdir(test::utf8Path(node->getPath()).c_str());  // only if empty
    return OK;
};

// A name, its answers and the call, given a copy of the input, which it must not change.
using Operation = std::tuple<std::string, Codes, std::function<error_t(wchar_t*)>>;

class BadInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(result && project && experiment && project->getNodeGroup());
        ASSERT_TRUE(result->createCollectorDataDir());
        test::writeFile(dir.path() / "nodes/r000/data.0/f", "data");
        // Relative arguments resolve two levels below the sandbox, so that ".." stays in it.
        fs::create_directories(dir.path() / "cwd/here");
        fs::current_path(dir.path() / "cwd/here");
    }
    void TearDown() override { fs::current_path(previous); }

    std::wstring at(const std::wstring& node) const { return dir.wide(L"nodes/" + node); }

    // Every operation with every input; directories count by mode and owner: scratch nodes churn.
    void sweep(const std::vector<Operation>& operations) {
        const auto tree = [this] {
            auto entries = test::snapshot(dir.path());
            for (auto& [path, text] : entries)
                if (S_ISDIR(std::stoul(text))) text.erase(text.find(' ', text.find(' ') + 1));
            return entries;
        };
        const auto before = tree();
        for (const auto& [name, expected, call] : operations) {
            ASSERT_EQ(expected.size(), kInputs.size()) << name;
            for (size_t i = 0; i < kInputs.size(); ++i) {
                SCOPED_TRACE(name + " with " + kInputs[i].first);
                IProject::probe(at(L"p").c_str());      // resets the last error
                std::wstring text = kInputs[i].second;  // an exception fails the test as well
                EXPECT_EQ(call(kInputs[i].first == "null" ? nullptr : text.data()), expected[i]);
                EXPECT_EQ(text, kInputs[i].second) << "changed the argument";
                ASSERT_EQ(tree(), before) << "written";
            }
        }
    }

    test::TempDir dir;
    const fs::path previous = fs::current_path();
    const sptr_t<IResultDirectory> result = test::createResult(at(L"r000"));
    const sptr_t<IProject> project = IProject::create(at(L"p").c_str(), nullptr, false);
    const sptr_t<IExperiment> experiment = IExperiment::create(at(L"e").c_str(), nullptr);
};

TEST_F(BadInputTest, FreeResultAndGroupOperations) {
    const Codes walk = {IP, NF, OF, OF, OF, IP, IP, IP, NF, OK, NF, NF, NF};
    const sptr_t<INodeGroup> g = project->getNodeGroup();
    sptr_t<IResultDirectory> a, b;
    const auto diff = [&](const wchar_t* first, const wchar_t* second) {
        return answer(RDM::openForDiff(first, second, &a, &b, false) && (a || b));
    };
    sweep({
        {"create", kCreate,
         [](auto p) { return made(RDM::create(p, false, nullptr, false, nullptr)); }},
        {"create overwrite", but(kCreate, {{"..", IP}}),
         [](auto p) { return made(RDM::create(p, true, nullptr, false, nullptr)); }},
        {"open", kOpen, [](auto p) { return answer(RDM::open(p, false, nullptr)); }},
        {"get", kSettling, [](auto p) { return made(RDM::get(p, nullptr, false)); }},
        {"openForDiff first", kOpen, [&](auto p) { return diff(p, result->getPath()); }},
        {"openForDiff second", kOpen, [&](auto p) { return diff(result->getPath(), p); }},
        {"openForImport", kOpen, [](auto p) { return answer(RDM::openForImport(p, L"talvo")); }},
        {"openForImport extension",
         {PE, NF, PE, PE, NF, NF, NF, NF, NF, NF, NF, NF, NF},
         [&](auto p) { return answer(RDM::openForImport(result->getPath(), p)); }},
        // "." and ".." pass as names, and no code tells of a name too long: both documented.
        {"validateResultDirectoryPattern",
         {EP, EP, RC, RC, OK, RC, RC, RC, DN, OK, RC, RC, TL},
         [](auto p) { return RDM::validateResultDirectoryPattern(p); }},
        {"isReservedDirectoryName", but(kNo, {{"CON", OK}}),
         [](auto p) { return query(RDM::isReservedDirectoryName(p)); }},
        {"isPathPatterned", kNo, [](auto p) { return query(RDM::isPathPatterned(p)); }},
        {"IResultDirectory::probe", kNo, [](auto p) { return query(IRD::probe(p)); }},
        {"IProject::probe", kNo, [](auto p) { return query(IProject::probe(p)); }},
        {"IExperiment::probe", kNo, [](auto p) { return query(IExperiment::probe(p)); }},
        {"IProject::create", kSettling,
         [](auto p) { return made(IProject::create(p, nullptr, false)); }},
        {"IProject::open", kOpen, [](auto p) { return answer(IProject::open(p, nullptr)); }},
        {"new experiment", kCreate, [](auto p) { return made(IExperiment::create(p, nullptr)); }},
        {"IExperiment::open", kOpen, [](auto p) { return answer(IExperiment::open(p, nullptr)); }},
        {"INodeGroup::open",
         {IP, NF, NF, NF, NF, NF, NF, NF, NF, OK, NF, NF, NF},
         [](auto p) { return answer(INodeGroup::open(p)); }},
        // "..": a directory read without error, holding no project and nothing to remove.
        {"INodeGroup::findProjects", walk,
         [](auto p) { return answer(INodeGroup::findProjects(p)->getCount() != 0); }},
        {"checkTree fixing", but(walk, {{"empty", IP}}),
         [findings = std::vector<TreeFinding>()](auto p) mutable {
             return answer(checkTree(p, true, findings));
         }},
        {"ISearchDirectories::create", kNo,
         [](auto p) {
             const auto searched = ISearchDirectories::create(p);
             return query(!searched || searched->isLoaded() || searched->save());
         }},
        // Only looks, and names the first free data directory of any folder, even a missing one.
        {"generateCollectorDataDirName", kNo,
         [](auto p) { return query(p && IRD::generateCollectorDataDirName(p).empty()); }},
        // The legacy extensions are empty: documented.
        {"isLegacyResultExtension", but(kNo, {{"empty", OK}}),
         [](auto p) { return query(p && isLegacyResultExtension(p)); }},
        {"isLegacyProjectExtension", but(kNo, {{"empty", OK}}),
         [](auto p) { return query(p && isLegacyProjectExtension(p)); }},
        {"SystemInfo::getIsaType", kNo,
         [](auto p) {
             const auto isa = SystemInfo::getIsaType(p ? test::utf8Path(p).c_str() : nullptr);
             return query(isa != SystemInfo::ISA_NONE);
         }},
        // Null and an empty mask take all files: documented, and how masks match.
        {"getResultFiles", but(kNo, {{"null", OK}, {"empty", OK}}),
         [this](auto p) { return query(result->getResultFiles(p)->getCount() != 0); }},
        // Any name below the result is taken; one the system cannot store answers null with OK.
        {"getSubdir", but(kName, {{"element beyond NAME_MAX", OK}}),
         [this](auto p) {
             const wchar_t* subdir = result->getSubdir(p);
             if (subdir) fs::remove_all(test::utf8Path(subdir));
             return answer(subdir);
         }},
        {"exportTo", kCreate, [this](auto p) { return made(result->exportTo(p, nullptr)); }},
        // Any text is a list of masks, each matching or not: only no harm may come of it.
        {"exportTo excluding", kTaken,
         [this](auto p) {
             const auto copy = result->exportTo(L"x@@@", p);
             if (copy) copy->remove();
             return answer(copy);
         }},
        // Log paths lie in the result whatever the names (a climbing name once made these hang).
        {"set the log names and the collector command", kNo,
         [this](auto p) {
             result->setApplicationLog(p);
             result->setCollectorLog(p);
             result->setCommandLog(p);
             result->setCollectorCommand(p);
             for (const std::wstring& log :
                  {result->getApplicationLog(), result->getCollectorLog(), result->getCommandLog()})
                 EXPECT_EQ(log.rfind(result->getPath(), 0), 0u);
             return NO;
         }},
        // Null and "" stand for all members: documented (the group has none).
        {"getNodes", but(kOpen, {{"null", NF}}),
         [g](auto p) { return answer(!g->getNodes(p, 0).at_end()); }},
        {"openNode",
         {IP, NF, NF, NF, NF, IP, IP, IP, NF, NF, NF, NF, NF},
         [g](auto p) { return answer(g->openNode(p)); }},
        {"removeNodes", but(kOpen, {{"null", NF}}),
         [g](auto p) {
             g->removeNodes(p, 0);
             return RDM::getLastError();
         }},
        {"createResultDirectory", kCreate,
         [g](auto p) { return made(g->createResultDirectory(p, nullptr)); }},
        {"openResultDirectory", kOpen, [g](auto p) { return answer(g->openResultDirectory(p)); }},
        {"createExperiment", kCreate, [g](auto p) { return made(g->createExperiment(p)); }},
        {"openExperiment", kOpen, [g](auto p) { return answer(g->openExperiment(p)); }},
        {"createProject", kSettling, [g](auto p) { return made(g->createProject(p, false)); }},
        {"openProject", kOpen, [g](auto p) { return answer(g->openProject(p)); }},
    });
}

// On each kind of node; copies and moves rebind their node, so they take a scratch one of its kind.
TEST_F(BadInputTest, NodeOperations) {
    const std::pair<INode*, std::function<sptr_t<INode>()>> kinds[] = {
        {result.get(), [&] { return test::createResult(at(L"scratch")); }},
        {project.get(), [&] { return IProject::create(at(L"scratch").c_str(), nullptr, false); }},
        {experiment.get(), [&] { return IExperiment::create(at(L"scratch").c_str(), nullptr); }},
    };
    const Codes missingFlag = {PE, PE, PE, PE, NF, PE, PE, PE, NF, PE, NF, NF, NF};
    const Codes destination = {PE, PE, FE, FE, FE, IP, IP, IP, OK, AE, OK, OK, OK};
    for (const auto& [kind, scratch] : kinds) {
        INode* const n = kind;
        SCOPED_TRACE(test::utf8Path(n->getPath()).filename().string());
        const auto flag = [n](auto p, error_t code) {
            if (code == OK) n->removeFlag(p, false);
            return code;
        };
        const auto transfer = [&scratch = scratch](bool move, bool rename) {
            return [=](auto p) {
                const sptr_t<INode> node = scratch();
                const fs::path original = test::utf8Path(node->getPath());
                const bool done =
                    move ? node->move(p, rename, nullptr) : node->copy(p, rename, nullptr);
                if (done) fs::remove_all(test::utf8Path(node->getPath()));
                fs::remove_all(original);
                return answer(done);
            };
        };
        sweep({
            {"changeMarkerFilePath",
             {IP, IP, PE, PE, PE, IP, IP, IP, PE, PE, PE, PE, PE},
             [n](auto p) { return answer(n->changeMarkerFilePath(p)); }},
            {"changeUserVisibleName", but(kName, {{"element beyond NAME_MAX", OF}}),
             [n](auto p) {
                 const std::wstring before = n->getUserVisibleName();
                 const error_t code = answer(n->changeUserVisibleName(p));
                 if (code == OK) n->changeUserVisibleName(before.c_str());
                 return code;
             }},
            // A path where no group opens leaves the node without a parent, which is accepted.
            {"setParent", kTaken, [n](auto p) { return answer(n->setParent(p)); }},
            {"setFlag", kName, [n, flag](auto p) { return flag(p, answer(n->setFlag(p))); }},
            {"addFlag", kName, [n, flag](auto p) { return flag(p, n->addFlag(p, false, false)); }},
            {"clearFlag", missingFlag, [n](auto p) { return answer(n->clearFlag(p, true)); }},
            {"removeFlag", missingFlag, [n](auto p) { return n->removeFlag(p, true); }},
            {"ownFlag", missingFlag, [n](auto p) { return n->ownFlag(p); }},
            {"copy renaming the marker", destination, transfer(false, true)},
            {"move", destination, transfer(true, false)},
            {"duplicate", but(kCreate, {{"null", IP}, {"empty", AE}}),
             [n](auto p) {
                 const std::wstring marker = n->duplicate(p);
                 if (!marker.empty()) fs::remove_all(test::utf8Path(marker).parent_path());
                 return answer(!marker.empty());
             }},
        });
    }
}

}  // namespace
}  // namespace talvo2
