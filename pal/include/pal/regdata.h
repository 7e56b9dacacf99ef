// Registry data in its natural text forms (not Win32): type names, UTF-16
// bytes, exact strings and string lists, little-endian numbers, hex.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pal/types.h"

namespace pal::regdata {

// "REG_SZ" and so on; null for a type without a name.
const char* NameOfType(DWORD type);
bool TypeOfName(const std::string& name, DWORD& type);
// UTF-16 units of little-endian bytes; false for an odd length.
bool Units(const std::string& bytes, std::u16string& out);
void AppendUnits(std::string& bytes, std::u16string_view units);
// Well-formed UTF-16 without NUL: converts to UTF-8 and back unchanged.
bool CleanText(std::u16string_view s);
// The text of REG_SZ bytes that are clean text with one terminating NUL.
bool NaturalString(const std::string& bytes, std::string& utf8);
// The strings of REG_MULTI_SZ bytes: each NUL-terminated, then one more NUL;
// the empty list is two NULs.
bool NaturalMulti(const std::string& bytes, std::vector<std::string>& list);
uint64_t LittleEndian(const std::string& bytes);
std::string LittleEndianBytes(uint64_t v, size_t n);
// Lowercase hex of bytes, and back (either case).
std::string Hex(const std::string& bytes);
bool Unhex(const std::string& text, std::string& bytes);

}  // namespace pal::regdata
