// Process-local numbers for view addresses.
#include "pal/viewnumber.h"

#include <mutex>
#include <unordered_map>

namespace {

struct Numbers {
    std::mutex lock;
    std::unordered_map<LPVOID, DWORD> byView;
    std::unordered_map<DWORD, LPVOID> byNumber;
    DWORD next = 1;
};

Numbers& TheNumbers() {
    static Numbers* n = new Numbers;
    return *n;
}

}  // namespace

DWORD PalViewNumber(LPVOID view) {
    if (view == nullptr) return 0;
    Numbers& n = TheNumbers();
    std::lock_guard<std::mutex> g(n.lock);
    auto it = n.byView.find(view);
    if (it != n.byView.end()) return it->second;
    DWORD number = n.next++;
    n.byView[view] = number;
    n.byNumber[number] = view;
    return number;
}

LPVOID PalViewAddress(DWORD number) {
    Numbers& n = TheNumbers();
    std::lock_guard<std::mutex> g(n.lock);
    auto it = n.byNumber.find(number);
    return it == n.byNumber.end() ? nullptr : it->second;
}

void PalForgetViewNumber(LPVOID view) {
    Numbers& n = TheNumbers();
    std::lock_guard<std::mutex> g(n.lock);
    auto it = n.byView.find(view);
    if (it == n.byView.end()) return;
    n.byNumber.erase(it->second);
    n.byView.erase(it);
}
