#pragma once
// The port chooser: a drop-down list of COM ports bound to one serial port
// component (AfComPort.h).
//
// The list is built by probing COM1 .. COM<MaxComPorts> in turn
// (afp::ProbeCommDevice: whether the device could be opened now, found out
// without changing it under a program that holds it), and the outcome (free,
// busy, absent) decides, with Options, whether the port is listed. Each entry
// reads "COM <n>", carries its probe value (ProbePort) as item data and, as
// its tool tip, the port map's description of the device behind the number,
// so the user can tell which device a number stands for. A busy entry whose
// device this user may not read and write (DeviceAccess.h) also says how to
// get access: usually by joining the device's group, "dialout".
//
// When the list is built: once at construction (so a window that creates its
// choosers lists the ports as it is created, before it is shown), after every
// pick, after Options or MaxComPorts change and after a font change. Between
// those moments it is not updated — unless a device watch is set
// (SetDeviceWatch): then the list also follows the machine, rebuilt whenever
// the watch tells of a change, with the chosen entry selected again
// (PortNumber does not change, also while its port is not listed — unless
// the bound component is open under another number, a lost device reopened
// where it came back: then that number is chosen). While the list is open
// such a rebuild waits until it closes. Building does not select
// an entry; SelectPort does.
//
// Picking an entry (the user activating one, by mouse or keyboard) runs
// Change() inside AfGuard, so an error of the pick is shown in the
// application's error box and never crosses Qt's event loop. Change() itself
// lets the error go to its caller: OnChange first (it still sees the bound
// component's previous number), then the component gets the new ComNumber
// and is opened if it is not open; the list is rebuilt and the entry
// re-selected whether or not that failed, and only then does the error go on.
// The component then keeps the new number and stays closed.
//
// The bound component is not owned. When it is destroyed the chooser forgets
// it (through its destroyed() signal); later picks only fire OnChange.
//
// With pcHighlightOpen the open list draws each entry that is neither
// selected nor focused in the grey-text colour (disabled Text of the palette)
// when its port is busy and in the button-text colour when it is free.
//
// GUI thread only. Every rebuild probes each device on the GUI thread;
// probing raises nothing.

#include "serial/AfDataDispatcher.h"

#include <QComboBox>
#include <QMetaObject>
#include <QStyledItemDelegate>

#include <cstdint>
#include <initializer_list>

class TAfComPort;
class TAfDeviceWatch;

enum TAfPortCtlOption : int { pcCheckExist, pcDisableOpen, pcHighlightOpen };

// A set of TAfPortCtlOption.
class TAfPortCtlOptions {
public:
    constexpr TAfPortCtlOptions() = default;
    constexpr TAfPortCtlOptions(std::initializer_list<TAfPortCtlOption> options) {
        for (TAfPortCtlOption option : options) Include(option);
    }
    constexpr bool Contains(TAfPortCtlOption option) const { return (bits_ & Bit(option)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr TAfPortCtlOptions& Include(TAfPortCtlOption option) {
        bits_ = static_cast<std::uint8_t>(bits_ | Bit(option));
        return *this;
    }
    constexpr TAfPortCtlOptions& Exclude(TAfPortCtlOption option) {
        bits_ = static_cast<std::uint8_t>(bits_ & ~Bit(option));
        return *this;
    }
    constexpr bool operator==(const TAfPortCtlOptions&) const = default;

private:
    static constexpr std::uint8_t Bit(TAfPortCtlOption option) { return static_cast<std::uint8_t>(1u << option); }
    std::uint8_t bits_ = 0;
};

// A port's state as ProbePort finds it (the high 16 bits of a probe value).
enum TAfPortState : std::uint16_t {
    psBusy = 0,    // exists, but held (by us or another program) or refused
    psFree = 1,    // could be opened now
    psAbsent = 2,  // no such device
};

class TAfPortComboBox : public QComboBox {
    Q_OBJECT

public:
    explicit TAfPortComboBox(QWidget* parent = nullptr);

    TAfComPort* ComPort() const { return comPort_; }
    // Binds a component (or none) and takes its ComNumber as PortNumber.
    void SetComPort(TAfComPort* value);
    TAfPortCtlOptions Options() const { return options_; }
    void SetOptions(TAfPortCtlOptions value);
    std::int16_t MaxComPorts() const { return maxComPorts_; }
    void SetMaxComPorts(std::int16_t value);

    // The port number of the chosen entry; 0 for none.
    std::int16_t PortNumber() const { return portNumber_; }
    // When value differs: stores it and SelectPort.
    void SetPortNumber(std::int16_t value);

    // Rebuilds the entries; leaves no entry selected.
    void RefreshList();
    // The watch whose changes the list follows, or none (not owned).
    void SetDeviceWatch(TAfDeviceWatch* watch);
    // Selects the entry of PortNumber; without one, the first entry (and
    // PortNumber becomes its number), or none on an empty list (PortNumber 0).
    void SelectPort();
    // The port number in an entry's data; 0 for index -1 (or out of range).
    std::int16_t ItemPort(int index) const;
    // The height every entry is drawn with: |font pixel height| + 5.
    int ItemHeight() const { return itemHeight_; }
    // Whether the entries' list is open.
    bool DroppedDown() const;

    // COM<n>'s probe value: n in the low 16 bits, its TAfPortState in the high.
    static std::uint32_t ProbePort(int n);
    static std::int16_t ProbeNumber(std::uint32_t probe) { return static_cast<std::int16_t>(probe & 0xFFFF); }
    static TAfPortState ProbeState(std::uint32_t probe) { return static_cast<TAfPortState>(probe >> 16); }

    // The pick of the entry at currentIndex(). Raises what applying the
    // number to the component or opening it raises (after the rebuild).
    void Change();

    TNotifyEvent OnChange;

    void hidePopup() override;

protected:
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void ComPortDestroyed(QObject* port);
    void UpdateItemHeight();
    // The rebuild for a change the watch told of.
    void FollowMachine();

    TAfComPort* comPort_ = nullptr;
    QMetaObject::Connection comPortWatch_;
    QMetaObject::Connection deviceWatch_;
    bool listStale_ = false;  // a change came while the list was open
    TAfPortCtlOptions options_{pcCheckExist};
    std::int16_t maxComPorts_ = 4;
    std::int16_t portNumber_ = 0;
    int itemHeight_ = 0;
};

// Draws the chooser's entries: the brush of the entry's state fills the
// rectangle, and the text goes 1 pixel right of and below its top-left
// corner, clipped to it, in the colour TextColour chooses.
class TAfPortItemDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    explicit TAfPortItemDelegate(TAfPortComboBox* chooser);

    // The state's colour (highlighted text for a selected entry, text
    // otherwise), or, with pcHighlightOpen, for an entry in the empty state
    // (neither selected nor focused) of the open list: the grey-text colour
    // for a busy port and the button-text colour for a free one.
    QColor TextColour(const QStyleOptionViewItem& option, const QModelIndex& index) const;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    TAfPortComboBox* chooser_;
};
