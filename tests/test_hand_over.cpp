// The file list a second start sends to the running program: read back
// whole, and anything malformed refused rather than half-read.
#include <gtest/gtest.h>

#include "app/hand_over.h"

namespace vrelk {
namespace {

std::vector<std::byte> bytes(std::initializer_list<unsigned> values)
{
    std::vector<std::byte> out;
    for (unsigned value : values)
        out.push_back(static_cast<std::byte>(value));
    return out;
}

TEST(HandOver, PathsComeBackAsSent)
{
    const std::vector<std::u16string> paths{u"C:\\写真\\a.jpg", u"D:\\b c.png", std::u16string(32767, u'x'),
                                            u"\\\\server\\share\\\U0001F600.bmp"};
    auto parsed = ParseHandOver(PackHandOver(paths));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, paths);
}

TEST(HandOver, MalformedDataIsRefused)
{
    const std::u16string tooLong(32768, u'x');
    const struct {
        const char* what;
        std::vector<std::byte> data;
    } cases[] = {
        {"empty", {}},
        {"odd size", bytes({'a', 0, 0, 0, 0})},
        {"last path not ended", bytes({'a', 0, 0, 0, 'b', 0})},
        {"only an end", bytes({0, 0})},
        {"an empty path between two", bytes({'a', 0, 0, 0, 0, 0, 'b', 0, 0, 0})},
        {"a control character", bytes({'a', 0, '\n', 0, 0, 0})},
        {"a path over the system's limit", PackHandOver(std::vector<std::u16string>{tooLong})},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(ParseHandOver(c.data)) << c.what;
    EXPECT_EQ(ParseHandOver(bytes({'a', 0, 0, 0, 'b', 0, 0, 0})), (std::vector<std::u16string>{u"a", u"b"}));
}

}  // namespace
}  // namespace vrelk
