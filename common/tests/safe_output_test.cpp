#include "common/safe_output.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

class SafeOutputFile : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/safeout.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_Dir = tmpl;
    }
    void TearDown() override {
        chmod(m_Dir.c_str(), 0700);
        std::system(("rm -rf " + m_Dir).c_str());
    }

    std::string Path(const std::string& name) const { return m_Dir + "/" + name; }
    static std::string Read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static void Write(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    }
    static bool IsLink(const std::string& path) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }
    static ino_t Inode(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    }
    // Entries of the directory besides . and .. (temporary files included).
    int CountEntries() const {
        DIR* dir = opendir(m_Dir.c_str());
        if (!dir) {
            return -1;
        }
        int count = 0;
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            count += name != "." && name != "..";
        }
        closedir(dir);
        return count;
    }

    std::string m_Dir;
};

TEST_F(SafeOutputFile, ReplacesExistingFileOnlyOnCommit) {
    std::string path = Path("data.xml");
    Write(path, "old");
    chmod(path.c_str(), 0640);
    {
        CSafeOutputFile out(path);
        ASSERT_TRUE(out.stream().good());
        out.stream() << "new";
        EXPECT_EQ(Read(path), "old");  // untouched until the commit
        out.Commit();
    }
    EXPECT_EQ(Read(path), "new");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(CountEntries(), 1);  // no temporary file left behind
}

TEST_F(SafeOutputFile, ReplacementKeepsTheOwner) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
    std::string path = Path("data.xml");
    Write(path, "old");
    ASSERT_EQ(chown(path.c_str(), 4321, 4322), 0);
    CSafeOutputFile out(path);
    out.stream() << "new";
    out.Commit();
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
}

TEST_F(SafeOutputFile, AbandonedWriteLeavesOldFileAndNoTemporary) {
    std::string path = Path("data.xml");
    Write(path, "old");
    {
        CSafeOutputFile out(path);
        out.stream() << "half a docu";
    }
    EXPECT_EQ(Read(path), "old");
    EXPECT_EQ(CountEntries(), 1);
}

TEST_F(SafeOutputFile, CreatesNewFile) {
    std::string path = Path("new.xml");
    CSafeOutputFile out(path);
    out.stream() << "text";
    out.Commit();
    EXPECT_EQ(Read(path), "text");
}

TEST_F(SafeOutputFile, UnusablePathsGiveABadStream) {
    EXPECT_FALSE(CSafeOutputFile(Path("missing/dir/file.xml")).stream().good());
    EXPECT_FALSE(CSafeOutputFile(m_Dir).stream().good());
    // A loop of links is not replaced by a file.
    ASSERT_EQ(symlink("loop", Path("loop").c_str()), 0);
    EXPECT_FALSE(CSafeOutputFile(Path("loop")).stream().good());
    EXPECT_TRUE(IsLink(Path("loop")));
    EXPECT_EQ(CountEntries(), 1);
}

TEST_F(SafeOutputFile, LinksAreFollowedAndKept) {
    Write(Path("real.xml"), "old");
    ASSERT_EQ(symlink("real.xml", Path("step.xml").c_str()), 0);
    ASSERT_EQ(symlink((m_Dir + "/step.xml").c_str(), Path("link.xml").c_str()), 0);
    CSafeOutputFile out(Path("link.xml"));
    out.stream() << "new";
    out.Commit();
    EXPECT_TRUE(IsLink(Path("link.xml")));
    EXPECT_TRUE(IsLink(Path("step.xml")));
    EXPECT_EQ(Read(Path("real.xml")), "new");
    EXPECT_EQ(CountEntries(), 3);
}

TEST_F(SafeOutputFile, DanglingLinkCreatesTheFileItNames) {
    ASSERT_EQ(symlink("made.xml", Path("link.xml").c_str()), 0);
    CSafeOutputFile out(Path("link.xml"));
    out.stream() << "text";
    out.Commit();
    EXPECT_TRUE(IsLink(Path("link.xml")));
    EXPECT_EQ(Read(Path("made.xml")), "text");
}

// A name of an open descriptor writes through that descriptor's file: what
// the process writes to the descriptor afterwards lands in the same file,
// which is not replaced behind its back.
TEST_F(SafeOutputFile, DescriptorNamesWriteIntoTheOpenFile) {
    for (const char* prefix : {"/proc/self/fd/", "/dev/fd/"}) {
        const std::string path = Path("log.txt");
        Write(path, "old");
        const ino_t inode = Inode(path);
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        {
            CSafeOutputFile out(prefix + std::to_string(fd));
            ASSERT_TRUE(out.stream().good()) << prefix;
            out.stream() << "document\n";
            out.Commit();
        }
        ASSERT_EQ(write(fd, "summary\n", 8), 8);
        close(fd);
        EXPECT_EQ(Inode(path), inode) << prefix;
        EXPECT_EQ(Read(path), "document\nsummary\n") << prefix;
        EXPECT_EQ(CountEntries(), 1) << prefix;
    }
}

TEST_F(SafeOutputFile, DirectoryWithoutWriteAccessWritesInPlace) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root writes into any directory";
    }
    std::string path = Path("data.xml");
    Write(path, "old");
    ASSERT_EQ(chmod(m_Dir.c_str(), 0500), 0);
    CSafeOutputFile out(path);
    ASSERT_TRUE(out.stream().good());
    out.stream() << "new";
    out.Commit();
    EXPECT_EQ(Read(path), "new");
}

TEST_F(SafeOutputFile, FullDeviceIsAnErrorNamingTheFileAndTheCause) {
    // Small enough to stay in the stream's buffer until the commit, and
    // large enough to fail while writing.
    for (std::size_t size : {std::size_t(10), std::size_t(1) << 16}) {
        CSafeOutputFile out("/dev/full");
        ASSERT_TRUE(out.stream().good());
        out.stream() << std::string(size, 'x');
        try {
            out.Commit();
            FAIL() << "writing to /dev/full succeeded";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Cannot write '/dev/full': No space left on device.");
        }
    }
}

}  // namespace
