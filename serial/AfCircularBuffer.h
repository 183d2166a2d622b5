#pragma once
// A fixed-capacity byte ring. The port core's write thread keeps the bytes
// queued for sending in one, and hands the device pointers straight into its
// storage: a consumer reads in place with ReadPointer()/ContiguousUsed() and
// then Remove()s what it used. All Size bytes can be used; the Full flag tells
// a full ring from an empty one when the two positions meet.
//
// No locking inside: the owner guards every call (the port core's WriteLock).
// Storage is allocated once, at construction; Write and Remove never allocate.

#include <cstdint>
#include <memory>

class TAfCircularBuffer {
public:
    explicit TAfCircularBuffer(std::int32_t size);
    TAfCircularBuffer(const TAfCircularBuffer&) = delete;
    TAfCircularBuffer& operator=(const TAfCircularBuffer&) = delete;

    void Clear();
    std::int32_t Used() const;
    std::int32_t FreeSpace() const { return Size - Used(); }
    // Held bytes readable in one run from ReadPointer() without wrapping.
    std::int32_t ContiguousUsed() const;
    const std::uint8_t* ReadPointer() const { return Buffer.get() + ReadPos; }
    // Appends all count bytes, or none (false) when count < 1 or they do not fit.
    bool Write(const void* data, std::int32_t count);
    // Drops the count oldest bytes, or none (false) when fewer are held.
    bool Remove(std::int32_t count);
    // The same, for callers that have no use for the answer.
    void RemoveBytes(std::int32_t count) { (void)Remove(count); }

    std::int32_t Capacity() const { return Size; }
    std::int32_t ReadPosition() const { return ReadPos; }
    std::int32_t WritePosition() const { return WritePos; }
    bool IsFull() const { return Full; }

private:
    std::int32_t Advance(std::int32_t position, std::int32_t count) const;

    std::unique_ptr<std::uint8_t[]> Buffer;
    const std::int32_t Size;
    std::int32_t ReadPos = 0;
    std::int32_t WritePos = 0;
    bool Full = false;
};
