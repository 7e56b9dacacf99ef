// libFuzzer target: any bytes as the text of a key's `.values` file (which
// anyone who may write the key can edit by hand, and root then reads). What
// the decoder accepts must encode to a text that decodes to the same values
// and encodes the same again, so a rewrite never changes another value.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "internal/registry_store.h"
#include "pal/error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<pal::reg::Value> values;
    if (pal::reg::DecodeValues(text, values) != ERROR_SUCCESS) return 0;
    std::string once = pal::reg::EncodeValues(values);
    std::vector<pal::reg::Value> again;
    if (pal::reg::DecodeValues(once, again) != ERROR_SUCCESS || again.size() != values.size()) abort();
    for (size_t i = 0; i < values.size(); ++i) {
        if (again[i].name != values[i].name || again[i].type != values[i].type || again[i].data != values[i].data)
            abort();
        if (pal::reg::FindValue(values, values[i].name) != static_cast<long>(i)) abort();
    }
    if (pal::reg::EncodeValues(again) != once) abort();
    return 0;
}
