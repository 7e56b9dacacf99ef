// The stored text forms of the rules: one string per alias rule in the
// "NameRules" multi-string, one management text per management block.
#pragma once
#include <cstddef>

#include "wire/rule_records.h"
#include "pal/types.h"

// Longest alias-rule string with its terminator: braces, letter, three
// separators, two quotes and three fields of 63 characters.
constexpr size_t kAliasRuleMaxUnits = 199;
// The buffer the multi-string is built in: 398 bytes per rule of the list.
constexpr size_t kAliasRuleBufferBytesPerRule = 398;
// Longest management text with its terminator.
constexpr size_t kMgmtTextMaxUnits = 256;
// The read buffer of a management text and of "Description", in bytes.
constexpr size_t kMgmtReadBufferBytes = 2048;

// Writes the string of one alias rule with its terminator into out (room for
// kAliasRuleMaxUnits); returns the units written, terminator included.
size_t FormatAliasRule(const NameRule& rule, WCHAR* out);
// Reads one alias-rule string (without its terminator, `length` units) into a
// zeroed rule; false when malformed.
bool ParseAliasRule(const WCHAR* text, size_t length, NameRule& rule);
// Number of strings of a REG_MULTI_SZ value of `units` units.
DWORD CountMultiSz(const WCHAR* data, size_t units);

// The management text of a block, terminated, into out (room for kMgmtTextMaxUnits).
void FormatMgmtText(const MgmtData& m, WCHAR* out);
// Reads a management text into m: clears what the read clears, then parses.
// Returns 0, or ResultBadStoredData with MgmtDataInvalid set in m. `empty`
// tells the caller that the text was just the two braces (no "Description").
DWORD ParseMgmtText(const WCHAR* text, MgmtData& m, bool& empty);
// What the read clears before the text is parsed.
void ClearMgmtForRead(MgmtData& m);
