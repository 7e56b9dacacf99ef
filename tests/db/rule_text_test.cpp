// The stored text forms: alias-rule strings, management texts, multi-string counts.
// Packed fields are compared as copies (unary +): gtest takes its arguments by reference.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "db/rule_text.h"
#include "pal/strings.h"
#include "wire/result_codes.h"

namespace {

bool Parse(const std::u16string& text, NameRule& rule) {
    memset(&rule, 0, sizeof(rule));
    return ParseAliasRule(text.data(), text.size(), rule);
}

std::u16string Format(const NameRule& rule, size_t* units = nullptr) {
    WCHAR out[kAliasRuleMaxUnits];
    size_t n = FormatAliasRule(rule, out);
    if (units != nullptr) *units = n;
    return std::u16string(out);
}

NameRule Rule(WCHAR type, const std::u16string& match, const std::u16string& name, const std::u16string& desc) {
    NameRule r{};
    r.matchType = type;
    StringCchCopyW(r.match, 64, match.c_str());
    StringCchCopyW(r.name, 64, name.c_str());
    StringCchCopyW(r.description, 64, desc.c_str());
    return r;
}

std::u16string Text(const MgmtData& m) {
    WCHAR out[kMgmtTextMaxUnits];
    FormatMgmtText(m, out);
    return std::u16string(out);
}

std::u16string Repeat(WCHAR c, size_t n) { return std::u16string(n, c); }

// A record as a client might leave it before a read: every byte set.
MgmtData Dirty() {
    MgmtData m;
    memset(&m, 0x5A, sizeof(m));
    return m;
}

}  // namespace

// Without a trailing quote there is no description; the name is everything after the last comma.
TEST(AliasRuleText, ParsesPatternNameAndOptionalDescription) {
    NameRule r;
    ASSERT_TRUE(Parse(u"{P,note,Editor}", r));
    EXPECT_EQ(r.matchType, u'P');
    EXPECT_EQ(std::u16string(r.match), u"note");
    EXPECT_EQ(std::u16string(r.name), u"Editor");
    EXPECT_EQ(std::u16string(r.description), u"");

    ASSERT_TRUE(Parse(u"{D,Tools,<D>,\"by folder\"}", r));
    EXPECT_EQ(r.matchType, u'D');
    EXPECT_EQ(std::u16string(r.match), u"Tools");
    EXPECT_EQ(std::u16string(r.name), u"<D>");
    EXPECT_EQ(std::u16string(r.description), u"by folder");
    EXPECT_EQ(r.reserved, 0);

    // Empty pattern, name and description are all allowed.
    ASSERT_TRUE(Parse(u"{A,,,\"\"}", r));
    EXPECT_EQ(std::u16string(r.match), u"");
    EXPECT_EQ(std::u16string(r.name), u"");
    ASSERT_TRUE(Parse(u"{P,,}", r));
}

// A pattern may hold commas (the name starts after the last comma); a name may not.
TEST(AliasRuleText, CommasBelongToThePattern) {
    NameRule r;
    ASSERT_TRUE(Parse(u"{P,a,b,c}", r));
    EXPECT_EQ(std::u16string(r.match), u"a,b");
    EXPECT_EQ(std::u16string(r.name), u"c");
    ASSERT_TRUE(Parse(u"{P,a,b,c,\"d,e\"}", r));
    EXPECT_EQ(std::u16string(r.match), u"a,b");
    EXPECT_EQ(std::u16string(r.name), u"c");
    EXPECT_EQ(std::u16string(r.description), u"d,e");
}

// The type letter is not checked here; the matcher passes over unknown letters.
TEST(AliasRuleText, AnyTypeLetterIsRead) {
    NameRule r;
    ASSERT_TRUE(Parse(u"{Z,x,y}", r));
    EXPECT_EQ(r.matchType, u'Z');
}

// Malformed strings are refused and leave the record as it was (zeroed).
TEST(AliasRuleText, RefusesMalformedStrings) {
    const char16_t* bad[] = {
        u"{A,x,\"desc\"}",  // quoted description right after the pattern: only one comma
        u"{P,note,Editor",  // no closing brace
        u"P,note,Editor}",  // no opening brace
        u"{P;note,Editor}", // the separator after the letter is not a comma
        u"{P,noteEditor}",  // no comma between pattern and name
        u"{P,a,b\"}",       // closing quote without an opening one
        u"{P,\"\"}",
        u"{P,}",
        u"{}",
        u"{",
        u"",
    };
    for (const char16_t* s : bad) {
        NameRule r;
        EXPECT_FALSE(Parse(s, r)) << pal::ToUtf8(s);
        NameRule zero{};
        EXPECT_EQ(memcmp(&r, &zero, sizeof(r)), 0) << pal::ToUtf8(s);
    }
}

// The string ends at `length`: whatever follows is not looked at.
TEST(AliasRuleText, ParsesOnlyTheGivenLength) {
    std::u16string s = u"{P,a,b}{P,c,d}";
    NameRule r{};
    ASSERT_TRUE(ParseAliasRule(s.data(), 7, r));
    EXPECT_EQ(std::u16string(r.name), u"b");
}

// A hand-edited field longer than 63 characters is cut to 63.
TEST(AliasRuleText, LongHandEditedFieldsAreCut) {
    NameRule r;
    std::u16string s = u"{P," + Repeat(u'm', 100) + u"," + Repeat(u'n', 64) + u",\"" + Repeat(u'd', 70) + u"\"}";
    ASSERT_TRUE(Parse(s, r));
    EXPECT_EQ(std::u16string(r.match), Repeat(u'm', 63));
    EXPECT_EQ(std::u16string(r.name), Repeat(u'n', 63));
    EXPECT_EQ(std::u16string(r.description), Repeat(u'd', 63));
}

// The writer's format: brace, letter, fields separated by commas, description quoted.
TEST(AliasRuleText, FormatsAndRoundTrips) {
    size_t units = 0;
    NameRule d = Rule(u'D', u"Tools", u"<D>", u"by folder");
    EXPECT_EQ(Format(d, &units), u"{D,Tools,<D>,\"by folder\"}");
    EXPECT_EQ(units, 26u) << "the count includes the terminator";
    EXPECT_EQ(Format(Rule(u'P', u"", u"", u"")), u"{P,,,\"\"}");

    const NameRule rules[] = {
        d,
        Rule(u'A', u"%SystemRoot%\\a,b", u"x<P>", u""),
        Rule(u'P', u"n?te*", u"<H>", u"hide, with comma"),
        Rule(u'P', Repeat(u'a', 63), Repeat(u'b', 63), Repeat(u'c', 63)),
    };
    for (const NameRule& in : rules) {
        std::u16string text = Format(in);
        NameRule out;
        ASSERT_TRUE(Parse(text, out)) << pal::ToUtf8(text);
        EXPECT_EQ(memcmp(&in, &out, sizeof(in)), 0) << pal::ToUtf8(text);
    }
}

// Fields of 63 characters give the longest string, which fits the documented room.
TEST(AliasRuleText, LongestStringFitsItsRoom) {
    size_t units = 0;
    std::u16string s = Format(Rule(u'P', Repeat(u'a', 63), Repeat(u'b', 63), Repeat(u'c', 63)), &units);
    EXPECT_EQ(units, 198u) << "197 characters and the terminator";
    EXPECT_LE(units, kAliasRuleMaxUnits);
    EXPECT_LE(units * sizeof(WCHAR), kAliasRuleBufferBytesPerRule);
}

// A client's field without a terminator inside its array is written as 63 characters.
TEST(AliasRuleText, UnterminatedFieldsAreCutWhenWriting) {
    NameRule r;
    for (auto& c : r.match) c = u'm';
    for (auto& c : r.name) c = u'n';
    for (auto& c : r.description) c = u'd';
    r.matchType = u'P';
    r.reserved = 0x4141;
    EXPECT_EQ(Format(r), u"{P," + Repeat(u'm', 63) + u"," + Repeat(u'n', 63) + u",\"" + Repeat(u'd', 63) + u"\"}");
}

// Counting starts at every string; the empty string that ends the list does not count.
TEST(MultiSzCount, CountsStringsOfTheValue) {
    const char16_t two[] = u"ab\0cd\0";  // with the literal's own terminator: ab, cd, empty
    EXPECT_EQ(CountMultiSz(two, 7), 2u);
    const char16_t empty[] = {0, 0};
    EXPECT_EQ(CountMultiSz(empty, 2), 0u);
    EXPECT_EQ(CountMultiSz(empty, 0), 0u);
    const char16_t one[] = {u'x', 0, 0};
    EXPECT_EQ(CountMultiSz(one, 3), 1u);
    // Without the final empty string the last string is lost, as the count rule says.
    EXPECT_EQ(CountMultiSz(two, 6), 1u);
    // An empty string inside the list counts (and later fails to parse).
    const char16_t hole[] = {u'a', 0, 0, u'b', 0, 0};
    EXPECT_EQ(CountMultiSz(hole, 6), 3u);
    // A first unit of zero means an empty list, whatever follows.
    const char16_t lead[] = {0, u'a', 0, 0};
    EXPECT_EQ(CountMultiSz(lead, 4), 0u);
}

// The writer's field order and numbers: lower-case hex without leading zeros.
TEST(MgmtText, FormatsAProcessRuleWithPriority13) {
    MgmtData m{};
    m.mgmtFlags = ApplyPriority;
    m.priority = 13;
    EXPECT_EQ(Text(m), u"{F0x40,A0x0,P0xd,L0x0,H0x0,S0x0,T0x0,U0x0,C0x0,M0x0,N0x0}");
}

// Only the persistent flag bits are written; priority 0 becomes 8, a class above 9 becomes 5.
TEST(MgmtText, WritesMaskedFlagsAndSubstitutes) {
    MgmtData m{};
    m.mgmtFlags = 0xFFFFFFFF;
    m.priority = 0;
    m.schedClass = 12;
    m.affinity = 0xFFFFFFFFFFFFFFFFull;
    m.minWorkingSet = 0x1000;
    m.maxWorkingSet = 0xABCDEF;
    m.procTimeLimit = -1;
    m.groupTimeLimit = 10000000;
    m.processCount = 7;
    m.procMemoryLimit = 0x100000;
    m.groupMemoryLimit = 0x7FFFFFFFFFFFFFFFull;
    EXPECT_EQ(Text(m), u"{F0xecbfe,A0xffffffffffffffff,P0x8,L0x1000,H0xabcdef,S0x5,T0xffffffffffffffff,U0x989680,"
                       u"C0x7,M0x100000,N0x7fffffffffffffff}");
    m.schedClass = 9;
    EXPECT_NE(Text(m).find(u",S0x9,"), std::u16string::npos) << "9 is a class and stays";
    m.schedClass = 10;
    EXPECT_NE(Text(m).find(u",S0x5,"), std::u16string::npos);
}

// Decimal or 0x numbers; F is OR-ed in unmasked; the other fields are replaced.
TEST(MgmtText, ReadsDecimalAndHexNumbers) {
    for (const char16_t* s : {u"{F0x40,P13}", u"{F0x40,P0xd}", u"{F64,P0XD}"}) {
        MgmtData m{};
        bool empty = true;
        ASSERT_EQ(ParseMgmtText(s, m, empty), 0u) << pal::ToUtf8(s);
        EXPECT_FALSE(empty);
        EXPECT_EQ(+m.priority, 13u);
        EXPECT_EQ(+m.mgmtFlags, static_cast<DWORD>(ApplyPriority));
    }
    MgmtData m{};
    m.mgmtFlags = HasMemberOf | LimitProcTime;
    bool empty = false;
    ASSERT_EQ(ParseMgmtText(u"{F0x80000001}", m, empty), 0u);
    EXPECT_EQ(+m.mgmtFlags, HasMemberOf | 0x80000001u) << "persistent bits cleared, then F OR-ed in unmasked";
}

// Empty numbers are 0; the number ends at the first non-digit of its base; no overflow check.
TEST(MgmtText, EmptyNumbersAndWrapping) {
    MgmtData m = Dirty();
    bool empty = true;
    ASSERT_EQ(ParseMgmtText(u"{P,F}", m, empty), 0u);
    EXPECT_EQ(+m.priority, 0u);
    EXPECT_EQ(+m.mgmtFlags & PersistentFlagMask, 0u);
    ASSERT_EQ(ParseMgmtText(u"{P0x}", m, empty), 0u);
    EXPECT_EQ(+m.priority, 0u);
    // The low 32 bits go into 32-bit fields.
    ASSERT_EQ(ParseMgmtText(u"{P0x100000008,A18446744073709551617}", m, empty), 0u);
    EXPECT_EQ(+m.priority, 8u);
    EXPECT_EQ(+m.affinity, 1u) << "2^64 + 1 wraps to 1";
    // "1x5": a second character x makes the number hexadecimal from its third character.
    ASSERT_EQ(ParseMgmtText(u"{P1x5}", m, empty), 0u);
    EXPECT_EQ(+m.priority, 5u);
}

// Every field letter reaches its own field.
TEST(MgmtText, RoundTripsEveryField) {
    MgmtData in{};
    in.mgmtFlags = PersistentFlagMask;
    in.affinity = 0x3;
    in.priority = 24;
    in.minWorkingSet = 0x200000;
    in.maxWorkingSet = 0x400000;
    in.schedClass = 9;
    in.processCount = 12;
    in.procTimeLimit = 20000000;
    in.groupTimeLimit = -5;
    in.procMemoryLimit = 0x1000000;
    in.groupMemoryLimit = 0x2000000;
    MgmtData out = Dirty();
    bool empty = true;
    ASSERT_EQ(ParseMgmtText(Text(in).c_str(), out, empty), 0u);
    EXPECT_FALSE(empty);
    EXPECT_EQ(+out.mgmtFlags & PersistentFlagMask, +in.mgmtFlags);
    EXPECT_EQ(+out.affinity, +in.affinity);
    EXPECT_EQ(+out.priority, +in.priority);
    EXPECT_EQ(+out.minWorkingSet, +in.minWorkingSet);
    EXPECT_EQ(+out.maxWorkingSet, +in.maxWorkingSet);
    EXPECT_EQ(+out.schedClass, +in.schedClass);
    EXPECT_EQ(+out.processCount, +in.processCount);
    EXPECT_EQ(+out.procTimeLimit, +in.procTimeLimit);
    EXPECT_EQ(+out.groupTimeLimit, +in.groupTimeLimit);
    EXPECT_EQ(+out.procMemoryLimit, +in.procMemoryLimit);
    EXPECT_EQ(+out.groupMemoryLimit, +in.groupMemoryLimit);

    // Priority 0 is written as 8 and reads back as 8.
    in.priority = 0;
    ASSERT_EQ(ParseMgmtText(Text(in).c_str(), out, empty), 0u);
    EXPECT_EQ(+out.priority, 8u);
}

// Unknown letters, other separators and missing braces mark the block invalid.
TEST(MgmtText, RefusesMalformedTexts) {
    for (const char16_t* s : {u"{Q0x1}", u"{P8;F0}", u"P8}", u"{P8", u"{", u"", u"{P8,}", u"{p8}", u"{P8 }"}) {
        MgmtData m{};
        m.mgmtFlags = HasMemberOf;
        bool empty = true;
        EXPECT_EQ(ParseMgmtText(s, m, empty), ResultBadStoredData) << pal::ToUtf8(s);
        EXPECT_EQ(+m.mgmtFlags & (MgmtDataInvalid | HasMemberOf), MgmtDataInvalid | HasMemberOf) << pal::ToUtf8(s);
        EXPECT_FALSE(empty);
    }
}

// A closing brace followed by more fields goes on parsing: only the terminator ends the text.
TEST(MgmtText, BraceInsideTheTextSeparatesFields) {
    MgmtData m{};
    bool empty = true;
    ASSERT_EQ(ParseMgmtText(u"{P8}C3}", m, empty), 0u);
    EXPECT_EQ(+m.priority, 8u);
    EXPECT_EQ(+m.processCount, 3u);
}

// Just the two braces: success, everything the read clears stays cleared, and the caller is told.
TEST(MgmtText, TwoBracesClearAndReportEmpty) {
    MgmtData m = Dirty();
    bool empty = false;
    ASSERT_EQ(ParseMgmtText(u"{}", m, empty), 0u);
    EXPECT_TRUE(empty);
    EXPECT_EQ(+m.priority, 0u);
    EXPECT_EQ(+m.affinity, 0u);
    EXPECT_EQ(m.description[0], 0);
}

// The read clears the persistent bits, the description, A P L H S and 64 reserved bytes; C T U M N,
// the load-status bits, mgmtName and the last 16 reserved bytes stay.
TEST(MgmtText, ClearForReadKeepsGroupLimits) {
    MgmtData m = Dirty();
    ClearMgmtForRead(m);
    EXPECT_EQ(+m.mgmtFlags, 0x5A5A5A5Au & ~PersistentFlagMask);
    for (WCHAR c : m.description) EXPECT_EQ(c, 0);
    EXPECT_EQ(+m.affinity, 0u);
    EXPECT_EQ(+m.priority, 0u);
    EXPECT_EQ(+m.minWorkingSet, 0u);
    EXPECT_EQ(+m.maxWorkingSet, 0u);
    EXPECT_EQ(+m.schedClass, 0u);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(m.reserved[i], 0) << i;
    for (int i = 64; i < 80; ++i) EXPECT_EQ(m.reserved[i], 0x5A) << i;
    EXPECT_EQ(+m.processCount, 0x5A5A5A5Au);
    EXPECT_EQ(static_cast<ULONGLONG>(m.procTimeLimit), 0x5A5A5A5A5A5A5A5Aull);
    EXPECT_EQ(static_cast<ULONGLONG>(m.groupTimeLimit), 0x5A5A5A5A5A5A5A5Aull);
    EXPECT_EQ(+m.procMemoryLimit, 0x5A5A5A5A5A5A5A5Aull);
    EXPECT_EQ(+m.groupMemoryLimit, 0x5A5A5A5A5A5A5A5Aull);
    EXPECT_EQ(m.mgmtName[0], 0x5A5A);

    // A text without C T U M N keeps them through the whole read.
    bool empty = true;
    m = Dirty();
    ASSERT_EQ(ParseMgmtText(u"{P4}", m, empty), 0u);
    EXPECT_EQ(+m.processCount, 0x5A5A5A5Au);
    EXPECT_EQ(+m.groupMemoryLimit, 0x5A5A5A5A5A5A5A5Aull);
}
