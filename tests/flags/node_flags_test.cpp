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

using corekit2::variant_bag_t;
using util::FileLocker;

sptr_t<IResultDirectory> openResult(const std::wstring& path) {
    return ResultDirectoryManager::open(path.c_str(), false, nullptr);
}

// How many of the flag's two files (lock and owner record) are in `result`.
int flagFiles(const fs::path& result, const std::string& flag) {
    return fs::exists(result / (flag + ".dflgtalvo")) + fs::exists(result / (flag + ".infotalvo"));
}

// Runs `body` on a node of the result at `path` in a child process as user `uid` (0: this one).
void inChild(unsigned uid, const std::wstring& path, const std::function<void(INode&)>& body) {
    const auto run = [&] {
        const auto node = openResult(path);
        ASSERT_TRUE(node);
        body(*node);
    };
    EXPECT_EQ(uid ? test::runAsUser(uid, test::kSharedGroup, run) : test::runInChild(run), 0);
}

// A process as `holderUid` (0: this user) holds two flags of the result at `path` until it is
// killed; a process as `observerUid` sees who holds them and may not save the node meanwhile, then
// clears one leftover and takes over the other.
void outliveAHolder(const std::wstring& path, unsigned holderUid, unsigned observerUid) {
    const fs::path result = test::utf8Path(path);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const auto hold = [&] {
        const auto mine = openResult(path);
        const char held = mine && mine->setFlag(L"project_read_only") && mine->setFlag(L"job");
        (void)!::write(ready[1], &held, 1);
        ::pause();  // until killed
    };
    const int holder =
        holderUid ? test::startAsUser(holderUid, test::kSharedGroup, hold) : test::startChild(hold);
    ASSERT_GT(holder, 0);
    ::close(ready[1]);  // a holder that dies early ends the read
    char held = 0;
    EXPECT_TRUE(::read(ready[0], &held, 1) == 1 && held);
    ::close(ready[0]);
    if (holderUid) {  // the default umask: the observer cannot write the holder's files
        EXPECT_EQ(fs::status(result / "job.dflgtalvo").permissions() & fs::perms::group_write,
                  fs::perms::no_perms);
    }
    inChild(observerUid, path, [&](INode& node) {
        sptr_t<IFlagData> data;
        EXPECT_EQ(node.addFlag(L"job", data, false, true), FileLocked);
        EXPECT_GT(data->getTimestamp(), 0u) << "the holder's record";
        EXPECT_EQ(node.ownFlag(L"job"), FlagOwnedElsewhere);
        // Saving is refused while another process holds the node read-only; the marker is intact.
        const std::string before = test::readFile(result / "r000.talvo");
        node.getPropertyStorage()->setValue(L"change", corekit2::variant_t(int32_t{1}));
        EXPECT_FALSE(node.save());
        EXPECT_EQ(test::lastError(), FlagOwnedElsewhere) << "not a disk failure";
        EXPECT_TRUE(node.isModified());
        EXPECT_EQ(test::readFile(result / "r000.talvo"), before);
    });
    ::kill(holder, SIGKILL);
    EXPECT_EQ(test::waitForChild(holder), 128 + SIGKILL);
    EXPECT_EQ(flagFiles(result, "job"), 2) << "a killed holder leaves both";
    inChild(observerUid, path, [&](INode& node) {
        EXPECT_EQ(node.ownFlag(L"job"), NotFound) << "the leftover is cleared";
        EXPECT_EQ(node.addFlag(L"project_read_only", false, false), AlreadyExists);
        sptr_t<IFlagData> data;
        EXPECT_EQ(node.addFlag(L"project_read_only", data, false, true), OK) << "taken over";
        EXPECT_STREQ(data->getHost(), corekit2::get_fq_host_name().c_str());
        EXPECT_TRUE(node.save()) << "our own read-only flag does not stop us";
        EXPECT_EQ(node.removeFlag(L"project_read_only", false), OK);
    });
    EXPECT_EQ(flagFiles(result, "job") + flagFiles(result, "project_read_only"), 0);
}

// A result directory r000 and a second marker in it, so that two nodes share one directory.
struct FlagFixture : ::testing::Test {
    void SetUp() override {
        ASSERT_TRUE(test::createResult(dir.wide(L"r000")));
        ASSERT_EQ(corekit2::save_variant_bag({}, dir.wide(L"r000/second.talvo").c_str()),
                  corekit2::BAG_OK);
        node = openResult(dir.wide(L"r000/r000.talvo"));
        other = openResult(dir.wide(L"r000/second.talvo"));
        ASSERT_TRUE(node && other && node.get() != other.get());
    }

    test::TempDir dir;
    const fs::path result = dir.path() / "r000";
    sptr_t<IResultDirectory> node;
    sptr_t<IResultDirectory> other;
};

// Null, missing and ".." names are swept with the rest of the API in bad_input_test; what the
// holder's record says is checked across processes below.
TEST_F(FlagFixture, OneNodeHoldsAFlagAndOthersLearnWho) {
    EXPECT_TRUE(node->setFlag(L"writing"));
    EXPECT_FALSE(node->setFlag(L"writing")) << "already held: AlreadyExists";
    EXPECT_EQ(node->ownFlag(L"writing"), OK);
    EXPECT_EQ(other->addFlag(L"writing", false, true), FileLocked);
    EXPECT_EQ(other->ownFlag(L"writing"), FlagOwnedElsewhere);
    EXPECT_EQ(other->removeFlag(L"writing", false), FlagOwnedElsewhere);
    EXPECT_EQ(other->removeFlag(L"writing", true), FileLocked);
    EXPECT_EQ(flagFiles(result, "writing"), 2);

    // Replacing rewrites the record and keeps the flag.
    EXPECT_EQ(node->addFlag(L"writing", true, false), OK);
    EXPECT_EQ(node->ownFlag(L"writing"), OK);
    EXPECT_TRUE(node->clearFlag(L"writing", false));
    EXPECT_EQ(flagFiles(result, "writing"), 0);

    // A name may reach into a subdirectory of the node, never out of it; otherwise names are
    // joined unchanged: whatever the file system takes is a flag name.
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

TEST_F(FlagFixture, DamagedInfoFilesAnswerWithoutHarm) {
    test::writeFile(result / "empty.dflgtalvo", "");
    test::writeFile(result / "empty.infotalvo", "");
    EXPECT_EQ(node->ownFlag(L"empty"), NotFound);
    EXPECT_EQ(flagFiles(result, "empty"), 2) << "an empty record (its holder died early) stays";
    test::writeFile(result / "bad.dflgtalvo", "");
    test::writeFile(result / "bad.infotalvo", "garbage");
    EXPECT_EQ(node->ownFlag(L"bad"), RecordFormatError);
    fs::create_directory(result / "dir.infotalvo");
    EXPECT_EQ(node->addFlag(L"dir", true, true), FileError);
    EXPECT_NE(node->ownFlag(L"dir"), OK);
    EXPECT_EQ(node->addFlag(L"nodir/flag", false, false), FileError);
}

TEST_F(FlagFixture, AnotherProcessHoldsUntilItDiesAndLeftoversAreCleared) {
    outliveAHolder(dir.wide(L"r000"), 0, 0);
}

// Two colleagues in a shared project folder, each with the default umask.
TEST(NodeFlagsBetweenUsers, SeeHoldersAndClearOrTakeOverTheDeadOnes) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
    test::TempDir dir;
    ASSERT_TRUE(test::createResult(dir.wide(L"shared/r000")));
    test::shareWithGroup(dir.path() / "shared");
    outliveAHolder(dir.wide(L"shared/r000"), test::kAlice, test::kBob);
}

TEST_F(FlagFixture, LockFilesInAFolderThatCannotBeWritten) {
    fs::permissions(result, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exe);
    fs::create_directory(result / "locks");
    (void)!::chown((result / "locks").c_str(), test::kUnprivilegedId, test::kUnprivilegedId);
    const int status = test::runUnprivileged([&] {
        const auto mine = openResult(dir.wide(L"r000"));
        ASSERT_TRUE(mine);
        EXPECT_EQ(mine->addFlag(L"flag", false, false), AccessDenied);
        EXPECT_EQ(mine->ownFlag(L"flag"), NotFound);
        // A held flag whose files can no longer be deleted is still released; what stays is a
        // leftover that nobody holds.
        ASSERT_EQ(mine->addFlag(L"locks/held", false, false), OK);
        fs::permissions(result / "locks", fs::perms::owner_read | fs::perms::owner_exe);
        EXPECT_EQ(mine->removeFlag(L"locks/held", false), OK);
        EXPECT_EQ(mine->ownFlag(L"locks/held"), NotFound);
        EXPECT_TRUE(fs::exists(result / "locks/held.dflgtalvo"));
    });
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);
}

// What may lie at a lock or info file's name, another user's plants included, is refused at once
// and left alone: a huge sparse record costs no memory, a FIFO no wait, a link no write through it.
TEST(FileLocker, PlantedFilesAreRefusedAndLeftAlone) {
    test::TempDir dir;
    const fs::path& d = dir.path();
    test::writeFile(d / "empty", "");  // its holder died before it wrote
    test::writeFile(d / "garbage", "not a record");
    test::writeFile(d / "huge", "");
    fs::resize_file(d / "huge", uintmax_t{8} << 30);
    ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
    test::writeFile(d / "victim", "keep");
    fs::create_symlink(d / "victim", d / "link");

    const std::pair<const wchar_t*, error_t> reads[] = {
        {L"missing", NotFound},       {L"empty", NotFound}, {L"garbage", RecordFormatError},
        {L"huge", RecordFormatError}, {L"fifo", FileError}, {L"link", FileError}};
    variant_bag_t read, record;
    for (const auto& [name, answer] : reads)
        EXPECT_EQ(FileLocker::readRecord(dir.wide(name), read), answer) << name;
    for (const wchar_t* name : {L"missing/flag", L"fifo", L"link"}) {
        FileLocker locker;
        EXPECT_FALSE(locker.openExclusive(dir.wide(name), true)) << name;
        EXPECT_EQ(locker.error(), FileError) << name;
    }
    FileLocker::fillOwnerRecord(record);
    EXPECT_EQ(FileLocker::writeRecord(dir.wide(L"link"), record), FileError);
    EXPECT_EQ(test::readFile(d / "victim"), "keep");
    EXPECT_TRUE(fs::is_symlink(d / "link"));
}

// Its pid, host and user are checked where nodes hand the record out.
TEST(FileLocker, OwnerRecordsRoundTripAndReadersStopAtTheTerminator) {
    test::TempDir dir;
    variant_bag_t record, read;
    FileLocker::fillOwnerRecord(record);
    EXPECT_EQ(record.keys<corekit2::variant_t>(),
              (std::vector<std::wstring>{L"host", L"os", L"pid", L"ppid", L"timestamp", L"user"}));
    EXPECT_EQ(record.get_variant(L"ppid").get_uint32(), static_cast<uint32_t>(::getppid()));
    EXPECT_EQ(record.get_variant(L"os").get_wstring(), L"linux");
    EXPECT_EQ(record.get_variant(L"timestamp").type(), corekit2::VT_UINT64);
    const std::wstring info = dir.wide(L"flag.infotalvo");
    ASSERT_EQ(FileLocker::writeRecord(info, record), OK);
    // Readers stop at the terminator: an older, longer record's tail may follow it.
    const fs::path file = dir.path() / "flag.infotalvo";
    test::writeFile(file, test::readFile(file) + "<tail of an older record");
    ASSERT_EQ(FileLocker::readRecord(info, read), OK);
    EXPECT_TRUE(read == record);
}

// The process that wrote the owner record in the info file `info`; 0 when there is none.
uint32_t recordedPid(const std::wstring& info) {
    variant_bag_t record;
    const bool read = FileLocker::readRecord(info, record) == OK;
    return read ? record.get_variant(L"pid").get_uint32() : 0;
}

struct Tally {
    int rounds, held, doubles;
};

// `processes` processes and `threads` threads (each through a marker of its own: a node is used
// by one thread at a time) contend for one flag while `dying` more processes contend until they
// are killed holding it, each leftover to be taken over or cleared. Nobody shares the flag and
// nothing is left at the end. Answers the tallies of all contenders together.
Tally contention(int processes, int threads, int dying, int minRounds) {
    test::TempDir dir;
    const std::wstring info = dir.wide(L"r000/shared.infotalvo");
    EXPECT_TRUE(test::createResult(dir.wide(L"r000")));
    const int forked = processes + dying, all = forked + threads;
    const auto marker = [&](int c) { return dir.wide(L"r000/t" + std::to_wstring(c) + L".talvo"); };
    for (int t = forked; t < all; ++t)
        EXPECT_EQ(corekit2::save_variant_bag({}, marker(t).c_str()), corekit2::BAG_OK);
    // One tally per contender, in memory this process shares with its children.
    auto* tallies = static_cast<Tally*>(::mmap(nullptr, sizeof(Tally) * all, PROT_READ | PROT_WRITE,
                                               MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    // For `minRounds` rounds, then until it held the flag once and is told to stop: take it (with
    // and without taking over a leftover), ask about it, give it up. While holding it, prove it is
    // alone by creating "inside", and that the owner record is its own: a releaser must never
    // delete a new holder's record.
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
            EXPECT_EQ(recordedPid(info), ::getpid()) << "the holder's record was lost";
            ::sched_yield();  // let the others try while it is held
            if (alone >= 0) ::close(alone), ::unlink(inside.c_str());
            if (c >= processes && c < forked && tally.rounds >= minRounds) ::raise(SIGKILL);
            // FileLocked: another took the flag up between our release and the clean-up.
            const error_t removed = mine->removeFlag(L"shared", false);
            EXPECT_TRUE(removed == OK || removed == FileLocked) << removed;
        }
    };
    // Every process is forked before the threads start: a child forked while a thread holds one of
    // the library's locks would wait for it forever.
    std::vector<int> children;
    for (int c = 0; c < forked; ++c) children.push_back(test::startChild([&, c] { contender(c); }));
    std::vector<std::thread> pool;
    for (int c = forked; c < all; ++c) pool.emplace_back(contender, c);
    for (int c = processes; c < forked; ++c) {
        EXPECT_EQ(test::waitForChild(children[c]), 128 + SIGKILL) << "died holding the flag";
        int wait = 0;
        while (recordedPid(info) == static_cast<uint32_t>(children[c]) && ++wait < 10000)
            ::usleep(1000);
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
    for (const char* left : {"r000/shared.dflgtalvo", "r000/shared.infotalvo", "inside"})
        EXPECT_FALSE(fs::exists(dir.path() / left)) << left;
    return sum;
}

// Rounds per process: TALVO2_FLAG_ROUNDS (500 unless set); the figures are printed.
TEST(NodeFlagsStress, ProcessesNeverShareAFlagAndLeaveNoFiles) {
    const char* configured = std::getenv("TALVO2_FLAG_ROUNDS");
    constexpr int kProcesses = 8;
    const Tally all = contention(kProcesses, 0, 0, configured ? std::atoi(configured) : 500);
    std::printf("flag-contention: processes=%d attempts=%d acquisitions=%d double_holders=%d\n",
                kProcesses, all.rounds, all.held, all.doubles);
}

TEST(NodeFlagsStress, ThreadsAndProcessesContendAndTakeOverFromTheDead) {
    contention(3, 3, 4, 150);
}

}  // namespace
}  // namespace talvo2
