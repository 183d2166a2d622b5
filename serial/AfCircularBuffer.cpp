#include "serial/AfCircularBuffer.h"

#include <cstring>

TAfCircularBuffer::TAfCircularBuffer(std::int32_t size)
    : Buffer(new std::uint8_t[size > 0 ? size : 0]), Size(size > 0 ? size : 0) {
    Clear();
}

void TAfCircularBuffer::Clear() {
    ReadPos = 0;
    WritePos = 0;
    Full = false;
}

std::int32_t TAfCircularBuffer::Advance(std::int32_t position, std::int32_t count) const {
    // count never exceeds Size, so one subtraction brings the position back.
    return position + count < Size ? position + count : position + count - Size;
}

std::int32_t TAfCircularBuffer::Used() const {
    if (Full) return Size;
    if (WritePos >= ReadPos) return WritePos - ReadPos;
    return WritePos + Size - ReadPos;
}

std::int32_t TAfCircularBuffer::ContiguousUsed() const {
    if (Full) return Size - ReadPos;
    if (WritePos >= ReadPos) return WritePos - ReadPos;
    return Size - ReadPos;
}

bool TAfCircularBuffer::Write(const void* data, std::int32_t count) {
    if (count < 1 || count > FreeSpace()) return false;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (WritePos < ReadPos) {
        std::memcpy(Buffer.get() + WritePos, bytes, count);
    } else {
        const std::int32_t tail = Size - WritePos;
        if (tail >= count) {
            std::memcpy(Buffer.get() + WritePos, bytes, count);
        } else {
            std::memcpy(Buffer.get() + WritePos, bytes, tail);
            std::memcpy(Buffer.get(), bytes + tail, count - tail);
        }
    }
    WritePos = Advance(WritePos, count);
    Full = ReadPos == WritePos;
    return true;
}

bool TAfCircularBuffer::Remove(std::int32_t count) {
    if (count < 0 || count > Used()) return false;
    ReadPos = Advance(ReadPos, count);
    if (count > 0) Full = false;
    return true;
}
