#include "client/events_command.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <thread>
#include <utility>

#include "client/output.h"
#include "pal/json.h"
#include "pal/stateroot.h"

namespace zctl {

const char kEventsSummary[] = "show the System event log or the audit log (filter, follow, JSON)";

namespace {

const char kUsage[] =
    "Usage: zembrikctl events [options]\n"
    "\n"
    "Shows the System event log, oldest first: System.log.1 and then System.log\n"
    "in the eventlog folder of the state root ($ZEMBRIK_SYSROOT, default\n"
    "/var/lib/zembrik). One line per event, times in UTC:\n"
    "  2026-12-08 09:00:00 information 0x60000096 Zembrik has started.\n"
    "An error event that carries an error code also shows the code and its text.\n"
    "\n"
    "With --audit, shows the audit log instead: Audit.log.1 and then Audit.log,\n"
    "one line per change a client asked for through the service (rules, aliases,\n"
    "poll interval, restores, kills, mediator control), whatever its result:\n"
    "  2026-12-08 09:00:00 uid 0 pid 4711 add process rule sleeper: success\n"
    "--since, --last, --json and --follow apply to it; --type and --id do not.\n"
    "\n"
    "Options:\n"
    "  --type TYPE    only events of this type: error, warning, information\n"
    "                 (also success, audit_success, audit_failure). Repeatable,\n"
    "                 or a comma list: --type error,warning\n"
    "  --id ID        only events with this identifier. Repeatable or a comma\n"
    "                 list. 0x60000096, 60000096 and E00000B9 are identifiers;\n"
    "                 a decimal number up to 65535 (150) or 0x with up to four\n"
    "                 hex digits (0x96) is the event number, the low 16 bits\n"
    "  --since TIME   only events written at or after TIME, UTC unless it has an\n"
    "                 offset: 2026-12-08, 2026-12-08T09:00, \"2026-12-08 09:00:00\",\n"
    "                 2026-12-08T10:00:00+01:00\n"
    "  --last N       only the last N matching events (with --follow, 0 shows\n"
    "                 only events written from now on)\n"
    "  --json         the matching entries exactly as stored, one JSON object\n"
    "                 per line\n"
    "  --audit        the audit log instead of the System event log\n"
    "  -f, --follow   after the listing, keep showing new events as they are\n"
    "                 written, also across a rotation of the log, until\n"
    "                 interrupted (Ctrl-C)\n"
    "  -h, --help     this text\n"
    "\n"
    "An entry that cannot be read is shown as \"unreadable entry at line N of\n"
    "FILE\" (on standard error with --json) and the listing goes on.\n"
    "With no log yet, \"no events yet (PATH)\" goes to standard error and the\n"
    "exit status is 0; --follow then waits for the first event.\n"
    "Only root and the administrators (group zembrik) may read the logs.\n"
    "Exit status: 0 on success; 1 on a bad option or a log that cannot be read.\n";

// 'e': the descriptor is close-on-exec.
const char kReadMode[] = "rbe";

const char* const kTypes[] = {"error", "warning", "information", "success", "audit_success", "audit_failure"};

// Follow mode ends on SIGINT or SIGTERM with the output complete.
volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

bool Digits(std::string_view s, size_t pos, size_t n, int& value) {
    if (pos + n > s.size()) return false;
    value = 0;
    for (size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Up to 8 hex digits, nothing else.
bool ParseHex32(std::string_view s, uint32_t& out) {
    if (s.empty() || s.size() > 8) return false;
    uint32_t v = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    out = v;
    return true;
}

std::string IdText(uint32_t id) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%08X", id);
    return buf;
}

bool StringMember(const pal::json::Value& v, const char* key, std::string& out) {
    const pal::json::Value* m = v.Find(key);
    if (m == nullptr || m->kind != pal::json::Kind::String) return false;
    out = m->text;
    return true;
}

// The listing: filters entries and prints them, keeping only the tail when
// --last asks for it until Flush.
class Listing {
public:
    Listing(const EventsOptions& options, std::FILE* out, std::FILE* err)
        : options_(options), out_(out), err_(err), buffering_(options.hasLast) {}

    void Add(const LogLine& line) {
        Item item;
        EventRecord event;
        AuditRecord audit;
        if (!line.tooLong && options_.audit && ParseAuditLine(line.text, audit)) {
            if (options_.hasSince && audit.timeMs < options_.sinceMs) return;
            item.text = options_.json ? line.text : FormatAudit(audit);
            item.isEvent = true;
        } else if (!line.tooLong && !options_.audit && ParseEventLine(line.text, event)) {
            if (!EventMatches(options_, event)) return;
            item.text = options_.json ? line.text : FormatEvent(event);
            item.isEvent = true;
        } else {
            // The JSON output stays one object per line; the notice goes aside.
            item.text = "unreadable entry at line " + std::to_string(line.number) + " of " + line.file;
            item.toErr = options_.json;
        }
        if (!buffering_) {
            Print(item);
            return;
        }
        if (item.isEvent) ++keptEvents_;
        kept_.push_back(std::move(item));
        // The window starts at the N-th last event; notices before it go too.
        while (keptEvents_ > options_.last) {
            bool wasEvent = kept_.front().isEvent;
            kept_.pop_front();
            if (wasEvent) {
                --keptEvents_;
                while (!kept_.empty() && !kept_.front().isEvent) kept_.pop_front();
            }
        }
    }

    void Flush() {
        if (buffering_ && options_.last > 0)
            for (const Item& item : kept_) Print(item);
        kept_.clear();
        buffering_ = false;
        std::fflush(out_);
    }

private:
    struct Item {
        std::string text;
        bool isEvent = false;
        bool toErr = false;
    };
    void Print(const Item& item) {
        std::FILE* f = item.toErr ? err_ : out_;
        Write(f, item.text);
        Write(f, "\n");
    }

    const EventsOptions& options_;
    std::FILE* out_;
    std::FILE* err_;
    bool buffering_;
    std::deque<Item> kept_;
    uint64_t keptEvents_ = 0;
};

// Reads everything available now into the listing; false on a read error
// (reported on err).
bool Drain(EventLogReader& reader, Listing& listing, std::FILE* err) {
    std::vector<LogLine> lines;
    for (;;) {
        int error = 0;
        bool more = reader.Read(lines, error);
        for (const LogLine& l : lines) listing.Add(l);
        lines.clear();
        if (error != 0) {
            std::string text = "cannot read " + reader.ErrorPath() + ": " + std::strerror(error);
            if (error == EACCES || error == EPERM)
                text += " (the event log is for root and the administrators, group zembrik)";
            WriteError(err, "events", text);
            return false;
        }
        if (!more) return true;
    }
}

}  // namespace

bool ParseIdFilter(std::string_view text, IdFilter& out) {
    std::string_view s = text;
    bool prefixed = s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    if (prefixed) s.remove_prefix(2);
    if (!prefixed && !s.empty() && s.size() <= 5 && s.find_first_not_of("0123456789") == std::string_view::npos) {
        int v = 0;
        Digits(s, 0, s.size(), v);
        if (v <= 0xFFFF) {
            out.value = static_cast<uint32_t>(v);
            out.eventNumber = true;
            return true;
        }
    }
    uint32_t v = 0;
    if (!ParseHex32(s, v)) return false;
    out.value = v;
    out.eventNumber = s.size() <= 4;
    return true;
}

bool ParseIsoTime(std::string_view s, int64_t& ms) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
    if (!Digits(s, 0, 4, year) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, month) || s[7] != '-' ||
        !Digits(s, 8, 2, day))
        return false;
    size_t p = 10;
    if (p < s.size() && (s[p] == 'T' || s[p] == 't' || s[p] == ' ')) {
        if (!Digits(s, p + 1, 2, hour) || p + 3 >= s.size() || s[p + 3] != ':' || !Digits(s, p + 4, 2, minute))
            return false;
        p += 6;
        if (p < s.size() && s[p] == ':') {
            if (!Digits(s, p + 1, 2, second)) return false;
            p += 3;
            if (p < s.size() && (s[p] == '.' || s[p] == ',')) {
                size_t start = ++p;
                int scale = 100;
                for (; p < s.size() && s[p] >= '0' && s[p] <= '9'; ++p) {
                    milli += (s[p] - '0') * scale;
                    scale /= 10;
                }
                if (p == start) return false;
            }
        }
    }
    int64_t offsetMinutes = 0;
    if (p < s.size() && (s[p] == 'Z' || s[p] == 'z')) {
        ++p;
    } else if (p < s.size() && (s[p] == '+' || s[p] == '-')) {
        int sign = s[p] == '-' ? -1 : 1;
        int oh = 0, om = 0;
        if (!Digits(s, p + 1, 2, oh)) return false;
        p += 3;
        if (p < s.size() && s[p] == ':') ++p;
        if (!Digits(s, p, 2, om) || oh > 23 || om > 59) return false;
        p += 2;
        offsetMinutes = sign * (oh * 60 + om);
    }
    if (p != s.size() || hour > 23 || minute > 59 || second > 59) return false;
    std::chrono::year_month_day ymd{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                    std::chrono::day{static_cast<unsigned>(day)}};
    if (!ymd.ok()) return false;
    int64_t days = std::chrono::sys_days{ymd}.time_since_epoch().count();
    int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second - offsetMinutes * 60;
    ms = seconds * 1000 + milli;
    return true;
}

std::string FormatUtcTime(int64_t ms) {
    int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    int64_t rest = seconds - days * 86400;
    std::chrono::year_month_day ymd{std::chrono::sys_days{std::chrono::days{days}}};
    char buf[48];
    std::snprintf(buf, sizeof(buf), "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), static_cast<int>(rest / 3600),
                  static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return buf;
}

bool ParseEventsOptions(const std::vector<std::string>& args, EventsOptions& out, std::string& error) {
    out = EventsOptions{};
    ArgScanner scan(args);
    while (!scan.Done()) {
        std::string name, inlineValue, value;
        bool hasInline = false;
        scan.Next(name, inlineValue, hasInline);
        bool isFlag = name == "--json" || name == "--audit" || name == "--follow" || name == "-f" ||
                      name == "--help" || name == "-h";
        if (isFlag) {
            if (hasInline) {
                error = "option " + name + " takes no value";
                return false;
            }
            if (name == "--json") out.json = true;
            else if (name == "--audit") out.audit = true;
            else if (name == "--follow" || name == "-f") out.follow = true;
            else out.help = true;
            continue;
        }
        bool takesValue = name == "--type" || name == "--id" || name == "--since" || name == "--last" ||
                          name == "--follow-for";
        if (!takesValue) {
            error = name.rfind("-", 0) == 0 ? "unknown option '" + name + "'" : "unexpected argument '" + name + "'";
            return false;
        }
        if (!scan.Value(inlineValue, hasInline, value)) {
            error = "option " + name + " needs a value";
            return false;
        }
        if (name == "--type") {
            std::vector<std::string> items = SplitList(value);
            if (items.empty()) {
                error = "option --type needs a value";
                return false;
            }
            for (const std::string& item : items) {
                std::string t = ToLowerAscii(item);
                bool known = false;
                for (const char* k : kTypes) known = known || t == k;
                if (!known) {
                    error = "unknown event type '" + item +
                            "' (error, warning, information, success, audit_success, audit_failure)";
                    return false;
                }
                out.types.push_back(t);
            }
        } else if (name == "--id") {
            std::vector<std::string> items = SplitList(value);
            if (items.empty()) {
                error = "option --id needs a value";
                return false;
            }
            for (const std::string& item : items) {
                IdFilter f;
                if (!ParseIdFilter(item, f)) {
                    error = "'" + item + "' is not an event identifier (0x60000096, 60000096, or the event number 150)";
                    return false;
                }
                out.ids.push_back(f);
            }
        } else if (name == "--since") {
            if (!ParseIsoTime(value, out.sinceMs)) {
                error = "'" + value + "' is not a time (2026-12-08, 2026-12-08T09:00:00, 2026-12-08T09:00:00Z)";
                return false;
            }
            out.hasSince = true;
        } else {
            // --last and --follow-for: whole numbers.
            uint64_t n = 0;
            bool ok = !value.empty() && value.size() <= 18;
            for (char c : value) {
                ok = ok && c >= '0' && c <= '9';
                if (ok) n = n * 10 + static_cast<uint64_t>(c - '0');
            }
            if (!ok) {
                error = "option " + name + " needs a whole number, not '" + value + "'";
                return false;
            }
            if (name == "--last") {
                out.hasLast = true;
                out.last = n;
            } else {
                out.followForMs = static_cast<int64_t>(n);
                out.follow = true;
            }
        }
    }
    if (out.audit && (!out.types.empty() || !out.ids.empty())) {
        error = "--type and --id do not apply to --audit";
        return false;
    }
    return true;
}

bool ParseEventLine(std::string_view line, EventRecord& out) {
    pal::json::Value v;
    if (!pal::json::Parse(line, v) || v.kind != pal::json::Kind::Object) return false;
    std::string time, id;
    if (!StringMember(v, "time", time) || !ParseIsoTime(time, out.timeMs)) return false;
    if (!StringMember(v, "id", id) || id.size() < 3 || id[0] != '0' || (id[1] != 'x' && id[1] != 'X') ||
        !ParseHex32(std::string_view(id).substr(2), out.id))
        return false;
    if (!StringMember(v, "type", out.type) || out.type.empty()) return false;
    out.source.clear();
    out.data.clear();
    out.message.clear();
    out.strings.clear();
    StringMember(v, "source", out.source);
    StringMember(v, "data", out.data);
    StringMember(v, "message", out.message);
    if (const pal::json::Value* s = v.Find("strings"); s != nullptr && s->kind == pal::json::Kind::Array)
        for (const pal::json::Value& item : s->items)
            out.strings.push_back(item.kind == pal::json::Kind::String ? item.text : pal::json::Serialize(item));
    return true;
}

bool EventMatches(const EventsOptions& options, const EventRecord& event) {
    if (!options.types.empty()) {
        std::string t = ToLowerAscii(event.type);
        bool any = false;
        for (const std::string& want : options.types) any = any || want == t;
        if (!any) return false;
    }
    if (!options.ids.empty()) {
        bool any = false;
        for (const IdFilter& f : options.ids)
            any = any || (f.eventNumber ? (event.id & 0xFFFF) == f.value : event.id == f.value);
        if (!any) return false;
    }
    return !options.hasSince || event.timeMs >= options.sinceMs;
}

bool ParseAuditLine(std::string_view line, AuditRecord& out) {
    pal::json::Value v;
    if (!pal::json::Parse(line, v) || v.kind != pal::json::Kind::Object) return false;
    std::string time;
    if (!StringMember(v, "time", time) || !ParseIsoTime(time, out.timeMs)) return false;
    const pal::json::Value* uid = v.Find("uid");
    const pal::json::Value* pid = v.Find("pid");
    const pal::json::Value* result = v.Find("result");
    if (uid == nullptr || !uid->AsInt64(out.uid) || pid == nullptr || !pid->AsInt64(out.pid) || result == nullptr ||
        !result->AsInt64(out.result))
        return false;
    if (!StringMember(v, "request", out.request) || out.request.empty()) return false;
    out.name.clear();
    out.detail.clear();
    out.resultText.clear();
    StringMember(v, "name", out.name);
    StringMember(v, "detail", out.detail);
    StringMember(v, "resultText", out.resultText);
    return true;
}

std::string FormatAudit(const AuditRecord& record) {
    std::string line = FormatUtcTime(record.timeMs) + " uid " + std::to_string(record.uid) + " pid " +
                       std::to_string(record.pid) + " " + OneLine(record.request);
    if (!record.name.empty()) line += " " + OneLine(record.name);
    if (!record.detail.empty()) line += " (" + OneLine(record.detail) + ")";
    if (record.result == 0) return line + ": success";
    std::string why = record.resultText.empty() ? "result " + std::to_string(record.result) : record.resultText;
    return line + ": failed (" + OneLine(why) + ")";
}

std::string FormatEvent(const EventRecord& event) {
    std::string line = FormatUtcTime(event.timeMs) + " " + OneLine(event.type) + " " + IdText(event.id);
    if (!event.message.empty()) line += " " + OneLine(event.message);
    // The reporting layer stores an error event's code as 4 little-endian
    // bytes and its text as the last insert.
    uint32_t b[4];
    bool hasCode = event.type == "error" && event.data.size() == 8;
    for (int i = 0; hasCode && i < 4; ++i) {
        int hi = HexDigit(event.data[2 * i]), lo = HexDigit(event.data[2 * i + 1]);
        hasCode = hi >= 0 && lo >= 0;
        b[i] = static_cast<uint32_t>(hi * 16 + lo);
    }
    if (hasCode && !event.strings.empty() && !event.strings.back().empty() &&
        event.message.find(event.strings.back()) == std::string::npos) {
        uint32_t code = b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24;
        line += " (error " + std::to_string(code) + ": " + OneLine(event.strings.back()) + ")";
    }
    return line;
}

EventLogReader::EventLogReader(const std::string& directory, const std::string& file)
    : olderFile_(file + ".1"),
      currentFile_(file),
      olderPath_(directory + "/" + olderFile_),
      currentPath_(directory + "/" + currentFile_) {}

bool EventLogReader::Read(std::vector<LogLine>& out, int& error) {
    error = 0;
    return readingOlder_ ? ReadOlder(out, error) : ReadCurrent(out, error);
}

// System.log.1 gets no more lines: read it to its end, then System.log from its start.
bool EventLogReader::ReadOlder(std::vector<LogLine>& out, int& error) {
    std::FILE* f = std::fopen(olderPath_.c_str(), kReadMode);
    size_t n = 0;
    if (f == nullptr) {
        if (errno != ENOENT) {
            error = errno;
            errorPath_ = olderPath_;
        }
    } else {
        found_ = true;
        buffer_.resize(kChunkBytes);
        if (std::fseek(f, static_cast<long>(cursor_.offset), SEEK_SET) == 0)
            n = std::fread(buffer_.data(), 1, buffer_.size(), f);
        if (std::ferror(f)) {
            error = errno;
            errorPath_ = olderPath_;
        }
        std::fclose(f);
        Take(buffer_.data(), n, olderFile_.c_str(), out);
    }
    if (n < kChunkBytes) {
        FlushPartial(olderFile_.c_str(), out);
        cursor_ = Cursor{};
        readingOlder_ = false;
    }
    return error == 0;
}

bool EventLogReader::ReadCurrent(std::vector<LogLine>& out, int& error) {
    std::FILE* f = std::fopen(currentPath_.c_str(), kReadMode);
    if (f == nullptr) {
        if (errno != ENOENT) {
            error = errno;
            errorPath_ = currentPath_;
            return false;
        }
        // Gone after we read from it: rotated, the new file not made yet.
        if (cursor_.offset > 0) return ContinueInOlder();
        return false;
    }
    found_ = true;
    bool replaced = false;
    if (cursor_.offset > 0) {
        long size = std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : -1;
        std::string head(cursor_.firstBytes.size(), '\0');
        size_t got = std::fseek(f, 0, SEEK_SET) == 0 ? std::fread(head.data(), 1, head.size(), f) : 0;
        replaced = size < static_cast<long>(cursor_.offset) || got != head.size() || head != cursor_.firstBytes;
    }
    if (replaced) {
        std::fclose(f);
        return ContinueInOlder();
    }
    buffer_.resize(kChunkBytes);
    size_t n = 0;
    if (std::fseek(f, static_cast<long>(cursor_.offset), SEEK_SET) == 0)
        n = std::fread(buffer_.data(), 1, buffer_.size(), f);
    if (std::ferror(f)) {
        error = errno;
        errorPath_ = currentPath_;
    }
    std::fclose(f);
    Take(buffer_.data(), n, currentFile_.c_str(), out);
    return error == 0 && n == kChunkBytes;
}

bool EventLogReader::ContinueInOlder() {
    std::FILE* f = std::fopen(olderPath_.c_str(), kReadMode);
    bool ours = false;
    if (f != nullptr) {
        std::string head(cursor_.firstBytes.size(), '\0');
        size_t got = std::fread(head.data(), 1, head.size(), f);
        long size = std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : -1;
        ours = got == head.size() && head == cursor_.firstBytes && size >= static_cast<long>(cursor_.offset);
        std::fclose(f);
    }
    // Not ours: rotated twice between two looks, or removed; what we had not
    // read of it is gone, so start over with the new file.
    if (ours) readingOlder_ = true;
    else cursor_ = Cursor{};
    return true;
}

void EventLogReader::Take(const char* data, size_t n, const char* file, std::vector<LogLine>& out) {
    constexpr size_t kFirstBytes = 256;
    // Remember how the file starts, up to its first line end.
    if (cursor_.firstBytes.size() == cursor_.offset && cursor_.firstBytes.size() < kFirstBytes &&
        cursor_.firstBytes.find('\n') == std::string::npos) {
        std::string_view chunk(data, n);
        size_t end = chunk.find('\n');
        size_t take = end == std::string_view::npos ? n : end + 1;
        take = std::min(take, kFirstBytes - cursor_.firstBytes.size());
        cursor_.firstBytes.append(data, take);
    }
    cursor_.offset += n;
    size_t start = 0;
    for (;;) {
        const void* nl = n > start ? std::memchr(data + start, '\n', n - start) : nullptr;
        if (nl == nullptr) break;
        size_t end = static_cast<size_t>(static_cast<const char*>(nl) - data);
        if (cursor_.skipping) {
            cursor_.skipping = false;
        } else {
            cursor_.partial.append(data + start, end - start);
            Emit(std::move(cursor_.partial), file, out);
            cursor_.partial.clear();
        }
        start = end + 1;
    }
    if (cursor_.skipping) return;
    cursor_.partial.append(data + start, n - start);
    if (cursor_.partial.size() > kMaxLineBytes) {
        Emit(std::move(cursor_.partial), file, out);
        cursor_.partial.clear();
        cursor_.skipping = true;
    }
}

void EventLogReader::Emit(std::string text, const char* file, std::vector<LogLine>& out) {
    LogLine line;
    line.number = ++cursor_.lines;
    line.file = file;
    line.tooLong = text.size() > kMaxLineBytes;
    if (line.tooLong) text.resize(80);
    line.text = std::move(text);
    out.push_back(std::move(line));
}

void EventLogReader::FlushPartial(const char* file, std::vector<LogLine>& out) {
    if (!cursor_.partial.empty() && !cursor_.skipping) Emit(std::move(cursor_.partial), file, out);
    cursor_.partial.clear();
    cursor_.skipping = false;
}

void EventLogReader::Finish(std::vector<LogLine>& out) {
    if (!readingOlder_) FlushPartial(currentFile_.c_str(), out);
}

int RunEventsCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    EventsOptions options;
    std::string error;
    if (!ParseEventsOptions(args, options, error)) {
        WriteError(err, "events", error);
        Write(err, "Run 'zembrikctl events --help' for the options.\n");
        return 1;
    }
    if (options.help) {
        Write(out, kUsage);
        return 0;
    }
    std::string directory = PalStateRootPath() + "/eventlog";
    std::string file = options.audit ? "Audit.log" : "System.log";
    EventLogReader reader(directory, file);
    Listing listing(options, out, err);
    bool ok = Drain(reader, listing, err);
    if (ok && !options.follow) {
        std::vector<LogLine> rest;
        reader.Finish(rest);
        for (const LogLine& l : rest) listing.Add(l);
    }
    listing.Flush();
    if (!ok) return 1;
    if (!reader.Found()) Write(err, "no events yet (" + directory + "/" + file + ")\n");
    if (!options.follow) return 0;

    g_interrupted = 0;
    auto oldInt = std::signal(SIGINT, OnInterrupt);
    auto oldTerm = std::signal(SIGTERM, OnInterrupt);
    using Clock = std::chrono::steady_clock;
    const auto poll = std::chrono::milliseconds(200);
    const Clock::time_point end = options.followForMs >= 0
                                      ? Clock::now() + std::chrono::milliseconds(options.followForMs)
                                      : Clock::time_point::max();
    while (ok && g_interrupted == 0) {
        Clock::time_point now = Clock::now();
        if (now >= end) break;
        std::this_thread::sleep_for(end - now < poll ? end - now : poll);
        ok = Drain(reader, listing, err);
        std::fflush(out);
    }
    if (oldInt != SIG_ERR) std::signal(SIGINT, oldInt);
    if (oldTerm != SIG_ERR) std::signal(SIGTERM, oldTerm);
    return ok ? 0 : 1;
}

}  // namespace zctl
