#include "run/file_holders.h"

#include "support/system_function.h"

#include <restartmanager.h>
#include <strsafe.h>

namespace {

// LOAD_LIBRARY_SEARCH_SYSTEM32, which headers for Vista do not define.
constexpr DWORD kSearchSystem32Only = 0x800;

// Restart Manager is not a KnownDLL: it is taken from the system folder
// only, never from the executable's folder or the current directory, and
// only when a file is found in use, so that the exe does not import it.
HMODULE LoadRestartManager() noexcept
{
    if (HMODULE module = ::LoadLibraryExW(L"rstrtmgr.dll", nullptr, kSearchSystem32Only)) {
        return module;
    }
    // Vista and 7 without the loader update refuse the flag: the full path
    // of the system folder's copy says the same.
    if (::GetLastError() != ERROR_INVALID_PARAMETER) {
        return nullptr;
    }
    wchar_t path[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || FAILED(::StringCchCatW(path, MAX_PATH, L"\\rstrtmgr.dll"))) {
        return nullptr;
    }
    return ::LoadLibraryW(path);
}

struct RestartManager {
    decltype(&::RmStartSession) startSession;
    decltype(&::RmRegisterResources) registerResources;
    decltype(&::RmGetList) getList;
    decltype(&::RmEndSession) endSession;

    explicit operator bool() const noexcept { return startSession && registerResources && getList && endSession; }
};

// Loaded once and kept for the rest of the process.
const RestartManager& TheRestartManager() noexcept
{
    static const RestartManager manager = [] {
        const HMODULE module = LoadRestartManager();
        return RestartManager{FunctionOfModule<decltype(&::RmStartSession)>(module, "RmStartSession"),
                              FunctionOfModule<decltype(&::RmRegisterResources)>(module, "RmRegisterResources"),
                              FunctionOfModule<decltype(&::RmGetList)>(module, "RmGetList"),
                              FunctionOfModule<decltype(&::RmEndSession)>(module, "RmEndSession")};
    }();
    return manager;
}

// A Restart Manager session, ended on every way out.
class RestartManagerSession {
  public:
    explicit RestartManagerSession(const RestartManager& manager) noexcept : manager_(manager)
    {
        WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
        started_ = manager_.startSession(&handle_, 0, key) == ERROR_SUCCESS;
    }
    ~RestartManagerSession()
    {
        if (started_) {
            manager_.endSession(handle_);
        }
    }
    RestartManagerSession(const RestartManagerSession&) = delete;
    RestartManagerSession& operator=(const RestartManagerSession&) = delete;

    explicit operator bool() const noexcept { return started_; }
    DWORD get() const noexcept { return handle_; }

  private:
    const RestartManager& manager_;
    DWORD handle_ = 0;
    bool started_ = false;
};

// The session's list, grown while programs start between the calls.
std::vector<RM_PROCESS_INFO> ListSessionProcesses(const RestartManager& manager, DWORD session)
{
    std::vector<RM_PROCESS_INFO> processes(4);
    for (int attempt = 0; attempt < 3; ++attempt) {
        UINT needed = 0;
        auto count = static_cast<UINT>(processes.size());
        DWORD reasons = 0;
        const DWORD result = manager.getList(session, &needed, &count, processes.data(), &reasons);
        if (result == ERROR_SUCCESS) {
            processes.resize(count);
            return processes;
        }
        if (result != ERROR_MORE_DATA) {
            break;
        }
        processes.resize(needed);
    }
    return {};
}

} // namespace

std::vector<FileHolder> AskRestartManagerForHolders(const std::wstring& path)
{
    const RestartManager& manager = TheRestartManager();
    if (!manager) {
        return {};
    }
    const RestartManagerSession session(manager);
    LPCWSTR files[] = {path.c_str()};
    if (!session || manager.registerResources(session.get(), 1, files, 0, nullptr, 0, nullptr) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<FileHolder> holders;
    for (const RM_PROCESS_INFO& process : ListSessionProcesses(manager, session.get())) {
        holders.push_back(FileHolder{process.strAppName, process.Process.dwProcessId});
    }
    return holders;
}
