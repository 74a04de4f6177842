// proc_counts.exe PID: one JSON line with a Windows process's handle count, GUI object counts and working set.
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// One entry of SystemHandleInformation: the system-wide list of open handles.
struct HandleEntry {
    USHORT processId;
    USHORT creatorBackTraceIndex;
    UCHAR objectType;
    UCHAR flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};

long HandlesOf(DWORD pid)
{
    const SYSTEM_INFORMATION_CLASS kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
    std::vector<unsigned char> buffer(1 << 20);
    for (int attempt = 0; attempt < 6; ++attempt) {
        ULONG needed = 0;
        NTSTATUS status = NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                                                   static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
            const HandleEntry* entries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
            long mine = 0;
            for (ULONG i = 0; i < count; ++i)
                mine += entries[i].processId == static_cast<USHORT>(pid);
            return mine;
        }
        buffer.resize(buffer.size() * 2);
    }
    return -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    DWORD pid = static_cast<DWORD>(wcstoul(argv[1], nullptr, 10));
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process)
        return 3;
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(process, &memory, sizeof memory);
    std::printf("{\"handles\": %ld, \"gdi\": %lu, \"user\": %lu, \"working_set\": %llu, \"peak_working_set\": %llu}\n",
                HandlesOf(pid), GetGuiResources(process, GR_GDIOBJECTS), GetGuiResources(process, GR_USEROBJECTS),
                static_cast<unsigned long long>(memory.WorkingSetSize),
                static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    CloseHandle(process);
    return 0;
}
