// Program resources, module file names and system message texts.
#include <gtest/gtest.h>

#include <climits>
#include <unistd.h>

#include "pal/error.h"
#include "pal/resource.h"
#include "pal/security.h"
#include "pal/strings.h"

namespace {

const PAL_STRING_RESOURCE kStrings[] = {{7, u"seven"}, {8, u"a longer text"}};
const PAL_MESSAGE_RESOURCE kMessages[] = {{0x60000010, u"%1 and %2, 100%% sure.%n\r\n"}};
const VS_FIXEDFILEINFO kFixed = {VS_FFI_SIGNATURE, VS_FFI_STRUCVERSION, 0x00010002, 0x00030004, 0, 0, 0x3F, 0, 0, 0, 0, 0, 0};
const PAL_MODULE_RESOURCES kResources{kStrings, 2, kMessages, 1, &kFixed, 52};

std::u16string SelfPath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf));
    std::u16string w = pal::ToUtf16(std::string(buf, static_cast<size_t>(n)));
    for (auto& c : w)
        if (c == u'/') c = u'\\';
    return w;
}

}  // namespace

// System texts are Windows' texts with their line end; unknown codes fail.
TEST(FormatMessageTest, SystemTexts) {
    WCHAR buf[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, LANG_USER_DEFAULT,
                             buf, 512, nullptr);
    EXPECT_EQ(std::u16string(buf), u"Access is denied.\r\n");
    EXPECT_EQ(n, 19u);
    n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 193, 0, buf, 512, nullptr);
    EXPECT_EQ(std::u16string(buf), u"%1 is not a valid Win32 application.\r\n") << "inserts are kept when ignored";
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0xE0020210, 0, buf, 512, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0, buf, 10, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    LPWSTR allocated = nullptr;
    n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, 1062, 0, reinterpret_cast<LPWSTR>(&allocated), 0, nullptr);
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(std::u16string(allocated, n), u"The service has not been started.\r\n");
    LocalFree(allocated);
}

// The program's message table formats with inserts, %% and %n.
TEST(FormatMessageTest, ModuleMessagesWithInserts) {
    PalSetModuleResources(&kResources);
    WCHAR buf[256];
    const char16_t* args[2] = {u"this", u"that"};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, GetModuleHandleW(nullptr),
                             0x60000010, 0, buf, 256, reinterpret_cast<va_list*>(const_cast<char16_t**>(args)));
    EXPECT_EQ(std::u16string(buf, n), u"this and that, 100% sure.\r\n\r\n");
    std::u16string out;
    LPCWSTR one[1] = {u"only"};
    ASSERT_TRUE(pal::FormatModuleMessage(0x60000010, one, 1, out));
    EXPECT_EQ(out, u"only and %2, 100% sure.\r\n\r\n") << "a missing insert stays as written";
    EXPECT_FALSE(pal::FormatModuleMessage(0x60000011, one, 1, out));
    PalSetModuleResources(nullptr);
}

// LoadString copies with truncation; a missing string leaves the buffer alone.
TEST(ResourceTest, LoadString) {
    PalSetModuleResources(&kResources);
    HMODULE self = GetModuleHandleW(nullptr);
    WCHAR buf[32] = u"untouched";
    EXPECT_EQ(LoadStringW(self, 7, buf, 32), 5);
    EXPECT_EQ(std::u16string(buf), u"seven");
    EXPECT_EQ(LoadStringW(self, 8, buf, 5), 4);
    EXPECT_EQ(std::u16string(buf), u"a lo");
    lstrcpynW(buf, u"untouched", 32);
    SetLastError(0);
    EXPECT_EQ(LoadStringW(self, 9, buf, 32), 0);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(std::u16string(buf), u"untouched");
    PalSetModuleResources(nullptr);
}

// The module file name is the executable's path in Windows form; a short
// buffer is truncated and terminated, and the call says so.
TEST(ResourceTest, ModuleFileName) {
    WCHAR buf[MAX_PATH + 1];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH + 1);
    std::u16string self = SelfPath();
    EXPECT_EQ(std::u16string(buf, n), self);
    EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), buf, MAX_PATH + 1), self.size());
    WCHAR small[5];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(small), self.substr(0, 4));
    EXPECT_EQ(GetModuleHandleW(u"no-such-module.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(ResourceTest, VersionResource) {
    PalSetModuleResources(&kResources);
    std::u16string self = SelfPath();
    DWORD handle = 1;
    DWORD size = GetFileVersionInfoSizeW(self.c_str(), &handle);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(handle, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(self.c_str(), 0, size, block.data()));
    LPVOID root = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), u"\\", &root, &len));
    EXPECT_EQ(len, 52u);
    EXPECT_EQ(static_cast<VS_FIXEDFILEINFO*>(root)->dwFileVersionMS, 0x00010002u);
    EXPECT_FALSE(VerQueryValueW(block.data(), u"\\StringFileInfo\\040904b0\\ProductName", &root, &len));
    EXPECT_EQ(GetFileVersionInfoSizeW(u"\\bin\\sh", &handle), 0u);
    PalSetModuleResources(nullptr);
    EXPECT_EQ(GetFileVersionInfoSizeW(self.c_str(), &handle), 0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
}
