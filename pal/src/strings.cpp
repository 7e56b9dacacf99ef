// UTF-16 text helpers.
// Known gaps: code pages other than UTF-8 are refused; case folding is simple
// upper-casing of the Basic Multilingual Plane (as Windows' object namespace).
#include "pal/strings.h"

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <locale.h>
#include <mutex>

#include "pal/error.h"

namespace {

const WCHAR* UpcaseTable() {
    static WCHAR table[65536];
    static std::once_flag once;
    std::call_once(once, [] {
        locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        for (uint32_t c = 0; c < 65536; ++c) {
            uint32_t up = c;
            if (c >= 'a' && c <= 'z') {
                up = c - 32;
            } else if (c >= 0x80 && loc != static_cast<locale_t>(0) && (c < 0xD800 || c > 0xDFFF)) {
                up = static_cast<uint32_t>(towupper_l(static_cast<wint_t>(c), loc));
                if (up > 0xFFFF) up = c;
            }
            table[c] = static_cast<WCHAR>(up);
        }
        if (loc != static_cast<locale_t>(0)) freelocale(loc);
    });
    return table;
}

}  // namespace

WCHAR PalUpcase(WCHAR c) { return UpcaseTable()[c]; }

int lstrlenW(LPCWSTR s) {
    if (s == nullptr) return 0;
    int n = 0;
    while (s[n] != 0) ++n;
    return n;
}

LPWSTR lstrcpynW(LPWSTR dst, LPCWSTR src, int max) {
    if (dst == nullptr || max <= 0) return dst;
    int i = 0;
    if (src != nullptr) {
        for (; i < max - 1 && src[i] != 0; ++i) dst[i] = src[i];
    }
    dst[i] = 0;
    return dst;
}

int lstrcmpW(LPCWSTR a, LPCWSTR b) {
    if (a == nullptr) a = u"";
    if (b == nullptr) b = u"";
    while (*a != 0 && *a == *b) { ++a; ++b; }
    return (*a < *b) ? -1 : (*a > *b ? 1 : 0);
}

int PalCompareNoCase(LPCWSTR a, LPCWSTR b, int n) {
    if (a == nullptr) a = u"";
    if (b == nullptr) b = u"";
    const WCHAR* up = UpcaseTable();
    for (int i = 0; n < 0 || i < n; ++i) {
        WCHAR ca = up[a[i]];
        WCHAR cb = up[b[i]];
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
    return 0;
}

int lstrcmpiW(LPCWSTR a, LPCWSTR b) { return PalCompareNoCase(a, b, -1); }

HRESULT StringCchCopyNW(LPWSTR dst, size_t cch, LPCWSTR src, size_t maxSrc) {
    if (dst == nullptr || cch == 0) return STRSAFE_E_INVALID_PARAMETER;
    if (src == nullptr) src = u"";
    size_t i = 0;
    for (; i < maxSrc && src[i] != 0; ++i) {
        if (i + 1 >= cch) {
            dst[i] = 0;
            return STRSAFE_E_INSUFFICIENT_BUFFER;
        }
        dst[i] = src[i];
    }
    dst[i] = 0;
    return S_OK;
}

HRESULT StringCchCopyW(LPWSTR dst, size_t cch, LPCWSTR src) {
    return StringCchCopyNW(dst, cch, src, SIZE_MAX);
}

HRESULT StringCchCatW(LPWSTR dst, size_t cch, LPCWSTR src) {
    if (dst == nullptr || cch == 0) return STRSAFE_E_INVALID_PARAMETER;
    size_t len = 0;
    while (len < cch && dst[len] != 0) ++len;
    if (len == cch) return STRSAFE_E_INVALID_PARAMETER;
    return StringCchCopyW(dst + len, cch - len, src);
}

namespace {

// Appends to a bounded UTF-16 buffer; remembers truncation.
struct Out {
    LPWSTR dst;
    size_t cch;
    size_t len = 0;
    bool truncated = false;
    void Put(WCHAR c) {
        if (len + 1 < cch) dst[len++] = c; else truncated = true;
    }
    void PutAscii(const char* s) { for (; *s; ++s) Put(static_cast<WCHAR>(static_cast<unsigned char>(*s))); }
};

}  // namespace

HRESULT StringCchPrintfW(LPWSTR dst, size_t cch, LPCWSTR fmt, ...) {
    if (dst == nullptr || cch == 0 || fmt == nullptr) return STRSAFE_E_INVALID_PARAMETER;
    Out out{dst, cch};
    va_list ap;
    va_start(ap, fmt);
    for (const WCHAR* p = fmt; *p != 0; ++p) {
        if (*p != u'%') { out.Put(*p); continue; }
        ++p;
        if (*p == u'%') { out.Put(u'%'); continue; }
        // Flags, width and precision, copied into a narrow spec.
        char spec[32];
        size_t sl = 0;
        spec[sl++] = '%';
        while (*p == u'-' || *p == u'+' || *p == u' ' || *p == u'#' || *p == u'0') {
            if (sl < 8) spec[sl++] = static_cast<char>(*p);
            ++p;
        }
        int width = -1, precision = -1;
        if (*p == u'*') { width = va_arg(ap, int); ++p; }
        else if (*p >= u'0' && *p <= u'9') { width = 0; while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0'); }
        if (*p == u'.') {
            ++p;
            precision = 0;
            if (*p == u'*') { precision = va_arg(ap, int); ++p; }
            else while (*p >= u'0' && *p <= u'9') precision = precision * 10 + (*p++ - u'0');
        }
        int size = 0;  // 0 int, 1 long, 2 long long, -1 short, -2 narrow string
        if (*p == u'h') { size = -1; ++p; }
        else if (*p == u'l') { size = 1; ++p; if (*p == u'l') { size = 2; ++p; } }
        else if (*p == u'I' && p[1] == u'6' && p[2] == u'4') { size = 2; p += 3; }
        else if (*p == u'z') { size = 1; ++p; }
        WCHAR conv = *p;
        if (conv == 0) break;
        if (conv == u's' || conv == u'S') {
            bool narrow = (conv == u'S') != (size == -1);  // %hs and %S are narrow
            size_t n = 0;
            std::u16string wide;
            const WCHAR* s = nullptr;
            if (narrow) {
                const char* ns = va_arg(ap, const char*);
                wide = pal::ToUtf16(ns ? ns : "(null)");
                s = wide.c_str();
            } else {
                s = va_arg(ap, const WCHAR*);
                if (s == nullptr) s = u"(null)";
            }
            n = static_cast<size_t>(lstrlenW(s));
            if (precision >= 0 && static_cast<size_t>(precision) < n) n = static_cast<size_t>(precision);
            bool left = memchr(spec, '-', sl) != nullptr;
            size_t pad = (width > 0 && static_cast<size_t>(width) > n) ? static_cast<size_t>(width) - n : 0;
            if (!left) for (size_t i = 0; i < pad; ++i) out.Put(u' ');
            for (size_t i = 0; i < n; ++i) out.Put(s[i]);
            if (left) for (size_t i = 0; i < pad; ++i) out.Put(u' ');
            continue;
        }
        if (conv == u'c') {
            out.Put(static_cast<WCHAR>(va_arg(ap, int)));
            continue;
        }
        char tmp[128];
        if (width >= 0) sl += static_cast<size_t>(snprintf(spec + sl, sizeof(spec) - sl, "%d", width));
        if (precision >= 0) sl += static_cast<size_t>(snprintf(spec + sl, sizeof(spec) - sl, ".%d", precision));
        if (conv == u'd' || conv == u'i' || conv == u'u' || conv == u'x' || conv == u'X' || conv == u'o') {
            bool isSigned = conv == u'd' || conv == u'i';
            spec[sl++] = 'l';
            spec[sl++] = 'l';
            spec[sl++] = static_cast<char>(conv);
            spec[sl] = 0;
            if (isSigned) {
                long long v = size == 2 ? va_arg(ap, long long) : size == 1 ? va_arg(ap, long) : va_arg(ap, int);
                if (size == -1) v = static_cast<short>(v);
                snprintf(tmp, sizeof(tmp), spec, v);
            } else {
                unsigned long long v = size == 2 ? va_arg(ap, unsigned long long)
                                     : size == 1 ? va_arg(ap, unsigned long) : va_arg(ap, unsigned int);
                if (size == -1) v = static_cast<unsigned short>(v);
                snprintf(tmp, sizeof(tmp), spec, v);
            }
            out.PutAscii(tmp);
            continue;
        }
        if (conv == u'p') {
            snprintf(tmp, sizeof(tmp), "%p", va_arg(ap, void*));
            out.PutAscii(tmp);
            continue;
        }
        // Unknown conversion: copy it through as text.
        out.Put(u'%');
        out.Put(conv);
    }
    va_end(ap);
    dst[out.len] = 0;
    return out.truncated ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

namespace pal {

std::string ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string ToUtf8(LPCWSTR s) {
    return s == nullptr ? std::string() : ToUtf8(std::u16string_view(s, static_cast<size_t>(lstrlenW(s))));
}

std::u16string ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        uint32_t c = 0xFFFD;
        size_t need = 0;
        uint32_t min = 0;
        if (b < 0x80) { c = b; need = 0; }
        else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; need = 1; min = 0x80; }
        else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; need = 2; min = 0x800; }
        else if ((b & 0xF8) == 0xF0) { c = b & 0x07; need = 3; min = 0x10000; }
        else { out += u'\uFFFD'; ++i; continue; }
        size_t j = 1;
        for (; j <= need; ++j) {
            if (i + j >= s.size() || (static_cast<unsigned char>(s[i + j]) & 0xC0) != 0x80) break;
            c = (c << 6) | (static_cast<unsigned char>(s[i + j]) & 0x3F);
        }
        if (j <= need || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += u'\uFFFD';
            i += j;
            continue;
        }
        i += need + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace pal

int MultiByteToWideChar(UINT cp, DWORD, LPCSTR src, int srcLen, LPWSTR dst, int dstLen) {
    if ((cp != CP_UTF8 && cp != CP_ACP) || src == nullptr || dstLen < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = srcLen < 0 ? strlen(src) + 1 : static_cast<size_t>(srcLen);
    std::u16string w = pal::ToUtf16(std::string_view(src, n));
    if (dstLen == 0) return static_cast<int>(w.size());
    if (w.size() > static_cast<size_t>(dstLen)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(dst, w.data(), w.size() * sizeof(WCHAR));
    return static_cast<int>(w.size());
}

int WideCharToMultiByte(UINT cp, DWORD, LPCWSTR src, int srcLen, LPSTR dst, int dstLen, LPCSTR, LPBOOL usedDef) {
    if ((cp != CP_UTF8 && cp != CP_ACP) || src == nullptr || dstLen < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (usedDef != nullptr) *usedDef = FALSE;
    size_t n = srcLen < 0 ? static_cast<size_t>(lstrlenW(src)) + 1 : static_cast<size_t>(srcLen);
    std::string s = pal::ToUtf8(std::u16string_view(src, n));
    if (dstLen == 0) return static_cast<int>(s.size());
    if (s.size() > static_cast<size_t>(dstLen)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(dst, s.data(), s.size());
    return static_cast<int>(s.size());
}
