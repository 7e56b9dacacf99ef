// The layer's JSON reader and writer.
#include <gtest/gtest.h>

#include <string>

#include "pal/json.h"

using pal::json::Kind;
using pal::json::Value;

namespace {

Value MustParse(const std::string& text) {
    Value v;
    size_t off = 0;
    EXPECT_TRUE(pal::json::Parse(text, v, &off)) << text << " failed at " << off;
    return v;
}

bool Parses(const std::string& text) {
    Value v;
    return pal::json::Parse(text, v);
}

std::string Nested(int depth) { return std::string(static_cast<size_t>(depth), '[') + std::string(static_cast<size_t>(depth), ']'); }

}  // namespace

// Every kind of value parses, members keep file order, and the compact
// text of a parsed document reads back to the same document.
TEST(JsonTest, ParsesAndRoundTrips) {
    Value v = MustParse(" {\"b\": [1, -2.5e3, true, false, null], \"a\": {\"x\": \"y\"}, \"c\": []}\n");
    ASSERT_EQ(v.kind, Kind::Object);
    ASSERT_EQ(v.members.size(), 3u);
    EXPECT_EQ(v.members[0].first, "b");
    EXPECT_EQ(v.members[1].first, "a");
    const Value* b = v.Find("b");
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(b->items.size(), 5u);
    EXPECT_EQ(b->items[1].kind, Kind::Number);
    EXPECT_EQ(b->items[1].text, "-2.5e3") << "numbers keep their literal text";
    EXPECT_TRUE(b->items[2].boolean);
    EXPECT_EQ(b->items[4].kind, Kind::Null);
    EXPECT_EQ(v.Find("a")->Find("x")->text, "y");
    EXPECT_EQ(v.Find("missing"), nullptr);
    EXPECT_EQ(b->Find("b"), nullptr) << "Find on a non-object";

    std::string compact = pal::json::Serialize(v);
    EXPECT_EQ(compact, "{\"b\":[1,-2.5e3,true,false,null],\"a\":{\"x\":\"y\"},\"c\":[]}");
    Value again = MustParse(compact);
    EXPECT_EQ(pal::json::Serialize(again), compact);

    for (const char* doc : {"0", "-0", "\"\"", "[]", "{}", "1E+2", "[[],[{}]]", "{\"\":\"\"}"})
        EXPECT_EQ(pal::json::Serialize(MustParse(doc)), doc);
}

// Escapes decode to UTF-8; a surrogate pair becomes one 4-byte character.
TEST(JsonTest, StringEscapes) {
    Value v = MustParse(R"("a\"b\\c\/d\b\f\n\r\t\u0041\u00e9\u20ac\ud83d\ude00\u0000z")");
    ASSERT_EQ(v.kind, Kind::String);
    EXPECT_EQ(v.text, std::string("a\"b\\c/d\b\f\n\r\tA\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80") + std::string(1, '\0') + "z");
    // Raw UTF-8 passes through unchanged.
    EXPECT_EQ(MustParse("\"\xc3\xa9\xf0\x9f\x98\x80\"").text, "\xc3\xa9\xf0\x9f\x98\x80");
}

// Malformed documents are refused: truncation, trailing garbage, bad
// escapes, lone surrogates, bad UTF-8, non-JSON number forms.
TEST(JsonTest, RefusesMalformedDocuments) {
    const char* bad[] = {
        "", " ", "[", "[1,", "[1,]", "[1 2]", "{", "{\"a\"", "{\"a\":", "{\"a\":1,}", "{\"a\" 1}", "{a:1}",
        "{\"a\":1 \"b\":2}", "[1] x", "[1]]", "1 2", "\"abc", "\"\\", "\"\\x\"", "\"\\u12\"", "\"\\u12g4\"",
        "\"\\ud800\"", "\"\\udc00\"", "\"\\ud800\\u0041\"", "\"\\ud800x\"", "\"a\x01\"", "\"tab\there\"",
        "\"\xff\"", "\"\xc0\x80\"", "\"\xed\xa0\x80\"", "\"\xf4\x90\x80\x80\"", "\"\xe2\x82\"",
        "01", "1.", ".5", "-", "1e", "1e+", "+1", "0x10", "NaN", "Infinity", "-Infinity", "tru", "nul",
        "True", "'a'", "[,1]", "{,}", "\xef\xbb\xbf[]",
    };
    for (const char* doc : bad) {
        Value v;
        v.kind = Kind::Array;
        EXPECT_FALSE(pal::json::Parse(doc, v)) << "accepted: " << doc;
        EXPECT_EQ(v.kind, Kind::Null) << "a failed parse leaves an empty value";
    }
    // An embedded NUL byte outside a string is garbage too.
    EXPECT_FALSE(Parses(std::string("[1]\0", 4)));
}

// The fault offset points at the offending byte.
TEST(JsonTest, ReportsErrorOffset) {
    Value v;
    size_t off = 0;
    EXPECT_FALSE(pal::json::Parse("[1,x]", v, &off));
    EXPECT_EQ(off, 3u);
    EXPECT_FALSE(pal::json::Parse("{\"k\": tru}", v, &off));
    EXPECT_EQ(off, 6u);
    EXPECT_FALSE(pal::json::Parse("[1] 2", v, &off));
    EXPECT_EQ(off, 4u);
    EXPECT_FALSE(pal::json::Parse("\"\\ud800\"", v, &off));
    EXPECT_EQ(off, 1u);
}

// Nesting is limited to 64 levels, and deep input never exhausts the stack.
TEST(JsonTest, DepthLimit) {
    EXPECT_TRUE(Parses(Nested(64)));
    EXPECT_FALSE(Parses(Nested(65)));
    EXPECT_FALSE(Parses(std::string(200000, '[')));
    std::string objects;
    for (int i = 0; i < 65; ++i) objects += "{\"a\":";
    objects += "1" + std::string(65, '}');
    EXPECT_FALSE(Parses(objects));
}

// Integers are exact over the full 64-bit ranges; anything not whole or
// out of range is refused.
TEST(JsonTest, IntegersAreExact) {
    uint64_t u = 0;
    int64_t s = 0;
    EXPECT_TRUE(MustParse("18446744073709551615").AsUint64(u));
    EXPECT_EQ(u, UINT64_MAX);
    EXPECT_FALSE(MustParse("18446744073709551616").AsUint64(u));
    EXPECT_FALSE(MustParse("18446744073709551615").AsInt64(s));
    EXPECT_TRUE(MustParse("9223372036854775807").AsInt64(s));
    EXPECT_EQ(s, INT64_MAX);
    EXPECT_TRUE(MustParse("-9223372036854775808").AsInt64(s));
    EXPECT_EQ(s, INT64_MIN);
    EXPECT_FALSE(MustParse("-9223372036854775809").AsInt64(s));
    EXPECT_FALSE(MustParse("-1").AsUint64(u));
    EXPECT_TRUE(MustParse("-0").AsUint64(u));
    EXPECT_EQ(u, 0u);
    EXPECT_TRUE(MustParse("4294967296").AsUint64(u));
    EXPECT_EQ(u, 4294967296ull);
    // Exponent and fraction forms count when the value is whole.
    EXPECT_TRUE(MustParse("1e3").AsInt64(s));
    EXPECT_EQ(s, 1000);
    EXPECT_TRUE(MustParse("2.50E1").AsInt64(s));
    EXPECT_EQ(s, 25);
    EXPECT_TRUE(MustParse("100e-2").AsUint64(u));
    EXPECT_EQ(u, 1u);
    EXPECT_TRUE(MustParse("0.0e99999999999").AsUint64(u));
    EXPECT_EQ(u, 0u);
    EXPECT_TRUE(MustParse("1844674407370955161.5e1").AsUint64(u));
    EXPECT_EQ(u, 18446744073709551615ull);
    EXPECT_FALSE(MustParse("1.5").AsInt64(s));
    EXPECT_FALSE(MustParse("1e-2").AsUint64(u));
    EXPECT_FALSE(MustParse("1e400").AsUint64(u));
    EXPECT_FALSE(MustParse("123456789012345678901234567890").AsUint64(u));
    EXPECT_FALSE(MustParse("\"7\"").AsInt64(s)) << "a string is not a number";
    EXPECT_FALSE(MustParse("true").AsUint64(u));
}

// Quote escapes what JSON requires, replaces invalid UTF-8, and reads back.
TEST(JsonTest, QuoteEscapesAndRepairs) {
    std::string out;
    pal::json::Quote(out, std::string("q\"b\\n\n\x01\x1f\t", 9));
    EXPECT_EQ(out, R"("q\"b\\n\n\u0001\u001f\t")");
    EXPECT_EQ(MustParse(out).text, std::string("q\"b\\n\n\x01\x1f\t", 9));

    out.clear();
    pal::json::Quote(out, "a\xff" "b\xc3");
    EXPECT_EQ(out, "\"a\xef\xbf\xbd" "b\xef\xbf\xbd\"");
    out.clear();
    pal::json::Quote(out, "\xed\xa0\x80");  // an encoded surrogate is invalid too
    EXPECT_TRUE(Parses(out));
    out.clear();
    pal::json::Quote(out, "\xc3\xa9\xf0\x9f\x98\x80/");
    EXPECT_EQ(out, "\"\xc3\xa9\xf0\x9f\x98\x80/\"");
}

// A hand-built value serialises to valid JSON even with a bogus number.
TEST(JsonTest, SerializeBuiltValues) {
    Value root;
    root.kind = Kind::Object;
    Value n;
    n.kind = Kind::Number;
    n.text = "18446744073709551615";
    root.members.emplace_back("big", n);
    Value bogus;
    bogus.kind = Kind::Number;
    bogus.text = "12abc";
    root.members.emplace_back("bogus", bogus);
    Value str;
    str.kind = Kind::String;
    str.text = "line\nbreak";
    root.members.emplace_back("s", str);
    std::string text = pal::json::Serialize(root);
    EXPECT_EQ(text, "{\"big\":18446744073709551615,\"bogus\":null,\"s\":\"line\\nbreak\"}");
    uint64_t u = 0;
    EXPECT_TRUE(MustParse(text).Find("big")->AsUint64(u));
    EXPECT_EQ(u, UINT64_MAX);
}
