#include "serial/AfPortControls.h"

#include "platform/CommDevice.h"
#include "platform/DeviceAccess.h"
#include "platform/PortMap.h"
#include "platform/Trace.h"
#include "serial/AfComPort.h"
#include "serial/AfDeviceWatch.h"
#include "ui/AfApplicationError.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QFontInfo>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

#include <cstdlib>
#include <exception>
#include <string>

namespace {

// Suspends a widget's redrawing while it lives and puts the previous state
// back, also when the work in between raises.
class TUpdatesSuspended {
public:
    explicit TUpdatesSuspended(QWidget* widget) : widget_(widget), wasEnabled_(widget->updatesEnabled()) {
        widget_->setUpdatesEnabled(false);
    }
    ~TUpdatesSuspended() { widget_->setUpdatesEnabled(wasEnabled_); }
    TUpdatesSuspended(const TUpdatesSuspended&) = delete;
    TUpdatesSuspended& operator=(const TUpdatesSuspended&) = delete;

private:
    QWidget* widget_;
    const bool wasEnabled_;
};

bool Listed(TAfPortCtlOptions options, TAfPortState state) {
    if (!options.Contains(pcCheckExist)) return true;
    if (options.Contains(pcDisableOpen)) return state == psFree;
    return state != psAbsent;
}

// A device the user may not open looks busy to the probe; the usual cure on
// Linux is membership in the device's group, which takes a new login.
QString AccessHint(const std::string& device) {
    const auto denial = afp::DeviceAccessDenied(device);
    if (!denial) return {};
    const QString group = QString::fromStdString(denial->Group);
    if (denial->GroupMayUse) {
        return QStringLiteral(
                   "\nPermission denied: add your user to the '%1' group "
                   "(sudo usermod -aG %1 $USER), then log out and back in.")
            .arg(group);
    }
    return QStringLiteral(
               "\nPermission denied: neither your user nor the device's group '%1' may read and "
               "write it; ask the administrator for access.")
        .arg(group);
}

// What the user sees on hovering an entry: the device behind the number.
QString EntryToolTip(int number, TAfPortState state, const afp::TPortMap& map) {
    QString text = QStringLiteral("COM %1: ").arg(number);
    const auto entry = map.Find(number);
    if (!entry) return text + QStringLiteral("not present");
    text += QString::fromStdString(entry->Description);
    if (state == psBusy) text += QStringLiteral(" (busy)") + AccessHint(entry->Device);
    if (state == psAbsent) text += QStringLiteral(" (not present)");
    return text;
}

QPalette::ColorGroup GroupOf(const QStyleOptionViewItem& option) {
    if (!(option.state & QStyle::State_Enabled)) return QPalette::Disabled;
    return (option.state & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;
}

}  // namespace

// ---- TAfPortComboBox --------------------------------------------------------------

TAfPortComboBox::TAfPortComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(false);
    setItemDelegate(new TAfPortItemDelegate(this));
    UpdateItemHeight();
    // activated() is the user's pick only (mouse or keyboard); the program's
    // own selections (SelectPort) do not emit it.
    connect(this, &QComboBox::activated, this, [this](int) { AfGuard([this] { Change(); }); });
    RefreshList();
}

void TAfPortComboBox::SetComPort(TAfComPort* value) {
    if (value == comPort_) return;
    disconnect(comPortWatch_);
    comPort_ = value;
    if (!comPort_) return;
    comPortWatch_ = connect(comPort_, &QObject::destroyed, this, &TAfPortComboBox::ComPortDestroyed);
    SetPortNumber(static_cast<std::int16_t>(comPort_->ComNumber()));
}

void TAfPortComboBox::ComPortDestroyed(QObject*) {
    // Only the bound component is watched. Its derived parts are gone by now,
    // so the pointer is dropped without being looked at.
    comPort_ = nullptr;
    comPortWatch_ = {};
}

void TAfPortComboBox::SetOptions(TAfPortCtlOptions value) {
    if (value == options_) return;
    options_ = value;
    RefreshList();
}

void TAfPortComboBox::SetMaxComPorts(std::int16_t value) {
    if (value == maxComPorts_) return;
    maxComPorts_ = value;
    RefreshList();
}

void TAfPortComboBox::SetPortNumber(std::int16_t value) {
    if (value == portNumber_) return;
    portNumber_ = value;
    SelectPort();
}

void TAfPortComboBox::RefreshList() {
    TUpdatesSuspended suspended(this);
    clear();
    const afp::TPortMap map = afp::TPortMap::LoadDefault();
    for (int n = 1; n <= maxComPorts_; ++n) {
        const std::uint32_t probe = ProbePort(n);
        const TAfPortState state = ProbeState(probe);
        if (!Listed(options_, state)) continue;
        addItem(QStringLiteral("COM %1").arg(n), QVariant::fromValue(probe));
        setItemData(count() - 1, EntryToolTip(n, state, map), Qt::ToolTipRole);
    }
    // Adding to an empty list selects its first entry; a rebuilt list has none.
    setCurrentIndex(-1);
}

void TAfPortComboBox::SetDeviceWatch(TAfDeviceWatch* watch) {
    disconnect(deviceWatch_);
    deviceWatch_ = {};
    if (watch)
        deviceWatch_ =
            connect(watch, &TAfDeviceWatch::DevicesChanged, this, [this] { AfGuard([this] { FollowMachine(); }); });
}

void TAfPortComboBox::FollowMachine() {
    // A rebuild under the user's eyes would move the entries while they point.
    if (DroppedDown()) {
        listStale_ = true;
        return;
    }
    listStale_ = false;
    RefreshList();
    // A bound port that has come back under another number has that one chosen.
    if (comPort_ && comPort_->IsOpen()) portNumber_ = static_cast<std::int16_t>(comPort_->ComNumber());
    for (int i = 0; i < count(); ++i) {
        if (ItemPort(i) == portNumber_) {
            setCurrentIndex(i);
            break;
        }
    }
}

void TAfPortComboBox::hidePopup() {
    QComboBox::hidePopup();
    // After the pick the closing list may be part of, which rebuilds anyway.
    if (listStale_)
        QMetaObject::invokeMethod(
            this, [this] { AfGuard([this] { FollowMachine(); }); }, Qt::QueuedConnection);
}

void TAfPortComboBox::SelectPort() {
    for (int i = 0; i < count(); ++i) {
        if (ItemPort(i) == portNumber_) {
            setCurrentIndex(i);
            return;
        }
    }
    if (count() > 0) {
        setCurrentIndex(0);
        portNumber_ = ItemPort(0);
    } else {
        portNumber_ = 0;
    }
}

std::int16_t TAfPortComboBox::ItemPort(int index) const {
    if (index < 0 || index >= count()) return 0;
    return ProbeNumber(itemData(index).toUInt());
}

bool TAfPortComboBox::DroppedDown() const { return view() && view()->isVisible(); }

std::uint32_t TAfPortComboBox::ProbePort(int n) {
    // Not an open: that would put the line into raw mode under a program
    // that holds it (another terminal, say) and wiggle its modem lines.
    const DWORD found = afp::ProbeCommDevice("COM" + std::to_string(n));
    const TAfPortState state = found == ERROR_SUCCESS ? psFree : found == ERROR_FILE_NOT_FOUND ? psAbsent : psBusy;
    if (state == psFree)
        afp::Trace(afp::TTraceArea::Monitor, "port chooser: COM", n, " free");
    else
        afp::Trace(afp::TTraceArea::Monitor, "port chooser: COM", n, state == psAbsent ? " absent, " : " busy, ",
                   afp::TWin32Error{found});
    return (static_cast<std::uint32_t>(state) << 16) | (static_cast<std::uint32_t>(n) & 0xFFFFu);
}

void TAfPortComboBox::Change() {
    portNumber_ = ItemPort(currentIndex());
    if (OnChange) OnChange(this);
    // OnChange may have destroyed the component; the watch has cleared it then.
    if (!comPort_ || portNumber_ == 0) return;
    afp::Trace(afp::TTraceArea::Monitor, "port chooser: COM", portNumber_, " picked");
    std::exception_ptr error;
    try {
        comPort_->SetComNumber(static_cast<std::uint16_t>(portNumber_));
        if (!comPort_->IsOpen()) comPort_->Open();
    } catch (...) {
        error = std::current_exception();
    }
    // The pick changed which ports are busy: show it before reporting.
    RefreshList();
    SelectPort();
    if (error) std::rethrow_exception(error);
}

void TAfPortComboBox::UpdateItemHeight() { itemHeight_ = std::abs(QFontInfo(font()).pixelSize()) + 5; }

void TAfPortComboBox::changeEvent(QEvent* event) {
    QComboBox::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        UpdateItemHeight();
        RefreshList();
    }
}

bool TAfPortComboBox::event(QEvent* event) {
    // The closed box names the device behind the chosen number, unless the
    // window has given the chooser a hint of its own.
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty() && currentIndex() >= 0) {
        const auto* help = static_cast<QHelpEvent*>(event);
        QToolTip::showText(help->globalPos(), itemData(currentIndex(), Qt::ToolTipRole).toString(), this);
        return true;
    }
    return QComboBox::event(event);
}

// ---- TAfPortItemDelegate -------------------------------------------------------------

TAfPortItemDelegate::TAfPortItemDelegate(TAfPortComboBox* chooser) : QStyledItemDelegate(chooser), chooser_(chooser) {}

QColor TAfPortItemDelegate::TextColour(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QPalette::ColorGroup group = GroupOf(option);
    const bool selected = option.state & QStyle::State_Selected;
    const QColor usual = option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
    const bool empty = !(option.state & (QStyle::State_Selected | QStyle::State_HasFocus));
    if (!empty || !chooser_->Options().Contains(pcHighlightOpen) || !chooser_->DroppedDown()) return usual;
    switch (TAfPortComboBox::ProbeState(index.data(Qt::UserRole).toUInt())) {
        case psBusy: return option.palette.color(QPalette::Disabled, QPalette::Text);
        case psFree: return option.palette.color(group, QPalette::ButtonText);
        case psAbsent: break;
    }
    return usual;
}

void TAfPortItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QPalette::ColorGroup group = GroupOf(option);
    const bool selected = option.state & QStyle::State_Selected;
    painter->save();
    painter->fillRect(option.rect, option.palette.brush(group, selected ? QPalette::Highlight : QPalette::Base));
    painter->setClipRect(option.rect);
    painter->setFont(option.font);
    painter->setPen(TextColour(option, index));
    painter->drawText(option.rect.adjusted(1, 1, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                      index.data(Qt::DisplayRole).toString());
    painter->restore();
}

QSize TAfPortItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const int width = option.fontMetrics.horizontalAdvance(index.data(Qt::DisplayRole).toString()) + 2;
    return QSize(width, chooser_->ItemHeight());
}
