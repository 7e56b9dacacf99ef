// zembrikctl events: the System event log of the state root, or with --audit
// its audit log, filtered, as text for people or as the stored JSON lines,
// optionally followed.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace zctl {

extern const char kEventsSummary[];

// An --id value: the full identifier, or for values up to 0xFFFF the event
// number (the identifier's low 16 bits, as event viewers show it).
struct IdFilter {
    uint32_t value = 0;
    bool eventNumber = false;
};
// "0x60000096", "60000096", "E00000B9", "150", "0x96". Without 0x, a decimal
// number up to 65535 is an event number; anything else is hexadecimal.
bool ParseIdFilter(std::string_view text, IdFilter& out);

// ISO 8601 date and time, UTC unless it carries an offset: "2026-12-08",
// "2026-12-08T09:00", "2026-12-08 09:00:00.250Z", "2026-12-08T10:00:00+01:00".
// Gives milliseconds since 1970-01-01 UTC.
bool ParseIsoTime(std::string_view text, int64_t& ms);
// "2026-12-08 09:00:00" for milliseconds since 1970-01-01 UTC.
std::string FormatUtcTime(int64_t ms);

struct EventsOptions {
    std::vector<std::string> types;  // lower case; empty: every type
    std::vector<IdFilter> ids;       // empty: every identifier
    bool hasSince = false;
    int64_t sinceMs = 0;
    bool hasLast = false;
    uint64_t last = 0;
    bool json = false;
    bool audit = false;  // the audit log instead of the System log
    bool follow = false;
    int64_t followForMs = -1;  // hidden --follow-for: stop following after this long
    bool help = false;
};
// False with a one-line reason on a bad argument.
bool ParseEventsOptions(const std::vector<std::string>& args, EventsOptions& out, std::string& error);

// One stored entry, as far as the viewer needs it.
struct EventRecord {
    int64_t timeMs = 0;
    std::string type;
    uint32_t id = 0;
    std::string source;
    std::vector<std::string> strings;
    std::string data;  // hex
    std::string message;
};
// False unless the line is a JSON object with a readable time, id and type.
bool ParseEventLine(std::string_view line, EventRecord& out);
bool EventMatches(const EventsOptions& options, const EventRecord& event);
// "2026-12-08 09:00:00 information 0x60000096 Zembrik has started." An error
// event whose data is an error code also shows the code and its text (the
// last insert) when the message does not already hold that text.
std::string FormatEvent(const EventRecord& event);

// One audit record, as far as the viewer needs it.
struct AuditRecord {
    int64_t timeMs = 0;
    int64_t uid = -1;
    int64_t pid = -1;
    std::string request;
    std::string name;
    std::string detail;
    int64_t result = 0;
    std::string resultText;
};
// False unless the line is a JSON object with a readable time, uid, pid,
// request and result.
bool ParseAuditLine(std::string_view line, AuditRecord& out);
// "2026-12-08 09:00:00 uid 0 pid 4711 add process rule sleeper (group Batch):
// success", or for a refused change "...: failed (not found)".
std::string FormatAudit(const AuditRecord& record);

// One line of a log file.
struct LogLine {
    std::string text;      // without the line end
    const char* file = "";  // "System.log.1" or "System.log" (or the audit log's)
    uint64_t number = 0;   // 1-based within that file
    bool tooLong = false;  // longer than kMaxLineBytes; text holds only its start
};

// Reads System.log.1 and then System.log of a log directory (or another log
// of it: Audit.log), and afterwards whatever is appended to System.log, across
// rotations: when System.log is replaced, the rest of the file we were reading
// is taken from System.log.1 before the new file is read from its start.
class EventLogReader {
public:
    static constexpr size_t kChunkBytes = 256 * 1024;
    static constexpr size_t kMaxLineBytes = 1024 * 1024;

    explicit EventLogReader(const std::string& directory, const std::string& file = "System.log");
    // Appends the complete lines read since the last call (about kChunkBytes
    // at most). Returns true while more may be ready at once. error gets 0,
    // or the errno value for ErrorPath(), a file that exists but cannot be read.
    bool Read(std::vector<LogLine>& out, int& error);
    // End of a one-shot listing: a last line without its line end counts.
    void Finish(std::vector<LogLine>& out);
    // Whether a log file has been seen.
    bool Found() const { return found_; }
    const std::string& ErrorPath() const { return errorPath_; }

private:
    struct Cursor {
        uint64_t offset = 0;
        uint64_t lines = 0;
        std::string partial;     // bytes of a line whose end has not been read yet
        bool skipping = false;   // inside an overlong line, already reported
        std::string firstBytes;  // start of the file: tells whether it was replaced
    };
    bool ReadOlder(std::vector<LogLine>& out, int& error);
    bool ReadCurrent(std::vector<LogLine>& out, int& error);
    // After System.log was replaced: continue in System.log.1 when it is our file.
    bool ContinueInOlder();
    void Take(const char* data, size_t n, const char* file, std::vector<LogLine>& out);
    void Emit(std::string text, const char* file, std::vector<LogLine>& out);
    void FlushPartial(const char* file, std::vector<LogLine>& out);

    std::string olderFile_;
    std::string currentFile_;
    std::string olderPath_;
    std::string currentPath_;
    std::string errorPath_;
    std::string buffer_;
    bool readingOlder_ = true;
    bool found_ = false;
    Cursor cursor_;
};

// zembrikctl events [options]; the exit status.
int RunEventsCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace zctl
