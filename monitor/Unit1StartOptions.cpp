// The command line's options applied to the window once it shows: ports
// opened as if picked, the upper view's mode, the script to play. See
// StartOptions.h for what the options say.
#include "monitor/Unit1.h"

#include "monitor/StartOptions.h"
#include "serial/AfPortControls.h"
#include "ui/AfApplicationError.h"

#include <QRadioButton>
#include <QTimer>

void TForm1::ApplyStartOptions(const TStartOptions& options) {
    if (options.UpperMode) {
        switch (*options.UpperMode) {
            case dmAscii:
                RadioButton1->setChecked(true);
                RadioButton1Click();
                break;
            case dmHex:
                RadioButton2->setChecked(true);
                RadioButton2Click();
                break;
            case dmDecimal:
                RadioButton3->setChecked(true);
                RadioButton3Click();
                break;
        }
    }
    // Before the ports open, so that the log has every byte.
    if (!options.LogFile.isEmpty()) AfGuard([&] { StartLog(options.LogFile); });
    // Set before the ports open: port 1's opening starts it.
    PendingScript = options.Script;
    if (options.Port1) AfGuard([&] { OpenAtStart(1, *options.Port1); });
    if (options.Port2) AfGuard([&] { OpenAtStart(2, *options.Port2); });
    Timer1Timer();
}

void TForm1::OpenAtStart(int port, const TPortStart& start) {
    const TPortRoles roles = Roles(port);
    TAfComPort* component = roles.Port;
    if (start.BaudRate == brUser)
        component->SetUserBaudRate(start.UserBaudRate);
    else if (start.BaudRate)
        component->SetBaudRate(*start.BaudRate);
    if (start.Parity) component->SetParity(*start.Parity);
    if (start.Databits) component->SetDatabits(*start.Databits);
    if (start.Stopbits) component->SetStopbits(*start.Stopbits);
    if (start.FlowControl) component->SetFlowControl(*start.FlowControl);
    FillBoxes(roles);
    // As a pick in the chooser: the summary, the number, then the open.
    ShowSummary(port);
    component->SetComNumber(static_cast<std::uint16_t>(start.Number));
    (port == 1 ? ComboBox1 : ComComboBox3)->SetPortNumber(static_cast<std::int16_t>(start.Number));
    component->Open();
}

void TForm1::PlayPendingScript() {
    if (PendingScript.isEmpty() || !Comport1->IsOpen()) return;
    const QString path = PendingScript;
    PendingScript.clear();
    // The box sends only once the refresh has found port 1 open.
    Timer1Timer();
    PlayScript(path);
}
