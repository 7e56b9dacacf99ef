// The process environment: expansion, lookup in any case, changes seen by
// the C library and by later expansions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

#include "pal/environment.h"
#include "pal/error.h"
#include "support/test_support.h"

namespace {

class EnvironmentTest : public testsupport::RootTest {
protected:
    void SetUp() override {
        setenv("ZbkEnvA", "alpha", 1);
    }
    void TearDown() override {
        for (const char* name : {"ZbkEnvA", "ZBKENVA", "ZbkEnvB", "ZBKENVB", "zbkenvb", "ZbkEnvU", "ZbkEnvE",
                                 "ZbkEnvC", "ZBKENVC", "ZbkEnvT"})
            unsetenv(name);
    }
    static std::u16string Expand(const WCHAR* src) {
        WCHAR out[512];
        DWORD n = ExpandEnvironmentStringsW(src, out, 512);
        EXPECT_GT(n, 0u);
        EXPECT_LE(n, 512u);
        EXPECT_EQ(n, std::u16string(out).size() + 1) << "the count includes the terminator";
        return out;
    }
};

// %NAME% takes the variable's value, whatever the case of the name.
TEST_F(EnvironmentTest, ExpandReplacesDefinedNamesInAnyCase) {
    EXPECT_EQ(Expand(u"x%ZbkEnvA%y"), u"xalphay");
    EXPECT_EQ(Expand(u"%zbkenva%%ZBKENVA%"), u"alphaalpha");
    EXPECT_EQ(Expand(u"no references"), u"no references");
    EXPECT_EQ(Expand(u""), u"");
    setenv("ZbkEnvU", "h\xc3\xa9", 1);
    EXPECT_EQ(Expand(u"%ZbkEnvU%"), u"h\u00e9") << "UTF-8 values arrive as UTF-16";
    setenv("ZbkEnvE", "", 1);
    EXPECT_EQ(Expand(u"[%ZbkEnvE%]"), u"[]") << "a defined empty variable expands to nothing";
}

// An undefined reference, an empty name and a lone percent sign stay as written.
TEST_F(EnvironmentTest, ExpandKeepsWhatItCannotResolve) {
    EXPECT_EQ(Expand(u"%ZbkEnvUndefined%"), u"%ZbkEnvUndefined%");
    EXPECT_EQ(Expand(u"%ZbkEnvUndefined%ZbkEnvA%"), u"%ZbkEnvUndefined%ZbkEnvA%")
        << "the scan resumes after the closing percent of the undefined name";
    EXPECT_EQ(Expand(u"%ZbkEnvUndefined%%ZbkEnvA%"), u"%ZbkEnvUndefined%alpha");
    EXPECT_EQ(Expand(u"50%"), u"50%");
    EXPECT_EQ(Expand(u"%%"), u"%%");
    EXPECT_EQ(Expand(u"a%ZbkEnvA"), u"a%ZbkEnvA");
    EXPECT_EQ(Expand(u"%ZbkEnvA%%"), u"alpha%");
    EXPECT_EQ(Expand(u"%ZbkEnvA=x%"), u"%ZbkEnvA=x%") << "a name never holds '='";
}

// A short buffer gets what fits, terminated; the result is the size needed,
// which the caller compares with its own.
TEST_F(EnvironmentTest, ExpandIntoShortBufferReportsNeededSize) {
    EXPECT_EQ(ExpandEnvironmentStringsW(u"x%ZbkEnvA%y", nullptr, 0), 8u);
    WCHAR out[8];
    for (WCHAR& c : out) c = u'#';
    EXPECT_EQ(ExpandEnvironmentStringsW(u"x%ZbkEnvA%y", out, 4), 8u);
    EXPECT_EQ(std::u16string(out), u"xal");
    EXPECT_EQ(out[4], u'#') << "nothing written past the given size";
    EXPECT_EQ(ExpandEnvironmentStringsW(u"x%ZbkEnvA%y", out, 7), 8u);
    EXPECT_EQ(std::u16string(out), u"xalpha");
    EXPECT_EQ(ExpandEnvironmentStringsW(u"x%ZbkEnvA%y", out, 8), 8u);
    EXPECT_EQ(std::u16string(out), u"xalphay");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(ExpandEnvironmentStringsW(nullptr, out, 8), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// When names differ only in case (Linux allows it), the first in environ wins.
TEST_F(EnvironmentTest, FirstMatchInEnvironWins) {
    setenv("ZbkEnvB", "mixed", 1);
    setenv("zbkenvb", "lower", 1);
    std::string first;
    for (char** e = environ; *e != nullptr; ++e) {
        if (strncmp(*e, "ZbkEnvB=", 8) == 0 || strncmp(*e, "zbkenvb=", 8) == 0) {
            first = *e + 8;
            break;
        }
    }
    ASSERT_FALSE(first.empty());
    std::u16string expect(first.begin(), first.end());
    EXPECT_EQ(Expand(u"%ZBKENVB%"), expect);
    WCHAR buf[16];
    EXPECT_EQ(GetEnvironmentVariableW(u"ZBKENVB", buf, 16), expect.size());
    EXPECT_EQ(std::u16string(buf), expect);
}

// GetEnvironmentVariableW counts without the terminator on success and with
// it when the buffer is too small; an undefined name is ERROR_ENVVAR_NOT_FOUND.
TEST_F(EnvironmentTest, GetVariableCountsLikeWindows) {
    WCHAR buf[16];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetEnvironmentVariableW(u"zbkENVa", buf, 16), 5u);
    EXPECT_EQ(std::u16string(buf), u"alpha");
    EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "success leaves the last error alone";
    EXPECT_EQ(GetEnvironmentVariableW(u"ZbkEnvA", buf, 5), 6u) << "no room for the terminator";
    EXPECT_EQ(GetEnvironmentVariableW(u"ZbkEnvA", nullptr, 0), 6u);
    EXPECT_EQ(GetEnvironmentVariableW(u"ZbkEnvA", buf, 6), 5u);

    setenv("ZbkEnvE", "", 1);
    EXPECT_EQ(GetEnvironmentVariableW(u"ZbkEnvE", nullptr, 0), 1u) << "an empty value still needs its terminator";
    buf[0] = u'#';
    EXPECT_EQ(GetEnvironmentVariableW(u"ZbkEnvE", buf, 16), 0u);
    EXPECT_EQ(buf[0], 0);

    SetLastError(0);
    EXPECT_EQ(GetEnvironmentVariableW(u"ZbkEnvUndefined", buf, 16), 0u);
    EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
}

// SetEnvironmentVariableW changes what the C library (and so a child) sees;
// one variable per name in any case; a null value removes it.
TEST_F(EnvironmentTest, SetVariableChangesProcessEnvironment) {
    ASSERT_TRUE(SetEnvironmentVariableW(u"ZbkEnvC", u"one \u00e9"));
    ASSERT_NE(getenv("ZbkEnvC"), nullptr);
    EXPECT_STREQ(getenv("ZbkEnvC"), "one \xc3\xa9");
    EXPECT_EQ(Expand(u"%ZbkEnvC%"), u"one \u00e9");

    ASSERT_TRUE(SetEnvironmentVariableW(u"ZBKENVC", u"two"));
    EXPECT_EQ(getenv("ZbkEnvC"), nullptr) << "the old spelling is replaced, not kept beside";
    ASSERT_NE(getenv("ZBKENVC"), nullptr);
    EXPECT_STREQ(getenv("ZBKENVC"), "two");
    EXPECT_EQ(Expand(u"%ZbkEnvC%"), u"two") << "a change shows at the next expansion";

    ASSERT_TRUE(SetEnvironmentVariableW(u"zbkenvc", nullptr));
    EXPECT_EQ(getenv("ZBKENVC"), nullptr);
    EXPECT_EQ(Expand(u"%ZbkEnvC%"), u"%ZbkEnvC%");
    EXPECT_TRUE(SetEnvironmentVariableW(u"ZbkEnvC", nullptr)) << "removing an undefined variable succeeds";
}

// Names that the C library cannot hold are refused and change nothing.
TEST_F(EnvironmentTest, SetVariableRefusesBadNames) {
    SetLastError(0);
    EXPECT_FALSE(SetEnvironmentVariableW(u"ZbkEnvA=x", u"y"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_STREQ(getenv("ZbkEnvA"), "alpha");
    SetLastError(0);
    EXPECT_FALSE(SetEnvironmentVariableW(u"", u"y"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_FALSE(SetEnvironmentVariableW(nullptr, u"y"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// The layer's own readers and writers may run on different threads at once
// (run under AddressSanitizer, a race on environ shows as a fault here).
TEST_F(EnvironmentTest, ConcurrentSetAndExpandStayConsistent) {
    std::thread writer([] {
        for (int i = 0; i < 2000; ++i) {
            SetEnvironmentVariableW(u"ZbkEnvT", (i % 2) != 0 ? u"odd" : u"even");
            // New names make setenv grow environ, which moves it.
            WCHAR name[16] = u"ZbkEnvT";
            name[7] = static_cast<WCHAR>(u'a' + (i % 20));
            SetEnvironmentVariableW(name, u"x");
            SetEnvironmentVariableW(name, nullptr);
        }
    });
    int bad = 0;
    for (int i = 0; i < 2000; ++i) {
        WCHAR out[64];
        ExpandEnvironmentStringsW(u"%ZbkEnvT%", out, 64);
        std::u16string v(out);
        if (v != u"odd" && v != u"even" && v != u"%ZbkEnvT%") ++bad;
    }
    writer.join();
    EXPECT_EQ(bad, 0);
}

}  // namespace
