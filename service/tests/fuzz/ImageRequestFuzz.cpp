// Feeds arbitrary bytes, cut into reads at points taken from the input itself, through the image
// request assembler: nothing may crash, leak or keep more than the pending bound.
#include "ImageMessageCodec.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    image_messages::RequestAssembler assembler;
    size_t step = 1 + data[0] % 64;
    for (size_t pos = 1; pos < size; pos += step) {
        size_t n = pos + step <= size ? step : size - pos;
        auto outcome = assembler.Feed(data + pos, n);
        for (const auto& request : outcome.requests) {
            std::vector<uint8_t> der;
            if (!image_messages::EncodeResponse(request.requestId, data, size, der))
                abort();
        }
        if (assembler.PendingBytes() > image_messages::RequestAssembler::kMaxPending + 64)
            abort();
    }
    return 0;
}
