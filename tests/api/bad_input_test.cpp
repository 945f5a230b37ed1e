// Every exported operation that takes a path, name, pattern or text, given arguments that cannot
// be used: each must refuse them in its defined way, throw nothing, and write nothing on disk.

#include <limits.h>

#include <functional>
#include <map>
#include <set>

#include "talvo2/talvo2.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using RDM = ResultDirectoryManager;

struct Input {
    std::string label;
    std::wstring text;
    bool null = false;
    const wchar_t* get() const { return null ? nullptr : text.c_str(); }
};

std::vector<Input> badInputs() {
    std::wstring deep;  // relative, PATH_MAX characters of short elements
    while (deep.size() < PATH_MAX) deep += L"d/";
    deep.resize(PATH_MAX);
    return {
        {"null", L"", true},
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
        {"nine @", L"r@@@@@@@@@"},
    };
}

std::set<std::string> everything() {
    std::set<std::string> labels;
    for (const Input& input : badInputs()) labels.insert(input.label);
    return labels;
}

// Whether a call took its argument, and the error it gave (returned, or left as last error).
struct Answer {
    bool accepted;
    error_t error;
};
Answer byCode(error_t code) {
    return {code == OK, code};
}
Answer byBool(bool accepted) {
    return {accepted, RDM::getLastError()};
}
// For queries and setters, which have no failure to report: only no harm may come of them.
Answer answerOf(bool accepted) {
    return {accepted, accepted ? OK : ParameterError};
}
// A node made all the same is deleted again: only what refusals leave behind is compared.
template <class Kind>
Answer made(const sptr_t<Kind>& node) {
    const Answer answer = byBool(bool(node));
    if (node) node->remove();
    return answer;
}

// For creators that settle into a directory that is already there ("..", the one above the
// directory `path` is taken against): only the marker they wrote is taken back.
template <class Make>
Answer settled(const wchar_t* path, Make make, const fs::path& against = fs::current_path()) {
    boost::system::error_code ec;
    const bool existed = path && *path && fs::is_directory(against / test::utf8Path(path), ec);
    const auto node = make(path);
    if (!node || !existed) return made(node);
    fs::remove(test::utf8Path(node->getMarkerFilePath()));
    if (node->isLinked()) fs::remove(test::utf8Path(node->getLinkFilePath()));
    return byBool(true);
}

struct Operation {
    std::string name;
    std::function<Answer(const wchar_t*)> call;
    // Inputs this operation may take by its documented meaning; it must still write nothing
    // that it does not take back.
    std::set<std::string> accepted = {};
};

// Every file and directory below `root`, with the content of the files.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it)
        tree[it->path().string()] =
            fs::is_directory(it->symlink_status()) ? "<dir>" : test::readFile(it->path());
    return tree;
}

class BadInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous = fs::current_path();
        // Relative arguments resolve two levels below the sandbox, so that ".." stays in it.
        fs::create_directories(dir.path() / "cwd/here");
        result = RDM::create(at(L"r000").c_str(), false, nullptr, false, nullptr);
        project = IProject::create(at(L"p").c_str(), nullptr, false);
        experiment = IExperiment::create(at(L"e").c_str(), nullptr);
        ASSERT_TRUE(result && project && experiment);
        ASSERT_TRUE(result->createCollectorDataDir());
        test::writeFile(dir.path() / "nodes/r000/data.0/f", "data");
        fs::current_path(dir.path() / "cwd/here");
    }
    void TearDown() override { fs::current_path(previous); }

    std::wstring at(const std::wstring& node) const { return dir.wide(L"nodes/" + node); }

    // Calls every operation with every bad input.
    void sweep(const std::vector<Operation>& operations) {
        auto before = snapshot(dir.path());
        for (const Operation& operation : operations) {
            for (const Input& input : badInputs()) {
                SCOPED_TRACE(operation.name + " with " + input.label);
                IProject::probe(at(L"p").c_str());  // resets the last error
                try {
                    const Answer answer = operation.call(input.get());
                    if (!operation.accepted.count(input.label)) {
                        EXPECT_FALSE(answer.accepted);
                        EXPECT_NE(answer.error, OK);
                    }
                } catch (...) {
                    ADD_FAILURE() << "exception";
                }
                const auto after = snapshot(dir.path());
                std::string changed;
                for (const auto& [path, content] : after)
                    if (!before.count(path) || before.at(path) != content) changed += " " + path;
                for (const auto& entry : before)
                    if (!after.count(entry.first)) changed += " -" + entry.first;
                EXPECT_EQ(changed, "") << "written";
                before = after;
            }
        }
    }

    test::TempDir dir;
    fs::path previous;
    sptr_t<IResultDirectory> result;
    sptr_t<IProject> project;
    sptr_t<IExperiment> experiment;
};

TEST_F(BadInputTest, StaticAndFreeFunctions) {
    sptr_t<IResultDirectory> a, b;
    const std::wstring r000 = at(L"r000");
    const auto diff = [&](const wchar_t* first, const wchar_t* second) {
        const bool found = RDM::openForDiff(first, second, &a, &b, false);
        return Answer{found && (a || b), RDM::getLastError()};
    };
    // A base where no group opens anchors nothing (the current directory counts), so creation
    // with a bad base is not swept: it would write into the working directory.
    sweep({
        {"create", [](auto p) { return made(RDM::create(p, false, nullptr, false, nullptr)); }},
        {"create literal",
         [](auto p) { return made(RDM::create(p, false, nullptr, true, nullptr)); }},
        {"create overwrite",
         [](auto p) { return made(RDM::create(p, true, nullptr, false, nullptr)); }},
        {"open", [](auto p) { return byBool(bool(RDM::open(p, false, nullptr))); }},
        {"open literal", [](auto p) { return byBool(bool(RDM::open(p, true, nullptr))); }},
        {"get",
         [](auto p) { return settled(p, [](auto q) { return RDM::get(q, nullptr, false); }); },
         {".."}},
        {"openForDiff first", [&](auto p) { return diff(p, r000.c_str()); }},
        {"openForDiff second", [&](auto p) { return diff(r000.c_str(), p); }},
        {"openForImport path",
         [](auto p) { return byBool(bool(RDM::openForImport(p, L"talvo"))); }},
        {"openForImport extension",
         [&](auto p) { return byBool(bool(RDM::openForImport(r000.c_str(), p))); }},
        // "." and ".." pass as names, and no code tells of a name too long: both documented.
        {"validateResultDirectoryPattern",
         [](auto p) { return byCode(RDM::validateResultDirectoryPattern(p)); },
         {"..", "element beyond NAME_MAX"}},
        {"isReservedDirectoryName",
         [](auto p) { return answerOf(RDM::isReservedDirectoryName(p)); },
         {"CON"}},
        {"isPathPatterned",
         [](auto p) {
             std::wstring copy = p ? p : L"";
             return answerOf(RDM::isPathPatterned(p ? copy.data() : nullptr));
         }},
        {"IResultDirectory::probe", [](auto p) { return answerOf(IResultDirectory::probe(p)); }},
        {"IProject::probe", [](auto p) { return answerOf(IProject::probe(p)); }},
        {"IExperiment::probe", [](auto p) { return answerOf(IExperiment::probe(p)); }},
        {"IProject::create",
         [](auto p) {
             return settled(p, [](auto q) { return IProject::create(q, nullptr, false); });
         },
         {".."}},
        {"IProject::open", [](auto p) { return byBool(bool(IProject::open(p, nullptr))); }},
        {"IExperiment::create", [](auto p) { return made(IExperiment::create(p, nullptr)); }},
        {"IExperiment::open", [](auto p) { return byBool(bool(IExperiment::open(p, nullptr))); }},
        {"INodeGroup::open", [](auto p) { return byBool(bool(INodeGroup::open(p))); }, {".."}},
        // "..": a directory read without error that holds no project.
        {"INodeGroup::findProjects",
         [](auto p) { return byBool(INodeGroup::findProjects(p)->getCount() != 0); },
         {".."}},
        {"ISearchDirectories::create",
         [](auto p) {
             const auto searched = ISearchDirectories::create(p);
             return answerOf(!searched || searched->isLoaded() || searched->save());
         }},
        // Only looks, and names the first free data directory of any folder, even a missing one.
        {"generateCollectorDataDirName",
         [](auto p) {
             if (p) IResultDirectory::generateCollectorDataDirName(p);
             return answerOf(false);
         }},
        // The legacy extensions are empty: documented.
        {"isLegacyResultExtension",
         [](auto p) { return answerOf(p && isLegacyResultExtension(p)); },
         {"empty"}},
        {"isLegacyProjectExtension",
         [](auto p) { return answerOf(p && isLegacyProjectExtension(p)); },
         {"empty"}},
        {"SystemInfo::getIsaType",
         [](auto p) {
             const std::string bytes = p ? test::utf8Path(p).string() : std::string();
             return answerOf(SystemInfo::getIsaType(p ? bytes.c_str() : nullptr) !=
                             SystemInfo::ISA_NONE);
         }},
    });
}

// The operations of INode on `node`. Copies and moves rebind the node they are given, so they
// work on a scratch node of the same kind, deleted afterwards wherever it went.
std::vector<Operation> nodeOperations(INode* n, const std::function<sptr_t<INode>()>& scratch) {
    const auto flag = [n](auto p, error_t code) {
        if (code == OK) n->removeFlag(p, false);
        return byCode(code);
    };
    const auto transfer = [scratch](bool move, bool rename) {
        return [=](auto p) {
            const sptr_t<INode> node = scratch();
            const fs::path original = test::utf8Path(node->getPath());
            const bool done =
                move ? node->move(p, rename, nullptr) : node->copy(p, rename, nullptr);
            const Answer answer = byBool(done);
            if (done) fs::remove_all(test::utf8Path(node->getPath()));
            fs::remove_all(original);
            return answer;
        };
    };
    // Flag names and node names are literal ("@" means nothing in them), and Linux takes any
    // character but the separator: only names that would leave the node are refused.
    const std::set<std::string> literal = {"nine @", "CON", "colon", "star"};
    return {
        {"changeMarkerFilePath", [n](auto p) { return byBool(n->changeMarkerFilePath(p)); }},
        {"changeUserVisibleName",
         [n](auto p) {
             const std::wstring before = n->getUserVisibleName();
             const bool renamed = n->changeUserVisibleName(p);
             const Answer answer = byBool(renamed);
             if (renamed) n->changeUserVisibleName(before.c_str());
             return answer;
         },
         literal},
        // A path where no group opens leaves the node without a parent, which is accepted: only
        // no harm may come of it.
        {"setParent", [n](auto p) { return byBool(n->setParent(p)); }, everything()},
        {"setFlag", [n, flag](auto p) { return flag(p, n->setFlag(p) ? OK : RDM::getLastError()); },
         literal},
        {"addFlag", [n, flag](auto p) { return flag(p, n->addFlag(p, false, false)); }, literal},
        {"addFlag taking over",
         [n, flag](auto p) {
             sptr_t<IFlagData> data;
             return flag(p, n->addFlag(p, data, true, true));
         },
         literal},
        {"clearFlag", [n](auto p) { return byBool(n->clearFlag(p, true)); }},
        {"removeFlag", [n](auto p) { return byCode(n->removeFlag(p, true)); }},
        {"ownFlag", [n](auto p) { return byCode(n->ownFlag(p)); }},
        {"copy", transfer(false, false), literal},
        {"copy renaming the marker", transfer(false, true), literal},
        {"move", transfer(true, false), literal},
        {"duplicate",
         [n](auto p) {
             const std::wstring marker = n->duplicate(p);
             if (!marker.empty()) fs::remove_all(test::utf8Path(marker).parent_path());
             return byBool(!marker.empty());
         },
         literal},
    };
}

TEST_F(BadInputTest, NodeOperations) {
    const std::wstring scratch = at(L"scratch");
    const std::pair<INode*, std::function<sptr_t<INode>()>> kinds[] = {
        {result.get(),
         [&] { return RDM::create(scratch.c_str(), false, nullptr, false, nullptr); }},
        {project.get(), [&] { return IProject::create(scratch.c_str(), nullptr, false); }},
        {experiment.get(), [&] { return IExperiment::create(scratch.c_str(), nullptr); }},
    };
    for (const auto& [node, makeScratch] : kinds) {
        SCOPED_TRACE(test::utf8Path(node->getPath()).filename().string());
        sweep(nodeOperations(node, makeScratch));
    }
}

TEST_F(BadInputTest, ResultDirectoryOperations) {
    IResultDirectory* r = result.get();
    const auto stores = [r](void (IResultDirectory::*set)(const wchar_t*)) {
        return [r, set](auto p) {
            (r->*set)(p);
            // Whatever name is stored, the log paths are the result's directory and the name as
            // stored, answered at once (a climbing name once made these loop forever).
            for (const std::wstring& log :
                 {r->getApplicationLog(), r->getCollectorLog(), r->getCommandLog()})
                EXPECT_EQ(log.rfind(r->getPath(), 0), 0u);
            return answerOf(false);
        };
    };
    sweep({
        // Null and an empty mask take all files: documented, and how masks match.
        {"getResultFiles",
         [r](auto p) { return answerOf(r->getResultFiles(p)->getCount() != 0); },
         {"null", "empty"}},
        {"getSubdir",
         [r](auto p) {
             const wchar_t* made = r->getSubdir(p);
             const Answer answer = byBool(made != nullptr);
             if (made) fs::remove_all(test::utf8Path(made));
             return answer;
         },
         // Any name below the result is taken; one the system cannot store answers null with
         // the last error reset, as documented.
         {"nine @", "CON", "colon", "star", "element beyond NAME_MAX"}},
        {"exportTo", [r](auto p) { return made(r->exportTo(p, nullptr)); }},
        // Any text is a list of masks, each matching or not: only no harm may come of it.
        {"exportTo excluding", [r](auto p) { return made(r->exportTo(L"x@@@", p)); }, everything()},
        {"setCollectorCommand", stores(&IResultDirectory::setCollectorCommand)},
        {"setApplicationLog", stores(&IResultDirectory::setApplicationLog)},
        {"setCollectorLog", stores(&IResultDirectory::setCollectorLog)},
        {"setCommandLog", stores(&IResultDirectory::setCommandLog)},
    });
}

TEST_F(BadInputTest, NodeGroupOperations) {
    const sptr_t<INodeGroup> group = project->getNodeGroup();
    ASSERT_TRUE(group);
    INodeGroup* g = group.get();
    // Null and "" stand for all members: documented (the group has none).
    sweep({
        {"getNodes",
         [g](auto p) { return byBool(!g->getNodes(p, 0).at_end()); },
         {"null", "empty"}},
        {"openNode", [g](auto p) { return byBool(bool(g->openNode(p))); }},
        {"removeNodes",
         [g](auto p) {
             g->removeNodes(p, 0);
             return answerOf(false);
         }},
        {"createResultDirectory",
         [g](auto p) { return made(g->createResultDirectory(p, nullptr)); }},
        {"openResultDirectory", [g](auto p) { return byBool(bool(g->openResultDirectory(p))); }},
        {"createExperiment", [g](auto p) { return made(g->createExperiment(p)); }},
        {"openExperiment", [g](auto p) { return byBool(bool(g->openExperiment(p))); }},
        {"createProject",
         [g](auto p) {
             return settled(
                 p, [g](auto q) { return g->createProject(q, false); },
                 test::utf8Path(g->getPath()));
         },
         {".."}},
        {"openProject", [g](auto p) { return byBool(bool(g->openProject(p))); }},
    });
}

}  // namespace
}  // namespace talvo2
