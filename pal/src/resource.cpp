// Program resources, module handles and message formatting.
#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

#include <string>

#include "internal/system_messages.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/resource.h"
#include "pal/security.h"
#include "pal/strings.h"

namespace pal {
namespace {

// The program's module: the image base a Windows executable would have.
HMODULE const kSelf = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));
PAL_MODULE_RESOURCES g_resources{};

// A version block as GetFileVersionInfo hands it out.
struct VersionBlock {
    DWORD magic;
    DWORD fixedLength;
    VS_FIXEDFILEINFO fixed;
};
constexpr DWORD kVersionMagic = 0x5256425A;  // "ZBVR"

std::string SelfPath() {
    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<size_t>(n));
}

std::u16string SelfWindowsPath() {
    std::u16string w = ToUtf16(SelfPath());
    for (auto& c : w)
        if (c == u'/') c = u'\\';
    return w;
}

bool IsSelf(HMODULE m) { return m == nullptr || m == kSelf; }

bool IsSelfFile(LPCWSTR file) {
    if (file == nullptr) return false;
    std::u16string f(file);
    for (auto& c : f)
        if (c == u'/') c = u'\\';
    return lstrcmpiW(f.c_str(), SelfWindowsPath().c_str()) == 0;
}

// Replaces %1..%99 from the inserts; %% is a percent, %n a line end, %r a CR,
// %0 ends the text. Inserts past `count` are left as written.
void Expand(const char16_t* text, const LPCWSTR* inserts, size_t count, bool ignoreInserts, std::u16string& out) {
    for (const char16_t* p = text; *p != 0; ++p) {
        if (*p != u'%') { out += *p; continue; }
        char16_t c = p[1];
        if (c >= u'1' && c <= u'9' && !ignoreInserts) {
            size_t n = static_cast<size_t>(c - u'0');
            const char16_t* q = p + 2;
            if (*q >= u'0' && *q <= u'9') { n = n * 10 + static_cast<size_t>(*q - u'0'); ++q; }
            // Skip a printf-style format part "!s!"; every insert here is a string.
            if (*q == u'!') {
                const char16_t* e = q + 1;
                while (*e != 0 && *e != u'!') ++e;
                if (*e == u'!') q = e + 1;
            }
            if (n <= count && inserts != nullptr && inserts[n - 1] != nullptr) out += inserts[n - 1];
            else out.append(p, static_cast<size_t>(q - p));
            p = q - 1;
        } else if (c == u'%' && !ignoreInserts) { out += u'%'; ++p; }
        else if (c == u'n' && !ignoreInserts) { out += u"\r\n"; ++p; }
        else if (c == u'r' && !ignoreInserts) { out += u'\r'; ++p; }
        else if (c == u'0' && !ignoreInserts) { return; }
        else { out += *p; }
    }
}

const char16_t* FindModuleMessage(DWORD id) {
    for (size_t i = 0; i < g_resources.messageCount; ++i)
        if (g_resources.messages[i].id == id) return g_resources.messages[i].text;
    return nullptr;
}

}  // namespace

bool FormatModuleMessage(DWORD id, const LPCWSTR* inserts, size_t count, std::u16string& out) {
    const char16_t* text = FindModuleMessage(id);
    if (text == nullptr) return false;
    out.clear();
    Expand(text, inserts, count, false, out);
    return true;
}

}  // namespace pal

void PalSetModuleResources(const PAL_MODULE_RESOURCES* resources) {
    pal::g_resources = resources != nullptr ? *resources : PAL_MODULE_RESOURCES{};
}

HMODULE GetModuleHandleW(LPCWSTR name) {
    if (name == nullptr) return pal::kSelf;
    std::u16string self = pal::SelfWindowsPath();
    size_t slash = self.find_last_of(u'\\');
    std::u16string base = slash == std::u16string::npos ? self : self.substr(slash + 1);
    std::u16string want(name);
    if (lstrcmpiW(want.c_str(), base.c_str()) == 0 || lstrcmpiW(want.c_str(), (base + u".exe").c_str()) == 0 ||
        pal::IsSelfFile(name))
        return pal::kSelf;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    if (!pal::IsSelf(module)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::u16string path = pal::SelfWindowsPath();
    if (path.empty()) {
        pal::SetLastErrno();
        return 0;
    }
    if (buffer == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        // As Windows: truncated, terminated, the full size returned.
        memcpy(buffer, path.data(), (size - 1) * sizeof(WCHAR));
        buffer[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(buffer, path.data(), path.size() * sizeof(WCHAR));
    buffer[path.size()] = 0;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) {
    if (!pal::IsSelf(instance)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    if (buffer == nullptr || bufferMax <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (size_t i = 0; i < pal::g_resources.stringCount; ++i) {
        if (pal::g_resources.strings[i].id != id) continue;
        lstrcpynW(buffer, pal::g_resources.strings[i].text, bufferMax);
        return lstrlenW(buffer);
    }
    // As Windows: the buffer is left as it was.
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
}

DWORD GetFileVersionInfoSizeW(LPCWSTR file, LPDWORD handle) {
    if (handle != nullptr) *handle = 0;
    if (!pal::IsSelfFile(file)) {
        SetLastError(file == nullptr ? ERROR_INVALID_PARAMETER : ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    if (pal::g_resources.version == nullptr) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return 0;
    }
    return sizeof(pal::VersionBlock);
}

BOOL GetFileVersionInfoW(LPCWSTR file, DWORD, DWORD length, LPVOID data) {
    if (data == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD need = GetFileVersionInfoSizeW(file, nullptr);
    if (need == 0) return FALSE;
    if (length < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    pal::VersionBlock block{pal::kVersionMagic, pal::g_resources.versionLength, *pal::g_resources.version};
    memcpy(data, &block, sizeof(block));
    return TRUE;
}

BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length) {
    if (block == nullptr || subBlock == nullptr || buffer == nullptr || length == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* b = static_cast<const pal::VersionBlock*>(block);
    if (b->magic != pal::kVersionMagic || lstrcmpW(subBlock, u"\\") != 0) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    *buffer = const_cast<VS_FIXEDFILEINFO*>(&b->fixed);
    *length = b->fixedLength;
    return TRUE;
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD, LPWSTR buffer, DWORD size,
                     va_list* arguments) {
    const char16_t* text = nullptr;
    if ((flags & FORMAT_MESSAGE_FROM_STRING) != 0) {
        text = static_cast<const char16_t*>(source);
    } else {
        if ((flags & FORMAT_MESSAGE_FROM_HMODULE) != 0 && pal::IsSelf(static_cast<HMODULE>(const_cast<void*>(source))))
            text = pal::FindModuleMessage(messageId);
        if (text == nullptr && (flags & FORMAT_MESSAGE_FROM_SYSTEM) != 0) text = pal::SystemMessageText(messageId);
    }
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    bool ignore = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    if (!ignore && arguments != nullptr && (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) == 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    const LPCWSTR* inserts = reinterpret_cast<const LPCWSTR*>(arguments);
    std::u16string out;
    pal::Expand(text, inserts, inserts != nullptr ? 99 : 0, ignore, out);
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        if (buffer == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        size_t bytes = (out.size() + 1 > size ? out.size() + 1 : size) * sizeof(WCHAR);
        auto* mem = static_cast<LPWSTR>(LocalAlloc(LMEM_ZEROINIT, bytes));
        if (mem == nullptr) return 0;
        memcpy(mem, out.data(), out.size() * sizeof(WCHAR));
        *reinterpret_cast<LPWSTR*>(buffer) = mem;
        return static_cast<DWORD>(out.size());
    }
    if (buffer == nullptr || out.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(buffer, out.data(), out.size() * sizeof(WCHAR));
    buffer[out.size()] = 0;
    return static_cast<DWORD>(out.size());
}
