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

TEST(TargetLabel, EscapesSeparatorsFormattingPrivateUseAndCombiningMarks) {
    const std::pair<const char*, const char*> cases[] = {
        {"a\xc2\xa0" "b", "\"a\\u{a0}b\""},               // no-break space
        {"a\xe3\x80\x80" "b", "\"a\\u{3000}b\""},           // ideographic space
        {"e\xcc\x81", "\"e\\u{301}\""},                     // combining acute accent
        {"\xe2\x83\x9d", "\"\\u{20dd}\""},                   // enclosing circle
        {"\xef\xbb\xbf" "x", "\"\\u{feff}x\""},              // byte order mark
        {"\xe2\x81\xa6" "x", "\"\\u{2066}x\""},              // isolate control
        {"\xee\x80\x80", "\"\\u{e000}\""},                   // private use
        {"\xf3\xa0\x80\x81", "\"\\u{e0001}\""},             // language tag
        {"\xef\xbf\xbe", "\"\\u{fffe}\""},                   // noncharacter
        {"\xe0\xa6\x95\xe0\xa6\xbe", "\"\xe0\xa6\x95\\u{9be}\""},  // vowel sign that extends its cluster
        {"\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80", "\"\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80\""},  // visible text stays
        {"\xe2\x80\xa8", "\"\\u{2028}\""},                   // line separator
    };
    for (const auto& [name, quoted] : cases) EXPECT_EQ(quoted_name(name), quoted) << name;
}

}  // namespace
}  // namespace tessalumen::py
