#include "basic/DurableFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "basic/Descriptors.h"

namespace fs = std::filesystem;
using namespace ostrel::basic;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class DurableFileTest : public ::testing::Test {
protected:
    DurableFileTest() : dir_(fs::temp_directory_path() / ("ostrel-durable-" + std::to_string(getpid()))) {
        fs::create_directories(dir_);
    }
    ~DurableFileTest() override { fs::remove_all(dir_); }
    // Files in the folder other than the ones named.
    size_t strayFiles(std::initializer_list<std::string> known) {
        size_t n = 0;
        for (const auto& e : fs::directory_iterator(dir_))
            if (std::find(known.begin(), known.end(), e.path().filename().string()) == known.end()) ++n;
        return n;
    }
    fs::path dir_;
};

}  // namespace

TEST_F(DurableFileTest, ReplacesWholeWithTheUsualModeAndNoTemporaryLeft) {
    const std::string path = (dir_ / "a.txt").string();
    writeFileDurably(path, "one\n");
    writeFileDurably(path, "two\n");
    EXPECT_EQ(slurp(path), "two\n");
    mode_t mask = umask(022);
    umask(mask);
    EXPECT_EQ(fs::status(path).permissions(), static_cast<fs::perms>(0644 & ~mask));
    EXPECT_EQ(strayFiles({"a.txt"}), 0u);
}

TEST_F(DurableFileTest, KeepRefusesAnExistingFileOrLink) {
    const std::string path = (dir_ / "a.txt").string();
    std::ofstream(path) << "old";
    EXPECT_THROW(writeFileDurably(path, "new", Existing::Keep), DurableFileError);
    EXPECT_EQ(slurp(path), "old");
    fs::create_symlink("nowhere", dir_ / "link.txt");
    try {
        writeFileDurably((dir_ / "link.txt").string(), "new", Existing::Keep);
        FAIL() << "a dangling link was replaced";
    } catch (const DurableFileError& e) {
        EXPECT_EQ(e.error(), EEXIST);
    }
    EXPECT_EQ(strayFiles({"a.txt", "link.txt"}), 0u);
}

TEST_F(DurableFileTest, AppendCreatesThenAppendsAndNeverFollowsALink) {
    const std::string path = (dir_ / "a.txt").string();
    appendFileDurably(path, "1\n");
    appendFileDurably(path, "2\n");
    EXPECT_EQ(slurp(path), "1\n2\n");
    std::ofstream(dir_ / "victim") << "keep";
    fs::create_symlink(dir_ / "victim", dir_ / "link.txt");
    EXPECT_THROW(appendFileDurably((dir_ / "link.txt").string(), "x"), DurableFileError);
    EXPECT_EQ(slurp(dir_ / "victim"), "keep");
}

TEST_F(DurableFileTest, FullDiskLeavesTheFileAsItWas) {
    const std::string path = (dir_ / "a.txt").string();
    std::ofstream(path) << "previous\n";
    const std::string big(4096, 'x');
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{1024, RLIM_INFINITY};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    EXPECT_THROW(writeFileDurably(path, big), DurableFileError);
    EXPECT_THROW(appendFileDurably(path, big), DurableFileError);
    lim.rlim_cur = RLIM_INFINITY;
    setrlimit(RLIMIT_FSIZE, &lim);
    EXPECT_EQ(slurp(path), "previous\n");
    EXPECT_EQ(strayFiles({"a.txt"}), 0u);
}

TEST_F(DurableFileTest, ConcurrentAppendsLoseNothing) {
    const std::string path = (dir_ / "a.txt").string();
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) appendFileDurably(path, std::to_string(t) + ":" + std::to_string(i) + "\n");
        });
    for (auto& w : writers) w.join();
    std::string text = slurp(path);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 200);
    for (int t = 0; t < 4; ++t) EXPECT_NE(text.find(std::to_string(t) + ":49\n"), std::string::npos);
}

TEST(Descriptors, NeverHandsOutAStandardStream) {
    int saved = dup(STDIN_FILENO);
    ASSERT_GE(saved, 3);
    close(STDIN_FILENO);
    int fd = open("/dev/null", O_RDONLY);
    EXPECT_EQ(fd, 0);
    int moved = aboveStandardStreams(fd);
    EXPECT_GE(moved, 3);
    EXPECT_EQ(fcntl(0, F_GETFD), -1);  // the original is closed
    EXPECT_TRUE(fcntl(moved, F_GETFD) & FD_CLOEXEC);
    close(moved);
    dup2(saved, STDIN_FILENO);
    close(saved);
    EXPECT_EQ(aboveStandardStreams(7), 7);
}
