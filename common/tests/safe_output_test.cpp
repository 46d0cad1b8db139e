#include "common/safe_output.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;

class SafeOutputFile : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/safeout.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_Dir = tmpl;
    }
    void TearDown() override {
        chmod(m_Dir.c_str(), 0700);
        fs::remove_all(m_Dir);
    }

    std::string Path(const std::string& name) const { return m_Dir + "/" + name; }
    static std::string Read(const std::string& path) {
        std::stringstream ss;
        ss << std::ifstream(path).rdbuf();
        return ss.str();
    }
    static void Write(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    }
    static void WriteAndCommit(const std::string& path, const std::string& text) {
        CSafeOutputFile out(path);
        ASSERT_TRUE(out.stream().good()) << path;
        out.stream() << text;
        out.Commit();
    }
    static struct stat Stat(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
        return st;
    }
    // Entries of the directory, temporary files included.
    long CountEntries() const {
        return std::distance(fs::directory_iterator(m_Dir), fs::directory_iterator());
    }

    std::string m_Dir;
};

TEST_F(SafeOutputFile, ReplacesExistingFileOnlyOnCommitOrCreatesIt) {
    const std::string path = Path("data.xml");
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
    EXPECT_EQ(Stat(path).st_mode & 0777, 0640u);
    EXPECT_EQ(CountEntries(), 1);  // no temporary file left behind

    // A new file gets 0666 less the umask, not the temporary file's 0600.
    for (mode_t mask : {mode_t(022), mode_t(027), mode_t(0)}) {
        const mode_t previous = umask(mask);
        const std::string made = Path("new" + std::to_string(mask) + ".xml");
        WriteAndCommit(made, "text");
        umask(previous);
        EXPECT_EQ(Read(made), "text");
        EXPECT_EQ(Stat(made).st_mode & 0777, 0666u & ~mask) << std::oct << mask;
    }
}

TEST_F(SafeOutputFile, ReplacementKeepsTheOwner) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
    const std::string path = Path("data.xml");
    Write(path, "old");
    ASSERT_EQ(chown(path.c_str(), 4321, 4322), 0);
    WriteAndCommit(path, "new");
    EXPECT_EQ(Stat(path).st_uid, 4321u);
    EXPECT_EQ(Stat(path).st_gid, 4322u);
}

TEST_F(SafeOutputFile, AbandonedWriteLeavesOldFileAndNoTemporary) {
    const std::string path = Path("data.xml");
    Write(path, "old");
    CSafeOutputFile(path).stream() << "half a docu";
    EXPECT_EQ(Read(path), "old");
    EXPECT_EQ(CountEntries(), 1);
}

TEST_F(SafeOutputFile, UnusablePathsGiveABadStream) {
    EXPECT_FALSE(CSafeOutputFile(Path("missing/dir/file.xml")).stream().good());
    EXPECT_FALSE(CSafeOutputFile(m_Dir).stream().good());
    // A loop of links is not replaced by a file.
    ASSERT_EQ(symlink("loop", Path("loop").c_str()), 0);
    EXPECT_FALSE(CSafeOutputFile(Path("loop")).stream().good());
    EXPECT_TRUE(fs::is_symlink(Path("loop")));
    EXPECT_EQ(CountEntries(), 1);
}

TEST_F(SafeOutputFile, LinksAreFollowedAndKept) {
    Write(Path("real.xml"), "old");
    ASSERT_EQ(symlink("real.xml", Path("step.xml").c_str()), 0);
    ASSERT_EQ(symlink(Path("step.xml").c_str(), Path("link.xml").c_str()), 0);
    WriteAndCommit(Path("link.xml"), "new");
    EXPECT_TRUE(fs::is_symlink(Path("link.xml")));
    EXPECT_TRUE(fs::is_symlink(Path("step.xml")));
    EXPECT_EQ(Read(Path("real.xml")), "new");
    EXPECT_EQ(CountEntries(), 3);

    // A dangling link creates the file it names.
    ASSERT_EQ(symlink("made.xml", Path("dangling.xml").c_str()), 0);
    WriteAndCommit(Path("dangling.xml"), "text");
    EXPECT_TRUE(fs::is_symlink(Path("dangling.xml")));
    EXPECT_EQ(Read(Path("made.xml")), "text");
}

// A name of an open descriptor writes through that descriptor's file: what
// the process writes to the descriptor afterwards lands in the same file,
// which is not replaced behind its back.
TEST_F(SafeOutputFile, DescriptorNamesWriteIntoTheOpenFile) {
    for (const char* prefix : {"/proc/self/fd/", "/dev/fd/"}) {
        const std::string path = Path("log.txt");
        Write(path, "old");
        const ino_t inode = Stat(path).st_ino;
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        WriteAndCommit(prefix + std::to_string(fd), "document\n");
        ASSERT_EQ(write(fd, "summary\n", 8), 8);
        close(fd);
        EXPECT_EQ(Stat(path).st_ino, inode) << prefix;
        EXPECT_EQ(Read(path), "document\nsummary\n") << prefix;
        EXPECT_EQ(CountEntries(), 1) << prefix;
    }
}

TEST_F(SafeOutputFile, DirectoryWithoutWriteAccessWritesInPlace) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root writes into any directory";
    }
    const std::string path = Path("data.xml");
    Write(path, "old");
    ASSERT_EQ(chmod(m_Dir.c_str(), 0500), 0);
    WriteAndCommit(path, "new");
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
