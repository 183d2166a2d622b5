// The test environment's Windows side: counts from the system's process
// snapshot and handle table. Settings there live in the Windows directory
// and are never touched by tests; the temporary folder only holds files that
// tests name by full path.
#include "tests/support/TestEnvironment.h"

#include "platform/Win32Types.h"

#include <tlhelp32.h>
#include <winternl.h>

#include <string>
#include <thread>
#include <vector>

namespace kalvaro::test {

std::size_t ThreadCount() {
    static const bool warmedUp = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmedUp;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    std::size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

std::size_t OpenFdCount() {
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return handles;
}

std::filesystem::path MakeIsolatedConfigHome() {
    char temporary[MAX_PATH + 1] = {};
    if (GetTempPathA(sizeof temporary, temporary) == 0) return {};
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path folder =
            std::filesystem::path(temporary) /
            ("kalvaro-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt));
        if (CreateDirectoryA(folder.string().c_str(), nullptr)) return folder;
    }
    return {};
}

std::int64_t TestThreadId() { return static_cast<std::int64_t>(GetCurrentThreadId()); }

namespace {

// The documented head of SYSTEM_PROCESS_INFORMATION is too short to reach
// the thread records; these are the full layouts (64-bit).
struct TThreadRecord {
    LARGE_INTEGER KernelTime;
    LARGE_INTEGER UserTime;
    LARGE_INTEGER CreateTime;
    ULONG WaitTime;
    PVOID StartAddress;
    CLIENT_ID ClientId;
    LONG Priority;
    LONG BasePriority;
    ULONG ContextSwitches;
    ULONG ThreadState;  // 5: waiting
    ULONG WaitReason;
};

struct TProcessRecord {
    ULONG NextEntryOffset;
    ULONG NumberOfThreads;
    BYTE Reserved1[48];
    UNICODE_STRING ImageName;
    LONG BasePriority;
    HANDLE UniqueProcessId;
    HANDLE InheritedFromUniqueProcessId;
    ULONG HandleCount;
    ULONG SessionId;
    ULONG_PTR UniqueProcessKey;
    SIZE_T PeakVirtualSize;
    SIZE_T VirtualSize;
    ULONG PageFaultCount;
    SIZE_T PeakWorkingSetSize;
    SIZE_T WorkingSetSize;
    SIZE_T QuotaPeakPagedPoolUsage;
    SIZE_T QuotaPagedPoolUsage;
    SIZE_T QuotaPeakNonPagedPoolUsage;
    SIZE_T QuotaNonPagedPoolUsage;
    SIZE_T PagefileUsage;
    SIZE_T PeakPagefileUsage;
    SIZE_T PrivatePageCount;
    LARGE_INTEGER ReadOperationCount;
    LARGE_INTEGER WriteOperationCount;
    LARGE_INTEGER OtherOperationCount;
    LARGE_INTEGER ReadTransferCount;
    LARGE_INTEGER WriteTransferCount;
    LARGE_INTEGER OtherTransferCount;
    TThreadRecord Threads[1];
};

using TNtQuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

std::uint64_t CpuTime(HANDLE thread) {
    FILETIME created{}, ended{}, kernel{}, user{};
    if (!GetThreadTimes(thread, &created, &ended, &kernel, &user)) return ~std::uint64_t{0};
    auto ticks = [](const FILETIME& time) {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return ticks(kernel) + ticks(user);
}

bool UsesNoTime(DWORD threadId) {
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId);
    if (!thread) return false;
    const std::uint64_t before = CpuTime(thread);
    Sleep(20);
    const bool idle = before != ~std::uint64_t{0} && CpuTime(thread) == before;
    CloseHandle(thread);
    return idle;
}

}  // namespace

bool ThreadIsAsleep(std::int64_t threadId) {
    static const auto query = reinterpret_cast<TNtQuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return false;
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    constexpr ULONG SystemProcessInformation = 5;
    while (query(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) < 0) {
        if (buffer.size() > (64u << 20)) return false;
        buffer.resize(buffer.size() * 2);
    }
    const DWORD self = GetCurrentProcessId();
    for (std::size_t offset = 0;;) {
        const auto* process = reinterpret_cast<const TProcessRecord*>(buffer.data() + offset);
        if (reinterpret_cast<ULONG_PTR>(process->UniqueProcessId) == self) {
            for (ULONG i = 0; i < process->NumberOfThreads; ++i) {
                const TThreadRecord& thread = process->Threads[i];
                if (reinterpret_cast<ULONG_PTR>(thread.ClientId.UniqueThread) != static_cast<ULONG_PTR>(threadId))
                    continue;
                if (thread.ThreadState != 0) return thread.ThreadState == 5;
                // Wine reports no thread states: a thread that uses no CPU
                // time for a while is taken to be asleep.
                return UsesNoTime(static_cast<DWORD>(threadId));
            }
            return false;
        }
        if (process->NextEntryOffset == 0) return false;
        offset += process->NextEntryOffset;
    }
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace kalvaro::test
