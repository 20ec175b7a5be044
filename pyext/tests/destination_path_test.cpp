#include "destination_path.h"

#include <gtest/gtest.h>

namespace tessalumen::py {
namespace {

struct PathCase {
    const char* path;
    std::optional<std::string_view> name;
    const char* parent;
    std::optional<io::ImageFormat> format;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << '"' << c.path << '"'; }

class DestinationPath : public testing::TestWithParam<PathCase> {};

TEST_P(DestinationPath, NameParentAndFormat) {
    const PathCase& c = GetParam();
    EXPECT_EQ(file_name_of(c.path), c.name);
    if (c.name) {
        EXPECT_EQ(parent_of(c.path), c.parent);
    }
    EXPECT_EQ(format_from_suffix(c.path), c.format);
}

using enum io::ImageFormat;

INSTANTIATE_TEST_SUITE_P(
    Paths, DestinationPath,
    testing::Values(PathCase{"out.png", "out.png", ".", Png}, PathCase{"out.PNG", "out.PNG", ".", Png},
                    PathCase{"a/b.JpG", "b.JpG", "a", Jpeg}, PathCase{"a//b.jpeg", "b.jpeg", "a", Jpeg},
                    PathCase{"a/./b.png", "b.png", "a", Png}, PathCase{"./b.png", "b.png", ".", Png},
                    PathCase{"/b.png", "b.png", "/", Png}, PathCase{"/x/y/b.png", "b.png", "/x/y", Png},
                    PathCase{"missing/x.png", "x.png", "missing", Png}, PathCase{"a/b/", "b", "a", std::nullopt},
                    PathCase{"a/b/.", "b", "a", std::nullopt}, PathCase{"out", "out", ".", std::nullopt},
                    PathCase{".png", ".png", ".", std::nullopt}, PathCase{"out.gif", "out.gif", ".", std::nullopt},
                    PathCase{"out.", "out.", ".", std::nullopt}, PathCase{"..png", "..png", ".", Png},
                    PathCase{"a.png.bak", "a.png.bak", ".", std::nullopt},
                    PathCase{"", std::nullopt, "", std::nullopt}, PathCase{"/", std::nullopt, "", std::nullopt},
                    PathCase{".", std::nullopt, "", std::nullopt}, PathCase{"..", std::nullopt, "", std::nullopt},
                    PathCase{"a/..", std::nullopt, "", std::nullopt}));

TEST(DestinationPath, ComponentsIgnoreRepeatedSeparatorsAndInteriorDots) {
    EXPECT_EQ(path_components("a/b.png"), path_components("a//b.png"));
    EXPECT_EQ(path_components("a/b.png"), path_components("a/./b.png/"));
    EXPECT_NE(path_components("a/b.png"), path_components("./a/b.png"));
    EXPECT_NE(path_components("a/b.png"), path_components("/a/b.png"));
}

TEST(DestinationPath, InvalidUtf8IsReplacedPerMaximalSubpart) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"out.png", "out.png"},
        {"\xC3\xA9t\xC3\xA9.png", "\xC3\xA9t\xC3\xA9.png"},  // valid two-byte sequences stay
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},             // and four-byte ones
        {"\xFF.png", fffd + ".png"},
        {"a\x80\x80" "b", "a" + fffd + fffd + "b"},             // each stray continuation byte
        {"\xE2\x82.png", fffd + ".png"},                          // a truncated sequence is one subpart
        {"\xF0\x9F\x98", fffd},                                  // also at the end
        {"\xC0\xAF", fffd + fffd},                                // overlong lead
        {"\xE0\x80\x80", fffd + fffd + fffd},                    // overlong three-byte form
        {"\xED\xA0\x80", fffd + fffd + fffd},                    // surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},        // above U+10FFFF
        {"\xE2\x82\xACx", "\xE2\x82\xACx"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(replace_invalid_utf8(input), expected) << input;
}

}  // namespace
}  // namespace tessalumen::py
