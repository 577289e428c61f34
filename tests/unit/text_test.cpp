#include <gtest/gtest.h>

#include "platform/text.h"

namespace km {
namespace {

TEST(TextTest, EqualsIgnoreAsciiCaseFoldsAsciiLettersOnly) {
    struct Case { TextView a, b; bool equal; } cases[] = {
        {u"All Users", u"all users", true},
        {u"ALL USERS", u"All Users", true},
        {u"User", u"Users", false},
        {u"", u"", true},
        {u"\u00C4", u"\u00E4", false},  // non-ASCII letters are not folded
        {u"[", u"{", false},            // '[' + 32 is '{' but is not a letter
        {u"@", u"`", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EqualsIgnoreAsciiCase(c.a, c.b), c.equal) << ToUtf8(c.a) << " vs " << ToUtf8(c.b);
}

TEST(TextTest, ToUtf8EncodesPairsAndReplacesLoneSurrogates) {
    EXPECT_EQ(ToUtf8(u"a\u00E9\u20AC"), "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(ToUtf8(u"\U0001F511"), "\xF0\x9F\x94\x91");
    const char16_t lone[] = {0xD800, u'x', 0};
    EXPECT_EQ(ToUtf8(lone), "\xEF\xBF\xBDx");
}

}  // namespace
}  // namespace km
