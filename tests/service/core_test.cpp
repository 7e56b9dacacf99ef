// ZembrikCore in-process: readiness, service information, stop sequence.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <unistd.h>

#include "common/messages.h"
#include "common/texts.h"
#include "pal/error.h"
#include "pal/sync.h"
#include "pipe/zembrik_user.h"
#include "service/core.h"
#include "support/event_log_reader.h"
#include "support/mediator_support.h"
#include "support/process_runner.h"
#include "support/test_support.h"

class CoreTest : public testsupport::RootTest {
protected:
    void SetUp() override {
        RegisterProgramResources();
        LoadTexts();
    }
    void TearDown() override { testsupport::EndMediator(); }
};

// A core whose threads never ran is torn down without running them.
TEST_F(CoreTest, ReadyAndKilledBeforeRunning) {
    ZembrikCore core;
    ASSERT_TRUE(core.IsReady());
    EXPECT_EQ(core.context.core, &core);
    EXPECT_NE(core.context.mediatorEvent, nullptr);
    HANDLE mgr = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), core.mgrThread, GetCurrentProcess(), &mgr, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    core.KillThreads(1062);
    EXPECT_EQ(core.mgrThread, nullptr);
    EXPECT_EQ(core.userThread, nullptr);
    EXPECT_FALSE(core.IsReady());
    EXPECT_EQ(WaitForSingleObject(mgr, 1000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(mgr, &code);
    EXPECT_EQ(code, 1062u);
    CloseHandle(mgr);
    EXPECT_EQ(core.context.manager, nullptr) << "the manager thread never ran";
}

// The service information carries the build's version, the system figures and
// the settings of the running worker objects.
TEST_F(CoreTest, ServiceInfoOfARunningCore) {
    ZembrikCore core;
    ASSERT_TRUE(core.IsReady());
    std::thread runner([&] { core.Run(); });
    ASSERT_TRUE(testsupport::WaitUntil(10000, [&] {
        return core.context.manager != nullptr && core.context.userServer != nullptr;
    }));
    ServiceInfo info;
    memset(&info, 0xEE, sizeof(info));
    DWORD size = 0, count = 0;
    core.GetServiceInfo(&info, &size, &count);
    EXPECT_EQ(size, 552u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(info.signature, VS_FFI_SIGNATURE);
    EXPECT_EQ(std::u16string(info.fileVersion), std::u16string(core.version->fileVersionText));
    EXPECT_EQ(info.fileVersionMS, core.version->fixedInfo.dwFileVersionMS);
    // The mediator of the same build writes the same version texts.
    ASSERT_TRUE(testsupport::WaitUntil(10000, [&] {
        core.GetServiceInfo(&info, &size, &count);
        return info.mediatorFileVersion[0] != 0;
    }));
    EXPECT_EQ(std::u16string(info.mediatorFileVersion), std::u16string(info.fileVersion));
    EXPECT_EQ(std::u16string(info.mediatorProductVersion), std::u16string(info.productVersion));
    EXPECT_EQ(info.pollSeconds, 60u);
    EXPECT_EQ(info.processorCount, static_cast<DWORD>(sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_EQ(info.pageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(info.pipeTimeOut, 5000u);
    DWORD online = static_cast<DWORD>((1ull << sysconf(_SC_NPROCESSORS_ONLN)) - 1);
    EXPECT_EQ(info.systemAffinity, online);
    for (BYTE b : info.reserved1) EXPECT_EQ(b, 0);
    for (BYTE b : info.reserved2) EXPECT_EQ(b, 0);
    core.Shutdown();
    runner.join();
    EXPECT_EQ(WaitForSingleObject(core.context.mgrDoneEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(core.context.userDoneEvent, 0), WAIT_OBJECT_0);
    core.Shutdown();  // harmless to repeat
}

// A stop during the worker threads' start sleep waits for them and ends.
TEST_F(CoreTest, ShutdownDuringStartSleep) {
    ZembrikCore core;
    ASSERT_TRUE(core.IsReady());
    std::thread runner([&] { core.Run(); });
    Sleep(100);
    core.Shutdown();
    runner.join();
    EXPECT_EQ(core.stopRequested.load(), 1u);
    EXPECT_EQ(WaitForSingleObject(core.mgrThread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(core.userThread, 0), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(core.mgrThread, &code);
    EXPECT_EQ(code, 0u) << "the manager loop ended because of the stop";
}

// The mediator's named event exists while the core holds it.
TEST_F(CoreTest, MediatorEventIsNamedAndShared) {
    {
        ZembrikCore core;
        ASSERT_TRUE(core.IsReady());
        // The mediator the core started holds and waits on the event too.
        testsupport::WaitUntil(5000, [] { return testsupport::MediatorPid() != 0; });
        testsupport::EndMediator();
        HANDLE other = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"ZembrikMD8Evt");
        ASSERT_NE(other, nullptr);
        SetEvent(other);
        EXPECT_EQ(WaitForSingleObject(core.context.mediatorEvent, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(core.context.mediatorEvent, 0), WAIT_TIMEOUT) << "auto-reset";
        CloseHandle(other);
        core.KillThreads(0);
    }
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"ZembrikMD8Evt"), nullptr);
}
