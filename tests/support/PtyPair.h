#pragma once
// A pseudo-terminal pair owned by a test or a benchmark: it holds the master
// end (the "far side of the cable", non-blocking) and the code under test
// opens the slave path.

#include <chrono>
#include <string>
#include <vector>

namespace kalvaro::test {

class TPtyPair {
public:
    TPtyPair();   // raw mode on both ends; throws std::runtime_error on failure
    ~TPtyPair();  // closes the master if still open
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    int MasterFd() const { return master_; }

    // Writes data to the master; gives up when nobody has read it within the
    // limit (the slave side may be closed). Returns the bytes written.
    std::size_t Write(const std::vector<unsigned char>& data,
                      std::chrono::milliseconds limit = std::chrono::seconds(5));
    std::size_t Write(const std::string& data);
    // Reads from the master until count bytes came or the time limit passed.
    std::vector<unsigned char> Read(std::size_t count,
                                    std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Hangs up: closes the master, as a pulled cable would.
    void CloseMaster();

private:
    int master_ = -1;
    std::string slavePath_;
};

}  // namespace kalvaro::test
