// System information against outside tools, and the OS version check.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "pal/error.h"
#include "pal/registry.h"
#include "pal/sync.h"
#include "pal/sysinfo.h"
#include "support/test_support.h"

namespace {


BOOL CheckDatacenter() {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    info.dwMajorVersion = 5;
    info.wSuiteMask = VER_SUITE_DATACENTER;
    ULONGLONG mask = VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SUITENAME, VER_AND);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_PLATFORMID | VER_SUITENAME, mask);
}

void SetSuite(const WCHAR* multiSz, DWORD bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0, nullptr,
                              0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"ProductSuite", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multiSz), bytes),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace

TEST(SysInfoTest, MatchesOutsideTools) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    EXPECT_EQ(std::to_string(si.dwNumberOfProcessors) + "\n", testsupport::CommandOutput("nproc --all 2>/dev/null || nproc"));
    EXPECT_EQ(std::to_string(si.dwPageSize) + "\n", testsupport::CommandOutput("getconf PAGESIZE"));
    EXPECT_NE(si.dwActiveProcessorMask, 0u);
}

// The own process's affinity is what taskset reports for it.
TEST(SysInfoTest, AffinityMatchesTaskset) {
    DWORD_PTR proc = 0, sys = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &proc, &sys));
    std::string out = testsupport::CommandOutput("taskset -p " + std::to_string(getpid()));
    size_t colon = out.rfind(':');
    ASSERT_NE(colon, std::string::npos) << out;
    unsigned long long mask = std::stoull(out.substr(colon + 1), nullptr, 16);
    EXPECT_EQ(proc, mask);
    EXPECT_EQ(proc & ~sys, 0u) << "the process mask lies within the system mask";
    SetLastError(0);
    EXPECT_FALSE(GetProcessAffinityMask(ULongToHandle(0x1234), &proc, &sys));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

class VersionCheckTest : public testsupport::RootTest {};

// A new root is a Datacenter system; without "DataCenter" in ProductSuite the
// check fails with ERROR_OLD_WIN_VERSION.
TEST_F(VersionCheckTest, DatacenterSuiteFromProductOptions) {
    EXPECT_TRUE(CheckDatacenter());
    const WCHAR other[] = u"Enterprise\0Terminal Server\0";
    SetSuite(other, sizeof(other));
    SetLastError(0);
    EXPECT_FALSE(CheckDatacenter());
    EXPECT_EQ(GetLastError(), ERROR_OLD_WIN_VERSION);
    const WCHAR both[] = u"Enterprise\0datacenter\0";
    SetSuite(both, sizeof(both));
    EXPECT_TRUE(CheckDatacenter()) << "suite names compare without case";
}

TEST_F(VersionCheckTest, VersionComparisons) {
    OSVERSIONINFOEXW info{};
    info.dwMajorVersion = 6;
    ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    EXPECT_FALSE(VerifyVersionInfoW(&info, VER_MAJORVERSION, mask));
    info.dwMajorVersion = 4;
    EXPECT_TRUE(VerifyVersionInfoW(&info, VER_MAJORVERSION, mask));
    info.dwPlatformId = 1;
    mask = VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL);
    EXPECT_FALSE(VerifyVersionInfoW(&info, VER_PLATFORMID, mask));
    SetLastError(0);
    EXPECT_FALSE(VerifyVersionInfoW(&info, 0, mask));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}
