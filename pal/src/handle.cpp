// Handle table and last error.
// Handle values are (index + 1) << 2, so 0 is never valid and every value fits
// the 32-bit fields of shared records.
#include <mutex>
#include <vector>

#include "internal/object.h"
#include "pal/error.h"
#include "pal/sync.h"

namespace pal {
namespace {

thread_local DWORD t_lastError = 0;

struct Table {
    std::mutex lock;
    std::vector<Object*> slots;
    std::vector<uint32_t> freeList;
    size_t used = 0;
};

Table& TheTable() {
    static Table* t = new Table;  // outlives static destructors of other objects
    return *t;
}

bool Decode(HANDLE h, size_t& index) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if (v == 0 || (v & 3) != 0 || v > 0xFFFFFFFFu) return false;
    index = (v >> 2) - 1;
    return true;
}

}  // namespace

void AddRef(Object* obj) { obj->refs.fetch_add(1, std::memory_order_relaxed); }

void Release(Object* obj) {
    if (obj->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) obj->ops->destroy(obj);
}

HANDLE NewHandle(Object* obj) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    uint32_t index;
    if (!t.freeList.empty()) {
        index = t.freeList.back();
        t.freeList.pop_back();
    } else {
        if (t.slots.size() >= (1u << 29)) {
            Release(obj);
            SetLastError(ERROR_TOO_MANY_OPEN_FILES);
            return nullptr;
        }
        index = static_cast<uint32_t>(t.slots.size());
        t.slots.push_back(nullptr);
    }
    t.slots[index] = obj;
    ++t.used;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(index + 1) << 2);
}

namespace {

// The slot of a live handle of the wanted type; with the table lock held.
bool FindSlot(Table& t, HANDLE h, ObjType type, size_t& index) {
    if (!Decode(h, index) || index >= t.slots.size() || t.slots[index] == nullptr ||
        (type != ObjType::None && t.slots[index]->type != type)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

}  // namespace

Object* LookupHandle(HANDLE h, ObjType type) {
    size_t index;
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    if (!FindSlot(t, h, type, index)) return nullptr;
    AddRef(t.slots[index]);
    return t.slots[index];
}

Object* TakeHandle(HANDLE h, ObjType type) {
    size_t index;
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    if (!FindSlot(t, h, type, index)) return nullptr;
    Object* obj = t.slots[index];
    t.slots[index] = nullptr;
    t.freeList.push_back(static_cast<uint32_t>(index));
    --t.used;
    return obj;
}

size_t HandleCount() {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    return t.used;
}

}  // namespace pal

DWORD GetLastError() { return pal::t_lastError; }
void SetLastError(DWORD error) { pal::t_lastError = error; }

// Note: registry keys and service handles are refused, as on Windows (they
// have RegCloseKey and CloseServiceHandle).
BOOL CloseHandle(HANDLE h) {
    if (h == GetCurrentProcess() || h == GetCurrentThread()) return TRUE;
    pal::Object* obj = pal::LookupHandle(h, pal::ObjType::None);
    if (obj == nullptr) return FALSE;
    pal::ObjType type = obj->type;
    pal::Release(obj);
    if (type == pal::ObjType::Key || type == pal::ObjType::ScManager || type == pal::ObjType::Service) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    obj = pal::TakeHandle(h, pal::ObjType::None);
    if (obj == nullptr) return FALSE;
    pal::Release(obj);
    return TRUE;
}

BOOL DuplicateHandle(HANDLE srcProcess, HANDLE src, HANDLE dstProcess, LPHANDLE dst, DWORD, BOOL, DWORD options) {
    if (srcProcess != GetCurrentProcess() || dstProcess != GetCurrentProcess()) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (dst == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pal::Object* obj = pal::LookupHandle(src, pal::ObjType::None);
    if (obj == nullptr) return FALSE;
    HANDLE h = pal::NewHandle(obj);
    if (h == nullptr) return FALSE;
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0) CloseHandle(src);
    *dst = h;
    return TRUE;
}
