// Handle table and last error.
// Handle values are (index + 1) << 2, so 0 is never valid and every value fits
// the 32-bit fields of shared records. Objects backed by a descriptor that
// another process may take over sit at the index of that descriptor; all
// other objects sit from kPlainBase on.
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "internal/object.h"
#include "pal/error.h"
#include "pal/sync.h"

namespace pal {
namespace {

thread_local DWORD t_lastError = 0;

constexpr size_t kPlainBase = size_t{1} << 24;

// Lookups (several per request on every session) share the lock; only
// adding and removing a handle takes it alone.
struct Table {
    std::shared_mutex lock;
    std::vector<Object*> slots;      // index kPlainBase + i
    std::vector<uint32_t> freeList;
    std::vector<Object*> fdSlots;    // index = descriptor
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

HANDLE Encode(size_t index) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(index + 1) << 2); }

HANDLE NewHandle(Object* obj) {
    Table& t = TheTable();
    std::lock_guard<std::shared_mutex> g(t.lock);
    uint32_t index;
    if (!t.freeList.empty()) {
        index = t.freeList.back();
        t.freeList.pop_back();
    } else {
        if (t.slots.size() >= (size_t{1} << 29)) {
            Release(obj);
            SetLastError(ERROR_TOO_MANY_OPEN_FILES);
            return nullptr;
        }
        index = static_cast<uint32_t>(t.slots.size());
        t.slots.push_back(nullptr);
    }
    t.slots[index] = obj;
    ++t.used;
    return Encode(kPlainBase + index);
}

HANDLE NewHandleForFd(Object* obj, int fd) {
    Table& t = TheTable();
    std::lock_guard<std::shared_mutex> g(t.lock);
    size_t index = static_cast<size_t>(fd);
    if (fd < 0 || index >= kPlainBase) {
        Release(obj);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    if (index >= t.fdSlots.size()) t.fdSlots.resize(index + 1, nullptr);
    if (t.fdSlots[index] != nullptr) {  // a descriptor is open once
        Release(obj);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    t.fdSlots[index] = obj;
    ++t.used;
    return Encode(index);
}

int DescriptorOfHandleValue(DWORD value) {
    if (value == 0 || (value & 3) != 0) return -1;
    size_t index = (value >> 2) - 1;
    return index < kPlainBase ? static_cast<int>(index) : -1;
}

namespace {

// The slot of a live handle of the wanted type; with the table lock held.
Object** FindSlot(Table& t, HANDLE h, ObjType type) {
    size_t index;
    Object** slot = nullptr;
    if (Decode(h, index)) {
        if (index >= kPlainBase) {
            if (index - kPlainBase < t.slots.size()) slot = &t.slots[index - kPlainBase];
        } else if (index < t.fdSlots.size()) {
            slot = &t.fdSlots[index];
        }
    }
    if (slot == nullptr || *slot == nullptr || (type != ObjType::None && (*slot)->type != type)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return slot;
}

}  // namespace

Object* LookupHandle(HANDLE h, ObjType type) {
    Table& t = TheTable();
    std::shared_lock<std::shared_mutex> g(t.lock);
    Object** slot = FindSlot(t, h, type);
    if (slot == nullptr) return nullptr;
    AddRef(*slot);
    return *slot;
}

Object* TakeHandle(HANDLE h, ObjType type) {
    Table& t = TheTable();
    std::lock_guard<std::shared_mutex> g(t.lock);
    Object** slot = FindSlot(t, h, type);
    if (slot == nullptr) return nullptr;
    Object* obj = *slot;
    *slot = nullptr;
    size_t index = (reinterpret_cast<uintptr_t>(h) >> 2) - 1;
    if (index >= kPlainBase) t.freeList.push_back(static_cast<uint32_t>(index - kPlainBase));
    --t.used;
    return obj;
}

size_t HandleCount() {
    Table& t = TheTable();
    std::shared_lock<std::shared_mutex> g(t.lock);
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

namespace pal {
DWORD DuplicateFromProcess(HANDLE srcProcess, HANDLE src, HANDLE dstProcess, DWORD access, DWORD options,
                           HANDLE& out, bool& local);  // duplicate.cpp
}  // namespace pal

BOOL DuplicateHandle(HANDLE srcProcess, HANDLE src, HANDLE dstProcess, LPHANDLE dst, DWORD access, BOOL,
                     DWORD options) {
    if (dst == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (srcProcess != GetCurrentProcess() || dstProcess != GetCurrentProcess()) {
        // Another process, or a real handle that may name this one.
        bool local = false;
        HANDLE h = nullptr;
        DWORD rc = pal::DuplicateFromProcess(srcProcess, src, dstProcess, access, options, h, local);
        if (rc != ERROR_SUCCESS) {
            SetLastError(rc);
            return FALSE;
        }
        if (!local) {
            *dst = h;
            return TRUE;
        }
    }
    pal::Object* obj = pal::LookupHandle(src, pal::ObjType::None);
    if (obj == nullptr) return FALSE;
    HANDLE h = pal::NewHandle(obj);
    if (h == nullptr) return FALSE;
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0) CloseHandle(src);
    *dst = h;
    return TRUE;
}
