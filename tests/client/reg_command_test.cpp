// zembrikctl reg: key paths and data words, every type through set and
// query, the .reg text of export and import, deletes, errors with the
// system's texts, permissions, and the program itself.
#include <gtest/gtest.h>

#include "client/ctl_runner.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "client/reg_command.h"
#include "pal/error.h"
#include "pal/stateroot.h"
#include "pal/json.h"
#include "pal/registry.h"
#include "pal/strings.h"
#include "pal/token.h"
#include "support/process_runner.h"
#include "support/test_support.h"

using testsupport::RootTest;

namespace {

using ctltest::Result;

using ctltest::ReadAll;

// The command in this process, its output captured.
Result Reg(const std::vector<std::string>& args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Result r;
    if (out == nullptr || err == nullptr) return r;
    r.status = zctl::RunRegCommand(args, out, err);
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
}

// Runs a command and expects it to succeed quietly.
void Ok(const std::vector<std::string>& args) {
    Result r = Reg(args);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    EXPECT_EQ(r.err, "");
}

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += static_cast<char>(c);
    return s;
}

// The stored type and bytes of a value, read with the registry calls.
bool Stored(const std::u16string& key, const std::u16string& name, DWORD& type, std::string& data) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(k, name.c_str(), nullptr, &type, nullptr, &size);
    data.assign(size, '\0');
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExW(k, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(k);
    return rc == ERROR_SUCCESS;
}

bool KeyExists(const std::u16string& key) {
    HKEY k = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k);
    if (k != nullptr) RegCloseKey(k);
    return rc == ERROR_SUCCESS;
}

class RegCommandTest : public RootTest {
protected:
    std::string Scratch() const { return root_.path().substr(0, root_.path().size() - 5); }
    std::string WriteFile(const std::string& name, const std::string& text) {
        std::string path = Scratch() + "/" + name;
        testsupport::WriteText(path, text);
        return path;
    }
    // A small tree with a value of each kind the export writes differently.
    void MakeTree() {
        Ok({"set", "SOFTWARE\\Zembrik", "Name", "--type", "sz", "Zembrik \"svc\" C:\\bin"});
        Ok({"set", "SOFTWARE\\Zembrik", "Limit", "--type", "dword", "60"});
        Ok({"set", "SOFTWARE\\Zembrik", "Targets", "--type", "multi_sz", "a", "b"});
        Ok({"set", "SOFTWARE\\Zembrik", "", "--type", "expand_sz", "%R%"});
        Ok({"set", "SOFTWARE/Zembrik/Groups/web", "Priority", "--type", "qword", "1"});
        std::string blob;
        for (int i = 0; i < 32; ++i) blob += "0123456789abcdef"[i / 16] + std::string(1, "0123456789abcdef"[i % 16]);
        Ok({"set", "SOFTWARE/Zembrik/Groups/web", "Blob", "--type", "binary", blob});
    }
};

const char kTreeExport[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik]\n"
    "\"Name\"=\"Zembrik \\\"svc\\\" C:\\\\bin\"\n"
    "\"Limit\"=dword:0000003c\n"
    "\"Targets\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
    "@=hex(2):25,00,52,00,25,00,00,00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik\\Groups]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik\\Groups\\web]\n"
    "\"Priority\"=hex(b):01,00,00,00,00,00,00,00\n"
    "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
    "  16,17,18,19,1a,1b,1c,1d,1e,1f\n";

}  // namespace

// Paths take '\' or '/', an optional HKLM root, and keep '/' in names when '\' is used.
TEST(RegKeyPathTest, Forms) {
    std::u16string p;
    std::string error;
    struct Case {
        const char* text;
        const char16_t* path;
    };
    const Case good[] = {
        {"SYSTEM\\CurrentControlSet\\Services", u"SYSTEM\\CurrentControlSet\\Services"},
        {"SYSTEM/CurrentControlSet/Services", u"SYSTEM\\CurrentControlSet\\Services"},
        {"HKLM\\SOFTWARE\\Zembrik", u"SOFTWARE\\Zembrik"},
        {"hkey_local_machine/SOFTWARE/", u"SOFTWARE"},
        {"HKLM", u""},
        {"", u""},
        {"\\SOFTWARE\\", u"SOFTWARE"},
        {"SOFTWARE\\a/b", u"SOFTWARE\\a/b"},
        {"HKLMX/y", u"HKLMX\\y"},
        {"SOFTWARE\\Zembrik\\Grüße", u"SOFTWARE\\Zembrik\\Grüße"},
    };
    for (const Case& c : good) {
        ASSERT_TRUE(zctl::ParseKeyPath(c.text, p, error)) << c.text << ": " << error;
        EXPECT_EQ(p, c.path) << c.text;
    }
    for (const char* bad : {"A//B", "A\\\\B", "HKCU\\Software", "HKEY_USERS/x"})
        EXPECT_FALSE(zctl::ParseKeyPath(bad, p, error)) << bad;
    zctl::ParseKeyPath("HKCU\\Software", p, error);
    EXPECT_NE(error.find("only HKEY_LOCAL_MACHINE"), std::string::npos) << error;
}

// Data words become the exact bytes of each type; out-of-range and malformed words are refused.
TEST(RegDataTest, WordsToBytes) {
    std::string b, error;
    ASSERT_TRUE(zctl::EncodeRegData(REG_DWORD, {"0x3c"}, b, error));
    EXPECT_EQ(b, Bytes({0x3c, 0, 0, 0}));
    ASSERT_TRUE(zctl::EncodeRegData(REG_DWORD, {"4294967295"}, b, error));
    EXPECT_EQ(b, Bytes({0xff, 0xff, 0xff, 0xff}));
    ASSERT_TRUE(zctl::EncodeRegData(REG_QWORD, {"0X0123456789ABCDEF"}, b, error));
    EXPECT_EQ(b, Bytes({0xef, 0xcd, 0xab, 0x89, 0x67, 0x45, 0x23, 0x01}));
    ASSERT_TRUE(zctl::EncodeRegData(REG_QWORD, {"18446744073709551615"}, b, error));
    EXPECT_EQ(b, std::string(8, '\xff'));
    for (const char* bad : {"4294967296", "0x100000000", "-1", "", "0x", "12a", " 1"})
        EXPECT_FALSE(zctl::EncodeRegData(REG_DWORD, {bad}, b, error)) << bad;
    EXPECT_FALSE(zctl::EncodeRegData(REG_QWORD, {"18446744073709551616"}, b, error));
    EXPECT_FALSE(zctl::EncodeRegData(REG_DWORD, {"1", "2"}, b, error));

    ASSERT_TRUE(zctl::EncodeRegData(REG_BINARY, {"01 ff,7A", "00"}, b, error));
    EXPECT_EQ(b, Bytes({0x01, 0xff, 0x7a, 0x00}));
    ASSERT_TRUE(zctl::EncodeRegData(REG_BINARY, {}, b, error));
    EXPECT_EQ(b, "");
    EXPECT_FALSE(zctl::EncodeRegData(REG_BINARY, {"0ff"}, b, error));
    EXPECT_FALSE(zctl::EncodeRegData(REG_BINARY, {"zz"}, b, error));

    ASSERT_TRUE(zctl::EncodeRegData(REG_SZ, {"é"}, b, error));
    EXPECT_EQ(b, Bytes({0xe9, 0, 0, 0}));
    ASSERT_TRUE(zctl::EncodeRegData(REG_SZ, {""}, b, error));
    EXPECT_EQ(b, Bytes({0, 0}));
    EXPECT_FALSE(zctl::EncodeRegData(REG_SZ, {}, b, error));
    EXPECT_FALSE(zctl::EncodeRegData(REG_EXPAND_SZ, {"a", "b"}, b, error));

    ASSERT_TRUE(zctl::EncodeRegData(REG_MULTI_SZ, {"a", "b"}, b, error));
    EXPECT_EQ(b, Bytes({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    ASSERT_TRUE(zctl::EncodeRegData(REG_MULTI_SZ, {}, b, error));
    EXPECT_EQ(b, Bytes({0, 0, 0, 0}));
    EXPECT_FALSE(zctl::EncodeRegData(REG_MULTI_SZ, {"a", ""}, b, error)) << "an empty string would end the list";
}

// Every settable type comes back from query --json with the data it was set
// to, and the store holds exactly the bytes of that type.
TEST_F(RegCommandTest, EveryTypeRoundTripsThroughSetAndQuery) {
    struct Case {
        const char* name;
        const char* type;
        std::vector<std::string> words;
        DWORD regType;
        const char* json;  // the expected "data" member, serialized
        std::string bytes;
    };
    const Case cases[] = {
        {"Text", "sz", {"Grüße \"x\" \\ y"}, REG_SZ, "\"Grüße \\\"x\\\" \\\\ y\"",
         Bytes({'G', 0, 'r', 0, 0xfc, 0, 0xdf, 0, 'e', 0, ' ', 0, '"', 0, 'x', 0, '"', 0, ' ', 0, '\\', 0, ' ', 0,
                'y', 0, 0, 0})},
        {"Empty", "sz", {""}, REG_SZ, "\"\"", Bytes({0, 0})},
        {"Path", "expand_sz", {"%SystemRoot%\\x"}, REG_EXPAND_SZ, "\"%SystemRoot%\\\\x\"",
         Bytes({'%', 0, 'S', 0, 'y', 0, 's', 0, 't', 0, 'e', 0, 'm', 0, 'R', 0, 'o', 0, 'o', 0, 't', 0, '%', 0,
                '\\', 0, 'x', 0, 0, 0})},
        {"List", "multi_sz", {"DataCenter", "b c"}, REG_MULTI_SZ, "[\"DataCenter\",\"b c\"]",
         Bytes({'D', 0, 'a', 0, 't', 0, 'a', 0, 'C', 0, 'e', 0, 'n', 0, 't', 0, 'e', 0, 'r', 0, 0, 0, 'b', 0, ' ', 0,
                'c', 0, 0, 0, 0, 0})},
        {"None", "multi_sz", {}, REG_MULTI_SZ, "[]", Bytes({0, 0, 0, 0})},
        {"Limit", "dword", {"0x3c"}, REG_DWORD, "60", Bytes({0x3c, 0, 0, 0})},
        {"Max", "REG_DWORD", {"4294967295"}, REG_DWORD, "4294967295", Bytes({0xff, 0xff, 0xff, 0xff})},
        {"Big", "qword", {"0x123456789abcdef0"}, REG_QWORD, "1311768467463790320",
         Bytes({0xf0, 0xde, 0xbc, 0x9a, 0x78, 0x56, 0x34, 0x12})},
        {"Blob", "binary", {"00", "ff", "7a"}, REG_BINARY, "\"00ff7a\"", Bytes({0, 0xff, 0x7a})},
        {"", "sz", {"default"}, REG_SZ, "\"default\"",
         Bytes({'d', 0, 'e', 0, 'f', 0, 'a', 0, 'u', 0, 'l', 0, 't', 0, 0, 0})},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"set", "HKLM\\SOFTWARE\\Zembrik\\Types", c.name, "--type", c.type, "--"};
        args.insert(args.end(), c.words.begin(), c.words.end());
        Ok(args);
        Result r = Reg({"query", "SOFTWARE/Zembrik/Types", c.name, "--json"});
        ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
        pal::json::Value v;
        ASSERT_TRUE(pal::json::Parse(r.out, v)) << r.out;
        ASSERT_NE(v.Find("data"), nullptr) << r.out;
        EXPECT_EQ(v.Find("name")->text, c.name);
        EXPECT_EQ(pal::json::Serialize(*v.Find("data")), c.json) << c.name;
        DWORD type = 0;
        std::string data;
        ASSERT_TRUE(Stored(u"SOFTWARE\\Zembrik\\Types", pal::ToUtf16(c.name), type, data));
        EXPECT_EQ(type, c.regType) << c.name;
        EXPECT_EQ(data, c.bytes) << c.name;
    }
    // The whole key in one object lists them in the order they were set.
    Result r = Reg({"query", "SOFTWARE\\Zembrik\\Types", "--json"});
    ASSERT_EQ(r.status, 0);
    pal::json::Value all;
    ASSERT_TRUE(pal::json::Parse(r.out, all));
    EXPECT_EQ(all.Find("key")->text, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik\\Types");
    ASSERT_EQ(all.Find("values")->items.size(), std::size(cases));
    EXPECT_EQ(all.Find("values")->items[5].Find("type")->text, "REG_DWORD");
    EXPECT_EQ(pal::json::Serialize(*all.Find("subkeys")), "[]");
}

// Bytes without an exact natural form are shown as "hex"; other types by number.
TEST_F(RegCommandTest, OddDataComesAsHex) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Odd", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    std::string unterminated = Bytes({'a', 0, 'b', 0});
    std::string shortDword = Bytes({1, 2});
    RegSetValueExW(k, u"S", 0, REG_SZ, reinterpret_cast<const BYTE*>(unterminated.data()), 4);
    RegSetValueExW(k, u"D", 0, REG_DWORD, reinterpret_cast<const BYTE*>(shortDword.data()), 2);
    RegSetValueExW(k, u"N", 0, 0x1234, reinterpret_cast<const BYTE*>(shortDword.data()), 2);
    RegCloseKey(k);
    Result r = Reg({"query", "Odd", "--json"});
    EXPECT_EQ(r.out,
              "{\"key\": \"HKEY_LOCAL_MACHINE\\\\Odd\", \"values\": [{\"name\": \"S\", \"type\": \"REG_SZ\", \"hex\": "
              "\"61006200\"}, {\"name\": \"D\", \"type\": \"REG_DWORD\", \"hex\": \"0102\"}, {\"name\": \"N\", "
              "\"type\": 4660, \"hex\": \"0102\"}], \"subkeys\": []}\n");
    r = Reg({"query", "Odd"});
    EXPECT_EQ(r.out,
              "HKEY_LOCAL_MACHINE\\Odd\n"
              "    S    REG_SZ       ab\n"
              "    D    REG_DWORD    0102\n"
              "    N    0x1234       0102\n");
}

// The table shows each value's name, type and readable data, then the subkeys.
TEST_F(RegCommandTest, QueryTableForPeople) {
    MakeTree();
    Result r = Reg({"query", "SOFTWARE/Zembrik"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik\n"
              "    Name         REG_SZ           Zembrik \"svc\" C:\\bin\n"
              "    Limit        REG_DWORD        0x3c (60)\n"
              "    Targets      REG_MULTI_SZ     a\\0b\n"
              "    (Default)    REG_EXPAND_SZ    %R%\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik\\Groups\n");
    r = Reg({"query", "SOFTWARE/Zembrik", "limit"});
    EXPECT_EQ(r.out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik\n    Limit    REG_DWORD    0x3c (60)\n")
        << "value names are case-insensitive";
}

// export writes the subtree as .reg text: one section per key, parents
// first, long hex wrapped with '\'.
TEST_F(RegCommandTest, ExportWritesRegText) {
    MakeTree();
    Result r = Reg({"export", "HKLM\\SOFTWARE\\Zembrik"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kTreeExport);
    r = Reg({"export", "SOFTWARE/Zembrik/Groups/web"});
    EXPECT_EQ(r.out.substr(0, r.out.find('\n', 40)),
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik\\Groups\\web]");
}

// import of an export restores the tree exactly; [-KEY] and "name"=- delete.
TEST_F(RegCommandTest, ImportRestoresExport) {
    MakeTree();
    std::string file = WriteFile("tree.reg", Reg({"export", "SOFTWARE\\Zembrik"}).out);
    Ok({"delete", "SOFTWARE\\Zembrik", "--tree"});
    ASSERT_FALSE(KeyExists(u"SOFTWARE\\Zembrik"));
    Ok({"import", file});
    EXPECT_EQ(Reg({"export", "SOFTWARE\\Zembrik"}).out, kTreeExport);

    std::string edits = WriteFile("edits.reg",
                                  "\xEF\xBB\xBF"
                                  "Windows Registry Editor Version 5.00\r\n"
                                  "; drop a group, a value, and change one\r\n"
                                  "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik\\Groups]\r\n"
                                  "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing]\r\n"
                                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik]\r\n"
                                  "\"Targets\"=-\r\n"
                                  "\"Gone\"=-\r\n"
                                  "\"Limit\" = dword:ff\r\n"
                                  "\"Raw\"=hex(0):01, 02,\\\r\n"
                                  "    03\r\n");
    Ok({"import", edits});
    EXPECT_FALSE(KeyExists(u"SOFTWARE\\Zembrik\\Groups"));
    DWORD type = 0;
    std::string data;
    EXPECT_FALSE(Stored(u"SOFTWARE\\Zembrik", u"Targets", type, data));
    ASSERT_TRUE(Stored(u"SOFTWARE\\Zembrik", u"Limit", type, data));
    EXPECT_EQ(data, Bytes({0xff, 0, 0, 0}));
    ASSERT_TRUE(Stored(u"SOFTWARE\\Zembrik", u"Raw", type, data));
    EXPECT_EQ(type, REG_NONE);
    EXPECT_EQ(data, Bytes({1, 2, 3}));
}

// A faulty file is refused with its line number before anything changes.
TEST_F(RegCommandTest, ImportChecksTheWholeFileFirst) {
    struct Case {
        std::string text;
        const char* error;
    };
    const std::string head = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n";
    const Case cases[] = {
        {"[HKEY_LOCAL_MACHINE\\A]\n", "line 1: the file must begin with"},
        {"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:1\n\"y\"=dword:123456789\n",
         "line 5: dword: needs 1 to 8 hex digits"},
        {"Windows Registry Editor Version 5.00\n\"x\"=\"y\"\n", "line 2: a value line outside a key section"},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n", "line 2: only keys of HKEY_LOCAL_MACHINE"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:1,2\n", "line 3: bad hex bytes"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"unterminated\n",
         "line 3: bad string data"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=word:1\n", "line 3: unknown data form"},
        {"Windows Registry Editor Version 5.00\n[-HKEY_LOCAL_MACHINE]\n", "line 2: cannot delete"},
        // Names the registry would refuse, found before A is made.
        {head + "[HKEY_LOCAL_MACHINE\\\\B]\n", "line 3: an empty key name"},
        {head + "[HKEY_LOCAL_MACHINE\\A\\" + std::string(256, 'k') + "]\n",
         "line 3: an empty key name, one longer than 255"},
        {head + "\"" + std::string(16384, 'v') + "\"=dword:1\n", "line 3: a value name longer than 16383"},
        {head + "\"v" + std::string(1, '\0') + "w\"=dword:1\n", "line 3: a NUL in a value name"},
    };
    for (const Case& c : cases) {
        std::string file = WriteFile("bad.reg", c.text);
        Result r = Reg({"import", file});
        EXPECT_EQ(r.status, 1) << c.text;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        EXPECT_FALSE(KeyExists(u"A")) << c.text;
    }
    Result r = Reg({"import", Scratch() + "/missing.reg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
}

// delete removes one value, an empty key, or with --tree a whole subtree; a
// key with subkeys needs --tree.
TEST_F(RegCommandTest, DeleteValueKeyAndTree) {
    MakeTree();
    Ok({"delete", "SOFTWARE\\Zembrik", "Limit"});
    DWORD type = 0;
    std::string data;
    EXPECT_FALSE(Stored(u"SOFTWARE\\Zembrik", u"Limit", type, data));
    EXPECT_TRUE(Stored(u"SOFTWARE\\Zembrik", u"Name", type, data));
    Ok({"delete", "SOFTWARE\\Zembrik", ""});
    EXPECT_FALSE(Stored(u"SOFTWARE\\Zembrik", u"", type, data)) << "\"\" is the default value";

    Result r = Reg({"delete", "SOFTWARE\\Zembrik"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "zembrikctl: reg delete: HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik has 1 subkey; use --tree to delete it "
              "with everything below it\n");
    EXPECT_TRUE(KeyExists(u"SOFTWARE\\Zembrik\\Groups\\web"));

    Ok({"set", "SOFTWARE\\Zembrik\\Groups\\db", "x", "--type", "dword", "1"});
    Ok({"delete", "SOFTWARE\\Zembrik\\Groups\\db"});
    EXPECT_FALSE(KeyExists(u"SOFTWARE\\Zembrik\\Groups\\db"));

    Ok({"delete", "SOFTWARE/Zembrik", "--tree"});
    EXPECT_FALSE(KeyExists(u"SOFTWARE\\Zembrik"));
    EXPECT_TRUE(KeyExists(u"SOFTWARE"));
    EXPECT_FALSE(std::filesystem::exists(root_.path() + "/registry/HKLM/SOFTWARE/Zembrik"));

    r = Reg({"delete", "HKLM", "--tree"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("HKEY_LOCAL_MACHINE itself cannot be deleted"), std::string::npos);
    EXPECT_TRUE(KeyExists(u"SOFTWARE"));
}

// Registry errors are shown with the system's text and give status 1; usage
// errors name the problem and the help to read.
TEST_F(RegCommandTest, ErrorsUseSystemTexts) {
    Result r = Reg({"query", "SOFTWARE\\Missing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "zembrikctl: reg query: HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing: the system cannot find the file "
              "specified\n");
    Ok({"set", "SOFTWARE\\Zembrik", "Limit", "--type", "dword", "1"});
    r = Reg({"query", "SOFTWARE\\Zembrik", "Nope"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "zembrikctl: reg query: HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik value Nope: the system cannot find the "
              "file specified\n");
    r = Reg({"delete", "SOFTWARE\\Missing", "--tree"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the system cannot find the file specified"), std::string::npos);
    r = Reg({"export", "SOFTWARE\\Missing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "") << "nothing is written when the export fails";

    struct Case {
        std::vector<std::string> args;
        const char* error;
    };
    const std::vector<Case> usage = {
        {{"frob"}, "unknown subcommand 'frob'"},
        {{"set", "K", "V", "1"}, "set needs --type"},
        {{"set", "K", "V", "--type", "float", "1"}, "unknown type 'float'"},
        {{"set", "K", "V", "--type", "dword", "-1"}, "unknown option '-1'"},
        {{"query", "K", "--tree"}, "option --tree does not apply to reg query"},
        {{"delete", "K", "V", "--tree"}, "give no VALUE"},
        {{"query"}, "query takes KEY"},
        {{"export", "A//B"}, "empty key name"},
        {{"query", "K", "--json=yes"}, "option --json takes no value"},
    };
    for (const Case& c : usage) {
        r = Reg(c.args);
        EXPECT_EQ(r.status, 1) << c.error;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--help' for the usage"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(KeyExists(u"K"));
    r = Reg({});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Usage: zembrikctl reg query"), std::string::npos);
}

// --help works for reg and each subcommand, on standard output with status 0.
TEST_F(RegCommandTest, HelpForEverySubcommand) {
    Result r = Reg({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("zembrikctl reg export KEY"), std::string::npos);
    for (const char* sub : {"query", "set", "delete", "export", "import"}) {
        r = Reg({sub, "--help"});
        EXPECT_EQ(r.status, 0) << sub;
        EXPECT_EQ(r.out.rfind(std::string("Usage: zembrikctl reg ") + sub, 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

// The command runs with the caller's identity: an ordinary user is refused
// a key only administrators may read, and may not write one it can only read.
TEST_F(RegCommandTest, CallerPermissionsApply) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(chmod(Scratch().c_str(), 0711), 0);
    Ok({"set", "SOFTWARE\\Private", "Secret", "--type", "sz", "x"});
    Ok({"set", "SOFTWARE\\Public", "Open", "--type", "sz", "y"});
    ASSERT_EQ(chmod((root_.path() + "/registry/HKLM/SOFTWARE/Private").c_str(), 0700), 0);
    Result query, write, readable;
    std::thread t([&] {
        if (!PalImpersonateUser(65534, 65534, nullptr, 0)) return;
        query = Reg({"query", "SOFTWARE\\Private"});
        write = Reg({"set", "SOFTWARE\\Public", "Open", "--type", "sz", "z"});
        readable = Reg({"query", "SOFTWARE\\Public", "Open", "--json"});
        RevertToSelf();
    });
    t.join();
    EXPECT_EQ(query.status, 1);
    EXPECT_EQ(query.err, "zembrikctl: reg query: HKEY_LOCAL_MACHINE\\SOFTWARE\\Private: access denied\n");
    EXPECT_EQ(write.status, 1);
    EXPECT_NE(write.err.find("access denied"), std::string::npos) << write.err;
    EXPECT_EQ(readable.status, 0) << readable.err;
    EXPECT_EQ(readable.out, "{\"name\": \"Open\", \"type\": \"REG_SZ\", \"data\": \"y\"}\n");
}

#ifdef ZEMBRIKCTL_PATH
namespace {

class RegProgramTest : public RegCommandTest {
protected:
    // Runs zembrikctl to its end (killed after 30 s); its exit code and output.
    Result Run(const std::vector<std::string>& args) { return ctltest::RunProgram(ZEMBRIKCTL_PATH, args, Scratch()); }
};

}  // namespace

// The program sets and reads back in the state root of its environment, and
// reports a missing key with the system text and status 1.
TEST_F(RegProgramTest, SetQueryAndMissingKey) {
    ASSERT_EQ(PalEnsureStateRoot(), 0u) << "laid out as the service lays it out; the client never does";
    Result r = Run({"reg", "set", "SYSTEM/CurrentControlSet/Services/Zembrik/Parameters", "Interval", "--type",
                    "dword", "0x3c"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    r = Run({"reg", "query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Zembrik\\Parameters", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"key\": \"HKEY_LOCAL_MACHINE\\\\SYSTEM\\\\CurrentControlSet\\\\Services\\\\Zembrik\\\\Parameters\", "
              "\"values\": [{\"name\": \"Interval\", \"type\": \"REG_DWORD\", \"data\": 60}], \"subkeys\": []}\n");
    r = Run({"reg", "query", "SYSTEM/Nope"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zembrikctl: reg query: HKEY_LOCAL_MACHINE\\SYSTEM\\Nope: the system cannot find the file "
                     "specified\n");
    r = Run({"help", "reg"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("zembrikctl reg import FILE"), std::string::npos);
    r = Run({"--help"});
    EXPECT_NE(r.out.find("\n  reg "), std::string::npos) << r.out;
}
#endif
