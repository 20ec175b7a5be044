#include "file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace tessalumen::py {
namespace {

namespace fs = std::filesystem;

class FileIo : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tessalumen-file-io-" + std::to_string(::getpid()) + "-" +
                                            testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    void write_file(const std::string& name, const std::string& content) const {
        std::ofstream(path(name), std::ios::binary) << content;
    }

    std::string read_file(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::size_t entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {})); }

    fs::path dir_;
};

std::span<const std::uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST_F(FileIo, ReadsWholeFileOrCapsAtLimitPlusOne) {
    write_file("in.bin", std::string(5000, 'x'));
    auto whole = read_encoded(path("in.bin"), std::nullopt);
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(whole->size(), 5000u);

    auto exact = read_encoded(path("in.bin"), 5000);
    ASSERT_TRUE(exact.has_value());
    EXPECT_EQ(exact->size(), 5000u);

    auto capped = read_encoded(path("in.bin"), 100);
    ASSERT_FALSE(capped.has_value());
    const auto* too_large = std::get_if<TooLarge>(&capped.error());
    ASSERT_NE(too_large, nullptr);
    EXPECT_EQ(too_large->count, 101u);
    EXPECT_EQ(too_large->limit, 100u);
}

TEST_F(FileIo, ReadFailuresCarryTheSystemDescription) {
    auto missing = read_encoded(path("missing.png"), std::nullopt);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(std::get<IoError>(missing.error()).message, "No such file or directory (os error 2)");

    auto directory = read_encoded(dir_.string(), std::nullopt);
    ASSERT_FALSE(directory.has_value());
    EXPECT_EQ(std::get<IoError>(directory.error()).message, "Is a directory (os error 21)");
}

TEST_F(FileIo, AtomicWriteReplacesTheFileAndLeavesNoTemporary) {
    write_file("out.png", "old content that is longer");
    ASSERT_TRUE(write_atomically(path("out.png"), bytes_of("new")).has_value());
    EXPECT_EQ(read_file("out.png"), "new");
    EXPECT_EQ(entries(), 1u);
    struct stat info {};
    ASSERT_EQ(::stat(path("out.png").c_str(), &info), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST_F(FileIo, FailedRenameKeepsTheDestinationAndRemovesTheTemporary) {
    fs::create_directories(dir_ / "out.png" / "child");
    auto result = write_atomically(path("out.png"), bytes_of("data"));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message, "Is a directory (os error 21)");
    EXPECT_TRUE(fs::is_directory(dir_ / "out.png" / "child"));
    EXPECT_EQ(entries(), 1u);
}

TEST_F(FileIo, ThirtyTwoCollisionsExhaustTheTemporaryNames) {
    const std::uint64_t next = NEXT_TEMPORARY_FILE.load();
    for (int i = 0; i < TEMPORARY_FILE_ATTEMPTS; ++i) {
        write_file(".out.png.tessalumen-" + std::to_string(::getpid()) + "-" + std::to_string(next + i), "");
    }
    auto result = write_atomically(path("out.png"), bytes_of("data"));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message, "could not allocate a temporary sibling file");
    EXPECT_FALSE(fs::exists(dir_ / "out.png"));

    // The next attempt starts past the collisions and succeeds.
    ASSERT_TRUE(write_atomically(path("out.png"), bytes_of("data")).has_value());
    EXPECT_EQ(read_file("out.png"), "data");
}

TEST_F(FileIo, TemporaryNamesUseTheFileNameWithInvalidUtf8Replaced) {
    // Only the names with U+FFFD in place of the stray byte are blocked: a
    // writer that kept the raw byte would find a free name and succeed.
    const std::uint64_t next = NEXT_TEMPORARY_FILE.load();
    for (int i = 0; i < TEMPORARY_FILE_ATTEMPTS; ++i) {
        write_file(".\xEF\xBF\xBD.png.tessalumen-" + std::to_string(::getpid()) + "-" + std::to_string(next + i), "");
    }
    auto result = write_atomically(path("\xFF.png"), bytes_of("data"));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message, "could not allocate a temporary sibling file");
    EXPECT_FALSE(fs::exists(dir_ / "\xFF.png"));

    ASSERT_TRUE(write_atomically(path("\xFF.png"), bytes_of("data")).has_value());
    EXPECT_EQ(read_file("\xFF.png"), "data");
}

TEST_F(FileIo, MissingParentAndFileNameFail) {
    auto missing = write_atomically(path("missing/out.png"), bytes_of("x"));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");
    auto nameless = write_atomically(path("sub/.."), bytes_of("x"));
    ASSERT_FALSE(nameless.has_value());
    EXPECT_EQ(nameless.error().message, "destination must have a file name");
}

TEST_F(FileIo, PathsWithNulFailInsteadOfBeingCutShort) {
    write_file("a", "must stay");
    const std::string nul_path = path("a") + std::string(1, '\0') + "b.png";
    auto read = read_encoded(nul_path, std::nullopt);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(std::get<IoError>(read.error()).message, NUL_IN_PATH_MESSAGE);
    auto atomic = write_atomically(nul_path, bytes_of("x"));
    ASSERT_FALSE(atomic.has_value());
    EXPECT_EQ(atomic.error().message, NUL_IN_PATH_MESSAGE);
    auto plain = write_plainly(nul_path, bytes_of("x"));
    ASSERT_FALSE(plain.has_value());
    EXPECT_EQ(plain.error().message, NUL_IN_PATH_MESSAGE);
    EXPECT_EQ(read_file("a"), "must stay");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(FileIo, PlainWriteTruncates) {
    write_file("plain.png", "0123456789");
    ASSERT_TRUE(write_plainly(path("plain.png"), bytes_of("ab")).has_value());
    EXPECT_EQ(read_file("plain.png"), "ab");
    auto missing = write_plainly(path("missing/plain.png"), bytes_of("ab"));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().code, 2);
}

}  // namespace
}  // namespace tessalumen::py
