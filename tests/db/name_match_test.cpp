// The rule-independent pieces of alias matching: extension test, marker
// test, wildcard prefix match and template expansion.
#include <gtest/gtest.h>

#include <string>

#include "wire/name_match.h"

namespace {

int Ext(const std::u16string& s) { return ExtensionPosition(s.c_str(), static_cast<int>(s.size())); }

std::u16string Expand(const WCHAR* nameTemplate, const WCHAR* program, const WCHAR* directory) {
    WCHAR out[64];
    for (WCHAR& c : out) c = u'#';
    ExpandTemplate(nameTemplate, HasMarker(nameTemplate), program, directory, out);
    return out;
}

// A short extension is a dot among the last four characters, never at position 0.
TEST(ExtensionPosition, DotWithinLastFourButNotFirst) {
    EXPECT_EQ(Ext(u"a.exe"), 1);
    EXPECT_EQ(Ext(u"notepad.exe"), 7);
    EXPECT_EQ(Ext(u"x.html"), 0) << "four characters after the dot are too many";
    EXPECT_EQ(Ext(u".exe"), 0) << "a leading dot is no extension";
    EXPECT_EQ(Ext(u"notepad."), 7) << "a dot with nothing after it counts";
    EXPECT_EQ(Ext(u"a.b"), 1);
    EXPECT_EQ(Ext(u"a.b.c"), 3) << "the last dot is found first";
    EXPECT_EQ(Ext(u"sleep"), 0);
    EXPECT_EQ(Ext(u"System"), 0);
    EXPECT_EQ(Ext(u""), 0);
    EXPECT_EQ(Ext(u"."), 0);
    EXPECT_EQ(Ext(u"x."), 1);
}

// A marker is '<', one of P, D, H in either case, then '>'.
TEST(HasMarker, OnlyTheThreeLettersBetweenAngles) {
    EXPECT_TRUE(HasMarker(u"<P>"));
    EXPECT_TRUE(HasMarker(u"x<d>y"));
    EXPECT_TRUE(HasMarker(u"<h>"));
    EXPECT_TRUE(HasMarker(u"<<P>"));
    EXPECT_FALSE(HasMarker(u"<X>"));
    EXPECT_FALSE(HasMarker(u"<P"));
    EXPECT_FALSE(HasMarker(u"P>"));
    EXPECT_FALSE(HasMarker(u"< P>"));
    EXPECT_FALSE(HasMarker(u"Editor"));
    EXPECT_FALSE(HasMarker(u""));
    EXPECT_FALSE(HasMarker(u"<"));
}

// A wildcard pattern is a prefix: it stops at its end or its first '*';
// '?' takes any one character but not the end of the candidate.
TEST(PrefixMatch, PatternActsAsPrefix) {
    EXPECT_TRUE(PrefixMatch(u"note*", u"notepad"));
    EXPECT_TRUE(PrefixMatch(u"n?te", u"notepad"));
    EXPECT_TRUE(PrefixMatch(u"Note?ad", u"notepads.exe"));
    EXPECT_TRUE(PrefixMatch(u"*", u"anything"));
    EXPECT_TRUE(PrefixMatch(u"*", u""));
    EXPECT_TRUE(PrefixMatch(u"a*b", u"axxxx")) << "nothing after the first '*' is looked at";
    EXPECT_TRUE(PrefixMatch(u"a*b", u"a"));
    EXPECT_FALSE(PrefixMatch(u"a*b", u"b"));
    EXPECT_FALSE(PrefixMatch(u"note?", u"note")) << "'?' needs a character";
    EXPECT_FALSE(PrefixMatch(u"notepad?", u"notepad"));
    EXPECT_FALSE(PrefixMatch(u"notf*", u"notepad"));
    EXPECT_FALSE(PrefixMatch(u"notepadx", u"notepad")) << "a pattern longer than the candidate fails";
}

// Characters compare after upper-casing both sides, beyond ASCII too.
TEST(PrefixMatch, IgnoresCase) {
    EXPECT_TRUE(PrefixMatch(u"NOTE?AD", u"notepad"));
    EXPECT_TRUE(PrefixMatch(u"c:\\winnt\\*", u"C:\\WINNT\\system32\\calc.exe"));
    EXPECT_TRUE(PrefixMatch(u"\u00e9t\u00e9*", u"\u00c9T\u00c9.exe"));
    EXPECT_FALSE(PrefixMatch(u"e*", u"\u00e9"));
}

// Without a marker the template is the name, taken literally and cut to 63.
TEST(ExpandTemplate, LiteralTemplate) {
    EXPECT_EQ(Expand(u"Editor", u"notepad", nullptr), u"Editor");
    EXPECT_EQ(Expand(u"", u"notepad", nullptr), u"");
    std::u16string longName(63, u'n');
    EXPECT_EQ(Expand(longName.c_str(), u"p", nullptr), longName);
    WCHAR out[64];
    // Bit 2 clear wins even when the text looks like a marker.
    ExpandTemplate(u"<P>", false, u"notepad", nullptr, out);
    EXPECT_EQ(std::u16string(out), u"<P>");
}

// <P> is the program, <D> the matched directory, in any case; the rest is copied.
TEST(ExpandTemplate, MarkersInAnyCase) {
    EXPECT_EQ(Expand(u"<P>", u"notepad", nullptr), u"notepad");
    EXPECT_EQ(Expand(u"<p>", u"notepad", nullptr), u"notepad");
    EXPECT_EQ(Expand(u"<D>-<P>", u"calc.exe", u"system32"), u"system32-calc.exe");
    EXPECT_EQ(Expand(u"<d>/<p>!", u"calc.exe", u"System32"), u"System32/calc.exe!");
    EXPECT_EQ(Expand(u"[<P><P>]", u"ab", nullptr), u"[abab]");
    EXPECT_EQ(Expand(u"<X><P", u"ab", u"dir"), u"<X><P") << "no marker, no substitution";
    EXPECT_EQ(Expand(u"<P>", u"", nullptr), u"");
}

// <D> without a directory (types A and P) stays as its three characters.
TEST(ExpandTemplate, DirectoryMarkerWithoutDirectoryStays) {
    EXPECT_EQ(Expand(u"x<D>y", u"notepad", nullptr), u"x<D>y");
    EXPECT_EQ(Expand(u"<d>-<P>", u"notepad", nullptr), u"<d>-notepad");
}

// <H> in any case empties the name at once, wherever it stands.
TEST(ExpandTemplate, HideMarkerEmptiesName) {
    EXPECT_EQ(Expand(u"<H>", u"notepad", nullptr), u"");
    EXPECT_EQ(Expand(u"<P>-<h>", u"notepad", u"dir"), u"");
    EXPECT_EQ(Expand(u"<P><P><P><H>", std::u16string(40, u'x').c_str(), nullptr), u"")
        << "hiding also after the name has filled up";
    WCHAR out[64];
    for (WCHAR& c : out) c = u'#';
    ExpandTemplate(u"<P><H>", true, u"notepad", nullptr, out);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[5], 0) << "nothing of the partial name is left behind";
}

// The expanded name is cut to 63 characters.
TEST(ExpandTemplate, ResultCutTo63) {
    std::u16string program(60, u'p');
    std::u16string got = Expand(u"<P>-<P>", program.c_str(), nullptr);
    EXPECT_EQ(got.size(), 63u);
    EXPECT_EQ(got, program + u"-pp");
    std::u16string dir(70, u'd');
    EXPECT_EQ(Expand(u"<D>", u"x", dir.c_str()), std::u16string(63, u'd'));
}

}  // namespace
