// Which file system a dropped path is on, from the mount table alone.
#include "file_systems.h"

#include <gtest/gtest.h>
#include <sstream>

namespace miruteka {
namespace {

#ifndef _WIN32
// Lines as the kernel writes them: a mount point with a space and a tab escaped, one mounted
// over another at the same point, and kinds that keep their files here or elsewhere.
constexpr const char* mountInfo = R"(22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw
23 22 0:21 / /proc rw shared:2 - proc proc rw
30 22 0:30 / /mnt/nas rw shared:9 - nfs4 nas:/export rw,vers=4.2
31 22 0:31 / /mnt/nas/archive rw - cifs //nas/archive rw
32 22 0:32 / /media/user/USB\040STICK rw master:3 - vfat /dev/sdb1 rw
33 22 0:33 / /home/user/remote rw shared:12 foo:bar - fuse.sshfs host:/ rw
34 22 0:34 / /mnt/nas rw - tmpfs tmpfs rw
35 22 0:35 / /tmp/tab\011name rw - tmpfs tmpfs rw
)";

TEST(MountTable, ReadsPointsAndKindsAsTheKernelWritesThem)
{
    std::istringstream table(mountInfo);
    const std::vector<Mount> mounts = native::mountsFromMountInfo(table);
    ASSERT_EQ(mounts.size(), 8U);
    EXPECT_EQ(mounts[0].point, u"/");
    EXPECT_FALSE(mounts[0].remote);
    EXPECT_TRUE(mounts[2].remote); // nfs4
    EXPECT_TRUE(mounts[3].remote); // cifs
    EXPECT_EQ(mounts[4].point, u"/media/user/USB STICK");
    EXPECT_FALSE(mounts[4].remote);
    EXPECT_TRUE(mounts[5].remote); // a file system in user space, after optional fields
    EXPECT_EQ(mounts[7].point, u"/tmp/tab\tname");
}

struct PathCase {
    const char16_t* path;
    const char16_t* fileSystem;
    bool remote;
};

class FileSystemOfTest : public ::testing::TestWithParam<PathCase> { };

// The longest mount point that the path goes through, by whole names; a later mount at the same
// point hides the earlier.
TEST_P(FileSystemOfTest, IsTheLongestMountThePathGoesThrough)
{
    std::istringstream table(mountInfo);
    FileSystems fileSystems(native::mountsFromMountInfo(table));
    const auto [path, name, remote] = GetParam();
    // Twice: the second answer comes from the folder remembered.
    for (int time = 0; time < 2; ++time) {
        const std::shared_ptr<FileSystem> found = fileSystems.of(path);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->name(), name);
        EXPECT_EQ(found->remote(), remote);
        EXPECT_EQ(found, FileSystemNamed(name, remote));
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, FileSystemOfTest,
    ::testing::Values(PathCase { u"/home/user/a.bin", u"/", false },
        PathCase { u"/mnt/nas/a.bin", u"/mnt/nas", false },
        PathCase { u"/mnt/nas/archive/2026/a.bin", u"/mnt/nas/archive", true },
        PathCase { u"/mnt/nas/archived.bin", u"/mnt/nas", false },
        PathCase { u"/mnt/nasty/a.bin", u"/", false },
        PathCase { u"/media/user/USB STICK/写真/a.jpg", u"/media/user/USB STICK", false },
        PathCase { u"/home/user/remote/a.bin", u"/home/user/remote", true }));

// Paths of one folder after one another are the drop's usual case; a path of another folder
// after them is looked up anew.
TEST(FileSystems, AFolderRememberedDoesNotHideAnotherMount)
{
    FileSystems fileSystems({ { u"/", false }, { u"/mnt/share", true } });
    EXPECT_EQ(fileSystems.of(u"/mnt/a.bin")->name(), u"/");
    EXPECT_EQ(fileSystems.of(u"/mnt/share/a.bin")->name(), u"/mnt/share");
    EXPECT_EQ(fileSystems.of(u"/mnt/share/b.bin")->name(), u"/mnt/share");
    EXPECT_EQ(fileSystems.of(u"/mnt/b.bin")->name(), u"/");
}
#endif

// A file system's silence is counted while requests wait on it, from the first of them or the
// last answer, and ends with the last answer; an answer whose thread asks again at once restarts
// it without ending it.
TEST(FileSystem, IsSilentOnlyWhileRequestsWaitUnanswered)
{
    using namespace std::chrono_literals;
    FileSystem share(u"/mnt/share", true);
    const auto now = FileSystem::Clock::now();
    EXPECT_EQ(share.silentFor(now + 1h), FileSystem::Clock::duration::zero());
    share.requestStarted();
    share.requestStarted();
    EXPECT_GE(share.silentFor(FileSystem::Clock::now() + 10s), 10s);
    share.answeredAndAskedAgain();
    EXPECT_LT(share.silentFor(FileSystem::Clock::now()), 1s);
    EXPECT_GE(share.silentFor(FileSystem::Clock::now() + 10s), 10s);
    share.requestAnswered();
    EXPECT_LT(share.silentFor(FileSystem::Clock::now()), 1s);
    share.requestAnswered();
    EXPECT_EQ(share.silentFor(FileSystem::Clock::now() + 1h), FileSystem::Clock::duration::zero());
}

} // namespace
} // namespace miruteka
