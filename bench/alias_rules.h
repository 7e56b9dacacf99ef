// The 50 alias rules the manager and naming benchmarks load: every tenth
// names one of worker0..worker4, the others name nothing that runs here
// (process, directory and path rules, with and without wildcards and
// markers), so a worker is named after 9 to 49 misses.
#pragma once
#include <cstdio>
#include <string>

#include "wire/rule_records.h"
#include "db/zembrik_db.h"
#include "pal/strings.h"

namespace bench {

constexpr int kAliasRules = 50;

inline std::u16string U16(const std::string& s) { return pal::ToUtf16(s); }

inline std::string Two(int i) {
    char text[16];
    snprintf(text, sizeof(text), "%02d", i);
    return text;
}

// Inserted before the default rule, which always stays last.
inline bool AddAliasRules(ZembrikDb& db) {
    int matching = 0, other = 0;
    for (int i = 0; i < kAliasRules; ++i) {
        NameRule r{};
        std::u16string match, name;
        if (i % 10 == 9) {
            r.matchType = u'P';
            match = U16("worker" + std::to_string(matching));
            name = U16("Wk" + std::to_string(matching));
            ++matching;
        } else {
            std::string n = Two(other);
            switch (other % 4) {
            case 0: r.matchType = u'P'; match = U16("tool" + n); name = U16("Tool" + n); break;
            case 1: r.matchType = u'P'; match = U16("app" + n + "*"); name = u"<P>"; break;
            case 2: r.matchType = u'D'; match = U16("vendor" + n); name = U16("Vendor" + n + "-<P>"); break;
            default: r.matchType = u'A'; match = U16("\\opt\\suite" + n + "\\"); name = U16("Suite" + n); break;
            }
            ++other;
        }
        lstrcpynW(r.match, match.c_str(), 64);
        lstrcpynW(r.name, name.c_str(), 64);
        if (db.InsertNameRule(&r, db.AliasCount() - 1, db.NameStamp()) != 0) return false;
    }
    return true;
}

}  // namespace bench
