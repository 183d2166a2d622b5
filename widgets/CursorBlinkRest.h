#pragma once
// TCursorBlinkRest: the text cursor stops blinking once keyboard and mouse
// have been left alone for a while (RestMs), as desktops do, and blinks
// again at the next key or button press. A blinking cursor redraws its field
// twice a second, which was most of what a quiet window cost.
//
// It watches the application's input events while it lives and restores the
// blinking when it goes. GUI thread only.

#include <QObject>
#include <QTimer>

class TCursorBlinkRest : public QObject {
public:
    static constexpr int RestMs = 10000;

    explicit TCursorBlinkRest(QObject* parent = nullptr, int restMs = RestMs);
    ~TCursorBlinkRest() override;
    TCursorBlinkRest(const TCursorBlinkRest&) = delete;
    TCursorBlinkRest& operator=(const TCursorBlinkRest&) = delete;

    bool Resting() const { return FlashTime > 0 && !Quiet.isActive(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Rest();
    void Wake();

    int FlashTime;  // the desktop's blink period, brought back on input; 0: the desktop does not blink
    QTimer Quiet;   // single-shot: runs while input came less than the rest time ago
};
