#pragma once
// The order in which the upper view shows what one take read from both
// ports: by arrival time, so that a request on one port and the reply on the
// other appear in the order they crossed the line, whenever the window
// happened to read them.
//
// Plain logic, no Qt. Any thread, one object per thread.

#include "platform/ArrivalTime.h"

#include <cstddef>
#include <vector>

// One port's bytes of a take: Bytes[From, From + Count) arrived as the
// chunks [FirstChunk, FirstChunk + ChunkCount) of that port's list.
struct TTakenRun {
    int Port;
    std::size_t From;
    std::size_t Count;
    std::size_t FirstChunk;
    std::size_t ChunkCount;
};

// Port 1's and port 2's reads of one take (their byte counts and arrival
// chunks, oldest first) as runs in arrival order, each port's bytes staying
// in their own order. Neighbouring chunks of one port make one run; at equal
// times port 1's bytes go first. Bytes that a port's chunks do not cover join
// that port's last run (or make a run of their own after everything else).
std::vector<TTakenRun> InArrivalOrder(std::size_t count1, const afp::TArrivalChunks& chunks1, std::size_t count2,
                                      const afp::TArrivalChunks& chunks2);
