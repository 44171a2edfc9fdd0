// shell32: starting programs (ShellExecuteExA), copying files and folders
// (SHFileOperationA) and the known folders (SHGetFolderPathA).

#include "api.h"

#include <shellapi.h>
#include <shlobj.h>

#include <system_error>
#include <vector>

namespace fs = std::filesystem;
using namespace host::win32;
using namespace host::win32::api;

namespace {

constexpr int kShellStarted = 42;   // hInstApp above 32 means success

// A program file by name as ShellExecuteExA looks for it: the name as a
// path, or for a bare name the given folder, the program's own folder, the
// system folder and the Windows folder; ".exe" is tried when the name has no
// extension.
std::optional<std::pair<std::string, fs::path>> findProgramFile(ThreadState& t, const std::string& file,
                                                                const std::string& folder) {
    System& system = t.process->system();
    std::vector<std::string> candidates;
    if (file.find_first_of("\\/:") != std::string::npos) {
        if (auto full = system.fullPath(file, folder))
            candidates.push_back(*full);
    } else {
        std::string image = t.process->image();
        std::string imageFolder = image.substr(0, image.find_last_of('\\'));
        for (const std::string& dir : {folder, imageFolder, System::systemFolder(), System::windowsFolder()})
            if (auto full = system.fullPath(dir + "\\" + file, folder))
                candidates.push_back(*full);
    }
    const bool hasExtension = file.find('.', file.find_last_of("\\/") + 1) != std::string::npos;
    for (auto& c : candidates)
        for (const std::string& name : hasExtension ? std::vector<std::string>{c} : std::vector<std::string>{c, c + ".exe"}) {
            auto host = hostPath(t, name);
            std::error_code ec;
            if (host && fs::is_regular_file(*host, ec))
                return std::make_pair(name, *host);
        }
    return std::nullopt;
}

std::vector<std::string> pathList(PCZZSTR list) {
    std::vector<std::string> paths;
    if (!list)
        return paths;
    for (const char* p = list; *p; p += std::strlen(p) + 1)
        paths.push_back(p);
    return paths;
}

// Copies one file or folder; 0 or the shell's error code.
int copyItem(const fs::path& source, const fs::path& target) {
    std::error_code ec;
    if (fs::is_directory(source, ec)) {
        if (fs::exists(target, ec) && !fs::is_directory(target, ec))
            return 0x7E;   // DE_FLDDESTISFILE: the source is a folder, the destination a file
        fs::create_directories(target, ec);
        fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
        return ec ? 0x402 : 0;   // DE_ERROR_MAX stands for an error the shell does not name
    }
    fs::create_directories(target.parent_path(), ec);
    fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec);
    return ec ? 0x402 : 0;
}

} // namespace

extern "C" {

BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA* pExecInfo) {
    ThreadState& t = thread("ShellExecuteExA");
    System& system = t.process->system();
    if (!pExecInfo || pExecInfo->cbSize != sizeof(SHELLEXECUTEINFOA))
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    SHELLEXECUTEINFOA& info = *pExecInfo;
    info.hProcess = nullptr;

    ProgramRun run;
    run.file = info.lpFile ? info.lpFile : "";
    run.parameters = info.lpParameters ? info.lpParameters : "";
    run.verb = info.lpVerb ? info.lpVerb : "";
    run.mask = info.fMask;
    run.show = info.nShow;

    auto refuse = [&](DWORD error, int shellError) {
        run.startError = error;
        system.recordRun(run);
        info.hInstApp = reinterpret_cast<HINSTANCE>(intptr_t(shellError));
        return failed(t, error, FALSE);
    };
    // The installer is elevated already: "runas" starts the program as "open" does.
    if (!run.verb.empty() && !equalNoCase(run.verb, "open") && !equalNoCase(run.verb, "runas"))
        return refuse(1155 /* ERROR_NO_ASSOCIATION */, SE_ERR_NOASSOC);
    std::string folder = t.process->currentDirectory();
    if (info.lpDirectory && *info.lpDirectory)
        if (auto full = system.fullPath(info.lpDirectory, folder))
            folder = *full;
    auto found = run.file.empty() ? std::nullopt : findProgramFile(t, run.file, folder);
    if (!found)
        return refuse(ERROR_FILE_NOT_FOUND, SE_ERR_FNF);
    run.path = found->first;
    auto name = system.programOfFile(found->second);
    auto program = name ? system.program(*name) : std::nullopt;
    if (!program)
        return refuse(ERROR_BAD_EXE_FORMAT, SE_ERR_NOASSOC);
    run.program = *name;
    run.started = true;
    run.arguments = splitCommandLine(run.parameters);

    ProcessOptions options;
    options.image = run.path;
    options.arguments = run.arguments;
    options.currentDirectory = folder;
    // The system's tools are native programs.
    options.is32Bit = !system.is64BitWindows();
    options.show = info.nShow;
    size_t index = system.recordRun(run);
    auto process = system.start(options, *program, index);
    info.hInstApp = reinterpret_cast<HINSTANCE>(intptr_t(kShellStarted));
    if (info.fMask & SEE_MASK_NOCLOSEPROCESS)
        info.hProcess = system.insertHandle(std::make_shared<ProcessHandle>(process));
    t.lastError = ERROR_SUCCESS;
    return TRUE;
}

int WINAPI SHFileOperationA(LPSHFILEOPSTRUCTA lpFileOp) {
    ThreadState& t = thread("SHFileOperationA");
    System& system = t.process->system();
    if (!lpFileOp)
        return ERROR_INVALID_PARAMETER;
    FileOperationRecord record;
    record.function = lpFileOp->wFunc;
    record.from = pathList(lpFileOp->pFrom);
    record.to = pathList(lpFileOp->pTo);
    record.flags = lpFileOp->fFlags;
    record.ownerWindow = lpFileOp->hwnd != nullptr;
    lpFileOp->fAnyOperationsAborted = FALSE;

    // Copying is the one operation the package's programs use. Confirmations
    // (without FOF_NOCONFIRMATION / FOF_NOCONFIRMMKDIR) are answered "yes".
    int result = 0;
    if (lpFileOp->wFunc != FO_COPY || record.from.empty() || record.to.empty())
        result = 0x7C;   // DE_INVALIDFILES
    const std::string folder = t.process->currentDirectory();
    for (size_t i = 0; result == 0 && i < record.from.size(); ++i) {
        auto from = system.fullPath(record.from[i], folder);
        const bool multiDest = (lpFileOp->fFlags & FOF_MULTIDESTFILES) != 0;
        auto to = system.fullPath(multiDest && i < record.to.size() ? record.to[i] : record.to[0], folder);
        auto source = from ? hostPath(t, *from) : std::nullopt;
        auto target = to ? hostPath(t, *to) : std::nullopt;
        std::error_code ec;
        if (!source || !target || !fs::exists(*source, ec)) {
            result = ERROR_FILE_NOT_FOUND;
            break;
        }
        // Into an existing folder (or, for several sources, into the folder
        // named); otherwise the copy takes the destination's name.
        fs::path destination = *target;
        if (fs::is_directory(*target, ec) || (!multiDest && record.from.size() > 1))
            destination = *target / source->filename();
        result = copyItem(*source, destination);
    }
    record.result = result;
    system.recordFileOperation(record);
    return result;
}

HRESULT WINAPI SHGetFolderPathA(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPSTR pszPath) {
    ThreadState& t = thread("SHGetFolderPathA");
    System& system = t.process->system();
    if (!pszPath)
        return E_INVALIDARG;
    pszPath[0] = '\0';
    std::string path;
    switch (csidl & 0xFF) {
    case CSIDL_PROGRAM_FILES: path = system.programFilesFolder(t.process->wow64()); break;
    case CSIDL_PROGRAM_FILESX86: path = system.programFilesFolder(system.is64BitWindows()); break;
    case CSIDL_WINDOWS: path = System::windowsFolder(); break;
    case CSIDL_SYSTEM: path = System::systemFolder(); break;
    case CSIDL_SYSTEMX86:
        path = system.is64BitWindows() ? System::windowsFolder() + "\\SysWOW64" : System::systemFolder();
        break;
    default: return E_INVALIDARG;
    }
    std::snprintf(pszPath, MAX_PATH, "%s", path.c_str());
    auto host = hostPath(t, path);
    std::error_code ec;
    if (host && fs::is_directory(*host, ec))
        return S_OK;
    if (csidl & CSIDL_FLAG_CREATE) {
        fs::create_directories(*host, ec);
        return S_OK;
    }
    // The ANSI version reports a known folder that does not exist with S_FALSE.
    return S_FALSE;
}

} // extern "C"
