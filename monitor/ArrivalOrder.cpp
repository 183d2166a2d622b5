#include "monitor/ArrivalOrder.h"

#include <algorithm>

std::vector<TTakenRun> InArrivalOrder(std::size_t count1, const afp::TArrivalChunks& chunks1, std::size_t count2,
                                      const afp::TArrivalChunks& chunks2) {
    std::vector<TTakenRun> runs;
    const std::size_t counts[2] = {count1, count2};
    const afp::TArrivalChunks* const chunks[2] = {&chunks1, &chunks2};
    std::size_t next[2] = {0, 0};  // the next chunk of each port
    std::size_t taken[2] = {0, 0};
    // A port's next chunk, or none once its chunks or its bytes run out.
    const auto pending = [&](int side) { return next[side] < chunks[side]->size() && taken[side] < counts[side]; };
    while (pending(0) || pending(1)) {
        const bool firstIsOlder =
            pending(0) && (!pending(1) || (*chunks[0])[next[0]].Time <= (*chunks[1])[next[1]].Time);
        const int side = firstIsOlder ? 0 : 1;
        const std::size_t count = std::min<std::size_t>((*chunks[side])[next[side]].Count, counts[side] - taken[side]);
        if (!runs.empty() && runs.back().Port == side + 1) {
            runs.back().Count += count;
            ++runs.back().ChunkCount;
        } else {
            runs.push_back({side + 1, taken[side], count, next[side], 1});
        }
        taken[side] += count;
        ++next[side];
    }
    for (const int side : {0, 1}) {
        if (taken[side] == counts[side]) continue;
        const auto last =
            std::find_if(runs.rbegin(), runs.rend(), [&](const TTakenRun& run) { return run.Port == side + 1; });
        if (last != runs.rend())
            last->Count += counts[side] - taken[side];
        else
            runs.push_back({side + 1, 0, counts[side], 0, 0});
    }
    return runs;
}
