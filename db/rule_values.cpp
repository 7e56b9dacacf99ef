// The registry values of one rule key ("MemberOf", the management text,
// "Description", "VarData"), the poll interval and the "NameRules" list.
// Every registry result goes to lastRegResult_ first: LogRegError reports it.
#include <cstring>
#include <new>

#include "common/event_log.h"
#include "wire/priority.h"
#include "db/rule_text.h"
#include "db/zembrik_db.h"
#include "pal/error.h"
#include "pal/registry.h"
#include "pal/strings.h"
#include "wire/result_codes.h"

namespace {

constexpr const WCHAR* kMemberOfValue = u"MemberOf";
constexpr const WCHAR* kDefaultMgmtValue = u"DfltMgmt";
constexpr const WCHAR* kDescriptionValue = u"Description";
constexpr const WCHAR* kVarDataValue = u"VarData";
constexpr const WCHAR* kPollSecondsValue = u"ProcessPollSeconds";
constexpr const WCHAR* kNameRulesValue = u"NameRules";

// "MemberOf" is read with this much room; a longer value is not taken.
constexpr DWORD kMemberOfRoomBytes = 128;
constexpr DWORD kDefaultPollSeconds = 60;

// A record's text field as a terminated string of at most maxChars
// characters: a client's array need not hold a terminator.
void FieldText(WCHAR* out, const WCHAR* field, size_t maxChars) {
    size_t n = 0;
    while (n < maxChars && field[n] != 0) {
        out[n] = field[n];
        ++n;
    }
    out[n] = 0;
}

// The management value of a block: its mgmtName, or "DfltMgmt" when empty.
void MgmtValueName(const MgmtData& m, WCHAR out[kMgmtNameUnits + 1]) {
    FieldText(out, m.mgmtName, kMgmtNameUnits);
    if (out[0] == 0) StringCchCopyW(out, kMgmtNameUnits + 1, kDefaultMgmtValue);
}

DWORD TextBytes(const WCHAR* text) { return static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(WCHAR)); }

}  // namespace

void ZembrikDb::ReadMemberOf(HKEY key, ProcSummary& rule) {
    WCHAR data[kMemberOfRoomBytes / sizeof(WCHAR)];
    DWORD type = REG_NONE;
    DWORD size = kMemberOfRoomBytes;
    lastRegResult_ = static_cast<DWORD>(
        RegQueryValueExW(key, kMemberOfValue, nullptr, &type, reinterpret_cast<BYTE*>(data), &size));
    // Absent or too long: memberOf keeps what it held and that is no error.
    if (lastRegResult_ != ERROR_SUCCESS) return;
    // The data lands over memberOf whatever its type, as a direct query would
    // leave it; only a string makes the rule a member.
    memcpy(rule.memberOf, data, size);
    // 128 bytes of data need not end in a terminator; the field always does.
    rule.memberOf[kNameUnits - 1] = 0;
    if (type == REG_SZ) rule.mgmt.mgmtFlags |= HasMemberOf;
}

DWORD ZembrikDb::ReadMgmtBlock(HKEY key, MgmtData& m) {
    ClearMgmtForRead(m);

    // One unit more than the read room, so that a value filling the room
    // without a terminator still ends.
    WCHAR buffer[kMgmtReadBufferBytes / sizeof(WCHAR) + 1];
    WCHAR name[kMgmtNameUnits + 1];
    FieldText(name, m.mgmtName, kMgmtNameUnits);
    DWORD type = REG_NONE;
    DWORD size = kMgmtReadBufferBytes;
    bool needDefault = true;
    if (name[0] != 0) {
        lastRegResult_ = static_cast<DWORD>(
            RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size));
        if (lastRegResult_ == ERROR_SUCCESS) needDefault = false;
        else if (lastRegResult_ != ERROR_FILE_NOT_FOUND) return LogRegError(u"RegQueryValueEx", name, nullptr);
    }
    if (needDefault) {
        size = kMgmtReadBufferBytes;
        lastRegResult_ = static_cast<DWORD>(
            RegQueryValueExW(key, kDefaultMgmtValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size));
        if (lastRegResult_ != ERROR_SUCCESS) {
            m.mgmtFlags |= MgmtDataMissing;
            return LogRegError(u"RegQueryValueEx", kDefaultMgmtValue, nullptr);
        }
    }
    buffer[size / sizeof(WCHAR)] = 0;

    bool empty = false;
    DWORD result = ParseMgmtText(buffer, m, empty);
    if (result != 0 || empty) return result;

    size = kMgmtReadBufferBytes;
    lastRegResult_ = static_cast<DWORD>(
        RegQueryValueExW(key, kDescriptionValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size));
    if (lastRegResult_ == ERROR_FILE_NOT_FOUND) return 0;
    if (lastRegResult_ != ERROR_SUCCESS) return LogRegError(u"RegQueryValueEx", kDescriptionValue, nullptr);
    buffer[size / sizeof(WCHAR)] = 0;
    lstrcpynW(m.description, buffer, kNameUnits);
    return 0;
}

DWORD ZembrikDb::ReadVarData(HKEY key, SHORT& varDataLength, BYTE* varData) {
    // The room is the record's signed 16-bit count; a negative one is no room.
    DWORD size = varDataLength > 0 ? static_cast<DWORD>(varDataLength) : 0;
    varDataLength = 0;
    DWORD type = REG_NONE;
    lastRegResult_ = static_cast<DWORD>(RegQueryValueExW(key, kVarDataValue, nullptr, &type, varData, &size));
    if (lastRegResult_ == ERROR_SUCCESS) {
        varDataLength = static_cast<SHORT>(size);
        return 0;
    }
    if (lastRegResult_ == ERROR_FILE_NOT_FOUND) return 0;
    if (lastRegResult_ == ERROR_MORE_DATA) return ERROR_MORE_DATA;
    return LogRegError(u"RegQueryValueEx", kVarDataValue, nullptr);
}

DWORD ZembrikDb::WriteProcRecord(HKEY key, const ProcDetail& rule) {
    // A negative count cannot be stored; refused before anything of the
    // record is written rather than after its other values.
    if (rule.varDataLength < 0) return ERROR_INVALID_PARAMETER;

    WCHAR memberOf[kNameUnits];
    FieldText(memberOf, rule.summary.memberOf, kNameCompareChars);
    if (memberOf[0] != 0) {
        lastRegResult_ = static_cast<DWORD>(RegSetValueExW(key, kMemberOfValue, 0, REG_SZ,
                                                           reinterpret_cast<const BYTE*>(memberOf),
                                                           TextBytes(memberOf)));
        if (lastRegResult_ != ERROR_SUCCESS) return LogRegError(u"RegSetValueEx", kMemberOfValue, nullptr);
    } else {
        lastRegResult_ = static_cast<DWORD>(RegDeleteValueW(key, kMemberOfValue));
        if (lastRegResult_ != ERROR_SUCCESS && lastRegResult_ != ERROR_FILE_NOT_FOUND)
            return LogRegError(u"RegDeleteValue", kMemberOfValue, nullptr);
    }

    DWORD result = WriteMgmtBlock(key, rule.summary.mgmt);
    if (result != 0) return result;
    if (rule.varDataLength == 0) return 0;
    return WriteVarData(key, rule.varDataLength, rule.varData);
}

DWORD ZembrikDb::WriteJobRecord(HKEY key, const JobDetail& rule) {
    if (rule.varDataLength < 0) return ERROR_INVALID_PARAMETER;
    DWORD result = WriteMgmtBlock(key, rule.summary.mgmt);
    if (result != 0) return result;
    if (rule.varDataLength == 0) return 0;
    return WriteVarData(key, rule.varDataLength, rule.varData);
}

DWORD ZembrikDb::WriteMgmtBlock(HKEY key, const MgmtData& m) {
    if (IsRealtimePriority(m.priority) && CheckAccess(kAccessSetRealTime) != 0) return ERROR_ACCESS_DENIED;

    WCHAR name[kMgmtNameUnits + 1];
    MgmtValueName(m, name);
    WCHAR text[kMgmtTextMaxUnits];
    FormatMgmtText(m, text);
    WCHAR description[kNameUnits];
    FieldText(description, m.description, kNameCompareChars);
    // Both in one durable write: an added rule costs one sync, not two. An
    // empty description is deleted (its absence is what we want).
    const PalRegValue values[2] = {
        {name, REG_SZ, reinterpret_cast<const BYTE*>(text), TextBytes(text), FALSE},
        {kDescriptionValue, REG_SZ, reinterpret_cast<const BYTE*>(description), TextBytes(description),
         description[0] == 0 ? TRUE : FALSE}};
    lastRegResult_ = static_cast<DWORD>(PalRegSetValues(key, values, 2));
    if (lastRegResult_ == ERROR_SUCCESS) return 0;

    // It failed: each value on its own, so that a failed store of the text is
    // logged and the description is still written.
    DWORD result = 0;
    lastRegResult_ = static_cast<DWORD>(
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), TextBytes(text)));
    if (lastRegResult_ != ERROR_SUCCESS) result = LogRegError(u"RegSetValueEx", name, nullptr);
    if (description[0] != 0) {
        lastRegResult_ = static_cast<DWORD>(RegSetValueExW(key, kDescriptionValue, 0, REG_SZ,
                                                           reinterpret_cast<const BYTE*>(description),
                                                           TextBytes(description)));
        if (lastRegResult_ != ERROR_SUCCESS) result = LogRegError(u"RegSetValueEx", kDescriptionValue, nullptr);
    } else {
        // Its absence is what we want; a failed delete is not worth a failure.
        lastRegResult_ = static_cast<DWORD>(RegDeleteValueW(key, kDescriptionValue));
    }
    return result;
}

DWORD ZembrikDb::WriteVarData(HKEY key, SHORT varDataLength, const BYTE* varData) {
    if (varDataLength < 0) return ERROR_INVALID_PARAMETER;
    lastRegResult_ = static_cast<DWORD>(
        RegSetValueExW(key, kVarDataValue, 0, REG_BINARY, varData, static_cast<DWORD>(varDataLength)));
    if (lastRegResult_ != ERROR_SUCCESS) return LogRegError(u"RegSetValueEx", kVarDataValue, nullptr);
    return 0;
}

DWORD ZembrikDb::ReadPollSeconds(DWORD& seconds) {
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    lastRegResult_ = static_cast<DWORD>(RegQueryValueExW(parametersKey_, kPollSecondsValue, nullptr, &type,
                                                         reinterpret_cast<BYTE*>(&value), &size));
    if (lastRegResult_ != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) {
        value = kDefaultPollSeconds;
        lastRegResult_ = static_cast<DWORD>(RegSetValueExW(parametersKey_, kPollSecondsValue, 0, REG_DWORD,
                                                           reinterpret_cast<const BYTE*>(&value), sizeof(value)));
    }
    // The range check is the caller's: an out-of-range value stays stored.
    seconds = value;
    return lastRegResult_;
}

DWORD ZembrikDb::LoadNameRules() {
    static const WCHAR kEmptyList[2] = {0, 0};

    DWORD type = REG_NONE;
    DWORD size = 0;
    lastRegResult_ = static_cast<DWORD>(RegQueryValueExW(parametersKey_, kNameRulesValue, nullptr, &type, nullptr,
                                                         &size));
    WCHAR* data = nullptr;
    size_t units = 0;
    if (lastRegResult_ == ERROR_FILE_NOT_FOUND || (lastRegResult_ == ERROR_SUCCESS && type != REG_MULTI_SZ)) {
        // Missing or mistyped: store the empty list and go on with it.
        lastRegResult_ = static_cast<DWORD>(RegSetValueExW(parametersKey_, kNameRulesValue, 0, REG_MULTI_SZ,
                                                           reinterpret_cast<const BYTE*>(kEmptyList),
                                                           sizeof(kEmptyList)));
        if (lastRegResult_ != ERROR_SUCCESS) return LogBadEntry(kNameRulesValue);
        units = 2;
    } else if (lastRegResult_ != ERROR_SUCCESS) {
        return LogRegError(u"RegQueryValueEx", kNameRulesValue, nullptr);
    } else {
        // Two spare units: the parse below never runs off an odd or
        // unterminated value.
        units = size / sizeof(WCHAR);
        data = new (std::nothrow) WCHAR[units + 2]();
        if (data == nullptr) return LogAllocError(u"AllocNameRules", units + 2);
        lastRegResult_ = static_cast<DWORD>(RegQueryValueExW(parametersKey_, kNameRulesValue, nullptr, &type,
                                                             reinterpret_cast<BYTE*>(data), &size));
        if (lastRegResult_ != ERROR_SUCCESS) {
            delete[] data;
            return LogRegError(u"RegQueryValueEx", kNameRulesValue, nullptr);
        }
        units = size / sizeof(WCHAR);
    }
    const WCHAR* list = data != nullptr ? data : kEmptyList;

    FreeAliasLists();
    const DWORD count = CountMultiSz(list, units);
    NameRule* rules = new (std::nothrow) NameRule[count + 1]();
    if (rules == nullptr) {
        delete[] data;
        return LogAllocError(u"AllocFmtNameRules", (static_cast<SIZE_T>(count) + 1) * sizeof(NameRule));
    }

    size_t start = 0;
    for (DWORD i = 0; i < count; ++i) {
        size_t end = start;
        while (end < units && list[end] != 0) ++end;
        if (!ParseAliasRule(list + start, end - start, rules[i])) {
            // The rules before it stay, then empty records that match nothing;
            // no default rule.
            aliasRules_ = rules;
            aliasCount_ = count;
            delete[] data;
            return LogBadEntry(kNameRulesValue);
        }
        start = end + 1;
    }
    delete[] data;
    SetDefaultRule(rules[count]);
    aliasRules_ = rules;
    aliasCount_ = count + 1;
    return 0;
}
