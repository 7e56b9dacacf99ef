#include "pal/command_line.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "internal/sys.h"
#include "pal/error.h"
#include "pal/security.h"
#include "pal/strings.h"

namespace {

// One word as the parser reads it back.
std::u16string Quoted(const std::u16string& word) {
    if (!word.empty() && word.find_first_of(u" \t\"") == std::u16string::npos) return word;
    std::u16string out = u"\"";
    size_t backslashes = 0;
    for (char16_t c : word) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        if (c == u'"') out.append(backslashes * 2 + 1, u'\\');
        else out.append(backslashes, u'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, u'\\');
    out += u'"';
    return out;
}

}  // namespace

LPCWSTR GetCommandLineW() {
    static std::u16string line;
    static std::once_flag once;
    std::call_once(once, [] {
        std::string raw;
        pal::ReadWholeFile("/proc/self/cmdline", raw);
        size_t at = 0;
        while (at < raw.size()) {
            size_t end = raw.find('\0', at);
            if (end == std::string::npos) end = raw.size();
            if (!line.empty()) line += u' ';
            line += Quoted(pal::ToUtf16(std::string_view(raw).substr(at, end - at)));
            at = end + 1;
        }
    });
    return line.c_str();
}

LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* count) {
    if (count == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::vector<std::u16string> words;
    const char16_t* p = commandLine != nullptr ? commandLine : u"";
    // The program name: up to a blank, or a quoted run taken whole.
    std::u16string first;
    if (*p == u'"') {
        for (++p; *p != 0 && *p != u'"'; ++p) first += *p;
        if (*p == u'"') ++p;
    } else {
        for (; *p != 0 && *p != u' ' && *p != u'\t'; ++p) first += *p;
    }
    words.push_back(first);
    for (;;) {
        while (*p == u' ' || *p == u'\t') ++p;
        if (*p == 0) break;
        std::u16string w;
        bool inQuotes = false;
        for (; *p != 0 && (inQuotes || (*p != u' ' && *p != u'\t')); ++p) {
            if (*p == u'\\') {
                size_t n = 0;
                while (p[n] == u'\\') ++n;
                if (p[n] == u'"') {
                    w.append(n / 2, u'\\');
                    p += n;
                    if (n % 2 == 1) {
                        w += u'"';
                        continue;
                    }
                    --p;  // the quote is read by the next turn
                    continue;
                }
                w.append(n, u'\\');
                p += n - 1;
                continue;
            }
            if (*p == u'"') {
                if (inQuotes && p[1] == u'"') {
                    w += u'"';
                    ++p;
                } else {
                    inQuotes = !inQuotes;
                }
                continue;
            }
            w += *p;
        }
        words.push_back(w);
    }
    size_t bytes = (words.size() + 1) * sizeof(LPWSTR);
    for (const auto& w : words) bytes += (w.size() + 1) * sizeof(WCHAR);
    auto* block = static_cast<LPWSTR*>(LocalAlloc(LMEM_FIXED, bytes));
    if (block == nullptr) return nullptr;
    auto* text = reinterpret_cast<WCHAR*>(block + words.size() + 1);
    for (size_t i = 0; i < words.size(); ++i) {
        block[i] = text;
        memcpy(text, words[i].c_str(), (words[i].size() + 1) * sizeof(WCHAR));
        text += words[i].size() + 1;
    }
    block[words.size()] = nullptr;
    *count = static_cast<int>(words.size());
    return block;
}
