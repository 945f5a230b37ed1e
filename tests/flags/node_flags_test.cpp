#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "corekit2/bag_file.hpp"
#include "corekit2/host.hpp"
#include "talvo2/i_flag_data.hpp"
#include "talvo2/i_result_directory.hpp"
#include "talvo2/result_directory_manager.hpp"
#include "util/test_util.hpp"

namespace talvo2 {
namespace {

namespace fs = boost::filesystem;
using corekit2::sptr_t;
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
    const std::wstring path = dir.wide(L"r000");
    const int status = test::runUnprivileged([&] {
        const auto mine = openResult(path);
        ASSERT_TRUE(mine);
        EXPECT_EQ(mine->addFlag(L"flag", false, false), AccessDenied);
        EXPECT_EQ(mine->ownFlag(L"flag"), NotFound);
    });
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);
}

// Many processes take, check, give up, ask about and take over one flag as fast as they can.
// Whoever holds it proves it is alone by creating a marker file that must not exist.
TEST(NodeFlagsStress, ProcessesNeverShareAFlagAndLeaveNoFiles) {
    TempDir dir;
    ASSERT_TRUE(
        ResultDirectoryManager::create(dir.wide(L"r000").c_str(), false, nullptr, false, nullptr));
    const std::wstring path = dir.wide(L"r000");
    const std::string inside = (dir.path() / "inside").string();
    std::vector<int> children;
    for (int p = 0; p < 8; ++p) {
        children.push_back(test::startChild([&, p] {
            const auto mine = openResult(path);
            ASSERT_TRUE(mine);
            int held = 0;
            for (int round = 0; round < 500; ++round) {
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
                EXPECT_GE(alone, 0) << "two holders at once";
                if (alone >= 0) ::close(alone);
                ::sched_yield();  // let the others try while it is held
                ::unlink(inside.c_str());
                const error_t removed = mine->removeFlag(L"shared", false);
                EXPECT_TRUE(removed == OK || removed == FileLocked) << removed;
            }
            // A process may find the flag taken in every round it gets the processor for.
            test::writeFile(dir.path() / ("held." + std::to_string(p)), std::to_string(held));
        }));
    }
    for (int child : children) EXPECT_EQ(test::waitForChild(child), 0);
    int held = 0;
    for (int p = 0; p < 8; ++p)
        held += std::stoi("0" + test::readFile(dir.path() / ("held." + std::to_string(p))));
    EXPECT_GT(held, 8) << "the flag changed hands";
    const auto node = openResult(path);
    EXPECT_EQ(node->ownFlag(L"shared"), NotFound);
    EXPECT_FALSE(fs::exists(dir.path() / "r000/shared.dflgtalvo"));
    EXPECT_FALSE(fs::exists(dir.path() / "r000/shared.infotalvo"));
}

}  // namespace
}  // namespace talvo2
