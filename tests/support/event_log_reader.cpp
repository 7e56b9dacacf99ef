#include "support/event_log_reader.h"

#include <cstdlib>
#include <fstream>

#include "pal/json.h"

namespace testsupport {

std::vector<LoggedEvent> ReadEvents(const std::string& root) {
    std::string r = root;
    if (r.empty()) {
        const char* env = getenv("ZEMBRIK_SYSROOT");
        r = env != nullptr ? env : "/var/lib/zembrik";
    }
    std::vector<LoggedEvent> out;
    std::ifstream in(r + "/eventlog/System.log");
    std::string line;
    while (std::getline(in, line)) {
        pal::json::Value v;
        if (!pal::json::Parse(line, v) || v.kind != pal::json::Kind::Object) continue;
        LoggedEvent e;
        if (auto* f = v.Find("id")) e.id = f->text;
        if (auto* f = v.Find("type")) e.type = f->text;
        if (auto* f = v.Find("data")) e.data = f->text;
        if (auto* f = v.Find("message")) e.message = f->text;
        if (auto* f = v.Find("pid")) {
            int64_t p = 0;
            if (f->AsInt64(p)) e.pid = static_cast<long>(p);
        }
        if (auto* f = v.Find("strings"))
            for (auto& s : f->items) e.strings.push_back(s.text);
        out.push_back(e);
    }
    return out;
}

std::vector<LoggedEvent> EventsWithId(const std::string& id, const std::string& root) {
    std::vector<LoggedEvent> out;
    for (auto& e : ReadEvents(root))
        if (e.id == id) out.push_back(e);
    return out;
}

}  // namespace testsupport
