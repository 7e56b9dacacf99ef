// The process environment, read from and written to the C library's environ.
// Known gaps: Linux allows names that differ only in case; lookups take the
// first match in environ. The 32K limit of an expansion is not enforced.
#include "pal/environment.h"

#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <unistd.h>

#include "pal/error.h"
#include "pal/strings.h"

namespace pal {
namespace {

// Serialises the layer's own readers and writers of environ: setenv may
// move the array while another thread walks it.
std::mutex& EnvLock() {
    static std::mutex lock;
    return lock;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (PalUpcase(a[i]) != PalUpcase(b[i])) return false;
    }
    return true;
}

// The first entry of environ whose name equals `name` in any case; its
// spelled name and value. Caller holds EnvLock().
bool FindVariable(std::u16string_view name, std::string* spelled, std::u16string* value) {
    if (name.empty()) return false;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string_view entry(*e);
        // A leading '=' belongs to the name, as in Windows' hidden drive variables.
        size_t eq = entry.find('=', 1);
        if (eq == std::string_view::npos) continue;
        std::string_view n = entry.substr(0, eq);
        if (!SameName(ToUtf16(n), name)) continue;
        if (spelled != nullptr) spelled->assign(n);
        if (value != nullptr) *value = ToUtf16(entry.substr(eq + 1));
        return true;
    }
    return false;
}

// Expands src into out. An undefined %NAME% is copied whole and the scan
// goes on after its closing '%', so "%UNDEF%PATH%" stays "%UNDEF%PATH%";
// a '%' without a closing one is copied with the rest of the text.
void Expand(LPCWSTR src, std::u16string& out) {
    std::lock_guard<std::mutex> hold(EnvLock());
    const WCHAR* p = src;
    while (*p != 0) {
        if (*p != u'%') {
            out += *p++;
            continue;
        }
        const WCHAR* close = p + 1;
        while (*close != 0 && *close != u'%') ++close;
        if (*close == 0) {
            out += p;
            break;
        }
        std::u16string value;
        if (FindVariable(std::u16string_view(p + 1, static_cast<size_t>(close - p - 1)), nullptr, &value)) {
            out += value;
        } else {
            out.append(p, static_cast<size_t>(close - p + 1));
        }
        p = close + 1;
    }
}

DWORD InternalGetVariable(LPCWSTR name, std::u16string& value) {
    if (name == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(EnvLock());
    if (!FindVariable(name, nullptr, &value)) return ERROR_ENVVAR_NOT_FOUND;
    return ERROR_SUCCESS;
}

DWORD InternalSetVariable(LPCWSTR name, LPCWSTR value) {
    if (name == nullptr || name[0] == 0) return ERROR_INVALID_PARAMETER;
    for (const WCHAR* p = name; *p != 0; ++p) {
        if (*p == u'=') return ERROR_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> hold(EnvLock());
    // One variable per name in any case: the old spelling goes, the
    // caller's spelling stays.
    std::string old;
    if (FindVariable(name, &old, nullptr) && unsetenv(old.c_str()) != 0) return ERROR_NOT_ENOUGH_MEMORY;
    if (value == nullptr) return ERROR_SUCCESS;
    if (setenv(ToUtf8(name).c_str(), ToUtf8(value).c_str(), 1) != 0) return ERROR_NOT_ENOUGH_MEMORY;
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace pal

DWORD ExpandEnvironmentStringsW(LPCWSTR src, LPWSTR dst, DWORD size) {
    if (src == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string out;
    pal::Expand(src, out);
    if (dst != nullptr && size > 0) {
        size_t n = out.size() < size ? out.size() : size - 1;
        out.copy(dst, n);
        dst[n] = 0;
    }
    return static_cast<DWORD>(out.size() + 1);
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
    std::u16string value;
    DWORD rc = pal::InternalGetVariable(name, value);
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return 0;
    }
    if (buffer == nullptr || value.size() >= size) return static_cast<DWORD>(value.size() + 1);
    value.copy(buffer, value.size());
    buffer[value.size()] = 0;
    return static_cast<DWORD>(value.size());
}

BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
    DWORD rc = pal::InternalSetVariable(name, value);
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return FALSE;
    }
    return TRUE;
}
