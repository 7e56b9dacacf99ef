// The terminal of a client view: mode, size, keys and text width.
#include "pal/console.h"

#include <cerrno>
#include <clocale>
#include <cwchar>
#include <locale.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "internal/sys.h"
#include "pal/error.h"

namespace {

int StreamFd(DWORD stream) { return stream == PAL_CONSOLE_OUTPUT ? STDOUT_FILENO : STDIN_FILENO; }

struct SavedMode {
    bool saved = false;
    struct termios mode {};
};
SavedMode g_saved;

// wcwidth follows LC_CTYPE; the width of UTF-8 must not depend on the
// caller's locale, so it is read under a UTF-8 one of this thread's own.
locale_t Utf8Locale() {
    static locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        return l;
    }();
    return loc;
}

}  // namespace

BOOL PalIsConsole(DWORD stream) { return isatty(StreamFd(stream)) ? TRUE : FALSE; }

BOOL PalGetConsoleSize(WORD* columns, WORD* rows) {
    if (columns == nullptr || rows == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct winsize ws {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0) {
        SetLastError(pal::ErrnoToWin32(errno));
        return FALSE;
    }
    if (ws.ws_col == 0 || ws.ws_row == 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    *columns = ws.ws_col;
    *rows = ws.ws_row;
    return TRUE;
}

BOOL PalSetConsoleRawInput(BOOL raw) {
    if (!raw) {
        if (!g_saved.saved) return TRUE;
        if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved.mode) != 0) {
            SetLastError(pal::ErrnoToWin32(errno));
            return FALSE;
        }
        return TRUE;
    }
    struct termios now {};
    if (tcgetattr(STDIN_FILENO, &now) != 0) {
        SetLastError(pal::ErrnoToWin32(errno));
        return FALSE;
    }
    if (!g_saved.saved) {
        g_saved.mode = now;
        g_saved.saved = true;
    }
    // Keys one at a time, unechoed; Ctrl-C still interrupts.
    now.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    now.c_cc[VMIN] = 1;
    now.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &now) != 0) {
        SetLastError(pal::ErrnoToWin32(errno));
        return FALSE;
    }
    return TRUE;
}

int PalReadConsoleKey(DWORD timeoutMs) {
    struct pollfd p {STDIN_FILENO, POLLIN, 0};
    int n = poll(&p, 1, timeoutMs > 0x7FFFFFFF ? -1 : static_cast<int>(timeoutMs));
    if (n <= 0) return PAL_CONSOLE_NO_KEY;
    unsigned char c = 0;
    ssize_t got = read(STDIN_FILENO, &c, 1);
    if (got == 1) return c;
    if (got == 0 || (p.revents & (POLLHUP | POLLERR)) != 0) return PAL_CONSOLE_END;
    return PAL_CONSOLE_NO_KEY;
}

size_t PalDisplayWidth(std::string_view utf8) {
    locale_t loc = Utf8Locale();
    locale_t old = loc != static_cast<locale_t>(0) ? uselocale(loc) : static_cast<locale_t>(0);
    size_t width = 0;
    std::mbstate_t state{};
    size_t i = 0;
    while (i < utf8.size()) {
        wchar_t wc = 0;
        size_t n = loc != static_cast<locale_t>(0) ? std::mbrtowc(&wc, utf8.data() + i, utf8.size() - i, &state)
                                                   : static_cast<size_t>(-1);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
            // Not UTF-8 here: one column for the byte, and start afresh.
            state = std::mbstate_t{};
            ++width;
            ++i;
            continue;
        }
        int w = wcwidth(wc);
        width += w < 0 ? 1 : static_cast<size_t>(w);
        i += n;
    }
    if (old != static_cast<locale_t>(0)) uselocale(old);
    return width;
}
