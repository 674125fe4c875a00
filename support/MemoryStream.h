#pragma once
// A growable in-memory byte stream with a read/write position: what a found file or its
// thumbnail range is read into before it is decoded or written out.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace lumivore {

class TMemoryStream {
public:
    std::size_t Size() const { return data_.size(); }
    std::size_t Position() const { return position_; }
    void SetPosition(std::size_t pos) { position_ = std::min(pos, data_.size()); }

    // Sets the size; new bytes are zero. The position stays within the data.
    void SetSize(std::size_t size) {
        data_.resize(size, 0);
        position_ = std::min(position_, size);
    }
    void Clear() {
        data_.clear();
        position_ = 0;
    }

    // Writes at the position, growing the stream as needed, and moves the position past the bytes.
    void Write(const void* bytes, std::size_t n) {
        if (n == 0)
            return;
        if (position_ + n > data_.size())
            data_.resize(position_ + n);
        std::memcpy(data_.data() + position_, bytes, n);
        position_ += n;
    }

    std::uint8_t* Memory() { return data_.data(); }
    const std::uint8_t* Memory() const { return data_.data(); }
    std::span<const std::uint8_t> Bytes() const { return data_; }
    std::vector<std::uint8_t>& Vector() { return data_; }

private:
    std::vector<std::uint8_t> data_;
    std::size_t position_ = 0;
};

} // namespace lumivore
