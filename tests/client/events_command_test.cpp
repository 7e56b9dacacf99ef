// zembrikctl events: arguments, entries, the listing over a real event log,
// following the log across rotation, and the program itself.
#include <gtest/gtest.h>

#include "client/ctl_runner.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "client/events_command.h"
#include "common/event_log.h"
#include "common/messages.h"
#include "internal/eventlog_config.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/json.h"
#include "pal/stateroot.h"
#include "support/process_runner.h"
#include "support/test_support.h"

using testsupport::ReadText;
using testsupport::WriteText;
using zctl::EventsOptions;
using zctl::IdFilter;

namespace {

constexpr int64_t kDec8 = 1796688000000;  // 2026-12-08T00:00:00Z

std::string Entry(const std::string& time, const std::string& type, const std::string& id,
                  const std::string& message, const std::vector<std::string>& strings = {},
                  const std::string& data = "") {
    std::string line = "{\"time\":\"" + time + "\",\"source\":\"Zembrik\",\"id\":\"" + id + "\",\"type\":\"" + type +
                       "\",\"category\":0,\"strings\":[";
    for (size_t i = 0; i < strings.size(); ++i) {
        if (i > 0) line += ",";
        pal::json::Quote(line, strings[i]);
    }
    line += "],\"data\":\"" + data + "\",\"message\":";
    pal::json::Quote(line, message);
    return line + ",\"pid\":42}";
}

std::string LogDir() { return PalStateRootPath() + "/eventlog"; }

void WriteLog(const std::string& name, const std::string& text) {
    std::filesystem::create_directories(LogDir());
    WriteText(LogDir() + "/" + name, text);
}

void AppendLog(const std::string& name, const std::string& text) {
    std::FILE* f = std::fopen((LogDir() + "/" + name).c_str(), "ab");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

using ctltest::ReadAll;

using ctltest::Result;

// The command in this process, its output captured.
Result RunEvents(const std::vector<std::string>& args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Result r;
    if (out == nullptr || err == nullptr) return r;
    r.status = zctl::RunEventsCommand(args, out, err);
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Reads until the reader has nothing more right now.
std::vector<zctl::LogLine> ReadAvailable(zctl::EventLogReader& reader) {
    std::vector<zctl::LogLine> lines;
    int error = 0;
    while (reader.Read(lines, error)) EXPECT_EQ(error, 0);
    EXPECT_EQ(error, 0);
    return lines;
}

}  // namespace

// An id is a full identifier, or with up to four hex digits / a decimal up to 65535 an event number.
TEST(EventsArgumentsTest, IdForms) {
    IdFilter f;
    ASSERT_TRUE(zctl::ParseIdFilter("0x60000096", f));
    EXPECT_EQ(f.value, 0x60000096u);
    EXPECT_FALSE(f.eventNumber);
    ASSERT_TRUE(zctl::ParseIdFilter("0Xe00000b9", f));
    EXPECT_EQ(f.value, 0xE00000B9u);
    ASSERT_TRUE(zctl::ParseIdFilter("60000096", f)) << "eight digits without 0x are hexadecimal";
    EXPECT_EQ(f.value, 0x60000096u);
    EXPECT_FALSE(f.eventNumber);
    ASSERT_TRUE(zctl::ParseIdFilter("E00000B9", f));
    EXPECT_EQ(f.value, 0xE00000B9u);
    ASSERT_TRUE(zctl::ParseIdFilter("150", f));
    EXPECT_EQ(f.value, 150u);
    EXPECT_TRUE(f.eventNumber);
    ASSERT_TRUE(zctl::ParseIdFilter("0x96", f));
    EXPECT_EQ(f.value, 150u);
    EXPECT_TRUE(f.eventNumber);
    for (const char* bad : {"", "0x", "0x123456789", "12g", "-150", "0x60000096 "})
        EXPECT_FALSE(zctl::ParseIdFilter(bad, f)) << bad;
}

// Times are UTC unless they carry an offset; impossible dates are refused.
TEST(EventsArgumentsTest, TimeForms) {
    int64_t ms = 0;
    ASSERT_TRUE(zctl::ParseIsoTime("2026-12-08", ms));
    EXPECT_EQ(ms, kDec8);
    ASSERT_TRUE(zctl::ParseIsoTime("2026-12-08T09:00", ms));
    EXPECT_EQ(ms, kDec8 + 9 * 3600000);
    ASSERT_TRUE(zctl::ParseIsoTime("2026-12-08 09:00:05.25Z", ms));
    EXPECT_EQ(ms, kDec8 + 9 * 3600000 + 5250);
    ASSERT_TRUE(zctl::ParseIsoTime("2026-12-08T10:30:00+01:30", ms));
    EXPECT_EQ(ms, kDec8 + 9 * 3600000);
    ASSERT_TRUE(zctl::ParseIsoTime("2026-12-07T23:00:00-0100", ms));
    EXPECT_EQ(ms, kDec8);
    for (const char* bad : {"2026-13-01", "2026-02-29", "2026-12-08T24:00", "2026-12-08T09", "2026-12-08X",
                            "26-12-08", "2026-12-08T09:00:00.", "yesterday"})
        EXPECT_FALSE(zctl::ParseIsoTime(bad, ms)) << bad;
    EXPECT_EQ(zctl::FormatUtcTime(kDec8 + 9 * 3600000 + 5999), "2026-12-08 09:00:05");
    EXPECT_EQ(zctl::FormatUtcTime(-1000), "1969-12-31 23:59:59");
}

// Filters repeat or take comma lists; every bad argument is refused with a reason.
TEST(EventsArgumentsTest, OptionsAndTheirErrors) {
    EventsOptions o;
    std::string error;
    ASSERT_TRUE(zctl::ParseEventsOptions({"--type", "error,WARNING", "--type=information", "--id", "150,0xE00000B9",
                                          "--id=60000097", "--since", "2026-12-08", "--last", "5", "--json", "-f"},
                                         o, error))
        << error;
    EXPECT_EQ(o.types, (std::vector<std::string>{"error", "warning", "information"}));
    ASSERT_EQ(o.ids.size(), 3u);
    EXPECT_TRUE(o.ids[0].eventNumber);
    EXPECT_EQ(o.ids[2].value, 0x60000097u);
    EXPECT_TRUE(o.hasSince);
    EXPECT_EQ(o.sinceMs, kDec8);
    EXPECT_TRUE(o.hasLast);
    EXPECT_EQ(o.last, 5u);
    EXPECT_TRUE(o.json);
    EXPECT_TRUE(o.follow);
    EXPECT_EQ(o.followForMs, -1);

    struct Bad {
        std::vector<std::string> args;
        const char* reason;
    };
    for (const Bad& b : std::vector<Bad>{{{"--type", "fatal"}, "unknown event type 'fatal'"},
                                         {{"--type", ","}, "--type needs a value"},
                                         {{"--id"}, "--id needs a value"},
                                         {{"--id", "0xZZ"}, "'0xZZ' is not an event identifier"},
                                         {{"--since", "tomorrow"}, "'tomorrow' is not a time"},
                                         {{"--last", "-3"}, "needs a whole number"},
                                         {{"--json=yes"}, "takes no value"},
                                         {{"--color"}, "unknown option '--color'"},
                                         {{"stray"}, "unexpected argument 'stray'"}}) {
        EXPECT_FALSE(zctl::ParseEventsOptions(b.args, o, error)) << b.reason;
        EXPECT_NE(error.find(b.reason), std::string::npos) << error;
    }
}

// Only an object with a readable time, id and type is an entry.
TEST(EventEntryTest, ParseNeedsTimeIdAndType) {
    zctl::EventRecord r;
    ASSERT_TRUE(zctl::ParseEventLine(Entry("2026-12-08T09:00:00.123Z", "warning", "0x600000CA", "m"), r));
    EXPECT_EQ(r.timeMs, kDec8 + 9 * 3600000 + 123);
    EXPECT_EQ(r.id, 0x600000CAu);
    EXPECT_EQ(r.type, "warning");
    EXPECT_FALSE(zctl::ParseEventLine("[1,2]", r));
    EXPECT_FALSE(zctl::ParseEventLine("{\"time\":\"2026-12-08T09:00:00Z\",\"type\":\"error\"}", r));
    EXPECT_FALSE(zctl::ParseEventLine(Entry("2026-12-08T09:00:00Z", "error", "96", "m"), r));
    EXPECT_FALSE(zctl::ParseEventLine(Entry("today", "error", "0x60000096", "m"), r));
    EXPECT_FALSE(zctl::ParseEventLine(Entry("2026-12-08T09:00:00Z", "", "0x60000096", "m"), r));
    EXPECT_FALSE(zctl::ParseEventLine("{\"time\":\"2026-12-08T09:00:00Z\",", r));
}

// One line per event; an error code's text is added only when the message lacks it.
TEST(EventEntryTest, FormatIsOneReadableLine) {
    zctl::EventRecord r;
    ASSERT_TRUE(zctl::ParseEventLine(
        Entry("2026-12-08T09:00:00.999Z", "information", "0x60000096", "Zembrik has started."), r));
    EXPECT_EQ(zctl::FormatEvent(r), "2026-12-08 09:00:00 information 0x60000096 Zembrik has started.");

    ASSERT_TRUE(zctl::ParseEventLine(Entry("2026-12-08T09:00:01Z", "error", "0xE00000B7", "Only Datacenter.",
                                           {"Zembrik", "Access is denied."}, "05000000"),
                                     r));
    EXPECT_EQ(zctl::FormatEvent(r),
              "2026-12-08 09:00:01 error 0xE00000B7 Only Datacenter. (error 5: Access is denied.)");

    ASSERT_TRUE(zctl::ParseEventLine(Entry("2026-12-08T09:00:01Z", "error", "0xE00000B9",
                                           "operation \"x\", error \"The handle is invalid.\".",
                                           {"a", "x", "The handle is invalid."}, "06000000"),
                                     r));
    EXPECT_EQ(zctl::FormatEvent(r).find("(error"), std::string::npos) << "the text is in the message already";

    ASSERT_TRUE(zctl::ParseEventLine(
        Entry("2026-12-08T09:00:02Z", "warning", "0x600000CA", "two\r\nlines\x1b[31m red"), r));
    EXPECT_EQ(zctl::FormatEvent(r), "2026-12-08 09:00:02 warning 0x600000CA two  lines [31m red")
        << "line ends and terminal escapes never reach the output";
}

class EventsCommandTest : public testsupport::RootTest {
protected:
    void SetUp() override {
        RegisterProgramResources();
        older_ = {Entry("2026-12-08T08:00:00.000Z", "information", "0x60000096", "Zembrik has started."),
                  Entry("2026-12-08T08:30:00.000Z", "error", "0xE00000B7", "Only Datacenter.",
                        {"Zembrik", "Access is denied."}, "05000000")};
        current_ = {Entry("2026-12-08T09:00:00.000Z", "warning", "0x600000CA", "Group time limit hit."),
                    Entry("2026-12-08T09:30:00.000Z", "information", "0x60000097", "Zembrik has stopped.")};
        WriteLog("System.log.1", older_[0] + "\n" + older_[1] + "\n");
        WriteLog("System.log", current_[0] + "\n" + current_[1] + "\n");
    }
    std::vector<std::string> older_;
    std::vector<std::string> current_;
};

// The rotated file comes first, so the listing is oldest first across a rotation.
TEST_F(EventsCommandTest, ListsOlderFileFirst) {
    Result r = RunEvents({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{
                                "2026-12-08 08:00:00 information 0x60000096 Zembrik has started.",
                                "2026-12-08 08:30:00 error 0xE00000B7 Only Datacenter. (error 5: Access is denied.)",
                                "2026-12-08 09:00:00 warning 0x600000CA Group time limit hit.",
                                "2026-12-08 09:30:00 information 0x60000097 Zembrik has stopped.",
                            }));
}

// --json prints the stored lines unchanged; filters combine with AND.
TEST_F(EventsCommandTest, FiltersAndJson) {
    Result r = RunEvents({"--json", "--type", "information"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, older_[0] + "\n" + current_[1] + "\n");

    r = RunEvents({"--json", "--id", "0xE00000B7,202"});
    EXPECT_EQ(r.out, older_[1] + "\n" + current_[0] + "\n") << "202 is the event number of 0x600000CA";

    r = RunEvents({"--json", "--since", "2026-12-08T08:30:00Z", "--type", "information,warning"});
    EXPECT_EQ(r.out, current_[0] + "\n" + current_[1] + "\n");

    r = RunEvents({"--json", "--since", "2026-12-08T10:00:00+01:00", "--id", "60000097"});
    EXPECT_EQ(r.out, current_[1] + "\n");

    r = RunEvents({"--json", "--last", "3", "--type", "information,error"});
    EXPECT_EQ(r.out, older_[0] + "\n" + older_[1] + "\n" + current_[1] + "\n") << "fewer matches than N: all of them";
    r = RunEvents({"--json", "--last", "2"});
    EXPECT_EQ(r.out, current_[0] + "\n" + current_[1] + "\n");
    r = RunEvents({"--last", "0"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
}

// A malformed entry is reported by its line and the listing goes on; the JSON output stays clean.
TEST_F(EventsCommandTest, UnreadableEntryNeverStopsTheListing) {
    WriteLog("System.log", current_[0] + "\n{\"time\":\"2026-12-\n" + "not json at all\n" + current_[1]);
    Result r = RunEvents({});
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[3], "unreadable entry at line 2 of System.log");
    EXPECT_EQ(lines[4], "unreadable entry at line 3 of System.log");
    EXPECT_EQ(lines[5], "2026-12-08 09:30:00 information 0x60000097 Zembrik has stopped.")
        << "a last line without its line end still counts";

    r = RunEvents({"--json"});
    EXPECT_EQ(r.out, older_[0] + "\n" + older_[1] + "\n" + current_[0] + "\n" + current_[1] + "\n");
    EXPECT_EQ(r.err, "unreadable entry at line 2 of System.log\nunreadable entry at line 3 of System.log\n");

    // With --last the notices before the window go with the events before it.
    r = RunEvents({"--last", "1"});
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"2026-12-08 09:30:00 information 0x60000097 Zembrik has stopped."}));
    r = RunEvents({"--last", "2"});
    EXPECT_EQ(Lines(r.out).size(), 4u) << r.out;
}

// No log yet is not an error; a log that cannot be read is.
TEST_F(EventsCommandTest, MissingAndUnreadableLog) {
    std::filesystem::remove(LogDir() + "/System.log");
    std::filesystem::remove(LogDir() + "/System.log.1");
    Result r = RunEvents({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "no events yet (" + LogDir() + "/System.log)\n");

    std::filesystem::create_directories(LogDir() + "/System.log");
    r = RunEvents({});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read " + LogDir() + "/System.log: "), std::string::npos) << r.err;
}

// Entries written through the real reporting path list as the administrator expects.
TEST_F(EventsCommandTest, EntriesFromTheReportingPath) {
    std::filesystem::remove(LogDir() + "/System.log");
    std::filesystem::remove(LogDir() + "/System.log.1");
    LogEvent(MSG_SERVICE_STARTED, EVENTLOG_INFORMATION_TYPE, 1, u"Zembrik", 0, nullptr);
    SetLastError(ERROR_ACCESS_DENIED);
    LogEvent(MSG_UNSUPPORTED_OS, EVENTLOG_ERROR_TYPE, 1, u"Zembrik", 0, nullptr);
    Result r = RunEvents({});
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    // "YYYY-MM-DD HH:MM:SS " and then the rest.
    ASSERT_GT(lines[0].size(), 20u);
    for (size_t i = 0; i < 19; ++i)
        EXPECT_EQ(std::string("dddd-dd-dd dd:dd:dd").substr(i, 1) == "d", lines[0][i] >= '0' && lines[0][i] <= '9')
            << lines[0];
    EXPECT_EQ(lines[0].substr(19), " information 0x60000096 Zembrik has started.");
    EXPECT_NE(lines[1].find(" error 0xE00000B7 "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("(error 5: Access is denied.)"), std::string::npos) << lines[1];
}

// A line is handed out only once its line end has been written.
TEST_F(EventsCommandTest, ReaderHoldsBackAnUnfinishedLine) {
    zctl::EventLogReader reader(LogDir());
    EXPECT_EQ(ReadAvailable(reader).size(), 4u);
    AppendLog("System.log", current_[0].substr(0, 30));
    EXPECT_TRUE(ReadAvailable(reader).empty());
    AppendLog("System.log", current_[0].substr(30) + "\n");
    std::vector<zctl::LogLine> lines = ReadAvailable(reader);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, current_[0]);
    EXPECT_EQ(lines[0].number, 3u);
    EXPECT_STREQ(lines[0].file, "System.log");
}

// An overlong line costs one notice and bounded memory, not the rest of the log.
TEST_F(EventsCommandTest, ReaderSkipsAnOverlongLine) {
    WriteLog("System.log", std::string(zctl::EventLogReader::kMaxLineBytes + 300000, 'x') + "\n" + current_[1] + "\n");
    zctl::EventLogReader reader(LogDir());
    std::vector<zctl::LogLine> lines = ReadAvailable(reader);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[2].tooLong);
    EXPECT_LE(lines[2].text.size(), 80u);
    EXPECT_EQ(lines[3].text, current_[1]);
    EXPECT_EQ(lines[3].number, 2u);
}

// Following across real rotations hands out every event once, in order, whether
// the new file is still shorter than what was read of the old one or has outgrown it.
TEST_F(EventsCommandTest, ReaderFollowsAcrossRotation) {
    std::filesystem::remove(LogDir() + "/System.log");
    std::filesystem::remove(LogDir() + "/System.log.1");
    zctl::EventLogReader reader(LogDir());
    EXPECT_TRUE(ReadAvailable(reader).empty());
    EXPECT_FALSE(reader.Found());
    int written = 0;
    auto write = [&](size_t count) {
        for (size_t i = 0; i < count; ++i, ++written) {
            std::string name = "n" + std::to_string(10 + written);
            std::u16string wide(name.begin(), name.end());
            LogEvent(MSG_SERVICE_STARTED, EVENTLOG_INFORMATION_TYPE, 1, wide.c_str(), 0, nullptr);
        }
    };
    std::vector<std::string> seen;
    auto look = [&] {
        for (const zctl::LogLine& l : ReadAvailable(reader)) {
            zctl::EventRecord r;
            ASSERT_TRUE(zctl::ParseEventLine(l.text, r)) << l.text;
            seen.push_back(r.message.substr(0, 3));
        }
    };
    write(1);
    const size_t lineBytes = std::filesystem::file_size(LogDir() + "/System.log");
    constexpr size_t kPerFile = 4;
    pal::SetEventLogRotateBytes(lineBytes * kPerFile + lineBytes / 2);
    for (int round = 0; round < 8; ++round) {
        look();
        std::string current = ReadText(LogDir() + "/System.log");
        size_t lines = static_cast<size_t>(std::count(current.begin(), current.end(), '\n'));
        ASSERT_GE(lines, 1u);
        // Each batch rotates once: even rounds leave the new file longer than
        // the part already read, odd rounds leave it shorter or as long.
        write(round % 2 == 0 ? kPerFile + 1 : kPerFile - lines + 1);
    }
    look();
    pal::SetEventLogRotateBytes(16ull * 1024 * 1024);
    EXPECT_TRUE(reader.Found());
    ASSERT_EQ(seen.size(), static_cast<size_t>(written));
    for (int i = 0; i < written; ++i) EXPECT_EQ(seen[i], "n" + std::to_string(10 + i));
}

#ifdef ZEMBRIKCTL_PATH
namespace {

class ProgramTest : public EventsCommandTest {
protected:
    // The scratch folder beside the state root, removed with it.
    std::string Scratch() const { return root_.path().substr(0, root_.path().size() - 5); }

    // Runs zembrikctl to its end (killed after 30 s); its exit code and output.
    Result Run(const std::vector<std::string>& args) { return ctltest::RunProgram(ZEMBRIKCTL_PATH, args, Scratch()); }
};

}  // namespace

// The program lists, refuses what it does not know with status 1, and helps.
TEST_F(ProgramTest, ExitStatusAndOutput) {
    Result r = Run({"events", "--type", "warning"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "2026-12-08 09:00:00 warning 0x600000CA Group time limit hit.\n");

    r = Run({"frobnicate"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unknown command 'frobnicate'"), std::string::npos) << r.err;
    r = Run({"events", "--colour"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unknown option '--colour'"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    r = Run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Usage: zembrikctl"), std::string::npos);

    r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\n  events "), std::string::npos) << r.out;
    r = Run({"help", "events"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--follow"), std::string::npos);
    EXPECT_NE(r.out.find("UTC"), std::string::npos);

    r = Run({"events", "--follow-for", "300", "--last", "1"});
    EXPECT_EQ(r.status, 0) << "a bounded follow ends by itself";
    EXPECT_EQ(r.out, "2026-12-08 09:30:00 information 0x60000097 Zembrik has stopped.\n");
}

// An administrator (uid 65534 in the group zembrik) lists the log; an
// outsider is told why it cannot.
TEST_F(ProgramTest, OnlyAdministratorsReadTheLog) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to take on other users";
    testsupport::AdminGroup admins;
    if (admins.gid() < 0) GTEST_SKIP() << "no group 'zembrik' (the administrators' group) and none can be made";
    testsupport::OpenRootToOthers(root_.path());
    // A write through the layer gives the folder and its files their modes.
    LogEvent(MSG_SERVICE_STARTED, EVENTLOG_INFORMATION_TYPE, 1, u"Zembrik", 0, nullptr);
    auto as = [&](const std::string& groups) {
        return ctltest::RunProgram("/usr/bin/setpriv",
                                   {"--reuid=65534", "--regid=65534", groups, ZEMBRIKCTL_PATH, "events", "--last", "2"},
                                   Scratch());
    };
    Result r = as("--groups=" + std::to_string(admins.gid()));
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out << r.err;
    EXPECT_EQ(lines[0], "2026-12-08 09:30:00 information 0x60000097 Zembrik has stopped.");
    EXPECT_NE(lines[1].find(" information 0x60000096 Zembrik has started."), std::string::npos) << lines[1];

    r = as("--clear-groups");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Permission denied (the event log is for root and the administrators, group zembrik)"),
              std::string::npos)
        << r.err;
}

// --follow shows events written later, across a rotation, and ends cleanly on SIGINT.
TEST_F(ProgramTest, FollowSeesNewEventsUntilInterrupted) {
    testsupport::ChildProcess child;
    ASSERT_TRUE(child.Start(ZEMBRIKCTL_PATH, {"events", "--follow", "--last", "1"}, {}, Scratch()));
    auto shows = [&](const char* text) {
        return testsupport::WaitUntil(10000, [&] { return child.Stdout().find(text) != std::string::npos; });
    };
    EXPECT_TRUE(shows("Zembrik has stopped."));
    pal::SetEventLogRotateBytes(700);
    for (const char16_t* name : {u"first", u"second", u"third", u"fourth"})
        LogEvent(MSG_SERVICE_STARTED, EVENTLOG_INFORMATION_TYPE, 1, name, 0, nullptr);
    pal::SetEventLogRotateBytes(16ull * 1024 * 1024);
    EXPECT_TRUE(shows("fourth has started.")) << child.Stdout();
    EXPECT_TRUE(std::filesystem::exists(LogDir() + "/System.log.1"));
    child.Signal(SIGINT);
    ASSERT_TRUE(child.WaitExit(10000));
    EXPECT_TRUE(WIFEXITED(child.exitStatus()) && WEXITSTATUS(child.exitStatus()) == 0)
        << "status " << child.exitStatus();
    std::vector<std::string> lines = Lines(child.Stdout());
    ASSERT_EQ(lines.size(), 5u) << child.Stdout();
    EXPECT_NE(lines[1].find("first has started."), std::string::npos);
    EXPECT_NE(lines[4].find("fourth has started."), std::string::npos);
}
#endif
