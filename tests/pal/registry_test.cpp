// The registry against the real filesystem, each test in its own state root.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <random>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "internal/object.h"
#include "internal/registry_store.h"
#include "pal/error.h"
#include "pal/json.h"
#include "pal/registry.h"
#include "pal/security.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "support/process_runner.h"
#include "support/test_support.h"

using testsupport::RootTest;

namespace {

struct Key {
    HKEY h = nullptr;
    Key() = default;
    explicit Key(HKEY k) : h(k) {}
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() { if (h != nullptr) RegCloseKey(h); }
    operator HKEY() const { return h; }
};

struct Event {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Event() { CloseHandle(h); }
    operator HANDLE() const { return h; }
    bool Set() const { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }
    bool WaitSet() const { return WaitForSingleObject(h, 10000) == WAIT_OBJECT_0; }
};

HKEY Create(const std::u16string& path, REGSAM access = KEY_ALL_ACCESS, const SECURITY_ATTRIBUTES* sa = nullptr,
            DWORD* disposition = nullptr) {
    HKEY k = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, sa, &k,
                              disposition);
    EXPECT_EQ(rc, ERROR_SUCCESS) << pal::ToUtf8(path);
    return k;
}

LONG Open(const std::u16string& path, REGSAM access, HKEY* out) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, out);
}

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += static_cast<char>(c);
    return s;
}

// UTF-16LE bytes of a string, plus the given number of NUL units.
std::string Utf16(const std::u16string& s, int nuls = 1) {
    std::string out;
    for (char16_t c : s) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    for (int i = 0; i < nuls; ++i) out += std::string(2, '\0');
    return out;
}

LONG Set(HKEY k, const char16_t* name, DWORD type, const std::string& data) {
    return RegSetValueExW(k, name, 0, type, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
}

// Reads a value whole; "" with the error in rc when it fails.
std::string Get(HKEY k, const char16_t* name, DWORD* type = nullptr, LONG* rc = nullptr) {
    DWORD size = 0;
    LONG r = RegQueryValueExW(k, name, nullptr, type, nullptr, &size);
    std::string out(size, '\0');
    if (r == ERROR_SUCCESS)
        r = RegQueryValueExW(k, name, nullptr, type, reinterpret_cast<BYTE*>(out.data()), &size);
    if (rc != nullptr) *rc = r;
    if (r != ERROR_SUCCESS) return std::string();
    out.resize(size);
    return out;
}

std::vector<std::u16string> SubkeyNames(HKEY k) {
    std::vector<std::u16string> out;
    for (DWORD i = 0;; ++i) {
        WCHAR name[300];
        DWORD len = 300;
        LONG rc = RegEnumKeyExW(k, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) {
            EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
            break;
        }
        out.emplace_back(name, len);
    }
    return out;
}

std::vector<std::u16string> ValueNames(HKEY k) {
    std::vector<std::u16string> out;
    for (DWORD i = 0;; ++i) {
        WCHAR name[300];
        DWORD len = 300;
        LONG rc = RegEnumValueW(k, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) {
            EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
            break;
        }
        out.emplace_back(name, len);
    }
    return out;
}

std::vector<std::string> DirEntries(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

void MakeKey(const std::u16string& path) { RegCloseKey(Create(path)); }

// Security attributes owned by SYSTEM whose DACL grants SYSTEM and the
// administrators only.
struct AdminOnlySa {
    PSID system = nullptr, admins = nullptr;
    PACL acl = nullptr;
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES sa{sizeof(sa), &sd, FALSE};
    AdminOnlySa() {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        EXPECT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system));
        EXPECT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                             0, 0, &admins));
        EXPLICIT_ACCESS_W ea[2] = {};
        for (int i = 0; i < 2; ++i) {
            ea[i].grfAccessPermissions = KEY_ALL_ACCESS;
            ea[i].grfAccessMode = SET_ACCESS;
            ea[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        }
        ea[0].Trustee.ptstrName = static_cast<LPWSTR>(system);
        ea[1].Trustee.ptstrName = static_cast<LPWSTR>(admins);
        EXPECT_EQ(SetEntriesInAclW(2, ea, nullptr, &acl), ERROR_SUCCESS);
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
        SetSecurityDescriptorOwner(&sd, system, FALSE);
    }
    ~AdminOnlySa() {
        LocalFree(acl);
        FreeSid(system);
        FreeSid(admins);
    }
    AdminOnlySa(const AdminOnlySa&) = delete;
    AdminOnlySa& operator=(const AdminOnlySa&) = delete;
};

class RegistryTest : public RootTest {
protected:
    std::string Hklm() const { return root_.path() + "/registry/HKLM"; }
    std::string KeyDir(const std::string& rel) const { return Hklm() + "/" + rel; }
    std::string ValuesText(const std::string& rel) const { return testsupport::ReadText(KeyDir(rel) + "/.values"); }
};

}  // namespace

// A new root carries ProductOptions\ProductSuite = DataCenter, written by
// the root's layout code in the same format.
TEST_F(RegistryTest, ReadsInitialProductOptions) {
    HKEY raw = nullptr;
    ASSERT_EQ(Open(u"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", KEY_READ, &raw), ERROR_SUCCESS);
    Key k(raw);
    DWORD type = 0;
    EXPECT_EQ(Get(k, u"ProductSuite", &type), Utf16(u"DataCenter", 2));
    EXPECT_EQ(type, REG_MULTI_SZ);
}

// Every type and every malformed form reads back exactly the bytes written;
// natural forms are used only where they are exact.
TEST_F(RegistryTest, ValuesRoundTripExactly) {
    struct Case {
        const char16_t* name;
        DWORD type;
        std::string data;
        const char* onDisk;  // expected fragment of the value's line
    };
    const std::string big(70000, '\x5a');
    const Case cases[] = {
        {u"Sz", REG_SZ, Utf16(u"Hello \u00e9 \U0001F600"), "\"type\": \"REG_SZ\", \"data\": \"Hello \xc3\xa9 \xf0\x9f\x98\x80\"}"},
        {u"SzEmpty", REG_SZ, Utf16(u""), "\"data\": \"\"}"},
        {u"SzQuote", REG_SZ, Utf16(u"a\"b\\c\n"), "\"data\": \"a\\\"b\\\\c\\n\"}"},
        {u"SzNoNul", REG_SZ, Utf16(u"abc", 0), "\"hex\": \"610062006300\"}"},
        {u"SzTwoNul", REG_SZ, Utf16(u"abc", 2), "\"hex\": \"61006200630000000000\"}"},
        {u"SzInnerNul", REG_SZ, Utf16(std::u16string(u"a\0b", 3)), "\"hex\": \"6100000062000000\"}"},
        {u"SzOdd", REG_SZ, Bytes({0x41, 0, 0}), "\"hex\": \"410000\"}"},
        {u"SzLoneSurrogate", REG_SZ, Utf16(u"\xd800x"), "\"hex\": \"00d878000000\"}"},
        {u"SzNothing", REG_SZ, "", "\"type\": \"REG_SZ\", \"hex\": \"\"}"},
        {u"Expand", REG_EXPAND_SZ, Utf16(u"%SystemRoot%\\x"), "\"type\": \"REG_EXPAND_SZ\", \"data\": \"%SystemRoot%\\\\x\"}"},
        {u"Multi", REG_MULTI_SZ, Utf16(u"a") + Utf16(u"bc", 2), "\"data\": [\"a\", \"bc\"]}"},
        {u"MultiEmpty", REG_MULTI_SZ, Bytes({0, 0, 0, 0}), "\"data\": []}"},
        {u"MultiOneNul", REG_MULTI_SZ, Bytes({0, 0}), "\"hex\": \"0000\"}"},
        {u"MultiNoFinal", REG_MULTI_SZ, Utf16(u"a"), "\"hex\": \"61000000\"}"},
        {u"MultiEmptyInside", REG_MULTI_SZ, Utf16(u"a") + Utf16(u"") + Utf16(u"b", 2), "\"hex\":"},
        {u"MultiOdd", REG_MULTI_SZ, Utf16(u"a", 2) + "x", "\"hex\":"},
        {u"Dword", REG_DWORD, Bytes({7, 0, 0, 0}), "\"type\": \"REG_DWORD\", \"data\": 7}"},
        {u"DwordMax", REG_DWORD, Bytes({0xff, 0xff, 0xff, 0xff}), "\"data\": 4294967295}"},
        {u"DwordShort", REG_DWORD, Bytes({1, 2, 3}), "\"type\": \"REG_DWORD\", \"hex\": \"010203\"}"},
        {u"Qword", REG_QWORD, Bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), "\"data\": 18446744073709551615}"},
        {u"QwordLong", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9}), "\"hex\": \"010203040506070809\"}"},
        {u"Binary", REG_BINARY, Bytes({0, 0xab, 0x10, 0xff}), "\"type\": \"REG_BINARY\", \"data\": \"00ab10ff\"}"},
        {u"BinaryEmpty", REG_BINARY, "", "\"type\": \"REG_BINARY\", \"data\": \"\"}"},
        {u"BinaryBig", REG_BINARY, big, "\"data\": \"5a5a"},
        {u"None", REG_NONE, Bytes({1, 2}), "\"type\": \"REG_NONE\", \"hex\": \"0102\"}"},
        {u"BigEndian", REG_DWORD_BIG_ENDIAN, Bytes({0, 0, 0, 1}), "\"type\": \"REG_DWORD_BIG_ENDIAN\", \"hex\": \"00000001\"}"},
        {u"Link", REG_LINK, Utf16(u"x", 0), "\"type\": \"REG_LINK\", \"hex\": \"7800\"}"},
        {u"Unknown", 0x12345678, Bytes({9}), "\"type\": 305419896, \"hex\": \"09\"}"},
    };
    Key k(Create(u"Types"));
    for (const Case& c : cases) ASSERT_EQ(Set(k, c.name, c.type, c.data), ERROR_SUCCESS) << pal::ToUtf8(c.name);
    // Read back through a fresh handle, so nothing can come from memory.
    Key again(Create(u"Types", KEY_READ));
    std::string text = ValuesText("Types");
    pal::json::Value doc;
    ASSERT_TRUE(pal::json::Parse(text, doc));
    ASSERT_EQ(doc.items.size(), std::size(cases));
    for (const Case& c : cases) {
        DWORD type = 0;
        LONG rc = 0;
        EXPECT_EQ(Get(again, c.name, &type, &rc), c.data) << pal::ToUtf8(c.name);
        EXPECT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(type, c.type) << pal::ToUtf8(c.name);
        std::string line = "{\"name\": \"" + pal::ToUtf8(c.name) + "\", ";
        size_t at = text.find(line);
        ASSERT_NE(at, std::string::npos) << pal::ToUtf8(c.name);
        EXPECT_NE(text.substr(at, text.find('\n', at) - at).find(c.onDisk), std::string::npos)
            << pal::ToUtf8(c.name) << " line: " << text.substr(at, 200);
    }
    // Overwriting keeps the value's place; values enumerate in file order.
    ASSERT_EQ(Set(k, u"Sz", REG_DWORD, Bytes({1, 0, 0, 0})), ERROR_SUCCESS);
    std::vector<std::u16string> names = ValueNames(k);
    ASSERT_EQ(names.size(), std::size(cases));
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], cases[i].name);
    EXPECT_EQ(Get(k, u"Sz"), Bytes({1, 0, 0, 0}));
}

// Hand-written files may use numeric types, negative numbers and upper-case hex.
TEST_F(RegistryTest, ReadsHandWrittenForms) {
    Key k(Create(u"Hand"));
    testsupport::WriteText(KeyDir("Hand") + "/.values",
                           "[{\"name\":\"Neg\",\"type\":\"REG_DWORD\",\"data\":-1},\n"
                           "{\"type\": 4, \"data\": 2, \"name\": \"Numeric\"},\n"
                           "{\"name\": \"Upper\", \"type\": \"REG_BINARY\", \"data\": \"ABcd\"},\n"
                           "{\"name\": \"Q\", \"type\": \"REG_QWORD\", \"data\": 1e3},\n"
                           "{\"name\": \"\", \"type\": \"REG_SZ\", \"data\": \"default\"}]");
    EXPECT_EQ(Get(k, u"Neg"), Bytes({0xff, 0xff, 0xff, 0xff}));
    EXPECT_EQ(Get(k, u"numeric"), Bytes({2, 0, 0, 0}));
    EXPECT_EQ(Get(k, u"Upper"), Bytes({0xab, 0xcd}));
    EXPECT_EQ(Get(k, u"Q"), Bytes({0xe8, 3, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Get(k, nullptr), Utf16(u"default")) << "the default value has the empty name";
    EXPECT_EQ(Get(k, u""), Utf16(u"default"));
}

// Reads come from memory, yet every change made outside the process is seen
// by the next read: an edit in place that keeps the size and the times, a
// file put in place by rename, a subkey made or removed by hand, and a key
// removed and made again under the same name.
TEST_F(RegistryTest, ReadsSeeEveryOutsideChangeAtOnce) {
    Key k(Create(u"Seen\\Sub"));
    ASSERT_EQ(Set(k, u"v", REG_BINARY, "aaaa"), ERROR_SUCCESS);
    EXPECT_EQ(Get(k, u"v"), "aaaa");
    EXPECT_EQ(Get(k, u"v"), "aaaa");  // now from memory
    std::string file = KeyDir("Seen/Sub") + "/.values";
    struct stat before;
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    std::string text = ValuesText("Seen/Sub");
    size_t at = text.find("61616161");
    ASSERT_NE(at, std::string::npos) << text;
    auto editInPlace = [&](const char* hex) {
        int fd = open(file.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, hex, 8, static_cast<off_t>(at)), 8);
        close(fd);
    };
    editInPlace("62626262");
    EXPECT_EQ(Get(k, u"v"), "bbbb") << "same size, edited in place";
    editInPlace("61616161");
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    EXPECT_EQ(Get(k, u"v"), "aaaa") << "same size and mtime";

    testsupport::WriteText(file + ".new", "[{\"name\": \"v\", \"type\": \"REG_BINARY\", \"data\": \"63\"}]\n");
    ASSERT_EQ(rename((file + ".new").c_str(), file.c_str()), 0);
    EXPECT_EQ(Get(k, u"v"), "c");

    HKEY raw = nullptr;
    ASSERT_EQ(Open(u"Seen", KEY_ALL_ACCESS, &raw), ERROR_SUCCESS);
    Key parent(raw);
    EXPECT_EQ(SubkeyNames(parent), std::vector<std::u16string>{u"Sub"});
    ASSERT_EQ(mkdir(KeyDir("Seen/Hand").c_str(), 0700), 0);
    EXPECT_EQ(SubkeyNames(parent), (std::vector<std::u16string>{u"Hand", u"Sub"}));
    ASSERT_EQ(rmdir(KeyDir("Seen/Hand").c_str()), 0);
    EXPECT_EQ(SubkeyNames(parent), std::vector<std::u16string>{u"Sub"});

    // Removed and made again: the old handle names the removed key, a new
    // one the new key and its values.
    ASSERT_EQ(unlink(file.c_str()), 0);
    unlink((KeyDir("Seen/Sub") + "/.lock").c_str());
    ASSERT_EQ(rmdir(KeyDir("Seen/Sub").c_str()), 0);
    ASSERT_EQ(mkdir(KeyDir("Seen/Sub").c_str(), 0700), 0);
    testsupport::WriteText(file, "[{\"name\": \"v\", \"type\": \"REG_BINARY\", \"data\": \"64\"}]\n");
    LONG rc = 0;
    Get(k, u"v", nullptr, &rc);
    EXPECT_EQ(rc, ERROR_KEY_DELETED);
    ASSERT_EQ(Open(u"Seen\\Sub", KEY_ALL_ACCESS, &raw), ERROR_SUCCESS);
    Key again(raw);
    EXPECT_EQ(Get(again, u"v"), "d");
}

// A child made by fork reads the store without taking the change events
// its parent's reads depend on.
TEST_F(RegistryTest, ForkedChildLeavesTheParentsReadsTrue) {
    Key k(Create(u"Forked"));
    ASSERT_EQ(Set(k, u"v", REG_BINARY, "a"), ERROR_SUCCESS);
    EXPECT_EQ(Get(k, u"v"), "a");
    int go[2], done[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char c;
        if (read(go[0], &c, 1) != 1) _exit(2);
        DWORD size = 0;
        LONG rc = RegQueryValueExW(k, u"v", nullptr, nullptr, nullptr, &size);
        if (write(done[1], "x", 1) != 1) _exit(3);
        _exit(rc == ERROR_SUCCESS ? 0 : 1);
    }
    std::string file = KeyDir("Forked") + "/.values";
    testsupport::WriteText(file + ".new", "[{\"name\": \"v\", \"type\": \"REG_BINARY\", \"data\": \"62\"}]\n");
    ASSERT_EQ(rename((file + ".new").c_str(), file.c_str()), 0);
    ASSERT_EQ(write(go[1], "x", 1), 1);
    char c;
    ASSERT_EQ(read(done[0], &c, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {go[0], go[1], done[0], done[1]}) close(fd);
    EXPECT_EQ(Get(k, u"v"), "b");
}

// A broken `.values` gives ERROR_BADDB to every value read and write, and is
// never overwritten; the key still opens and enumerates its subkeys.
TEST_F(RegistryTest, BrokenValuesFileIsReportedAndKept) {
    const char* broken[] = {
        "not json",
        "{\"name\": \"a\", \"type\": \"REG_SZ\", \"data\": \"x\"}",
        "[{\"name\": \"a\", \"type\": \"REG_SZ\", \"data\": \"x\"}",
        "[{\"name\": \"a\", \"type\": \"REG_SZ\"}]",
        "[{\"name\": \"a\", \"type\": \"REG_SZ\", \"data\": \"x\", \"hex\": \"00\"}]",
        "[{\"name\": \"a\", \"type\": \"REG_SZ\", \"data\": \"x\", \"extra\": 1}]",
        "[{\"name\": 1, \"type\": \"REG_SZ\", \"data\": \"x\"}]",
        "[{\"name\": \"a\", \"type\": \"REG_WHATEVER\", \"data\": \"x\"}]",
        "[{\"name\": \"a\", \"type\": -1, \"hex\": \"00\"}]",
        "[{\"name\": \"a\", \"type\": \"REG_BINARY\", \"data\": \"zz\"}]",
        "[{\"name\": \"a\", \"type\": \"REG_BINARY\", \"hex\": \"abc\"}]",
        "[{\"name\": \"a\", \"type\": \"REG_DWORD\", \"data\": 4294967296}]",
        "[{\"name\": \"a\", \"type\": \"REG_DWORD\", \"data\": 1.5}]",
        "[{\"name\": \"a\", \"type\": \"REG_DWORD\", \"data\": \"7\"}]",
        "[{\"name\": \"a\", \"type\": \"REG_MULTI_SZ\", \"data\": [\"x\", \"\"]}]",
        "[{\"name\": \"a\", \"type\": \"REG_MULTI_SZ\", \"data\": \"x\"}]",
        "[{\"name\": \"a\", \"type\": \"REG_NONE\", \"data\": \"00\"}]",
        "[{\"name\": \"a\", \"type\": \"REG_SZ\", \"data\": \"x\"}, {\"name\": \"A\", \"type\": \"REG_SZ\", \"data\": \"y\"}]",
        "[1]",
        "",
    };
    Key k(Create(u"Broken"));
    Key sub(Create(u"Broken\\Child"));
    for (const char* text : broken) {
        SCOPED_TRACE(text);
        std::string path = KeyDir("Broken") + "/.values";
        testsupport::WriteText(path, text);
        LONG rc = 0;
        Get(k, u"a", nullptr, &rc);
        EXPECT_EQ(rc, ERROR_BADDB);
        EXPECT_EQ(Set(k, u"b", REG_SZ, Utf16(u"new")), ERROR_BADDB);
        EXPECT_EQ(RegDeleteValueW(k, u"a"), ERROR_BADDB);
        WCHAR name[64];
        DWORD len = 64;
        EXPECT_EQ(RegEnumValueW(k, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_BADDB);
        DWORD count = 0;
        EXPECT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                                   nullptr, nullptr),
                  ERROR_BADDB);
        EXPECT_EQ(testsupport::ReadText(path), text) << "the broken file must stay as it was";
        HKEY raw = nullptr;
        EXPECT_EQ(Open(u"Broken", KEY_READ, &raw), ERROR_SUCCESS);
        Key reopened(raw);
        EXPECT_EQ(SubkeyNames(k), std::vector<std::u16string>{u"Child"});
    }
    // Repaired by hand, it works again.
    testsupport::WriteText(KeyDir("Broken") + "/.values", "[]");
    EXPECT_EQ(Set(k, u"b", REG_SZ, Utf16(u"new")), ERROR_SUCCESS);
}

// Key and value names are case-insensitive; the first spelling is kept.
TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepCase) {
    DWORD disp = 0;
    Key a(Create(u"MixedCase\\Inner\u00c9", KEY_ALL_ACCESS, nullptr, &disp));
    EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    Key b(Create(u"MIXEDCASE\\inner\u00e9", KEY_ALL_ACCESS, nullptr, &disp));
    EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(DirEntries(Hklm() + "/MixedCase"), (std::vector<std::string>{".lock", "Inner\xc3\x89"}));
    EXPECT_EQ(DirEntries(Hklm()).size(), 3u) << "SYSTEM and MixedCase only, beside the lock";
    HKEY raw = nullptr;
    ASSERT_EQ(Open(u"mixedcase\\INNER\u00c9", KEY_READ, &raw), ERROR_SUCCESS);
    Key c(raw);

    ASSERT_EQ(Set(a, u"ValueName", REG_DWORD, Bytes({1, 0, 0, 0})), ERROR_SUCCESS);
    ASSERT_EQ(Set(b, u"VALUENAME", REG_DWORD, Bytes({2, 0, 0, 0})), ERROR_SUCCESS);
    EXPECT_EQ(Get(c, u"valuename"), Bytes({2, 0, 0, 0}));
    EXPECT_EQ(ValueNames(c), std::vector<std::u16string>{u"ValueName"});
    EXPECT_EQ(RegDeleteValueW(b, u"valueNAME"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(b, u"valueNAME"), ERROR_FILE_NOT_FOUND);
}

// '/', '%', '\\'-free odd characters and a leading dot are encoded in the
// directory name and decode back to the key name.
TEST_F(RegistryTest, NamesArePercentEncoded) {
    Key k(Create(u"Enc"));
    const std::u16string names[] = {u"a/b%c", u".values", u"..", u"tab\there", u"\u65e5\u672c"};
    for (const auto& n : names) {
        HKEY raw = nullptr;
        ASSERT_EQ(RegCreateKeyExW(k, n.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr), ERROR_SUCCESS)
            << pal::ToUtf8(n);
        Key sub(raw);
        ASSERT_EQ(Set(sub, u"v", REG_SZ, Utf16(n)), ERROR_SUCCESS);
    }
    ASSERT_EQ(Set(k, u"own", REG_DWORD, Bytes({1, 0, 0, 0})), ERROR_SUCCESS);
    std::vector<std::string> disk = DirEntries(KeyDir("Enc"));
    EXPECT_EQ(disk, (std::vector<std::string>{"%2E%2E", "%2Evalues", ".lock", ".values", "a%2Fb%25c", "tab%09here",
                                              "\xe6\x97\xa5\xe6\x9c\xac"}));
    std::vector<std::u16string> listed = SubkeyNames(k);
    EXPECT_EQ(listed, (std::vector<std::u16string>{u"..", u".values", u"a/b%c", u"tab\there", u"\u65e5\u672c"}));
    for (const auto& n : names) {
        HKEY raw = nullptr;
        ASSERT_EQ(RegOpenKeyExW(k, n.c_str(), 0, KEY_READ, &raw), ERROR_SUCCESS);
        Key sub(raw);
        EXPECT_EQ(Get(sub, u"v"), Utf16(n));
    }
    EXPECT_EQ(Get(k, u"own"), Bytes({1, 0, 0, 0})) << "the key's own values are untouched";
}

// Subkeys enumerate sorted case-insensitively; the end is ERROR_NO_MORE_ITEMS;
// a short name buffer gives ERROR_MORE_DATA.
TEST_F(RegistryTest, EnumerationOrderAndBuffers) {
    Key k(Create(u"Enum"));
    for (const char16_t* n : {u"b", u"A", u"c", u"B2", u"_x", u"a1"}) MakeKey(std::u16string(u"Enum\\") + n);
    // Leftovers and foreign files are not keys.
    testsupport::WriteText(KeyDir("Enum") + "/.values.tmp.1.2", "junk");
    testsupport::WriteText(KeyDir("Enum") + "/stray-file", "junk");
    EXPECT_EQ(SubkeyNames(k), (std::vector<std::u16string>{u"A", u"a1", u"b", u"B2", u"c", u"_x"}));

    WCHAR name[8];
    DWORD len = 2;  // "a1" needs 3 with the terminator
    EXPECT_EQ(RegEnumKeyExW(k, 1, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    len = 3;
    FILETIME ft{};
    EXPECT_EQ(RegEnumKeyExW(k, 1, name, &len, nullptr, nullptr, nullptr, &ft), ERROR_SUCCESS);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(std::u16string(name), u"a1");
    EXPECT_NE(ft.dwHighDateTime, 0u);
    len = 8;
    EXPECT_EQ(RegEnumKeyExW(k, 6, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    ASSERT_EQ(Set(k, u"Zed", REG_BINARY, "abcdef"), ERROR_SUCCESS);
    ASSERT_EQ(Set(k, u"alpha", REG_BINARY, "x"), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(k), (std::vector<std::u16string>{u"Zed", u"alpha"})) << "values keep insertion order";
    DWORD type = 0, dataLen = 2;
    BYTE data[8];
    len = 8;
    EXPECT_EQ(RegEnumValueW(k, 0, name, &len, nullptr, &type, data, &dataLen), ERROR_MORE_DATA);
    EXPECT_EQ(dataLen, 6u);
    len = 3;
    dataLen = 8;
    EXPECT_EQ(RegEnumValueW(k, 0, name, &len, nullptr, &type, data, &dataLen), ERROR_MORE_DATA) << "name too long";
    len = 8;
    EXPECT_EQ(RegEnumValueW(k, 0, name, &len, nullptr, &type, data, &dataLen), ERROR_SUCCESS);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), dataLen), "abcdef");
    len = 8;
    EXPECT_EQ(RegEnumValueW(k, 2, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

// RegQueryValueExW: NULL data gives the size, a short buffer ERROR_MORE_DATA
// with the size needed, a missing value ERROR_FILE_NOT_FOUND.
TEST_F(RegistryTest, QueryBufferProtocol) {
    Key k(Create(u"Buf"));
    ASSERT_EQ(Set(k, u"v", REG_SZ, Utf16(u"twelve")), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(k, u"v", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    BYTE buf[32];
    size = 13;
    type = 0;
    EXPECT_EQ(RegQueryValueExW(k, u"v", nullptr, &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    size = 14;
    EXPECT_EQ(RegQueryValueExW(k, u"v", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 14), Utf16(u"twelve"));
    EXPECT_EQ(RegQueryValueExW(k, u"v", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS) << "existence check";
    EXPECT_EQ(RegQueryValueExW(k, u"missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(k, u"v", nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(k, u"v", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(k, u"v", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RegSetValueExW(k, u"empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(Get(k, u"empty"), "");
}

// Path syntax, name limits, bad handles; registry calls leave the last error alone.
TEST_F(RegistryTest, PathsLimitsAndHandles) {
    SetLastError(0xdeadbeef);
    HKEY raw = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"\\Lead", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"a\\\\b", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(Open(u"\\SYSTEM", KEY_READ, &raw), ERROR_BAD_PATHNAME);
    EXPECT_EQ(Open(u"NoSuchKey", KEY_READ, &raw), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(u"SYSTEM\\NoSuchKey\\Deeper", KEY_READ, &raw), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    {
        Key trailing(Create(u"Trail\\"));
        EXPECT_EQ(DirEntries(Hklm() + "/Trail").size(), 0u);
        ASSERT_EQ(Open(u"Trail\\", KEY_READ, &raw), ERROR_SUCCESS);
        RegCloseKey(raw);
    }
    std::u16string longest(255, u'n');
    Key ok(Create(longest));
    EXPECT_EQ(Open(longest + u"n", KEY_READ, &raw), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (longest + u"n").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &raw, nullptr),
              ERROR_INVALID_PARAMETER);
    // 255 characters of three UTF-8 bytes each do not fit a Linux file name.
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, std::u16string(255, u'\u65e5').c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &raw, nullptr),
              ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(Set(ok, std::u16string(16383, u'v').c_str(), REG_BINARY, "x"), ERROR_SUCCESS);
    EXPECT_EQ(Set(ok, std::u16string(16384, u'v').c_str(), REG_BINARY, "x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Set(ok, u"lone\xdc00", REG_BINARY, "x"), ERROR_INVALID_PARAMETER);

    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &raw), ERROR_FILE_NOT_FOUND);
    HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x7ff0));
    EXPECT_EQ(RegOpenKeyExW(bogus, u"x", 0, KEY_READ, &raw), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Vol", 0, nullptr, 1 /* volatile */, KEY_ALL_ACCESS, nullptr, &raw,
                              nullptr),
              ERROR_NOT_SUPPORTED);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);

    // An empty subkey opens a new handle to the same key; predefined roots hold values too.
    ASSERT_EQ(RegOpenKeyExW(ok, u"", 0, KEY_READ, &raw), ERROR_SUCCESS);
    Key same(raw);
    EXPECT_EQ(Get(same, std::u16string(16383, u'v').c_str()), "x");
    ASSERT_EQ(Set(HKEY_LOCAL_MACHINE, u"AtRoot", REG_BINARY, "r"), ERROR_SUCCESS);
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, u"AtRoot"), "r");
}

// Key handles: CloseHandle refuses them, RegCloseKey closes once, no leaks.
TEST_F(RegistryTest, KeyHandlesCloseWithRegCloseKey) {
    size_t before = pal::HandleCount();
    HKEY k = Create(u"H");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(k) & 3u, 0u);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(k)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(ev)), ERROR_INVALID_HANDLE) << "not a key";
    CloseHandle(ev);
    EXPECT_EQ(pal::HandleCount(), before);
}

// A key with subkeys cannot be deleted; handles to a deleted key report
// ERROR_KEY_DELETED, even after a new key takes the same name.
TEST_F(RegistryTest, DeleteKeyRules) {
    Key parent(Create(u"Del"));
    Key child(Create(u"Del\\Child"));
    ASSERT_EQ(Set(child, u"v", REG_SZ, Utf16(u"x")), ERROR_SUCCESS);
    testsupport::WriteText(KeyDir("Del/Child") + "/.values.tmp.99.99", "left over");
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Del"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Get(child, u"v"), Utf16(u"x")) << "a refused delete changes nothing";
    EXPECT_EQ(RegDeleteKeyW(parent, u"CHILD"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent, u"Child"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(parent, nullptr), ERROR_INVALID_PARAMETER);

    LONG rc = 0;
    Get(child, u"v", nullptr, &rc);
    EXPECT_EQ(rc, ERROR_KEY_DELETED);
    EXPECT_EQ(Set(child, u"v", REG_SZ, Utf16(u"y")), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueW(child, u"v"), ERROR_KEY_DELETED);
    WCHAR name[16];
    DWORD len = 16;
    EXPECT_EQ(RegEnumKeyExW(child, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryInfoKeyW(child, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_KEY_DELETED);
    HKEY raw = nullptr;
    EXPECT_EQ(RegCreateKeyExW(child, u"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr), ERROR_KEY_DELETED);
    Event ev;
    EXPECT_EQ(RegNotifyChangeKeyValue(child, FALSE, REG_NOTIFY_CHANGE_LAST_SET, ev, TRUE), ERROR_KEY_DELETED);
    EXPECT_EQ(RegFlushKey(child), ERROR_KEY_DELETED);

    Key reborn(Create(u"Del\\Child"));
    ASSERT_EQ(Set(reborn, u"v", REG_SZ, Utf16(u"new")), ERROR_SUCCESS);
    Get(child, u"v", nullptr, &rc);
    EXPECT_EQ(rc, ERROR_KEY_DELETED) << "the old handle names the old key";
    EXPECT_EQ(RegCloseKey(child.h), ERROR_SUCCESS);
    child.h = nullptr;

    // An empty subkey deletes the key itself.
    EXPECT_EQ(RegDeleteKeyW(reborn, u""), ERROR_SUCCESS);
    EXPECT_EQ(Open(u"Del\\Child", KEY_READ, &raw), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(DirEntries(KeyDir("Del")), std::vector<std::string>{".lock"});
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED) << "a root cannot go";
}

// RegQueryInfoKeyW counts subkeys and values and reports the longest names
// (characters) and data (bytes); the time is the directory's mtime.
TEST_F(RegistryTest, QueryInfoFigures) {
    Key k(Create(u"Info"));
    MakeKey(u"Info\\Short");
    MakeKey(u"Info\\AMuchLongerName");
    ASSERT_EQ(Set(k, u"v", REG_BINARY, std::string(100, 'x')), ERROR_SUCCESS);
    ASSERT_EQ(Set(k, u"LongestValueName", REG_DWORD, Bytes({1, 0, 0, 0})), ERROR_SUCCESS);
    DWORD subKeys = 9, maxSub = 9, maxClass = 9, values = 9, maxName = 9, maxData = 9, sdLen = 9, clsLen = 4;
    WCHAR cls[4] = {u'x', u'x', u'x', u'x'};
    FILETIME ft{};
    ASSERT_EQ(RegQueryInfoKeyW(k, cls, &clsLen, nullptr, &subKeys, &maxSub, &maxClass, &values, &maxName, &maxData,
                               &sdLen, &ft),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 2u);
    EXPECT_EQ(maxSub, 15u);
    EXPECT_EQ(maxClass, 0u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 16u);
    EXPECT_EQ(maxData, 100u);
    EXPECT_EQ(clsLen, 0u);
    EXPECT_EQ(cls[0], 0);
    struct stat st;
    ASSERT_EQ(stat(KeyDir("Info").c_str(), &st), 0);
    uint64_t expected = (static_cast<uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
                        static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100u;
    EXPECT_EQ((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime, expected);

    EXPECT_EQ(RegFlushKey(k), ERROR_SUCCESS);

    Key empty(Create(u"Info\\Short"));
    ASSERT_EQ(RegQueryInfoKeyW(empty, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &values, &maxName,
                               &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys + maxSub + values + maxName + maxData, 0u);
}

// The handle's granted access limits what it may do.
TEST_F(RegistryTest, HandleAccessIsEnforced) {
    MakeKey(u"Acc\\Sub");
    HKEY raw = nullptr;
    ASSERT_EQ(Open(u"Acc", KEY_READ, &raw), ERROR_SUCCESS);
    Key reader(raw);
    EXPECT_EQ(Set(reader, u"v", REG_BINARY, "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader, u"v"), ERROR_ACCESS_DENIED);
    ASSERT_EQ(Open(u"Acc", KEY_SET_VALUE, &raw), ERROR_SUCCESS);
    Key writer(raw);
    EXPECT_EQ(Set(writer, u"v", REG_BINARY, "x"), ERROR_SUCCESS);
    LONG rc = 0;
    Get(writer, u"v", nullptr, &rc);
    EXPECT_EQ(rc, ERROR_ACCESS_DENIED);
    WCHAR name[16];
    DWORD len = 16;
    EXPECT_EQ(RegEnumKeyExW(writer, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    Event ev;
    EXPECT_EQ(RegNotifyChangeKeyValue(writer, FALSE, REG_NOTIFY_CHANGE_LAST_SET, ev, TRUE), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Get(reader, u"v"), "x");
    ASSERT_EQ(Open(u"Acc", GENERIC_READ, &raw), ERROR_SUCCESS);
    Key generic(raw);
    EXPECT_EQ(SubkeyNames(generic), std::vector<std::u16string>{u"Sub"});
    EXPECT_EQ(Set(generic, u"v", REG_BINARY, "y"), ERROR_ACCESS_DENIED);
}

// Without security attributes a new key takes its parent's group and mode;
// with them, the owner, group and mode they map to. `.values` follows its
// directory without the x bits.
TEST_F(RegistryTest, NewKeysTakeSecurity) {
    Key parent(Create(u"Sec"));
    ASSERT_EQ(chmod(KeyDir("Sec").c_str(), 02750), 0);
    ASSERT_EQ(chown(KeyDir("Sec").c_str(), static_cast<uid_t>(-1), getgid()), 0);
    Key child(Create(u"Sec\\Inherit\\Deeper"));
    struct stat st;
    for (const char* rel : {"Sec/Inherit", "Sec/Inherit/Deeper"}) {
        ASSERT_EQ(stat(KeyDir(rel).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 02750u) << rel;
        EXPECT_EQ(st.st_gid, getgid()) << rel;
    }
    ASSERT_EQ(Set(child, u"v", REG_SZ, Utf16(u"x")), ERROR_SUCCESS);
    ASSERT_EQ(stat((KeyDir("Sec/Inherit/Deeper") + "/.values").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, getuid());
    // The write lock: openable by the classes that may write the key only.
    ASSERT_EQ(stat((KeyDir("Sec/Inherit/Deeper") + "/.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0200u);
    EXPECT_EQ(st.st_gid, getgid());
    // A lock file someone opened up is put back by the next write.
    ASSERT_EQ(chmod((KeyDir("Sec/Inherit/Deeper") + "/.lock").c_str(), 0666), 0);
    ASSERT_EQ(Set(child, u"v", REG_SZ, Utf16(u"y")), ERROR_SUCCESS);
    ASSERT_EQ(stat((KeyDir("Sec/Inherit/Deeper") + "/.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0200u);

    AdminOnlySa adminOnly;
    Key admin(Create(u"Sec\\Admin", KEY_ALL_ACCESS, &adminOnly.sa));
    ASSERT_EQ(stat(KeyDir("Sec/Admin").c_str(), &st), 0);
    if (testsupport::IsRoot()) {
        EXPECT_EQ(st.st_mode & 0777, 0770u);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, pal::AdminGroupId());
    } else {
        EXPECT_EQ(st.st_mode & 0777, 0700u) << "not ours to give away: owner only";
    }
}

TEST_CHILD_MODE(registry_as_nobody) {
    // Drop every identity to nobody, then report the first check that fails.
    (void)arg;
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 90;
    struct Try {
        const char16_t* path;
        REGSAM access;
        LONG expected;
    };
    const Try tries[] = {
        {u"Locked", KEY_READ, ERROR_ACCESS_DENIED},
        {u"Locked", KEY_WRITE, ERROR_ACCESS_DENIED},
        {u"Locked", KEY_QUERY_VALUE, ERROR_ACCESS_DENIED},
        {u"Locked\\Inside", KEY_READ, ERROR_ACCESS_DENIED},
        {u"Public", KEY_READ, ERROR_SUCCESS},
        {u"Public", KEY_SET_VALUE, ERROR_ACCESS_DENIED},
        {u"Public", KEY_CREATE_SUB_KEY, ERROR_ACCESS_DENIED},
    };
    int i = 0;
    for (const Try& t : tries) {
        ++i;
        HKEY k = nullptr;
        LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, t.path, 0, t.access, &k);
        if (k != nullptr) RegCloseKey(k);
        if (rc != t.expected) return i;
    }
    HKEY k = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Public\\New", 0, nullptr, 0, KEY_READ, nullptr, &k, nullptr) !=
        ERROR_ACCESS_DENIED)
        return 50;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Public", 0, KEY_READ, &k) != ERROR_SUCCESS) return 51;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(k, u"v", nullptr, nullptr, nullptr, &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS || size != 4) return 52;
    if (RegSetValueExW(HKEY_LOCAL_MACHINE, u"x", 0, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1) !=
        ERROR_ACCESS_DENIED)
        return 53;
    return 0;
}

// As root: a process running as nobody cannot open an admin-only key for
// reading or writing, and may only read a world-readable one.
TEST_F(RegistryTest, AccessIsCheckedAsTheCaller) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to drop to uid/gid 65534";
    // The temporary root's own directory is private; let nobody through.
    std::string top = root_.path().substr(0, root_.path().size() - 5);
    ASSERT_EQ(chmod(top.c_str(), 0711), 0);
    Key locked(Create(u"Locked\\Inside"));
    ASSERT_EQ(chmod(KeyDir("Locked").c_str(), 0700), 0);
    Key pub(Create(u"Public"));
    ASSERT_EQ(Set(pub, u"v", REG_DWORD, Bytes({1, 0, 0, 0})), ERROR_SUCCESS);
    int pid = testsupport::SpawnChild("registry_as_nobody", "open");
    ASSERT_GT(pid, 0);
    int status = testsupport::WaitChild(pid, 30000);
    if (status == -1) testsupport::KillChild(pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "first failing check number";
    EXPECT_TRUE(DirEntries(KeyDir("Public")) == (std::vector<std::string>{".lock", ".values"}));
}

// The check uses the calling thread's filesystem identity: a thread that
// takes another fsuid is refused while the others are not.
TEST_F(RegistryTest, AccessFollowsThreadIdentity) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to change the thread's fsuid";
    std::string top = root_.path().substr(0, root_.path().size() - 5);
    ASSERT_EQ(chmod(top.c_str(), 0711), 0);
    Key locked(Create(u"Private"));
    ASSERT_EQ(chmod(KeyDir("Private").c_str(), 0700), 0);
    LONG asOther = -1;
    std::thread t([&] {
        syscall(SYS_setfsgid, 65534);
        syscall(SYS_setfsuid, 65534);
        HKEY k = nullptr;
        asOther = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Private", 0, KEY_READ, &k);
        if (k != nullptr) RegCloseKey(k);
        syscall(SYS_setfsuid, 0);
        syscall(SYS_setfsgid, 0);
    });
    t.join();
    EXPECT_EQ(asOther, ERROR_ACCESS_DENIED);
    HKEY k = nullptr;
    EXPECT_EQ(Open(u"Private", KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);

    // Read batches remember passed checks per identity and per unchanged
    // directory: root's pass is not another identity's, and a chmod ends one.
    Key shared(Create(u"Shared"));
    ASSERT_EQ(Set(shared, u"v", REG_DWORD, Bytes({1, 0, 0, 0})), ERROR_SUCCESS);
    PalRegBeginReads();
    EXPECT_EQ(Open(u"Private", KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);
    PalRegEndReads();
    auto asNobody = [](LPCWSTR sub, LONG& opened, LONG& read) {
        std::thread other([&] {
            syscall(SYS_setfsgid, 65534);
            syscall(SYS_setfsuid, 65534);
            PalRegBeginReads();
            HKEY key = nullptr;
            opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub, 0, KEY_READ, &key);
            DWORD v = 0, size = sizeof(v);
            read = key == nullptr ? -1
                                  : RegQueryValueExW(key, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
            if (key != nullptr) RegCloseKey(key);
            PalRegEndReads();
            syscall(SYS_setfsuid, 0);
            syscall(SYS_setfsgid, 0);
        });
        other.join();
    };
    LONG opened = -1, read = -1;
    asNobody(u"Private", opened, read);
    EXPECT_EQ(opened, ERROR_ACCESS_DENIED) << "root's remembered pass";
    asNobody(u"Shared", opened, read);
    EXPECT_EQ(opened, ERROR_SUCCESS);
    EXPECT_EQ(read, ERROR_SUCCESS);
    ASSERT_EQ(chmod((KeyDir("Shared") + "/.values").c_str(), 0600), 0);
    asNobody(u"Shared", opened, read);
    EXPECT_EQ(opened, ERROR_SUCCESS);
    EXPECT_EQ(read, ERROR_ACCESS_DENIED) << "a pass remembered before the chmod";
    ASSERT_EQ(chmod(KeyDir("Shared").c_str(), 0700), 0);
    asNobody(u"Shared", opened, read);
    EXPECT_EQ(opened, ERROR_ACCESS_DENIED) << "a pass remembered before the chmod";
}

// Steps of a user who is not root against the store: "<who> <step> <args>",
// who = admin (nobody in the group zembrik, which may write the rule keys)
// or outsider (nobody alone). Exits 0 once the step is done; a holding step
// keeps its lock until it is killed (or 60 s pass).
TEST_CHILD_MODE(registry_hostile) {
    std::istringstream in(arg);
    std::string who, step, dir, extra, stop;
    unsigned admins = 0;
    in >> who >> admins >> step >> dir >> extra >> stop;
    gid_t groups[1] = {static_cast<gid_t>(admins)};
    if (setgroups(who == "admin" ? 1 : 0, groups) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 90;
    alarm(60);
    if (step == "relink") {
        // The key directory moved aside, a link to `extra` in its place.
        if (rename(dir.c_str(), (dir + "-moved").c_str()) != 0) return 2;
        return symlink(extra.c_str(), dir.c_str()) == 0 ? 0 : 3;
    }
    if (step == "fifos") {
        unlink((dir + "/.values").c_str());
        unlink((dir + "/.lock").c_str());
        return mkfifo((dir + "/.values").c_str(), 0666) == 0 && mkfifo((dir + "/.lock").c_str(), 0666) == 0 ? 0 : 2;
    }
    if (step == "plant") {
        // Until `stop` appears: links to `extra` at the temp name a writer
        // with pid = tid = the parent's would use, and `.values` swapped with
        // a link for a moment, so that root's follow-up on the name hits it.
        std::string pid = std::to_string(getppid());
        std::string tmp = dir + "/.values.tmp." + pid + "." + pid, bait = dir + "/bait";
        symlink(extra.c_str(), bait.c_str());
        while (access(stop.c_str(), F_OK) != 0) {
            symlink(extra.c_str(), tmp.c_str());
            if (renameat2(AT_FDCWD, bait.c_str(), AT_FDCWD, (dir + "/.values").c_str(), RENAME_EXCHANGE) == 0)
                renameat2(AT_FDCWD, bait.c_str(), AT_FDCWD, (dir + "/.values").c_str(), RENAME_EXCHANGE);
        }
        return 0;
    }
    int fd = -1;
    if (step == "holddir") {
        // What any user can open: the key directory. Its lock file is not.
        fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        for (int flags : {O_RDONLY, O_WRONLY, O_RDWR})
            if (open((dir + "/.lock").c_str(), flags) >= 0 || errno != EACCES) return 4;
    } else if (step == "holdlock") {
        fd = open((dir + "/.lock").c_str(), O_WRONLY);
    } else {
        return 91;
    }
    if (fd < 0 || flock(fd, LOCK_EX) != 0) return 3;
    for (;;) pause();
}

// Runs a hostile step to its end; its exit code, or -1.
int Hostile(const std::string& arg) {
    int pid = testsupport::SpawnChild("registry_hostile", arg);
    if (pid <= 0) return -1;
    int status = testsupport::WaitChild(pid, 30000);
    if (status == -1) testsupport::KillChild(pid);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A holding step, killed at the end of the scope; Held() waits until it
// holds the flock of `path` (opened as `flags`), false if it ended first.
class HostileHolder {
public:
    explicit HostileHolder(const std::string& arg) : pid_(testsupport::SpawnChild("registry_hostile", arg)) {}
    ~HostileHolder() {
        if (pid_ > 0 && status_ == -1) testsupport::KillChild(pid_);
    }
    bool Held(const std::string& path, int flags) {
        return pid_ > 0 && testsupport::WaitUntil(10000, [&] {
                   int fd = open(path.c_str(), flags | O_CLOEXEC);
                   bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
                   if (fd >= 0) close(fd);
                   return held || (status_ = testsupport::WaitChild(pid_, 0)) != -1;
               }) && status_ == -1;
    }
    // Where a holder that ended stopped.
    int Step() const { return status_ != -1 && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
private:
    int pid_;
    int status_ = -1;
};

class RegistryHostileTest : public RegistryTest {
protected:
    void SetUp() override {
        if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to act as other users";
        if (group_.gid() < 0) GTEST_SKIP() << "no group 'zembrik' (the administrators' group) and none can be made";
        testsupport::OpenRootToOthers(root_.path());
    }
    // A key the administrators may write, as the rule keys are.
    void AdminKey(const std::u16string& name, const std::string& rel) {
        MakeKey(name);
        ASSERT_EQ(chown(KeyDir(rel).c_str(), 0, static_cast<gid_t>(group_.gid())), 0);
        ASSERT_EQ(chmod(KeyDir(rel).c_str(), 0770), 0);
    }
    std::string As(const char* who, const std::string& rest) const {
        return std::string(who) + " " + std::to_string(group_.gid()) + " " + rest;
    }
    // A root-owned file outside the store that no write may reach.
    std::string Victim(const std::string& rel) {
        std::string path = root_.path() + "/" + rel;
        testsupport::WriteText(path, "victim");
        EXPECT_EQ(chmod(path.c_str(), 0600), 0);
        return path;
    }
    void ExpectUntouched(const std::string& victim) {
        struct stat st;
        ASSERT_EQ(lstat(victim.c_str(), &st), 0) << victim;
        EXPECT_EQ(testsupport::ReadText(victim), "victim") << victim;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << victim;
        EXPECT_EQ(st.st_uid, 0u) << victim;
        EXPECT_EQ(st.st_gid, 0u) << victim;
    }
    testsupport::AdminGroup group_;
};

// An administrator who can write a parent key puts a link where a subkey
// was: root never creates, writes, locks or sets security beyond it, not
// even through a handle opened before; a FIFO in place of `.values` or the
// lock gives an error, never a hang.
TEST_F(RegistryHostileTest, StoreIsNeverLeftThroughLinks) {
    ASSERT_NO_FATAL_FAILURE(AdminKey(u"Rules", "Rules"));
    ASSERT_NO_FATAL_FAILURE(AdminKey(u"Rules\\Held", "Rules/Held"));
    std::string outside = root_.path() + "/outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
    std::string victim = Victim("outside/Sub");
    Key held(Create(u"Rules\\Held"));
    ASSERT_EQ(Hostile(As("admin", "relink " + KeyDir("Rules/Held") + " " + outside)), 0);

    EXPECT_EQ(Set(held, u"v", REG_DWORD, Bytes({1, 0, 0, 0})), ERROR_SUCCESS) << "the key the handle names";
    AdminOnlySa adminOnly;
    HKEY raw = nullptr;
    EXPECT_EQ(RegCreateKeyExW(held, u"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, &adminOnly.sa, &raw, nullptr),
              ERROR_SUCCESS);
    Key sub(raw);
    EXPECT_EQ(DirEntries(KeyDir("Rules/Held-moved")), (std::vector<std::string>{".lock", ".values", "Sub"}));
    for (const char16_t* path : {u"Rules\\Held", u"Rules\\Held\\Sub", u"Rules\\Held\\New"}) {
        SCOPED_TRACE(pal::ToUtf8(path));
        raw = nullptr;
        EXPECT_EQ(Open(path, KEY_READ, &raw), ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, &adminOnly.sa, &raw,
                                  nullptr),
                  ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Rules\\Held"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(DirEntries(outside), std::vector<std::string>{"Sub"});
    ExpectUntouched(victim);

    Key rules(Create(u"Rules"));
    ASSERT_EQ(Set(rules, u"v", REG_SZ, Utf16(u"x")), ERROR_SUCCESS);
    ASSERT_EQ(Hostile(As("admin", "fifos " + KeyDir("Rules"))), 0);
    LONG rc = 0;
    Get(rules, u"v", nullptr, &rc);
    EXPECT_EQ(rc, ERROR_BADDB);
    EXPECT_EQ(Set(rules, u"v", REG_SZ, Utf16(u"y")), ERROR_ACCESS_DENIED);
}

// Links planted at a writer's predictable temp name and swapped in for
// `.values` after each rename never make root write, chown or chmod the
// file they point at.
TEST_F(RegistryHostileTest, PlantedLinksNeverRedirectWrites) {
    ASSERT_NO_FATAL_FAILURE(AdminKey(u"Race", "Race"));
    std::string victim = Victim("victim");
    std::string stop = root_.path() + "/stop";
    int pid = testsupport::SpawnChild("registry_hostile", As("admin", "plant " + KeyDir("Race") + " " + victim +
                                                                          " " + stop));
    ASSERT_GT(pid, 0);
    Key k(Create(u"Race"));
    int written = 0;
    for (int i = 0; i < 300; ++i)
        if (Set(k, u"v", REG_DWORD, Bytes({i & 0xFF, 0, 0, 0})) == ERROR_SUCCESS) ++written;
    testsupport::WriteText(stop, "");
    int status = testsupport::WaitChild(pid, 30000);
    if (status == -1) testsupport::KillChild(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_GT(written, 0);
    ExpectUntouched(victim);
}

// The key's write lock: an outsider who holds the directory's flock (which
// anyone who may read the key can take) delays no writer, and cannot open
// the lock file; an administrator holding the lock delays root's writes only
// a bounded time, ending in ERROR_TIMEOUT. A key without a lock file (an
// older root) gets one on its first write.
TEST_F(RegistryHostileTest, KeyLockIsForWritersAndBounded) {
    Key open(Create(u"Open"));  // 0755, as most keys are
    ASSERT_EQ(Set(open, u"v", REG_SZ, Utf16(u"x")), ERROR_SUCCESS);
    struct stat st;
    ASSERT_EQ(stat((KeyDir("Open") + "/.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0200u);
    {
        HostileHolder outsider(As("outsider", "holddir " + KeyDir("Open")));
        ASSERT_TRUE(outsider.Held(KeyDir("Open"), O_RDONLY | O_DIRECTORY)) << "ended at step " << outsider.Step();
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Set(open, u"v", REG_SZ, Utf16(u"y")), ERROR_SUCCESS);
        MakeKey(u"Open\\Sub");
        EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Open\\Sub"), ERROR_SUCCESS);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(pal::reg::kKeyLockMs / 2));
    }

    ASSERT_NO_FATAL_FAILURE(AdminKey(u"Rules", "Rules"));  // made without a lock file
    EXPECT_NE(access((KeyDir("Rules") + "/.lock").c_str(), F_OK), 0);
    Key rules(Create(u"Rules"));
    ASSERT_EQ(Set(rules, u"v", REG_SZ, Utf16(u"x")), ERROR_SUCCESS);
    ASSERT_EQ(stat((KeyDir("Rules") + "/.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0220u);
    EXPECT_EQ(st.st_gid, static_cast<gid_t>(group_.gid()));
    {
        HostileHolder admin(As("admin", "holdlock " + KeyDir("Rules")));
        ASSERT_TRUE(admin.Held(KeyDir("Rules") + "/.lock", O_WRONLY)) << "ended at step " << admin.Step();
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Set(rules, u"v", REG_SZ, Utf16(u"y")), ERROR_TIMEOUT);
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(pal::reg::kKeyLockMs - 50));  // a clock of whole ms
        EXPECT_LT(waited, std::chrono::milliseconds(pal::reg::kKeyLockMs * 3));
    }
    EXPECT_EQ(Set(rules, u"v", REG_SZ, Utf16(u"z")), ERROR_SUCCESS);
    EXPECT_EQ(Get(rules, u"v"), Utf16(u"z"));
}

// Notification: a value change, a subkey change and attribute changes
// signal a registration with the matching filter.
TEST_F(RegistryTest, NotifySignalsMatchingChanges) {
    Key k(Create(u"Watch"));
    Event values, names, attrs;
    ASSERT_EQ(RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_LAST_SET, values, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_NAME, names, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_ATTRIBUTES, attrs, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(Set(k, u"v", REG_DWORD, Bytes({1, 0, 0, 0})), ERROR_SUCCESS);
    EXPECT_TRUE(values.WaitSet());
    MakeKey(u"Watch\\Sub");
    EXPECT_TRUE(names.WaitSet());
    ASSERT_EQ(chmod(KeyDir("Watch").c_str(), 0750), 0);
    EXPECT_TRUE(attrs.WaitSet());
    // The events were queued in this order, so each fired only for its own change.
    Event later;
    ASSERT_EQ(RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_LAST_SET, later, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(k, u"v"), ERROR_SUCCESS);
    EXPECT_TRUE(later.WaitSet()) << "deleting a value is a LAST_SET change";

    ResetEvent(names);
    ASSERT_EQ(RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_NAME, names, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(k, u"Sub"), ERROR_SUCCESS);
    EXPECT_TRUE(names.WaitSet()) << "deleting a subkey is a NAME change";
}

// Deep changes reach a registration only with watchSubtree; changes made
// before the call never fire it.
TEST_F(RegistryTest, NotifySubtreeAndStartingPoint) {
    Key k(Create(u"Tree\\A"));
    Key top(Create(u"Tree"));
    Event shallow, deep, stale;
    ASSERT_EQ(RegNotifyChangeKeyValue(top, FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, shallow, TRUE),
              ERROR_SUCCESS);
    ASSERT_EQ(RegNotifyChangeKeyValue(top, TRUE, REG_NOTIFY_CHANGE_NAME, deep, TRUE), ERROR_SUCCESS);
    // Tree\A is watched now, so this change is queued before the next call.
    ASSERT_EQ(Set(k, u"before", REG_BINARY, "x"), ERROR_SUCCESS);
    ASSERT_EQ(RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_LAST_SET, stale, TRUE), ERROR_SUCCESS);
    MakeKey(u"Tree\\A\\B");
    ASSERT_TRUE(deep.WaitSet());
    EXPECT_FALSE(shallow.Set()) << "a grandchild is not the key's own subkey";
    EXPECT_FALSE(stale.Set()) << "the value set before registering must not count";
    MakeKey(u"Tree\\C");
    EXPECT_TRUE(shallow.WaitSet());

    // New directories under a subtree watch are watched at once: a value set
    // right after creating a deep key is seen.
    Event values;
    ASSERT_EQ(RegNotifyChangeKeyValue(top, TRUE, REG_NOTIFY_CHANGE_LAST_SET, values, TRUE), ERROR_SUCCESS);
    Key fresh(Create(u"Tree\\New\\Deeper\\Deepest"));
    ASSERT_EQ(Set(fresh, u"v", REG_BINARY, "y"), ERROR_SUCCESS);
    EXPECT_TRUE(values.WaitSet());
}

// One-shot: after firing, a registration is over; a second change leaves a
// reset event reset.
TEST_F(RegistryTest, NotifyIsOneShot) {
    Key k(Create(u"Once"));
    Event first, witness;
    ASSERT_EQ(RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_LAST_SET, first, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(Set(k, u"v", REG_BINARY, "1"), ERROR_SUCCESS);
    ASSERT_TRUE(first.WaitSet());
    ResetEvent(first);
    ASSERT_EQ(RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_LAST_SET, witness, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(Set(k, u"v", REG_BINARY, "2"), ERROR_SUCCESS);
    ASSERT_TRUE(witness.WaitSet());
    EXPECT_FALSE(first.Set()) << "the first registration ended when it fired";
}

// Closing the key handle signals its pending registrations; a registration
// keeps its event alive even when the caller closes it.
TEST_F(RegistryTest, NotifyEndsWithTheHandle) {
    HKEY k = Create(u"Closing");
    Event ev;
    ASSERT_EQ(RegNotifyChangeKeyValue(k, TRUE, REG_NOTIFY_CHANGE_NAME, ev, TRUE), ERROR_SUCCESS);
    EXPECT_FALSE(ev.Set());
    ASSERT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_TRUE(ev.Set());

    Key other(Create(u"Closing"));
    HANDLE mine = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(RegNotifyChangeKeyValue(other, FALSE, REG_NOTIFY_CHANGE_LAST_SET, mine, TRUE), ERROR_SUCCESS);
    CloseHandle(mine);
    ASSERT_EQ(Set(other, u"v", REG_BINARY, "x"), ERROR_SUCCESS);
    Event witness;
    ASSERT_EQ(RegNotifyChangeKeyValue(other, FALSE, REG_NOTIFY_CHANGE_LAST_SET, witness, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(Set(other, u"v", REG_BINARY, "y"), ERROR_SUCCESS);
    EXPECT_TRUE(witness.WaitSet());

    EXPECT_EQ(RegNotifyChangeKeyValue(other, FALSE, 0, witness, TRUE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(other, FALSE, 0x20, witness, TRUE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(other, FALSE, REG_NOTIFY_CHANGE_NAME, nullptr, TRUE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(other, FALSE, REG_NOTIFY_CHANGE_NAME, reinterpret_cast<HANDLE>(other.h), TRUE),
              ERROR_INVALID_HANDLE);
}

// Synchronous registration blocks until the change happens.
TEST_F(RegistryTest, NotifySynchronousBlocksUntilChange) {
    Key k(Create(u"Sync"));
    std::atomic<int> state{0};
    std::thread waiter([&] {
        state = 1;
        LONG rc = RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE);
        state = rc == ERROR_SUCCESS ? 2 : 3;
    });
    while (state == 0) Sleep(1);
    // Changes keep coming until the waiter has registered and seen one.
    for (int i = 0; i < 1000 && state == 1; ++i) {
        Set(k, u"v", REG_BINARY, std::string(1, static_cast<char>(i)));
        Sleep(10);
    }
    if (state == 1) {
        RegCloseKey(k.h);  // releases a stuck waiter
        k.h = nullptr;
    }
    waiter.join();
    EXPECT_EQ(state.load(), 2);
}

// Any thread may register or close while the watcher runs: every
// registration is signalled by its change or by the close.
TEST_F(RegistryTest, NotifyFromManyThreads) {
    MakeKey(u"Busy");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                HKEY k = nullptr;
                if (Open(u"Busy", KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) { ++failures; continue; }
                HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
                if (RegNotifyChangeKeyValue(k, i % 2 == 0, REG_NOTIFY_CHANGE_LAST_SET, ev, TRUE) != ERROR_SUCCESS)
                    ++failures;
                if ((i + t) % 3 == 0) {
                    RegCloseKey(k);
                    k = nullptr;
                } else {
                    std::u16string name = u"t" + std::u16string(1, static_cast<char16_t>(u'0' + t));
                    Set(k, name.c_str(), REG_BINARY, std::string(1, static_cast<char>(i)));
                }
                if (WaitForSingleObject(ev, 10000) != WAIT_OBJECT_0) ++failures;
                if (k != nullptr) RegCloseKey(k);
                CloseHandle(ev);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_CHILD_MODE(registry_flip_writer) {
    HKEY k = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Crash", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
        ERROR_SUCCESS)
        return 2;
    std::string a(200000, 'a'), b(200000, 'b');
    for (unsigned i = 0;; ++i) {
        const std::string& d = i % 2 == 0 ? a : b;
        LONG rc = RegSetValueExW(k, u"Big", 0, REG_BINARY, reinterpret_cast<const BYTE*>(d.data()),
                                 static_cast<DWORD>(d.size()));
        if (rc != ERROR_SUCCESS) return 3;
        if (arg == "marked" && i == 0) testsupport::WriteText(std::string(getenv("ZEMBRIK_SYSROOT")) + "/started", "1");
    }
}

// A writer killed at any moment leaves a `.values` that parses and holds one
// of the two values it alternates; its temp files go with the next write.
TEST_F(RegistryTest, KilledWriterLeavesAWholeFile) {
    std::mt19937 rng(12345);
    std::string a(200000, 'a'), b(200000, 'b');
    for (int round = 0; round < 5; ++round) {
        unlink((root_.path() + "/started").c_str());
        int pid = testsupport::SpawnChild("registry_flip_writer", "marked");
        ASSERT_GT(pid, 0);
        for (int i = 0; i < 1000 && access((root_.path() + "/started").c_str(), F_OK) != 0; ++i) Sleep(10);
        Sleep(std::uniform_int_distribution<int>(0, 60)(rng));
        testsupport::KillChild(pid);
        pal::json::Value doc;
        EXPECT_TRUE(pal::json::Parse(ValuesText("Crash"), doc)) << "round " << round;
        HKEY raw = nullptr;
        ASSERT_EQ(Open(u"Crash", KEY_ALL_ACCESS, &raw), ERROR_SUCCESS);
        Key k(raw);
        std::string got = Get(k, u"Big");
        EXPECT_TRUE(got == a || got == b) << "round " << round << ": " << got.size() << " bytes";
    }
    HKEY raw = nullptr;
    ASSERT_EQ(Open(u"Crash", KEY_ALL_ACCESS, &raw), ERROR_SUCCESS);
    Key k(raw);
    testsupport::WriteText(KeyDir("Crash") + "/.values.tmp.1.1", "partial");
    ASSERT_EQ(Set(k, u"After", REG_BINARY, "z"), ERROR_SUCCESS);
    EXPECT_EQ(DirEntries(KeyDir("Crash")), (std::vector<std::string>{".lock", ".values"}));
}

// Concurrent writers never lose an update, and readers never see a broken
// or shrunken file.
TEST_F(RegistryTest, ConcurrentThreadsLoseNothing) {
    MakeKey(u"Conc");
    std::atomic<bool> writing{true};
    std::atomic<int> errors{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            HKEY k = nullptr;
            if (Open(u"Conc", KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) { ++errors; return; }
            for (int i = 0; i < 200; ++i) {
                std::string n = "t" + std::to_string(t) + "-" + std::to_string(i);
                std::u16string name = pal::ToUtf16(n);
                if (Set(k, name.c_str(), REG_SZ, Utf16(name)) != ERROR_SUCCESS) ++errors;
            }
            RegCloseKey(k);
        });
    }
    std::thread reader([&] {
        DWORD seen = 0;
        while (writing) {
            HKEY k = nullptr;
            if (Open(u"Conc", KEY_READ, &k) != ERROR_SUCCESS) { ++errors; break; }
            DWORD count = 0;
            if (RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                                 nullptr, nullptr) != ERROR_SUCCESS || count < seen)
                ++errors;
            seen = count;
            RegCloseKey(k);
        }
    });
    for (auto& th : writers) th.join();
    writing = false;
    reader.join();
    EXPECT_EQ(errors.load(), 0);
    HKEY raw = nullptr;
    ASSERT_EQ(Open(u"Conc", KEY_READ, &raw), ERROR_SUCCESS);
    Key k(raw);
    EXPECT_EQ(ValueNames(k).size(), 800u);
    EXPECT_EQ(Get(k, u"t3-199"), Utf16(u"t3-199"));
}

TEST_CHILD_MODE(registry_setter) {
    HKEY k = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Multi", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
        ERROR_SUCCESS)
        return 2;
    for (int i = 0; i < 200; ++i) {
        std::u16string name = pal::ToUtf16(arg + "-" + std::to_string(i));
        if (RegSetValueExW(k, name.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>(arg.data()),
                           static_cast<DWORD>(arg.size())) != ERROR_SUCCESS)
            return 3;
    }
    RegCloseKey(k);
    return 0;
}

// Two processes writing the same key lose nothing either.
TEST_F(RegistryTest, ConcurrentProcessesLoseNothing) {
    MakeKey(u"Multi");
    int p1 = testsupport::SpawnChild("registry_setter", "p1");
    int p2 = testsupport::SpawnChild("registry_setter", "p2");
    ASSERT_GT(p1, 0);
    ASSERT_GT(p2, 0);
    for (int pid : {p1, p2}) {
        int status = testsupport::WaitChild(pid, 120000);
        if (status == -1) testsupport::KillChild(pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    HKEY raw = nullptr;
    ASSERT_EQ(Open(u"Multi", KEY_READ, &raw), ERROR_SUCCESS);
    Key k(raw);
    EXPECT_EQ(ValueNames(k).size(), 400u);
    EXPECT_EQ(Get(k, u"p2-17"), "p2");
}
