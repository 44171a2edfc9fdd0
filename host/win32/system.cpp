// The Win32 subsystem of a machine: processes and their threads, handles,
// paths on the machine's disk, records and the script that answers message
// boxes. This file talks to the kernel stand-in (threads, waits, registry);
// the Win32 functions themselves live in the kernel32/user32/... files.

#include "system.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "driver_store.h"
#include "host/nt/kernel.h"
#include "host/nt/strings.h"
#include "programs.h"

namespace host::win32 {

namespace fs = std::filesystem;

// A process's exit is a notification event of the machine's dispatcher, so
// that a waiting thread blocks where the virtual clock can see it.
struct ExitSignal {
    KEVENT event;
    std::atomic<bool> ended{false};
    std::atomic<uint32_t> code{259};
    ExitSignal() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
};

namespace {

constexpr std::string_view kProgramStub = "zhost-program ";

// Code page 1252 in 0x80-0x9F (0 = unassigned); the rest is Latin-1.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178,
};

char16_t ansiChar(unsigned char c) {
    if (c >= 0x80 && c < 0xA0)
        return kCp1252High[c - 0x80] ? kCp1252High[c - 0x80] : char16_t(c);
    return char16_t(c);
}

char toAnsi(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c < 0x100))
        return char(c);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == c)
            return char(0x80 + i);
    return '?';
}

char upperChar(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z')
        return char(u - 32);
    if (u >= 0xE0 && u <= 0xFE && u != 0xF7)
        return char(u - 32);
    return c;
}


int defaultButton(uint32_t type) {
    static const int buttons[6][3] = {
        {Ok, Ok, Ok}, {Ok, Cancel, Cancel}, {Abort, Retry, Ignore},
        {Yes, No, Cancel}, {Yes, No, No}, {Retry, Cancel, Cancel},
    };
    uint32_t kind = type & 0xF;
    uint32_t index = (type >> 8) & 0xF;
    if (kind > 5)
        kind = 0;
    return buttons[kind][index > 2 ? 0 : index];
}

[[noreturn]] void misuse(const std::string& text) {
    fprintf(stderr, "zwin32: %s\n", text.c_str());
    std::abort();
}

} // namespace

// ---- Text helpers ----

std::u16string ansiToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char c : text)
        out += ansiChar(static_cast<unsigned char>(c));
    return out;
}

std::string utf16ToAnsi(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text)
        out += toAnsi(c);
    return out;
}

std::string ansiToUtf8(std::string_view text) {
    return toUtf8(ansiToUtf16(text));
}

std::string utf8ToAnsi(std::string_view text) {
    return utf16ToAnsi(fromUtf8(text));
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (auto& c : out)
        c = upperChar(c);
    return out;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upperChar(a[i]) != upperChar(b[i]))
            return false;
    return true;
}

std::vector<std::string> splitCommandLine(std::string_view line) {
    std::vector<std::string> args;
    size_t i = 0;
    const size_t n = line.size();
    for (;;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= n)
            break;
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '\\') {
                size_t slashes = 0;
                while (i < n && line[i] == '\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && line[i] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(slashes, '\\');
                }
            } else if (line[i] == '"') {
                // Inside quotes, a doubled quote is a literal one.
                if (quoted && i + 1 < n && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += line[i++];
            }
        }
        args.push_back(arg);
    }
    return args;
}

bool matchesWildcard(std::string_view pattern, std::string_view name) {
    // "*.*" matches every name, with or without a dot.
    if (pattern == "*.*")
        pattern = "*";
    size_t p = 0, s = 0, star = std::string_view::npos, mark = 0;
    while (s < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || upperChar(pattern[p]) == upperChar(name[s]))) {
            ++p;
            ++s;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = s;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            s = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// ---- Programs and processes ----

ProgramContext::ProgramContext(System& system, Process& process, std::vector<std::string> arguments, int show)
    : system_(system), process_(process), arguments_(std::move(arguments)), show_(show) {
    for (auto& a : arguments_)
        argv_.push_back(a.data());
    argv_.push_back(nullptr);
}

void ProgramContext::print(std::string_view text) {
    process_.writeConsole(1, text);
}

bool Process::ended() const {
    return exit_->ended.load();
}

uint32_t Process::exitCode() const {
    return exit_->code.load();
}

std::string Process::output() const {
    std::lock_guard g(mutex_);
    return output_;
}

void* Process::exitObject() const {
    return &exit_->event;
}

bool Process::privilegeHeld(const std::string& name) const {
    std::lock_guard g(mutex_);
    return privileges_.count(name) != 0;
}

bool Process::privilegeEnabled(const std::string& name) const {
    std::lock_guard g(mutex_);
    auto it = privileges_.find(name);
    return it != privileges_.end() && it->second;
}

bool Process::setPrivilege(const std::string& name, bool enabled) {
    std::lock_guard g(mutex_);
    auto it = privileges_.find(name);
    if (it == privileges_.end())
        return false;
    it->second = enabled;
    return true;
}

std::string Process::currentDirectory() const {
    std::lock_guard g(mutex_);
    return currentDirectory_;
}

void Process::setCurrentDirectory(std::string folder) {
    std::lock_guard g(mutex_);
    currentDirectory_ = std::move(folder);
}

void Process::appendOutput(std::string_view text) {
    std::lock_guard g(mutex_);
    output_ += text;
}

void Process::writeConsole(int stream, std::string_view text) {
    appendOutput(text);
    if (console_)
        console_(stream, text);
}

System::System(Machine& machine, SystemOptions options) : machine_(machine), options_(options) {
    if (machine_.win32())
        misuse("a machine has one Win32 subsystem");
    machine_.setWin32(this);
    for (const char* folder : {"C:\\Program Files", "C:\\Windows\\System32\\DriverStore\\FileRepository",
                               "C:\\Windows\\System32\\drivers", "C:\\Windows\\INF"}) {
        std::error_code ec;
        fs::create_directories(*hostPath(folder), ec);
    }
    if (is64BitWindows()) {
        std::error_code ec;
        fs::create_directories(*hostPath("C:\\Program Files (x86)"), ec);
        fs::create_directories(*hostPath("C:\\Windows\\SysWOW64"), ec);
    }
    // Newly arriving devices are installed from the driver store.
    machine_.pnp().setArrivalInstaller([this](PDEVICE_OBJECT, DeviceDescription& d) {
        return DriverStore(*this).installArriving(d);
    });
    // A machine loaded from its folder has its installed drivers back.
    DriverStore(*this).restoreInstalled();
    registerProgram("pnputil", pnputilProgram());
    registerProgram("devcon", devconProgram());
    if (options_.pnputilInSystemFolder)
        writeProgramFile("C:\\Windows\\System32\\pnputil.exe", "pnputil");
}

System::~System() {
    std::vector<std::shared_ptr<Process>> processes;
    {
        std::lock_guard g(mutex_);
        processes = processes_;
    }
    for (auto& p : processes)
        if (p->thread_.joinable())
            p->thread_.join();
    machine_.pnp().setArrivalInstaller({});
    machine_.setWin32(nullptr);
}

void System::registerProgram(const std::string& name, Program program) {
    std::lock_guard g(mutex_);
    programs_[upper(name)] = std::move(program);
}

std::optional<Program> System::program(const std::string& name) {
    std::lock_guard g(mutex_);
    auto it = programs_.find(upper(name));
    if (it == programs_.end())
        return std::nullopt;
    return it->second;
}

void System::writeProgramFile(const std::string& path, const std::string& program) {
    writeFile(path, std::string(kProgramStub) + program + "\n");
}

std::optional<std::string> System::programOfFile(const fs::path& hostFile) {
    std::ifstream in(hostFile, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string line;
    std::getline(in, line);
    if (line.compare(0, kProgramStub.size(), kProgramStub) != 0)
        return std::nullopt;
    std::string name = line.substr(kProgramStub.size());
    while (!name.empty() && (name.back() == '\r' || name.back() == ' '))
        name.pop_back();
    return name;
}

uint32_t System::run(const ProcessOptions& options, Program program) {
    auto process = start(options, std::move(program));
    if (!process)
        return 0xFFFFFFFF;
    wait(*process);
    return process->exitCode();
}

std::shared_ptr<Process> System::start(const ProcessOptions& options, Program program, std::optional<size_t> run) {
    auto full = fullPath(options.image, "C:\\");
    if (!full)
        return nullptr;
    if (!program) {
        auto file = hostPathFor(*full, nullptr);
        auto name = file ? programOfFile(*file) : std::nullopt;
        auto registered = name ? this->program(*name) : std::nullopt;
        if (!registered)
            return nullptr;
        program = *registered;
    }
    auto process = std::shared_ptr<Process>(new Process);
    process->system_ = this;
    process->image_ = *full;
    process->is32Bit_ = options.is32Bit;
    process->wow64_ = options.is32Bit && is64BitWindows();
    process->exit_ = std::make_shared<ExitSignal>();
    process->run_ = run;
    // An elevated administrator's token: the shutdown privilege is held but
    // disabled until the program enables it.
    process->privileges_ = {{"SeShutdownPrivilege", false}, {"SeChangeNotifyPrivilege", true},
                            {"SeBackupPrivilege", false}, {"SeRestorePrivilege", false}, {"SeDebugPrivilege", false}};
    std::string folder = options.currentDirectory;
    if (folder.empty()) {
        folder = *full;
        size_t slash = folder.find_last_of('\\');
        folder = slash == std::string::npos ? "C:\\" : folder.substr(0, slash);
        if (folder.size() == 2)
            folder += '\\';
    }
    process->currentDirectory_ = folder;
    process->console_ = options.console;

    std::vector<std::string> arguments{*full};
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());

    // The process's thread joins the machine before this returns, so a
    // parent that waits for it next cannot make the clock run ahead.
    std::string base = full->substr(full->find_last_of('\\') + 1);
    ThreadRec* rec = machine_.dispatcher().createThreadRecord("process " + base);
    machine_.dispatcher().attach(rec, true);
    // The host threads of processes that have ended are joined now (their
    // records stay): a long-lived machine does not keep every thread it ran.
    std::vector<std::thread> ended;
    {
        std::lock_guard g(mutex_);
        for (auto& p : processes_)
            if (p->thread_.joinable() && p->ended())
                ended.push_back(std::move(p->thread_));
        process->id_ = nextProcessId_ += 4;
        processes_.push_back(process);
    }
    for (auto& t : ended)
        t.join();
    std::thread thread([this, process, program = std::move(program), arguments = std::move(arguments),
                        show = options.show, rec]() mutable {
        threadMain(process, std::move(program), std::move(arguments), show, rec);
    });
    // Under the lock: a start on another thread may be looking for ended
    // processes to join.
    std::lock_guard g(mutex_);
    process->thread_ = std::move(thread);
    return process;
}

void System::threadMain(std::shared_ptr<Process> process, Program program, std::vector<std::string> arguments,
                        int show, void* threadRecord) {
    auto* rec = static_cast<ThreadRec*>(threadRecord);
    setCurrentThread(rec);
    uint32_t threadId;
    {
        std::lock_guard g(mutex_);
        threadId = nextThreadId_ += 4;
    }
    registerThread(process, threadId);
    uint32_t code = 0;
    try {
        ProgramContext context(*this, *process, std::move(arguments), show);
        code = static_cast<uint32_t>(program(context));
    } catch (const std::exception& e) {
        process->appendOutput(std::string("unhandled exception: ") + e.what() + "\n");
        code = 0xE06D7363;   // what Windows reports for an uncaught C++ exception
    }
    ended(*process, code);
    unregisterThread();
    machine_.dispatcher().detach(rec);
    setCurrentThread(nullptr);
    delete rec;
}

void System::registerThread(const std::shared_ptr<Process>& process, uint32_t threadId) {
    auto state = std::make_unique<ThreadState>();
    state->process = process;
    state->threadId = threadId;
    std::lock_guard g(mutex_);
    threads_[std::this_thread::get_id()] = std::move(state);
}

void System::unregisterThread() {
    std::lock_guard g(mutex_);
    threads_.erase(std::this_thread::get_id());
}

void System::threadEnding(const Process& process) {
    std::vector<std::shared_ptr<HandleObject>> open;
    {
        std::lock_guard g(mutex_);
        for (auto& [_, entry] : handles_)
            if (entry.process == process.id())
                open.push_back(entry.object);
    }
    for (auto& object : open)
        object->threadEnding();
}

std::shared_ptr<Thread> System::startThread(ThreadState& creator, std::function<uint32_t()> routine) {
    std::shared_ptr<Process> process = creator.process;
    auto thread = std::shared_ptr<Thread>(new Thread);
    thread->exit_ = std::make_shared<ExitSignal>();
    {
        std::lock_guard g(mutex_);
        thread->id_ = nextThreadId_ += 4;
    }
    std::string base = process->image().substr(process->image().find_last_of('\\') + 1);
    ThreadRec* rec = machine_.dispatcher().createThreadRecord("thread " + std::to_string(thread->id_) + " of " + base);
    machine_.dispatcher().attach(rec, true);
    // The host thread is made and listed under the process's lock, so the
    // process's end, which joins the listed threads, always finds it.
    std::lock_guard g(process->mutex_);
    thread->thread_ = std::thread([this, process, exit = thread->exit_, id = thread->id_,
                                   routine = std::move(routine), rec]() {
        setCurrentThread(rec);
        registerThread(process, id);
        uint32_t code = 0;
        try {
            code = routine();
        } catch (const std::exception& e) {
            process->appendOutput(std::string("unhandled exception: ") + e.what() + "\n");
            code = 0xE06D7363;
        }
        threadEnding(*process);
        exit->code = code;
        exit->ended = true;
        KeSetEvent(&exit->event, IO_NO_INCREMENT, FALSE);
        unregisterThread();
        machine_.dispatcher().detach(rec);
        setCurrentThread(nullptr);
        delete rec;
    });
    process->threads_.push_back(thread);
    return thread;
}

bool Thread::ended() const {
    return exit_->ended.load();
}

uint32_t Thread::exitCode() const {
    return exit_->code.load();
}

void* Thread::exitObject() const {
    return &exit_->event;
}

void System::ended(Process& process, uint32_t code) {
    // The process's handles close with it: devices get their cleanup and
    // close requests from the process's own thread, so requests its other
    // threads wait for end. Then those threads are waited for, and what
    // they opened meanwhile is closed too.
    closeProcessHandles(process);
    for (;;) {
        std::shared_ptr<Thread> next;
        std::thread host;
        {
            std::lock_guard g(process.mutex_);
            for (auto& t : process.threads_)
                if (t->thread_.joinable()) {
                    next = t;
                    host = std::move(t->thread_);
                    break;
                }
        }
        if (!next)
            break;
        KeWaitForSingleObject(&next->exit_->event, UserRequest, UserMode, FALSE, nullptr);
        host.join();
    }
    closeProcessHandles(process);
    {
        std::lock_guard g(mutex_);
        if (process.run_) {
            ProgramRun& r = runs_[*process.run_];
            r.ended = true;
            r.exitCode = code;
            r.output = process.output();
            r.endOrder = ++order_;
        }
    }
    process.exit_->code = code;
    process.exit_->ended = true;
    KeSetEvent(&process.exit_->event, IO_NO_INCREMENT, FALSE);
}

void System::closeProcessHandles(Process& process) {
    std::vector<std::shared_ptr<HandleObject>> open;
    {
        std::lock_guard g(mutex_);
        for (auto it = handles_.begin(); it != handles_.end();) {
            if (it->second.process == process.id()) {
                open.push_back(std::move(it->second.object));
                it = handles_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& object : open)
        object->threadEnding();
    for (auto& object : open)
        object->closed();
    {
        std::lock_guard g(mutex_);
        for (auto it = closing_.begin(); it != closing_.end();) {
            if (it->first == process.id()) {
                open.push_back(std::move(it->second));
                it = closing_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& object : open)
        object->waitReleased();
}

bool System::wait(Process& process, std::optional<uint32_t> milliseconds) {
    if (process.ended())
        return true;
    if (!currentThread())
        misuse("waiting for a process from a thread that is not attached to the machine");
    LARGE_INTEGER timeout;
    if (milliseconds)
        timeout.QuadPart = -LONGLONG(*milliseconds) * 10000;
    NTSTATUS s = KeWaitForSingleObject(&process.exit_->event, Executive, UserMode, FALSE,
                                       milliseconds ? &timeout : nullptr);
    return s == STATUS_SUCCESS;
}

ThreadState& System::current(const char* call) {
    System& system = of(call);
    std::lock_guard g(system.mutex_);
    auto it = system.threads_.find(std::this_thread::get_id());
    if (it == system.threads_.end())
        misuse(std::string(call) + " from a thread that runs no process");
    return *it->second;
}

System& System::of(const char* call) {
    Machine* m = Machine::current();
    if (!m || !m->win32())
        misuse(std::string(call) + " from a thread of no machine with a Win32 subsystem");
    return *m->win32();
}

// ---- Records ----

uint64_t System::nextOrder() {
    std::lock_guard g(mutex_);
    return ++order_;
}

void System::answerMessages(std::function<int(const MessageRecord&)> answer) {
    std::lock_guard g(mutex_);
    answer_ = std::move(answer);
}

int System::showMessage(MessageRecord record) {
    std::function<int(const MessageRecord&)> answer;
    {
        std::lock_guard g(mutex_);
        record.order = ++order_;
        answer = answer_;
    }
    record.answer = answer ? answer(record) : defaultButton(record.type);
    std::lock_guard g(mutex_);
    messages_.push_back(record);
    return record.answer;
}

size_t System::recordRun(ProgramRun run) {
    std::lock_guard g(mutex_);
    run.order = ++order_;
    runs_.push_back(std::move(run));
    return runs_.size() - 1;
}

void System::recordFileOperation(FileOperationRecord record) {
    std::lock_guard g(mutex_);
    record.order = ++order_;
    fileOperations_.push_back(std::move(record));
}

void System::recordShutdown(ShutdownRecord record) {
    std::lock_guard g(mutex_);
    record.order = ++order_;
    shutdowns_.push_back(record);
}

std::vector<MessageRecord> System::messages() const {
    std::lock_guard g(mutex_);
    return messages_;
}

std::vector<ProgramRun> System::programRuns() const {
    std::lock_guard g(mutex_);
    return runs_;
}

std::vector<FileOperationRecord> System::fileOperations() const {
    std::lock_guard g(mutex_);
    return fileOperations_;
}

std::vector<ShutdownRecord> System::shutdowns() const {
    std::lock_guard g(mutex_);
    return shutdowns_;
}

// ---- Handles ----

void* System::insertHandle(std::shared_ptr<HandleObject> object) {
    std::lock_guard g(mutex_);
    uint32_t owner = 0;
    auto t = threads_.find(std::this_thread::get_id());
    if (t != threads_.end() && t->second->process)
        owner = t->second->process->id();
    nextHandle_ += 4;
    handles_[nextHandle_] = HandleEntry{std::move(object), owner};
    return reinterpret_cast<void*>(nextHandle_);
}

std::shared_ptr<HandleObject> System::handle(void* h) {
    std::lock_guard g(mutex_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(h));
    return it == handles_.end() ? nullptr : it->second.object;
}

bool System::closeHandle(void* h) {
    std::shared_ptr<HandleObject> object;
    {
        std::lock_guard g(mutex_);
        auto it = handles_.find(reinterpret_cast<uintptr_t>(h));
        if (it == handles_.end())
            return false;
        object = it->second.object;
        if (it->second.process != 0)
            closing_.push_back({it->second.process, std::move(it->second.object)});
        handles_.erase(it);
    }
    object->closed();
    return true;
}

// ---- Paths ----

std::optional<std::string> System::fullPath(std::string_view path, const std::string& currentDirectory) {
    if (path.empty())
        return std::nullopt;
    std::string p(path);
    std::replace(p.begin(), p.end(), '/', '\\');
    if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\')
        return std::nullopt;   // UNC paths name no disk of this machine
    std::string drive;
    std::string rest;
    auto isDrive = [](const std::string& s) { return s.size() >= 2 && std::isalpha(static_cast<unsigned char>(s[0])) && s[1] == ':'; };
    if (isDrive(p) && p.size() >= 3 && p[2] == '\\') {
        drive = p.substr(0, 2);
        rest = p.substr(2);
    } else if (isDrive(p)) {
        // Drive-relative ("C:x"): relative to the current folder when it is
        // on that drive, to the drive's root otherwise.
        drive = p.substr(0, 2);
        if (equalNoCase(currentDirectory.substr(0, 2), drive))
            rest = currentDirectory.substr(2) + "\\" + p.substr(2);
        else
            rest = "\\" + p.substr(2);
    } else if (p[0] == '\\') {
        drive = currentDirectory.substr(0, 2);
        rest = p;
    } else {
        drive = currentDirectory.substr(0, 2);
        rest = currentDirectory.substr(2) + "\\" + p;
    }
    const bool trailingSlash = !rest.empty() && rest.back() == '\\' && rest.size() > 1;
    std::vector<std::string> out;
    for (auto& part : splitFilePath<char>(rest)) {
        if (part == ".")
            continue;
        if (part == "..") {
            if (!out.empty())
                out.pop_back();
            continue;
        }
        out.push_back(part);
    }
    // The last component loses trailing dots and spaces, as on the platform.
    if (!out.empty()) {
        std::string& last = out.back();
        while (!last.empty() && (last.back() == '.' || last.back() == ' '))
            last.pop_back();
        if (last.empty())
            out.pop_back();
    }
    std::string result = drive + "\\";
    for (size_t i = 0; i < out.size(); ++i) {
        if (i)
            result += '\\';
        result += out[i];
    }
    if (trailingSlash && !out.empty())
        result += '\\';
    return result;
}

std::optional<fs::path> System::hostPathFor(const std::string& full, const ThreadState* thread) {
    if (full.size() < 3 || !equalNoCase(full.substr(0, 3), "C:\\"))
        return std::nullopt;
    std::vector<std::string> parts = splitFilePath<char>(std::string_view(full).substr(3));
    // WOW64 file system redirection: a 32-bit process sees SysWOW64 as
    // System32 (but for the folders that are shared), and the 64-bit
    // System32 as Sysnative.
    if (thread && thread->process && thread->process->wow64() && parts.size() >= 2 &&
        equalNoCase(parts[0], "Windows")) {
        if (equalNoCase(parts[1], "Sysnative")) {
            parts[1] = "System32";
        } else if (!thread->redirectionDisabled && equalNoCase(parts[1], "System32")) {
            bool shared = false;
            if (parts.size() >= 3)
                for (const char* exempt : {"catroot", "catroot2", "DriverStore", "LogFiles", "spool"})
                    shared = shared || equalNoCase(parts[2], exempt);
            if (parts.size() >= 4 && equalNoCase(parts[2], "drivers") && equalNoCase(parts[3], "etc"))
                shared = true;
            if (!shared)
                parts[1] = "SysWOW64";
        }
    }
    // Drive C: is the machine's folder, so C:\Windows is the kernel's
    // \SystemRoot. Names are matched without regard to case.
    fs::path cur = machine_.files().windowsFolder().parent_path();
    for (auto& part : parts) {
        std::string name = ansiToUtf8(part);
        fs::path next = cur / name;
        std::error_code ec;
        if (!fs::exists(next, ec) && fs::is_directory(cur, ec)) {
            std::string wanted = upper(part);
            for (auto& entry : fs::directory_iterator(cur, ec))
                if (upper(utf8ToAnsi(entry.path().filename().string())) == wanted) {
                    next = entry.path();
                    break;
                }
        }
        cur = next;
    }
    return cur;
}

std::string System::programFilesFolder(bool forWow64Process) const {
    return forWow64Process ? "C:\\Program Files (x86)" : "C:\\Program Files";
}

uint16_t System::nativeMachine() const {
    switch (options_.processor) {
    case Processor::X86: return 0x014c;
    case Processor::X64: return 0x8664;
    case Processor::Arm64: return 0xAA64;
    }
    return 0;
}

std::optional<fs::path> System::hostPath(const std::string& path) {
    auto full = fullPath(path, "C:\\");
    return full ? hostPathFor(*full, nullptr) : std::nullopt;
}

void System::writeFile(const std::string& path, std::string_view content) {
    auto p = hostPath(path);
    if (!p)
        misuse("writeFile: " + path + " is not on the machine's disk");
    std::error_code ec;
    fs::create_directories(p->parent_path(), ec);
    std::ofstream out(*p, std::ios::binary | std::ios::trunc);
    out.write(content.data(), std::streamsize(content.size()));
}

std::optional<std::string> System::readFile(const std::string& path) {
    auto p = hostPath(path);
    if (!p)
        return std::nullopt;
    std::error_code ec;
    if (!fs::is_regular_file(*p, ec))
        return std::nullopt;
    std::ifstream in(*p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool System::exists(const std::string& path) {
    auto p = hostPath(path);
    std::error_code ec;
    return p && fs::exists(*p, ec);
}

bool System::remove(const std::string& path) {
    auto p = hostPath(path);
    std::error_code ec;
    return p && fs::remove_all(*p, ec) > 0;
}

std::vector<std::string> System::list(const std::string& folder) {
    std::vector<std::string> names;
    auto p = hostPath(folder);
    std::error_code ec;
    if (!p || !fs::is_directory(*p, ec))
        return names;
    for (auto& entry : fs::directory_iterator(*p, ec))
        names.push_back(utf8ToAnsi(entry.path().filename().string()));
    std::sort(names.begin(), names.end(), [](auto& a, auto& b) { return upper(a) < upper(b); });
    return names;
}

// ---- Registry and time ----

std::optional<std::u16string> System::dosDeviceTarget(const std::u16string& name) {
    return machine_.objects().linkTarget(u"\\??\\" + name);
}

std::vector<std::u16string> System::dosDeviceNames() {
    const std::u16string prefix = u"\\??\\";
    std::vector<std::u16string> out;
    for (const std::u16string& path : machine_.objects().names(prefix))
        if (path.size() > prefix.size() && path.find(u'\\', prefix.size()) == std::u16string::npos)
            out.push_back(path.substr(prefix.size()));
    return out;
}

bool System::registryKeyExists(const std::u16string& path) {
    return machine_.registry().exists(path);
}

std::optional<System::RegistryValue> System::registryValue(const std::u16string& path, const std::u16string& name) {
    auto v = machine_.registry().value(path, name);
    if (!v)
        return std::nullopt;
    return RegistryValue{v->type, v->data};
}

void System::sleep(uint32_t milliseconds) {
    machine_.sleep(uint64_t(milliseconds) * 10000);
}

uint64_t System::milliseconds() {
    return machine_.now() / 10000;
}

} // namespace host::win32
