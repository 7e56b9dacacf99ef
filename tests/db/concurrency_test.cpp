// Client-like threads changing rules while others list them and name
// processes: no lost update, no torn list.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "db/zembrik_db.h"
#include "wire/result_codes.h"
#include "tests/db/db_test_support.h"

using namespace dbtest;

class DbConcurrencyTest : public DbTest {};

TEST_F(DbConcurrencyTest, ChangesWhileListingAndNaming) {
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    constexpr int kWriters = 4;
    constexpr int kRules = 25;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> failures{0};

    std::vector<std::thread> writers;
    for (int t = 0; t < kWriters; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kRules; ++i) {
                std::u16string name = u"w" + pal::ToUtf16(std::to_string(t)) + u"_" + pal::ToUtf16(std::to_string(i));
                if (db.AddProcRule(MakeProc(name.c_str(), ApplyPriority, 13).get()) != 0) ++failures;
                // Every other rule goes again.
                if (i % 2 == 1 && db.DeleteProcRule(MakeProc(name.c_str()).get()) != 0) ++failures;
            }
        });
    }
    // Alias changes race on the stamp: a stale answer means re-read and retry.
    std::thread aliases([&] {
        for (int i = 0; i < 20; ++i) {
            NameRule r = MakeAlias(u'P', u"w*", u"<P>");
            for (;;) {
                DWORD rc = db.InsertNameRule(&r, 0, db.NameStamp());
                if (rc == 0) break;
                if (rc != ResultStale) {
                    ++failures;
                    break;
                }
            }
        }
    });
    std::thread reader([&] {
        std::vector<ProcSummary> page(64);
        std::vector<ProcListEntry> merged(64);
        while (!done) {
            ProcSummary key{};
            WORD size = 0, count = 0;
            db.ListProcSummaries(&key, 0, page.data(), 64, &size, &count);
            for (WORD i = 0; i < count; ++i)
                if (page[i].name[0] != u'w' || page[i].mgmt.priority != 13) ++torn;
            ProcListEntry pkey{};
            db.ListProcesses(&pkey, 0, merged.data(), 64, &size, &count);
            for (WORD i = 0; i < count; ++i)
                if (merged[i].name[0] == 0) ++torn;
            WCHAR name[64], image[64];
            db.NameProcess(u"\\usr\\bin\\w_tool", name, image);
            if (std::u16string(name) != u"w_tool") ++torn;
            NameRule rules[64];
            LONG stamp = 0;
            db.ListNameRules(0, rules, 64, &size, &count, &stamp);
            if (count == 0 || rules[count - 1].matchType == 0) ++torn;
        }
    });
    for (auto& w : writers) w.join();
    aliases.join();
    done = true;
    reader.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(torn.load(), 0);

    // Exactly the rules that were kept, in memory and in the registry.
    std::set<std::u16string> expected;
    for (int t = 0; t < kWriters; ++t)
        for (int i = 0; i < kRules; i += 2)
            expected.insert(u"w" + pal::ToUtf16(std::to_string(t)) + u"_" + pal::ToUtf16(std::to_string(i)));
    ASSERT_EQ(db.LoadRules(7), 0u);
    InternalProcDef* defs = nullptr;
    DWORD n = db.GetProcDefs(&defs);
    std::set<std::u16string> got;
    for (DWORD i = 0; i < n; ++i) got.insert(defs[i].name);
    delete[] defs;
    EXPECT_EQ(got, expected);
    EXPECT_EQ(db.AliasCount(), 21u);
}
