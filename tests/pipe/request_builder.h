// Request messages as a client puts them on the pipe, for the tests.
#pragma once
#include <cstring>
#include <vector>

#include "wire/request_protocol.h"

namespace pipetest {

struct Message {
    std::vector<BYTE> bytes;
    Message(BYTE type, BYTE op, const void* data = nullptr, size_t dataSize = 0) : bytes(kRequestDataOffset + dataSize) {
        RequestHeader& h = header();
        h.signature = kRequestSignature;
        h.requestId = 0x1234;
        h.requestType = type;
        h.operation = op;
        h.clientTag = 7;
        h.maxRecords = 100;
        h.dataLength = static_cast<SHORT>(dataSize);
        if (dataSize > 0) memcpy(bytes.data() + kRequestDataOffset, data, dataSize);
    }
    RequestHeader& header() { return *reinterpret_cast<RequestHeader*>(bytes.data()); }
    template <typename T>
    T& data() {
        return *reinterpret_cast<T*>(bytes.data() + kRequestDataOffset);
    }
};

template <typename T>
Message With(BYTE type, BYTE op, const T& record) {
    return Message(type, op, &record, sizeof(record));
}

}  // namespace pipetest
