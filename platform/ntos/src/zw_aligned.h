// Page-aligned memory for O_DIRECT transfers, which take only aligned buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace ntos::detail {

// A block that only grows; its bytes are not kept across a growth.
class aligned_scratch {
public:
    aligned_scratch() = default;
    aligned_scratch(const aligned_scratch&) = delete;
    aligned_scratch& operator=(const aligned_scratch&) = delete;
    ~aligned_scratch() { std::free(data_); }

    // At least `length` bytes, or null when memory ran out.
    uint8_t* get(size_t length)
    {
        if (length > size_) {
            std::free(data_);
            data_ = nullptr;
            size_ = 0;
            if (posix_memalign(&data_, 4096, length) != 0) {
                data_ = nullptr;
                return nullptr;
            }
            size_ = length;
        }
        return static_cast<uint8_t*>(data_);
    }
    uint8_t* data() const { return static_cast<uint8_t*>(data_); }

private:
    void* data_ = nullptr;
    size_t size_ = 0;
};

} // namespace ntos::detail
