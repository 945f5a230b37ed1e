#include "robustness/hostile_traps.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "corekit2/bag_file.hpp"
#include "util/library_test.hpp"

namespace talvo2::test {

namespace {

namespace fs = boost::filesystem;
using corekit2::variant_bag_t;
using corekit2::variant_t;

std::wstring wide(const fs::path& path) {
    return path.wstring();
}

void makeResult(const fs::path& path) {
    ASSERT_TRUE(ResultDirectoryManager::create(wide(path).c_str(), false, nullptr, false, nullptr))
        << path;
}

// Puts `key` = `value` into the "talvo" section of the marker's bag, as a text editor would.
void forge(const fs::path& marker, const wchar_t* key, const fs::path& value) {
    variant_bag_t bag;
    ASSERT_EQ(corekit2::load_variant_bag(bag, wide(marker).c_str(), ""), corekit2::BAG_OK);
    bag.get<variant_bag_t>(L"talvo")->put(key, variant_t(wide(value).c_str()));
    ASSERT_EQ(corekit2::save_variant_bag(bag, wide(marker).c_str()), corekit2::BAG_OK);
}

void link(const fs::path& at, const fs::path& target) {
    variant_bag_t bag;
    bag.put(L"link", variant_t(wide(target).c_str()));
    bag.put(L"md5sum", variant_t(L"0123456789abcdef0123456789abcdef"));
    ASSERT_EQ(corekit2::save_variant_bag2(bag, wide(at).c_str(), "bag"), corekit2::BAG_OK);
}

void symlink(const fs::path& at, const fs::path& target) {
    boost::system::error_code ignored;
    fs::remove(at, ignored);
    ASSERT_EQ(::symlink(target.c_str(), at.c_str()), 0) << at;
}

void fifo(const fs::path& at) {
    boost::system::error_code ignored;
    fs::remove(at, ignored);
    ASSERT_EQ(::mkfifo(at.c_str(), 0666), 0) << at;
}

// 8 GiB that cost nothing on disk: whoever reads it whole has lost.
void sparse(const fs::path& at) {
    boost::system::error_code ignored;
    fs::remove(at, ignored);
    const int fd = ::open(at.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ASSERT_GE(fd, 0) << at;
    EXPECT_EQ(::ftruncate(fd, off_t{8} << 30), 0);
    ::close(fd);
}

std::string deepXml() {
    std::string text = "<?xml version=\"1.0\"?><variant_bag version=\"1\">";
    for (int i = 0; i < 100000; ++i) text += "<bag key=\"a\">";
    return text + std::string(100000, ' ') + "</variant_bag>";
}

const std::string kUnterminated = "<?xml version=\"1.0\"?><variant_bag version=\"1\"><bag key=\"";

// Everything below `root` writable by all, so that every victim's operations get as far as the
// attacker can let them.
void openToAll(const fs::path& root) {
    ::chmod(root.c_str(), 0777);
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const fs::file_status status = it->symlink_status();
        if (fs::is_directory(status)) ::chmod(it->path().c_str(), 0777);
        if (fs::is_regular_file(status)) ::chmod(it->path().c_str(), 0666);
    }
}

}  // namespace

void makeCanary(const fs::path& canary) {
    fs::create_directories(canary / "work");
    writeFile(canary / "important.txt", "precious");
    writeFile(canary / "work/notes.txt", "mine");
    makeResult(canary / "work/res");
    auto project = IProject::create(wide(canary / "proj").c_str(), nullptr, false);
    ASSERT_TRUE(project);
    project->getNodeGroup()->setOutputDirectory(wide(canary / "out").c_str());
    ASSERT_TRUE(project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr));
    project.reset();
    fs::create_directories(canary / "alice");
    ASSERT_EQ(::chown((canary / "alice").c_str(), kAlice, kSharedGroup), 0);
    ASSERT_EQ(runAsUser(kAlice, kSharedGroup, [&] { makeResult(canary / "alice/mine"); }), 0);
}

void plantTraps(const fs::path& shared, const fs::path& canary) {
    const fs::path& S = shared;
    const fs::path& C = canary;
    // Well-formed nodes first, made by the library as anyone would make them.
    {
        auto project = IProject::create(wide(S / "P").c_str(), nullptr, false);
        ASSERT_TRUE(project);
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr));
        ASSERT_TRUE(IExperiment::create(wide(S / "E").c_str(), nullptr));
        for (int i = 0; i < 12; ++i) makeResult(S / "r@@@");
    }
    // Markers whose paths point at the victim's tree.
    forge(S / "P/r000/r000.talvo", L"backlink", C / "important.txt");
    forge(S / "P/r000/r000.talvo", L"applicationLog", C / "important.txt");
    forge(S / "P/r001/r001.talvo", L"backlink", C / "proj/r000.talvolink");
    forge(S / "P/r002/r002.talvo", L"backlink", "/");
    forge(S / "P/P.talvoproj", L"outputDirectory", C / "work");
    forge(S / "E/E.talvoexp", L"outputDirectory", "/");
    forge(S / "r000/r000.talvo", L"backlink", C / "work");
    forge(S / "r000/r000.talvo", L"collectorLog", "/");

    // Link files naming the victim's nodes and folders, and the root.
    link(S / "P/l0.talvolink", C / "work/res/res.talvo");
    link(S / "P/l1.talvolink", "/");
    link(S / "P/l2.talvolink", C / "work/a.talvo");
    link(S / "P/l3.talvoprojlink", C / "proj/proj.talvoproj");
    link(S / "P/l4.talvolink", C / "out/r000/r000.talvo");
    link(S / "E/l5.talvolink", C / "alice/mine/mine.talvo");
    symlink(S / "P/s.talvolink", C / "proj/r000.talvolink");
    symlink(S / "P/d.talvolink", C / "work");
    sparse(S / "P/h.talvolink");
    writeFile(S / "P/u.talvolink", kUnterminated);
    writeFile(S / "P/deep.talvolink", deepXml());
    fifo(S / "P/f.talvolink");

    // r001: links and pipes at every name a flag, a finished mark and collector data use.
    symlink(S / "r001/busy.dflgtalvo", C / "important.txt");
    symlink(S / "r001/held.infotalvo", C / "important.txt");
    writeFile(S / "r001/held2.dflgtalvo", "");
    symlink(S / "r001/held2.infotalvo", C / "important.txt");
    fifo(S / "r001/fifo.dflgtalvo");
    writeFile(S / "r001/fifo2.dflgtalvo", "");
    fifo(S / "r001/fifo2.infotalvo");
    symlink(S / "r001/.norun", C / "important.txt");
    symlink(S / "r001/data.0", C / "work");
    symlink(S / "r001/data.1", C / "alice");
    symlink(S / "r001/log", C / "work");
    symlink(S / "r001/.r001.talvo.1.0.0.tmp", C / "important.txt");
    // r002: an invalid mark through a link, huge and broken owner records.
    symlink(S / "r002/.bad", C / "important.txt");
    for (const char* name : {"huge", "bad", "deep"})
        writeFile(S / "r002" / (name + std::string(".dflgtalvo")), "");
    sparse(S / "r002/huge.infotalvo");
    writeFile(S / "r002/bad.infotalvo", kUnterminated);
    writeFile(S / "r002/deep.infotalvo", deepXml());
    // Markers and configuration files that are links, pipes, huge or broken.
    symlink(S / "r003/r003.talvo", C / "work/res/res.talvo");
    fs::create_directories(S / "r004/config");
    symlink(S / "r004/config/search_dir.cfg", C / "important.txt");
    symlink(S / "r005/config", C / "work");
    fifo(S / "r006/r006.talvo");
    fs::create_directories(S / "r007/config");
    fifo(S / "r007/config/search_dir.cfg");
    sparse(S / "r008/r008.talvo");
    fs::create_directories(S / "r009/config");
    sparse(S / "r009/config/search_dir.cfg");
    writeFile(S / "r010/r010.talvo", deepXml());
    writeFile(S / "r011/r011.talvo", kUnterminated);
    openToAll(S);
}

}  // namespace talvo2::test
