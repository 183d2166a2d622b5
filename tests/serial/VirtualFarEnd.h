#pragma once
// The other end of a virtual null-modem pair as the port core's far end; the
// isolated port map routes COM1 to the end under test (Linux builds, where
// the port map names COM ports).

#include "tests/serial/CoreFarEnds.h"

#include "platform/CommDevice.h"

namespace kalvaro::test {

class TVirtualFarEnd final : public TFarEnd {
public:
    // The far end is open from the start: bytes sent to a closed end are lost.
    TVirtualFarEnd();
    ~TVirtualFarEnd() override;
    std::string Device() const;
    std::string PeerName() const;
    afp::TCommDevice& Peer();

    int Attach() override;
    void Write(const Bytes& data) override;
    Bytes Read(std::size_t count, milliseconds limit = ShortLimit) override;
    void HangUp() override;
    void WiggleLines() override;
    DWORD FastBaud() const override;

private:
    std::string pair_;
    std::unique_ptr<afp::TCommDevice> peer_;
};

}  // namespace kalvaro::test
