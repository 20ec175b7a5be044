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
    if (c.name) EXPECT_EQ(parent_of(c.path), c.parent);
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

}  // namespace
}  // namespace tessalumen::py
