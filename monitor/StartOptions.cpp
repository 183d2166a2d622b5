// The command line: what it may say, and the checks made before any window
// exists. See StartOptions.h.
#include "monitor/StartOptions.h"

#include "platform/CommDevice.h"
#include "platform/NetworkPort.h"
#include "platform/PortMap.h"
#include "platform/Profile.h"
#include "ui/ScriptFile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <filesystem>
#include <system_error>
#include <tuple>

namespace {

// The rates a port takes: the slowest teleprinter line to the fastest USB
// adapters.
constexpr int SlowestRate = 50;
constexpr int FastestRate = 12'000'000;
constexpr int HighestComNumber = 255;

// The rates the panels list, by TAfBaudrate ordinal.
constexpr std::array<int, 15> ListedRates{110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                          19200, 38400, 56000, 57600, 115200, 128000, 256000};

bool AllDigits(const QString& text) {
    if (text.isEmpty()) return false;
    for (const QChar character : text)
        if (character.unicode() < u'0' || character.unicode() > u'9') return false;
    return true;
}

std::optional<TAfParity> ParityOf(QChar letter) {
    switch (letter.toUpper().unicode()) {
        case u'N': return paNone;
        case u'O': return paOdd;
        case u'E': return paEven;
        case u'M': return paMark;
        case u'S': return paSpace;
        default: return std::nullopt;
    }
}

std::optional<TAfDatabits> DatabitsOf(const QString& text) {
    if (text.size() != 1 || text[0] < u'4' || text[0] > u'8') return std::nullopt;
    return static_cast<TAfDatabits>(text[0].unicode() - u'4');
}

std::optional<TAfStopbits> StopbitsOf(const QString& text) {
    if (text == "1") return sbOne;
    if (text == "1.5") return sbOneAndHalf;
    if (text == "2") return sbTwo;
    return std::nullopt;
}

std::optional<TAfFlowControl> FlowControlOf(const QString& text) {
    const QString word = text.toLower();
    if (word == "none") return fwNone;
    if (word == "xonxoff") return fwXOnXOff;
    if (word == "rtscts") return fwRtsCts;
    if (word == "dtrdsr") return fwDtrDsr;
    return std::nullopt;
}

bool ParseField(const QString& field, TPortStart& start) {
    if (const auto data = DatabitsOf(field)) {
        start.Databits = data;
    } else if (const auto stop = StopbitsOf(field)) {
        start.Stopbits = stop;
    } else if (AllDigits(field) && field.size() <= 8) {
        const int rate = field.toInt();
        if (rate < SlowestRate || rate > FastestRate) return false;
        const auto* listed = std::find(ListedRates.begin(), ListedRates.end(), rate);
        start.BaudRate = listed != ListedRates.end() ? static_cast<TAfBaudrate>(listed - ListedRates.begin()) : brUser;
        start.UserBaudRate = listed != ListedRates.end() ? 0 : rate;
    } else if (field.size() == 1 && ParityOf(field[0])) {
        start.Parity = ParityOf(field[0]);
    } else if (const auto flow = FlowControlOf(field)) {
        start.FlowControl = flow;
    } else if (field.size() >= 3 && DatabitsOf(field.left(1)) && ParityOf(field[1]) && StopbitsOf(field.mid(2))) {
        start.Databits = DatabitsOf(field.left(1));
        start.Parity = ParityOf(field[1]);
        start.Stopbits = StopbitsOf(field.mid(2));
    } else {
        return false;
    }
    return true;
}

std::optional<int> ComNumberOf(const QString& text) {
    const QString digits = text.startsWith("COM", Qt::CaseInsensitive) ? text.mid(3) : text;
    if (!AllDigits(digits) || digits.size() > 3) return std::nullopt;
    const int number = digits.toInt();
    if (number < 1 || number > HighestComNumber) return std::nullopt;
    return number;
}

bool SameDevice(const std::string& a, const std::string& b) {
    if (a == b) return true;
    std::error_code error;
    return std::filesystem::equivalent(a, b, error) && !error;
}

// PORT[:SETTINGS] of option name; an empty message when it is good.
QString ParsePort(const QString& name, const QString& value, TPortStart& start) {
    QString port = value;
    // The settings begin with a digit after the last colon; a colon of a
    // virtual name ("virtual:demo/A") is followed by none, and the one
    // before a network port's number ("rfc2217://host:7000") ends no name.
    const std::string whole = value.toStdString();
    const bool networkName = afp::IsNetworkPortName(whole) && afp::ParseNetworkPort(whole);
    if (const qsizetype colon = value.lastIndexOf(u':');
        !networkName && colon > 0 && colon + 1 < value.size() && value[colon + 1].isDigit()) {
        port = value.left(colon);
        if (!ParseLineSettings(value.mid(colon + 1), start))
            return QString("--%1: bad line settings \"%2\"").arg(name, value.mid(colon + 1));
    }
    if (port.isEmpty()) return QString("--%1: no port given").arg(name);

    const afp::TPortMap map = afp::TPortMap::LoadDefault();
    std::string device;
    if (const auto number = ComNumberOf(port)) {
        const auto entry = map.Find(*number);
        if (!entry) return QString("--%1: there is no port COM%2").arg(name).arg(*number);
        start.Number = *number;
        device = entry->Device;
    } else {
        device = port.toStdString();
        for (const afp::TPortEntry& entry : map.Entries())
            if (SameDevice(entry.Device, device)) start.Number = entry.Number;
    }
    if (afp::ProbeCommDevice(device) == ERROR_FILE_NOT_FOUND)
        return QString("--%1: there is no device %2").arg(name, QString::fromStdString(device));
    if (start.Number == 0) start.Number = afp::TPortMap::AddForThisRun(device);
    if (start.Number == 0) return QString("--%1: no COM number is free for %2").arg(name, port);
    return {};
}

}  // namespace

bool ParseLineSettings(const QString& text, TPortStart& start) {
    const QStringList fields = text.split(u',');
    for (const QString& field : fields)
        if (!ParseField(field.trimmed(), start)) return false;
    return true;
}

TStartResult ParseStartOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription("Kalvaro watches two serial ports at once and sends to the first.");
    const QCommandLineOption port1("port1",
                                   "Opens port 1 at start. PORT is a COM number (COM3 or 3) or a device "
                                   "(/dev/ttyUSB0, a by-id link, virtual:demo/A), optionally followed by "
                                   "line settings: /dev/ttyUSB0:115200,N,8,1 or COM3:921600,8E2,rtscts.",
                                   "PORT");
    const QCommandLineOption port2("port2", "Opens port 2 at start, as --port1.", "PORT");
    const QCommandLineOption mode("mode", "How the upper view shows bytes: ascii, hex or dec.", "MODE");
    const QCommandLineOption play("play", "Plays the script once port 1 is open.", "FILE.cpo");
    const QCommandLineOption log("log", "Logs every byte received and sent to the file, from the start.", "FILE");
    const QCommandLineOption config("config", "The folder of the settings file c_28_zirk.ini.", "DIR");
    parser.addOptions({port1, port2, mode, play, log, config});
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    TStartResult result;
    const auto failed = [&](const QString& message) {
        result.Action = TStartAction::ExitFailed;
        result.Message = message;
        return result;
    };
    if (!parser.parse(arguments)) return failed(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return failed(QString("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
    if (parser.isSet(help) || parser.isSet(version)) {
        result.Action = TStartAction::Exit;
        result.Message = parser.isSet(help) ? parser.helpText()
                                            : QString("%1 %2\n").arg(QCoreApplication::applicationName().toLower(),
                                                                     QCoreApplication::applicationVersion());
        return result;
    }

    if (parser.isSet(config)) {
        const QFileInfo folder(parser.value(config));
        if (!folder.isDir()) return failed(QString("--config: no folder %1").arg(parser.value(config)));
        afp::SetConfigFolder(QDir::toNativeSeparators(folder.absoluteFilePath()).toStdString());
    }
    if (parser.isSet(mode)) {
        const QString value = parser.value(mode).toLower();
        if (value == "ascii")
            result.Options.UpperMode = dmAscii;
        else if (value == "hex")
            result.Options.UpperMode = dmHex;
        else if (value == "dec")
            result.Options.UpperMode = dmDecimal;
        else
            return failed(QString("--mode: \"%1\" is none of ascii, hex, dec").arg(parser.value(mode)));
    }
    for (const auto& [option, name, port] :
         {std::tuple{&port1, "port1", &result.Options.Port1}, std::tuple{&port2, "port2", &result.Options.Port2}}) {
        if (!parser.isSet(*option)) continue;
        TPortStart start;
        if (const QString error = ParsePort(name, parser.value(*option), start); !error.isEmpty()) return failed(error);
        *port = start;
    }
    if (result.Options.Port1 && result.Options.Port2 && result.Options.Port1->Number == result.Options.Port2->Number)
        return failed(QString("--port1 and --port2 name the same port COM%1").arg(result.Options.Port1->Number));
    if (parser.isSet(play)) {
        try {
            ReadScriptFile(parser.value(play));
        } catch (const EFOpenError& error) {
            return failed(QString("--play: %1").arg(QString::fromLocal8Bit(error.what())));
        }
        result.Options.Script = QFileInfo(parser.value(play)).absoluteFilePath();
    }
    if (parser.isSet(log)) {
        const QFileInfo file(parser.value(log));
        if (!file.absoluteDir().exists())
            return failed(QString("--log: no folder %1").arg(QDir::toNativeSeparators(file.absolutePath())));
        result.Options.LogFile = file.absoluteFilePath();
    }
    return result;
}
