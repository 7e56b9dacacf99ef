// The command line as one string and its split by Windows' rules.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pal/command_line.h"
#include "pal/security.h"
#include "pal/strings.h"

namespace {

std::vector<std::u16string> Split(const char16_t* line) {
    int n = 0;
    LPWSTR* words = CommandLineToArgvW(line, &n);
    std::vector<std::u16string> out;
    for (int i = 0; i < n; ++i) out.push_back(words[i]);
    EXPECT_EQ(words[n], nullptr);
    LocalFree(words);
    return out;
}

using V = std::vector<std::u16string>;

// Blanks separate, quotes group, backslashes count only before a quote.
TEST(CommandLineTest, SplitsAsWindowsDoes) {
    EXPECT_EQ(Split(u"prog a  b"), (V{u"prog", u"a", u"b"}));
    EXPECT_EQ(Split(u"\"C:\\Program Files\\x.exe\" -install"), (V{u"C:\\Program Files\\x.exe", u"-install"}));
    EXPECT_EQ(Split(u"p \"a b\" c"), (V{u"p", u"a b", u"c"}));
    EXPECT_EQ(Split(u"p a\\\\b"), (V{u"p", u"a\\\\b"})) << "backslashes without a quote stay";
    EXPECT_EQ(Split(u"p a\\\"b"), (V{u"p", u"a\"b"})) << "an odd run before a quote makes it literal";
    EXPECT_EQ(Split(u"p \"a\\\\\" b"), (V{u"p", u"a\\", u"b"})) << "an even run halves and the quote ends";
    EXPECT_EQ(Split(u"p \"a\"\"b\""), (V{u"p", u"a\"b"})) << "a doubled quote inside quotes";
    EXPECT_EQ(Split(u"p \"\""), (V{u"p", u""})) << "an empty quoted word";
    EXPECT_EQ(Split(u"prog"), (V{u"prog"}));
    int n = 0;
    EXPECT_EQ(CommandLineToArgvW(u"x", nullptr), nullptr);
    LPWSTR* none = CommandLineToArgvW(u"", &n);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(n, 1);
    LocalFree(none);
}

// The process's own line splits back into exactly its words.
TEST(CommandLineTest, OwnLineRoundTrips) {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    V expected;
    for (size_t at = 0; at < raw.size();) {
        size_t end = raw.find('\0', at);
        expected.push_back(pal::ToUtf16(raw.substr(at, end - at)));
        at = end + 1;
    }
    EXPECT_EQ(Split(GetCommandLineW()), expected);
}

}  // namespace
