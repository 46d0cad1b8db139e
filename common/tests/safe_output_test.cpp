#include "common/safe_output.hpp"

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
    void TearDown() override { std::system(("rm -rf " + m_Dir).c_str()); }

    static std::string Read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static void Write(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    }
    int CountEntries() const {
        std::string cmd = "test $(ls -A " + m_Dir + " | wc -l) -eq ";
        for (int n = 0; n < 10; ++n) {
            if (std::system((cmd + std::to_string(n)).c_str()) == 0) {
                return n;
            }
        }
        return -1;
    }

    std::string m_Dir;
};

TEST_F(SafeOutputFile, ReplacesExistingFileOnlyOnCommit) {
    std::string path = m_Dir + "/data.xml";
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

TEST_F(SafeOutputFile, AbandonedWriteLeavesOldFileAndNoTemporary) {
    std::string path = m_Dir + "/data.xml";
    Write(path, "old");
    {
        CSafeOutputFile out(path);
        out.stream() << "half a docu";
    }
    EXPECT_EQ(Read(path), "old");
    EXPECT_EQ(CountEntries(), 1);
}

TEST_F(SafeOutputFile, CreatesNewFile) {
    std::string path = m_Dir + "/new.xml";
    CSafeOutputFile out(path);
    out.stream() << "text";
    out.Commit();
    EXPECT_EQ(Read(path), "text");
}

TEST_F(SafeOutputFile, UnopenableDirectoryGivesBadStream) {
    CSafeOutputFile out(m_Dir + "/missing/dir/file.xml");
    EXPECT_FALSE(out.stream().good());
}

TEST_F(SafeOutputFile, FullDeviceIsAnErrorNamingTheFile) {
    CSafeOutputFile out("/dev/full");
    ASSERT_TRUE(out.stream().good());
    out.stream() << std::string(1 << 16, 'x');
    try {
        out.Commit();
        FAIL() << "writing to /dev/full succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot write '/dev/full': ", 0), 0u) << e.what();
    }
}

}  // namespace
