#include "setup/LogonTask.h"

#include <windows.h>

#include <wrl/client.h>

#include "app/Handles.h"
#include "app/PlatformGaps.h"

using Microsoft::WRL::ComPtr;

namespace
{
constexpr wchar_t RootFolderPath[] = L"\\";
constexpr wchar_t TaskAuthor[] = L"Orlenby LLC";
constexpr wchar_t LogonTriggerId[] = L"Trigger1";
constexpr wchar_t ActionArguments[] = L"-tray";
constexpr wchar_t UsersGroupSid[] = L"S-1-5-32-545"; // the local Users group: every user's logon
constexpr wchar_t NoTimeLimit[] = L"PT0S";
constexpr wchar_t LeadingSpace[] = L" \t\r\n\v\f";

// The Task Scheduler reads its string arguments as BSTRs (it may look at the length prefix), so
// every text goes in as a real BSTR that lives for the call.
template <typename Call> HRESULT WithBstr(const std::wstring& text, Call call)
{
    UniqueBstr value(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!value)
        return E_OUTOFMEMORY;
    return call(value.Get());
}

// A getter that reports success without handing out an object counts as failed.
template <typename Interface> bool Obtained(HRESULT hr, const ComPtr<Interface>& object)
{
    return SUCCEEDED(hr) && object;
}

bool ConnectToRootFolder(ITaskService* service, ComPtr<ITaskFolder>& folder)
{
    const OwnedVariant empty; // local machine, current user, no domain, no password
    if (FAILED(service->Connect(empty.Get(), empty.Get(), empty.Get(), empty.Get())))
        return false;
    const HRESULT hr = WithBstr(RootFolderPath, [&](BSTR path) { return service->GetFolder(path, &folder); });
    return Obtained(hr, folder);
}

void DeleteTaskIgnoringResult(ITaskFolder* folder, const std::wstring& taskName)
{
    // A task that does not exist is not an error, and nothing else can be done about a failure here.
    (void)WithBstr(taskName, [&](BSTR name) { return folder->DeleteTask(name, 0); });
}

bool SetAuthor(ITaskDefinition* definition)
{
    ComPtr<IRegistrationInfo> info;
    if (!Obtained(definition->get_RegistrationInfo(&info), info))
        return false;
    return SUCCEEDED(WithBstr(TaskAuthor, [&](BSTR author) { return info->put_Author(author); }));
}

bool SetSettings(ITaskDefinition* definition)
{
    ComPtr<ITaskSettings> settings;
    if (!Obtained(definition->get_Settings(&settings), settings))
        return false;
    if (FAILED(settings->put_StartWhenAvailable(VARIANT_TRUE)))
        return false;
    // The rest only refine the defaults; a task without them still starts the program at logon.
    (void)WithBstr(NoTimeLimit, [&](BSTR limit) { return settings->put_ExecutionTimeLimit(limit); });
    (void)settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE);
    (void)settings->put_StopIfGoingOnBatteries(VARIANT_FALSE);
    (void)settings->put_MultipleInstances(TASK_INSTANCES_PARALLEL);
    (void)settings->put_Enabled(VARIANT_TRUE);
    return true;
}

bool SetHighestRunLevel(ITaskDefinition* definition)
{
    ComPtr<IPrincipal> principal;
    if (!Obtained(definition->get_Principal(&principal), principal))
        return false;
    return SUCCEEDED(principal->put_RunLevel(TASK_RUNLEVEL_HIGHEST));
}

bool AddLogonTrigger(ITaskDefinition* definition)
{
    ComPtr<ITriggerCollection> triggers;
    if (!Obtained(definition->get_Triggers(&triggers), triggers))
        return false;
    ComPtr<ITrigger> trigger;
    if (!Obtained(triggers->Create(TASK_TRIGGER_LOGON, &trigger), trigger))
        return false;
    ComPtr<LogonTriggerInterface> logon;
    if (!Obtained(trigger->QueryInterface(LogonTriggerInterfaceId, reinterpret_cast<void**>(logon.GetAddressOf())),
                  logon))
        return false;
    if (FAILED(WithBstr(LogonTriggerId, [&](BSTR id) { return logon->put_Id(id); })))
        return false;
    // An empty user: the logon of any user (the principal group narrows it to the Users group).
    return SUCCEEDED(WithBstr(L"", [&](BSTR user) { return logon->put_UserId(user); }));
}

bool AddExecAction(ITaskDefinition* definition, const std::wstring& actionPath)
{
    ComPtr<IActionCollection> actions;
    if (!Obtained(definition->get_Actions(&actions), actions))
        return false;
    ComPtr<IAction> action;
    if (!Obtained(actions->Create(TASK_ACTION_EXEC, &action), action))
        return false;
    ComPtr<IExecAction> exec;
    if (!Obtained(action->QueryInterface(ExecActionInterfaceId, reinterpret_cast<void**>(exec.GetAddressOf())), exec))
        return false;
    if (FAILED(WithBstr(actionPath, [&](BSTR path) { return exec->put_Path(path); })))
        return false;
    (void)WithBstr(ActionArguments, [&](BSTR arguments) { return exec->put_Arguments(arguments); });
    return true;
}

bool Register(ITaskFolder* folder, const std::wstring& taskName, ITaskDefinition* definition)
{
    OwnedVariant user;
    OwnedVariant password; // none: a group task needs no password
    OwnedVariant securityDescriptor;
    if (!user.SetString(UsersGroupSid) || !securityDescriptor.SetString(L""))
        return false;
    ComPtr<IRegisteredTask> registered;
    return SUCCEEDED(WithBstr(taskName, [&](BSTR name) {
        return folder->RegisterTaskDefinition(name, definition, TASK_CREATE_OR_UPDATE, user.Get(), password.Get(),
                                              TASK_LOGON_GROUP, securityDescriptor.Get(), &registered);
    }));
}

[[nodiscard]] ComPtr<ITaskService> CreateTaskService()
{
    ComPtr<ITaskService> service;
    if (FAILED(::CoCreateInstance(TaskSchedulerClassId, nullptr, CLSCTX_INPROC_SERVER, TaskServiceInterfaceId,
                                  reinterpret_cast<void**>(service.GetAddressOf()))))
        return nullptr;
    return service;
}
} // namespace

std::wstring QuotedActionPath(const std::wstring& executablePath)
{
    const size_t start = executablePath.find_first_not_of(LeadingSpace);
    if (start != std::wstring::npos && executablePath[start] == L'"')
        return executablePath.substr(start);
    return L"\"" + executablePath + L"\"";
}

bool CreateLogonTask(ITaskService* service, const std::wstring& taskName, const std::wstring& executablePath)
{
    if (service == nullptr || taskName.empty())
        return false;
    ComPtr<ITaskFolder> folder;
    if (!ConnectToRootFolder(service, folder))
        return false;
    // Registering replaces a task of the same name, but only when everything else succeeds; deleting
    // first means a failed install never leaves an older definition behind.
    DeleteTaskIgnoringResult(folder.Get(), taskName);

    ComPtr<ITaskDefinition> definition;
    if (!Obtained(service->NewTask(0, &definition), definition))
        return false;
    return SetAuthor(definition.Get()) && SetSettings(definition.Get()) && SetHighestRunLevel(definition.Get()) &&
           AddLogonTrigger(definition.Get()) && AddExecAction(definition.Get(), QuotedActionPath(executablePath)) &&
           Register(folder.Get(), taskName, definition.Get());
}

bool DeleteLogonTask(ITaskService* service, const std::wstring& taskName)
{
    if (service == nullptr)
        return false;
    ComPtr<ITaskFolder> folder;
    if (!ConnectToRootFolder(service, folder))
        return false;
    if (!taskName.empty())
        DeleteTaskIgnoringResult(folder.Get(), taskName);
    return true;
}

bool CreateLogonTask(const std::wstring& taskName, const std::wstring& executablePath)
{
    if (taskName.empty())
        return false;
    return CreateLogonTask(CreateTaskService().Get(), taskName, executablePath);
}

bool DeleteLogonTask(const std::wstring& taskName)
{
    return DeleteLogonTask(CreateTaskService().Get(), taskName);
}
