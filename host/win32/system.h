// host::win32::System: the Win32 subsystem of one simulated machine. It runs
// user-mode programs as processes (each on its own host thread attached to
// the machine), keeps their handles, last errors and WOW64 redirection
// state, maps Win32 paths (C:\...) onto the machine's disk, and records what
// the programs do that a person would see or that the machine would act on:
// message boxes (answered by a script), programs started with
// ShellExecuteExA, shell file operations, session shutdowns.
//
// Programs are host functions registered by name. A program file on the
// machine's disk is a small stub naming its program, so ShellExecuteExA
// finds programs by path exactly as Windows finds their images. pnputil.exe
// and devcon.exe are registered by every System (host/win32/programs.h);
// pnputil.exe lies in System32 as on Windows, devcon.exe ships with the
// driver package (writeProgramFile).
//
//     host::Machine machine;
//     host::win32::System windows(machine, {.processor = host::win32::Processor::X64});
//     windows.writeProgramFile("C:\\Zephan\\X64\\devcon.exe", "devcon");
//     int code = windows.run({.image = "C:\\Zephan\\setup.exe", .arguments = {"/R"}},
//                            [](host::win32::ProgramContext& c) { return SetupMain(c.argc(), c.argv()); });
//
// This header uses only the standard library, so it can be included both by
// user-mode code (next to the Win32 headers) and by host code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace host {
class Machine;
}

namespace host::win32 {

// The machine's native processor.
enum class Processor { X86, X64, Arm64 };

struct SystemOptions {
    Processor processor = Processor::X64;
    // Windows (Vista and later) ships pnputil.exe in System32.
    bool pnputilInSystemFolder = true;
    // Fault injection: GetVersionExA fails.
    bool getVersionFails = false;
};

// The buttons MessageBoxA returns.
enum Answer : int { Ok = 1, Cancel = 2, Abort = 3, Retry = 4, Ignore = 5, Yes = 6, No = 7 };

// The show modes of ShellExecuteExA.
enum Show : int { Hidden = 0, Normal = 1 };

// Every record carries its place in the machine's one sequence, so a test
// can check the order of what happened.
struct MessageRecord {
    std::string text;
    std::string caption;
    uint32_t type = 0;       // MB_* flags as passed
    int answer = 0;          // the button the script chose
    uint64_t order = 0;
};

struct ProgramRun {
    std::string file;        // lpFile as given
    std::string parameters;  // lpParameters as given
    std::string verb;
    uint32_t mask = 0;       // fMask
    int show = 0;
    bool started = false;    // false: the start failed (no such program)
    uint32_t startError = 0; // the last error of a failed start
    std::string path;        // the program file it resolved to (Win32 path)
    std::string program;     // the registered program it ran
    std::vector<std::string> arguments;   // as the program saw them (without the program name)
    bool ended = false;
    uint32_t exitCode = 259; // STILL_ACTIVE until it ends
    std::string output;      // what it printed
    uint64_t order = 0;      // when it started
    uint64_t endOrder = 0;   // when it ended
};

struct FileOperationRecord {
    uint32_t function = 0;   // FO_*
    std::vector<std::string> from;
    std::vector<std::string> to;
    uint32_t flags = 0;      // FOF_*
    bool ownerWindow = false;
    int result = 0;          // what SHFileOperationA returned
    uint64_t order = 0;
};

struct ShutdownRecord {
    uint32_t flags = 0;      // EWX_*
    uint32_t reason = 0;     // SHTDN_REASON_*
    bool privilegeEnabled = false;   // SeShutdownPrivilege was enabled in the caller's token
    bool accepted = false;   // ExitWindowsEx returned TRUE
    uint64_t order = 0;
};

class System;
class Process;

// What a program gets when it starts.
class ProgramContext {
public:
    ProgramContext(System& system, Process& process, std::vector<std::string> arguments, int show);
    System& system() { return system_; }
    Process& process() { return process_; }
    // argv[0] is the program file; the rest are the arguments of its command
    // line, split as the C runtime splits them.
    const std::vector<std::string>& arguments() const { return arguments_; }
    int show() const { return show_; }
    int argc() const { return static_cast<int>(arguments_.size()); }
    // A C main's argv (valid while the context lives).
    char** argv() { return argv_.data(); }
    // Console output of the program (recorded with its run).
    void print(std::string_view text);

private:
    System& system_;
    Process& process_;
    std::vector<std::string> arguments_;
    std::vector<char*> argv_;
    int show_;
};

using Program = std::function<int(ProgramContext&)>;

struct ProcessOptions {
    std::string image;                   // Win32 path of the program file
    std::vector<std::string> arguments;  // the command line after the program name
    std::string currentDirectory;        // default: the image's folder
    bool is32Bit = true;                 // an i386 image: runs under WOW64 on 64-bit Windows
    int show = Normal;
    // When set, what the program writes to its console also goes here as it
    // is written: stream 1 its standard output, 2 its standard error.
    std::function<void(int stream, std::string_view text)> console;
};

struct ExitSignal;

// A thread a program started with CreateThread. It runs on its own host
// thread, attached to the machine, and its object is signalled when it ends.
class Thread {
public:
    uint32_t id() const { return id_; }
    bool ended() const;
    uint32_t exitCode() const;
    // The dispatcher object that is signalled when the thread ends.
    void* exitObject() const;

private:
    friend class System;
    uint32_t id_ = 0;
    std::shared_ptr<ExitSignal> exit_;
    std::thread thread_;
};

// One running (or ended) program.
class Process {
public:
    System& system() const { return *system_; }
    uint32_t id() const { return id_; }
    const std::string& image() const { return image_; }
    bool is32Bit() const { return is32Bit_; }
    // Runs under WOW64: a 32-bit image on 64-bit Windows.
    bool wow64() const { return wow64_; }
    bool ended() const;
    uint32_t exitCode() const;
    std::string output() const;
    // The process token's privileges (name -> enabled).
    bool privilegeHeld(const std::string& name) const;
    bool privilegeEnabled(const std::string& name) const;
    // The dispatcher object that is signalled when the process ends.
    void* exitObject() const;

    // Used by the Win32 functions.
    std::string currentDirectory() const;
    void setCurrentDirectory(std::string folder);
    // Enables or disables a privilege the token holds; false when it holds none by that name.
    bool setPrivilege(const std::string& name, bool enabled);
    void appendOutput(std::string_view text);
    // Console output of the program on stream 1 (standard output) or 2
    // (standard error): recorded, and passed on to ProcessOptions::console.
    void writeConsole(int stream, std::string_view text);

private:
    friend class System;
    Process() = default;
    System* system_ = nullptr;
    uint32_t id_ = 0;
    std::string image_;
    bool is32Bit_ = false;
    bool wow64_ = false;
    std::shared_ptr<ExitSignal> exit_;
    mutable std::mutex mutex_;
    std::string currentDirectory_;
    std::string output_;
    std::map<std::string, bool> privileges_;
    std::optional<size_t> run_;          // its record in programRuns()
    std::thread thread_;
    std::vector<std::shared_ptr<Thread>> threads_;   // started with CreateThread (guarded by mutex_)
    std::function<void(int, std::string_view)> console_;
};

// Per-thread state of a thread that runs a process (the Win32 thread).
struct ThreadState {
    std::shared_ptr<Process> process;
    uint32_t threadId = 0;
    uint32_t lastError = 0;
    bool redirectionDisabled = false;   // Wow64DisableWow64FsRedirection
    void* standardOutput = nullptr;     // GetStdHandle's console handles, made on first use
    void* standardError = nullptr;
};

// An object a Win32 handle refers to.
struct HandleObject {
    virtual ~HandleObject() = default;
    // The dispatcher object a wait on the handle waits for (null: the
    // handle cannot be waited on).
    virtual void* dispatcherObject() { return nullptr; }
    // The handle was closed (CloseHandle, or its process ended); called on
    // the closing thread, outside the subsystem's lock.
    virtual void closed() {}
    // The process's thread is ending: the I/O it started on the handle is
    // cancelled first, as the platform cancels a thread's requests when
    // the thread exits. Called on that thread.
    virtual void threadEnding() {}
    // The process that closed the handle is ending: waits until what the
    // object releases in the system on its close is released, when that is
    // under way (a device file whose last request, completing, hands its
    // IRP_MJ_CLOSE to a worker). A process ends only once its files are
    // closed, as on the platform, where a thread's last request releases
    // the file before the thread is gone. Called on the ending thread.
    virtual void waitReleased() {}
};

class System {
public:
    explicit System(Machine& machine, SystemOptions options = {});
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    Machine& machine() { return machine_; }
    const SystemOptions& options() const { return options_; }

    // Programs. A registered name is looked up case-insensitively.
    void registerProgram(const std::string& name, Program program);
    // Writes a program file at a Win32 path (folders are created).
    void writeProgramFile(const std::string& path, const std::string& program);

    // Starts a program as a process and waits for it to end; returns its exit
    // code. Without `program` the image must be a program file. The calling
    // thread must be attached to the machine.
    uint32_t run(const ProcessOptions& options, Program program = {});
    std::shared_ptr<Process> start(const ProcessOptions& options, Program program, std::optional<size_t> run = {});
    // Waits (through the machine's dispatcher) for a process to end; false
    // when `milliseconds` passed first.
    bool wait(Process& process, std::optional<uint32_t> milliseconds = {});
    // CreateThread: runs `routine` as a new thread of the calling thread's
    // process; attached to the machine before this returns. A process ends
    // once its main routine has returned, its handles are closed (which
    // ends the requests its threads wait for) and every thread it started
    // has returned: a host thread cannot be forced out of a program's code.
    std::shared_ptr<Thread> startThread(ThreadState& creator, std::function<uint32_t()> routine);

    // Message boxes are answered by `answer`; without one, by the box's
    // default button (as if the user pressed Enter).
    void answerMessages(std::function<int(const MessageRecord&)> answer);
    std::vector<MessageRecord> messages() const;
    std::vector<ProgramRun> programRuns() const;
    std::vector<FileOperationRecord> fileOperations() const;
    std::vector<ShutdownRecord> shutdowns() const;

    // The machine's disk by Win32 path, as a native program sees it (no
    // redirection), for tests and the system tools.
    std::optional<std::filesystem::path> hostPath(const std::string& path);
    void writeFile(const std::string& path, std::string_view content);
    std::optional<std::string> readFile(const std::string& path);
    bool exists(const std::string& path);
    bool remove(const std::string& path);
    // Names of the entries of a folder (sorted as the platform lists them).
    std::vector<std::string> list(const std::string& folder);

    // ---- Used by the Win32 functions (host/win32/*.cpp) ----

    // The calling thread's Win32 state; reports `call` and aborts when the
    // thread runs no process of a machine with a Win32 subsystem.
    static ThreadState& current(const char* call);
    static System& of(const char* call);

    uint64_t nextOrder();
    int showMessage(MessageRecord record);
    size_t recordRun(ProgramRun run);
    void recordFileOperation(FileOperationRecord record);
    void recordShutdown(ShutdownRecord record);
    std::optional<Program> program(const std::string& name);
    // The program a program file names (nullopt: not a program file).
    std::optional<std::string> programOfFile(const std::filesystem::path& hostFile);

    // Handles. A handle belongs to the process whose thread made it and is
    // closed when that process ends, as on the platform.
    void* insertHandle(std::shared_ptr<HandleObject> object);
    std::shared_ptr<HandleObject> handle(void* handle);
    bool closeHandle(void* handle);
    template <class T>
    std::shared_ptr<T> handleAs(void* h) { return std::dynamic_pointer_cast<T>(handle(h)); }

    // Paths. fullPath forms the absolute Win32 path of `path` for a process
    // (GetFullPathNameA's rules); hostPathFor maps an absolute Win32 path to
    // the machine's disk as the thread sees it (WOW64 redirection applies to
    // a 32-bit process unless the thread turned it off).
    std::optional<std::string> fullPath(std::string_view path, const std::string& currentDirectory);
    std::optional<std::filesystem::path> hostPathFor(const std::string& fullPath, const ThreadState* thread);
    static std::string windowsFolder() { return "C:\\Windows"; }
    static std::string systemFolder() { return "C:\\Windows\\system32"; }
    std::string programFilesFolder(bool forWow64Process) const;
    bool is64BitWindows() const { return options_.processor != Processor::X86; }
    // IMAGE_FILE_MACHINE_* of the native processor.
    uint16_t nativeMachine() const;

    // The DOS device names (\??\COM3 -> \Device\LumoraSerial0): what a
    // name links to, and every name there is (QueryDosDevice).
    std::optional<std::u16string> dosDeviceTarget(const std::u16string& name);
    std::vector<std::u16string> dosDeviceNames();

    // The registry (absolute kernel paths, \Registry\Machine\...).
    struct RegistryValue {
        uint32_t type = 0;
        std::vector<uint8_t> data;   // as stored (strings in UTF-16)
    };
    bool registryKeyExists(const std::u16string& path);
    std::optional<RegistryValue> registryValue(const std::u16string& path, const std::u16string& name);

    // Machine time.
    void sleep(uint32_t milliseconds);
    uint64_t milliseconds();

private:
    void threadMain(std::shared_ptr<Process> process, Program program, std::vector<std::string> arguments, int show,
                    void* threadRecord);
    void registerThread(const std::shared_ptr<Process>& process, uint32_t threadId);
    void unregisterThread();
    // The ending thread's I/O on every handle of its process is cancelled,
    // and the mutexes it owns are abandoned.
    void threadEnding(const Process& process);
    void ended(Process& process, uint32_t code);
    void closeProcessHandles(Process& process);

    Machine& machine_;
    SystemOptions options_;
    mutable std::mutex mutex_;
    std::map<std::string, Program> programs_;               // by upper-cased name
    std::map<std::thread::id, std::unique_ptr<ThreadState>> threads_;
    std::vector<std::shared_ptr<Process>> processes_;
    struct HandleEntry {
        std::shared_ptr<HandleObject> object;
        uint32_t process = 0;   // the owning process's id (0: none)
    };
    std::map<uintptr_t, HandleEntry> handles_;
    // Handles a process closed, kept until it ends (see waitReleased).
    std::vector<std::pair<uint32_t, std::shared_ptr<HandleObject>>> closing_;
    uintptr_t nextHandle_ = 0x100;
    uint32_t nextProcessId_ = 0x1000;
    uint32_t nextThreadId_ = 0x2000;
    uint64_t order_ = 0;
    std::function<int(const MessageRecord&)> answer_;
    std::vector<MessageRecord> messages_;
    std::vector<ProgramRun> runs_;
    std::vector<FileOperationRecord> fileOperations_;
    std::vector<ShutdownRecord> shutdowns_;
};

// Text helpers shared by the Win32 functions and the system tools. ANSI text
// is the machine's code page 1252.
std::u16string ansiToUtf16(std::string_view text);
std::string utf16ToAnsi(std::u16string_view text);
std::string ansiToUtf8(std::string_view text);
std::string utf8ToAnsi(std::string_view text);
std::string upper(std::string_view text);
bool equalNoCase(std::string_view a, std::string_view b);
// Splits a command line into arguments as the C runtime does (quotes,
// backslashes before quotes).
std::vector<std::string> splitCommandLine(std::string_view commandLine);
// Matches a file name against a pattern with * and ?, ignoring case.
bool matchesWildcard(std::string_view pattern, std::string_view name);

} // namespace host::win32
