// What a full-screen client view needs of its terminal: the console API in
// small. Not Win32: a Linux terminal is a tty, not a console buffer.
#pragma once
#include <string_view>

#include "pal/types.h"

constexpr DWORD PAL_CONSOLE_INPUT = 0;   // standard input
constexpr DWORD PAL_CONSOLE_OUTPUT = 1;  // standard output
constexpr int PAL_CONSOLE_NO_KEY = -1;   // the wait ended without a key
constexpr int PAL_CONSOLE_END = -2;      // standard input is at its end

// Note: as GetConsoleMode succeeding: TRUE when the stream is a terminal.
BOOL PalIsConsole(DWORD stream);
// Note: the terminal's window on standard output, as GetConsoleScreenBufferInfo
// gives it; FALSE when standard output is no terminal or reports no size.
BOOL PalGetConsoleSize(WORD* columns, WORD* rows);
// Note: as SetConsoleMode clearing (raw) or restoring the line and echo modes
// of standard input; the mode found at the first raw call is what comes back.
BOOL PalSetConsoleRawInput(BOOL raw);
// Note: as a wait on the input handle and ReadConsoleInput: one byte of
// standard input within timeoutMs, PAL_CONSOLE_NO_KEY when none came (or a
// signal ended the wait), PAL_CONSOLE_END at the end of input.
int PalReadConsoleKey(DWORD timeoutMs);

// Not Win32 (Windows consoles count UTF-16 units): the columns UTF-8 text
// takes on a terminal, wide characters counting two and combining ones none;
// an undecodable byte or an unprintable character counts one.
size_t PalDisplayWidth(std::string_view utf8);
