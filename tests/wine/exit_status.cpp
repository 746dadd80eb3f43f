// Test fixture: runs a program with the rest of its own command line, as
// written, and writes the program's exit status, in decimal, to the file that
// EXIT_STATUS_FILE names. Wine's server ends the Unix side of a process with
// SIGKILL a moment after its last thread ends; on a busy machine the process
// can still be on its way out then, and its wait status says -9 whatever it
// returned. The file keeps what it returned.
//   exit_status PROGRAM [ARGUMENT...]
// The program and everything it starts are in a job that ends with this
// fixture, so a test that kills the fixture leaves nothing running.
// EXIT_STATUS_INHERIT names a file the program is given an inheritable
// handle to, its value in LEAKED_HANDLE and the file in LEAKED_FILE: a
// handle the program must not pass on to what it starts.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

namespace {

// The first name on a command line, as the parser takes a program's own name
// (quoted, or up to a blank); returns what follows it and its blanks. name,
// when given, gets the name without quotes.
wchar_t *past_name(wchar_t *line, wchar_t *name, size_t capacity) {
    wchar_t *start = line, *end;
    if (*line == L'"') {
        start = ++line;
        while (*line && *line != L'"') line++;
        end = line;
        if (*line) line++;
    } else {
        while (*line && *line != L' ' && *line != L'\t') line++;
        end = line;
    }
    if (name && static_cast<size_t>(end - start) < capacity) {
        wmemcpy(name, start, static_cast<size_t>(end - start));
        name[end - start] = L'\0';
    }
    while (*line == L' ' || *line == L'\t') line++;
    return line;
}

// Ctrl+C in a console reaches every process in it: the program decides
// what it does; this fixture waits for it either way. Handled by a function,
// not ignored outright, since the program would inherit that.
BOOL WINAPI wait_for_the_program(DWORD) {
    return TRUE;
}

} // namespace

int main() {
    SetConsoleCtrlHandler(wait_for_the_program, TRUE);
    // The program gets the rest of the command line byte for byte, and its
    // name as the application: Wine finds no program by a command line
    // longer than 260 characters.
    static wchar_t program[32768];
    program[0] = L'\0';
    wchar_t *rest = past_name(GetCommandLineW(), nullptr, 0);
    past_name(rest, program, sizeof program / sizeof program[0]);

    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                         sizeof limits)) {
        fprintf(stderr, "exit_status: no job object (error %lu)\n", GetLastError());
        return 120;
    }
    const wchar_t *inherit = _wgetenv(L"EXIT_STATUS_INHERIT");
    if (inherit) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        HANDLE given = CreateFileW(inherit, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr);
        wchar_t value[32];
        _snwprintf(value, 31, L"%llu", static_cast<unsigned long long>(
                                           reinterpret_cast<ULONG_PTR>(given)));
        value[31] = L'\0';
        if (given == INVALID_HANDLE_VALUE || !SetEnvironmentVariableW(L"LEAKED_HANDLE", value) ||
            !SetEnvironmentVariableW(L"LEAKED_FILE", inherit)) {
            fprintf(stderr, "exit_status: cannot give EXIT_STATUS_INHERIT\n");
            return 125;
        }
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!program[0] || !CreateProcessW(program, rest, nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                       nullptr, nullptr, &startup, &process)) {
        fprintf(stderr, "exit_status: cannot start the program (error %lu)\n", GetLastError());
        return 121;
    }
    if (!AssignProcessToJobObject(job, process.hProcess)) {
        fprintf(stderr, "exit_status: cannot put the program in the job (error %lu)\n",
                GetLastError());
        TerminateProcess(process.hProcess, 122);
        return 122;
    }
    ResumeThread(process.hThread);
    DWORD status = 0;
    if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.hProcess, &status)) {
        fprintf(stderr, "exit_status: lost the program (error %lu)\n", GetLastError());
        return 123;
    }
    const wchar_t *name = _wgetenv(L"EXIT_STATUS_FILE");
    FILE *file = name ? _wfopen(name, L"w") : nullptr;
    if (!file || fprintf(file, "%lu\n", status) < 0 || fclose(file) != 0) {
        fprintf(stderr, "exit_status: cannot write EXIT_STATUS_FILE\n");
        return 124;
    }
    return static_cast<int>(status);
}
