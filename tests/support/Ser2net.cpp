#include "tests/support/Ser2net.h"

#include "platform/NetSocket.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace kalvaro::test {

namespace {

constexpr auto StartLimit = std::chrono::seconds(5);

std::string FileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The number of a Unix98 pty slave (/dev/pts/N), or -1.
int PtyNumber(const std::string& path) {
    struct stat node {};
    if (::stat(path.c_str(), &node) != 0) return -1;
    const unsigned major = ::major(node.st_rdev);
    if (major < 136 || major > 143) return -1;
    return static_cast<int>((major - 136) * 256 + ::minor(node.st_rdev));
}

}  // namespace

std::string TSer2net::Program() {
    std::vector<std::string> folders = {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"};
    if (const char* path = std::getenv("PATH")) {
        std::stringstream list(path);
        for (std::string folder; std::getline(list, folder, ':');)
            if (!folder.empty()) folders.push_back(folder);
    }
    for (const std::string& folder : folders) {
        const std::string candidate = folder + "/ser2net";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

bool TSer2net::ModemLinesAvailable() {
#ifdef KALVARO_PTYMODEM_SHIM
    return true;
#else
    return false;
#endif
}

TSer2net::TSer2net(const std::string& device, bool modemLines)
    : folder_("kalvaro-ser2net"), device_(device), modemLines_(modemLines), ptyNumber_(PtyNumber(device)) {
    {
        // A port that was free a moment ago.
        const auto probe = afp::TNetListener::Listen();
        if (!probe) {
            problem_ = "no free port on 127.0.0.1";
            return;
        }
        port_ = probe->Port();
    }
    std::ofstream(folder_.Path() / "ser2net.yaml") << "connection: &kalvaro\n"
                                                   << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port_ << "\n"
                                                   << "  connector: serialdev," << device_ << ",115200n81,local\n"
                                                   << "  options:\n"
                                                   << "    kickolduser: true\n";
    if (modemLines_) {
        std::filesystem::create_directories(folder_.Path() / "modem");
        // The far end is a pty number no real pty has.
        std::ofstream(folder_.Path() / "modem" / ("peer-" + std::to_string(ptyNumber_))) << ptyNumber_ + 100000 << "\n";
    }
    Start();
}

TSer2net::~TSer2net() { Kill(); }

bool TSer2net::Start() {
    if (Running()) return true;
    const std::string program = Program();
    if (program.empty()) {
        problem_ = "ser2net is not installed (Debian package ser2net; scripts/setup.sh --install installs it)";
        return false;
    }
    if (modemLines_ && !ModemLinesAvailable()) {
        problem_ = "the pty modem shim is not built here";
        return false;
    }
    const std::string config = (folder_.Path() / "ser2net.yaml").string();
    const std::string pidFile = (folder_.Path() / "ser2net.pid").string();
    const std::string log = (folder_.Path() / "ser2net.log").string();
    std::vector<std::string> arguments = {program, "-n", "-d", "-c", config, "-P", pidFile};
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
#ifdef KALVARO_PTYMODEM_SHIM
    if (modemLines_) {
        environment.push_back(std::string("LD_PRELOAD=") + KALVARO_PTYMODEM_SHIM);
        environment.push_back("KALVARO_PTYMODEM_DIR=" + (folder_.Path() / "modem").string());
    }
#endif
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        problem_ = "cannot start " + program;
        return false;
    }
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + StartLimit;
    while (!Listening()) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            problem_ = "ser2net ended at once: " + FileText(log);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            Kill();
            problem_ = "ser2net did not listen on port " + std::to_string(port_) + " within 5 s: " + FileText(log);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void TSer2net::Kill() {
    if (!Running()) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool TSer2net::Listening() const {
    // /proc/net/tcp: "sl local_address rem_address st ...", addresses in hex,
    // 0A = LISTEN. 127.0.0.1 reads 0100007F on this little-endian machine.
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", static_cast<unsigned>(port_));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
        std::stringstream fields(line);
        std::string slot, address, remote, state;
        fields >> slot >> address >> remote >> state;
        if (address == local && state == "0A") return true;
    }
    return false;
}

int TSer2net::DeviceLines() const {
    return std::atoi(FileText(folder_.Path() / "modem" / ("lines-" + std::to_string(ptyNumber_))).c_str());
}

void TSer2net::SetFarLines(int lines) {
    std::ofstream(folder_.Path() / "modem" / ("lines-" + std::to_string(ptyNumber_ + 100000)), std::ios::trunc)
        << lines << "\n";
}

}  // namespace kalvaro::test
