#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <thread>

#include "corekit2/bag_file.hpp"
#include "corekit2/host.hpp"
#include "ulib_2_18/text.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::TempDir;

sptr_t<IResultDirectory> openResult(const std::wstring& path) {
    return ResultDirectoryManager::open(path.c_str(), false, nullptr);
}

// A result directory r000 and a second marker in it, so that two nodes share one directory.
struct FlagFixture : ::testing::Test {
    void SetUp() override {
        ASSERT_TRUE(ResultDirectoryManager::create(dir.wide(L"r000").c_str(), false, nullptr, false,
                                                   nullptr));
        ASSERT_EQ(corekit2::save_variant_bag(corekit2::variant_bag_t(),
                                             dir.wide(L"r000/second.talvo").c_str()),
                  corekit2::BAG_OK);
        node = openResult(dir.wide(L"r000/r000.talvo"));
        other = openResult(dir.wide(L"r000/second.talvo"));
        ASSERT_TRUE(node && other && node.get() != other.get());
    }
    bool exists(const char* file) const { return fs::exists(dir.path() / "r000" / file); }

    TempDir dir;
    sptr_t<IResultDirectory> node;
    sptr_t<IResultDirectory> other;
};

TEST_F(FlagFixture, OneNodeHoldsAFlagAndOthersLearnWho) {
    EXPECT_TRUE(node->setFlag(L"writing"));
    EXPECT_FALSE(node->setFlag(L"writing")) << "already held: AlreadyExists";
    EXPECT_EQ(node->ownFlag(L"writing"), OK);
    EXPECT_TRUE(exists("writing.dflgtalvo") && exists("writing.infotalvo"));

    sptr_t<IFlagData> holder;
    EXPECT_EQ(other->addFlag(L"writing", holder, false, true), FileLocked);
    ASSERT_TRUE(holder);
    EXPECT_STREQ(holder->getHost(), corekit2::get_fq_host_name().c_str());
    EXPECT_NE(std::wstring(holder->getUser()), L"");
    EXPECT_GT(holder->getTimestamp(), 0u);
    EXPECT_EQ(other->ownFlag(L"writing"), FlagOwnedElsewhere);
    EXPECT_EQ(other->removeFlag(L"writing", false), FlagOwnedElsewhere);
    EXPECT_EQ(other->removeFlag(L"writing", true), FileLocked);
    EXPECT_TRUE(exists("writing.dflgtalvo") && exists("writing.infotalvo"));

    // Replacing rewrites the record and keeps the flag.
    EXPECT_EQ(node->addFlag(L"writing", true, false), OK);
    EXPECT_EQ(node->ownFlag(L"writing"), OK);
    EXPECT_TRUE(node->clearFlag(L"writing", false));
    EXPECT_FALSE(exists("writing.dflgtalvo") || exists("writing.infotalvo"));

    // A name may reach into a subdirectory of the node, never out of it.
    fs::create_directory(dir.path() / "r000/locks");
    EXPECT_EQ(node->addFlag(L"locks/writing", false, false), OK);
    EXPECT_TRUE(exists("locks/writing.dflgtalvo"));
    EXPECT_EQ(node->removeFlag(L"locks/writing", false), OK);
    for (const wchar_t* name :
         {L"../writing", L"locks/../../x", L"/tmp/x", L"locks//x", L"./x", L"locks/", L".."})
        EXPECT_EQ(node->addFlag(name, false, false), ParameterError) << name;
    // Names are joined unchanged: whatever the file system takes is a flag name.
    for (const wchar_t* name : {L"x:y", L"a*b?", L"CON", L"nul.txt", L"trail.", L"locks/x:y"}) {
        EXPECT_EQ(node->addFlag(name, false, false), OK) << name;
        EXPECT_TRUE(
            fs::exists(dir.path() / "r000" / (test::utf8Path(name).string() + ".dflgtalvo")));
        EXPECT_EQ(node->removeFlag(name, false), OK) << name;
    }
    EXPECT_EQ(node->removeFlag(L"never", false), NotFound);
    EXPECT_EQ(node->ownFlag(L"never"), NotFound);
    EXPECT_EQ(node->addFlag(nullptr, false, false), ParameterError);

    // A node that goes away releases its flags and deletes their files.
    ASSERT_TRUE(other->setFlag(L"busy"));
    other.reset();
    EXPECT_FALSE(exists("busy.dflgtalvo") || exists("busy.infotalvo"));
}

TEST_F(FlagFixture, AnotherProcessHoldsUntilItDiesAndLeftoversAreCleared) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const std::wstring path = dir.wide(L"r000");
    const int holder = test::startChild([&] {
        const auto mine = openResult(path);
        const bool held = mine && mine->setFlag(L"project_read_only") && mine->setFlag(L"job");
        char byte = held ? 1 : 0;
        (void)!::write(ready[1], &byte, 1);
        ::pause();  // holds until killed
    });
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);

    sptr_t<IFlagData> data;
    EXPECT_EQ(node->addFlag(L"job", data, false, true), FileLocked);
    EXPECT_GT(data->getTimestamp(), 0u) << "the holder's record";
    EXPECT_EQ(node->ownFlag(L"job"), FlagOwnedElsewhere);

    // Saving is refused while another process holds the node read-only; the marker is untouched.
    const std::string before = test::readFile(dir.path() / "r000/r000.talvo");
    node->getPropertyStorage()->setValue(L"change", corekit2::variant_t(int32_t{1}));
    EXPECT_FALSE(node->save());
    EXPECT_EQ(ResultDirectoryManager::getLastError(), FlagOwnedElsewhere) << "not a disk failure";
    EXPECT_TRUE(node->isModified());
    EXPECT_EQ(test::readFile(dir.path() / "r000/r000.talvo"), before);

    ::kill(holder, SIGKILL);
    EXPECT_EQ(test::waitForChild(holder), 128 + SIGKILL);
    EXPECT_TRUE(exists("job.dflgtalvo") && exists("job.infotalvo"))
        << "a killed holder leaves both";
    EXPECT_EQ(node->ownFlag(L"job"), NotFound) << "the leftover is cleared";
    EXPECT_FALSE(exists("job.dflgtalvo") || exists("job.infotalvo"));
    EXPECT_EQ(node->addFlag(L"project_read_only", false, false), AlreadyExists);
    EXPECT_EQ(node->addFlag(L"project_read_only", data, false, true), OK) << "taken over";
    EXPECT_STREQ(data->getHost(), corekit2::get_fq_host_name().c_str());
    EXPECT_TRUE(node->save()) << "our own read-only flag does not stop us";
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(FlagFixture, DamagedInfoFilesAnswerWithoutHarm) {
    ASSERT_TRUE(other->setFlag(L"x"));
    other.reset();  // deletes both files; make leftovers by hand instead
    test::writeFile(dir.path() / "r000/empty.dflgtalvo", "");
    test::writeFile(dir.path() / "r000/empty.infotalvo", "");
    EXPECT_EQ(node->ownFlag(L"empty"), NotFound) << "an empty record is left alone";
    EXPECT_TRUE(exists("empty.dflgtalvo"));
    test::writeFile(dir.path() / "r000/bad.dflgtalvo", "");
    test::writeFile(dir.path() / "r000/bad.infotalvo", "garbage");
    EXPECT_EQ(node->ownFlag(L"bad"), RecordFormatError);
    fs::create_directory(dir.path() / "r000/dir.infotalvo");
    EXPECT_EQ(node->setFlag(L"dir"), false);
    EXPECT_EQ(node->addFlag(L"dir", true, true), FileError);
    EXPECT_NE(node->ownFlag(L"dir"), OK);
}

TEST_F(FlagFixture, LockFilesInAFolderThatCannotBeWritten) {
    fs::permissions(dir.path() / "r000",
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exe);
    const fs::path locks = dir.path() / "r000/locks";
    fs::create_directory(locks);
    (void)!::chown(locks.c_str(), test::kUnprivilegedId, test::kUnprivilegedId);
    const std::wstring path = dir.wide(L"r000");
    const int status = test::runUnprivileged([&] {
        const auto mine = openResult(path);
        ASSERT_TRUE(mine);
        EXPECT_EQ(mine->addFlag(L"flag", false, false), AccessDenied);
        EXPECT_EQ(mine->ownFlag(L"flag"), NotFound);
        // A held flag whose files can no longer be deleted is still released; what stays is a
        // leftover that nobody holds.
        ASSERT_EQ(mine->addFlag(L"locks/held", false, false), OK);
        fs::permissions(locks, fs::perms::owner_read | fs::perms::owner_exe);
        EXPECT_EQ(mine->removeFlag(L"locks/held", false), OK);
        EXPECT_EQ(mine->ownFlag(L"locks/held"), NotFound);
        EXPECT_TRUE(fs::exists(locks / "held.dflgtalvo"));
        fs::permissions(locks, fs::perms::owner_all);
    });
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);
}

// Two colleagues in a shared project folder, each with the default umask: one sees who holds the
// other's flag, and clears or takes over what the other left behind when it died.
TEST(NodeFlagsBetweenUsers, SeeHoldersAndClearOrTakeOverTheDeadOnes) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
    TempDir dir;
    ASSERT_TRUE(ResultDirectoryManager::create(dir.wide(L"shared/r000").c_str(), false, nullptr,
                                               false, nullptr));
    test::shareWithGroup(dir.path() / "shared");
    const std::wstring path = dir.wide(L"shared/r000");
    const fs::path lock = dir.path() / "shared/r000/job.dflgtalvo";

    // Alice takes the flag and holds it until killed, leaving her files (mode 0644) behind.
    const auto aliceHolds = [&] {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        const int alice = test::startAsUser(test::kAlice, test::kSharedGroup, [&] {
            const auto mine = openResult(path);
            char byte = mine && mine->addFlag(L"job", false, true) == OK ? 1 : 0;
            (void)!::write(ready[1], &byte, 1);
            ::pause();
        });
        char byte = 0;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
        EXPECT_EQ(byte, 1);
        ::close(ready[0]);
        ::close(ready[1]);
        return alice;
    };
    const auto asBob = [&](const std::function<void(const sptr_t<IResultDirectory>&)>& body) {
        EXPECT_EQ(test::runAsUser(test::kBob, test::kSharedGroup,
                                  [&] {
                                      const auto node = openResult(path);
                                      ASSERT_TRUE(node);
                                      body(node);
                                  }),
                  0);
    };

    int alice = aliceHolds();
    EXPECT_EQ(fs::status(lock).permissions() & fs::perms::group_write, fs::perms::no_perms);
    asBob([](const sptr_t<IResultDirectory>& node) {
        EXPECT_EQ(node->ownFlag(L"job"), FlagOwnedElsewhere);
        sptr_t<IFlagData> holder;
        EXPECT_EQ(node->addFlag(L"job", holder, false, true), FileLocked);
        EXPECT_GT(holder->getTimestamp(), 0u) << "Alice's record, read by Bob";
    });
    ::kill(alice, SIGKILL);
    test::waitForChild(alice);
    asBob([](const sptr_t<IResultDirectory>& node) {
        EXPECT_EQ(node->ownFlag(L"job"), NotFound) << "Alice's leftover, cleared by Bob";
    });
    EXPECT_FALSE(fs::exists(lock));

    alice = aliceHolds();
    ::kill(alice, SIGKILL);
    test::waitForChild(alice);
    asBob([](const sptr_t<IResultDirectory>& node) {
        EXPECT_EQ(node->addFlag(L"job", false, true), OK) << "taken over from the dead";
        EXPECT_EQ(node->removeFlag(L"job", false), OK);
    });
    EXPECT_FALSE(fs::exists(lock));
}

// Many processes take, check, give up, ask about and take over one flag as fast as they can.
// Whoever holds it proves it is alone by creating a marker file that must not exist. Rounds per
// process: TALVO2_FLAG_ROUNDS (500 unless set); the figures are printed.
TEST(NodeFlagsStress, ProcessesNeverShareAFlagAndLeaveNoFiles) {
    TempDir dir;
    ASSERT_TRUE(
        ResultDirectoryManager::create(dir.wide(L"r000").c_str(), false, nullptr, false, nullptr));
    const std::wstring path = dir.wide(L"r000");
    const std::string inside = (dir.path() / "inside").string();
    const char* configured = std::getenv("TALVO2_FLAG_ROUNDS");
    const int rounds = configured ? std::max(1, std::atoi(configured)) : 500;
    constexpr int kProcesses = 8;
    std::vector<int> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(test::startChild([&, p] {
            const auto mine = openResult(path);
            ASSERT_TRUE(mine);
            int held = 0;
            int doubles = 0;
            for (int round = 0; round < rounds; ++round) {
                const int op = (round + p) % 4;
                if (op == 2) {
                    const error_t asked = mine->ownFlag(L"shared");
                    EXPECT_TRUE(asked == NotFound || asked == FlagOwnedElsewhere) << asked;
                    continue;
                }
                const error_t added = mine->addFlag(L"shared", false, op != 3);
                if (added != OK) {
                    EXPECT_TRUE(added == FileLocked || added == AlreadyExists) << added;
                    continue;
                }
                ++held;
                const int alone = ::open(inside.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
                if (alone < 0) ++doubles;
                if (alone >= 0) ::close(alone);
                ::sched_yield();  // let the others try while it is held
                ::unlink(inside.c_str());
                const error_t removed = mine->removeFlag(L"shared", false);
                EXPECT_TRUE(removed == OK || removed == FileLocked) << removed;
            }
            EXPECT_EQ(doubles, 0) << "two holders at once";
            // A process may find the flag taken in every round it gets the processor for.
            test::writeFile(dir.path() / ("held." + std::to_string(p)),
                            std::to_string(held) + " " + std::to_string(doubles));
        }));
    }
    for (int child : children) EXPECT_EQ(test::waitForChild(child), 0);
    int held = 0;
    int doubles = 0;
    for (int p = 0; p < kProcesses; ++p) {
        std::istringstream figures(test::readFile(dir.path() / ("held." + std::to_string(p))));
        int h = 0, d = 0;
        figures >> h >> d;
        held += h;
        doubles += d;
    }
    std::printf("flag-contention: processes=%d attempts=%d acquisitions=%d double_holders=%d\n",
                kProcesses, kProcesses * rounds, held, doubles);
    EXPECT_GT(held, 8) << "the flag changed hands";
    EXPECT_EQ(doubles, 0);
    const auto node = openResult(path);
    EXPECT_EQ(node->ownFlag(L"shared"), NotFound);
    EXPECT_FALSE(fs::exists(dir.path() / "r000/shared.dflgtalvo"));
    EXPECT_FALSE(fs::exists(dir.path() / "r000/shared.infotalvo"));
}

// The owner record in the info file of flag "shared" in `result`: the process that wrote it, 0
// when the file is missing or not (yet) a complete record.
uint32_t recordedPid(const fs::path& result) {
    std::string text = test::readFile(result / "shared.infotalvo");
    text.resize(std::min(text.size(), text.find('\0')));
    corekit2::variant_bag_t record;
    const corekit2::variant_t wide(ulib_2_18::from_utf8(text));
    if (corekit2::load_variant_bag_from_string(record, wide) != corekit2::BAG_OK) return 0;
    return record.get_variant(L"pid").get_uint32();
}

// One contender: until `stop` says so, for at least `minRounds` rounds and until it held the flag
// once, takes flag "shared" (with and without taking over a leftover), asks about it, and gives it
// up. While holding it, it proves it is alone by creating `inside`, which must not exist, and
// checks that the owner record is its own. Returns how often it held the flag.
int contend(const sptr_t<IResultDirectory>& mine, int seed, int minRounds, const fs::path& result,
            const std::function<bool()>& stop) {
    const std::string inside = (result.parent_path() / "inside").string();
    int held = 0;
    // The bound only keeps a broken flag from hanging the test.
    for (int round = 0; round < 1000000 && (round < minRounds || held == 0 || !stop()); ++round) {
        const int op = (round + seed) % 3;
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
        ++held;
        const int alone = ::open(inside.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
        EXPECT_GE(alone, 0) << "two holders at once";
        EXPECT_EQ(recordedPid(result), ::getpid()) << "the holder's record was lost";
        ::sched_yield();  // let the others try while it is held
        if (alone >= 0) {
            ::close(alone);
            ::unlink(inside.c_str());
        }
        // FileLocked: another contender took the flag up between our release and the clean-up.
        const error_t removed = mine->removeFlag(L"shared", false);
        EXPECT_TRUE(removed == OK || removed == FileLocked) << removed;
    }
    return held;
}

// Threads of this process and other processes contend for one flag while, one after another,
// holders are killed with the flag held: each leftover must be taken over or cleared by the
// contenders, the flag is never held twice, and nothing is left at the end. Each thread works
// through a node of its own (a marker of its own in the result): a node is used by one thread at a
// time.
TEST(NodeFlagsStress, ThreadsAndProcessesContendAndTakeOverFromTheDead) {
    constexpr int kThreads = 3, kProcesses = 3, kDying = 4, kMinRounds = 150;
    TempDir dir;
    ASSERT_TRUE(
        ResultDirectoryManager::create(dir.wide(L"r000").c_str(), false, nullptr, false, nullptr));
    const fs::path result = dir.path() / "r000";
    const std::wstring path = dir.wide(L"r000");
    for (int t = 0; t < kThreads; ++t)
        ASSERT_EQ(corekit2::save_variant_bag(
                      {}, dir.wide(L"r000/t" + std::to_wstring(t) + L".talvo").c_str()),
                  corekit2::BAG_OK);
    const fs::path stopFile = dir.path() / "stop";

    // Every process is forked before the threads start: a child forked while a thread holds one of
    // the library's locks would wait for it forever.
    std::vector<int> workers;
    for (int p = 0; p < kProcesses; ++p) {
        workers.push_back(test::startChild([&, p] {
            const auto mine = openResult(path);
            ASSERT_TRUE(mine);
            const int held =
                contend(mine, p, kMinRounds, result, [&] { return fs::exists(stopFile); });
            test::writeFile(dir.path() / ("held.p" + std::to_string(p)), std::to_string(held));
        }));
    }
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    std::vector<std::array<int, 2>> go(kDying);
    std::vector<int> dying;
    for (int d = 0; d < kDying; ++d) {
        ASSERT_EQ(::pipe(go[d].data()), 0);
        dying.push_back(test::startChild([&, d] {
            char byte = 0;
            if (::read(go[d][0], &byte, 1) != 1) return;
            const auto mine = openResult(path);
            // Takes the flag, taking over what an earlier victim left, and holds it until killed.
            bool held = false;
            for (int attempt = 0; mine && !held && attempt < 200000; ++attempt) {
                held = mine->addFlag(L"shared", false, true) == OK;
                if (!held) ::sched_yield();
            }
            byte = held ? 1 : 0;
            (void)!::write(ready[1], &byte, 1);
            ::pause();
        }));
    }

    std::atomic<bool> stop{false};
    std::atomic<int> threadHeld{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const auto mine = openResult(dir.wide(L"r000/t" + std::to_wstring(t) + L".talvo"));
            ASSERT_TRUE(mine);
            threadHeld += contend(mine, t, kMinRounds, result, [&] { return stop.load(); });
        });
    }

    int takenOver = 0;
    for (int d = 0; d < kDying; ++d) {
        char byte = 0;
        ASSERT_EQ(::write(go[d][1], &byte, 1), 1);
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        EXPECT_EQ(byte, 1) << "victim " << d << " never got the flag";
        ::kill(dying[d], SIGKILL);
        EXPECT_EQ(test::waitForChild(dying[d]), 128 + SIGKILL);
        // The contenders must get past the leftover: taken over (a new record) or cleared.
        for (int wait = 0; wait < 10000; ++wait) {
            const uint32_t pid = recordedPid(result);
            if (pid != static_cast<uint32_t>(dying[d])) {
                ++takenOver;
                break;
            }
            ::usleep(1000);
        }
    }
    test::writeFile(stopFile, "");
    stop = true;
    for (std::thread& thread : threads) thread.join();
    for (int worker : workers) EXPECT_EQ(test::waitForChild(worker), 0);
    for (int fd : ready) ::close(fd);
    for (auto& pair : go)
        for (int fd : pair) ::close(fd);

    EXPECT_EQ(takenOver, kDying) << "every leftover was taken over or cleared";
    int processHeld = 0;
    for (int p = 0; p < kProcesses; ++p)
        processHeld += std::stoi("0" + test::readFile(dir.path() / ("held.p" + std::to_string(p))));
    EXPECT_GT(threadHeld.load(), 0);
    EXPECT_GT(processHeld, 0);
    const auto node = openResult(path);
    EXPECT_EQ(node->ownFlag(L"shared"), NotFound);
    EXPECT_FALSE(fs::exists(result / "shared.dflgtalvo"));
    EXPECT_FALSE(fs::exists(result / "shared.infotalvo"));
    EXPECT_FALSE(fs::exists(dir.path() / "inside"));
}

}  // namespace
}  // namespace talvo2
