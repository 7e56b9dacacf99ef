// Client requests answered, by type and result, for the metrics file. One
// relaxed atomic increment a request: the request path stays lock-free.
#pragma once
#include <atomic>

#include "pal/types.h"
#include "wire/request_protocol.h"

class PromText;

class RequestCounts {
public:
    // Counts the reply the dispatcher built for a request of `type`.
    void Count(BYTE type, const RequestHeader& reply);
    // The counters as one family, every type and result (zeros included).
    void Append(PromText& out) const;

    static constexpr int kTypes = 11;   // the request types and "other"
    static constexpr int kResults = 3;  // ok, denied, error

private:
    std::atomic<ULONGLONG> counts_[kTypes][kResults]{};
};
