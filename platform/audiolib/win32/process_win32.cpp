// Encoder processes on Win32: CreateProcess with the command line whole, pipes on stdin and
// stdout (stderr to NUL), no console window, and a job object that ends the program with the
// host, however the host ends.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <thread>

#include "bass.h"
#include "process.h"

namespace bassx {
namespace {

bool isFile(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// Both ends made, only the child's end inheritable.
bool makePipe(HANDLE& childEnd, HANDLE& ourEnd, bool childReads) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (!CreatePipe(&r, &w, &sa, 64 * 1024)) return false;
    childEnd = childReads ? r : w;
    ourEnd = childReads ? w : r;
    SetHandleInformation(ourEnd, HANDLE_FLAG_INHERIT, 0);
    return true;
}

// Windows' own quoting, for a command line built from arguments.
std::string quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, '\\');
    return out + "\"";
}

void closeHandle(void*& h) {
    if (h) CloseHandle(static_cast<HANDLE>(h));
    h = nullptr;
}

}  // namespace

std::string findProgram(const std::string& name) {
    if (name.empty()) return {};
    if (name.find_first_of("/\\:") != std::string::npos) {
        if (isFile(name)) return name;
        return isFile(name + ".exe") ? name + ".exe" : std::string();
    }
    char found[MAX_PATH];
    DWORD n = SearchPathA(nullptr, name.c_str(), ".exe", sizeof found, found, nullptr);
    return n > 0 && n < sizeof found ? std::string(found, n) : std::string();
}

Process::~Process() {
    end(0);
    closeStdout();
    closeHandle(process_);
    closeHandle(job_);
}

int Process::start(const std::vector<std::string>& args, const std::string& cmdline) {
    if (args.empty()) return BASS_ERROR_ILLPARAM;
    std::string prog = findProgram(args[0]);
    if (prog.empty()) return BASS_ERROR_FILEOPEN;
    std::string line = cmdline;
    if (line.empty()) {
        for (const auto& a : args) line += (line.empty() ? "" : " ") + quoted(a);
    }

    HANDLE childIn = nullptr, ourIn = nullptr, childOut = nullptr, ourOut = nullptr;
    if (!makePipe(childIn, ourIn, true)) return BASS_ERROR_CREATE;
    if (!makePipe(childOut, ourOut, false)) {
        CloseHandle(childIn), CloseHandle(ourIn);
        return BASS_ERROR_CREATE;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);

    // Only these three handles reach the program, whatever else the host left inheritable.
    HANDLE inherit[3] = {childIn, childOut, nul};
    DWORD inheritCount = nul != INVALID_HANDLE_VALUE ? 3 : 2;
    SIZE_T attrSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &attrSize);
    std::vector<char> attrBuf(attrSize);
    auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrBuf.data());
    bool haveAttrs = InitializeProcThreadAttributeList(attrs, 1, 0, &attrSize) &&
                     UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                               inheritCount * sizeof(HANDLE), nullptr, nullptr);

    STARTUPINFOEXA si{};
    si.StartupInfo.cb = haveAttrs ? sizeof si : sizeof si.StartupInfo;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = childIn;
    si.StartupInfo.hStdOutput = childOut;
    si.StartupInfo.hStdError = nul != INVALID_HANDLE_VALUE ? nul : childOut;
    si.lpAttributeList = haveAttrs ? attrs : nullptr;
    PROCESS_INFORMATION pi{};
    std::vector<char> mutableLine(line.begin(), line.end());
    mutableLine.push_back('\0');
    DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | (haveAttrs ? EXTENDED_STARTUPINFO_PRESENT : 0);
    BOOL ok = CreateProcessA(prog.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                             &si.StartupInfo, &pi);
    DWORD why = ok ? 0 : GetLastError();
    if (haveAttrs) DeleteProcThreadAttributeList(attrs);
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!ok) {
        CloseHandle(ourIn), CloseHandle(ourOut);
        return why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND || why == ERROR_ACCESS_DENIED ||
                       why == ERROR_BAD_EXE_FORMAT
                   ? BASS_ERROR_FILEOPEN
                   : BASS_ERROR_CREATE;
    }
    // The job ends the program when its last handle closes: ours, or the host's at its death.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        AssignProcessToJobObject(job, pi.hProcess);
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);

    // Writes never block: a slow encoder must not hold up its writer's shutdown.
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    SetNamedPipeHandleState(ourIn, &mode, nullptr, nullptr);

    std::lock_guard<std::mutex> lock(mutex_);
    closeHandle(process_);
    closeHandle(job_);
    job_ = job;
    process_ = pi.hProcess;
    pid_ = static_cast<pid_t>(pi.dwProcessId);
    reaped_ = false;
    in_ = _open_osfhandle(reinterpret_cast<intptr_t>(ourIn), _O_WRONLY | _O_BINARY);
    out_ = _open_osfhandle(reinterpret_cast<intptr_t>(ourOut), _O_RDONLY | _O_BINARY);
    return BASS_OK;
}

long Process::writeInput(const void* data, size_t len, int waitMs) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(in_));
    if (h == INVALID_HANDLE_VALUE) return -1;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        DWORD written = 0;
        if (!WriteFile(h, data, static_cast<DWORD>(len), &written, nullptr)) return -1;
        if (written > 0) return static_cast<long>(written);
        // A non-blocking pipe takes all or nothing: wait for room, a little at a time.
        if (std::chrono::steady_clock::now() >= until) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

long Process::readOutput(void* buf, size_t len, int waitMs) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(out_));
    if (h == INVALID_HANDLE_VALUE) return 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr)) return 0;  // broken: the end
        if (avail > 0) {
            DWORD got = 0;
            if (!ReadFile(h, buf, static_cast<DWORD>(std::min<size_t>(len, avail)), &got, nullptr)) return 0;
            return static_cast<long>(got);
        }
        if (std::chrono::steady_clock::now() >= until) return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int64_t Process::now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Process::closeStdin() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (in_ >= 0) {
        _close(in_);
        inputClosedAt_.store(now());
    }
    in_ = -1;
}

void Process::closeStdout() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (out_ >= 0) _close(out_);
    out_ = -1;
}

bool Process::reap(int waitMs) {
    HANDLE h;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!process_ || reaped_) return true;
        h = static_cast<HANDLE>(process_);
    }
    if (WaitForSingleObject(h, static_cast<DWORD>(waitMs < 0 ? 0 : waitMs)) != WAIT_OBJECT_0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    reaped_ = true;  // the handle stays ours until the destructor: no other wait can race a close
    return true;
}

void Process::end(int graceMs) {
    closeStdin();
    if (!reap(graceMs)) {
        HANDLE h = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!reaped_) h = static_cast<HANDLE>(process_);
        }
        if (h) {
            killedAt_.store(now());
            TerminateProcess(h, 1);
        }
        reap(5000);
    }
}

void Process::kill() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (process_ && !reaped_) TerminateProcess(static_cast<HANDLE>(process_), 1);
}

}  // namespace bassx
