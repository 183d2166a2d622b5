#pragma once
// What any Qt window pays on this machine for the frames of a paced line: a
// bare widget of the upper view's size and font repainting all its rows with
// new HEX text once a frame tick, and nothing else. It runs in a child
// process at the same time as a paced case, so both see the same load: read
// beside the window's figure, it tells the window's own cost apart from what
// the machine and the toolkit charge for a frame at that moment.

#include <QProcess>

class QWidget;

namespace kalvaro::bench {

// receive_bench's "floor" mode, in the child, with the QApplication made:
//   receive_bench floor seconds frame-ms width height font
// prints "ready" once the widget repaints, then, after seconds, its CPU in
// ms per second. Returns the exit code.
int RunToolkitFloor(int argc, char** argv);

// The parent's side. GUI thread: it serves the event loop while it waits.
class TToolkitFloor {
public:
    // Starts the child with like's size and font and waits, up to 10 s,
    // until the child's widget repaints.
    TToolkitFloor(const QWidget& like, int frameMs, double seconds);
    ~TToolkitFloor();
    TToolkitFloor(const TToolkitFloor&) = delete;
    TToolkitFloor& operator=(const TToolkitFloor&) = delete;

    // The child's CPU in ms per second, once it has ended (waits up to 10 s
    // past its seconds); negative when it failed.
    double MsPerSecond();

private:
    QProcess child_;
    double seconds_;
    bool ready_ = false;
};

}  // namespace kalvaro::bench
