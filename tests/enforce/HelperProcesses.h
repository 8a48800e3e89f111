#pragma once
// Idle helper processes under chosen executable names, for tests and the benchmark.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/Handles.h"
#include "support/TestSupport.h"

// One running copy of idle_helper.exe under another name; killed when destroyed.
class HelperProcess
{
  public:
    // Copies the helper to folder\name and starts it; IsRunning() tells whether that worked. A
    // pinnedThreadMask other than 0 gives the helper a thread pinned to that mask.
    HelperProcess(const std::wstring& folder, const std::wstring& name, DWORD_PTR pinnedThreadMask = 0);
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    [[nodiscard]] bool IsRunning() const;
    [[nodiscard]] DWORD Id() const
    {
        return id_;
    }
    [[nodiscard]] const std::wstring& Name() const
    {
        return name_;
    }
    // The process's affinity mask as the system reports it; 0 when it cannot be read.
    [[nodiscard]] DWORD_PTR Affinity() const;

  private:
    std::wstring name_;
    UniqueHandle process_;
    DWORD id_ = 0;
};

// Starts one helper per name in a private temporary folder; all are killed together.
class HelperSet
{
  public:
    explicit HelperSet(const std::vector<std::wstring>& names);
    [[nodiscard]] bool AllRunning() const;
    [[nodiscard]] const HelperProcess& operator[](size_t index) const
    {
        return *helpers_[index];
    }
    [[nodiscard]] size_t Size() const
    {
        return helpers_.size();
    }

  private:
    // Declared first so that it is destroyed last, after the processes using its files are gone.
    testing_support::TempDirectory folder_;
    std::vector<std::unique_ptr<HelperProcess>> helpers_;
};

// Whether the process's execution-speed throttling is switched off explicitly (the control bit set,
// the state bit clear), as GetProcessInformation reports it; false when it cannot be read.
bool ThrottlingSwitchedOff(DWORD processId);

// The process ids and executable names of one snapshot.
std::vector<std::pair<DWORD, std::wstring>> SnapshotProcesses();
