#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "corekit2/bag_file.hpp"
#include "corekit2/host.hpp"
#include "flags/file_locker.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

sptr_t<IResultDirectory> openResult(const std::wstring& path) {
    return ResultDirectoryManager::open(path.c_str(), false, nullptr);
}

// How many of the flag's two files (lock and owner record) are in `result`.
int flagFiles(const fs::path& result, const std::string& flag) {
    return fs::exists(result / (flag + ".dflgtalvo")) + fs::exists(result / (flag + ".infotalvo"));
}

struct FlagFixture : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(node); }
    // `body` on a node of r000 opened anew, in whichever process runs it.
    std::function<void()> onNode(const std::function<void(INode&)>& body) {
        return [this, body] {
            const auto mine = openResult(dir.wide(L"r000"));
            ASSERT_TRUE(mine);
            body(*mine);
        };
    }

    test::TempDir dir;
    const fs::path result = dir.path() / "r000";
    sptr_t<IResultDirectory> node = test::createResult(dir.wide(L"r000"));
};

TEST_F(FlagFixture, OneNodeHoldsAFlagAndOthersLearnWho) {
    ASSERT_EQ(corekit2::save_variant_bag({}, dir.wide(L"r000/second.talvo").c_str()),
              corekit2::BAG_OK);
    auto other = openResult(dir.wide(L"r000/second.talvo"));
    ASSERT_TRUE(other && other.get() != node.get());
    EXPECT_TRUE(node->setFlag(L"writing"));
    EXPECT_FALSE(node->setFlag(L"writing")) << "already held: AlreadyExists";
    EXPECT_EQ(node->ownFlag(L"writing"), OK);
    EXPECT_EQ(other->addFlag(L"writing", false, true), FileLocked);
    EXPECT_EQ(other->removeFlag(L"writing", false), FlagOwnedElsewhere);
    EXPECT_EQ(other->removeFlag(L"writing", true), FileLocked);
    EXPECT_EQ(flagFiles(result, "writing"), 2) << "a refused removal deletes nothing";
    EXPECT_EQ(node->addFlag(L"writing", true, false), OK);  // rewrites the record, keeps the flag
    EXPECT_EQ(node->ownFlag(L"writing"), OK);
    EXPECT_TRUE(node->clearFlag(L"writing", false));
    EXPECT_EQ(flagFiles(result, "writing"), 0);

    // A name may reach into a subdirectory, never out; whatever the file system takes is a name.
    fs::create_directory(result / "locks");
    for (const wchar_t* name :
         {L"locks/writing", L"x:y", L"a*b?", L"CON", L"nul.txt", L"trail.", L"locks/x:y"}) {
        EXPECT_EQ(node->addFlag(name, false, false), OK) << name;
        EXPECT_EQ(flagFiles(result, test::utf8Path(name).string()), 2) << name;
        EXPECT_EQ(node->removeFlag(name, false), OK) << name;
    }
    for (const wchar_t* name :
         {L"../writing", L"locks/../../x", L"/tmp/x", L"locks//x", L"./x", L"locks/", L".."})
        EXPECT_EQ(node->addFlag(name, false, false), ParameterError) << name;

    // A node that goes away releases its flags and deletes their files.
    ASSERT_TRUE(other->setFlag(L"busy"));
    other.reset();
    EXPECT_EQ(flagFiles(result, "busy"), 0);
}

// Plants at a flag's files answer at once and stay: no memory, wait or access through a link.
TEST_F(FlagFixture, DamagedInfoFilesAnswerWithoutHarm) {
    const fs::path victim = dir.path() / "victim";
    test::writeFile(victim, "keep");
    for (const char* flag : {"missing", "empty", "bad", "huge", "fifo", "link"})
        test::writeFile(result / (flag + std::string(".dflgtalvo")), "");
    test::writeFile(result / "empty.infotalvo", "");  // its holder died before it wrote
    test::writeFile(result / "bad.infotalvo", "garbage");
    test::writeFile(result / "huge.infotalvo", "");
    fs::resize_file(result / "huge.infotalvo", uintmax_t{8} << 30);
    ASSERT_EQ(::mkfifo((result / "fifo.infotalvo").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((result / "fifolock.dflgtalvo").c_str(), 0600), 0);
    const char* const links[] = {"link.infotalvo", "linklock.dflgtalvo"};
    for (const char* link : links) fs::create_symlink(victim, result / link);
    fs::create_directory(result / "dir.infotalvo");

    const std::pair<const wchar_t*, error_t> owners[] = {
        {L"missing", NotFound},       {L"empty", NotFound}, {L"bad", RecordFormatError},
        {L"huge", RecordFormatError}, {L"fifo", FileError}, {L"link", FileError}};
    for (const auto& [flag, answer] : owners) {
        EXPECT_EQ(node->ownFlag(flag), answer) << flag;
        EXPECT_TRUE(fs::exists(result / (test::utf8Path(flag).string() + ".dflgtalvo"))) << flag;
    }
    for (const wchar_t* flag : {L"fifolock", L"linklock", L"dir", L"nodir/flag"})
        EXPECT_EQ(node->addFlag(flag, false, true), FileError) << flag;
    EXPECT_EQ(node->addFlag(L"link", true, false), FileError) << "no write through a link";
    EXPECT_EQ(test::readFile(victim), "keep");
    for (const char* link : links) EXPECT_TRUE(fs::is_symlink(result / link)) << link;
}

// Colleagues sharing a folder: bob sees alice's flags until she is killed, then clears/takes them.
TEST_F(FlagFixture, AnotherProcessHoldsUntilItDiesAndLeftoversAreCleared) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
    test::shareWithGroup(result);
    const auto asBob = [&](const std::function<void(INode&)>& body) {
        EXPECT_EQ(test::runAsUser(test::kBob, test::kSharedGroup, onNode(body)), 0);
    };
    const auto alice = onNode([](INode& mine) {
        ASSERT_TRUE(mine.setFlag(L"project_read_only") && mine.setFlag(L"job"));
        ::pause();  // until killed
    });
    const int holder = test::startAsUser(test::kAlice, test::kSharedGroup, alice);
    ASSERT_GT(holder, 0);
    // Owner records are replaced whole: once job's is there, alice holds both flags.
    for (int wait = 0; flagFiles(result, "job") < 2 && wait < 10000; ++wait) ::usleep(1000);
    // Bob cannot write alice's files: taking over must work all the same.
    EXPECT_EQ(fs::status(result / "job.dflgtalvo").permissions() & fs::perms::group_write,
              fs::perms::no_perms);
    asBob([&](INode& mine) {
        sptr_t<IFlagData> data;
        EXPECT_EQ(mine.addFlag(L"job", data, false, true), FileLocked);
        EXPECT_GT(data->getTimestamp(), 0u) << "the holder's record";
        EXPECT_EQ(mine.ownFlag(L"job"), FlagOwnedElsewhere);
        // Saving is refused while another process holds the node read-only.
        const std::string before = test::readFile(result / "r000.talvo");
        mine.getPropertyStorage()->setValue(L"change", corekit2::variant_t(int32_t{1}));
        EXPECT_FALSE(mine.save());
        EXPECT_EQ(test::lastError(), FlagOwnedElsewhere) << "not a disk failure";
        EXPECT_TRUE(mine.isModified());
        EXPECT_EQ(test::readFile(result / "r000.talvo"), before);
    });
    ::kill(holder, SIGKILL);
    EXPECT_EQ(test::waitForChild(holder), 128 + SIGKILL);
    EXPECT_EQ(flagFiles(result, "job"), 2) << "a killed holder leaves both";
    asBob([&](INode& mine) {
        EXPECT_EQ(mine.ownFlag(L"job"), NotFound) << "the leftover is cleared";
        EXPECT_EQ(mine.addFlag(L"project_read_only", false, false), AlreadyExists);
        sptr_t<IFlagData> data;
        EXPECT_EQ(mine.addFlag(L"project_read_only", data, false, true), OK) << "taken over";
        EXPECT_STREQ(data->getHost(), corekit2::get_fq_host_name().c_str());
        EXPECT_TRUE(mine.save()) << "our own read-only flag does not stop us";
        EXPECT_EQ(mine.removeFlag(L"project_read_only", false), OK);
    });
    EXPECT_EQ(flagFiles(result, "job") + flagFiles(result, "project_read_only"), 0);

    // A folder bob may not write refuses his flags; files he can no longer delete are let go.
    fs::permissions(result, fs::perms::remove_perms | fs::perms::group_write);
    fs::create_directory(result / "locks");
    (void)!::chown((result / "locks").c_str(), test::kBob, test::kSharedGroup);
    asBob([&](INode& mine) {
        EXPECT_EQ(mine.addFlag(L"flag", false, false), AccessDenied);
        EXPECT_EQ(mine.ownFlag(L"flag"), NotFound);
        ASSERT_EQ(mine.addFlag(L"locks/held", false, false), OK);
        fs::permissions(result / "locks", fs::perms::owner_read | fs::perms::owner_exe);
        EXPECT_EQ(mine.removeFlag(L"locks/held", false), OK);
        EXPECT_EQ(mine.ownFlag(L"locks/held"), NotFound);
        EXPECT_TRUE(fs::exists(result / "locks/held.dflgtalvo"));
    });
}

TEST(FileLocker, OwnerRecordsRoundTripAndReadersStopAtTheTerminator) {
    test::TempDir dir;
    corekit2::variant_bag_t record, read;
    util::FileLocker::fillOwnerRecord(record);
    EXPECT_EQ(record.keys<corekit2::variant_t>(),
              (std::vector<std::wstring>{L"host", L"os", L"pid", L"ppid", L"timestamp", L"user"}));
    EXPECT_EQ(record.get_variant(L"ppid").get_uint32(), static_cast<uint32_t>(::getppid()));
    EXPECT_EQ(record.get_variant(L"os").get_wstring(), L"linux");
    EXPECT_EQ(record.get_variant(L"timestamp").type(), corekit2::VT_UINT64);
    const fs::path file = dir.path() / "flag.infotalvo";
    ASSERT_EQ(util::FileLocker::writeRecord(file.wstring(), record), OK);
    // An older, longer record's tail may follow the terminator.
    test::writeFile(file, test::readFile(file) + "<tail of an older record");
    ASSERT_EQ(util::FileLocker::readRecord(file.wstring(), read), OK);
    EXPECT_TRUE(read == record);
}

// Processes and threads (each with a node of its own) contend for one flag, some processes dying
// holding it: nobody may share it. Rounds: TALVO2_FLAG_ROUNDS (500 unless set).
TEST(NodeFlagsStress, ProcessesNeverShareAFlagAndLeaveNoFiles) {
    const char* configured = std::getenv("TALVO2_FLAG_ROUNDS");
    const int minRounds = configured ? std::atoi(configured) : 500;
    constexpr int processes = 6, forked = processes + 4, all = forked + 3;
    test::TempDir dir;
    ASSERT_TRUE(test::createResult(dir.wide(L"r000")));
    const auto marker = [&](int c) { return dir.wide(L"r000/t" + std::to_wstring(c) + L".talvo"); };
    for (int t = forked; t < all; ++t)
        ASSERT_EQ(corekit2::save_variant_bag({}, marker(t).c_str()), corekit2::BAG_OK);
    const auto recordedPid = [&] {  // the owner record's writer; 0 when there is none
        corekit2::variant_bag_t record;
        const error_t read =
            util::FileLocker::readRecord(dir.wide(L"r000/shared.infotalvo"), record);
        return read == OK ? static_cast<int>(record.get_variant(L"pid").get_uint32()) : 0;
    };
    struct Tally {  // one per contender, in memory this process shares with its children
        int rounds, held, doubles;
    };
    auto* tallies = static_cast<Tally*>(::mmap(nullptr, sizeof(Tally) * all, PROT_READ | PROT_WRITE,
                                               MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    // A holder proves it is alone by creating "inside", and that the record is its own.
    const auto contender = [&](int c) {
        const auto mine = openResult(c < forked ? dir.wide(L"r000") : marker(c));
        ASSERT_TRUE(mine);
        const std::string inside = (dir.path() / "inside").string();
        Tally& tally = tallies[c];
        // The bound only keeps a broken flag from hanging the test.
        for (; tally.rounds < 1000000 &&
               (tally.rounds < minRounds || !tally.held || !fs::exists(dir.path() / "stop"));
             ++tally.rounds) {
            const int op = (tally.rounds + c) % 3;
            if (op == 2) {
                const error_t asked = mine->ownFlag(L"shared");
                EXPECT_TRUE(asked == NotFound || asked == FlagOwnedElsewhere) << asked;
                continue;
            }
            const error_t added = mine->addFlag(L"shared", false, op == 0);
            if (added != OK) {
                EXPECT_TRUE(added == FileLocked || added == AlreadyExists) << added;
                ::sched_yield();
                continue;
            }
            ++tally.held;
            const int alone = ::open(inside.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
            tally.doubles += alone < 0;
            EXPECT_EQ(recordedPid(), ::getpid()) << "the holder's record was lost";
            ::sched_yield();  // let the others try while it is held
            if (alone >= 0) ::close(alone), ::unlink(inside.c_str());
            if (c >= processes && c < forked && tally.rounds >= minRounds) ::raise(SIGKILL);
            // FileLocked: another took the flag up between our release and the clean-up.
            const error_t removed = mine->removeFlag(L"shared", false);
            EXPECT_TRUE(removed == OK || removed == FileLocked) << removed;
        }
    };
    // Fork before the threads start: a child forked while a thread holds a lock waits forever.
    std::vector<int> children;
    for (int c = 0; c < forked; ++c) children.push_back(test::startChild([&, c] { contender(c); }));
    std::vector<std::thread> pool;
    for (int c = forked; c < all; ++c) pool.emplace_back(contender, c);
    for (int c = processes; c < forked; ++c) {
        EXPECT_EQ(test::waitForChild(children[c]), 128 + SIGKILL) << "died holding the flag";
        int wait = 0;
        while (recordedPid() == children[c] && ++wait < 10000) ::usleep(1000);
        EXPECT_LT(wait, 10000) << "a leftover was neither taken over nor cleared";
    }
    test::writeFile(dir.path() / "stop", "");
    for (std::thread& thread : pool) thread.join();
    for (int c = 0; c < processes; ++c) EXPECT_EQ(test::waitForChild(children[c]), 0);
    Tally sum{};
    for (int c = 0; c < all; ++c) {
        EXPECT_GT(tallies[c].held, 0) << "contender " << c << " never got the flag";
        sum.rounds += tallies[c].rounds, sum.held += tallies[c].held;
        sum.doubles += tallies[c].doubles;
    }
    ::munmap(tallies, sizeof(Tally) * all);
    EXPECT_EQ(sum.doubles, 0) << "two holders at once";
    EXPECT_EQ(openResult(dir.wide(L"r000"))->ownFlag(L"shared"), NotFound);
    EXPECT_EQ(flagFiles(dir.path() / "r000", "shared"), 0);
    std::printf("flag-contention: processes=%d attempts=%d acquisitions=%d double_holders=%d\n",
                forked, sum.rounds, sum.held, sum.doubles);
}

}  // namespace
}  // namespace talvo2
