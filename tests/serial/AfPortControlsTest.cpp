// The port chooser on ports mapped to virtual null-modem ends and ptys: which
// ports it lists under each option, the probe values, the list following the
// machine with a device watch, the tool tips (with
// the advice on a device the user may not open), the selection rules, a pick
// that binds and opens the component (and one that fails), the drawing of
// busy and free entries, and the font's item height.
#include "serial/AfPortControls.h"

#include "platform/NetSocket.h"
#include "platform/PosixTermios2.h"
#include "serial/AfComPort.h"
#include "serial/AfDeviceWatch.h"
#include "tests/platform/ThreadIdentity.h"
#include "tests/serial/CoreTestSupport.h"
#include "tests/serial/GuiTestSupport.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/HeldTty.h"
#include "tests/support/Ser2net.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QFontInfo>
#include <QHelpEvent>
#include <QImage>
#include <QPainter>
#include <QTest>
#include <QToolTip>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kalvaro::test {
namespace {

using afp::virt::EndName;
using afp::virt::TEnd;

constexpr std::uint32_t Probe(int number, TAfPortState state) {
    return (static_cast<std::uint32_t>(state) << 16) | static_cast<std::uint32_t>(number);
}

QStringList Texts(const QComboBox& chooser) {
    QStringList texts;
    for (int i = 0; i < chooser.count(); ++i) texts << chooser.itemText(i);
    return texts;
}

std::vector<std::uint32_t> Probes(const QComboBox& chooser) {
    std::vector<std::uint32_t> probes;
    for (int i = 0; i < chooser.count(); ++i) probes.push_back(chooser.itemData(i).toUInt());
    return probes;
}

// The user's pick: open the list, move to the entry, press Return.
void PickInList(TAfPortComboBox& chooser, int row) {
    chooser.showPopup();
    chooser.view()->setCurrentIndex(chooser.model()->index(row, 0));
    QTest::keyClick(chooser.view(), Qt::Key_Return);
}

// COM1 and COM2 are the two ends of one virtual cable; COM3 and COM4 are not
// mapped, so they do not exist.
class AfPortControlsTest : public testing::Test {
protected:
    AfPortControlsTest() : Pair(FreshPairName("chooser")) {
        MapPorts({{1, EndA()}, {2, EndB()}});
        Port.setObjectName("Comport1");
    }
    ~AfPortControlsTest() override { ResetSettings(); }

    std::string EndA() const { return EndName(Pair, TEnd::A); }
    std::string EndB() const { return EndName(Pair, TEnd::B); }

    // Holds a device open the way another program would.
    static std::unique_ptr<afp::TCommDevice> Hold(const std::string& device) {
        auto held = afp::OpenCommDevice(device);
        EXPECT_TRUE(held) << device << ": error " << afp::LastError();
        return held;
    }

    const std::string Pair;
    TAfComPort Port;
};

// ---- the list --------------------------------------------------------------------------

TEST_F(AfPortControlsTest, NewChooserListsThePortsThatExistWithoutSelectingOne) {
    TAfPortComboBox chooser;
    EXPECT_EQ(chooser.Options(), TAfPortCtlOptions{pcCheckExist});
    EXPECT_EQ(chooser.MaxComPorts(), 4);
    EXPECT_EQ(chooser.PortNumber(), 0);
    EXPECT_EQ(chooser.ComPort(), nullptr);
    EXPECT_FALSE(chooser.isEditable());
    EXPECT_EQ(Texts(chooser), (QStringList{"COM 1", "COM 2"}));
    EXPECT_EQ(Probes(chooser), (std::vector{Probe(1, psFree), Probe(2, psFree)}));
    EXPECT_EQ(chooser.currentIndex(), -1);
    EXPECT_EQ(chooser.ItemPort(0), 1);
    EXPECT_EQ(chooser.ItemPort(1), 2);
    EXPECT_EQ(chooser.ItemPort(-1), 0);
}

TEST_F(AfPortControlsTest, ProbeValueHoldsTheNumberAndTheState) {
    TPtyPair pty;
    auto gone = std::make_unique<TPtyPair>();
    const std::string gonePath = gone->SlavePath();
    gone.reset();
    ASSERT_FALSE(std::filesystem::exists(gonePath));
    MapPorts({{1, EndA()}, {2, EndB()}, {5, pty.SlavePath()}, {6, gonePath}});

    EXPECT_EQ(TAfPortComboBox::ProbePort(1), 0x00010001u);
    EXPECT_EQ(TAfPortComboBox::ProbePort(3), 0x00020003u);
    EXPECT_EQ(TAfPortComboBox::ProbePort(5), Probe(5, psFree));
    EXPECT_EQ(TAfPortComboBox::ProbePort(6), Probe(6, psAbsent));
    {
        const auto held = Hold(EndA());
        const auto heldPty = Hold(pty.SlavePath());
        EXPECT_EQ(TAfPortComboBox::ProbePort(1), 0x00000001u);
        EXPECT_EQ(TAfPortComboBox::ProbePort(5), Probe(5, psBusy));
    }
    // A probe closes what it opened: the ports can be taken right after.
    EXPECT_TRUE(Hold(EndB()));
    EXPECT_TRUE(Hold(pty.SlavePath()));
    EXPECT_EQ(TAfPortComboBox::ProbeNumber(Probe(300, psAbsent)), 300);
    EXPECT_EQ(TAfPortComboBox::ProbeState(Probe(300, psAbsent)), psAbsent);
}

// The way minicom, screen or a pyserial script hold a port: with a claim of
// one of the three kinds Linux serial programs respect. Root's opens pass
// TIOCEXCL, so only asking the kernel shows that one.
TEST_F(AfPortControlsTest, PortsClaimedByOtherProgramsAreBusyAndStaleLockFilesAreNot) {
    TPtyPair flocked, exclusive, lockFile, binaryLockFile, staleLockFile;
    MapPorts({{1, flocked.SlavePath()},
              {2, exclusive.SlavePath()},
              {3, lockFile.SlavePath()},
              {4, binaryLockFile.SlavePath()},
              {5, staleLockFile.SlavePath()}});
    const THeldTty flockHolder(flocked.SlavePath(), THeldTty::TClaim::Flock);
    const THeldTty exclusiveHolder(exclusive.SlavePath(), THeldTty::TClaim::Exclusive);
    WriteLockFile(lockFile.SlavePath(), flockHolder.Pid());
    WriteLockFile(binaryLockFile.SlavePath(), exclusiveHolder.Pid(), true);
    WriteLockFile(staleLockFile.SlavePath(), DeadPid());

    TAfPortComboBox chooser;
    chooser.SetMaxComPorts(5);
    EXPECT_EQ(Probes(chooser),
              (std::vector{Probe(1, psBusy), Probe(2, psBusy), Probe(3, psBusy), Probe(4, psBusy), Probe(5, psFree)}));
}

// A shell (or minicom) works in the pty in canonical mode with echo, and the
// far end of a virtual cable watches its modem lines; the chooser probes at
// every rebuild and must take nothing from either.
TEST_F(AfPortControlsTest, RebuildsDisturbNoPortInUse) {
    TPtyPair pty;
    MapPorts({{1, pty.SlavePath()}, {2, EndA()}});
    const THeldTty shell(pty.SlavePath(), THeldTty::TClaim::None, true);
    const TTtySettings before = SettingsOf(pty.MasterFd());
    ASSERT_TRUE(before.CanonicalWithEcho);
    const auto farEnd = Hold(EndB());
    ASSERT_TRUE(farEnd->SetCommMask(EV_CTS | EV_DSR | EV_RLSD));
    TCommWait lineChange(*farEnd);
    ASSERT_TRUE(lineChange.StartOutstanding());

    TAfPortComboBox chooser;
    for (int rebuild = 1; rebuild < 100; ++rebuild) chooser.RefreshList();
    EXPECT_EQ(Probes(chooser), (std::vector{Probe(1, psFree), Probe(2, psFree)}))
        << "nothing shows that the shell holds the pty";
    EXPECT_EQ(SettingsOf(pty.MasterFd()).Bytes, before.Bytes) << "the terminal's settings changed";
    EXPECT_FALSE(lineChange.Signalled(milliseconds(0))) << "the far end saw the lines move";
}

TEST_F(AfPortControlsTest, OptionsDecideWhichPortsAreListed) {
    const auto held = Hold(EndA());
    TAfPortComboBox chooser;
    EXPECT_EQ(Texts(chooser), (QStringList{"COM 1", "COM 2"}));
    EXPECT_EQ(Probes(chooser), (std::vector{Probe(1, psBusy), Probe(2, psFree)}));

    chooser.SetOptions({pcCheckExist, pcDisableOpen});
    EXPECT_EQ(Texts(chooser), (QStringList{"COM 2"}));

    chooser.SetOptions({});
    EXPECT_EQ(Texts(chooser), (QStringList{"COM 1", "COM 2", "COM 3", "COM 4"}));
    EXPECT_EQ(Probes(chooser),
              (std::vector{Probe(1, psBusy), Probe(2, psFree), Probe(3, psAbsent), Probe(4, psAbsent)}));

    // pcDisableOpen means nothing without pcCheckExist.
    chooser.SetOptions({pcDisableOpen});
    EXPECT_EQ(chooser.count(), 4);
}

TEST_F(AfPortControlsTest, MaxComPortsBoundsTheProbing) {
    MapPorts({{1, EndA()}, {2, EndB()}, {6, EndName(FreshPairName("far"), TEnd::A)}});
    TAfPortComboBox chooser;
    EXPECT_EQ(Texts(chooser), (QStringList{"COM 1", "COM 2"}));
    chooser.SetMaxComPorts(6);
    EXPECT_EQ(Texts(chooser), (QStringList{"COM 1", "COM 2", "COM 6"}));
    chooser.SetMaxComPorts(1);
    EXPECT_EQ(Texts(chooser), (QStringList{"COM 1"}));
    chooser.SetMaxComPorts(0);
    EXPECT_EQ(chooser.count(), 0);
    chooser.SetOptions({});
    chooser.SetMaxComPorts(-3);
    EXPECT_EQ(chooser.count(), 0);
}

TEST_F(AfPortControlsTest, ListChangesOnlyWhenRebuilt) {
    TAfPortComboBox chooser;
    chooser.SetPortNumber(2);
    const auto held = Hold(EndA());
    EXPECT_EQ(Probes(chooser), (std::vector{Probe(1, psFree), Probe(2, psFree)}));

    std::vector<bool> updatesWhileAdding;
    QObject::connect(chooser.model(), &QAbstractItemModel::rowsInserted,
                     [&] { updatesWhileAdding.push_back(chooser.updatesEnabled()); });
    chooser.RefreshList();
    EXPECT_EQ(Probes(chooser), (std::vector{Probe(1, psBusy), Probe(2, psFree)}));
    EXPECT_EQ(updatesWhileAdding, (std::vector{false, false}));
    EXPECT_TRUE(chooser.updatesEnabled());
    // A rebuild selects nothing, and keeps the number.
    EXPECT_EQ(chooser.currentIndex(), -1);
    EXPECT_EQ(chooser.PortNumber(), 2);
}

TEST_F(AfPortControlsTest, WithADeviceWatchTheListFollowsTheMachineAndKeepsTheChoice) {
    TTempFolder folder;
    const std::filesystem::path link = folder.Path() / "adapter";
    MapPorts({{1, EndA()}, {2, EndB()}, {3, link.string()}});
    TAfDeviceWatch watch;
    ASSERT_TRUE(watch.Watching());
    TAfPortComboBox chooser;
    chooser.SetDeviceWatch(&watch);
    chooser.SetPortNumber(2);
    ASSERT_EQ(Texts(chooser), (QStringList{"COM 1", "COM 2"}));

    // A pty's link named in [Ports] appears, as a by-id link does.
    TPtyPair pty;
    std::filesystem::create_symlink(pty.SlavePath(), link);
    EXPECT_TRUE(PumpUntil([&] { return Texts(chooser) == QStringList{"COM 1", "COM 2", "COM 3"}; }));
    EXPECT_EQ(chooser.currentText(), "COM 2");

    afp::virt::Unplug(EndB());
    EXPECT_TRUE(PumpUntil([&] { return Texts(chooser) == QStringList{"COM 1", "COM 3"}; }));
    EXPECT_EQ(chooser.currentIndex(), -1);
    EXPECT_EQ(chooser.PortNumber(), 2);

    // While the list is open it stays as it is; it follows once closed.
    int changes = 0;
    QObject::connect(&watch, &TAfDeviceWatch::DevicesChanged, [&] { ++changes; });
    chooser.showPopup();
    ASSERT_TRUE(PumpUntil([&] { return chooser.DroppedDown(); }));
    afp::virt::Plug(EndB());
    ASSERT_TRUE(PumpUntil([&] { return changes > 0; }));
    EXPECT_EQ(Texts(chooser), (QStringList{"COM 1", "COM 3"}));
    chooser.hidePopup();
    EXPECT_TRUE(PumpUntil([&] { return Texts(chooser) == QStringList{"COM 1", "COM 2", "COM 3"}; }));
    EXPECT_EQ(chooser.currentText(), "COM 2");

    std::filesystem::remove(link);
    EXPECT_TRUE(PumpUntil([&] { return Texts(chooser) == QStringList{"COM 1", "COM 2"}; }));
}

TEST_F(AfPortControlsTest, ToolTipsNameTheDeviceBehindEachNumber) {
    TPtyPair pty;
    MapPorts({{1, EndA()}, {2, "virtual:demo/B"}, {3, pty.SlavePath()}});
    const auto held = Hold(EndA());
    TAfPortComboBox chooser;
    chooser.SetOptions({});
    ASSERT_EQ(chooser.count(), 4);
    const auto tip = [&](int i) { return chooser.itemData(i, Qt::ToolTipRole).toString(); };
    EXPECT_EQ(tip(0), QString::fromStdString("COM 1: virtual null-modem " + Pair + ", end A (busy)"));
    EXPECT_EQ(tip(1), "COM 2: virtual null-modem, end B");
    EXPECT_EQ(tip(2), QString::fromStdString("COM 3: " + pty.SlavePath()));
    EXPECT_EQ(tip(3), "COM 4: not present");

    // The closed box names the device of the chosen entry.
    chooser.SetPortNumber(3);
    chooser.resize(80, 22);
    chooser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chooser));
    QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), chooser.mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(&chooser, &help);
    EXPECT_TRUE(PumpUntil([&] { return QToolTip::isVisible(); }));
    EXPECT_EQ(QToolTip::text(), tip(2));
    QToolTip::hideText();
}

// With root this thread looks at the devices as nobody, after giving one to
// dialout the way udev does; without root the user's own ptys lose the
// owner's rights instead. Either way the probe is refused with "permission
// denied", and the tool tip says whose the device is and what to do.
TEST_F(AfPortControlsTest, ToolTipOfADeviceTheUserMayNotOpenSaysHowToGetAccess) {
    namespace fs = std::filesystem;
    TPtyPair adapter;
    TPtyPair console;
    MapPorts({{1, EndA()}, {2, EndB()}, {3, adapter.SlavePath()}, {4, console.SlavePath()}});
    const auto chmodOf = [](const std::string& path, mode_t mode) { return ::chmod(path.c_str(), mode) == 0; };
    std::optional<TThreadIdentity> nobody;
    if (TThreadIdentity::Available()) {
        const group* dialout = ::getgrnam("dialout");
        if (!dialout) GTEST_SKIP() << "this machine has no group dialout";
        ASSERT_EQ(::chown(adapter.SlavePath().c_str(), 0, dialout->gr_gid), 0);
        ASSERT_TRUE(chmodOf(adapter.SlavePath(), 0660));
        ASSERT_EQ(::chown(console.SlavePath().c_str(), 0, 0), 0);
        ASSERT_TRUE(chmodOf(console.SlavePath(), 0600));
        // nobody reads the port map too.
        fs::permissions(ConfigHome(), fs::perms::owner_all | fs::perms::others_exec);
        fs::permissions(SettingsFile().parent_path(), fs::perms::owner_all | fs::perms::others_exec);
        fs::permissions(SettingsFile(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
        nobody.emplace(65534, 65534);
    } else {
        ASSERT_TRUE(chmodOf(adapter.SlavePath(), 0060));
        ASSERT_TRUE(chmodOf(console.SlavePath(), 0000));
    }
    const auto groupOf = [](const std::string& path) {
        struct stat info {};
        EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
        const group* found = ::getgrgid(info.st_gid);
        return QString::fromLocal8Bit(found ? found->gr_name : std::to_string(info.st_gid).c_str());
    };
    const QString adapterGroup = groupOf(adapter.SlavePath());
    const QString consoleGroup = groupOf(console.SlavePath());

    TAfPortComboBox chooser;
    nobody.reset();
    fs::permissions(ConfigHome(), fs::perms::owner_all);
    ASSERT_EQ(Probes(chooser), (std::vector{Probe(1, psFree), Probe(2, psFree), Probe(3, psBusy), Probe(4, psBusy)}));
    const auto tip = [&](int i) { return chooser.itemData(i, Qt::ToolTipRole).toString(); };
    EXPECT_EQ(tip(2), QString::fromStdString("COM 3: " + adapter.SlavePath()) +
                          " (busy)\nPermission denied: add your user to the '" + adapterGroup +
                          "' group (sudo usermod -aG " + adapterGroup + " $USER), then log out and back in.");
    EXPECT_EQ(tip(3), QString::fromStdString("COM 4: " + console.SlavePath()) +
                          " (busy)\nPermission denied: neither your user nor the device's group '" + consoleGroup +
                          "' may read and write it; ask the administrator for access.");
    EXPECT_EQ(tip(0), QString::fromStdString("COM 1: virtual null-modem " + Pair + ", end A"));

    // A device held by another program is busy for other reasons: no advice.
    ASSERT_TRUE(chmodOf(adapter.SlavePath(), 0600));
    const auto held = Hold(adapter.SlavePath());
    chooser.RefreshList();
    ASSERT_EQ(chooser.ItemPort(2), 3);
    EXPECT_EQ(tip(2), QString::fromStdString("COM 3: " + adapter.SlavePath() + " (busy)"));
}

TEST_F(AfPortControlsTest, SelectPortFallsBackToTheFirstEntryOrToNone) {
    TAfPortComboBox chooser;
    chooser.SetPortNumber(2);
    EXPECT_EQ(chooser.currentIndex(), 1);
    EXPECT_EQ(chooser.currentText(), "COM 2");

    chooser.SetPortNumber(4);  // absent: not listed
    EXPECT_EQ(chooser.currentIndex(), 0);
    EXPECT_EQ(chooser.PortNumber(), 1);

    chooser.SetMaxComPorts(0);
    EXPECT_EQ(chooser.PortNumber(), 1);  // a rebuild alone keeps it
    chooser.SelectPort();
    EXPECT_EQ(chooser.PortNumber(), 0);
    EXPECT_EQ(chooser.currentIndex(), -1);
}

TEST_F(AfPortControlsTest, BindingTakesTheComponentsNumber) {
    TAfPortComboBox chooser;
    chooser.SetComPort(&Port);  // ComNumber 0: nothing chosen
    EXPECT_EQ(chooser.ComPort(), &Port);
    EXPECT_EQ(chooser.PortNumber(), 0);
    EXPECT_EQ(chooser.currentIndex(), -1);

    TAfComPort other;
    other.SetComNumber(2);
    chooser.SetComPort(&other);
    EXPECT_EQ(chooser.PortNumber(), 2);
    EXPECT_EQ(chooser.currentText(), "COM 2");
}

// ---- picks -------------------------------------------------------------------------

TEST_F(AfPortControlsTest, PickSetsTheNumberAndOpensThePort) {
    TAfPortComboBox chooser;
    chooser.SetComPort(&Port);
    TErrorBoxes boxes;
    std::vector<int> seen;  // the component's number as OnChange sees it
    chooser.OnChange = [&](QObject* sender) {
        EXPECT_EQ(sender, &chooser);
        seen.push_back(Port.ComNumber());
    };

    PickInList(chooser, 1);
    EXPECT_TRUE(boxes.Texts.isEmpty()) << boxes.Texts.join("; ").toStdString();
    EXPECT_EQ(seen, std::vector{0});
    EXPECT_EQ(Port.ComNumber(), 2);
    EXPECT_TRUE(Port.IsOpen());
    // Rebuilt after the pick: port 2 is busy now, still listed and selected.
    EXPECT_EQ(Probes(chooser), (std::vector{Probe(1, psFree), Probe(2, psBusy)}));
    EXPECT_EQ(chooser.currentText(), "COM 2");
    EXPECT_EQ(chooser.PortNumber(), 2);

    // Another port: the open port moves to it.
    std::vector<std::string> portEvents;
    Port.OnPortClose = [&](QObject*) { portEvents.push_back("close " + std::to_string(Port.ComNumber())); };
    Port.OnPortOpen = [&](QObject*) { portEvents.push_back("open " + std::to_string(Port.ComNumber())); };
    PickInList(chooser, 0);
    EXPECT_EQ(seen, (std::vector{0, 2}));
    EXPECT_EQ(portEvents, (std::vector<std::string>{"close 2", "open 1"}));
    EXPECT_EQ(Probes(chooser), (std::vector{Probe(1, psBusy), Probe(2, psFree)}));
    EXPECT_EQ(chooser.currentText(), "COM 1");
}

TEST_F(AfPortControlsTest, PickOfTheOpenBoundPortLeavesItOpen) {
    Port.SetComNumber(2);
    Port.Open();
    TAfPortComboBox chooser;
    chooser.SetComPort(&Port);
    ASSERT_EQ(chooser.currentText(), "COM 2");
    int closes = 0, opens = 0;
    Port.OnPortClose = [&](QObject*) { ++closes; };
    Port.OnPortOpen = [&](QObject*) { ++opens; };

    chooser.setCurrentIndex(1);
    chooser.Change();
    EXPECT_TRUE(Port.IsOpen());
    EXPECT_EQ(Port.ComNumber(), 2);
    EXPECT_EQ(closes, 0);
    EXPECT_EQ(opens, 0);
    EXPECT_EQ(chooser.currentText(), "COM 2");
}

TEST_F(AfPortControlsTest, PickThatFailsToOpenRaisesAfterReselecting) {
    afp::virt::Refuse(EndB(), afp::virt::TRefusable::SetCommState, true);
    TAfPortComboBox chooser;
    chooser.SetComPort(&Port);
    ASSERT_EQ(chooser.count(), 2);

    chooser.setCurrentIndex(1);
    try {
        chooser.Change();
        ADD_FAILURE() << "no error";
    } catch (const EAfComPortCoreError& e) {
        EXPECT_STREQ(e.what(), "Error setting parameters from DCB");
    }
    EXPECT_EQ(Port.ComNumber(), 2);
    EXPECT_FALSE(Port.IsOpen());
    EXPECT_EQ(chooser.currentText(), "COM 2");
    EXPECT_EQ(chooser.PortNumber(), 2);

    // The user's pick shows the error once, in the application's error box.
    TAfComPort second;
    chooser.SetComPort(&second);
    TErrorBoxes boxes;
    PickInList(chooser, 1);
    EXPECT_EQ(boxes.Texts, QStringList{"Error setting parameters from DCB."});
    EXPECT_EQ(second.ComNumber(), 2);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(chooser.currentText(), "COM 2");
    afp::virt::Refuse(EndB(), afp::virt::TRefusable::SetCommState, false);
}

TEST_F(AfPortControlsTest, PickOfAPortThatIsGoneRaises) {
    auto gone = std::make_unique<TPtyPair>();
    const std::string gonePath = gone->SlavePath();
    gone.reset();
    MapPorts({{1, EndA()}, {2, EndB()}, {3, gonePath}});
    TAfPortComboBox chooser;
    chooser.SetOptions({});  // lists absent ports too
    chooser.SetComPort(&Port);
    ASSERT_EQ(chooser.itemText(2), "COM 3");

    chooser.setCurrentIndex(2);
    EXPECT_EQ(ErrorOf([&] { chooser.Change(); }), "Invalid port number (COM3)");
    EXPECT_EQ(Port.ComNumber(), 3);
    EXPECT_FALSE(Port.IsOpen());
    EXPECT_EQ(chooser.currentText(), "COM 3");
}

// Probing a network entry must not connect: the server would open its
// device, which raises DTR and resets many boards. ser2net sets its own
// speed on the pty for each connection, so the pty shows whether one came.
TEST_F(AfPortControlsTest, NetworkEntriesAreFreeWithoutAConnectionAndAPickConnects) {
    TPtyPair pty;
    TSer2net ser2net(pty.SlavePath());
    ASSERT_TRUE(ser2net.Running()) << ser2net.Problem();
    std::uint16_t closedPort = 0;
    {
        const auto listener = afp::TNetListener::Listen();
        ASSERT_TRUE(listener);
        closedPort = listener->Port();
    }
    const std::string nowhere = "tcp://127.0.0.1:" + std::to_string(closedPort);
    MapPorts({{1, EndA()}, {2, EndB()}, {3, ser2net.Address()}, {4, nowhere}});
    const auto speed = [&] {
        afp_line_settings line{};
        afp_line_get(pty.MasterFd(), &line);
        return line.ospeed;
    };
    ASSERT_NE(speed(), 115200u);

    TAfPortComboBox chooser;
    chooser.SetComPort(&Port);
    EXPECT_EQ(Texts(chooser), (QStringList{"COM 1", "COM 2", "COM 3", "COM 4"}));
    EXPECT_EQ(Probes(chooser)[2], Probe(3, psFree));
    EXPECT_EQ(Probes(chooser)[3], Probe(4, psFree));
    EXPECT_EQ(chooser.itemData(2, Qt::ToolTipRole).toString(), QString::fromStdString("COM 3: " + ser2net.Address()));
    EXPECT_NE(speed(), 115200u) << "the probe connected";

    PickInList(chooser, 2);
    ASSERT_TRUE(Port.IsOpen());
    EXPECT_EQ(speed(), 115200u);
    pty.Write("net");
    std::string received;
    EXPECT_TRUE(PumpUntil([&] { return (received += Port.ReadAvailable()).size() >= 3; }));
    EXPECT_EQ(received, "net");

    // Nobody answers there: the open fails as for a device that is missing.
    TAfComPort second;
    chooser.SetComPort(&second);
    TErrorBoxes boxes;
    PickInList(chooser, 3);
    EXPECT_EQ(boxes.Texts, QStringList{"Invalid port number (COM4)"});
    EXPECT_FALSE(second.IsOpen());
}

TEST_F(AfPortControlsTest, DestroyedComponentIsForgotten) {
    TAfPortComboBox chooser;
    auto port = std::make_unique<TAfComPort>();
    TAfComPort kept;
    chooser.SetComPort(port.get());
    chooser.SetComPort(&kept);
    port.reset();  // no longer bound: changes nothing
    EXPECT_EQ(chooser.ComPort(), &kept);

    port = std::make_unique<TAfComPort>();
    chooser.SetComPort(port.get());
    port.reset();
    EXPECT_EQ(chooser.ComPort(), nullptr);

    int changes = 0;
    chooser.OnChange = [&](QObject*) { ++changes; };
    const auto held = Hold(EndA());  // not shown: a pick without component rebuilds nothing
    PickInList(chooser, 1);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(chooser.PortNumber(), 2);
    EXPECT_EQ(TAfPortComboBox::ProbePort(2), Probe(2, psFree));
    EXPECT_EQ(Probes(chooser), (std::vector{Probe(1, psFree), Probe(2, psFree)}));
    EXPECT_EQ(kept.ComNumber(), 0);
}

// ---- drawing ----------------------------------------------------------------------------

class AfPortControlsDrawingTest : public AfPortControlsTest {
protected:
    static constexpr QRgb Grey = qRgb(255, 0, 0);  // disabled text
    static constexpr QRgb ButtonText = qRgb(0, 0, 255);
    static constexpr QRgb Text = qRgb(0, 160, 0);
    static constexpr QRgb Highlighted = qRgb(255, 255, 0);

    void SetUp() override {
        QPalette palette = Chooser.palette();
        palette.setColor(QPalette::Text, QColor::fromRgb(Text));
        palette.setColor(QPalette::Disabled, QPalette::Text, QColor::fromRgb(Grey));
        palette.setColor(QPalette::ButtonText, QColor::fromRgb(ButtonText));
        palette.setColor(QPalette::Base, Qt::white);
        palette.setColor(QPalette::Highlight, Qt::black);
        palette.setColor(QPalette::HighlightedText, QColor::fromRgb(Highlighted));
        Chooser.setPalette(palette);
        // Without smoothing every text pixel has the pen's colour exactly.
        QFont font = Chooser.font();
        font.setPixelSize(14);
        font.setStyleStrategy(QFont::NoAntialias);
        Chooser.setFont(font);  // rebuilds: COM1 is busy by now
        Chooser.SetOptions({pcCheckExist, pcHighlightOpen});
        Chooser.resize(80, 22);
        Chooser.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&Chooser));
        ASSERT_EQ(Probes(Chooser), (std::vector{Probe(1, psBusy), Probe(2, psFree)}));
    }
    void TearDown() override { Chooser.hidePopup(); }

    TAfPortItemDelegate& Delegate() { return *static_cast<TAfPortItemDelegate*>(Chooser.itemDelegate()); }

    QStyleOptionViewItem Option(QStyle::State state) {
        QStyleOptionViewItem option;
        option.palette = Chooser.view()->palette();
        option.font = Chooser.view()->font();
        option.fontMetrics = QFontMetrics(option.font);
        option.state = state;
        option.rect = QRect(0, 0, 60, Chooser.ItemHeight());
        return option;
    }
    QColor ColourOf(int row, QStyle::State state = QStyle::State_Enabled | QStyle::State_Active) {
        return Delegate().TextColour(Option(state), Chooser.model()->index(row, 0));
    }

    static int Count(const QImage& image, QRgb colour) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) n += (image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
        return n;
    }

    std::unique_ptr<afp::TCommDevice> Held = Hold(EndA());
    TAfPortComboBox Chooser;
};

TEST_F(AfPortControlsDrawingTest, OpenListColoursBusyAndFreeEntries) {
    Chooser.showPopup();
    ASSERT_TRUE(Chooser.DroppedDown());
    EXPECT_EQ(ColourOf(0).rgb(), Grey);
    EXPECT_EQ(ColourOf(1).rgb(), ButtonText);
    // The selected and the focused entry keep the usual colours.
    EXPECT_EQ(ColourOf(0, QStyle::State_Enabled | QStyle::State_Active | QStyle::State_Selected).rgb(), Highlighted);
    EXPECT_EQ(ColourOf(1, QStyle::State_Enabled | QStyle::State_Active | QStyle::State_HasFocus).rgb(), Text);

    // What the user sees: the current entry is highlighted, the other one
    // coloured by its port's state.
    QAbstractItemView* view = Chooser.view();
    view->setCurrentIndex(Chooser.model()->index(1, 0));
    QImage shown = view->grab().toImage();
    EXPECT_GT(Count(shown, Grey), 0);
    EXPECT_GT(Count(shown, Highlighted), 0);
    EXPECT_EQ(Count(shown, ButtonText), 0);
    EXPECT_EQ(Count(shown, Text), 0);

    view->setCurrentIndex(Chooser.model()->index(0, 0));
    shown = view->grab().toImage();
    EXPECT_GT(Count(shown, ButtonText), 0);
    EXPECT_GT(Count(shown, Highlighted), 0);
    EXPECT_EQ(Count(shown, Grey), 0);
}

TEST_F(AfPortControlsDrawingTest, EntriesKeepTheUsualColoursOtherwise) {
    EXPECT_FALSE(Chooser.DroppedDown());
    EXPECT_EQ(ColourOf(0).rgb(), Text);  // closed list
    EXPECT_EQ(ColourOf(1).rgb(), Text);

    Chooser.SetOptions({});  // absent ports keep the colour
    Chooser.SetOptions({pcHighlightOpen});
    Chooser.showPopup();
    ASSERT_EQ(Chooser.count(), 4);
    EXPECT_EQ(ColourOf(0).rgb(), Grey);
    EXPECT_EQ(ColourOf(2).rgb(), Text);

    Chooser.SetOptions({pcCheckExist});
    Chooser.showPopup();
    EXPECT_EQ(ColourOf(0).rgb(), Text);
    const QImage shown = Chooser.view()->grab().toImage();
    EXPECT_GT(Count(shown, Text), 0);
    EXPECT_EQ(Count(shown, Grey), 0);
    EXPECT_EQ(Count(shown, ButtonText), 0);
}

TEST_F(AfPortControlsDrawingTest, EntryIsFilledAndItsTextSetOffByOnePixel) {
    Chooser.showPopup();
    QImage image(60, Chooser.ItemHeight(), QImage::Format_RGB32);
    image.fill(Qt::black);
    {
        QPainter painter(&image);
        Delegate().paint(&painter, Option(QStyle::State_Enabled | QStyle::State_Active), Chooser.model()->index(0, 0));
    }
    EXPECT_GT(Count(image, Grey), 0);
    EXPECT_EQ(Count(image, Grey) + Count(image, qRgb(255, 255, 255)), image.width() * image.height());
    for (int x = 0; x < image.width(); ++x) EXPECT_EQ(image.pixel(x, 0) & 0xFFFFFF, 0xFFFFFFu) << x;
    for (int y = 0; y < image.height(); ++y) EXPECT_EQ(image.pixel(0, y) & 0xFFFFFF, 0xFFFFFFu) << y;
}

TEST_F(AfPortControlsDrawingTest, FontChangeSetsTheItemHeightAndRebuilds) {
    EXPECT_EQ(Chooser.ItemHeight(), 19);
    Chooser.SetPortNumber(2);
    Held.reset();
    QFont font = Chooser.font();
    font.setPixelSize(20);
    Chooser.setFont(font);
    EXPECT_EQ(Chooser.ItemHeight(), std::abs(QFontInfo(font).pixelSize()) + 5);
    EXPECT_EQ(Chooser.ItemHeight(), 25);
    EXPECT_EQ(Probes(Chooser), (std::vector{Probe(1, psFree), Probe(2, psFree)}));
    EXPECT_EQ(Chooser.currentIndex(), -1);

    Chooser.showPopup();
    EXPECT_EQ(Chooser.view()->visualRect(Chooser.model()->index(1, 0)).height(), 25);
}

}  // namespace
}  // namespace kalvaro::test
