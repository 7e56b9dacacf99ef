// Alias matching through a real database: rules stored in the registry of a
// temporary state root, loaded, compiled and walked by NameProcess.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <thread>

#include "db/zembrik_db.h"
#include "pal/environment.h"
#include "pal/error.h"
#include "pal/registry.h"
#include "support/test_support.h"

namespace {

struct Named {
    std::u16string process;
    std::u16string image;
};

class NameMatcherTest : public testsupport::RootTest {
protected:
    void TearDown() override {
        for (const WCHAR* name : {u"ZbkAliasDir", u"ZbkAliasLong"}) SetEnvironmentVariableW(name, nullptr);
    }

    // Stores the alias strings as "NameRules" (REG_MULTI_SZ), as an
    // administrator's registry editor would.
    static void StoreRules(std::initializer_list<std::u16string> rules) {
        std::u16string multi;
        for (const std::u16string& r : rules) {
            multi += r;
            multi += u'\0';
        }
        multi += u'\0';
        if (rules.size() == 0) multi += u'\0';
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParametersKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, u"NameRules", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi.data()),
                                 static_cast<DWORD>(multi.size() * sizeof(WCHAR))),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    static Named Name(ZembrikDb& db, const std::u16string& path) {
        WCHAR process[64];
        WCHAR image[64];
        for (int i = 0; i < 64; ++i) process[i] = image[i] = u'#';
        process[63] = image[63] = 0;
        db.NameProcess(path.c_str(), process, image);
        return {process, image};
    }

    // A database loaded with just these alias rules (the default rule last).
    void Load(ZembrikDb& db, std::initializer_list<std::u16string> rules) {
        ASSERT_TRUE(db.IsReady());
        StoreRules(rules);
        ASSERT_EQ(db.LoadRules(kLoadAliasRules), ERROR_SUCCESS);
        ASSERT_EQ(db.AliasCount(), rules.size() + 1);
    }

    // The process name that a list made of this one rule gives the path.
    std::u16string NameWithRule(const std::u16string& rule, const std::u16string& path) {
        ZembrikDb db;
        Load(db, {rule});
        return Name(db, path).process;
    }

    static NameRule Rule(WCHAR type, const std::u16string& match, const std::u16string& name) {
        NameRule r{};
        r.matchType = type;
        match.copy(r.match, 63);
        name.copy(r.name, 63);
        return r;
    }
};

// A P rule without an extension matches the program with or without its
// short extension; a rule with another extension does not.
TEST_F(NameMatcherTest, ProgramRuleAndExtensions) {
    EXPECT_EQ(NameWithRule(u"{P,notepad,Editor,\"d\"}", u"C:\\WINNT\\notepad.exe"), u"Editor");
    EXPECT_EQ(NameWithRule(u"{P,notepad.exe,Editor,\"d\"}", u"C:\\WINNT\\notepad.exe"), u"Editor");
    EXPECT_EQ(NameWithRule(u"{P,notepad.com,Editor,\"d\"}", u"C:\\WINNT\\notepad.exe"), u"notepad")
        << "no match, so the default rule names it";
    EXPECT_EQ(NameWithRule(u"{P,NOTEPAD,Editor}", u"c:\\winnt\\NotePad.EXE"), u"Editor") << "any case";
    EXPECT_EQ(NameWithRule(u"{P,notepad,Editor}", u"C:\\WINNT\\notepad.html"), u"notepad.html")
        << "four letters after the dot are no short extension: nothing is cut";
    EXPECT_EQ(NameWithRule(u"{P,note,Editor}", u"C:\\WINNT\\notepad.exe"), u"notepad")
        << "without a wildcard the whole name must be equal";
}

// A wildcard P pattern is a prefix test: Note?ad matches notepads.exe too.
TEST_F(NameMatcherTest, WildcardProgramRuleIsPrefix) {
    ZembrikDb db;
    Load(db, {u"{P,Note?ad,Ed-<P>,\"w\"}"});
    EXPECT_EQ(Name(db, u"C:\\WINNT\\notepad.exe").process, u"Ed-notepad") << "<P> is the name as cut";
    EXPECT_EQ(Name(db, u"C:\\WINNT\\notepads.exe").process, u"Ed-notepads");
    EXPECT_EQ(Name(db, u"C:\\WINNT\\noteXad").process, u"Ed-noteXad");
    EXPECT_EQ(Name(db, u"C:\\WINNT\\notad.exe").process, u"notad");
    EXPECT_EQ(Name(db, u"C:\\WINNT\\notepad.exe").image, u"notepad.exe") << "the image name keeps its extension";
}

// The extension is put back after a P rule, matched or not, so later rules
// and the image name see the whole file name.
TEST_F(NameMatcherTest, ExtensionRestoredBetweenRules) {
    ZembrikDb db;
    Load(db, {u"{P,calc,<D>,\"no match for this program\"}", u"{D,system32,<D>-<P>}", u"{A,calc,X<P>}"});
    Named n = Name(db, u"C:\\WINNT\\system32\\calc.exe");
    EXPECT_EQ(n.process, u"<D>") << "the P rule matched first, without a directory";
    EXPECT_EQ(Name(db, u"C:\\WINNT\\system32\\notepad.exe").process, u"system32-notepad.exe");
    EXPECT_EQ(Name(db, u"C:\\WINNT\\clac\\calcx.exe").process, u"Xcalcx.exe");
}

// A D rule names after the directory as the path spells it, and keeps the
// program's extension.
TEST_F(NameMatcherTest, DirectoryRule) {
    ZembrikDb db;
    Load(db, {u"{D,SYSTEM32,<D>-<P>}", u"{D,t*,T:<d>}"});
    EXPECT_EQ(Name(db, u"C:\\WINNT\\system32\\calc.exe").process, u"system32-calc.exe");
    EXPECT_EQ(Name(db, u"C:\\apps\\tools\\tmp\\x.exe").process, u"T:tools") << "outermost matching directory";
    EXPECT_EQ(Name(db, u"C:\\apps\\system32").process, u"system32") << "the program itself is no directory";
    EXPECT_EQ(Name(db, u"C:\\x\\system3\\calc.exe").process, u"calc") << "no wildcard: whole component";
    EXPECT_EQ(Name(db, u"C:\\system32x\\calc.exe").process, u"calc");
}

// <D> in a rule that has no directory (type P, type A) stays as written.
TEST_F(NameMatcherTest, DirectoryMarkerWithoutDirectory) {
    EXPECT_EQ(NameWithRule(u"{P,notepad,x<D>y}", u"C:\\WINNT\\notepad.exe"), u"x<D>y");
    EXPECT_EQ(NameWithRule(u"{A,winnt,<d>}", u"C:\\WINNT\\notepad.exe"), u"<d>");
}

// An A rule without a wildcard looks for its text anywhere in the path, in any case.
TEST_F(NameMatcherTest, WholePathRule) {
    ZembrikDb db;
    Load(db, {u"{A,temp,Temp-<P>}"});
    EXPECT_EQ(Name(db, u"C:\\Users\\x\\TEMP\\a.exe").process, u"Temp-a.exe") << "<P> is not cut for type A";
    EXPECT_EQ(Name(db, u"C:\\Temp\\b.exe").process, u"Temp-b.exe");
    EXPECT_EQ(Name(db, u"C:\\dir\\AtTempt.exe").process, u"Temp-AtTempt.exe");
    EXPECT_EQ(Name(db, u"\\??\\C:\\TeMp\\c.exe").process, u"Temp-c.exe");
    EXPECT_EQ(Name(db, u"C:\\tem\\p.exe").process, u"p");
    EXPECT_EQ(Name(db, u"tem").process, u"tem") << "a path shorter than the pattern";
}

// A wildcard A rule is a prefix of the path exactly as given, prefix included;
// an empty A pattern matches every path.
TEST_F(NameMatcherTest, WholePathWildcardAndEmptyPattern) {
    ZembrikDb db;
    Load(db, {u"{A,c:\\tools\\*,Tool}", u"{A,\\??\\*,Prefixed}"});
    EXPECT_EQ(Name(db, u"C:\\Tools\\a.exe").process, u"Tool");
    EXPECT_EQ(Name(db, u"\\??\\C:\\Tools\\a.exe").process, u"Prefixed");
    EXPECT_EQ(Name(db, u"D:\\Tools\\a.exe").process, u"a");
    EXPECT_EQ(NameWithRule(u"{A,,All}", u"\\usr\\bin\\sleep"), u"All");
    EXPECT_EQ(NameWithRule(u"{A,,All}", u"System"), u"All");
}

// "<H>" in any case hides: the process name is empty, the image name stays.
TEST_F(NameMatcherTest, HideMarker) {
    ZembrikDb db;
    Load(db, {u"{P,notepad,<h>}", u"{D,secret,before <H> after}"});
    Named n = Name(db, u"C:\\WINNT\\notepad.exe");
    EXPECT_EQ(n.process, u"");
    EXPECT_EQ(n.image, u"notepad.exe");
    EXPECT_EQ(Name(db, u"C:\\secret\\x.exe").process, u"");
    EXPECT_EQ(Name(db, u"C:\\public\\x.exe").process, u"x");
}

// The default rule names by the program file name without a short extension.
TEST_F(NameMatcherTest, DefaultRuleAndBareNames) {
    ZembrikDb db;
    Load(db, {});
    EXPECT_EQ(Name(db, u"C:\\WINNT\\system32\\notepad.exe").process, u"notepad");
    Named sys = Name(db, u"System");
    EXPECT_EQ(sys.process, u"System");
    EXPECT_EQ(sys.image, u"System");
    EXPECT_EQ(Name(db, u"Unknown").process, u"Unknown");
    EXPECT_EQ(Name(db, u"calc.exe").process, u"calc") << "a bare module name";
    EXPECT_EQ(Name(db, u".bashrc").process, u".bashrc") << "a leading dot is no extension";
}

// Linux executables arrive as "\usr\bin\sleep": the leading backslash is
// skipped, usr and bin are directories, sleep the program.
TEST_F(NameMatcherTest, LinuxPaths) {
    ZembrikDb db;
    Load(db, {u"{D,sbin,<D>/<P>}", u"{A,\\usr\\lib\\,lib-<P>}"});
    Named n = Name(db, u"\\usr\\bin\\sleep");
    EXPECT_EQ(n.process, u"sleep");
    EXPECT_EQ(n.image, u"sleep");
    EXPECT_EQ(Name(db, u"\\usr\\sbin\\cron").process, u"sbin/cron");
    EXPECT_EQ(Name(db, u"\\usr\\lib\\systemd\\systemd-journald").process, u"lib-systemd-journald");
    EXPECT_EQ(Name(db, u"\\usr\\bin\\python3.11").process, u"python3") << "a Linux version suffix looks like an extension";
    EXPECT_EQ(NameWithRule(u"{D,*,<D>}", u"\\usr\\bin\\sleep"), u"usr") << "the first directory is usr, not empty";
    Named kernel = Name(db, u"System");
    EXPECT_EQ(kernel.process, u"System") << "kernel threads";
}

// "\??\" and the drive are skipped before the path is split.
TEST_F(NameMatcherTest, PrefixAndDriveAreNoComponents) {
    ZembrikDb db;
    // An empty D pattern would catch an empty first component.
    Load(db, {u"{D,C:,drive}", u"{D,,empty}", u"{D,system32,<D>-<P>}"});
    EXPECT_EQ(Name(db, u"\\??\\C:\\WINNT\\system32\\calc.exe").process, u"system32-calc.exe");
    Named n = Name(db, u"\\??\\C:\\calc.exe");
    EXPECT_EQ(n.process, u"calc");
    EXPECT_EQ(n.image, u"calc.exe");
}

// A UNC path skips server and share; a missing backslash after either gives
// "<err>" for both names.
TEST_F(NameMatcherTest, UncPaths) {
    ZembrikDb db;
    Load(db, {u"{D,share,S}", u"{D,server,V}", u"{D,dir,<D>:<P>}"});
    EXPECT_EQ(Name(db, u"\\\\server\\share\\dir\\app.exe").process, u"dir:app.exe");
    EXPECT_EQ(Name(db, u"\\\\server\\share\\app.exe").process, u"app") << "share and server are no directories";
    Named noServerEnd = Name(db, u"\\\\server");
    EXPECT_EQ(noServerEnd.process, u"<err>");
    EXPECT_EQ(noServerEnd.image, u"<err>");
    Named noShareEnd = Name(db, u"\\\\server\\share");
    EXPECT_EQ(noShareEnd.process, u"<err>");
    EXPECT_EQ(noShareEnd.image, u"<err>");
    EXPECT_EQ(Name(db, u"\\??\\\\\\server").process, u"<err>") << "also after the prefix";
}

// At most 130 components count; the 130th is then the program.
TEST_F(NameMatcherTest, AtMost130Components) {
    ZembrikDb db;
    Load(db, {});
    // After "C:\", 128 empty components, then d and f.exe: 130 in all.
    std::u16string base = u"C:\\" + std::u16string(128, u'\\');
    EXPECT_EQ(Name(db, base + u"d\\f.exe").image, u"f.exe");
    // One more empty component pushes f.exe to the 131st place.
    Named n = Name(db, base + u"\\d\\f.exe");
    EXPECT_EQ(n.image, u"d");
    EXPECT_EQ(n.process, u"d");
}

// The image name is the first 63 characters of the program file name.
TEST_F(NameMatcherTest, LongProgramNameCut) {
    ZembrikDb db;
    Load(db, {});
    std::u16string program(70, u'p');
    Named n = Name(db, u"C:\\dir\\" + program + u".exe");
    EXPECT_EQ(n.image, std::u16string(63, u'p'));
    EXPECT_EQ(n.process, std::u16string(63, u'p'));
}

// Only A, D and P rules take part; a rule with any other letter is passed over.
TEST_F(NameMatcherTest, OtherMatchTypesNeverMatch) {
    EXPECT_EQ(NameWithRule(u"{p,notepad,Editor}", u"C:\\WINNT\\notepad.exe"), u"notepad");
    EXPECT_EQ(NameWithRule(u"{X,notepad,Editor}", u"C:\\WINNT\\notepad.exe"), u"notepad");
}

// With a load that failed (no default rule), an image that no rule matches is "<err>".
TEST_F(NameMatcherTest, FailedLoadGivesErrorName) {
    ZembrikDb db;
    ASSERT_TRUE(db.IsReady());
    StoreRules({u"{P,notepad,Editor}", u"not a rule", u"{P,calc,Calculator}"});
    EXPECT_EQ(db.LoadRules(kLoadAliasRules), ERROR_INVALID_DATA);
    EXPECT_EQ(Name(db, u"C:\\WINNT\\notepad.exe").process, u"Editor");
    Named n = Name(db, u"C:\\WINNT\\calc.exe");
    EXPECT_EQ(n.process, u"<err>") << "rules after the bad string never loaded";
    EXPECT_EQ(n.image, u"calc.exe");
    EXPECT_EQ(Name(db, u"System").process, u"<err>");
}

// A pattern's environment references are expanded when the list is compiled,
// in any case of the name; an undefined one stays as written.
TEST_F(NameMatcherTest, EnvironmentReferencesInPatterns) {
    ASSERT_TRUE(SetEnvironmentVariableW(u"ZbkAliasDir", u"Tools"));
    ZembrikDb db;
    Load(db, {u"{D,%zbkaliasdir%,<D>-<P>}", u"{A,%ZbkAliasUndefined%,Undef}"});
    EXPECT_EQ(Name(db, u"C:\\tools\\a.exe").process, u"tools-a.exe");
    EXPECT_EQ(Name(db, u"C:\\x\\%ZbkAliasUndefined%\\b.exe").process, u"Undef");
}

// Changing a variable has no effect until the compiled list is rebuilt;
// replacing a rule recompiles that rule.
TEST_F(NameMatcherTest, EnvironmentChangeNeedsRecompileByReplace) {
    ASSERT_TRUE(SetEnvironmentVariableW(u"ZbkAliasDir", u"tools"));
    ZembrikDb db;
    Load(db, {u"{D,%ZbkAliasDir%,dir-<P>}"});
    EXPECT_EQ(Name(db, u"C:\\tools\\a.exe").process, u"dir-a.exe");
    ASSERT_TRUE(SetEnvironmentVariableW(u"ZbkAliasDir", u"bin"));
    EXPECT_EQ(Name(db, u"C:\\tools\\a.exe").process, u"dir-a.exe") << "the old expansion stays";
    EXPECT_EQ(Name(db, u"C:\\bin\\a.exe").process, u"a");

    NameRule same = Rule(u'D', u"%ZbkAliasDir%", u"dir-<P>");
    ASSERT_EQ(db.ReplaceNameRule(&same, 0, db.NameStamp()), ERROR_SUCCESS);
    EXPECT_EQ(Name(db, u"C:\\bin\\a.exe").process, u"dir-a.exe");
    EXPECT_EQ(Name(db, u"C:\\tools\\a.exe").process, u"a");
}

// Inserting a rule drops the compiled list: every rule is expanded anew.
TEST_F(NameMatcherTest, EnvironmentChangeNeedsRecompileByInsert) {
    ASSERT_TRUE(SetEnvironmentVariableW(u"ZbkAliasDir", u"tools"));
    ZembrikDb db;
    Load(db, {u"{D,%ZbkAliasDir%,dir-<P>}"});
    EXPECT_EQ(Name(db, u"C:\\tools\\a.exe").process, u"dir-a.exe");
    ASSERT_TRUE(SetEnvironmentVariableW(u"ZbkAliasDir", u"bin"));
    NameRule other = Rule(u'P', u"unrelated", u"U");
    ASSERT_EQ(db.InsertNameRule(&other, 0, db.NameStamp()), ERROR_SUCCESS);
    EXPECT_EQ(Name(db, u"C:\\bin\\a.exe").process, u"dir-a.exe");
    EXPECT_EQ(Name(db, u"C:\\tools\\a.exe").process, u"a");
    EXPECT_EQ(Name(db, u"C:\\x\\unrelated.exe").process, u"U");
}

// Loading the alias list drops the compiled list too.
TEST_F(NameMatcherTest, EnvironmentChangeNeedsRecompileByLoad) {
    ASSERT_TRUE(SetEnvironmentVariableW(u"ZbkAliasDir", u"tools"));
    ZembrikDb db;
    Load(db, {u"{D,%ZbkAliasDir%,dir-<P>}"});
    EXPECT_EQ(Name(db, u"C:\\tools\\a.exe").process, u"dir-a.exe");
    ASSERT_TRUE(SetEnvironmentVariableW(u"ZbkAliasDir", u"bin"));
    EXPECT_EQ(Name(db, u"C:\\bin\\a.exe").process, u"a");
    ASSERT_EQ(db.LoadRules(kLoadAliasRules), ERROR_SUCCESS);
    EXPECT_EQ(Name(db, u"C:\\bin\\a.exe").process, u"dir-a.exe");
}

// Swapping two rules recompiles both, so the order changes at once.
TEST_F(NameMatcherTest, SwapRecompilesBothRules) {
    ZembrikDb db;
    Load(db, {u"{P,n*,First}", u"{P,note*,Second}"});
    EXPECT_EQ(Name(db, u"C:\\notepad.exe").process, u"First");
    ASSERT_EQ(db.SwapNameRule(0, db.NameStamp()), ERROR_SUCCESS);
    EXPECT_EQ(Name(db, u"C:\\notepad.exe").process, u"Second");
    EXPECT_EQ(Name(db, u"C:\\nano").process, u"First");
}

// An expansion longer than a pattern can hold keeps the text as written
// rather than a cut expansion that would match shorter paths.
TEST_F(NameMatcherTest, OverlongExpansionKeepsTextAsWritten) {
    std::u16string value = u"C:\\" + std::u16string(300, u'a');
    ASSERT_TRUE(SetEnvironmentVariableW(u"ZbkAliasLong", value.c_str()));
    ZembrikDb db;
    Load(db, {u"{A,%ZbkAliasLong%,Long}"});
    // The first 259 units of the expansion are exactly this path.
    EXPECT_EQ(Name(db, u"C:\\" + std::u16string(256, u'a')).process, std::u16string(63, u'a'));
    EXPECT_EQ(Name(db, u"C:\\%ZbkAliasLong%\\x.exe").process, u"Long");
}

// A walk sees the old or the new list, never a half-changed one.
TEST_F(NameMatcherTest, NamingWhileRulesChange) {
    ZembrikDb db;
    Load(db, {u"{P,n*,First}", u"{P,note*,Second}"});
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread namer([&] {
        while (!stop.load()) {
            std::u16string got = Name(db, u"C:\\notepad.exe").process;
            if (got != u"First" && got != u"Second") ++bad;
        }
    });
    for (int i = 0; i < 200; ++i) ASSERT_EQ(db.SwapNameRule(0, db.NameStamp()), ERROR_SUCCESS);
    stop = true;
    namer.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
