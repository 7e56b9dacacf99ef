// The message catalogue, the reporting helpers and error texts.
#include <gtest/gtest.h>

#include <cstring>

#include "common/event_log.h"
#include "common/messages.h"
#include "common/texts.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/resource.h"
#include "pal/strings.h"
#include "support/event_log_reader.h"
#include "support/test_support.h"

using testsupport::EventsWithId;
using testsupport::ReadEvents;

class ReportingTest : public testsupport::RootTest {
protected:
    void SetUp() override { RegisterProgramResources(); }
};

// Every catalogue entry formats through the event log with its inserts.
TEST_F(ReportingTest, CatalogueTextsReachTheLog) {
    LPCWSTR s[6] = {u"Zembrik", u"notepad", u"42", u"\\usr\\bin\\sleep", u"NORMAL", u"HIGH"};
    LogEvent(MSG_PROC_PRIORITY_CHANGED, EVENTLOG_INFORMATION_TYPE, 6, s, 0, nullptr);
    auto ev = EventsWithId("0x60000098");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].message,
              "Zembrik has changed the priority for process \"notepad\" (PID 42, image \"\\usr\\bin\\sleep\") "
              "from NORMAL to HIGH.");
    EXPECT_EQ(ev[0].type, "information");
    EXPECT_EQ(ev[0].data, "") << "information events carry no data of their own";
    EXPECT_EQ(ev[0].strings.size(), 6u) << "no error text is appended to information events";
}

// An error event without data carries the thread's last error, even 0, and its text.
TEST_F(ReportingTest, ErrorEventTakesLastError) {
    SetLastError(0);
    LogEvent(MSG_UNSUPPORTED_OS, EVENTLOG_ERROR_TYPE, 1, u"Zembrik", 0, nullptr);
    SetLastError(ERROR_ACCESS_DENIED);
    LogEvent(MSG_UNSUPPORTED_OS, EVENTLOG_ERROR_TYPE, 1, u"Zembrik", 0, nullptr);
    auto ev = EventsWithId("0xE00000B7");
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].data, "00000000");
    ASSERT_EQ(ev[0].strings.size(), 2u);
    EXPECT_EQ(ev[0].strings[1], "The operation completed successfully.");
    EXPECT_EQ(ev[1].data, "05000000");
    EXPECT_EQ(ev[1].strings[1], "Access is denied.");
    // The message shows only its own placeholder.
    EXPECT_EQ(ev[1].message, "For the \"Zembrik\", the only supported OS is Windows 2000 Datacenter Server.");
}

TEST_F(ReportingTest, ApiPidAndAllocErrors) {
    SetLastError(ERROR_INVALID_HANDLE);
    LogApiError(u"ZbInit", u"CreateEvent");
    SetLastError(ERROR_ACCESS_DENIED);
    LogPidError(4294967301ull, u"OpenProcess");
    EXPECT_EQ(LogAllocError(u"AllocZembrikMgrClass", 0x1a8), 0xE00000BDu);
    auto api = EventsWithId("0xE00000B9");
    ASSERT_EQ(api.size(), 2u);
    EXPECT_EQ(api[0].message, "Unexpected Windows 2000 error: operand \"ZbInit\", operation \"CreateEvent\", error "
                              "\"The handle is invalid.\".");
    EXPECT_EQ(api[0].data, "06000000");
    EXPECT_EQ(api[1].strings[0], "PID 4294967301");
    EXPECT_EQ(api[1].data, "05000000") << "the error survives building the operand";
    auto alloc = EventsWithId("0xE00000BD");
    ASSERT_EQ(alloc.size(), 1u);
    EXPECT_EQ(alloc[0].message, "Cannot get requested memory, size is 0x1a8. (\"AllocZembrikMgrClass\").");
    ASSERT_EQ(alloc[0].strings.size(), 3u);
    EXPECT_EQ(alloc[0].strings[2], "Not enough storage is available to process this command.");
    EXPECT_EQ(alloc[0].data, "08000000");
}

// Error texts lose every trailing CR/LF; unknown codes become "0x%lx".
TEST(ErrorTextTest, TrimsLineEndsAndFallsBackToHex) {
    WCHAR buf[1024];
    EXPECT_EQ(std::u16string(ErrorText(5, buf, 1024)), u"Access is denied.");
    EXPECT_EQ(std::u16string(ErrorText(0xE0020210, buf, 1024)), u"0xe0020210");
    WCHAR small[6];
    EXPECT_EQ(std::u16string(ErrorText(0xE0020210, small, 6)), u"0xe00") << "at most size-1 characters";
    // Too small for the system text: the hex form, as FormatMessage fails.
    WCHAR tiny[8];
    EXPECT_EQ(std::u16string(ErrorText(5, tiny, 8)), u"0x5");
}

// Several CR/LF pairs all go; a one-character text stays as it is.
TEST(ErrorTextTest, TrimMessageEnd) {
    WCHAR a[] = u"Done.\r\n\r\n";
    TrimMessageEnd(a, 9);
    EXPECT_EQ(std::u16string(a), u"Done.");
    WCHAR b[] = u"\n";
    TrimMessageEnd(b, 1);
    EXPECT_EQ(std::u16string(b), u"\n");
    WCHAR c[] = u"\r\n\r\n";
    TrimMessageEnd(c, 4);
    EXPECT_EQ(std::u16string(c), u"\r");
}

// The texts are loaded from the string table; a missing string keeps its default.
TEST(TextsTest, LoadTextsKeepsDefaults) {
    PalSetModuleResources(nullptr);
    LoadTexts();
    EXPECT_EQ(std::u16string(g_displayName), u"Zembrik");
    EXPECT_EQ(std::u16string(g_defaultAliasText), u"---Default Alias Rule---");
    RegisterProgramResources();
    LoadTexts();
    EXPECT_EQ(std::u16string(g_serviceDescription), u"Provides control and grouping of running processes.");
    EXPECT_EQ(std::u16string(g_mediatorDisplayName), u"Zembrik Mediator");
    EXPECT_EQ(std::u16string(g_unknownText), u"unknown");
}
