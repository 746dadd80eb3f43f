// Starting the detection executable on Windows and waiting for it, within
// the time limit. It is started directly, never through cmd.exe, so no name
// can expand a variable or run a command; the path arrives as its one
// argument. It inherits the three standard handles and nothing else the
// monitor holds or was given, and it runs in a job object of its own, so
// that when the time limit ends it, everything it started ends with it.
#include <windows.h>

#include "command_line.h"
#include "long_paths.h"
#include "os.h"
#include "wide_text.h"

namespace {

// A start can fail for a moment (Wine reports an internal error about once
// in 4,000 starts). A detector that never started scanned nothing, so its
// start is tried again; one that ran is never run twice.
const int START_ATTEMPTS = 3;

// The standard handles, each once (output and error are often the same),
// marked inheritable as a handle list requires. Returns their count.
DWORD standard_handles(HANDLE handles[3]) {
    static const DWORD WHICH[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    DWORD count = 0;
    for (DWORD which : WHICH) {
        HANDLE handle = GetStdHandle(which);
        bool listed = handle == nullptr || handle == INVALID_HANDLE_VALUE;
        for (DWORD i = 0; i < count; i++) listed = listed || handles[i] == handle;
        if (listed) continue;
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        handles[count++] = handle;
    }
    return count;
}

// Starts the detector suspended, inheriting only the standard handles.
bool start(const wchar_t *executable, const char *command, PROCESS_INFORMATION *process) {
    HANDLE handles[3];
    DWORD count = standard_handles(handles);
    // Room for one attribute, the handle list.
    alignas(8) unsigned char list_memory[128];
    LPPROC_THREAD_ATTRIBUTE_LIST list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory);
    SIZE_T size = sizeof list_memory;
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
    bool listed = count == 0 ||
                  UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                            count * sizeof(HANDLE), nullptr, nullptr);
    STARTUPINFOEXW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.StartupInfo.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.StartupInfo.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.lpAttributeList = list;
    wchar_t wide_command[COMMAND_LINE_UNITS];
    bool started = false;
    for (int attempt = 0; listed && !started && attempt < START_ATTEMPTS; attempt++) {
        // Converted for each attempt: a start may write into the command line.
        if (!utf8_to_wide(command, wide_command, COMMAND_LINE_UNITS)) break;
        started = CreateProcessW(executable, wide_command, nullptr, nullptr, count > 0,
                                 CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                 nullptr, &startup.StartupInfo, process);
    }
    DeleteProcThreadAttributeList(list);
    return started;
}

} // namespace

bool os_run_detection(const char *executable, const char *path, unsigned timeout_seconds) {
    char command[COMMAND_LINE_BYTES];
    wchar_t wide_executable[LONG_PATH_UNITS];
    if (!build_command_line(command, sizeof command, executable, path) ||
        !utf8_to_wide(executable, wide_executable, LONG_PATH_UNITS)) {
        return false;
    }
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job) return false;
    PROCESS_INFORMATION process;
    if (!start(wide_executable, command, &process)) {
        CloseHandle(job);
        return false;
    }
    // In the job before it runs, so nothing it starts can be outside it.
    bool contained = AssignProcessToJobObject(job, process.hProcess);
    if (contained) ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    DWORD limit = timeout_seconds == 0 ? INFINITE : timeout_seconds * 1000;
    DWORD waited = contained ? WaitForSingleObject(process.hProcess, limit) : WAIT_FAILED;
    DWORD status = 1;
    bool ended = waited == WAIT_OBJECT_0 && GetExitCodeProcess(process.hProcess, &status);
    if (!ended) {
        // Past the limit, or never let run: ended with all it started.
        TerminateJobObject(job, 1);
        if (!contained) TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    CloseHandle(process.hProcess);
    CloseHandle(job);
    return ended && status == 0;
}
