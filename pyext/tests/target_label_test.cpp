#include "target_label.h"

#include <gtest/gtest.h>

namespace tessalumen::py {
namespace {

TEST(TargetLabel, IndexAloneOrWithQuotedName) {
    EXPECT_EQ(target_label(0, std::nullopt), "target 0");
    EXPECT_EQ(target_label(1, "left"), "target 1 (\"left\")");
    EXPECT_EQ(target_label(12, ""), "target 12 (\"\")");
}

TEST(TargetLabel, EscapesQuotesBackslashesAndInvisibleCharacters) {
    EXPECT_EQ(quoted_name("a\"b"), "\"a\\\"b\"");
    EXPECT_EQ(quoted_name("a\\b"), "\"a\\\\b\"");
    EXPECT_EQ(quoted_name("line\nnext\ttab\r"), "\"line\\nnext\\ttab\\r\"");
    EXPECT_EQ(quoted_name(std::string_view("nul\0", 4)), "\"nul\\0\"");
    EXPECT_EQ(quoted_name("bell\x07"), "\"bell\\u{7}\"");
    EXPECT_EQ(quoted_name("del\x7f"), "\"del\\u{7f}\"");
    EXPECT_EQ(quoted_name("it's"), "\"it's\"");
    EXPECT_EQ(quoted_name("caf\xc3\xa9 \xe2\x9c\x93"), "\"caf\xc3\xa9 \xe2\x9c\x93\"");
    EXPECT_EQ(quoted_name("zero\xe2\x80\x8bwidth"), "\"zero\\u{200b}width\"");
}

}  // namespace
}  // namespace tessalumen::py
