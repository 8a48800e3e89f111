#pragma once
// A recording stand-in for the Task Scheduler's COM objects. Every call is logged in order with its
// arguments as text; any step can be made to fail, or to report success without handing out an
// object; every object counts its references so that a test can see each one released.

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/PlatformGaps.h"

namespace fake_tasks
{

struct Call
{
    std::string step;
    std::wstring value;
};

class Recorder
{
  public:
    // Makes `step` answer hr (a failure) without doing anything.
    void Fail(const std::string& step, HRESULT hr)
    {
        failures_[step] = hr;
    }
    // Makes a step that hands out an object answer S_OK with a null object.
    void HandOutNothing(const std::string& step)
    {
        empty_.insert(step);
    }
    HRESULT Record(const std::string& step, std::wstring value)
    {
        calls_.push_back({step, std::move(value)});
        const auto failure = failures_.find(step);
        return failure == failures_.end() ? S_OK : failure->second;
    }
    [[nodiscard]] bool HandsOutNothing(const std::string& step) const
    {
        return empty_.count(step) != 0;
    }
    HRESULT Unexpected(const char* method)
    {
        calls_.push_back({std::string("unexpected ") + method, {}});
        return E_NOTIMPL;
    }
    [[nodiscard]] const std::vector<Call>& Calls() const
    {
        return calls_;
    }

  private:
    std::vector<Call> calls_;
    std::map<std::string, HRESULT> failures_;
    std::set<std::string> empty_;
};

// A BSTR's text by its length prefix, so a plain wide literal passed as a BSTR shows up as garbage.
inline std::wstring Text(BSTR text)
{
    if (text == nullptr)
        return L"(null)";
    return std::wstring(text, ::SysStringLen(text));
}

inline std::wstring Text(VARIANT_BOOL value)
{
    return value == VARIANT_TRUE ? L"true" : value == VARIANT_FALSE ? L"false" : L"invalid";
}

inline std::wstring Text(const VARIANT& value)
{
    switch (value.vt)
    {
    case VT_EMPTY:
        return L"empty";
    case VT_BSTR:
        return L"string '" + Text(value.bstrVal) + L"'";
    default:
        return L"type " + std::to_wstring(value.vt);
    }
}

inline std::wstring Number(long value)
{
    return std::to_wstring(value);
}

// The reference count of one fake object.
class Counted
{
  public:
    virtual ~Counted() = default;
    [[nodiscard]] ULONG References() const
    {
        return references_;
    }
    [[nodiscard]] bool Underflowed() const
    {
        return underflowed_;
    }

  protected:
    ULONG AddReference()
    {
        return ++references_;
    }
    ULONG ReleaseReference()
    {
        if (references_ == 0)
        {
            underflowed_ = true;
            return 0;
        }
        return --references_;
    }

  private:
    ULONG references_ = 0;
    bool underflowed_ = false;
};

inline constexpr IID UnknownInterfaceId = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID DispatchInterfaceId = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// IUnknown and IDispatch for one interface. The objects belong to the test, not to their reference
// count, so a count that reaches zero can still be read afterwards.
template <typename Interface> class FakeObject : public Interface, public Counted
{
  public:
    struct Answer
    {
        IID id;
        const char* step; // a recorded (and failable) query, or null for a silent one
    };

    FakeObject(Recorder& recorder, std::vector<Answer> answers) : recorder_(recorder), answers_(std::move(answers))
    {
        answers_.push_back({UnknownInterfaceId, nullptr});
        answers_.push_back({DispatchInterfaceId, nullptr});
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        for (const Answer& answer : answers_)
        {
            if (!::IsEqualGUID(id, answer.id))
                continue;
            if (answer.step != nullptr)
            {
                const HRESULT hr = recorder_.Record(answer.step, {});
                if (FAILED(hr) || recorder_.HandsOutNothing(answer.step))
                    return hr;
            }
            AddRef();
            *out = static_cast<Interface*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        return AddReference();
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        return ReleaseReference();
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override
    {
        return recorder_.Unexpected("GetTypeInfoCount");
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override
    {
        return recorder_.Unexpected("GetTypeInfo");
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override
    {
        return recorder_.Unexpected("GetIDsOfNames");
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return recorder_.Unexpected("Invoke");
    }

  protected:
    // A getter: records the step, then hands out `object` with a reference of its own.
    template <typename Out, typename Object>
    HRESULT HandOut(const std::string& step, std::wstring value, Object* object, Out** out)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        const HRESULT hr = recorder_.Record(step, std::move(value));
        if (FAILED(hr) || recorder_.HandsOutNothing(step))
            return hr;
        object->AddRef();
        *out = object;
        return S_OK;
    }

    Recorder& recorder_;

  private:
    std::vector<Answer> answers_;
};

#define FAKE_UNUSED(name, params)                                                                                      \
    HRESULT STDMETHODCALLTYPE name params override                                                                     \
    {                                                                                                                  \
        return this->recorder_.Unexpected(#name);                                                                      \
    }

class FakeRegisteredTask : public FakeObject<IRegisteredTask>
{
  public:
    explicit FakeRegisteredTask(Recorder& recorder) : FakeObject(recorder, {})
    {
    }
    FAKE_UNUSED(get_Name, (BSTR*))
    FAKE_UNUSED(get_Path, (BSTR*))
    FAKE_UNUSED(get_State, (TASK_STATE*))
    FAKE_UNUSED(get_Enabled, (VARIANT_BOOL*))
    FAKE_UNUSED(put_Enabled, (VARIANT_BOOL))
    FAKE_UNUSED(Run, (VARIANT, IRunningTask**))
    FAKE_UNUSED(RunEx, (VARIANT, LONG, LONG, BSTR, IRunningTask**))
    FAKE_UNUSED(GetInstances, (LONG, IRunningTaskCollection**))
    FAKE_UNUSED(get_LastRunTime, (DATE*))
    FAKE_UNUSED(get_LastTaskResult, (LONG*))
    FAKE_UNUSED(get_NumberOfMissedRuns, (LONG*))
    FAKE_UNUSED(get_NextRunTime, (DATE*))
    FAKE_UNUSED(get_Definition, (ITaskDefinition**))
    FAKE_UNUSED(get_Xml, (BSTR*))
    FAKE_UNUSED(GetSecurityDescriptor, (LONG, BSTR*))
    FAKE_UNUSED(SetSecurityDescriptor, (BSTR, LONG))
    FAKE_UNUSED(Stop, (LONG))
    FAKE_UNUSED(GetRunTimes, (const LPSYSTEMTIME, const LPSYSTEMTIME, DWORD*, LPSYSTEMTIME*))
};

class FakeRegistrationInfo : public FakeObject<IRegistrationInfo>
{
  public:
    explicit FakeRegistrationInfo(Recorder& recorder) : FakeObject(recorder, {})
    {
    }
    HRESULT STDMETHODCALLTYPE put_Author(BSTR author) override
    {
        return recorder_.Record("Author", Text(author));
    }
    FAKE_UNUSED(get_Description, (BSTR*))
    FAKE_UNUSED(put_Description, (BSTR))
    FAKE_UNUSED(get_Author, (BSTR*))
    FAKE_UNUSED(get_Version, (BSTR*))
    FAKE_UNUSED(put_Version, (BSTR))
    FAKE_UNUSED(get_Date, (BSTR*))
    FAKE_UNUSED(put_Date, (BSTR))
    FAKE_UNUSED(get_Documentation, (BSTR*))
    FAKE_UNUSED(put_Documentation, (BSTR))
    FAKE_UNUSED(get_XmlText, (BSTR*))
    FAKE_UNUSED(put_XmlText, (BSTR))
    FAKE_UNUSED(get_URI, (BSTR*))
    FAKE_UNUSED(put_URI, (BSTR))
    FAKE_UNUSED(get_SecurityDescriptor, (VARIANT*))
    FAKE_UNUSED(put_SecurityDescriptor, (VARIANT))
    FAKE_UNUSED(get_Source, (BSTR*))
    FAKE_UNUSED(put_Source, (BSTR))
};

class FakeSettings : public FakeObject<ITaskSettings>
{
  public:
    explicit FakeSettings(Recorder& recorder) : FakeObject(recorder, {})
    {
    }
    HRESULT STDMETHODCALLTYPE put_StartWhenAvailable(VARIANT_BOOL start) override
    {
        return recorder_.Record("StartWhenAvailable", Text(start));
    }
    HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR limit) override
    {
        return recorder_.Record("ExecutionTimeLimit", Text(limit));
    }
    HRESULT STDMETHODCALLTYPE put_DisallowStartIfOnBatteries(VARIANT_BOOL disallow) override
    {
        return recorder_.Record("DisallowStartIfOnBatteries", Text(disallow));
    }
    HRESULT STDMETHODCALLTYPE put_StopIfGoingOnBatteries(VARIANT_BOOL stop) override
    {
        return recorder_.Record("StopIfGoingOnBatteries", Text(stop));
    }
    HRESULT STDMETHODCALLTYPE put_MultipleInstances(TASK_INSTANCES_POLICY policy) override
    {
        return recorder_.Record("MultipleInstances", Number(policy));
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) override
    {
        return recorder_.Record("Enabled", Text(enabled));
    }
    FAKE_UNUSED(get_AllowDemandStart, (VARIANT_BOOL*))
    FAKE_UNUSED(put_AllowDemandStart, (VARIANT_BOOL))
    FAKE_UNUSED(get_RestartInterval, (BSTR*))
    FAKE_UNUSED(put_RestartInterval, (BSTR))
    FAKE_UNUSED(get_RestartCount, (INT*))
    FAKE_UNUSED(put_RestartCount, (INT))
    FAKE_UNUSED(get_MultipleInstances, (TASK_INSTANCES_POLICY*))
    FAKE_UNUSED(get_StopIfGoingOnBatteries, (VARIANT_BOOL*))
    FAKE_UNUSED(get_DisallowStartIfOnBatteries, (VARIANT_BOOL*))
    FAKE_UNUSED(get_AllowHardTerminate, (VARIANT_BOOL*))
    FAKE_UNUSED(put_AllowHardTerminate, (VARIANT_BOOL))
    FAKE_UNUSED(get_StartWhenAvailable, (VARIANT_BOOL*))
    FAKE_UNUSED(get_XmlText, (BSTR*))
    FAKE_UNUSED(put_XmlText, (BSTR))
    FAKE_UNUSED(get_RunOnlyIfNetworkAvailable, (VARIANT_BOOL*))
    FAKE_UNUSED(put_RunOnlyIfNetworkAvailable, (VARIANT_BOOL))
    FAKE_UNUSED(get_ExecutionTimeLimit, (BSTR*))
    FAKE_UNUSED(get_Enabled, (VARIANT_BOOL*))
    FAKE_UNUSED(get_DeleteExpiredTaskAfter, (BSTR*))
    FAKE_UNUSED(put_DeleteExpiredTaskAfter, (BSTR))
    FAKE_UNUSED(get_Priority, (INT*))
    FAKE_UNUSED(put_Priority, (INT))
    FAKE_UNUSED(get_Compatibility, (TASK_COMPATIBILITY*))
    FAKE_UNUSED(put_Compatibility, (TASK_COMPATIBILITY))
    FAKE_UNUSED(get_Hidden, (VARIANT_BOOL*))
    FAKE_UNUSED(put_Hidden, (VARIANT_BOOL))
    FAKE_UNUSED(get_IdleSettings, (IIdleSettings**))
    FAKE_UNUSED(put_IdleSettings, (IIdleSettings*))
    FAKE_UNUSED(get_RunOnlyIfIdle, (VARIANT_BOOL*))
    FAKE_UNUSED(put_RunOnlyIfIdle, (VARIANT_BOOL))
    FAKE_UNUSED(get_WakeToRun, (VARIANT_BOOL*))
    FAKE_UNUSED(put_WakeToRun, (VARIANT_BOOL))
    FAKE_UNUSED(get_NetworkSettings, (INetworkSettings**))
    FAKE_UNUSED(put_NetworkSettings, (INetworkSettings*))
};

class FakePrincipal : public FakeObject<IPrincipal>
{
  public:
    explicit FakePrincipal(Recorder& recorder) : FakeObject(recorder, {})
    {
    }
    HRESULT STDMETHODCALLTYPE put_RunLevel(TASK_RUNLEVEL_TYPE level) override
    {
        return recorder_.Record("RunLevel", Number(level));
    }
    FAKE_UNUSED(get_Id, (BSTR*))
    FAKE_UNUSED(put_Id, (BSTR))
    FAKE_UNUSED(get_DisplayName, (BSTR*))
    FAKE_UNUSED(put_DisplayName, (BSTR))
    FAKE_UNUSED(get_UserId, (BSTR*))
    FAKE_UNUSED(put_UserId, (BSTR))
    FAKE_UNUSED(get_LogonType, (TASK_LOGON_TYPE*))
    FAKE_UNUSED(put_LogonType, (TASK_LOGON_TYPE))
    FAKE_UNUSED(get_GroupId, (BSTR*))
    FAKE_UNUSED(put_GroupId, (BSTR))
    FAKE_UNUSED(get_RunLevel, (TASK_RUNLEVEL_TYPE*))
};

class FakeLogonTrigger : public FakeObject<LogonTriggerInterface>
{
  public:
    explicit FakeLogonTrigger(Recorder& recorder)
        : FakeObject(recorder, {{TriggerInterfaceId, nullptr}, {LogonTriggerInterfaceId, "QueryLogonTrigger"}})
    {
    }
    HRESULT STDMETHODCALLTYPE put_Id(BSTR id) override
    {
        return recorder_.Record("TriggerId", Text(id));
    }
    HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) override
    {
        return recorder_.Record("TriggerUserId", Text(user));
    }
    FAKE_UNUSED(get_Delay, (BSTR*))
    FAKE_UNUSED(put_Delay, (BSTR))
    FAKE_UNUSED(get_UserId, (BSTR*))
    FAKE_UNUSED(get_Type, (TASK_TRIGGER_TYPE2*))
    FAKE_UNUSED(get_Id, (BSTR*))
    FAKE_UNUSED(get_Repetition, (IRepetitionPattern**))
    FAKE_UNUSED(put_Repetition, (IRepetitionPattern*))
    FAKE_UNUSED(get_ExecutionTimeLimit, (BSTR*))
    FAKE_UNUSED(put_ExecutionTimeLimit, (BSTR))
    FAKE_UNUSED(get_StartBoundary, (BSTR*))
    FAKE_UNUSED(put_StartBoundary, (BSTR))
    FAKE_UNUSED(get_EndBoundary, (BSTR*))
    FAKE_UNUSED(put_EndBoundary, (BSTR))
    FAKE_UNUSED(get_Enabled, (VARIANT_BOOL*))
    FAKE_UNUSED(put_Enabled, (VARIANT_BOOL))
};

class FakeTriggers : public FakeObject<ITriggerCollection>
{
  public:
    FakeTriggers(Recorder& recorder, FakeLogonTrigger& trigger) : FakeObject(recorder, {}), trigger_(trigger)
    {
    }
    HRESULT STDMETHODCALLTYPE Create(TASK_TRIGGER_TYPE2 type, ITrigger** trigger) override
    {
        return HandOut("CreateTrigger", Number(type), &trigger_, trigger);
    }
    FAKE_UNUSED(get_Count, (LONG*))
    FAKE_UNUSED(get_Item, (LONG, ITrigger**))
    FAKE_UNUSED(get__NewEnum, (IUnknown**))
    FAKE_UNUSED(Remove, (VARIANT))
    FAKE_UNUSED(Clear, ())

  private:
    FakeLogonTrigger& trigger_;
};

class FakeExecAction : public FakeObject<IExecAction>
{
  public:
    explicit FakeExecAction(Recorder& recorder)
        : FakeObject(recorder, {{ActionInterfaceId, nullptr}, {ExecActionInterfaceId, "QueryExecAction"}})
    {
    }
    HRESULT STDMETHODCALLTYPE put_Path(BSTR path) override
    {
        return recorder_.Record("ActionPath", Text(path));
    }
    HRESULT STDMETHODCALLTYPE put_Arguments(BSTR arguments) override
    {
        return recorder_.Record("ActionArguments", Text(arguments));
    }
    FAKE_UNUSED(get_Id, (BSTR*))
    FAKE_UNUSED(put_Id, (BSTR))
    FAKE_UNUSED(get_Type, (TASK_ACTION_TYPE*))
    FAKE_UNUSED(get_Path, (BSTR*))
    FAKE_UNUSED(get_Arguments, (BSTR*))
    FAKE_UNUSED(get_WorkingDirectory, (BSTR*))
    FAKE_UNUSED(put_WorkingDirectory, (BSTR))
};

class FakeActions : public FakeObject<IActionCollection>
{
  public:
    FakeActions(Recorder& recorder, FakeExecAction& action) : FakeObject(recorder, {}), action_(action)
    {
    }
    HRESULT STDMETHODCALLTYPE Create(TASK_ACTION_TYPE type, IAction** action) override
    {
        return HandOut("CreateAction", Number(type), &action_, action);
    }
    FAKE_UNUSED(get_Count, (LONG*))
    FAKE_UNUSED(get_Item, (LONG, IAction**))
    FAKE_UNUSED(get__NewEnum, (IUnknown**))
    FAKE_UNUSED(get_XmlText, (BSTR*))
    FAKE_UNUSED(put_XmlText, (BSTR))
    FAKE_UNUSED(Remove, (VARIANT))
    FAKE_UNUSED(Clear, ())
    FAKE_UNUSED(get_Context, (BSTR*))
    FAKE_UNUSED(put_Context, (BSTR))

  private:
    FakeExecAction& action_;
};

struct DefinitionParts
{
    FakeRegistrationInfo& info;
    FakeSettings& settings;
    FakePrincipal& principal;
    FakeTriggers& triggers;
    FakeActions& actions;
};

class FakeDefinition : public FakeObject<ITaskDefinition>
{
  public:
    FakeDefinition(Recorder& recorder, DefinitionParts parts) : FakeObject(recorder, {}), parts_(parts)
    {
    }
    HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo** info) override
    {
        return HandOut("RegistrationInfo", {}, &parts_.info, info);
    }
    HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings** settings) override
    {
        return HandOut("Settings", {}, &parts_.settings, settings);
    }
    HRESULT STDMETHODCALLTYPE get_Principal(IPrincipal** principal) override
    {
        return HandOut("Principal", {}, &parts_.principal, principal);
    }
    HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection** triggers) override
    {
        return HandOut("Triggers", {}, &parts_.triggers, triggers);
    }
    HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection** actions) override
    {
        return HandOut("Actions", {}, &parts_.actions, actions);
    }
    FAKE_UNUSED(put_RegistrationInfo, (IRegistrationInfo*))
    FAKE_UNUSED(put_Triggers, (ITriggerCollection*))
    FAKE_UNUSED(put_Settings, (ITaskSettings*))
    FAKE_UNUSED(get_Data, (BSTR*))
    FAKE_UNUSED(put_Data, (BSTR))
    FAKE_UNUSED(put_Principal, (IPrincipal*))
    FAKE_UNUSED(put_Actions, (IActionCollection*))
    FAKE_UNUSED(get_XmlText, (BSTR*))
    FAKE_UNUSED(put_XmlText, (BSTR))

  private:
    DefinitionParts parts_;
};

class FakeFolder : public FakeObject<ITaskFolder>
{
  public:
    FakeFolder(Recorder& recorder, FakeDefinition& definition, FakeRegisteredTask& registered)
        : FakeObject(recorder, {}), definition_(definition), registered_(registered)
    {
    }
    HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG flags) override
    {
        return recorder_.Record("DeleteTask", Text(name) + L", " + Number(flags));
    }
    HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR path, ITaskDefinition* definition, LONG flags, VARIANT user,
                                                     VARIANT password, TASK_LOGON_TYPE logon, VARIANT sddl,
                                                     IRegisteredTask** task) override
    {
        const std::wstring which = definition == &definition_ ? L"the new definition" : L"another definition";
        return HandOut("RegisterTaskDefinition",
                       Text(path) + L", " + which + L", flags " + Number(flags) + L", user " + Text(user) +
                           L", password " + Text(password) + L", logon " + Number(logon) + L", sddl " + Text(sddl),
                       &registered_, task);
    }
    FAKE_UNUSED(get_Name, (BSTR*))
    FAKE_UNUSED(get_Path, (BSTR*))
    FAKE_UNUSED(GetFolder, (BSTR, ITaskFolder**))
    FAKE_UNUSED(GetFolders, (LONG, ITaskFolderCollection**))
    FAKE_UNUSED(CreateFolder, (BSTR, VARIANT, ITaskFolder**))
    FAKE_UNUSED(DeleteFolder, (BSTR, LONG))
    FAKE_UNUSED(GetTask, (BSTR, IRegisteredTask**))
    FAKE_UNUSED(GetTasks, (LONG, IRegisteredTaskCollection**))
    FAKE_UNUSED(RegisterTask, (BSTR, BSTR, LONG, VARIANT, VARIANT, TASK_LOGON_TYPE, VARIANT, IRegisteredTask**))
    FAKE_UNUSED(GetSecurityDescriptor, (LONG, BSTR*))
    FAKE_UNUSED(SetSecurityDescriptor, (BSTR, LONG))

  private:
    FakeDefinition& definition_;
    FakeRegisteredTask& registered_;
};

class FakeService : public FakeObject<ITaskService>
{
  public:
    FakeService(Recorder& recorder, FakeFolder& folder, FakeDefinition& definition)
        : FakeObject(recorder, {}), folder_(folder), definition_(definition)
    {
    }
    HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT user, VARIANT domain, VARIANT password) override
    {
        return recorder_.Record("Connect",
                                Text(server) + L", " + Text(user) + L", " + Text(domain) + L", " + Text(password));
    }
    HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** folder) override
    {
        return HandOut("GetFolder", Text(path), &folder_, folder);
    }
    HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** definition) override
    {
        return HandOut("NewTask", Number(static_cast<long>(flags)), &definition_, definition);
    }
    FAKE_UNUSED(GetRunningTasks, (LONG, IRunningTaskCollection**))
    FAKE_UNUSED(get_Connected, (VARIANT_BOOL*))
    FAKE_UNUSED(get_TargetServer, (BSTR*))
    FAKE_UNUSED(get_ConnectedUser, (BSTR*))
    FAKE_UNUSED(get_ConnectedDomain, (BSTR*))
    FAKE_UNUSED(get_HighestVersion, (DWORD*))

  private:
    FakeFolder& folder_;
    FakeDefinition& definition_;
};

#undef FAKE_UNUSED

// The whole object graph of one task service. The test holds one reference to the service, as the
// caller of CoCreateInstance would; every other object starts unreferenced.
class FakeTaskScheduler
{
  public:
    FakeTaskScheduler()
    {
        service.AddRef();
    }
    FakeTaskScheduler(const FakeTaskScheduler&) = delete;
    FakeTaskScheduler& operator=(const FakeTaskScheduler&) = delete;

    [[nodiscard]] std::vector<std::pair<const char*, const Counted*>> Objects() const
    {
        return {{"registered task", &registered},
                {"registration info", &info},
                {"settings", &settings},
                {"principal", &principal},
                {"trigger", &trigger},
                {"triggers", &triggers},
                {"action", &action},
                {"actions", &actions},
                {"definition", &definition},
                {"folder", &folder},
                {"service", &service}};
    }
    [[nodiscard]] std::vector<std::string> Steps() const
    {
        std::vector<std::string> steps;
        for (const Call& call : recorder.Calls())
            steps.push_back(call.step);
        return steps;
    }

    Recorder recorder;
    FakeRegisteredTask registered{recorder};
    FakeRegistrationInfo info{recorder};
    FakeSettings settings{recorder};
    FakePrincipal principal{recorder};
    FakeLogonTrigger trigger{recorder};
    FakeTriggers triggers{recorder, trigger};
    FakeExecAction action{recorder};
    FakeActions actions{recorder, action};
    FakeDefinition definition{recorder, {info, settings, principal, triggers, actions}};
    FakeFolder folder{recorder, definition, registered};
    FakeService service{recorder, folder, definition};
};

} // namespace fake_tasks
