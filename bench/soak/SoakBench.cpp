// Kalvaro left running under a mixed load, the way a user leaves it.
//
//   soak_bench [seconds] [report-path]          (600 seconds by default)
//
// The real main window runs offscreen with port 1 and port 2 on pty pairs
// whose masters this program owns; the far ends are child processes
// (SoakPeer.h), so the CPU figures are the window's own. For the whole run:
//  - both far ends flood their port with a reproducible random stream;
//  - port 1 plays a script in a loop (HEX data lines, short delays, a
//    carriage return and a user-defined byte), picked through the window's
//    open dialog, answered through its modal seam; port 1's far end checks
//    every byte it receives against the script;
//  - about once a second the user changes a display mode, an "Aply" box, a
//    separator or a colour of either view, with clicks and keys;
//  - every few seconds port 2 is switched off with its "OFF" button and on
//    again from its port chooser. Its far end pauses first and the switch
//    waits until the window has counted every byte sent, so that "every byte
//    received while the port was open is counted" is an exact check;
//  - every 30 s the capture is saved with "Save" and compared with the
//    view's text at the moment of the click.
// A final phase holds everything still: HEX, a blank separator, "Aply LF"
// off, a known colour, and one last stretch of port 1's stream, whose HEX
// rendering must be the tail of the saved capture, in that colour.
//
// Checks (exit code 1 when one fails): no error box; every byte counted on
// both ports (the counters are 32-bit and wrap, so they are compared modulo
// 2^32); port 1's far end got exactly the scripts played, byte for byte; the
// lower view counted every script byte echoed; every capture equals the
// view's text; the final tail and its colour; every user action took; the
// far ends ended cleanly; resident memory in the last third of the run stays
// within 64 MiB of its peak before. A watchdog thread aborts the program
// when the GUI thread has not served its event loop for 60 s (a hang).
// Nothing is checked against time: CPU per minute, the lateness of a 50 ms
// timer and memory are reported.
#include "bench/BenchSupport.h"
#include "bench/soak/SoakPeer.h"
#include "monitor/Unit1.h"
#include "serial/AfPortControls.h"
#include "ui/AfApplicationError.h"
#include "widgets/ColorComboBox.h"
#include "widgets/LimitedEdit.h"
#include "widgets/MonitorView.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kalvaro::bench;
using Clock = std::chrono::steady_clock;

constexpr unsigned Port1Seed = 1;
constexpr unsigned Port2Seed = 2;
constexpr unsigned ScriptSeed = 3;
constexpr unsigned UserSeed = 4;
// Limits of waits for conditions; reaching one is a failure of the window,
// not slowness: each is far beyond what the condition needs.
constexpr double DrainLimitSeconds = 60;
constexpr double ActionLimitSeconds = 10;
constexpr double HangLimitSeconds = 60;
// The last stretch of port 1's stream: 768 KiB of HEX text, well inside the
// view's 4 MiB of history.
constexpr std::uint64_t FinalStretch = 256 * 1024;
constexpr double MemoryGrowthLimitMb = 64;

// The window's counters are 32-bit and wrap.
bool SameCount(std::int32_t counter, std::uint64_t bytes) {
    return static_cast<std::uint32_t>(counter) == static_cast<std::uint32_t>(bytes);
}

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The looped script: HEX data lines with short delays between groups of
// them, then a carriage return and a user-defined byte. Bytes is what port 1
// sends for one play; every one of them is echoed in the lower view.
struct TScript {
    std::string Text;
    std::string Bytes;
};

TScript MakeScript(unsigned seed) {
    std::mt19937 random(seed);
    TScript script;
    std::ostringstream text;
    text << "%%HEX%%\r\n";
    static const char digits[] = "0123456789ABCDEF";
    for (int line = 0; line < 24; ++line) {
        for (int i = 0; i < 16; ++i) {
            const auto byte = static_cast<unsigned char>(random());
            text << digits[byte >> 4] << digits[byte & 15] << (i < 15 ? " " : "\r\n");
            script.Bytes.push_back(static_cast<char>(byte));
        }
        if (line % 4 == 3) text << "%%DELAY " << 1 + random() % 8 << "%%\r\n";
    }
    text << "%%CR%%\r\n%%USER_DEF 7E%%\r\n";
    script.Bytes += "\r\x7E";
    script.Text = text.str();
    return script;
}

// Aborts the program when the GUI thread stops serving its event loop.
class TWatchdog {
public:
    explicit TWatchdog(std::atomic<const char*>& phase) : phase_(phase) {
        QObject::connect(&beat_, &QTimer::timeout, [this] { lastBeat_ = Clock::now().time_since_epoch().count(); });
        lastBeat_ = Clock::now().time_since_epoch().count();
        beat_.start(100);
        thread_ = std::thread([this] { Watch(); });
    }
    ~TWatchdog() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

private:
    void Watch() {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
            const Clock::time_point beat{Clock::duration(lastBeat_.load())};
            if (Since(beat) > HangLimitSeconds) {
                std::fprintf(stderr, "HANG: the GUI thread has not served its event loop for %.0f s (phase: %s)\n",
                             HangLimitSeconds, phase_.load());
                std::abort();
            }
        }
    }

    std::atomic<const char*>& phase_;
    QTimer beat_;
    std::atomic<Clock::rep> lastBeat_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

class TSoak {
public:
    TSoak(double seconds, const std::filesystem::path& folder, const TScript& script, TSoakPeer& peer1,
          TSoakPeer& peer2)
        : seconds_(seconds), folder_(folder), script_(script), peer1_(peer1), peer2_(peer2), random_(UserSeed) {}

    int Run();
    std::string Report() const;

private:
    struct TMinute {
        double CpuPercent = 0;
        double Port1MBs = 0;
        double Port2MBs = 0;
        double LoadAverage = 0;  // the machine's, over the last minute
        TLatenessProbe::TFigures Lateness;
    };
    enum class TSwitch { Open, Draining, Closed };

    void Fail(const std::string& what);
    void Start();
    void Finish();

    // The user: one action at a time, with clicks and keys.
    void Click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton); }
    bool Pick(QComboBox* box, int index);
    bool PickPort(TAfPortComboBox* chooser, int number);
    void Type(QLineEdit* edit, const QString& text);
    void ChangeControls();
    void SaveCapture();

    void PlayNextScript();
    void SwitchPort2();
    void SampleMemory();
    void SampleMinute();

    double seconds_;
    std::filesystem::path folder_;
    const TScript& script_;
    TSoakPeer& peer1_;
    TSoakPeer& peer2_;
    std::mt19937 random_;

    TForm1* form_ = nullptr;
    std::atomic<const char*> phase_{"start"};
    std::vector<std::string> failures_;
    QStringList errorBoxes_;
    bool userBusy_ = false;

    // Script loop.
    bool scriptsStopping_ = false;
    bool scriptPlaying_ = false;
    std::uint64_t plays_ = 0;

    // Port 2's switch.
    TSwitch switch_ = TSwitch::Open;
    bool switchStopping_ = false;
    bool switchBusy_ = false;
    Clock::time_point switchAt_;
    std::uint64_t switches_ = 0;
    bool port2Behind_ = false;

    std::uint64_t controlChanges_ = 0;
    std::uint64_t captures_ = 0;
    std::string captureAtClick_;

    // Figures.
    Clock::time_point started_;
    double wall_ = 0;
    std::vector<double> rss_;
    std::vector<TMinute> minutes_;
    double minuteCpu_ = 0;
    Clock::time_point minuteStart_;
    std::uint64_t minuteSent1_ = 0;
    std::uint64_t minuteSent2_ = 0;
    TLatenessProbe* probe_ = nullptr;
    std::uint64_t received1_ = 0;
    std::uint64_t received2_ = 0;
};

void TSoak::Fail(const std::string& what) {
    std::fprintf(stderr, "FAIL (%.0f s, %s): %s\n", Since(started_), phase_.load(), what.c_str());
    if (failures_.size() < 50) failures_.push_back(what);
}

bool TSoak::Pick(QComboBox* box, int index) {
    box->showPopup();
    QAbstractItemView* list = box->view();
    if (!RunUntil([&] { return list->isVisible(); }, ActionLimitSeconds)) return false;
    const QModelIndex entry = list->model()->index(index, box->modelColumn(), box->rootModelIndex());
    list->scrollTo(entry);
    const QPoint centre = list->visualRect(entry).center();
    QTest::mouseMove(list->viewport(), centre);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre);
    return RunUntil([&] { return !list->isVisible(); }, ActionLimitSeconds);
}

bool TSoak::PickPort(TAfPortComboBox* chooser, int number) {
    for (int i = 0; i < chooser->count(); ++i)
        if (chooser->ItemPort(i) == number) return Pick(chooser, i);
    Fail("COM" + std::to_string(number) + " is not listed in its chooser");
    return false;
}

void TSoak::Type(QLineEdit* edit, const QString& text) {
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty())
        QTest::keyClick(edit, Qt::Key_Delete);
    else
        QTest::keyClicks(edit, text);
    if (edit->text() != text)
        Fail("the field " + edit->objectName().toStdString() + " shows \"" + edit->text().toStdString() +
             "\" after typing \"" + text.toStdString() + "\"");
}

void TSoak::ChangeControls() {
    if (userBusy_) return;
    userBusy_ = true;
    TForm1& form = *form_;
    static const QString separators[] = {"", " ", "-", " | ", ":", "..", ";"};
    std::uniform_int_distribution<int> action(0, 8);
    std::uniform_int_distribution<int> three(0, 2);
    std::uniform_int_distribution<int> colour(0, 15);
    std::uniform_int_distribution<int> separator(0, std::size(separators) - 1);
    const int count = 1 + three(random_) / 2;
    for (int i = 0; i < count; ++i) {
        const int what = action(random_);
        switch (what) {
            case 0: Click(std::array<QWidget*, 3>{form.RadioButton1, form.RadioButton2, form.RadioButton3}[three(random_)]); break;
            case 1: if (form.CheckBox4->isEnabled()) Click(form.CheckBox4); break;
            case 2: Type(form.Edit5, separators[separator(random_)]); break;
            case 3:
            case 4: {
                TColorComboBox* box = what == 3 ? form.ColorComboBox1 : form.ColorComboBox2;
                const int index = colour(random_);
                if (!Pick(box, index) || box->Value() != TColorComboBox::StandardColors()[index])
                    Fail("a colour pick in " + box->objectName().toStdString() + " did not take");
                break;
            }
            case 5: Click(std::array<QWidget*, 3>{form.RadioButton4, form.RadioButton5, form.RadioButton6}[three(random_)]); break;
            case 6: if (form.CheckBox1->isEnabled()) Click(form.CheckBox1); break;
            case 7: Type(form.Edit6, separators[separator(random_)]); break;
            case 8: {
                const int index = colour(random_);
                if (!Pick(form.ColorComboBox3, index) || form.ColorComboBox3->Value() != TColorComboBox::StandardColors()[index])
                    Fail("a colour pick in ColorComboBox3 did not take");
                break;
            }
        }
        ++controlChanges_;
    }
    userBusy_ = false;
}

void TSoak::SaveCapture() {
    if (userBusy_) return;
    userBusy_ = true;
    const std::filesystem::path file = folder_ / "capture.cpi";
    std::filesystem::remove(file);
    captureAtClick_.clear();
    Click(form_->Button2);
    if (!std::filesystem::exists(file))
        Fail("\"Save\" wrote no capture");
    else if (ReadFile(file) != captureAtClick_)
        Fail("a saved capture differs from the view's text at the click");
    else
        ++captures_;
    userBusy_ = false;
}

void TSoak::PlayNextScript() {
    if (scriptsStopping_) {
        scriptPlaying_ = false;
        return;
    }
    scriptPlaying_ = true;
    if (!form_->InputBoxActive()) {
        Fail("the input box is inactive while port 1 is open");
        scriptPlaying_ = false;
        return;
    }
    // Plays the whole script; the window serves its event loop meanwhile.
    Click(form_->Edit4Button);
    ++plays_;
    QTimer::singleShot(0, form_, [this] { PlayNextScript(); });
}

void TSoak::SwitchPort2() {
    // The actions below serve the event loop, which may bring the next tick.
    if (switchBusy_) return;
    switchBusy_ = true;
    TForm1& form = *form_;
    const auto now = Clock::now();
    switch (switch_) {
        case TSwitch::Open:
            if (switchStopping_ || now < switchAt_) break;
            peer2_.Pause();
            switch_ = TSwitch::Draining;
            switchAt_ = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(DrainLimitSeconds));
            break;
        case TSwitch::Draining: {
            const bool drained = peer2_.Paused() && SameCount(form.Port2Count, peer2_.Sent());
            if (!drained && now < switchAt_) break;
            if (!drained && !port2Behind_) {
                port2Behind_ = true;
                Fail("port 2 counted " + std::to_string(static_cast<std::uint32_t>(form.Port2Count)) +
                     " (mod 2^32) of " + std::to_string(peer2_.Sent()) + " bytes before its switch-off");
            }
            if (userBusy_) break;
            userBusy_ = true;
            Click(form.Button6);
            userBusy_ = false;
            if (form.ComPort2->IsOpen()) Fail("\"OFF\" left port 2 open");
            switch_ = TSwitch::Closed;
            switchAt_ = now + std::chrono::milliseconds(300 + random_() % 1200);
            break;
        }
        case TSwitch::Closed:
            if (now < switchAt_ || userBusy_) break;
            userBusy_ = true;
            PickPort(form.ComComboBox3, 2);
            userBusy_ = false;
            if (!form.ComPort2->IsOpen()) {
                Fail("picking COM2 did not open port 2");
                switchAt_ = now + std::chrono::seconds(1);
                break;
            }
            ++switches_;
            peer2_.Resume();
            switch_ = TSwitch::Open;
            switchAt_ = Clock::now() + std::chrono::milliseconds(2000 + random_() % 3000);
            break;
    }
    switchBusy_ = false;
}

void TSoak::SampleMemory() { rss_.push_back(ResidentMegabytes()); }

void TSoak::SampleMinute() {
    const double wall = Since(minuteStart_);
    if (wall < 1) return;
    TMinute minute;
    const double cpu = CpuSeconds();
    minute.CpuPercent = 100 * (cpu - minuteCpu_) / wall;
    minute.Port1MBs = static_cast<double>(peer1_.Sent() - minuteSent1_) / wall / 1e6;
    minute.Port2MBs = static_cast<double>(peer2_.Sent() - minuteSent2_) / wall / 1e6;
    minute.Lateness = probe_->Take();
    std::ifstream("/proc/loadavg") >> minute.LoadAverage;
    minutes_.push_back(minute);
    minuteCpu_ = cpu;
    minuteStart_ = Clock::now();
    minuteSent1_ = peer1_.Sent();
    minuteSent2_ = peer2_.Sent();
}

int TSoak::Run() {
    AfSetErrorBoxPresenter([this](const QString&, const QString& text) {
        errorBoxes_ << text;
        Fail("error box: " + text.toStdString());
    });
    TWatchdog watchdog(phase_);
    TForm1 form;
    form_ = &form;
    started_ = Clock::now();

    Start();
    if (failures_.empty()) {
        phase_ = "soak";
        TLatenessProbe probe;
        probe_ = &probe;
        minuteCpu_ = CpuSeconds();
        minuteStart_ = Clock::now();
        QTimer controls, switcher, memory, minutes, captures;
        QObject::connect(&controls, &QTimer::timeout, [this] { ChangeControls(); });
        QObject::connect(&switcher, &QTimer::timeout, [this] { SwitchPort2(); });
        QObject::connect(&memory, &QTimer::timeout, [this] { SampleMemory(); });
        QObject::connect(&minutes, &QTimer::timeout, [this] { SampleMinute(); });
        QObject::connect(&captures, &QTimer::timeout, [this] { SaveCapture(); });
        controls.start(1000);
        switcher.start(20);
        memory.start(10000);
        minutes.start(60000);
        captures.start(30000);
        switchAt_ = Clock::now() + std::chrono::seconds(3);
        SampleMemory();
        peer1_.Resume();
        peer2_.Resume();
        QTimer::singleShot(0, &form, [this] { PlayNextScript(); });

        const auto end = started_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds_));
        RunUntil([&] { return Clock::now() >= end; }, seconds_ + HangLimitSeconds);

        // Everything the user does comes to rest; port 2 ends open.
        phase_ = "coming to rest";
        controls.stop();
        captures.stop();
        scriptsStopping_ = true;
        switchStopping_ = true;
        if (!RunUntil([&] { return !scriptPlaying_ && switch_ == TSwitch::Open && !userBusy_; }, DrainLimitSeconds))
            Fail("the script loop or port 2's switch did not come to rest");
        switcher.stop();
        memory.stop();
        SampleMemory();
        SampleMinute();
        probe_ = nullptr;
        Finish();
    }
    wall_ = Since(started_);
    form_ = nullptr;
    AfSetErrorBoxPresenter({});
    return failures_.empty() ? 0 : 1;
}

void TSoak::Start() {
    TForm1& form = *form_;
    form.SetModalRunner([this](QDialog& dialog) {
        auto& files = static_cast<QFileDialog&>(dialog);
        if (&dialog == form_->OpenDialog1) {
            files.selectFile(QString::fromStdString((folder_ / "soak.cpo").string()));
            return int(QDialog::Accepted);
        }
        if (&dialog == form_->SaveDialog1) {
            // The capture holds the view's text as the click found it;
            // nothing has served the event loop since.
            captureAtClick_ = form_->RichEdit1->PlainText();
            files.selectFile(QString::fromStdString((folder_ / "capture.cpi").string()));
            return int(QDialog::Accepted);
        }
        return int(QDialog::Rejected);
    });
    form.show();
    // The first activation resets the counts: let it happen before any byte
    // is counted.
    form.activateWindow();
    if (!RunUntil([&] { return QApplication::activeWindow() == &form; }, ActionLimitSeconds))
        Fail("the main window did not become active");
    PickPort(form.ComboBox1, 1);
    PickPort(form.ComComboBox3, 2);
    if (!form.Comport1->IsOpen() || !form.ComPort2->IsOpen()) Fail("the ports did not open from their choosers");
    if (!RunUntil([&] { return form.InputBoxActive(); }, ActionLimitSeconds))
        Fail("the input box did not become active with port 1 open");
}

void TSoak::Finish() {
    TForm1& form = *form_;

    // Every byte sent while a port was open has been counted.
    phase_ = "draining";
    peer1_.Pause();
    peer2_.Pause();
    const auto drained = [&] {
        return peer1_.Paused() && peer2_.Paused() && SameCount(form.Port1Count, peer1_.Sent()) &&
               SameCount(form.Port2Count, peer2_.Sent());
    };
    if (!RunUntil(drained, DrainLimitSeconds))
        Fail("counts after the flood: port 1 " + std::to_string(static_cast<std::uint32_t>(form.Port1Count)) +
             " of " + std::to_string(peer1_.Sent()) + ", port 2 " +
             std::to_string(static_cast<std::uint32_t>(form.Port2Count)) + " of " + std::to_string(peer2_.Sent()) +
             " (mod 2^32)");
    received1_ = peer1_.Sent();
    received2_ = peer2_.Sent();

    // Port 1's far end got every script played, and nothing else.
    const std::uint64_t scripted = plays_ * script_.Bytes.size();
    if (!RunUntil([&] { return peer1_.Received() >= scripted; }, DrainLimitSeconds) || peer1_.Received() != scripted)
        Fail("port 1's far end received " + std::to_string(peer1_.Received()) + " bytes of " +
             std::to_string(plays_) + " scripts of " + std::to_string(script_.Bytes.size()));
    if (peer1_.Mismatches() != 0)
        Fail(std::to_string(peer1_.Mismatches()) + " bytes at port 1's far end differ from the script");
    if (!SameCount(form.SentCount, scripted))
        Fail("the lower view counted " + std::to_string(static_cast<std::uint32_t>(form.SentCount)) + " of " +
             std::to_string(scripted) + " bytes echoed");

    // The final stretch in a fixed mode: its rendering is the capture's tail.
    phase_ = "final stretch";
    Click(form.RadioButton2);  // HEX
    if (form.CheckBox4->isChecked()) Click(form.CheckBox4);
    Type(form.Edit5, " ");
    if (!Pick(form.ColorComboBox1, 9)) Fail("the final colour pick did not take");
    const std::uint64_t from = peer1_.Sent();
    peer1_.Resume(from + FinalStretch);
    if (!RunUntil([&] { return peer1_.Paused() && SameCount(form.Port1Count, from + FinalStretch); }, DrainLimitSeconds))
        Fail("port 1 did not count its final stretch");
    received1_ = peer1_.Sent();
    SaveCapture();
    const std::string capture = ReadFile(folder_ / "capture.cpi");
    const std::string expected = HexOf(StreamBytes(Port1Seed, from, FinalStretch, false));
    if (capture.size() < expected.size() || capture.compare(capture.size() - expected.size(), expected.size(), expected) != 0)
        Fail("the capture's tail is not the HEX rendering of port 1's final stretch");
    const std::size_t size = form.RichEdit1->Size();
    if (size == 0 || form.RichEdit1->ColourAt(size - 1) != ColorToQRgb(form.ColorComboBox1->Value()))
        Fail("the final stretch is not in port 1's colour");

    phase_ = "stopping";
    for (TSoakPeer* peer : {&peer1_, &peer2_}) {
        const int status = peer->Stop();
        if (status != 0)
            Fail("a far end ended with status " + std::to_string(status) + " (errno " + std::to_string(peer->Error()) + ")");
    }

    // Memory: the last third of the run within bounds of the peak before.
    if (rss_.size() >= 3) {
        const auto third = static_cast<std::ptrdiff_t>(rss_.size() * 2 / 3);
        const double before = *std::max_element(rss_.begin(), rss_.begin() + third);
        const double after = *std::max_element(rss_.begin() + third, rss_.end());
        if (after > before + MemoryGrowthLimitMb)
            Fail("resident memory grew from " + std::to_string(before) + " MiB to " + std::to_string(after) +
                 " MiB in the last third of the run");
    }
}

std::string TSoak::Report() const {
    std::ostringstream out;
    char line[256];
    const auto print = [&](const char* format, auto... values) {
        std::snprintf(line, sizeof line, format, values...);
        out << line;
    };
    print("## Soak run: %.0f s asked, %.0f s in all\n\n", seconds_, wall_);
    print("| | port 1 | port 2 |\n|---|---|---|\n");
    print("| bytes received and counted | %llu | %llu |\n", static_cast<unsigned long long>(received1_),
          static_cast<unsigned long long>(received2_));
    print("| average rate | %.2f MB/s | %.2f MB/s |\n\n", received1_ / wall_ / 1e6, received2_ / wall_ / 1e6);
    print("- scripts played on port 1: %llu (%zu bytes each, checked byte for byte at the far end)\n",
          static_cast<unsigned long long>(plays_), script_.Bytes.size());
    print("- port 2 switched off and on: %llu times\n", static_cast<unsigned long long>(switches_));
    print("- user actions on the views' controls: %llu\n", static_cast<unsigned long long>(controlChanges_));
    print("- captures saved and compared: %llu\n\n", static_cast<unsigned long long>(captures_));

    print("| minute | CPU, %% of one core | port 1 MB/s | port 2 MB/s | 50 ms timer late: median | worst | machine load |\n");
    print("|---|---|---|---|---|---|---|\n");
    for (std::size_t i = 0; i < minutes_.size(); ++i) {
        const TMinute& m = minutes_[i];
        print("| %zu | %.0f | %.2f | %.2f | %.1f ms | %.1f ms | %.1f |\n", i + 1, m.CpuPercent, m.Port1MBs, m.Port2MBs,
              m.Lateness.MedianMs, m.Lateness.WorstMs, m.LoadAverage);
    }
    if (!rss_.empty()) {
        print("\nResident memory, sampled every 10 s: first %.0f MiB, last %.0f MiB, max %.0f MiB\n\n", rss_.front(),
              rss_.back(), *std::max_element(rss_.begin(), rss_.end()));
        out << "    ";
        for (std::size_t i = 0; i < rss_.size(); ++i) print("%.0f%s", rss_[i], i + 1 < rss_.size() ? " " : "\n");
    }
    out << "\nChecks: " << (failures_.empty() ? "all passed" : "FAILED") << "\n";
    for (const std::string& failure : failures_) out << "- " << failure << "\n";
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600;
    const std::string reportPath = argc > 2 ? argv[2] : "";
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: soak_bench [seconds] [report-path]\n");
        return 2;
    }

    const TBenchSettings settings("kalvaro-soak");
    const std::filesystem::path folder = settings.Folder();
    int result = 2;
    {
        TPtyPair pty1;
        TPtyPair pty2;
        settings.UsePorts(pty1.SlavePath(), pty2.SlavePath());
        const TScript script = MakeScript(ScriptSeed);
        std::ofstream(std::filesystem::path(folder) / "soak.cpo", std::ios::binary) << script.Text;

        // The far ends before any thread of the program exists.
        TSoakPeer peer1(pty1.MasterFd(), Port1Seed, false, script.Bytes);
        TSoakPeer peer2(pty2.MasterFd(), Port2Seed, true);

        // The offscreen platform says so for every popup the user opens.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
            if (message.startsWith("This plugin does not support")) return;
            std::fprintf(stderr, "%s\n", qFormatLogMessage(type, context, message).toLocal8Bit().constData());
        });
        QApplication app(argc, argv);
        QApplication::setApplicationName("Kalvaro");
        TSoak soak(seconds, folder, script, peer1, peer2);
        result = soak.Run();
        const std::string report = soak.Report();
        std::fputs(report.c_str(), stdout);
        if (!reportPath.empty()) std::ofstream(reportPath) << report;
    }
    return result;
}
